// The committed packet-filter fuzz seeds and crash reproducers go through the
// filters in the normal suite (and under the sanitizers in their builds).
#include <filesystem>
#include <gtest/gtest.h>

#include "FilterFuzzTarget.h"
#include "Process.h"

TEST(FilterFuzzSeeds, SeedsAndReproducersRunSafely)
{
    size_t count = 0;
    for (const char* sub : {"/corpus/filters", "/crashes/filters"}) {
        const std::string directory = std::string(FUZZ_DIR) + sub;
        if (!std::filesystem::is_directory(directory)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            SCOPED_TRACE(entry.path().string());
            const std::string bytes = testsupport::ReadFile(entry.path().string());
            FuzzObjectFilters(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    EXPECT_GE(count, 7u);
}
