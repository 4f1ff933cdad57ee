// The store tree: root and device directories, the device search, build
// listing, and writing and reading stored BIRD files.
#include <algorithm>
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

std::string ThrownBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(nothing thrown)";
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
    UpdaterStore store(root);
    EXPECT_EQ(store.BasePath(), root);
    EXPECT_TRUE(std::filesystem::is_directory(root));
    EXPECT_EQ(ModeOf(root), 0755u);
    EXPECT_EQ(ModeOf(dir / "home/.velorn"), 0755u);

    UpdaterStoreItem device = store.AddDevice(0x1A2B3C);
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
    device.settings.Save();
    UpdaterStoreItem again = UpdaterStore(root).AddDevice("001A2B3C");
    EXPECT_EQ(again.settings.GetInt(STORE_KEY_LATEST_DOWNLOAD), 12);
}

TEST_F(UpdaterStoreTest, FilesStandingInTheWayAreReportedExactly) {
    WriteFile(dir / "root", "not a directory");
    EXPECT_EQ(ThrownBy([&] { UpdaterStore store(dir / "root"); }),
              "UpdaterStore: " + (dir / "root") + " exists and is a file");

    UpdaterStore store(dir / "store");
    WriteFile(dir / "store/0000BEEF", "file where a device directory belongs");
    EXPECT_EQ(ThrownBy([&] { store.AddDevice(0xBEEF); }),
              "UpdaterStore: " + (dir / "store/0000BEEF") + " exists and is a file");

    // A parent that is a file cannot be made into a directory.
    const std::string message = ThrownBy([&] { UpdaterStore bad(dir / "root/updater"); });
    EXPECT_EQ(message.rfind("UpdaterStore: Could not create directory " + (dir / "root/updater") + " error ", 0), 0u)
        << message;
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesWithinEntryNamesOnly) {
    // The root's own path holds the serial digits searched for.
    UpdaterStore store(dir / "0000ABCD/updater");
    store.AddDevice(0x11111111);
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, nullptr));
    UpdaterStoreItem notFound;
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, &notFound));
    EXPECT_FALSE(notFound.IsValid());

    store.AddDevice(0x0000ABCD);
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x0000ABCD, &found));
    EXPECT_EQ(found.basePath, dir / "0000ABCD/updater");
    EXPECT_EQ(found.name, "0000ABCD");
    EXPECT_EQ(found.kind, STORE_ITEM_DIRECTORY);
    EXPECT_NE(found.settings["CREATED_TIME"], nullptr);
    EXPECT_TRUE(store.FindDevice("0000ABCD"));
}

TEST_F(UpdaterStoreTest, FindDeviceStillMatchesPartOfAName) {
    UpdaterStore store(dir / "root");
    WriteFile(dir / "root/old-0000ABCD.txt", "x");
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x0000ABCD, &found));
    EXPECT_EQ(found.name, "old-0000ABCD.txt");
    EXPECT_EQ(found.kind, STORE_ITEM_FILE);
    EXPECT_FALSE(store.FindDevice(0x00ABCDEF));
}

TEST_F(UpdaterStoreTest, LocalBuildsListVisibleEntriesOnly) {
    UpdaterStore store(dir / "root");
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(0x42, builds)); // no directory yet
    EXPECT_TRUE(builds.empty());

    UpdaterStoreItem device = store.AddDevice(0x42);
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
    UpdaterStore store(dir / "root");
    UpdaterStoreItem device = store.AddDevice(0x7);
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
    UpdaterStore store(dir / "root");
    UpdaterStoreItem device = store.AddDevice(0x7);
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
    UpdaterStore store(dir / "root");
    UpdaterStoreItem device = store.AddDevice(0x9);
    const std::string base = dir / "root/00000009/";

    WriteFile(base + "bad.bird", "BIRD\x01\x01xxxxxxxx");
    EXPECT_EQ(ThrownBy([&] { device.ReadBirdFile("bad.bird"); }), "Invalid bird " + base + "bad.bird");
    EXPECT_EQ(ThrownBy([&] { device.ReadBirdFile("absent.bird"); }), "Invalid bird " + base + "absent.bird");
    WriteFile(base + "short.bird", "bird\x01\x01");
    EXPECT_EQ(ThrownBy([&] { device.ReadBirdFile("short.bird"); }), "Failed to load bird data");
    WriteFile(base + "garbage.bird", "bird\x01\x01 not a zlib stream");
    EXPECT_EQ(ThrownBy([&] { device.ReadBirdFile("garbage.bird"); }), "Failed to load bird data");

    storetest::WriteBirdFromSpec(dir, R"({"blocks": [{"type": 4, "info": ["77", "1.0.0", "00000009", "Dravik"]},
                                                     {"type": 1, "address": 0, "image": "0011"}]})",
                                 base + "77.bird");
    BirdFile bird = device.ReadBirdFile("77.bird");
    EXPECT_EQ(bird.GetBuild(), 77u);
    EXPECT_EQ(bird.path, base + "77.bird");
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0).data[5], 0x11);
}
