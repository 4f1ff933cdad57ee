// Recovery through the LPC boot ROM and the chip fingerprint, end to end: the
// real Updater against lpc-isp-sim on a pseudo-terminal and the stand-in
// update server, with the flash compared to the BIRD file's firmware blocks.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "ImxBench.h"
#include "ServerTestSupport.h"
#include "TempDir.h"

namespace {

using recovertest::Image;
using recovertest::ImxBench;
using recovertest::LpcSim;
using recovertest::Rom;

using testsupport::RunResult;
using namespace std::chrono_literals;

constexpr const char* kFingerprint = "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]";
constexpr const char* kDevice = "0BADF00D";

struct Block {
    uint32_t address;
    std::string bytes;
};

// A BIRD file of firmware blocks, built for kDevice (or generic, with a serial-number block).
void MakeBird(const testsupport::TempDir& dir, const std::string& path, unsigned build, const std::string& version,
              const std::vector<Block>& blocks, bool generic = false) {
    std::ostringstream m;
    m << "build " << build << "\nversion " << version << "\nmodel Ristova\nserial " << kDevice << "\n";
    if (generic) m << "serial-offsets 0x00000080 0x00000100\n";
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::string file = dir / ("img" + std::to_string(build) + "_" + std::to_string(i));
        testsupport::WriteFile(file, blocks[i].bytes);
        m << "firmware 0x" << std::hex << blocks[i].address << std::dec << " " << file << "\n";
    }
    testsupport::WriteFile(path + ".manifest", m.str());
    auto r = testsupport::Run({BIRDTOOL_BIN, "pack", path + ".manifest", path});
    ASSERT_EQ(r.status, 0) << r.err;
}

class Recover : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string store = dir / "store";
    std::string flash = dir / "flash.bin";
    std::string fw5 = Image(5000, 5), fw7 = Image(9000, 7);

    std::unique_ptr<servertest::StandInServer> server;

    void SetUp() override {
        testsupport::Run({"/bin/mkdir", "-p", dir / "catalog"});
        MakeBird(dir, dir / "catalog/ristova_5.bird", 5, "2.1.0", {{0, fw5}});
        MakeBird(dir, dir / "catalog/ristova_7.bird", 7, "2.2.0", {{0, fw7}});
        testsupport::WriteFile(dir / "devices", std::string(kDevice) +
                                                    " Ristova - 12345678:9ABCDEF0:0F1E2D3C:4B5A6978\n");
        server = std::make_unique<servertest::StandInServer>(
            servertest::StandInServer::Config{dir / "catalog", dir / "devices", "k", "", ""});
    }
    RunResult Updater(std::vector<std::string> args, const std::string& url = "") {
        args.insert(args.begin(), {"-u", url.empty() ? server->url() : url, "-i", store});
        testsupport::RunOptions options;
        options.timeout = 60s; // far above the product's own bounds
        return testsupport::RunUpdater(args, options);
    }
    // The flash holds exactly `image` at 0, erased bytes after it.
    void ExpectFlash(const std::string& image) {
        const std::string f = testsupport::ReadFile(flash);
        ASSERT_GE(f.size(), image.size());
        EXPECT_TRUE(f.compare(0, image.size(), image) == 0) << "flash differs from the firmware block";
        EXPECT_EQ(f.find_first_not_of('\xFF', image.size()), std::string::npos) << "bytes beyond the image";
    }
};

TEST_F(Recover, FingerprintOfAnLpcPart) {
    LpcSim sim(flash);
    ASSERT_FALSE(sim.pty.empty());
    auto r = Updater({"-N", "-s", sim.pty});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kFingerprint), std::string::npos) << r.out;
}

// The server names the device and its build from the fingerprint; -b chooses
// another; the sim's reset on reopening the port and another rate change nothing.
TEST_F(Recover, LpcRecoveryWritesTheFirmwareTheServerNames) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> simArgs;
        const std::string* image;
        const char* said;
    };
    const std::vector<Case> cases{
        {"server's build", {}, {}, &fw7, "Recovering firmware with build: 7"},
        {"-b overrides", {"-b", "5"}, {}, &fw5, "Recovering firmware with build: 5"},
        {"reset when the port opens", {}, {"--reset-on-open"}, &fw7, "Recovering firmware with build: 7"},
        {"57600 baud", {"-o", "57600"}, {"--reset-on-open", "--pace"}, &fw7, "Recovering firmware with build: 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::Run({"/bin/rm", "-rf", store, flash});
        LpcSim sim(flash, c.simArgs);
        ASSERT_FALSE(sim.pty.empty());
        std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", sim.pty};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = Updater(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Rebooting Device"), std::string::npos) << r.out;
        EXPECT_FALSE(sim.process->WaitForLine("GO 0x00000000", 10s).empty());
        ExpectFlash(*c.image);
        // The build was downloaded into the device's own store directory.
        const std::string build = std::string(c.said).substr(std::string(c.said).rfind(' ') + 1);
        EXPECT_FALSE(testsupport::ReadFile(store + "/updater/" + kDevice + "/" + build + ".bird").empty());
    }
}

// A board without reset wiring: the chip stays synchronised while the port is
// closed and reopened (-N, then the recovery's fingerprint read and its
// transfer), whether it runs a line at its CR or its LF and however it ends
// its own lines. It is synchronised once and never sent '?' again.
TEST_F(Recover, LpcChipThatStaysSynchronised) {
    struct Case {
        const char* executeAt;
        const char* answerEnd;
    };
    for (const Case& c : {Case{"lf", "crlf"}, Case{"cr", "crlf"}, Case{"cr", "lf"}}) {
        SCOPED_TRACE(std::string("execute at ") + c.executeAt + ", answers end " + c.answerEnd);
        testsupport::Run({"/bin/rm", "-rf", store, flash});
        LpcSim sim(flash, {"--execute-at", c.executeAt, "--answer-end", c.answerEnd, "--latency", "4"});
        ASSERT_FALSE(sim.pty.empty());
        auto n = Updater({"-N", "-s", sim.pty});
        EXPECT_EQ(n.status, 0) << n.out << n.err;
        EXPECT_NE(n.out.find(kFingerprint), std::string::npos) << n.out;
        auto r = Updater({"-U", "-t", "RECOVER", "-s", sim.pty});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_FALSE(sim.process->WaitForLine("GO 0x00000000", 10s).empty());
        ExpectFlash(fw7);
        const std::string& said = sim.process->output();
        EXPECT_NE(said.find("SYNC "), std::string::npos) << said;
        EXPECT_EQ(said.find("SYNC ", said.find("SYNC ") + 1), std::string::npos) << "synchronised again:\n" << said;
    }
}

// -N and recovery say what is wrong with -s or -o before a chip is asked,
// instead of reporting a chip that does not answer.
TEST_F(Recover, BadPortOrRateIsNamed) {
    testsupport::WriteFile(dir / "plain-file", "not a terminal");
    testsupport::Run({"/bin/mkdir", "-p", dir / "a-dir"});
    LpcSim sim(flash);
    ASSERT_FALSE(sim.pty.empty());
    struct Case {
        std::string port;
        std::vector<std::string> extra;
        std::string said;
    };
    const std::string rates = "cannot be set on a serial port; use one of 2400, ";
    const std::vector<Case> cases{
        {dir / "missing", {}, dir / "missing does not exist"},
        {dir / "plain-file/tty", {}, dir / "plain-file/tty does not exist"},
        {dir / "a-dir", {}, dir / "a-dir is a directory, not a serial port"},
        {dir / "plain-file", {}, dir / "plain-file is a regular file, not a serial port"},
        {"/dev/null", {}, "/dev/null is a device that is not a terminal, not a serial port"},
        {sim.pty, {"-o", "99999999"}, "Baud rate 99999999 " + rates},
        {sim.pty, {"-o", "0"}, "Baud rate 0 " + rates},
        {sim.pty, {"-o", "fast"}, "Baud rate fast " + rates},
        {sim.pty, {"-o", "100000"}, "Baud rate 100000 " + rates},
    };
    const std::vector<std::vector<std::string>> commands{{"-N"}, {"-U", "-t", "RECOVER"}};
    for (const auto& command : commands) {
        for (const auto& c : cases) {
            std::vector<std::string> args = command;
            args.insert(args.end(), {"-s", c.port});
            args.insert(args.end(), c.extra.begin(), c.extra.end());
            SCOPED_TRACE(command[0] + " -s " + c.port + (c.extra.empty() ? "" : " -o " + c.extra[1]));
            auto r = Updater(args);
            EXPECT_EQ(r.status, 1) << r.out << r.err;
            EXPECT_FALSE(r.timed_out);
            EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("Got no response from chip"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("Could not get Device Identifier"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(sim.process->output().find("SYNC"), std::string::npos) << "the chip was asked";
}

// Several blocks, each through the RAM buffer in 4096-byte chunks; a block of
// length 8 ends the transfer.
TEST_F(Recover, LpcBlocksEndAtTheEndMarker) {
    const std::string a = Image(6000, 1), b = Image(100, 2), after = Image(256, 3);
    MakeBird(dir, dir / "blocks.bird", 9, "2.3.0", {{0, a}, {0x2000, b}, {0x3000, "ENDM"}, {0x4000, after}});
    LpcSim sim(flash);
    auto r = Updater({"-U", "-t", "RECOVER", "-s", sim.pty, "-f", dir / "blocks.bird", "-X", "0x1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferring firmware block 1 of 3, 6000 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferred 3 blocks, 6100 total bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("\t Write 4096 bytes to address 0x10001000"), std::string::npos) << r.err;
    std::string want(0x2000 + b.size(), '\xFF');
    want.replace(0, a.size(), a);
    want.replace(0x2000, b.size(), b);
    ExpectFlash(want);
}

// Each failure: a clear message, status 1, and no hang.
TEST_F(Recover, FailuresEndWithStatusOne) {
    MakeBird(dir, dir / "generic.bird", 9, "2.3.0", {{0, Image(512, 4)}}, true);
    struct Case {
        const char* name;
        std::vector<std::string> simArgs; // empty: no simulator
        std::vector<std::string> args;    // after -U -t RECOVER -s PORT
        const char* said;
        std::string url;
    };
    const std::vector<Case> cases{
        {"never synchronises", {"--fault", "never-sync"}, {}, "Could not get Device Identifier", ""},
        {"refused prepare", {"--fault", "refuse-prepare"}, {}, "Failed to transfer firmware", ""},
        {"refused copy", {"--fault", "refuse-copy"}, {}, "Failed to transfer firmware", ""},
        {"wrong checksum reply", {"--fault", "bad-checksum-reply"}, {}, "Failed to transfer firmware", ""},
        {"garbage answers", {"--fault", "garbage"}, {}, "Could not get Device Identifier", ""},
        {"generic image", {"--verbose"}, {"-f", dir / "generic.bird"}, "Updater does not support offline recovery", ""},
        {"server unknown", {"--verbose"}, {}, "Failed to retrieve recovery information from Velorn server",
         "http://127.0.0.1:1/cgi/u"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LpcSim sim(flash, c.simArgs);
        std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", sim.pty};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = Updater(args, c.url);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_FALSE(r.timed_out);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.out << r.err;
    }
    // -N with a file is refused on the i.MX path, where no device is named.
    auto n = Updater({"-N", "-s", "USB", "-f", dir / "generic.bird"});
    EXPECT_EQ(n.status, 1);
    EXPECT_NE(n.err.find("Add serial number or remove the bird filename to use a default recovery image."),
              std::string::npos) << n.err;
    EXPECT_NE(n.err.find("Got no response from chip"), std::string::npos) << n.err;
}

// -N: the default recovery image is downloaded, its loader goes into RAM,
// and the loader reports the chip identity and is reset; over the UART
// (-s PTY) and over USB HID (-s USB), where one host session reaches the ROM
// through hidapi and the started loader through libusb.
TEST_F(Recover, FingerprintOfAnImxPartThroughItsLoader) {
    for (Rom kind : {Rom::Uart, Rom::Hid}) {
        SCOPED_TRACE(kind == Rom::Hid ? "HID" : "UART");
        testsupport::TempDir at;
        ImxBench bench(at, kind);
        ASSERT_FALSE(bench.pty.empty());
        auto r = bench.Updater(at / "store", {"-N", "-s", bench.pty});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("[ 11111111 22222222 33333333 44444444 ]"), std::string::npos) << r.out;
        if (bench.rom) {
            EXPECT_FALSE(bench.rom->WaitForLine("JUMP 0x20000400", 10s).empty());
        }
        const std::string ram = testsupport::ReadFile(at / "ram.bin");
        ASSERT_EQ(ram.size(), 8 + bench.loader.size());
        EXPECT_EQ(ram.substr(8), bench.loader);
        EXPECT_FALSE(testsupport::ReadFile(at / "store/updater/DEADDEAD/3.bird").empty());
        EXPECT_NE(testsupport::ReadFile(at / "sim.log").find("image: reset requested"), std::string::npos);
    }
}

// Recovery: the server names the device from the identity, and the loader
// takes its firmware. A HID ROM that vanishes while the loader is written
// ends the run with status 1, without waiting on the gone device.
TEST_F(Recover, ImxRecoveryOverUartAndUsb) {
    for (Rom kind : {Rom::Uart, Rom::Hid}) {
        SCOPED_TRACE(kind == Rom::Hid ? "HID" : "UART");
        testsupport::TempDir at;
        ImxBench bench(at, kind);
        ASSERT_FALSE(bench.pty.empty());
        auto r = bench.Updater(at / "store", {"-U", "-t", "RECOVER", "-s", bench.pty});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Recovering firmware with build: 8"), std::string::npos) << r.out;
        const std::string flash = testsupport::ReadFile(bench.state + "/image/flash.bin");
        ASSERT_GE(flash.size(), bench.firmware.size());
        EXPECT_TRUE(flash.compare(0, bench.firmware.size(), bench.firmware) == 0);
    }
    testsupport::TempDir at;
    ImxBench bench(at, Rom::Hid, "vanish");
    auto r = bench.Updater(at / "store", {"-U", "-t", "RECOVER", "-s", "USB"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find("Could not get Device Identifier"), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::ReadFile(at / "sim.log").find("boot ROM: jump"), std::string::npos) << "the image started";
}

#ifdef IMX_SDP_HID_SIM_BIN
// -N -s USB: the loader goes to the ROM over HID; a ROM that vanishes during
// the write ends the run with status 1 and no wait on the gone device.
TEST_F(Recover, ImxOverHidLoaderAndVanishingDevice) {
    const std::string loader = Image(1500, 4);
    testsupport::WriteFile(dir / "loader.bin", loader);
    testsupport::WriteFile(dir / "m", "build 3\nversion 1.0.0\nmodel Rescue\nserial DEADDEAD\nloader 0x20000400 " +
                                          dir / "loader.bin" + "\n");
    testsupport::Run({"/bin/mkdir", "-p", store + "/updater/DEADDEAD"});
    ASSERT_EQ(testsupport::Run({BIRDTOOL_BIN, "pack", dir / "m", store + "/updater/DEADDEAD/3.bird"}).status, 0);
    testsupport::WriteFile(store + "/updater/DEADDEAD/.settings", "LATEST_DOWNLOAD=3.bird\n");
    for (const char* fault : {"", "vanish"}) {
        SCOPED_TRACE(fault);
        testsupport::RunOptions simOptions;
        simOptions.env["TMPDIR"] = dir.path();
        std::vector<std::string> argv{IMX_SDP_HID_SIM_BIN, "--dump", dir / "ram.bin"};
        if (*fault) argv.insert(argv.end(), {"--fault", fault});
        testsupport::Background sim(argv, simOptions);
        const std::string root = sim.WaitForLine("umockdev-dir ", 10s);
        ASSERT_FALSE(root.empty());
        ASSERT_FALSE(sim.WaitForLine("READY", 10s).empty());
        testsupport::RunOptions options;
        options.env["LD_PRELOAD"] = "libumockdev-preload.so.0";
        options.env["UMOCKDEV_DIR"] = root.substr(13);
        options.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
        options.timeout = 60s;
        // No loader module comes up on USB here: the wait for it is bounded.
        auto r = testsupport::RunUpdater({"-u", "http://127.0.0.1:1/cgi/u", "-i", store, "-N", "-s", "USB", "-X",
                                          "0x10000"}, options);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("Got no response from chip"), std::string::npos) << r.err;
        if (*fault) {
            EXPECT_NE(r.err.find("Error loading liveloader."), std::string::npos) << r.err;
        } else {
            EXPECT_FALSE(sim.WaitForLine("JUMP 0x20000400", 10s).empty());
            EXPECT_EQ(testsupport::ReadFile(dir / "ram.bin").substr(8), loader);
            EXPECT_NE(r.err.find("Could not connect to device."), std::string::npos) << r.err;
        }
    }
}
#endif

} // namespace
