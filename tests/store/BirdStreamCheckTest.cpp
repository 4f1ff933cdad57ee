// The streamed check of a downloaded BIRD file gives the verdict the whole
// file in memory gets, whatever pieces the bytes arrive in: every committed
// fuzz seed (good files, cut ones, bombs, bad counts) plus the good ones
// with bytes after the zlib stream.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "BirdFile.h"
#include "BirdStreamCheck.h"
#include "Process.h"

namespace {

// What a download was checked with before it was streamed: the header, then
// the whole file loaded and its block area scanned.
bool WholeFileVerdict(const std::string& file) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    const bool header = file.size() >= BIRD_FILE_HEADER_SIZE && std::memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 &&
                        bytes[4] != 0 && bytes[5] != 0;
    BirdFile bird;
    return header && bird.LoadBytes(bytes, file.size()) && bird.ScanBlocks(bird.data.get(), bird.dataSize);
}

std::string StreamedProblem(const std::string& file, size_t piece) {
    BirdStreamCheck check(64u << 20);
    for (size_t at = 0; at < file.size(); at += piece)
        check.Feed(reinterpret_cast<const uint8_t*>(file.data()) + at, std::min(piece, file.size() - at));
    return check.Finish();
}

} // namespace

TEST(BirdStreamCheck, GivesTheWholeFileVerdictInAnyPieces) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(FUZZ_DIR "/corpus/bird")) {
        const std::string bytes = testsupport::ReadFile(entry.path().string());
        files.emplace_back(entry.path().filename().string(), bytes);
        files.emplace_back(entry.path().filename().string() + "+junk", bytes + "junk");
    }
    ASSERT_GE(files.size(), 16u);
    size_t good = 0;
    for (const auto& [name, file] : files) {
        const bool whole = WholeFileVerdict(file);
        good += whole;
        for (size_t piece : {size_t(1), size_t(5), size_t(4096), file.size() + 1})
            EXPECT_EQ(StreamedProblem(file, piece).empty(), whole) << name << " in pieces of " << piece;
    }
    EXPECT_GE(good, 2u); // the verdicts are not all the same
    EXPECT_LT(good, files.size());
}
