#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* fmt, ...) {
    if (muted) return;
    char buffer[2048];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt ? fmt : "", args);
    va_end(args);
    if (level == Error)
        error_message(buffer);
    else
        info_message(buffer);
}
