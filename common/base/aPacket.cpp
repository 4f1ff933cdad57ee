#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

aPacket* aPacket_Create(void)
{
    aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
    if (packet)
        packet->validity = aPACKET_VALIDITY;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint32_t length, const uint8_t* data)
{
    const uint8_t size = static_cast<uint8_t>(length);
    if (data == NULL || size > aPACKET_MAX_DATA)
        return NULL;
    aPacket* packet = aPacket_Create();
    if (packet == NULL)
        return NULL;
    packet->address = address;
    packet->dataSize = size;
    memcpy(packet->data, data, size);
    packet->curSize = static_cast<uint8_t>(2 + size);
    return packet;
}

/* Records travel as raw byte copies, so a length beyond the data area is
 * treated as a broken packet rather than trusted. */
static bool sIsUsable(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->dataSize <= aPACKET_MAX_DATA;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!sIsUsable(packet))
        return NULL;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

static aErr sGetDataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask)
{
    if (out == NULL)
        return aErrParam;
    if (!sIsUsable(packet) || packet->dataSize <= position)
        return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    return sGetDataByte(packet, cmd, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return sGetDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return sGetDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->curSize = 0;
    packet->address = 0;
    packet->dataSize = 0;
    memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;

    /* Stop counting once past the limit so a caller that keeps feeding
     * without a reset never wraps the counter back into range. */
    if (packet->curSize > aPACKET_MAX_SIZE)
        return aErrOverrun;
    packet->curSize++;
    if (packet->curSize > aPACKET_MAX_SIZE)
        return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }

    if (packet->dataSize == 0) {
        /* An impossible length is kept so the packet never reads as
         * complete; every reader refuses a length beyond the data area. */
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }

    if (packet->dataSize > aPACKET_MAX_DATA || packet->curSize > packet->dataSize + 2)
        return aErrPacket;
    packet->data[packet->curSize - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return sIsUsable(packet) && packet->curSize == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written)
{
    if (!sIsUsable(packet) || buffer == NULL)
        return aErrParam;
    const size_t needed = static_cast<size_t>(packet->dataSize) + 2;
    if (size < needed)
        return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    memcpy(buffer + 2, packet->data, packet->dataSize);
    if (written)
        *written = needed;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (packet == NULL || *packet == NULL)
        return aErrParam;
    /* Never free something that is not a live packet. */
    if ((*packet)->validity != aPACKET_VALIDITY)
        return aErrParam;
    (*packet)->validity = 0;
    free(*packet);
    *packet = NULL;
    return aErrNone;
}
