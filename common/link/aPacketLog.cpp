/* Packet debug log ring and the background logger thread. */
#include "aPacketLog.h"

#include <atomic>
#include <new>
#include <stdlib.h>

#include "aThread.h"

#define aLOGGER_VALIDITY 0xDEED

struct aPacketLog {
    uint8_t* bytes;
    size_t size;
    size_t readPos;
    size_t writePos;
    bool enabled;
};

static size_t sUsed(const aPacketLog* log)
{
    return (log->writePos + log->size - log->readPos) % log->size;
}

static uint8_t sByteAt(const aPacketLog* log, size_t offset)
{
    return log->bytes[(log->readPos + offset) % log->size];
}

aPacketLog* aPacketLog_Create(size_t size)
{
    if (size < 3)
        return NULL;
    aPacketLog* log = (aPacketLog*)calloc(1, sizeof(aPacketLog));
    if (log == NULL)
        return NULL;
    log->bytes = (uint8_t*)malloc(size);
    if (log->bytes == NULL) {
        free(log);
        return NULL;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (log == NULL || *log == NULL)
        return aErrParam;
    free((*log)->bytes);
    free(*log);
    *log = NULL;
    return aErrNone;
}

aErr aPacketLog_Write(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes)
{
    if (log == NULL || (bytes == NULL && length > 0))
        return aErrParam;
    if (length > 255) /* the record's length is one byte */
        return aErrRange;
    const size_t needed = length + 2;
    if (needed >= log->size)
        return aErrOverrun;
    while (log->size - sUsed(log) <= needed) {
        const size_t dropped = 2 + sByteAt(log, 1);
        log->readPos = (log->readPos + dropped) % log->size;
    }
    size_t at = log->writePos;
    log->bytes[at] = direction;
    at = (at + 1) % log->size;
    log->bytes[at] = (uint8_t)length;
    at = (at + 1) % log->size;
    for (size_t i = 0; i < length; ++i) {
        log->bytes[at] = bytes[i];
        at = (at + 1) % log->size;
    }
    log->writePos = at;
    return aErrNone;
}

aErr aPacketLog_Read(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer)
{
    if (log == NULL || direction == NULL || length == NULL || (buffer == NULL && *length > 0))
        return aErrParam;
    if (sUsed(log) == 0)
        return aErrNotFound;
    const size_t recordLength = sByteAt(log, 1);
    if (recordLength > *length) {
        *length = recordLength;
        return aErrOverrun;
    }
    *direction = sByteAt(log, 0);
    for (size_t i = 0; i < recordLength; ++i)
        buffer[i] = sByteAt(log, 2 + i);
    *length = recordLength;
    log->readPos = (log->readPos + 2 + recordLength) % log->size;
    return aErrNone;
}

void aPacketLog_SetEnabled(aPacketLog* log, bool enabled)
{
    if (log != NULL)
        log->enabled = enabled;
}

bool aPacketLog_IsEnabled(const aPacketLog* log)
{
    return log != NULL && log->enabled;
}

/* Logger. --------------------------------------------------------------- */

struct aLogger {
    uint16_t validity;
    uint32_t identifier;
    aLoggerProc callback;
    aFile* file;
    aThread* thread;
    std::atomic<bool> enabled;
};

static thread_local const aLogger* sRunningLogger = NULL;

static void* sLoggerThread(void* argument)
{
    aLogger* logger = (aLogger*)argument;
    sRunningLogger = logger;
    while (logger->enabled.load())
        logger->callback(logger->file, logger->identifier);
    return NULL;
}

aLogger* aLogger_Create(uint32_t loggerId, aLoggerProc callback, const char* path)
{
    if (callback == NULL || path == NULL)
        return NULL;
    aLogger* logger = new (std::nothrow) aLogger();
    if (logger == NULL)
        return NULL;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (logger->file == NULL) {
        delete logger;
        return NULL;
    }
    (void)aFile_SetUnbuffered(logger->file); /* a log that stays buffered is still correct, only later on disk */
    logger->validity = aLOGGER_VALIDITY;
    logger->identifier = loggerId;
    logger->callback = callback;
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (logger == NULL || logger->validity != aLOGGER_VALIDITY)
        return aErrParam;
    if (logger->thread != NULL)
        return aErrNone; /* already running */
    logger->enabled = true;
    logger->thread = aThread_Create(sLoggerThread, logger);
    if (logger->thread == NULL) {
        logger->enabled = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (logger == NULL || logger->validity != aLOGGER_VALIDITY)
        return aErrParam;
    logger->enabled = false;
    if (sRunningLogger == logger || logger->thread == NULL)
        return aErrNone;
    return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (logger == NULL || *logger == NULL || (*logger)->validity != aLOGGER_VALIDITY)
        return aErrNone;
    aLogger* l = *logger;
    (void)aLogger_Disable(l); /* teardown: a writer that failed to join leaves nothing more to do */
    if (l->thread != NULL)
        return aErrBusy; /* called on its own thread: it cannot be freed under itself */
    (void)aFile_Close(&l->file); /* closing on teardown: nothing left to do with a failure */
    l->validity = 0;
    delete l;
    *logger = NULL;
    return aErrNone;
}
