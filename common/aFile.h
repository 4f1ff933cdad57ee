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
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_Seek(aFile* file, int64_t offset, int origin);
aErr aFile_GetSize(aFile* file, uint64_t* size);
aErr aFile_SetUnbuffered(aFile* file);

#endif
