// -B, -L, -G and -J of the real Updater against the stand-in update server,
// over HTTP and HTTPS, and with the server gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "ServerTestSupport.h"

using namespace servertest;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::RunUpdater;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const char kSecret[] = "lab-secret";

// Build text -> version, chosen so that build order, version text order and
// version number order all differ.
struct CatalogFixture : ::testing::Test {
    static void SetUpTestSuite() {
        dir = new TempDir();
        MakeBird(Catalog("alpha_100.bird"), 100, "1.10.0", "TX-ALPHA", 300, 1);
        MakeBird(Catalog("alpha_250.bird"), 250, "1.9.7", "TX-ALPHA", 400, 2);
        MakeBird(Catalog("alpha_180.bird"), 180, "1.2.3", "TX-ALPHA", 500, 3);
        MakeBird(Catalog("beta_300.bird"), 300, "2.0.0", "TX-BETA", 600, 4);
        WriteFile(*dir / "devices",
                  "# serial model features fingerprint\n"
                  "40F5849A TX-ALPHA stream,i2c 1:2:3:4\n"
                  "0BADF00D TX-GAMMA -\n");
        server = new StandInServer({*dir / "catalog", *dir / "devices", kSecret, "", ""});
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
    }
    static std::string Catalog(const std::string& name) {
        testsupport::Run({"/bin/mkdir", "-p", *dir / "catalog"});
        return *dir / ("catalog/" + name);
    }
    std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.end(), {"-u", server->url(), "-i", store.path()});
        return args;
    }
    std::string Stored(const std::string& file) { return store / ("updater/40F5849A/" + file); }

    static TempDir* dir;
    static StandInServer* server;
    TempDir store;
};
TempDir* CatalogFixture::dir = nullptr;
StandInServer* CatalogFixture::server = nullptr;

// The build rows of a -B / -L listing: "build<TAB>version" with padding removed.
std::vector<std::string> Rows(const std::string& out) {
    std::vector<std::string> rows;
    bool inList = false;
    for (auto line : Lines(out)) {
        if (line.rfind("Build ", 0) == 0 && line.find("Version") != std::string::npos) {
            inList = true;
            continue;
        }
        if (!inList || line.find('\t') == std::string::npos) continue;
        auto trim = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
        const size_t tab = line.find('\t');
        rows.push_back(trim(line.substr(0, tab)) + "\t" + trim(line.substr(tab + 1)));
    }
    return rows;
}

} // namespace

TEST_F(CatalogFixture, ListsBuildsNewestVersionFirstAndHandlesDevicesWithout) {
    auto r = RunUpdater(Args({"-B", "-d", "40F5849A"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Build List for device [40F5849A]:"), std::string::npos) << r.out;
    EXPECT_EQ(Rows(r.out), (std::vector<std::string>{"100\t1.10.0", "250\t1.9.7", "180\t1.2.3"})) << r.out;

    // A known device whose model has no builds.
    r = RunUpdater(Args({"-B", "-d", "0BADF00D"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("No builds found for device [0BADF00D]"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    // A device the server does not know: its answer is not "ok".
    r = RunUpdater(Args({"-B", "-d", "C0FFEE"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Failed to retrieve builds for 00C0FFEE"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("No builds found for device [00C0FFEE]"), std::string::npos) << r.out;
}

TEST_F(CatalogFixture, DownloadsNewestAndChosenBuildsByteForByte) {
    auto r = RunUpdater(Args({"-G", "-d", "40F5849A"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Using Latest build"), std::string::npos);
    EXPECT_NE(r.out.find("Retrieving build 100"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Build 100 is valid"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(Stored("100.bird")), ReadFile(Catalog("alpha_100.bird")));
    std::string settings = ReadFile(Stored(".settings"));
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=100.bird\n"), std::string::npos) << settings;
    // The download time in ctime form without its newline, e.g. "Tue Dec  8 18:01:29 2026".
    EXPECT_TRUE(std::regex_search(settings, std::regex("(^|\n)LAST_DOWNLOAD_DATE=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] "
                                                       "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n")))
        << settings;

    EXPECT_EQ(r.out.find("Downloading"), std::string::npos) << "no spinner off a terminal";

    // On a terminal the spinner turns while the download runs, and is cleared.
    RunOptions terminal;
    terminal.stdout_pty = true;
    r = RunUpdater(Args({"-G", "-d", "40F5849A", "-b", "180"}), terminal);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\r (Downloading) ."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Retrieving firmware build 180"), std::string::npos);
    EXPECT_EQ(ReadFile(Stored("180.bird")), ReadFile(Catalog("alpha_180.bird")));
    settings = ReadFile(Stored(".settings"));
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=180.bird\n"), std::string::npos) << settings;

    // Build 300 exists, but for another model: not offered to this device.
    r = RunUpdater(Args({"-G", "-d", "40F5849A", "-b", "300"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No valid build 300"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(Stored("300.bird")), "");

    r = RunUpdater(Args({"-G", "-d", "40F5849A", "-b", "300", "-OVERRIDE"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Override specified, skipping validation of build 300"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(Stored("300.bird")), ReadFile(Catalog("beta_300.bird")));

    // "-u host:port", as the usage text describes it, reaches the same server.
    TempDir other;
    r = RunUpdater({"-G", "-d", "40F5849A", "-b", "250", "-u", "127.0.0.1:" + std::to_string(server->port()), "-i",
                    other.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(other / "updater/40F5849A/250.bird"), ReadFile(Catalog("alpha_250.bird")));

    // A device without builds.
    r = RunUpdater(Args({"-G", "-d", "0BADF00D"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No build information for device"), std::string::npos) << r.err;
}

// -G runs before -U: the update gets the build just downloaded, and a failed
// download does not stop the update from being tried. The catalog's files
// hold no loader, so the update itself fails before it looks for a module.
TEST_F(CatalogFixture, DownloadRunsBeforeTheUpdate) {
    auto r = RunUpdater(Args({"-G", "-U", "-d", "40F5849A", "-b", "250"}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Build 250 is valid"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Updating firmware with build: 250"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "Birdfile has no loader blocks\n");
    EXPECT_EQ(ReadFile(Stored("250.bird")), ReadFile(Catalog("alpha_250.bird")));
    EXPECT_NE(ReadFile(Stored(".settings")).find("LATEST_DOWNLOAD=250.bird\n"), std::string::npos);

    r = RunUpdater(Args({"-G", "-U", "-d", "40F5849A", "-b", "300"}));
    EXPECT_EQ(r.status, 1);
    const size_t refused = r.err.find("No valid build 300\n");
    ASSERT_NE(refused, std::string::npos) << r.err;
    // The update is tried all the same, with the build asked for, which is not stored.
    EXPECT_EQ(r.err.substr(refused + 19), "Failed to load bird file\n") << "the update was not tried: " << r.err;
}

TEST_F(CatalogFixture, ListsStoredFilesIncludingInvalidOnes) {
    ASSERT_EQ(RunUpdater(Args({"-G", "-d", "40F5849A", "-b", "250"})).status, 0);
    ASSERT_EQ(RunUpdater(Args({"-G", "-d", "40F5849A", "-b", "180"})).status, 0);
    WriteFile(Stored("junk.bird"), "this is not firmware");
    WriteFile(Stored("notes.txt"), "bird\x01");

    const auto r = RunUpdater(Args({"-L", "-d", "40F5849A"}));
    EXPECT_EQ(r.status, 0) << r.err;
    auto rows = Rows(r.out);
    EXPECT_EQ(rows.size(), 4u) << r.out;
    // Readable versions newest first; the rest follow with an empty version.
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], "250\t1.9.7");
    EXPECT_EQ(rows[1], "180\t1.2.3");
    EXPECT_NE(std::find(rows.begin(), rows.end(), "junk\t"), rows.end()) << r.out;
    EXPECT_NE(std::find(rows.begin(), rows.end(), "notes.txt\t"), rows.end()) << r.out;
    EXPECT_EQ(r.out.find(".settings"), std::string::npos);

    const auto none = RunUpdater(Args({"-L", "-d", "12345678"}));
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.out.find("No builds found for device [12345678]"), std::string::npos);
}

TEST_F(CatalogFixture, TokenVerifiesWithTheServersKey) {
    auto r = RunUpdater(Args({"-J", "-d", "40F5849A"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    const std::string token = lines.back();
    ASSERT_EQ(std::count(token.begin(), token.end(), '.'), 2) << token;
    const size_t lastDot = token.rfind('.');
    EXPECT_EQ(token.substr(lastDot + 1), HmacSha256Url(kSecret, token.substr(0, lastDot)));
    EXPECT_NE(token.substr(lastDot + 1), HmacSha256Url("another key", token.substr(0, lastDot)));
    const std::string payload = Base64UrlDecode(token.substr(token.find('.') + 1, lastDot - token.find('.') - 1));
    EXPECT_NE(payload.find("\"sub\":\"40F5849A\""), std::string::npos) << payload;
    EXPECT_NE(payload.find("[\"stream\",\"i2c\"]"), std::string::npos) << payload;

    r = RunUpdater(Args({"-J", "-d", "C0FFEE"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Failed to retrieve jwt for 00C0FFEE"), std::string::npos) << r.err;
    ASSERT_FALSE(Lines(r.out).empty());
    EXPECT_EQ(Lines(r.out).back(), "");
}

TEST(ServerUnreachable, EveryCommandReportsTheAddress) {
    RefusingPort port;
    TempDir store;
    const std::string url = "http://127.0.0.1:" + std::to_string(port.port()) + "/cgi/u";
    const std::string message = "Server request failed for " + url;
    for (const char* command : {"-B", "-J", "-G"}) {
        const auto r = RunUpdater({command, "-d", "40F5849A", "-u", url, "-i", store.path()});
        EXPECT_NE(r.err.find(message), std::string::npos) << command << ": " << r.err;
        // Only the download counts as failed; listings and tokens end with 0.
        EXPECT_EQ(r.status, std::string(command) == "-G" ? 1 : 0) << command;
    }
    EXPECT_EQ(ReadFile(store / "updater/40F5849A/.settings"), "");
}

// HTTPS with a certificate from a test authority: trusted only through
// CURL_CA_BUNDLE, and only for the name it was issued to.
TEST(SecureServer, VerifiesCertificateAndHostName) {
    TestCA ca;
    ca.Issue("good", "IP:127.0.0.1");
    ca.Issue("elsewhere", "DNS:updates.example.invalid");
    TempDir dir, store;
    testsupport::Run({"/bin/mkdir", "-p", dir / "catalog"});
    MakeBird(dir / "catalog/alpha_7.bird", 7, "3.1.4", "TX-ALPHA");
    WriteFile(dir / "devices", "40F5849A TX-ALPHA\n");

    StandInServer good({dir / "catalog", dir / "devices", "k", ca.cert("good"), ca.key("good")});
    ASSERT_EQ(good.url().rfind("https://", 0), 0u);
    RunOptions trusting;
    trusting.env["CURL_CA_BUNDLE"] = ca.ca();

    auto r = RunUpdater({"-G", "-d", "40F5849A", "-u", good.url(), "-i", store.path()}, trusting);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(store / "updater/40F5849A/7.bird"), ReadFile(dir / "catalog/alpha_7.bird"));

    // Without the authority the system trust store rejects the server.
    RunOptions plain;
    plain.unset_env = {"CURL_CA_BUNDLE"};
    r = RunUpdater({"-B", "-d", "40F5849A", "-u", good.url(), "-i", store.path()}, plain);
    EXPECT_NE(r.err.find("Server request failed for " + good.url()), std::string::npos) << r.err;
    r = RunUpdater({"-G", "-d", "40F5849A", "-b", "7", "-u", good.url(), "-i", store.path()}, plain);
    EXPECT_EQ(r.status, 1);

    // A certificate of the right authority for another name.
    StandInServer other({dir / "catalog", dir / "devices", "k", ca.cert("elsewhere"), ca.key("elsewhere")});
    r = RunUpdater({"-J", "-d", "40F5849A", "-u", other.url(), "-i", store.path()}, trusting);
    EXPECT_NE(r.err.find("Server request failed for " + other.url()), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.out).back(), "");
}

// --http and --https name the built-in server. No test may reach it, so the
// address is read from the usage text, and a second choice of server must be
// refused before any request is made.
TEST(DefaultServer, HttpAndHttpsNameTheBuiltInAddressAndExcludeOtherChoices) {
    const auto help = RunUpdater({"-h"});
    EXPECT_NE(help.err.find(std::string("Use HTTP for the update server (http://") + DEFAULT_SERVER_HOST + "/cgi/u)."),
              std::string::npos)
        << help.err;
    EXPECT_NE(help.err.find(std::string("Use HTTPS for the update server (https://") + DEFAULT_SERVER_HOST +
                            "/cgi/u)."),
              std::string::npos)
        << help.err;

    CannedServer server({{"hi", 200, "ok\n"}, {"builds", 200, "ok\n1;1.0.0\n"}});
    TempDir store;
    for (const auto& choice : std::vector<std::vector<std::string>>{
             {"--http", "--https", "-u", server.url()}, {"--https", "-u", server.url()}, {"--http", "-u", server.url()}}) {
        // -u comes last: were the refusal broken, the run would still only reach loopback.
        auto args = choice;
        args.insert(args.end(), {"-B", "-d", "40F5849A", "-i", store.path()});
        const auto r = RunUpdater(args);
        EXPECT_EQ(r.status, 1) << choice[0];
        EXPECT_NE(r.err.find("Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."),
                  std::string::npos)
            << r.err;
    }
    // The refused runs sent nothing: the first request the server sees is this run's.
    ASSERT_EQ(RunUpdater({"-B", "-d", "40F5849A", "-u", server.url(), "-i", store.path()}).status, 0);
    EXPECT_EQ(server.Requests(1).at(0), "/cgi/u?op=hi&rv=2&");
}
