// Third-party boot-ROM tools against the simulators: what they write must
// land where a real chip would put it.
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

#include "BootRomSim.h"
#include "TempDir.h"

namespace {

bool Installed(const char* path) { return access(path, X_OK) == 0; }

// Whether the ROM runs a line at its LF (all of the echo first) or at its CR
// (the LF's echo after the answer), the tool must program it.
class PeerLpc21isp : public ::testing::TestWithParam<const char*> {};

TEST_P(PeerLpc21isp, ProgramsAndVerifiesFlash) {
    if (!Installed("/usr/bin/lpc21isp")) GTEST_SKIP() << "lpc21isp is not installed";
    testsupport::TempDir dir;
    const auto image = TestImage(20000, 5);
    testsupport::WriteFile(dir / "image.bin", std::string(image.begin(), image.end()));
    BootRomSim sim({LPC_ISP_SIM_BIN, "--flash", dir / "flash.bin", "--execute-at", GetParam()});
    ASSERT_FALSE(sim.pty.empty());

    auto run = testsupport::Run({"/usr/bin/lpc21isp", "-bin", "-verify", dir / "image.bin", sim.pty,
                                 "115200", "14746"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Download Finished and Verified correct"), std::string::npos) << run.out;
    EXPECT_NE(sim.WaitFor("GO 0x00000000 T"), "");
    sim.process->Stop();

    // The tool makes vector 7 the checksum of vectors 0 to 6 before writing.
    auto expected = image;
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) {
        uint32_t word;
        std::memcpy(&word, &expected[i * 4], 4);
        sum += word;
    }
    const uint32_t check = 0u - sum;
    std::memcpy(&expected[28], &check, 4);
    const std::string flash = testsupport::ReadFile(dir / "flash.bin");
    ASSERT_GE(flash.size(), image.size());
    EXPECT_EQ(0, std::memcmp(flash.data(), expected.data(), expected.size()));
}

INSTANTIATE_TEST_SUITE_P(ExecuteAt, PeerLpc21isp, ::testing::Values("lf", "cr"));

TEST(PeerTools, ImxUartLoadsAndStartsImage) {
    if (!Installed("/usr/bin/imx_uart")) GTEST_SKIP() << "imx_uart is not installed";
    testsupport::TempDir dir;
    const auto image = TestImage(30000, 6);
    testsupport::WriteFile(dir / "image.bin", std::string(image.begin(), image.end()));
    // A plain image named by the configuration: loaded, then started where it lies.
    testsupport::WriteFile(dir / "board.conf",
                           "imxrt\nhid,1024,0x20000000,0x20000000,1M\n"
                           "image.bin:load 0x20000400,jump_direct 0x20000400\n");
    BootRomSim sim({IMX_SDP_SIM_BIN, "--dump", dir / "ram.bin"});
    ASSERT_FALSE(sim.pty.empty());

    testsupport::RunOptions options;
    options.cwd = dir.path();
    auto run = testsupport::Run({"/usr/bin/imx_uart", "-n", sim.pty, "board.conf"}, options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("status 0x88888888"), std::string::npos) << run.out;
    ASSERT_NE(sim.WaitFor("JUMP 0x20000400"), "");

    const std::string dump = testsupport::ReadFile(dir / "ram.bin");
    ASSERT_EQ(dump.size(), 8 + image.size());
    uint32_t head[2];
    std::memcpy(head, dump.data(), 8);
    EXPECT_EQ(head[0], 0x20000400u);
    EXPECT_EQ(dump.substr(8), std::string(image.begin(), image.end()));
}

} // namespace
