/* Inside discovery: what the portable part (aDiscovery.cpp) offers the
 * platform enumerators (aDiscoveryPlatform.h): the wire constants, the seen
 * list, reporting and the clock. Not for callers above. */
#ifndef TARNIX_ADISCOVERYPRIVATE_H
#define TARNIX_ADISCOVERYPRIVATE_H

#include <vector>

#include "aDiscovery.h"

/* The searches' groups and ports are in aProtocol.h. How long one occupied
 * slot of the loopback search may take, whatever arrives on it. */
#define aDISCOVERY_LOCAL_SLOT_MS 1000

#define aDISCOVERY_BEACON_PERIOD_MS 100
#define aDISCOVERY_BEACON_PERIODS 22

#define aDISCOVERY_ANNOUNCEMENT_SIZE 128
#define aDISCOVERY_ETHERNET_REPLY_SIZE 16
#define aDISCOVERY_MAX_INTERFACES 50

/* Specifiers already reported in one search: new unless one seen has the same
 * serial number, address, port and type. Bounded, so a flood of made-up
 * announcements cannot grow it without end; past the bound nothing is new. */
class aDiscoverySeenList {
public:
    static constexpr size_t kLimit = 1024;
    /* True (and remembered) when `spec` is new. */
    bool add(const linkSpec& spec);
    size_t size() const { return seen_.size(); }

private:
    std::vector<linkSpec> seen_;
};

/* Passes one specifier to the callback; returns the callback's verdict and
 * counts a hit in *hits. */
bool aDiscovery_Report(aDiscoveryModuleFoundProc callback, void* reference, const linkSpec& spec, int* hits);

/* The beacon search (CZMQ, portable). */
int aDiscovery_EnumerateBeacons(aDiscoveryModuleFoundProc callback, void* reference, uint32_t interfaceAddress);

/* The host's broadcast-capable IPv4 interfaces as CZMQ lists them, with their
 * netmasks (both network byte order); returns the count. Interfaces whose
 * netmask cannot be read are left out. */
int aDiscovery_GetIPv4Networks(uint32_t* addresses, uint32_t* masks, int maximum);

/* Milliseconds on a monotonic clock, for the searches' deadlines. */
uint64_t aDiscovery_NowMs(void);

#endif
