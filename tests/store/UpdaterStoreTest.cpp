// The store tree: root and device directories, the device search, build
// listing, and writing and reading stored BIRD files.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "StoreTestSupport.h"
#include "UpdaterStore.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The value of a result the test needs in order to go on; a failure ends
// the test with its message.
template <typename T>
T Must(ResultOf<T> result) {
    if (!result.ok()) throw std::runtime_error("unexpected failure: " + result.message());
    return std::move(result).value();
}

class UpdaterStoreTest : public testing::Test {
protected:
    void SetUp() override { oldMask_ = umask(022); }
    void TearDown() override { umask(oldMask_); }
    TempDir dir;

private:
    mode_t oldMask_ = 0;
};

} // namespace

TEST(BuildPathTest, JoinsWithoutNormalising) {
    EXPECT_EQ(BuildPath("a", "b", "c"), "a/b/c");
    EXPECT_EQ(BuildPath("a/", "b"), "a//b");
    EXPECT_EQ(BuildPath(std::string("root"), std::string("00000001"), ".settings"), "root/00000001/.settings");
    const char* none = nullptr;
    EXPECT_EQ(BuildPath("a", "b", none, "c"), "a/b");
    EXPECT_EQ(BuildPath("a", nullptr, "c"), "a");
    EXPECT_EQ(BuildPath("only"), "only");
}

TEST_F(UpdaterStoreTest, RootAndDeviceDirectoriesAreMadeWith0755) {
    const std::string root = dir / "home/.velorn/updater";
    UpdaterStore store = Must(UpdaterStore::Open(root));
    EXPECT_EQ(store.BasePath(), root);
    EXPECT_TRUE(std::filesystem::is_directory(root));
    EXPECT_EQ(ModeOf(root), 0755u);
    EXPECT_EQ(ModeOf(dir / "home/.velorn"), 0755u);

    UpdaterStoreItem device = Must(store.AddDevice(0x1A2B3C));
    EXPECT_EQ(device.basePath, root);
    EXPECT_EQ(device.name, "001A2B3C");
    EXPECT_EQ(device.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(device.IsValid());
    EXPECT_EQ(ModeOf(root + "/001A2B3C"), 0755u);
    const std::string settings = ReadFile(root + "/001A2B3C/.settings");
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_EQ(std::count(settings.begin(), settings.end(), '\n'), 2);

    // Adding it again keeps the settings as they are.
    device.settings.Add(STORE_KEY_LATEST_DOWNLOAD, "12.bird");
    ASSERT_TRUE(device.settings.Save());
    UpdaterStoreItem again = Must(Must(UpdaterStore::Open(root)).AddDevice("001A2B3C"));
    EXPECT_EQ(again.settings.GetInt(STORE_KEY_LATEST_DOWNLOAD), 12);
}

// What stands where the store wants a directory: each is a failure that
// names the path, never an exception.
TEST_F(UpdaterStoreTest, ThingsStandingInTheWayAreReportedExactly) {
    namespace fs = std::filesystem;
    const std::string isFile = " exists and is a file";
    const std::string cannotMake = "UpdaterStore: Could not create directory ";
    struct Case {
        const char* what;
        std::function<void()> arrange;
        bool device;        // the device directory 0000BEEF under "store", else the root "root"
        std::string target; // the path the message names
        bool prefixOnly;    // message ends in the system's error number
    };
    const std::string root = dir / "root", device = dir / "store/0000BEEF";
    const Case cases[] = {
        {"a file as root", [&] { WriteFile(root, "x"); }, false, root, false},
        {"a symlink to a file as root",
         [&] { WriteFile(dir / "elsewhere", "x"), fs::create_symlink(dir / "elsewhere", root); }, false, root, false},
        {"a dangling symlink as root", [&] { fs::create_symlink(dir / "gone", root); }, false, root, true},
        {"a file as a device directory", [&] { WriteFile(device, "x"); }, true, device, false},
        {"a symlink to a file as a device directory",
         [&] { WriteFile(dir / "elsewhere", "x"), fs::create_symlink(dir / "elsewhere", device); }, true, device,
         false},
        {"a dangling symlink as a device directory", [&] { fs::create_symlink(dir / "gone", device); }, true, device,
         true},
        {"a file as the root's parent", [&] { WriteFile(dir / "parent", "x"); }, false, dir / "parent/root", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"root", "store", "elsewhere", "gone", "parent"}) fs::remove_all(dir / name);
        UpdaterStore store = Must(UpdaterStore::Open(dir / "store"));
        c.arrange();
        const std::string message =
            c.device ? store.AddDevice(0xBEEF).message() : UpdaterStore::Open(c.target).message();
        if (c.prefixOnly)
            EXPECT_EQ(message.rfind(cannotMake + c.target + " error ", 0), 0u) << message;
        else
            EXPECT_EQ(message, "UpdaterStore: " + c.target + isFile);
    }
}

// The settings file of a new device cannot be made (a symlink into a missing
// directory stands there): the device is still added, the log says why, and
// the first save reports the failure to its caller.
TEST_F(UpdaterStoreTest, SettingsThatCannotBeMadeAreLoggedAndRefusedOnSave) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    std::filesystem::create_directory(dir / "root/0000BEEF");
    std::filesystem::create_symlink(dir / "missing/settings", dir / "root/0000BEEF/.settings");
    storetest::LogCapture log;
    UpdaterStoreItem device = Must(store.AddDevice(0xBEEF));
    EXPECT_NE(log.text().find("could not create attributes file '" + (dir / "root/0000BEEF/.settings") + "'"),
              std::string::npos)
        << log.text();
    device.settings.Add(STORE_KEY_LATEST_DOWNLOAD, "1.bird");
    EXPECT_FALSE(device.settings.Save());
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesWithinEntryNamesOnly) {
    // The root's own path holds the serial digits searched for.
    UpdaterStore store = Must(UpdaterStore::Open(dir / "0000ABCD/updater"));
    Must(store.AddDevice(0x11111111));
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, nullptr));
    UpdaterStoreItem notFound;
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, &notFound));
    EXPECT_FALSE(notFound.IsValid());

    Must(store.AddDevice(0x0000ABCD));
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x0000ABCD, &found));
    EXPECT_EQ(found.basePath, dir / "0000ABCD/updater");
    EXPECT_EQ(found.name, "0000ABCD");
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
    EXPECT_NE(found.settings["CREATED_TIME"], nullptr);
    EXPECT_TRUE(store.FindDevice("0000ABCD"));
}

TEST_F(UpdaterStoreTest, FindDeviceStillMatchesPartOfAName) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    WriteFile(dir / "root/old-0000ABCD.txt", "x");
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x0000ABCD, &found));
    EXPECT_EQ(found.name, "old-0000ABCD.txt");
    EXPECT_EQ(found.kind, STORE_ITEM_FILE);
    EXPECT_FALSE(store.FindDevice(0x00ABCDEF));
}

TEST_F(UpdaterStoreTest, LocalBuildsListVisibleEntriesOnly) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(0x42, builds)); // no directory yet
    EXPECT_TRUE(builds.empty());

    UpdaterStoreItem device = Must(store.AddDevice(0x42));
    const uint8_t bytes[] = {'b', 'i', 'r', 'd', 1, 1};
    ASSERT_EQ(device.WriteFile("100.bird", bytes, sizeof bytes), aErrNone);
    ASSERT_EQ(device.WriteFile("101.bird", bytes, sizeof bytes), aErrNone);
    ASSERT_EQ(device.WriteFile(".hidden", bytes, sizeof bytes), aErrNone);

    ASSERT_TRUE(store.FindLocalBuilds(0x42, builds));
    std::vector<std::string> names;
    for (const auto& item : builds) {
        names.push_back(item.name);
        EXPECT_EQ(item.basePath, dir / "root/00000042");
        EXPECT_EQ(item.kind, STORE_ITEM_FILE);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "101.bird"}));
    // The listing made nothing new in the device directory.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir / "root/00000042")) (void)e, ++entries;
    EXPECT_EQ(entries, 4u);

    EXPECT_TRUE(device.FileExists("101.bird"));
    EXPECT_FALSE(device.FileExists("102.bird"));
}

TEST_F(UpdaterStoreTest, WriteFileReplacesWholeFilesAndRefusesNullData) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    UpdaterStoreItem device = Must(store.AddDevice(0x7));
    EXPECT_EQ(device.WriteFile("1.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir / "root/00000007/1.bird"));

    const std::string first(5000, 'x'), second = "short";
    ASSERT_EQ(device.WriteFile("1.bird", reinterpret_cast<const uint8_t*>(first.data()), first.size()), aErrNone);
    ASSERT_EQ(device.WriteFile("1.bird", reinterpret_cast<const uint8_t*>(second.data()), second.size()),
              aErrNone);
    EXPECT_EQ(ReadFile(dir / "root/00000007/1.bird"), second);

    // A directory in the way cannot be written as a file, and stays.
    std::filesystem::create_directory(dir / "root/00000007/2.bird");
    EXPECT_EQ(device.WriteFile("2.bird", reinterpret_cast<const uint8_t*>(second.data()), second.size()),
              aErrNotFound);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "root/00000007/2.bird"));

    UpdaterStoreItem nowhere(dir / "root", "missing-dir", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(nowhere.WriteFile("1.bird", reinterpret_cast<const uint8_t*>(second.data()), second.size()),
              aErrNotFound);
}

// The disk fills up (file-size limit) while a new build replaces an old one.
TEST_F(UpdaterStoreTest, FailedWriteKeepsTheStoredBuild) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    UpdaterStoreItem device = Must(store.AddDevice(0x7));
    const std::string old = "bird\x01\x01 old build";
    ASSERT_EQ(device.WriteFile("5.bird", reinterpret_cast<const uint8_t*>(old.data()), old.size()), aErrNone);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string big(100000, 'n');
        _exit(device.WriteFile("5.bird", reinterpret_cast<const uint8_t*>(big.data()), big.size()));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), int(aErrIO));
    EXPECT_EQ(ReadFile(dir / "root/00000007/5.bird"), old);
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksHeaderThenLoads) {
    UpdaterStore store = Must(UpdaterStore::Open(dir / "root"));
    UpdaterStoreItem device = Must(store.AddDevice(0x9));
    const std::string base = dir / "root/00000009/";
    const std::string whole = [&] {
        storetest::WriteBirdFromSpec(dir, R"({"blocks": [{"type": 1, "address": 0, "image": "00112233"}]})",
                                     dir / "whole.bird");
        return ReadFile(dir / "whole.bird");
    }();

    // A damaged or missing file is a failure with its reason, never an exception.
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        aErr code;
        bool namesPath; // "Invalid bird <path>", else "Failed to load bird data"
    };
    const Case cases[] = {
        {"bad.bird", [](const std::string& p) { WriteFile(p, "BIRD\x01\x01xxxxxxxx"); }, aErrParse, true},
        {"absent.bird", [](const std::string&) {}, aErrParse, true},
        {"directory.bird", [](const std::string& p) { std::filesystem::create_directory(p); }, aErrParse, true},
        {"fifo.bird", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0) << errno; }, aErrParse,
         true},
        {"short.bird", [](const std::string& p) { WriteFile(p, "bird\x01\x01"); }, aErrIO, false},
        {"garbage.bird", [](const std::string& p) { WriteFile(p, "bird\x01\x01 not a zlib stream"); }, aErrIO, false},
        {"truncated.bird", [&](const std::string& p) { WriteFile(p, whole.substr(0, whole.size() - 4)); }, aErrIO,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(base + c.name);
        const ResultOf<BirdFile> read = device.ReadBirdFile(c.name);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.code(), c.code);
        EXPECT_EQ(read.message(), c.namesPath ? "Invalid bird " + base + c.name : "Failed to load bird data");
    }

    storetest::WriteBirdFromSpec(dir, R"({"blocks": [{"type": 4, "info": ["77", "1.0.0", "00000009", "Dravik"]},
                                                     {"type": 1, "address": 0, "image": "0011"}]})",
                                 base + "77.bird");
    BirdFile bird = Must(device.ReadBirdFile("77.bird"));
    EXPECT_EQ(bird.GetBuild(), 77u);
    EXPECT_EQ(bird.path, base + "77.bird");
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0).data[5], 0x11);
}
