// The i.MX serial-download client against the i.MX UART boot-ROM simulator,
// and the parts of it that need no device.
#include <chrono>
#include <cstring>
#include <map>
#include <gtest/gtest.h>

#include "BootRomSim.h"
#include "SDPLoader.h"
#include "TempDir.h"

using namespace std::chrono;

namespace {

std::unique_ptr<SDPLoader> SerialLoader(const std::string& pty) {
    auto loader = std::make_unique<SDPLoader>();
    auto* transport = new Serial_SDPLoader(pty.c_str());
    transport->setSettleTime(10);
    loader->setLoader(transport);
    return loader;
}

// Regions of the simulator's memory dump: address, length, bytes.
std::map<uint32_t, std::string> Regions(const std::string& dump) {
    std::map<uint32_t, std::string> out;
    for (size_t at = 0; at + 8 <= dump.size();) {
        uint32_t head[2];
        std::memcpy(head, dump.data() + at, 8);
        out[head[0]] = dump.substr(at + 8, head[1]);
        at += 8 + head[1];
    }
    return out;
}

TEST(SdpPackets, ReportsAndTransportRules) {
    const byte_vector write = SDPLoader::_createWriteFilePacket(0x20000000, 0x1234);
    const byte_vector want = {1, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0};
    EXPECT_EQ(write, want);
    EXPECT_EQ(SDPLoader::_createJumpPacket(0x20000400)[1], 0x0B);
    EXPECT_EQ(SDPLoader::_createStatusPacket().size(), 17u);

    SDPLoader loader;
    EXPECT_EQ(loader.init(), SDPLoader::NO_TRANSPORT);
    EXPECT_FALSE(loader.setLoader(nullptr));
    auto* first = new Serial_SDPLoader("/dev/null");
    EXPECT_TRUE(loader.setLoader(first));
    Serial_SDPLoader second("/dev/null");
    EXPECT_FALSE(loader.setLoader(&second));
    EXPECT_EQ(loader.init(), SDPLoader::INIT_FAILED); // not a terminal
    SDPLoader usb;
    usb.setLoader(new HID_SDPLoader(HID_SDPLoader::kRomVendor, HID_SDPLoader::kRomProduct));
    EXPECT_EQ(usb.init(), SDPLoader::INIT_FAILED); // no such HID device here
    unsigned long fingerprint = 0;
    EXPECT_EQ(usb.getFingerprint(fingerprint), SDPLoader::NO_ANSWER);

    // HID answers decode only when complete (5 + 65 bytes).
    HID_SDPLoader hid(HID_SDPLoader::kRomVendor, HID_SDPLoader::kRomProduct);
    byte_vector answer(70, 0);
    answer[6] = 0x88, answer[7] = 0x88, answer[8] = 0x88, answer[9] = 0x88;
    unsigned value = 0;
    EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, value));
    EXPECT_EQ(value, 0x88888888u);
    answer.pop_back();
    EXPECT_FALSE(hid.getDataFromBuffer(answer, 0, value));
    Serial_SDPLoader serial("/dev/null");
    EXPECT_FALSE(serial.getDataFromBuffer(byte_vector(7, 0), 0, value));
    EXPECT_FALSE(serial.getDataFromBuffer(byte_vector(80, 0), 16, value));
}

TEST(SdpClient, SerialFingerprintLoadAndJump) {
    testsupport::TempDir dir;
    BootRomSim sim({IMX_SDP_SIM_BIN, "--fuses", "0x11223344,0xA5A5F00D", "--dump", dir / "ram.bin",
                    "--latency", "16"});
    ASSERT_FALSE(sim.pty.empty());
    auto loader = SerialLoader(sim.pty);
    ASSERT_EQ(loader->init(), SDPLoader::OK);
    unsigned long fingerprint = 0;
    ASSERT_EQ(loader->getFingerprint(fingerprint), SDPLoader::OK);
    EXPECT_EQ(fingerprint, 0xA5A5F00D11223344ul);
    EXPECT_EQ(loader->securityMode(), SDPLoader::SECURITY_MODE_OPEN);

    const auto image = TestImage(5000, 3);
    ASSERT_EQ(loader->writeLoader(byte_vector(image.begin(), image.end()), 0x20000400), SDPLoader::OK);
    ASSERT_EQ(loader->writeLoader(byte_vector(), 0x20100000), SDPLoader::OK); // empty image
    loader->startLoader(0x20000400);
    ASSERT_NE(sim.WaitFor("JUMP 0x20000400"), "");
    auto regions = Regions(testsupport::ReadFile(dir / "ram.bin"));
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0x20000400], std::string(image.begin(), image.end()));
}

struct SdpFault {
    const char* fault;
    int expected;
    int alsoAccepted; // chatter that comes after the last data check spoils the confirmation
};

void PrintTo(const SdpFault& f, std::ostream* os) { *os << f.fault; }

class SdpFaults : public ::testing::TestWithParam<SdpFault> {};

TEST_P(SdpFaults, EndInClearResultWithoutHanging) {
    BootRomSim sim({IMX_SDP_SIM_BIN, "--fault", GetParam().fault});
    ASSERT_FALSE(sim.pty.empty());
    const auto start = steady_clock::now();
    auto loader = SerialLoader(sim.pty);
    int result = loader->init();
    if (result == SDPLoader::OK) {
        const auto image = TestImage(3000, 4);
        result = loader->writeLoader(byte_vector(image.begin(), image.end()), 0x20000400);
    }
    EXPECT_TRUE(result == GetParam().expected || result == GetParam().alsoAccepted) << result;
    EXPECT_LT(steady_clock::now() - start, seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Faults, SdpFaults, ::testing::Values(
    SdpFault{"silent", SDPLoader::INIT_FAILED, SDPLoader::INIT_FAILED},
    SdpFault{"chatter", SDPLoader::ABORTED, SDPLoader::NOT_CONFIRMED},
    SdpFault{"no-complete", SDPLoader::NOT_CONFIRMED, SDPLoader::NOT_CONFIRMED},
    SdpFault{"bad-complete", SDPLoader::NOT_CONFIRMED, SDPLoader::NOT_CONFIRMED}),
    [](const auto& info) {
        std::string name = info.param.fault;
        for (char& c : name) if (c == '-') c = '_';
        return name;
    });

} // namespace

#ifdef IMX_SDP_HID_SIM_BIN
namespace {

struct HidCase {
    const char* fault; // "" for none
    const char* expected;
    int status;
};

void PrintTo(const HidCase& c, std::ostream* os) { *os << (*c.fault ? c.fault : "none"); }

class SdpOverHid : public ::testing::TestWithParam<HidCase> {};

// The HID transport through the real hidapi against the ROM emulated as a
// USB HID device; the client runs under the emulation's preload.
TEST_P(SdpOverHid, FingerprintLoadAndJump) {
    const HidCase c = GetParam();
    testsupport::TempDir dir;
    testsupport::RunOptions simOptions;
    simOptions.env["TMPDIR"] = dir.path(); // the test bed lives here
    std::vector<std::string> argv = {IMX_SDP_HID_SIM_BIN, "--dump", dir / "ram.bin",
                                     "--fuses", "0x0BADCAFE,0x00C0FFEE"};
    if (*c.fault) argv.insert(argv.end(), {"--fault", c.fault});
    testsupport::Background sim(argv, simOptions);
    const std::string root = sim.WaitForLine("umockdev-dir ", seconds(10));
    ASSERT_FALSE(root.empty());
    ASSERT_NE(sim.WaitForLine("READY", seconds(10)), "");

    const auto image = TestImage(2500, 7);
    testsupport::WriteFile(dir / "image.bin", std::string(image.begin(), image.end()));
    testsupport::RunOptions options;
    options.env["LD_PRELOAD"] = "libumockdev-preload.so.0";
    options.env["UMOCKDEV_DIR"] = root.substr(std::string("umockdev-dir ").size());
    options.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    options.timeout = seconds(30);
    auto run = testsupport::Run({SDP_PROBE_BIN, "usb", dir / "image.bin", "0x20000400"}, options);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
    if (c.status == 0) {
        ASSERT_NE(sim.WaitForLine("JUMP 0x20000400", seconds(10)), "");
        auto regions = Regions(testsupport::ReadFile(dir / "ram.bin"));
        EXPECT_EQ(regions[0x20000400], std::string(image.begin(), image.end()));
    }
    EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Hid, SdpOverHid, ::testing::Values(
    HidCase{"", "fingerprint 0 00C0FFEE0BADCAFE", 0},
    HidCase{"vanish", "write 5", 1},
    HidCase{"silent", "fingerprint 2", 1}),
    [](const auto& info) { return std::string(*info.param.fault ? info.param.fault : "none"); });

} // namespace
#endif
