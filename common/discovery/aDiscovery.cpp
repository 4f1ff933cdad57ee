/* Discovery: the transport dispatch, the convenience searches, the parsers of
 * what the network sends, the seen list, the beacon search through CZMQ and
 * the beacon interface lock. The socket and USB work is in unix/. */
#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <mutex>
#include <string>

#include <czmq.h>

#include "aDiscovery.h"
#include "aDiscoveryPlatform.h"
#include "aDiscoveryPrivate.h"

/* ---- helpers shared by the searches */

uint64_t aDiscovery_NowMs(void)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

bool aDiscovery_Report(aDiscoveryModuleFoundProc callback, void* reference, const linkSpec& spec, int* hits)
{
    /* The callback gets its own copy: what it does to it cannot reach our state. */
    linkSpec copy = spec;
    bool found = false;
    bool goOn = callback(&copy, &found, reference);
    if (found) ++*hits;
    return goOn;
}

bool aDiscoverySeenList::add(const linkSpec& spec)
{
    for (const linkSpec& s : seen_)
        if (s.serial_num == spec.serial_num && s.ip_address == spec.ip_address && s.ip_port == spec.ip_port &&
            s.type == spec.type)
            return false;
    if (seen_.size() >= kLimit) return false;
    seen_.push_back(spec);
    return true;
}

/* ---- parsers */

namespace {

uint32_t sLittle32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int sHexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool aDiscovery_ParseEthernetReply(const uint8_t* bytes, size_t length, uint32_t senderAddress, linkSpec* spec)
{
    if (bytes == nullptr || spec == nullptr || length != aDISCOVERY_ETHERNET_REPLY_SIZE) return false;
    linkSpec s {};
    s.type = TCPIP;
    s.serial_num = sLittle32(bytes + 4);
    s.router_serial_num = s.serial_num;
    s.module = bytes[1];
    s.router = bytes[1];
    s.model = bytes[12];
    s.ip_address = senderAddress;
    s.ip_port = (uint32_t)bytes[2] | (uint32_t)bytes[3] << 8;
    *spec = s;
    return true;
}

bool aDiscovery_ParseAnnouncement(const uint8_t* bytes, size_t length, linkSpec* spec)
{
    if (bytes == nullptr || spec == nullptr || length != aDISCOVERY_ANNOUNCEMENT_SIZE) return false;
    const uint32_t type = sLittle32(bytes);
    const uint32_t port = sLittle32(bytes + 28);
    /* Servers announce networked links only; anything else (a USB or serial
     * record, whose 100-byte port name would come straight from the sender)
     * or a port a connection cannot use is not an announcement. */
    if (type < ZEPHYL || type > ZEPHYL_SERIAL || port == 0 || port > 0xFFFF) return false;
    linkSpec s {};
    s.type = (linkType)type;
    s.serial_num = sLittle32(bytes + 4);
    s.module = sLittle32(bytes + 8);
    s.router = sLittle32(bytes + 12);
    s.router_serial_num = sLittle32(bytes + 16);
    s.model = sLittle32(bytes + 20);
    memcpy(&s.ip_address, bytes + 24, 4); /* network byte order as it stands */
    s.ip_port = port;
    *spec = s;
    return true;
}

bool aDiscovery_ParseUSBSerial(const char* text, size_t length, uint32_t* serialNumber)
{
    if (text == nullptr || serialNumber == nullptr || length != 8) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        int digit = sHexDigit(text[i]);
        if (digit < 0) return false;
        value = value << 4 | (uint32_t)digit;
    }
    *serialNumber = value;
    return true;
}

/* ---- dispatch and convenience searches */

int aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                uint32_t interfaceAddress)
{
    if (callback == nullptr) return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(callback, reference, nullptr);
    case TCPIP:
        return aDiscovery_EnumerateEthernetModules(callback, reference, interfaceAddress, nullptr);
    case ZEPHYL:
    case ZEPHYL_USB:
    case ZEPHYL_TCPIP:
    case ZEPHYL_SERIAL:
        return aDiscovery_Enumerate_ZephylModules(callback, reference, interfaceAddress);
    default:
        return 0;
    }
}

int aDiscovery_Enumerate_ZephylModules(aDiscoveryModuleFoundProc callback, void* reference,
                                       uint32_t interfaceAddress)
{
    if (callback == nullptr) return 0;
    const bool localOnly = interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK);
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    const int count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (localOnly || count == 0) return aDiscovery_EnumerateLoopback(callback, reference);
    return aDiscovery_EnumerateBeacons(callback, reference, interfaceAddress);
}

namespace {

struct sFind {
    bool any; /* first non-zero serial number */
    uint32_t serialNumber;
    linkSpec* result;
};

bool sFindCallback(const linkSpec* spec, bool* found, void* reference)
{
    sFind* find = (sFind*)reference;
    const bool match = find->any ? spec->serial_num != 0 : spec->serial_num == find->serialNumber;
    if (!match) return true;
    find->result = aLinkSpec_Copy(*spec);
    *found = true;
    return false;
}

linkSpec* sFindModule(linkType type, bool any, uint32_t serialNumber, uint32_t interfaceAddress)
{
    sFind find {any, serialNumber, nullptr};
    aDiscovery_EnumerateModules(type, sFindCallback, &find, interfaceAddress);
    return find.result;
}

} // namespace

int aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* reference,
                                   aDiscoveryUSBReport* report)
{
    if (report != nullptr) *report = aDiscoveryUSBReport {};
    if (callback == nullptr) return 0;
    return aDiscovery_EnumerateUSB(callback, reference, report);
}

int aDiscovery_CheckUSBAccess(aDiscoveryUSBAccessProc callback, void* reference)
{
    if (callback == nullptr) return 0;
    return aDiscovery_CheckUSB(callback, reference);
}

aErr aDiscovery_LocateModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress, linkSpec** spec)
{
    if (spec == nullptr) return aErrParam;
    *spec = nullptr;
    sFind find {false, serialNumber, nullptr};
    aDiscoveryUSBReport report {};
    if (type == USB)
        aDiscovery_EnumerateUSB(sFindCallback, &find, &report);
    else
        aDiscovery_EnumerateModules(type, sFindCallback, &find, interfaceAddress);
    if (find.result == nullptr) return report.denied > 0 ? aErrPermission : aErrNotFound;
    *spec = find.result;
    return aErrNone;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress)
{
    return sFindModule(type, false, serialNumber, interfaceAddress);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress)
{
    return sFindModule(type, true, 0, interfaceAddress);
}

/* ---- interfaces */

namespace {

/* CZMQ installs its own SIGINT/SIGTERM handlers on first use, and they only
 * set a flag: a user's Ctrl-C would no longer end the program after a beacon
 * search. Keep the process's own signal handling. */
void sCzmqInit()
{
    static std::once_flag once;
    std::call_once(once, [] { zsys_handler_set(nullptr); });
}

} // namespace

namespace {

/* One pass over CZMQ's interface list; `masks` may be null. */
int sListInterfaces(uint32_t* addresses, uint32_t* masks, int maximum)
{
    if (addresses == nullptr || maximum <= 0) return 0;
    sCzmqInit();
    ziflist_t* list = ziflist_new();
    if (list == nullptr) return 0;
    int count = 0;
    for (const char* name = ziflist_first(list); name != nullptr && count < maximum; name = ziflist_next(list)) {
        in_addr address {}, mask {};
        const char* text = ziflist_address(list);
        if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) continue;
        if (masks != nullptr) {
            const char* maskText = ziflist_netmask(list);
            if (maskText == nullptr || inet_pton(AF_INET, maskText, &mask) != 1) continue;
            masks[count] = mask.s_addr;
        }
        addresses[count++] = address.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

} // namespace

int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int maximum)
{
    return sListInterfaces(addresses, nullptr, maximum);
}

int aDiscovery_GetIPv4Networks(uint32_t* addresses, uint32_t* masks, int maximum)
{
    return masks == nullptr ? 0 : sListInterfaces(addresses, masks, maximum);
}

int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    if (buffer == nullptr || size < INET_ADDRSTRLEN) return 0;
    in_addr a {};
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, buffer, (socklen_t)size) == nullptr) return 0;
    return (int)strlen(buffer);
}

/* ---- the beacon interface */

namespace {

struct sBeaconInterface {
    pthread_mutex_t mutex;
    std::string backup;
    sBeaconInterface()
    {
        /* Error-checking: a second lock by the holder, or an unlock by another
         * thread, is refused instead of deadlocking or corrupting the lock. */
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
        backup.reserve(100);
    }
};

/* Made during static set-up, before any thread can race for it. */
sBeaconInterface& sState()
{
    static sBeaconInterface state;
    return state;
}
[[maybe_unused]] sBeaconInterface& sStateAtStart = sState();

bool sValidInterface(const char* text)
{
    if (text == nullptr) return false;
    if (text[0] == '\0' || strcmp(text, "*") == 0) return true;
    in_addr address {};
    return inet_pton(AF_INET, text, &address) == 1;
}

bool sLock()
{
    return pthread_mutex_lock(&sState().mutex) == 0;
}

} // namespace

const char* zBeaconInterface_get(void)
{
    sCzmqInit();
    const char* text = zsys_interface();
    return text != nullptr ? text : "";
}

bool zBeaconInterface_setAndLock(const char* interfaceText)
{
    if (!sValidInterface(interfaceText) || !sLock()) return false;
    sCzmqInit();
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_unlock(void)
{
    pthread_mutex_unlock(&sState().mutex);
}

bool zBeaconInterface_backupSetAndLock(const char* interfaceText)
{
    if (!sValidInterface(interfaceText) || !sLock()) return false;
    sState().backup = zBeaconInterface_get();
    zsys_set_interface(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void)
{
    sCzmqInit();
    zsys_set_interface(sState().backup.c_str());
    zBeaconInterface_unlock();
}

const char* zBeaconInterface_getAndLock(void)
{
    sLock();
    return zBeaconInterface_get();
}

const char* zBeaconInterface_getBackup(void)
{
    return sState().backup.c_str();
}

const char* zBeaconInterface_getBackupAndLock(void)
{
    sLock();
    return zBeaconInterface_getBackup();
}

/* ---- beacon search */

int aDiscovery_EnumerateBeacons(aDiscoveryModuleFoundProc callback, void* reference, uint32_t interfaceAddress)
{
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof text) == 0) return 0;
    if (!zBeaconInterface_backupSetAndLock(text)) return 0;

    int hits = 0;
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon != nullptr) {
        zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
        char* host = zstr_recv(beacon);
        /* An empty host: CZMQ found no broadcast interface, nothing can come. */
        if (host != nullptr && host[0] != '\0') {
            zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_PAYLOAD,
                       strlen(aDISCOVERY_BEACON_PAYLOAD), aDISCOVERY_BEACON_PERIOD_MS);
            zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);

            /* The search lasts 22 periods of time, not 22 messages: a burst of
             * foreign beacons must not end it before the servers, which start
             * answering only once they hear us, have been heard. */
            aDiscoverySeenList seen;
            const uint64_t end = aDiscovery_NowMs() + aDISCOVERY_BEACON_PERIODS * aDISCOVERY_BEACON_PERIOD_MS;
            for (uint64_t now = aDiscovery_NowMs(); now < end; now = aDiscovery_NowMs()) {
                const uint64_t left = end - now;
                zsock_set_rcvtimeo(beacon, (int)(left < aDISCOVERY_BEACON_PERIOD_MS ? left
                                                                                      : aDISCOVERY_BEACON_PERIOD_MS));
                zmsg_t* message = zmsg_recv(beacon);
                if (message == nullptr) continue;
                bool goOn = true;
                zframe_t* frame = zmsg_size(message) == 2 ? zmsg_last(message) : nullptr;
                linkSpec spec;
                if (frame != nullptr && aDiscovery_ParseAnnouncement(zframe_data(frame), zframe_size(frame), &spec) &&
                    seen.add(spec))
                    goOn = aDiscovery_Report(callback, reference, spec, &hits);
                zmsg_destroy(&message);
                if (!goOn) break;
            }
            zstr_sendx(beacon, "SILENCE", nullptr);
            zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
        }
        zstr_free(&host);
        zactor_destroy(&beacon);
    }
    zBeaconInterface_restoreAndUnlock();
    return hits;
}
