// Where the Updater puts its store: <home>/.velorn/updater, or the -i
// directory plus "updater".
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"
#include "UsageText.h"

using testsupport::Run;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::RunUpdater;
using testsupport::TempDir;

namespace {

// Permission bits of a directory; -1 when it is not one.
int DirectoryMode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A user id with no entry in the password database, so the home directory
// comes from HOME.
uid_t UnlistedUid() {
    for (uid_t uid = 54321; uid < 54421; ++uid)
        if (!getpwuid(uid)) return uid;
    return 0;
}

// Runs the Updater as an unlisted user (needs root to switch).
RunResult RunAsUnlisted(uid_t uid, const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                  "--regid=" + std::to_string(uid), "--clear-groups", UPDATER_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::Run(argv, options);
}

} // namespace

TEST(StoreDirectory, MadeUnderTheDirectoryGivenWithI) {
    TempDir dir;
    RunResult r = RunUpdater({"-I", "-i", dir.path()});
    EXPECT_EQ(r.out, usage::kVersion);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(DirectoryMode(dir / "updater"), 0755);

    // Missing parents are made too; a second run finds it all in place.
    const std::string nested = dir / "a/b/c";
    for (int run = 0; run < 2; ++run) {
        r = RunUpdater({"-I", "-i=" + nested});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(DirectoryMode(nested + "/updater"), 0755);
    }
    // A trailing '/' gives no doubled separator in what is reported.
    testsupport::WriteFile(dir / "x", "");
    r = RunUpdater({"-I", "-i", dir.path() + "/x/"});
    EXPECT_EQ(r.err, "Could not find updater directory at " + dir.path() + "/x/updater\n");
}

TEST(StoreDirectory, FileInTheWayFailsTheRun) {
    TempDir dir;
    testsupport::WriteFile(dir / "updater", "not a directory");
    RunResult r = RunUpdater({"-D", "-i", dir.path()});
    EXPECT_EQ(r.out, usage::kVersion);
    EXPECT_EQ(r.err, "Could not find updater directory at " + dir.path() + "/updater\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testsupport::ReadFile(dir / "updater"), "not a directory");

    // A file where the -i directory should be.
    testsupport::WriteFile(dir / "plain", "");
    r = RunUpdater({"-I", "-i", dir / "plain"});
    EXPECT_EQ(r.err, "Could not find updater directory at " + dir.path() + "/plain/updater\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StoreDirectory, NotMadeWhenNoCommandRuns) {
    TempDir dir;
    RunResult r = RunUpdater({"-h", "-I", "-i", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(Exists(dir / "updater"));
    r = RunUpdater({"-I", "-Y", "-i", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(dir / "updater"));
}

// For a user the password database does not know, HOME names the home.
TEST(StoreDirectory, DefaultUnderHomeFromEnvironment) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
    const uid_t uid = UnlistedUid();
    ASSERT_NE(uid, 0u);
    TempDir dir;
    ASSERT_EQ(chown(dir.path().c_str(), uid, uid), 0);

    RunOptions options;
    options.env["HOME"] = dir.path();
    RunResult r = RunAsUnlisted(uid, {"-I"}, options);
    EXPECT_EQ(r.out, usage::kVersion);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(DirectoryMode(dir / ".velorn"), 0755);
    EXPECT_EQ(DirectoryMode(dir / ".velorn/updater"), 0755);

    // No home at all: the run fails, saying so only in the debug log.
    RunOptions no_home;
    no_home.unset_env.push_back("HOME");
    r = RunAsUnlisted(uid, {"-I"}, no_home);
    EXPECT_EQ(r.out, usage::kVersion);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    r = RunAsUnlisted(uid, {"-X", "0x10000", "-I"}, no_home);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> 3\n"), std::string::npos) << r.err;
}

// For a user the password database knows (root here), its entry wins over
// HOME. Root's home is covered by a private tmpfs so the real one is untouched.
TEST(StoreDirectory, PasswordDatabaseHomeWinsOverHome) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    if (testsupport::Run({"/usr/bin/unshare", "-m", "true"}).status != 0) GTEST_SKIP() << "no mount namespaces here";
    const passwd* entry = getpwuid(0);
    ASSERT_NE(entry, nullptr);
    const std::string home = entry->pw_dir;
    TempDir dir;

    RunOptions options;
    options.env["HOME"] = dir.path();
    const std::string script =
        "mount -t tmpfs tmpfs \"$1\" || exit 90; \"$2\" -I; status=$?; "
        "[ -d \"$1/.velorn/updater\" ] && echo made-under-password-home; exit $status";
    RunResult r = testsupport::Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, "sh", home, UPDATER_BIN}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, usage::kVersion + "made-under-password-home\n");
    EXPECT_FALSE(Exists(dir / ".velorn"));
}
