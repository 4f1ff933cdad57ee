// The boot-ROM answer fuzzers' seeds and crash reproducers, replayed in the
// normal suite (and so under the sanitizers in the sanitizer build).
#include <filesystem>
#include <gtest/gtest.h>

#include "LoaderFuzzTargets.h"
#include "FuzzReplay.h"
#include "Process.h"

namespace {

TEST(LoaderFuzzSeeds, IspAnswersParseSafely) {
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/isp", FuzzIspAnswers), 6u);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/isp", FuzzIspAnswers);
}

TEST(LoaderFuzzSeeds, SdpAnswersParseSafely) {
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/sdp", FuzzSdpAnswers), 4u);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/sdp", FuzzSdpAnswers);
}

} // namespace
