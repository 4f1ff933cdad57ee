/* Library-wide error codes and their texts. */
#ifndef TARNIX_AERROR_H
#define TARNIX_AERROR_H

#include <stdint.h>

typedef enum [[nodiscard]] aErr : uint32_t {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34
} aErr;

/* Number of entries in the text tables (aErrNone .. aErrUnknown). */
#define aERR_COUNT 35

/* The constant name of an error ("aErrNone" ...); out-of-range values give "aErrUnknown". */
const char* aError_GetErrorText(aErr err);

/* The description of an error; out-of-range values give "Unknown error". */
const char* aError_GetErrorDescription(aErr err);

#endif
