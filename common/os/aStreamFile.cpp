/* File streams over the portable file layer. */
#include "aFile.h"
#include "aStreamTransport.h"

static aErr sFileGet(uint8_t* byte, void* reference)
{
    size_t count = 0;
    aErr err = aFile_Read((aFile*)reference, byte, 1, &count);
    if (err == aErrNone && count != 1)
        err = aErrEOF;
    return err;
}

static aErr sFileWrite(const uint8_t* bytes, size_t length, void* reference)
{
    size_t count = 0;
    aErr err = aFile_Write((aFile*)reference, bytes, length, &count);
    if (err == aErrNone && count != length)
        err = aErrWrite;
    return err;
}

static aErr sFilePut(uint8_t byte, void* reference)
{
    return sFileWrite(&byte, 1, reference);
}

static aErr sFileDelete(void* reference)
{
    aFile* file = (aFile*)reference;
    return aFile_Close(&file);
}

static aErr sCreateFile(const char* path, aFileMode mode, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    aFile* file = aFile_Open(path, mode);
    if (file == NULL)
        return aErrResource;
    if (mode == aFileModeReadOnly)
        *stream = aStream_Create(sFileGet, NULL, NULL, sFileDelete, file);
    else
        *stream = aStream_Create(NULL, sFilePut, sFileWrite, sFileDelete, file);
    if (*stream == NULL) {
        (void)aFile_Close(&file); /* already failing: the missing stream is the error */
        return aErrResource;
    }
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream)
{
    return sCreateFile(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream)
{
    return sCreateFile(path, aFileModeWriteOnly, stream);
}
