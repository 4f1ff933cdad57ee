/* Link streaming: stream keys and sample packets, the stream table, the packet
 * filter on the engine's input thread and the callback worker.
 *
 * Threads: the engine's input thread runs linkStreamFilter (through the
 * engine link's hub, below) and is the only one that pushes onto a link's
 * callback queue; the link's worker thread is the only one that pops and runs
 * the callbacks. streamMutex guards the table and the worker pointer. Lock
 * order: engine filter lock, hub lock, streamMutex; a worker's delivery lock,
 * then streamMutex. */
#include "Link.h"
#include "LinkPrivate.h"

#include <algorithm>
#include <chrono>

#include "aUEI.h"

namespace Velorn {
namespace Tarnix {

namespace {

constexpr uint8_t kAny = 255;
constexpr int kGenericMasks = 15;

/* An engine link has one user filter, but several link objects may share the
 * engine link (a router and the modules behind it, two objects on one USB
 * module). The hub is that one filter and runs every member's filter, so one
 * object's streams never replace or remove another's. */
struct StreamHub {
    std::mutex mutex;
    std::vector<Link::impl*> members;
};

std::mutex sHubsMutex;
std::map<aLinkId, StreamHub*>& sHubs()
{
    static std::map<aLinkId, StreamHub*> hubs;
    return hubs;
}

bool sHubFilter(const aPacket* packet, void* reference)
{
    auto* hub = static_cast<StreamHub*>(reference);
    std::lock_guard<std::mutex> lock(hub->mutex);
    bool consumed = false;
    for (Link::impl* member : hub->members)
        consumed = linkStreamFilter(packet, member) || consumed;
    return consumed;
}

aErr sHubJoin(aLinkId id, Link::impl* member)
{
    std::lock_guard<std::mutex> lock(sHubsMutex);
    auto found = sHubs().find(id);
    if (found != sHubs().end()) {
        std::lock_guard<std::mutex> hubLock(found->second->mutex);
        found->second->members.push_back(member);
        return aErrNone;
    }
    auto* hub = new (std::nothrow) StreamHub;
    if (hub == nullptr)
        return aErrMemory;
    hub->members.push_back(member);
    aErr err = aLink_InstallUserPacketFilter(id, sHubFilter, hub);
    if (err != aErrNone) {
        delete hub;
        return aErrConnection;
    }
    sHubs()[id] = hub;
    return aErrNone;
}

void sHubLeave(aLinkId id, Link::impl* member)
{
    std::lock_guard<std::mutex> lock(sHubsMutex);
    auto found = sHubs().find(id);
    if (found == sHubs().end())
        return;
    StreamHub* hub = found->second;
    bool empty;
    {
        std::lock_guard<std::mutex> hubLock(hub->mutex);
        auto& m = hub->members;
        m.erase(std::remove(m.begin(), m.end(), member), m.end());
        empty = m.empty();
    }
    if (!empty)
        return;
    /* Removing the filter waits for a running filter call to end, so the hub
     * can go afterwards. */
    (void)aLink_InstallUserPacketFilter(id, nullptr, nullptr); /* the link may have gone already; its filter went with it */
    sHubs().erase(found);
    delete hub;
}

bool sCovers(uint64_t key, const uint8_t given[5])
{
    for (int element = Link::KEY_MODULE; element <= Link::KEY_SUBINDEX; ++element) {
        if (given[element] != kAny && Link::getStreamKeyElement(key, element) != given[element])
            return false;
    }
    return true;
}

bool sIsWildcard(uint64_t key)
{
    for (int element = Link::KEY_MODULE; element <= Link::KEY_SUBINDEX; ++element) {
        if (Link::getStreamKeyElement(key, element) == kAny)
            return true;
    }
    return false;
}

size_t sSampleSize(Link::STREAM_PACKET type)
{
    switch (type) {
    case Link::STREAM_U8: return 14;
    case Link::STREAM_U16: return 15;
    case Link::STREAM_U32: return 17;
    case Link::STREAM_U8_SUB: return 15;
    case Link::STREAM_U16_SUB: return 16;
    case Link::STREAM_U32_SUB: return 18;
    default: return 0;
    }
}

/* Runs the queued callbacks until stopped. The worker may outlive its link
 * only when the link was destroyed from a callback: then stopping is already
 * set when the callback returns, and the link is never touched again. */
void asyncWork(Link::impl* owner, std::shared_ptr<StreamWorker> worker)
{
    for (;;) {
        if (worker->stopping.load())
            return;
        bool popped = false;
        asyncPacket item;
        while (!worker->stopping.load() && worker->queue.pop(item)) {
            popped = true;
            std::lock_guard<std::mutex> running(worker->delivery);
            if (worker->stopping.load())
                return;
            if (!owner->registrationLive(item.key, item.token))
                continue;
            try {
                item.callback(&item.packet, item.context);
            } catch (...) {
                Log::log(Log::DEBUG_ObjectLink, "Stream callback threw an exception\n");
            }
        }
        if (!popped)
            worker->stopped.wait_for(std::chrono::milliseconds(1));
    }
}

} // namespace

uint64_t _getGenericStreamKeyMask(int n)
{
    if (n < 0 || n >= kGenericMasks)
        return 0;
    const unsigned bits = (unsigned)n + 1; /* index, option, command, subindex */
    uint64_t mask = 0;
    if (bits & 1)
        mask |= Link::createStreamKey(0, 0, 0, kAny, 0);
    if (bits & 2)
        mask |= Link::createStreamKey(0, 0, kAny, 0, 0);
    if (bits & 4)
        mask |= Link::createStreamKey(0, kAny, 0, 0, 0);
    if (bits & 8)
        mask |= Link::createStreamKey(0, 0, 0, 0, kAny);
    return mask;
}

/* Keys and packets. ------------------------------------------------------ */

uint64_t Link::createStreamKey(unsigned char module, unsigned char command, unsigned char option,
                               unsigned char index, unsigned char subindex)
{
    return StreamKey(module, command, option, index, subindex);
}

unsigned char Link::getStreamKeyElement(uint64_t key, int element)
{
    switch (element) {
    case KEY_MODULE: return (unsigned char)(key >> 24);
    case KEY_COMMAND: return (unsigned char)(key >> 16);
    case KEY_OPTION: return (unsigned char)(key >> 8);
    case KEY_INDEX: return (unsigned char)key;
    case KEY_SUBINDEX: return (unsigned char)(key >> 32);
    default: return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type)
{
    STREAM_PACKET found = STREAM_INVALID;
    if (isStreamPacket(packet)) {
        const uint8_t trailer = packet->data[packet->dataSize - 1];
        if (trailer != 0)
            found = STREAM_BYTES;
        else if (packet->data[3] >= STREAM_U8 && packet->data[3] <= STREAM_U32_SUB)
            found = (STREAM_PACKET)packet->data[3];
    }
    if (type != nullptr)
        *type = found;
    return found != STREAM_INVALID;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type == STREAM_U8_SUB || type == STREAM_U16_SUB || type == STREAM_U32_SUB;
}

bool Link::isStreamSample(const aPacket* packet)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return false;
    return packet->data[packet->dataSize - 1] == 0 && packet->dataSize == sSampleSize(type);
}

aErr Link::getStreamSample(const aPacket* packet, unsigned long* timestamp, unsigned* value,
                           unsigned char* subindex)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return aErrPacket;
    if (type == STREAM_BYTES)
        return aErrSize;
    if (!isStreamSample(packet))
        return aErrPacket;
    const uint8_t* at = packet->data + 4;
    uint8_t sub = 0;
    if (isSubindexType(type))
        sub = *at++;
    const unsigned long stamp =
        ((unsigned long)aUEI_RetrieveInt(at) << 32) | (unsigned long)aUEI_RetrieveInt(at + 4);
    at += 8;
    unsigned v;
    switch (type) {
    case STREAM_U8:
    case STREAM_U8_SUB: v = at[0]; break;
    case STREAM_U16:
    case STREAM_U16_SUB: v = aUEI_RetrieveShort(at); break;
    default: v = aUEI_RetrieveInt(at); break;
    }
    if (timestamp != nullptr)
        *timestamp = stamp;
    if (value != nullptr)
        *value = v;
    if (subindex != nullptr)
        *subindex = sub;
    return aErrNone;
}

void Link::getTimestampParts(unsigned long timestamp, unsigned* high, unsigned* low)
{
    if (high != nullptr)
        *high = (unsigned)(timestamp >> 32);
    if (low != nullptr)
        *low = (unsigned)timestamp;
}

/* The filter and the worker. --------------------------------------------- */

bool linkStreamFilter(const aPacket* packet, void* reference)
{
    auto* d = static_cast<Link::impl*>(reference);
    Link::STREAM_PACKET type;
    if (d == nullptr || !Link::getStreamPacketType(packet, &type))
        return false;
    const uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
    const uint64_t key = Link::createStreamKey(packet->address, packet->data[0],
                                               packet->data[1] & aUEI_OPTION_MASK,
                                               packet->data[2] & aUEI_INDEX_MASK, subindex);
    unsigned value = 0;
    const bool hasValue = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

    std::lock_guard<std::mutex> lock(d->streamMutex);
    auto exact = d->streams.find(key);
    if (exact != d->streams.end()) {
        d->queueAsyncCallback(exact->second, packet);
        if (hasValue) {
            exact->second.value = value;
            exact->second.fresh = 1;
        }
    }
    /* A command or subindex of 255 in the packet makes masks coincide; each
     * registration still runs once per packet. */
    uint64_t seen[kGenericMasks + 1];
    size_t seenCount = 0;
    seen[seenCount++] = key;
    bool wildcard = false;
    for (int n = 0; n < kGenericMasks; ++n) {
        const uint64_t candidate = key | _getGenericStreamKeyMask(n);
        if (std::find(seen, seen + seenCount, candidate) != seen + seenCount)
            continue;
        seen[seenCount++] = candidate;
        auto found = d->streams.find(candidate);
        if (found == d->streams.end())
            continue;
        d->queueAsyncCallback(found->second, packet);
        wildcard = true;
    }
    if (exact == d->streams.end() && wildcard && hasValue) {
        StreamEntry& entry = d->streams[key];
        entry.key = key;
        entry.value = value;
        entry.fresh = 1;
    }
    return true;
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback || !worker)
        return;
    asyncPacket item;
    item.callback = entry.callback;
    item.context = entry.context;
    item.packet = *packet;
    item.key = entry.key;
    item.token = entry.token;
    if (worker->queue.push(item)) {
        dropping = false;
        return;
    }
    const unsigned long dropped = ++droppedCallbacks;
    if (!dropping) {
        dropping = true;
        Log::log(Log::DEBUG_ObjectLink, "Stream callback queue full: dropping callbacks (%lu dropped)\n",
                 dropped);
    }
}

bool Link::impl::registrationLive(uint64_t key, uint64_t token)
{
    std::lock_guard<std::mutex> lock(streamMutex);
    auto found = streams.find(key);
    return found != streams.end() && found->second.token == token && found->second.callback;
}

void Link::impl::quiesceCallbacks()
{
    std::shared_ptr<StreamWorker> running;
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        running = worker;
    }
    /* From a callback the running callback is the caller itself. */
    if (!running || running->id == std::this_thread::get_id())
        return;
    std::lock_guard<std::mutex> wait(running->delivery);
}

aErr Link::impl::installStreamFilter(bool enable)
{
    const aLinkId id = linkRef.load();
    if (id == 0)
        return aErrConnection;
    if (!enable) {
        stopStreaming();
        return aErrNone;
    }
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        if (!worker) {
            auto started = std::make_shared<StreamWorker>();
            try {
                started->thread = std::thread(asyncWork, this, started);
            } catch (...) {
                return aErrResource;
            }
            started->id = started->thread.get_id();
            worker = std::move(started);
        }
    }
    if (streamLinkId != id) {
        if (streamLinkId != 0)
            sHubLeave(streamLinkId, this);
        streamLinkId = 0;
        aErr err = sHubJoin(id, this);
        if (err != aErrNone)
            return err;
        streamLinkId = id;
    }
    return aErrNone;
}

void Link::impl::stopStreaming()
{
    if (streamLinkId != 0) {
        sHubLeave(streamLinkId, this);
        streamLinkId = 0;
    }
    std::shared_ptr<StreamWorker> stopping;
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        streams.clear();
        stopping = std::move(worker);
    }
    if (!stopping)
        return;
    stopping->stopping.store(true);
    stopping->stop.set_value();
    /* Callbacks still queued are dropped with the worker's state. */
    if (stopping->id == std::this_thread::get_id())
        stopping->thread.detach();
    else
        stopping->thread.join();
}

/* Operations. ------------------------------------------------------------ */

namespace {

/* Tells the module to start or stop streaming what the key covers. */
aErr sStreamRequest(Link& link, uint8_t module, uint64_t key, bool enable)
{
    const uint8_t option = enable ? aSTREAM_ENABLE : aSTREAM_DISABLE;
    uei u{};
    u.module = module;
    u.command = aCMD_STREAM;
    u.option = (uint8_t)(option | aUEI_OPTION_SET);
    u.specifier = aUEI_INDEX_REQUEST;
    u.type = ueiInt;
    u.value.uiValue = (uint32_t)key;
    aErr err = link.sendUEI(u);
    if (err != aErrNone)
        return err;
    u.option = (uint8_t)(option | aUEI_OPTION_SET_REPLY);
    u.specifier = 0;
    err = link.receiveUEI(module, aCMD_STREAM, u.option, u.specifier, &u);
    if (err != aErrNone)
        return err;
    return (u.specifier & aUEI_INDEX_ERROR) ? (aErr)(uint8_t)u.value.uiValue : aErrNone;
}

} // namespace

aErr Link::registerStreamCallback(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char index, bool enable, streamCallback callback, void* context)
{
    if (module & 1)
        return aErrParam;
    const uint64_t key = createStreamKey(module, command, option, index, kAny);
    if (!enable) {
        {
            std::lock_guard<std::mutex> lock(m_impl->streamMutex);
            for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kAny, false))
                m_impl->streams.erase(k);
        }
        m_impl->quiesceCallbacks();
        /* The filter stays until the module has answered, so that samples
         * sent before it stopped are consumed rather than queued as replies. */
        const aErr err = sStreamRequest(*this, module, key, false);
        bool empty;
        {
            std::lock_guard<std::mutex> lock(m_impl->streamMutex);
            empty = m_impl->streams.empty();
        }
        const aErr filterErr = m_impl->installStreamFilter(!empty);
        return err != aErrNone ? err : filterErr;
    }

    bool replaced = false;
    StreamEntry previous;
    {
        std::lock_guard<std::mutex> lock(m_impl->streamMutex);
        auto found = m_impl->streams.find(key);
        if (found != m_impl->streams.end()) {
            replaced = true;
            previous = found->second;
        }
        StreamEntry& entry = m_impl->streams[key];
        entry.key = key;
        entry.callback = std::move(callback);
        entry.context = context;
        entry.token = m_impl->nextToken++;
    }
    if (replaced)
        m_impl->quiesceCallbacks();
    aErr err = m_impl->installStreamFilter(true);
    if (err == aErrNone)
        err = sStreamRequest(*this, module, key, true);
    if (err == aErrNone)
        return aErrNone;
    /* The module did not take it: leave every other registration as it was. */
    bool empty;
    {
        std::lock_guard<std::mutex> lock(m_impl->streamMutex);
        if (replaced) {
            previous.token = m_impl->nextToken++;
            m_impl->streams[key] = previous;
        } else {
            m_impl->streams.erase(key);
        }
        empty = m_impl->streams.empty();
    }
    m_impl->quiesceCallbacks();
    if (empty)
        (void)m_impl->installStreamFilter(false); /* removing from a link gone already leaves nothing to remove */
    return err;
}

aErr Link::enableStream(unsigned char module, unsigned char command, unsigned char option,
                        unsigned char index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, streamCallback(), nullptr);
}

aErr Link::isLinkStreaming(unsigned char module, unsigned char* state)
{
    if (state == nullptr)
        return aErrParam;
    uei u{};
    u.module = module;
    u.command = aCMD_STREAM;
    u.option = (uint8_t)(aSTREAM_ENABLE | aUEI_OPTION_GET);
    u.specifier = aUEI_INDEX_REQUEST;
    u.type = ueiVoid;
    aErr err = sendUEI(u);
    if (err != aErrNone)
        return err;
    u.option = aSTREAM_ENABLE;
    u.specifier = 0;
    err = receiveUEI(module, aCMD_STREAM, u.option, u.specifier, &u);
    if (err != aErrNone)
        return err;
    if (u.specifier & aUEI_INDEX_ERROR)
        return (aErr)(uint8_t)u.value.uiValue;
    *state = (uint8_t)u.value.uiValue;
    return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(unsigned char module, unsigned char command,
                                                   unsigned char option, unsigned char index,
                                                   unsigned char subindex, bool lock)
{
    const uint8_t given[5] = {module, command, option, index, subindex};
    std::unique_lock<std::mutex> guard(m_impl->streamMutex, std::defer_lock);
    if (lock)
        guard.lock();
    std::vector<uint64_t> keys;
    for (const auto& entry : m_impl->streams) {
        if (sCovers(entry.first, given))
            keys.push_back(entry.first);
    }
    return keys;
}

aErr Link::getStreamStatus(unsigned char module, unsigned char command, unsigned char option,
                           unsigned char index, unsigned char subindex, StreamStatusEntry* entries,
                           size_t capacity, size_t* count)
{
    if (count != nullptr)
        *count = 0;
    if (!isConnected())
        return aErrConnection;
    if (entries == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    const uint8_t given[5] = {module, command, option, index, subindex};
    std::lock_guard<std::mutex> lock(m_impl->streamMutex);
    for (const auto& entry : m_impl->streams) {
        if (sIsWildcard(entry.first) || !sCovers(entry.first, given))
            continue;
        if (*count == capacity)
            return aErrSize;
        entries[*count].key = entry.first;
        entries[*count].value = entry.second.value;
        ++*count;
    }
    return aErrNone;
}

unsigned long Link::getDroppedStreamCallbacks() const { return m_impl->droppedCallbacks.load(); }

} // namespace Tarnix
} // namespace Velorn
