#include "Log.h"

#include <ctime>
#include <sys/time.h>

namespace tarnixsim {

void Log::vline(const char* format, va_list args) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(file_, "%s.%03ld tarnix-sim: ", stamp, static_cast<long>(tv.tv_usec / 1000));
    std::vfprintf(file_, format, args);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void Log::info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vline(format, args);
    va_end(args);
}

void Log::packet(const char* direction, const std::string& who, uint8_t address, const uint8_t* data, size_t size) {
    if (!trace_) return;
    std::string hex;
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, " %02X", data[i]);
        hex += b;
    }
    info("%s %s %02X %02zX%s", who.c_str(), direction, address, size, hex.c_str());
}

} // namespace tarnixsim
