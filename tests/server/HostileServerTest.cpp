// The real Updater against an update server that answers badly on purpose.
#include <gtest/gtest.h>

#include <algorithm>
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

struct Outcome {
    testsupport::RunResult r;
    std::string bird100, bird2002, bird0, settings;
};

// -d 40F5849A -X 0x20 against a server whose newest build is 100 (2002 is
// offered too), with `changed` answers replacing those; 100.bird is stored before.
Outcome RunAgainst(std::vector<CannedServer::Answer> changed, std::vector<std::string> args,
            const std::map<std::string, std::string>& env = {}) {
    changed.insert(changed.begin(), {{"hi", 200, "ok\n"}, {"qu", 200, "ok\n100\nalpha\n"},
                                     {"builds", 200, "ok\n100;1.2\n2002;2.0\n"},
                                     {"bird", 200, "ok\n" + Base64(BirdBytes(100)) + "\n"},
                                     {"ent_jwt", 200, "ok\nhh.pp.ss\n"}});
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
    Outcome o{testsupport::RunUpdater(args, options), ReadFile(dir + "100.bird"), ReadFile(dir + "2002.bird"),
              ReadFile(dir + "0.bird"), ReadFile(dir + ".settings")};
    EXPECT_FALSE(o.r.timed_out);
    // No server text reaches the terminal with control characters in it (the debug log included).
    for (const std::string& text : {o.r.out, o.r.err})
        EXPECT_EQ(std::count_if(text.begin(), text.end(),
                                [](unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F; }) +
                      (text.find("\xC2\x9B") != std::string::npos),
                  0)
            << text;
    return o;
}

} // namespace

TEST(HostileServer, DownloadReplacesTheStoredBuildOnlyWithALoadableFileOfThatBuild) {
    const std::string good = BirdBytes(100, 200);
    std::string foreign = "BIRD" + good.substr(4), unversioned = good, corrupt = good;
    unversioned[4] = '\0';
    corrupt[corrupt.size() - 3] ^= 0x5A;
    std::string wrapped = Base64(good);
    for (size_t at = 76; at < wrapped.size(); at += 78) wrapped.insert(at, "\r\n"); // as MIME wraps base64
    const std::string invalid = "Failed to retrieve a valid BIRD file";
    for (const auto& [body, stored, error] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {Base64("not a BIRD file at all"), kOld, invalid},
             {Base64(foreign), kOld, invalid},
             {Base64(unversioned), kOld, invalid},
             {Base64(corrupt), kOld, invalid},
             {Base64(BirdFromArea(std::string("\0\0\0\5\0\0\0\0", 8))), kOld, invalid}, // 5 blocks announced, none there
             {Base64(BirdBytes(2002)), kOld, "Downloaded BIRD file is build 2002, not 100"},
             {wrapped, good, ""},
             {Base64(BirdBytes(0)), BirdBytes(0), ""}}) { // no info block: no build to compare
        SCOPED_TRACE(body);
        const auto o = RunAgainst({{"bird", 200, "ok\n" + body + "\n"}}, {"-G"});
        EXPECT_EQ(o.bird100, stored);
        EXPECT_EQ(o.r.status, error.empty() ? 0 : 1);
        EXPECT_NE(o.r.err.find(error), std::string::npos) << o.r.err;
        EXPECT_EQ(o.settings == kSettings, !error.empty()) << o.settings;
    }
}

TEST(HostileServer, WithoutANewestBuildNothingIsDownloaded) {
    for (const auto& [query, option, downloaded] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"ok\n", "-OVERRIDE", false},
             {"ok\n", "-G", false},
             {"ok\nnewest\nalpha\n", "-OVERRIDE", false},
             {"ok\n2002 \nalpha\n", "-OVERRIDE", true},
             {"ok\n2002 \r\nalpha\r\n", "-G", true}}) {
        SCOPED_TRACE(query + option);
        const auto o = RunAgainst({{"qu", 200, query}, {"bird", 200, "ok\n" + Base64(BirdBytes(2002)) + "\n"}}, {"-G", option});
        EXPECT_EQ(o.r.status, downloaded ? 0 : 1);
        EXPECT_EQ(o.r.err.find("No build information for device") == std::string::npos, downloaded) << o.r.err;
        EXPECT_EQ(o.r.out.find("Retrieving build 2002") != std::string::npos, downloaded) << o.r.out;
        EXPECT_EQ(o.r.out.find("Retrieving build 0"), std::string::npos) << o.r.out;
        EXPECT_EQ(o.bird0, "");
        EXPECT_EQ(o.bird2002, downloaded ? BirdBytes(2002) : "");
        EXPECT_EQ(o.settings.find("LATEST_DOWNLOAD=2002.bird\n") != std::string::npos, downloaded) << o.settings;
    }
}

TEST(HostileServer, AnswersAreBoundedInSizeAndTime) {
    const std::string chunk = "ok\n" + std::string(65533, 'x'), failed = "Server request failed for ";
    const int endless = 100000; // trickled, longer than any test runs
    struct Case {
        CannedServer::Answer answer;
        std::map<std::string, std::string> env;
        std::string breach;
    };
    for (const auto& c : std::vector<Case>{
             {{"hi", 200, chunk, false, false, 128}, {}, "answer larger than 1048576 bytes"}, // 8 MiB for a ping
             {{"hi", 200, std::string(2 << 20, 'x')}, {}, "answer larger than 1048576 bytes"}, // announced
             {{"bird", 200, chunk, false, false, 4}, {{"UPDATER_HTTP_DOWNLOAD_MAX_BYTES", "200000"}},
              "answer larger than 200000 bytes"},
             // Two bytes a second never trip the stall bound; the deadline ends them.
             {{"hi", 200, "ok\n", false, true, endless}, {{"UPDATER_HTTP_TIMEOUT", "2"}}, "no complete answer within 2 s"},
             {{"bird", 200, "ok\n", false, true, endless}, {{"UPDATER_HTTP_DOWNLOAD_TIMEOUT", "2"}},
              "no complete answer within 2 s"}}) {
        const bool download = c.answer.op == "bird";
        SCOPED_TRACE(c.breach);
        const auto o = RunAgainst({c.answer}, {download ? "-G" : "-B"}, c.env);
        EXPECT_EQ(o.r.status, download ? 1 : 0);
        EXPECT_NE(o.r.err.find(download ? "Download failed" : failed), std::string::npos) << o.r.err;
        EXPECT_NE(o.r.err.find(c.breach + ", transfer stopped\n"), std::string::npos) << o.r.err;
        EXPECT_EQ(o.bird100, kOld);
    }
}

TEST(HostileServer, ServerTextIsPrintedWithoutControlCharacters) {
    // RunAgainst() checks that no control character is printed; here what is shown instead.
    for (const auto& [answer, command, shown] : std::vector<std::tuple<CannedServer::Answer, std::string, std::string>>{
             {{"ent_jwt", 200, "ok\nh\x1b[2Jh.p\xC2\x9Bp.ss\x07\n"}, "-J", "h?[2Jh.p?p.ss?\n"},
             {{"builds", 200, "ok\n1\x1b]2\x07;1.2.3\x1b[5m\n"}, "-B", "1?]2?          \t1.2.3?[5m"},
             {{"hi", 200, "ok\x1b[31m\r\n"}, "-B", "Build List"}}) {
        SCOPED_TRACE(answer.body);
        const auto o = RunAgainst({answer}, {command});
        EXPECT_EQ(o.r.status, 0) << o.r.err;
        EXPECT_NE(o.r.out.find(shown), std::string::npos) << o.r.out;
    }
}
