// The simulator's readable log: one time-stamped line per event.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnixsim {

class Log {
public:
    void setFile(std::FILE* file) { file_ = file; }
    void setTrace(bool on) { trace_ = on; }
    bool trace() const { return trace_; }

    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A packet trace line: direction, who, the packet's bytes.
    void packet(const char* direction, const std::string& who, uint8_t address, const uint8_t* data, size_t size);

private:
    void vline(const char* format, va_list args);
    std::FILE* file_ = stderr;
    bool trace_ = false;
};

} // namespace tarnixsim
