/* The networked-link client stream: a link's bytes to and from a server's
 * frontend. The DEALER connected to the server is used by the link's output
 * thread (write) and input thread (get), one call at a time under a mutex; a
 * get that finds nothing waits on the socket's signalling descriptor and on an
 * eventfd that a write rings when its own call on the socket took the signal
 * the waiting get needed. No thread of its own: a request costs no hand-off
 * beyond ZeroMQ's. */
#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "aActorPrivate.h"
#include "aServer.h"
#include "aShareKeys.h"
#include "aTime.h"

#define aCLIENT_SEND_TRIES 100
#define aCLIENT_CONNECT_MS 2000

namespace {
struct sClient {
    zsock_t* frontend = NULL;
    std::mutex lock;                   /* every call on frontend */
    int signal = -1;                   /* frontend's ZeroMQ descriptor */
    int wake = -1;                     /* eventfd: look at the socket again, or stop waiting */
    std::atomic<bool> waiting {false}; /* a get sleeps on the descriptors (set under lock) */
    std::atomic<bool> interrupted {false};
    zmq_msg_t frame;                   /* the frame being read (the input thread's) */
    bool holding = false;
    size_t position = 0;
};

void sRing(sClient* client)
{
    const uint64_t one = 1;
    ssize_t written = write(client->wake, &one, sizeof(one));
    (void)written; /* a full counter already rings */
}
} // namespace

static aErr sGet(uint8_t* byte, void* reference)
{
    sClient* client = (sClient*)reference;
    if (client->holding && client->position < zmq_msg_size(&client->frame)) {
        *byte = ((const uint8_t*)zmq_msg_data(&client->frame))[client->position++];
        return aErrNone;
    }
    if (client->holding) {
        zmq_msg_close(&client->frame);
        client->holding = false;
    }
    const uint64_t deadline = aTime_MonotonicMS() + aSTREAM_GET_WAIT_MS;
    for (;;) {
        int received, error = 0, events = 0;
        {
            std::lock_guard<std::mutex> guard(client->lock);
            zmq_msg_init(&client->frame);
            received = zmq_msg_recv(&client->frame, zsock_resolve(client->frontend), ZMQ_DONTWAIT);
            if (received < 0) {
                error = zmq_errno();
                zmq_msg_close(&client->frame);
                /* From here a write that takes our signal rings the eventfd instead. */
                client->waiting = true;
                events = zsock_events(client->frontend);
            }
        }
        if (received >= 0) {
            client->holding = true;
            client->position = 0;
            if (zmq_msg_size(&client->frame) == 0)
                return aErrNotReady;
            *byte = ((const uint8_t*)zmq_msg_data(&client->frame))[client->position++];
            return aErrNone;
        }
        if (error != EAGAIN && error != EINTR) {
            client->waiting = false;
            return aErrIO;
        }
        const uint64_t now = aTime_MonotonicMS();
        if ((events & ZMQ_POLLIN) == 0 && now < deadline) {
            pollfd fds[2] = {{client->signal, POLLIN, 0}, {client->wake, POLLIN, 0}};
            const int ready = poll(fds, 2, (int)(deadline - now));
            if (ready < 0 && errno != EINTR) {
                client->waiting = false;
                return aErrUnknown;
            }
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                ssize_t got = read(client->wake, &count, sizeof(count));
                (void)got;
            }
        }
        client->waiting = false;
        if (client->interrupted.exchange(false))
            return aErrNotReady;
        if ((events & ZMQ_POLLIN) == 0 && aTime_MonotonicMS() >= deadline)
            return aErrNotReady;
    }
}

static void sInterrupt(void* reference)
{
    sClient* client = (sClient*)reference;
    client->interrupted = true;
    sRing(client);
}

static aErr sPut(uint8_t byte, void* reference)
{
    (void)byte;
    (void)reference;
    return aErrUnimplemented;
}

/* One packet as one frame, without blocking, a bounded number of times, so no
 * thread ever hangs on a full queue. */
static void sSendFrame(sClient* client, const uint8_t* bytes, size_t size)
{
    for (int attempt = 0; attempt < aCLIENT_SEND_TRIES; ++attempt) {
        int sent, error = 0;
        bool ring;
        {
            std::lock_guard<std::mutex> guard(client->lock);
            sent = zmq_send(zsock_resolve(client->frontend), bytes, size, ZMQ_DONTWAIT);
            if (sent < 0)
                error = zmq_errno();
            ring = client->waiting.load() && (zsock_events(client->frontend) & ZMQ_POLLIN) != 0;
        }
        /* This call may have taken the signal a waiting get sleeps on. */
        if (ring)
            sRing(client);
        if (sent >= 0 || error != EAGAIN)
            return;
        aTime_MSSleep(1);
    }
}

/* The server takes one packet per frame: a block of several (pooled writes) is
 * split at packet boundaries. */
static aErr sWrite(const uint8_t* bytes, size_t length, void* reference)
{
    sClient* client = (sClient*)reference;
    size_t at = 0;
    while (at < length) {
        size_t size = length - at;
        if (size >= 2 && (size_t)bytes[at + 1] + 2 <= size)
            size = (size_t)bytes[at + 1] + 2;
        sSendFrame(client, bytes + at, size);
        at += size;
    }
    return aErrNone;
}

static void sFree(sClient* client)
{
    zsock_destroy(&client->frontend);
    if (client->wake >= 0)
        close(client->wake);
    if (client->holding)
        zmq_msg_close(&client->frame);
    delete client;
}

static aErr sDelete(void* reference)
{
    sFree((sClient*)reference);
    return aErrNone;
}

/* ZeroMQ connects in the background and retries for ever; watch the first
 * attempt up to its handshake, so that a client aimed where no server listens,
 * or that the server refuses, fails at once. aErrConnection when nothing
 * answered, aErrPermission when the server refused the client's key. */
static aErr sConnect(zsock_t* frontend, const char* address, uint16_t port)
{
    zactor_t* monitor = zactor_new(zmonitor, frontend);
    if (monitor == NULL)
        return aErrConnection;
    zstr_sendx(monitor, "LISTEN", "HANDSHAKE_SUCCEEDED", "HANDSHAKE_FAILED_AUTH", "HANDSHAKE_FAILED_PROTOCOL",
               "HANDSHAKE_FAILED_NO_DETAIL", "CONNECT_RETRIED", "CLOSED", NULL);
    zstr_sendx(monitor, "START", NULL);
    zsock_wait(monitor);
    aErr result = aErrConnection;
    if (zsock_connect(frontend, "tcp://%s:%d", address, (int)port) == 0) {
        zsock_set_rcvtimeo(monitor, aCLIENT_CONNECT_MS);
        zmsg_t* event = zmsg_recv(monitor);
        char* name = event != NULL ? zmsg_popstr(event) : NULL;
        if (name != NULL && strcmp(name, "HANDSHAKE_SUCCEEDED") == 0)
            result = aErrNone;
        else if (name != NULL && strncmp(name, "HANDSHAKE_FAILED", 16) == 0)
            result = aErrPermission;
        zstr_free(&name);
        zmsg_destroy(&event);
    }
    zactor_destroy(&monitor);
    return result;
}

/* The CURVE keys of this client and of the server it reaches. */
static aErr sSecure(zsock_t* frontend, uint32_t address, uint16_t port)
{
    if (aShareKeys_IsInsecure())
        return aErrNone;
    aShareClientKeys keys;
    const aErr err = aShareKeys_ForClient(address, port, &keys, NULL);
    if (err != aErrNone)
        return err;
    void* sock = zsock_resolve(frontend);
    if (zmq_setsockopt(sock, ZMQ_CURVE_SERVERKEY, keys.server.bytes, aSHARE_KEY_SIZE) != 0 ||
        zmq_setsockopt(sock, ZMQ_CURVE_PUBLICKEY, keys.client.publicKey.bytes, aSHARE_KEY_SIZE) != 0 ||
        zmq_setsockopt(sock, ZMQ_CURVE_SECRETKEY, keys.client.secretKey.bytes, aSHARE_KEY_SIZE) != 0)
        return aErrResource;
    return aErrNone;
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    sClient* client = new (std::nothrow) sClient();
    if (client == NULL)
        return aErrMemory;
    client->frontend = aZmq_Dealer();
    client->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (client->frontend == NULL || client->wake < 0) {
        sFree(client);
        return aErrMemory;
    }
    client->signal = zsock_fd(client->frontend);
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    aErr err = sSecure(client->frontend, address, port);
    if (err == aErrNone)
        err = sConnect(client->frontend, text, port);
    if (err != aErrNone) {
        sFree(client);
        return err;
    }
    aStream* made = aStream_Create(sGet, sPut, sWrite, sDelete, client);
    if (made == NULL) {
        sFree(client);
        return aErrResource;
    }
    (void)aStream_SetInterrupt(made, sInterrupt); /* the stream was just made: cannot fail */
    *stream = made;
    return aErrNone;
}
