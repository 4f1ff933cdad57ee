/* The networked-link server: a ROUTER frontend for remote clients, a broker
 * thread that routes frames and exchanges requests with the real link
 * (several at once when their replies can be told apart), streaming fan-out,
 * and discovery (loopback multicast responder or beacons). All traffic between
 * the threads goes through ZeroMQ sockets; the streaming buffer alone is
 * shared, under a mutex. */
#include "aServer.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "aActorPrivate.h"
#include "aDiscovery.h"
#include "aProtocol.h"
#include "aServerRouter.h"
#include "aShareKeys.h"
#include "aTime.h"
#include "aUEI.h"

#define aSERVER_POLL_MS 1000
#define aSERVER_STREAM_BUFFER 4096
#define aSERVER_STREAM_FLUSH 4065
#define aSERVER_PUBLISH_MS 2000
#define aSERVER_PUBLISH_INTERVAL_MS 100
#define aSERVER_STATUS_FLUSH 5
/* The largest frame a client legitimately sends: a CURVE handshake command
 * with its metadata, well above an encrypted packet frame. Anything larger is
 * refused by libzmq's decoder from the frame header, before it is buffered. */
#define aSERVER_FRONTEND_MAX_MESSAGE 1024
/* Frames queued per client connection: enough for any honest pipeline, small
 * enough that a flood waits in the client's own socket and TCP window. */
#define aSERVER_FRONTEND_HWM 256
/* A peer silent this long (no heartbeat answered) is disconnected. */
#define aSERVER_HEARTBEAT_MS 1000
#define aSERVER_HEARTBEAT_TIMEOUT_MS 3000

struct aServer {
    uint16_t validity;
    aLinkId linkId;
    std::atomic<uint8_t> model;
    std::atomic<uint8_t> moduleAddress;
    linkType type;
    uint32_t serialNumber;
    bool localOnly;
    bool beaconMode;
    zactor_t* discovery;
    uint16_t port;
    zsock_t* frontend;
    zsock_t* streamBound;
    zsock_t* streamConnected; /* the real link's input thread only */
    zsock_t* replyBound;      /* the broker */
    zsock_t* replyConnected;  /* the real link's input thread only */
    std::mutex streamMutex;
    uint16_t streamLength;
    uint8_t streamBuffer[aSERVER_STREAM_BUFFER];
    uint32_t hostAddress;
    uint32_t interfaceAddress;
    zactor_t* broker;
    std::atomic<bool> brokerExited;
    std::atomic<bool> discoveryExited;
    bool filterInstalled;
    bool authHeld;
};

static bool sValid(const aServer* server)
{
    return server != NULL && server->validity == aSERVER_VALIDITY;
}

/* Interrupts. ----------------------------------------------------------- */

void zSysInterruptHandler_process(void)
{
    static std::mutex mutex;
    static bool handedBack = false;
    if (!zsys_interrupted)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (handedBack)
        return;
    handedBack = true;
    /* CZMQ swallowed the signal into its flag; give the process its own handling back. */
    zsys_handler_reset();
    kill(getpid(), SIGINT);
}


/* Announcement. --------------------------------------------------------- */

static void sNetworkSpec(const aServer* server, linkSpec* spec)
{
    memset(spec, 0, sizeof(*spec));
    spec->type = server->type;
    spec->serial_num = server->serialNumber;
    spec->module = server->moduleAddress.load();
    spec->model = server->model.load();
    spec->ip_address = server->hostAddress;
    spec->ip_port = server->port;
}

/* Sending without blocking: a slow or vanished client never stalls the broker. */
static bool sSendTo(zsock_t* frontend, const std::string& client, const uint8_t* bytes, size_t size,
                    bool* gone)
{
    void* sock = zsock_resolve(frontend);
    if (zmq_send(sock, client.data(), client.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) {
        if (gone != NULL)
            *gone = zmq_errno() == EHOSTUNREACH;
        return false;
    }
    return zmq_send(sock, bytes, size, ZMQ_DONTWAIT) >= 0;
}

/* Streaming. ------------------------------------------------------------ */

/* Runs on the real link's input thread for every packet: stream samples are
 * kept for the clients, heartbeats are left to the link, and everything else
 * goes straight to the broker, which waits on it together with the clients'
 * requests. */
static bool sPacketFilter(const aPacket* packet, void* reference)
{
    aServer* server = (aServer*)reference;
    const bool stream = aUEI_isStreamPacket(packet);
    const bool heartbeat = packet->dataSize == 2 && packet->data[0] == 0;
    if (!stream && !heartbeat) {
        uint8_t bytes[aPACKET_MAX_SIZE];
        size_t length = 0;
        /* A broker that is gone or far behind loses the packet, as a timeout would. */
        if (aPacket_GetBytes(packet, bytes, sizeof(bytes), &length) == aErrNone)
            zmq_send(zsock_resolve(server->replyConnected), bytes, length, ZMQ_DONTWAIT);
        return true;
    }
    bool ring = false;
    {
        std::lock_guard<std::mutex> lock(server->streamMutex);
        if (stream) {
            const size_t need = 2u + packet->dataSize;
            /* A broker that falls behind loses samples rather than stalling the link. */
            if (server->streamLength + need <= aSERVER_STREAM_BUFFER) {
                ring = server->streamLength == 0;
                uint8_t* at = server->streamBuffer + server->streamLength;
                at[0] = packet->address;
                at[1] = packet->dataSize;
                memcpy(at + 2, packet->data, packet->dataSize);
                server->streamLength = (uint16_t)(server->streamLength + need);
            }
        }
        if (server->streamLength > 0 && (heartbeat || server->streamLength > aSERVER_STREAM_FLUSH))
            ring = true;
    }
    /* The doorbell tells the broker there is something to send; samples that
     * follow before it looks are sent in the same frame. */
    if (ring)
        zmq_send(zsock_resolve(server->streamConnected), "", 0, ZMQ_DONTWAIT);
    return stream;
}

static void sFanOut(aServer* server, aServerRouter* router)
{
    uint8_t frame[aSERVER_STREAM_BUFFER];
    size_t length;
    {
        std::lock_guard<std::mutex> lock(server->streamMutex);
        length = server->streamLength;
        memcpy(frame, server->streamBuffer, length);
        server->streamLength = 0;
    }
    if (length == 0)
        return;
    std::vector<std::string> gone;
    for (const auto& client : router->streamingClients()) {
        bool vanished = false;
        if (!sSendTo(server->frontend, client, frame, length, &vanished) && vanished)
            gone.push_back(client);
    }
    for (const auto& client : gone)
        router->dropClient(client);
}

/* Broker. --------------------------------------------------------------- */

/* Client messages waiting at once are taken together (a few at most, so the
 * module's replies are never kept waiting behind a flood). */
#define aSERVER_FRONTEND_BATCH 16

/* Receives one frame into frame (its size in *size, at most capacity kept);
 * more: whether further frames of the message follow. False when none waits. */
static bool sReceiveFrame(void* sock, uint8_t* frame, size_t capacity, size_t* size, bool* more)
{
    const int got = zmq_recv(sock, frame, capacity, ZMQ_DONTWAIT);
    if (got < 0)
        return false;
    *size = (size_t)got;
    int flag = 0;
    size_t length = sizeof(flag);
    *more = zmq_getsockopt(sock, ZMQ_RCVMORE, &flag, &length) == 0 && flag != 0;
    return true;
}

static void sBrokerFrontend(aServer* server, aServerRouter* router)
{
    void* sock = zsock_resolve(server->frontend);
    for (int taken = 0; taken < aSERVER_FRONTEND_BATCH; ++taken) {
        /* Identity and exactly one packet frame of at most 30 bytes; anything
         * else is dropped (zmq_recv reports a longer frame's full size). */
        uint8_t id[256], data[aSERVER_FRAME_MAX + 1];
        size_t idSize = 0, dataSize = 0;
        bool more = false;
        if (!sReceiveFrame(sock, id, sizeof(id), &idSize, &more))
            break;
        int parts = 1;
        bool haveData = false;
        while (more) {
            size_t size = 0;
            uint8_t scratch[aSERVER_FRAME_MAX + 1];
            if (!sReceiveFrame(sock, parts == 1 ? data : scratch, sizeof(data), &size, &more))
                break;
            if (parts == 1) {
                dataSize = size;
                haveData = true;
            }
            parts++;
        }
        if (parts == 2 && haveData && idSize <= sizeof(id) && dataSize <= aSERVER_FRAME_MAX) {
            const std::string client((const char*)id, idSize);
            router->fromClient(client, data, dataSize);
        }
    }
    std::string to;
    aServerRouter::Frame reply;
    while (router->nextLocalReply(&to, &reply))
        sSendTo(server->frontend, to, reply.data(), reply.size(), NULL);
}

struct sPublishing {
    bool on = false;
    uint64_t since = 0;
};

static void sBrokerBeacon(aServer* server, sPublishing* publishing)
{
    char* sender = zstr_recv(server->discovery);
    zframe_t* payload = sender != NULL ? zframe_recv(server->discovery) : NULL;
    const size_t prefix = strlen(aDISCOVERY_BEACON_PAYLOAD);
    if (payload != NULL && zframe_size(payload) >= prefix &&
        memcmp(zframe_data(payload), aDISCOVERY_BEACON_PAYLOAD, prefix) == 0 && !publishing->on &&
        server->model.load() != 0) {
        linkSpec spec;
        sNetworkSpec(server, &spec);
        zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof(spec), aSERVER_PUBLISH_INTERVAL_MS);
        publishing->on = true;
        publishing->since = aTime_MonotonicMS();
    }
    zframe_destroy(&payload);
    zstr_free(&sender);
}

/* Returns false when the actor must end. */
static bool sBrokerPipe(zsock_t* pipe, aServerRouter* router)
{
    zmsg_t* msg = zmsg_recv(pipe);
    if (msg == NULL)
        return false;
    bool keep = false;
    zframe_t* first = zmsg_first(msg);
    int64_t value = 0;
    if (zmsg_size(msg) == 1 && first != NULL && zframe_size(first) == sizeof(value)) {
        /* zsock_signal's form: a fixed 64-bit value plus the status. */
        memcpy(&value, zframe_data(first), sizeof(value));
        if (value == 0x7766554433221100LL + aSERVER_STATUS_FLUSH) {
            router->flush();
            keep = true;
        }
    }
    zmsg_destroy(&msg);
    return keep;
}

/* Exchanges with the module. ------------------------------------------ */

static bool sDropAll(const aPacket* packet, void* reference)
{
    (void)packet;
    (void)reference;
    return true;
}

/* Gives the router each finished request's outcome (the command and reply
 * frames of its sync protocol), and each reply to the client that asked. */
static void sReportOutcomes(aServer* server, aServerRouter* router, aServerExchanges* exchanges)
{
    std::vector<aServerExchanges::Frame> replies;
    while (exchanges->nextOutcome(&replies)) {
        const uint16_t count = (uint16_t)replies.size();
        const uint8_t command[aSERVER_CMD_SIZE] = {
            count == 0 ? (uint8_t)aSERVER_CMD_DROPPED_PACKET : (uint8_t)aSERVER_CMD_INCOMING_PACKETS,
            (uint8_t)(count >> 8), (uint8_t)count};
        std::string client;
        router->fromWorker(command, sizeof(command), &client);
        for (const auto& reply : replies) {
            bool gone = false;
            if (router->fromWorker(reply.data(), reply.size(), &client) &&
                !sSendTo(server->frontend, client, reply.data(), reply.size(), &gone) && gone)
                router->dropClient(client); /* what it still queued would hold the link for nobody */
        }
    }
}

/* The module's packets, handed over by the link's input thread. */
static void sTakeModulePackets(aServer* server, aServerExchanges* exchanges)
{
    uint8_t bytes[64];
    for (size_t n = 0; n < aSERVER_MAX_QUEUED; ++n) {
        const int got = zmq_recv(zsock_resolve(server->replyBound), bytes, sizeof(bytes), ZMQ_DONTWAIT);
        if (got < 0)
            break;
        aPacket packet;
        if ((size_t)got <= sizeof(bytes) && aServer_ParsePacketFrame(bytes, (size_t)got, &packet))
            exchanges->fromModule(packet, aTime_MonotonicMS());
    }
}

/* Puts on the link every request that may go now. */
static void sSendReady(aServer* server, aServerExchanges* exchanges)
{
    aServerExchanges::Frame frame;
    while (exchanges->nextToSend(&frame, aTime_MonotonicMS())) {
        aPacket request;
        if (!aServer_ParsePacketFrame(frame.data(), frame.size(), &request) ||
            aLink_PutPacket(server->linkId, &request) != aErrNone)
            exchanges->sendFailed();
    }
}

/* Takes requests in the router's order, each only when it can go to the
 * module at once: one that must wait stays with the router, where a client in
 * better standing that asks meanwhile still comes first. */
static void sSendRequests(aServer* server, aServerRouter* router, aServerExchanges* exchanges)
{
    /* Heartbeat-shaped packets the link did not answer would pile up. */
    if (exchanges->outstanding() == 0 && exchanges->backlog() == 0)
        aLink_DrainPackets(server->linkId, sDropAll, NULL);
    sSendReady(server, exchanges);
    std::vector<aServerRouter::Frame> frames;
    while (exchanges->backlog() == 0) {
        const aServerRouter::Frame* next = router->peekRequest();
        if (next == NULL || !exchanges->wouldGoNow(next->data(), next->size()) || !router->nextRequest(&frames))
            break;
        for (const auto& frame : frames)
            exchanges->add(frame.data(), frame.size());
        frames.clear();
        sSendReady(server, exchanges);
    }
}

/* Broker. --------------------------------------------------------------- */

/* Routes client frames to the module and replies back, fans streaming frames
 * out and answers beacons. It also does the sync work: it puts requests on the
 * real link and matches the module's packets to them, waiting no longer than
 * the earliest reply is due; doing that here rather than in a thread of its
 * own saves two thread hand-offs per request. */
static void sBrokerActor(zsock_t* pipe, void* args)
{
    aServer* server = (aServer*)args;
    aActorExit exit(&server->brokerExited);
    pthread_setname_np(pthread_self(), "tarnix-server");
    aServerRouter router;
    aServerExchanges exchanges;
    zsock_signal(pipe, 0);
    sPublishing publishing;
    enum { kPipe, kFrontend, kReplies, kStream, kBeacon, kItems };
    for (;;) {
        const uint64_t now = aTime_MonotonicMS(), due = exchanges.nextDeadline();
        const long wait = due == UINT64_MAX ? aSERVER_POLL_MS
                          : due <= now     ? 0
                                           : (long)std::min<uint64_t>(due - now, aSERVER_POLL_MS);
        zmq_pollitem_t items[kItems] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                                        {zsock_resolve(server->frontend), 0, ZMQ_POLLIN, 0},
                                        {zsock_resolve(server->replyBound), 0, ZMQ_POLLIN, 0},
                                        {zsock_resolve(server->streamBound), 0, ZMQ_POLLIN, 0},
                                        {server->beaconMode ? zsock_resolve(server->discovery) : NULL, 0,
                                         ZMQ_POLLIN, 0}};
        const int ready = zmq_poll(items, server->beaconMode ? kItems : kItems - 1, wait);
        zSysInterruptHandler_process();
        if (ready < 0 && zmq_errno() != EINTR)
            break;
        if ((items[kPipe].revents & ZMQ_POLLIN) && !sBrokerPipe(pipe, &router))
            break;
        /* The module's packets first: leftovers are gone before a request that
         * takes any packet as its reply goes out. */
        if (items[kReplies].revents & ZMQ_POLLIN)
            sTakeModulePackets(server, &exchanges);
        router.tick(aTime_MonotonicMS());
        exchanges.expire(aTime_MonotonicMS());
        sReportOutcomes(server, &router, &exchanges);
        if (items[kFrontend].revents & ZMQ_POLLIN)
            sBrokerFrontend(server, &router);
        if (items[kStream].revents & ZMQ_POLLIN) {
            while (zmq_recv(zsock_resolve(server->streamBound), NULL, 0, ZMQ_DONTWAIT) >= 0) {
            }
            sFanOut(server, &router);
        }
        if (server->beaconMode && (items[kBeacon].revents & ZMQ_POLLIN))
            sBrokerBeacon(server, &publishing);
        if (ready == 0)
            sFanOut(server, &router); /* samples whose doorbell could not be sent */
        sSendRequests(server, &router, &exchanges);
        sReportOutcomes(server, &router, &exchanges);
        if (publishing.on && aTime_MonotonicMS() - publishing.since > aSERVER_PUBLISH_MS) {
            zstr_send(server->discovery, "SILENCE");
            publishing.on = false;
        }
    }
}

/* Loopback multicast responder. ----------------------------------------- */

static void sCloseFd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

/* A receiving socket for the discovery group on port, joined on loopback only;
 * without address reuse, so a second server (or a searcher's probe) cannot bind it. */
static int sOpenRequestSocket(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in bindTo{};
    bindTo.sin_family = AF_INET;
    bindTo.sin_port = htons(port);
    bindTo.sin_addr.s_addr = inet_addr(aDISCOVERY_LOCAL_GROUP);
    ip_mreq join{};
    join.imr_multiaddr.s_addr = inet_addr(aDISCOVERY_LOCAL_GROUP);
    join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    int zero = 0;
    if (bind(fd, (sockaddr*)&bindTo, sizeof(bindTo)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof(zero)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* A sending socket that can only reach this host: loopback interface, TTL 0. */
static int sOpenResponseSocket(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in bindTo{};
    bindTo.sin_family = AF_INET;
    bindTo.sin_addr = loopback;
    unsigned char ttl = 0, loop = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
        bind(fd, (sockaddr*)&bindTo, sizeof(bindTo)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void sResponderActor(zsock_t* pipe, void* args)
{
    aServer* server = (aServer*)args;
    aActorExit exit(&server->discoveryExited);
    int request = -1, response = sOpenResponseSocket();
    int slot = -1;
    for (int attempt = 0; attempt < aDISCOVERY_LOCAL_SLOTS && slot < 0 && response >= 0; ++attempt) {
        for (int j = 0; j < aDISCOVERY_LOCAL_SLOTS && slot < 0; ++j) {
            request = sOpenRequestSocket((uint16_t)(aDISCOVERY_LOCAL_REQUEST_PORT + j));
            if (request >= 0)
                slot = j;
        }
    }
    if (slot < 0)
        sCloseFd(&response);
    zsock_signal(pipe, slot >= 0 ? 0 : 1);
    if (slot < 0)
        return;
    sockaddr_in answerTo{};
    answerTo.sin_family = AF_INET;
    answerTo.sin_port = htons((uint16_t)(aDISCOVERY_LOCAL_RESPONSE_PORT + slot));
    answerTo.sin_addr.s_addr = inet_addr(aDISCOVERY_LOCAL_GROUP);
    for (;;) {
        zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0}, {NULL, request, ZMQ_POLLIN, 0}};
        const int ready = zmq_poll(items, 2, aSERVER_POLL_MS);
        zSysInterruptHandler_process();
        if (ready < 0 && zmq_errno() != EINTR)
            break;
        if (items[0].revents & ZMQ_POLLIN)
            break; /* any pipe message ends the responder */
        if (!(items[1].revents & ZMQ_POLLIN))
            continue;
        uint8_t datagram[64];
        const ssize_t got = recv(request, datagram, sizeof(datagram), MSG_DONTWAIT);
        const uint8_t asked[4] = {aDISCOVERY_LOCAL_REQUEST & 0xFF, (aDISCOVERY_LOCAL_REQUEST >> 8) & 0xFF,
                                  (aDISCOVERY_LOCAL_REQUEST >> 16) & 0xFF, aDISCOVERY_LOCAL_REQUEST >> 24};
        if (got == 4 && memcmp(datagram, asked, 4) == 0 && server->model.load() != 0) {
            linkSpec spec;
            sNetworkSpec(server, &spec);
            sendto(response, &spec, sizeof(spec), 0, (sockaddr*)&answerTo, sizeof(answerTo));
        }
    }
    sCloseFd(&request);
    sCloseFd(&response);
}

/* Who may connect. ------------------------------------------------------ */

/* libzmq asks one authenticator per process (its ZAP endpoint), so the
 * servers of a process share one zauth actor, made by the first and stopped
 * with the last. Its certificates are fixed when it is made: every server of
 * the process must want the same set (local-only: the owner's client key;
 * network: that and the allowed directory), or it is refused. */
namespace {
struct sAuthority {
    std::mutex mutex;
    zactor_t* actor = NULL;
    int users = 0;
    bool network = false;
};
sAuthority& sTheAuthority()
{
    static sAuthority authority;
    return authority;
}
} // namespace

static bool sAcquireAuthority(const aShareServerKeys& keys, bool network)
{
    sAuthority& authority = sTheAuthority();
    std::lock_guard<std::mutex> lock(authority.mutex);
    if (authority.actor != NULL) {
        if (authority.network != network)
            return false;
        authority.users++;
        return true;
    }
    zcertstore_t* store = zcertstore_new(NULL);
    if (store == NULL)
        return false;
    const uint8_t noSecret[aSHARE_KEY_SIZE] = {};
    for (const aShareKey& key : keys.clients) {
        zcert_t* cert = zcert_new_from(key.bytes, noSecret);
        if (cert != NULL)
            zcertstore_insert(store, &cert);
    }
    /* The actor owns the store from here on. */
    authority.actor = zactor_new(zauth, store);
    if (authority.actor == NULL) {
        zcertstore_destroy(&store);
        return false;
    }
    authority.network = network;
    authority.users = 1;
    return true;
}

static void sReleaseAuthority(void)
{
    sAuthority& authority = sTheAuthority();
    std::lock_guard<std::mutex> lock(authority.mutex);
    if (--authority.users <= 0) {
        zactor_destroy(&authority.actor);
        authority.users = 0;
    }
}

/* Makes the frontend a CURVE server that only the accepted clients pass,
 * unless security is off. aErrPermission when the keys are missing or unsafe
 * (they are not made for a network server), aErrBusy when another server of
 * the process accepts a different set of clients. */
static aErr sSecureFrontend(aServer* server)
{
    if (aShareKeys_IsInsecure())
        return aErrNone;
    aShareServerKeys keys;
    std::string why;
    const aErr err = aShareKeys_ForServer(server->localOnly, &keys, &why);
    if (err != aErrNone)
        return err == aErrNotFound || err == aErrPermission ? aErrPermission : err;
    if (!sAcquireAuthority(keys, !server->localOnly))
        return aErrBusy;
    server->authHeld = true;
    void* sock = zsock_resolve(server->frontend);
    const int on = 1;
    if (zmq_setsockopt(sock, ZMQ_CURVE_SERVER, &on, sizeof(on)) != 0 ||
        zmq_setsockopt(sock, ZMQ_CURVE_SECRETKEY, keys.server.secretKey.bytes, aSHARE_KEY_SIZE) != 0 ||
        zmq_setsockopt(sock, ZMQ_CURVE_PUBLICKEY, keys.server.publicKey.bytes, aSHARE_KEY_SIZE) != 0)
        return aErrResource;
    zsock_set_zap_domain(server->frontend, "tarnix-share");
    return aErrNone;
}

/* Bounds on what one client can make the frontend hold. */
static void sBoundFrontend(zsock_t* frontend)
{
    zsock_set_maxmsgsize(frontend, aSERVER_FRONTEND_MAX_MESSAGE);
    zsock_set_rcvhwm(frontend, aSERVER_FRONTEND_HWM);
    zsock_set_sndhwm(frontend, aSERVER_FRONTEND_HWM);
    zsock_set_heartbeat_ivl(frontend, aSERVER_HEARTBEAT_MS);
    zsock_set_heartbeat_timeout(frontend, aSERVER_HEARTBEAT_TIMEOUT_MS);
}

/* Set-up and teardown. -------------------------------------------------- */

aServer* aServer_Create(aLinkId linkId, uint32_t interfaceAddress, bool localOnly)
{
    linkType linked;
    uint32_t serialNumber = 0;
    if (aLink_GetIdentity(linkId, &linked, &serialNumber) != aErrNone)
        return NULL;
    linkType type;
    switch (linked) {
    case USB: type = ZEPHYL_USB; break;
    case TCPIP: type = ZEPHYL_TCPIP; break;
    case SERIAL: type = ZEPHYL_SERIAL; break;
    default: return NULL;
    }
    aServer* server = new (std::nothrow) aServer();
    if (server == NULL)
        return NULL;
    server->validity = aSERVER_VALIDITY;
    server->linkId = linkId;
    server->model = 0;
    server->moduleAddress = 0;
    server->type = type;
    server->serialNumber = serialNumber;
    server->localOnly = localOnly;
    server->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : htonl(INADDR_LOOPBACK);
    server->hostAddress = htonl(INADDR_LOOPBACK);
    return server;
}

static std::string sDotted(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

/* Beacon discovery on a real interface: the interface given, or the host's
 * first when that is loopback. */
static bool sStartBeacon(aServer* server)
{
    uint32_t address = server->interfaceAddress;
    if (address == htonl(INADDR_LOOPBACK)) {
        ziflist_t* interfaces = ziflist_new();
        const char* first = interfaces != NULL ? ziflist_first(interfaces) : NULL;
        address = first != NULL ? inet_addr(ziflist_address(interfaces)) : 0;
        ziflist_destroy(&interfaces);
        if (address == 0 || address == INADDR_NONE)
            return false;
    }
    char* host = NULL;
    /* The beacon interface is process-wide CZMQ state, shared with beacon
     * searches: set it and configure the beacon under discovery's lock. The
     * setting stays: the beacon thread may read it again, and freeing it under
     * that thread is what a restore would do. */
    if (!zBeaconInterface_setAndLock(sDotted(address).c_str()))
        return false;
    server->discovery = zactor_new(zbeacon, NULL);
    if (server->discovery != NULL) {
        zsock_send(server->discovery, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
        host = zstr_recv(server->discovery);
    }
    zBeaconInterface_unlock();
    if (host == NULL || *host == '\0') {
        zstr_free(&host);
        return false;
    }
    server->hostAddress = inet_addr(host);
    server->interfaceAddress = address;
    zstr_free(&host);
    zsock_send(server->discovery, "sb", "SUBSCRIBE", aDISCOVERY_BEACON_PAYLOAD, strlen(aDISCOVERY_BEACON_PAYLOAD));
    zsock_set_rcvtimeo(server->discovery, 100);
    server->beaconMode = true;
    return true;
}

static bool sHasInterfaces(void)
{
    ziflist_t* interfaces = ziflist_new();
    const bool any = interfaces != NULL && ziflist_size(interfaces) > 0;
    ziflist_destroy(&interfaces);
    return any;
}

aErr aServer_Start(aServer* server)
{
    if (!sValid(server))
        return aErrParam;
    if (server->frontend != NULL)
        return aErrResource; /* started before */
    server->frontend = zsock_new(ZMQ_ROUTER);
    server->streamBound = aZmq_Dealer();
    server->streamConnected = aZmq_Dealer();
    server->replyBound = aZmq_Dealer();
    server->replyConnected = aZmq_Dealer();
    if (server->frontend == NULL || server->streamBound == NULL || server->streamConnected == NULL || server->replyBound == NULL ||
        server->replyConnected == NULL)
        return aErrResource;
    zsock_set_linger(server->frontend, 0);
    /* Replies to a client that is gone fail at once instead of piling up. */
    zsock_set_router_mandatory(server->frontend, 1);
    sBoundFrontend(server->frontend);
    const aErr secured = sSecureFrontend(server);
    if (secured != aErrNone)
        return secured;

    if (!server->localOnly && sHasInterfaces()) {
        if (!sStartBeacon(server))
            return aErrResource;
    } else {
        server->hostAddress = htonl(INADDR_LOOPBACK);
        server->discovery = zactor_new(sResponderActor, server);
        if (server->discovery == NULL)
            return aErrResource;
    }

    const std::string host = server->localOnly ? std::string("127.0.0.1") : sDotted(server->interfaceAddress);
    const int port = zsock_bind(server->frontend, "tcp://%s:*", host.c_str());
    if (port <= 0)
        return aErrResource;
    server->port = (uint16_t)port;
    if (!aZmq_Pair(server->streamBound, server->streamConnected, "server", server, "stream") ||
        !aZmq_Pair(server->replyBound, server->replyConnected, "server", server, "reply"))
        return aErrResource;
    server->broker = zactor_new(sBrokerActor, server);
    if (server->broker == NULL)
        return aErrResource;
    if (aLink_InstallUserPacketFilter(server->linkId, sPacketFilter, server) != aErrNone)
        return aErrResource;
    server->filterInstalled = true;
    aLink_DrainPackets(server->linkId, sDropAll, NULL);
    return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port)
{
    if (!sValid(server) || port == NULL)
        return aErrParam;
    *port = server->port;
    return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* address)
{
    if (!sValid(server) || address == NULL)
        return aErrParam;
    *address = server->interfaceAddress;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!sValid(server))
        return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!sValid(server))
        return aErrParam;
    server->model = model;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!sValid(server) || server->broker == NULL)
        return aErrParam;
    /* zsock_signal's 8-byte form with status 5. */
    return zsock_signal(server->broker, aSERVER_STATUS_FLUSH) == 0 ? aErrNone : aErrIO;
}

aErr aServer_Destroy(aServer** handle)
{
    if (handle == NULL || !sValid(*handle))
        return aErrParam;
    aServer* server = *handle;
    *handle = NULL;
    /* The link's input thread stops calling into the server before anything goes. */
    if (server->filterInstalled)
        (void)aLink_InstallUserPacketFilter(server->linkId, NULL, NULL); /* the link may have gone already; the filter goes with it then */
    /* Each thread waits on its pipe, so these waits are short. */
    aActor_Destroy(&server->broker, &server->brokerExited);
    if (server->discovery != NULL && server->beaconMode) {
        zstr_send(server->discovery, "SILENCE");
        zstr_send(server->discovery, "UNSUBSCRIBE");
    }
    if (server->beaconMode)
        zactor_destroy(&server->discovery); /* CZMQ's own beacon actor */
    else
        aActor_Destroy(&server->discovery, &server->discoveryExited);
    zsock_destroy(&server->frontend);
    if (server->authHeld)
        sReleaseAuthority();
    zsock_destroy(&server->streamBound);
    zsock_destroy(&server->streamConnected);
    zsock_destroy(&server->replyBound);
    zsock_destroy(&server->replyConnected);
    server->validity = 0;
    delete server;
    return aErrNone;
}
