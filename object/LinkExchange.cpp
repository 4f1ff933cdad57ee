/* Link exchanges: the module-address query, UEIs, raw packets, store slots and
 * factory data. Each puts its request packets and awaits the first queued
 * packet a match filter accepts. */
#include <string.h>

#include <algorithm>

#include "Link.h"
#include "LinkPrivate.h"
#include "aUEI.h"

namespace Velorn {
namespace Tarnix {

namespace {

constexpr uint32_t kLargePayloadTimeoutMs = 4000;
constexpr size_t kLargePayload = 1000;
constexpr uint32_t kSlotOpenTimeoutMs = 3000;
constexpr size_t kSlotChunk = 25;
constexpr uint8_t kNoHandle = 255;
constexpr uint8_t COMMAND_OVERHEAD = 2;
constexpr size_t kFactoryChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;

/* A byte-sequence packet: command, option and index, the chunk, the sequence byte. */
static_assert(3 + aUEI_BYTES_CHUNK + 1 == aPACKET_MAX_DATA, "a full chunk fills one packet");

bool sBadModule(unsigned char module) { return module == 0 || (module & 1) != 0; }

/* Whether an exchange with `module` may start: aErrConnection when the link
 * is not connected, aErrPacket for a module address of 0 or an odd one. */
aErr sExchangeReady(const Link& link, unsigned char module)
{
    if (!link.isConnected())
        return aErrConnection;
    return sBadModule(module) ? aErrPacket : aErrNone;
}

/* Puts one packet; aErrResource when it cannot be made. */
aErr sPut(aLinkId id, uint8_t address, size_t length, const uint8_t* data)
{
    static const uint8_t none = 0; /* the packet maker wants data even for no bytes */
    aPacket* packet = aPacket_CreateWithData(address, (uint32_t)length, data != nullptr ? data : &none);
    if (packet == nullptr)
        return aErrResource;
    aErr err = aLink_PutPacket(id, packet);
    (void)aPacket_Destroy(&packet); /* ours: cannot fail */
    return err;
}

/* Awaits and frees the first packet the filter accepts: false on time-out. */
bool sAwaitTaken(aLinkId id, aPacketFilter filter, void* reference, uint32_t timeoutMs)
{
    aPacket* packet = aLink_AwaitFirst(id, filter, reference, timeoutMs);
    if (packet == nullptr)
        return false;
    (void)aPacket_Destroy(&packet); /* ours: cannot fail */
    return true;
}

bool sMatchMagic(const aPacket* packet, void*)
{
    return aVALIDPACKET(packet) && packet->dataSize == 0;
}

} // namespace

aErr Link::getModuleAddress(unsigned char* address)
{
    if (address == nullptr)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    const aLinkId id = m_impl->linkRef.load();
    Log::log(Log::DEBUG_ObjectLink, "getModuleAddress\n");
    if (sPut(id, aLINK_SYNC_ADDRESS, 0, nullptr) != aErrNone)
        return aErrNotReady;
    Log::log(Log::DEBUG_ObjectLink, "getModuleAddress wait\n");
    aPacket* reply = aLink_AwaitFirst(id, sMatchMagic, nullptr, kReplyTimeoutMs);
    if (reply == nullptr)
        return aErrNotReady;
    *address = reply->address;
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return aErrNone;
}

/* UEI. ------------------------------------------------------------------- */

aErr Link::sendUEI(uei u)
{
    if (aErr ready = sExchangeReady(*this, u.module); ready != aErrNone)
        return ready;
    const aLinkId id = m_impl->linkRef.load();
    uint8_t data[aPACKET_MAX_DATA] = {u.command, u.option, u.specifier};
    switch (u.type) {
    case ueiVoid:
        return sPut(id, u.module, 3, data);
    case ueiByte:
        data[3] = (uint8_t)u.value.uiValue;
        return sPut(id, u.module, 4, data);
    case ueiShort:
        aUEI_StoreShort(&data[3], (uint16_t)u.value.uiValue);
        return sPut(id, u.module, 5, data);
    case ueiInt:
        aUEI_StoreInt(&data[3], u.value.uiValue);
        return sPut(id, u.module, 7, data);
    case ueiBytes: {
        if (u.length > 0 && u.value.data == nullptr)
            return aErrParam;
        size_t offset = 0;
        uint8_t sequence = 0;
        do {
            const size_t chunk = std::min<size_t>(aUEI_BYTES_CHUNK, u.length - offset);
            if (chunk > 0)
                memcpy(&data[3], u.value.data + offset, chunk);
            offset += chunk;
            data[3 + chunk] = (uint8_t)((sequence & aUEI_BYTES_SEQUENCE_MASK) |
                                        (offset < u.length ? aUEI_BYTES_CONTINUE : 0));
            aErr err = sPut(id, u.module, chunk + 4, data);
            if (err != aErrNone)
                return err;
            sequence = (uint8_t)((sequence + 1) & aUEI_BYTES_SEQUENCE_MASK);
        } while (offset < u.length);
        return aErrNone;
    }
    default:
        return aErrParam;
    }
}

aErr Link::sendUEI(uei u, unsigned char subindex)
{
    if (aErr ready = sExchangeReady(*this, u.module); ready != aErrNone)
        return ready;
    uint8_t data[aPACKET_MAX_DATA] = {u.command, u.option, u.specifier, subindex};
    size_t size;
    switch (u.type) {
    case ueiVoid:
        size = 4;
        break;
    case ueiByte:
        data[4] = (uint8_t)u.value.uiValue;
        size = 5;
        break;
    case ueiShort:
        aUEI_StoreShort(&data[4], (uint16_t)u.value.uiValue);
        size = 6;
        break;
    case ueiInt:
        aUEI_StoreInt(&data[4], u.value.uiValue);
        size = 8;
        break;
    default:
        /* Byte sequences carry no subindex. */
        return aErrParam;
    }
    return sPut(m_impl->linkRef.load(), u.module, size, data);
}

aErr Link::receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                      unsigned char specifier, uei* u)
{
    return receiveUEI(module, command, option, specifier, u, UEIFilter);
}

aErr Link::receiveUEI(unsigned char module, unsigned char, unsigned char, unsigned char, uei* u,
                      aPacketFilter filter)
{
    if (u == nullptr || filter == nullptr)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    uint32_t timeout = kReplyTimeoutMs;
    if (u->type == ueiBytes && u->length > kLargePayload) {
        timeout = kLargePayloadTimeoutMs;
        Log::log(Log::DEBUG_ObjectLink, "receiveUEI - Expanding timeout for large payload: %lu\n",
                 (unsigned long)timeout);
    }
    return sAwaitTaken(m_impl->linkRef.load(), filter, u, timeout) ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char specifier)
{
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    uei u{};
    u.module = module;
    u.command = command;
    u.option = option;
    u.specifier = specifier;
    aLink_DrainPackets(m_impl->linkRef.load(), UEIFilter, &u);
    return aErrNone;
}

aErr Link::getStreamValue(unsigned char module, unsigned char command, unsigned char option,
                          unsigned char index, unsigned char subindex, unsigned* value)
{
    if (value == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> lock(m_impl->streamMutex);
    auto found = m_impl->streams.find(StreamKey(module, command, option, index, subindex));
    if (found == m_impl->streams.end())
        return aErrNotFound;
    *value = found->second.value;
    if (!found->second.fresh)
        return aErrStreamStale;
    found->second.fresh = false;
    return aErrNone;
}

/* Raw packets. ----------------------------------------------------------- */

aErr Link::sendPacket(unsigned char module, unsigned char command, unsigned char length,
                      const unsigned char* data)
{
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKET_MAX_DATA - 1 || (length > 0 && data == nullptr))
        return aErrParam;
    if (sBadModule(module))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAX_DATA] = {command};
    if (length > 0)
        memcpy(&bytes[1], data, length);
    return sPut(m_impl->linkRef.load(), module, (size_t)length + 1, bytes);
}

aErr Link::receivePacket(unsigned char module, const unsigned char* match, unsigned char* length,
                         unsigned char* out)
{
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    if (length == nullptr || out == nullptr || *length > aPACKET_MAX_DATA ||
        (*length > 0 && match == nullptr))
        return aErrParam;
    CommandMatch m{match, *length};
    aPacket* reply = aLink_AwaitFirst(m_impl->linkRef.load(), CommandFilter, &m, kReplyTimeoutMs);
    if (reply == nullptr)
        return aErrTimeout;
    *length = reply->dataSize;
    memcpy(out, reply->data, reply->dataSize);
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return aErrNone;
}

size_t Link::drainPackets(const unsigned char* match, unsigned char length)
{
    if (length > aPACKET_MAX_DATA || (length > 0 && match == nullptr))
        return 0;
    CommandMatch m{match, length};
    return aLink_DrainPackets(m_impl->linkRef.load(), CommandFilter, &m);
}

/* Store slots. ----------------------------------------------------------- */

namespace {

/* One store exchange: the request, then the accepted reply (null on none). */
aPacket* sSlotExchange(aLinkId id, uint8_t module, const SlotRequest& request, const uint8_t* data,
                       size_t length, uint32_t timeoutMs, aErr* putErr)
{
    *putErr = sPut(id, module, length, data);
    if (*putErr != aErrNone)
        return nullptr;
    SlotRequest r = request;
    return aLink_AwaitFirst(id, SlotFilter, &r, timeoutMs);
}

bool sIsSlotError(const aPacket* reply) { return (reply->data[1] & 0x80) != 0; }

/* The code of an error reply, which follows the request's addressing bytes. */
aErr sSlotErrorCode(const aPacket* reply, size_t at)
{
    return reply->dataSize > at ? (aErr)reply->data[at] : aErrPacket;
}

aErr sSlotValue(aLinkId id, uint8_t module, uint8_t subcommand, uint8_t store, uint8_t slot,
                size_t* value)
{
    const uint8_t data[] = {aCMD_SLOT, subcommand, store, slot};
    aErr err = aErrNone;
    aPacket* reply = sSlotExchange(id, module, SlotRequest{subcommand, store, slot, 0}, data,
                                   sizeof data, kReplyTimeoutMs, &err);
    if (reply == nullptr)
        return err;
    if (sIsSlotError(reply))
        err = sSlotErrorCode(reply, 4);
    else if (reply->dataSize == 6)
        *value = aUEI_RetrieveShort(&reply->data[4]);
    else
        err = aErrUnknown;
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return err;
}

uint8_t sOpenSlot(aLinkId id, uint8_t module, uint8_t subcommand, uint8_t store, uint8_t slot)
{
    const uint8_t data[] = {aCMD_SLOT, subcommand, store, slot};
    aErr err = aErrNone;
    aPacket* reply = sSlotExchange(id, module, SlotRequest{subcommand, store, slot, 0}, data,
                                   sizeof data, kSlotOpenTimeoutMs, &err);
    if (reply == nullptr)
        return kNoHandle;
    uint8_t handle = kNoHandle;
    if (!sIsSlotError(reply) && reply->dataSize > 4)
        handle = reply->data[4];
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return handle;
}

aErr sCloseSlot(aLinkId id, uint8_t module, uint8_t handle)
{
    const uint8_t data[] = {aCMD_SLOT, aSLOT_CLOSE, handle};
    aErr err = aErrNone;
    aPacket* reply = sSlotExchange(id, module, SlotRequest{8, 0, 0, handle}, data, sizeof data,
                                   kReplyTimeoutMs, &err);
    if (reply == nullptr)
        return err;
    if (sIsSlotError(reply))
        err = sSlotErrorCode(reply, 3);
    else if (reply->dataSize != 4)
        err = aErrIO;
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return err;
}

} // namespace

aErr Link::storeSlotCapacity(unsigned char module, unsigned char store, unsigned char slot,
                             size_t* capacity)
{
    if (capacity == nullptr)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    return sSlotValue(m_impl->linkRef.load(), module, aSLOT_CAPACITY, store, slot, capacity);
}

aErr Link::storeSlotSize(unsigned char module, unsigned char store, unsigned char slot, size_t* size)
{
    if (size == nullptr)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    return sSlotValue(m_impl->linkRef.load(), module, aSLOT_SIZE, store, slot, size);
}

aErr Link::loadStoreSlot(unsigned char module, unsigned char store, unsigned char slot,
                         const unsigned char* data, size_t length)
{
    if (data == nullptr)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    const aLinkId id = m_impl->linkRef.load();
    const uint8_t handle = sOpenSlot(id, module, aSLOT_OPEN_WRITE, store, slot);
    if (handle == kNoHandle)
        return aErrMedia;
    aErr err = aErrNone;
    for (size_t offset = 0; err == aErrNone && offset < length;) {
        const size_t chunk = std::min(kSlotChunk, length - offset);
        uint8_t request[aPACKET_MAX_DATA] = {aCMD_SLOT, aSLOT_WRITE, handle};
        memcpy(&request[3], data + offset, chunk);
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; ++i)
            sum = (uint8_t)(sum + data[offset + i]);
        aPacket* reply = sSlotExchange(id, module, SlotRequest{7, 0, 0, handle}, request, chunk + 3,
                                       kReplyTimeoutMs, &err);
        if (reply == nullptr) {
            if (err == aErrNone)
                err = aErrTimeout;
            break;
        }
        if (reply->dataSize == 4) {
            if (sIsSlotError(reply))
                err = (aErr)reply->data[3];
            else if (reply->data[3] != sum)
                err = aErrIO;
        }
        (void)aPacket_Destroy(&reply); /* ours: cannot fail */
        offset += chunk;
    }
    aErr closeErr = sCloseSlot(id, module, handle);
    return err != aErrNone ? err : closeErr;
}

aErr Link::unloadStoreSlot(unsigned char module, unsigned char store, unsigned char slot,
                           unsigned char* buffer, size_t length, size_t* unloaded)
{
    if (buffer == nullptr || unloaded == nullptr)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    const aLinkId id = m_impl->linkRef.load();
    size_t slotSize = 0;
    aErr err = sSlotValue(id, module, aSLOT_SIZE, store, slot, &slotSize);
    if (err != aErrNone)
        return err;
    const uint8_t handle = sOpenSlot(id, module, aSLOT_OPEN_READ, store, slot);
    if (handle == kNoHandle)
        return aErrMedia;
    const size_t amount = std::min(length, slotSize);
    size_t done = 0;
    while (err == aErrNone && done < amount) {
        const uint8_t request[] = {aCMD_SLOT, aSLOT_READ, handle};
        aPacket* reply = sSlotExchange(id, module, SlotRequest{6, 0, 0, handle}, request,
                                       sizeof request, kReplyTimeoutMs, &err);
        if (reply == nullptr) {
            if (err == aErrNone)
                err = aErrTimeout;
            break;
        }
        if (sIsSlotError(reply)) {
            err = sSlotErrorCode(reply, 3);
        } else {
            const size_t chunk = std::min((size_t)reply->dataSize - 3, amount - done);
            memcpy(buffer + done, &reply->data[3], chunk);
            done += chunk;
        }
        (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    }
    aErr closeErr = sCloseSlot(id, module, handle);
    if (err == aErrNone)
        err = closeErr;
    if (err == aErrNone)
        *unloaded = amount;
    if (err == aErrNone && length < slotSize)
        err = aErrOverrun;
    return err;
}

/* Factory data. ---------------------------------------------------------- */

namespace {

aPacket* sFactoryExchange(aLinkId id, uint8_t module, const uint8_t* data, size_t length, aErr* putErr)
{
    *putErr = sPut(id, module, length, data);
    if (*putErr != aErrNone)
        return nullptr;
    FactoryRequest r{data[1]};
    return aLink_AwaitFirst(id, FactoryFilter, &r, kReplyTimeoutMs);
}

bool sIsFactoryError(const aPacket* reply) { return (reply->data[1] & 0x80) != 0; }

aErr sFactoryErrorCode(const aPacket* reply)
{
    return reply->dataSize > 2 ? (aErr)reply->data[2] : aErrPacket;
}

/* The closing exchange with the total transferred. */
aErr sFactoryClose(aLinkId id, uint8_t module, size_t total)
{
    const uint8_t data[] = {aCMD_FACTORY, aFACTORY_CLOSE, (uint8_t)(total >> 8), (uint8_t)total};
    aErr err = aErrNone;
    aPacket* reply = sFactoryExchange(id, module, data, sizeof data, &err);
    if (reply == nullptr)
        return err != aErrNone ? err : aErrTimeout;
    if (sIsFactoryError(reply))
        err = sFactoryErrorCode(reply);
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return err;
}

} // namespace

aErr Link::getFactoryData(unsigned char module, unsigned char index, unsigned char* buffer,
                          size_t length, size_t* unloaded)
{
    if (buffer == nullptr || unloaded == nullptr || index > 15)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    const aLinkId id = m_impl->linkRef.load();
    aErr err = aErrNone;
    size_t total = 0;
    bool first = true;
    uint8_t lastSize = aPACKET_MAX_DATA;
    while (err == aErrNone && lastSize == aPACKET_MAX_DATA) {
        const uint8_t request[] = {aCMD_FACTORY, (uint8_t)(index | (first ? aFACTORY_FIRST : 0))};
        first = false;
        aPacket* reply = sFactoryExchange(id, module, request, sizeof request, &err);
        if (reply == nullptr) {
            if (err == aErrNone)
                err = aErrTimeout;
            break;
        }
        lastSize = reply->dataSize;
        const size_t payload = (size_t)reply->dataSize - COMMAND_OVERHEAD;
        if (total + payload >= length)
            err = aErrOverrun;
        else if (sIsFactoryError(reply))
            err = sFactoryErrorCode(reply);
        else {
            memcpy(buffer + total, &reply->data[COMMAND_OVERHEAD], payload);
            total += payload;
        }
        (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    }
    if (err == aErrNone)
        err = sFactoryClose(id, module, total);
    if (err == aErrNone)
        *unloaded = total;
    return err;
}

aErr Link::setFactoryData(unsigned char module, unsigned char index, const unsigned char* data,
                          size_t length)
{
    if ((data == nullptr && length > 0) || index > 15)
        return aErrParam;
    if (aErr ready = sExchangeReady(*this, module); ready != aErrNone)
        return ready;
    const aLinkId id = m_impl->linkRef.load();
    aErr err = aErrNone;
    size_t total = 0;
    while (err == aErrNone && total < length) {
        const size_t chunk = std::min(kFactoryChunk, length - total);
        const uint8_t flags = (uint8_t)(aFACTORY_TO_MODULE | (total == 0 ? aFACTORY_FIRST : 0));
        uint8_t request[aPACKET_MAX_DATA] = {aCMD_FACTORY, (uint8_t)(index | flags)};
        memcpy(&request[COMMAND_OVERHEAD], data + total, chunk);
        aPacket* reply = sFactoryExchange(id, module, request, chunk + COMMAND_OVERHEAD, &err);
        if (reply == nullptr) {
            if (err == aErrNone)
                err = aErrTimeout;
            break;
        }
        if (sIsFactoryError(reply))
            err = sFactoryErrorCode(reply);
        else if (reply->dataSize != COMMAND_OVERHEAD)
            err = aErrSize;
        (void)aPacket_Destroy(&reply); /* ours: cannot fail */
        total += chunk;
    }
    if (err == aErrNone)
        err = sFactoryClose(id, module, total);
    return err;
}

} // namespace Tarnix
} // namespace Velorn
