#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Events.h"
#include "Json.h"
#include "Process.h"

namespace {

// Every way a command line is refused before anything is searched: status 1,
// the reason on standard error, and nothing on standard output (under --json
// a script must never read text there).
TEST(FleetCommandLine, RefusedBeforeAnythingIsSearched) {
    struct Case {
        std::vector<std::string> args;
        const char* said;
    };
    const std::vector<Case> cases{
        {{}, "no command given"},
        {{"flash", "--all"}, "unknown command 'flash'"},
        {{"update", "--json"}, "update needs a selection"},
        {{"update", "--file", "x.bird", "--force"}, "update needs a selection"},
        {{"plan", "--json"}, "plan needs a selection"},
        {{"update", "-d", "0"}, "-d takes a serial number"},
        {{"update", "-d", "12345678Z"}, "-d takes a serial number"},
        {{"update", "-d", "123456789"}, "-d takes a serial number"},
        {{"update", "-d"}, "-d takes a serial number"},
        {{"update", "--all", "--jobs", "0"}, "--jobs takes a number"},
        {{"update", "--all", "--jobs", "-3"}, "--jobs takes a number"},
        {{"update", "-t", "all"}, "-t takes usb or tcpip"},
        {{"list", "-t", "serial"}, "-t takes usb, tcpip or all"},
        {{"plan", "--all", "--force"}, "unknown option '--force'"},
        {{"list", "--all"}, "unknown option '--all'"},
        {{"list", "-X", "junk"}, "-X takes a bit mask"},
        {{"list", "-r", "0x"}, "-r takes a router's serial number"},
        {{"list", "-u"}, "-u needs a value"},
        {{"doctor", "--port"}, "--port needs a value"},
        {{"list", "--port", "/dev/ttyUSB0"}, "unknown option '--port'"},
        {{"update", "--all", "--file", "/nonexistent/x.bird", "--json"}, "Cannot read /nonexistent/x.bird"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{FLEET_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    const auto help = testsupport::Run({FLEET_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
}

// Module names and messages come from devices and files: whatever bytes
// they hold, the event stream stays one valid JSON text per line.
TEST(FleetJson, HostileTextStaysOneValidString) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const std::vector<Case> cases{
        {"Bench A", "\"Bench A\""},
        {"quote \" and \\ back", "\"quote \\\" and \\\\ back\""},
        {"line\nbreak\r\ttab", "\"line\\u000abreak\\u000d\\u0009tab\""},
        {"esc\x1b[2J", "\"esc\\u001b[2J\""},
        {std::string("nul\0in", 6), "\"nul\\u0000in\""},
        {"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
        {"cut \xC3", "\"cut \\ufffd\""},
        {"bad \xFF\xFE", "\"bad \\ufffd\\ufffd\""},
        {"overlong \xC0\xAF", "\"overlong \\ufffd\\ufffd\""},
        {"surrogate \xED\xA0\x80", "\"surrogate \\ufffd\\ufffd\\ufffd\""},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonQuote(c.text), c.quoted) << c.text;
}

// Counts what reaches a sink.
struct CountingSink : EventSink {
    void Module(const FleetModule&) override {}
    void Plan(const PlanEntry&) override {}
    void Start(const PlanEntry&, int) override {}
    void Progress(const FleetModule& m, FleetStage stage, uint64_t done, uint64_t total) override {
        seen.push_back({m.serial, stage, done, total});
    }
    void Retry(const FleetModule&, int, const std::string&) override {}
    void Finished(const ModuleResult&) override {}
    void Done(const Summary&, const std::vector<ModuleResult>&) override {}
    void Doctor(const DoctorCheck&) override {}
    void Say(bool, const std::string&) override {}
    struct Seen {
        unsigned serial;
        FleetStage stage;
        uint64_t done, total;
    };
    std::vector<Seen> seen;
};

// A megabyte written in 26-byte packets must not flood the stream, yet every
// stage shows its start and its end, for each module on its own.
TEST(FleetEvents, ProgressIsThinnedButKeepsEachStagesEnds) {
    auto sink = std::make_unique<CountingSink>();
    CountingSink& counted = *sink;
    Events events(std::move(sink));
    FleetModule a, b;
    a.serial = 1;
    b.serial = 2;
    const uint64_t total = 1 << 20;
    for (uint64_t done = 0; done <= total; done += 26) {
        events.Progress(a, FleetStage::Firmware, done, total);
        events.Progress(b, FleetStage::Firmware, done, total);
    }
    events.Progress(a, FleetStage::Firmware, total, total);
    events.Progress(b, FleetStage::Firmware, total, total);
    events.Progress(a, FleetStage::Reboot, 0, 0);
    events.Progress(a, FleetStage::Reboot, 0, 0);
    events.Progress(a, FleetStage::Verify, 0, 0);
    size_t firmwareA = 0;
    bool endA = false, endB = false;
    for (const auto& s : counted.seen) {
        if (s.serial == 1 && s.stage == FleetStage::Firmware) ++firmwareA;
        endA = endA || (s.serial == 1 && s.done == total);
        endB = endB || (s.serial == 2 && s.done == total);
    }
    EXPECT_LE(firmwareA, 101u);
    EXPECT_TRUE(endA);
    EXPECT_TRUE(endB);
    ASSERT_GE(counted.seen.size(), 2u);
    EXPECT_EQ(counted.seen[counted.seen.size() - 2].stage, FleetStage::Reboot);
    EXPECT_EQ(counted.seen.back().stage, FleetStage::Verify);
}

} // namespace
