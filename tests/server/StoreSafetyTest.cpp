// The device's store in shapes a user (or an attacker) can give it, met where
// a user meets them: -G and -L of the real Updater. Links, an over-long
// settings line, a settings directory, FIFOs and terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::RunUpdater;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct StoreSafety : ::testing::Test {
    static void SetUpTestSuite() {
        dir = new TempDir();
        testsupport::Run({"/bin/mkdir", "-p", *dir / "catalog"});
        MakeBird(*dir / "catalog/alpha_100.bird", 100, "1.0.0", "TX-ALPHA");
        WriteFile(*dir / "devices", "40F5849A TX-ALPHA\n");
        server = new StandInServer({*dir / "catalog", *dir / "devices", "k", "", ""});
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
    }
    testsupport::RunResult Updater(std::vector<std::string> args) {
        args.insert(args.end(), {"-u", server->url(), "-i", home->path()});
        RunOptions options;
        options.timeout = std::chrono::milliseconds(30000); // only a hang gets near it
        return RunUpdater(args, options);
    }
    std::string Device(const std::string& file = "") {
        testsupport::Run({"/bin/mkdir", "-p", *home / "updater/40F5849A", *home / "side"});
        return *home / ("updater/40F5849A/" + file);
    }
    static mode_t Kind(const std::string& path, bool follow = true) {
        struct stat st {};
        return (follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) == 0 ? st.st_mode & S_IFMT : 0;
    }
    static nlink_t Links(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
    }
    static TempDir* dir;
    static StandInServer* server;
    std::unique_ptr<TempDir> home = std::make_unique<TempDir>();
};
TempDir* StoreSafety::dir = nullptr;
StandInServer* StoreSafety::server = nullptr;

} // namespace

// A link is written through: a device node stays a device node, a hard link
// keeps its other name, and both names see the new content.
TEST_F(StoreSafety, DownloadWritesThroughLinksWithoutReplacingThem) {
    const std::string bird = ReadFile(*dir / "catalog/alpha_100.bird");
    struct Case {
        const char* name;
        std::function<bool(StoreSafety&)> arrange; // false: cannot be set up here
        std::function<void(StoreSafety&)> check;
    };
    auto nullDevice = [](StoreSafety& t, const char* entry) {
        const std::string node = *t.home / "side/null";
        t.Device();
        return mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
               symlink(node.c_str(), t.Device(entry).c_str()) == 0;
    };
    const Case cases[] = {
        {"settings linked to a null device", [&](StoreSafety& t) { return nullDevice(t, ".settings"); },
         [&](StoreSafety& t) {
             EXPECT_EQ(Kind(t.Device(".settings"), false), S_IFLNK);
             EXPECT_EQ(Kind(*t.home / "side/null"), S_IFCHR);
             EXPECT_EQ(ReadFile(t.Device("100.bird")), bird);
         }},
        {"build linked to a null device", [&](StoreSafety& t) { return nullDevice(t, "100.bird"); },
         [&](StoreSafety& t) {
             EXPECT_EQ(Kind(t.Device("100.bird"), false), S_IFLNK);
             EXPECT_EQ(Kind(*t.home / "side/null"), S_IFCHR);
             EXPECT_NE(ReadFile(t.Device(".settings")).find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos);
         }},
        {"hard links",
         [&](StoreSafety& t) {
             WriteFile(t.Device(".settings"), "OTHER=1\n");
             WriteFile(t.Device("100.bird"), "an older build");
             return link(t.Device(".settings").c_str(), (*t.home / "side/settings").c_str()) == 0 &&
                    link(t.Device("100.bird").c_str(), (*t.home / "side/build").c_str()) == 0;
         },
         [&](StoreSafety& t) {
             EXPECT_EQ(Links(t.Device(".settings")), 2u);
             EXPECT_EQ(Links(t.Device("100.bird")), 2u);
             EXPECT_EQ(ReadFile(*t.home / "side/build"), bird);
             const std::string settings = ReadFile(*t.home / "side/settings");
             EXPECT_NE(settings.find("OTHER=1\n"), std::string::npos) << settings;
             EXPECT_NE(settings.find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos) << settings;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StoreSafety& t = *this;
        home = std::make_unique<TempDir>();
        if (!c.arrange(t)) {
            ASSERT_NE(geteuid(), 0u) << "set-up failed";
            continue; // device nodes need root
        }
        const auto r = Updater({"-G", "-d", "40F5849A"});
        EXPECT_EQ(r.status, 0) << r.err;
        c.check(t);
    }
}

// Reading stops at an over-long line; saving keeps that line and all after it.
TEST_F(StoreSafety, OverLongSettingsLineKeepsTheRestOfTheFile) {
    const std::string rest = "NOTE=" + std::string(3000, 'x') +
                             "\nLATEST_TRANSFER=7.bird\nLAST_TRANSFER_DATE=Mon Jan  5 10:00:00 2026\nTOOL_KEY=yes\n";
    WriteFile(Device(".settings"), "A=1\n" + rest);
    for (int run = 0; run < 2; ++run) {
        const auto r = Updater({"-G", "-d", "40F5849A"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string settings = ReadFile(Device(".settings"));
        ASSERT_GT(settings.size(), rest.size());
        EXPECT_EQ(settings.substr(settings.size() - rest.size()), rest);
        EXPECT_EQ(settings.find("NOTE="), settings.size() - rest.size()) << "kept once";
        EXPECT_EQ(settings.rfind("A=1\n", 0), 0u);
        EXPECT_NE(settings.find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos);
    }
    // More than can be kept: the file is left as it is and the download fails.
    const std::string huge = "A=1\n" + rest + std::string(2 << 20, '#');
    WriteFile(Device(".settings"), huge);
    const auto r = Updater({"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to save the download history"), std::string::npos) << r.err;
    EXPECT_TRUE(ReadFile(Device(".settings")) == huge);
}

TEST_F(StoreSafety, SettingsThatCannotBeSavedFailTheDownload) {
    testsupport::Run({"/bin/mkdir", "-p", Device(".settings")});
    const auto r = Updater({"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to save the download history in " + Device(".settings")), std::string::npos)
        << r.err;
}

// A FIFO or a terminal where a build or the settings should be is passed over
// at once, with a debug line, and the rest of the store still lists.
TEST_F(StoreSafety, FifosAndTerminalsInTheStoreAreSkipped) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    ASSERT_EQ(symlink(ptsname(terminal), Device("78.bird").c_str()), 0);
    ASSERT_EQ(mkfifo(Device("77.bird").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(Device(".settings").c_str(), 0644), 0);
    WriteFile(Device("100.bird"), ReadFile(*dir / "catalog/alpha_100.bird"));

    const auto r = Updater({"-L", "-d", "40F5849A", "-X", "0xF"});
    close(terminal);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* row : {"77 ", "78 ", "100 "}) EXPECT_NE(r.out.find(row), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1.0.0"), std::string::npos) << r.out;
    for (const char* entry : {"77.bird", "78.bird", ".settings"})
        EXPECT_NE(r.err.find(Device(entry) + "' is not a regular file"), std::string::npos) << entry << r.err;
    EXPECT_EQ(Kind(Device(".settings"), false), S_IFIFO);
}
