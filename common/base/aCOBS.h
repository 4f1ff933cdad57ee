/* COBS framing and CRC-8/MAXIM, used by the packetised serial stream. */
#ifndef TARNIX_ACOBS_H
#define TARNIX_ACOBS_H

#include <stddef.h>
#include <stdint.h>

/* Largest encoded size of a block of length bytes (one code byte per 254 bytes, at least one). */
#define aCOBS_MAX_ENCODED(length) ((length) + (length) / 254 + 1)

/* Encodes length bytes into destination (room for aCOBS_MAX_ENCODED(length) bytes);
 * returns the encoded length. A run of 254 non-zero bytes is coded 0xFF with no
 * implicit zero, and a block that ends right after such a run gets no extra code byte. */
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

/* Encodes the first length bytes of buffer in place; buffer must have room for
 * aCOBS_MAX_ENCODED(length) bytes. Returns the encoded length. */
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

/* Decodes length encoded bytes (no delimiter) into destination (room for length bytes).
 * Returns the decoded length, or 0 when a code byte points past the end or is zero. */
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

/* Decodes in place; same result as cobs_decode. */
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

/* CRC-8/MAXIM (reflected polynomial 0x8C, initial 0, no final inversion). */
uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* bytes, size_t length);
bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected);

#endif
