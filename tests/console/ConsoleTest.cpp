// The console as a terminal and as a pipe see it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Process.h"

using testsupport::Run;
using testsupport::RunOptions;
using testsupport::RunResult;

namespace {

RunResult Draw(const std::vector<std::string>& actions, bool on_terminal) {
    std::vector<std::string> argv{CONSOLE_DRAW};
    argv.insert(argv.end(), actions.begin(), actions.end());
    RunOptions options;
    options.stdout_pty = on_terminal;
    return testsupport::Run(argv, options);
}

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

const std::string kErase = "\r" + Repeat(' ', 88) + "\r";

// A bar as the terminal sees it: `filled` '=', the arrow, `blanks` spaces, the percentage.
std::string Bar(int filled, int blanks, const std::string& percent, const std::string& label = "") {
    std::string prefix = label.empty() ? "\r[" : "\r (" + label + ") [";
    return prefix + Repeat('=', filled) + ">" + Repeat(' ', blanks) + "] (" + percent + "% ) ";
}

std::string Frame(const std::string& dots, const std::string& label = "") {
    return label.empty() ? "\r " + dots + "      \r" : "\r (" + label + ") " + dots + "      \r";
}

const std::vector<std::string> kAllDrawing = {
    "show", "bar=0", "bar=0.5", "bar=1.0", "hide",
    "spin", "spin", "spin", "spin", "spin", "spin", "spin", "spin", "spin", "spinoff",
    "bar=0.5,abc", "spin=Downloading", "info=done"};

} // namespace

TEST(ConsoleDrawing, TerminalSeesBarSpinnerAndErase) {
    RunResult r = Draw(kAllDrawing, true);
    ASSERT_EQ(r.status, 0);
    const std::string expected =
        Bar(0, 68, "  0") + Bar(34, 34, " 50") + Bar(69, 1, "100") + kErase +
        Frame(".") + Frame("..") + Frame("...") + Frame("....") + Frame(".....") + Frame("....") +
        Frame("...") + Frame("..") + Frame(".") /* the ninth turn starts over */ + kErase +
        Bar(31, 30, " 50", "abc") + Frame("..", "Downloading") + "done\r\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

TEST(ConsoleDrawing, FullBarEndsWithArrowAndOneSpace) {
    RunResult r = Draw({"bar=1.0"}, true);
    EXPECT_EQ(r.out, "\r[" + Repeat('=', 69) + "> ] (100% ) ");
    // Out-of-range fractions stay inside the bar.
    r = Draw({"bar=1.7", "bar=-0.5"}, true);
    EXPECT_EQ(r.out, "\r[" + Repeat('=', 69) + "> ] (100% ) " + Bar(0, 68, "  0"));
    // A fraction that is not a number (0 of 0 bytes) draws an empty bar, not
    // a line padded out to gigabytes.
    RunOptions options;
    options.stdout_pty = true;
    options.timeout = std::chrono::milliseconds(20000);
    r = testsupport::Run({CONSOLE_DRAW, "bar=nan", "bar=0.5"}, options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, Bar(0, 68, "  0") + Bar(34, 34, " 50"));
}

TEST(ConsoleDrawing, RedirectedOutputGetsMessagesOnly) {
    std::vector<std::string> actions = kAllDrawing;
    actions.push_back("error=bad thing");
    RunResult r = Draw(actions, false);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "bad thing\n");
}

TEST(ConsoleMessages, MutingSilencesMessagesButNotDrawing) {
    RunResult r = Draw({"mute", "info=hidden", "error=hidden", "bar=0.5", "unmute", "info=shown",
                        "error=shown too"},
                       true);
    EXPECT_EQ(r.out, Bar(34, 34, " 50") + "shown\r\n");
    EXPECT_EQ(r.err, "shown too\n");
}

TEST(ConsoleMessages, LongMessageIsCutTo2047Characters) {
    RunResult r = Draw({"long=5000", "long=2047"}, false);
    EXPECT_EQ(r.out, Repeat('x', 2047) + "\n" + Repeat('x', 2047) + "\n");
}

TEST(DebugLog, PackageMaskSelectsLines) {
    // Package 0 is always written; others only when their bit is active.
    RunResult r = Draw({"log=0,always", "log=0x1,updater", "log=0x10000,app"}, false);
    EXPECT_EQ(r.err, "always\n");
    EXPECT_EQ(r.out, "");

    r = Draw({"mask=0x10000", "log=0x1,updater", "log=0x10000,app", "log=0x10001,either", "log=0,always"},
             false);
    EXPECT_EQ(r.err, "app\neither\nalways\n");

    r = Draw({"mask=0x10000000", "log=0x10000000,imx", "log=0x20,server"}, false);
    EXPECT_EQ(r.err, "imx\n");
}
