/* Byte streams: one record of four operations over any transport. */
#ifndef TARNIX_ASTREAM_H
#define TARNIX_ASTREAM_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
/* Makes a get that waits on the transport return soon; called from any thread. */
typedef void (*aStreamInterruptProc)(void* reference);

typedef struct aStream aStream; /* opaque */

#define aSTREAM_VALIDITY 0x4321

/* Serial baud codes taken by aStream_CreateSerial. */
#define aBAUD_2400 0
#define aBAUD_4800 1
#define aBAUD_9600 2
#define aBAUD_19200 3
#define aBAUD_38400 4
#define aBAUD_57600 5
#define aBAUD_115200 6
#define aBAUD_230400 7
#define aBAUD_COUNT 8

/* The baud code of `baudRate` when the serial stream can set exactly that
 * rate (2400 to 230400, the codes above); false, *baudCode untouched, for any
 * other rate or a null out argument. Any thread. */
bool aStream_SerialBaudCode(uint32_t baudRate, uint32_t* baudCode);
/* The rate of a baud code; 0 for a code outside 0 to aBAUD_COUNT - 1. */
uint32_t aStream_SerialBaudRate(uint32_t baudCode);

/* The stream owns reference from here on and releases it through deleteProc. */
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference);
aErr aStream_Destroy(aStream** stream);
/* Optional, set once right after creation: how a waiting get is cut short. */
aErr aStream_SetInterrupt(aStream* stream, aStreamInterruptProc interrupt);
/* Any thread, while another may be reading: a get now waiting on the
 * transport (or, for some transports, the next one) returns soon, with
 * aErrNotReady when it got nothing. Streams whose gets wait only briefly
 * have no interrupt; then nothing happens. aErrParam for an invalid stream. */
aErr aStream_Interrupt(aStream* stream);

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size);
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length);
/* Appends one byte to the push-back buffer; the next read sees it first. */
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* separator, size_t separatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* separator, size_t separatorLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* separator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator);
/* Moves bytes from one stream to the other until the source reports an error. */
aErr aStream_Flush(aStream* from, aStream* to);

/* Wraps another transport's operations in COBS framing; the reference is owned as above. */
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* reference, aStream** stream);

/* Longest time one socket or serial get waits for a byte before answering aErrNotReady. */
#define aSTREAM_GET_WAIT_MS 10

#endif
