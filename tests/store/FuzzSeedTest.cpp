// Every committed fuzz seed and crash reproducer goes through the readers
// in the normal suite (and so under the sanitizers in the sanitizer build).
#include <filesystem>
#include <gtest/gtest.h>

#include "FuzzTargets.h"
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

} // namespace

TEST(FuzzSeeds, BirdFileSeedsAndReproducersLoadSafely) {
    EXPECT_GE(ReplayAll(FUZZ_DIR "/corpus/bird", FuzzBirdFileLoad), 8u);
    ReplayAll(FUZZ_DIR "/crashes/bird", FuzzBirdFileLoad);
}

TEST(FuzzSeeds, SettingsSeedsAndReproducersLoadSafely) {
    EXPECT_GE(ReplayAll(FUZZ_DIR "/corpus/settings", FuzzKeyValueStoreLoad), 5u);
    ReplayAll(FUZZ_DIR "/crashes/settings", FuzzKeyValueStoreLoad);
}
