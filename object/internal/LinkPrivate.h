/* The private record of a Link, shared by the Link's source files only. */
#ifndef VELORN_TARNIX_LINKPRIVATE_H
#define VELORN_TARNIX_LINKPRIVATE_H

#include <stdarg.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Link.h"
#include "LinkFilters.h"
#include "Log.h"
#include "aPacketLog.h"

namespace Velorn {
namespace Tarnix {

/* The link waits up to 200 steps of 10 ms for a new engine link to run. */
constexpr unsigned kConnectWaitSteps = 200;
constexpr uint32_t kConnectWaitStepMs = 10;
constexpr uint32_t kReplyTimeoutMs = 1000;
/* Direction of the text records the object itself adds to the packet log. */
constexpr uint8_t kLogTextDirection = 3;

/* One entry of the stream table: a registration (subindex 255, carrying the
 * callback) or a streamed value (an exact key, carrying value and fresh). */
struct StreamEntry {
    uint64_t key = 0;
    uint8_t fresh = 0;
    Link::streamCallback callback;
    void* context = nullptr;
    uint32_t value = 0;
    /* Tells this registration from a removed or replaced one of the same key,
     * so that callbacks queued for that one are never run. */
    uint64_t token = 0;
};

/* Key of the stream table: module 24-31, command 16-23, option 8-15, index
 * 0-7, subindex 32-39. */
inline uint64_t StreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex)
{
    return ((uint64_t)subindex << 32) | ((uint64_t)module << 24) | ((uint64_t)command << 16) |
           ((uint64_t)option << 8) | index;
}

/* Mask n (0 to 14) sets to 255 one of the 15 non-empty combinations of index,
 * option, command and subindex; any other n gives 0. */
uint64_t _getGenericStreamKeyMask(int n);

/* A ring of capacity slots holding at most capacity - 1 items, for exactly one
 * pushing and one popping thread. */
template <typename T>
class LocklessQueue_SPSC {
public:
    explicit LocklessQueue_SPSC(uint16_t capacity) : m_capacity(capacity), m_slots(new T[capacity]) {}
    bool push(const T& item)
    {
        const uint16_t write = m_write.load(std::memory_order_relaxed);
        const uint16_t next = (uint16_t)(write + 1 == m_capacity ? 0 : write + 1);
        if (next == m_read.load(std::memory_order_acquire))
            return false;
        m_slots[next] = item;
        m_write.store(next, std::memory_order_release);
        return true;
    }
    bool pop(T& out)
    {
        const uint16_t read = m_read.load(std::memory_order_relaxed);
        if (read == m_write.load(std::memory_order_acquire))
            return false;
        const uint16_t next = (uint16_t)(read + 1 == m_capacity ? 0 : read + 1);
        /* The slot at the read index is never written by the pusher (that would
         * be full), so it may be copied out after the index moved. */
        m_read.store(next, std::memory_order_release);
        out = m_slots[next];
        return true;
    }
    uint16_t capacity() const { return m_capacity; }

private:
    const uint16_t m_capacity;
    std::unique_ptr<T[]> m_slots;
    std::atomic<uint16_t> m_write{0};
    std::atomic<uint16_t> m_read{0};
};

/* One queued callback: the packet is a copy of its own. */
struct asyncPacket {
    Link::streamCallback callback;
    void* context = nullptr;
    aPacket packet{};
    uint64_t key = 0;   /* the registration that asked for it */
    uint64_t token = 0;
};

constexpr uint16_t kStreamQueueCapacity = 500;

/* The stream worker's state. It is shared with the worker thread, which may
 * outlive the link when the link is destroyed from one of its callbacks. */
struct StreamWorker {
    LocklessQueue_SPSC<asyncPacket> queue{kStreamQueueCapacity};
    std::promise<void> stop;
    std::shared_future<void> stopped{stop.get_future().share()};
    std::atomic<bool> stopping{false};
    /* Held while a callback runs, so that a disable can wait for it to end. */
    std::mutex delivery;
    std::thread thread;
    std::thread::id id; /* the worker's, set before the state is published */
};

struct Link::impl {
    impl(Link* owner, const char* name);
    ~impl();

    /* Makes (or shares) the engine link for spec and stores it; the creation's
     * error otherwise, with nothing stored. */
    aErr linkCreateHelper(const linkSpec& spec, aLinkId existing);
    /* Puts a server in front of *created and replaces it by the server's client
     * link; on failure *created is dropped and the server's error returned. */
    aErr serveHelper(aLinkId* created);
    /* Set when the last linkCreateHelper failed making the link (not on its
     * own checks), which lets discoverAndConnect fall back. */
    bool creationFailed = false;
    aErr connectHelper(aLinkId existing);
    aErr discoveryAndConnectHelper(linkType type, unsigned serial, unsigned char model);

    /* Streaming (LinkStream.cpp). */
    aErr installStreamFilter(bool enable);
    /* Removes the filter, stops the worker and clears the table, connected or not. */
    void stopStreaming();
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    bool registrationLive(uint64_t key, uint64_t token);
    /* Waits until no callback of a removed registration runs (not on the worker). */
    void quiesceCallbacks();

    Link* link;                     /* owner */
    std::atomic<aLinkId> linkRef{0}; /* read by the packet logger's thread */
    aLogger* logger = nullptr;
    uint32_t loggerId = 0;
    ZephylConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::shared_ptr<StreamWorker> worker; /* null when none runs; set under streamMutex */
    aLinkId streamLinkId = 0;             /* the engine link our filter is on */
    uint64_t nextToken = 1;
    std::atomic<unsigned long> droppedCallbacks{0};
    bool dropping = false;                /* input thread only: in a run of drops */
    std::mutex streamMutex;
    std::unique_ptr<char[]> name;
    linkSpec* spec = nullptr;
};

/* The stream packet filter run by the engine's input thread for a link
 * object (reference: its impl): true for every stream packet (consumed). */
bool linkStreamFilter(const aPacket* packet, void* reference);

} // namespace Tarnix
} // namespace Velorn

#endif
