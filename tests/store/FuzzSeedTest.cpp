// Every committed fuzz seed and crash reproducer goes through the readers
// in the normal suite (and so under the sanitizers in the sanitizer build).
#include <filesystem>
#include <gtest/gtest.h>

#include "FuzzTargets.h"
#include "FuzzReplay.h"
#include "Process.h"

TEST(FuzzSeeds, BirdFileSeedsAndReproducersLoadSafely) {
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/bird", FuzzBirdFileLoad), 8u);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/bird", FuzzBirdFileLoad);
}

TEST(FuzzSeeds, SettingsSeedsAndReproducersLoadSafely) {
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/settings", FuzzKeyValueStoreLoad), 5u);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/settings", FuzzKeyValueStoreLoad);
}
