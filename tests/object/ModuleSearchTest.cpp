// Finding a module again: the search's bounds (rounds, a deadline on the
// monotonic clock), its confirmation step and fresh USB contexts, and a real
// relink to the simulator over TCP/IP, before and after the module is gone.
#include <arpa/inet.h>

#include <chrono>

#include "ModuleSearch.h"
#include "SimHarness.h"
#include "SystemClass.h"

using namespace Velorn::Tarnix;

namespace {

constexpr unsigned kSerial = 0x1234ABCD;

struct Rounds {
    int count = 0;
    std::vector<int> fresh; // rounds that started with a fresh USB context
};

ModuleSearch Counting(Rounds& rounds) {
    ModuleSearch search;
    search.pauseMs = 10;
    search.eachRound = [&rounds](int round, bool fresh) {
        ++rounds.count;
        if (fresh) rounds.fresh.push_back(round);
    };
    return search;
}

TEST(ModuleSearch, BoundsAndConfirmation) {
    struct Case {
        const char* name;
        int maxRounds;
        uint32_t deadlineMs;
        int confirmedAt; // round whose confirmation succeeds, 0 never
        aErr result;
        int rounds; // -1: as many as the deadline allows (at least 2)
    };
    const Case cases[] = {
        {"confirmed on the third round", 5, 0, 3, aErrNone, 3},
        {"rounds run out", 4, 0, 0, aErrTimeout, 4},
        {"rounds before the deadline", 2, 60000, 0, aErrTimeout, 2},
        {"deadline before the rounds", 0, 300, 0, aErrTimeout, -1},
        {"no bound at all", 0, 0, 1, aErrParam, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Module module(0, static_cast<unsigned char>(0));
        Rounds rounds;
        ModuleSearch search = Counting(rounds);
        search.relink = false;
        search.maxRounds = c.maxRounds;
        search.deadlineMs = c.deadlineMs;
        search.confirm = [&rounds, &c](Module&) {
            return rounds.count == c.confirmedAt ? aErrNone : aErrTimeout;
        };
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(findModuleAgain(module, search), c.result);
        const auto took = std::chrono::steady_clock::now() - start;
        if (c.rounds >= 0) {
            EXPECT_EQ(rounds.count, c.rounds);
        } else {
            EXPECT_GE(rounds.count, 2);
            // The search's clock counts whole milliseconds: its deadline may
            // fall up to one millisecond before this finer clock's.
            EXPECT_GE(took, std::chrono::milliseconds(c.deadlineMs - 1));
            EXPECT_LT(took, std::chrono::seconds(30));
        }
    }
}

// A fresh context every third USB round; a search with no serial number to
// look for finds nothing.
TEST(ModuleSearch, FreshUsbContextEveryNthRound) {
    Module module(0, static_cast<unsigned char>(0));
    Rounds rounds;
    ModuleSearch search = Counting(rounds);
    search.type = USB;
    search.maxRounds = 7;
    search.freshUsbEvery = 3;
    EXPECT_EQ(findModuleAgain(module, search), aErrNotFound);
    EXPECT_EQ(rounds.count, 7);
    EXPECT_EQ(rounds.fresh, (std::vector<int>{3, 6}));
}

// Over TCP/IP the module is reconnected where it was and confirmed by its
// serial number; once the simulator is gone every round fails and the
// module is left disconnected.
TEST(ModuleSearch, RelinksToTheSimulatorUntilItIsGone) {
    simtest::Sim sim("[module m]\nserial = 0x1234ABCD\nmodel = 17\nversion = 2.15.3\n");
    ASSERT_TRUE(sim.ready()) << sim.log();
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = kSerial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = sim.port("m");
    Module module(0, static_cast<unsigned char>(0));
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);

    Rounds rounds;
    ModuleSearch search = Counting(rounds);
    search.type = TCPIP;
    search.maxRounds = 3;
    unsigned reported = 0;
    search.confirm = [&reported](Module& m) {
        SystemClass system;
        system.init(&m, 0);
        return system.getSerialNumber(&reported);
    };
    EXPECT_EQ(findModuleAgain(module, search), aErrNone);
    EXPECT_EQ(rounds.count, 1);
    EXPECT_EQ(reported, kSerial);
    EXPECT_TRUE(module.isConnected());

    sim.stop();
    rounds = {};
    EXPECT_NE(findModuleAgain(module, search), aErrNone);
    EXPECT_EQ(rounds.count, 3);
    EXPECT_FALSE(module.isConnected());
}

} // namespace
