// -I, -C, -k and -l through the binary: a hand-made store shown and left
// untouched, BIRD files judged as an update would judge them, the debug log
// sent to a file, and the history entry of a finished transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "KeyValueStore.h"
#include "Process.h"
#include "TempDir.h"
#include "Updater.h"
#include "UsageText.h"

using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string S = "40F5849A";
const std::string& V = usage::kVersion;

RunResult In(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.end(), {"-i", dir.path(), "-u", "http://127.0.0.1:1/cgi/u"});
    return testsupport::RunUpdater(args);
}

// Every entry under root with its size and modification time.
std::string Snapshot(const std::string& root) {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const auto stamp = entry.last_write_time().time_since_epoch().count();
        lines.push_back(entry.path().string() + " " + (entry.is_regular_file() ? std::to_string(entry.file_size()) : "d") +
                        " " + std::to_string(stamp));
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// A BIRD file from birdtool: a 300-byte firmware image plus the manifest lines.
std::string Pack(const TempDir& dir, const std::string& name, const std::string& lines) {
    WriteFile(dir / "fw.bin", std::string(300, '\x5A'));
    WriteFile(dir / (name + ".manifest"), lines + "firmware 0x1000 fw.bin flags=3\n");
    auto r = testsupport::Run({BIRDTOOL_BIN, "pack", dir / (name + ".manifest"), dir / name});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir / name;
}

const char* kGeneric = "build 4711\nversion 2.12.4\nserial abcd\nmodel Corvane\nserial-offsets 0x1004 0x1010\n";
const char* kForABCD = "build 12\nversion 1.0.0\nserial 0000ABCD\nmodel Corvane\n";

} // namespace

TEST(ShowInfo, StoredHistoryAndBuildsWithoutChangingTheStore) {
    TempDir dir;
    const std::string device = dir / ("updater/" + S);
    std::filesystem::create_directories(device);
    std::filesystem::create_directories(dir / "updater/0000ABCD"); // known, no settings yet
    WriteFile(device + "/.settings", "CREATED_TIME=Mon Jan  1 00:00:00 2024\nLATEST_DOWNLOAD=4711.bird\nOWNER=lab 3\n");
    std::filesystem::copy_file(Pack(dir, "generic.bird", kGeneric), device + "/4711.bird");
    WriteFile(device + "/12.bird", "not a bird file");
    const std::string before = Snapshot(dir / "updater");

    RunResult r = In(dir, {"-I", "-d", S});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, V + "Stored information for device [40F5849A]\nDirectory: " + device +
                         "\nHistory:\n    LATEST_DOWNLOAD      4711.bird\n    LAST_DOWNLOAD_DATE   (none)\n"
                         "    LATEST_TRANSFER      (none)\n    LAST_TRANSFER_DATE   (none)\n"
                         "    CREATED_TIME         Mon Jan  1 00:00:00 2024\n    UPDATED_TIME         (none)\n"
                         "    OWNER                lab 3\nBuild List for device [40F5849A]:\n\n"
                         "Build          \tVersion        \n4711           \t2.12.4         \n"
                         "12             \t               \n");

    r = In(dir, {"-I", "-d", "ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("    UPDATED_TIME         (none)\nNo builds found for device [0000ABCD]\n"), std::string::npos)
        << r.out;
    for (const std::string unknown : {"12345678", "ABC"}) {
        r = In(dir, {"-I", "-d", unknown});
        EXPECT_EQ(r.out, V);
        EXPECT_EQ(r.err, "No stored information for device [" + std::string(8 - unknown.size(), '0') + unknown + "]\n");
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(Snapshot(dir / "updater"), before);

    // With -D it shows every module discovery finds: none here (no USB).
    r = In(dir, {"-I", "-D"});
    EXPECT_EQ(r.out, V + "Searching for Tarnix devices\n    No devices found.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(CheckBird, JudgedAsAnUpdateWouldJudgeIt) {
    TempDir dir;
    const std::string generic = Pack(dir, "generic.bird", kGeneric);
    const std::string forABCD = Pack(dir, "abcd.bird", kForABCD);
    WriteFile(dir / "cut.bird", ReadFile(generic).substr(0, 40));
    const std::string miscounted = dir / "miscounted.bird"; // declares 3 blocks, holds 2
    WriteFile(dir / "spec.json", R"({"count": 3, "blocks": [{"type": 4, "info": ["1", "1.0", "0000ABCD", "M"]},
                                     {"type": 1, "address": 0, "image": "00112233"}]})");
    ASSERT_EQ(testsupport::Run({SYSTEM_PYTHON3, WRITE_BIRD_PY, "spec", dir / "spec.json", miscounted}).status, 0);
    const std::string original = ReadFile(generic);

    RunResult r = In(dir, {"-C", "-f", generic, "-d", S});
    EXPECT_EQ(r.out, V + "Checking BIRD file: " + generic +
                         "\nBuild:          4711\nVersion:        2.12.4\nSerial number:  0000ABCD\n"
                         "Model:          Corvane\nBlocks:         3\n"
                         "    Type              Address        Length  Flags\n"
                         "    4  info           -                  64  0\n"
                         "    2  serial-number  -                   8  0\n"
                         "    1  firmware       0x00001000        304  3\n"
                         "Serial-number block: yes (serial number at 0x00001004, descriptor at 0x00001010)\n"
                         "Serial-number check for [40F5849A]: passed (the number is set into the firmware)\n"
                         "BIRD file can be used for an update\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(generic), original); // patched in memory only

    const std::string refused = "BIRD file cannot be used for an update: ";
    struct Row {
        std::vector<std::string> args;
        std::string err;
        std::string out_line;
    } rows[] = {
        {{"-f", forABCD}, "", "BIRD file can be used for an update\n"},
        {{"-f", forABCD, "-d", "ABCD"}, "", "Serial-number check for [0000ABCD]: passed\n"},
        {{"-f", forABCD, "-d", S}, refused + "it is built for device 0000ABCD, not 40F5849A\n",
         "Serial-number check for [40F5849A]: failed\n"},
        {{"-f", dir / "cut.bird"}, refused + "it does not load: unreadable, too short, or its data does not inflate\n",
         "Checking BIRD file: " + dir / "cut.bird\n"},
        {{"-f", miscounted}, refused + "its block area is damaged: 3 blocks declared, 2 readable\n", "Blocks:         2\n"},
        {{"-f", dir / "absent.bird"}, refused + "there is no such file\n", "Checking BIRD file: "},
        {{"-f", dir.path()}, refused + "it is a directory\n", "Checking BIRD file: "},
        {{}, "-C must specify a BIRD file via -f\n--help for usage information\n", V},
    };
    for (auto& row : rows) {
        row.args.insert(row.args.begin(), "-C");
        r = In(dir, row.args);
        SCOPED_TRACE(::testing::PrintToString(row.args));
        EXPECT_EQ(r.err, row.err);
        EXPECT_NE(r.out.find(row.out_line), std::string::npos) << r.out;
        EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
    }
}

TEST(DebugLogFile, AppendedToTheFileOrElseStandardError) {
    TempDir dir;
    const std::string log = dir / "run.log";
    const std::string lines = "\nApplication parameters:[Updater]\n\t[" + std::string(UPDATER_BIN) +
                              "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-k]\n\t[";
    RunResult r = In(dir, {"-X", "0x10000", "-I", "-k", log});
    EXPECT_EQ(r.out + r.err, V);
    r = In(dir, {"-X", "0x10000", "-I", "-k", log});
    const std::string once = lines + log + "]\n\t[-i]\n\t[" + dir.path() + "]\n\t[-u]\n\t[http://127.0.0.1:1/cgi/u]\n";
    EXPECT_EQ(ReadFile(log), once + once);

    // The file takes lines logged before -k is read, too.
    r = In(dir, {"-X", "1", "-d", "0x" + S, "-I", "-k", dir / "early.log"});
    EXPECT_EQ(r.err, "No stored information for device [40F5849A]\n");
    EXPECT_EQ(ReadFile(dir / "early.log").substr(0, 37), "Discarding '0x' serial number prefix\n");

    WriteFile(dir / "plain", "");
    const std::string bad = dir / "plain/run.log";
    r = In(dir, {"-X", "0x10000", "-I", "-k", bad});
    EXPECT_EQ(r.out, V);
    EXPECT_EQ(r.err, "Could not open log file " + bad + " (Not a directory), logging to standard error\n" + lines +
                         bad + "]\n\t[-i]\n\t[" + dir.path() + "]\n\t[-u]\n\t[http://127.0.0.1:1/cgi/u]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(HistoryNote, RecordedWithTheTransferOnly) {
    TempDir dir;
    const std::string device = dir / ("updater/" + S);
    std::filesystem::create_directories(device);
    const std::string settings = device + "/.settings";

    KeyValueStore values(settings);
    ASSERT_TRUE(_record_transfer(values, "4711.bird", "  bench 3\nretest=yes\r\n"));
    RunResult r = In(dir, {"-I", "-d", S});
    EXPECT_NE(r.out.find("    LATEST_TRANSFER      4711.bird\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    LAST_TRANSFER_NOTE   bench 3 retest yes\n"), std::string::npos) << r.out;

    // A failed update records nothing, with or without -l.
    const std::string before = Snapshot(device);
    r = In(dir, {"-U", "-d", S, "-l", "second"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Snapshot(device), before);

    // The next transfer without a note drops the old one; a path with a line
    // break cannot add settings lines.
    ASSERT_TRUE(_record_transfer(values, "/tmp/x\nLATEST_DOWNLOAD=1.bird", ""));
    KeyValueStore reread(settings);
    EXPECT_EQ(reread["LAST_TRANSFER_NOTE"], nullptr);
    EXPECT_STREQ(reread["LATEST_TRANSFER"], "/tmp/x LATEST_DOWNLOAD=1.bird");
    EXPECT_EQ(reread["LATEST_DOWNLOAD"], nullptr);

    // Long notes stay on a line the settings reader can take, cut between characters.
    std::string accents;
    for (int i = 0; i < 800; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(_history_note_text("a" + accents), "a" + accents.substr(0, 998));
}
