/* TCP client stream. The socket is non-blocking; a get waits a few milliseconds
 * for a byte so an idle link does not spin, and takes all the socket holds at
 * once into a buffer that later gets read from (one reading thread). Reconnects run from either side
 * (reader or writer) and are serialised; I/O holds a shared lock so that a
 * descriptor is never closed under a call that is using it. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "aStreamTransport.h"

#define aSOCKET_VALIDITY 0xDEAD
#define aSOCKET_CONNECT_MS 5000 /* bound on a connect that gets no answer */
#define aSOCKET_BUSY_WAIT_MS 60
#define aSOCKET_MAX_RETRIES 10

namespace {

struct sSocket {
    uint16_t validity = aSOCKET_VALIDITY;
    uint16_t port = 0;
    sockaddr_in address{};
    std::atomic<int> fd{-1};
    std::atomic<uint32_t> flags{0}; /* bit 0: connected */
    std::atomic<uint32_t> generation{0}; /* counts connections, so a reconnect is not repeated */
    std::shared_mutex lock;
    /* Received but not yet read; the reading thread's alone. */
    uint8_t received[4096];
    size_t receivedLength = 0;
    size_t receivedAt = 0;
    uint32_t receivedGeneration = 0;
};

constexpr uint32_t kConnected = 1;

sSocket* sState(void* reference)
{
    sSocket* s = (sSocket*)reference;
    return (s != nullptr && s->validity == aSOCKET_VALIDITY) ? s : nullptr;
}

bool sIsConnected(const sSocket* s)
{
    return (s->flags.load() & kConnected) != 0;
}

void sClose(sSocket* s)
{
    int fd = s->fd.exchange(-1);
    if (fd >= 0) {
        s->flags &= ~kConnected;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

aErr sConnectError(int err)
{
    switch (err) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

/* Connects the stored address; caller holds the exclusive lock. */
aErr sConnect(sSocket* s)
{
    sClose(s);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    /* Connect without blocking, then wait for the outcome with a bound. */
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int rc = connect(fd, (const sockaddr*)&s->address, sizeof(s->address));
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, aSOCKET_CONNECT_MS);
        } while (ready < 0 && errno == EINTR);
        int soError = ETIMEDOUT;
        if (ready > 0) {
            socklen_t len = sizeof(soError);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                soError = errno;
        }
        rc = soError == 0 ? 0 : -1;
        errno = soError;
    }
    if (rc != 0) {
        aErr err = sConnectError(errno);
        close(fd);
        return err;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    timeval none{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
    linger discard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &discard, sizeof(discard));
    s->fd = fd;
    s->generation++;
    s->flags |= kConnected;
    return aErrNone;
}

/* Reconnects unless another caller already did since `seen` was read. */
aErr sReconnect(sSocket* s, uint32_t seen)
{
    std::unique_lock<std::shared_mutex> exclusive(s->lock);
    if (s->generation.load() != seen && sIsConnected(s))
        return aErrNone;
    s->flags &= ~kConnected;
    return sConnect(s);
}

bool sLostConnection(int err)
{
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

enum FillResult { kFillBytes, kFillNone, kFillClosed, kFillLost, kFillFailed };

/* Takes whatever the socket holds (up to the buffer) in one receive, waiting
 * briefly when it holds nothing, so a packet costs a syscall or two rather
 * than several per byte. */
FillResult sFill(sSocket* s, int fd)
{
    for (int pass = 0; pass < 2; ++pass) {
        ssize_t n = recv(fd, s->received, sizeof(s->received), MSG_DONTWAIT);
        if (n > 0) {
            s->receivedLength = (size_t)n;
            s->receivedAt = 0;
            return kFillBytes;
        }
        if (n == 0)
            return kFillClosed;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return sLostConnection(errno) ? kFillLost : kFillFailed;
        if (pass == 0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, aSTREAM_GET_WAIT_MS) <= 0)
                return kFillNone;
        }
    }
    return kFillNone;
}

aErr sSocketGet(uint8_t* byte, void* reference)
{
    sSocket* s = sState(reference);
    if (s == nullptr || byte == nullptr)
        return aErrParam;
    if (!sIsConnected(s))
        return aErrConnection;
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t seen;
        FillResult fill;
        {
            std::shared_lock<std::shared_mutex> shared(s->lock);
            seen = s->generation.load();
            int fd = s->fd.load();
            if (fd < 0)
                return aErrConnection;
            /* Bytes of an earlier connection are never served after a reconnect. */
            if (s->receivedGeneration != seen) {
                s->receivedGeneration = seen;
                s->receivedLength = s->receivedAt = 0;
            }
            if (s->receivedAt < s->receivedLength) {
                *byte = s->received[s->receivedAt++];
                return aErrNone;
            }
            fill = sFill(s, fd);
            if (fill == kFillBytes) {
                *byte = s->received[s->receivedAt++];
                return aErrNone;
            }
        }
        switch (fill) {
        case kFillNone:
            return aErrNotReady;
        case kFillClosed:
            /* The peer has gone: poll reports the socket readable at once from
             * now on, so wait out the bound here rather than spin. */
            std::this_thread::sleep_for(std::chrono::milliseconds(aSTREAM_GET_WAIT_MS));
            return aErrNotReady;
        case kFillFailed:
            return aErrConnection;
        case kFillLost:
            if (attempt == 0) {
                aErr err = sReconnect(s, seen);
                if (err != aErrNone)
                    return err;
            }
            break;
        default:
            break;
        }
    }
    return aErrConnection;
}

void sWaitWritable(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, ms);
}

aErr sSocketWrite(const uint8_t* bytes, size_t length, void* reference)
{
    sSocket* s = sState(reference);
    if (s == nullptr || bytes == nullptr)
        return aErrParam;
    size_t sent = 0;
    int retries = 0;
    while (sent < length) {
        if (retries >= aSOCKET_MAX_RETRIES)
            return aErrWrite; /* bytes left unsent after the retries */
        uint32_t seen;
        int sendErrno = 0;
        ssize_t n;
        {
            std::shared_lock<std::shared_mutex> shared(s->lock);
            seen = s->generation.load();
            int fd = s->fd.load();
            if (fd < 0) {
                n = -1;
                sendErrno = ENOTCONN;
            } else {
                n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                sendErrno = errno;
                if (n >= 0) {
                    sent += (size_t)n;
                    if (sent < length) {
                        retries = 1;
                        /* Wait for room rather than a fixed pause: same bound, less latency. */
                        sWaitWritable(fd, aSOCKET_BUSY_WAIT_MS);
                    }
                    continue;
                }
                if (sendErrno == EAGAIN || sendErrno == EWOULDBLOCK || sendErrno == EINTR) {
                    retries++;
                    sWaitWritable(fd, aSOCKET_BUSY_WAIT_MS);
                    continue;
                }
            }
        }
        if (sendErrno == EPIPE || sendErrno == ECONNRESET || sendErrno == ENOTCONN) {
            s->flags &= ~kConnected;
            aErr err = sReconnect(s, seen);
            if (err != aErrNone)
                return err;
            retries++;
            std::this_thread::sleep_for(std::chrono::milliseconds(aSOCKET_BUSY_WAIT_MS));
            continue;
        }
        return aErrIO;
    }
    return aErrNone;
}

aErr sSocketPut(uint8_t byte, void* reference)
{
    return sSocketWrite(&byte, 1, reference);
}

aErr sSocketDelete(void* reference)
{
    sSocket* s = sState(reference);
    if (s == nullptr)
        return aErrParam;
    int fd = s->fd.exchange(-1);
    if (fd >= 0)
        close(fd);
    s->validity = 0;
    delete s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream)
{
    if (stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    sSocket* s = new (std::nothrow) sSocket;
    if (s == nullptr)
        return aErrResource;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    aErr err;
    {
        std::unique_lock<std::shared_mutex> exclusive(s->lock);
        err = sConnect(s);
    }
    if (err != aErrNone) {
        delete s;
        return err;
    }
    *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
    if (*stream == nullptr) {
        (void)sSocketDelete(s); /* ours and valid: cannot fail */
        return aErrResource;
    }
    return aErrNone;
}
