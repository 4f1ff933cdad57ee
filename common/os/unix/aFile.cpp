#include "aFile.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_VALIDITY 0xFEED

/* What the stream did last: C streams opened for update need a positioning
 * call between a write and a following read (and the reverse). */
typedef enum { sLastNone, sLastRead, sLastWrite } sLastOp;

struct aFile {
    uint16_t validity;
    FILE* stream;
    aFileMode mode;
    sLastOp last;
};

static bool sValid(const aFile* file)
{
    return file != NULL && file->validity == aFILE_VALIDITY;
}

static bool sPathUsable(const char* path)
{
    return path != NULL && path[0] != '\0' && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

static void sSwitchTo(aFile* file, sLastOp op)
{
    if (file->last != sLastNone && file->last != op)
        fseeko(file->stream, 0, SEEK_CUR);
    file->last = op;
}

static bool sCanRead(const aFile* file)
{
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

static bool sCanWrite(const aFile* file)
{
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

bool aFile_Exists(const char* path)
{
    if (!sPathUsable(path))
        return false;
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

static const char* sStdioMode(aFileMode mode)
{
    switch (mode) {
    case aFileModeReadOnly: return "rb";
    case aFileModeWriteOnly: return "wb";
    case aFileModeAppend: return "ab+";
    default: return NULL;
    }
}

/* Wraps an open stream in a handle; the stream is closed when that fails. */
static aFile* sWrap(FILE* stream, aFileMode mode)
{
    aFile* file = static_cast<aFile*>(calloc(1, sizeof(aFile)));
    if (file == NULL) {
        fclose(stream);
        return NULL;
    }
    file->stream = stream;
    if (mode == aFileModeAppend)
        fseeko(file->stream, 0, SEEK_END);
    file->mode = mode;
    file->last = sLastNone;
    file->validity = aFILE_VALIDITY;
    return file;
}

aFile* aFile_Open(const char* path, aFileMode mode)
{
    const char* how = sStdioMode(mode);
    if (!sPathUsable(path) || how == NULL)
        return NULL;

    FILE* stream = fopen(path, how);
    if (stream == NULL)
        return NULL;
    /* A directory opens for reading here, then reads as empty and seeks to
     * nonsense sizes; it is no file. */
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(stream);
        return NULL;
    }
    return sWrap(stream, mode);
}

aErr aFile_OpenRegular(const char* path, aFileMode mode, aFile** file)
{
    if (file == NULL)
        return aErrParam;
    *file = NULL;
    const char* how = sStdioMode(mode);
    if (!sPathUsable(path) || how == NULL)
        return aErrParam;

    int flags = O_RDONLY;
    if (mode == aFileModeWriteOnly)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (mode == aFileModeAppend)
        flags = O_RDWR | O_CREAT | O_APPEND;
    /* Non-blocking, so a FIFO or a terminal cannot hold the open; no such
     * file is accepted anyway, and a regular file ignores the flag. */
    const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return aErrNotFound;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return aErrMode;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status != -1)
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    FILE* stream = fdopen(fd, how);
    if (stream == NULL) {
        const int error = errno;
        close(fd);
        errno = error;
        return aErrNotFound;
    }
    *file = sWrap(stream, mode);
    return *file != NULL ? aErrNone : aErrMemory;
}

aErr aFile_Close(aFile** handle)
{
    if (handle == NULL)
        return aErrParam;
    aFile* file = *handle;
    *handle = NULL;
    if (!sValid(file))
        return aErrParam;
    file->validity = 0;
    /* A failed close may have lost buffered output; say so. */
    const int closed = fclose(file->stream);
    free(file);
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(file))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (length == 0)
        return aErrNone;
    if (buffer == NULL)
        return aErrParam;
    sSwitchTo(file, sLastRead);
    const size_t got = fread(buffer, 1, length, file->stream);
    if (count)
        *count = got;
    return got == 0 ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (length == 0)
        return aErrNone;
    if (data == NULL)
        return aErrParam;
    sSwitchTo(file, sLastWrite);
    const size_t put = fwrite(data, 1, length, file->stream);
    if (count)
        *count = put;
    return put == 0 ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (!sValid(file))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (buffer == NULL || size == 0)
        return aErrParam;
    sSwitchTo(file, sLastRead);

    FILE* stream = file->stream;
    size_t used = 0;
    bool newline = false;
    while (used + 1 < size) {
        const int c = getc(stream);
        if (c == EOF)
            break;
        buffer[used++] = static_cast<char>(c);
        if (c == '\n') {
            newline = true;
            break;
        }
    }
    buffer[used] = '\0';
    if (length)
        *length = used;

    if (used == 0 && size > 1) {
        if (ferror(stream))
            return aErrIO;
        return aErrEOF;
    }
    if (ferror(stream))
        return aErrIO;
    if (!newline && used + 1 == size) {
        /* A last line that exactly fills the buffer is whole, not cut. */
        const int next = getc(stream);
        if (next == EOF && !ferror(stream))
            return used == 0 ? aErrEOF : aErrNone;
        if (next != EOF)
            ungetc(next, stream);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (format == NULL)
        return aErrParam;
    sSwitchTo(file, sLastWrite);
    va_list args;
    va_start(args, format);
    const int n = vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

/* Size by seeking to the end and back; the stream is flushed on the way so
 * pending output counts. */
static aErr sSize(aFile* file, off_t* size)
{
    FILE* stream = file->stream;
    const off_t here = ftello(stream);
    if (here < 0)
        return aErrIO;
    if (fseeko(stream, 0, SEEK_END) != 0)
        return aErrIO;
    const off_t end = ftello(stream);
    if (fseeko(stream, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    file->last = sLastNone;
    *size = end;
    return aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin)
{
    if (!sValid(file))
        return aErrParam;

    off_t size = 0;
    aErr err = sSize(file, &size);
    if (err != aErrNone)
        return err;

    int64_t base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: {
        const off_t here = ftello(file->stream);
        if (here < 0)
            return aErrIO;
        base = here;
        break;
    }
    case 2: base = size; break;
    default: return aErrParam;
    }

    /* Checked before adding so an extreme offset cannot overflow. */
    if ((offset > 0 && offset > static_cast<int64_t>(size) - base) || (offset < 0 && offset < -base))
        return aErrRange;
    const int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(size))
        return aErrRange;
    if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0)
        return aErrIO;
    file->last = sLastNone;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size)
{
    if (!sValid(file))
        return aErrParam;
    if (size == NULL)
        return aErrParam;
    off_t found = 0;
    if (sSize(file, &found) != aErrNone) {
        *size = 0;
        return aErrIO;
    }
    *size = static_cast<uint64_t>(found);
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    fflush(file->stream);
    if (setvbuf(file->stream, NULL, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}
