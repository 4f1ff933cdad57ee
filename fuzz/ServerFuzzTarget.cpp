#include "ServerFuzzTarget.h"

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "aServerRouter.h"

// Splits the input into (selector, length, bytes) frames, a short last one cut to what is left.
template <typename Take>
static void ForEachFrame(const uint8_t* data, size_t size, Take take)
{
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t selector = data[at];
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        take(selector, data + at, length);
        at += length;
    }
}

// The same frames through the exchanges with the module: selector bit 0 makes
// a frame a packet from the module, otherwise a request; bit 1 lets time pass.
static void FuzzServerExchanges(const uint8_t* data, size_t size)
{
    aServerExchanges exchanges;
    std::deque<aServerExchanges::Frame> awaited; // sent, in order
    uint64_t now = 0;
    size_t given = 0, reported = 0;
    ForEachFrame(data, size, [&](uint8_t selector, const uint8_t* frame, size_t length) {
        if (selector & 2)
            now += (selector >> 2) * 64;
        aPacket packet;
        if (selector & 1) {
            if (aServer_ParsePacketFrame(frame, length, &packet)) {
                exchanges.fromModule(packet, now);
                given++;
            }
        } else {
            exchanges.add(frame, length);
        }
        exchanges.expire(now);
        aServerExchanges::Frame sent;
        while (exchanges.nextToSend(&sent, now)) {
            if (!aServer_ParsePacketFrame(sent.data(), sent.size(), &packet))
                abort(); // only packets go to the module
            if (aServer_PacketNeedsReply(&packet))
                awaited.push_back(sent);
            if (selector & 0x80)
                exchanges.sendFailed();
        }
        std::vector<aServerExchanges::Frame> replies;
        while (exchanges.nextOutcome(&replies)) {
            // Outcomes in the order the requests went out; a keyed request only
            // ever gets replies with its key (or none); no packet is reported twice.
            if (awaited.empty())
                abort();
            aPacket request;
            aServerReplyKey want, got;
            aServer_ParsePacketFrame(awaited.front().data(), awaited.front().size(), &request);
            const bool keyed = aServer_ExpectedReplyKey(&request, &want);
            for (const auto& reply : replies) {
                aPacket r;
                if (!aServer_ParsePacketFrame(reply.data(), reply.size(), &r))
                    abort();
                if (keyed && aServer_ReplyKey(&r, &got) && !(got == want))
                    abort();
            }
            reported += replies.size();
            awaited.pop_front();
        }
        if (reported > given || exchanges.backlog() > size)
            abort();
    });
}

void FuzzServerFrames(const uint8_t* data, size_t size)
{
    FuzzServerExchanges(data, size);

    aServerRouter router;
    ForEachFrame(data, size, [&](uint8_t selector, const uint8_t* frame, size_t length) {
        if (selector & 1) {
            std::string client;
            const size_t before = router.awaitingCount();
            const bool reply = router.fromWorker(frame, length, &client);
            // Only a well-formed packet frame reaches a client, and only one that was waited for.
            aPacket packet;
            if (reply && (before == 0 || !aServer_ParsePacketFrame(frame, length, &packet)))
                abort();
        } else if (selector & 2) {
            router.flush();
            std::string client;
            if (router.queuedCount() != 0 || router.fromWorker((const uint8_t*)"\x04\x00", 2, &client))
                abort();
        } else {
            const std::string client(1, char('A' + ((selector >> 2) & 3)));
            const size_t before = router.queuedCount();
            const bool queued = router.fromClient(client, frame, length);
            if (queued && router.queuedCount() != before + 1)
                abort();
            // A reply the broker gives itself goes to the client that asked, and is a packet.
            std::string to;
            aServerRouter::Frame local;
            while (router.nextLocalReply(&to, &local)) {
                aPacket packet;
                if (queued || to != client || !aServer_ParsePacketFrame(local.data(), local.size(), &packet))
                    abort();
            }
            std::vector<aServerRouter::Frame> toWorker;
            const size_t waiting = router.awaitingCount();
            for (;;) {
                // Only a couple of awaited requests are handed over at once.
                if (!router.nextRequest(&toWorker))
                    break;
                if (router.awaitingCount() > waiting + aSERVER_WORKER_DEPTH)
                    abort();
                if (toWorker.empty())
                    abort();
                for (const auto& f : toWorker) {
                    aPacket packet;
                    if (!aServer_ParsePacketFrame(f.data(), f.size(), &packet))
                        abort(); // the worker is only ever handed packets
                }
                toWorker.clear();
                if (selector & 0x80)
                    router.withdrawLast();
            }
        }
        if (router.awaitingCount() > aSERVER_MAX_AWAITING || router.poolCount() > aSERVER_MAX_POOLS ||
            router.queuedCount() > aSERVER_MAX_QUEUED ||
            router.streamingClients().size() > aSERVER_MAX_STREAMING_CLIENTS)
            abort();
    });
}
