// Exact replies of a virtual module to each exchange a host makes.
#include <map>

#include "SimHarness.h"

namespace simtest {
namespace {

const std::string kBench = BenchModule("bench", R"(name = Bench A
features = 0x80000000
stream_interval_ms = 50
factory.3 = 0102030405060708090A0B0C0D0E0F101112131415161718191A
)") + ChildModule("child", "bench", "build = 7\ntemperature = -1500000\n");

class SimProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        ASSERT_TRUE(peer.connect(sim.port("bench")));
    }
    // The next packet must be the echo of a marker: proves nothing came in between.
    void expectNothingBefore(const char* what) {
        auto r = peer.ask(4, {23, 0x5A});
        ASSERT_TRUE(r) << what;
        EXPECT_EQ(*r, (Bytes{4, 23, 0x5A})) << what;
    }
    // Waits for stream samples on a connection of its own: proof that the module
    // has run that many stream periods since, however slow the machine.
    void waitStreamPeriods(int periods) {
        Peer clock(sim.port("bench"));
        clock.send(4, {93, 0x81, 0x20, 4, 3, 22, 0});
        for (int samples = 0; samples < periods;) {
            auto p = clock.next();
            ASSERT_TRUE(p) << "no stream samples on a second connection";
            if (p->size() > 3 && (*p)[1] == 3 && (*p)[2] == 22) ++samples;
        }
    }
    Sim sim{kBench};
    Peer peer;
};

TEST_F(SimProtocol, LinkLevelSynchronisationAndRouteControl) {
    // A synchronisation request is answered with a zero-length packet from the module.
    peer.sendRaw({0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(peer.next(), Bytes{4});
    EXPECT_EQ(peer.next(), Bytes{4});
    // Garbage before a request does not stop the module from answering.
    peer.sendRaw({0x00, 0xAD, 0x00});
    EXPECT_EQ(peer.next(), Bytes{4});
    // Route control has no answer.
    peer.send(0xAF, {1});
    expectNothingBefore("route control answered");
    EXPECT_TRUE(sim.waitForLog("route control on"));
}

TEST_F(SimProtocol, SystemEntityReadsIdentity) {
    EXPECT_EQ(peer.ask(4, Get(3, 9)), (Bytes{4, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
    EXPECT_EQ(peer.ask(4, Get(3, 7)), (Bytes{4, 3, 7, 0, 0x2F, 0x02, 0x0F, 0x03}));
    EXPECT_EQ(peer.ask(4, Get(3, 8)), (Bytes{4, 3, 8, 0, 17}));
    EXPECT_EQ(peer.ask(4, Get(3, 1)), (Bytes{4, 3, 1, 0, 4}));
    EXPECT_EQ(peer.ask(4, Get(3, 43)), Cat({4, 3, 43, 0}, Be32(4321)));
    EXPECT_EQ(peer.ask(4, Get(3, 45)), Cat({4, 3, 45, 0}, Be32(0x80000000)));
    EXPECT_EQ(peer.ask(4, Get(3, 2)), (Bytes{4, 3, 2, 0, 0}));
    // A get that carries a subindex byte is answered the same way.
    EXPECT_EQ(peer.ask(4, {3, 0x48, 0x20, 0x07}), (Bytes{4, 3, 8, 0, 17}));
}

TEST_F(SimProtocol, SystemEntitySetGetAndErrorReplies) {
    EXPECT_EQ(peer.ask(4, Set(3, 4, {5})), (Bytes{4, 3, 0xC4, 0}));
    EXPECT_EQ(peer.ask(4, Get(3, 4)), (Bytes{4, 3, 4, 0, 5}));
    EXPECT_EQ(peer.ask(4, Set(3, 34, Be32(12000000))), (Bytes{4, 3, 0xE2, 0}));
    EXPECT_EQ(peer.ask(4, Get(3, 34)), Cat({4, 3, 34, 0}, Be32(12000000)));
    EXPECT_EQ(peer.ask(4, Set(3, 10, {})), (Bytes{4, 3, 0xCA, 0})); // save: a call
    // Unknown option, get of a set-only option, set of a read-only one.
    EXPECT_EQ(peer.ask(4, Get(3, 50)), (Bytes{4, 3, 50, 0x80, 29}));
    EXPECT_EQ(peer.ask(4, Get(3, 20)), (Bytes{4, 3, 20, 0x80, 7}));
    EXPECT_EQ(peer.ask(4, Set(3, 9, Be32(1))), (Bytes{4, 3, 0xC9, 0x80, 7}));
    // Wrong value size, value out of range, wrong index, unknown entity class.
    EXPECT_EQ(peer.ask(4, Set(3, 4, {1, 2})), (Bytes{4, 3, 0xC4, 0x80, 14}));
    EXPECT_EQ(peer.ask(4, Set(3, 20, {2})), (Bytes{4, 3, 0xD4, 0x80, 13}));
    EXPECT_EQ(peer.ask(4, {3, 0x49, 0x21}), (Bytes{4, 3, 9, 0x81, 26}));
    EXPECT_EQ(peer.ask(4, {50, 0x41, 0x20}), (Bytes{4, 50, 1, 0x80, 28}));
    EXPECT_EQ(peer.ask(4, Set(3, 20, {1})), (Bytes{4, 3, 0xD4, 0}));
}

TEST_F(SimProtocol, NamesTravelAsByteSequencesWithTrailers) {
    EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 'B', 'e', 'n', 'c', 'h', ' ', 'A', 0x00}));
    // 25 bytes: a full packet of 24 with trailer 0x80, then 1 byte with trailer 0x01.
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXY";
    Bytes first = Set(3, 32, Bytes(name.begin(), name.begin() + 24));
    first.push_back(0x80);
    peer.send(4, first);
    EXPECT_EQ(peer.ask(4, Bytes{3, 0xA0, 0x20, 'Y', 0x01}), (Bytes{4, 3, 0xE0, 0}));
    auto a = peer.ask(4, Get(3, 32));
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, Cat(Cat({4, 3, 32, 0}, Bytes(name.begin(), name.begin() + 24)), {0x80}));
    EXPECT_EQ(a->size() - 1, 28u);
    EXPECT_EQ(peer.next(), (Bytes{4, 3, 32, 0, 'Y', 0x01}));
    // A host that starts over with sequence 0 mid-way is taken from there.
    peer.send(4, Cat(Set(3, 32, Bytes(24, 'q')), {0x80}));
    peer.send(4, Cat({3, 0xA0, 0x20}, Cat(Bytes(24, 'r'), {0x81})));
    EXPECT_EQ(peer.ask(4, {3, 0xA0, 0x20, 'N', 'e', 'w', 0x00}), (Bytes{4, 3, 0xE0, 0}));
    EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 'N', 'e', 'w', 0x00}));
    // An empty name is one packet with trailer 0.
    EXPECT_EQ(peer.ask(4, {3, 0xA0, 0x20, 0x00}), (Bytes{4, 3, 0xE0, 0}));
    EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 0x00}));
    // Too long, and a sequence with a gap, are refused.
    Bytes p1 = Set(3, 32, Bytes(24, 'x'));
    p1.push_back(0x80);
    peer.send(4, p1);
    EXPECT_EQ(peer.ask(4, Cat({3, 0xA0, 0x20}, Cat(Bytes(9, 'y'), {0x01}))), (Bytes{4, 3, 0xE0, 0x80, 14}));
    peer.send(4, p1);
    EXPECT_EQ(peer.ask(4, {3, 0xA0, 0x20, 'z', 0x02}), (Bytes{4, 3, 0xE0, 0x80, 24}));
    EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 0x00}));
    // The power-behaviour array takes whole 32-bit elements only.
    EXPECT_EQ(peer.ask(4, Cat(Set(3, 31, Bytes(6, 1)), {0x00})), (Bytes{4, 3, 0xDF, 0x80, 14}));
    EXPECT_EQ(peer.ask(4, Cat(Set(3, 31, Bytes(8, 1)), {0x00})), (Bytes{4, 3, 0xDF, 0}));
}

TEST_F(SimProtocol, ModuleQueriesAndEcho) {
    EXPECT_EQ(peer.ask(4, {73, 255}), Cat({4, 73, 255}, Be32(4321)));
    EXPECT_EQ(peer.ask(4, {73, 1, 3, 9, 0, 0x40}), (Bytes{4, 73, 1, 3, 9, 0, 0}));
    EXPECT_EQ(peer.ask(4, {73, 1, 3, 9, 0, 0x80}), (Bytes{4, 73, 1, 3, 9, 0, 7}));
    EXPECT_EQ(peer.ask(4, {73, 1, 3, 60, 0, 0x40}), (Bytes{4, 73, 1, 3, 60, 0, 29}));
    EXPECT_EQ(peer.ask(4, {73, 1, 95, 10, 0, 0x80}), (Bytes{4, 73, 1, 95, 10, 0, 0}));
    EXPECT_EQ(peer.ask(4, {73, 1, 50, 1, 0, 0x40}), (Bytes{4, 73, 1, 50, 1, 0, 28}));
    EXPECT_EQ(peer.ask(4, {73, 4, 3}), (Bytes{4, 73, 4, 3, 1}));
    EXPECT_EQ(peer.ask(4, {73, 4, 50}), (Bytes{4, 73, 4, 50, 0}));
    EXPECT_EQ(peer.ask(4, {73, 5, 3, 0}), (Bytes{4, 73, 5, 3, 0, 0}));
    EXPECT_EQ(peer.ask(4, {73, 6, 3, 0}), (Bytes{4, 73, 6, 3, 0, 0}));
    Bytes echo{23};
    for (uint8_t i = 0; i < 27; ++i) echo.push_back(static_cast<uint8_t>(0xF0 ^ i));
    EXPECT_EQ(peer.ask(4, echo), Cat({4}, echo));
    // Packets for nobody get no answer.
    peer.send(8, Get(3, 9));
    expectNothingBefore("a packet for address 8 was answered");
}

TEST_F(SimProtocol, RouterProbesAndRoutesToModulesBehindIt) {
    // I2C probe writes: the module at 0x10 acknowledges, 0x12 has nobody.
    EXPECT_EQ(peer.ask(4, {8, 0, 0x10, 2, 3, 0, 0}), (Bytes{4, 8, 0, 0x10, 0, 0}));
    EXPECT_EQ(peer.ask(4, {8, 0, 0x12, 2, 3, 0, 0}), (Bytes{4, 8, 0, 0x12, 0, 0x83}));
    EXPECT_EQ(peer.ask(4, {8, 0, 0x10, 3, 3, 0xA1, 0xA2, 0xA3}), (Bytes{4, 8, 0, 0x10, 0, 0}));
    EXPECT_EQ(peer.ask(4, {8, 0, 0x11, 3, 3}), (Bytes{4, 8, 0, 0x11, 3, 0, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(peer.ask(4, {8, 0, 0x10, 5, 3, 1}), (Bytes{4, 8, 0, 0x10, 0, 0x8E})); // length mismatch
    EXPECT_EQ(peer.ask(4, {8, 0, 0x11, 24, 3}), (Bytes{4, 8, 0, 0x11, 0, 0x8E}));   // read too long
    EXPECT_EQ(peer.ask(4, {8, 0, 1, 1}), (Bytes{4, 8, 0, 1, 0, 0}));                // pull-up
    // Before route control is on, the module behind the router stays silent.
    peer.send(0x10, Get(3, 9));
    expectNothingBefore("routed module answered with route control off");
    peer.send(0xAF, {1});
    EXPECT_EQ(peer.ask(0x10, Get(3, 9)), (Bytes{0x10, 3, 9, 0, 0, 0, 0xBE, 0xEF}));
    EXPECT_EQ(peer.ask(0x10, Get(3, 1)), (Bytes{0x10, 3, 1, 0, 0x10}));
    EXPECT_EQ(peer.ask(0x10, Get(3, 16)), (Bytes{0x10, 3, 16, 0, 4}));
    EXPECT_EQ(peer.ask(0x10, Get(3, 2)), (Bytes{0x10, 3, 2, 0, 4})); // its router setting names the router
    EXPECT_EQ(peer.ask(0x10, Get(3, 27)), Cat({0x10, 3, 27, 0}, Be32(static_cast<uint32_t>(-1500000))));
    EXPECT_EQ(peer.ask(0x10, Get(3, 8)), (Bytes{0x10, 3, 8, 0, 13}));
    EXPECT_EQ(peer.ask(0x10, {73, 255}), Cat({0x10, 73, 255}, Be32(7)));
    // The synchronisation answer still comes from the router itself.
    EXPECT_EQ(peer.ask(0xAD, {}), Bytes{4});
    EXPECT_EQ(peer.ask(4, Set(3, 20, {1})), (Bytes{4, 3, 0xD4, 0}));
    peer.send(0xAF, {0});
    peer.send(0x10, Get(3, 9));
    expectNothingBefore("routed module answered after route control off");
}

TEST_F(SimProtocol, StoreSlotsWriteReadAndRefuse) {
    EXPECT_EQ(peer.ask(4, {4, 1, 0, 3}), (Bytes{4, 4, 1, 0, 3, 0x08, 0x00}));
    EXPECT_EQ(peer.ask(4, {4, 2, 0, 3}), (Bytes{4, 4, 2, 0, 3, 0, 0}));
    EXPECT_EQ(peer.ask(4, {4, 4, 0, 3}), (Bytes{4, 4, 4, 0, 3, 1}));
    Bytes chunk{4, 7, 1};
    for (uint8_t i = 0; i < 25; ++i) chunk.push_back(static_cast<uint8_t>(i * 11));
    uint8_t sum = 0;
    for (size_t i = 3; i < chunk.size(); ++i) sum = static_cast<uint8_t>(sum + chunk[i]);
    EXPECT_EQ(peer.ask(4, chunk), (Bytes{4, 4, 7, 1, sum}));
    EXPECT_EQ(peer.ask(4, {4, 7, 1, 0xEE, 0xFF}), (Bytes{4, 4, 7, 1, 0xED}));
    // A second writer on the same slot is refused while the first holds it.
    EXPECT_EQ(peer.ask(4, {4, 4, 0, 3}), (Bytes{4, 4, 0x84, 0, 3, 5}));
    EXPECT_EQ(peer.ask(4, {4, 8, 1}), (Bytes{4, 4, 8, 1, 0}));
    EXPECT_EQ(peer.ask(4, {4, 2, 0, 3}), (Bytes{4, 4, 2, 0, 3, 0, 27}));
    EXPECT_EQ(peer.ask(4, {4, 3, 0, 3}), (Bytes{4, 4, 3, 0, 3, 1}));
    EXPECT_EQ(peer.ask(4, {4, 6, 1}), Cat({4, 4, 6, 1}, Bytes(chunk.begin() + 3, chunk.end())));
    EXPECT_EQ(peer.ask(4, {4, 6, 1}), (Bytes{4, 4, 6, 1, 0xEE, 0xFF}));
    EXPECT_EQ(peer.ask(4, {4, 6, 1}), (Bytes{4, 4, 6, 1}));
    EXPECT_EQ(peer.ask(4, {4, 8, 1}), (Bytes{4, 4, 8, 1, 0}));
    // Errors: no such slot, a handle that is not open.
    EXPECT_EQ(peer.ask(4, {4, 1, 0, 20}), (Bytes{4, 4, 0x81, 0, 20, 26}));
    EXPECT_EQ(peer.ask(4, {4, 6, 9}), (Bytes{4, 4, 0x86, 9, 2}));
}

TEST_F(SimProtocol, FactoryDataReadAndWrite) {
    // 26 configured bytes: one full reply of 28 data bytes, then an empty one.
    Bytes stored;
    for (uint8_t i = 1; i <= 26; ++i) stored.push_back(i);
    EXPECT_EQ(peer.ask(4, {94, 0x43}), Cat({4, 94, 3}, stored));
    EXPECT_EQ(peer.ask(4, {94, 0x03}), (Bytes{4, 94, 3}));
    EXPECT_EQ(peer.ask(4, {94, 0x20, 0, 26}), (Bytes{4, 94, 0}));
    // Write 30 bytes to index 5 in two packets, close with the total, read back.
    Bytes data(30);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x80 + i);
    EXPECT_EQ(peer.ask(4, Cat({94, 0x55}, Bytes(data.begin(), data.begin() + 26))), (Bytes{4, 94, 5}));
    EXPECT_EQ(peer.ask(4, Cat({94, 0x15}, Bytes(data.begin() + 26, data.end()))), (Bytes{4, 94, 5}));
    EXPECT_EQ(peer.ask(4, {94, 0x20, 0, 30}), (Bytes{4, 94, 0}));
    EXPECT_EQ(peer.ask(4, {94, 0x45}), Cat({4, 94, 5}, Bytes(data.begin(), data.begin() + 26)));
    EXPECT_EQ(peer.ask(4, {94, 0x05}), Cat({4, 94, 5}, Bytes(data.begin() + 26, data.end())));
    EXPECT_EQ(peer.ask(4, {94, 0x20, 0, 30}), (Bytes{4, 94, 0}));
    // A closing total that does not match what was sent is refused.
    EXPECT_EQ(peer.ask(4, {94, 0x56, 1, 2}), (Bytes{4, 94, 6}));
    EXPECT_EQ(peer.ask(4, {94, 0x20, 0, 3}), (Bytes{4, 94, 0x80, 14}));
    // A continuation without a first packet is refused.
    EXPECT_EQ(peer.ask(4, {94, 0x07}), (Bytes{4, 94, 0x87, 7}));
}

TEST_F(SimProtocol, StreamsStartCarrySamplesAndStop) {
    EXPECT_EQ(peer.ask(4, {93, 0x41, 0x20}), (Bytes{4, 93, 1, 0, 0}));
    // Stream the uptime (32 bits) and the LED (8 bits) of the system entity.
    EXPECT_EQ(peer.ask(4, Cat({93, 0x81, 0x20}, {4, 3, 22, 0})), (Bytes{4, 93, 0xC1, 0}));
    EXPECT_EQ(peer.ask(4, Cat({93, 0x81, 0x20}, {4, 3, 4, 0})), (Bytes{4, 93, 0xC1, 0}));
    bool seen32 = false, seen8 = false;
    for (int i = 0; i < 20 && !(seen32 && seen8); ++i) {
        auto p = peer.next();
        ASSERT_TRUE(p);
        ASSERT_GE(p->size(), 5u);
        ASSERT_EQ((*p)[1], 3) << Hex(*p);
        EXPECT_EQ((*p)[3], 0x40);
        EXPECT_EQ(p->back(), 0x00); // trailer: sequence 0, no continuation
        if ((*p)[2] == 22) {
            EXPECT_EQ(p->size() - 1, 17u);
            EXPECT_EQ((*p)[4], 3); // 32-bit sample
            seen32 = true;
        } else if ((*p)[2] == 4) {
            EXPECT_EQ(p->size() - 1, 14u);
            EXPECT_EQ((*p)[4], 1); // 8-bit sample
            EXPECT_EQ((*p)[13], 0);
            seen8 = true;
        }
    }
    EXPECT_TRUE(seen32 && seen8);
    // Stopping both: after the stop replies no sample follows.
    peer.send(4, Cat({93, 0x82, 0x20}, {4, 3, 22, 0}));
    peer.send(4, Cat({93, 0x82, 0x20}, {4, 3, 4, 0}));
    int stops = 0;
    while (stops < 2) {
        auto p = peer.next();
        ASSERT_TRUE(p);
        if (*p == Bytes{4, 93, 0xC2, 0}) ++stops;
    }
    waitStreamPeriods(3);
    expectNothingBefore("a sample came after the streams were stopped");
    EXPECT_EQ(peer.ask(4, {93, 0x41, 0x20}), (Bytes{4, 93, 1, 0, 0}));
}

// The power-behaviour array (32-bit elements, little-endian as the host sent
// them) is read and streamed element by element, the element number as subindex.
TEST_F(SimProtocol, ArrayElementsBySubindexAndWildcardStreamStop) {
    const Bytes array{0x44, 0x33, 0x22, 0x11, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(peer.ask(4, Cat(Set(3, 31, array), {0x00})), (Bytes{4, 3, 0xDF, 0}));
    EXPECT_EQ(peer.ask(4, {3, 0x5F, 0x20, 0}), Cat({4, 3, 31, 0}, Be32(0x11223344)));
    EXPECT_EQ(peer.ask(4, {3, 0x5F, 0x20, 1}), Cat({4, 3, 31, 0}, Be32(5)));
    EXPECT_EQ(peer.ask(4, {3, 0x5F, 0x20, 2}), (Bytes{4, 3, 31, 0x80, 26}));
    // The whole array still reads as a byte sequence.
    EXPECT_EQ(peer.ask(4, Get(3, 31)), Cat(Cat({4, 3, 31, 0}, array), {0x00}));

    // Stream option 31 and, overlapping it, every option of the entity.
    peer.send(4, Cat({93, 0x81, 0x20}, {4, 3, 31, 0}));
    peer.send(4, Cat({93, 0x81, 0x20}, {4, 3, 255, 0}));
    for (int replies = 0; replies < 2;) {
        auto p = peer.next();
        ASSERT_TRUE(p);
        if (*p == Bytes{4, 93, 0xC1, 0}) ++replies;
    }
    // Between two uptime samples (one per period) each element comes once.
    std::map<uint8_t, uint32_t> elements;
    int uptimeSamples = 0, elementSamples = 0;
    while (uptimeSamples < 3) {
        auto p = peer.next();
        ASSERT_TRUE(p);
        ASSERT_GE(p->size(), 5u) << Hex(*p);
        ASSERT_EQ((*p)[1], 3) << Hex(*p);
        if ((*p)[2] == 22) {
            if (++uptimeSamples >= 2) {
                EXPECT_EQ(elementSamples, 2) << "samples of option 31 in one period";
            }
            elementSamples = 0;
        } else if ((*p)[2] == 31) {
            // A 32-bit sample with subindex: dataSize 18, type 7, subindex in byte 4.
            ASSERT_EQ(p->size() - 1, 18u) << Hex(*p);
            EXPECT_EQ((*p)[3], 0x40);
            EXPECT_EQ((*p)[4], 7);
            EXPECT_EQ(p->back(), 0x00);
            elements[(*p)[5]] = static_cast<uint32_t>((*p)[14] << 24 | (*p)[15] << 16 | (*p)[16] << 8 | (*p)[17]);
            ++elementSamples;
        }
    }
    EXPECT_EQ(elements, (std::map<uint8_t, uint32_t>{{0, 0x11223344}, {1, 5}}));

    // Stopping every option (255) ends the single-option subscription too.
    peer.send(4, Cat({93, 0x82, 0x20}, {4, 3, 255, 0}));
    for (;;) {
        auto p = peer.next();
        ASSERT_TRUE(p);
        if (*p == Bytes{4, 93, 0xC2, 0}) break;
    }
    waitStreamPeriods(3);
    expectNothingBefore("a sample came after all options were stopped");
    EXPECT_EQ(peer.ask(4, {93, 0x41, 0x20}), (Bytes{4, 93, 1, 0, 0}));
}

// Waits for heartbeats from a module kept as a clock, on a new connection: proof
// that the simulator has run that many heartbeat intervals since.
void WaitHeartbeats(const Sim& sim, const std::string& clockModule, int count) {
    Peer clock(sim.port(clockModule));
    for (int seen = 0; seen < count;) {
        auto p = clock.next(kReplyWait, true);
        ASSERT_TRUE(p) << "no heartbeats from " << clockModule;
        if (p->size() == 3 && (*p)[1] == 0) ++seen;
    }
}

const char* kHeartbeat = R"(
[module hb]
serial = 0x11112222
model = 4
address = 6
version = 2.10.4
heartbeat_ms = 100

[module tick]
serial = 0x11113333
address = 8
heartbeat_ms = 100
)";

TEST(SimHeartbeat, SentOnIntervalAndAnswersRecorded) {
    Sim sim{kHeartbeat};
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("hb"));
    // Heartbeats alternate 0 (up) and 1 (down); the host answers with v + 2.
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{6, 0, 0}));
    peer.send(6, {0, 2});
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{6, 0, 1}));
    peer.send(6, {0, 3});
    EXPECT_TRUE(sim.waitForLog("heartbeat 1 answered by the host"));
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{6, 0, 0}));
    peer.send(6, {0, 7});
    EXPECT_TRUE(sim.waitForLog("unexpected heartbeat answer 7"));
    auto status = sim.control("status hb");
    EXPECT_NE(status.find("hb_answered=2"), std::string::npos) << status;
    EXPECT_NE(status.find("hb_wrong=1"), std::string::npos) << status;
    EXPECT_NE(status.find(" tcp_port=" + std::to_string(sim.port("hb")) + " pty=none"), std::string::npos) << status;
    // The interval option reads in tenths of a second; 0 stops the heartbeats.
    EXPECT_EQ(peer.ask(6, Get(3, 3)), (Bytes{6, 3, 3, 0, 1}));
    EXPECT_EQ(peer.ask(6, Set(3, 3, {0})), (Bytes{6, 3, 0xC3, 0}));
    // Drain what was already on the way, then none may follow.
    peer.send(6, {23, 1});
    for (;;) {
        auto p = peer.next(kReplyWait, true);
        ASSERT_TRUE(p);
        if (*p == Bytes{6, 23, 1}) break;
    }
    WaitHeartbeats(sim, "tick", 4); // several former intervals
    peer.send(6, {23, 2});
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{6, 23, 2}));
}

const char* kRoutedHeartbeat = R"(
[module hub]
serial = 0x22223333
model = 4
address = 4

[module leaf]
router = hub
i2c_address = 0x10
serial = 0x22224444
heartbeat_ms = 100

[module tick]
serial = 0x22225555
address = 8
heartbeat_ms = 100
)";

TEST(SimHeartbeat, ModuleBehindARouterSendsThemWhileRoutingIsOn) {
    Sim sim{kRoutedHeartbeat};
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("hub"));
    // Drains everything up to the echo of a marker; true when a heartbeat came.
    auto heartbeatBefore = [&](uint8_t marker) {
        peer.send(4, {23, marker});
        bool seen = false;
        for (;;) {
            auto p = peer.next(kReplyWait, true);
            if (!p) {
                ADD_FAILURE() << "no echo of marker " << int(marker);
                return seen;
            }
            if (*p == Bytes{4, 23, marker}) return seen;
            seen = seen || (p->size() == 3 && (*p)[1] == 0);
        }
    };
    WaitHeartbeats(sim, "tick", 4); // several intervals
    EXPECT_FALSE(heartbeatBefore(1)) << "a heartbeat came through with routing off";

    peer.send(0xAF, {1});
    // They come from the routed module's own address and alternate 0, 1. An
    // answer that crosses the next heartbeat still counts for the one it names.
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{0x10, 0, 0}));
    EXPECT_EQ(peer.next(kReplyWait, true), (Bytes{0x10, 0, 1}));
    peer.send(0x10, {0, 2});
    peer.send(0x10, {0, 3});
    EXPECT_TRUE(sim.waitForLog("leaf: heartbeat 0 answered by the host"));
    EXPECT_TRUE(sim.waitForLog("leaf: heartbeat 1 answered by the host"));
    auto status = sim.control("status leaf");
    EXPECT_NE(status.find("hb_answered=2"), std::string::npos) << status;
    EXPECT_NE(status.find("hb_wrong=0"), std::string::npos) << status;

    peer.send(0xAF, {0});
    heartbeatBefore(2); // what was already on the way
    WaitHeartbeats(sim, "tick", 4);
    EXPECT_FALSE(heartbeatBefore(3)) << "a heartbeat came through after routing went off";
}

TEST(SimUsage, HelpAndConfigurationErrors) {
    auto help = testsupport::Run({TARNIX_SIM_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: tarnix-sim"), std::string::npos);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "bad.ini", "[module a]\nserial = 1\ncolour = red\n");
    auto bad = testsupport::Run({TARNIX_SIM_BIN, dir / "bad.ini"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bad.ini:3: unknown key 'colour'"), std::string::npos) << bad.err;
    testsupport::WriteFile(dir / "odd.ini", "[module a]\nserial = 1\naddress = 5\n");
    auto odd = testsupport::Run({TARNIX_SIM_BIN, dir / "odd.ini"});
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.err.find("address must be even"), std::string::npos) << odd.err;
    testsupport::WriteFile(dir / "router.ini", "[module a]\nserial = 1\nrouter = nobody\ni2c_address = 8\n");
    auto router = testsupport::Run({TARNIX_SIM_BIN, dir / "router.ini"});
    EXPECT_NE(router.err.find("unknown router nobody"), std::string::npos) << router.err;
    // A version the packed word cannot carry is refused rather than misreported.
    testsupport::WriteFile(dir / "version.ini", "[module a]\nserial = 1\nversion = 1.16.0\n");
    auto version = testsupport::Run({TARNIX_SIM_BIN, dir / "version.ini"});
    EXPECT_EQ(version.status, 1);
    EXPECT_NE(version.err.find("version.ini:3: [module a] version: 1.16.0 cannot be reported"), std::string::npos)
        << version.err;
    testsupport::WriteFile(dir / "factory.ini", "[module a]\nserial = 1\nfactory.2 = 0x0A 0x0B\n");
    auto factory = testsupport::Run({TARNIX_SIM_BIN, dir / "factory.ini"});
    EXPECT_EQ(factory.status, 1);
    EXPECT_NE(factory.err.find("factory.ini:3: factory.2: expected bytes as pairs of hexadecimal digits"),
              std::string::npos) << factory.err;
    auto none = testsupport::Run({TARNIX_SIM_BIN});
    EXPECT_EQ(none.status, 2);
}

TEST(SimUsage, StopsCleanlyOnSignals) {
    for (int sig : {SIGINT, SIGTERM}) {
        Sim sim{kHeartbeat};
        ASSERT_TRUE(sim.ready());
        Peer peer(sim.port("hb"));
        EXPECT_EQ(sim.stop(sig), 0);
        EXPECT_NE(sim.log().find("signal received, stopping"), std::string::npos);
        EXPECT_TRUE(peer.closedWithin(kReplyWait));
    }
}

} // namespace
} // namespace simtest

namespace simtest {
namespace {

TEST(SimState, SavedSettingsSlotsAndFactoryDataSurviveARestart) {
    testsupport::TempDir state;
    {
        Sim sim(kBench, {}, state.path());
        ASSERT_TRUE(sim.ready());
        Peer peer(sim.port("bench"));
        EXPECT_EQ(peer.ask(4, {3, 0xA0, 0x20, 'L', 'a', 'b', 0x00}), (Bytes{4, 3, 0xE0, 0}));
        EXPECT_EQ(peer.ask(4, Set(3, 10, {})), (Bytes{4, 3, 0xCA, 0}));
        EXPECT_EQ(peer.ask(4, {4, 4, 0, 7}), (Bytes{4, 4, 4, 0, 7, 1}));
        EXPECT_EQ(peer.ask(4, {4, 7, 1, 9, 8, 7}), (Bytes{4, 4, 7, 1, 24}));
        EXPECT_EQ(peer.ask(4, {4, 8, 1}), (Bytes{4, 4, 8, 1, 0}));
        EXPECT_EQ(peer.ask(4, {94, 0x59, 0xAA, 0xBB}), (Bytes{4, 94, 9}));
        EXPECT_EQ(peer.ask(4, {94, 0x20, 0, 2}), (Bytes{4, 94, 0}));
        // A name set but not saved is lost with the restart.
        EXPECT_EQ(peer.ask(4, {3, 0xA0, 0x20, 'T', 'm', 'p', 0x00}), (Bytes{4, 3, 0xE0, 0}));
        EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 'T', 'm', 'p', 0x00}));
        EXPECT_EQ(sim.stop(), 0);
    }
    Sim sim(kBench, {"--ready-file", state / "ready"}, state.path());
    ASSERT_TRUE(sim.ready());
    const std::string ready = testsupport::ReadFile(state / "ready");
    EXPECT_NE(ready.find("module bench tcp 127.0.0.1:" + std::to_string(sim.port("bench")) + "\n"), std::string::npos);
    EXPECT_EQ(ready.substr(ready.size() - 6), "READY\n");
    Peer peer(sim.port("bench"));
    EXPECT_EQ(peer.ask(4, Get(3, 32)), (Bytes{4, 3, 32, 0, 'L', 'a', 'b', 0x00}));
    EXPECT_EQ(peer.ask(4, {4, 2, 0, 7}), (Bytes{4, 4, 2, 0, 7, 0, 3}));
    EXPECT_EQ(peer.ask(4, {94, 0x49}), (Bytes{4, 94, 9, 0xAA, 0xBB}));
    // The configured factory data of another index is still there.
    auto f = peer.ask(4, {94, 0x43});
    ASSERT_TRUE(f);
    EXPECT_EQ(f->size(), 29u);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(::access((state / "ready").c_str(), F_OK), 0); // no stale readiness left behind
}

} // namespace
} // namespace simtest
