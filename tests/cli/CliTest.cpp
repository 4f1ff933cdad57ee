// The Updater binary as a user runs it: standard output, standard error and
// exit status compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"
#include "UsageText.h"

using testsupport::RunResult;
using testsupport::RunUpdater;
using testsupport::TempDir;

namespace {

struct Expect {
    std::string out;
    std::string err;
    int status;
};

void Check(const std::vector<std::string>& args, const Expect& want) {
    SCOPED_TRACE("Updater with " + ::testing::PrintToString(args));
    RunResult r = RunUpdater(args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, want.out);
    EXPECT_EQ(r.err, want.err);
    EXPECT_EQ(r.status, want.status);
}

// A loopback port nothing listens on: a server request fails at once and
// never leaves the machine.
const std::string kNoServer = "http://127.0.0.1:1/cgi/u";

// Arguments with "-i <dir>" and "-u <closed loopback port>" appended, so
// nothing touches the real home or the network.
std::vector<std::string> In(const TempDir& dir, std::vector<std::string> args) {
    args.push_back("-i");
    args.push_back(dir.path());
    args.push_back("-u");
    args.push_back(kNoServer);
    return args;
}

const std::string& V = usage::kVersion;
const std::string kServerDown = "Server request failed for " + kNoServer + "\n";

// A refused command line: its messages, then banner and short usage, status 1.
Expect Refused(const std::string& messages) { return {usage::kBanner, messages + usage::kShort, 1}; }
// A command line with no command: banner and short usage, status 0.
const Expect kShortUsageOnly{usage::kBanner, usage::kShort, 0};
const Expect kFullHelp{usage::kBanner, usage::kHelp, 0};

// What -G prints for a serial number, then the download fails for want of a server.
Expect DownloadAttempt(const std::string& serial, const std::string& build_lines) {
    return {V + "Retrieving firmware for device with serial number " + serial + "\n" + build_lines,
            kServerDown, 1};
}
const std::string kLatest = "No build specified\nUsing Latest build\n";

} // namespace

TEST(CliUsage, BannerAndUsage) {
    Check({}, kShortUsageOnly);
    Check({"-h"}, kFullHelp);
    Check({"-H"}, kFullHelp);
    Check({"--help"}, kFullHelp);
    Check({"--he"}, kFullHelp); // unique prefix of --help
    // Options after the help option are not read, so -Y cannot fail the run.
    Check({"-h", "-Y"}, kFullHelp);
    Check({"-d", "0", "-h"}, {usage::kBanner,
                              "Invalid serial number obtained from argument [0]\n" + usage::kHelp, 0});
}

TEST(CliUsage, ExtendedBlockNeedsMaskBeforeHelp) {
    Check({"-X", "0x3", "-h"}, {usage::kBanner, usage::kExtendedHelp, 0});
    Check({"-h", "-X", "0x3"}, kFullHelp);
    // A mask without help still prints only the short block.
    Check({"-X", "0x3"}, kShortUsageOnly);
    // A mask with stray characters is reported, not activated, and still counts as given.
    Check({"-X", "12zz"},
          {usage::kBanner, "Invalid format for \"-X\" parameter, unprocessed characters [zz]\n" + usage::kShort, 0});
    Check({"-X=0x", "-h"},
          {usage::kBanner,
           "Invalid format for \"-X\" parameter, unprocessed characters [x]\n" + usage::kExtendedHelp, 0});
}

TEST(CliParsing, WordsThatAreNotOptionsAreSkippedSilently) {
    Check({"-DU"}, kShortUsageOnly);            // no clumping
    Check({"-d40F5849A"}, kShortUsageOnly);     // no glued argument
    Check({"-D=1"}, kShortUsageOnly);           // "=" on an option without argument
    Check({"-q", "-OVERRIDEX", "--", "-"}, kShortUsageOnly);
    Check({"--h"}, kShortUsageOnly);            // ambiguous: --help, --http, --https
    Check({"--htt"}, kShortUsageOnly);          // ambiguous: --http, --https
    Check({"word", "D", "40F5849A"}, kShortUsageOnly);
    Check({"-Z"}, kShortUsageOnly);             // -Z without its argument is skipped
    Check({"-d"}, kShortUsageOnly);             // -d as the last word is skipped
    Check({"-t", "-b", "-r"}, kShortUsageOnly); // arguments may not begin with '-'
}

TEST(CliParsing, RefusedCommandLines) {
    Check({"-Y"}, Refused("Unhandled command: [-Y]\n"));
    Check({"-D", "-Y", "-U"}, Refused("Unhandled command: [-Y]\n"));
    Check({"-d", "40F5849G"}, Refused("Invalid serial number obtained from argument [40F5849G]\n"));
    Check({"-d", "0"}, Refused("Invalid serial number obtained from argument [0]\n"));
    Check({"-d", "0x0"}, Refused("Invalid serial number obtained from argument [0]\n"));
    Check({"-d=0X"}, Refused("Invalid serial number obtained from argument []\n"));
    Check({"-d", "0x12 34"}, Refused("Invalid serial number obtained from argument [12 34]\n"));
    Check({"-r", "router"}, Refused("Invalid router serial number obtained from argument [router]\n"));
    Check({"-r=0"}, Refused("Invalid router serial number obtained from argument [0]\n"));
    // Digits beyond 32 bits are refused rather than cut to some other device's number.
    Check({"-d", "140F5849A"}, Refused("Invalid serial number obtained from argument [140F5849A]\n"));
    Check({"-d", "0x10000000000000000"}, Refused("Invalid serial number obtained from argument [10000000000000000]\n"));
    Check({"-r", "0x1D272031D"}, Refused("Invalid router serial number obtained from argument [1D272031D]\n"));
    Check({"-t", "usb"}, Refused("Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"));
    Check({"-t", "RECOVE"},
          Refused("Invalid transport type:[RECOVE]\nMust be one of the following: USB, TCPIP, RECOVER\n"));
    const std::string multiple =
        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n";
    Check({"--http", "--https"}, Refused(multiple));
    Check({"-u", "127.0.0.1:9", "--https"}, Refused(multiple));
    Check({"--http", "--http"}, Refused(multiple));
    // Every failure is reported, in command-line order, before the usage.
    Check({"-d", "xyz", "-Y", "-t", "bad", "--https", "--http"},
          Refused("Invalid serial number obtained from argument [xyz]\nUnhandled command: [-Y]\n"
                  "Invalid transport type:[bad]\nMust be one of the following: USB, TCPIP, RECOVER\n" +
                  multiple));
    // A refused command line never runs a command.
    Check({"-D", "-d", "0"}, Refused("Invalid serial number obtained from argument [0]\n"));
}

TEST(CliParsing, AcceptedSpellings) {
    TempDir dir;
    // --htt selects nothing, so it is not a second URL choice.
    Check({"--htt", "--https"}, kShortUsageOnly);
    Check({"--http", "--htt"}, kShortUsageOnly);
    // The serial number in its accepted forms, seen through -G.
    for (const auto& form : std::vector<std::vector<std::string>>{
             {"-d", "0x40F5849A"}, {"-d", "40f5849a"}, {"-d=40F5849A"}, {"-d=0X40f5849A"}, {"-d", "0X40F5849A"},
             {"-d", "0000040F5849A"}}) {
        auto args = form;
        args.push_back("-G");
        Check(In(dir, args), DownloadAttempt("40F5849A", kLatest));
    }
    // The last -d wins.
    Check(In(dir, {"-G", "-d", "1", "-d", "ABCDEF01"}), DownloadAttempt("ABCDEF01", kLatest));
    // Build numbers: a non-numeric text means build 0.
    Check(In(dir, {"-G", "-d", "2181F0EE", "-b", "12x"}), DownloadAttempt("2181F0EE", "Retrieving firmware build 0\n"));
    Check(In(dir, {"-G", "-d", "2181F0EE", "-b=99528558"}),
          DownloadAttempt("2181F0EE", "Retrieving firmware build 99528558\n"));
    // A missing argument leaves the option out; the next word is read as an option.
    Check(In(dir, {"-G", "-d", "2181F0EE", "-b", "-OVER"}), DownloadAttempt("2181F0EE", kLatest));
    Check(In(dir, {"-d", "-G"}),
          {V, "-G must specify a specific device via -d\n--help for usage information\n", 1});
}

TEST(CliParsing, TransportChoosesUpdateOrRecovery) {
    TempDir dir;
    const Expect needs_device{V, "Must specify the specific device to be updated\n", 1};
    // Recovery runs: it first refuses /dev/null, which is no serial port.
    const Expect recovery{V, "/dev/null is a device that is not a terminal, not a serial port\n", 1};
    Check(In(dir, {"-U"}), needs_device);
    Check(In(dir, {"-U", "-t", "TCPIP"}), needs_device);
    Check(In(dir, {"-U", "-t", "TCPxyz"}), needs_device);
    Check(In(dir, {"-U", "-t", "USB"}), needs_device);
    Check(In(dir, {"-U", "-t", "RECOVER", "-s", "/dev/null"}), recovery);
    Check(In(dir, {"-U", "-t=RECOVERY"}), {V, "Must specify the serial port used for connecting\n", 1});
    // The last -t wins.
    Check(In(dir, {"-U", "-t", "RECOVER", "-t", "USB"}), needs_device);
}

TEST(CliDispatch, PreconditionsOfEachCommand) {
    TempDir dir;
    Check(In(dir, {"-N"}), {V, "Must specify the serial port used for connecting\n", 1});
    Check(In(dir, {"-G"}), {V, "-G must specify a specific device via -d\n--help for usage information\n", 1});
    Check(In(dir, {"-U"}), {V, "Must specify the specific device to be updated\n", 1});
    Check(In(dir, {"-B"}), {V, "Error must supply a serial number for the List Builds command\n" + usage::kShort, 1});
    Check(In(dir, {"-L"}),
          {V, "Error must supply a serial number for the List Local Builds command\n" + usage::kShort, 1});
    Check(In(dir, {"-J"}), {V, "Error must supply a serial number for the Get JWT command\n" + usage::kShort, 1});
}

TEST(CliDispatch, FixedOrder) {
    TempDir dir;
    // -N runs before -G, -G before the rest.
    Check(In(dir, {"-G", "-N"}), {V, "Must specify the serial port used for connecting\n", 1});
    Check(In(dir, {"-B", "-G"}), {V, "-G must specify a specific device via -d\n--help for usage information\n", 1});
    // Of -D, -U, -B, -L, -J only the first in that order runs.
    // (No USB here: discovery finds nothing.)
    const Expect discovery{V + "Searching for Tarnix devices\nDiscovered Devices: (USB)\n    No devices found.\n",
                           "", 0};
    Check(In(dir, {"-J", "-L", "-B", "-U", "-D"}), discovery);
    Check(In(dir, {"-J", "-L", "-B", "-U"}), {V, "Must specify the specific device to be updated\n", 1});
    Check(In(dir, {"-J", "-L", "-B"}),
          {V, "Error must supply a serial number for the List Builds command\n" + usage::kShort, 1});
    Check(In(dir, {"-J", "-L"}),
          {V, "Error must supply a serial number for the List Local Builds command\n" + usage::kShort, 1});
}

TEST(CliDispatch, CommandsThatRunNothingSucceed) {
    TempDir dir;
    Check(In(dir, {"-I"}), {V, "", 0});
    Check(In(dir, {"-Z", "anything"}), {V, "", 0});
    Check(In(dir, {"-I", "-OVERRIDE", "-e", "-n", "-m", "0", "-k", dir / "x.log", "-l", "msg"}), {V, "", 0});
}

// Operations this build does not have yet say so and fail the run. (Commands
// whose operations could multicast, -D -t TCPIP and -D -r, stay out of here.)
TEST(CliDispatch, MissingOperationsFailPlainly) {
    TempDir dir;
    const std::string S = "40F5849A";
    // Discovery is there: with no module attached it lists none and succeeds.
    Check(In(dir, {"-D", "-t", "USB"}),
          {V + "Searching for Tarnix devices\nDiscovered Devices: (USB)\n    No devices found.\n", "", 0});
    // No build anywhere (server down, nothing stored): the update cannot start.
    Check(In(dir, {"-U", "-d", S}), {V, "Could not find valid build for this device.\n", 1});
    // -N runs: it first refuses /dev/null, which is no serial port.
    Check(In(dir, {"-N", "-s", "/dev/null"}), {V, "/dev/null is a device that is not a terminal, not a serial port\n", 1});
    // A failed download does not stop the update that follows it.
    Check(In(dir, {"-G", "-U", "-d", S}),
          {V + "Retrieving firmware for device with serial number " + S + "\n" + kLatest,
           kServerDown + "Could not find valid build for this device.\n", 1});
}

TEST(CliDebugLog, MaskSelectsPackages) {
    TempDir dir;
    const std::string serial_note = "Discarding '0x' serial number prefix\n";
    // -X 0x10000: only the entry point's lines.
    RunResult r = RunUpdater({"-X", "0x10000", "-I", "-i", dir.path()});
    EXPECT_EQ(r.out, V);
    EXPECT_EQ(r.err, std::string("\nApplication parameters:[Updater]\n\t[") + UPDATER_BIN +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-i]\n\t[" + dir.path() + "]\n");
    EXPECT_EQ(r.status, 0);

    // -X 0x1 shows the option parser's notes, and no entry-point lines.
    Check({"-X", "1", "-d", "0x40F5849A", "-Z", "z", "-i", dir.path()}, {V, serial_note, 0});
    Check({"-X", "0x10000", "-r", "0xD272031D", "-Y"},
          Refused("Unhandled command: [-Y]\n\nApplication parameters:[Updater]\n\t[" + std::string(UPDATER_BIN) +
                  "]\n\t[-X]\n\t[0x10000]\n\t[-r]\n\t[0xD272031D]\n\t[-Y]\n"));
    Check({"-X", "0x1", "-r", "0xD272031D", "-Y"},
          Refused("Discarding '0x' router serial number prefix\nUnhandled command: [-Y]\n"));
    // The mask takes effect where it stands on the command line.
    Check({"-d", "0x40F5849A", "-X", "0x1", "-Z", "z", "-i", dir.path()}, {V, "", 0});
    // -X 0 selects nothing.
    Check({"-X", "0", "-d", "0x40F5849A", "-Z", "z", "-i", dir.path()}, {V, "", 0});
}
