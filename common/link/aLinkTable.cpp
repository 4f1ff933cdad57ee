/* The process-wide link table: shared links with use counts, creation per
 * transport, teardown, reset, and the per-link packet debug log. */
#include <atomic>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "aLinkPrivate.h"
#include "aStreamTransport.h"
#include "aTime.h"

#define aLINK_RESET_ATTEMPTS 20
#define aLINK_RESET_SLEEP_MS 100

static aLinkEntry* sHead = NULL;
static aLinkId sNextId = 1;

static aMutex* sTableMutex(void)
{
    static aMutex* mutex = aMutex_Create("aLink_Managed");
    return mutex;
}

namespace {
struct sTableLock {
    sTableLock() : held_(sTableMutex()) {}
    sTableLock(const sTableLock&) = delete;
    sTableLock& operator=(const sTableLock&) = delete;

private:
    aMutexHold held_;
};
} // namespace

/* Table. ---------------------------------------------------------------- */

aLinkId aLinkPriv_CreateTrident(uint32_t first, uint32_t second, uint32_t third, linkType type)
{
    aLinkEntry* entry = (aLinkEntry*)calloc(1, sizeof(aLinkEntry));
    aLink* link = new (std::nothrow) aLink();
    if (entry == NULL || link == NULL) {
        free(entry);
        delete link;
        return 0;
    }
    entry->first = first;
    entry->second = second;
    entry->third = third;
    entry->type = type;
    entry->link = link;
    entry->references = 1; /* the table's */
    link->entry = entry;
    sTableLock lock;
    entry->id = sNextId++;
    link->id = entry->id;
    entry->next = sHead;
    sHead = entry;
    return entry->id;
}

aLinkId aLinkPriv_Create(uint32_t first, uint32_t second, linkType type)
{
    return aLinkPriv_CreateTrident(first, second, 0, type);
}

/* Adds a reference to the first entry the match selects; the table lock is held. */
template <typename Match>
static aLinkEntry* sTakeFirst(Match match)
{
    for (aLinkEntry* entry = sHead; entry != NULL; entry = entry->next) {
        if (match(entry)) {
            entry->references++;
            return entry;
        }
    }
    return NULL;
}

aLinkEntry* aLinkPriv_LookupEntryByID(aLinkId linkId)
{
    sTableLock lock;
    return sTakeFirst([&](const aLinkEntry* entry) { return entry->id == linkId; });
}

aLinkEntry* aLinkPriv_LookupEntryByIdentifier(uint32_t first, linkType type)
{
    sTableLock lock;
    return sTakeFirst([&](const aLinkEntry* entry) { return entry->first == first && entry->type == type; });
}

aLinkEntry* aLinkPriv_LookupEntryByTrident(uint32_t first, uint32_t second, uint32_t third)
{
    sTableLock lock;
    return sTakeFirst([&](const aLinkEntry* entry) {
        return entry->first == first && entry->second == second && entry->third == third;
    });
}

/* Unlinks an entry; the table lock is held. */
static aLinkEntry* sUnlink(aLinkId linkId)
{
    for (aLinkEntry** at = &sHead; *at != NULL; at = &(*at)->next) {
        if ((*at)->id == linkId) {
            aLinkEntry* entry = *at;
            *at = entry->next;
            entry->next = NULL;
            return entry;
        }
    }
    return NULL;
}

aLinkEntry* aLinkPriv_ExtractEntry(aLinkId linkId)
{
    sTableLock lock;
    return sUnlink(linkId);
}

void aLinkPriv_ChangeUseCount(aLinkEntry* entry, int16_t delta)
{
    sTableLock lock;
    const int32_t count = entry->useCount + delta;
    entry->useCount = (int16_t)(count < 0 ? 0 : (count > INT16_MAX ? INT16_MAX : count));
}

aLink* aLinkPriv_GetLink(aLinkId linkId)
{
    aLinkEntry* entry = aLinkPriv_LookupEntryByID(linkId);
    if (entry != NULL && entry->link != NULL && entry->link->validity == aLINK_VALIDITY)
        return entry->link;
    aLinkPriv_ReleaseEntry(&entry);
    return NULL;
}

void aLinkPriv_RetainEntry(aLinkEntry* entry)
{
    sTableLock lock;
    entry->references++;
}

/* Frees an entry nobody holds any more, with its record, stream and parts. */
static void sFreeEntry(aLinkEntry* entry)
{
    aLink* link = entry->link;
    if (link != NULL) {
        /* Threads a stop gave up on have ended by now (each held a reference until
         * its last step), but were never joined; this may run on one of them. */
        if (link->inputThread != NULL)
            aThread_Detach(&link->inputThread);
        if (link->outputThread != NULL)
            aThread_Detach(&link->outputThread);
        if (link->validity == aLINK_VALIDITY) {
            aLinkPriv_LinkReleaseParts(link);
            if (link->stream != NULL)
                (void)aStream_Destroy(&link->stream); /* the last reference: nothing is left to tell of a failure */
            link->validity = 0;
        }
        delete link;
    }
    free(entry);
}

void aLinkPriv_ReleaseEntry(aLinkEntry** entry)
{
    if (entry == NULL || *entry == NULL)
        return;
    bool last;
    {
        sTableLock lock;
        last = --(*entry)->references <= 0;
    }
    if (last)
        sFreeEntry(*entry);
    *entry = NULL;
}

void aLinkPriv_ReleaseLink(aLink** link)
{
    if (link == NULL || *link == NULL)
        return;
    aLinkEntry* entry = (*link)->entry;
    *link = NULL;
    aLinkPriv_ReleaseEntry(&entry);
}

bool aLinkPriv_Snapshot(aLinkId linkId, aLinkSnapshot* snapshot)
{
    sTableLock lock;
    for (aLinkEntry* entry = sHead; entry != NULL; entry = entry->next) {
        if (entry->id != linkId)
            continue;
        aLink* link = entry->link;
        if (link == NULL || link->validity != aLINK_VALIDITY)
            return false;
        snapshot->inputFifo = link->inputFifo;
        snapshot->outputFifo = link->outputFifo;
        snapshot->running = link->running.load() != 0;
        snapshot->status = (aLinkState)link->status.load();
        return true;
    }
    return false;
}

/* Finds a live entry of a type, matching every identifying value (and the port
 * name for serial links), and adds a user; 0 when there is none, or when the
 * link is served and must be reached through its networked-link client. */
static bool sShareExisting(uint32_t first, uint32_t second, uint32_t third, linkType type,
                           const char* portName, aLinkId* shared)
{
    sTableLock lock;
    for (aLinkEntry* entry = sHead; entry != NULL; entry = entry->next) {
        if (entry->type != type || entry->first != first || entry->second != second ||
            entry->third != third)
            continue;
        if (portName != NULL && strcmp(entry->portName, portName) != 0)
            continue;
        if (entry->attachment != NULL) {
            *shared = 0;
            return true;
        }
        entry->useCount++;
        *shared = entry->id;
        return true;
    }
    return false;
}

/* Creation. ------------------------------------------------------------- */

/* What a start or synchronisation failure means to the caller who asked for a
 * link: no threads, no answer to synchronisation, or an engine that never ran. */
static aErr sBringUpError(aErr err)
{
    if (err == aErrResource || err == aErrNotReady)
        return err == aErrResource ? aErrResource : aErrTimeout;
    return aErrConnection;
}

/* Shared tail of every direct link creation; destroys the link on any failure
 * and returns why it failed (err, the stream's result, comes first). */
static aErr sFinishCreate(aLinkId linkId, aStream* stream, aErr err, bool sync, aLinkId* created)
{
    aLinkId initialised = aLink_Init(linkId, stream);
    if (initialised != linkId) {
        if (stream != NULL)
            (void)aStream_Destroy(&stream); /* not taken over by the link */
        if (err == aErrNone)
            err = aErrResource;
    }
    if (err == aErrNone) {
        aLinkEntryHold hold(linkId);
        if (hold.entry() != NULL)
            aLinkPriv_ChangeUseCount(hold.entry(), 1);
        aErr started = aLink_Start(linkId);
        if (started == aErrNone && sync)
            started = aLink_Sync(linkId);
        if (started != aErrNone)
            err = sBringUpError(started);
    }
    if (err != aErrNone) {
        aLinkId doomed = linkId;
        {
            aLinkEntryHold hold(linkId);
            if (hold.entry() != NULL) {
                sTableLock lock;
                hold.entry()->useCount = 0;
            }
        }
        (void)aLink_Destroy(&doomed); /* already failing: the creation error is the one to report */
        return err;
    }
    *created = linkId;
    return aErrNone;
}

aErr aLinkPriv_CreateDirectLink(uint32_t first, uint32_t second, uint32_t third, linkType type,
                       aStream* stream, aErr streamErr, bool sync, aLinkId* created)
{
    aLinkId linkId = aLinkPriv_CreateTrident(first, second, third, type);
    if (linkId == 0) {
        if (stream != NULL)
            (void)aStream_Destroy(&stream); /* already failing: the table entry is the error */
        return aErrMemory;
    }
    return sFinishCreate(linkId, stream, streamErr, sync, created);
}

/* The shared link when one is listed: aErrNone with *linkId set, aErrBusy when
 * it is served (reached through its client), aErrNotFound when none is listed. */
static aErr sShare(uint32_t first, uint32_t second, uint32_t third, linkType type,
                   const char* portName, aLinkId* linkId)
{
    aLinkId shared = 0;
    if (!sShareExisting(first, second, third, type, portName, &shared))
        return aErrNotFound;
    if (shared == 0)
        return aErrBusy;
    *linkId = shared;
    return aErrNone;
}

static aErr sMakeSerialStream(const char* portName, uint32_t baudRate, aStream** stream)
{
    uint32_t code = 0;
    if (!aStream_SerialBaudCode(baudRate, &code))
        return aErrParam;
    return aStream_CreateSerial_Packetized(portName, code, false, 0, 0, stream);
}

aErr aLink_OpenUSB(uint32_t serialNumber, aLinkId* linkId)
{
    if (linkId == NULL)
        return aErrParam;
    aErr shared = sShare(serialNumber, 0, 0, USB, NULL, linkId);
    if (shared != aErrNotFound)
        return shared;
    aLinkId created = aLinkPriv_CreateTrident(serialNumber, 0, 0, USB);
    if (created == 0)
        return aErrMemory;
    aStream* stream = NULL;
    aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sFinishCreate(created, stream, err, true, linkId);
}

aErr aLink_OpenTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port, aLinkId* linkId)
{
    if (linkId == NULL || port > 0xFFFF)
        return aErrParam;
    aErr shared = sShare(serialNumber, address, port, TCPIP, NULL, linkId);
    if (shared != aErrNotFound)
        return shared;
    aLinkId created = aLinkPriv_CreateTrident(serialNumber, address, port, TCPIP);
    if (created == 0)
        return aErrMemory;
    aStream* stream = NULL;
    aErr err = aStream_CreateSocket(address, (uint16_t)port, &stream);
    return sFinishCreate(created, stream, err, false, linkId);
}

aErr aLink_OpenSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate, aLinkId* linkId)
{
    uint32_t code = 0;
    if (linkId == NULL || portName == NULL || strlen(portName) >= aLINKSPEC_PORT_NAME_SIZE ||
        !aStream_SerialBaudCode(baudRate, &code))
        return aErrParam;
    aErr shared = sShare(serialNumber, 0, 0, SERIAL, portName, linkId);
    if (shared != aErrNotFound)
        return shared;
    aLinkId created = aLinkPriv_CreateTrident(serialNumber, 0, 0, SERIAL);
    if (created == 0)
        return aErrMemory;
    {
        aLinkEntryHold hold(created);
        if (hold.entry() != NULL) {
            /* The entry is already in the table, where other creators compare port names. */
            sTableLock lock;
            strncpy(hold.entry()->portName, portName, sizeof(hold.entry()->portName) - 1);
            hold.entry()->baudRate = baudRate;
        }
    }
    aStream* stream = NULL;
    aErr err = sMakeSerialStream(portName, baudRate, &stream);
    return sFinishCreate(created, stream, err, false, linkId);
}

aLinkId aLink_CreateUSB(uint32_t serialNumber)
{
    aLinkId linkId = 0;
    return aLink_OpenUSB(serialNumber, &linkId) == aErrNone ? linkId : 0;
}

aLinkId aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port)
{
    aLinkId linkId = 0;
    return aLink_OpenTCPIP(serialNumber, address, port, &linkId) == aErrNone ? linkId : 0;
}

aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    aLinkId linkId = 0;
    return aLink_OpenSerial(serialNumber, portName, baudRate, &linkId) == aErrNone ? linkId : 0;
}

aLinkId aLink_AddUse(aLinkId linkId)
{
    sTableLock lock;
    for (aLinkEntry* entry = sHead; entry != NULL; entry = entry->next) {
        if (entry->id == linkId) {
            entry->useCount++;
            return linkId;
        }
    }
    return 0;
}

aErr aLink_OpenOnStream(uint32_t first, uint32_t second, uint32_t third, linkType type,
                        aStream* stream, aErr streamErr, aLinkId* linkId)
{
    if (linkId == NULL) {
        if (stream != NULL)
            (void)aStream_Destroy(&stream); /* refused before use: the parameter is the error */
        return aErrParam;
    }
    return aLinkPriv_CreateDirectLink(first, second, third, type, stream, streamErr, false, linkId);
}

aLinkId aLink_CreateOnStream(uint32_t first, uint32_t second, uint32_t third, linkType type,
                             aStream* stream, aErr streamErr)
{
    aLinkId linkId = 0;
    return aLink_OpenOnStream(first, second, third, type, stream, streamErr, &linkId) == aErrNone ? linkId : 0;
}

aErr aLink_SetPartner(aLinkId linkId, aLinkId partner)
{
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL)
        return aErrParam;
    sTableLock lock;
    hold.entry()->partner = partner;
    return aErrNone;
}

aErr aLink_GetIdentity(aLinkId linkId, linkType* type, uint32_t* first)
{
    if (type == NULL || first == NULL)
        return aErrParam;
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL)
        return aErrParam;
    *type = hold.entry()->type;
    *first = hold.entry()->first;
    return aErrNone;
}

aErr aLink_Attach(aLinkId linkId, void* attachment, aLinkReleaseProc release)
{
    if (attachment == NULL || release == NULL)
        return aErrParam;
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL)
        return aErrParam;
    sTableLock lock;
    if (hold.entry()->attachment != NULL)
        return aErrBusy;
    hold.entry()->attachment = attachment;
    hold.entry()->releaseAttachment = release;
    return aErrNone;
}

aErr aLink_Detach(aLinkId linkId, void* attachment)
{
    aLinkEntryHold hold(linkId);
    if (hold.entry() == NULL)
        return aErrParam;
    sTableLock lock;
    if (attachment == NULL || hold.entry()->attachment != attachment)
        return aErrParam;
    hold.entry()->attachment = NULL;
    hold.entry()->releaseAttachment = NULL;
    return aErrNone;
}

aErr aLink_Open(aStream* stream, aLinkId* linkId)
{
    if (stream == NULL || linkId == NULL)
        return aErrParam;
    return aLinkPriv_CreateDirectLink(0xFFFFFFFFu, 0, 0, INVALID, stream, aErrNone, false, linkId);
}

aLinkId aLink_Create(aStream* stream)
{
    aLinkId linkId = 0;
    return aLink_Open(stream, &linkId) == aErrNone ? linkId : 0;
}

/* Lifetime. ------------------------------------------------------------- */

aErr aLink_Destroy(aLinkId* linkId)
{
    if (linkId == NULL)
        return aErrParam;
    const aLinkId id = *linkId;
    *linkId = 0;
    /* Deciding on the last user and unlinking is one step, so that of two users
     * letting go at once exactly one tears the link down. */
    aLinkEntry* entry = NULL;
    {
        sTableLock lock;
        aLinkEntry* found = NULL;
        for (found = sHead; found != NULL && found->id != id; found = found->next) {
        }
        if (found == NULL)
            return aErrParam;
        if (found->useCount > 1) {
            found->useCount--;
            return aErrNone;
        }
        found->useCount = 0;
        entry = sUnlink(id); /* the table's reference is now ours */
    }

    aLink* link = entry->link;
    if (link != NULL && link->validity == aLINK_VALIDITY) {
        {
            aMutexHold held(link->userFilterMutex);
            link->userFilter = NULL;
            link->userFilterRef = NULL;
        }
        (void)aLink_Stop(link); /* a thread that will not end keeps its reference; the record goes when it ends */
        /* Wake readers waiting on the queues now rather than when the last holder
         * lets go. The record keeps the stale identifiers, which the queues refuse. */
        aPacketFifoId input = link->inputFifo;
        aPacketFifoId output = link->outputFifo;
        (void)aPacketFifo_Destroy(&input); /* stale queues of a stopped link: ours, cannot fail */
        (void)aPacketFifo_Destroy(&output);
    }
    if (entry->attachment != NULL) {
        /* Ours alone now: the entry is out of the table. */
        void* attachment = entry->attachment;
        aLinkReleaseProc release = entry->releaseAttachment;
        entry->attachment = NULL;
        entry->releaseAttachment = NULL;
        release(attachment);
    }
    if (entry->partner != 0) {
        aLinkId partner = entry->partner;
        (void)aLink_Destroy(&partner); /* the partner may have gone already */
    }
    aLinkPriv_ReleaseEntry(&entry);
    return aErrNone;
}

aErr aLink_Reset(aLinkId linkId)
{
    aLinkEntryHold hold(linkId);
    aLinkEntry* entry = hold.entry();
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    /* Only transports whose stream can be made again here. */
    if (entry->type != TCPIP && entry->type != SERIAL && entry->type != USB)
        return aErrParam;

    (void)aLink_Stop(link); /* a thread that will not end keeps its reference; the record goes when it ends */
    if (link->inputThread != NULL || link->outputThread != NULL)
        return aErrBusy;
    if (link->stream != NULL)
        (void)aStream_Destroy(&link->stream); /* the stream of a stopped link: ours, nothing left to tell */
    link->status = linkNoStream;

    aStream* stream = NULL;
    for (int attempt = 0; attempt < aLINK_RESET_ATTEMPTS; ++attempt) {
        aErr err = entry->type == TCPIP  ? aStream_CreateSocket(entry->second, (uint16_t)entry->third, &stream)
                   : entry->type == USB ? aStream_CreateUSB(entry->first, &stream)
                                        : sMakeSerialStream(entry->portName, entry->baudRate, &stream);
        if (err == aErrNone)
            break;
        stream = NULL;
        aTime_MSSleep(aLINK_RESET_SLEEP_MS);
    }
    /* Fresh queues: swap them in under the table lock so that readers looking the
     * link up see either the old (destroyed, so they return) or the new ones. */
    aPacketFifoId input = aPacketFifo_Create();
    aPacketFifoId output = aPacketFifo_Create();
    aPacketFifoId oldInput, oldOutput;
    {
        sTableLock lock;
        oldInput = link->inputFifo;
        oldOutput = link->outputFifo;
        link->inputFifo = input;
        link->outputFifo = output;
    }
    (void)aPacketFifo_Destroy(&oldInput); /* stale queues of a stopped link: ours, cannot fail */
    (void)aPacketFifo_Destroy(&oldOutput);
    if (input == 0 || output == 0) {
        if (stream != NULL)
            (void)aStream_Destroy(&stream); /* not taken over by the link: ours, cannot fail */
        aLinkPriv_LinkRenew(link, NULL);
        return aErrMemory;
    }
    /* Without a stream the link still restarts and reports I/O errors. */
    aLinkPriv_LinkRenew(link, stream);
    return aLink_Start(linkId);
}

/* Packet debug log. ----------------------------------------------------- */

/* Runs `use` on the link with its packet-log lock held: aErrParam for an
 * unknown link, aErrResource when it has no lock, else what `use` returns. */
template <typename Use>
static aErr sWithPacketLog(aLinkId linkId, Use use)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    if (link == NULL)
        return aErrParam;
    if (link->logMutex == NULL)
        return aErrResource;
    aMutexHold held(link->logMutex);
    return use(link);
}

aErr aLink_PacketDebug_SetLogSize(aLinkId linkId, int32_t size)
{
    if (size > aLINK_LOG_MAX_SIZE)
        return aErrParam;
    return sWithPacketLog(linkId, [size](aLink* link) {
        if (link->log.load() != NULL)
            return aErrBusy;
        link->logSize = size < 0 ? 0 : (size_t)size;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(aLinkId linkId)
{
    return sWithPacketLog(linkId, [](aLink* link) {
        aPacketLog* log = link->log.load();
        if (log == NULL) {
            log = aPacketLog_Create(link->logSize > 0 ? link->logSize : aLINK_LOG_DEFAULT_SIZE);
            link->log = log;
        }
        if (log == NULL)
            return aErrResource;
        aPacketLog_SetEnabled(log, true);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(aLinkId linkId)
{
    return sWithPacketLog(linkId, [](aLink* link) {
        aPacketLog* log = link->log.load();
        if (log == NULL)
            return aErrNotReady;
        aPacketLog_SetEnabled(log, false);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(aLinkId linkId, uint8_t* direction, size_t* length, uint8_t* buffer)
{
    return sWithPacketLog(linkId, [&](aLink* link) {
        aPacketLog* log = link->log.load();
        return log != NULL ? aPacketLog_Read(log, direction, length, buffer) : aErrNotReady;
    });
}

aErr aLink_PacketDebug_Write(aLinkId linkId, uint8_t direction, size_t length, const uint8_t* bytes)
{
    aLinkEntryHold hold(linkId);
    aLink* link = hold.link();
    return link != NULL ? aLink_LogRecord(link, direction, length, bytes) : aErrParam;
}
