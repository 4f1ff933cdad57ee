// The settings file: its syntax and quirks, and that saving never leaves a
// broken file behind, even when the saving process dies or the disk fills up.
#include <csignal>
#include <ctime>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "KeyValueStore.h"
#include "StoreTestSupport.h"

using storetest::LogCapture;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// True for the 24 characters `ctime` writes, e.g. "Tue Dec  8 09:05:01 2026".
bool IsCtimeText(const std::string& text) {
    std::tm parts{};
    const char* end = strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &parts);
    if (!end || *end || text.size() != 24) return false;
    char again[64];
    std::strftime(again, sizeof again, "%a %b %e %H:%M:%S %Y", &parts);
    return text == again;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

size_t CountHiddenTemporaries(const std::string& directory) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.path().filename().string().rfind(".updater-tmp", 0) == 0) ++count;
    return count;
}

} // namespace

TEST(KeyValueStoreFile, MissingFileIsCreatedWithCreatedAndUpdatedTimes) {
    TempDir dir;
    LogCapture log;
    KeyValueStore store(dir / "settings");
    EXPECT_FALSE(store.dirty);
    EXPECT_EQ(store.filename, dir / "settings");
    ASSERT_EQ(store.entries.size(), 2u);

    auto lines = Lines(ReadFile(dir / "settings"));
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
    ASSERT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);
    const std::string created = lines[0].substr(13), updated = lines[1].substr(13);
    EXPECT_EQ(created, updated);
    EXPECT_EQ(created.size(), 24u);
    EXPECT_TRUE(IsCtimeText(created)) << created;
    EXPECT_EQ(store.GetString("CREATED_TIME"), created);
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file: '" + (dir / "settings") + "' (2)"),
              std::string::npos)
        << log.text();
}

TEST(KeyValueStoreFile, LinesAreTrimmedCommentedAndSplitAtTheFirstEquals) {
    TempDir dir;
    WriteFile(dir / "s", "  key one \t=   some value  with blanks \t \n"
                         "a=\n"
                         "b\n"
                         "# comment=1\n"
                         " #hash=2\n"
                         "dup=first\n"
                         "url=http://h/x?a=b=c\n"
                         "dup=second\n"
                         "noequals here\n"
                         "=orphan\n"
                         "  =  \n"
                         "crlf=yes\r\n"
                         "last=no newline");
    KeyValueStore store(dir / "s");
    EXPECT_STREQ(store["key one"], "some value  with blanks");
    EXPECT_STREQ(store["a"], "");
    EXPECT_EQ(store["b"], nullptr);
    EXPECT_EQ(store["# comment"], nullptr);
    EXPECT_STREQ(store["#hash"], "2");
    EXPECT_STREQ(store["dup"], "second");
    EXPECT_STREQ(store["url"], "http://h/x?a=b=c");
    EXPECT_STREQ(store["noequals here"], "");
    EXPECT_EQ(store[""], nullptr);
    EXPECT_STREQ(store["crlf"], "yes");
    EXPECT_STREQ(store["last"], "no newline");
    EXPECT_EQ(store.entries.size(), 8u);
    EXPECT_FALSE(store.dirty);
}

TEST(KeyValueStoreFile, OverlongLineStopsReadingAndShortLinesAreSkipped) {
    TempDir dir;
    WriteFile(dir / "s", "x=1\n" + std::string(3000, 'k') + "=v\nafter=2\n");
    KeyValueStore store(dir / "s");
    EXPECT_STREQ(store["x"], "1");
    EXPECT_EQ(store["after"], nullptr);
}

TEST(KeyValueStoreValues, TypedGettersAndSetters) {
    KeyValueStore store;
    EXPECT_TRUE(store.AddHex("hex", 255));
    EXPECT_STREQ(store["hex"], "0x000000FF");
    EXPECT_EQ(store.GetHex("hex"), 255u);
    store.Add("plainhex", "ff");
    EXPECT_EQ(store.GetHex("plainhex"), 255u);
    store.AddHex("big", 0xDEADBEEF);
    EXPECT_EQ(store.GetHex("big"), 0xDEADBEEFu);

    store.Add("one", 1);
    store.Add("zero", 0);
    store.Add("word", "false");
    store.Add("truth", "true");
    store.Add("empty", "");
    EXPECT_TRUE(store.GetBOOL("one", false));
    EXPECT_FALSE(store.GetBOOL("zero", true));
    EXPECT_FALSE(store.GetBOOL("word", true));
    EXPECT_FALSE(store.GetBOOL("truth", true));
    EXPECT_TRUE(store.GetBOOL("empty", true));
    EXPECT_TRUE(store.GetBOOL("missing", true));

    store.Add("int", -42);
    store.Add("build", "1234.bird");
    store.Add("pi", 3.25);
    EXPECT_EQ(store.GetInt("int"), -42);
    EXPECT_EQ(store.GetInt("build"), 1234);
    EXPECT_STREQ(store["pi"], "3.250000");
    EXPECT_DOUBLE_EQ(store.GetDouble("pi"), 3.25);
    EXPECT_EQ(store.GetInt("absent", 7), 7);
    EXPECT_EQ(store.GetString("absent2", "dflt"), "dflt");
    EXPECT_EQ(store.GetString("absent2"), "");
    EXPECT_EQ(store.GetString("empty", "dflt"), "");

    KeyValueStore other;
    other.Add("int", 5);
    other.Add("new", "n");
    store.dirty = false;
    EXPECT_TRUE(store.Add(other));
    EXPECT_TRUE(store.dirty);
    EXPECT_EQ(store.GetInt("int"), 5);
    EXPECT_STREQ(store["new"], "n");

    KeyValueStore copy = store;
    EXPECT_EQ(copy.entries, store.entries);
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.entries.empty());
    EXPECT_FALSE(copy.entries.empty());
}

TEST(KeyValueStoreValues, DirtyRulesAndInsertingGetters) {
    TempDir dir;
    WriteFile(dir / "s", "zeta=1\nalpha=2\n");
    KeyValueStore store(dir / "s");

    // Numeric getters add the key, empty, without making the store dirty.
    EXPECT_EQ(store.GetInt("ASKED", 3), 3);
    EXPECT_STREQ(store["ASKED"], "");
    EXPECT_FALSE(store.dirty);
    // Adding an empty value under an absent key does not make it dirty either;
    // the same value again does not; a different one does.
    store.Add("quiet", "");
    store.Add("alpha", "2");
    EXPECT_FALSE(store.dirty);

    // A clean save rewrites the file in key order without an UPDATED_TIME.
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir / "s"), "ASKED=\nalpha=2\nquiet=\nzeta=1\n");

    store.Add("alpha", 3);
    EXPECT_TRUE(store.dirty);
    ASSERT_TRUE(store.Save());
    EXPECT_FALSE(store.dirty);
    auto lines = Lines(ReadFile(dir / "s"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "ASKED=");
    EXPECT_EQ(lines[1], "UPDATED_TIME=" + store.GetString("UPDATED_TIME"));
    EXPECT_TRUE(IsCtimeText(store.GetString("UPDATED_TIME")));
    EXPECT_EQ(lines[2], "alpha=3");
}

TEST(KeyValueStoreValues, SaveWithoutAnyNameUsesTheDefaultInTheWorkingDirectory) {
    TempDir dir;
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    // Loading with an empty name neither reads nor makes anything.
    KeyValueStore unnamed{std::string()};
    EXPECT_FALSE(unnamed.Load(""));
    EXPECT_TRUE(unnamed.entries.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / ".settings"));
    KeyValueStore store;
    store.Add("k", "v");
    LogCapture log;
    EXPECT_TRUE(store.Save());
    std::filesystem::current_path(old);
    EXPECT_EQ(store.filename, ".settings");
    EXPECT_NE(ReadFile(dir / ".settings").find("k=v\n"), std::string::npos);
    EXPECT_NE(log.text().find("using default:[.settings]"), std::string::npos);
}

TEST(KeyValueStoreSafety, UnwritablePathKeepsEntriesAndDirtyFlag) {
    TempDir dir;
    WriteFile(dir / "plainfile", "x");
    KeyValueStore store;
    store.Add("k", "v");
    LogCapture log;
    EXPECT_FALSE(store.Save(dir / "plainfile/sub"));
    EXPECT_TRUE(store.dirty);
    EXPECT_STREQ(store["k"], "v");
    EXPECT_NE(log.text().find("cannot open attributes file for writting: '" + (dir / "plainfile/sub") + "' (20)"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(ReadFile(dir / "plainfile"), "x");
}

// A child process saves a settings file far larger than its file-size limit:
// with SIGXFSZ at its default it is killed in the middle of writing, with the
// signal ignored the write fails. Either way the old file must be untouched.
TEST(KeyValueStoreSafety, FileSizeLimitHitMidSaveLeavesOldFileIntact) {
    TempDir dir;
    const std::string path = dir / ".settings";
    WriteFile(path, "CREATED_TIME=Tue Dec  8 10:00:00 2026\nLATEST_DOWNLOAD=41.bird\n");
    const std::string original = ReadFile(path);

    for (bool ignoreSignal : {false, true}) {
        SCOPED_TRACE(ignoreSignal ? "write fails" : "killed by SIGXFSZ");
        const size_t temporariesBefore = CountHiddenTemporaries(dir.path());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (ignoreSignal) signal(SIGXFSZ, SIG_IGN);
            KeyValueStore store(path.c_str());
            for (int i = 0; i < 2000; ++i) store.Add("KEY" + std::to_string(i), std::string(100, 'v'));
            rlimit limit{64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            _exit(store.Save() ? 0 : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (ignoreSignal) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 3); // Save reported the failure
            EXPECT_EQ(CountHiddenTemporaries(dir.path()), temporariesBefore); // cleaned up
        } else {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
        }
        EXPECT_EQ(ReadFile(path), original);
        KeyValueStore reread(path.c_str());
        EXPECT_STREQ(reread["LATEST_DOWNLOAD"], "41.bird");
    }
}

// A child saves two large versions of the settings in turn, as fast as it
// can, and is killed with SIGKILL at many different moments. Whenever it
// dies, the file must hold one whole version, never a mix or a truncation.
TEST(KeyValueStoreSafety, KilledWhileSavingNeverLeavesAPartialFile) {
    TempDir dir;
    const std::string path = dir / ".settings";
    auto version = [](char fill) {
        KeyValueStore store;
        for (int i = 0; i < 3000; ++i) store.Add("KEY" + std::to_string(i), std::string(60, fill));
        return store;
    };
    KeyValueStore first = version('a'), second = version('b');
    ASSERT_TRUE(first.Save(path));
    const std::string contentA = ReadFile(path);
    ASSERT_TRUE(second.Save(dir / "b"));
    const std::string contentB = ReadFile(dir / "b");
    ASSERT_GT(contentA.size(), 200000u);

    for (int round = 0; round < 120; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            KeyValueStore a = first, b = second;
            for (long n = 0;; ++n) {
                KeyValueStore& next = (n % 2) ? a : b;
                next.dirty = false;
                next.Save(path.c_str());
                if (n == 0) {
                    (void)!write(ready[1], "r", 1);
                    close(ready[1]);
                }
            }
        }
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        // Vary the moment of the kill; any moment must be safe.
        usleep(static_cast<useconds_t>((round * 977) % 20000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);

        const std::string now = ReadFile(path);
        ASSERT_TRUE(now == contentA || now == contentB) << "round " << round << ": " << now.size() << " bytes";
    }
    // Whatever was left behind is hidden and never read as settings.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".settings" || name == "b" || name.rfind(".updater-tmp", 0) == 0) << name;
    }
}

// Saving replaces the file by renaming, which must not get past what an
// in-place write would be stopped by, nor change whose file it is.
TEST(KeyValueStoreSafety, SaveRefusesWhatAnInPlaceWriteWouldRefuse) {
    TempDir dir;
    // A directory standing where the file should be is left alone.
    std::filesystem::create_directory(dir / "taken");
    KeyValueStore store;
    store.Add("k", "v");
    {
        LogCapture log;
        EXPECT_FALSE(store.Save(dir / "taken"));
        EXPECT_NE(log.text().find("cannot open attributes file for writting: '" + (dir / "taken") + "' (21)"),
                  std::string::npos)
            << log.text();
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
    EXPECT_TRUE(store.dirty);

    // A settings file that is a link to another file is written through.
    WriteFile(dir / "real", "A=1\n");
    std::filesystem::create_symlink("real", dir / "link");
    KeyValueStore linked(dir / "link");
    linked.Add("B", "2");
    ASSERT_TRUE(linked.Save());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_NE(ReadFile(dir / "real").find("B=2\n"), std::string::npos);
    if (geteuid() != 0) GTEST_SKIP() << "the owner and write-protection cases need root";

    // A user's file saved by root stays the user's, with its mode.
    const uid_t nobody = 65534;
    const std::string mine = dir / "mine";
    WriteFile(mine, "A=1\n");
    ASSERT_EQ(chown(mine.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(mine.c_str(), 0640), 0);
    KeyValueStore root(mine);
    root.Add("B", "2");
    ASSERT_TRUE(root.Save());
    struct stat st {};
    ASSERT_EQ(stat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_gid, nobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(ReadFile(mine).find("B=2\n"), std::string::npos);

    // A user cannot replace a file it may not write, even in a directory it may.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    const std::string guarded = shared + "/.settings";
    WriteFile(guarded, "LATEST_DOWNLOAD=41.bird\n");
    ASSERT_EQ(chmod(guarded.c_str(), 0644), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(2);
        KeyValueStore user(guarded);
        user.Add("LATEST_DOWNLOAD", "42.bird");
        _exit(user.Save() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(ReadFile(guarded), "LATEST_DOWNLOAD=41.bird\n");
}
