// The update flow is reentrant: two modules updated at once by two threads of
// one process, each through its own Updater (display, options) over one
// store, against one simulator found by Ethernet discovery (so this runs in a
// private network namespace). Also built and run under ThreadSanitizer.
#include <thread>

#include "SimHarness.h"
#include "UpdateHarness.h"
#include "Updater.h"

namespace {

using namespace updatetest;

constexpr uint32_t kOtherSerial = 0x2181F0EE;

struct OneUpdate {
    uint32_t serial;
    std::string module; // the simulator's name for it
    Firmware firmware;
    Recorder display;
    bool ok = false;
};

TEST(UpdateFlow, TwoModulesUpdateAtOnceInOneProcess) {
    testsupport::TempDir dir;
    const std::string store = dir / "store";
    BirdOptions first;
    first.build = 77;
    BirdOptions second;
    second.build = 78;
    second.imageSize = 6000;
    OneUpdate updates[2] = {{kSerial, "m1", MakeFirmware(dir, "a.bird", first), {}},
                            {kOtherSerial, "m2", MakeFirmware(dir, "b.bird", second), {}}};
    simtest::Sim sim(ModuleConfig("", kSerial, "m1") + ModuleConfig("", kOtherSerial, "m2"),
                     {"--discovery", "--bind", "10.77.0.1"});
    ASSERT_TRUE(sim.ready()) << sim.log();

    std::vector<std::thread> threads;
    for (OneUpdate& u : updates)
        threads.emplace_back([&u, &store] {
            ::Updater updater("127.0.0.1:1", store.c_str(), u.display);
            updater.Set_UEIBytes_Load(true);
            updater.Set_HistoryNote("side by side " + u.module);
            u.ok = updater.Update_Firmware(u.serial, 0, u.firmware.path, 0, 0, false).ok();
        });
    for (auto& t : threads) t.join();

    for (const OneUpdate& u : updates) {
        SCOPED_TRACE(u.module);
        EXPECT_TRUE(u.ok) << u.display.said;
        // Each display got its own module's story and no other's.
        char mine[16], other[16];
        std::snprintf(mine, sizeof mine, "[%08X]", u.serial);
        std::snprintf(other, sizeof other, "[%08X]", u.serial == kSerial ? kOtherSerial : kSerial);
        EXPECT_NE(u.display.said.find(mine), std::string::npos) << u.display.said;
        EXPECT_EQ(u.display.said.find(other), std::string::npos) << u.display.said;
        const std::string flash = testsupport::ReadFile(sim.state() + "/" + u.module + "/flash.bin");
        const Bytes want = Patched(u.firmware.image, u.serial);
        ASSERT_GE(flash.size(), want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), flash.begin(),
                               [](uint8_t w, char f) { return w == uint8_t(f); }));
        char name[16];
        std::snprintf(name, sizeof name, "%08X", u.serial);
        const std::string settings = testsupport::ReadFile(store + "/" + name + "/.settings");
        EXPECT_NE(settings.find("LATEST_TRANSFER=" + u.firmware.path), std::string::npos) << settings;
        EXPECT_NE(settings.find("LAST_TRANSFER_NOTE=side by side " + u.module), std::string::npos) << settings;
    }
}

} // namespace
