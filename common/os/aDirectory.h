/* Directories and paths. Paths use '/' as separator. */
#ifndef TARNIX_ADIRECTORY_H
#define TARNIX_ADIRECTORY_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include "aError.h"

typedef struct aDirectoryListData {
    const char* path;   /* directory path and entry name joined */
    uint64_t size;      /* entry size in bytes */
    bool isDirectory;
} aDirectoryListData;

typedef bool (*aDirectoryListCallback)(const aDirectoryListData* data, void* ref);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, mode_t mode);
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);
/* Joins a NULL-terminated list of at most 10 components. */
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

#endif
