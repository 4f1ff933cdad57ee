/* The two socket searches: Ethernet modules answering a multicast request on
 * the local network, and networked-link servers on this host answering on
 * their loopback multicast slots. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "aDiscovery.h"
#include "aDiscoveryPrivate.h"

#define aETHERNET_GROUP "232.2.2.2"
#define aETHERNET_REQUEST_PORT 9888
#define aETHERNET_REPLY_PORT 9889
#define aETHERNET_QUIET_MS 2000

namespace {

/* One request through one interface, on a fresh socket. True when it went out. */
bool sSendEthernetRequest(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int on = 1;
    in_addr outgoing {};
    outgoing.s_addr = interfaceAddress;
    sockaddr_in group {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aETHERNET_REQUEST_PORT);
    inet_pton(AF_INET, aETHERNET_GROUP, &group.sin_addr);
    uint8_t request[16] = {1};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
                sendto(fd, request, sizeof request, 0, (sockaddr*)&group, sizeof group) == (ssize_t)sizeof request;
    close(fd);
    return sent;
}

int sOpenReplyListener(uint32_t address)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aETHERNET_REPLY_PORT);
    local.sin_addr.s_addr = address;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, (sockaddr*)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int aDiscovery_EnumerateEthernet(aDiscoveryModuleFoundProc callback, void* reference, uint32_t interfaceAddress)
{
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const bool everyInterface = interfaceAddress == 0 || interfaceAddress == loopback;
    int listener = sOpenReplyListener(everyInterface ? htonl(INADDR_ANY) : interfaceAddress);

    int sent = 0;
    if (!everyInterface) {
        sent += sSendEthernetRequest(interfaceAddress);
    } else {
        uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
        const int count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
        for (int i = 0; i < count; ++i)
            if (interfaces[i] != 0 && interfaces[i] != loopback) sent += sSendEthernetRequest(interfaces[i]);
        if (count == 0) sent += sSendEthernetRequest(htonl(INADDR_ANY));
    }

    int hits = 0;
    if (listener >= 0 && sent > 0) {
        /* Ends 2 s after the last datagram, and in any case at the overall
         * limit: a sender that never pauses cannot keep the search going. */
        const uint64_t end = aDiscovery_NowMs() + aDISCOVERY_ETHERNET_LIMIT_MS;
        for (uint64_t now = aDiscovery_NowMs(); now < end; now = aDiscovery_NowMs()) {
            const uint64_t left = end - now;
            pollfd p {listener, POLLIN, 0};
            if (poll(&p, 1, (int)(left < aETHERNET_QUIET_MS ? left : aETHERNET_QUIET_MS)) <= 0) break;
            /* Room for more than a reply, so a longer datagram is seen as
             * such instead of being cut to a reply's size. */
            uint8_t datagram[aDISCOVERY_ETHERNET_REPLY_SIZE + 1];
            sockaddr_in from {};
            socklen_t fromLength = sizeof from;
            ssize_t got = recvfrom(listener, datagram, sizeof datagram, MSG_DONTWAIT, (sockaddr*)&from, &fromLength);
            if (got < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                break;
            }
            linkSpec spec;
            if (aDiscovery_ParseEthernetReply(datagram, (size_t)got, from.sin_addr.s_addr, &spec) &&
                !aDiscovery_Report(callback, reference, spec, &hits))
                break;
        }
    }
    if (listener >= 0) close(listener);
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
