/* EntityClass: UEI get, set and call exchanges for one entity of a module. */
#include "Entity.h"

#include "LinkPrivate.h"
#include "aUEI.h"

namespace Velorn {
namespace Tarnix {

namespace {
/* The module's code from an error reply, else none. */
aErr sReplyResult(const uei& u)
{
    return (u.specifier & aUEI_INDEX_ERROR) ? (aErr)(uint8_t)u.value.uiValue : aErrNone;
}
} // namespace

struct EntityClass::impl {
    EntityClass* entity = nullptr;
    Module* module = nullptr;
    unsigned char command = 0;
    unsigned char index = 0;
};

EntityClass::EntityClass() : m_impl(new impl) { m_impl->entity = this; }
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, unsigned char command, unsigned char index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

unsigned char EntityClass::getIndex() const { return m_impl->index; }

Link* EntityClass::link() const { return m_impl->module ? m_impl->module->getLink() : nullptr; }

unsigned char EntityClass::address() const
{
    return m_impl->module ? m_impl->module->getModuleAddress() : 0;
}

aErr EntityClass::sendPacket(unsigned char command, unsigned char length, const unsigned char* data)
{
    Link* l = link();
    return l ? l->sendPacket(address(), command, length, data) : aErrResource;
}

aErr EntityClass::receivePacket(const unsigned char* match, unsigned char* length, unsigned char* out)
{
    Link* l = link();
    return l ? l->receivePacket(address(), match, length, out) : aErrResource;
}

size_t EntityClass::drainPackets(const unsigned char* match, unsigned char length)
{
    Link* l = link();
    return l ? l->drainPackets(match, length) : 0;
}

aErr EntityClass::getUEI(unsigned char option, uei* u)
{
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    if (u == nullptr)
        return aErrParam;
    const unsigned char subindex = u->type == ueiByte ? (uint8_t)u->value.uiValue : 0;
    unsigned streamed = 0;
    aErr err = l->getStreamValue(address(), m_impl->command, option, m_impl->index, subindex, &streamed);
    if (err != aErrNotFound) {
        u->value.uiValue = streamed;
        return err;
    }
    u->module = address();
    u->command = m_impl->command;
    u->option = (uint8_t)(option | aUEI_OPTION_GET);
    u->specifier = (uint8_t)(m_impl->index | aUEI_INDEX_REQUEST);
    err = l->sendUEI(*u);
    if (err != aErrNone)
        return err;
    u->option = option;
    u->specifier = m_impl->index;
    err = l->receiveUEI(u->module, u->command, u->option, u->specifier, u);
    return err != aErrNone ? err : sReplyResult(*u);
}

aErr EntityClass::setStreamEnabled(bool enable)
{
    Link* l = link();
    return l ? l->enableStream(address(), m_impl->command, 255, m_impl->index, enable) : aErrResource;
}

aErr EntityClass::registerOptionCallback(unsigned char option, bool enable, Link::streamCallback callback,
                                         void* context)
{
    Link* l = link();
    return l ? l->registerStreamCallback(address(), m_impl->command, option, m_impl->index, enable,
                                         std::move(callback), context)
             : aErrResource;
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count)
{
    Link* l = link();
    return l ? l->getStreamStatus(address(), m_impl->command, 255, m_impl->index, 255, entries, capacity, count)
             : aErrResource;
}

// A set request and its reply; `send` puts the request out (with or without a
// subindex), the rest is the same for both forms.
template <typename Send>
static aErr sSetUEI(Link* l, unsigned char module, unsigned char command, unsigned char index,
                    unsigned char option, uei* u, Send send)
{
    if (l == nullptr)
        return aErrResource;
    if (u == nullptr)
        return aErrParam;
    u->module = module;
    u->command = command;
    u->option = (uint8_t)(option | aUEI_OPTION_SET);
    u->specifier = (uint8_t)(index | aUEI_INDEX_REQUEST);
    aErr err = send(*l, *u);
    if (err != aErrNone)
        return err;
    u->option = (uint8_t)(option | aUEI_OPTION_SET_REPLY);
    u->specifier = index;
    err = l->receiveUEI(u->module, u->command, u->option, u->specifier, u);
    return err != aErrNone ? err : sReplyResult(*u);
}

aErr EntityClass::setUEI(unsigned char option, uei* u)
{
    return sSetUEI(link(), address(), m_impl->command, m_impl->index, option, u,
                   [](Link& l, uei& request) { return l.sendUEI(request); });
}

aErr EntityClass::setUEI(unsigned char option, unsigned char subindex, uei* u)
{
    return sSetUEI(link(), address(), m_impl->command, m_impl->index, option, u,
                   [subindex](Link& l, uei& request) { return l.sendUEI(request, subindex); });
}

aErr EntityClass::callUEI(unsigned char option)
{
    uei u{};
    u.type = ueiVoid;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(unsigned char option, unsigned char value)
{
    uei u{};
    u.type = ueiByte;
    u.value.uiValue = value;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI16(unsigned char option, unsigned short value)
{
    uei u{};
    u.type = ueiShort;
    u.value.uiValue = value;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI32(unsigned char option, unsigned value)
{
    uei u{};
    u.type = ueiInt;
    u.value.uiValue = value;
    return setUEI(option, &u);
}

aErr EntityClass::setUEI8(unsigned char option, unsigned char subindex, unsigned char value)
{
    uei u{};
    u.type = ueiByte;
    u.value.uiValue = value;
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI16(unsigned char option, unsigned char subindex, unsigned short value)
{
    uei u{};
    u.type = ueiShort;
    u.value.uiValue = value;
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEI32(unsigned char option, unsigned char subindex, unsigned value)
{
    uei u{};
    u.type = ueiInt;
    u.value.uiValue = value;
    return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEIBytes(unsigned char option, const unsigned char* data, size_t length)
{
    if (data == nullptr && length > 0)
        return aErrParam;
    uei u{};
    u.type = ueiBytes;
    u.value.data = const_cast<unsigned char*>(data); /* only read when sending */
    u.length = length;
    return setUEI(option, &u);
}

aErr EntityClass::getUEIValue(unsigned char option, unsigned char subindex, bool subindexed,
                              unsigned* value)
{
    uei u{};
    u.type = subindexed ? ueiByte : ueiVoid;
    u.value.uiValue = subindexed ? subindex : 0;
    aErr err = getUEI(option, &u);
    if (err == aErrNone || err == aErrStreamStale)
        *value = u.value.uiValue;
    return err;
}

/* Takes the error first: the raw value is only final once the exchange ran. */
template <typename T>
static aErr sDeliver(aErr err, const unsigned& raw, T* value)
{
    if (err == aErrNone || err == aErrStreamStale)
        *value = (T)raw;
    return err;
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char* value)
{
    if (value == nullptr)
        return aErrParam;
    unsigned raw = 0;
    return sDeliver(getUEIValue(option, 0, false, &raw), raw, value);
}

aErr EntityClass::getUEI16(unsigned char option, unsigned short* value)
{
    if (value == nullptr)
        return aErrParam;
    unsigned raw = 0;
    return sDeliver(getUEIValue(option, 0, false, &raw), raw, value);
}

aErr EntityClass::getUEI32(unsigned char option, unsigned* value)
{
    if (value == nullptr)
        return aErrParam;
    return getUEIValue(option, 0, false, value);
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char subindex, unsigned char* value)
{
    if (value == nullptr)
        return aErrParam;
    unsigned raw = 0;
    return sDeliver(getUEIValue(option, subindex, true, &raw), raw, value);
}

aErr EntityClass::getUEI16(unsigned char option, unsigned char subindex, unsigned short* value)
{
    if (value == nullptr)
        return aErrParam;
    unsigned raw = 0;
    return sDeliver(getUEIValue(option, subindex, true, &raw), raw, value);
}

aErr EntityClass::getUEI32(unsigned char option, unsigned char subindex, unsigned* value)
{
    if (value == nullptr)
        return aErrParam;
    return getUEIValue(option, subindex, true, value);
}

aErr EntityClass::getUEIBytes(unsigned char option, unsigned char* buffer, size_t length, size_t* count)
{
    if (buffer == nullptr || count == nullptr || length == 0)
        return aErrParam;
    *count = 0;
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    uei u{};
    u.module = address();
    u.command = m_impl->command;
    u.option = (uint8_t)(option | aUEI_OPTION_GET);
    u.specifier = (uint8_t)(m_impl->index | aUEI_INDEX_REQUEST);
    u.type = ueiVoid;
    aErr err = l->sendUEI(u);
    if (err != aErrNone)
        return err;
    u.option = option;
    u.specifier = m_impl->index;
    u.sequence = 0;
    u.more = 0;
    u.length = length;
    u.value.data = buffer;
    u.count = count;
    u.type = ueiVoid; /* so each wait lasts the default time */
    for (;;) {
        err = l->receiveUEI(u.module, u.command, u.option, u.specifier, &u, UEIBytesFilter);
        if (err != aErrNone)
            return err;
        if (u.specifier & aUEI_INDEX_ERROR)
            return (aErr)(uint8_t)u.value.uiValue;
        if (u.more != 1)
            return aErrNone;
        u.sequence = (uint8_t)((u.sequence + 1) & aUEI_BYTES_SEQUENCE_MASK);
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit)
{
    if (count == nullptr || unit == 0)
        return aErrParam;
    if (*count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

unsigned char EntityClass::getUEIBytesSequence(const aPacket* packet)
{
    return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet); }

aErr EntityClass::awaitUEI32Val(unsigned char option, unsigned* value, unsigned)
{
    if (value == nullptr)
        return aErrParam;
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    uei u{};
    u.module = address();
    u.command = m_impl->command;
    u.option = option;
    u.specifier = m_impl->index;
    aErr err = l->receiveUEI(u.module, u.command, u.option, u.specifier, &u);
    if (err != aErrNone)
        return err;
    if (u.specifier & aUEI_INDEX_ERROR)
        return (aErr)(uint8_t)u.value.uiValue;
    *value = u.value.uiValue;
    return aErrNone;
}

aErr EntityClass::drainUEI(unsigned char option)
{
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->dropMatchingUEIPackets(address(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::storeOperation(unsigned char option)
{
    if (link() == nullptr)
        return aErrResource;
    EntityClass store;
    store.init(m_impl->module, aCMD_STORE, 0);
    return store.setUEI32(option, (unsigned)((m_impl->command << 8) | m_impl->index));
}

aErr EntityClass::saveEntityToStore() { return storeOperation(aSTORE_SAVE); }
aErr EntityClass::resetEntityToFactoryDefaults() { return storeOperation(aSTORE_RESET); }
aErr EntityClass::loadEntityFromStore() { return storeOperation(aSTORE_LOAD); }

} // namespace Tarnix
} // namespace Velorn
