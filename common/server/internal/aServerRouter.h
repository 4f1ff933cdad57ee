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

/* The outcome of a request as the exchanges report it to the router (never
 * sent to clients). */
#define aSERVER_CMD_SIZE 3
#define aSERVER_CMD_DROPPED_PACKET 0
#define aSERVER_CMD_INCOMING_PACKETS 1

/* A pool is given up after this many UEI packets from any client. */
#define aSERVER_POOL_TTL 2000
/* Bounds that keep a flooding client from growing the server without limit. */
#define aSERVER_MAX_AWAITING 4096
#define aSERVER_MAX_QUEUED 4096
#define aSERVER_MAX_QUEUED_PER_CLIENT 32
/* Awaited requests handed to the exchanges with the module at once, and how
 * many of them may be with the module at the same time. */
#define aSERVER_WORKER_DEPTH 8
/* How long a request waits for (the next part of) its reply. */
#define aSERVER_REPLY_WAIT_MS 2000
/* A request not yet sent to the module after this long is dropped: its
 * client has given up on it (or is gone). A well-behaved client's request
 * waits at most one reply wait before it goes. */
#define aSERVER_QUEUE_WAIT_MS (aSERVER_REPLY_WAIT_MS + 1000)
/* A client whose request went unanswered is served after the others for this
 * long (it may be asking where no module answers). */
#define aSERVER_SUSPECT_MS (5 * aSERVER_REPLY_WAIT_MS)
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

/* What marks the module's reply to a request: the address it comes from,
 * command, option byte and entity index. */
struct aServerReplyKey {
    uint8_t address = 0, command = 0, option = 0, index = 0;
    bool operator==(const aServerReplyKey& other) const
    {
        return address == other.address && command == other.command && option == other.option &&
               index == other.index;
    }
};
/* True for a UEI get or set (exactly one of the option's get and set flags):
 * the module answers it with a reply that carries *key (a get with the bare
 * option code, a set with both flags), so its reply is told apart from the
 * replies to other such requests outstanding at the same time. */
bool aServer_ExpectedReplyKey(const aPacket* request, aServerReplyKey* key);
/* The key a packet from the module carries; false when it is no UEI reply. */
bool aServer_ReplyKey(const aPacket* reply, aServerReplyKey* key);

/* The server's exchanges with the module. UEI gets and sets whose
 * replies are told apart by their keys are sent together (up to
 * aSERVER_WORKER_DEPTH), so the module is never idle while clients wait and
 * one write and one read carry several of them; two outstanding requests with
 * the same key are always the same bytes, so whichever reply comes first
 * answers the same question. Every other request that awaits a reply is
 * exchanged alone, any packet the module sends being its reply. Each request
 * waits aSERVER_REPLY_WAIT_MS for its reply, counted from when the requests
 * before it were answered. Outcomes leave in the order the requests arrived. No locking; never throws on
 * hostile input. */
class aServerExchanges {
public:
    using Frame = std::vector<uint8_t>;

    /* A request frame from the broker; false (dropped) when it is no packet. */
    bool add(const uint8_t* bytes, size_t size);
    /* Whether the request frame would go to the module at once if added now. */
    bool wouldGoNow(const uint8_t* bytes, size_t size) const;
    /* The next request that may go to the module now (in arrival order). */
    bool nextToSend(Frame* frame, uint64_t nowMs);
    /* The request of the last nextToSend could not be put on the link. */
    void sendFailed();
    /* A packet from the module (never a stream sample). */
    void fromModule(const aPacket& packet, uint64_t nowMs);
    /* Ends the waits that ran out. */
    void expire(uint64_t nowMs);
    /* The oldest finished request's replies (none: it got no reply). */
    bool nextOutcome(std::vector<Frame>* replies);
    /* When the earliest wait runs out; UINT64_MAX when nothing waits. */
    uint64_t nextDeadline() const;

    size_t backlog() const { return pending_.size(); }
    size_t outstanding() const { return sent_.size(); }

private:
    struct Exchange {
        Frame request;
        bool needsReply = false;
        bool alone = false;
        aServerReplyKey key;
        std::vector<Frame> replies;
        bool done = false;
        uint64_t deadline = 0;
    };
    bool mayGo(const Exchange& next) const;
    static bool describe(const uint8_t* bytes, size_t size, Exchange* exchange);
    void received(size_t at, const aPacket& packet, uint64_t nowMs);

    std::deque<Exchange> pending_; /* not sent yet, in arrival order */
    std::deque<Exchange> sent_;    /* sent and awaiting replies, or finished and not yet reported */
    bool lastSentAwaits_ = false;
};

/* Requests wait in one queue per client. Each client has at most one request
 * with the module at a time, and the clients take turns, those in good
 * standing first: a client that has more than one request queued, or whose
 * request went unanswered in the last aSERVER_SUSPECT_MS, waits while others
 * have requests. So a well-behaved client (one request at a time, to a module
 * that answers) waits for at most the requests already with the module before
 * its own goes, however many others flood the server or ask where nothing
 * answers. Requests queued longer than aSERVER_QUEUE_WAIT_MS are dropped. */
class aServerRouter {
public:
    using Identity = std::string;
    using Frame = std::vector<uint8_t>;

    /* A frame from a client; true when it was queued for the module (possibly
     * as the last part of a byte transfer), false when dropped or pooled. */
    bool fromClient(const Identity& client, const uint8_t* bytes, size_t size);
    /* The first frame of the request nextRequest would hand on now (null: none),
     * so that it is handed on only when it can go to the module at once and a
     * later request of a client in better standing is not stuck behind it. */
    const Frame* peekRequest();
    /* The next request to hand to the exchanges with the module, when they have room:
     * appends its frames to toWorker (in order) and returns true. */
    bool nextRequest(std::vector<Frame>* toWorker);
    /* The request of the last nextRequest could not be handed over. */
    void withdrawLast();
    /* A frame of an outcome (command, then replies): true when it is a reply to send to *client. */
    bool fromWorker(const uint8_t* bytes, size_t size, Identity* client);
    /* Forgets every client waiting for a reply, and every queued request. */
    void flush();
    /* The time now (monotonic ms): drops requests that waited too long. Call
     * it before the other calls of each round. */
    void tick(uint64_t nowMs);
    /* A client that is gone: its queue, pool and streams go. */
    void dropClient(const Identity& client);

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
        uint64_t arrivedMs = 0;
    };
    struct Standing {
        size_t outstanding = 0; /* awaited requests with the module */
        uint64_t unansweredMs = 0;
        bool unanswered = false;
    };
    struct Queue {
        Identity client;
        std::deque<Request> requests;
    };
    bool pool(const Identity& client, const aPacket& packet, bool* queued);
    bool keepsOthersStreaming(const Identity& client, const aPacket& packet);
    bool enqueue(const Identity& client, Request request);
    bool inGoodStanding(const Queue& queue) const;
    std::list<Queue>::iterator nextTurn();
    void finished(const Identity& client, bool answered);

    std::list<Queue> queues_;       /* clients with requests, in turn order */
    std::map<Identity, Standing> standing_;
    uint64_t now_ = 0;
    size_t queued_ = 0;
    std::deque<Identity> awaiting_; /* in the order handed on; empty identity: forgotten */
    size_t inFlight_ = 0;           /* awaited requests handed on, not yet finished */
    bool lastAwaited_ = false;
    Identity lastClient_;
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
