/* The match filters that pick replies out of a link's packet queue. They run
 * under the queue's lock, see every queued packet (whatever a module sent) and
 * change their reference record only for the packet they accept. */
#include <string.h>

#include "LinkFilters.h"
#include "aUEI.h"

namespace Velorn {
namespace Tarnix {

namespace {

/* The header every UEI reply shares: address, command, full option byte, index. */
bool sUEIHeaderMatches(const aPacket* packet, const uei* u)
{
    return packet->address == u->module && packet->dataSize > 2 && packet->dataSize <= aPACKET_MAX_DATA &&
           packet->data[0] == u->command && packet->data[1] == u->option &&
           (packet->data[2] & aUEI_INDEX_MASK) == u->specifier;
}

/* An error reply: the index byte with bit 7 and the module's code after it. A
 * reply cut short before its code reports aErrPacket rather than a stale byte. */
void sTakeErrorReply(const aPacket* packet, uei* u)
{
    u->specifier = packet->data[2];
    u->value.uiValue = packet->dataSize > 3 ? packet->data[3] : (uint32_t)aErrPacket;
}

void sSetError(uei* u, aErr code)
{
    u->specifier = (uint8_t)(u->specifier | aUEI_INDEX_ERROR);
    u->value.uiValue = (uint32_t)code;
}

} // namespace

bool UEIFilter(const aPacket* packet, void* reference)
{
    uei* u = static_cast<uei*>(reference);
    if (!aVALIDPACKET(packet) || u == nullptr || !sUEIHeaderMatches(packet, u))
        return false;
    if (packet->data[2] & aUEI_INDEX_ERROR) {
        sTakeErrorReply(packet, u);
        return true;
    }
    switch (packet->dataSize) {
    case 3:
        u->type = ueiVoid;
        break;
    case 4:
        u->type = ueiByte;
        u->value.uiValue = packet->data[3];
        break;
    case 5:
        u->type = ueiShort;
        u->value.uiValue = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        u->type = ueiInt;
        u->value.uiValue = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break; /* accepted; the value stays as it was */
    }
    return true;
}

bool UEIBytesFilter(const aPacket* packet, void* reference)
{
    uei* u = static_cast<uei*>(reference);
    if (!aVALIDPACKET(packet) || u == nullptr || !sUEIHeaderMatches(packet, u))
        return false;
    if (packet->data[2] & aUEI_INDEX_ERROR) {
        sTakeErrorReply(packet, u);
        return true;
    }
    /* A bytes packet has at least its trailer after the header; a shorter one
     * ends the read with an error instead of being read as a negative length. */
    if (packet->dataSize < 4) {
        sSetError(u, aErrSize);
        return true;
    }
    const uint8_t trailer = packet->data[packet->dataSize - 1];
    const uint8_t sequence = trailer & aUEI_BYTES_SEQUENCE_MASK;
    if (sequence != u->sequence)
        return false; /* stays queued */
    const size_t payload = (size_t)packet->dataSize - 4;
    if (u->count == nullptr || *u->count + payload > u->length) {
        sSetError(u, aErrMemory);
        return true;
    }
    if (payload > 0) {
        memcpy(u->value.data, &packet->data[3], payload);
        u->value.data += payload;
        *u->count += payload;
    }
    u->sequence = sequence;
    u->more = (trailer & aUEI_BYTES_CONTINUE) ? 1 : 0;
    return true;
}

bool CommandFilter(const aPacket* packet, void* reference)
{
    const CommandMatch* m = static_cast<const CommandMatch*>(reference);
    if (!aVALIDPACKET(packet) || m == nullptr || packet->dataSize > aPACKET_MAX_DATA)
        return false;
    /* A packet shorter than the prefix cannot carry it. */
    if (packet->dataSize < m->length)
        return false;
    return m->length == 0 || memcmp(packet->data, m->match, m->length) == 0;
}

bool SlotFilter(const aPacket* packet, void* reference)
{
    const SlotRequest* r = static_cast<const SlotRequest*>(reference);
    if (!aVALIDPACKET(packet) || r == nullptr || packet->dataSize <= 3 ||
        packet->dataSize > aPACKET_MAX_DATA || packet->data[0] != 4)
        return false;
    if ((packet->data[1] & 0x7F) != r->subcommand)
        return false;
    if (r->subcommand >= 1 && r->subcommand <= 4)
        return packet->data[2] == r->store && packet->data[3] == r->slot;
    if (r->subcommand >= 5 && r->subcommand <= 8)
        return packet->data[2] == r->handle;
    return false;
}

bool FactoryFilter(const aPacket* packet, void* reference)
{
    const FactoryRequest* r = static_cast<const FactoryRequest*>(reference);
    if (!aVALIDPACKET(packet) || r == nullptr || packet->dataSize <= 1 ||
        packet->dataSize > aPACKET_MAX_DATA || packet->data[0] != 94)
        return false;
    return (packet->data[1] & 0x7F) == (r->indexByte & 0x0F);
}

} // namespace Tarnix
} // namespace Velorn
