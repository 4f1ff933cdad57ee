// Sharing a module through the networked-link server: a simulated module over
// TCP/IP, the server in another process or in this one, and as clients the
// product's client link (another process, and threads here) and an independent
// ZeroMQ client in Python. The executable runs inside a private network
// namespace, so fixed ports and the server's discovery answers stay in it.
#include <arpa/inet.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "FuzzReplay.h"
#include "TempDir.h"
#include "SimHarness.h"
#include "aServerRouter.h"
#include "ServerFuzzTarget.h"
#include "aLink.h"
#include "aServer.h"
#include "aShareKeys.h"

using namespace simtest;

namespace {

const char* kConfig = R"([module bench]
serial = 0x1234ABCD
model = 17
address = 4
name = Bench A
stream_interval_ms = 20
)";
constexpr uint32_t kSerial = 0x1234ABCD;
constexpr const char* kControlPort = "47001"; // private namespace: nobody else's

// Every process of this test (servers, clients, this one) keeps its key files
// in one directory of its own, made before any of them starts.
struct KeyHome {
    testsupport::TempDir dir;
    KeyHome() { setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }
    std::string keys() const { return dir / "tarnix/share"; }
};
const KeyHome kKeyHome;

// "tarnix-share --keys" as a user runs it before serving on the network.
void MakeKeys() {
    auto r = testsupport::Run({TARNIX_SHARE_BIN, "--keys"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// The Z85 public key of a certificate file.
std::string PublicKey(const std::string& path) {
    const std::string text = testsupport::ReadFile(path);
    const size_t at = text.find("public-key = \"");
    return at == std::string::npos ? "" : text.substr(at + 14, 40);
}

const std::vector<std::string> kOtherUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

std::string Field(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        if (word == key && in >> word) return word;
    return "";
}

// The module simulator and a sharing process (share_peer host) in front of it.
class SharedModule : public ::testing::Test {
protected:
    void SetUp() override { Start(true); }
    void Start(bool localOnly) {
        if (!localOnly) MakeKeys();
        ASSERT_TRUE(sim_.ready());
        std::vector<std::string> argv{SHARE_PEER_BIN, "host", std::to_string(kSerial), std::to_string(sim_.port("bench"))};
        if (!localOnly) argv.push_back("network");
        host_ = std::make_unique<testsupport::Background>(argv);
        ASSERT_FALSE(host_->WaitForLine("READY", 20000ms).empty()) << host_->output();
        port_ = Field(host_->output(), "PORT");
        address_ = Field(host_->output(), "ADDRESS");
    }
    void TearDown() override {
        if (host_) {
            EXPECT_EQ(host_->Stop(SIGTERM), 0) << host_->output();
        }
    }

    Sim sim_{kConfig, {"--control-port", kControlPort}};
    std::unique_ptr<testsupport::Background> host_;
    std::string port_, address_;
};

class DealerCase : public SharedModule, public ::testing::WithParamInterface<std::string> {};

// The independent client's cases (dealer_client.py says what each checks).
TEST_P(DealerCase, IndependentZeroMQClient) {
    auto r = testsupport::Run({PYTHON3, SHARE_TEST_DIR "/dealer_client.py", GetParam(), port_,
                               std::to_string(sim_.port("bench")), kControlPort, "4"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << sim_.log();
    EXPECT_NE(r.out.find("OK " + GetParam()), std::string::npos) << r.out;
    if (GetParam() == "route_control") {
        // The client's route-off never reached the module (the link sends one only when it stops).
        EXPECT_EQ(sim_.log().find("rx AF 01 00"), std::string::npos) << sim_.log();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DealerCase,
                         ::testing::Values("interleaved", "sizes", "route_control", "no_reply", "byte_transfer",
                                           "hostile", "streaming", "discovery"));

// A server that is not local-only serves on the namespace's first interface and
// answers beacons there.
class NetworkServer : public SharedModule {
protected:
    void SetUp() override { Start(false); }
};

TEST_F(NetworkServer, AnswersBeaconsOnItsInterface) {
    EXPECT_NE(address_, "127.0.0.1");
    testsupport::RunOptions options;
    options.env["SERVER_ADDRESS"] = address_;
    auto r = testsupport::Run({PYTHON3, SHARE_TEST_DIR "/dealer_client.py", "beacons", port_,
                               std::to_string(sim_.port("bench")), kControlPort, "4"},
                              options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Two other processes reach the module at once through the product's client link.
TEST_F(SharedModule, ClientLinksInOtherProcesses) {
    testsupport::RunResult results[2];
    std::thread second([&] { results[1] = testsupport::Run({SHARE_PEER_BIN, "client", port_, "20"}); });
    results[0] = testsupport::Run({SHARE_PEER_BIN, "client", port_, "20"});
    second.join();
    for (const auto& r : results) {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        size_t count = 0;
        for (size_t at = 0; (at = r.out.find("address 4 model 17 serial 1234ABCD\n", at)) != std::string::npos; ++at)
            count++;
        EXPECT_EQ(count, 20u) << r.out;
    }
}

// In this process: the link table, the server and client links in threads.
class InProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.ready());
        link_ = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim_.port("bench"));
        ASSERT_NE(link_, 0u);
    }
    void TearDown() override {
        if (served_ != 0) {
            EXPECT_EQ(aErrNone, aLink_Destroy(&served_));
        } else if (link_ != 0) {
            EXPECT_EQ(aErrNone, aLink_Destroy(&link_));
        }
    }
    aLinkId Serve() {
        uint16_t port = 0;
        uint32_t address = 0;
        served_ = aLink_CreateServer(link_, &port, &address, true);
        port_ = port;
        address_ = address;
        return served_;
    }
    static std::optional<Bytes> Ask(aLinkId link, const Bytes& data) {
        aPacket* packet = aPacket_CreateWithData(4, static_cast<uint32_t>(data.size()), data.data());
        const aErr err = aLink_PutPacket(link, packet);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&packet));
        aPacket* reply = err == aErrNone ? aLink_AwaitPacket(link, 5000) : nullptr;
        if (reply == nullptr) return std::nullopt;
        Bytes b(reply->data, reply->data + reply->dataSize);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&reply));
        return b;
    }

    Sim sim_{kConfig, {"--control-port", kControlPort}};
    aLinkId link_ = 0, served_ = 0;
    uint16_t port_ = 0;
    uint32_t address_ = 0;
};

TEST_F(InProcess, ClientThreadsGetTheirOwnRepliesAndTheServedLinkGoesWithTheClient) {
    ASSERT_NE(Serve(), 0u);
    EXPECT_EQ(address_, htonl(INADDR_LOOPBACK));
    // While served, the module is reached only through the server.
    EXPECT_EQ(aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim_.port("bench")), 0u);

    const Bytes options[] = {{3, 0x49, 0x20}, {3, 0x48, 0x20}, {3, 0x42, 0x20}};
    const Bytes replies[] = {{3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}, {3, 8, 0, 17}, {3, 2, 0, 0}};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            aLinkId client = aLink_CreateClient(address_, port_, 0);
            for (int i = 0; i < 30; ++i)
                if (client == 0 || Ask(client, options[t]) != replies[t]) wrong++;
            EXPECT_EQ(aErrNone, aLink_Destroy(&client));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);

    EXPECT_EQ(aErrNone, aLink_Destroy(&served_));
    EXPECT_EQ(aLink_GetStatus(link_), linkNoStream) << "the served link is gone with its client";
    link_ = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim_.port("bench"));
    EXPECT_NE(link_, 0u) << "the module can be opened directly again";
}

// Servers made and torn down one after another on one link: a new server
// often lands at the address of the one just freed, while ZeroMQ may not yet
// have released that one's in-process endpoints.
TEST_F(InProcess, ServersMadeOneAfterAnotherEachStart) {
    for (int cycle = 0; cycle < 300; ++cycle) {
        aServer* server = aServer_Create(link_, htonl(INADDR_LOOPBACK), true);
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(aServer_Start(server), aErrNone) << "cycle " << cycle;
        ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    }
}

TEST_F(InProcess, AModuleThatStopsAnswering) {
    // No server is made for a module that does not answer, and the caller keeps its link.
    EXPECT_EQ(sim_.control("fault bench drop_replies always").substr(0, 2), "ok");
    EXPECT_EQ(Serve(), 0u);
    EXPECT_EQ(aLink_GetStatus(link_), linkRunning);
    EXPECT_EQ(sim_.control("clear bench").substr(0, 2), "ok");
    ASSERT_NE(Serve(), 0u);

    // The module falls silent with requests in flight: the server is torn down regardless.
    EXPECT_EQ(sim_.control("fault bench drop_replies always").substr(0, 2), "ok");
    aLinkId client = aLink_CreateClient(address_, port_, 0);
    ASSERT_NE(client, 0u);
    aPacket* packet = aPacket_CreateWithData(4, 3, Bytes{3, 0x49, 0x20}.data());
    EXPECT_EQ(aLink_PutPacket(client, packet), aErrNone);
    EXPECT_EQ(aLink_PutPacket(served_, packet), aErrNone);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&packet));
    EXPECT_TRUE(sim_.waitForLog("rx 04 03 03 49 20"));
    EXPECT_EQ(aErrNone, aLink_Destroy(&client));
    EXPECT_EQ(aErrNone, aLink_Destroy(&served_));
    link_ = 0;
}

// The server's exchanges with the module, step by step: what goes to the
// module when, and which replies each request is reported with.
struct ExchangeStep {
    char kind;              // 'r' request, 'm' packet from the module, 't' time passes (ms)
    std::vector<uint8_t> bytes;
    std::vector<std::string> sent;     // requests that go out after this step (hex)
    std::vector<std::string> outcomes; // outcomes reported after it: replies joined by '+', "-" none
};

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof(two), "%02x", b);
        text += two;
    }
    return text;
}

void RunExchanges(const std::vector<ExchangeStep>& steps) {
    aServerExchanges exchanges;
    uint64_t now = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const ExchangeStep& step = steps[i];
        aPacket packet;
        if (step.kind == 'r') {
            ASSERT_TRUE(exchanges.add(step.bytes.data(), step.bytes.size()));
        } else if (step.kind == 'm') {
            ASSERT_TRUE(aServer_ParsePacketFrame(step.bytes.data(), step.bytes.size(), &packet));
            exchanges.fromModule(packet, now);
        } else {
            now += step.bytes[0] * 100u;
        }
        exchanges.expire(now);
        std::vector<std::string> sent, outcomes;
        aServerExchanges::Frame frame;
        while (exchanges.nextToSend(&frame, now)) sent.push_back(Hex(frame));
        std::vector<aServerExchanges::Frame> replies;
        while (exchanges.nextOutcome(&replies)) {
            std::string joined = replies.empty() ? "-" : "";
            for (const auto& r : replies) joined += (joined.empty() ? "" : "+") + Hex(r);
            outcomes.push_back(joined);
        }
        EXPECT_EQ(sent, step.sent) << "step " << i;
        EXPECT_EQ(outcomes, step.outcomes) << "step " << i;
    }
}

// 04: the module. Gets: 3,0x49 (serial) and 3,0x48 (model); sets 3,0xA0.
TEST(ServerExchanges, RepliesGoToTheRequestThatAskedInOrder) {
    struct Case {
        const char* what;
        std::vector<ExchangeStep> steps;
    };
    const std::vector<Case> cases = {
        {"different gets are outstanding together; replies in any order are reported in request order",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"04030349" "20"}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'m', {4, 4, 3, 0x08, 0, 17}, {}, {}},
          {'m', {4, 7, 3, 0x09, 0, 0x12, 0x34, 0xAB, 0xCD}, {}, {"0407030900" "1234abcd", "0404030800" "11"}}}},
        {"the same get twice is outstanding twice: first reply to the first",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'m', {4, 4, 3, 0x09, 0, 1}, {}, {"0404030900" "01"}},
          {'m', {4, 4, 3, 0x09, 0, 2}, {}, {"0404030900" "02"}}}},
        {"two sets of one option with other values wait for each other",
         {{'r', {4, 4, 3, 0xA0, 0x20, 1}, {"04040" "3a02001"}, {}},
          {'r', {4, 4, 3, 0xA0, 0x20, 2}, {}, {}},
          {'m', {4, 3, 3, 0xE0, 0}, {"04040" "3a02002"}, {"040303e000"}},
          {'m', {4, 3, 3, 0xE0, 0}, {}, {"040303e000"}}}},
        {"a store request goes alone and takes whatever comes; later requests wait for it",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'r', {4, 2, 4, 1}, {}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {}, {}},
          {'m', {4, 4, 3, 0x09, 0, 1}, {"04020401"}, {"0404030900" "01"}},
          {'m', {4, 3, 4, 1, 7}, {"0403034820"}, {"0403040107"}}}},
        {"a request the module never answers is reported without a reply after 2 s; its late reply is dropped",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'m', {4, 4, 3, 0x08, 0, 17}, {}, {}},
          {'t', {19}, {}, {}},
          {'t', {1}, {}, {"-", "0404030800" "11"}},
          {'m', {4, 4, 3, 0x09, 0, 1}, {}, {}}}},
        {"a slow module: each request waits its full time from when the one before it was answered",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'t', {19}, {}, {}},
          {'m', {4, 4, 3, 0x09, 0, 1}, {}, {"0404030900" "01"}},
          {'t', {15}, {}, {}},
          {'m', {4, 4, 3, 0x08, 0, 17}, {}, {"0404030800" "11"}}}},
        {"a byte sequence stays with its request until its last packet",
         {{'r', {4, 3, 3, 0x60, 0x20}, {"0403036020"}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'m', {4, 28, 3, 0x20, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 0x80}, {}, {}},
          {'m', {4, 5, 3, 0x20, 0, 9, 0x01}, {}, {"041c032000" "0102030405060708090a0b0c0d0e0f101112131415161718" "80+0405032000" "0901"}}}},
        {"packets with another key, and replies to nobody, are dropped; an error reply or one echoing the "
         "get flag still answers",
         {{'m', {4, 4, 3, 0x09, 0, 1}, {}, {}},
          {'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'m', {6, 4, 3, 0x09, 0, 9}, {}, {}},
          {'m', {4, 4, 3, 0x09, 0x80, 7}, {}, {"0404030980" "07"}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'m', {4, 4, 3, 0x48, 0x20, 17}, {}, {"0404034820" "11"}}}},
        {"a packet without a key answers the one request waiting, and nobody when several wait",
         {{'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'m', {4, 1, 3}, {}, {"040103"}},
          {'r', {4, 3, 3, 0x49, 0x20}, {"0403034920"}, {}},
          {'r', {4, 3, 3, 0x48, 0x20}, {"0403034820"}, {}},
          {'m', {4, 1, 3}, {}, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunExchanges(c.steps);
    }
}

TEST(ServerFrames, FuzzSeedsReplaySafely) {
    size_t count = 0;
    for (const char* dir : {FUZZ_DIR "/corpus/server", FUZZ_DIR "/crashes/server"})
        count += testsupport::ReplayFuzzInputs(dir, FuzzServerFrames);
    EXPECT_GE(count, 5u);
}

// The example program as a user runs it: one process shares the simulated
// module; another finds it by its serial number (loopback multicast) and
// streams, while a third reaches it by the server's address, streams a little
// and stops streaming, which must not stop the first one's stream.
TEST(SharingProgram, ServesUntilStoppedWhileOtherProcessesReachTheModule) {
    Sim sim{kConfig, {"--control-port", kControlPort}};
    ASSERT_TRUE(sim.ready());
    testsupport::Background host({TARNIX_SHARE_BIN, "tcp:127.0.0.1:" + std::to_string(sim.port("bench"))});
    const std::string line = host.WaitForLine("sharing module 0x1234ABCD", 20000ms);
    ASSERT_FALSE(line.empty()) << host.output();
    const std::string port = Field(line, "port");

    // 200 samples take the simulator about a second (four options every 20 ms).
    testsupport::Background first({TARNIX_SHARE_BIN, "--client", "0x1234ABCD", "--stream", "200"});
    ASSERT_FALSE(first.WaitForLine("sample 1:", 10000ms).empty()) << first.output();
    EXPECT_NE(first.output().find("reached module 0x1234ABCD (address 4) through the server at 127.0.0.1 port " + port),
              std::string::npos) << first.output();

    auto second = testsupport::Run({TARNIX_SHARE_BIN, "--client", "net:127.0.0.1:" + port, "--stream", "3"});
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_NE(second.out.find("reached module 0x1234ABCD (address 4)"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("sample 3:"), std::string::npos) << second.out;

    EXPECT_FALSE(first.WaitForLine("received 200 stream samples", 15000ms).empty()) << first.output();
    // It ends by itself once it has its samples (signal 0 only waits).
    EXPECT_EQ(first.Stop(0, 15000ms), 0) << first.output();

    EXPECT_EQ(host.Stop(SIGINT), 0) << host.output();
    EXPECT_NE(host.output().find("tarnix-share: stopped"), std::string::npos) << host.output();
    // Gone with the sharing process: no server answers for the module any more.
    auto gone = testsupport::Run({TARNIX_SHARE_BIN, "--client", "0x1234ABCD", "--stream", "0"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("no server shares 0x1234ABCD"), std::string::npos) << gone.err;
}

// Not local-only: the program serves on the namespace's interface, and a client
// that listens for beacons there finds it by its serial number.
TEST(SharingProgram, ServesOnTheNetworkAndIsFoundByItsBeacons) {
    Sim sim{kConfig, {"--control-port", kControlPort}};
    ASSERT_TRUE(sim.ready());
    MakeKeys();
    testsupport::Background host(
        {TARNIX_SHARE_BIN, "--network", "tcp:127.0.0.1:" + std::to_string(sim.port("bench"))});
    const std::string line = host.WaitForLine("sharing module 0x1234ABCD", 20000ms);
    ASSERT_FALSE(line.empty()) << host.output();
    const std::string address = Field(line, "on");
    EXPECT_NE(address, "127.0.0.1") << line;
    EXPECT_NE(line.find("announced by beacons"), std::string::npos) << line;
    auto client = testsupport::Run({TARNIX_SHARE_BIN, "--client", "0x1234ABCD", "--interface", address, "--stream", "4"});
    EXPECT_EQ(client.status, 0) << client.out << client.err;
    EXPECT_NE(client.out.find("through the server at " + address + " port " + Field(line, "port")), std::string::npos)
        << client.out;
    EXPECT_NE(client.out.find("received 4 stream samples"), std::string::npos) << client.out;
    EXPECT_EQ(host.Stop(SIGTERM), 0) << host.output();
}

// Who a server lets in: the owner's clients only, for a local-only server, and
// the allowed keys besides for a network server. Other users and keys, and
// clients without security, get nothing from the module.
struct AccessCase {
    const char* what;
    bool network;
    bool otherUser;
    const char* client; // "link": the product's client link; else CLIENT_KEYS of dealer_client.py
    bool answered;
};

class Access : public SharedModule, public ::testing::WithParamInterface<AccessCase> {
protected:
    void SetUp() override {
        if (std::string(GetParam().client) == "allowed") AllowGuest();
        Start(!GetParam().network);
    }
    // A key pair of another machine's user whose public key the owner allowed.
    void AllowGuest() {
        MakeKeys();
        auto r = testsupport::Run({PYTHON3, "-c", "import sys, zmq.auth; zmq.auth.create_certificates(sys.argv[1], 'guest')",
                                   guest_.path()});
        ASSERT_EQ(r.status, 0) << r.err;
        std::filesystem::copy_file(guest_ / "guest.key", kKeyHome.keys() + "/allowed/guest.key",
                                   std::filesystem::copy_options::overwrite_existing);
    }
    testsupport::TempDir guest_;
};

TEST_P(Access, OnlyTheAllowedClientsReachTheModule) {
    const AccessCase& c = GetParam();
    std::vector<std::string> argv = c.otherUser ? kOtherUser : std::vector<std::string>{};
    testsupport::RunOptions options;
    if (std::string(c.client) == "link") {
        argv.insert(argv.end(), {SHARE_PEER_BIN, "client", port_, "1"});
    } else {
        argv.insert(argv.end(), {PYTHON3, SHARE_TEST_DIR "/dealer_client.py", "access", port_,
                                 std::to_string(sim_.port("bench")), kControlPort, "4"});
        const std::string which = c.client;
        options.env["CLIENT_KEYS"] = which == "allowed" ? guest_ / "guest.key_secret" : which;
        // What any user may learn of a server: its public key.
        options.env["SERVER_KEY"] = PublicKey(kKeyHome.keys() + "/server.key");
        options.env["SERVER_ADDRESS"] = address_;
        options.env["EXPECT"] = c.answered ? "answered" : "refused";
    }
    auto r = testsupport::Run(argv, options);
    if (std::string(c.client) == "link") {
        EXPECT_EQ(r.status == 0, c.answered) << r.out << r.err;
    } else {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clients, Access,
    ::testing::Values(AccessCase{"owner", false, false, "owner", true},
                      AccessCase{"owner_link", false, false, "link", true},
                      AccessCase{"other_user_knowing_the_server_key", false, true, "fresh", false},
                      AccessCase{"other_user_link", false, true, "link", false},
                      AccessCase{"no_security", false, false, "none", false},
                      AccessCase{"network_owner", true, false, "owner", true},
                      AccessCase{"network_allowed_key", true, false, "allowed", true},
                      AccessCase{"network_key_not_allowed", true, false, "fresh", false},
                      AccessCase{"network_no_security", true, false, "none", false}),
    [](const ::testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.what); });

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) n++;
    return n;
}

// Clients flooding requests nobody answers do not hold up one that asks one
// thing at a time (dealer_client.py checks each answer comes within two reply
// waits), and what they queued stops reaching the module within 5 s of their
// leaving.
TEST_F(SharedModule, FloodingClientsShareTheLinkAndTheirQueuesGoWithThem) {
    auto r = testsupport::Run({PYTHON3, SHARE_TEST_DIR "/dealer_client.py", "fairness", port_,
                               std::to_string(sim_.port("bench")), kControlPort, "4"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::this_thread::sleep_for(5s);
    const size_t after5s = Count(sim_.log(), " rx 08 ");
    EXPECT_GT(after5s, 0u) << "the flood reached the module";
    std::this_thread::sleep_for(4s); // two reply waits more
    EXPECT_EQ(Count(sim_.log(), " rx 08 "), after5s) << "requests of clients that left still go to the module";
}

// The server's peak resident memory, in KiB.
long PeakRssKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Frames of 1 MiB are refused from their header: the server's peak memory
// stays where it was, and it goes on answering.
TEST_F(SharedModule, HugeFramesAreRefusedWithoutBeingBuffered) {
    // The same connections with frames that are merely too long first, so
    // that what they cost is in the peak already.
    auto run = [&](const char* frameSize) {
        testsupport::RunOptions options;
        options.env["FRAME_SIZE"] = frameSize;
        auto r = testsupport::Run({PYTHON3, SHARE_TEST_DIR "/dealer_client.py", "big_frame", port_,
                                   std::to_string(sim_.port("bench")), kControlPort, "4"},
                                  options);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    };
    run("31");
    const long before = PeakRssKiB(host_->pid());
    ASSERT_GT(before, 0);
    run("1048576");
    // Four frames held would take 4 MiB (twice that decrypted); the checker
    // build alone adds some noise.
    EXPECT_LT(PeakRssKiB(host_->pid()) - before, 2048) << "four 1 MiB frames were sent";
}

// tarnix-share's security switches as a user meets them: a network server
// without its key files does not start (and says how to make them); the
// insecure switch serves anyone, with a warning.
TEST(SharingProgram, NetworkServingNeedsKeysAndInsecureWarns) {
    Sim sim{kConfig, {"--control-port", kControlPort}};
    ASSERT_TRUE(sim.ready());
    const std::string module = "tcp:127.0.0.1:" + std::to_string(sim.port("bench"));
    testsupport::TempDir empty;
    testsupport::RunOptions noKeys;
    noKeys.env["XDG_CONFIG_HOME"] = empty.path();
    testsupport::TempDir open;
    std::filesystem::create_directories(open / "tarnix/share");
    chmod((open / "tarnix/share").c_str(), 0755);
    testsupport::RunOptions openKeys;
    openKeys.env["XDG_CONFIG_HOME"] = open.path();
    const struct {
        std::vector<std::string> argv;
        const testsupport::RunOptions& options;
        const char* says;
    } refusals[] = {
        {{TARNIX_SHARE_BIN, "--network", module}, noKeys, "run tarnix-share --keys"},
        {{TARNIX_SHARE_BIN, module}, openKeys, "open to other users"},
    };
    for (const auto& refusal : refusals) {
        auto refused = testsupport::Run(refusal.argv, refusal.options);
        EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
        EXPECT_NE(refused.err.find(refusal.says), std::string::npos) << refused.err;
    }
    EXPECT_EQ(sim.log().find(" rx 04 "), std::string::npos) << "the module was opened";

    testsupport::Background host({TARNIX_SHARE_BIN, "--insecure", module}, noKeys);
    const std::string line = host.WaitForLine("sharing module 0x1234ABCD", 20000ms);
    ASSERT_FALSE(line.empty()) << host.output();
    testsupport::RunOptions plain;
    plain.env["CLIENT_KEYS"] = "none";
    plain.env["EXPECT"] = "answered";
    auto r = testsupport::Run({PYTHON3, SHARE_TEST_DIR "/dealer_client.py", "access", Field(line, "port"),
                               std::to_string(sim.port("bench")), kControlPort, "4"},
                              plain);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(host.Stop(SIGTERM), 0);
    EXPECT_TRUE(std::filesystem::is_empty(empty.path())) << "no key files are made when security is off";
}

// Key files that others could read, replace or plant are never used; a pair is
// made once and then kept.
TEST(ShareKeys, UnsafeKeyFilesAreRefused) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const std::string& keys, const std::string& elsewhere)> spoil;
        aErr want;
    };
    const std::vector<Case> cases = {
        {"kept as made", [](const std::string&, const std::string&) {}, aErrNone},
        {"secret readable by the group",
         [](const std::string& k, const std::string&) { chmod((k + "/server.key_secret").c_str(), 0640); }, aErrPermission},
        {"directory open to others", [](const std::string& k, const std::string&) { chmod(k.c_str(), 0755); },
         aErrPermission},
        {"secret owned by another user",
         [](const std::string& k, const std::string&) { ASSERT_EQ(chown((k + "/server.key_secret").c_str(), 65534, 65534), 0); },
         aErrPermission},
        {"secret is a link to a good one",
         [](const std::string& k, const std::string& e) {
             fs::rename(k + "/server.key_secret", e + "/moved");
             fs::create_symlink(e + "/moved", k + "/server.key_secret");
         },
         aErrPermission},
        {"directory is a link",
         [](const std::string& k, const std::string& e) {
             fs::rename(k, e + "/real");
             fs::create_symlink(e + "/real", k);
         },
         aErrPermission},
        {"secret holds no key", [](const std::string& k, const std::string&) { testsupport::WriteFile(k + "/server.key_secret", "x"); },
         aErrParse},
        {"missing (a network server does not make one)",
         [](const std::string& k, const std::string&) { fs::remove_all(k); }, aErrNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir home, elsewhere;
        const std::string keys = home / "tarnix/share";
        aSharePair made, loaded;
        ASSERT_EQ(aShareKeys_LoadPair(keys, aSHARE_SERVER_CERT, 0, true, &made, nullptr), aErrNone);
        c.spoil(keys, elsewhere.path());
        std::string why;
        EXPECT_EQ(aShareKeys_LoadPair(keys, aSHARE_SERVER_CERT, 0, false, &loaded, &why), c.want) << why;
        if (c.want == aErrNone) EXPECT_TRUE(loaded.publicKey == made.publicKey && loaded.secretKey == made.secretKey);
        else EXPECT_FALSE(why.empty());
    }
}

} // namespace
