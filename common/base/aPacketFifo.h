/* Process-wide packet queues addressed by identifier. */
#ifndef TARNIX_APACKETFIFO_H
#define TARNIX_APACKETFIFO_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId; /* never 0 for a live FIFO */

/* Selects a packet: true to take it. Runs with the FIFO locked; must not call back into it. */
typedef bool (*aPacketFilter)(const aPacket* packet, void* reference);

/* Most packets a FIFO holds; one more empties it. */
#define aPACKETFIFO_CAPACITY 1000

aPacketFifoId aPacketFifo_Create(void);
aErr aPacketFifo_Destroy(aPacketFifoId* fifoId);
size_t aPacketFifo_GetLength(aPacketFifoId fifoId);
/* Queues a copy; the caller keeps its packet. */
aErr aPacketFifo_Put(aPacketFifoId fifoId, const aPacket* packet);
/* Packets returned belong to the caller (aPacket_Destroy). */
aPacket* aPacketFifo_Get(aPacketFifoId fifoId);
aPacket* aPacketFifo_Await(aPacketFifoId fifoId, uint32_t timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifoId, aPacketFilter filter, void* reference,
                                uint32_t timeoutMs);
size_t aPacketFifo_DrainPackets(aPacketFifoId fifoId, aPacketFilter filter, void* reference);

#endif
