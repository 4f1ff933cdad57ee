// Firmware updates end to end: the real Updater against tarnix-sim over
// TCP/IP (found by Ethernet discovery, so every case runs in a private
// network namespace) and through a routing module. Each success is checked in
// the simulator's flash (exactly the image, serial number patched in) and in
// the device's history keys; each failure ends with status 1 and no history.
#include <fcntl.h>

#include <csignal>
#include <cstdarg>
#include <fstream>
#include <sstream>

#include "ServerTestSupport.h"
#include "UpdateHarness.h"
#include "Updater.h"
#include "UpdaterEntity.h"

namespace {

using namespace simtest;
using namespace updatetest;
using testsupport::RunResult;

class Update : public UpdateRun {};

// Every way of choosing the firmware, plain and with UEI byte loading.
TEST_F(Update, EachWayOfChoosingTheFirmwareWritesExactlyTheImage) {
    struct Case {
        const char* name;
        std::vector<std::string> args; // besides -U -d S
        std::string stored;            // settings text stored beforehand ("" none)
        bool storeBuild;               // 77.bird in the store
        bool fileArg;                  // -f the file
        std::string recorded;          // LATEST_TRANSFER afterwards
        std::string said;              // on standard output
    };
    const std::vector<Case> cases{
        {"file", {"-m", "0"}, "", false, true, "", "Updating from Birdfile: "},
        {"file, UEI bytes", {}, "", false, true, "", "Updating from Birdfile: "},
        {"build", {"-b", "77", "-m", "0"}, "", true, false, "77.bird", "Updating firmware with build: 77"},
        {"latest download", {}, "LATEST_DOWNLOAD=77.bird\n", true, false, "77.bird", "Updating with the Latest Download"},
        {"latest transfer", {"-m", "0"}, "LATEST_TRANSFER=77.bird\n", true, false, "77.bird",
         "Updating with the Latest Transfer"},
        {"override", {"-OVERRIDE"}, "", false, true, "", "Updating from Birdfile: "},
        // UEI byte loading asked for (the default) but not offered: plain DATA packets.
        {"UEI bytes not offered", {}, "", false, true, "", "Updating from Birdfile: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::Run({"/bin/rm", "-rf", store});
        // The override case's file is for another device and model, without a serial block.
        BirdOptions o;
        o.build = 77;
        if (std::string(c.name) == "override") {
            o.model = "Corvane";
            o.serialBlock = false;
            o.serial = "12345678";
        }
        const Firmware f = MakeFirmware(dir, "fw.bird", o);
        if (c.storeBuild) Store(f, 77, c.stored);
        const bool offered = std::string(c.name) != "UEI bytes not offered";
        auto sim = Start(ModuleConfig(offered ? "features = 0x80000000\n" : "uei_data = no\n"));
        std::vector<std::string> args{"-U", "-d", "40F5849A"};
        if (c.fileArg) args.insert(args.end(), {"-f", f.path});
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = Updater(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
        ExpectFlash(*sim, "m1", f.image, o.serialBlock ? kSerial : 0);
        ExpectTransferred(c.fileArg ? f.path : c.recorded);
        // UEI byte loading is on unless -m 0 says otherwise.
        const bool uei = offered && std::find(c.args.begin(), c.args.end(), "-m") == c.args.end();
        EXPECT_EQ(sim->log().find(" 5F 8A 20 ") != std::string::npos, uei);
    }
}

// The newest build on the server when it is stored, and -G -U downloading it first.
TEST_F(Update, ServerChoosesTheBuild) {
    testsupport::Run({"/bin/mkdir", "-p", dir / "catalog"});
    BirdOptions newer;
    newer.build = 90;
    const Firmware f = MakeFirmware(dir, "f90", newer, dir / "catalog/ristova_90.bird");
    testsupport::WriteFile(dir / "devices", "40F5849A Ristova\n");
    servertest::StandInServer server({dir / "catalog", dir / "devices", "k", "", ""});

    auto sim = Start(ModuleConfig());
    auto r = Updater({"-G", "-U", "-d", "40F5849A"}, server.url());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ExpectFlash(*sim, "m1", f.image);
    ExpectTransferred("90.bird");

    // Stored now: a plain -U takes the server's newest from the store.
    auto again = Updater({"-U", "-d", "40F5849A", "-l", "second"}, server.url());
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("Updating firmware with build: 90"), std::string::npos) << again.out;
    EXPECT_EQ(Settings()["LAST_TRANSFER_NOTE"], "second");

    // Newer on the server but not stored: the latest download is used instead.
    BirdOptions newest;
    newest.build = 95;
    MakeFirmware(dir, "f95", newest, dir / "catalog/ristova_95.bird");
    servertest::StandInServer updated({dir / "catalog", dir / "devices", "k", "", ""});
    testsupport::WriteFile(DeviceDir() + "/.settings", "LATEST_DOWNLOAD=90.bird\n");
    auto fallback = Updater({"-U", "-d", "40F5849A"}, updated.url());
    EXPECT_EQ(fallback.status, 0) << fallback.out << fallback.err;
    EXPECT_NE(fallback.out.find("New firmware is available.  Updater will proceed if valid firmware is found "
                                "locally.\nUpdating with the Latest Download"),
              std::string::npos)
        << fallback.out;
}

// Directly over USB: the module leaves the bus when its loader starts and
// comes back as a new device, which the update finds again.
TEST_F(Update, OverUSB) {
    struct Case {
        const char* name;
        std::string config;
        std::vector<std::string> args;
        int status;
        const char* said; // standard error
    };
    const std::vector<Case> cases{
        {"plain", "", {"-m", "0"}, 0, "Transferring firmware to device"},
        {"UEI bytes", "features = 0x80000000\n", {}, 0, "Transferring firmware to device"},
        // Restarts into its loader without answering LOAD.
        {"silent after LOAD", "fault.silent_after_load = 1\n", {}, 0, "Timeout on LoaderStart"},
        // Gone for longer than the 15 tries after the loader's start.
        {"no re-enumeration", "fault.usb_late = 30000\n", {}, 1,
         "Failed enumeration after 3 tries, refreshing libusb context."},
    };
    const Firmware f = MakeFirmware(dir, "fw.bird");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::Run({"/bin/rm", "-rf", store, dir / "usb-state"});
        testsupport::WriteFile(dir / "usb.ini", ModuleConfig("transport = usb\n" + c.config));
        std::vector<std::string> argv{TARNIX_SIM_BIN, "--usb", "--state", dir / "usb-state", "--log", dir / "usb.log",
                                      "--trace", dir / "usb.ini", "--", UPDATER_BIN, "-u", "127.0.0.1:1", "-i", store,
                                      "-U", "-d", "40F5849A", "-f", f.path, "-X", "0x10401"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(120);
        auto r = testsupport::Run(argv, options);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        if (c.status != 0) {
            ExpectNoTransfer();
            continue;
        }
        const std::string flash = testsupport::ReadFile(dir / "usb-state/m1/flash.bin");
        const Bytes want = Patched(f.image, kSerial);
        EXPECT_EQ(flash.substr(0, want.size()), std::string(want.begin(), want.end()));
        ExpectTransferred(f.path);
    }
}

// Through a routing module, at a known module address (only callers of the
// interface know one; the command line always finds it by discovery).
TEST_F(Update, ThroughARoutingModule) {
    const Firmware f = MakeFirmware(dir, "fw.bird");
    auto sim = Start(ModuleConfig() + BehindConfig("version = 1.2.3\nflash_base = 0x08000000\nreboot_ms = 200\n"));
    Recorder display;
    ::Updater updater("127.0.0.1:1", (store + "/updater").c_str(), display);
    updater.Set_UEIBytes_Load(true);
    ASSERT_TRUE(updater.Update_Firmware(0x2181F0EE, 0, f.path, 0x10, kSerial, false).ok()) << display.said;
    ExpectFlash(*sim, "behind", f.image, 0x2181F0EE);
    ExpectTransferred(f.path, 0x2181F0EE);
    EXPECT_EQ(testsupport::ReadFile(sim->state() + "/m1/flash.bin").find_first_not_of('\xFF'), std::string::npos);
}

// Faults a module can show, each through the simulator's fault injection.
TEST_F(Update, FaultsEndCleanly) {
    struct Case {
        const char* fault;
        int status;
        const char* said; // on standard error (failure) or in the debug log (success)
    };
    const std::vector<Case> cases{
        {"wrong_data_count = always", 1, "Error transferring loader [18, aErrTimeout]"},
        {"wrong_data_count = 3", 0, "Invalid upgrade transfer response [25 != 26]"},
        {"refuse_prepare = 1", 1, "Error transferring loader [29, aErrInvalidOption]"},
        {"refuse_write = always", 1, "Error transferring firmware [29, aErrInvalidOption]"},
        {"wrong_sum = always", 1, "Error transferring loader [29, aErrInvalidOption]"},
        {"silent_after_load = 1", 0, "Timeout on LoaderStart"},
        {"no_return_after_reboot = 1", 1, "Module [40F5849A] did not come back after the update"},
        // The loader never committed the image: back, but with its old build.
        {"boot_old_image = 1", 1, "Module [40F5849A] reports build 1000 after the update, expected 1234"},
        // Reset in the firmware phase: the block's next attempt goes out on a new connection.
        {"drop_connection = 10", 0, "Transferring firmware to device"},
        {"drop_connection = 40", 0, "Transferring firmware to device"},
    };
    const Firmware f = MakeFirmware(dir, "fw.bird");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        testsupport::Run({"/bin/rm", "-rf", store});
        const std::string fault = c.fault;
        auto sim = Start(ModuleConfig("fault." + fault + "\n"));
        auto r = Updater({"-U", "-d", "40F5849A", "-f", f.path, "-m", "0", "-X", "0x401"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        if (c.status == 0) {
            ExpectFlash(*sim, "m1", f.image);
            ExpectTransferred(f.path);
        } else {
            ExpectNoTransfer();
        }
        if (std::string(c.fault) == "refuse_write = always") {
            EXPECT_NE(r.out.find("  Retry 4"), std::string::npos) << r.out;
        }
    }
}

// Files that do not fit: a clear error, status 1, nothing in the history.
TEST_F(Update, UnfitFilesAreRefused) {
    struct Case {
        const char* name;
        BirdOptions options;
        const char* said;
    };
    BirdOptions noLoader, noFirmware, model, serial, outside;
    noLoader.loader = false;
    noFirmware.firmware = false;
    model.model = "Corvane";
    serial.serialBlock = false;
    serial.serial = "12345678";
    outside.address = 0x09000000;
    outside.serialBlock = false; // reaches the module: nothing to patch outside the image
    outside.serial = "40F5849A";
    const std::vector<Case> cases{
        {"no loader", noLoader, "Birdfile has no loader blocks"},
        {"no firmware", noFirmware, "Birdfile has no firmware blocks"},
        {"wrong model", model, "Connected device model and Bird file model do not match [Ristova]"},
        {"wrong serial", serial, "Birdfile failed validation"},
        {"outside the flash", outside, "Error transferring firmware"},
    };
    auto sim = Start(ModuleConfig());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        std::replace(name.begin(), name.end(), ' ', '-');
        const Firmware f = MakeFirmware(dir, name + ".bird", c.options);
        auto r = Updater({"-U", "-d", "40F5849A", "-f", f.path});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        ExpectNoTransfer();
    }
}

// A serial number that cannot be patched (the module would come back as
// FFFFFFFF, unreachable by -d) or images that overlap: -C, -U and recovery
// refuse the file before anything is sent, and the module keeps its flash and
// its serial number. The fit file last shows the same module updates.
TEST_F(Update, UnpatchableOrOverlappingFilesAreRefusedBeforeAnythingIsSent) {
    const std::string second = dir / "second.fw";
    testsupport::WriteFile(second, std::string(4096, '\x11'));
    // A terminal that no chip answers on: recovery that got past the file
    // would end with "Could not get Device Identifier" instead.
    const int silentChip = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(silentChip, 0);
    ASSERT_EQ(grantpt(silentChip) | unlockpt(silentChip), 0);
    const std::string silentPort = ptsname(silentChip);
    struct Case {
        const char* name;
        std::string offsets;  // serial word, descriptor ("" : no serial-number block)
        std::string secondAt; // a second firmware image of 4096 bytes there ("" : none)
        std::string reason;   // why it is refused ("" : fit)
    };
    const std::vector<Case> cases{
        {"serial word straddles the image end", "0x08000FFE 0x08000100", "",
         "its serial number (4 bytes at 0x08000FFE) does not lie inside a firmware image"},
        {"serial word outside every image", "0x09000000 0x08000100", "",
         "its serial number (4 bytes at 0x09000000) does not lie inside a firmware image"},
        {"descriptor straddles the image end", "0x08000080 0x08000FF8", "",
         "its serial-number descriptor (16 bytes at 0x08000FF8) does not lie inside a firmware image"},
        {"descriptor in another image", "0x08000080 0x08002000", "0x08002000",
         "its serial number (0x08000080) and its descriptor (0x08002000) lie in different firmware images"},
        {"overlapping images", "", "0x08000800",
         "its firmware images at 0x08000000 (4096 bytes) and 0x08000800 (4096 bytes) overlap"},
        {"inside one image", "0x08000080 0x08000100", "", ""},
    };
    auto sim = Start(ModuleConfig());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BirdOptions o;
        o.serialBlock = !c.offsets.empty();
        if (o.serialBlock) o.serialOffsets = c.offsets;
        else o.serial = "40F5849A";
        if (!c.secondAt.empty()) o.moreManifest = "firmware " + c.secondAt + " " + second + "\n";
        std::string name = c.name;
        std::replace(name.begin(), name.end(), ' ', '-');
        const Firmware f = MakeFirmware(dir, name + ".bird", o);
        const bool fit = c.reason.empty();
        const std::string flashBefore = testsupport::ReadFile(sim->state() + "/m1/flash.bin");

        auto check = Updater({"-C", "-f", f.path, "-d", "40F5849A"});
        EXPECT_EQ(check.status, fit ? 0 : 1) << check.out;
        EXPECT_EQ(check.err, fit ? "" : "BIRD file cannot be used for an update: " + c.reason + "\n");

        // Recovery judges a named file before it opens the port.
        auto recover = Updater({"-U", "-t", "RECOVER", "-s", silentPort, "-f", f.path});
        EXPECT_EQ(recover.status, 1);
        EXPECT_EQ(recover.err, o.serialBlock ? "Updater does not support offline recovery\n"
                                             : "BIRD file cannot be used for a recovery: " + c.reason + "\n");

        auto update = Updater({"-U", "-d", "40F5849A", "-f", f.path});
        EXPECT_EQ(update.status, fit ? 0 : 1) << update.out << update.err;
        EXPECT_NE(sim->control("status m1").find("serial=40F5849A "), std::string::npos);
        if (fit) {
            ExpectFlash(*sim, "m1", f.image);
            ExpectTransferred(f.path);
            continue;
        }
        EXPECT_EQ(update.err, "BIRD file cannot be used for an update: " + c.reason + "\n");
        EXPECT_EQ(update.out.find("Transferring loader"), std::string::npos) << update.out;
        EXPECT_EQ(testsupport::ReadFile(sim->state() + "/m1/flash.bin"), flashBefore);
        ExpectNoTransfer();
    }
    close(silentChip);
}

// Ctrl-C or SIGTERM once the module runs its loader: one line that says so
// and how to finish, status 1, nothing recorded.
TEST_F(Update, InterruptedUpdateSaysHowToFinish) {
    const Firmware f = MakeFirmware(dir, "fw.bird");
    const std::string errors = dir / "stderr";
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        testsupport::Run({"/bin/rm", "-rf", store});
        // Down after its reboot: the update is still waiting when the signal comes.
        auto sim = Start(ModuleConfig("fault.no_return_after_reboot = 1\n"));
        testsupport::RunOptions options;
        options.env["ERRORS"] = errors;
        testsupport::Background updater({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERRORS\"", UPDATER_BIN, "-u",
                                         "127.0.0.1:1", "-i", store, "-U", "-d", "40F5849A", "-f", f.path, "-m", "0"},
                                        options);
        ASSERT_FALSE(updater.WaitForLine("Transferring firmware block 1 of 1", std::chrono::seconds(60)).empty())
            << updater.output() << testsupport::ReadFile(errors);
        EXPECT_EQ(updater.Stop(signal), 1);
        EXPECT_EQ(testsupport::ReadFile(errors),
                  "Update interrupted: module [40F5849A] may be left in its loader; run the same Updater -U "
                  "command again to finish the update\n");
        ExpectNoTransfer();
    }
}

// A module not on USB is looked for on TCP/IP, and trusted there only when one
// address in the asking interface's subnet answers for its serial number.
TEST_F(Update, TcpipFallbackTrustsOneAnswerFromTheSubnetOnly) {
    // An address outside 10.77.0.0/24 that a responder can send from.
    ASSERT_EQ(testsupport::Run({"/sbin/ip", "addr", "add", "192.0.2.10/32", "dev", "lo"}).status, 0);
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> responders; // tarnix-sim options of each
        bool routed; // -d the module behind m1, -r m1
        int status;
        std::vector<std::string> said; // on standard error; "PORT<i>": responder i's port of m1
    };
    const std::vector<std::string> own{"--discovery", "--bind", "10.77.0.1"};
    const std::vector<std::string> other{"--discovery", "--bind", "10.77.0.2"};
    const std::string duplicate = "Module [40F5849A] answers on TCP/IP from more than one address";
    const std::vector<Case> cases{
        {"one module", {own}, false, 0, {}},
        {"two devices with the serial number", {own, other}, false, 1,
         {duplicate, "10.77.0.1:PORT0", "10.77.0.2:PORT1", "Failed to connect to module [40F5849A]"}},
        // Refused before the network behind the router is probed.
        {"two routers with the serial number", {own, other}, true, 1,
         {duplicate, "10.77.0.1:PORT0", "10.77.0.2:PORT1"}},
        {"answer from outside the subnet",
         {{"--discovery", "--bind", "10.77.0.1", "--discovery-source", "192.0.2.10"}}, false, 1,
         {"Failed to connect to module [40F5849A]"}},
        {"nobody answers", {}, false, 1, {"Failed to connect to module [40F5849A]"}},
    };
    const std::string behind = BehindConfig();
    const Firmware f = MakeFirmware(dir, "fw.bird");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::Run({"/bin/rm", "-rf", store});
        std::vector<std::unique_ptr<Sim>> sims;
        for (const auto& options : c.responders) {
            sims.push_back(std::make_unique<Sim>(ModuleConfig() + (c.routed ? behind : ""), options));
            ASSERT_TRUE(sims.back()->ready()) << sims.back()->log();
        }
        auto r = Updater(c.routed ? std::vector<std::string>{"-U", "-d", "2181F0EE", "-r", "40F5849A", "-f", f.path}
                                  : std::vector<std::string>{"-U", "-d", "40F5849A", "-f", f.path, "-m", "0"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (!c.routed) {
            EXPECT_NE(r.out.find("Module [40F5849A] not found on USB; looking on TCP/IP\n"), std::string::npos) << r.out;
        }
        for (std::string said : c.said) {
            for (size_t i = 0; i < sims.size(); ++i) {
                const std::string mark = "PORT" + std::to_string(i);
                if (auto at = said.find(mark); at != std::string::npos)
                    said.replace(at, mark.size(), std::to_string(sims[i]->port("m1")));
            }
            EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
        }
        if (c.status == 0) {
            ExpectFlash(*sims.front(), "m1", f.image);
            ExpectTransferred(f.path);
            continue;
        }
        ExpectNoTransfer();
        // Refused before anything was sent: no responder saw a connection.
        for (const auto& sim : sims) EXPECT_EQ(sim->log().find("conn#"), std::string::npos) << sim->log();
    }
}

// A module that reports a block size of 0 would never see the image move on.
TEST(UpdaterEntityTest, BlockSizeZeroIsAnError) {
    Velorn::Tarnix::Module module(2, static_cast<unsigned char>(0));
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    Recorder display;
    const Bytes block(100, 1);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 0, display), aErrRange);
}

// The packets of one small update, as the module received them.
TEST_F(Update, PacketSequenceOfASmallUpdate) {
    BirdOptions o;
    o.imageSize = 1000;
    const Firmware f = MakeFirmware(dir, "small.bird", o);
    auto sim = Start(ModuleConfig());
    auto r = Updater({"-U", "-d", "40F5849A", "-f", f.path, "-m", "0"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    const Bytes image = Patched(f.image, kSerial);
    std::vector<std::string> want;
    auto packet = [&](Bytes data) { want.push_back(Hex(Cat({2, uint8_t(data.size())}, data))); };
    auto data = [&](const Bytes& bytes, size_t from, size_t to) {
        for (size_t at = from; at < to; at += 26)
            packet(Cat({95, 1}, Bytes(bytes.begin() + at, bytes.begin() + std::min(to, at + 26))));
    };
    packet({95, 0});
    packet({95, 3, 0, 0x20, 0, 0, 0});
    data(Loader(), 0, 60); // 26, 26 and 8 bytes
    packet({95, 4});
    packet({95, 2});
    packet({95, 3, 0, 0x08, 0, 0, 0});
    data(image, 0, 512); // 19 of 26 and one of 18
    packet({95, 4});
    packet({95, 5, 0x02, 0x00});
    data(image, 512, 1000); // 18 of 26 and one of 20
    packet({95, 4});
    packet({95, 5, 0x01, 0xE8});
    packet({95, 6});

    std::vector<std::string> got;
    std::istringstream log(sim->log());
    for (std::string line; std::getline(log, line);) {
        auto at = line.find(" rx ");
        if (at != std::string::npos && line.size() > at + 12 && line.compare(at + 10, 3, "5F ") == 0) got.push_back(line.substr(at + 4) + " ");
    }
    EXPECT_EQ(got, want);
}

} // namespace
