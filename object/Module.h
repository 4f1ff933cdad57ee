/* One module: owns its Link, remembers its address on the module network and
 * its model, connects (by discovery, from a specifier, or through a routing
 * module) and answers a few module-wide queries.
 *
 * Threads: one thread at a time per object. Errors are aErr values; nothing is
 * thrown. Entity objects bound to a module must not outlive it. */
#ifndef VELORN_TARNIX_MODULE_H
#define VELORN_TARNIX_MODULE_H

#include <memory>

#include "Link.h"

namespace Velorn {
namespace Tarnix {

class Module {
public:
    /* Auto-networking on: the address is learned from the module on connection. */
    Module(unsigned char address, unsigned char model = 0);
    Module(unsigned char address, bool networking, unsigned char model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    /* connect: aErrParam for serial 0. The connect operations return the
     * link's error, else the result of auto-networking (aErrNotReady when the
     * module never told its address although the link is up). */
    aErr connect(linkType type, unsigned serial);
    aErr discoverAndConnect(linkType type, unsigned serial);
    aErr connectFromSpec(linkSpec spec); /* aErrBusy when connected */
    /* A module reached through router's link, at the address given at construction. */
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    bool isConnected() const;
    aLinkState getStatus() const;
    aErr disconnect();

    unsigned char getModuleAddress() const;
    void setModuleAddress(unsigned char address);
    void setNetworkingMode(bool networking);
    aErr getLinkSpecifier(linkSpec* out) const;
    aErr getConfig(ZephylConfig* out) const;
    aErr setConfig(ZephylConfig config);
    Link* getLink() const; /* not ownership */
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    /* Module-wide queries (aErrConnection when not connected, aErrTimeout when
     * no reply within 1000 ms). */
    aErr getBuild(unsigned* build);
    aErr hasUEI(unsigned char command, unsigned char option, unsigned char index, unsigned char flags);
    aErr classQuantity(unsigned char entityClass, unsigned char* quantity);
    aErr subClassQuantity(unsigned char entityClass, unsigned char subclass, unsigned char* quantity);
    aErr entityGroup(unsigned char entityClass, unsigned char subclass, unsigned char* group);
    aErr debug(const unsigned char* data, unsigned char length); /* echo test, at most 27 bytes */

private:
    aErr _autoNetwork();
    aErr query(const unsigned char* request, unsigned char length, unsigned char* reply,
               unsigned char* replyLength);
    /* A query answered by its own request bytes and one value byte. */
    aErr queryByte(const unsigned char* request, unsigned char length, unsigned char* value);

    std::unique_ptr<Link> link;
    unsigned char moduleAddress;
    bool networkingMode;
    unsigned char model;
};

} // namespace Tarnix
} // namespace Velorn

#endif
