// The committed packet-filter fuzz seeds and crash reproducers go through the
// filters in the normal suite (and under the sanitizers in their builds).
#include <filesystem>
#include <gtest/gtest.h>

#include "FilterFuzzTarget.h"
#include "FuzzReplay.h"

TEST(FilterFuzzSeeds, SeedsAndReproducersRunSafely)
{
    size_t count = 0;
    for (const char* sub : {"/corpus/filters", "/crashes/filters"})
        count += testsupport::ReplayFuzzInputs(std::string(FUZZ_DIR) + sub, FuzzObjectFilters);
    EXPECT_GE(count, 7u);
}
