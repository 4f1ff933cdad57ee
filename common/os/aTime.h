/* Millisecond clock and sleeps. */
#ifndef TARNIX_ATIME_H
#define TARNIX_ATIME_H

#include <stdint.h>

/* Milliseconds since the epoch from the wall clock; 0 when it cannot be read. */
uint64_t aTime_GetMSTicks(void);
/* Milliseconds from the monotonic clock (never jumps): for deadlines and waits. */
uint64_t aTime_MonotonicMS(void);
void aTime_MSSleep(uint32_t ms);

#endif
