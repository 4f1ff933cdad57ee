/* Module: connection with auto-networking, and the module-wide queries. */
#include "Module.h"

#include <string.h>

#include "LinkPrivate.h"
#include "aTime.h"

namespace Velorn {
namespace Tarnix {

namespace {
constexpr int kAutoNetworkAttempts = 4;
constexpr uint32_t kAutoNetworkSleepMs = 5;
} // namespace

Module::Module(unsigned char address, unsigned char model) : Module(address, true, model) {}

Module::Module(unsigned char address, bool networking, unsigned char model)
    : link(new Link("Link")), moduleAddress(address), networkingMode(networking), model(model)
{
}

Module::~Module() = default;

aErr Module::_autoNetwork()
{
    if (!networkingMode || !link)
        return aErrNone;
    unsigned char address = 0;
    aErr err = aErrNotReady;
    int attempts = 0;
    while (attempts < kAutoNetworkAttempts) {
        err = link->getModuleAddress(&address);
        ++attempts;
        if (err != aErrNone)
            aTime_MSSleep(kAutoNetworkSleepMs);
        if (err != aErrNotReady)
            break;
    }
    if (attempts == kAutoNetworkAttempts)
        Log::log(Log::DEBUG_ObjectModule, "BOO! Failed to autoNetwork");
    if (address != 0 && address != moduleAddress)
        moduleAddress = address;
    return err;
}

aErr Module::connect(linkType type, unsigned serial)
{
    if (serial == 0)
        return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, unsigned serial)
{
    if (!link)
        return aErrInitialization;
    aErr err = link->discoverAndConnect(type, serial, model);
    return err != aErrNone ? err : _autoNetwork();
}

aErr Module::connectFromSpec(linkSpec spec)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrBusy;
    aErr err = link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = link->connect();
    if (err != aErrNone)
        return err;
    err = _autoNetwork();
    Log::log(Log::DEBUG_ObjectModule, "Post autoNetwork err: %d\n", (int)err);
    return err;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrNone;
    if (router == nullptr || !router->link)
        return aErrInitialization;
    linkSpec spec;
    aErr err = router->link->getLinkSpecifier(&spec);
    if (err != aErrNone)
        return err;
    ZephylConfig config;
    err = router->link->getConfig(&config);
    if (err == aErrNone)
        err = link->setConfig(config);
    if (err != aErrNone)
        return err;
    if (config.enabled) {
        spec.type = ZEPHYL;
        spec.ip_address = config.networkInterface;
        spec.ip_port = config.assignedPort;
    }
    err = link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = link->connectThroughLinkModule(*router->link);
    if (err == aErrNone)
        networkingMode = false;
    return err;
}

aErr Module::reconnect()
{
    if (!link)
        return aErrInitialization;
    aErr err = link->connect();
    return err != aErrNone ? err : _autoNetwork();
}

bool Module::isConnected() const { return link && link->isConnected(); }

aLinkState Module::getStatus() const { return link ? link->getStatus() : linkError; }

aErr Module::disconnect() { return link ? link->disconnect() : aErrInitialization; }

unsigned char Module::getModuleAddress() const { return moduleAddress; }
void Module::setModuleAddress(unsigned char address) { moduleAddress = address; }
void Module::setNetworkingMode(bool networking) { networkingMode = networking; }

aErr Module::getLinkSpecifier(linkSpec* out) const
{
    return link ? link->getLinkSpecifier(out) : aErrNotReady;
}

aErr Module::getConfig(ZephylConfig* out) const
{
    if (!link)
        return aErrNotReady;
    return out == nullptr ? aErrParam : link->getConfig(out);
}

aErr Module::setConfig(ZephylConfig config) { return link ? link->setConfig(config) : aErrNotReady; }

Link* Module::getLink() const { return link.get(); }

aErr Module::enablePacketLog(const char* path)
{
    return link ? link->enablePacketLog(path) : aErrConfiguration;
}

aErr Module::disablePacketLog() { return link ? link->disablePacketLog() : aErrConfiguration; }

/* Queries. ---------------------------------------------------------------- */

/* Sends request (command byte first) and awaits a reply beginning with its
 * first matchLength bytes; *replyLength is that on entry, the reply's size after. */
aErr Module::query(const unsigned char* request, unsigned char length, unsigned char* reply,
                   unsigned char* replyLength)
{
    if (!link || !link->isConnected())
        return aErrConnection;
    aErr err = link->sendPacket(moduleAddress, request[0], (unsigned char)(length - 1), request + 1);
    if (err != aErrNone)
        return err;
    return link->receivePacket(moduleAddress, request, replyLength, reply);
}

aErr Module::getBuild(unsigned* build)
{
    if (!link)
        return aErrInitialization;
    if (build == nullptr)
        return aErrParam;
    const unsigned char request[] = {aCMD_QUERY, aQUERY_BUILD};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 2;
    aErr err = query(request, sizeof request, reply, &size);
    if (err != aErrNone)
        return err;
    if (size != 6)
        return aErrSize;
    *build = ((unsigned)reply[2] << 24) | ((unsigned)reply[3] << 16) | ((unsigned)reply[4] << 8) | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(unsigned char command, unsigned char option, unsigned char index, unsigned char flags)
{
    if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0)
        return aErrParam;
    const unsigned char request[] = {aCMD_QUERY, aQUERY_HAS_UEI, command, option, index, flags};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 1;
    aErr err = query(request, sizeof request, reply, &size);
    if (err != aErrNone)
        return err;
    if (size == 6 && memcmp(reply, request, 5) == 0)
        return (aErr)reply[5];
    return aErrUnknown;
}

aErr Module::queryByte(const unsigned char* request, unsigned char length, unsigned char* value)
{
    if (value == nullptr)
        return aErrParam;
    *value = 0;
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 1;
    aErr err = query(request, length, reply, &size);
    if (err != aErrNone)
        return err;
    if (size != length + 1 || memcmp(reply, request, length) != 0)
        return aErrUnknown;
    *value = reply[length];
    return aErrNone;
}

aErr Module::classQuantity(unsigned char entityClass, unsigned char* quantity)
{
    const unsigned char request[] = {aCMD_QUERY, aQUERY_CLASS_QUANTITY, entityClass};
    return queryByte(request, sizeof request, quantity);
}

aErr Module::subClassQuantity(unsigned char entityClass, unsigned char subclass, unsigned char* quantity)
{
    const unsigned char request[] = {aCMD_QUERY, aQUERY_SUBCLASS_QUANTITY, entityClass, subclass};
    return queryByte(request, sizeof request, quantity);
}

aErr Module::entityGroup(unsigned char entityClass, unsigned char subclass, unsigned char* group)
{
    const unsigned char request[] = {aCMD_QUERY, aQUERY_ENTITY_GROUP, entityClass, subclass};
    return queryByte(request, sizeof request, group);
}

aErr Module::debug(const unsigned char* data, unsigned char length)
{
    if (length > aPACKET_MAX_DATA - 1 || (data == nullptr && length > 0))
        return aErrParam;
    unsigned char request[aPACKET_MAX_DATA] = {aCMD_ECHO};
    if (length > 0)
        memcpy(&request[1], data, length);
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 1;
    aErr err = query(request, (unsigned char)(length + 1), reply, &size);
    if (err != aErrNone)
        return err;
    if (size != length + 1 || memcmp(reply, request, size) != 0)
        return aErrIO;
    return aErrNone;
}

} // namespace Tarnix
} // namespace Velorn
