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
#include <functional>
#include <memory>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aPacket.h"
#include "aProtocol.h"
#include "aUEI.h"

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

class Link {
public:
    /* Elements of a stream key (getStreamKeyElement). */
    enum STREAM_KEY { KEY_MODULE = 0, KEY_COMMAND = 1, KEY_OPTION = 2, KEY_INDEX = 3, KEY_SUBINDEX = 4 };
    /* Sample types (data byte 3 of a stream packet). */
    enum STREAM_PACKET {
        STREAM_INVALID = 0,
        STREAM_U8 = aSTREAM_U8,
        STREAM_U16 = aSTREAM_U16,
        STREAM_U32 = aSTREAM_U32,
        STREAM_BYTES = aSTREAM_BYTES,
        STREAM_U8_SUB = aSTREAM_U8_SUB,
        STREAM_U16_SUB = aSTREAM_U16_SUB,
        STREAM_U32_SUB = aSTREAM_U32_SUB
    };
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };
    /* Runs on the link's stream worker thread with the stream packet (valid for
     * the call only) and the context given at registration; the result is
     * ignored. It may call this link's operations, disable streams (its own
     * too) and even destroy the link; it must not throw (an exception is
     * caught and the callback counts as done). */
    typedef std::function<uint8_t(const aPacket*, void*)> streamCallback;

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
     * aErrConfiguration without a specifier (or a networked link while they
     * are off), aErrMode for an unknown type; otherwise why the engine link
     * could not be made (aLink_Open*, aLink_OpenClient, aLink_OpenServer:
     * aErrNotFound, aErrBusy, aErrPermission, aErrConnection, aErrTimeout,
     * ...), or aErrConnection when it did not come up in time. */
    aErr connect();
    /* Finds the module (by serial number, else the first of the model, any
     * when 0) and connects: aErrNotFound when none was found, aErrPermission
     * when none was found on USB while the system refused to open a Tarnix
     * device; else connect's errors. With fallback configured, a module not
     * found or not linked is looked for once more on the other kind of link. */
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

    /* Streaming. A stream key holds module (bits 24-31), command (16-23),
     * option (8-15), index (0-7) and subindex (32-39); 255 in an element means
     * any. */
    static uint64_t createStreamKey(unsigned char module, unsigned char command, unsigned char option,
                                    unsigned char index, unsigned char subindex);
    /* The element's byte; 0 for an element value outside STREAM_KEY. */
    static unsigned char getStreamKeyElement(uint64_t key, int element);
    static bool isStreamPacket(const aPacket* packet);
    /* STREAM_BYTES for a trailer with a sequence number or the continue bit;
     * false (STREAM_INVALID) for anything but a stream packet of type 1 to 7. */
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    static bool isStreamSample(const aPacket* packet);
    /* Outputs may be null. aErrPacket: not a sample; aErrSize: STREAM_BYTES. */
    static aErr getStreamSample(const aPacket* packet, unsigned long* timestamp, unsigned* value,
                                unsigned char* subindex);
    static void getTimestampParts(unsigned long timestamp, unsigned* high, unsigned* low);

    /* Registers (enable) the callback for the streamed UEIs the key covers
     * (option 255: every option) and asks the module to stream them, or
     * (disable) forgets every registration and value the key covers and asks
     * the module to stop. aErrParam: odd module address; aErrConnection: not
     * connected; the exchange's errors or the module's code. A failed enable
     * leaves the registrations as they were. When a disable (or a replacing
     * enable) returns, no callback of the forgotten registration runs any more
     * and none is still running, unless it was called from that callback. An
     * empty callback only keeps the values for getStreamValue. */
    aErr registerStreamCallback(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char index, bool enable, streamCallback callback, void* context);
    aErr enableStream(unsigned char module, unsigned char command, unsigned char option, unsigned char index,
                      bool enable);
    /* Asks the module whether it streams to this link (*state 1) or not (0). */
    aErr isLinkStreaming(unsigned char module, unsigned char* state);
    /* Every key of the stream table that the given elements (255: any) cover. */
    std::vector<uint64_t> filterActiveStreamKeys(unsigned char module, unsigned char command,
                                                 unsigned char option, unsigned char index,
                                                 unsigned char subindex, bool lock);
    /* The streamed values (not the registrations) the elements cover, in key
     * order. aErrConnection: not connected; aErrParam: null pointer or capacity
     * 0; aErrSize: more than capacity (the first capacity are filled). */
    aErr getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                         unsigned char index, unsigned char subindex, StreamStatusEntry* entries,
                         size_t capacity, size_t* count);
    /* Callbacks dropped because the callback queue was full (a callback slower
     * than the stream), since the link was made. The values are kept all the same. */
    unsigned long getDroppedStreamCallbacks() const;

    /* Raw command packets. receivePacket: on entry *length is the number of
     * bytes of match to compare; on return the reply's data size, with all its
     * bytes in out (room for 28). */
    aErr sendPacket(unsigned char module, unsigned char command, unsigned char length,
                    const unsigned char* data);
    aErr receivePacket(unsigned char module, const unsigned char* match, unsigned char* length,
                       unsigned char* out);
    /* Throws away the packets already queued that receivePacket would take for
     * this match (length bytes of it), without waiting: replies that came too
     * late for the requests they answered. Returns how many went. */
    size_t drainPackets(const unsigned char* match, unsigned char length);

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

} // namespace Tarnix
} // namespace Velorn

#endif
