/* The link engine: an input thread that reassembles packets, answers heartbeats
 * and keeps the link in step with the module, and an output thread that writes
 * queued packets singly or pooled. */
#include <stdio.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <mutex>

#include "aLinkPrivate.h"
#include "aTime.h"

/* Longest wait for the engine threads to run, and for a handshake to complete. */
#define aLINK_START_WAIT_MS 2000
#define aLINK_SYNC_WAIT_MS 2000
/* Once synchronised, the answers still due are waited for at most this long;
 * those coming later are taken by the input thread until this has passed. */
#define aLINK_SYNC_SETTLE_MS 100
/* Waiters on the engine look at the link's running flag at least this often. */
#define aLINK_ENGINE_SLICE_MS 10
#define aLINK_IOERROR_SLEEP_MS 100
#define aLINK_SYNC_REQUESTS 6
/* While syncing, a quiet stream repeats the requests at most this often. */
#define aLINK_SYNC_RETRY_MS 100
/* The output thread looks at its running flag at least this often. */
#define aLINK_OUTPUT_WAIT_MS 100
/* Readers waiting on a link look at its status at least this often. */
#define aLINK_READER_SLICE_MS 50
#define aLINK_POOL_SIZE 4096
#define aLINK_POOL_LIMIT 4066
#define aLINK_REPLY_WAIT_MS 1000


static bool sValidLink(const aLink* link)
{
    return link != NULL && link->validity == aLINK_VALIDITY;
}

static void sLogPacket(aLink* link, uint8_t direction, const aPacket* packet)
{
    if (link->log.load() == NULL)
        return;
    uint8_t bytes[aPACKET_MAX_SIZE];
    size_t length = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof(bytes), &length) != aErrNone)
        return;
    (void)aLink_LogRecord(link, direction, length, bytes); /* a full log drops the oldest; nothing to report */
}

aErr aLink_LogRecord(aLink* link, uint8_t direction, size_t length, const uint8_t* bytes)
{
    aMutexHold held(link->logMutex);
    aPacketLog* log = link->log.load();
    return log != NULL ? aPacketLog_Write(log, direction, length, bytes) : aErrNotReady;
}

static aErr sQueue(aLink* link, uint8_t address, uint8_t length, const uint8_t* data)
{
    static const uint8_t none[1] = {0};
    aPacket* packet = aPacket_CreateWithData(address, length, length > 0 ? data : none);
    if (packet == NULL)
        return aErrMemory;
    aErr err = aPacketFifo_Put(link->outputFifo, packet);
    (void)aPacket_Destroy(&packet); /* ours: cannot fail */
    return err;
}

static aErr sQueueRoute(aLink* link, uint8_t on)
{
    return sQueue(link, aLINK_ROUTE_ADDRESS, 1, &on);
}

/* Wakes aLink_Start and aLink_Sync waiting for the engine. Any thread. */
static void sNotifyEngine(aLink* link)
{
    std::lock_guard<std::mutex> held(link->syncMutex);
    link->syncChanged.notify_all();
}

/* Waits until `done` holds, the link stops running or `limitMs` pass;
 * whether `done` held. */
template <typename Done>
static bool sAwaitEngine(aLink* link, Done done, uint32_t limitMs)
{
    const uint64_t deadline = aTime_MonotonicMS() + limitMs;
    std::unique_lock<std::mutex> held(link->syncMutex);
    for (;;) {
        if (done())
            return true;
        const uint64_t now = aTime_MonotonicMS();
        if (!link->running.load() || now >= deadline)
            return false;
        const uint64_t left = deadline - now;
        link->syncChanged.wait_for(held, std::chrono::milliseconds(left < aLINK_ENGINE_SLICE_MS ? left : aLINK_ENGINE_SLICE_MS));
    }
}

/* Counts `count` sync answers as in (or as never to come); the number still due. */
static uint32_t sSettleAnswers(aLink* link, uint32_t count)
{
    uint32_t due = link->syncAnswersDue.load();
    uint32_t left;
    do {
        left = due > count ? due - count : 0;
    } while (!link->syncAnswersDue.compare_exchange_weak(due, left));
    return left;
}

static void sAnswerIn(aLink* link)
{
    if (sSettleAnswers(link, 1) == 0)
        sNotifyEngine(link);
}

/* Input side. ----------------------------------------------------------- */

static void sStartHandshake(aLink* link)
{
    if (!link->running.load())
        return;
    link->status = linkSyncing;
    link->syncState = kSyncStateStart;
    (void)aPacket_Reset(link->rxPacket); /* the link's own receive packet: cannot fail */
    int queued = 0;
    for (int i = 0; i < aLINK_SYNC_REQUESTS; ++i) {
        if (sQueue(link, aLINK_SYNC_ADDRESS, 0, NULL) == aErrNone)
            queued++;
    }
    link->syncAnswersDue += queued;
    if (queued == aLINK_SYNC_REQUESTS)
        link->syncState = kSyncStateByte1;
    link->lastHandshakeMs = aTime_MonotonicMS();
}

static void sSyncByte(aLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->moduleAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartHandshake(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        if (byte == 0)
            (void)sSettleAnswers(link, 1); /* the first answer is in */
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->moduleAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateSynced;
            link->syncedMs = aTime_MonotonicMS();
            (void)sSettleAnswers(link, 1); /* the second answer is in */
            link->status = linkRunning;
            sNotifyEngine(link);
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    case kSyncStateStart:
    default: /* synced while the status says syncing: a forced sync */
        sStartHandshake(link);
        break;
    }
}

static void sAnswerHeartbeat(aLink* link, const aPacket* packet)
{
    const uint8_t value = packet->data[1];
    link->heartbeat = value == 0 ? kHeartbeatUp : (value == 1 ? kHeartbeatDown : link->heartbeat);
    const uint8_t answer[2] = {0, (uint8_t)(value + 2)};
    (void)sQueue(link, packet->address, 2, answer); /* an answer that cannot be queued is missed like a lost one: the module asks again */
    link->heartbeat = kHeartbeatIdle;
}

/* An answer to a sync request of the handshake that has just completed:
 * readers must never take it for the reply to a request of theirs. */
static bool sIsLateSyncAnswer(const aLink* link, const aPacket* packet)
{
    return packet->dataSize == 0 && packet->address == link->moduleAddress && link->syncAnswersDue.load() > 0 &&
           aTime_MonotonicMS() - link->syncedMs < aLINK_SYNC_SETTLE_MS;
}

static aErr sHandlePacket(aLink* link)
{
    aPacket* packet = link->rxPacket;
    aErr result = aErrNone;
    sLogPacket(link, aLINK_LOG_RECEIVED, packet);
    if (sIsLateSyncAnswer(link, packet)) {
        sAnswerIn(link);
        (void)aPacket_Reset(packet); /* the link's own receive packet: cannot fail */
        return aErrNone;
    }
    bool consumed = false;
    {
        aMutexHold held(link->userFilterMutex);
        if (link->userFilter != NULL)
            consumed = link->userFilter(packet, link->userFilterRef);
    }
    if (!consumed) {
        if (packet->dataSize == 2 && packet->data[0] == 0 && link->heartbeat == kHeartbeatIdle)
            sAnswerHeartbeat(link, packet);
        else
            result = aPacketFifo_Put(link->inputFifo, packet);
    }
    (void)aPacket_Reset(packet); /* the link's own receive packet: cannot fail */
    return result;
}

static void* sInputThread(void* argument)
{
    aLink* link = (aLink*)argument;
    pthread_setname_np(pthread_self(), "tarnix-link-in");
    link->heartbeat = kHeartbeatIdle;
    link->moduleAddress = 1;
    link->syncState = kSyncStateSynced;
    link->lastHandshakeMs = 0;
    link->lastByteMs = aTime_MonotonicMS();
    link->syncedMs = 0;
    link->inputStarted = 1;
    link->status = linkRunning;
    sNotifyEngine(link);

    while (link->running.load()) {
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        const uint32_t status = link->status.load();
        if (status == linkSyncing && link->syncState == kSyncStateSynced && link->syncQueued.exchange(0)) {
            /* aLink_Sync has sent the requests already: wait for their answers. */
            link->syncState = kSyncStateByte1;
            link->lastHandshakeMs = aTime_MonotonicMS();
            if (err == aErrNotReady)
                continue;
        }
        if (err == aErrNotReady) {
            if (status == linkIOError) {
                sStartHandshake(link);
            } else if (status == linkSyncing) {
                /* Repeat the requests only once the line has been quiet for a
                 * while: a short gap between the module's answers is no reason
                 * to start over, and a silent module is not flooded. */
                const uint64_t now = aTime_MonotonicMS();
                const uint64_t since = link->lastHandshakeMs > link->lastByteMs ? link->lastHandshakeMs
                                                                                : link->lastByteMs;
                if (link->syncState == kSyncStateSynced || now - since >= aLINK_SYNC_RETRY_MS)
                    sStartHandshake(link);
            }
            continue;
        }
        if (err != aErrNone) {
            link->status = linkIOError;
            aTime_MSSleep(aLINK_IOERROR_SLEEP_MS);
            continue;
        }
        link->lastByteMs = aTime_MonotonicMS();
        if (status == linkSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->rxPacket, byte) != aErrNone || (link->rxPacket->address & 1) != 0) {
            sStartHandshake(link);
            continue;
        }
        if (aPacket_IsComplete(link->rxPacket) && sHandlePacket(link) != aErrNone)
            link->status = linkError;
    }
    link->inputFinished = 1;
    aLinkPriv_ReleaseLink(&link); /* the last step: the record may be freed here */
    return NULL;
}

/* Output side. ---------------------------------------------------------- */

static void* sOutputThread(void* argument)
{
    aLink* link = (aLink*)argument;
    pthread_setname_np(pthread_self(), "tarnix-link-out");
    uint8_t pool[aLINK_POOL_SIZE];
    link->outputStarted = 1;
    sNotifyEngine(link);

    while (link->running.load()) {
        aPacket* packet = aPacketFifo_Await(link->outputFifo, aLINK_OUTPUT_WAIT_MS);
        if (packet == NULL)
            continue;
        size_t used = 0;
        (void)aPacket_GetBytes(packet, pool, sizeof(pool), &used); /* a queued packet always fits the pool */
        if (link->pooled.load()) {
            while (used <= aLINK_POOL_LIMIT) {
                aPacket* next = aPacketFifo_Get(link->outputFifo);
                if (next == NULL)
                    break;
                size_t more = 0;
                (void)aPacket_GetBytes(next, pool + used, sizeof(pool) - used, &more); /* below the pool limit a whole packet still fits */
                used += more;
                (void)aPacket_Destroy(&next); /* ours: cannot fail */
            }
        }
        (void)aStream_Write(link->stream, pool, used); /* write errors do not stop the link */
        sLogPacket(link, aLINK_LOG_SENT, packet);
        (void)aPacket_Destroy(&packet); /* ours: cannot fail */
    }

    /* Write out what is still queued (the route-off packet among it); once a
     * write fails the stream is gone and the rest is dropped. */
    bool writable = true;
    aPacket* packet;
    while ((packet = aPacketFifo_Get(link->outputFifo)) != NULL) {
        if (writable) {
            size_t used = 0;
            (void)aPacket_GetBytes(packet, pool, sizeof(pool), &used); /* a queued packet always fits the pool */
            writable = aStream_Write(link->stream, pool, used) == aErrNone;
            if (writable)
                sLogPacket(link, aLINK_LOG_SENT, packet);
        }
        (void)aPacket_Destroy(&packet); /* ours: cannot fail */
    }
    link->outputFinished = 1;
    aLinkPriv_ReleaseLink(&link); /* the last step: the record may be freed here */
    return NULL;
}

/* Interface. ------------------------------------------------------------ */

static bool sAcceptAll(const aPacket* packet, void* reference)
{
    (void)packet;
    (void)reference;
    return true;
}

static void sNameMutex(char* buffer, size_t size, const char* format, const aLink* link)
{
    snprintf(buffer, size, format, (const void*)link);
}

void aLinkPriv_LinkReleaseParts(aLink* link)
{
    (void)aPacketFifo_Destroy(&link->inputFifo); /* teardown of parts that may never have been made: null is fine */
    (void)aPacketFifo_Destroy(&link->outputFifo);
    (void)aPacket_Destroy(&link->rxPacket);
    aPacketLog* log = link->log.exchange(NULL);
    (void)aPacketLog_Destroy(&log);
    if (link->logMutex != NULL)
        (void)aMutex_Destroy(&link->logMutex); /* no thread holds it any more */
    if (link->userFilterMutex != NULL)
        (void)aMutex_Destroy(&link->userFilterMutex); /* no thread holds it any more */
}

aLinkId aLink_Init(aLinkId linkId, aStream* stream)
{
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL || hold.entry()->link == NULL)
        return 0;
    aLink* link = hold.entry()->link;
    if (sValidLink(link))
        aLinkPriv_LinkReleaseParts(link); /* initialised before: do not leak its parts */

    link->id = linkId;
    link->running = 0;
    link->status = stream != NULL ? linkStopped : linkNoStream;
    link->inputFifo = aPacketFifo_Create();
    link->rxPacket = aPacket_Create();
    link->outputFifo = aPacketFifo_Create();
    link->inputThread = NULL;
    link->outputThread = NULL;
    link->inputProc = sInputThread;
    link->outputProc = sOutputThread;
    link->inputStarted = 0;
    link->outputStarted = 0;
    link->inputFinished = 0;
    link->outputFinished = 0;
    link->syncQueued = 0;
    link->syncAnswersDue = 0;
    link->syncedMs = 0;
    link->stream = stream;
    link->heartbeat = kHeartbeatIdle;
    link->syncState = kSyncStateSynced;
    link->moduleAddress = 0;
    link->log = NULL;
    link->logSize = 0;
    char name[64];
    sNameMutex(name, sizeof(name), "LOG_SEMA_%p", link);
    link->logMutex = aMutex_Create(name);
    link->userFilter = NULL;
    link->userFilterRef = NULL;
    sNameMutex(name, sizeof(name), "aLink(%p)->userFilterSema", link);
    link->userFilterMutex = aMutex_Create(name);
    link->pooled = 0;
    link->validity = aLINK_VALIDITY;

    if (link->inputFifo == 0 || link->outputFifo == 0 || link->rxPacket == NULL ||
        link->logMutex == NULL || link->userFilterMutex == NULL) {
        aLinkPriv_LinkReleaseParts(link);
        link->stream = NULL; /* still the caller's */
        link->validity = 0;
        return 0;
    }
    return linkId;
}

void aLinkPriv_LinkRenew(aLink* link, aStream* stream)
{
    (void)aPacket_Reset(link->rxPacket); /* the link's own receive packet: cannot fail */
    link->stream = stream;
    link->running = 0;
    link->status = stream != NULL ? linkStopped : linkNoStream;
    link->heartbeat = kHeartbeatIdle;
    link->syncState = kSyncStateSynced;
    link->syncAnswersDue = 0;
    link->inputStarted = 0;
    link->outputStarted = 0;
}

/* Each engine thread holds a reference to its record until its last step, so that a
 * record whose stop gave up on a thread is freed when that thread ends. */
static aThread* sStartThread(aLink* link, aThreadFunction procedure)
{
    aLinkPriv_RetainEntry(link->entry);
    aThread* thread = aThread_Create(procedure, link);
    if (thread == NULL) {
        aLinkEntry* entry = link->entry;
        aLinkPriv_ReleaseEntry(&entry);
    }
    return thread;
}

aErr aLink_Start(aLinkId linkId)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    if (link->running.load())
        return aErrNone;

    link->running = 1;
    link->status = linkStarting;
    link->heartbeat = kHeartbeatIdle;
    link->inputStarted = 0;
    link->outputStarted = 0;
    link->inputFinished = 0;
    link->outputFinished = 0;
    link->inputThread = sStartThread(link, link->inputProc);
    if (link->inputThread != NULL)
        link->outputThread = sStartThread(link, link->outputProc);
    if (link->inputThread == NULL || link->outputThread == NULL) {
        link->running = 0;
        if (link->inputThread != NULL)
            aThread_Destroy(&link->inputThread);
        link->status = link->stream != NULL ? linkStopped : linkNoStream;
        return aErrResource;
    }

    const bool started = sAwaitEngine(
        link,
        [link] {
            return link->inputStarted.load() && link->outputStarted.load() && link->status.load() == linkRunning;
        },
        aLINK_START_WAIT_MS);
    if (!started)
        return aErrIndexRange;
    return sQueueRoute(link, 1);
}

aErr aLink_Stop(aLink* link)
{
    if (!sValidLink(link))
        return aErrParam;
    const uint32_t status = link->status.load();
    if (status == linkStopped || status == linkStopping)
        return aErrNone;
    link->status = linkStopping;

    if (link->inputThread == NULL || link->outputThread == NULL) {
        link->status = link->stream != NULL ? linkStopped : linkNoStream;
        return aErrNone;
    }
    (void)sQueueRoute(link, 0); /* best effort: a module that misses it drops routing when the link goes quiet */
    link->running = 0;
    sNotifyEngine(link); /* a synchronisation waiting on the engine gives up at once */
    /* A USB read may wait a whole second for a quiet module: cut it short. */
    if (link->stream != NULL)
        (void)aStream_Interrupt(link->stream); /* a stream that cannot be cut short ends its bounded read on its own */

    /* Every stream call the threads make is bounded, so they end soon; should
     * one not, give up rather than hang, and leave its record alone. */
    const uint64_t deadline = aTime_MonotonicMS() + aLINK_JOIN_MS;
    while (!(link->inputFinished.load() && link->outputFinished.load()) && aTime_MonotonicMS() < deadline)
        aTime_MSSleep(1);
    if (!(link->inputFinished.load() && link->outputFinished.load()))
        return aErrUnknown;
    int joinIn = aThread_Destroy(&link->inputThread);
    int joinOut = aThread_Destroy(&link->outputThread);
    link->inputStarted = 0;
    link->outputStarted = 0;
    (void)aPacket_Reset(link->rxPacket); /* the link's own receive packet: cannot fail */
    link->status = linkStopped;
    link->heartbeat = kHeartbeatIdle;
    return (joinIn == 0 && joinOut == 0) ? aErrNone : aErrUnknown;
}

/* Drops every packet it is shown; counts the sync requests among them. */
static bool sDropCountingRequests(const aPacket* packet, void* reference)
{
    if (packet->address == aLINK_SYNC_ADDRESS && packet->dataSize == 0)
        ++*(uint32_t*)reference;
    return true;
}

aErr aLink_Sync(aLinkId linkId)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    if (!link->running.load())
        return aErrNotReady; /* nobody to run the handshake */
    /* Start the handshake from here rather than leave it to the input thread's
     * next byte or empty read: on USB that read may wait a whole second, half
     * the budget, before the first request could go out. */
    link->syncQueued = 1;
    link->status = linkSyncing;
    for (int i = 0; i < aLINK_SYNC_REQUESTS; ++i) {
        /* Counted before it is queued: its answer may be in before this thread runs on. */
        link->syncAnswersDue++;
        if (sQueue(link, aLINK_SYNC_ADDRESS, 0, NULL) != aErrNone)
            (void)sSettleAnswers(link, 1); /* never sent: no answer to wait for */
    }
    const bool synced = sAwaitEngine(link, [link] { return link->status.load() == linkRunning; }, aLINK_SYNC_WAIT_MS);
    if (!link->running.load())
        return aErrNotReady; /* stopped (or destroyed) meanwhile */
    /* Requests not yet sent are dropped: they will never be answered. */
    uint32_t unsent = 0;
    aPacketFifo_DrainPackets(link->outputFifo, sDropCountingRequests, &unsent);
    if (synced && sSettleAnswers(link, unsent) > 0) {
        /* The module answers every request: once the last answer is in, none
         * can arrive late. A module that leaves some unanswered costs the bound. */
        (void)sAwaitEngine(link, [link] { return link->syncAnswersDue.load() == 0; }, aLINK_SYNC_SETTLE_MS);
    }
    link->syncAnswersDue = 0;
    aPacketFifo_DrainPackets(link->inputFifo, sAcceptAll, NULL);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(aLinkId linkId, uint8_t on)
{
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL)
        return aErrNotFound;
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    return sQueueRoute(link, on);
}

aLinkState aLink_GetStatus(aLinkId linkId)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return linkNoStream;
    return snapshot.status;
}

aErr aLink_PutPacket(aLinkId linkId, const aPacket* packet)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return aErrParam;
    return aPacketFifo_Put(snapshot.outputFifo, packet);
}

aPacket* aLink_GetPacket(aLinkId linkId)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return NULL;
    return aPacketFifo_Get(snapshot.inputFifo);
}

aPacket* aLink_AwaitPacket(aLinkId linkId, uint32_t timeoutMs)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return NULL;
    return aPacketFifo_Await(snapshot.inputFifo, timeoutMs);
}

aPacket* aLink_GetFirst(aLinkId linkId, aPacketFilter filter, void* reference)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return NULL;
    return aPacketFifo_GetFirst(snapshot.inputFifo, filter, reference);
}

aPacket* aLink_AwaitFirst(aLinkId linkId, aPacketFilter filter, void* reference, uint32_t timeoutMs)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot) || !snapshot.running || snapshot.status != linkRunning)
        return NULL;
    const uint64_t deadline = aTime_MonotonicMS() + timeoutMs;
    for (;;) {
        const uint64_t now = aTime_MonotonicMS();
        const uint64_t left = deadline > now ? deadline - now : 0;
        const uint32_t slice = left < aLINK_READER_SLICE_MS ? (uint32_t)left : aLINK_READER_SLICE_MS;
        aPacket* packet = aPacketFifo_AwaitFirst(snapshot.inputFifo, filter, reference, slice);
        if (packet != NULL)
            return packet;
        if (left <= slice)
            return NULL;
        /* Stop waiting as soon as the link leaves the running state. */
        if (!aLinkPriv_Snapshot(linkId, &snapshot) || !snapshot.running || snapshot.status != linkRunning)
            return NULL;
    }
}

size_t aLink_DrainPackets(aLinkId linkId, aPacketFilter filter, void* reference)
{
    aLinkSnapshot snapshot;
    if (!aLinkPriv_Snapshot(linkId, &snapshot))
        return 0;
    return aPacketFifo_DrainPackets(snapshot.inputFifo, filter, reference);
}

aErr aLink_InstallUserPacketFilter(aLinkId linkId, aPacketFilter filter, void* reference)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    aMutexHold held(link->userFilterMutex);
    link->userFilter = filter;
    link->userFilterRef = filter != NULL ? reference : NULL;
    return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkId linkId, bool on)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    link->pooled = on ? 1 : 0;
    return aErrNone;
}

aErr _aLink_GetModuleAddress(aLinkId linkId, uint8_t* address)
{
    aErr err;
    {
        aLinkEntryHold hold(linkId);
        if (hold.link() == NULL || address == NULL)
            return aErrParam;
        err = sQueue(hold.link(), aLINK_SYNC_ADDRESS, 0, NULL);
    }
    if (err != aErrNone)
        return err;
    aPacket* reply = aLink_AwaitPacket(linkId, aLINK_REPLY_WAIT_MS);
    if (reply == NULL)
        return aErrTimeout;
    err = aErrIO;
    if (reply->dataSize == 0 && reply->address != 0) {
        *address = reply->address;
        err = aErrNone;
    }
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return err;
}

aErr _aLink_GetModel(aLinkId linkId, uint8_t address, uint8_t* model)
{
    static const uint8_t request[3] = {3, 0x48, 0x20};
    aErr err;
    {
        aLinkEntryHold hold(linkId);
        if (hold.link() == NULL || model == NULL)
            return aErrParam;
        err = sQueue(hold.link(), address, sizeof(request), request);
    }
    if (err != aErrNone)
        return err;
    aPacket* reply = aLink_AwaitPacket(linkId, aLINK_REPLY_WAIT_MS);
    if (reply == NULL)
        return aErrTimeout;
    err = aErrIO;
    if (reply->address == address && reply->dataSize == 4 && reply->data[0] == 3) {
        *model = reply->data[3];
        err = aErrNone;
    }
    (void)aPacket_Destroy(&reply); /* ours: cannot fail */
    return err;
}
