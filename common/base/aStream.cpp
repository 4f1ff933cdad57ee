/* The stream record: four transport operations, push-back buffer, block and record I/O. */
#include "aStream.h"

#include <stdlib.h>
#include <string.h>

#define aSTREAM_BUFFER_STEP 512

struct aStream {
    uint16_t validity;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc deleteProc;
    aStreamInterruptProc interrupt;
    void* reference;
    /* Push-back ring, made on first use. */
    uint8_t* buffer;
    size_t capacity;
    size_t count;
    size_t readPos;
    size_t writePos;
};

static bool sValid(const aStream* stream)
{
    return stream != NULL && stream->validity == aSTREAM_VALIDITY;
}

/* Next byte: push-back buffer first, then the transport. */
static aErr sNextByte(aStream* stream, uint8_t* byte)
{
    if (stream->count > 0) {
        *byte = stream->buffer[stream->readPos];
        stream->readPos = (stream->readPos + 1) % stream->capacity;
        stream->count--;
        return aErrNone;
    }
    return stream->get(byte, stream->reference);
}

static aErr sPushBack(aStream* stream, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference)
{
    aStream* stream = (aStream*)calloc(1, sizeof(aStream));
    if (stream == NULL)
        return NULL;
    stream->validity = aSTREAM_VALIDITY;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->deleteProc = deleteProc;
    stream->reference = reference;
    return stream;
}

aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt)
{
    if (!sValid(stream))
        return aErrParam;
    stream->interrupt = interrupt;
    return aErrNone;
}

aErr aStream_Interrupt(aStream* stream)
{
    if (!sValid(stream))
        return aErrParam;
    if (stream->interrupt != NULL)
        stream->interrupt(stream->reference);
    return aErrNone;
}

aErr aStream_Destroy(aStream** stream)
{
    if (stream == NULL || !sValid(*stream))
        return aErrParam;
    aStream* s = *stream;
    aErr err = aErrNone;
    if (s->deleteProc != NULL)
        err = s->deleteProc(s->reference);
    free(s->buffer);
    s->validity = 0;
    free(s);
    *stream = NULL;
    return err;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte)
{
    if (!sValid(stream))
        return aErrParam;
    if (stream->capacity - stream->count <= 1) {
        size_t capacity = stream->capacity + aSTREAM_BUFFER_STEP;
        uint8_t* grown = (uint8_t*)malloc(capacity);
        if (grown == NULL)
            return aErrMemory;
        for (size_t i = 0; i < stream->count; ++i)
            grown[i] = stream->buffer[(stream->readPos + i) % stream->capacity];
        free(stream->buffer);
        stream->buffer = grown;
        stream->capacity = capacity;
        stream->readPos = 0;
        stream->writePos = stream->count;
    }
    stream->buffer[stream->writePos] = byte;
    stream->writePos = (stream->writePos + 1) % stream->capacity;
    stream->count++;
    return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size)
{
    if (!sValid(stream) || buffer == NULL)
        return aErrParam;
    if (stream->get == NULL)
        return aErrMode;
    if (size == 1) /* the link's path: no staging needed */
        return sNextByte(stream, buffer);

    uint8_t small[64];
    uint8_t* staged = size <= sizeof(small) ? small : (uint8_t*)malloc(size);
    if (staged == NULL)
        return aErrMemory;
    size_t got = 0;
    aErr err = aErrNone;
    while (got < size) {
        err = sNextByte(stream, &staged[got]);
        if (err != aErrNone)
            break;
        got++;
    }
    if (err == aErrNone || err == aErrEOF)
        memcpy(buffer, staged, got);
    else if (err == aErrNotReady && got > 0) {
        /* The buffer was drained before get ran: order holds. Bytes that cannot
         * be kept are lost, which the caller must hear of. */
        aErr kept = sPushBack(stream, staged, got);
        if (kept != aErrNone)
            err = kept;
    }
    if (staged != small)
        free(staged);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length)
{
    if (!sValid(stream) || bytes == NULL)
        return aErrParam;
    if (stream->write == NULL && stream->put == NULL)
        return aErrMode;
    if (stream->write != NULL && (length > 1 || stream->put == NULL))
        return length == 0 ? aErrNone : stream->write(bytes, length, stream->reference);
    for (size_t i = 0; i < length; ++i) {
        aErr err = stream->put(bytes[i], stream->reference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || buffer == NULL || length == NULL || size == 0 || separator == NULL ||
        separatorLength == 0)
        return aErrParam;
    if (stream->get == NULL)
        return aErrMode;

    /* Every byte taken is kept in order, separator bytes included, so that a
     * record cut short by aErrNotReady can be pushed back whole. */
    uint8_t* taken = (uint8_t*)malloc(size + separatorLength);
    uint8_t* stored = (uint8_t*)malloc(size);
    if (taken == NULL || stored == NULL) {
        free(taken);
        free(stored);
        return aErrMemory;
    }
    size_t takenCount = 0;
    size_t storedCount = 0;
    size_t matched = 0;
    aErr err = aErrNone;
    while (matched < separatorLength && storedCount < size - 1) {
        uint8_t byte;
        err = sNextByte(stream, &byte);
        if (err != aErrNone)
            break;
        taken[takenCount++] = byte;
        if (byte == separator[matched])
            matched++;
        else
            stored[storedCount++] = byte;
    }
    if (err == aErrEOF && storedCount > 0)
        err = aErrNone;
    if (err == aErrNone) {
        memcpy(buffer, stored, storedCount);
        buffer[storedCount] = 0;
        *length = storedCount;
    } else if (err == aErrNotReady) {
        aErr kept = sPushBack(stream, taken, takenCount);
        if (kept != aErrNone)
            err = kept; /* the partial line is lost */
    }
    free(taken);
    free(stored);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || (bytes == NULL && length > 0) || (separator == NULL && separatorLength > 0))
        return aErrParam;
    aErr err = length > 0 ? aStream_Write(stream, bytes, length) : aErrNone;
    if (err == aErrNone && separatorLength > 0)
        err = aStream_Write(stream, separator, separatorLength);
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size)
{
    static const uint8_t nul = 0;
    size_t length = 0;
    return aStream_ReadRecord(stream, (uint8_t*)buffer, &length, size, &nul, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (text == NULL)
        return aErrParam;
    return aStream_Write(stream, (const uint8_t*)text, strlen(text) + 1);
}

/* Text records end with the separator text and its NUL, on both sides. */
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separator)
{
    if (separator == NULL)
        return aErrParam;
    size_t length = 0;
    return aStream_ReadRecord(stream, (uint8_t*)buffer, &length, size, (const uint8_t*)separator,
                              strlen(separator) + 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator)
{
    if (text == NULL || separator == NULL)
        return aErrParam;
    return aStream_WriteRecord(stream, (const uint8_t*)text, strlen(text), (const uint8_t*)separator,
                               strlen(separator) + 1);
}

aErr aStream_Flush(aStream* from, aStream* to)
{
    if (!sValid(from) || !sValid(to))
        return aErrParam;
    if (from->get == NULL || to->put == NULL)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = sNextByte(from, &byte);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = to->put(byte, to->reference);
        if (err != aErrNone)
            return err;
    }
}
