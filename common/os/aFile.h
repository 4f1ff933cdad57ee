/* Files, through a thin portable layer. */
#ifndef TARNIX_AFILE_H
#define TARNIX_AFILE_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#define aFILE_MAX_PATH 4096

typedef uint32_t aFileMode;
#define aFileModeReadOnly 0
#define aFileModeWriteOnly 1
#define aFileModeAppend 2

typedef struct aFile aFile; /* opaque */

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, aFileMode mode);
/* As aFile_Open, for stored data that must be a regular file. The open never
 * waits (a FIFO without a writer, a terminal, a device that blocks on open),
 * and anything but a regular file is turned away before a byte is read.
 * Any thread; on success *file is the caller's to aFile_Close. Results:
 * aErrNone; aErrParam for a null `file`, an unusable path or mode;
 * aErrNotFound when the path cannot be opened (errno says why); aErrMode when
 * it is no regular file (a directory, FIFO, socket or device). */
aErr aFile_OpenRegular(const char* path, aFileMode mode, aFile** file);
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_Seek(aFile* file, int64_t offset, int origin);
aErr aFile_GetSize(aFile* file, uint64_t* size);
aErr aFile_SetUnbuffered(aFile* file);

#endif
