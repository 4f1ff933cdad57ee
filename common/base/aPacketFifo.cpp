/* Process-wide packet queues: a registry of shared FIFOs addressed by identifier. */
#include "aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct SerialPacket {
    aPacket* packet;
    uint64_t sequence;
};

struct packetFifo {
    std::deque<SerialPacket> packets;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> active{true};
    std::atomic<uint64_t> windowStart{0};
    std::atomic<uint64_t> nextId{0};

    ~packetFifo() { clearAndSyncWindow(); }

    void syncWindow()
    {
        windowStart = packets.empty() ? nextId.load() : packets.front().sequence;
    }
    void clearAndSyncWindow()
    {
        for (SerialPacket& entry : packets)
            (void)aPacket_Destroy(&entry.packet); /* our own live packet: destroying it cannot fail */
        packets.clear();
        syncWindow();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator at)
    {
        (void)aPacket_Destroy(&at->packet); /* our own live packet: destroying it cannot fail */
        packets.erase(at);
        syncWindow();
    }
    /* Copies the entry out and only then removes it; a failed copy leaves it in place. */
    aPacket* takeCopy(std::deque<SerialPacket>::iterator at)
    {
        aPacket* copy = aPacket_Copy(at->packet);
        if (copy != nullptr)
            eraseAndSyncWindow(at);
        return copy;
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

/* Constructed on first use so that FIFOs made during static set-up find it. */
struct sRegistry {
    std::mutex mutex;
    std::map<aPacketFifoId, FifoRef> fifos;
    std::atomic<uint64_t> counter{1};
};

sRegistry& sGetRegistry()
{
    static sRegistry* registry = new sRegistry; /* never destroyed: usable until exit */
    return *registry;
}

FifoRef sLookup(aPacketFifoId id)
{
    sRegistry& registry = sGetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.fifos.find(id);
    return found == registry.fifos.end() ? FifoRef() : found->second;
}

using Clock = std::chrono::steady_clock;

/* Waits, offering each packet to the filter at most once, in arrival order.
 * A null filter selects any packet. Returns the selected packet's copy or null. */
aPacket* sAwaitSelected(const FifoRef& fifo, aPacketFilter filter, void* reference, uint32_t timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    /* Packets numbered below nextToTest have been offered already during this wait. */
    uint64_t nextToTest = fifo->windowStart.load();
    auto found = fifo->packets.end();
    auto predicate = [&]() {
        if (filter == nullptr) {
            found = fifo->packets.begin();
        } else {
            found = fifo->packets.end();
            for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
                if (it->sequence < nextToTest)
                    continue;
                nextToTest = it->sequence + 1;
                if (filter(it->packet, reference)) {
                    found = it;
                    break;
                }
            }
        }
        return found != fifo->packets.end() || !fifo->active.load();
    };
    fifo->condition.wait_until(lock, deadline, predicate);
    if (found == fifo->packets.end() || !fifo->active.load())
        return nullptr;
    return fifo->takeCopy(found);
}

} // namespace

aPacketFifoId aPacketFifo_Create(void)
{
    try {
        sRegistry& registry = sGetRegistry();
        FifoRef fifo = std::make_shared<packetFifo>();
        aPacketFifoId id = registry.counter.fetch_add(1);
        if (id == 0)
            id = registry.counter.fetch_add(1);
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.fifos[id] = fifo;
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* fifoId)
{
    if (fifoId == nullptr)
        return aErrParam;
    try {
        FifoRef fifo;
        {
            sRegistry& registry = sGetRegistry();
            std::lock_guard<std::mutex> lock(registry.mutex);
            auto found = registry.fifos.find(*fifoId);
            if (found == registry.fifos.end())
                return aErrNotFound;
            fifo = found->second;
            registry.fifos.erase(found);
        }
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->active = false;
        }
        fifo->condition.notify_all();
        *fifoId = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId fifoId)
{
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
}

aErr aPacketFifo_Put(aPacketFifoId fifoId, const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return aErrParam;
    aPacket* copy = aPacket_Copy(packet);
    if (copy == nullptr)
        return aErrParam;
    bool overflow = false;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        try {
            fifo->packets.push_back(SerialPacket{copy, fifo->nextId.load()});
        } catch (...) {
            (void)aPacket_Destroy(&copy); /* our own copy: destroying it cannot fail */
            return aErrResource;
        }
        fifo->nextId++;
        fifo->syncWindow();
        if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
            /* Nobody is reading: drop the whole backlog rather than block the producer. */
            fifo->clearAndSyncWindow();
            overflow = true;
        }
    }
    if (!overflow)
        fifo->condition.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId fifoId)
{
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->packets.empty())
        return nullptr;
    return fifo->takeCopy(fifo->packets.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoId fifoId, uint32_t timeoutMs)
{
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return nullptr;
    try {
        return sAwaitSelected(fifo, nullptr, nullptr, timeoutMs);
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference)
{
    if (filter == nullptr)
        return nullptr;
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
        if (filter(it->packet, reference))
            return fifo->takeCopy(it);
    }
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference,
                                uint32_t timeoutMs)
{
    if (filter == nullptr)
        return nullptr;
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return nullptr;
    try {
        return sAwaitSelected(fifo, filter, reference, timeoutMs);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId fifoId, aPacketFilter filter, void* reference)
{
    if (filter == nullptr)
        return 0;
    FifoRef fifo = sLookup(fifoId);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    size_t removed = 0;
    for (auto it = fifo->packets.begin(); it != fifo->packets.end();) {
        if (filter(it->packet, reference)) {
            (void)aPacket_Destroy(&it->packet); /* our own live packet: destroying it cannot fail */
            it = fifo->packets.erase(it);
            removed++;
        } else {
            ++it;
        }
    }
    fifo->syncWindow();
    return removed;
}
