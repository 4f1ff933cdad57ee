/* A ring of packet records and the background logger that drains it to a file. */
#ifndef TARNIX_APACKETLOG_H
#define TARNIX_APACKETLOG_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"
#include "aFile.h"

/* Ring of records (direction byte, length byte, bytes), oldest first; not locked. */
typedef struct aPacketLog aPacketLog;

aPacketLog* aPacketLog_Create(size_t size);
aErr aPacketLog_Destroy(aPacketLog** log);
/* Adds a record, dropping the oldest ones to make room; aErrOverrun when it can never fit. */
aErr aPacketLog_Write(aPacketLog* log, uint8_t direction, size_t length, const uint8_t* bytes);
/* Takes the oldest record: aErrNotFound when empty, aErrOverrun (nothing taken, *length = size
 * needed) when it does not fit the buffer of *length bytes. */
aErr aPacketLog_Read(aPacketLog* log, uint8_t* direction, size_t* length, uint8_t* buffer);
void aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
bool aPacketLog_IsEnabled(const aPacketLog* log);

/* Background logger: calls its callback over and over on its own thread while enabled;
 * the callback paces itself. */
typedef void (*aLoggerProc)(aFile* file, uint32_t identifier);
typedef struct aLogger aLogger;

aLogger* aLogger_Create(uint32_t loggerId, aLoggerProc callback, const char* path);
aErr aLogger_Enable(aLogger* logger);
aErr aLogger_Disable(aLogger* logger);
aErr aLogger_Destroy(aLogger** logger);

#endif
