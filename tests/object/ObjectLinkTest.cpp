// The object model against a scripted module (FakeModule over loopback TCP):
// reply filters, byte-sequence chunking, argument guards, never-connected
// objects, connection types and auto-networking.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeModule.h"
#include "I2CClass.h"
#include "LinkFilters.h"
#include "Log.h"
#include "Module.h"
#include "Process.h"
#include "SystemClass.h"

using namespace Velorn::Tarnix;
using linktest::FakeModule;
using linktest::WirePacket;
using Bytes = std::vector<uint8_t>;

namespace {

linkSpec TcpSpec(uint32_t ip, uint16_t port)
{
    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = 0x5EED0042;
    s.ip_address = ip;
    s.ip_port = port;
    return s;
}

ZephylConfig Direct()
{
    ZephylConfig c;
    c.enabled = 0;
    return c;
}

std::function<bool(const WirePacket&)> IsRequest(uint8_t command, uint8_t option)
{
    return [=](const WirePacket& p) {
        return p.address == 4 && p.data.size() > 1 && p.data[0] == command && p.data[1] == option;
    };
}

// A module object connected to a fake module at address 4 that only answers
// synchronisation: each test queues the replies it wants.
class ScriptedModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.setEcho(false);
        ASSERT_EQ(module.setConfig(Direct()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(TcpSpec(fake.addressNetworkOrder(), fake.port())), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), 4);
        system.init(&module, 0);
        fake.clearReceived();
    }
    // Requests of command 3 with this option byte, as the fake module saw them.
    std::vector<Bytes> requests(uint8_t command, uint8_t option)
    {
        std::vector<Bytes> out;
        for (const WirePacket& p : fake.received())
            if (IsRequest(command, option)(p)) out.push_back(p.data);
        return out;
    }
    aErr I2CRead(uint8_t* out)
    {
        I2CClass i2c;
        i2c.init(&module, 0);
        return i2c.read(0x10, 4, out);
    }

    FakeModule fake{FakeModule::Transport::Tcp, 4};
    Module module{4};
    SystemClass system;
};

TEST_F(ScriptedModule, UEIRepliesAreTakenOnlyWhenTheyMatch)
{
    struct Row {
        const char* name;
        uint8_t index;
        Bytes reply;
        aErr result;
        unsigned value;
    } rows[] = {
        {"error reply to index 5", 5, {3, 9, 0x85, 29}, aErrInvalidOption, 0},
        {"error reply cut before its code", 5, {3, 9, 0x85}, aErrPacket, 0},
        {"32-bit value", 5, {3, 9, 5, 0x12, 0x34, 0x56, 0x78}, aErrNone, 0x12345678},
        {"error reply for index 5 does not answer index 4", 4, {3, 9, 0x85, 29}, aErrTimeout, 0},
        {"reply from another module", 4, {3, 9, 4, 0, 0, 0, 1}, aErrTimeout, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EntityClass entity;
        entity.init(&module, 3, row.index);
        fake.sendPacket(std::string(row.name).find("another") != std::string::npos ? 6 : 4, row.reply);
        unsigned value = 0;
        EXPECT_EQ(entity.getUEI32(9, &value), row.result);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(aErrNone, module.getLink()->dropMatchingUEIPackets(4, 3, 9, 5));
    }
}

TEST_F(ScriptedModule, SixByteReplyIsAcceptedAndLeavesTheValue)
{
    fake.sendPacket(4, {3, 9, 0, 1, 2, 3});
    uei u{};
    u.module = 4;
    u.command = 3;
    u.option = 9;
    u.specifier = 0;
    u.type = ueiInt;
    u.value.uiValue = 0xAABBCCDD;
    EXPECT_EQ(module.getLink()->receiveUEI(4, 3, 9, 0, &u), aErrNone);
    EXPECT_EQ(u.value.uiValue, 0xAABBCCDDu);
    EXPECT_EQ(u.type, ueiInt);
}

TEST_F(ScriptedModule, ByteSequencesAreCutIn24ByteChunksWithTrailers)
{
    struct Row {
        size_t length;
        std::vector<std::pair<size_t, uint8_t>> packets; // data size, trailer
    } rows[] = {
        {0, {{4, 0x00}}},
        {24, {{28, 0x00}}},
        {25, {{28, 0x80}, {5, 0x01}}},
        {49, {{28, 0x80}, {28, 0x81}, {5, 0x02}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        fake.clearReceived();
        fake.sendPacket(4, {3, 32 | 0xC0, 0}); // the module's acknowledgement
        Bytes name(row.length);
        for (size_t i = 0; i < name.size(); ++i) name[i] = uint8_t('a' + i % 26);
        EXPECT_EQ(system.setName(name.data(), name.size()), aErrNone);
        // The acknowledgement was queued first: wait until the module saw every packet.
        EXPECT_TRUE(fake.waitFor(IsRequest(3, 32 | 0x80), row.packets.size()));
        auto sent = requests(3, 32 | 0x80);
        ASSERT_EQ(sent.size(), row.packets.size());
        Bytes joined;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].size(), row.packets[i].first);
            EXPECT_EQ(sent[i][2], 0x20);
            EXPECT_EQ(sent[i].back(), row.packets[i].second);
            joined.insert(joined.end(), sent[i].begin() + 3, sent[i].end() - 1);
        }
        EXPECT_EQ(joined, name);
    }
}

TEST_F(ScriptedModule, ByteSequenceReadsKeepOrderAndBounds)
{
    struct Row {
        const char* name;
        std::vector<Bytes> replies;
        size_t capacity;
        aErr result;
        Bytes received;
    } rows[] = {
        {"two chunks", {{3, 32, 0, 'a', 'b', 0x80}, {3, 32, 0, 'c', 0x01}}, 8, aErrNone, {'a', 'b', 'c'}},
        {"empty", {{3, 32, 0, 0}}, 8, aErrNone, {}},
        {"overflow after what fitted", {{3, 32, 0, 'a', 'b', 'c', 0x80}, {3, 32, 0, 'd', 'e', 0x01}}, 4,
         aErrMemory, {'a', 'b', 'c'}},
        {"module error", {{3, 32, 0x80, 29}}, 8, aErrInvalidOption, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const Bytes& r : row.replies) fake.sendPacket(4, r);
        Bytes buffer(row.capacity, 0);
        size_t count = 99;
        EXPECT_EQ(system.getName(buffer.data(), buffer.size(), &count), row.result);
        EXPECT_EQ(count, row.received.size());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + row.received.size()), row.received);
        EXPECT_EQ(aErrNone, module.getLink()->dropMatchingUEIPackets(4, 3, 32, 0));
    }
    size_t count = 0;
    uint8_t b[8];
    EXPECT_EQ(system.getName(b, 0, &count), aErrParam);
}

TEST_F(ScriptedModule, WrongSequenceNumberStaysQueued)
{
    fake.sendPacket(4, {3, 32, 0, 'x', 0x01}); // sequence 1 where 0 is due
    uint8_t buffer[8];
    size_t count = 0;
    EXPECT_EQ(system.getName(buffer, sizeof buffer, &count), aErrTimeout);
    // Still there for a reader that expects sequence 1.
    uei u{};
    u.module = 4;
    u.command = 3;
    u.option = 32;
    u.specifier = 0;
    u.sequence = 1;
    u.length = sizeof buffer;
    u.value.data = buffer;
    u.count = &count;
    EXPECT_EQ(module.getLink()->receiveUEI(4, 3, 32, 0, &u, UEIBytesFilter), aErrNone);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(ScriptedModule, PowerBehaviourArrayCountsWholeElements)
{
    struct Row {
        Bytes reply;
        aErr result;
        size_t count;
    } rows[] = {
        {{3, 31, 0, 1, 0, 0, 0, 2, 0, 0}, aErrMemory, 6},
        {{3, 31, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0}, aErrNone, 2},
    };
    for (const Row& row : rows) {
        fake.sendPacket(4, row.reply);
        unsigned values[4] = {};
        size_t count = 0;
        EXPECT_EQ(system.getInputPowerBehaviorConfig(values, 4, &count), row.result);
        EXPECT_EQ(count, row.count);
    }
}

TEST_F(ScriptedModule, GuardsRefuseBeforeSending)
{
    Link* link = module.getLink();
    uint8_t data[28] = {};
    uint8_t out[28];
    uint8_t length = 1;
    uei u{};
    u.command = 3;
    for (uint8_t bad : {0, 3, 255}) {
        SCOPED_TRACE(bad);
        u.module = bad;
        EXPECT_EQ(link->sendUEI(u), aErrPacket);
        EXPECT_EQ(link->receiveUEI(bad, 3, 9, 0, &u), aErrPacket);
        EXPECT_EQ(link->sendPacket(bad, 23, 1, data), aErrPacket);
        EXPECT_EQ(link->receivePacket(bad, data, &length, out), aErrPacket);
        EXPECT_EQ(link->dropMatchingUEIPackets(bad, 3, 9, 0), aErrPacket);
    }
    EXPECT_EQ(link->sendPacket(4, 23, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(4, 23, 27, data), aErrNone);
    EXPECT_TRUE(fake.waitFor([](const WirePacket& p) { return p.data.size() == 28 && p.data[0] == 23; }));

    unsigned char* none = nullptr;
    EXPECT_EQ(system.getModel(none), aErrParam);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0xC0), aErrParam);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x01), aErrParam);
    EXPECT_EQ(module.debug(data, 28), aErrParam);
    I2CClass i2c;
    i2c.init(&module, 0);
    EXPECT_EQ(i2c.read(0x10, 24, out), aErrSize);
    EXPECT_EQ(i2c.setSpeed(2), aErrNone);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    uint8_t speed = 0;
    EXPECT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2);
    // Nothing of the refused calls reached the module.
    EXPECT_EQ(fake.countReceived([](const WirePacket& p) { return p.address == 4 && p.data.size() > 0 && p.data[0] != 23; }), 0u);
}

TEST_F(ScriptedModule, MalformedRepliesToModuleQueries)
{
    struct Row {
        const char* name;
        Bytes reply;
        std::function<aErr()> call;
        aErr result;
    } rows[] = {
        {"build with 5 data bytes", {73, 255, 1, 2, 3}, [&] { unsigned b; return module.getBuild(&b); }, aErrSize},
        {"echo differing in one byte", {23, 1, 2, 9}, [&] { const uint8_t d[] = {1, 2, 3}; return module.debug(d, 3); }, aErrIO},
        {"class count for another class", {73, 4, 8, 1}, [&] { uint8_t n; return module.classQuantity(3, &n); }, aErrUnknown},
        {"I2C reply without status", {8, 0, 0x11, 2}, [&] { uint8_t o[4]; return I2CRead(o); }, aErrPacket},
        {"I2C read claiming more than asked", {8, 0, 0x11, 9, 0, 1, 2}, [&] { uint8_t o[4]; return I2CRead(o); }, aErrSize},
        {"I2C status error", {8, 0, 0x11, 0, 0x83}, [&] { uint8_t o[4]; return I2CRead(o); }, aErrNotFound},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake.sendPacket(4, row.reply);
        EXPECT_EQ(row.call(), row.result);
    }
}

TEST_F(ScriptedModule, StoreOperationsNameTheEntity)
{
    fake.sendPacket(4, {92, 0xC0, 0});
    EXPECT_EQ(system.saveEntityToStore(), aErrNone);
    EXPECT_TRUE(fake.waitFor(IsRequest(92, 0x80)));
    auto sent = requests(92, 0x80);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Bytes{92, 0x80, 0x20, 0x00, 0x00, 0x03, 0x00}));
}

TEST(ObjectNeverConnected, EveryExchangeRefuses)
{
    Module module(4);
    Link* link = module.getLink();
    uint8_t buffer[32];
    size_t n = 0;
    unsigned value = 0;
    uint8_t length = 1;
    uei u{};
    u.module = 4;
    struct Row {
        const char* name;
        std::function<aErr()> call;
        aErr result;
    } rows[] = {
        {"sendUEI", [&] { return link->sendUEI(u); }, aErrConnection},
        {"receiveUEI", [&] { return link->receiveUEI(4, 3, 9, 0, &u); }, aErrConnection},
        {"sendPacket", [&] { return link->sendPacket(4, 23, 0, buffer); }, aErrConnection},
        {"receivePacket", [&] { return link->receivePacket(4, buffer, &length, buffer); }, aErrConnection},
        {"drop", [&] { return link->dropMatchingUEIPackets(4, 3, 9, 0); }, aErrConnection},
        {"slot capacity", [&] { return link->storeSlotCapacity(4, 0, 0, &n); }, aErrConnection},
        {"slot load", [&] { return link->loadStoreSlot(4, 0, 0, buffer, 4); }, aErrConnection},
        {"slot unload", [&] { return link->unloadStoreSlot(4, 0, 0, buffer, 4, &n); }, aErrConnection},
        {"factory get", [&] { return link->getFactoryData(4, 0, buffer, 4, &n); }, aErrConnection},
        {"factory set", [&] { return link->setFactoryData(4, 0, buffer, 4); }, aErrConnection},
        {"address", [&] { return link->getModuleAddress(buffer); }, aErrNotReady},
        {"packet log", [&] { return module.enablePacketLog("/dev/null"); }, aErrConfiguration},
        {"stream value", [&] { return link->getStreamValue(4, 3, 9, 0, 0, &value); }, aErrNotFound},
        {"build", [&] { return module.getBuild(&value); }, aErrConnection},
        {"reconnect without specifier", [&] { return module.reconnect(); }, aErrConfiguration},
        {"connect serial 0", [&] { return module.connect(USB, 0); }, aErrParam},
        {"entity never init-ed", [&] { EntityClass e; return e.getUEI32(9, &value); }, aErrResource},
        {"system never init-ed", [&] { SystemClass s; return s.getName(buffer, 4, &n); }, aErrResource},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.call(), row.result);
    }
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), linkError);
}

TEST(ObjectConnection, SpecifierTypesAndAutoNetworking)
{
    FakeModule fake(FakeModule::Transport::Tcp, 4);
    const linkSpec tcp = TcpSpec(fake.addressNetworkOrder(), fake.port());
    // A port nobody listens on: bound, then closed again.
    uint16_t closedPort = 0;
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ASSERT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0);
        ASSERT_EQ(getsockname(fd, (sockaddr*)&a, &length), 0);
        closedPort = ntohs(a.sin_port);
        close(fd);
    }
    struct Row {
        const char* name;
        linkType type;
        bool direct;
        uint16_t port; // 0: the module's own
        aErr result;
    } rows[] = {
        {"networked type with sharing off", ZEPHYL_TCPIP, true, 0, aErrConfiguration},
        {"type 0", INVALID, true, 0, aErrMode},
        {"networked type where no server listens (none known there)", ZEPHYL, false, closedPort, aErrNotFound},
        {"direct link served to this process", TCPIP, false, 0, aErrNone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Module module(4);
        if (row.direct) {
            EXPECT_EQ(aErrNone, module.setConfig(Direct()));
        }
        linkSpec spec = tcp;
        spec.type = row.type;
        if (row.port != 0) spec.ip_port = row.port;
        EXPECT_EQ(module.connectFromSpec(spec), row.result);
        EXPECT_EQ(module.isConnected(), row.result == aErrNone);
    }

    // Learned address, or the given one with auto-networking off.
    Module learns(6);
    Module keeps(6, false, 0);
    for (Module* m : {&learns, &keeps}) {
        EXPECT_EQ(aErrNone, m->setConfig(Direct()));
        ASSERT_EQ(m->connectFromSpec(tcp), aErrNone);
    }
    EXPECT_EQ(learns.getModuleAddress(), 4);
    EXPECT_EQ(keeps.getModuleAddress(), 6);

    // A connected module keeps its specifier and configuration.
    linkSpec other = tcp;
    other.ip_port = 1;
    EXPECT_EQ(learns.connectFromSpec(other), aErrBusy);
    EXPECT_EQ(learns.setConfig(ZephylConfig()), aErrMode);
    linkSpec stored{};
    EXPECT_EQ(learns.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.ip_port, tcp.ip_port);

    // Disconnect, then reconnect with the stored specifier.
    EXPECT_EQ(learns.disconnect(), aErrNone);
    EXPECT_FALSE(learns.isConnected());
    learns.setModuleAddress(8);
    EXPECT_EQ(learns.reconnect(), aErrNone);
    EXPECT_EQ(learns.getModuleAddress(), 4);
}

// Fallback discovery may multicast, so it runs only inside a private network
// namespace: the test runs itself there.
TEST(ObjectFallback, RetriesOnlyForUsbTcpipAndNetworkedTypes)
{
    if (getenv("TARNIX_PRIVATE_NETNS") == nullptr) {
        if (testsupport::Run({NETNS_RUN, "true"}).status != 0)
            GTEST_SKIP() << "cannot make a private network namespace here (needs root)";
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = '\0';
        auto r = testsupport::Run({NETNS_RUN, self, "--gtest_filter=ObjectFallback.*"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
        return;
    }
    struct Row {
        linkType type;
        bool fallback;
        const char* printed;
    } rows[] = {
        {TCPIP, true, "Executing Fallback - old type: 2 - new type: 4\n"},
        {USB, true, "Executing Fallback - old type: 1 - new type: 4\n"},
        {ZEPHYL, true, "Executing Fallback - old type: 4 - new type: 1\n"},
        {TCPIP, false, ""},
        {SERIAL, true, ""},
    };
    Log::SetOutput(stdout);
    Log::ActivatePackage(Log::DEBUG_ObjectLink);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.printed);
        Link link("Link");
        ZephylConfig config;
        config.fallback = row.fallback ? 1 : 0;
        EXPECT_EQ(aErrNone, link.setConfig(config));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(link.discoverAndConnect(row.type, 0x0BADF00D), aErrNotFound);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.printed);
    }
    Log::DeactivatePackage(Log::DEBUG_ObjectLink);
    Log::SetOutput(nullptr);
}

} // namespace
