/* Inside the link core: the engine record and the link table, shared by the
 * engine, the table and the networked-link pieces. Not for callers above.
 * What these files share is named aLinkPriv_*; an s prefix stays for each
 * file's own statics. */
#ifndef TARNIX_ALINKPRIVATE_H
#define TARNIX_ALINKPRIVATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "aLink.h"
#include "aMutex.h"
#include "aPacketLog.h"
#include "aThread.h"

#define aLINK_VALIDITY 0xCEED

/* Synchronisation states. */
#define kSyncStateSynced 0
#define kSyncStateStart 1
#define kSyncStateByte1 2
#define kSyncStateByte2 3
#define kSyncStateByte3 4
#define kSyncStateByte4 5

/* Heartbeat states. */
#define kHeartbeatIdle 0
#define kHeartbeatUp 2
#define kHeartbeatDown 3

struct aLinkEntry;

struct aLink {
    uint16_t validity;
    aLinkId id;
    std::atomic<uint8_t> running;
    std::atomic<uint32_t> status; /* aLinkState */
    aPacketFifoId inputFifo;
    aPacket* rxPacket;
    aPacketFifoId outputFifo;
    aThread* inputThread;
    aThread* outputThread;
    aThreadFunction inputProc;
    aThreadFunction outputProc;
    std::atomic<uint8_t> inputStarted;
    std::atomic<uint8_t> outputStarted;
    aStream* stream;
    uint8_t heartbeat;
    uint8_t syncState;
    uint8_t moduleAddress;
    /* Packet log: created on first enable; the pointer is read by the engine threads. */
    std::atomic<aPacketLog*> log;
    size_t logSize;
    aMutex* logMutex;
    aPacketFilter userFilter;
    void* userFilterRef;
    aMutex* userFilterMutex;
    std::atomic<uint8_t> pooled;
    /* Engine bookkeeping. */
    std::atomic<uint8_t> inputFinished;
    std::atomic<uint8_t> outputFinished;
    /* Set by aLink_Sync when it has queued the handshake requests itself, so the
     * input thread takes up the answers instead of starting over. */
    std::atomic<uint8_t> syncQueued;
    /* Answers still due to the handshake's requests: the module answers each
     * one, and those that come after the handshake completed are taken by the
     * input thread, never queued for readers. */
    std::atomic<uint32_t> syncAnswersDue;
    uint64_t syncedMs; /* input thread only: when the last handshake completed */
    /* aLink_Sync waits here for the handshake and its last answer. */
    std::mutex syncMutex;
    std::condition_variable syncChanged;
    uint64_t lastHandshakeMs; /* input thread only */
    uint64_t lastByteMs;      /* input thread only */
    struct aLinkEntry* entry; /* the table entry that owns this record */
};

/* Link table entry. */
typedef struct aLinkEntry {
    aLinkId id;
    aLinkId partner; /* loses one use when this entry's last use goes */
    /* What a layer above hangs on the link (the networked-link server). While
     * it is there the link is served: creators are not handed it directly. */
    void* attachment;
    aLinkReleaseProc releaseAttachment;
    uint32_t first;
    uint32_t second;
    uint32_t third;
    linkType type;
    int16_t useCount;
    /* Holders of this entry and its record: the table while the entry is listed, each
     * engine thread while it runs, and each caller inside a call on the link. Changed
     * only under the table lock; the last holder to let go frees both. */
    int32_t references;
    aLink* link;
    /* Serial links: port and rate, to tell ports apart and to rebuild the stream. */
    char portName[aLINKSPEC_PORT_NAME_SIZE];
    uint32_t baudRate;
    struct aLinkEntry* next;
} aLinkEntry;

aLinkId aLinkPriv_CreateTrident(uint32_t first, uint32_t second, uint32_t third, linkType type);
aLinkId aLinkPriv_Create(uint32_t first, uint32_t second, linkType type);

/* Every lookup below adds a reference to the entry it returns, under the table lock,
 * so that the entry and its record stay allocated while the caller uses them, even
 * when another thread destroys the link meanwhile. The caller lets go with
 * aLinkPriv_ReleaseEntry (or aLinkPriv_ReleaseLink for aLinkPriv_GetLink); any thread may. Null when none. */
aLinkEntry* aLinkPriv_LookupEntryByID(aLinkId linkId);
aLinkEntry* aLinkPriv_LookupEntryByIdentifier(uint32_t first, linkType type);
aLinkEntry* aLinkPriv_LookupEntryByTrident(uint32_t first, uint32_t second, uint32_t third);
/* The entry's record when it is initialised, with a reference as above; else null. */
aLink* aLinkPriv_GetLink(aLinkId linkId);
/* Adds a reference to an entry the caller already holds. */
void aLinkPriv_RetainEntry(aLinkEntry* entry);
/* Drops one reference and nulls the pointer; the last one frees the entry and its
 * record, stream and parts. Null is ignored. */
void aLinkPriv_ReleaseEntry(aLinkEntry** entry);
void aLinkPriv_ReleaseLink(aLink** link);

/* Unlinks the entry; the table's reference passes to the caller, who releases it. */
aLinkEntry* aLinkPriv_ExtractEntry(aLinkId linkId);
/* Adds delta to the use count, which never goes below zero. */
void aLinkPriv_ChangeUseCount(aLinkEntry* entry, int16_t delta);

/* Adds a record to the link's packet log under the log's lock: aErrNotReady
 * when the log was never enabled, else aPacketLog_Write's result. Any thread
 * holding a reference to the link. */
aErr aLink_LogRecord(aLink* link, uint8_t direction, size_t length, const uint8_t* bytes);

/* One reference for the length of a scope. */
class aLinkEntryHold {
public:
    explicit aLinkEntryHold(aLinkId linkId) : entry_(aLinkPriv_LookupEntryByID(linkId)) {}
    ~aLinkEntryHold() { aLinkPriv_ReleaseEntry(&entry_); }
    aLinkEntryHold(const aLinkEntryHold&) = delete;
    aLinkEntryHold& operator=(const aLinkEntryHold&) = delete;
    aLinkEntry* entry() const { return entry_; }
    /* The record when it is initialised, else null. */
    aLink* link() const
    {
        return entry_ != NULL && entry_->link != NULL && entry_->link->validity == aLINK_VALIDITY
                   ? entry_->link
                   : NULL;
    }

private:
    aLinkEntry* entry_;
};

/* What a reader needs of a link, read under the table lock so that a link
 * destroyed meanwhile is seen as gone rather than touched. */
typedef struct aLinkSnapshot {
    aPacketFifoId inputFifo;
    aPacketFifoId outputFifo;
    bool running;
    aLinkState status;
} aLinkSnapshot;
bool aLinkPriv_Snapshot(aLinkId linkId, aLinkSnapshot* snapshot);

/* Releases what aLink_Init made (FIFOs, receive packet, log, mutexes); the stream stays. */
void aLinkPriv_LinkReleaseParts(aLink* link);

/* Prepares a stopped link for a restart on the given stream (which it then owns);
 * keeps its user filter, packet log and pooling. The FIFOs are the caller's business. */
void aLinkPriv_LinkRenew(aLink* link, aStream* stream);

/* A link over a stream made by the caller (or the stream's failure), with the steps every
 * direct transport shares: entry, init, start, optional synchronisation. *created is set
 * only on success; the failures are aLink_OpenOnStream's (aLink.h). */
aErr aLinkPriv_CreateDirectLink(uint32_t first, uint32_t second, uint32_t third, linkType type,
                       aStream* stream, aErr streamErr, bool sync, aLinkId* created);

/* Longest wait for an engine thread to end before a stop gives up on it. */
#define aLINK_JOIN_MS 5000

#endif
