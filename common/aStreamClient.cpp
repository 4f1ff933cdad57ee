/* The networked-link client stream: a link's bytes to and from a server's
 * frontend. A broker thread owns the DEALER connected to the server; the
 * link's output thread hands it frames through the outgoing pair and its input
 * thread takes replies from the incoming pair, so no socket is shared between
 * threads. */
#include <arpa/inet.h>
#include <czmq.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <new>

#include "aActorPrivate.h"
#include "aServer.h"
#include "aTime.h"

#define aCLIENT_POLL_MS 1000
#define aCLIENT_SEND_TRIES 100
#define aCLIENT_CONNECT_MS 2000

namespace {
struct sClient {
    zsock_t* frontend = NULL;
    zsock_t* outBound = NULL;     /* write (the link's output thread) */
    zsock_t* outConnected = NULL; /* broker */
    zsock_t* inBound = NULL;      /* broker */
    zsock_t* inConnected = NULL;  /* get (the link's input thread) */
    zpoller_t* poller = NULL;
    zactor_t* broker = NULL;
    std::atomic<bool> brokerExited {false};
    zframe_t* frame = NULL;
    size_t size = 0;
    size_t position = 0;
};
} // namespace

/* Sends without blocking, a bounded number of times, so no thread ever hangs on a full queue. */
static bool sSendRetrying(zsock_t* sock, zframe_t** frame)
{
    for (int attempt = 0; attempt < aCLIENT_SEND_TRIES; ++attempt) {
        if (zframe_send(frame, sock, ZFRAME_DONTWAIT | ZFRAME_REUSE) == 0) {
            zframe_destroy(frame);
            return true;
        }
        aTime_MSSleep(1);
    }
    zframe_destroy(frame);
    return false;
}

static void sBrokerActor(zsock_t* pipe, void* args)
{
    sClient* client = (sClient*)args;
    aActorExit exit(&client->brokerExited);
    pthread_setname_np(pthread_self(), "tarnix-client");
    zpoller_t* poller = zpoller_new(pipe, client->frontend, client->outConnected, NULL);
    if (poller != NULL)
        zpoller_set_nonstop(poller, true);
    zsock_signal(pipe, poller != NULL ? 0 : 1);
    if (poller == NULL)
        return;
    for (;;) {
        void* which = zpoller_wait(poller, aCLIENT_POLL_MS);
        zSysInterruptHandler_process();
        if (which == pipe)
            break;
        zsock_t* from = which == client->frontend ? client->frontend
                        : which == client->outConnected ? client->outConnected
                                                        : NULL;
        if (from == NULL)
            continue;
        zframe_t* frame = zframe_recv(from);
        if (frame == NULL)
            continue;
        sSendRetrying(from == client->frontend ? client->inBound : client->frontend, &frame);
    }
    zpoller_destroy(&poller);
}

static aErr sGet(uint8_t* byte, void* reference)
{
    sClient* client = (sClient*)reference;
    if (client->frame == NULL || client->position >= client->size) {
        zframe_destroy(&client->frame);
        void* which = zpoller_wait(client->poller, aSTREAM_GET_WAIT_MS);
        if (which == NULL)
            return zpoller_expired(client->poller) ? aErrNotReady : aErrUnknown;
        client->frame = zframe_recv(client->inConnected);
        if (client->frame == NULL)
            return aErrIO;
        client->size = zframe_size(client->frame);
        client->position = 0;
        if (client->size == 0)
            return aErrNotReady;
    }
    *byte = zframe_data(client->frame)[client->position++];
    return aErrNone;
}

static aErr sPut(uint8_t byte, void* reference)
{
    (void)byte;
    (void)reference;
    return aErrUnimplemented;
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
        zframe_t* frame = zframe_new(bytes + at, size);
        if (frame == NULL)
            return aErrMemory;
        sSendRetrying(client->outBound, &frame);
        at += size;
    }
    return aErrNone;
}

static void sFree(sClient* client)
{
    aActor_Destroy(&client->broker, &client->brokerExited);
    zpoller_destroy(&client->poller);
    zsock_destroy(&client->frontend);
    zsock_destroy(&client->outBound);
    zsock_destroy(&client->outConnected);
    zsock_destroy(&client->inBound);
    zsock_destroy(&client->inConnected);
    zframe_destroy(&client->frame);
    delete client;
}

static aErr sDelete(void* reference)
{
    sFree((sClient*)reference);
    return aErrNone;
}

/* ZeroMQ connects in the background and retries for ever; watch the first
 * attempt, so that a client aimed where no server listens fails at once. */
static bool sConnect(zsock_t* frontend, const char* address, uint16_t port)
{
    zactor_t* monitor = zactor_new(zmonitor, frontend);
    if (monitor == NULL)
        return false;
    zstr_sendx(monitor, "LISTEN", "CONNECTED", "CONNECT_RETRIED", "CLOSED", NULL);
    zstr_sendx(monitor, "START", NULL);
    zsock_wait(monitor);
    bool connected = false;
    if (zsock_connect(frontend, "tcp://%s:%d", address, (int)port) == 0) {
        zsock_set_rcvtimeo(monitor, aCLIENT_CONNECT_MS);
        zmsg_t* event = zmsg_recv(monitor);
        char* name = event != NULL ? zmsg_popstr(event) : NULL;
        connected = name != NULL && strcmp(name, "CONNECTED") == 0;
        zstr_free(&name);
        zmsg_destroy(&event);
    }
    zactor_destroy(&monitor);
    return connected;
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
    client->outBound = aZmq_Dealer();
    client->outConnected = aZmq_Dealer();
    client->inBound = aZmq_Dealer();
    client->inConnected = aZmq_Dealer();
    if (client->frontend == NULL || client->outBound == NULL || client->outConnected == NULL ||
        client->inBound == NULL || client->inConnected == NULL) {
        sFree(client);
        return aErrMemory;
    }
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    if (!sConnect(client->frontend, text, port) ||
        !aZmq_Pair(client->outBound, client->outConnected, "client", client, "out") ||
        !aZmq_Pair(client->inBound, client->inConnected, "client", client, "in")) {
        sFree(client);
        return aErrConnection;
    }
    client->poller = zpoller_new(client->inConnected, NULL);
    if (client->poller != NULL)
        zpoller_set_nonstop(client->poller, true);
    client->broker = client->poller != NULL ? zactor_new(sBrokerActor, client) : NULL;
    aStream* made = client->broker != NULL ? aStream_Create(sGet, sPut, sWrite, sDelete, client) : NULL;
    if (made == NULL) {
        sFree(client);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}
