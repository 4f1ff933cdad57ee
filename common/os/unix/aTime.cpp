#include "aTime.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>

uint64_t aTime_MonotonicMS(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t aTime_GetMSTicks(void)
{
    struct timeval now;
    if (gettimeofday(&now, NULL) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

/* Sleeps the whole span even when a signal interrupts it. */
static void sSleepMicroseconds(uint32_t us)
{
    struct timespec rest = {static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void aTime_MSSleep(uint32_t ms)
{
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    while (remaining > 0) {
        const uint32_t step = remaining > 999999u ? 999999u : static_cast<uint32_t>(remaining);
        sSleepMicroseconds(step);
        remaining -= step;
    }
}
