// The object model against the module simulator over TCP/IP: system options,
// names, store slots, factory data, module queries, the packet log, and a
// module behind a router reached over the router's engine link.
#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <memory>

#include "I2CClass.h"
#include "Module.h"
#include "SimHarness.h"
#include "SystemClass.h"

using namespace Velorn::Tarnix;

namespace {

using simtest::Sim;
using Bytes = std::vector<uint8_t>;

const std::string kModules =
    simtest::BenchModule("router", "name = Bench A\n"
                                   "factory.3 = 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F\n") +
    simtest::ChildModule("behind", "router");

linkSpec SimSpec(uint16_t port)
{
    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = 0x1234ABCD;
    s.ip_address = htonl(INADDR_LOOPBACK);
    s.ip_port = port;
    return s;
}

class ObjectSim : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim = new Sim(kModules); }
    static void TearDownTestSuite()
    {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(sim->ready()) << sim->log();
        router = std::make_unique<Module>(2); // learns 4 from the simulator
        ZephylConfig config;
        config.enabled = 0;
        ASSERT_EQ(router->setConfig(config), aErrNone);
        ASSERT_EQ(router->connectFromSpec(SimSpec(sim->port("router"))), aErrNone);
        system.init(router.get(), 0);
    }
    static Sim* sim;
    std::unique_ptr<Module> router;
    SystemClass system;
};
Sim* ObjectSim::sim = nullptr;

TEST_F(ObjectSim, SystemOptionsAndModuleQueries)
{
    EXPECT_EQ(router->getModuleAddress(), 4);
    unsigned u32 = 0;
    uint8_t u8 = 0;
    int s32 = 0;
    struct Row {
        const char* name;
        std::function<aErr()> call;
        aErr result;
        std::function<bool()> check;
    } rows[] = {
        {"serial", [&] { return system.getSerialNumber(&u32); }, aErrNone, [&] { return u32 == 0x1234ABCD; }},
        {"model", [&] { return system.getModel(&u8); }, aErrNone, [&] { return u8 == 17; }},
        {"module address", [&] { return system.getModule(&u8); }, aErrNone, [&] { return u8 == 4; }},
        {"build option", [&] { return system.getBuild(&u32); }, aErrNone, [&] { return u32 == 4321; }},
        {"module build", [&] { return router->getBuild(&u32); }, aErrNone, [&] { return u32 == 4321; }},
        {"temperature", [&] { return system.getTemperature(&s32); }, aErrNone, [] { return true; }},
        {"set and get LED", [&] { aErr e = system.setLED(1); return e ? e : system.getLED(&u8); }, aErrNone,
         [&] { return u8 == 1; }},
        {"set a read-only option", [&] { return system.setUEI8(8, 3); }, aErrMode, [] { return true; }},
        {"unknown option", [&] { return system.getUEI8(60, &u8); }, aErrInvalidOption, [] { return true; }},
        {"has UEI", [&] { return router->hasUEI(3, 9, 0, 0x40); }, aErrNone, [] { return true; }},
        {"has no set of serial", [&] { return router->hasUEI(3, 9, 0, 0x80); }, aErrMode, [] { return true; }},
        {"system class count", [&] { return router->classQuantity(3, &u8); }, aErrNone, [&] { return u8 == 1; }},
        {"sub-classes", [&] { return router->subClassQuantity(3, 0, &u8); }, aErrNone, [&] { return u8 == 0; }},
        {"echo", [&] { const uint8_t d[] = {9, 8, 7}; return router->debug(d, 3); }, aErrNone, [] { return true; }},
        {"save to store", [&] { return system.saveEntityToStore(); }, aErrNone, [] { return true; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.call(), row.result);
        EXPECT_TRUE(row.check());
    }
}

TEST_F(ObjectSim, NamesOfEveryChunkBoundaryRoundTrip)
{
    for (size_t length : {0, 1, 24, 25, 32}) {
        SCOPED_TRACE(length);
        Bytes name(length);
        for (size_t i = 0; i < length; ++i) name[i] = uint8_t('A' + i % 26);
        EXPECT_EQ(system.setName(name.data(), name.size()), aErrNone);
        Bytes back(40, 0);
        size_t count = 0;
        EXPECT_EQ(system.getName(back.data(), back.size(), &count), aErrNone);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + count), name);
    }
    Bytes tooLong(33, 'x');
    EXPECT_EQ(system.setName(tooLong.data(), tooLong.size()), aErrSize);
    const unsigned values[3] = {1, 0x01020304, 0xFFFFFFFF};
    EXPECT_EQ(system.setInputPowerBehaviorConfig(values, 3), aErrNone);
    unsigned back[4] = {};
    size_t count = 0;
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
}

TEST_F(ObjectSim, StoreSlotsAndFactoryDataTransfer)
{
    Link* link = router->getLink();
    size_t n = 0;
    EXPECT_EQ(link->storeSlotCapacity(4, 1, 0, &n), aErrNone);
    EXPECT_EQ(n, 2048u);
    EXPECT_EQ(link->storeSlotCapacity(4, 1, 7, &n), aErrIndexRange);

    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(link->loadStoreSlot(4, 1, 1, data.data(), data.size()), aErrNone);
    EXPECT_EQ(link->storeSlotSize(4, 1, 1, &n), aErrNone);
    EXPECT_EQ(n, 100u);
    Bytes back(128, 0);
    size_t unloaded = 0;
    EXPECT_EQ(link->unloadStoreSlot(4, 1, 1, back.data(), back.size(), &unloaded), aErrNone);
    EXPECT_EQ(unloaded, 100u);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 100), data);
    Bytes small(60, 0);
    EXPECT_EQ(link->unloadStoreSlot(4, 1, 1, small.data(), small.size(), &unloaded), aErrOverrun);
    EXPECT_EQ(small, Bytes(data.begin(), data.begin() + 60));
    EXPECT_EQ(link->loadStoreSlot(4, 1, 9, data.data(), data.size()), aErrMedia);

    // Factory data: index 3 holds 32 bytes (a full reply of 26, then 6).
    Bytes factory(64, 0);
    EXPECT_EQ(link->getFactoryData(4, 3, factory.data(), factory.size(), &unloaded), aErrNone);
    ASSERT_EQ(unloaded, 32u);
    for (size_t i = 0; i < 32; ++i) EXPECT_EQ(factory[i], i);
    EXPECT_EQ(link->getFactoryData(4, 3, factory.data(), 26, &unloaded), aErrOverrun);
    Bytes written(60);
    for (size_t i = 0; i < written.size(); ++i) written[i] = uint8_t(0xA0 + i);
    EXPECT_EQ(link->setFactoryData(4, 5, written.data(), written.size()), aErrNone);
    EXPECT_EQ(link->getFactoryData(4, 5, factory.data(), factory.size(), &unloaded), aErrNone);
    EXPECT_EQ(Bytes(factory.begin(), factory.begin() + unloaded), written);
}

TEST_F(ObjectSim, RoutedModuleSharesTheRoutersLink)
{
    Module behind(0x10, 13);
    EXPECT_EQ(behind.connectThroughLinkModule(router.get()), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_NE(sim->control("status router").find("connections=1"), std::string::npos) << sim->control("status router");

    SystemClass remote;
    remote.init(&behind, 0);
    unsigned serial = 0;
    EXPECT_EQ(remote.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000BEEFu);

    // The router's I2C bus reaches the same module.
    I2CClass bus;
    bus.init(router.get(), 0);
    const uint8_t bytes[] = {5, 6, 7};
    EXPECT_EQ(bus.write(0x10, 3, bytes), aErrNone);
    uint8_t readBack[3] = {};
    EXPECT_EQ(bus.read(0x10, 3, readBack), aErrNone);
    EXPECT_EQ(Bytes(readBack, readBack + 3), Bytes(bytes, bytes + 3));
    EXPECT_EQ(bus.read(0x20, 3, readBack), aErrNotFound);

    // The router lets go; the routed module keeps the engine link, and its
    // reconnection keeps the address behind the router.
    router.reset();
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(remote.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(behind.disconnect(), aErrNone);
    EXPECT_EQ(behind.reconnect(), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 0x10);
    EXPECT_EQ(remote.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000BEEFu);

    Link orphan("orphan");
    Link unconnected(SimSpec(sim->port("router")), "router");
    EXPECT_EQ(orphan.connectThroughLinkModule(unconnected), aErrInitialization);
}

TEST_F(ObjectSim, ConcurrentConnectionsShareOneEngineLink)
{
    // Link creation is serialised process-wide, so objects connecting at once to
    // the same module find each other's link instead of each opening one.
    router.reset();
    const auto end = std::chrono::steady_clock::now() + simtest::kReplyWait;
    while (sim->control("status router").find("connections=0") == std::string::npos &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::unique_ptr<Module>> modules;
    for (int i = 0; i < 4; ++i) {
        modules.push_back(std::make_unique<Module>(4));
        ZephylConfig config;
        config.enabled = 0;
        EXPECT_EQ(aErrNone, modules.back()->setConfig(config));
    }
    std::vector<aErr> results(modules.size(), aErrUnknown);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < modules.size(); ++i)
        threads.emplace_back([&, i] { results[i] = modules[i]->connectFromSpec(SimSpec(sim->port("router"))); });
    for (auto& t : threads) t.join();
    for (aErr e : results) EXPECT_EQ(e, aErrNone);
    EXPECT_NE(sim->control("status router").find("connections=1"), std::string::npos) << sim->control("status router");
}

TEST_F(ObjectSim, PacketLogRecordsTheTraffic)
{
    testsupport::TempDir dir;
    const std::string path = dir / "packets.log";
    ASSERT_EQ(router->enablePacketLog(path.c_str()), aErrNone);
    unsigned serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    std::string text;
    const auto end = std::chrono::steady_clock::now() + simtest::kReplyWait;
    while (std::chrono::steady_clock::now() < end) {
        text = testsupport::ReadFile(path);
        if (text.find("0x12 0x34 0xAB 0xCD") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(text.find("6 < START"), std::string::npos) << text;
    EXPECT_NE(text.find("> 0x4 0x3 0x3 0x49 0x20"), std::string::npos) << text;
    EXPECT_NE(text.find("0x3 0x9 0x0 0x12 0x34 0xAB 0xCD"), std::string::npos) << text;
    EXPECT_EQ(router->disablePacketLog(), aErrNone);
}

} // namespace
