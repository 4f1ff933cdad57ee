#include "aUEI.h"

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    if (buffer == NULL)
        return;
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    if (buffer == NULL)
        return 0;
    return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    if (buffer == NULL)
        return;
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    if (buffer == NULL)
        return 0;
    return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
           (static_cast<uint32_t>(buffer[2]) << 8) | static_cast<uint32_t>(buffer[3]);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count)
{
    if (words == NULL)
        return;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(words);
    for (size_t i = 0; i < count; i++)
        words[i] = aUEI_RetrieveInt(bytes + 4 * i);
}

/* The trailer is the last data byte; a packet without data has none. */
static bool sTrailer(const aPacket* packet, uint8_t* trailer)
{
    if (packet == NULL || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    *trailer = packet->data[packet->dataSize - 1];
    return true;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) ? (trailer & aUEI_BYTES_SEQUENCE_MASK) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet)
{
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) && (trailer & aUEI_BYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return packet != NULL && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (packet == NULL)
        return false;
    switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    if (packet == NULL)
        return false;
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    if (packet == NULL || packet->dataSize <= 4 || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    return aUEI_isUEIPayload(packet) && (packet->data[1] & 0xC0) == 0 &&
           (packet->data[2] & aUEI_INDEX_STREAM) != 0;
}
