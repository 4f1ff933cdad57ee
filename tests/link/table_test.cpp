// The link table (shared links, creation failures, reset) and the packet
// debug log with its background logger.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FakeModule.h"
#include "LinkTestUtil.h"
#include "MemoryTransport.h"
#include "TempDir.h"
#include "Process.h"
#include "aFile.h"
#include "aLink.h"
#include "aServer.h"
#include "aLinkPrivate.h"

using namespace linktest;

namespace {
constexpr uint8_t kAddress = 6;

size_t TableSize()
{
    // Identifiers only grow, so counting the live ones below the next one tells the size.
    size_t n = 0;
    aLinkId probe = aLinkPriv_Create(0xDEAD0000u, 0, INVALID);
    for (aLinkId id = 1; id < probe; ++id) {
        aLinkEntry* entry = aLinkPriv_LookupEntryByID(id);
        n += entry != nullptr ? 1 : 0;
        aLinkPriv_ReleaseEntry(&entry);
    }
    aLinkId doomed = probe;
    EXPECT_EQ(aErrNone, aLink_Destroy(&doomed));
    return n;
}
} // namespace

TEST(LinkTable, TcpLinksAreSharedByUseCount)
{
    FakeModule module(FakeModule::Transport::Tcp, kAddress);
    aLinkId first = aLink_CreateTCPIP(77, module.addressNetworkOrder(), module.port());
    ASSERT_NE(first, 0u);
    aLinkId second = aLink_CreateTCPIP(77, module.addressNetworkOrder(), module.port());
    EXPECT_EQ(second, first);
    EXPECT_TRUE(module.waitForConnections(1));
    aLinkId third = aLink_CreateClient(0, 0, first); // a client sharing the existing link
    EXPECT_EQ(third, first);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_Destroy(&third), aErrNone);
    EXPECT_EQ(aLink_GetStatus(first), linkRunning);
    EXPECT_TRUE(EchoWorks(first, kAddress, 1));
    EXPECT_EQ(module.connections(), 1); // one connection served every user

    aLinkId last = first;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(aLink_GetStatus(first), linkNoStream); // gone from the table
    EXPECT_TRUE(module.waitFor([](const WirePacket& p) { return IsRoute(p, 0); }));
}

TEST(LinkTable, DifferentEndpointsGetDifferentLinks)
{
    FakeModule a(FakeModule::Transport::Tcp, kAddress);
    FakeModule b(FakeModule::Transport::Tcp, 8);
    // Same (unknown) serial number, different ports: two modules, two links.
    aLinkId la = aLink_CreateTCPIP(0, a.addressNetworkOrder(), a.port());
    aLinkId lb = aLink_CreateTCPIP(0, b.addressNetworkOrder(), b.port());
    ASSERT_NE(la, 0u);
    ASSERT_NE(lb, 0u);
    EXPECT_NE(la, lb);
    EXPECT_TRUE(EchoWorks(lb, 8, 2));
    EXPECT_EQ(aErrNone, aLink_Destroy(&la));
    EXPECT_EQ(aErrNone, aLink_Destroy(&lb));
}

TEST(LinkTable, FailedCreationsLeaveNoEntry)
{
    const size_t before = TableSize();
    FakeModule pty(FakeModule::Transport::Pty, kAddress);
    EXPECT_EQ(aLink_CreateSerial(1, pty.ptyName().c_str(), 14400), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/does-not-exist-tty", 115200), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, nullptr, 115200), 0u);
    uint16_t closedPort;
    {
        FakeModule gone(FakeModule::Transport::Tcp, kAddress);
        closedPort = gone.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(1, htonl(INADDR_LOOPBACK), closedPort), 0u);
    EXPECT_EQ(aLink_CreateTCPIP(1, htonl(INADDR_LOOPBACK), 70000), 0u);
    EXPECT_EQ(aLink_CreateClient(htonl(INADDR_LOOPBACK), 1234, 0), 0u);
    EXPECT_EQ(aLink_CreateClient(0, 0, 0x7FFFFFF0), 0u);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    uint16_t port = 0;
    uint32_t iface = 0;
    EXPECT_EQ(aLink_CreateServer(0x7FFFFFF0, &port, &iface, true), 0u);
    EXPECT_EQ(TableSize(), before);
}

TEST(LinkTable, SerialLinksOnTheSamePortAreShared)
{
    FakeModule pty(FakeModule::Transport::Pty, kAddress);
    aLinkId a = aLink_CreateSerial(3, pty.ptyName().c_str(), 230400);
    ASSERT_NE(a, 0u);
    aLinkId b = aLink_CreateSerial(3, pty.ptyName().c_str(), 230400);
    EXPECT_EQ(a, b);
    EXPECT_EQ(aErrNone, aLink_Destroy(&b));
    EXPECT_TRUE(EchoWorks(a, kAddress, 3));
    EXPECT_EQ(aErrNone, aLink_Destroy(&a));
}

TEST(LinkTable, ResetReconnectsToTheSameAddressAndPort)
{
    FakeModule module(FakeModule::Transport::Tcp, kAddress);
    aLinkId id = aLink_CreateTCPIP(5, module.addressNetworkOrder(), module.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(EchoWorks(id, kAddress, 4));
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_TRUE(module.waitForConnections(2));
    EXPECT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(EchoWorks(id, kAddress, 5));
    EXPECT_GE(module.countReceived([](const WirePacket& p) { return IsRoute(p, 1); }), 2u);
    EXPECT_EQ(aLink_Reset(0x7FFFFFF0), aErrParam);
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST(LinkTable, ResetRebuildsASerialLink)
{
    FakeModule pty(FakeModule::Transport::Pty, kAddress);
    aLinkId id = aLink_CreateSerial(9, pty.ptyName().c_str(), 9600);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_TRUE(WaitForStatus(id, linkRunning));
    EXPECT_TRUE(EchoWorks(id, kAddress, 6));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST(LinkTable, DifferentLinksAreMadeAndDestroyedFromSeveralThreadsAtOnce)
{
    // Each thread works its own module through its own links; the table is shared.
    FakeModule tcpA(FakeModule::Transport::Tcp, kAddress);
    FakeModule tcpB(FakeModule::Transport::Tcp, 8);
    FakeModule ptyA(FakeModule::Transport::Pty, 10);
    FakeModule ptyB(FakeModule::Transport::Pty, 12);
    std::atomic<int> good{0};
    auto work = [&good](FakeModule* module, uint32_t serial) {
        for (int round = 0; round < 4; ++round) {
            aLinkId id = module->ptyName().empty()
                             ? aLink_CreateTCPIP(serial, module->addressNetworkOrder(), module->port())
                             : aLink_CreateSerial(serial, module->ptyName().c_str(), 115200);
            aLinkId again = module->ptyName().empty()
                                ? aLink_CreateTCPIP(serial, module->addressNetworkOrder(), module->port())
                                : aLink_CreateSerial(serial, module->ptyName().c_str(), 115200);
            if (id != 0 && again == id && EchoWorks(id, module->address(), (uint8_t)round))
                good++;
            EXPECT_EQ(aErrNone, aLink_Destroy(&again));
            EXPECT_EQ(aErrNone, aLink_Destroy(&id));
        }
    };
    // The serial links share one serial number on different ports: two links.
    std::vector<std::thread> threads;
    threads.emplace_back(work, &tcpA, 100u);
    threads.emplace_back(work, &tcpB, 101u);
    threads.emplace_back(work, &ptyA, 102u);
    threads.emplace_back(work, &ptyB, 102u);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 16);
}

TEST(LinkLifetime, DestroyWhileOtherThreadsSyncPutAndAwait)
{
    // Each round destroys a link while other threads are inside calls on it:
    // every call returns, and the link is freed by whoever lets go of it last.
    for (int round = 0; round < 20; ++round) {
        MemoryTransport wire;
        aLinkId id = aLink_Create(wire.makeStream());
        ASSERT_NE(id, 0u);
        const aLinkId target = id;
        std::atomic<int> puts{0}, awaits{0};
        std::atomic<int> syncResult{-1};
        std::thread syncer([&] { syncResult = aLink_Sync(target); });
        std::thread putter([&] {
            const uint8_t bytes[2] = {0x40, (uint8_t)round};
            while (PutPacket(target, kAddress, {bytes[0], bytes[1]}) == aErrNone) {
                (void)aLink_EnablePooledPackets(target, (puts & 1) != 0); /* racing the destroy: any result is allowed, only returning matters */
                (void)aLink_ForceRoute(target, 1);
                (void)aLink_PacketDebug_Enable(target);
                (void)aLink_PacketDebug_Write(target, 3, sizeof(bytes), bytes);
                puts++;
            }
        });
        std::thread awaiter([&] {
            while (aLink_GetStatus(target) != linkNoStream) {
                aPacket* p = aLink_AwaitPacket(target, 5);
                (void)aPacket_Destroy(&p); /* null when nothing came in time */
                awaits++;
            }
        });
        // Destroy only once every caller is inside the link.
        ASSERT_TRUE(WaitUntil([&] {
            return aLink_GetStatus(target) == linkSyncing && puts > 0 && awaits > 0;
        }));
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        syncer.join();
        putter.join();
        awaiter.join();
        EXPECT_EQ(syncResult, aErrNotReady);
        std::lock_guard<std::mutex> lock(wire.mutex);
        EXPECT_TRUE(wire.deleted); // the last user freed the link and its stream
    }
}

TEST(LinkLifetime, ARecordKeptForAStuckThreadIsFreedWhenTheThreadEnds)
{
    MemoryTransport wire;
    aLinkId id = aLink_Create(wire.makeStream());
    ASSERT_NE(id, 0u);
    {
        std::lock_guard<std::mutex> lock(wire.mutex);
        wire.holdWrites = true;
    }
    ASSERT_EQ(PutPacket(id, kAddress, {0x01}), aErrNone);
    {
        std::unique_lock<std::mutex> lock(wire.mutex);
        ASSERT_TRUE(wire.written.wait_for(lock, std::chrono::seconds(20), [&] { return wire.inWrite; }));
    }
    // The output thread cannot end, so teardown gives up waiting for it and leaves
    // the record to the thread.
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    {
        std::lock_guard<std::mutex> lock(wire.mutex);
        EXPECT_FALSE(wire.deleted);
        wire.holdWrites = false;
    }
    wire.released.notify_all();
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(wire.mutex);
        return wire.deleted;
    }));
}

TEST(PacketLogRing, OldRecordsMakeRoomAndOversizeRecordsAreRefused)
{
    aPacketLog* log = aPacketLog_Create(64);
    ASSERT_NE(log, nullptr);
    uint8_t record[62] = {};
    for (uint8_t i = 0; i < 5; ++i) {
        record[0] = i;
        ASSERT_EQ(aPacketLog_Write(log, 1, 30, record), aErrNone);
    }
    uint8_t out[64];
    uint8_t direction = 0;
    size_t length = sizeof(out);
    ASSERT_EQ(aPacketLog_Read(log, &direction, &length, out), aErrNone);
    EXPECT_EQ(length, 30u);
    EXPECT_EQ(out[0], 4); // only the newest is left
    length = sizeof(out);
    EXPECT_EQ(aPacketLog_Read(log, &direction, &length, out), aErrNotFound);
    EXPECT_EQ(aPacketLog_Write(log, 1, 62, record), aErrOverrun);
    EXPECT_EQ(aPacketLog_Write(log, 1, 61, record), aErrNone);

    // Records wrap around the end of the ring intact.
    for (int round = 0; round < 50; ++round) {
        uint8_t bytes[7];
        for (int k = 0; k < 7; ++k)
            bytes[k] = (uint8_t)(round * 7 + k);
        ASSERT_EQ(aPacketLog_Write(log, 2, 7, bytes), aErrNone);
        length = sizeof(out);
        ASSERT_EQ(aPacketLog_Read(log, &direction, &length, out), aErrNone);
        if (length == 61) { // the big one first
            length = sizeof(out);
            ASSERT_EQ(aPacketLog_Read(log, &direction, &length, out), aErrNone);
        }
        ASSERT_EQ(length, 7u);
        EXPECT_EQ(direction, 2);
        EXPECT_EQ(0, memcmp(out, bytes, 7));
    }
    EXPECT_EQ(aErrNone, aPacketLog_Destroy(&log));
    EXPECT_EQ(log, nullptr);
}

TEST(PacketLog, LinkRecordsTrafficAndReadsItBack)
{
    MemoryTransport wire;
    aLinkId id = aLink_Create(wire.makeStream());
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    uint8_t direction;
    uint8_t buffer[64];
    size_t length = sizeof(buffer);
    EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 2, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aLINK_LOG_MAX_SIZE + 1), aErrParam);
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 4096), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrBusy);

    ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 5, (const uint8_t*)"hello"), aErrNone);
    // The engine's own start-up traffic may be recorded first: skip it. A
    // buffer too small keeps the record and says how long it is.
    aErr err = aErrNone;
    for (int record = 0; record < 16; ++record) {
        length = 2;
        err = aLink_PacketDebug_Read(id, &direction, &length, buffer);
        if (err == aErrOverrun && length == 5u)
            break;
        if (err == aErrOverrun) {
            length = sizeof(buffer);
            ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNone);
        }
        ASSERT_NE(direction, 3) << "the text record came back shortened";
    }
    ASSERT_EQ(err, aErrOverrun);
    length = 5;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, 3);
    EXPECT_EQ(std::string((char*)buffer, 5), "hello");

    ASSERT_EQ(PutPacket(id, kAddress, {0x21, 0x22}), aErrNone);
    wire.feed({kAddress, 1, 0x99});
    aPacket* p = aLink_AwaitPacket(id, 10000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    bool sawSent = false, sawReceived = false;
    ASSERT_TRUE(WaitUntil([&] {
        length = sizeof(buffer);
        if (aLink_PacketDebug_Read(id, &direction, &length, buffer) == aErrNone) {
            sawSent |= direction == aLINK_LOG_SENT && length == 4 && buffer[2] == 0x21;
            sawReceived |= direction == aLINK_LOG_RECEIVED && length == 3 && buffer[2] == 0x99;
        }
        return sawSent && sawReceived;
    }));
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

namespace {
std::atomic<int> gLoggerCalls{0};
void WriteTick(aFile* file, uint32_t identifier)
{
    if (gLoggerCalls.fetch_add(1) < 3) {
        EXPECT_EQ(aErrNone, aFile_Printf(file, "tick %u\n", identifier));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
} // namespace

TEST(PacketLog, BackgroundLoggerWritesUntilDisabled)
{
    gLoggerCalls = 0;
    testsupport::TempDir dir;
    EXPECT_EQ(aLogger_Create(1, WriteTick, (dir / "missing/dir/log.txt").c_str()), nullptr);
    aLogger* logger = aLogger_Create(42, WriteTick, (dir / "log.txt").c_str());
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(WaitUntil([] { return gLoggerCalls >= 5; }));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    const int calls = gLoggerCalls;
    // Disable has joined the thread: destroy frees it at once (it refuses a
    // logger whose thread still runs) and no call follows.
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(gLoggerCalls, calls);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(dir / "log.txt"), "tick 42\ntick 42\ntick 42\n");
}
