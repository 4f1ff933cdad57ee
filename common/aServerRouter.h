/* The networked-link server's bookkeeping, apart from its sockets: which
 * client a reply belongs to, who receives streaming frames, and the pooling of
 * multi-packet byte transfers. Used by the server's broker thread only (one
 * router per server); no locking inside. Never throws on hostile input. */
#ifndef TARNIX_ASERVERROUTER_H
#define TARNIX_ASERVERROUTER_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "aPacket.h"

/* Client frames: one packet, address, dataSize, data. */
#define aSERVER_FRAME_MIN 2
#define aSERVER_FRAME_MAX 30

/* Commands from the sync worker to the broker (never sent to clients). */
#define aSERVER_CMD_SIZE 3
#define aSERVER_CMD_DROPPED_PACKET 0
#define aSERVER_CMD_INCOMING_PACKETS 1

/* A pool is given up after this many UEI packets from any client. */
#define aSERVER_POOL_TTL 2000
/* Bounds that keep a flooding client from growing the server without limit. */
#define aSERVER_MAX_AWAITING 4096
#define aSERVER_MAX_QUEUED 4096
#define aSERVER_MAX_QUEUED_PER_CLIENT 32
/* Awaited requests handed to the sync worker at once. */
#define aSERVER_WORKER_DEPTH 2
#define aSERVER_MAX_STREAMING_CLIENTS 1024
#define aSERVER_MAX_POOLS 256

/* Stream enable: command 93, option 1 set, with its 32-bit key. */
#define aSERVER_STREAM_COMMAND 93
#define aSERVER_STREAM_ENABLE 0x81
#define aSERVER_STREAM_ENABLE_SIZE 7
/* Stream disable: option 2 set, the same size; the module's reply option. */
#define aSERVER_STREAM_DISABLE 0x82
#define aSERVER_STREAM_DISABLE_REPLY 0xC2
/* Stream keys remembered per client (more are streamed, just not counted). */
#define aSERVER_MAX_CLIENT_STREAMS 64

/* Fills packet from a client frame: true when the frame is 2 to 30 bytes and its
 * dataSize is at most 28 and at most the data bytes present (extra bytes ignored). */
bool aServer_ParsePacketFrame(const uint8_t* bytes, size_t size, aPacket* packet);
/* False for packets the module does not answer: route control, and the
 * intermediate parts of a UEI byte transfer (full, continue bit set). */
bool aServer_PacketNeedsReply(const aPacket* packet);

/* Requests wait in one queue per client and go to the sync worker a couple at
 * a time (so it never idles between them), the clients taking turns: a client
 * that floods the server (or asks what the module never answers) delays each
 * other client by a request or two rather than by everything it queued. */
class aServerRouter {
public:
    using Identity = std::string;
    using Frame = std::vector<uint8_t>;

    /* A frame from a client; true when it was queued for the module (possibly
     * as the last part of a byte transfer), false when dropped or pooled. */
    bool fromClient(const Identity& client, const uint8_t* bytes, size_t size);
    /* The next request to hand to the sync worker, when it has room:
     * appends its frames to toWorker (in order) and returns true. */
    bool nextRequest(std::vector<Frame>* toWorker);
    /* The request of the last nextRequest could not be handed over. */
    void withdrawLast();
    /* A frame from the sync worker: true when it is a reply to send to *client. */
    bool fromWorker(const uint8_t* bytes, size_t size, Identity* client);
    /* Forgets every client waiting for a reply, and every queued request. */
    void flush();

    const std::vector<Identity>& streamingClients() const { return streaming_; }
    /* A streaming client that is gone (its connection closed). */
    void dropStreamingClient(const Identity& client);
    /* A reply the broker gives a client itself (fromClient answered a stream
     * disable that would have stopped other clients' streams). */
    bool nextLocalReply(Identity* client, Frame* frame);

    size_t awaitingCount() const { return awaiting_.size(); }
    size_t queuedCount() const { return queued_; }
    size_t poolCount() const { return pools_.size(); }
    uint16_t expectedReplies() const { return expected_; }

private:
    struct Pool {
        Identity client;
        std::vector<Frame> frames;
        uint8_t count = 0;
        int ttl = aSERVER_POOL_TTL;
    };
    struct Request {
        std::vector<Frame> frames;
        bool awaitsReply = false;
    };
    struct Queue {
        Identity client;
        std::deque<Request> requests;
    };
    bool pool(const Identity& client, const aPacket& packet, bool* queued);
    bool keepsOthersStreaming(const Identity& client, const aPacket& packet);
    bool enqueue(const Identity& client, Request request);

    std::list<Queue> queues_;       /* clients with requests, in turn order */
    size_t queued_ = 0;
    std::deque<Identity> awaiting_; /* in the worker's order; empty identity: forgotten */
    size_t inFlight_ = 0;           /* awaited requests handed to the worker */
    bool lastAwaited_ = false;
    std::vector<Identity> streaming_;
    /* The module holds one set of stream subscriptions for all clients: the
     * keys each client enabled, so that one client's disable does not end the
     * streams others still use. */
    std::map<Identity, std::vector<uint32_t>> streams_;
    std::deque<std::pair<Identity, Frame>> local_;
    std::list<Pool> pools_;
    uint16_t expected_ = 0;
};

#endif
