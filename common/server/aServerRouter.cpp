/* Reply routing, streaming subscribers and byte-transfer pooling of the
 * networked-link server's broker. */
#include "aServerRouter.h"

#include <string.h>

#include <algorithm>

#include "aLink.h"
#include "aUEI.h"

bool aServer_ParsePacketFrame(const uint8_t* bytes, size_t size, aPacket* packet)
{
    if (bytes == NULL || packet == NULL || size < aSERVER_FRAME_MIN || size > aSERVER_FRAME_MAX)
        return false;
    const uint8_t dataSize = bytes[1];
    if (dataSize > aPACKET_MAX_DATA || dataSize > size - 2)
        return false;
    memset(packet, 0, sizeof(*packet));
    packet->validity = aPACKET_VALIDITY;
    packet->address = bytes[0];
    packet->dataSize = dataSize;
    memcpy(packet->data, bytes + 2, dataSize);
    packet->curSize = (uint8_t)(2 + dataSize);
    return true;
}

static bool sIsUEI(const aPacket* packet)
{
    /* Without a command byte there is no payload to classify. */
    return packet->dataSize > 0 && aUEI_isUEIPayload(packet);
}

static bool sIsTransferPart(const aPacket* packet)
{
    return sIsUEI(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

bool aServer_PacketNeedsReply(const aPacket* packet)
{
    if (packet->address == aLINK_ROUTE_ADDRESS)
        return false;
    return !sIsTransferPart(packet);
}

static aServerRouter::Frame sFrame(const aPacket& packet)
{
    aServerRouter::Frame frame(2u + packet.dataSize);
    frame[0] = packet.address;
    frame[1] = packet.dataSize;
    memcpy(frame.data() + 2, packet.data, packet.dataSize);
    return frame;
}

bool aServerRouter::enqueue(const Identity& client, Request request)
{
    if (queued_ >= aSERVER_MAX_QUEUED)
        return false;
    auto it = std::find_if(queues_.begin(), queues_.end(), [&](const Queue& q) { return q.client == client; });
    if (it == queues_.end()) {
        queues_.push_back(Queue{client, {}});
        it = std::prev(queues_.end());
    }
    if (it->requests.size() >= aSERVER_MAX_QUEUED_PER_CLIENT)
        return false;
    request.arrivedMs = now_;
    it->requests.push_back(std::move(request));
    queued_++;
    return true;
}

/* True when the packet was taken by a pool (or dropped as part of one). */
bool aServerRouter::pool(const Identity& client, const aPacket& packet, bool* queued)
{
    for (auto it = pools_.begin(); it != pools_.end();) {
        if (--it->ttl <= 0)
            it = pools_.erase(it);
        else
            ++it;
    }
    auto it = std::find_if(pools_.begin(), pools_.end(), [&](const Pool& p) { return p.client == client; });
    const uint8_t sequence = aUEI_getBytesSequence(&packet);
    if (it == pools_.end()) {
        if (!sIsTransferPart(&packet))
            return false;
        /* A part that starts nothing the server knows of would leave the module
         * mid-sequence and no reply to wait for: drop it. */
        if (sequence != 0 || pools_.size() >= aSERVER_MAX_POOLS)
            return true;
        Pool fresh;
        fresh.client = client;
        fresh.frames.push_back(sFrame(packet));
        pools_.push_back(std::move(fresh));
        return true;
    }
    /* Sequence numbers wrap from 127 to 0 in a long transfer. */
    if (sequence != ((it->count + 1) & aUEI_BYTES_SEQUENCE_MASK))
        return true; /* out of order: dropped; the time-to-live clears the pool */
    it->frames.push_back(sFrame(packet));
    if (sIsTransferPart(&packet)) {
        it->count = sequence;
        return true;
    }
    Request request;
    request.frames = std::move(it->frames);
    request.awaitsReply = true;
    pools_.erase(it);
    *queued = enqueue(client, std::move(request));
    return true;
}

/* Modules answer at even, non-zero addresses; the link's own odd addresses are
 * synchronisation (no data) and route control. Anything else would put the
 * module's framing out of step and garble the requests of every other client. */
static bool sFramable(const aPacket* packet)
{
    if (packet->address == aLINK_SYNC_ADDRESS)
        return packet->dataSize == 0;
    if (packet->address == aLINK_ROUTE_ADDRESS)
        return true;
    return packet->address != 0 && (packet->address & 1) == 0;
}

static uint32_t sStreamKey(const aPacket& packet)
{
    return ((uint32_t)packet.data[3] << 24) | ((uint32_t)packet.data[4] << 16) | ((uint32_t)packet.data[5] << 8) |
           packet.data[6];
}

/* Whether a disable's key (255 in an element: any) covers an enabled key. */
static bool sCovers(uint32_t disable, uint32_t enabled)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t d = (disable >> shift) & 0xFF, e = (enabled >> shift) & 0xFF;
        if (d != 0xFF && d != e)
            return false;
    }
    return true;
}

/* Forgets what the client's disable covers; true when the disable is answered
 * here instead because another client still streams. What the module keeps
 * streaming then reaches the clients' own filters, which drop it. */
bool aServerRouter::keepsOthersStreaming(const Identity& client, const aPacket& packet)
{
    auto own = streams_.find(client);
    if (own != streams_.end()) {
        const uint32_t key = sStreamKey(packet);
        auto& keys = own->second;
        keys.erase(std::remove_if(keys.begin(), keys.end(), [&](uint32_t k) { return sCovers(key, k); }), keys.end());
        if (keys.empty())
            streams_.erase(own);
    }
    const bool others = std::any_of(streams_.begin(), streams_.end(),
                                    [&](const std::pair<const Identity, std::vector<uint32_t>>& s) {
                                        return s.first != client;
                                    });
    if (!others || local_.size() >= aSERVER_MAX_QUEUED_PER_CLIENT)
        return false;
    const uint8_t index = (uint8_t)(packet.data[2] & 0x1F);
    local_.emplace_back(client, Frame{packet.address, 3, aSERVER_STREAM_COMMAND, aSERVER_STREAM_DISABLE_REPLY, index});
    return true;
}

bool aServerRouter::nextLocalReply(Identity* client, Frame* frame)
{
    if (client == NULL || frame == NULL || local_.empty())
        return false;
    *client = std::move(local_.front().first);
    *frame = std::move(local_.front().second);
    local_.pop_front();
    return true;
}

bool aServerRouter::fromClient(const Identity& client, const uint8_t* bytes, size_t size)
{
    aPacket packet;
    if (!aServer_ParsePacketFrame(bytes, size, &packet) || !sFramable(&packet))
        return false;
    const bool streamRequest = packet.dataSize == aSERVER_STREAM_ENABLE_SIZE && packet.data[0] == aSERVER_STREAM_COMMAND;
    if (streamRequest && packet.data[1] == aSERVER_STREAM_ENABLE &&
        (std::find(streaming_.begin(), streaming_.end(), client) != streaming_.end() ||
         streaming_.size() < aSERVER_MAX_STREAMING_CLIENTS)) {
        if (std::find(streaming_.begin(), streaming_.end(), client) == streaming_.end())
            streaming_.push_back(client);
        auto& keys = streams_[client];
        const uint32_t key = sStreamKey(packet);
        if (keys.size() < aSERVER_MAX_CLIENT_STREAMS && std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
    }
    if (streamRequest && packet.data[1] == aSERVER_STREAM_DISABLE && keepsOthersStreaming(client, packet))
        return false;

    if (sIsUEI(&packet)) {
        bool queued = false;
        if (pool(client, packet, &queued))
            return queued;
    }
    /* Remote clients may not switch the module's routing. */
    if (packet.address == aLINK_ROUTE_ADDRESS && packet.dataSize == 1)
        return false;
    Request request;
    request.frames.push_back(sFrame(packet));
    request.awaitsReply = aServer_PacketNeedsReply(&packet);
    return enqueue(client, std::move(request));
}

bool aServerRouter::inGoodStanding(const Queue& queue) const
{
    if (queue.requests.size() > 1)
        return false;
    auto it = standing_.find(queue.client);
    return it == standing_.end() || !it->second.unanswered || now_ - it->second.unansweredMs >= aSERVER_SUSPECT_MS;
}

/* The first client in turn order that has nothing with the module, those in
 * good standing before the rest. */
std::list<aServerRouter::Queue>::iterator aServerRouter::nextTurn()
{
    auto fallback = queues_.end();
    for (auto it = queues_.begin(); it != queues_.end(); ++it) {
        auto standing = standing_.find(it->client);
        if (standing != standing_.end() && standing->second.outstanding > 0)
            continue;
        if (inGoodStanding(*it))
            return it;
        if (fallback == queues_.end())
            fallback = it;
    }
    return fallback;
}

const aServerRouter::Frame* aServerRouter::peekRequest()
{
    if (inFlight_ >= aSERVER_WORKER_DEPTH || awaiting_.size() >= aSERVER_MAX_AWAITING || queues_.empty())
        return NULL;
    auto turn = nextTurn();
    return turn == queues_.end() ? NULL : &turn->requests.front().frames.front();
}

bool aServerRouter::nextRequest(std::vector<Frame>* toWorker)
{
    if (toWorker == NULL || inFlight_ >= aSERVER_WORKER_DEPTH || awaiting_.size() >= aSERVER_MAX_AWAITING ||
        queues_.empty())
        return false;
    auto turn = nextTurn();
    if (turn == queues_.end())
        return false;
    Request request = std::move(turn->requests.front());
    turn->requests.pop_front();
    queued_--;
    const Identity client = turn->client;
    if (turn->requests.empty())
        queues_.erase(turn);
    else
        queues_.splice(queues_.end(), queues_, turn); /* the next client's turn */
    if (request.awaitsReply) {
        awaiting_.push_back(client);
        inFlight_++;
        standing_[client].outstanding++;
    }
    lastAwaited_ = request.awaitsReply;
    lastClient_ = client;
    for (auto& frame : request.frames)
        toWorker->push_back(std::move(frame));
    return true;
}

void aServerRouter::finished(const Identity& client, bool answered)
{
    if (client.empty())
        return; /* forgotten by a flush */
    auto it = standing_.find(client);
    if (it == standing_.end())
        return;
    if (it->second.outstanding > 0)
        it->second.outstanding--;
    if (!answered) {
        it->second.unanswered = true;
        it->second.unansweredMs = now_;
    }
}

void aServerRouter::tick(uint64_t nowMs)
{
    now_ = nowMs;
    for (auto it = queues_.begin(); it != queues_.end();) {
        auto& requests = it->requests;
        while (!requests.empty() && nowMs - requests.front().arrivedMs >= aSERVER_QUEUE_WAIT_MS) {
            requests.pop_front();
            queued_--;
        }
        it = requests.empty() ? queues_.erase(it) : std::next(it);
    }
    /* Standing is kept while it matters: something with the module, or a
     * recent unanswered request. */
    for (auto it = standing_.begin(); it != standing_.end();) {
        const Standing& st = it->second;
        const bool matters = st.outstanding > 0 || (st.unanswered && nowMs - st.unansweredMs < aSERVER_SUSPECT_MS);
        it = matters ? std::next(it) : standing_.erase(it);
    }
}

void aServerRouter::dropClient(const Identity& client)
{
    for (auto it = queues_.begin(); it != queues_.end(); ++it) {
        if (it->client == client) {
            queued_ -= it->requests.size();
            queues_.erase(it);
            break;
        }
    }
    pools_.remove_if([&](const Pool& p) { return p.client == client; });
    dropStreamingClient(client);
}

void aServerRouter::withdrawLast()
{
    if (lastAwaited_ && !awaiting_.empty()) {
        awaiting_.pop_back();
        inFlight_--;
        auto it = standing_.find(lastClient_);
        if (it != standing_.end() && it->second.outstanding > 0)
            it->second.outstanding--;
    }
    lastAwaited_ = false;
}

static void sDone(size_t* inFlight)
{
    if (*inFlight > 0)
        (*inFlight)--;
}

bool aServerRouter::fromWorker(const uint8_t* bytes, size_t size, Identity* client)
{
    if (bytes == NULL || client == NULL || awaiting_.empty())
        return false;
    Identity head = awaiting_.front();
    awaiting_.pop_front();
    /* Module addresses are even and non-zero, so a first byte of 0 or 1 marks a
     * command; any other 3-byte frame is a reply with one data byte. */
    if (size == aSERVER_CMD_SIZE && bytes[0] == aSERVER_CMD_DROPPED_PACKET) {
        expected_ = 0;
        sDone(&inFlight_);
        finished(head, false);
        return false;
    }
    if (size == aSERVER_CMD_SIZE && bytes[0] == aSERVER_CMD_INCOMING_PACKETS) {
        size_t n = (size_t)((bytes[1] << 8) | bytes[2]);
        if (n > aSERVER_MAX_AWAITING - awaiting_.size())
            n = aSERVER_MAX_AWAITING - awaiting_.size();
        for (size_t i = 0; i < n; ++i)
            awaiting_.push_front(head);
        expected_ = (uint16_t)n;
        if (n == 0) {
            sDone(&inFlight_);
            finished(head, true);
        }
        return false;
    }
    aPacket packet;
    if (!aServer_ParsePacketFrame(bytes, size, &packet)) {
        awaiting_.push_front(head); /* not a reply: whoever waited still waits */
        return false;
    }
    if (expected_ > 0 && --expected_ == 0) {
        sDone(&inFlight_);
        finished(head, true);
    }
    *client = std::move(head);
    return !client->empty();
}

void aServerRouter::flush()
{
    /* What the worker has in hand still comes back: keep the places, drop the addressees. */
    for (auto& client : awaiting_)
        client.clear();
    queues_.clear();
    queued_ = 0;
    expected_ = 0;
    standing_.clear();
}

void aServerRouter::dropStreamingClient(const Identity& client)
{
    streaming_.erase(std::remove(streaming_.begin(), streaming_.end(), client), streaming_.end());
    streams_.erase(client);
}

/* Exchanges with the module. -------------------------------------------- */

#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80
#define aUEI_OPTION_FLAGS 0xC0

bool aServer_ExpectedReplyKey(const aPacket* request, aServerReplyKey* key)
{
    if (request == NULL || key == NULL || request->dataSize < 3 || !sIsUEI(request) ||
        request->address == 0 || (request->address & 1) != 0)
        return false;
    const uint8_t flags = request->data[1] & aUEI_OPTION_FLAGS;
    if (flags != aUEI_OPTION_GET && flags != aUEI_OPTION_SET)
        return false;
    key->address = request->address;
    key->command = request->data[0];
    key->option = request->data[1] & aUEI_OPTION_MASK;
    key->index = request->data[2] & aUEI_INDEX_MASK;
    return true;
}

bool aServer_ReplyKey(const aPacket* reply, aServerReplyKey* key)
{
    if (reply == NULL || key == NULL || reply->dataSize < 3 || !sIsUEI(reply))
        return false;
    key->address = reply->address;
    key->command = reply->data[0];
    /* Not the flags: a module's get reply that echoes the get flag is still its reply. */
    key->option = reply->data[1] & aUEI_OPTION_MASK;
    key->index = reply->data[2] & aUEI_INDEX_MASK;
    return true;
}

bool aServerExchanges::describe(const uint8_t* bytes, size_t size, Exchange* exchange)
{
    aPacket packet;
    if (!aServer_ParsePacketFrame(bytes, size, &packet))
        return false;
    exchange->request = sFrame(packet);
    exchange->needsReply = aServer_PacketNeedsReply(&packet);
    exchange->alone = exchange->needsReply && !aServer_ExpectedReplyKey(&packet, &exchange->key);
    return true;
}

bool aServerExchanges::add(const uint8_t* bytes, size_t size)
{
    Exchange exchange;
    if (!describe(bytes, size, &exchange))
        return false;
    pending_.push_back(std::move(exchange));
    return true;
}

bool aServerExchanges::wouldGoNow(const uint8_t* bytes, size_t size) const
{
    Exchange exchange;
    return pending_.empty() && describe(bytes, size, &exchange) && mayGo(exchange);
}

bool aServerExchanges::mayGo(const Exchange& next) const
{
    size_t waiting = 0;
    for (const Exchange& e : sent_) {
        if (e.done)
            continue;
        /* Whatever the module sends is the reply to a request exchanged alone. */
        if (e.alone)
            return false;
        /* Same key, other bytes: its reply could not be told apart. */
        if (next.needsReply && !next.alone && e.key == next.key && e.request != next.request)
            return false;
        waiting++;
    }
    if (!next.needsReply)
        return true;
    return next.alone ? waiting == 0 : waiting < aSERVER_WORKER_DEPTH;
}

bool aServerExchanges::nextToSend(Frame* frame, uint64_t nowMs)
{
    if (frame == NULL || pending_.empty() || !mayGo(pending_.front()))
        return false;
    Exchange next = std::move(pending_.front());
    pending_.pop_front();
    *frame = next.request;
    lastSentAwaits_ = next.needsReply;
    if (next.needsReply) {
        next.deadline = nowMs + aSERVER_REPLY_WAIT_MS;
        sent_.push_back(std::move(next));
    }
    return true;
}

void aServerExchanges::sendFailed()
{
    if (lastSentAwaits_ && !sent_.empty()) {
        sent_.back().done = true; /* reported as unanswered */
        sent_.back().replies.clear();
    }
    lastSentAwaits_ = false;
}

void aServerExchanges::received(size_t at, const aPacket& packet, uint64_t nowMs)
{
    Exchange& exchange = sent_[at];
    exchange.replies.push_back(sFrame(packet));
    /* A byte sequence goes on while its packets are full with the continue bit. */
    const bool more = sIsUEI(&packet) && aUEI_getBytesFullPacket(&packet) && aUEI_getBytesContinue(&packet);
    if (more && exchange.replies.size() < 0xFFFF)
        exchange.deadline = nowMs + aSERVER_REPLY_WAIT_MS;
    else
        exchange.done = true;
    /* The module answers in order: the requests sent after this one have only
     * now come to their turn, so each still gets its full wait from here (a
     * slow module is not taken for a silent one). */
    for (size_t later = at + 1; later < sent_.size(); ++later)
        if (!sent_[later].done)
            sent_[later].deadline = std::max(sent_[later].deadline, nowMs + aSERVER_REPLY_WAIT_MS);
}

void aServerExchanges::fromModule(const aPacket& packet, uint64_t nowMs)
{
    aServerReplyKey key;
    const bool keyed = aServer_ReplyKey(&packet, &key);
    size_t only = sent_.size(), waiting = 0;
    for (size_t i = 0; i < sent_.size(); ++i) {
        Exchange& e = sent_[i];
        if (e.done)
            continue;
        if (e.alone || (keyed && e.key == key)) {
            received(i, packet, nowMs);
            return;
        }
        only = i;
        waiting++;
    }
    /* A packet without a key (a short or odd reply) answers the one request
     * waiting, as it would with one request at a time. A keyed one nobody
     * asked for is a reply that came after its wait ended: dropped. */
    if (!keyed && waiting == 1)
        received(only, packet, nowMs);
}

void aServerExchanges::expire(uint64_t nowMs)
{
    for (Exchange& e : sent_)
        if (!e.done && nowMs >= e.deadline)
            e.done = true;
}

bool aServerExchanges::nextOutcome(std::vector<Frame>* replies)
{
    if (replies == NULL || sent_.empty() || !sent_.front().done)
        return false;
    *replies = std::move(sent_.front().replies);
    sent_.pop_front();
    return true;
}

uint64_t aServerExchanges::nextDeadline() const
{
    uint64_t earliest = UINT64_MAX;
    for (const Exchange& e : sent_)
        if (!e.done && e.deadline < earliest)
            earliest = e.deadline;
    return earliest;
}
