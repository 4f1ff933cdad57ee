// The LPC ISP client against the LPC boot-ROM simulator: identity, the
// programming sequence with the flash read back, re-synchronisation, faults.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>

#include "BootRomSim.h"
#include "NXPSerial.h"
#include "TempDir.h"

using namespace std::chrono;

namespace {

// The write sequence a recovery uses: whole flash of the part erased, then
// 4096-byte chunks through the RAM buffer into flash.
aErr Program(NXPSerialClass& isp, const std::vector<unsigned char>& image, uint32_t flashAddress) {
    long part = 0;
    aErr err = isp.GetPartNumber(&part);
    int last = NXPSerialClass::LastSectorOfPart(part);
    if (err == aErrNone && last < 0) err = aErrRange;
    if (err == aErrNone) err = isp.Unlock();
    if (err == aErrNone) err = isp.Prepare(0, last);
    if (err == aErrNone) err = isp.Erase(0, last);
    if (err == aErrNone) err = isp.SetEcho(false);
    for (size_t off = 0; err == aErrNone && off < image.size(); off += 4096) {
        unsigned n = (unsigned)std::min<size_t>(4096, image.size() - off);
        auto ram = NXPSerialClass::CopyImage(image.data() + off, n);
        uint32_t at = flashAddress + (uint32_t)off;
        err = isp.Write(NXPSerialClass::WRITE_ADDRESS, (unsigned)ram.size(), ram.data());
        if (err == aErrNone)
            err = isp.Prepare(NXPSerialClass::SectorFromAddress(at),
                              NXPSerialClass::SectorFromAddress(at + (unsigned)ram.size() - 1));
        if (err == aErrNone) err = isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, (unsigned)ram.size());
    }
    return err;
}

TEST(IspHelpers, EncodingLengthsAndSectors) {
    char line[8];
    const unsigned char cat[3] = {0x43, 0x61, 0x74};
    NXPSerialClass::uuencode(line, cat, 3);
    EXPECT_STREQ(line, "#0V%T");
    NXPSerialClass::uuencode(line, cat, 0);
    EXPECT_STREQ(line, "`");
    unsigned char out[3] = {0, 0, 0};
    EXPECT_EQ(NXPSerialClass::uudecode(out, 2, "#0V%T"), 0u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(NXPSerialClass::uudecode(out, 3, "#0V%T"), 3u);
    EXPECT_EQ(0, std::memcmp(out, cat, 3));
    EXPECT_EQ(NXPSerialClass::uudecode(out, 3, "#0"), 3u); // short line: no read past its end

    const std::pair<unsigned, unsigned> lengths[] = {{1, 256}, {300, 512}, {1024, 1024}, {4000, 4096}, {5000, 5000}};
    for (auto [n, want] : lengths) EXPECT_EQ(NXPSerialClass::CopyLength(n), want) << n;
    const std::pair<unsigned, unsigned> sectors[] = {{0xFFFF, 15}, {0x10000, 16}, {0x7FFFF, 29}, {0x80000, 30}};
    for (auto [a, s] : sectors) EXPECT_EQ(NXPSerialClass::SectorFromAddress(a), s) << a;
    EXPECT_EQ(NXPSerialClass::LastSectorOfPart(0x26013F37), 29);
    EXPECT_EQ(NXPSerialClass::LastSectorOfPart(0x26013F33), 21);
    EXPECT_EQ(NXPSerialClass::LastSectorOfPart(0x25001121), 15);
    EXPECT_EQ(NXPSerialClass::LastSectorOfPart(0x12345678), -1);

    // The RAM image of a copy: the bytes, then the erased value, to a copy length.
    const unsigned char odd[5] = {1, 2, 3, 4, 5};
    auto ram = NXPSerialClass::CopyImage(odd, 5);
    ASSERT_EQ(ram.size(), 256u);
    EXPECT_EQ(ram[4], 5);
    EXPECT_EQ(ram[5], 0xFF);
    EXPECT_EQ(ram[255], 0xFF);

    // Refused before anything is sent (there is no port).
    NXPSerialClass isp;
    EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
    unsigned char buffer[8];
    EXPECT_EQ(isp.Read(0, 6, buffer), aErrParam);
    EXPECT_EQ(isp.Prepare(3, 2), aErrParam);
}

TEST(IspClient, PortThatIsNoTerminalIsRefused) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "file", "x");
    for (const std::string& port : {std::string("/dev/null"), dir / "file", dir / "missing"}) {
        NXPSerialClass isp;
        EXPECT_NE(isp.Connect(port.c_str(), 115200), aErrNone) << port;
        EXPECT_FALSE(isp.Connected());
    }
}

// With and without the latency of a USB-serial adapter: the answers come
// late and in bursts, which bounded reads must ride out.
class IspIdentity : public ::testing::TestWithParam<const char*> {};

TEST_P(IspIdentity, SyncPartSerialAndVersion) {
    BootRomSim sim({LPC_ISP_SIM_BIN, "--latency", GetParam(), "--serial", "1,0x22,3,0xFFFFFFFF"});
    ASSERT_FALSE(sim.pty.empty());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo);
        ASSERT_EQ(isp.SetEcho(echo), aErrNone);
        long part = 0;
        ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
        EXPECT_EQ(part, 0x26013F37);
        ASSERT_EQ(isp.GetDeviceID(), aErrNone);
        EXPECT_EQ(isp.DeviceID()[0], 1u);
        EXPECT_EQ(isp.DeviceID()[1], 0x22u);
        EXPECT_EQ(isp.DeviceID()[3], 0xFFFFFFFFu);
        unsigned char major = 0, minor = 0;
        ASSERT_EQ(isp.GetBootLoaderVersion(&major, &minor), aErrNone);
        EXPECT_EQ(major, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Latency, IspIdentity, ::testing::Values("0", "16"));

TEST(IspClient, ProgramsFlashWithErasedFillAndStartsIt) {
    testsupport::TempDir dir;
    const std::string flash = dir / "flash.bin";
    BootRomSim sim({LPC_ISP_SIM_BIN, "--flash", flash, "--latency", "4"});
    ASSERT_FALSE(sim.pty.empty());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Resynchronize(), aErrNone); // a chip at its prompt: synchronises

    // 10002 bytes: not a multiple of 4, and the last chunk far from a copy length.
    const auto image = TestImage(10002, 1);
    ASSERT_EQ(Program(isp, image, 0), aErrNone);

    std::vector<unsigned char> back(12288);
    ASSERT_EQ(isp.Read(0, (unsigned)back.size(), back.data()), aErrNone);
    ASSERT_TRUE(std::equal(image.begin(), image.end(), back.begin()));
    for (size_t i = image.size(); i < back.size(); ++i) ASSERT_EQ(back[i], 0xFF) << i;

    // A new session on the port finds the chip synchronised and without echo.
    ASSERT_EQ(isp.Disconnect(), aErrNone);
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Resynchronize(), aErrNone);
    EXPECT_FALSE(isp.Echo());
    ASSERT_EQ(isp.ExecuteFrom(0), aErrNone);
    EXPECT_NE(sim.WaitFor("GO 0x00000000 T"), "");
    sim.process->Stop();
    const std::string file = testsupport::ReadFile(flash);
    ASSERT_EQ(file.size(), 512u * 1024);
    EXPECT_EQ(0, std::memcmp(file.data(), image.data(), image.size()));
    EXPECT_EQ(file.find_first_not_of('\xFF', image.size()), std::string::npos);
}

// Every form a chip's lines take: run at the LF or at the CR (the LF's echo
// then trails the answer), answers ended by CR LF, CR or LF. A new session on
// the port finds the chip synchronised, with echo on or off as the last one
// left it, and never synchronises it again.
class IspLineEnds : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(IspLineEnds, ReopenedPortFindsTheChipSynchronised) {
    BootRomSim sim({LPC_ISP_SIM_BIN, "--execute-at", GetParam().first, "--answer-end", GetParam().second});
    ASSERT_FALSE(sim.pty.empty());
    const std::pair<bool, bool> sessions[] = {{true, true}, {true, false}, {false, false}, {false, true}, {true, true}};
    for (auto [echoOn, leaveEchoOn] : sessions) {
        SCOPED_TRACE(echoOn);
        NXPSerialClass isp;
        ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
        ASSERT_EQ(isp.Resynchronize(), aErrNone);
        EXPECT_EQ(isp.Echo(), echoOn);
        long part = 0;
        ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
        EXPECT_EQ(part, 0x26013F37);
        ASSERT_EQ(isp.GetDeviceID(), aErrNone);
        EXPECT_EQ(isp.DeviceID()[0], 0x12345678u);
        ASSERT_EQ(isp.Unlock(), aErrNone);
        ASSERT_EQ(isp.SetEcho(leaveEchoOn), aErrNone); // as the next session finds it
    }
    ASSERT_NE(sim.WaitFor("SYNC "), "");
    EXPECT_EQ(sim.process->output().find("SYNC ", sim.process->output().find("SYNC ") + 1), std::string::npos)
        << sim.process->output();
}

INSTANTIATE_TEST_SUITE_P(Forms, IspLineEnds, ::testing::Values(
    std::make_pair("lf", "crlf"), std::make_pair("lf", "cr"), std::make_pair("lf", "lf"),
    std::make_pair("cr", "crlf"), std::make_pair("cr", "cr"), std::make_pair("cr", "lf")),
    [](const auto& info) { return std::string(info.param.first) + "_" + info.param.second; });

struct IspFault {
    const char* fault;
    const char* step;
    aErr expected;
};

void PrintTo(const IspFault& f, std::ostream* os) { *os << f.fault; }

class IspFaults : public ::testing::TestWithParam<IspFault> {};

// Each fault ends in a clear error within a bounded time.
TEST_P(IspFaults, EndInClearErrorWithoutHanging) {
    const IspFault f = GetParam();
    BootRomSim sim({LPC_ISP_SIM_BIN, "--fault", f.fault});
    ASSERT_FALSE(sim.pty.empty());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
    const auto start = steady_clock::now();
    aErr err = isp.Sync();
    const std::string step = f.step;
    const auto image = TestImage(4096, 2);
    if (step != "sync") {
        ASSERT_EQ(err, aErrNone);
        if (step == "part") {
            long part;
            err = isp.GetPartNumber(&part);
        } else if (step == "unlock") {
            err = isp.Unlock();
        } else if (step == "prepare") {
            err = isp.Prepare(0, 1);
        } else if (step == "write") {
            err = isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data());
        } else if (step == "copy") {
            ASSERT_EQ(isp.Unlock(), aErrNone);
            ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data()), aErrNone);
            ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
            err = isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 4096);
        }
    }
    EXPECT_EQ(err, f.expected) << aError_GetErrorText(err);
    EXPECT_LT(steady_clock::now() - start, seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Faults, IspFaults, ::testing::Values(
    IspFault{"never-sync", "sync", aErrTimeout},
    IspFault{"bad-echo", "sync", aErrIO},
    IspFault{"garbage", "part", aErrTimeout},
    IspFault{"long-line", "unlock", aErrOverrun},
    IspFault{"refuse-prepare", "prepare", aErrParam},
    IspFault{"resend", "write", aErrTimeout},
    IspFault{"bad-checksum-reply", "write", aErrIO},
    IspFault{"refuse-copy", "copy", aErrParam}),
    [](const auto& info) {
        std::string name = info.param.fault;
        for (char& c : name) if (c == '-') c = '_';
        return name;
    });

} // namespace

namespace {

// Rates are picked from the table; the chip is synchronised at whatever
// rate the session uses, here with the line paced at that rate.
TEST(IspClient, SynchronisesAtTheChosenRate) {
    BootRomSim sim({LPC_ISP_SIM_BIN, "--pace"});
    ASSERT_FALSE(sim.pty.empty());
    const std::pair<unsigned, unsigned> rates[] = {{100000, 115200}, {0, 2400}, {500000, 9600}, {57600, 57600}};
    for (auto [asked, used] : rates) {
        NXPSerialClass isp;
        ASSERT_EQ(isp.Connect(sim.pty.c_str(), asked), aErrNone);
        EXPECT_EQ(isp.Baud(), used);
    }
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 57600), aErrNone);
    ASSERT_EQ(isp.Resynchronize(), aErrNone);
    long part = 0;
    ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
    EXPECT_EQ(part, 0x26013F37);
}

// The simulator keeps the ROM's rules, so a host that breaks them hears so.
TEST(IspSimulator, EnforcesLockPreparationAndSectorRange) {
    // A 64 KB part: sectors 0 to 15 only.
    BootRomSim sim({LPC_ISP_SIM_BIN, "--part-id", "0x25001121"});
    ASSERT_FALSE(sim.pty.empty());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.pty.c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
    long part = 0;
    ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
    EXPECT_EQ(NXPSerialClass::LastSectorOfPart(part), 15);
    const auto ram = TestImage(256, 8);

    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    EXPECT_EQ(isp.Erase(0, 0), aErrParam);                 // CMD_LOCKED
    ASSERT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.Prepare(0, 29), aErrParam);              // INVALID_SECTOR on this part
    EXPECT_EQ(isp.Erase(1, 1), aErrParam);                 // not prepared
    EXPECT_EQ(isp.Write(0x1000, 256, ram.data()), aErrParam); // flash is not RAM
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 256, ram.data()), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam); // not prepared
    ASSERT_EQ(isp.Prepare(1, 1), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    std::vector<unsigned char> back(256);
    ASSERT_EQ(isp.Read(0x1000, 256, back.data()), aErrNone);
    EXPECT_EQ(back, ram);
    EXPECT_EQ(isp.Read(0x10000, 256, back.data()), aErrParam); // beyond this part's flash
}

} // namespace
