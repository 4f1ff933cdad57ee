// -G takes the build as it arrives: decoded, checked and written to a
// temporary file in one pass. Every way that pass can fail part-way must leave
// the stored build, the settings and the directory as they were.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

#include <random>
#include <set>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;

namespace {

const std::string kOld = BirdBytes(100, 8), kSettings = "LATEST_DOWNLOAD=77.bird\n";
const std::string kInvalid = "Failed to retrieve a valid BIRD file";

std::string Base64(const std::string& bytes) {
    size_t n = 0;
    auto text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &n);
    return std::string(text.get(), n);
}

std::string BigEndian(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// Build 100 with a random (incompressible) firmware image: the answer runs
// to many receive pieces, so a failure comes after bytes were written.
std::string LargeBird(size_t imageSize) {
    std::mt19937 random(7);
    std::string image(imageSize, '\0');
    for (auto& b : image) b = static_cast<char>(random());
    const std::string info = ("100" + std::string(64, ' ')).substr(0, 64);
    return BirdFromArea(BigEndian(2) + '\x04' + BigEndian(64) + info + '\x01' + BigEndian(4 + imageSize) +
                        BigEndian(0) + image + BigEndian(0));
}

// A file whose zlib stream inflates to `inflated` zero bytes from a few kilobytes.
std::string Bomb(size_t inflated) {
    return BirdFromArea(BigEndian(1) + '\x01' + BigEndian(inflated) + std::string(inflated, '\0') + BigEndian(0));
}

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// A tmpfs of `bytes` mounted on `dir` while it lives (needs root).
struct SmallDisk {
    SmallDisk(const std::string& dir, size_t bytes) : dir(dir) {
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) umount2(dir.c_str(), MNT_DETACH);
    }
    std::string dir;
    bool mounted = false;
};

} // namespace

TEST(StreamedDownload, AFailurePartWayLeavesTheStoreAsItWas) {
    const std::string large = LargeBird(1536 * 1024), text = Base64(large);
    std::string padded = large; // ends in "==": text after it is no base64
    while (padded.size() % 3 != 1) padded += 'x';
    std::string stray = text;
    stray[stray.size() * 2 / 3] = '*';
    struct Case {
        const char* what;
        CannedServer::Answer bird;
        std::map<std::string, std::string> env;
        std::string error;
        size_t diskBytes = 0; // the store on a tmpfs this small
    };
    const std::vector<Case> cases{
        {"the same pass stores a whole answer", {"bird", 200, "ok\n" + text + "\n"}, {}, ""},
        {"answer cut short by the server", {"bird", 200, "ok\n" + text + "\n", false, false, 1, 1 << 20}, {},
         "Download failed"},
        {"zlib stream cut short in a whole answer", {"bird", 200, "ok\n" + Base64(large.substr(0, 999999)) + "\n"}, {},
         kInvalid},
        {"stray character two thirds in", {"bird", 200, "ok\n" + stray + "\n"}, {}, kInvalid},
        {"text not a multiple of four", {"bird", 200, "ok\n" + text.substr(0, text.size() - 1) + "\n"}, {}, kInvalid},
        {"text after the pads", {"bird", 200, "ok\n" + Base64(padded) + "AAAA\n"}, {}, kInvalid},
        {"inflates past 8 times the file", {"bird", 200, "ok\n" + Base64(Bomb(4 << 20)) + "\n"}, {}, kInvalid},
        {"inflates past what the largest answer may give",
         {"bird", 200, "ok\n" + Base64(Bomb(2 << 20)) + "\n"},
         {{"UPDATER_HTTP_DOWNLOAD_MAX_BYTES", "100000"}},
         kInvalid},
        {"disk full part-way", {"bird", 200, "ok\n" + text + "\n"}, {}, "Failed to write file with 6", 1 << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CannedServer server({{"hi", 200, "ok\n"}, {"qu", 200, "ok\n100\nalpha\n"}, {"builds", 200, "ok\n100;1.2\n"},
                             c.bird});
        testsupport::TempDir store;
        SmallDisk disk(store.path(), c.diskBytes);
        if (c.diskBytes && !disk.mounted) {
            std::cout << "skipped \"" << c.what << "\": mounting a tmpfs needs root\n";
            continue;
        }
        const std::string dir = store / "updater/40F5849A/";
        testsupport::Run({"/bin/mkdir", "-p", dir});
        testsupport::WriteFile(dir + "100.bird", kOld);
        testsupport::WriteFile(dir + ".settings", kSettings);
        testsupport::RunOptions options;
        options.env = c.env;
        const auto r = testsupport::RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", store.path()}, options);
        EXPECT_EQ(r.status, c.error.empty() ? 0 : 1) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(dir + "100.bird") == large, c.error.empty());
        if (!c.error.empty()) {
            EXPECT_EQ(ReadFile(dir + "100.bird"), kOld);
            EXPECT_EQ(ReadFile(dir + ".settings"), kSettings);
        }
        // No temporary is left behind, on a full disk neither.
        EXPECT_EQ(Names(dir), (std::set<std::string>{"100.bird", ".settings"}));
    }
}
