// Replays committed fuzz inputs (seeds and crash reproducers) through a fuzz
// target in the normal suite, and so under the sanitizers in their builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Process.h"

namespace testsupport {

// Runs every regular file of `directory` through `target`; returns how many
// ran (0 when the directory does not exist).
template <typename Target>
size_t ReplayFuzzInputs(const std::string& directory, Target target) {
    size_t count = 0;
    if (!std::filesystem::is_directory(directory)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const std::string bytes = ReadFile(entry.path().string());
        target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    return count;
}

} // namespace testsupport
