// Helpers shared by the store tests: BIRD files written by the independent
// Python writer, and a capture of the debug log.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "Log.h"
#include "Process.h"
#include "TempDir.h"

namespace storetest {

// Writes OUT from a JSON description with tests/store/write_bird.py.
inline void WriteBirdFromSpec(const testsupport::TempDir& dir, const std::string& json,
                              const std::string& out) {
    const std::string specPath = dir / "spec.json";
    testsupport::WriteFile(specPath, json);
    auto result = testsupport::Run({SYSTEM_PYTHON3, WRITE_BIRD_PY, "spec", specPath, out});
    ASSERT_EQ(result.status, 0) << result.err;
}

// Collects what the debug log writes while it lives (all packages on).
class LogCapture {
public:
    LogCapture() : file_(std::tmpfile()), oldMask_(Log::package_bitmask), oldOut_(Log::fh) {
        Log::SetOutput(file_);
        Log::package_bitmask = 0xFFFFFFFF;
    }
    ~LogCapture() {
        Log::SetOutput(oldOut_);
        Log::package_bitmask = oldMask_;
        std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

private:
    FILE* file_;
    uint32_t oldMask_;
    FILE* oldOut_;
};

inline std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace storetest
