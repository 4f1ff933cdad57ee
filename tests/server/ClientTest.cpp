// The client against a server that is not ours (Python's http.server):
// the exact request addresses, the answer grammar, and every failure path.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <regex>
#include <tuple>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"
#include "UpdateServerRequest.h"

using namespace servertest;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::RunUpdater;
using testsupport::TempDir;

namespace {

// A BIRD file of build 100, the newest the healthy server names.
const std::string kImage = BirdBytes(100, 16);

std::string Encoded(const std::string& bytes) {
    size_t length = 0;
    auto text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
    return std::string(text.get(), length);
}

std::vector<CannedServer::Answer> Healthy() {
    return {{"hi", 200, "ok\n"},
            {"qu", 200, "ok\n100\nalpha_100\n"},
            {"builds", 200, "ok\n100;1.2.3\n"},
            {"bird", 200, "ok\n" + Encoded(kImage) + "\n"},
            {"ent_jwt", 200, "ok\nhh.pp.ss\n"}};
}

// Healthy answers with one replaced.
std::vector<CannedServer::Answer> With(const CannedServer::Answer& changed) {
    auto answers = Healthy();
    for (auto& a : answers)
        if (a.op == changed.op) a = changed;
    return answers;
}

struct DownloadRun {
    testsupport::RunResult result;
    std::string settings;
    std::string stored;
};

DownloadRun Download(CannedServer& server, const RunOptions& options = {}) {
    TempDir store;
    DownloadRun run;
    run.result = RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", store.path()}, options);
    run.settings = ReadFile(store / "updater/40F5849A/.settings");
    run.stored = ReadFile(store / "updater/40F5849A/100.bird");
    return run;
}

} // namespace

TEST(RequestAddress, ParametersInNameOrderEachFollowedByAmpersand) {
    CannedServer server(Healthy());
    TempDir store;
    const std::vector<std::string> common{"-u", server.url(), "-i", store.path()};
    auto args = [&](std::vector<std::string> a) {
        a.insert(a.end(), common.begin(), common.end());
        return a;
    };

    ASSERT_EQ(RunUpdater(args({"-B", "-d", "BEEF"})).status, 0);
    ASSERT_EQ(RunUpdater(args({"-J", "-d", "40F5849A"})).status, 0);
    const auto g = RunUpdater(args({"-G", "-d", "40F5849A"}));
    ASSERT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(ReadFile(store / "updater/40F5849A/100.bird"), kImage);

    uint32_t fp[4] = {1, 2, 3, 4};
    CannedServer fix({{"fix", 200, "ok\n40F5849A\n0x10\n"}});
    uint32_t serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, fix.url()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 16u);
    EXPECT_EQ(fix.Requests(1).at(0), "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");

    // -G asks its three short questions side by side: they arrive in any order, before the download.
    std::vector<std::string> requests = server.Requests(8);
    std::sort(requests.begin() + 4, requests.begin() + 7);
    EXPECT_EQ(requests, (std::vector<std::string>{
                            "/cgi/u?op=hi&rv=2&",
                            "/cgi/u?op=builds&sn=0000BEEF&",
                            "/cgi/u?op=hi&rv=2&",
                            "/cgi/u?json=false&op=ent_jwt&sn=40F5849A&",
                            "/cgi/u?op=builds&sn=40F5849A&",
                            "/cgi/u?op=hi&rv=2&",
                            "/cgi/u?op=qu&sn=40F5849A&",
                            "/cgi/u?bld=100&fw=alpha_100&no_cal=false&op=bird&sn=40F5849A&",
                        }));

    // No parameters: the address exactly as given.
    EXPECT_EQ(HTTPRequest::GET(server.url(), {})->get_status(), 404);
    EXPECT_EQ(server.Requests(9).at(8), "/cgi/u");
}

TEST(AnswerGrammar, BuildListLinesAndVersionOrder) {
    CannedServer server({{"hi", 200, "okay then\n"},
                         {"builds", 200,
                          "ok\r\n100;2.9.1\n1\n\n200;2.10.0\r\n300;2.10.12;extra\n400\n500;x.y.z\n600;1.2\n"
                          "700;256.0.0\n100;9.9.9\n"}});
    TempDir store;
    const auto r = RunUpdater({"-B", "-d", "40F5849A", "-u", server.url(), "-i", store.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> builds;
    bool listing = false;
    for (const auto& line : Lines(r.out)) {
        if (line.rfind("Build ", 0) == 0 && line.find("Version") != std::string::npos) listing = true;
        else if (listing && line.find('\t') != std::string::npos)
            builds.push_back(line.substr(0, line.find_first_of(" \t")) + "=" +
                             line.substr(line.find('\t') + 1, line.find_last_not_of(' ') - line.find('\t')));
    }
    // 256.0.0 compares like 0.0.0; unreadable versions come last; the first
    // line of a build listed twice wins; "\r" is not part of a version.
    EXPECT_EQ(builds, (std::vector<std::string>{"300=2.10.12", "200=2.10.0", "100=2.9.1", "700=256.0.0", "400=",
                                                "500=x.y.z", "600=1.2"}))
        << r.out;
}

TEST(AnswerGrammar, RefusalsAndMissingLinesFailWithoutReadingThem) {
    struct Case {
        CannedServer::Answer answer;
        std::vector<std::string> command;
        int status;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"hi", 404, "ok\n"}, {"-B"}, 0, "Server request failed for "},
        {{"hi", 200, ""}, {"-J"}, 0, "Server request failed for "},
        {{"builds", 500, "ok\n100;1.2.3\n"}, {"-B"}, 0, "Failed to retrieve builds for 40F5849A"},
        {{"builds", 200, "no\n100;1.2.3\n"}, {"-B"}, 0, "Failed to retrieve builds for 40F5849A"},
        {{"ent_jwt", 200, "denied\nhh.pp.ss\n"}, {"-J"}, 0, "Failed to retrieve jwt for 40F5849A"},
        {{"ent_jwt", 200, "ok\n"}, {"-J"}, 0, "Failed to retrieve jwt for 40F5849A"},
        {{"ent_jwt", 200, "ok\nheaderpayloadsignature\n"}, {"-J"}, 0, "Failed to retrieve jwt for 40F5849A"},
        {{"ent_jwt", 200, "ok\nhh.pp.\n"}, {"-J"}, 0, "Failed to retrieve jwt for 40F5849A"},
        {{"ent_jwt", 200, "ok\nhh.p.ss\n"}, {"-J"}, 0, "Failed to retrieve jwt for 40F5849A"},
        {{"qu", 200, "error\n100\nalpha\n"}, {"-G"}, 1, "No build information for device"},
        {{"qu", 200, "ok\n"}, {"-G"}, 1, "No build information for device"},
        {{"bird", 404, "ok\n" + Encoded(kImage) + "\n"}, {"-G"}, 1, "Failed to retrieve a valid BIRD file"},
        {{"bird", 200, "ok\n"}, {"-G"}, 1, "Failed to retrieve a valid BIRD file"},
        {{"bird", 200, "ok\nYmlyZA=\n"}, {"-G"}, 1, "Failed to retrieve a valid BIRD file"},
        {{"bird", 200, "ok\nYm*yZA==\n"}, {"-G"}, 1, "Failed to retrieve a valid BIRD file"},
        {{"bird", 200, "ok\nYm=yZA==\n"}, {"-G"}, 1, "Failed to retrieve a valid BIRD file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.op + " answering [" + c.answer.body + "] with " + std::to_string(c.answer.status));
        CannedServer server(With(c.answer));
        TempDir store;
        auto args = c.command;
        args.insert(args.end(), {"-d", "40F5849A", "-u", server.url(), "-i", store.path()});
        const auto r = RunUpdater(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // Nothing half-made is kept, nor recorded as downloaded.
        EXPECT_EQ(ReadFile(store / "updater/40F5849A/100.bird"), "");
        EXPECT_EQ(ReadFile(store / "updater/40F5849A/.settings").find("LATEST_DOWNLOAD"), std::string::npos);
    }

    // Recovery answers: only the lines present are read.
    const uint32_t fp[4] = {1, 2, 3, 4};
    for (const auto& [body, serial, build] : std::vector<std::tuple<std::string, uint32_t, uint32_t>>{
             {"ok\n", 7, 9}, {"ok\n40F5849A\n", 0x40F5849A, 9}, {"ok\n40F5849A\n010\n", 0x40F5849A, 8}}) {
        CannedServer fix({{"fix", 200, body}});
        uint32_t gotSerial = 7, gotBuild = 9;
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, gotSerial, gotBuild, fix.url())) << body;
        EXPECT_EQ(gotSerial, serial) << body;
        EXPECT_EQ(gotBuild, build) << body;
    }

    // A CRLF answer is still read correctly.
    CannedServer crlf(With({"bird", 200, "ok\r\n" + Encoded(kImage) + "\r\n"}));
    EXPECT_EQ(Download(crlf).stored, kImage);
}

TEST(Stalls, SilentServersAreBoundedAndSlowDownloadsAreNot) {
    RunOptions quick;
    quick.env["UPDATER_HTTP_STALL_TIMEOUT"] = "2";
    quick.env["UPDATER_HTTP_CONNECT_TIMEOUT"] = "2";

    {   // The BIRD answer stops half-way.
        CannedServer server(With({"bird", 200, "ok\n" + Encoded(kImage) + "\n", true}));
        const auto run = Download(server, quick);
        EXPECT_FALSE(run.result.timed_out);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_NE(run.result.err.find("Download failed"), std::string::npos) << run.result.err;
        EXPECT_NE(run.result.err.find("Failed to retrieve a valid BIRD file"), std::string::npos);
        EXPECT_EQ(run.stored, "");
        EXPECT_TRUE(server.Saw("CLIENT HUNG UP"));
    }
    {   // Accepted, never answered: over HTTP the request waits for an answer,
        // over HTTPS the handshake never ends.
        auto silent = CannedServer::Silent();
        for (const char* scheme : {"http", "https"}) {
            TempDir store;
            const auto r = RunUpdater({"-B", "-d", "40F5849A", "-u", silent->url(scheme), "-i", store.path()}, quick);
            EXPECT_FALSE(r.timed_out) << scheme;
            EXPECT_EQ(r.status, 0) << scheme;
            EXPECT_NE(r.err.find("Server request failed for " + silent->url(scheme)), std::string::npos) << r.err;
        }
    }
    {   // Bytes keep coming, slowly, for longer than the stall bound: not cut off.
        // The smallest BIRD file (no blocks) keeps this short.
        RunOptions patient;
        patient.env["UPDATER_HTTP_STALL_TIMEOUT"] = "3";
        CannedServer server(With({"bird", 200, "ok\n" + Encoded(BirdBytes(0)) + "\n", false, true}));
        const auto run = Download(server, patient);
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(run.stored, BirdBytes(0));
    }
}

TEST(Base64, AgreesWithPythonsCodec) {
    for (size_t size : {0, 1, 2, 3, 4, 5, 6, 7, 100, 1001}) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) & 0xFF);
        testsupport::RunOptions feed;
        feed.stdin_data = bytes;
        const std::string reference = Output(
            {SYSTEM_PYTHON3, "-c", "import base64,sys; sys.stdout.write(base64.b64encode(sys.stdin.buffer.read()).decode())"},
            feed);
        EXPECT_EQ(Encoded(bytes), reference) << size;
        size_t length = 99;
        auto decoded = base64_decode(reference.data(), reference.size(), &length);
        ASSERT_TRUE(decoded) << size;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded.get()), length), bytes);
        EXPECT_EQ(decoded[length], 0) << "terminating zero byte";
    }
    size_t length = 0;
    auto ma = base64_decode("TWE=", 4, &length);
    ASSERT_TRUE(ma);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ma.get()), length), "Ma");
    EXPECT_FALSE(base64_decode("TWFuT", 5, &length));
    EXPECT_FALSE(base64_decode("TW\x80=", 4, &length));
}

// The streamed decoder takes what the whole-text decoder takes, with the
// same bytes, however the text is split; and refuses what it refuses.
TEST(Base64, StreamedDecodingAgreesWithWholeTextDecoding) {
    std::string long_text = Encoded(std::string(70000, '\x5A'));
    for (const std::string& text : {std::string("TWE="), std::string("TQ=="), std::string("TWFu"), std::string("TWFuTWE="),
                                   std::string("TWFuT"), std::string("TW=u"), std::string("TQ==TWFu"), std::string("===="),
                                   std::string("TW\x80="), std::string("TWF*"), std::string(""), long_text,
                                   long_text.substr(1), long_text + "TQ==", long_text + "TQ==TQ=="}) {
        size_t wholeLength = 0;
        auto whole = base64_decode(text.data(), text.size(), &wholeLength);
        const std::string expected = whole ? std::string(reinterpret_cast<char*>(whole.get()), wholeLength) : "";
        for (size_t piece : {size_t(1), size_t(3), size_t(5), size_t(4096), text.size() + 1}) {
            std::string decoded;
            Base64Stream stream([&](const uint8_t* bytes, size_t n) { decoded.append(reinterpret_cast<const char*>(bytes), n); });
            for (size_t at = 0; at < text.size(); at += piece) stream.Feed(text.data() + at, std::min(piece, text.size() - at));
            const bool ok = stream.Finish();
            EXPECT_EQ(ok, whole && !text.empty()) << text.substr(0, 16) << " in pieces of " << piece;
            if (ok) {
                EXPECT_EQ(decoded, expected) << text.substr(0, 16) << " in pieces of " << piece;
            }
        }
    }
}

// The server-communication debug lines (-X 0x20), exactly as written.
TEST(DebugLog, ServerCommunicationLinesAsWritten) {
    CannedServer server({{"hi", 200, "ok\n"},
                         {"builds", 200, "ok\n100;1.2.3.4.5.6.7\n12345678901234;2.0.0\n"},
                         {"qu", 200, "no\n"},
                         {"ent_jwt", 500, "nope\n"}});
    TempDir store;
    const std::string url = server.url();
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"-X", "0x20", "-d", "40F5849A", "-u", url, "-i", store.path()});
        return RunUpdater(args).err;
    };

    std::string log = run({"-B"});
    EXPECT_NE(log.find("GET(" + url + "?op=hi&rv=2&)\n"), std::string::npos) << log;
    // The first 100 bytes of the data, right-aligned in a field of 100.
    EXPECT_TRUE(std::regex_search(log, std::regex("rcv_data called \\(\\.\\.\\., 1, 3, [0-9A-F]{8}\\) \\[ {97}ok\n\\]\n"
                                                  "rcv_data returns 3\n")))
        << log;
    EXPECT_NE(log.find("GetBuildList processing entry: [100;1.2.3.4.5.6.7]\n"
                       "GetBuildList [100][1.2.3.4.5.]\n"
                       "GetBuildList processing entry: [12345678901234;2.0.0]\n"
                       "GetBuildList [1234567890][2.0.0]\n"),
              std::string::npos)
        << log;

    log = run({"-J"});
    EXPECT_NE(log.find("GetDeviceJWT ==> [500] [nope\n]\n"), std::string::npos) << log;
    log = run({"-G"});
    EXPECT_NE(log.find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=40F5849A&]\n"), std::string::npos)
        << log;

    CannedServer refusing({{"hi", 503, "busy\n"}});
    log = RunUpdater({"-B", "-X", "0x20", "-d", "40F5849A", "-u", refusing.url(), "-i", store.path()}).err;
    EXPECT_NE(log.find("PING ==> [503] [busy\n]\n"), std::string::npos) << log;

    RefusingPort closed;
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(closed.port()) + "/cgi/u";
    log = RunUpdater({"-B", "-X", "0x20", "-d", "40F5849A", "-u", nowhere, "-i", store.path()}).err;
    EXPECT_NE(log.find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << log;
}
