// The pseudo-terminal transport with serial framing, and the Ethernet
// discovery responder inside a private network namespace.
#include <sys/stat.h>

#include "SimHarness.h"

namespace simtest {
namespace {

const char* kPty = R"(
[module serial]
serial = 0x0BADCAFE
model = 18
address = 8
version = 2.13.1
transport = pty
)";

TEST(SimTransport, PtyWithCobsFramingAnswersExactly) {
    Sim sim(kPty);
    ASSERT_TRUE(sim.ready());
    auto r = testsupport::Run({SYSTEM_PYTHON3, std::string(SIM_TEST_DIR) + "/pty_peer.py", sim.pty("serial"), "8",
                               "0BADCAFE"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all exchanges as expected"), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(sim.waitForLog("bad serial frame dropped"));
    EXPECT_TRUE(sim.waitForLog("answered by the host"));
    const std::string status = sim.control("status serial");
    EXPECT_NE(status.find(" tcp_port=none pty=" + sim.pty("serial")), std::string::npos) << status;
}

TEST(SimTransport, PtyModuleSurvivesItsHostClosingAndReopening) {
    testsupport::TempDir dir;
    const std::string link = dir / "module.pty";
    {
        Sim sim(std::string(kPty) + "pty_link = " + link + "\n");
        ASSERT_TRUE(sim.ready());
        // Reached through its stable link, twice, by hosts that close it in between.
        for (int round = 0; round < 2; ++round) {
            auto r = testsupport::Run({SYSTEM_PYTHON3, std::string(SIM_TEST_DIR) + "/pty_peer.py", link, "8",
                                       "0BADCAFE"});
            EXPECT_EQ(r.status, 0) << "round " << round << ": " << r.out << r.err;
        }
        EXPECT_EQ(sim.stop(), 0);
    }
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

const char* kTwoModules = R"(
[module alpha]
serial = 0x1234ABCD
model = 17
address = 4

[module beta]
serial = 0x00C0FFEE
model = 21
address = 6

[module behind]
router = alpha
i2c_address = 0x20
serial = 0x99
)";

bool NamespacesAvailable() {
    return testsupport::Run({NETNS_RUN, "true"}).status == 0;
}

TEST(SimTransport, DiscoveryRepliesInsidePrivateNamespace) {
    if (!NamespacesAvailable()) GTEST_SKIP() << "cannot make a private network namespace here (needs root)";
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "sim.ini", kTwoModules);
    auto r = testsupport::Run({NETNS_RUN, SYSTEM_PYTHON3, std::string(SIM_TEST_DIR) + "/discovery_peer.py",
                               TARNIX_SIM_BIN, dir / "sim.ini"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("replies as expected"), std::string::npos) << r.out << r.err;
}

TEST(SimTransport, DiscoveryRefusedOnTheHostsOwnNetwork) {
    char self[128] = {}, init[128] = {};
    bool hostNamespace = ::readlink("/proc/self/ns/net", self, sizeof self - 1) > 0 &&
                         (::readlink("/proc/1/ns/net", init, sizeof init - 1) <= 0 || std::string(self) == init);
    if (!hostNamespace) GTEST_SKIP() << "the tests already run in a private network namespace";
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "sim.ini", kTwoModules);
    testsupport::RunOptions options;
    options.unset_env = {"TARNIX_PRIVATE_NETNS"};
    auto r = testsupport::Run({TARNIX_SIM_BIN, "--discovery", dir / "sim.ini"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--discovery refused"), std::string::npos) << r.err;
    // A marker naming another namespace does not fool it.
    options.unset_env.clear();
    options.env["TARNIX_PRIVATE_NETNS"] = "net:[1]";
    r = testsupport::Run({TARNIX_SIM_BIN, "--discovery", dir / "sim.ini"}, options);
    EXPECT_EQ(r.status, 1);
}

} // namespace
} // namespace simtest
