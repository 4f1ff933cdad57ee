// The boot-ROM answer fuzzers' seeds and crash reproducers, replayed in the
// normal suite (and so under the sanitizers in the sanitizer build).
#include <filesystem>
#include <gtest/gtest.h>

#include "LoaderFuzzTargets.h"
#include "Process.h"

namespace {

size_t ReplayAll(const std::string& directory, void (*target)(const uint8_t*, size_t)) {
    size_t count = 0;
    if (!std::filesystem::is_directory(directory)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const std::string bytes = testsupport::ReadFile(entry.path().string());
        target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    return count;
}

TEST(LoaderFuzzSeeds, IspAnswersParseSafely) {
    EXPECT_GE(ReplayAll(FUZZ_DIR "/corpus/isp", FuzzIspAnswers), 6u);
    ReplayAll(FUZZ_DIR "/crashes/isp", FuzzIspAnswers);
}

TEST(LoaderFuzzSeeds, SdpAnswersParseSafely) {
    EXPECT_GE(ReplayAll(FUZZ_DIR "/corpus/sdp", FuzzSdpAnswers), 4u);
    ReplayAll(FUZZ_DIR "/crashes/sdp", FuzzSdpAnswers);
}

} // namespace
