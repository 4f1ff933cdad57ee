/* Raw serial port streams through termios, plain or COBS-framed. The descriptor
 * is kept non-blocking: a get waits a few milliseconds for a byte, and a write
 * waits for room with a bound, so neither side can hang on a stuck line. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "aStreamTransport.h"

#define aSERIAL_VALIDITY 0xBEEF
#define aSERIAL_NAME_MAX 4096
#define aSERIAL_WRITE_STALL_MS 2000 /* a write that makes no progress this long fails */

typedef struct sSerial {
    uint16_t validity;
    char name[aSERIAL_NAME_MAX];
    uint32_t baudCode;
    int fd;
    struct termios saved;
    struct termios applied;
} sSerial;

static sSerial* sState(void* reference)
{
    sSerial* s = (sSerial*)reference;
    return (s != NULL && s->validity == aSERIAL_VALIDITY) ? s : NULL;
}

/* Rate and terminal speed of each baud code, in code order. */
static const struct {
    uint32_t rate;
    speed_t speed;
} sRates[aBAUD_COUNT] = {{2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
                         {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

bool aStream_SerialBaudCode(uint32_t baudRate, uint32_t* baudCode)
{
    if (baudCode == NULL)
        return false;
    for (uint32_t code = 0; code < aBAUD_COUNT; ++code) {
        if (sRates[code].rate == baudRate) {
            *baudCode = code;
            return true;
        }
    }
    return false;
}

uint32_t aStream_SerialBaudRate(uint32_t baudCode)
{
    return baudCode < aBAUD_COUNT ? sRates[baudCode].rate : 0;
}

static speed_t sSpeed(uint32_t baudCode)
{
    return baudCode < aBAUD_COUNT ? sRates[baudCode].speed : B0;
}

static aErr sSerialGet(uint8_t* byte, void* reference)
{
    sSerial* s = sState(reference);
    if (s == NULL || byte == NULL)
        return aErrParam;
    struct pollfd p = {s->fd, POLLIN, 0};
    if (poll(&p, 1, aSTREAM_GET_WAIT_MS) == 0)
        return aErrNotReady;
    ssize_t n = read(s->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (n == 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
            /* Nothing to read although poll said otherwise (a hung-up line):
             * wait out the bound rather than spin. */
            poll(NULL, 0, aSTREAM_GET_WAIT_MS);
        }
        return aErrNotReady;
    }
    if (errno == EIO)
        poll(NULL, 0, aSTREAM_GET_WAIT_MS);
    return aErrIO;
}

static aErr sSerialWrite(const uint8_t* bytes, size_t length, void* reference)
{
    sSerial* s = sState(reference);
    if (s == NULL || bytes == NULL)
        return aErrParam;
    size_t written = 0;
    while (written < length) {
        ssize_t n = write(s->fd, bytes + written, length - written);
        if (n > 0) {
            written += (size_t)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            struct pollfd p = {s->fd, POLLOUT, 0};
            if (poll(&p, 1, aSERIAL_WRITE_STALL_MS) > 0)
                continue;
        }
        return aErrIO; /* short write */
    }
    tcdrain(s->fd);
    return aErrNone;
}

static aErr sSerialPut(uint8_t byte, void* reference)
{
    return sSerialWrite(&byte, 1, reference);
}

static aErr sSerialDelete(void* reference)
{
    sSerial* s = sState(reference);
    if (s == NULL)
        return aErrParam;
    tcsetattr(s->fd, TCSANOW, &s->saved);
    close(s->fd);
    s->validity = 0;
    free(s);
    return aErrNone;
}

/* Opens and configures the port; on success *out owns the descriptor. */
static aErr sOpen(const char* deviceName, uint32_t baudCode, bool parity, uint32_t dataBits,
                  uint32_t stopBits, sSerial** out)
{
    *out = NULL;
    if (deviceName == NULL || strlen(deviceName) >= aSERIAL_NAME_MAX)
        return aErrParam;
    if (dataBits > 1 || stopBits > 1)
        return aErrParam;
    sSerial* s = (sSerial*)calloc(1, sizeof(sSerial));
    if (s == NULL)
        return aErrMemory;
    strcpy(s->name, deviceName);
    s->baudCode = baudCode;
    s->fd = open(deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0) {
        aErr err = errno == ENOENT ? aErrNotFound
                 : (errno == EACCES || errno == EPERM) ? aErrPermission
                 : errno == EBUSY ? aErrBusy /* held exclusively (TIOCEXCL) elsewhere */
                 : aErrIO;
        free(s);
        return err;
    }
    struct termios t;
    if (tcgetattr(s->fd, &s->saved) != 0) {
        close(s->fd);
        free(s);
        return aErrIO;
    }
    t = s->saved;
    t.c_cflag = CREAD | CLOCAL | (dataBits == 1 ? CS7 : CS8);
    if (stopBits == 1)
        t.c_cflag |= CSTOPB;
    if (parity)
        t.c_cflag |= PARENB;
    t.c_iflag = IGNBRK | (parity ? INPCK : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, sSpeed(baudCode));
    cfsetospeed(&t, sSpeed(baudCode));
    if (tcsetattr(s->fd, TCSANOW, &t) != 0 || tcflush(s->fd, TCIOFLUSH) != 0) {
        close(s->fd);
        free(s);
        return aErrIO;
    }
    s->applied = t;
    s->validity = aSERIAL_VALIDITY;
    *out = s;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* deviceName, uint32_t baudCode, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** stream)
{
    if (stream == NULL)
        return aErrParam;
    *stream = NULL;
    sSerial* s = NULL;
    aErr err = sOpen(deviceName, baudCode, parity, dataBits, stopBits, &s);
    if (err != aErrNone)
        return err;
    *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
    if (*stream == NULL) {
        (void)sSerialDelete(s); /* ours and valid: cannot fail */
        return aErrResource;
    }
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* deviceName, uint32_t baudCode, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream)
{
    if (stream == NULL)
        return aErrResource;
    *stream = NULL;
    sSerial* s = NULL;
    aErr err = sOpen(deviceName, baudCode, parity, dataBits, stopBits, &s);
    if (err == aErrParam || err == aErrMemory)
        return aErrResource;
    if (err != aErrNone)
        return err;
    err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s, stream);
    if (err != aErrNone) {
        (void)sSerialDelete(s); /* ours and valid: cannot fail */
        return aErrResource;
    }
    return aErrNone;
}
