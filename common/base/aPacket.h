/* One device protocol packet and its byte-by-byte assembly. */
#ifndef TARNIX_APACKET_H
#define TARNIX_APACKET_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#define aPACKET_VALIDITY 0xBEEF
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_SIZE (aPACKET_MAX_DATA + 2)

typedef struct aPacket {
    uint16_t validity;
    uint8_t curSize;
    uint8_t address;
    uint8_t dataSize;
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

/* Validity test shared by every packet operation and the packet FIFOs. */
#define aVALIDPACKET(p) ((p) != NULL && (p)->validity == aPACKET_VALIDITY)

aPacket* aPacket_Create(void);
/* The length is taken as 8 bits; null when data is null or the length exceeds 28. */
aPacket* aPacket_CreateWithData(uint8_t address, uint32_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
aErr aPacket_Destroy(aPacket** packet);

#endif
