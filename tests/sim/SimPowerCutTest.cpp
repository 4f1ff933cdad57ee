// Power cuts: a module that loses its power drops off its transports, keeps
// its flash exactly as far as it was programmed and comes back as its chip's
// boot ROM (an LPC ISP ROM on a pseudo-terminal, an i.MX serial download ROM
// on USB HID), which the real Updater, a third-party ISP tool and a hidapi
// client reach. The update server and the Updater's discovery need a private
// network namespace: the whole binary runs in one.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>

#include "ServerTestSupport.h"
#include "UpgradeSteps.h"
#include "aProtocol.h"

namespace simtest {
namespace {

constexpr uint32_t kSerial = 0x0BADF00D;
constexpr uint16_t kBlock = 256;
constexpr size_t kImageSize = 3000;
constexpr size_t kUntouched = std::string::npos; // the cut left the old image in flash
constexpr uint32_t kImxFlash = 0x08000000;
constexpr const char* kIdentity = "0x11111111,0x22222222,0x33333333,0x44444444";
// What the i.MX ROM's fuses read: the identity's two least significant words.
constexpr const char* kImxFuses = "fingerprint 0 3333333344444444";

uint32_t FlashBase(const std::string& rom) { return rom == "lpc" ? 0 : kImxFlash; }

// A module with a boot ROM, 64 KiB of flash (an LPC part has that size).
std::string ModuleWithRom(const std::string& rom, const std::string& transport, const std::string& extra = "") {
    std::ostringstream c;
    c << "[module m]\nserial = 0x0BADF00D\nmodel = 17\nversion = 2.0.0\nbuild = 5\nreboot_ms = 100\n"
      << "transport = " << transport << "\nboot_rom = " << rom << "\nidentity = " << kIdentity
      << "\nflash_base = " << FlashBase(rom) << "\nflash_size = 0x10000\nblock_size = " << kBlock << "\n"
      << extra;
    return c.str();
}

// The flash before the cut: an old image that the module ran.
std::string OldFlash() {
    std::string f(0x10000, '\0');
    for (size_t i = 0; i < f.size(); ++i) f[i] = char(0x30 + i % 61);
    return f;
}

// Sends `text` to a terminal and returns what comes back: up to a whole line,
// or whatever arrived within `wait`.
std::string IspExchange(const std::string& path, const std::string& text, std::chrono::milliseconds wait) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return "cannot open " + path;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    std::string got;
    if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (got.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char b[256];
            const ssize_t n = ::read(fd, b, sizeof b);
            if (n > 0) got.append(b, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return got;
}

// The i.MX ROM read through hidapi by the SDP client, in the simulator's test bed.
testsupport::RunResult ProbeHidRom(const Sim& sim, std::vector<std::string> args = {}) {
    testsupport::RunOptions options;
    for (auto& [key, value] : sim.env()) options.env[key] = value;
    options.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    options.timeout = std::chrono::seconds(30);
    args.insert(args.begin(), {SDP_PROBE_BIN, "usb"});
    return testsupport::Run(args, options);
}

// Waits until the module's status line holds every one of `words`.
bool StatusShows(const Sim& sim, const std::vector<std::string>& words, std::chrono::milliseconds bound = kReplyWait) {
    const auto end = std::chrono::steady_clock::now() + bound;
    do {
        const std::string status = sim.control("status m");
        bool all = true;
        for (const auto& w : words) all = all && status.find(w) != std::string::npos;
        if (all) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// The flash holds `image`'s first `kept` bytes and is erased after them, or
// (kUntouched) still the old image.
void ExpectFlash(const std::string& state, const Bytes& image, size_t kept) {
    const std::string flash = testsupport::ReadFile(state + "/m/flash.bin");
    ASSERT_EQ(flash.size(), 0x10000u);
    if (kept == kUntouched) {
        EXPECT_TRUE(flash == OldFlash()) << "the flash changed";
        return;
    }
    EXPECT_EQ(flash.compare(0, kept, std::string(image.begin(), image.begin() + static_cast<long>(kept))), 0)
        << "the flash does not hold what was programmed before the cut";
    EXPECT_EQ(flash.find_first_not_of('\xFF', kept), std::string::npos) << "bytes past what was programmed";
}

// One power cut, at the point `cut` names: a fault value ("loader",
// "firmware:K") or "command:K" (the control port's powercut after K bytes).
struct CutCase {
    const char* rom;
    std::string cut;
    size_t kept; // firmware bytes the flash holds afterwards
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.rom << " " << c.cut; }

class PowerCut : public ::testing::TestWithParam<CutCase> {};

// Loader and firmware as a host sends them, until the power goes: an
// answer that never comes, then the connection reset.
void UpgradeUntilCut(Sim& sim, Peer& peer, const CutCase& c, const Bytes& image) {
    Upgrade up(peer, 2);
    const bool byCommand = c.cut.rfind("command:", 0) == 0;
    up.loaderPhase(0x10000000, Loader(), kBlock);
    if (c.cut == "loader") return;
    if (c.kept == 0 && !byCommand) {
        peer.send(2, Cat({95, 3, 1}, Be32(FlashBase(c.rom)))); // the PREPARE that erases
        return;
    }
    ASSERT_EQ(up.prepare(1, FlashBase(c.rom), kBlock), 0);
    for (size_t at = 0; at < c.kept; at += kBlock) {
        const Bytes chunk(image.begin() + static_cast<long>(at),
                          image.begin() + static_cast<long>(std::min(image.size(), at + kBlock)));
        up.data(chunk);
        up.sumIs(Sum(chunk));
        const uint16_t n = static_cast<uint16_t>(chunk.size());
        if (!byCommand && at + n >= c.kept) {
            peer.send(2, {95, 5, uint8_t(n >> 8), uint8_t(n)}); // the WRITE during which the power goes
            return;
        }
        ASSERT_EQ(up.write(n), 0);
    }
    EXPECT_EQ(sim.control("powercut m").rfind("ok boot_rom=", 0), 0u);
}

TEST_P(PowerCut, ModuleComesBackAsItsBootRomWithItsFlashAsWritten) {
    const CutCase& c = GetParam();
    const bool lpc = std::string(c.rom) == "lpc";
    testsupport::TempDir dir;
    testsupport::Run({"/bin/mkdir", "-p", dir / "state/m"});
    testsupport::WriteFile(dir / "state/m/flash.bin", OldFlash());
    const std::string fault = c.cut.rfind("command:", 0) == 0 ? "" : "fault.power_cut = " + c.cut + "\n";
    Sim sim(ModuleWithRom(c.rom, "tcp", fault), {}, dir / "state");
    ASSERT_TRUE(sim.ready()) << sim.log();
    // Before the cut the ROM is not there: the ISP line is silent, no HID device.
    if (lpc) EXPECT_EQ(IspExchange(sim.isp("m"), "?", 300ms), "");
    else EXPECT_NE(ProbeHidRom(sim).status, 0);

    Peer peer(sim.port("m"));
    const Bytes image = FirmwareImage(kImageSize, 0x21000000, 77, kSerial, FlashBase(c.rom));
    UpgradeUntilCut(sim, peer, c, image);
    EXPECT_TRUE(peer.closedWithin(kReplyWait));
    // Off its transport: down, its port closed.
    ASSERT_TRUE(StatusShows(sim, {" up=0 ", " in_rom=yes"})) << sim.control("status m");
    Peer probe;
    EXPECT_FALSE(probe.connect(sim.port("m")));
    // Its ROM answers with the chip's fingerprint.
    if (lpc) {
        EXPECT_EQ(IspExchange(sim.isp("m"), "?", kReplyWait), "Synchronized\r\n");
    } else {
        const auto r = ProbeHidRom(sim);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(kImxFuses), std::string::npos) << r.out;
    }
    ExpectFlash(sim.state(), image, c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Points, PowerCut,
    ::testing::Values(CutCase{"lpc", "loader", kUntouched}, CutCase{"lpc", "firmware:0", 0},
                      CutCase{"lpc", "firmware:700", 700}, CutCase{"imx-hid", "loader", kUntouched},
                      CutCase{"imx-hid", "firmware:512", 512}, CutCase{"imx-hid", "command:768", 768}),
    [](const ::testing::TestParamInfo<CutCase>& info) {
        std::string name = std::string(info.param.rom) + "_" + info.param.cut;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// A module on USB leaves the bus with its power; the i.MX ROM then starts the
// loader it is sent, which comes up on USB as the recovery loader (DEADDEAD)
// taking firmware at once, and the ROM leaves the bus.
TEST(PowerCutUsb, ImxRomJumpsToTheLoaderOnUsb) {
    Sim sim(ModuleWithRom("imx-hid", "usb"));
    ASSERT_TRUE(sim.ready()) << sim.log();
    ASSERT_TRUE(StatusShows(sim, {" usb=bus/usb/", " serial=0BADF00D "}));
    EXPECT_EQ(sim.control("powercut 0BADF00D"), "ok boot_rom=imx-hid rom=/dev/hidraw0 in_rom=yes");
    EXPECT_TRUE(StatusShows(sim, {" up=0 ", " usb=away"})) << sim.control("status m");
    testsupport::WriteFile(sim.dir() / "loader.bin", std::string(700, '\x5A'));
    const auto r = ProbeHidRom(sim, {sim.dir() / "loader.bin", "0x20000400"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("write 0"), std::string::npos) << r.out;
    EXPECT_TRUE(StatusShows(sim, {" up=1 ", " serial=DEADDEAD ", " phase=loader-running ", " usb=bus/usb/", " in_rom=no"}))
        << sim.control("status m");
    EXPECT_NE(ProbeHidRom(sim).status, 0) << "the ROM is still on the bus";
    // A second cut brings a ROM again.
    EXPECT_EQ(sim.control("powercut m"), "ok boot_rom=imx-hid rom=/dev/hidraw1 in_rom=yes");
    EXPECT_EQ(ProbeHidRom(sim).status, 0);
    // Power back without the ROM: the module boots its flash, on its own serial number.
    EXPECT_EQ(sim.control("revive m"), "ok");
    EXPECT_TRUE(StatusShows(sim, {" up=1 ", " serial=0BADF00D ", " phase=idle ", " usb=bus/usb/", " in_rom=no"}))
        << sim.control("status m");
}

// A BIRD file built for the module (no serial-number block: recovery takes
// only such files) with a loader and `image` at `address`.
std::string PackBird(const testsupport::TempDir& dir, const std::string& name, unsigned build, const Bytes& image,
                     uint32_t address) {
    testsupport::WriteFile(dir / (name + ".fw"), std::string(image.begin(), image.end()));
    const Bytes loader = Loader();
    testsupport::WriteFile(dir / (name + ".ld"), std::string(loader.begin(), loader.end()));
    std::ostringstream m;
    m << "build " << build << "\nversion 2.16.1\nmodel Ristova\nserial 0BADF00D\nloader 0x20000000 " << dir / (name + ".ld")
      << "\nfirmware 0x" << std::hex << address << std::dec << " " << dir / (name + ".fw") << "\n";
    testsupport::WriteFile(dir / (name + ".manifest"), m.str());
    const std::string path = dir / (name + ".bird");
    const auto r = testsupport::Run({BIRDTOOL_BIN, "pack", dir / (name + ".manifest"), path});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

// An update the power cuts short, then recovery through the chip's boot ROM
// with the real Updater: the server names the build from the fingerprint, and
// the module comes back running it, found again by discovery.
struct RecoveryCase {
    const char* name;
    const char* rom;
    const char* transport;
    const char* cut;
    size_t kept;
    const char* keys = ""; // more of the module's configuration
};

void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.rom << " on " << c.transport << ", cut " << c.cut; }

class PowerCutRecovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(PowerCutRecovery, UpdaterRecoversTheModuleThroughItsBootRom) {
    const RecoveryCase& c = GetParam();
    const bool lpc = std::string(c.rom) == "lpc";
    testsupport::TempDir dir;
    testsupport::Run({"/bin/mkdir", "-p", dir / "state/m", dir / "catalog"});
    testsupport::WriteFile(dir / "state/m/flash.bin", OldFlash());
    const Bytes image = FirmwareImage(kImageSize, 0x21000000, 1234, kSerial, FlashBase(c.rom));
    const std::string bird = PackBird(dir, "ristova_1234", 1234, image, FlashBase(c.rom));
    testsupport::Run({"/bin/cp", bird, dir / "catalog/"});
    // The default recovery image: the loader an i.MX ROM is sent.
    const Bytes rescue(700, 0x5A);
    testsupport::WriteFile(dir / "rescue.bin", std::string(rescue.begin(), rescue.end()));
    testsupport::WriteFile(dir / "rescue.manifest", "build 3\nversion 1.0.0\nmodel Rescue\nserial DEADDEAD\nloader "
                                                    "0x20000400 " + dir / "rescue.bin" + "\n");
    ASSERT_EQ(testsupport::Run({BIRDTOOL_BIN, "pack", dir / "rescue.manifest", dir / "catalog/rescue_3.bird"}).status, 0);
    testsupport::WriteFile(dir / "devices", "DEADDEAD Rescue\n0BADF00D Ristova - 11111111:22222222:33333333:44444444\n");
    servertest::StandInServer server({dir / "catalog", dir / "devices", "k", "", ""});

    Sim sim(ModuleWithRom(c.rom, c.transport, std::string("fault.power_cut = ") + c.cut + "\n" + c.keys),
            {"--discovery", "--bind", "10.77.0.1"}, dir / "state");
    ASSERT_TRUE(sim.ready()) << sim.log();
    testsupport::RunOptions options;
    for (auto& [key, value] : sim.env()) options.env[key] = value;
    options.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    options.timeout = std::chrono::seconds(120); // far above the product's own bounds
    auto updater = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-u", server.url(), "-i", dir / "store"});
        return testsupport::RunUpdater(args, options);
    };

    auto r = updater({"-U", "-d", "0BADF00D", "-f", bird});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_TRUE(StatusShows(sim, {" up=0 ", " in_rom=yes"})) << sim.control("status m");
    ExpectFlash(sim.state(), image, c.kept);

    r = updater({"-U", "-t", "RECOVER", "-s", lpc ? sim.isp("m") : "USB"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The server names the device, and the store's record of the update cut
    // short says what to write.
    EXPECT_NE(r.out.find("Finishing the interrupted update of [0BADF00D] with " + bird), std::string::npos) << r.out;
    EXPECT_TRUE(StatusShows(sim, {" up=1 ", " serial=0BADF00D ", " build=1234 ", " in_rom=no"}, 20000ms))
        << sim.control("status m");
    ExpectFlash(sim.state(), image, image.size());
    EXPECT_EQ(sim.log().find("boot ROM reset: a host opened its terminal") != std::string::npos, *c.keys != '\0');
    r = updater({"-D", "-t", lpc ? "TCPIP" : "USB"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("0BADF00D"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(      1234)"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Roms, PowerCutRecovery,
                         ::testing::Values(RecoveryCase{"lpc", "lpc", "tcp", "firmware:1000", 1000},
                                           // Each open of the port brings the chip back to the prompt.
                                           RecoveryCase{"lpcResetOnOpen", "lpc", "tcp", "firmware:1000", 1000,
                                                        "boot_rom_reset_on_open = yes\n"},
                                           RecoveryCase{"imx", "imx-hid", "usb", "loader", kUntouched}),
                         [](const ::testing::TestParamInfo<RecoveryCase>& info) { return std::string(info.param.name); });

// A third-party ISP tool syncs with the LPC ROM, programs the module's flash
// and starts it: the module is back on its port, running what was written.
TEST(PowerCutLpc, Lpc21ispProgramsTheModuleThroughItsRom) {
    if (::access("/usr/bin/lpc21isp", X_OK) != 0) GTEST_SKIP() << "lpc21isp is not installed";
    testsupport::TempDir dir;
    Sim sim(ModuleWithRom("lpc", "tcp", "boot_rom_link = " + dir / "isp" + "\n"));
    ASSERT_TRUE(sim.ready()) << sim.log();
    EXPECT_EQ(sim.control("powercut m"), "ok boot_rom=lpc rom=" + sim.isp("m") + " in_rom=yes");
    const Bytes image = FirmwareImage(kImageSize, 0x21000000, 4242, kSerial, 0);
    testsupport::WriteFile(dir / "fw.bin", std::string(image.begin(), image.end()));
    const auto r = testsupport::Run({"/usr/bin/lpc21isp", "-bin", dir / "fw.bin", dir / "isp", "115200", "12000"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(StatusShows(sim, {" up=1 ", " build=4242 ", " in_rom=no"})) << sim.control("status m");
    Peer peer;
    ASSERT_TRUE(peer.connectWithin(sim.port("m"), kReplyWait));
    EXPECT_EQ(peer.ask(2, Get(aCMD_SYSTEM, aSYSTEM_BUILD)), Cat({2, 3, aSYSTEM_BUILD, 0}, Be32(4242)));
    EXPECT_EQ(peer.ask(2, Get(aCMD_SYSTEM, aSYSTEM_SERIAL)), Cat({2, 3, aSYSTEM_SERIAL, 0}, Be32(kSerial)));
    // The ROM went silent with the code it started.
    EXPECT_EQ(IspExchange(dir / "isp", "?", 300ms), "");
}

// A boot ROM the configuration cannot have is refused at start-up.
TEST(PowerCutConfig, ImpossibleBootRomsAreRefused) {
    struct Case {
        std::string config;
        const char* said;
    };
    const std::string base = "[module m]\nserial = 1\n";
    const std::vector<Case> cases{
        {base + "boot_rom = imx-hid\n", "boot_rom needs identity"},
        {base + "boot_rom = z80\n", "expected none, imx-hid or lpc"},
        {base + "boot_rom = lpc\nidentity = 1,2,3,4\nflash_base = 0x08000000\n", "needs flash_base = 0"},
        {base + "boot_rom = lpc\nidentity = 1,2,3,4\nflash_size = 0x30000\n", "a flash_size an LPC17xx has"},
        {base + "boot_rom_link = /tmp/x\n", "boot_rom_link without boot_rom = lpc"},
        {base + "boot_rom = imx-hid\nidentity = 1,2,3,4\nboot_rom_reset_on_open = yes\n",
         "boot_rom_reset_on_open is for boot_rom = lpc"},
        {base + "fault.power_cut = sometimes\n", "expected loader, firmware:BYTES or off"},
        {base + "[module c]\nrouter = m\ni2c_address = 0x10\nserial = 2\nboot_rom = lpc\nidentity = 1,2,3,4\n",
         "behind a router has no boot ROM"},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        testsupport::WriteFile(dir / "sim.ini", c.config);
        const auto r = testsupport::Run({TARNIX_SIM_BIN, dir / "sim.ini"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

} // namespace
} // namespace simtest
