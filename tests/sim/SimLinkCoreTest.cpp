// End to end with the project's own link core: the whole upgrade sequence over
// TCP/IP and over the pty, by hand, then the new version read back.
#include <arpa/inet.h>

#include <map>

#include "UpgradeSteps.h"
#include "aLink.h"
#include "aUEI.h"
#include "aVersion.h"

namespace simtest {
namespace {

const char* kModules = R"(
[module net]
serial = 0x5EED0001
model = 17
address = 4
version = 2.15.3
build = 100
heartbeat_ms = 100
flash_base = 0x08000000
flash_size = 0x4000
reboot_ms = 100
# Stays down until revived, so the link core cannot reconnect before it saw the drop.
fault.no_return_after_reboot = 1

[module wire]
serial = 0x5EED0002
model = 18
address = 6
version = 2.11.0
build = 200
transport = pty
flash_base = 0x08000000
flash_size = 0x4000
reboot_ms = 100
)";

struct Match {
    uint8_t address;
    Bytes prefix;
};

bool MatchFilter(const aPacket* p, void* reference) {
    auto* m = static_cast<Match*>(reference);
    if (p->address != m->address || p->dataSize < m->prefix.size()) return false;
    return std::equal(m->prefix.begin(), m->prefix.end(), p->data);
}

// One link-core link and request/reply exchanges over it.
class CoreLink {
public:
    explicit CoreLink(aLinkId id) : id_(id) {}
    ~CoreLink() {
        if (id_) (void)aLink_Destroy(&id_); /* teardown helper: the link may have gone with a failed test */
    }
    bool running(std::chrono::milliseconds bound = kReplyWait) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (aLink_GetStatus(id_) == linkRunning) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    bool leftRunning(std::chrono::milliseconds bound = kReplyWait) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (aLink_GetStatus(id_) != linkRunning) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Puts a packet and awaits the first reply starting with `prefix` (none: empty).
    Bytes exchange(uint8_t address, const Bytes& data, const Bytes& prefix) {
        aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
        EXPECT_EQ(aLink_PutPacket(id_, p), aErrNone);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
        if (prefix.empty()) return {};
        Match m{address, prefix};
        aPacket* r = aLink_AwaitFirst(id_, MatchFilter, &m, 5000);
        if (!r) return {};
        Bytes out(r->data, r->data + r->dataSize);
        EXPECT_EQ(aErrNone, aPacket_Destroy(&r));
        return out;
    }
    uint32_t get32(uint8_t address, uint8_t option) {
        Bytes r = exchange(address, Get(3, option), {3, option, 0});
        return r.size() == 7 ? aUEI_RetrieveInt(r.data() + 3) : 0;
    }

    // The upgrade of a module: loader, firmware chunks with sums and writes, reboot.
    void upgrade(uint8_t a, const Bytes& loader, const Bytes& image) {
        EXPECT_EQ(exchange(a, {95, 0}, {95, 0}).size(), 6u);
        EXPECT_EQ(exchange(a, Cat({95, 3, 0}, Be32(kLoaderAddress)), {95, 7}), (Bytes{95, 7, 0, 2, 0}));
        sendBlock(a, loader);
        EXPECT_EQ(exchange(a, {95, 2}, {95, 2}), (Bytes{95, 2}));
        EXPECT_EQ(exchange(a, Cat({95, 3, 1}, Be32(kFlashBase)), {95, 7}), (Bytes{95, 7, 0, 2, 0}));
        for (size_t at = 0; at < image.size(); at += 512) {
            Bytes chunk(image.begin() + at, image.begin() + std::min(image.size(), at + 512));
            sendBlock(a, chunk);
            EXPECT_EQ(exchange(a, {95, 5, uint8_t(chunk.size() >> 8), uint8_t(chunk.size())}, {95, 7}),
                      (Bytes{95, 7, 0}));
        }
        exchange(a, {95, 6}, {});
    }

private:
    void sendBlock(uint8_t a, const Bytes& block) {
        for (size_t at = 0; at < block.size(); at += 26) {
            size_t n = std::min<size_t>(26, block.size() - at);
            Bytes r = exchange(a, Cat({95, 1}, Bytes(block.begin() + at, block.begin() + at + n)), {95, 1});
            ASSERT_EQ(r, (Bytes{95, 1, static_cast<uint8_t>(n)}));
        }
        EXPECT_EQ(exchange(a, {95, 4}, {95, 7}), Cat({95, 7, 0}, Be32(Sum(block))));
    }
    aLinkId id_;
};

TEST(SimLinkCore, UpgradeOverTcpIpThenReconnectAndReadTheNewVersion) {
    Sim sim(kModules);
    ASSERT_TRUE(sim.ready());
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const Bytes image = FirmwareImage(1500, aVersion_Pack(2, 16, 1), 101, 0x5EED0001);
    {
        CoreLink link(aLink_CreateTCPIP(0x5EED0001, loopback, sim.port("net")));
        ASSERT_TRUE(link.running());
        EXPECT_EQ(link.get32(4, 7), aVersion_Pack(2, 15, 3));
        link.upgrade(4, Loader(), image);
        // The reboot drops the link as the link core sees it.
        EXPECT_TRUE(link.leftRunning());
    }
    EXPECT_EQ(sim.control("revive net"), "ok");
    ASSERT_TRUE(sim.waitForLog("net: booted the written image"));
    // The link core's engine answers the module's heartbeats on the new link.
    CoreLink again(aLink_CreateTCPIP(0x5EED0001, loopback, sim.port("net")));
    ASSERT_TRUE(again.running());
    EXPECT_EQ(again.get32(4, 7), aVersion_Pack(2, 16, 1));
    EXPECT_EQ(again.get32(4, 43), 101u);
    EXPECT_EQ(again.get32(4, 9), 0x5EED0001u);
    EXPECT_TRUE(sim.waitForLog("net: heartbeat 0 answered by the host"));
}

TEST(SimLinkCore, UpgradeOverThePtyThenReadTheNewVersion) {
    Sim sim(kModules);
    ASSERT_TRUE(sim.ready());
    const Bytes image = FirmwareImage(900, aVersion_Pack(2, 12, 7), 201, 0x5EED0002);
    CoreLink link(aLink_CreateSerial(0x5EED0002, sim.pty("wire").c_str(), 115200));
    ASSERT_TRUE(link.running());
    EXPECT_EQ(link.exchange(6, {23, 1, 2, 3}, {23}), (Bytes{23, 1, 2, 3}));
    // A full-size packet (28 data bytes, zeros inside) both ways through the framing.
    Bytes echo{23};
    for (uint8_t i = 0; i < 27; ++i) echo.push_back(i % 4 ? i : 0);
    EXPECT_EQ(link.exchange(6, echo, {23}), echo);
    link.upgrade(6, Loader(), image);
    // A serial line cannot drop: the module is silent while it reboots, then
    // answers with what it now runs.
    ASSERT_TRUE(sim.waitForLog("wire: booted the written image"));
    EXPECT_EQ(link.get32(6, 7), aVersion_Pack(2, 12, 7));
    EXPECT_EQ(link.get32(6, 43), 201u);
}

const char* kRouter = R"(
[module router]
serial = 0x7000000A
model = 4
address = 4

[module left]
router = router
i2c_address = 0x10
serial = 0x70000010
model = 13
heartbeat_ms = 100

[module right]
router = router
i2c_address = 0x24
serial = 0x70000024
model = 14
)";

// The network search a host makes through a routing module: route on, probe
// every even I2C address, read the serial number of each module that answers.
TEST(SimLinkCore, ModulesBehindARouterFoundByProbing) {
    Sim sim(kRouter);
    ASSERT_TRUE(sim.ready());
    CoreLink link(aLink_CreateTCPIP(0x7000000A, htonl(INADDR_LOOPBACK), sim.port("router")));
    ASSERT_TRUE(link.running());
    EXPECT_EQ(link.exchange(4, Set(3, 20, {1}), {3, 0xD4}), (Bytes{3, 0xD4, 0}));
    std::map<uint8_t, uint32_t> found;
    for (unsigned a = 2; a <= 252; a += 2) {
        if (a == 4) continue;
        const uint8_t address = static_cast<uint8_t>(a);
        Bytes r = link.exchange(4, {8, 0, address, 2, 3, 0, 0}, {8, 0, address, 0});
        ASSERT_EQ(r.size(), 5u) << "probe of " << a;
        if (r[4] != 0) continue;
        found[address] = link.get32(address, 9);
    }
    EXPECT_EQ(found, (std::map<uint8_t, uint32_t>{{0x10, 0x70000010}, {0x24, 0x70000024}}));
    EXPECT_EQ(link.exchange(0x24, Get(3, 8), {3, 8}), (Bytes{3, 8, 0, 14}));
    EXPECT_EQ(link.exchange(4, Set(3, 20, {0}), {3, 0xD4}), (Bytes{3, 0xD4, 0}));
    // The engine answers a routed module's heartbeats to its own address, and
    // the answers find their way back behind the router.
    EXPECT_TRUE(sim.waitForLog("left: heartbeat 0 answered by the host"));
    EXPECT_TRUE(sim.waitForLog("left: heartbeat 1 answered by the host"));
    EXPECT_EQ(sim.log().find("left: unexpected heartbeat answer"), std::string::npos);
}

} // namespace
} // namespace simtest
