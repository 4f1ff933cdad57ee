#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

void Log::log(unsigned package, const char* fmt, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;

    if (timestamped && fmt && std::strlen(fmt) > 10) {
        char stamp[64];
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        std::strftime(stamp, sizeof stamp, "%Y:%m:%d:%H:%M:%S", &utc);
        std::fprintf(stdout, "%s | ", stamp);
    }

    char buffer[2048];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt ? fmt : "", args);
    va_end(args);
    if (fh) std::fputs(buffer, fh);
}

void Log::SetOutput(FILE* out) { fh = out; }
void Log::ActivatePackage(unsigned mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
