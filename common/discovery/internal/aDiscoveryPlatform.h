/* Inside discovery: the platform enumerators (unix/), one per transport that
 * needs the operating system's own interfaces. Only the portable part
 * (aDiscovery.cpp) calls them; they call back only into aDiscoveryPrivate.h
 * and the public parsers, never into each other.
 *
 * Each runs on the caller's thread, passes every module it finds through
 * aDiscovery_Report (which calls `callback`), stops when that returns false,
 * and returns the number of hits. Nothing is an error: sockets or devices it
 * cannot use are skipped. The Ethernet enumerator is public
 * (aDiscovery_EnumerateEthernetModules in aDiscovery.h). */
#ifndef TARNIX_ADISCOVERYPLATFORM_H
#define TARNIX_ADISCOVERYPLATFORM_H

#include "aDiscovery.h"

/* Every Tarnix device on the shared libusb context (unix/aDiscoveryUSB.cpp);
 * `report` may be null, else it is filled in full. */
int aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference, aDiscoveryUSBReport* report);
/* Every Tarnix device on it with the result of opening it (unix/aDiscoveryUSB.cpp). */
int aDiscovery_CheckUSB(aDiscoveryUSBAccessProc callback, void* reference);
/* The loopback multicast search over the server slots (unix/aDiscoveryNet.cpp). */
int aDiscovery_EnumerateLoopback(aDiscoveryModuleFoundProc callback, void* reference);

#endif
