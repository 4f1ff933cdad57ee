// The device's store in hostile shapes, met through -G and -L of the real
// Updater: links, device nodes, FIFOs, terminals, settings it cannot keep.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct StoreSafety : ::testing::Test {
    void SetUp() override {
        testsupport::Run({"/bin/mkdir", "-p", dir / "catalog", Device(), dir / "side"});
        MakeBird(dir / "catalog/alpha_100.bird", 100, "1.0.0", "TX-ALPHA");
        testsupport::WriteFile(dir / "devices", "40F5849A TX-ALPHA\n");
        server = std::make_unique<StandInServer>(StandInServer::Config{dir / "catalog", dir / "devices", "k", "", ""});
        bird = ReadFile(dir / "catalog/alpha_100.bird");
    }
    testsupport::RunResult Updater(std::vector<std::string> args) {
        args.insert(args.end(), {"-u", server->url(), "-i", dir / "store"});
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(30); // only a hang comes near it
        return testsupport::RunUpdater(args, options);
    }
    std::string Device(const std::string& file = "") { return dir / ("store/updater/40F5849A/" + file); }
    static struct stat Stat(const std::string& path, bool follow = true) {
        struct stat st {};
        (follow ? stat : lstat)(path.c_str(), &st);
        return st;
    }
    TempDir dir;
    std::unique_ptr<StandInServer> server;
    std::string bird;
};

} // namespace

// A device node behind a link stays a device node; a hard-linked file keeps
// its other name, which sees the new content.
TEST_F(StoreSafety, DownloadWritesThroughLinksWithoutReplacingThem) {
    const std::string null = dir / "side/null";
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "device nodes need root";
    for (const char* linked : {".settings", "100.bird"}) {
        const std::string hard = std::string(linked) == ".settings" ? "100.bird" : ".settings";
        unlink(Device(linked).c_str());
        unlink(Device(hard).c_str());
        unlink((dir / "side/other").c_str());
        testsupport::WriteFile(Device(hard), "OLD=1\n");
        ASSERT_EQ(symlink(null.c_str(), Device(linked).c_str()) | link(Device(hard).c_str(), (dir / "side/other").c_str()), 0);

        const auto r = Updater({"-G", "-d", "40F5849A"});
        EXPECT_EQ(r.status, 0) << linked << r.err;
        EXPECT_TRUE(S_ISLNK(Stat(Device(linked), false).st_mode) && S_ISCHR(Stat(null).st_mode)) << linked;
        EXPECT_EQ(Stat(dir / "side/other").st_nlink, 2u) << linked;
        const std::string other = ReadFile(dir / "side/other");
        EXPECT_TRUE(hard == "100.bird" ? other == bird : other.find("LATEST_DOWNLOAD=100.bird\n") != std::string::npos)
            << linked << other;
    }
}

// Reading stops at an over-long line; a save keeps it and all after it, or,
// when that much cannot be kept, refuses and fails the download; so does a
// settings file that cannot be written at all.
TEST_F(StoreSafety, SettingsItCannotReadOrWriteAreNeverLost) {
    const std::string rest = "NOTE=" + std::string(3000, 'x') + "\nLATEST_TRANSFER=7.bird\nTOOL_KEY=yes\n";
    testsupport::WriteFile(Device(".settings"), "A=1\n" + rest);
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Updater({"-G", "-d", "40F5849A"}).status, 0);
        const std::string settings = ReadFile(Device(".settings"));
        EXPECT_EQ(settings.rfind("A=1\n", 0), 0u);
        EXPECT_NE(settings.find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos);
        EXPECT_EQ(settings.find("NOTE="), settings.size() - rest.size()) << "kept once, at the end";
        EXPECT_TRUE(settings.size() > rest.size() && settings.substr(settings.size() - rest.size()) == rest);
    }
    const std::string huge = "A=1\n" + rest + std::string(2 << 20, '#');
    testsupport::WriteFile(Device(".settings"), huge);
    for (int shape = 0; shape < 2; ++shape) { // too much to keep; a directory
        const auto r = Updater({"-G", "-d", "40F5849A"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Failed to save the download history in " + Device(".settings")), std::string::npos);
        if (shape) break;
        EXPECT_TRUE(ReadFile(Device(".settings")) == huge);
        ASSERT_TRUE(unlink(Device(".settings").c_str()) == 0 && mkdir(Device(".settings").c_str(), 0755) == 0);
    }
}

// A FIFO or a terminal where a build or the settings should be is passed
// over at once, with a debug line, and the rest of the store still lists.
TEST_F(StoreSafety, FifosAndTerminalsInTheStoreAreSkipped) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    ASSERT_EQ(symlink(ptsname(terminal), Device("78.bird").c_str()), 0);
    ASSERT_EQ(mkfifo(Device("77.bird").c_str(), 0644) | mkfifo(Device(".settings").c_str(), 0644), 0);
    testsupport::WriteFile(Device("100.bird"), bird);

    const auto r = Updater({"-L", "-d", "40F5849A", "-X", "0xF"});
    close(terminal);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* row : {"77 ", "78 ", "100 ", "1.0.0"}) EXPECT_NE(r.out.find(row), std::string::npos) << r.out;
    for (const char* entry : {"77.bird", "78.bird", ".settings"})
        EXPECT_NE(r.err.find(Device(entry) + "' is not a regular file"), std::string::npos) << entry << r.err;
    EXPECT_TRUE(S_ISFIFO(Stat(Device(".settings"), false).st_mode));
}
