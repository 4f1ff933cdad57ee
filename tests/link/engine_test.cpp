// The link engine against a fake module on a loopback TCP socket and on a
// pseudo-terminal (COBS framing): synchronisation, heartbeats, user filters,
// waiting readers, pooled output, stopping, recovery from misbehaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeModule.h"
#include "LinkTestUtil.h"
#include "MemoryTransport.h"
#include "aLink.h"
#include "aLinkPrivate.h"

using namespace linktest;

namespace {

constexpr uint8_t kAddress = 4;

class TcpLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = aLink_CreateTCPIP(0x1234, module.addressNetworkOrder(), module.port());
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(WaitForStatus(id, linkRunning));
        ASSERT_TRUE(module.waitFor([](const WirePacket& p) { return IsRoute(p, 1); }));
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
    }
    // Makes the link lose step: an odd address byte where a packet should begin.
    void Desync() { module.sendRaw({0x05}); }

    FakeModule module{FakeModule::Transport::Tcp, kAddress};
    aLinkId id = 0;
};

} // namespace

TEST_F(TcpLink, RequestsAreEchoedAndModuleQueriesAnswered)
{
    EXPECT_TRUE(EchoWorks(id, kAddress, 1));
    uint8_t address = 0;
    ASSERT_EQ(_aLink_GetModuleAddress(id, &address), aErrNone);
    EXPECT_EQ(address, kAddress);
    uint8_t model = 0;
    ASSERT_EQ(_aLink_GetModel(id, kAddress, &model), aErrNone);
    EXPECT_EQ(model, 19);

    // A reply of the wrong shape is an I/O error; none at all a time-out.
    module.setSilent(true);
    Match any{kAddress, {}};
    aLink_DrainPackets(id, MatchFilter, &any);
    module.sendPacket(kAddress, {1, 2});
    EXPECT_EQ(_aLink_GetModel(id, kAddress, &model), aErrIO);
    EXPECT_EQ(_aLink_GetModuleAddress(id, &address), aErrTimeout);
}

TEST_F(TcpLink, HeartbeatsAreAnsweredAndNeverReachReaders)
{
    module.sendHeartbeat(1);
    module.sendHeartbeat(0);
    module.sendPacket(kAddress, {9, 9});
    EXPECT_TRUE(module.waitFor([](const WirePacket& p) {
        return p == WirePacket{kAddress, {0, 3}};
    }));
    EXPECT_TRUE(module.waitFor([](const WirePacket& p) {
        return p == WirePacket{kAddress, {0, 2}};
    }));
    aPacket* first = aLink_AwaitPacket(id, 10000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->dataSize, 2);
    EXPECT_EQ(first->data[0], 9); // the heartbeats were not queued ahead of it
    EXPECT_EQ(aErrNone, aPacket_Destroy(&first));
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

namespace {
struct Consumer {
    std::atomic<int> seen{0};
};
bool ConsumeAll(const aPacket*, void* reference)
{
    static_cast<Consumer*>(reference)->seen++;
    return true;
}
} // namespace

TEST_F(TcpLink, UserFilterThatConsumesEverythingStarvesReadersAndHeartbeats)
{
    Consumer consumer;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, ConsumeAll, &consumer), aErrNone);
    module.sendHeartbeat(1);
    module.sendPacket(kAddress, {7});
    ASSERT_TRUE(WaitUntil([&] { return consumer.seen >= 2; }));
    // Anything the input thread queued for the heartbeat would go out before this.
    ASSERT_EQ(PutPacket(id, kAddress, {0x42}), aErrNone);
    ASSERT_TRUE(module.waitFor([](const WirePacket& p) { return p.data == std::vector<uint8_t>{0x42}; }));
    EXPECT_EQ(module.countReceived([](const WirePacket& p) { return p.data.size() == 2 && p.data[0] == 0; }), 0u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);

    // Removed, packets reach readers again.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(EchoWorks(id, kAddress, 2));
    EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFFFF, nullptr, nullptr), aErrParam);
}

TEST_F(TcpLink, OddAddressStartsHandshakeAndReadersReturnAtOnceWhileSyncing)
{
    module.setSilent(true);
    module.clearReceived();
    Desync();
    ASSERT_TRUE(module.waitFor(IsSyncRequest, 6));
    ASSERT_TRUE(WaitForStatus(id, linkSyncing));

    Match any{kAddress, {}};
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, MatchFilter, &any, 120000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(60));

    // The module answers again: the repeated requests bring the link back.
    module.setSilent(false);
    ASSERT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(EchoWorks(id, kAddress, 3));
}

TEST_F(TcpLink, WrongSecondAddressRestartsTheHandshake)
{
    module.clearReceived();
    // First answer A, 0, B, 0; the other five requests of the round go unanswered,
    // so only a restarted handshake can bring the link back.
    module.scriptSyncAnswer({kAddress, 0, 6, 0});
    for (int i = 0; i < 5; ++i)
        module.scriptSyncAnswer({});
    Desync();
    ASSERT_TRUE(module.waitFor(IsSyncRequest, 6));
    ASSERT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_GE(module.countReceived(IsSyncRequest), 7u);
    EXPECT_TRUE(EchoWorks(id, kAddress, 4));
}

// Which of a forced sync's six requests the module answers.
struct SyncAnswers {
    const char* name;
    std::vector<bool> answered;
};

class TcpLinkSync : public TcpLink, public ::testing::WithParamInterface<SyncAnswers> {};

// However many of its requests are answered, a sync that succeeds leaves no
// answer behind for readers: the first packet a reader gets afterwards is the
// reply to its own request.
TEST_P(TcpLinkSync, SyncsAndNoSyncAnswerReachesReaders)
{
    module.clearReceived();
    for (bool answered : GetParam().answered)
        module.scriptSyncAnswer(answered ? std::vector<uint8_t>{kAddress, 0} : std::vector<uint8_t>{});
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    ASSERT_EQ(PutPacket(id, kAddress, {0x31, 9}), aErrNone);
    aPacket* reply = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, kAddress);
    EXPECT_EQ(std::vector<uint8_t>(reply->data, reply->data + reply->dataSize), (std::vector<uint8_t>{0x31, 9}));
    EXPECT_EQ(aPacket_Destroy(&reply), aErrNone);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TcpLinkSync,
    ::testing::Values(SyncAnswers{"All", {true, true, true, true, true, true}},
                      SyncAnswers{"FirstTwo", {true, true, false, false, false, false}},
                      SyncAnswers{"FirstTwoAndLast", {true, true, false, false, false, true}},
                      SyncAnswers{"FirstMissing", {false, true, true, true, true, true}}),
    [](const ::testing::TestParamInfo<SyncAnswers>& info) { return std::string(info.param.name); });

TEST_F(TcpLink, GarbageAndZeroAddressesAreRecoveredFrom)
{
    module.sendRaw({0x00, 0x00, 0x13, 0xFF, 0x07, 0x99, 0x31});
    EXPECT_TRUE(module.waitFor(IsSyncRequest, 6));
    EXPECT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(EchoWorks(id, kAddress, 5));
    // A length byte over 28 is refused as well.
    module.clearReceived();
    module.sendRaw({kAddress, 29});
    EXPECT_TRUE(module.waitFor(IsSyncRequest, 6));
    EXPECT_TRUE(EchoWorks(id, kAddress, 6));
}

TEST_F(TcpLink, ForcedSyncAgainstASilentModuleIsBoundedAndThenSucceeds)
{
    module.setSilent(true);
    module.clearReceived();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    // Requests are repeated while the module is quiet, but not in a flood.
    const size_t requests = module.countReceived(IsSyncRequest);
    EXPECT_GE(requests, 6u);
    EXPECT_LT(requests, 1000u);
    module.setSilent(false);
    ASSERT_TRUE(WaitForStatus(id, linkRunning));
    // A packet waiting for readers when the sync starts is discarded by it.
    module.sendPacket(kAddress, {0x77});
    Match stale{kAddress, {0x77}};
    ASSERT_TRUE(WaitUntil([&] { return CountQueued(id, stale) == 1; }));
    EXPECT_TRUE(SyncSucceeds(id));
    EXPECT_EQ(aLink_GetStatus(id), linkRunning);
    EXPECT_EQ(CountQueued(id, stale), 0u);
    EXPECT_TRUE(EchoWorks(id, kAddress, 7));
}

TEST_F(TcpLink, DroppedConnectionIsReconnectedByTheLink)
{
    ASSERT_EQ(module.connections(), 1);
    module.dropConnection();
    // Writing meets the dead connection and reconnects; keep writing until it has.
    bool reconnected = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (uint8_t i = 0; !reconnected && std::chrono::steady_clock::now() < deadline; ++i) {
        (void)PutPacket(id, kAddress, {0x50, i}); /* writing is what meets the dead connection: refusals are expected */
        reconnected = module.waitForConnections(2, std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(reconnected);
    EXPECT_TRUE(EchoWorks(id, kAddress, 8));
}

TEST_F(TcpLink, StopWritesOutTheRouteOffPacket)
{
    ASSERT_EQ(PutPacket(id, kAddress, {0x61}), aErrNone);
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    ASSERT_TRUE(module.waitFor([](const WirePacket& p) { return IsRoute(p, 0); }));
    auto all = module.received();
    EXPECT_TRUE(IsRoute(all.back(), 0));
}

// Engine details that need a transport the test controls completely.
class MemoryLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = aLink_Create(wire.makeStream());
        ASSERT_NE(id, 0u);
        ASSERT_EQ(aLink_GetStatus(id), linkRunning);
    }
    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> lock(wire.mutex);
            wire.holdWrites = false;
        }
        wire.released.notify_all();
        if (id != 0) {
            EXPECT_EQ(aErrNone, aLink_Destroy(&id));
        }
    }
    MemoryTransport wire;
    aLinkId id = 0;
};

TEST_F(MemoryLink, PooledOutputWritesTwoHundredPacketsInTwoWrites)
{
    // The route-on packet goes out first.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(wire.mutex);
        return !wire.writes.empty();
    }));
    wire.takeWrites();
    // Hold the output thread inside a write so that all 200 packets are queued together.
    {
        std::lock_guard<std::mutex> lock(wire.mutex);
        wire.holdWrites = true;
    }
    ASSERT_EQ(PutPacket(id, kAddress, {0x01}), aErrNone);
    {
        std::unique_lock<std::mutex> lock(wire.mutex);
        ASSERT_TRUE(wire.written.wait_for(lock, std::chrono::seconds(20), [&] { return wire.inWrite; }));
    }
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    std::vector<uint8_t> data(28);
    for (int i = 0; i < 200; ++i) {
        data[0] = (uint8_t)i;
        ASSERT_EQ(PutPacket(id, kAddress, data), aErrNone);
    }
    {
        std::lock_guard<std::mutex> lock(wire.mutex);
        wire.holdWrites = false;
    }
    wire.released.notify_all();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(wire.mutex);
        size_t bytes = 0;
        for (auto& w : wire.writes)
            bytes += w.size();
        return bytes >= 3 + 200 * 30; // the held write, then the pool
    }));
    auto writes = wire.takeWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].size(), 4080u);
    EXPECT_EQ(writes[2].size(), 1920u);
    // In order, back to back.
    std::vector<uint8_t> all(writes[1]);
    all.insert(all.end(), writes[2].begin(), writes[2].end());
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(all[i * 30], kAddress);
        EXPECT_EQ(all[i * 30 + 1], 28);
        EXPECT_EQ(all[i * 30 + 2], (uint8_t)i);
    }
}

TEST_F(MemoryLink, WithoutPoolingEachPacketIsOneWrite)
{
    ASSERT_TRUE(WaitUntil([&] { // the route-on packet first
        std::lock_guard<std::mutex> lock(wire.mutex);
        return !wire.writes.empty();
    }));
    wire.takeWrites();
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(PutPacket(id, kAddress, {0x10, (uint8_t)i}), aErrNone);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(wire.mutex);
        return wire.writes.size() >= 10;
    }));
    for (auto& w : wire.takeWrites())
        EXPECT_EQ(w.size(), 4u);
}

TEST_F(MemoryLink, StopOnAStoppedLinkChangesNothingAndStartRestarts)
{
    aLink* link = aLinkPriv_GetLink(id);
    ASSERT_NE(link, nullptr);
    struct Release {
        aLink** link;
        ~Release() { aLinkPriv_ReleaseLink(link); }
    } release{&link};
    EXPECT_EQ(aLink_Start(id), aErrNone); // already running
    ASSERT_EQ(aLink_Stop(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), linkStopped);
    EXPECT_EQ(aLink_Stop(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), linkStopped);
    // A reader returns at once on a stopped link.
    Match any{kAddress, {}};
    EXPECT_EQ(aLink_AwaitFirst(id, MatchFilter, &any, 120000), nullptr);
    // The route-off packet was written before the threads ended.
    auto writes = wire.takeWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), (std::vector<uint8_t>{0xAF, 1, 0}));

    ASSERT_EQ(aLink_Start(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), linkRunning);
    wire.feed({kAddress, 1, 0x77});
    aPacket* p = aLink_AwaitPacket(id, 10000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x77);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
}

namespace {
bool RefuseAndCount(const aPacket*, void* reference)
{
    static_cast<std::atomic<int>*>(reference)->fetch_add(1);
    return false;
}
} // namespace

TEST_F(MemoryLink, DestroyReleasesAReaderWaitingOnTheLink)
{
    std::atomic<int> offered{0};
    aPacket* result = reinterpret_cast<aPacket*>(1);
    std::chrono::steady_clock::duration waited{};
    const aLinkId reader = id;
    std::thread waiter([&] {
        const auto start = std::chrono::steady_clock::now();
        result = aLink_AwaitFirst(reader, RefuseAndCount, &offered, 150000);
        waited = std::chrono::steady_clock::now() - start;
    });
    // Once the reader has refused a packet it is inside its wait.
    wire.feed({kAddress, 1, 0x01});
    EXPECT_TRUE(WaitUntil([&] { return offered.load() > 0; }));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    waiter.join();
    EXPECT_EQ(result, nullptr);
    // Released by the teardown, not by its time-out of two and a half minutes.
    EXPECT_LT(waited, std::chrono::minutes(2));
    EXPECT_EQ(aLink_GetStatus(reader), linkNoStream);
}

TEST_F(MemoryLink, DrainAndSelectiveReads)
{
    wire.feed({kAddress, 1, 1, kAddress, 1, 2, 6, 1, 3, kAddress, 1, 4});
    aLink* link = aLinkPriv_GetLink(id);
    ASSERT_NE(link, nullptr);
    const aPacketFifoId input = link->inputFifo;
    aLinkPriv_ReleaseLink(&link);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == linkRunning && aPacketFifo_GetLength(input) == 4; }));
    Match fromSix{6, {}};
    aPacket* p = aLink_GetFirst(id, MatchFilter, &fromSix);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 3);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    Match fromFour{kAddress, {}};
    EXPECT_EQ(aLink_DrainPackets(id, MatchFilter, &fromFour), 3u);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

// The same engine over a serial line: COBS frames on a pseudo-terminal.
class SerialLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = aLink_CreateSerial(0x55AA, module.ptyName().c_str(), 115200);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(WaitForStatus(id, linkRunning));
        ASSERT_TRUE(module.waitFor([](const WirePacket& p) { return IsRoute(p, 1); }));
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
    }
    FakeModule module{FakeModule::Transport::Pty, kAddress};
    aLinkId id = 0;
};

TEST_F(SerialLink, EchoHeartbeatAndLargestPacket)
{
    EXPECT_TRUE(EchoWorks(id, kAddress, 1));
    module.sendHeartbeat(0);
    EXPECT_TRUE(module.waitFor([](const WirePacket& p) { return p == WirePacket{kAddress, {0, 2}}; }));
    std::vector<uint8_t> big(28);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (uint8_t)(i * 11);
    big[0] = 0x30;
    big[1] = 0x77;
    ASSERT_EQ(PutPacket(id, kAddress, big), aErrNone);
    Match m{kAddress, {0x30, 0x77}};
    aPacket* reply = aLink_AwaitFirst(id, MatchFilter, &m, 10000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(reply->data, reply->data + reply->dataSize), big);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&reply));
}

TEST_F(SerialLink, BadCrcFrameIsRecoveredFromBySynchronising)
{
    module.clearReceived();
    module.sendFrameWithBadCrc(kAddress, {1, 2, 3});
    EXPECT_TRUE(module.waitFor(IsSyncRequest, 6));
    EXPECT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(EchoWorks(id, kAddress, 2));
}

TEST_F(SerialLink, OddAddressResynchronisesOverFrames)
{
    module.clearReceived();
    module.sendPacket(0x07, {1});
    EXPECT_TRUE(module.waitFor(IsSyncRequest, 6));
    EXPECT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(SyncSucceeds(id));
    EXPECT_TRUE(EchoWorks(id, kAddress, 3));
}
