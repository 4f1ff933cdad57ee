#include "ModuleDisplay.h"

#include <ctime>

void ModuleDisplay::Write(const char* lead, const char* text) {
    if (log == nullptr) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &utc);
    std::fprintf(log, "%s.%03ld %s%s\n", stamp, now.tv_nsec / 1000000, lead, text);
}
