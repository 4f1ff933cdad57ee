// Updates cut short at every phase and finished by the next plain
// `Updater -U -d S`: the journal in the device's directory names the file,
// the next run takes it before any other choice, and the module ends on the
// file patched with its serial number, the history recorded and the record
// gone. Records that cannot be followed are reported and cleared.
#include <sys/stat.h>

#include <csignal>
#include <thread>

#include "UpdateHarness.h"

namespace {

using namespace simtest;
using namespace updatetest;
using namespace std::chrono_literals;

constexpr const char* kSerialText = "40F5849A";
constexpr unsigned kNewBuild = 2002;

class Journal : public UpdateRun {
protected:
    static BirdOptions NewBuild() {
        BirdOptions options;
        options.build = kNewBuild;
        return options;
    }
    std::string JournalPath() const { return DeviceDir() + "/.journal"; }
    bool JournalSays(const std::string& phase) const {
        return testsupport::ReadFile(JournalPath()).find("PHASE=" + phase) != std::string::npos;
    }
    // Waits for `done` within a bound far above what the step takes.
    static bool WaitFor(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end) {
            if (done()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    testsupport::Background StartUpdater(const std::vector<std::string>& more) {
        std::vector<std::string> argv{UPDATER_BIN, "-u", "127.0.0.1:1", "-i", store, "-U", "-d", kSerialText};
        argv.insert(argv.end(), more.begin(), more.end());
        return testsupport::Background(argv);
    }
};

// Where the first update is stopped, how, and what the module is told so
// that the update is certainly still at that point when the signal comes.
struct Cut {
    const char* name;
    const char* fault;    // set in the module's section
    const char* simSays;  // the simulator's log line that marks the point
    const char* phase;    // the journal's phase then (its start); null: no record yet
    int signal;
    bool revive;          // the module stays down until told to come back
    bool fileOutsideStore; // the first run was given -f with a file elsewhere
};

class JournalPhases : public Journal, public ::testing::WithParamInterface<Cut> {};

TEST_P(JournalPhases, NextPlainUpdateFinishesIt) {
    const Cut& cut = GetParam();
    BirdOptions options;
    options.build = kNewBuild;
    options.imageSize = 64 * 1024; // many data packets: the cut lands inside the firmware
    const Firmware f = MakeFirmware(dir, "fw.bird", options);
    std::vector<std::string> first{"-m", "0"};
    if (cut.fileOutsideStore) {
        first.insert(first.end(), {"-f", f.path});
    } else {
        Store(f, kNewBuild, "LATEST_DOWNLOAD=2002.bird\n");
    }
    auto sim = Start(ModuleConfig(std::string(cut.fault) + "\n"));
    {
        testsupport::Background updater = StartUpdater(first);
        ASSERT_TRUE(sim->waitForLog(cut.simSays, 60s)) << updater.output() << sim->log();
        if (cut.phase) {
            ASSERT_TRUE(WaitFor([&] { return JournalSays(cut.phase); })) << updater.output();
        }
        EXPECT_NE(updater.Stop(cut.signal), 0);
    }
    if (cut.phase) {
        EXPECT_TRUE(JournalSays(cut.phase)) << testsupport::ReadFile(JournalPath());
    } else {
        EXPECT_NE(access(JournalPath().c_str(), F_OK), 0) << "a record before the loader started";
    }
    EXPECT_EQ(sim->control("clear m1"), "ok");
    if (cut.revive) {
        EXPECT_EQ(sim->control("revive m1"), "ok");
    }

    const auto finished = Updater({"-U", "-d", kSerialText, "-m", "0"});
    EXPECT_EQ(finished.status, 0) << finished.out << finished.err;
    EXPECT_EQ(finished.out.find("Finishing the interrupted update of [40F5849A]") != std::string::npos,
              cut.phase != nullptr)
        << finished.out;
    // Back after its reboot, the module runs what the cut run wrote: that
    // run's transfer is recorded, nothing is written again.
    EXPECT_EQ(finished.out.find("which was written before the interruption") != std::string::npos, cut.revive)
        << finished.out;
    ExpectFlash(*sim, "m1", f.image);
    ExpectTransferred(cut.fileOutsideStore ? f.path : "2002.bird");
    EXPECT_NE(access(JournalPath().c_str(), F_OK), 0) << "the record outlived the update";
    const auto info = Updater({"-I", "-d", kSerialText});
    EXPECT_EQ(info.out.find("Unfinished update"), std::string::npos) << info.out;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(EveryPhase, JournalPhases, ::testing::Values(
    Cut{"KillBeforeLoader", "fault.drop_replies = always", "fault drop_replies: reply", nullptr, SIGKILL, false, false},
    Cut{"SigintBeforeLoader", "fault.drop_replies = always", "fault drop_replies: reply", nullptr, SIGINT, false, false},
    Cut{"KillInLoader", "fault.silent_after_load = 1", "fault silent_after_load", "loader", SIGKILL, false, false},
    Cut{"SigintInLoader", "fault.silent_after_load = 1", "fault silent_after_load", "loader", SIGINT, false, true},
    Cut{"KillMidFirmware", "fault.hang_after_data = 50", "the module stops answering", "firmware block 1 of ", SIGKILL, false, true},
    Cut{"SigintMidFirmware", "fault.hang_after_data = 50", "the module stops answering", "firmware block 1 of ", SIGINT, false, false},
    Cut{"KillAfterReboot", "fault.no_return_after_reboot = 1", "stays down", "reboot", SIGKILL, true, true},
    Cut{"SigintAfterReboot", "fault.no_return_after_reboot = 1", "stays down", "reboot", SIGINT, true, false}),
    [](const ::testing::TestParamInfo<Cut>& info) { return std::string(info.param.name); });
// clang-format on

// A record that cannot be followed is reported and cleared, and the update
// goes on as if there were none.
struct BadRecord {
    const char* name;
    const char* content;  // the record; null: a FIFO in its place
    const char* said;     // what the run reports about it
    int moduleBuild;      // the module's build before the run
};

class JournalRefused : public Journal, public ::testing::WithParamInterface<BadRecord> {};

TEST_P(JournalRefused, ReportedClearedAndNotFollowed) {
    const BadRecord& bad = GetParam();
    const Firmware f = MakeFirmware(dir, "fw.bird", NewBuild());
    Store(f, kNewBuild, "LATEST_DOWNLOAD=2002.bird\n");
    if (bad.content) {
        std::string content = bad.content;
        if (auto at = content.find("@DIR@"); at != std::string::npos) content.replace(at, 5, dir.path());
        testsupport::WriteFile(JournalPath(), content);
    } else {
        ASSERT_EQ(mkfifo(JournalPath().c_str(), 0600), 0);
    }
    auto sim = Start(ModuleConfig());
    if (bad.moduleBuild) {
        // Another program already wrote the record's build.
        const auto other = Updater({"-U", "-d", kSerialText, "-m", "0", "-f", f.path});
        ASSERT_EQ(other.status, 0) << other.out << other.err;
        testsupport::WriteFile(JournalPath(), bad.content);
    }
    const auto run = Updater({"-U", "-d", kSerialText, "-m", "0"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(bad.said), std::string::npos) << run.out << run.err;
    if (!bad.moduleBuild) {
        EXPECT_EQ(run.out.find("Finishing the interrupted update"), std::string::npos) << run.out;
    }
    ExpectFlash(*sim, "m1", f.image);
    EXPECT_NE(access(JournalPath().c_str(), F_OK), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Records, JournalRefused, ::testing::Values(
    BadRecord{"Damaged", "JOURNAL=1\nSERIAL=40F5849A\nFILE=", "cannot be used", 0},
    BadRecord{"Fifo", nullptr, "cannot be used", 0},
    BadRecord{"AnotherDevice", "JOURNAL=1\nSERIAL=11111111\nFILE=2002.bird\nBUILD=2002\nLINK=tcpip\nSTARTED=x\nPHASE=loader\n",
              "names another device", 0},
    BadRecord{"FileGone", "JOURNAL=1\nSERIAL=40F5849A\nFILE=@DIR@/gone.bird\nBUILD=2002\nLINK=tcpip\nSTARTED=x\nPHASE=loader\n",
              "which is gone", 0},
    BadRecord{"FinishedByAnotherProgram",
              "JOURNAL=1\nSERIAL=40F5849A\nFILE=2002.bird\nBUILD=2002\nLINK=tcpip\nSTARTED=x\nPHASE=firmware block 1 of 1\n",
              "nothing to finish", 2002}),
    [](const ::testing::TestParamInfo<BadRecord>& info) { return std::string(info.param.name); });
// clang-format on

// -I tells of an unfinished update and how to finish it.
TEST_F(Journal, InfoShowsTheUnfinishedUpdate) {
    const Firmware f = MakeFirmware(dir, "fw.bird", NewBuild());
    Store(f, kNewBuild);
    testsupport::WriteFile(JournalPath(), "JOURNAL=1\nSERIAL=40F5849A\nFILE=2002.bird\nBUILD=2002\nLINK=usb\n"
                                          "STARTED=Thu Dec 10 12:00:00 2026\nPHASE=firmware block 1 of 2\n");
    const auto info = Updater({"-I", "-d", kSerialText});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Unfinished update: 2002.bird (build 2002) over usb, started Thu Dec 10 12:00:00 2026, "
                            "reached firmware block 1 of 2"),
              std::string::npos)
        << info.out;
}

} // namespace

namespace {

// The module loses its power mid-firmware and comes back as its chip's boot
// ROM, the flash as far as it was written. With no update server, the
// journal alone says what to write: through the LPC ROM on its serial port
// (`Updater -U -t RECOVER -s PORT -d S`) or, for the i.MX ROM on USB, by
// `tarnix-fleet update -d S` with no other input.
struct PowerCut {
    const char* name;
    const char* rom;
    const char* transport;
    uint32_t flashBase;
};

class JournalPowerCut : public Journal, public ::testing::WithParamInterface<PowerCut> {};

TEST_P(JournalPowerCut, TheJournalAloneFinishesIt) {
    const PowerCut& cut = GetParam();
    BirdOptions options = NewBuild();
    options.address = cut.flashBase;
    options.serialOffsets = cut.flashBase ? "0x08000080 0x08000100" : "0x80 0x100";
    const Firmware f = MakeFirmware(dir, "fw.bird", options);
    char base[16];
    std::snprintf(base, sizeof base, "0x%X", cut.flashBase);
    std::string config = ModuleConfig(std::string("transport = ") + cut.transport + "\nboot_rom = " + cut.rom +
                                      "\nidentity = 0x11111111,0x22222222,0x33333333,0x44444444\n"
                                      "flash_size = 0x10000\nfault.power_cut = firmware:1000\n");
    const std::string flashBase = "flash_base = 0x08000000";
    config.replace(config.find(flashBase), flashBase.size(), std::string("flash_base = ") + base);
    auto sim = Start(config);
    testsupport::RunOptions run;
    for (const auto& [key, value] : sim->env()) run.env[key] = value;
    run.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    run.timeout = std::chrono::seconds(120); // far above the product's own bounds
    const auto with = [&](const std::vector<std::string>& argv) { return testsupport::Run(argv, run); };

    auto r = with({UPDATER_BIN, "-u", "127.0.0.1:1", "-i", store, "-U", "-d", std::string(kSerialText), "-f", f.path,
                   "-m", "0"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_TRUE(JournalSays("firmware block 1 of ")) << testsupport::ReadFile(JournalPath());
    if (std::string(cut.rom) == "lpc") {
        r = with({UPDATER_BIN, "-u", "127.0.0.1:1", "-i", store, "-U", "-t", "RECOVER", "-s", sim->isp("m1"), "-d",
                  std::string(kSerialText)});
        EXPECT_NE(r.out.find("Finishing the interrupted update of [40F5849A]"), std::string::npos) << r.out;
    } else {
        r = with({TARNIX_FLEET_BIN, "update", "-d", std::string(kSerialText), "-u", "127.0.0.1:1", "-i", store});
    }
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ExpectFlash(*sim, "m1", f.image);
    ExpectTransferred(f.path);
    EXPECT_NE(access(JournalPath().c_str(), F_OK), 0) << "the record outlived the update";
}

INSTANTIATE_TEST_SUITE_P(Roms, JournalPowerCut,
                         ::testing::Values(PowerCut{"LpcOnItsSerialPort", "lpc", "tcp", 0},
                                           PowerCut{"ImxOnUsb", "imx-hid", "usb", 0x08000000}),
                         [](const ::testing::TestParamInfo<PowerCut>& info) { return std::string(info.param.name); });

} // namespace
