// Boot ROMs found and recovered by tarnix-fleet with no other input: the
// update server names the chip from its identity; with the server down, the
// one unfinished update waiting in the store names it; with two waiting,
// neither is guessed. The ROM is the i.MX one on virtual USB HID.
#include <gtest/gtest.h>

#include "ImxBench.h"

namespace {

using recovertest::ImxBench;
using recovertest::Rom;

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
    const size_t result = run.out.find("\"event\":\"result\"");
    ASSERT_NE(result, std::string::npos) << run.out;
    const std::string line = run.out.substr(result, run.out.find('\n', result) - result);
    EXPECT_NE(line.find(recovered ? "\"serial\":\"0BADF00D\"" : "\"serial\":null"), std::string::npos)
        << line;
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
