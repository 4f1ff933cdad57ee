/* COBS-framed packet stream over another transport: one frame per packet,
 * each carrying a CRC-8 of the packet bytes. */
#include <stdlib.h>
#include <string.h>

#include "aCOBS.h"
#include "aPacket.h"
#include "aStream.h"

#define aCOBS_STREAM_VALIDITY 0xC0B5
#define aCOBS_BLOCK_MAX (aPACKET_MAX_SIZE + 1)               /* packet bytes and CRC */
#define aCOBS_FRAME_MAX (aCOBS_MAX_ENCODED(aCOBS_BLOCK_MAX) + 1) /* encoded block and delimiter */

typedef struct sCobsState {
    uint16_t validity;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc deleteProc;
    void* reference;
    /* Input: the encoded frame being collected, then the decoded packet handed out. */
    uint8_t rx[aCOBS_MAX_ENCODED(aCOBS_BLOCK_MAX)];
    size_t rxCount;
    bool rxOverflow;
    bool ready;
    size_t readyLength;
    size_t readyPos;
    /* Output. */
    aPacket* assembler;
    uint8_t frame[aCOBS_FRAME_MAX];
} sCobsState;

static sCobsState* sState(void* reference)
{
    sCobsState* state = (sCobsState*)reference;
    return (state != NULL && state->validity == aCOBS_STREAM_VALIDITY) ? state : NULL;
}

static aErr sCobsGet(uint8_t* byte, void* reference)
{
    sCobsState* state = sState(reference);
    if (state == NULL || byte == NULL)
        return aErrParam;
    if (state->ready) {
        *byte = state->rx[state->readyPos++];
        if (state->readyPos >= state->readyLength)
            state->ready = false;
        return aErrNone;
    }
    if (state->get == NULL)
        return aErrNotReady;
    uint8_t in;
    if (state->get(&in, state->reference) != aErrNone)
        return aErrNotReady;
    if (in != 0) {
        /* The longest valid frame fills the buffer; anything beyond is dropped
         * and the frame then fails. */
        if (state->rxCount < sizeof(state->rx))
            state->rx[state->rxCount++] = in;
        else
            state->rxOverflow = true;
        return aErrNotReady;
    }
    if (state->rxCount == 0)
        return aErrNotReady;
    size_t length = cobs_decode_inplace(state->rx, state->rxCount);
    const bool overflow = state->rxOverflow;
    state->rxCount = 0;
    state->rxOverflow = false;
    if (!overflow && length > 2 && length <= aCOBS_BLOCK_MAX && length == (size_t)state->rx[1] + 3 &&
        crc8_check(state->rx, length - 1, state->rx[length - 1])) {
        state->ready = true;
        state->readyLength = length - 1;
        state->readyPos = 0;
        return aErrNotReady;
    }
    return aErrPacket;
}

static aErr sCobsPut(uint8_t byte, void* reference)
{
    sCobsState* state = sState(reference);
    if (state == NULL)
        return aErrParam;
    if (state->put == NULL)
        return aErrMode;
    return state->put(byte, state->reference);
}

static aErr sCobsWrite(const uint8_t* bytes, size_t length, void* reference)
{
    sCobsState* state = sState(reference);
    if (state == NULL || bytes == NULL)
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(state->assembler, bytes[i]) != aErrNone) {
            (void)aPacket_Reset(state->assembler); /* ours: cannot fail; a refused byte is dropped */
            continue;
        }
        if (!aPacket_IsComplete(state->assembler))
            continue;
        size_t used = 0;
        /* A complete packet always fits the frame buffer, and the assembler is ours. */
        (void)aPacket_GetBytes(state->assembler, state->frame, sizeof(state->frame), &used);
        (void)aPacket_Reset(state->assembler);
        state->frame[used] = crc8_create(state->frame, used);
        used = cobs_encode_inplace(state->frame, used + 1);
        state->frame[used++] = 0;
        aErr err = state->write != NULL ? state->write(state->frame, used, state->reference) : aErrMode;
        if (err != aErrNone)
            result = err;
    }
    return result;
}

static aErr sCobsDelete(void* reference)
{
    sCobsState* state = sState(reference);
    if (state == NULL)
        return aErrParam;
    aErr err = state->deleteProc != NULL ? state->deleteProc(state->reference) : aErrNone;
    (void)aPacket_Destroy(&state->assembler); /* the state's own packet: cannot fail */
    state->validity = 0;
    free(state);
    return err;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* reference, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    sCobsState* state = (sCobsState*)calloc(1, sizeof(sCobsState));
    if (state == NULL)
        return aErrMemory;
    state->assembler = aPacket_Create();
    if (state->assembler == NULL) {
        free(state);
        return aErrMemory;
    }
    state->validity = aCOBS_STREAM_VALIDITY;
    state->get = get;
    state->put = put;
    state->write = write;
    state->deleteProc = deleteProc;
    state->reference = reference;
    *stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, state);
    if (*stream == NULL) {
        /* The wrapped transport stays the caller's on failure. */
        (void)aPacket_Destroy(&state->assembler); /* the state's own packet: cannot fail */
        free(state);
        return aErrResource;
    }
    return aErrNone;
}
