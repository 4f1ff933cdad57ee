/* The two socket searches: Ethernet modules answering a multicast request on
 * the local network, and networked-link servers on this host answering on
 * their loopback multicast slots. An Ethernet reply is believed only when it
 * comes back on the socket that asked, from the asking interface's subnet. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "aDiscovery.h"
#include "aDiscoveryPlatform.h"
#include "aDiscoveryPrivate.h"

#define aETHERNET_QUIET_MS 2000

namespace {

/* The reply port is fixed by the protocol: Ethernet searches of one process
 * take turns on it instead of finding each other's socket in the way. */
std::mutex sEthernetSearchTurn;

/* One interface asked: its socket and its subnet. */
struct sAsked {
    int fd;
    uint32_t address; /* network byte order, as the mask */
    uint32_t mask;
};

/* The interfaces to ask: every listed one, or the one named (when the host
 * has it). Without its netmask an interface's replies could not be checked,
 * so one that is not listed is not asked. */
std::vector<sAsked> sInterfacesToAsk(uint32_t interfaceAddress, bool everyInterface)
{
    uint32_t addresses[aDISCOVERY_MAX_INTERFACES];
    uint32_t masks[aDISCOVERY_MAX_INTERFACES];
    const int count = aDiscovery_GetIPv4Networks(addresses, masks, aDISCOVERY_MAX_INTERFACES);
    std::vector<sAsked> asked;
    for (int i = 0; i < count; ++i) {
        if (addresses[i] == 0 || addresses[i] == htonl(INADDR_LOOPBACK)) continue;
        if (!everyInterface && addresses[i] != interfaceAddress) continue;
        asked.push_back({-1, addresses[i], masks[i]});
    }
    return asked;
}

/* Binds the interface's own socket to its address on the reply port, reuse
 * off: no other socket may share the port there, so replies to our request
 * reach this socket alone. Then sends the request through the interface.
 * The descriptor, or -1 (errno EADDRINUSE when the port is held). */
int sAsk(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int off = 0;
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_ETHERNET_REPLY_PORT);
    local.sin_addr.s_addr = interfaceAddress;
    in_addr outgoing {};
    outgoing.s_addr = interfaceAddress;
    sockaddr_in group {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_ETHERNET_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_ETHERNET_GROUP, &group.sin_addr);
    const uint8_t request[16] = {1};
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0 ||
        bind(fd, (sockaddr*)&local, sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0 ||
        sendto(fd, request, sizeof request, 0, (sockaddr*)&group, sizeof group) != (ssize_t)sizeof request) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/* Reads one datagram from an interface's socket and reports it when it is a
 * reply from that interface's subnet and the limit is not reached. False when
 * the callback says stop. */
bool sTakeReply(const sAsked& asked, aDiscoveryModuleFoundProc callback, void* reference, int* hits,
                aDiscoveryEthernetReport& report)
{
    /* Room for more than a reply, so a longer datagram is seen as such
     * instead of being cut to a reply's size. */
    uint8_t datagram[aDISCOVERY_ETHERNET_REPLY_SIZE + 1];
    sockaddr_in from {};
    socklen_t fromLength = sizeof from;
    ssize_t got = recvfrom(asked.fd, datagram, sizeof datagram, MSG_DONTWAIT, (sockaddr*)&from, &fromLength);
    if (got < 0) return true;
    linkSpec spec;
    if (!aDiscovery_ParseEthernetReply(datagram, (size_t)got, from.sin_addr.s_addr, &spec)) {
        ++report.malformed;
    } else if (((from.sin_addr.s_addr ^ asked.address) & asked.mask) != 0) {
        ++report.outsideSubnet;
    } else if (report.reported >= aDISCOVERY_ETHERNET_MAX_REPLIES) {
        ++report.overLimit;
    } else {
        ++report.reported;
        return aDiscovery_Report(callback, reference, spec, hits);
    }
    return true;
}

/* Replies until 2 s pass without a datagram, the overall limit passes or the
 * callback says stop: a sender that never pauses cannot keep it going. */
int sCollectReplies(const std::vector<sAsked>& asked, aDiscoveryModuleFoundProc callback, void* reference,
                    aDiscoveryEthernetReport& report)
{
    std::vector<pollfd> polls;
    for (const sAsked& a : asked) polls.push_back({a.fd, POLLIN, 0});
    int hits = 0;
    const uint64_t end = aDiscovery_NowMs() + aDISCOVERY_ETHERNET_LIMIT_MS;
    for (uint64_t now = aDiscovery_NowMs(); now < end; now = aDiscovery_NowMs()) {
        const uint64_t left = end - now;
        const int ready = poll(polls.data(), polls.size(), (int)(left < aETHERNET_QUIET_MS ? left : aETHERNET_QUIET_MS));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        for (size_t i = 0; i < polls.size(); ++i)
            if ((polls[i].revents & POLLIN) != 0 && !sTakeReply(asked[i], callback, reference, &hits, report))
                return hits;
    }
    return hits;
}

} // namespace

int aDiscovery_EnumerateEthernetModules(aDiscoveryModuleFoundProc callback, void* reference,
                                        uint32_t interfaceAddress, aDiscoveryEthernetReport* report)
{
    aDiscoveryEthernetReport account {};
    if (report != nullptr) *report = account;
    if (callback == nullptr) return 0;
    const std::lock_guard<std::mutex> turn(sEthernetSearchTurn);
    const bool everyInterface = interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK);
    std::vector<sAsked> asked;
    for (sAsked& a : sInterfacesToAsk(interfaceAddress, everyInterface)) {
        a.fd = sAsk(a.address);
        if (a.fd >= 0) {
            asked.push_back(a);
        } else if (errno == EADDRINUSE) {
            if (account.portsBusy++ == 0) account.busyAddress = a.address;
        }
    }
    account.requests = (int)asked.size();

    int hits = 0;
    if (!asked.empty()) hits = sCollectReplies(asked, callback, reference, account);
    for (sAsked& a : asked) close(a.fd);
    if (report != nullptr) *report = account;
    return hits;
}

int aDiscovery_EnumerateLoopback(aDiscoveryModuleFoundProc callback, void* reference)
{
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    in_addr group {};
    inet_pton(AF_INET, aDISCOVERY_LOCAL_GROUP, &group);
    const uint8_t request[4] = {aDISCOVERY_LOCAL_REQUEST & 0xFF, (aDISCOVERY_LOCAL_REQUEST >> 8) & 0xFF,
                                (aDISCOVERY_LOCAL_REQUEST >> 16) & 0xFF, aDISCOVERY_LOCAL_REQUEST >> 24};
    aDiscoverySeenList seen;
    int hits = 0;
    bool goOn = true;
    for (int slot = 0; slot < aDISCOVERY_LOCAL_SLOTS && goOn; ++slot) {
        const uint16_t requestPort = (uint16_t)(aDISCOVERY_LOCAL_REQUEST_PORT + slot);
        aMulticastSocket* probe = aMulticast_Create(loopback, group.s_addr, requestPort, false);
        if (probe != nullptr) { /* nobody holds the slot */
            aMulticast_Destroy(&probe);
            continue;
        }
        if (errno != EADDRINUSE) continue; /* the slot cannot be tried at all */
        aMulticastSocket* answers =
            aMulticast_Create(loopback, group.s_addr, (uint16_t)(aDISCOVERY_LOCAL_RESPONSE_PORT + slot), false);
        aMulticastSocket* requests = aMulticast_Create(loopback, group.s_addr, requestPort, true);
        if (answers != nullptr && requests != nullptr &&
            aMulticast_Send(requests, request, sizeof request) == (int)sizeof request) {
            /* Wait for one good answer within the slot's second; whatever else
             * turns up on the port meanwhile is skipped. */
            const uint64_t end = aDiscovery_NowMs() + aDISCOVERY_LOCAL_SLOT_MS;
            for (uint64_t now = aDiscovery_NowMs(); now < end; now = aDiscovery_NowMs()) {
                uint8_t answer[aDISCOVERY_ANNOUNCEMENT_SIZE + 1];
                int got = aMulticast_ReceiveWithin(answers, answer, sizeof answer, (int)(end - now));
                if (got < 0) break;
                linkSpec spec;
                if (!aDiscovery_ParseAnnouncement(answer, (size_t)got, &spec) || spec.ip_address != loopback)
                    continue;
                if (seen.add(spec)) goOn = aDiscovery_Report(callback, reference, spec, &hits);
                break;
            }
        }
        aMulticast_Destroy(&answers);
        aMulticast_Destroy(&requests);
    }
    return hits;
}
