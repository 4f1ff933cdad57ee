/* Links to modules: the engine (threads, framing, synchronisation), the
 * process-wide link table, link creation per transport and the packet debug log. */
#ifndef TARNIX_ALINK_H
#define TARNIX_ALINK_H

#include <stddef.h>
#include <stdint.h>
#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aProtocol.h"
#include "aStream.h"

typedef uint32_t aLinkId; /* 0 = no link */

typedef enum aLinkState : uint32_t {
    linkStopped = 0,
    linkStarting = 1,
    linkRunning = 2,
    linkStopping = 3,
    linkSyncing = 4,
    linkNoStream = 5,
    linkIOError = 6,
    linkError = 8
} aLinkState;

typedef struct aLink aLink; /* the engine record of one link (aLinkPrivate.h) */

/* The link-level address bytes (aLINK_SYNC_ADDRESS, aLINK_ROUTE_ADDRESS) are
 * in aProtocol.h. */

/* Engine. */
aLinkId aLink_Init(aLinkId linkId, aStream* stream);
aErr aLink_Start(aLinkId linkId);
aErr aLink_Stop(aLink* link);
/* Synchronises a running link with its module: sends the handshake's sync
 * requests and returns once the module has answered them all (at most 2 s for
 * the handshake, then at most 100 ms for the remaining answers), with every
 * packet queued for readers until then discarded. aErrParam for an unknown
 * link, aErrNotReady when it is not running, stops meanwhile or the module
 * does not answer within the bound. Any thread but the link's own. */
aErr aLink_Sync(aLinkId linkId);
aErr aLink_ForceRoute(aLinkId linkId, uint8_t on);
aLinkState aLink_GetStatus(aLinkId linkId);
aErr aLink_PutPacket(aLinkId linkId, const aPacket* packet);
/* Packets returned belong to the caller (aPacket_Destroy). */
aPacket* aLink_GetPacket(aLinkId linkId);
aPacket* aLink_AwaitPacket(aLinkId linkId, uint32_t timeoutMs);
aPacket* aLink_GetFirst(aLinkId linkId, aPacketFilter filter, void* reference);
aPacket* aLink_AwaitFirst(aLinkId linkId, aPacketFilter filter, void* reference, uint32_t timeoutMs);
size_t aLink_DrainPackets(aLinkId linkId, aPacketFilter filter, void* reference);
/* The filter sees every received packet first; true consumes it. Null removes it. */
aErr aLink_InstallUserPacketFilter(aLinkId linkId, aPacketFilter filter, void* reference);
aErr aLink_EnablePooledPackets(aLinkId linkId, bool on);
aErr _aLink_GetModuleAddress(aLinkId linkId, uint8_t* address);
aErr _aLink_GetModel(aLinkId linkId, uint8_t address, uint8_t* model);

/* Table and creation. Each aLink_Open* call shares the listed link with the
 * same identity (one more use) or makes a new one, and sets *linkId only on
 * success; the caller drops its use with aLink_Destroy. Any thread; creations
 * of one identity should not race (two may both make a link).
 * Failures common to all: aErrParam for a null linkId or a bad argument,
 * aErrMemory when the table entry cannot be made, aErrResource when the
 * engine cannot be set up or its threads started, aErrConnection when the
 * engine did not come up on the opened stream, aErrBusy when the link is
 * served (reach it through its networked-link client, aServer.h).
 * Each aLink_Create* call is the same with 0 for any failure. */
/* USB, by serial number (0 is aErrParam); a new link is synchronised before it
 * is returned. aErrNotFound: no such module, or none that could be read;
 * aErrBusy: another process holds it; aErrPermission: the system refused
 * this process the device (opening it, or a device whose serial number could
 * not be read for that reason while this one was not found); aErrConfiguration:
 * it lacks the vendor interface; aErrTimeout: opened, but the module did not
 * answer synchronisation; aErrIO: other driver failures. */
aErr aLink_OpenUSB(uint32_t serialNumber, aLinkId* linkId);
/* TCP to address (network byte order) and port (above 0xFFFF is aErrParam).
 * aErrConnection: refused, reset, or no answer within the connect bound;
 * aErrIO: other socket failures. */
aErr aLink_OpenTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port, aLinkId* linkId);
/* A packetised serial port (a name shorter than aLINKSPEC_PORT_NAME_SIZE and a
 * supported baud rate, else aErrParam). aErrNotFound: no such port;
 * aErrPermission: no access to it; aErrBusy: opened exclusively elsewhere;
 * aErrIO: it cannot be set up as a serial port. */
aErr aLink_OpenSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate, aLinkId* linkId);
/* A link directly on a given stream, which the link then owns (also on failure). */
aErr aLink_Open(aStream* stream, aLinkId* linkId);
aLinkId aLink_CreateUSB(uint32_t serialNumber);
aLinkId aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port);
aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
aLinkId aLink_Create(aStream* stream);
/* Drops one use (never below zero); the last use stops the link and takes it out of the
 * table. Any thread may call it, also while others are inside calls on the same link:
 * those calls return soon (aErrParam, null or aErrNotReady), and the record is freed by
 * whichever of them, or of the engine threads, lets go of it last. */
aErr aLink_Destroy(aLinkId* linkId);
aErr aLink_Reset(aLinkId linkId);

/* For the layers above the table (the networked-link server and its client
 * links, aServer.h), so that the table never needs to know them. Any thread. */
/* Adds one use to a listed link; returns it, or 0 when it is not listed. */
aLinkId aLink_AddUse(aLinkId linkId);
/* A started (not synchronised) link over a stream a layer above made, listed
 * under `type` and three identifying values; the link owns the stream.
 * `streamErr` is the result of making it: that result is returned as is (and
 * the stream, if any, destroyed); later failures are those common to every
 * aLink_Open* call. aLink_CreateOnStream: the same, 0 for any failure. */
aErr aLink_OpenOnStream(uint32_t first, uint32_t second, uint32_t third, linkType type,
                        aStream* stream, aErr streamErr, aLinkId* linkId);
aLinkId aLink_CreateOnStream(uint32_t first, uint32_t second, uint32_t third, linkType type,
                             aStream* stream, aErr streamErr);
/* When linkId's last use goes, `partner` loses one use too (0 for none).
 * aErrParam: linkId not listed. */
aErr aLink_SetPartner(aLinkId linkId, aLinkId partner);
/* The link's type and first identifying value (the serial number for the
 * direct transports). aErrParam: not listed, or a null argument. */
aErr aLink_GetIdentity(aLinkId linkId, linkType* type, uint32_t* first);
/* Hangs `attachment` on the link until the link's last use goes, which calls
 * release(attachment) once, after the engine has stopped, on that thread.
 * While attached the link counts as served: creating it again gives 0, so
 * users reach it through what was attached. The caller keeps ownership until
 * then. aErrParam: not listed or null arguments; aErrBusy: one is attached. */
typedef void (*aLinkReleaseProc)(void* attachment);
aErr aLink_Attach(aLinkId linkId, void* attachment, aLinkReleaseProc release);
/* Takes the attachment off without calling its release; ownership goes back
 * to the caller. aErrParam: not listed, or `attachment` is not the one. */
aErr aLink_Detach(aLinkId linkId, void* attachment);

/* Packet debug log of one link. */
#define aLINK_LOG_DEFAULT_SIZE 65536
#define aLINK_LOG_MAX_SIZE 67108864
#define aLINK_LOG_SENT 1
#define aLINK_LOG_RECEIVED 2
aErr aLink_PacketDebug_SetLogSize(aLinkId linkId, int32_t size);
aErr aLink_PacketDebug_Enable(aLinkId linkId);
aErr aLink_PacketDebug_Disable(aLinkId linkId);
/* On entry *length is the buffer's size; on return the record's length. */
aErr aLink_PacketDebug_Read(aLinkId linkId, uint8_t* direction, size_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkId linkId, uint8_t direction, size_t length, const uint8_t* bytes);

#endif
