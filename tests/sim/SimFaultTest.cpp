// Each injected fault shows on the wire as it should, set from the
// configuration or through the control port while running.
#include "UpgradeSteps.h"

namespace simtest {
namespace {

const char* kModule = R"(
# n only shows how long a reboot takes
[module n]
serial = 0x00C0FFEF
reboot_ms = 100

[module m]
serial = 0x00C0FFEE
model = 21
address = 2
version = 2.12.0
build = 100
block_size = 256
flash_base = 0x08000000
flash_size = 0x2000
reboot_ms = 100
)";

class SimFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        ASSERT_TRUE(peer.connect(sim.port("m")));
    }
    void fault(const std::string& name, const std::string& value) {
        ASSERT_EQ(sim.control("fault m " + name + " " + value), "ok");
    }
    bool waitForConnections(int n) {
        const auto end = std::chrono::steady_clock::now() + kReplyWait;
        const std::string want = "connections=" + std::to_string(n);
        while (std::chrono::steady_clock::now() < end) {
            if (sim.control("status m").find(want) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // The next packet must be the echo of a marker.
    void expectEchoNext(uint8_t marker) { EXPECT_EQ(peer.ask(2, {23, marker}), (Bytes{2, 23, marker})); }
    Sim sim{kModule};
    Peer peer;
    Upgrade up{peer, 2};
};

TEST_F(SimFault, DropAndDelayReplies) {
    fault("drop_replies", "2");
    peer.send(2, Get(3, 9));
    peer.send(2, {23, 1});
    expectEchoNext(2); // the first two replies were dropped
    EXPECT_TRUE(sim.waitForLog("fault drop_replies"));
    fault("delay_replies", "600");
    const auto sent = std::chrono::steady_clock::now();
    peer.send(2, {23, 3});
    // The reply comes, and not before its delay.
    EXPECT_EQ(peer.next(), (Bytes{2, 23, 3}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 600ms);
    // Delayed replies keep their order.
    peer.send(2, {23, 4});
    peer.send(2, {23, 5});
    EXPECT_EQ(peer.next(), (Bytes{2, 23, 4}));
    EXPECT_EQ(peer.next(), (Bytes{2, 23, 5}));
    EXPECT_EQ(sim.control("clear m"), "ok");
    expectEchoNext(6);
}

TEST_F(SimFault, WrongDataCountMakesTheHostResend) {
    up.init(0x10000000);
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    fault("wrong_data_count", "1");
    const Bytes chunk(26, 0x21);
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, chunk)), (Bytes{2, 95, 1, 25}));
    // The refused bytes were not kept: the resend is counted once in the sum.
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, chunk)), (Bytes{2, 95, 1, 26}));
    up.sumIs(26 * 0x21);
    fault("wrong_data_count", "always");
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, chunk)), (Bytes{2, 95, 1, 25}));
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, chunk)), (Bytes{2, 95, 1, 25}));
    up.sumIs(26 * 0x21);
}

TEST_F(SimFault, RefusedPrepareAndWriteAndWrongSum) {
    up.init(0x10000000);
    fault("refuse_prepare", "1");
    EXPECT_EQ(up.prepare(0, kLoaderAddress, 256), 29);
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    up.data(Loader());
    fault("wrong_sum", "1");
    EXPECT_EQ(peer.ask(2, {95, 4}), Cat({2, 95, 7, 0}, Be32(Sum(Loader()) + 1)));
    up.sumIs(Sum(Loader()));
    up.load();
    ASSERT_EQ(up.prepare(1, kFlashBase, 256), 0);
    const Bytes chunk(100, 0x5A);
    up.data(chunk);
    fault("refuse_write", "1");
    EXPECT_EQ(up.write(100), 8);
    EXPECT_EQ(up.write(100), 0);
}

TEST_F(SimFault, SilentAfterLoadStillStartsTheLoader) {
    fault("silent_after_load", "1");
    up.init(0x10000000);
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    up.data(Loader());
    peer.send(2, {95, 2});
    expectEchoNext(7); // no LOAD reply came first
    EXPECT_TRUE(sim.waitForLog("fault silent_after_load"));
    // The loader runs all the same: firmware blocks are accepted.
    EXPECT_EQ(up.prepare(1, kFlashBase, 256), 0);
}

TEST_F(SimFault, NeverBackAfterRebootUntilRevived) {
    fault("no_return_after_reboot", "1");
    up.reboot();
    ASSERT_TRUE(peer.closedWithin(kReplyWait));
    ASSERT_TRUE(sim.waitForLog("stays down"));
    // Well past the reboot time the module is still away: a module rebooted
    // after it, taking as long, is back first.
    ASSERT_EQ(sim.control("reboot n"), "ok");
    Peer other;
    ASSERT_TRUE(other.connectWithin(sim.port("n"), 10000ms));
    Peer probe;
    EXPECT_FALSE(probe.connect(sim.port("m")));
    EXPECT_NE(sim.control("status m").find("up=0"), std::string::npos);
    EXPECT_EQ(sim.control("revive m"), "ok");
    ASSERT_TRUE(probe.connectWithin(sim.port("m"), 10000ms));
    EXPECT_EQ(probe.ask(2, Get(3, 9)), Cat({2, 3, 9, 0}, Be32(0x00C0FFEE)));
}

TEST_F(SimFault, ConnectionDroppedInTheMiddleOfATransfer) {
    fault("drop_connection", "3");
    up.init(0x10000000);
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, Bytes(26, 1))), (Bytes{2, 95, 1, 26}));
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, Bytes(26, 1))), (Bytes{2, 95, 1, 26}));
    peer.send(2, Cat({95, 1}, Bytes(26, 1)));
    EXPECT_TRUE(peer.closedWithin(kReplyWait));
    // The module itself stays up and takes a new connection.
    Peer again(sim.port("m"));
    EXPECT_EQ(again.ask(2, {23, 9}), (Bytes{2, 23, 9}));
}

// Set while running, the count starts from then, not from the module's boot.
TEST_F(SimFault, ConnectionDropCountsFromWhenItIsSet) {
    up.init(0x10000000);
    ASSERT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    up.data(Bytes(52, 1)); // two data packets before the fault
    fault("drop_connection", "2");
    EXPECT_EQ(peer.ask(2, Cat({95, 1}, Bytes(26, 1))), (Bytes{2, 95, 1, 26}));
    peer.send(2, Cat({95, 1}, Bytes(26, 1)));
    EXPECT_TRUE(peer.closedWithin(kReplyWait));
    EXPECT_NE(sim.control("status m").find("drop_connection=0"), std::string::npos); // fired once
}

TEST_F(SimFault, SecondConnectionRefusedWhileInUse) {
    Peer second(sim.port("m"));
    EXPECT_EQ(second.ask(2, {23, 1}), (Bytes{2, 23, 1})); // allowed by default
    second.close();
    ASSERT_TRUE(waitForConnections(1));
    fault("refuse_second_connection", "yes");
    Peer third;
    ASSERT_TRUE(third.connect(sim.port("m")));
    EXPECT_TRUE(third.closedWithin(kReplyWait));
    EXPECT_TRUE(sim.waitForLog("refused (module in use)"));
    expectEchoNext(2); // the first connection is untouched
    peer.close();
    ASSERT_TRUE(waitForConnections(0));
    Peer fourth(sim.port("m"));
    EXPECT_EQ(fourth.ask(2, {23, 3}), (Bytes{2, 23, 3}));
}

TEST(SimFaultConfig, FaultsFromTheConfigurationFile) {
    Sim sim(std::string(kModule) + "fault.wrong_sum = always\nfault.refuse_prepare = 1\n");
    ASSERT_TRUE(sim.ready());
    Peer peer(sim.port("m"));
    Upgrade up(peer, 2);
    up.init(0x10000000);
    EXPECT_EQ(up.prepare(0, kLoaderAddress, 256), 29);
    EXPECT_EQ(up.prepare(0, kLoaderAddress, 256), 0);
    up.data({1, 2, 3});
    EXPECT_EQ(peer.ask(2, {95, 4}), Cat({2, 95, 7, 0}, Be32(7)));
    EXPECT_EQ(peer.ask(2, {95, 4}), Cat({2, 95, 7, 0}, Be32(7)));
    EXPECT_EQ(sim.control("fault m colour red"), "error unknown fault 'colour'");
    EXPECT_EQ(sim.control("fault nobody wrong_sum 1"), "error unknown module 'nobody'");
}

} // namespace
} // namespace simtest
