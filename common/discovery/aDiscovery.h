/* Discovery: which modules can be reached, and how. Modules on USB, Ethernet
 * modules answering a multicast request on the local network, and modules
 * shared by networked-link servers in other processes (loopback multicast
 * request, or CZMQ beacons on another interface) are reported one linkSpec at
 * a time to a caller's callback.
 *
 * Threads: an enumeration runs on the caller's thread and calls the callback
 * there. Several threads may enumerate at once; beacon searches are
 * serialised by the beacon interface mutex. Every search ends on its own
 * within a bounded time (see each call), whatever the network sends.
 *
 * Failures are not errors here: sockets that cannot be opened, devices that
 * cannot be read and malformed answers are skipped, and the count of hits is
 * returned. */
#ifndef TARNIX_ADISCOVERY_H
#define TARNIX_ADISCOVERY_H

#include <stddef.h>
#include <stdint.h>

#include "aDefs.h"
#include "aError.h"
#include "aMulticast.h"
#include "aProtocol.h"

/* Called once per module found. `spec` is valid only during the call (copy it
 * to keep it); set *found when it counts as a hit; return true to go on with
 * the enumeration, false to stop it at once. */
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* reference);

/* Enumerates the modules reachable by `type` and returns the number of hits.
 * USB: every Tarnix device on the shared libusb context whose serial string is
 * exactly eight hexadecimal digits (as long as reading the descriptors takes).
 * TCPIP: Ethernet discovery through `interfaceAddress` (IPv4, network byte
 * order; 0 or 127.0.0.1 mean every interface), as
 * aDiscovery_EnumerateEthernetModules; it ends 2 s after the last reply and
 * never later than aDISCOVERY_ETHERNET_LIMIT_MS after it started.
 * ZEPHYL to ZEPHYL_SERIAL: aDiscovery_Enumerate_ZephylModules. Other types: 0.
 * A null callback finds nothing. */
int aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                uint32_t interfaceAddress);

/* Networked-link servers. With `interfaceAddress` 0 or 127.0.0.1, or when the
 * host has no IPv4 interface: the loopback multicast search over the 50 server
 * slots (at most 1 s per occupied slot), reporting only specifiers at
 * 127.0.0.1. Otherwise: a beacon search on that interface, holding the beacon
 * interface mutex for its length (about 2.2 s). Each specifier is reported
 * once per search. */
int aDiscovery_Enumerate_ZephylModules(aDiscoveryModuleFoundProc callback, void* reference,
                                       uint32_t interfaceAddress);

/* A new copy of the first specifier of `type` whose serial number equals
 * `serialNumber` (the search stops there), or null after a full search that
 * found none. The caller frees it with aLinkSpec_Destroy. */
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress);
/* The same for the first specifier with a non-zero serial number. */
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress);

/* What a USB search could not look at. */
typedef struct aDiscoveryUSBReport {
    int denied; /* Tarnix devices the system refused to open, so their serial numbers are unknown */
} aDiscoveryUSBReport;

/* The USB case of aDiscovery_EnumerateModules with an account of the devices
 * it could not read; `report` may be null, else it is filled in full (zeroed
 * first). Same threads and bounds. */
int aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* reference,
                                   aDiscoveryUSBReport* report);

/* One Tarnix device on USB and whether this process may use it. */
typedef struct aDiscoveryUSBAccess {
    uint16_t vendor;
    uint16_t product;
    uint8_t bus;
    uint8_t address;
    char node[64];         /* its device node, "/dev/bus/usb/BBB/DDD" */
    aErr access;           /* aErrNone: opened read-write; aErrPermission: the system refused;
                              aErrNotFound: gone meanwhile; aErrIO: another failure */
    uint32_t serialNumber; /* 0 when it could not be read */
} aDiscoveryUSBAccess;

/* Called once per device; `device` is valid only during the call. Return
 * true to go on, false to stop. */
typedef bool (*aDiscoveryUSBAccessProc)(const aDiscoveryUSBAccess* device, void* reference);

/* Opens every Tarnix device on the shared libusb context read-write, as a
 * link would (no interface is claimed, so a module another process uses
 * still counts as reachable), closes it again and reports each. Returns the
 * number of devices reported; 0 also when libusb cannot start or the callback
 * is null. Any thread; as long as reading the descriptors takes. */
int aDiscovery_CheckUSBAccess(aDiscoveryUSBAccessProc callback, void* reference);

/* aDiscovery_FindModule with the reason when there is none: aErrNone and a
 * new copy in *spec (the caller frees it with aLinkSpec_Destroy), aErrNotFound
 * after a full search that found none, aErrPermission when (USB) none was
 * found while the system refused to open a Tarnix device, which may have been
 * it; aErrParam for a null spec. */
aErr aDiscovery_LocateModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress, linkSpec** spec);

/* Forgets the USB devices seen so far: the next USB search or open enumerates
 * the bus afresh, which is how a module that restarted (and came back as a new
 * device) is seen. Links open now keep working. Any thread; cannot fail. */
void aDiscovery_RefreshUSB(void);

/* Fills `addresses` with up to `maximum` IPv4 addresses (network byte order)
 * of the host's broadcast-capable, non-loopback interfaces, as CZMQ lists
 * them; returns the count (0 for a null array). */
int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int maximum);
/* Writes `address` (network byte order) as dotted text into `buffer`; returns
 * its length, or 0 when `size` is below 16 or the conversion fails. */
int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

/* The whole Ethernet search is bounded: a reply stream that never pauses for
 * 2 s still ends it here. */
#define aDISCOVERY_ETHERNET_LIMIT_MS 4000
/* At most this many replies are reported by one Ethernet search; the rest are
 * dropped (and counted), so a flood of answers cannot grow a caller's list
 * without end. */
#define aDISCOVERY_ETHERNET_MAX_REPLIES 128
/* The Ethernet exchange's group and ports are in aProtocol.h; the searcher
 * holds the reply port alone on each interface it asks through. */

/* What one Ethernet search did besides the replies it reported. */
typedef struct aDiscoveryEthernetReport {
    int requests;      /* interfaces a request went out through */
    int reported;      /* replies passed to the callback */
    int outsideSubnet; /* replies from outside the asking interface's subnet, dropped */
    int malformed;     /* datagrams of another size, dropped */
    int overLimit;     /* replies past aDISCOVERY_ETHERNET_MAX_REPLIES, dropped */
    int portsBusy;     /* interfaces not asked: another socket holds the reply port there */
    uint32_t busyAddress; /* the first such interface (network byte order), 0 when none */
} aDiscoveryEthernetReport;

/* Ethernet discovery (the TCPIP case of aDiscovery_EnumerateModules) with an
 * account of what it dropped. Each interface asked (every broadcast-capable
 * IPv4 interface when `interfaceAddress` is 0 or 127.0.0.1, else that one
 * interface when the host has it) gets its own socket, bound to its address
 * on the reply port with address reuse off: the request goes out on it, and
 * only a reply that comes back on it from an address in that interface's
 * subnet is reported. An interface whose reply port another socket holds is
 * not asked (counted in portsBusy). Returns the number of hits; `report` may
 * be null, else it is filled in full (zeroed first). Any thread: searches of
 * one process run one at a time (a second waits for the first to end), each
 * bounded as the TCPIP search above. */
int aDiscovery_EnumerateEthernetModules(aDiscoveryModuleFoundProc callback, void* reference,
                                        uint32_t interfaceAddress, aDiscoveryEthernetReport* report);

/* Pure parsers of what the network sends, used by the searches (and fuzzed).
 * Ethernet reply: exactly 16 bytes (little-endian: byte 1 module address,
 * 2-3 TCP port, 4-7 serial number, 12 model) from `senderAddress`; gives a
 * TCPIP specifier. False (and *spec untouched) for any other size or null
 * arguments. */
bool aDiscovery_ParseEthernetReply(const uint8_t* bytes, size_t length, uint32_t senderAddress,
                                   linkSpec* spec);
/* A networked-link server's announcement (loopback multicast answer or
 * beacon): exactly 128 bytes, a linkSpec record with little-endian fields.
 * Accepted only when its type is a networked link (4 to 7) and its port fits
 * in 16 bits and is not 0; the specifier keeps type, serial number, module,
 * router, router serial, model, address and port, and the rest is zero (the
 * sender's other bytes are never passed on). False (and *spec untouched)
 * otherwise. */
bool aDiscovery_ParseAnnouncement(const uint8_t* bytes, size_t length, linkSpec* spec);
/* A USB serial string of exactly eight hexadecimal digits, read as a number.
 * False for any other length or character. */
bool aDiscovery_ParseUSBSerial(const char* text, size_t length, uint32_t* serialNumber);

/* CZMQ's beacon interface, a process-wide setting, under a process-wide
 * mutex. A valid setting is a dotted IPv4 address, "" (CZMQ's choice) or "*".
 * The locking calls must be paired by the same thread (set/unlock,
 * backupSet/restoreAndUnlock); the mutex is not recursive: a thread that
 * already holds it gets false. */
bool zBeaconInterface_setAndLock(const char* interfaceText);
void zBeaconInterface_unlock(void);
bool zBeaconInterface_backupSetAndLock(const char* interfaceText);
void zBeaconInterface_restoreAndUnlock(void);
/* The current and the backup setting. The texts stay valid until the setting
 * (or backup) next changes, so read them while holding the mutex when another
 * thread may change them; the "AndLock" forms take it first (release it with
 * zBeaconInterface_unlock). */
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

#endif
