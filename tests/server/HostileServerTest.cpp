// The real Updater against an update server that answers badly on purpose.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;

namespace {

const std::string kOld = BirdBytes(100, 8), kSettings = "LATEST_DOWNLOAD=77.bird\n";

std::string Base64(const std::string& bytes) {
    size_t n = 0;
    auto text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &n);
    return std::string(text.get(), n);
}

// -d 40F5849A -X 0x20 against a server whose newest build is 100, with
// `changed` answers replacing those; 100.bird is stored before. Returns the
// run and the named store files.
std::tuple<testsupport::RunResult, std::string, std::string> RunAgainst(
    std::vector<CannedServer::Answer> changed, std::vector<std::string> args, const std::string& file = "100.bird",
    const std::map<std::string, std::string>& env = {}) {
    changed.insert(changed.begin(), {{"hi", 200, "ok\n"}, {"qu", 200, "ok\n100\nalpha\n"},
                                     {"builds", 200, "ok\n100;1.2\n2002;2.0\n"},
                                     {"bird", 200, "ok\n" + Base64(BirdBytes(100)) + "\n"}});
    CannedServer server(changed); // the last answer for an op wins
    testsupport::TempDir store;
    const std::string dir = store / "updater/40F5849A/";
    testsupport::Run({"/bin/mkdir", "-p", dir});
    testsupport::WriteFile(dir + "100.bird", kOld);
    testsupport::WriteFile(dir + ".settings", kSettings);
    args.insert(args.end(), {"-d", "40F5849A", "-X", "0x20", "-u", server.url(), "-i", store.path()});
    testsupport::RunOptions options;
    options.env = env;
    options.timeout = std::chrono::seconds(30);
    const auto r = testsupport::RunUpdater(args, options);
    EXPECT_FALSE(r.timed_out);
    // No control character reaches the terminal, the debug log included.
    const std::string controls("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x0B\x0C\x0D\x0E\x0F\x10\x11\x12\x13\x14\x15"
                               "\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F\x7F", 31);
    EXPECT_EQ((r.out + r.err).find_first_of(controls), std::string::npos) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("\xC2\x9B"), std::string::npos);
    return {r, ReadFile(dir + file), ReadFile(dir + ".settings")};
}

} // namespace

TEST(HostileServer, DownloadReplacesTheStoredBuildOnlyWithALoadableFileOfThatBuild) {
    const std::string good = BirdBytes(100, 200), invalid = "Failed to retrieve a valid BIRD file";
    std::string corrupt = good, wrapped = Base64(good);
    corrupt[corrupt.size() - 3] ^= 0x5A;
    for (size_t at = 76; at < wrapped.size(); at += 78) wrapped.insert(at, "\r\n"); // as MIME wraps base64
    for (const auto& [body, stored, error] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {Base64("not a BIRD file at all"), kOld, invalid},
             {Base64("BIRD" + good.substr(4)), kOld, invalid},
             {Base64(corrupt), kOld, invalid},
             {Base64(BirdFromArea(std::string("\0\0\0\5\0\0\0\0", 8))), kOld, invalid}, // 5 blocks announced, none there
             {Base64(BirdBytes(2002)), kOld, "Downloaded BIRD file is build 2002, not 100"},
             {wrapped, good, ""}}) {
        SCOPED_TRACE(body);
        const auto [r, bird, settings] = RunAgainst({{"bird", 200, "ok\n" + body + "\n"}}, {"-G"});
        EXPECT_EQ(bird, stored);
        EXPECT_EQ(r.status, error.empty() ? 0 : 1);
        EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
        EXPECT_EQ(settings == kSettings, !error.empty()) << settings;
    }
}

TEST(HostileServer, WithoutANewestBuildNothingIsDownloaded) {
    for (const auto& [query, option, downloaded] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"ok\n", "-OVERRIDE", false},
             {"ok\nnewest\nalpha\n", "-G", false},
             {"ok\n2002 \nalpha\n", "-OVERRIDE", true},
             {"ok\n2002 \r\nalpha\r\n", "-G", true}}) {
        SCOPED_TRACE(query + option);
        const auto [r, bird, settings] =
            RunAgainst({{"qu", 200, query}, {"bird", 200, "ok\n" + Base64(BirdBytes(2002)) + "\n"}}, {"-G", option},
                       downloaded ? "2002.bird" : "0.bird");
        EXPECT_EQ(r.status, downloaded ? 0 : 1);
        EXPECT_EQ(r.err.find("No build information for device") == std::string::npos, downloaded) << r.err;
        EXPECT_EQ(r.out.find("Retrieving build") != std::string::npos, downloaded) << r.out;
        EXPECT_EQ(bird, downloaded ? BirdBytes(2002) : "");
        EXPECT_EQ(settings == kSettings, !downloaded) << settings;
    }
}

TEST(HostileServer, AnswersAreBoundedInSizeAndTime) {
    const std::string chunk = "ok\n" + std::string(65533, 'x');
    for (const auto& [answer, variable, value, breach] :
         std::vector<std::tuple<CannedServer::Answer, std::string, std::string, std::string>>{
             {{"hi", 200, chunk, false, false, 128}, "LANG", "C", "answer larger than 1048576 bytes"}, // 8 MiB
             {{"hi", 200, std::string(2 << 20, 'x')}, "LANG", "C", "answer larger than 1048576 bytes"}, // announced
             {{"bird", 200, chunk, false, false, 4}, "UPDATER_HTTP_DOWNLOAD_MAX_BYTES", "200000",
              "answer larger than 200000 bytes"},
             // Two bytes a second, for longer than any test runs, never trip the stall bound.
             {{"hi", 200, "ok\n", false, true, 100000}, "UPDATER_HTTP_TIMEOUT", "2", "no complete answer within 2 s"},
             {{"bird", 200, "ok\n", false, true, 100000}, "UPDATER_HTTP_DOWNLOAD_TIMEOUT", "2",
              "no complete answer within 2 s"}}) {
        SCOPED_TRACE(breach);
        const bool download = answer.op == "bird";
        const auto [r, bird, settings] = RunAgainst({answer}, {download ? "-G" : "-B"}, "100.bird", {{variable, value}});
        EXPECT_EQ(r.status, download ? 1 : 0);
        EXPECT_NE(r.err.find(download ? "Download failed" : "Server request failed for "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(breach + ", transfer stopped\n"), std::string::npos) << r.err;
        EXPECT_EQ(bird, kOld);
    }
}

// RunAgainst() checks that no control character is printed; here what is shown instead.
TEST(HostileServer, ServerTextIsPrintedWithoutControlCharacters) {
    for (const auto& [answer, command, shown] : std::vector<std::tuple<CannedServer::Answer, std::string, std::string>>{
             {{"ent_jwt", 200, "ok\nh\x1b[2Jh.p\xC2\x9Bp.ss\x07\n"}, "-J", "h?[2Jh.p?p.ss?\n"},
             {{"builds", 200, "ok\n1\x1b]2\x07;1.2.3\x1b[5m\n"}, "-B", "1?]2?          \t1.2.3?[5m"},
             {{"hi", 200, "ok\x1b[31m\r\n"}, "-B", "Build List"}}) {
        SCOPED_TRACE(answer.body);
        const auto [r, bird, settings] = RunAgainst({answer}, {command});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
    }
}
