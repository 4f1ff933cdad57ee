// Packet FIFOs under several threads: overflow, filtered waits with each packet
// offered once per wait, destroy waking waiters, order kept by selective takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "aPacketFifo.h"

namespace {

aPacket* MakePacket(uint8_t address, uint8_t tag)
{
    uint8_t data[2] = {tag, (uint8_t)(tag ^ 0xFF)};
    return aPacket_CreateWithData(address, 2, data);
}

void Put(aPacketFifoId fifo, uint8_t address, uint8_t tag)
{
    aPacket* p = MakePacket(address, tag);
    ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
}

bool SelectTag(const aPacket* p, void* reference)
{
    return p->data[0] == *static_cast<uint8_t*>(reference);
}

bool SelectAll(const aPacket*, void*)
{
    return true;
}

struct Fifo {
    aPacketFifoId id = aPacketFifo_Create();
    ~Fifo()
    {
        if (id != 0) {
            EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&id));
        }
    }
};

} // namespace

TEST(PacketFifo, OverflowDropsTheWholeBacklog)
{
    Fifo fifo;
    ASSERT_NE(fifo.id, 0u);
    for (int i = 0; i < aPACKETFIFO_CAPACITY; ++i)
        Put(fifo.id, 2, (uint8_t)i);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1000u);
    Put(fifo.id, 2, 1); // 1001st
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
    Put(fifo.id, 2, 7); // 1002nd
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u);
    aPacket* p = aPacketFifo_Get(fifo.id);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 7);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
}

TEST(PacketFifo, CopiesInAndOutAndKeepsOrder)
{
    Fifo fifo;
    aPacket* mine = MakePacket(4, 9);
    ASSERT_EQ(aPacketFifo_Put(fifo.id, mine), aErrNone);
    aPacket* taken = aPacketFifo_Await(fifo.id, 0);
    ASSERT_NE(taken, nullptr);
    EXPECT_NE(taken, mine);
    EXPECT_EQ(taken->address, 4);
    EXPECT_EQ(taken->dataSize, 2);
    EXPECT_EQ(0, memcmp(taken->data, mine->data, 2));
    EXPECT_EQ(aErrNone, aPacket_Destroy(&taken));
    EXPECT_EQ(aErrNone, aPacket_Destroy(&mine));

    EXPECT_EQ(aPacketFifo_Await(fifo.id, 0), nullptr); // empty: at once

    for (uint8_t tag = 1; tag <= 3; ++tag)
        Put(fifo.id, 2, tag);
    uint8_t second = 2;
    aPacket* p = aPacketFifo_GetFirst(fifo.id, SelectTag, &second);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 2);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    for (uint8_t tag : {1, 3}) {
        p = aPacketFifo_Get(fifo.id);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->data[0], tag);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    }
    EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);

    for (uint8_t tag = 1; tag <= 5; ++tag)
        Put(fifo.id, 2, tag);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.id, SelectAll, nullptr), 5u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(PacketFifo, DestroyTwiceAndStaleIdentifiers)
{
    aPacketFifoId id = aPacketFifo_Create();
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound);
    aPacketFifoId stale = 0xFFFFFFF0ull;
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    aPacket* p = MakePacket(2, 1);
    EXPECT_EQ(aPacketFifo_Put(stale, p), aErrParam);
    EXPECT_EQ(aPacketFifo_Await(stale, 10), nullptr);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
}

namespace {
// Notes each packet a waiting filter is offered, so a test knows the waiter is inside its wait.
struct Watcher {
    std::atomic<int> offered{0};
};
bool WatchAndRefuse(const aPacket*, void* reference)
{
    static_cast<Watcher*>(reference)->offered++;
    return false;
}
} // namespace

TEST(PacketFifo, DestroyWakesAWaiterAtOnce)
{
    Fifo fifo;
    Watcher watcher;
    std::atomic<bool> returned{false};
    aPacket* result = reinterpret_cast<aPacket*>(1);
    std::chrono::steady_clock::duration waited{};
    const aPacketFifoId id = fifo.id;
    std::thread waiter([&] {
        const auto start = std::chrono::steady_clock::now();
        result = aPacketFifo_AwaitFirst(id, WatchAndRefuse, &watcher, 150000);
        waited = std::chrono::steady_clock::now() - start;
        returned = true;
    });
    // The filter runs only inside the wait: once it has refused this packet,
    // the waiter is waiting on the FIFO (or about to), never before it.
    Put(fifo.id, 2, 1);
    for (int i = 0; i < 20000 && watcher.offered.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(watcher.offered.load(), 0);
    EXPECT_EQ(aPacketFifo_Destroy(&fifo.id), aErrNone);
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(result, nullptr);
    // Woken by the destroy, not by its time-out of two and a half minutes.
    EXPECT_LT(waited, std::chrono::minutes(2));
}

namespace {
// Counts how often the filter saw each packet during one wait.
struct OfferCounter {
    std::mutex mutex;
    std::map<uint8_t, int> offers;
    uint8_t wanted;
};
bool CountingFilter(const aPacket* p, void* reference)
{
    auto* counter = static_cast<OfferCounter*>(reference);
    std::lock_guard<std::mutex> lock(counter->mutex);
    counter->offers[p->data[0]]++;
    return p->data[0] == counter->wanted;
}
} // namespace

TEST(PacketFifo, FilteredWaitOffersEachPacketOnceAndTakesTheMatch)
{
    Fifo fifo;
    Put(fifo.id, 2, 100); // queued before the wait starts
    OfferCounter counter;
    counter.wanted = 150;
    aPacket* got = nullptr;
    const aPacketFifoId id = fifo.id;
    std::thread waiter([&] { got = aPacketFifo_AwaitFirst(id, CountingFilter, &counter, 60000); });
    auto offered = [&](uint8_t tag) {
        std::lock_guard<std::mutex> lock(counter.mutex);
        return counter.offers.count(tag) > 0;
    };
    auto waitOffered = [&](uint8_t tag) {
        for (int i = 0; i < 20000 && !offered(tag); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // The waiter is inside its wait once it has been offered the first packet;
    // each later put then wakes it, and it must test only what is new.
    waitOffered(100);
    for (int tag = 101; tag <= 150; ++tag) {
        Put(fifo.id, 2, (uint8_t)tag);
        if (tag < 150)
            waitOffered((uint8_t)tag);
    }
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 150);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&got));
    for (const auto& entry : counter.offers)
        EXPECT_EQ(entry.second, 1) << "packet " << (int)entry.first << " offered more than once";
    EXPECT_EQ(counter.offers.size(), 51u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 50u); // the others stay queued, in order
    for (int tag = 100; tag < 150; ++tag) {
        aPacket* p = aPacketFifo_Get(fifo.id);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->data[0], tag);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    }
}

TEST(PacketFifo, FilteredWaitTimesOutWithNothingTaken)
{
    Fifo fifo;
    Put(fifo.id, 2, 1);
    uint8_t other = 2;
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, SelectTag, &other, 20), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, nullptr, nullptr, 0), nullptr);
}

TEST(PacketFifo, ManyProducersAndSelectiveConsumersLoseNothing)
{
    Fifo fifo;
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 200; // stays far below the overflow bound
    std::vector<std::thread> threads;
    std::atomic<int> taken[kProducers] = {};
    // One consumer per producer, each taking only its producer's packets.
    for (int c = 0; c < kProducers; ++c) {
        threads.emplace_back([&, c] {
            uint8_t tag = (uint8_t)c;
            while (taken[c] < kPerProducer) {
                aPacket* p = aPacketFifo_AwaitFirst(fifo.id, SelectTag, &tag, 10000);
                if (p == nullptr)
                    return; // would fail below
                EXPECT_EQ(p->address, 2 * (c + 1));
                EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
                taken[c]++;
            }
        });
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                Put(fifo.id, (uint8_t)(2 * (p + 1)), (uint8_t)p);
        });
    }
    for (auto& t : threads)
        t.join();
    for (int c = 0; c < kProducers; ++c)
        EXPECT_EQ(taken[c], kPerProducer);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(PacketFifo, WaitersOnManyFifosWhileOthersAreCreatedAndDestroyed)
{
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            aPacketFifoId id = aPacketFifo_Create();
            Put(id, 2, 1);
            EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&id));
        }
    });
    Fifo fifo;
    std::thread consumer([&] {
        for (int i = 0; i < 100; ++i) {
            aPacket* p = aPacketFifo_Await(fifo.id, 10000);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(p->data[0], (uint8_t)i);
            EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
        }
    });
    for (int i = 0; i < 100; ++i)
        Put(fifo.id, 2, (uint8_t)i);
    consumer.join();
    stop = true;
    churn.join();
}
