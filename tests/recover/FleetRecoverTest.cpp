// Boot ROMs found and recovered by tarnix-fleet with no other input: the
// update server names the chip from its identity; with the server down, the
// one unfinished update waiting in the store names it; with two waiting,
// neither is guessed. The ROM is the i.MX one on virtual USB HID.
#include <signal.h>

#include <gtest/gtest.h>

#include "ImxBench.h"
#include "SimHarness.h"

namespace {

using recovertest::Image;
using recovertest::ImxBench;
using recovertest::LpcSim;
using recovertest::Rom;
using simtest::Sim;
using namespace std::chrono_literals;

struct RomCase {
    const char* name;
    bool serverUp;
    std::vector<const char*> waiting; // serial numbers with an unfinished update in the store
    int exit;
    const char* said;                 // in the result; empty: recovered
};

class FleetRecovery : public ::testing::TestWithParam<RomCase> {};

// A stored file with the loader and the firmware, and the record of its
// update cut short.
void Interrupted(const testsupport::TempDir& dir, const std::string& store, const std::string& serial) {
    const std::string device = store + "/updater/" + serial;
    testsupport::Run({"/bin/mkdir", "-p", device});
    testsupport::WriteFile(dir / "own.manifest", "build 8\nversion 2.0.0\nmodel Ristova\nserial " + serial +
                                                     "\nloader 0x20000400 " + dir / "loader.bin" +
                                                     "\nfirmware 0x0 " + dir / "fw.bin" + "\n");
    ASSERT_EQ(testsupport::Run({BIRDTOOL_BIN, "pack", dir / "own.manifest", device + "/8.bird"}).status, 0);
    testsupport::WriteFile(device + "/.journal", "JOURNAL=1\nSERIAL=" + serial +
                                                     "\nFILE=8.bird\nBUILD=8\nLINK=usb\nSTARTED=x\n"
                                                     "PHASE=firmware block 1 of 1\n");
}

// The JSON line of `out` that holds `event`; empty when there is none.
std::string EventLine(const std::string& out, const std::string& event) {
    const size_t at = out.find("\"event\":\"" + event + "\"");
    if (at == std::string::npos) return "";
    const size_t start = out.rfind('\n', at);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    return out.substr(from, out.find('\n', at) - from);
}

TEST_P(FleetRecovery, UpdateAllRecoversTheBootRom) {
    const RomCase& c = GetParam();
    testsupport::TempDir dir;
    const std::string store = dir / "store";
    // Through the server the default recovery image's loader comes up; through
    // a record, the device's own.
    ImxBench bench(dir, Rom::Hid, "", c.serverUp ? "DEADDEAD" : "0BADF00D", c.serverUp);
    for (const char* serial : c.waiting) Interrupted(dir, store, serial);

    const auto list = testsupport::Run({TARNIX_FLEET_BIN, "list", "-t", "usb", "-u", bench.url(), "-i", store, "--json"},
                                       bench.options);
    EXPECT_NE(list.out.find("\"state\":\"boot-rom\",\"fingerprint\":\"1A2B3C4D:5E6F7081\""), std::string::npos)
        << list.out << list.err;

    const auto run = testsupport::Run({TARNIX_FLEET_BIN, "update", "--all", "-u", bench.url(), "-i", store, "--json"},
                                      bench.options);
    EXPECT_EQ(run.status, c.exit) << run.out << run.err;
    const std::string flash = testsupport::ReadFile(bench.state + "/image/flash.bin");
    const bool recovered = flash.compare(0, bench.firmware.size(), bench.firmware) == 0;
    EXPECT_EQ(recovered, std::string(c.said).empty()) << run.out;
    EXPECT_NE(run.out.find(c.said), std::string::npos) << run.out;
    // The result names the device the server or the record named; nothing recovered, nothing named.
    const std::string line = EventLine(run.out, "result");
    EXPECT_NE(line.find(recovered ? "\"serial\":\"0BADF00D\"" : "\"serial\":null"), std::string::npos)
        << line;
    EXPECT_EQ(run.out.find("\"stage\":\"firmware\"") != std::string::npos, recovered) << run.out;
    // The server names 0BADF00D: another device's record is kept, as is every
    // record when nothing was recovered.
    for (const std::string serial : c.waiting) {
        const bool kept = testsupport::ReadFile(store + "/updater/" + serial + "/.journal").size() > 0;
        EXPECT_EQ(kept, !recovered || serial != "0BADF00D") << serial;
    }
    if (!c.serverUp && recovered) {
        EXPECT_NE(testsupport::ReadFile(store + "/updater/0BADF00D/.settings").find("LATEST_TRANSFER=8.bird"),
                  std::string::npos);
    }
}

// An LPC part named with --recover-port, its bytes paced at the line's rate
// (48 KiB take seconds): Ctrl-C once its firmware is going in stops the
// recovery at the next chunk, the chip left in its ROM with the image
// unfinished; the next run recovers it, the device named in its result.
TEST(FleetLpcRecovery, CtrlCStopsBetweenChunksAndTheNextRunRecovers) {
    testsupport::TempDir dir;
    const std::string store = dir / "store", flash = dir / "flash.bin";
    const std::string firmware = Image(48 * 1024, 7);
    testsupport::Run({"/bin/mkdir", "-p", dir / "catalog"});
    testsupport::WriteFile(dir / "fw.bin", firmware);
    testsupport::WriteFile(dir / "m", "build 7\nversion 2.2.0\nmodel Ristova\nserial 0BADF00D\nfirmware 0x0 " +
                                          dir / "fw.bin" + "\n");
    ASSERT_EQ(testsupport::Run({BIRDTOOL_BIN, "pack", dir / "m", dir / "catalog/ristova_7.bird"}).status, 0);
    testsupport::WriteFile(dir / "devices", "0BADF00D Ristova - 12345678:9ABCDEF0:0F1E2D3C:4B5A6978\n");
    servertest::StandInServer server({dir / "catalog", dir / "devices", "k", "", ""});
    LpcSim sim(flash, {"--pace"});
    ASSERT_FALSE(sim.pty.empty());
    const std::vector<std::string> argv{TARNIX_FLEET_BIN, "update", "--recover-port", sim.pty,
                                        "-u", server.url(), "-i", store, "--json"};
    auto holdsImage = [&] { return testsupport::ReadFile(flash).compare(0, firmware.size(), firmware) == 0; };

    testsupport::Background stopped(argv);
    ASSERT_FALSE(stopped.WaitForLine("\"stage\":\"firmware\"", 60s).empty()) << stopped.output();
    EXPECT_NE(stopped.Stop(SIGINT, 60s), 0);
    const std::string result = EventLine(stopped.output(), "result");
    EXPECT_NE(result.find("\"status\":\"failed\""), std::string::npos) << stopped.output();
    EXPECT_NE(result.find("recovery stopped part-way"), std::string::npos) << result;
    EXPECT_NE(EventLine(stopped.output(), "summary").find("\"interrupted\":true"), std::string::npos);
    EXPECT_FALSE(holdsImage());

    testsupport::RunOptions options;
    options.timeout = 90s;
    const auto again = testsupport::Run(argv, options);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_TRUE(holdsImage());
    EXPECT_NE(EventLine(again.out, "result").find("\"serial\":\"0BADF00D\""), std::string::npos) << again.out;
}

// A chip left running the recovery loader (its recovery stopped part-way)
// shows as the recovery device: never updated as a module, the way out named.
TEST(FleetRecoveryLoader, TheRecoveryDeviceIsSkippedNotUpdated) {
    testsupport::TempDir dir;
    Sim sim("[module rescue]\nserial = 0xDEADDEAD\nmodel = 17\ntransport = usb\n");
    ASSERT_TRUE(sim.ready());
    testsupport::RunOptions options;
    for (const auto& [key, value] : sim.env()) options.env[key] = value;
    options.timeout = 90s;
    const auto run = testsupport::Run(
        {TARNIX_FLEET_BIN, "update", "-t", "usb", "-u", "127.0.0.1:1", "-i", dir / "store", "--json"}, options);
    const std::string result = EventLine(run.out, "result");
    EXPECT_NE(result.find("\"serial\":\"DEADDEAD\""), std::string::npos) << run.out << run.err;
    EXPECT_NE(result.find("\"status\":\"skipped\""), std::string::npos) << result;
    EXPECT_NE(result.find("recovery loader its boot ROM started"), std::string::npos) << result;
    EXPECT_EQ(sim.log().find("rescue: upgrade"), std::string::npos) << "the recovery loader was sent an upgrade";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rom, FleetRecovery, ::testing::Values(
    RomCase{"ServerNamesTheChip", true, {}, 0, ""},
    RomCase{"ServerNamesTheChipDespiteAnotherRecord", true, {"0BADF11D"}, 0, ""},
    RomCase{"OneUnfinishedUpdateNamesIt", false, {"0BADF00D"}, 0, ""},
    RomCase{"TwoAreNeverGuessed", false, {"0BADF00D", "0BADF11D"}, 3,
            "2 unfinished updates could be its: [0BADF00D], [0BADF11D]"},
    RomCase{"NothingNamesIt", false, {}, 3, "Could not get Device Identifier"}),
    [](const ::testing::TestParamInfo<RomCase>& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
