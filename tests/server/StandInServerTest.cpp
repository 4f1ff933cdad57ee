// The stand-in update server on its own: what curl gets from it, its log,
// its help and its clean stop.
#include <gtest/gtest.h>

#include <csignal>

#include "HTTPRequest.h"
#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;
using testsupport::Run;
using testsupport::RunOptions;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct Lab {
    TempDir dir;
    Lab() {
        testsupport::Run({"/bin/mkdir", "-p", dir / "catalog"});
        MakeBird(dir / "catalog/alpha_100.bird", 100, "1.0.0", "TX-ALPHA", 2000, 7);
        MakeBird(dir / "catalog/alpha_101.bird", 101, "1.0.1", "TX-ALPHA", 2000, 8);
        WriteFile(dir / "devices", "40F5849A TX-ALPHA stream 1:2:3:4\n");
    }
    StandInServer::Config Config() { return {dir / "catalog", dir / "devices", "s3cret", "", ""}; }
};

const std::vector<std::string> kQueries{
    "op=hi&rv=2&",
    "op=qu&sn=40F5849A&",
    "op=builds&sn=40F5849A&",
    "bld=100&fw=alpha_101&no_cal=false&op=bird&sn=40F5849A&",
    "brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
    "json=false&op=ent_jwt&sn=40F5849A&",
};

std::string Curl(const std::string& url, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{"/usr/bin/curl", "-sS", "--fail"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    return Output(argv);
}

// The token's issue time may tick between two requests; compare without it.
std::string WithoutIssueTime(const std::string& body) {
    const auto lines = Lines(body);
    if (lines.size() < 2 || lines[1].find('.') == std::string::npos) return body;
    const std::string payload = Base64UrlDecode(lines[1].substr(lines[1].find('.') + 1,
                                                                lines[1].rfind('.') - lines[1].find('.') - 1));
    return lines[0] + "\n" + payload.substr(0, payload.find("\"iat\""));
}

} // namespace

TEST(StandInServer, CurlAndTheClientGetTheSameBodies) {
    Lab lab;
    StandInServer server(lab.Config());
    for (const auto& query : kQueries) {
        SCOPED_TRACE(query);
        const std::string url = server.url() + "?" + query;
        const std::string byCurl = Curl(url);
        const ResultOf<HTTPResponse> answer = HTTPRequest::GET(url, {});
        ASSERT_TRUE(answer.ok()) << answer.message();
        const HTTPResponse& byClient = answer.value();
        EXPECT_EQ(byClient.get_status(), 200);
        EXPECT_EQ(WithoutIssueTime(byClient.get_response()), WithoutIssueTime(byCurl));
        EXPECT_EQ(byCurl.rfind("ok\n", 0), 0u) << byCurl;
    }
    // What the answers say, read by a peer that is not ours.
    EXPECT_EQ(Curl(server.url() + "?" + kQueries[1]), "ok\n101\nalpha_101\n");
    EXPECT_EQ(Curl(server.url() + "?" + kQueries[2]), "ok\n101;1.0.1\n100;1.0.0\n");
    EXPECT_EQ(Curl(server.url() + "?" + kQueries[4]), "ok\n40F5849A\n101\n");
    const auto bird = Lines(Curl(server.url() + "?" + kQueries[3]));
    ASSERT_EQ(bird.size(), 2u);
    TempDir out;
    WriteFile(out / "b64", bird[1]);
    const auto decoded = testsupport::Run({"/bin/sh", "-c", "/usr/bin/base64 -d " + out / "b64" + " > " + out / "file"});
    ASSERT_EQ(decoded.status, 0);
    EXPECT_EQ(ReadFile(out / "file"), ReadFile(lab.dir / "catalog/alpha_100.bird"));

    // Unknown devices and requests, and other paths.
    EXPECT_EQ(Curl(server.url() + "?op=qu&sn=00000001&").rfind("error", 0), 0u);
    EXPECT_EQ(Curl(server.url() + "?op=nonsense&").rfind("error", 0), 0u);
    const auto missing = testsupport::Run({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                              server.url().substr(0, server.url().size() - 6) + "/other"});
    EXPECT_EQ(missing.out, "404");

    // One log line per request, naming it.
    server.process().Stop(SIGTERM);
    for (const auto& query : kQueries)
        EXPECT_NE(server.process().output().find("\"GET /cgi/u?" + query + "\" 200"), std::string::npos) << query;
    EXPECT_NE(server.process().output().find("\"GET /other\" 404"), std::string::npos);
}

TEST(StandInServer, HttpsBodiesMatchCurlWithTheSameAuthority) {
    Lab lab;
    TestCA ca;
    ca.Issue("srv", "IP:127.0.0.1");
    auto config = lab.Config();
    config.cert = ca.cert("srv");
    config.certKey = ca.key("srv");
    StandInServer server(config);
    setenv("CURL_CA_BUNDLE", ca.ca().c_str(), 1);
    for (const auto& query : {kQueries[1], kQueries[2], kQueries[3]}) {
        const std::string url = server.url() + "?" + query;
        EXPECT_EQ(HTTPRequest::GET(url, {})->get_response(), Curl(url, {"--cacert", ca.ca()})) << query;
    }
    unsetenv("CURL_CA_BUNDLE");
    // Without the CA the peer cannot prove who it is: a failure that says so.
    const ResultOf<HTTPResponse> unverified = HTTPRequest::GET(server.url(), {{"op", "hi"}});
    EXPECT_FALSE(unverified.ok());
    EXPECT_EQ(unverified.code(), aErrConnection);
    EXPECT_FALSE(unverified.message().empty());
}

TEST(StandInServer, HelpOptionsAndCleanStop) {
    const auto help = testsupport::Run({UPDATE_SERVER_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: update-server"), std::string::npos);
    EXPECT_NE(help.out.find("--catalog"), std::string::npos);

    const auto missing = testsupport::Run({UPDATE_SERVER_BIN, "--devices", "x", "--secret", "k"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("--catalog is required"), std::string::npos) << missing.err;

    Lab lab;
    WriteFile(lab.dir / "bad-devices", "40F5849A\n");
    const auto bad = testsupport::Run({UPDATE_SERVER_BIN, "--catalog", lab.dir / "catalog", "--devices", lab.dir / "bad-devices",
                          "--secret", "k", "--port", "0"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("bad-devices:1"), std::string::npos) << bad.err;

    for (int signal : {SIGINT, SIGTERM}) {
        StandInServer server(lab.Config());
        EXPECT_EQ(Curl(server.url() + "?op=hi&"), "ok\n");
        EXPECT_EQ(server.process().Stop(signal), 0) << signal;
        EXPECT_NE(server.process().output().find("stopped"), std::string::npos);
    }
}
