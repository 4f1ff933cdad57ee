// Network discovery against real peers: the simulator's Ethernet responder,
// loopback multicast responders, CZMQ beacons and hostile senders. Every case
// runs in its own private network namespace (scripts/netns-run.sh).
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <thread>

#include <czmq.h>

#include "Process.h"
#include "TempDir.h"
#include "aDiscovery.h"

namespace {

using Clock = std::chrono::steady_clock;
uint32_t Ip(const char* text) { return inet_addr(text); }

struct Found {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0; // 0: never stop
};
bool Collect(const linkSpec* spec, bool* found, void* reference) {
    auto* f = static_cast<Found*>(reference);
    f->specs.push_back(*spec);
    *found = true;
    return f->stopAfter == 0 || f->specs.size() < f->stopAfter;
}

// Runs a search; reports its duration in the log so the figures can be read off.
Found Search(linkType type, uint32_t interface, size_t stopAfter = 0, int* hits = nullptr) {
    Found f;
    f.stopAfter = stopAfter;
    const auto start = Clock::now();
    const int n = aDiscovery_EnumerateModules(type, Collect, &f, interface);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("search type %d stop %zu: %d hits in %lld ms\n", int(type), stopAfter, n, (long long)ms);
    EXPECT_EQ(size_t(n), f.specs.size());
    if (hits) *hits = n;
    return f;
}

std::string Record(linkType type, uint32_t serial, const char* ip, uint32_t port) {
    linkSpec s {};
    s.type = type, s.serial_num = serial, s.module = 4, s.model = 17, s.ip_address = Ip(ip), s.ip_port = port;
    return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

int Udp(uint32_t address, uint16_t port, bool reuse) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = reuse;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a {AF_INET, htons(port), {address}, {}};
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << port << ": " << strerror(errno);
    return fd;
}
void Join(int fd, const char* group, const char* interface) {
    ip_mreq m {{Ip(group)}, {Ip(interface)}};
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);
    in_addr out {Ip(interface)};
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
}
void SendTo(int fd, const std::string& bytes, uint32_t address, uint16_t port) {
    sockaddr_in to {AF_INET, htons(port), {address}, {}};
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// A peer thread answering each datagram on its socket; `tick` runs between polls.
class Peer {
public:
    using Answer = std::function<void(int fd, const std::string& datagram, const sockaddr_in& from)>;
    Peer(int fd, Answer answer, std::function<void()> tick = {})
        : fd_(fd), thread_([this, answer, tick] {
              while (!stop_) {
                  pollfd p {fd_, POLLIN, 0};
                  if (poll(&p, 1, 5) == 1) {
                      char buffer[2048];
                      sockaddr_in from {};
                      socklen_t length = sizeof from;
                      ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                      if (n >= 0) answer(fd_, std::string(buffer, size_t(n)), from);
                  }
                  if (tick) tick();
              }
          }) {}
    ~Peer() { stop_ = true, thread_.join(), close(fd_); }

private:
    int fd_;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

class DiscoveryNet : public ::testing::Test {
protected:
    void SetUp() override {
        // Refuse to multicast anywhere but in a namespace of our own.
        char self[128] = {};
        const char* marked = getenv("TARNIX_PRIVATE_NETNS");
        ASSERT_GT(readlink("/proc/self/ns/net", self, sizeof self - 1), 0);
        ASSERT_TRUE(marked && std::string(marked) == self) << "run under scripts/netns-run.sh";
    }
};

TEST_F(DiscoveryNet, EthernetAgainstTheSimulatorReportsEveryReply) {
    // The module hears the request sent through each of v0 and v1 (both ends
    // of the pair are ours, so let them accept our own addresses) and answers both.
    for (const char* conf : {"all", "v0", "v1"})
        testsupport::WriteFile(std::string("/proc/sys/net/ipv4/conf/") + conf + "/accept_local", "1");
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "sim.ini", "[module alpha]\nserial = 0x1234ABCD\nmodel = 17\naddress = 4\n"
                                            "[module beta]\nserial = 0x00C0FFEE\nmodel = 21\naddress = 6\n");
    testsupport::Background sim({TARNIX_SIM_BIN, "--discovery", "--bind", "10.77.0.1", "--control-port", "off",
                                 dir / "sim.ini"});
    ASSERT_NE(sim.WaitForLine("READY", std::chrono::seconds(20)), "");
    std::map<uint32_t, uint32_t> ports; // serial -> port
    ports[0x1234ABCD] = std::stoul(sim.output().substr(sim.output().find("alpha tcp 10.77.0.1:") + 20));
    ports[0x00C0FFEE] = std::stoul(sim.output().substr(sim.output().find("beta tcp 10.77.0.1:") + 19));

    Found all = Search(TCPIP, 0);
    ASSERT_EQ(all.specs.size(), 4u);
    std::multiset<std::pair<uint32_t, uint32_t>> from; // serial, sender
    for (const linkSpec& s : all.specs) {
        from.insert({s.serial_num, s.ip_address});
        EXPECT_EQ(s.type, TCPIP);
        EXPECT_EQ(s.ip_port, ports[s.serial_num]);
        EXPECT_EQ(s.router_serial_num, s.serial_num);
        EXPECT_EQ(s.module, s.serial_num == 0x1234ABCD ? 4u : 6u);
        EXPECT_EQ(s.router, s.module);
        EXPECT_EQ(s.model, s.serial_num == 0x1234ABCD ? 17u : 21u);
    }
    // Each request is answered from the module's own address, whichever
    // interface asked.
    EXPECT_EQ(from, (std::multiset<std::pair<uint32_t, uint32_t>> {{0x1234ABCD, Ip("10.77.0.1")}, {0x1234ABCD, Ip("10.77.0.1")},
                                                                   {0x00C0FFEE, Ip("10.77.0.1")}, {0x00C0FFEE, Ip("10.77.0.1")}}));
    EXPECT_EQ(Search(TCPIP, Ip("10.77.0.1")).specs.size(), 2u); // one interface, one request
    EXPECT_EQ(Search(TCPIP, 0, 1).specs.size(), 1u);

    linkSpec* beta = aDiscovery_FindModule(TCPIP, 0x00C0FFEE, Ip("127.0.0.1"));
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->ip_port, ports[0x00C0FFEE]);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&beta));
    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&first));
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0BADBAD0, 0), nullptr);
}

TEST_F(DiscoveryNet, EthernetSkipsBadRepliesKeepsDuplicatesAndEndsUnderAFlood) {
    const uint8_t reply[16] = {0, 8, 0x10, 0x27, 0x28, 0xA1, 0, 0, 0, 0, 0, 0, 22, 0, 0, 0};
    const std::string good(reinterpret_cast<const char*>(reply), 16);
    std::atomic<bool> flood {false};
    int out = Udp(INADDR_ANY, 0, false);
    int listener = Udp(INADDR_ANY, 9888, true);
    Join(listener, "232.2.2.2", "10.77.0.1");
    Peer module(listener, [&](int fd, const std::string&, const sockaddr_in& from) {
        for (const std::string& bytes : {std::string(), good.substr(0, 15), good + '\0', std::string(1000, 'x'), good, good})
            SendTo(fd, bytes, from.sin_addr.s_addr, 9889);
    }, [&] { if (flood) SendTo(out, good.substr(0, 15), Ip("10.77.0.1"), 9889); });

    Found f = Search(TCPIP, Ip("10.77.0.1"));
    ASSERT_EQ(f.specs.size(), 2u);
    EXPECT_EQ(0, memcmp(&f.specs[0], &f.specs[1], sizeof(linkSpec)));
    EXPECT_EQ(f.specs[0].serial_num, 0xA128u);
    EXPECT_EQ(f.specs[0].ip_port, 10000u);

    // Junk every few milliseconds never lets the 2 s quiet period come.
    flood = true;
    auto search = std::async(std::launch::async, [] { return Search(TCPIP, Ip("10.77.0.1")); });
    const bool ended = search.wait_for(std::chrono::milliseconds(aDISCOVERY_ETHERNET_LIMIT_MS + 3000)) ==
                       std::future_status::ready;
    flood = false;
    EXPECT_TRUE(ended) << "the search went on under a flood";
    EXPECT_EQ(search.get().specs.size(), 2u);
    close(out);
}

// A module stand-in on v0 that answers every request with `replies`, sent to
// the asker's reply port.
std::unique_ptr<Peer> AnsweringModule(std::vector<std::string> replies) {
    for (const char* conf : {"all", "v0", "v1"}) // requests through v1 come in on v0 from our own address
        testsupport::WriteFile(std::string("/proc/sys/net/ipv4/conf/") + conf + "/accept_local", "1");
    int listener = Udp(INADDR_ANY, aDISCOVERY_ETHERNET_REQUEST_PORT, true);
    Join(listener, aDISCOVERY_ETHERNET_GROUP, "10.77.0.1");
    return std::make_unique<Peer>(listener, [replies](int fd, const std::string&, const sockaddr_in& from) {
        for (const std::string& bytes : replies) SendTo(fd, bytes, from.sin_addr.s_addr, aDISCOVERY_ETHERNET_REPLY_PORT);
    });
}

std::string Reply(uint32_t serial) {
    uint8_t reply[16] = {0, 8, 0x10, 0x27};
    std::memcpy(reply + 4, &serial, 4);
    return std::string(reinterpret_cast<const char*>(reply), sizeof reply);
}

TEST_F(DiscoveryNet, EthernetNeverSharesTheReplyPort) {
    auto module = AnsweringModule({Reply(0xA1)});
    struct Case {
        const char* holder;
        const char* address; // the other program's bind address
        int option;          // the sharing it asks for
        int busy;            // interfaces not asked
    };
    const std::vector<Case> cases{
        {"nobody", nullptr, 0, 0},
        {"any address, SO_REUSEADDR", "0.0.0.0", SO_REUSEADDR, 2},
        {"any address, SO_REUSEPORT", "0.0.0.0", SO_REUSEPORT, 2},
        {"v0's address, SO_REUSEADDR", "10.77.0.1", SO_REUSEADDR, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holder);
        int holder = -1;
        if (c.address != nullptr) {
            holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(holder, SOL_SOCKET, c.option, &on, sizeof on);
            sockaddr_in a {AF_INET, htons(aDISCOVERY_ETHERNET_REPLY_PORT), {Ip(c.address)}, {}};
            ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
        }
        Found f;
        aDiscoveryEthernetReport report {};
        const int hits = aDiscovery_EnumerateEthernetModules(Collect, &f, 0, &report);
        EXPECT_EQ(report.portsBusy, c.busy);
        EXPECT_EQ(report.busyAddress != 0, c.busy != 0);
        if (c.busy == 1) {
            EXPECT_EQ(report.busyAddress, Ip("10.77.0.1"));
        }
        EXPECT_EQ(report.requests, 2 - c.busy);
        EXPECT_EQ(hits, 2 - c.busy) << "one reply for each request that went out";
        if (holder >= 0) {
            char datagram[64];
            EXPECT_EQ(recv(holder, datagram, sizeof datagram, MSG_DONTWAIT), -1) << "a reply reached the other program";
            close(holder);
        }
    }
}

TEST_F(DiscoveryNet, EthernetReportsAFixedNumberOfRepliesAtMost) {
    std::vector<std::string> replies;
    for (uint32_t serial = 1; serial <= aDISCOVERY_ETHERNET_MAX_REPLIES + 32; ++serial) replies.push_back(Reply(serial));
    auto module = AnsweringModule(replies);
    Found f;
    aDiscoveryEthernetReport report {};
    EXPECT_EQ(aDiscovery_EnumerateEthernetModules(Collect, &f, Ip("10.77.0.1"), &report), aDISCOVERY_ETHERNET_MAX_REPLIES);
    EXPECT_EQ(f.specs.size(), size_t(aDISCOVERY_ETHERNET_MAX_REPLIES));
    EXPECT_EQ(report.reported, aDISCOVERY_ETHERNET_MAX_REPLIES);
    EXPECT_EQ(report.overLimit, 32);
    EXPECT_EQ(f.specs.back().serial_num, uint32_t(aDISCOVERY_ETHERNET_MAX_REPLIES)) << "the first ones, in order";
}

// UDP datagrams for the server slots seen on lo, counted from a packet socket.
int CountSlotRequests(int capture) {
    int count = 0;
    char frame[2048];
    for (ssize_t n; (n = recv(capture, frame, sizeof frame, MSG_DONTWAIT)) > 0;) {
        auto* ip = reinterpret_cast<const iphdr*>(frame);
        auto* udp = reinterpret_cast<const udphdr*>(frame + ip->ihl * 4);
        if (ip->protocol == IPPROTO_UDP && ntohs(udp->dest) >= aDISCOVERY_LOCAL_REQUEST_PORT &&
            ntohs(udp->dest) < aDISCOVERY_LOCAL_REQUEST_PORT + aDISCOVERY_LOCAL_SLOTS) ++count;
    }
    return count;
}

TEST_F(DiscoveryNet, LoopbackWithNoServerSendsNothing) {
    int capture = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    sockaddr_ll lo {};
    lo.sll_family = AF_PACKET, lo.sll_protocol = htons(ETH_P_IP), lo.sll_ifindex = int(if_nametoindex("lo"));
    ASSERT_EQ(bind(capture, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    for (linkType type : {ZEPHYL, ZEPHYL_SERIAL}) EXPECT_EQ(Search(type, Ip("127.0.0.1")).specs.size(), 0u);
    EXPECT_EQ(aDiscovery_FindFirstModule(ZEPHYL_USB, 0), nullptr);
    EXPECT_EQ(CountSlotRequests(capture), 0);
    // The capture does see a request when one is sent.
    aMulticastSocket* s = aMulticast_Create(0, Ip(aDISCOVERY_LOCAL_GROUP), aDISCOVERY_LOCAL_REQUEST_PORT, true);
    EXPECT_EQ(aMulticast_Send(s, reinterpret_cast<const uint8_t*>("\xBA\xDC\xCD\xAB"), 4), 4);
    aMulticast_Destroy(&s);
    EXPECT_EQ(CountSlotRequests(capture), 1);
    close(capture);
}

TEST_F(DiscoveryNet, LoopbackAsksOccupiedSlotsAndSkipsHostileAnswers) {
    const std::string request = "\xBA\xDC\xCD\xAB";
    auto server = [&](int slot, std::vector<std::string> answers) {
        int fd = Udp(INADDR_ANY, uint16_t(aDISCOVERY_LOCAL_REQUEST_PORT + slot), false);
        Join(fd, aDISCOVERY_LOCAL_GROUP, "127.0.0.1");
        return std::make_unique<Peer>(fd, [=](int fd, const std::string& datagram, const sockaddr_in&) {
            if (datagram == request)
                for (const auto& a : answers) SendTo(fd, a, Ip(aDISCOVERY_LOCAL_GROUP), uint16_t(aDISCOVERY_LOCAL_RESPONSE_PORT + slot));
        });
    };
    const std::string first = Record(ZEPHYL_USB, 0x5101, "127.0.0.1", 40001);
    auto s0 = server(0, {first.substr(0, 127), Record(ZEPHYL_USB, 0x5105, "127.0.0.1", 1) + 'x', Record(SERIAL, 0x5102, "127.0.0.1", 40001),
                         Record(ZEPHYL_TCPIP, 0x5103, "10.77.0.1", 40001), first});
    auto s3 = server(3, {Record(ZEPHYL_TCPIP, 0x5104, "127.0.0.1", 40004)});
    auto s5 = server(5, {first});                    // the same server again: reported once
    auto s7 = server(7, {std::string(128, '\xFF')}); // only junk: the slot's second, no more

    Found all = Search(ZEPHYL, 0);
    ASSERT_EQ(all.specs.size(), 2u);
    EXPECT_EQ(0, memcmp(&all.specs[0], first.data(), 128));
    EXPECT_EQ(all.specs[1].serial_num, 0x5104u);
    EXPECT_EQ(all.specs[1].ip_port, 40004u);
    EXPECT_EQ(Search(ZEPHYL_TCPIP, Ip("127.0.0.1"), 1).specs.size(), 1u);
    linkSpec* found = aDiscovery_FindModule(ZEPHYL, 0x5104, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&found));
}

// A real CZMQ beacon publishing `payload` every 100 ms from 10.77.0.1.
zactor_t* Beacon(const std::string& payload) {
    EXPECT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.1"));
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* host = zstr_recv(beacon);
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(host, "10.77.0.1");
    zstr_free(&host);
    zsock_send(beacon, "sbi", "PUBLISH", payload.data(), payload.size(), 100);
    return beacon;
}

TEST_F(DiscoveryNet, BeaconsOfOneHundredTwentyEightBytesAreReportedOnce) {
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
    const std::string good = Record(ZEPHYL_TCPIP, 0xB128, "10.77.0.1", 40128);
    std::vector<zactor_t*> beacons;
    for (const std::string& p : {good.substr(0, 127), good + 'x', good, good, Record(USB, 0xB0B, "10.77.0.1", 1)})
        beacons.push_back(Beacon(p));
    // Raw beacons of any size, sent all the time.
    int raw = Udp(Ip("10.77.0.1"), 0, false);
    int on = 1;
    setsockopt(raw, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    size_t next = 0;
    const size_t sizes[] = {0, 1, 17, 127, 128, 129, 255, 256, 1500, 65000};
    Peer junk(Udp(Ip("10.77.0.1"), 0, false), [](int, const std::string&, const sockaddr_in&) {}, [&] {
        SendTo(raw, std::string(sizes[next++ % 10], '\x05'), Ip("10.77.0.255"), aDISCOVERY_BEACON_PORT);
    });

    Found f = Search(ZEPHYL, Ip("10.77.0.1"));
    ASSERT_EQ(f.specs.size(), 1u);
    EXPECT_EQ(0, memcmp(&f.specs[0], good.data(), 128));
    EXPECT_STREQ(zBeaconInterface_get(), "") << "the beacon interface is put back";
    struct sigaction sa {};
    sigaction(SIGINT, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL) << "Ctrl-C must still end the program";

    beacons.push_back(Beacon(Record(ZEPHYL_USB, 0xB129, "10.77.0.1", 40129)));
    EXPECT_EQ(Search(ZEPHYL_USB, Ip("10.77.0.1"), 1).specs.size(), 1u);
    linkSpec* found = aDiscovery_FindModule(ZEPHYL, 0xB129, Ip("10.77.0.1"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&found));
    EXPECT_EQ(aDiscovery_FindModule(ZEPHYL, 0xDEADDEAD, Ip("10.77.0.1")), nullptr);
    for (zactor_t* b : beacons) zactor_destroy(&b);
    close(raw);
}

TEST_F(DiscoveryNet, InterfacesAndMulticastSockets) {
    uint32_t addresses[50] = {};
    ASSERT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 50), 2);
    EXPECT_EQ(std::set<uint32_t>(addresses, addresses + 2), (std::set<uint32_t> {Ip("10.77.0.1"), Ip("10.77.0.2")}));
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 1), 1);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0);

    aMulticastSocket* in = aMulticast_Create(Ip("127.0.0.1"), Ip("224.0.0.7"), 9870, false);
    aMulticastSocket* out = aMulticast_Create(0, Ip("224.0.0.7"), 9870, true);
    ASSERT_TRUE(in && out);
    EXPECT_EQ(aMulticast_Create(0, Ip("224.0.0.7"), 9870, false), nullptr) << "a second receiver on the port";
    uint8_t buffer[8];
    EXPECT_EQ(aMulticast_Send(out, reinterpret_cast<const uint8_t*>("hello"), 5), 5);
    EXPECT_EQ(aMulticast_Receive(in, buffer, sizeof buffer), 5);
    EXPECT_EQ(aMulticast_Send(in, buffer, 1) + aMulticast_Receive(out, buffer, 1), -6);
    EXPECT_EQ(aMulticast_Destroy(&in) + aMulticast_Destroy(&out), 0);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&in) + aMulticast_Send(nullptr, buffer, 1), -4);
}

} // namespace
