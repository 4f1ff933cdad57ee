// The upgrade lifecycle as a module lives it: loader, firmware, reboot into the written image.
#include "UpgradeSteps.h"
#include "aVersion.h"

namespace simtest {
namespace {

const std::string kModule = BenchModule("bench", R"(block_size = 512
load_base = 0x10000000
flash_base = 0x08000000
flash_size = 0x4000
reboot_ms = 100
)") + ChildModule("child", "bench", "build = 7\nflash_base = 0x08000000\nflash_size = 0x4000\nreboot_ms = 100\n");

Bytes Identity(Peer& peer, uint8_t a) {
    Bytes out;
    for (uint8_t option : {7, 43, 9}) {
        auto r = peer.ask(a, Get(3, option));
        if (!r || r->size() != 8) return {};
        out.insert(out.end(), r->begin() + 4, r->end());
    }
    return out;
}

TEST(SimUpgrade, WholeLifecycleOverTcpRebootsIntoTheWrittenImage) {
    testsupport::TempDir state;
    const Bytes image = FirmwareImage(1000, 0x2F030104, 5555, 0xCAFEF00D);
    {
        Sim sim(kModule, {}, state.path());
        ASSERT_TRUE(sim.ready());
        Peer peer(sim.port("bench"));
        Upgrade up(peer, 4);
        up.loaderPhase(0x10000000, Loader());
        // The loader keeps the TCP connection: firmware follows on the same one.
        up.firmwareBlock(image, kFlashBase, 512);
        up.reboot();
        EXPECT_TRUE(peer.closedWithin(kReplyWait));
        ASSERT_TRUE(peer.connectWithin(sim.port("bench"), 10000ms));
        EXPECT_EQ(Identity(peer, 4), Cat(Cat(Be32(0x2F030104), Be32(5555)), Be32(0xCAFEF00D)));
        EXPECT_EQ(peer.ask(4, {73, 255}), Cat({4, 73, 255}, Be32(5555)));
        // The exact bytes written, the rest of the flash erased.
        const std::string flash = testsupport::ReadFile(state / "bench/flash.bin");
        ASSERT_EQ(flash.size(), 0x4000u);
        EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 1000), image);
        EXPECT_EQ(flash.find_first_not_of('\xFF', 1000), std::string::npos);
        const std::string loader = testsupport::ReadFile(state / "bench/loader.bin");
        EXPECT_EQ(Bytes(loader.begin(), loader.end()), Loader());
        EXPECT_EQ(sim.stop(), 0);
    }
    // The identity survives a restart of the simulator.
    Sim again(kModule, {}, state.path());
    ASSERT_TRUE(again.ready());
    Peer peer(again.port("bench"));
    EXPECT_EQ(Identity(peer, 4), Cat(Cat(Be32(0x2F030104), Be32(5555)), Be32(0xCAFEF00D)));
}

TEST(SimUpgrade, FirmwareAsUEIByteSequencesAndTwoChunks) {
    Sim sim(kModule);
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("bench"));
    Upgrade up(peer, 4);
    up.loaderPhase(0x10000000, Loader());
    const Bytes image = FirmwareImage(700, aVersion_Pack(3, 0, 9), 6001, 0x00000042, kFlashBase + 0x1000);
    ASSERT_EQ(up.prepare(1, kFlashBase + 0x1000, 512), 0);
    size_t at = 0;
    while (at < image.size()) {
        Bytes chunk(image.begin() + at, image.begin() + std::min(image.size(), at + 512));
        // One UEI byte sequence on option 10: 24-byte packets, one reply at the end.
        uint8_t sequence = 0;
        for (size_t k = 0; k < chunk.size(); k += 24, ++sequence) {
            size_t n = std::min<size_t>(24, chunk.size() - k);
            bool more = k + n < chunk.size();
            peer.send(4, Cat(Cat({95, 0x8A, 0x20}, Bytes(chunk.begin() + k, chunk.begin() + k + n)),
                             {static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0))}));
        }
        EXPECT_EQ(peer.next(), (Bytes{4, 95, 0xCA, 0}));
        up.sumIs(Sum(chunk));
        ASSERT_EQ(up.write(static_cast<uint16_t>(chunk.size())), 0);
        at += chunk.size();
    }
    up.reboot();
    ASSERT_TRUE(peer.closedWithin(kReplyWait));
    ASSERT_TRUE(peer.connectWithin(sim.port("bench"), 10000ms));
    EXPECT_EQ(Identity(peer, 4), Cat(Cat(Be32(aVersion_Pack(3, 0, 9)), Be32(6001)), Be32(0x42)));
    const std::string flash = testsupport::ReadFile(sim.state() + "/bench/flash.bin");
    EXPECT_EQ(Bytes(flash.begin() + 0x1000, flash.begin() + 0x1000 + 700), image);
}

const char* kBigBlocks = R"(
[module big]
serial = 0x0B16B10C
model = 17
address = 4
block_size = 4096
flash_base = 0x08000000
flash_size = 0x4000
reboot_ms = 100
)";

// Sends a chunk as one UEI byte sequence on option 10 (24 bytes a packet,
// sequence numbers modulo 128) and checks the single reply.
void SendAsSequence(Peer& peer, uint8_t a, const Bytes& chunk) {
    uint8_t sequence = 0;
    for (size_t k = 0; k < chunk.size(); k += 24, ++sequence) {
        size_t n = std::min<size_t>(24, chunk.size() - k);
        bool more = k + n < chunk.size();
        peer.send(a, Cat(Cat({95, 0x8A, 0x20}, Bytes(chunk.begin() + k, chunk.begin() + k + n)),
                         {static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0))}));
    }
    EXPECT_EQ(peer.next(), (Bytes{a, 95, 0xCA, 0}));
}

// A block of 4096 bytes is 171 packets: the trailer's sequence number wraps
// from 127 to 0 inside it. Then a second update without a reboot in between
// starts from an erased flash again.
TEST(SimUpgrade, LongSequencesAndASecondUpdateBeforeTheReboot) {
    Sim sim(kBigBlocks);
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("big"));
    Upgrade up(peer, 4);
    up.loaderPhase(0x10000000, Loader(), 4096);
    Bytes first = FirmwareImage(4096, aVersion_Pack(2, 20, 1), 1, 0x0B16B10C);
    for (size_t i = 200; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i / 24); // each packet differs
    ASSERT_EQ(up.prepare(1, kFlashBase, 4096), 0);
    SendAsSequence(peer, 4, first);
    up.sumIs(Sum(first));
    ASSERT_EQ(up.write(4096), 0);
    const std::string written = testsupport::ReadFile(sim.state() + "/big/flash.bin");
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4096), first);

    // The host starts over: a shorter image, and nothing of the first one remains.
    up.loaderPhase(0x10000000, Loader(), 4096);
    const Bytes second = FirmwareImage(300, aVersion_Pack(2, 20, 2), 2, 0x0B16B10C);
    up.firmwareBlock(second, kFlashBase, 4096);
    up.reboot();
    ASSERT_TRUE(peer.closedWithin(kReplyWait));
    ASSERT_TRUE(peer.connectWithin(sim.port("big"), 10000ms));
    EXPECT_EQ(peer.ask(4, Get(3, 43)), Cat({4, 3, 43, 0}, Be32(2)));
    const std::string flash = testsupport::ReadFile(sim.state() + "/big/flash.bin");
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 300), second);
    EXPECT_EQ(flash.find_first_not_of('\xFF', 300), std::string::npos);
}

TEST(SimUpgrade, StateMachineRefusesOutOfOrderRequests) {
    Sim sim(kModule);
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("bench"));
    Upgrade up(peer, 4);
    // Nothing opened yet: PREPARE refused, DATA takes nothing, LOAD refused.
    EXPECT_EQ(up.prepare(0, kLoaderAddress, 512), 7);
    EXPECT_EQ(peer.ask(4, {95, 1, 1, 2, 3}), (Bytes{4, 95, 1, 0}));
    EXPECT_EQ(peer.ask(4, {95, 4}), Cat({4, 95, 7, 7}, Be32(0)));
    EXPECT_EQ(peer.ask(4, {95, 2}), (Bytes{4, 95, 2, 7}));
    up.init(0x10000000);
    EXPECT_EQ(peer.ask(4, {95, 2}), (Bytes{4, 95, 2, 7})); // no loader bytes yet
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 512), 0);
    up.data(Loader());
    EXPECT_EQ(up.write(60), 7); // loader blocks are not written to flash
    up.load();
    // Firmware outside the flash, a chunk larger than the block, a count that
    // does not match what was received.
    EXPECT_EQ(up.prepare(1, 0x00001000, 512), 13);
    ASSERT_EQ(up.prepare(1, kFlashBase, 512), 0);
    Bytes big(520, 0x11);
    for (size_t at = 0; at < 520; at += 26) {
        auto r = peer.ask(4, Cat({95, 1}, Bytes(26, 0x11)));
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[3], at + 26 <= 512 ? 26 : at < 512 ? 512 - at : 0);
    }
    up.sumIs(512 * 0x11);
    EXPECT_EQ(up.write(100), 14);
    EXPECT_EQ(up.write(512), 0);
    // The UEI data option needs an open block; a gap in its sequence is refused.
    peer.send(4, {95, 0x8A, 0x20, 1, 2, 0x80});
    EXPECT_EQ(peer.ask(4, {95, 0x8A, 0x20, 3, 4, 0x02}), (Bytes{4, 95, 0xCA, 0x80, 24}));
    // A reboot without a written image keeps the identity.
    up.init(0x10000000);
    up.reboot();
    ASSERT_TRUE(peer.closedWithin(kReplyWait));
    ASSERT_TRUE(peer.connectWithin(sim.port("bench"), 10000ms));
    EXPECT_EQ(peer.ask(4, Get(3, 9)), Cat({4, 3, 9, 0}, Be32(0x1234ABCD)));
}

TEST(SimUpgrade, ModuleBehindRouterUpgradesOverTheRoutersConnection) {
    Sim sim(kModule);
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("bench"));
    peer.send(0xAF, {1});
    Upgrade up(peer, 0x10);
    up.loaderPhase(0x10000000, Loader());
    const Bytes image = FirmwareImage(300, aVersion_Pack(1, 3, 0), 8, 0x0000BEEF);
    up.firmwareBlock(image, kFlashBase, 512);
    up.reboot();
    // The router's link stays up; the routed module comes back with the new build.
    EXPECT_TRUE(sim.waitForLog("child: booted the written image"));
    EXPECT_EQ(peer.ask(4, Get(3, 9)), Cat({4, 3, 9, 0}, Be32(0x1234ABCD)));
    EXPECT_EQ(peer.ask(0x10, {73, 255}), Cat({0x10, 73, 255}, Be32(8)));
    EXPECT_EQ(peer.ask(0x10, Get(3, 7)), Cat({0x10, 3, 7, 0}, Be32(aVersion_Pack(1, 3, 0))));
}

} // namespace
} // namespace simtest

namespace simtest {
namespace {

// The image maker others use with birdtool writes the record the module reads.
TEST(SimUpgrade, ImageFromTheTestImageScriptIsRecognised) {
    Sim sim(kModule);
    ASSERT_TRUE(sim.ready());
    const std::string file = sim.dir() / "fw.bin";
    auto made = testsupport::Run({SYSTEM_PYTHON3, std::string(SIM_SOURCE_DIR) + "/make_test_image.py", file,
                                  "--version", "2.16.1", "--build", "777", "--size", "600", "--serial", "0x00ABCDEF"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string bytes = testsupport::ReadFile(file);
    ASSERT_EQ(bytes.size(), 600u);
    Peer peer(sim.port("bench"));
    Upgrade up(peer, 4);
    up.loaderPhase(0x10000000, Loader());
    up.firmwareBlock(Bytes(bytes.begin(), bytes.end()), kFlashBase, 512);
    up.reboot();
    ASSERT_TRUE(peer.closedWithin(kReplyWait));
    ASSERT_TRUE(peer.connectWithin(sim.port("bench"), 10000ms));
    EXPECT_EQ(Identity(peer, 4), Cat(Cat(Be32(aVersion_Pack(2, 16, 1)), Be32(777)), Be32(0x00ABCDEF)));
}

} // namespace
} // namespace simtest
