/* Helpers that read and write UEI payloads inside a packet. */
#ifndef TARNIX_AUEI_H
#define TARNIX_AUEI_H

#include <stddef.h>
#include <stdint.h>
#include "aPacket.h"

/* Bits of the option byte (data byte 1) and the index byte (data byte 2). */
#define aUEI_OPTION_MASK 0x3F
#define aUEI_INDEX_MASK 0x1F
#define aUEI_INDEX_STREAM 0x40
#define aUEI_INDEX_ERROR 0x80
#define aUEI_BYTES_CONTINUE 0x80
#define aUEI_BYTES_SEQUENCE_MASK 0x7F

void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
/* Converts count 32-bit words in place from wire order (MSB first) to host order. */
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

#endif
