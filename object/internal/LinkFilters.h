/* The match filters of the Link's exchanges: which incoming packet answers
 * which request. Internal to the object model; the filter tests and the fuzz
 * harness reach them through tarnix_internal. */
#ifndef VELORN_TARNIX_LINKFILTERS_H
#define VELORN_TARNIX_LINKFILTERS_H

#include <stdint.h>

#include "aPacket.h"
#include "Link.h"
#include "aUEI.h"

namespace Velorn {
namespace Tarnix {

/* Match filters of the exchanges (the reference is the exchange's record). */
bool UEIFilter(const aPacket* packet, void* reference);
bool UEIBytesFilter(const aPacket* packet, void* reference);
bool CommandFilter(const aPacket* packet, void* reference);

/* Reference record of CommandFilter. */
struct CommandMatch {
    const unsigned char* match;
    unsigned char length;
};

/* Reference record of SlotFilter and FactoryFilter: the request's data. */
struct SlotRequest {
    uint8_t subcommand;
    uint8_t store;
    uint8_t slot;
    uint8_t handle;
};
bool SlotFilter(const aPacket* packet, void* reference);
struct FactoryRequest {
    uint8_t indexByte; /* data byte 1 of the request */
};
bool FactoryFilter(const aPacket* packet, void* reference);

} // namespace Tarnix
} // namespace Velorn

#endif
