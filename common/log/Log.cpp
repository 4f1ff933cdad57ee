#include "Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

namespace {
FILE* opened_file = nullptr; // the file OpenFile made, which only CloseFile may close
thread_local FILE* sThreadOutput = nullptr;
thread_local uint32_t sThreadMask = 0;
}

Log::ThreadScope::ThreadScope(FILE* out, uint32_t extra) {
    sThreadOutput = out;
    sThreadMask = extra;
}

Log::ThreadScope::~ThreadScope() {
    sThreadOutput = nullptr;
    sThreadMask = 0;
}

void Log::log(unsigned package, const char* fmt, ...) {
    FILE* const own = sThreadOutput;
    const uint32_t mask = package_bitmask | (own ? sThreadMask : 0);
    if (package != 0 && (package & mask) == 0) return;

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
    if (own) std::fputs(buffer, own);
    else if (fh) std::fputs(buffer, fh);
}

void Log::SetOutput(FILE* out) { fh = out; }

bool Log::OpenFile(const char* path, const char* mode) {
    if (!path || !*path || !mode) {
        errno = ENOENT;
        return false;
    }
    FILE* file = std::fopen(path, mode);
    if (!file) return false;
    // Unbuffered like standard error: nothing is lost when the run ends badly.
    std::setvbuf(file, nullptr, _IONBF, 0);
    CloseFile();
    opened_file = file;
    fh = file;
    return true;
}

void Log::CloseFile() {
    if (!opened_file) return;
    if (fh == opened_file) fh = stderr;
    std::fclose(opened_file);
    opened_file = nullptr;
}
void Log::ActivatePackage(unsigned mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
