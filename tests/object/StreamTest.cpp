// Link streaming: keys and sample packets, then callbacks and the stream table
// against a scripted module (exact samples: wildcards, fresh and stale values,
// order, overflow, disable, destruction while streaming) and against the
// module simulator (a module and one behind it streaming over one link).
#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "FakeModule.h"
#include "LinkPrivate.h"
#include "Module.h"
#include "SimHarness.h"
#include "SystemClass.h"

using namespace Velorn::Tarnix;
using linktest::FakeModule;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

aPacket Packet(uint8_t address, const Bytes& data)
{
    aPacket p{};
    p.validity = aPACKET_VALIDITY;
    p.address = address;
    p.dataSize = (uint8_t)data.size();
    std::copy(data.begin(), data.end(), p.data);
    return p;
}

// A 32-bit sample of the system entity (command 3), timestamp 7, trailer 0.
Bytes Sample32(uint8_t option, uint32_t value)
{
    return {3, option, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 7, uint8_t(value >> 24), uint8_t(value >> 16),
            uint8_t(value >> 8), uint8_t(value), 0};
}

template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds bound = 5000ms)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What a callback saw: every packet's data and its thread. Each call needs a
// permit (unlimited while open) and waits for one.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> seen;
    std::set<std::thread::id> threads;
    int permits = -1; // negative: unlimited
    std::atomic<bool> inside{false};
    size_t count() { std::lock_guard<std::mutex> lock(mutex); return seen.size(); }
    void permit(int n) { std::lock_guard<std::mutex> lock(mutex); permits = n < 0 ? -1 : permits + n; changed.notify_all(); }
    static uint8_t Callback(const aPacket* packet, void* context)
    {
        auto* r = static_cast<Recorder*>(context);
        r->inside = true;
        std::unique_lock<std::mutex> lock(r->mutex);
        r->seen.emplace_back(packet->data, packet->data + packet->dataSize);
        r->threads.insert(std::this_thread::get_id());
        r->changed.notify_all();
        r->changed.wait(lock, [r] { return r->permits != 0; });
        if (r->permits > 0) r->permits--;
        r->inside = false;
        return 0;
    }
};

TEST(StreamPackets, KeysMasksAndSamples)
{
    const uint64_t key = Link::createStreamKey(2, 3, 4, 5, 6);
    EXPECT_EQ(key, 0x0602030405u);
    for (int e = Link::KEY_MODULE; e <= Link::KEY_SUBINDEX; ++e) EXPECT_EQ(Link::getStreamKeyElement(key, e), e + 2);
    EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
    std::set<uint64_t> masks; // 15 distinct ones and 0 out of range, never the module
    for (int n = -1; n <= 15; ++n) masks.insert(_getGenericStreamKeyMask(n));
    EXPECT_EQ(masks.size(), 16u);
    for (uint64_t m : masks) EXPECT_EQ(m & 0xFF000000u, 0u);
    EXPECT_EQ(_getGenericStreamKeyMask(14), 0xFF00FFFFFFu);

    struct Row {
        const char* name;
        Bytes data;
        aErr result;
        unsigned long timestamp;
        unsigned value;
        uint8_t subindex;
    } rows[] = {
        {"u16", {3, 12, 0x40, 2, 0, 0, 0, 1, 0, 0, 0, 2, 1, 2, 0}, aErrNone, 0x0000000100000002ul, 258, 0},
        {"u16 one byte long", {3, 12, 0x40, 2, 0, 0, 0, 1, 0, 0, 0, 2, 1, 2, 0, 0}, aErrPacket, 0, 0, 0},
        {"u8 with subindex", {3, 31, 0x40, 5, 9, 0, 0, 0, 0, 0, 0, 0, 3, 0xAB, 0}, aErrNone, 3, 0xAB, 9},
        {"u32 with subindex", {3, 31, 0x40, 7, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0}, aErrNone, 1, 256, 2},
        {"byte sequence", {3, 32, 0x40, 3, 1, 2, 0x81}, aErrSize, 0, 0, 0},
        {"not a stream packet", {3, 12, 0x00, 3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0}, aErrPacket, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const aPacket p = Packet(4, row.data);
        unsigned long timestamp = 0;
        unsigned value = 0;
        unsigned char subindex = 0;
        EXPECT_EQ(Link::getStreamSample(&p, &timestamp, &value, &subindex), row.result);
        EXPECT_EQ(Link::isStreamSample(&p), row.result == aErrNone);
        EXPECT_EQ(timestamp, row.timestamp);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(subindex, row.subindex);
    }
}

ZephylConfig Direct()
{
    ZephylConfig c;
    c.enabled = 0;
    return c;
}

linkSpec Tcp(uint32_t address, uint16_t port)
{
    linkSpec s{};
    s.type = TCPIP;
    s.ip_address = address;
    s.ip_port = port;
    return s;
}

// A module object on a scripted module at address 4 that answers only
// synchronisation: each test queues the module's acknowledgements itself.
class StreamScripted : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.setEcho(false);
        module = std::make_unique<Module>(4);
        ASSERT_EQ(module->setConfig(Direct()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(Tcp(fake.addressNetworkOrder(), fake.port())), aErrNone);
        system.init(module.get(), 0);
    }
    Link* link() { return module->getLink(); }
    aErr Register(uint8_t option, bool enable, Recorder* r)
    {
        fake.sendPacket(4, {93, uint8_t(enable ? 0xC1 : 0xC2), 0});
        return link()->registerStreamCallback(4, 3, option, 0, enable, r ? Recorder::Callback : nullptr, r);
    }
    // A non-stream packet sent after the samples: once it is queued, they have passed the filter.
    Bytes Sentinel(uint8_t command)
    {
        fake.sendPacket(4, {command, 1, 0});
        uint8_t match[2] = {command, 1}, out[28];
        uint8_t length = 2;
        EXPECT_EQ(link()->receivePacket(4, match, &length, out), aErrNone);
        return Bytes(out, out + length);
    }

    FakeModule fake{FakeModule::Transport::Tcp, 4};
    std::unique_ptr<Module> module;
    SystemClass system;
};

TEST_F(StreamScripted, WildcardAndExactRegistrationsRunOnceInOrderOnTheWorkerAndKeepValues)
{
    Recorder all, voltage;
    ASSERT_EQ(Register(255, true, &all), aErrNone);
    ASSERT_EQ(Register(12, true, &voltage), aErrNone);
    const Bytes request = {93, 0x81, 0x20, 4, 3, 255, 0}; // module, command, option, index
    EXPECT_TRUE(fake.waitFor([&](const linktest::WirePacket& p) { return p.data == request; }));

    const Bytes subindexed = {3, 31, 0x40, 7, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 9, 0};
    for (uint32_t v = 1; v <= 50; ++v) fake.sendPacket(4, Sample32(12, v));
    fake.sendPacket(4, Sample32(21, 77));
    fake.sendPacket(4, subindexed);
    fake.sendPacket(4, {5, 1, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}); // nobody registered
    fake.sendPacket(4, {3, 22, 0x40, 4, 1, 2, 0x81});                          // a byte-sequence packet
    // The unregistered sample was consumed, not queued before the sentinel.
    EXPECT_EQ(Sentinel(5), Bytes({5, 1, 0}));
    ASSERT_TRUE(WaitUntil([&] { return all.count() == 53 && voltage.count() == 50; }));

    // In order, once each, off the caller's thread, all on one worker.
    for (uint32_t v = 1; v <= 50; ++v) {
        EXPECT_EQ(all.seen[v - 1], Sample32(12, v));
        EXPECT_EQ(voltage.seen[v - 1], Sample32(12, v));
    }
    EXPECT_EQ(all.seen[50], Sample32(21, 77));
    EXPECT_EQ(all.seen[51], subindexed);
    EXPECT_EQ(all.seen[52][1], 22);
    EXPECT_EQ(all.threads.size(), 1u);
    EXPECT_EQ(all.threads, voltage.threads);
    EXPECT_FALSE(all.threads.count(std::this_thread::get_id()));

    // Values: fresh once, then stale; a get is answered from them with no request.
    Link::StreamStatusEntry entries[4];
    size_t count = 0;
    EXPECT_EQ(system.getStreamStatus(entries, 4, &count), aErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_TRUE(entries[0].key == Link::createStreamKey(4, 3, 12, 0, 0) && entries[0].value == 50);
    EXPECT_TRUE(entries[1].value == 77 && entries[2].key == Link::createStreamKey(4, 3, 31, 0, 2));
    EXPECT_EQ(entries[2].value, 9u);
    EXPECT_EQ(system.getStreamStatus(entries, 2, &count), aErrSize);
    EXPECT_EQ(count, 2u);
    fake.clearReceived();
    unsigned value = 0;
    EXPECT_EQ(system.getInputVoltage(&value), aErrNone);
    EXPECT_EQ(value, 50u);
    EXPECT_EQ(system.getInputVoltage(&value), aErrStreamStale);
    EXPECT_EQ(value, 50u);
    unsigned element = 0;
    EXPECT_EQ(system.getUEI32(31, 2, &element), aErrNone);
    EXPECT_EQ(element, 9u);
    EXPECT_EQ(fake.countReceived([](const linktest::WirePacket& p) { return !p.data.empty() && p.data[0] == 3; }), 0u);

    // Bad address, and disabling the wildcard forgets every value it covers.
    EXPECT_EQ(link()->registerStreamCallback(3, 3, 12, 0, true, Recorder::Callback, &all), aErrParam);
    EXPECT_EQ(Register(255, false, nullptr), aErrNone);
    EXPECT_EQ(system.getStreamStatus(entries, 4, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(link()->getDroppedStreamCallbacks(), 0u);
}

TEST_F(StreamScripted, SlowCallbackStallsNeitherInputNorValuesAndDropsAreCounted)
{
    Recorder slow;
    ASSERT_EQ(Register(12, true, &slow), aErrNone);
    slow.permits = 0;
    fake.sendPacket(4, Sample32(12, 1));
    ASSERT_TRUE(WaitUntil([&] { return slow.count() == 1; })); // held inside the first callback
    for (uint32_t v = 2; v <= 510; ++v) fake.sendPacket(4, Sample32(12, v));
    // Replies still come through while the callback is held.
    fake.sendPacket(4, {3, 8, 0, 17});
    unsigned char model = 0;
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 17);
    EXPECT_EQ(link()->getDroppedStreamCallbacks(), 10u); // 499 wait, the rest is dropped
    unsigned value = 0;
    EXPECT_EQ(system.getInputVoltage(&value), aErrNone);
    EXPECT_EQ(value, 510u);

    slow.permit(-1);
    ASSERT_TRUE(WaitUntil([&] { return slow.count() == 500; }));
    module.reset(); // joins the worker: nothing more can come
    ASSERT_EQ(slow.seen.size(), 500u);
    for (uint32_t v = 1; v <= 500; ++v) EXPECT_EQ(slow.seen[v - 1], Sample32(12, v));
}

TEST_F(StreamScripted, DisableWaitsForARunningCallbackAndDropsQueuedOnes)
{
    Recorder gone, kept;
    ASSERT_EQ(Register(12, true, &gone), aErrNone);
    ASSERT_EQ(Register(21, true, &kept), aErrNone); // keeps the worker running
    gone.permits = 0;
    for (uint32_t v = 1; v <= 5; ++v) fake.sendPacket(4, Sample32(12, v));
    ASSERT_TRUE(WaitUntil([&] { return gone.count() == 1; }));
    auto disabled = std::async(std::launch::async, [&] {
        aErr err = Register(12, false, nullptr);
        const bool running = gone.inside.load();
        return std::make_pair(err, std::make_pair(running, gone.count()));
    });
    EXPECT_TRUE(gone.inside.load());
    // Once the registration is gone, the running callback may end; the queued
    // ones must not run (each would wait for a permit of its own).
    ASSERT_TRUE(WaitUntil([&] { return link()->filterActiveStreamKeys(4, 3, 12, 0, 255, true).empty(); }));
    gone.permit(1);
    const bool returned = disabled.wait_for(5s) == std::future_status::ready;
    gone.permit(-1);
    EXPECT_TRUE(returned) << "disable waited for a callback that should never have run";
    const auto result = disabled.get();
    EXPECT_EQ(result.first, aErrNone);
    EXPECT_FALSE(result.second.first) << "a callback still ran when disable returned";
    // The other registration still gets its samples, the disabled one no more.
    fake.sendPacket(4, Sample32(12, 6));
    fake.sendPacket(4, Sample32(21, 1));
    ASSERT_TRUE(WaitUntil([&] { return kept.count() == 1; }));
    module.reset();
    EXPECT_EQ(gone.count(), result.second.second);
}

TEST_F(StreamScripted, DestroyingWhileCallbacksRunAndFromACallbackIsSafe)
{
    struct Context {
        std::unique_ptr<Module> module;
        std::atomic<int> calls{0};
        std::atomic<bool> destroyed{false};
    };
    for (bool fromCallback : {false, true}) {
        SCOPED_TRACE(fromCallback);
        if (!module) SetUp();
        auto context = std::make_unique<Context>();
        context->module = std::move(module);
        fake.sendPacket(4, {93, 0xC1, 0});
        auto callback = [fromCallback](const aPacket*, void* c) -> uint8_t {
            auto* ctx = static_cast<Context*>(c);
            if (++ctx->calls == 20 && fromCallback) {
                ctx->module.reset();
                ctx->destroyed = true;
            }
            return 0;
        };
        ASSERT_EQ(context->module->getLink()->registerStreamCallback(4, 3, 255, 0, true, callback, context.get()),
                  aErrNone);
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            for (uint32_t v = 0; !stop; ++v) {
                fake.sendPacket(4, Sample32(12, v));
                if (v % 64 == 0) std::this_thread::sleep_for(1ms);
            }
        });
        ASSERT_TRUE(WaitUntil([&] { return context->calls >= 20; }));
        if (fromCallback)
            EXPECT_TRUE(WaitUntil([&] { return context->destroyed.load(); }));
        else
            context->module.reset();
        const int calls = context->calls;
        context.reset(); // a callback touching it now would be caught by the sanitizers
        stop = true;
        flood.join();
        EXPECT_GE(calls, 20);
    }
}

// A router and a module behind it on one engine link, both streaming.
TEST(StreamSim, ModuleAndOneBehindItStreamOverOneLink)
{
    simtest::Sim sim(R"(
[module router]
serial = 0x1234ABCD
address = 4
stream_interval_ms = 10
input_voltage = 5000000

[module behind]
router = router
i2c_address = 0x10
serial = 0x0000BEEF
input_voltage = 3300000
)");
    ASSERT_TRUE(sim.ready()) << sim.log();
    Module router(4), behind(0x10);
    ASSERT_EQ(router.setConfig(Direct()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(Tcp(htonl(INADDR_LOOPBACK), sim.port("router"))), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    SystemClass routerSystem, behindSystem;
    routerSystem.init(&router, 0);
    behindSystem.init(&behind, 0);
    const uint32_t elements[2] = {11, 22};
    ASSERT_EQ(routerSystem.setInputPowerBehaviorConfig(elements, 2), aErrNone);

    struct Seen {
        std::mutex mutex;
        std::map<std::pair<uint8_t, uint8_t>, int> samples; // (address, option) -> count
        int of(uint8_t address, uint8_t option) { std::lock_guard<std::mutex> l(mutex); return samples[{address, option}]; }
    } seen;
    auto count = [](const aPacket* p, void* c) -> uint8_t {
        auto* s = static_cast<Seen*>(c);
        std::lock_guard<std::mutex> lock(s->mutex);
        s->samples[{p->address, p->data[1]}]++;
        return 0;
    };
    unsigned char state = 9;
    ASSERT_EQ(routerSystem.registerOptionCallback(255, true, count, &seen), aErrNone);
    ASSERT_EQ(behindSystem.registerOptionCallback(12, true, count, &seen), aErrNone);
    EXPECT_EQ(router.getLink()->isLinkStreaming(4, &state), aErrNone);
    EXPECT_EQ(state, 1);
    auto seenAtLeast = [&](uint8_t address, uint8_t option, int n) {
        return WaitUntil([&] { return seen.of(address, option) >= n; });
    };
    for (uint8_t option : {12, 21, 22, 27, 31}) EXPECT_TRUE(seenAtLeast(4, option, 3)) << int(option);
    EXPECT_TRUE(seenAtLeast(0x10, 12, 3));

    Link::StreamStatusEntry entries[16];
    size_t n = 0;
    EXPECT_EQ(routerSystem.getStreamStatus(entries, 16, &n), aErrNone);
    EXPECT_EQ(n, 6u); // four options and two array elements
    unsigned value = 0, element = 0;
    EXPECT_EQ(routerSystem.getUEI32(31, 1, &element), aErrNone);
    EXPECT_EQ(element, 22u);
    aErr err = behindSystem.getInputVoltage(&value);
    EXPECT_TRUE(err == aErrNone || err == aErrStreamStale) << err;
    EXPECT_EQ(value, 3300000u);

    // The router's streams stop; the other object's go on.
    ASSERT_EQ(routerSystem.setStreamEnabled(false), aErrNone);
    EXPECT_EQ(routerSystem.getStreamStatus(entries, 16, &n), aErrNone);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(seenAtLeast(0x10, 12, seen.of(0x10, 12) + 3));
    EXPECT_EQ(router.getLink()->isLinkStreaming(4, &state), aErrNone);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(behind.getLink()->isLinkStreaming(0x10, &state), aErrNone);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(behindSystem.setStreamEnabled(false), aErrNone);
    EXPECT_EQ(behind.getLink()->isLinkStreaming(0x10, &state), aErrNone);
    EXPECT_EQ(state, 0);
}

} // namespace
