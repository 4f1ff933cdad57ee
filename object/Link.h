/* The object through which one module is reached: it holds the module's link
 * specifier, owns one engine link and turns the engine's packet traffic into
 * request/reply exchanges.
 *
 * Threads: an object may be used from one thread at a time; the object takes no
 * lock around an exchange. Replies are picked from the engine's queue by filter,
 * so exchanges of different kinds may be outstanding at once, but two identical
 * requests outstanding at once are not told apart. Link creation is serialised
 * process-wide.
 *
 * Errors common to the exchanges: aErrConnection when the object is not
 * connected, aErrPacket for a module address of 0 or an odd one, aErrTimeout
 * when no reply came in time, and a module's own error code when it answered
 * with an error reply. Nothing is thrown. */
#ifndef VELORN_TARNIX_LINK_H
#define VELORN_TARNIX_LINK_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

/* Process-wide debug output switch and mask of the object model; both off.
 * Bit 0x1: link exchanges and connection; bit 0x40: module connection. */
extern bool aTarnixDebuggingEnable;
extern uint32_t aTarnixDebuggingLevel;

namespace Velorn {
namespace Tarnix {

/* Networked-link configuration, copied by value. */
struct ZephylConfig {
    ZephylConfig();
    uint8_t enabled;           /* direct links are shared through a link server */
    uint8_t fallback;          /* discoverAndConnect may retry with another type */
    uint8_t localOnly;         /* the link server listens on loopback only */
    uint16_t assignedPort;     /* the link server's TCP port, written back */
    uint32_t networkInterface; /* IPv4, network byte order */
};

enum ueiType : uint32_t { ueiVoid = 0, ueiByte = 1, ueiShort = 2, ueiInt = 4, ueiBytes = 5 };

/* One UEI exchange. Scalar values live in value.uiValue whatever their width
 * (so that "the low byte" is the same on every host); ueiBytes uses value.data. */
struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    union {
        uint8_t ucValue;
        uint16_t usValue;
        uint32_t uiValue;
        uint8_t* data;
    } value;
    uint8_t sequence;
    uint8_t more;
    size_t length;
    size_t* count;
    ueiType type;
};

/* Option and index flag bits of the exchanges. */
constexpr uint8_t kUEIOptionGet = 0x40;
constexpr uint8_t kUEIOptionSet = 0x80;
constexpr uint8_t kUEIOptionSetReply = 0xC0;
constexpr uint8_t kUEIIndexRequest = 0x20;
constexpr uint8_t kUEIIndexError = 0x80;

/* Largest chunk of a byte sequence in one UEI packet. */
constexpr size_t kUEIBytesChunk = 24;

class Link {
public:
    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    virtual ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    /* Configuration. The specifier and the configuration change only while not
     * connected (aErrBusy and aErrMode otherwise). */
    const char* getName() const;
    aErr getLinkSpecifier(linkSpec* out) const; /* aErrNotFound: none stored */
    aErr setLinkSpecifier(linkSpec spec);
    aErr getConfig(ZephylConfig* out) const;
    aErr setConfig(ZephylConfig config);

    /* Connection. connect: aErrConnection when an engine link exists,
     * aErrConfiguration without a specifier, aErrMode for an unknown type. */
    aErr connect();
    aErr discoverAndConnect(linkType type, unsigned serial, unsigned char model = 0);
    /* Reuses other's engine link (aErrInitialization when it has none). */
    aErr connectThroughLinkModule(Link& other);
    bool isConnected() const;
    aLinkState getStatus() const;
    aErr disconnect();
    aErr reset();
    aErr enablePooledPackets(bool enable);
    /* Waits (10 ms steps, at most limit of them) for a starting link to run. */
    aErr waitForLink(unsigned limit);

    /* The address the module answers synchronisation from; aErrNotReady when
     * not connected or no answer. */
    aErr getModuleAddress(unsigned char* address);

    /* UEI exchanges. */
    aErr sendUEI(uei u);
    aErr sendUEI(uei u, unsigned char subindex);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char specifier, uei* u);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char specifier, uei* u, aPacketFilter filter);
    aErr dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char specifier);
    /* The last streamed value: aErrNotFound when never streamed, aErrStreamStale
     * when it was read before. */
    aErr getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                        unsigned char index, unsigned char subindex, unsigned* value);

    /* Raw command packets. receivePacket: on entry *length is the number of
     * bytes of match to compare; on return the reply's data size, with all its
     * bytes in out (room for 28). */
    aErr sendPacket(unsigned char module, unsigned char command, unsigned char length,
                    const unsigned char* data);
    aErr receivePacket(unsigned char module, const unsigned char* match, unsigned char* length,
                       unsigned char* out);

    /* Store slots. */
    aErr storeSlotCapacity(unsigned char module, unsigned char store, unsigned char slot,
                           size_t* capacity);
    aErr storeSlotSize(unsigned char module, unsigned char store, unsigned char slot, size_t* size);
    aErr loadStoreSlot(unsigned char module, unsigned char store, unsigned char slot,
                       const unsigned char* data, size_t length);
    /* aErrOverrun when the slot holds more than length (the buffer is filled). */
    aErr unloadStoreSlot(unsigned char module, unsigned char store, unsigned char slot,
                         unsigned char* buffer, size_t length, size_t* unloaded);

    /* Factory data (index 0 to 15). */
    aErr getFactoryData(unsigned char module, unsigned char index, unsigned char* buffer,
                        size_t length, size_t* unloaded);
    aErr setFactoryData(unsigned char module, unsigned char index, const unsigned char* data,
                        size_t length);

    /* Packet log to a file; aErrConfiguration without an engine link. */
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    struct impl;

private:
    std::unique_ptr<impl> m_impl;
};

/* Match filters of the exchanges (the reference is the exchange's record).
 * Exposed for the filter tests and the fuzz harness. */
bool sUEIFilter(const aPacket* packet, void* reference);
bool sUEIBytesFilter(const aPacket* packet, void* reference);
bool sCommandFilter(const aPacket* packet, void* reference);

/* Reference record of sCommandFilter. */
struct CommandMatch {
    const unsigned char* match;
    unsigned char length;
};

/* Reference record of sSlotFilter and sFactoryFilter: the request's data. */
struct SlotRequest {
    uint8_t subcommand;
    uint8_t store;
    uint8_t slot;
    uint8_t handle;
};
bool sSlotFilter(const aPacket* packet, void* reference);
struct FactoryRequest {
    uint8_t indexByte; /* data byte 1 of the request */
};
bool sFactoryFilter(const aPacket* packet, void* reference);

} // namespace Tarnix
} // namespace Velorn

#endif
