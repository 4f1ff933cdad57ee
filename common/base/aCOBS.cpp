/* COBS framing and CRC-8/MAXIM. */
#include "aCOBS.h"

#include <string.h>

namespace {

struct sCrcTable {
    uint8_t entry[256];
    constexpr sCrcTable() : entry() {
        for (int i = 0; i < 256; ++i) {
            uint8_t crc = (uint8_t)i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? (uint8_t)((crc >> 1) ^ 0x8C) : (uint8_t)(crc >> 1);
            entry[i] = crc;
        }
    }
};

constexpr sCrcTable sCrc8;

/* Encoded length of a block, without writing anything. */
size_t sEncodedLength(const uint8_t* source, size_t length)
{
    size_t out = 1;
    unsigned run = 0;
    for (size_t i = 0; i < length; ++i) {
        if (source[i] == 0) {
            out++;
            run = 0;
        } else {
            out++;
            if (++run == 254) {
                run = 0;
                if (i + 1 < length)
                    out++;
            }
        }
    }
    return out;
}

/* Forward encoder; safe in place when source lies at least the overhead past destination. */
size_t sEncode(const uint8_t* source, size_t length, uint8_t* destination)
{
    size_t codeAt = 0;
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = source[i];
        if (b != 0) {
            destination[out++] = b;
            code++;
        }
        if (b == 0 || code == 0xFF) {
            destination[codeAt] = code;
            code = 1;
            codeAt = out;
            if (b == 0 || i + 1 < length)
                out++;
            else
                return out; /* a full run ends the block: no trailing code byte */
        }
    }
    destination[codeAt] = code;
    return out;
}

} // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination)
{
    if (destination == NULL || (source == NULL && length > 0))
        return 0;
    return sEncode(source, length, destination);
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length)
{
    if (buffer == NULL)
        return 0;
    const size_t encoded = sEncodedLength(buffer, length);
    const size_t overhead = encoded - length;
    /* Shift the data up by the overhead; the encoder's write position never
     * passes its read position, so it can then work forward in place. */
    memmove(buffer + overhead, buffer, length);
    return sEncode(buffer + overhead, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination)
{
    if (source == NULL || destination == NULL)
        return 0;
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const uint8_t code = source[in];
        if (code == 0 || in + code > length)
            return 0;
        in++;
        for (uint8_t k = 1; k < code; ++k)
            destination[out++] = source[in++];
        if (code != 0xFF && in < length)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length)
{
    /* Decoding never writes ahead of where it reads. */
    return cobs_decode(buffer, length, buffer);
}

uint8_t crc8_update(uint8_t crc, uint8_t byte)
{
    return sCrc8.entry[(uint8_t)(crc ^ byte)];
}

uint8_t crc8_create(const uint8_t* bytes, size_t length)
{
    uint8_t crc = 0;
    if (bytes == NULL)
        return crc;
    for (size_t i = 0; i < length; ++i)
        crc = crc8_update(crc, bytes[i]);
    return crc;
}

bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected)
{
    return crc8_create(bytes, length) == expected;
}
