/* IPv4 multicast sockets for the loopback search and the networked-link
 * server's responder. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "aMulticast.h"

#define aMULTICAST_VALIDITY 0xFACE
#define aMULTICAST_RECEIVE_MS 1000

struct aMulticastSocket {
    uint16_t validity;
    bool sender;
    int fd;
    sockaddr_in group;
};

namespace {

bool sValid(const aMulticastSocket* s)
{
    return s != nullptr && s->validity == aMULTICAST_VALIDITY;
}

/* Closes the descriptor without losing the errno of the step that failed
 * (the loopback search tells a taken port from other failures by it). */
void sFail(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

} // namespace

aMulticastSocket* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender)
{
    if (interfaceAddress == 0) interfaceAddress = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int off = 0, on = 1, ttl = 1;
    /* Reuse off: a second receiver on the port must fail, which is how a
     * searcher tells that a server holds a slot. */
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) return sFail(fd), nullptr;
    if (!sender) {
        sockaddr_in bindAddress {};
        bindAddress.sin_family = AF_INET;
        bindAddress.sin_addr.s_addr = htonl(INADDR_ANY);
        bindAddress.sin_port = htons(port);
        if (bind(fd, (sockaddr*)&bindAddress, sizeof bindAddress) != 0) return sFail(fd), nullptr;
    }
    ip_mreq membership {};
    membership.imr_multiaddr.s_addr = groupAddress;
    membership.imr_interface.s_addr = interfaceAddress;
    in_addr outgoing {};
    outgoing.s_addr = interfaceAddress;
    timeval timeout {aMULTICAST_RECEIVE_MS / 1000, (aMULTICAST_RECEIVE_MS % 1000) * 1000};
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) != 0)
        return sFail(fd), nullptr;

    aMulticastSocket* s = new (std::nothrow) aMulticastSocket;
    if (s == nullptr) return sFail(fd), nullptr;
    s->validity = aMULTICAST_VALIDITY;
    s->sender = sender;
    s->fd = fd;
    s->group = sockaddr_in {};
    s->group.sin_family = AF_INET;
    s->group.sin_addr.s_addr = groupAddress;
    s->group.sin_port = htons(port);
    return s;
}

int aMulticast_Send(aMulticastSocket* socket, const uint8_t* bytes, size_t length)
{
    if (!sValid(socket)) return -2;
    if (!socket->sender) return -3;
    if (bytes == nullptr && length != 0) return -1;
    ssize_t sent = sendto(socket->fd, bytes, length, 0, (const sockaddr*)&socket->group, sizeof socket->group);
    return sent < 0 ? -1 : (int)sent;
}

int aMulticast_ReceiveWithin(aMulticastSocket* socket, uint8_t* buffer, size_t size, int timeoutMs)
{
    if (!sValid(socket)) return -2;
    if (socket->sender) return -3;
    if (buffer == nullptr) return -1;
    pollfd p {socket->fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    ssize_t got = recv(socket->fd, buffer, size, MSG_DONTWAIT);
    return got < 0 ? -1 : (int)got;
}

int aMulticast_Receive(aMulticastSocket* socket, uint8_t* buffer, size_t size)
{
    return aMulticast_ReceiveWithin(socket, buffer, size, aMULTICAST_RECEIVE_MS);
}

int aMulticast_Destroy(aMulticastSocket** socket)
{
    if (socket == nullptr || !sValid(*socket)) return -2;
    close((*socket)->fd);
    (*socket)->validity = 0;
    delete *socket;
    *socket = nullptr;
    return 0;
}
