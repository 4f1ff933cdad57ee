/* USB transport driver: library mode over libusb-1.0, kernel mode over the
 * "/dev/tarnix.%08X" node. A handle is shared by one reading and one writing
 * thread; the consecutive-error count and the state they both change are kept
 * under the handle's lock. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <libusb.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "aFile.h"
#include "aUSBPrivate.h"

#define kUSB_WRITE_TIMEOUT_MS 50
#define kUSB_READ_TIMEOUT_MS 1000
#define kUSB_WRITE_TRIES 10
#define kUSB_HIDDEN_ERRORS 4
#define kUSB_RX_SIZE 1024
#define kUSB_SERIAL_SIZE 256
/* A quiet kernel node reports not-ready after this long, like a library read. */
#define kKERNEL_READ_WAIT_MS 1000
#define kKERNEL_WRITE_CALLS 1000
#define kKERNEL_WRITE_WAIT_MS 50

/* Completion of the reader's transfer. The callback may run on whichever
 * thread handles the context's events; the mutex orders its write before the
 * reader's look (libusb itself looks at `completed` under its own locks). */
struct sReadWait {
    std::mutex lock;
    int completed = 0;
    bool done()
    {
        std::lock_guard<std::mutex> guard(lock);
        return completed != 0;
    }
};

struct tarnixusb {
    int mode; /* 1 = library, 0 = kernel driver */
    char serial[kUSB_SERIAL_SIZE + 1];
    int fd;
    libusb_device_handle* device;
    libusb_context* context; /* the reference the open device holds */
    std::atomic<int> state;
    std::mutex lock; /* error count and the move to failed */
    uint8_t errorCount;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t rx[kUSB_RX_SIZE]; /* reader only */
    uint32_t rxPos;
    uint32_t rxLeft;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    /* The reader's transfer, cancelled by tarnixusb_interrupt_read from
     * another thread: a stopping link need not wait out the read time-out. */
    libusb_transfer* inTransfer;
    sReadWait inWait;    /* the transfer's user data */
    std::mutex readLock; /* readInFlight and interruptPending */
    bool readInFlight;
    bool interruptPending;
};

/* The shared context. ---------------------------------------------------- */

namespace {

/* Serial strings already read, by device. libusb keeps one libusb_device per
 * device while it stays on the bus (a re-enumerated device is a new one), so a
 * serial read once serves every later walk and link open in the same context
 * instead of opening each device again: with N modules, N links opening side
 * by side would otherwise open and ask N devices each. Every entry holds a
 * device reference, so its pointer cannot come back as another device. */
struct sSerialEntry {
    libusb_device* device;
    std::string serial;
};

struct sContextRecord {
    libusb_context* context;
    int users; /* references held, the current slot's own included */
    std::mutex serialsLock;
    std::vector<sSerialEntry> serials;
};

std::mutex sContextLock;
sContextRecord* sCurrent = nullptr;
std::vector<sContextRecord*> sRetired;

sContextRecord* sFindLocked(libusb_context* context)
{
    if (sCurrent != nullptr && sCurrent->context == context)
        return sCurrent;
    for (sContextRecord* r : sRetired)
        if (r->context == context)
            return r;
    return nullptr;
}

/* Drops one reference; the last one tears the context down. Lock held. */
void sDropLocked(sContextRecord* r)
{
    if (--r->users > 0)
        return;
    for (size_t i = 0; i < sRetired.size(); ++i) {
        if (sRetired[i] == r) {
            sRetired.erase(sRetired.begin() + (long)i);
            break;
        }
    }
    if (sCurrent == r)
        sCurrent = nullptr;
    for (sSerialEntry& e : r->serials)
        libusb_unref_device(e.device);
    r->serials.clear();
    libusb_exit(r->context);
    delete r;
}

sContextRecord* sCurrentLocked(void)
{
    if (sCurrent == nullptr) {
        libusb_context* context = nullptr;
        if (libusb_init(&context) != 0)
            return nullptr;
        sCurrent = new (std::nothrow) sContextRecord;
        if (sCurrent != nullptr) {
            sCurrent->context = context;
            sCurrent->users = 1;
        }
        if (sCurrent == nullptr)
            libusb_exit(context);
    }
    return sCurrent;
}

std::mutex sNodeDirLock;
std::string sNodeDir = "/dev";

std::string sNodePath(const char* serialString)
{
    std::lock_guard<std::mutex> guard(sNodeDirLock);
    return sNodeDir + "/tarnix." + serialString;
}

} // namespace

libusb_context* Tarnix_libusb_context(void)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    sContextRecord* r = sCurrentLocked();
    return r != nullptr ? r->context : nullptr;
}

libusb_context* Tarnix_libusb_acquire(void)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    sContextRecord* r = sCurrentLocked();
    if (r == nullptr)
        return nullptr;
    r->users++;
    return r->context;
}

void Tarnix_libusb_release(libusb_context* context)
{
    if (context == nullptr)
        return;
    std::lock_guard<std::mutex> guard(sContextLock);
    sContextRecord* r = sFindLocked(context);
    if (r != nullptr)
        sDropLocked(r);
}

aErr Tarnix_libusb_init(void)
{
    return Tarnix_libusb_context() != nullptr ? aErrNone : aErrInitialization;
}

void Tarnix_libusb_exit(void)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    sContextRecord* r = sCurrent;
    if (r == nullptr)
        return;
    sCurrent = nullptr;
    /* Users still holding it keep it alive until they let go. */
    sRetired.push_back(r);
    sDropLocked(r);
}

/* The context's record; the caller holds a reference on the context. */
static sContextRecord* sRecordOf(libusb_context* context)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    return sFindLocked(context);
}

ssize_t Tarnix_libusb_list(libusb_context* context, libusb_device*** list)
{
    ssize_t count = libusb_get_device_list(context, list);
    sContextRecord* r = count >= 0 ? sRecordOf(context) : nullptr;
    if (r == nullptr)
        return count;
    std::lock_guard<std::mutex> guard(r->serialsLock);
    auto listed = [&](libusb_device* device) {
        for (ssize_t i = 0; i < count; ++i)
            if ((*list)[i] == device)
                return true;
        return false;
    };
    for (size_t i = 0; i < r->serials.size();) {
        if (listed(r->serials[i].device)) {
            ++i;
            continue;
        }
        libusb_unref_device(r->serials[i].device);
        r->serials.erase(r->serials.begin() + (long)i);
    }
    return count;
}

/* The serial string of an open device as ASCII; false when it cannot be read. */
static bool sReadSerial(libusb_device_handle* device, char* serial, size_t size)
{
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(libusb_get_device(device), &d) != 0 || d.iSerialNumber == 0)
        return false;
    int n = libusb_get_string_descriptor_ascii(device, d.iSerialNumber, (unsigned char*)serial, (int)size);
    if (n < 0)
        return false;
    serial[n < (int)size ? n : (int)size - 1] = '\0';
    return true;
}

static bool sCachedSerial(sContextRecord* r, libusb_device* device, char* serial, size_t size)
{
    std::lock_guard<std::mutex> guard(r->serialsLock);
    for (const sSerialEntry& e : r->serials) {
        if (e.device == device) {
            snprintf(serial, size, "%s", e.serial.c_str());
            return true;
        }
    }
    return false;
}

static void sRemember(sContextRecord* r, libusb_device* device, const char* serial)
{
    std::lock_guard<std::mutex> guard(r->serialsLock);
    for (const sSerialEntry& e : r->serials)
        if (e.device == device)
            return; /* another thread read it meanwhile */
    try {
        r->serials.push_back(sSerialEntry{libusb_ref_device(device), serial});
    } catch (...) {
        libusb_unref_device(device); /* not remembered: read again next time */
    }
}

int Tarnix_libusb_serial(libusb_context* context, libusb_device* device, char* serial, size_t size,
                         libusb_device_handle** opened)
{
    if (opened != nullptr)
        *opened = nullptr;
    if (serial == nullptr || size == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    sContextRecord* r = sRecordOf(context);
    if (r != nullptr && sCachedSerial(r, device, serial, size))
        return 0;
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(device, &handle);
    if (rc != 0)
        return rc;
    if (!sReadSerial(handle, serial, size)) {
        libusb_close(handle);
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (r != nullptr)
        sRemember(r, device, serial);
    if (opened != nullptr)
        *opened = handle;
    else
        libusb_close(handle);
    return 0;
}

/* Handles. --------------------------------------------------------------- */

void tarnixusb_set_kernel_node_directory(const char* directory)
{
    std::lock_guard<std::mutex> guard(sNodeDirLock);
    sNodeDir = (directory != nullptr && directory[0] != '\0') ? directory : "/dev";
}

tarnixusb* tarnixusb_create_usb(int useLibrary)
{
    tarnixusb* h = new (std::nothrow) tarnixusb;
    if (h == nullptr)
        return nullptr;
    h->mode = useLibrary == 1 ? 1 : 0;
    h->serial[0] = '\0';
    h->fd = -1;
    h->device = nullptr;
    h->context = nullptr;
    h->state = TARNIXUSB_STATE_CREATED;
    h->errorCount = 0;
    h->interfaceNumber = 0;
    h->outEndpoint = 0;
    h->inEndpoint = 0;
    h->rxPos = 0;
    h->rxLeft = 0;
    h->inMaxPacket = 0;
    h->inTransfer = nullptr;
    h->readInFlight = false;
    h->interruptPending = false;
    h->outMaxPacket = 0;
    if (h->mode == 1)
        (void)Tarnix_libusb_init(); /* made now, as the caller expects; failures show at open */
    return h;
}

static void sCloseLibraryDevice(tarnixusb* h)
{
    /* No read runs any more; a transfer libusb never gave back is left to it. */
    if (h->inTransfer != nullptr && !h->readInFlight)
        libusb_free_transfer(h->inTransfer);
    h->inTransfer = nullptr;
    if (h->device != nullptr) {
        if (h->state.load() == TARNIXUSB_STATE_READY || h->state.load() == TARNIXUSB_STATE_FAILED)
            libusb_release_interface(h->device, h->interfaceNumber);
        libusb_close(h->device);
        h->device = nullptr;
    }
    Tarnix_libusb_release(h->context);
    h->context = nullptr;
}

aErr tarnixusb_destroy(tarnixusb** handle)
{
    if (handle == nullptr || *handle == nullptr)
        return aErrParam;
    tarnixusb* h = *handle;
    if (h->mode == 1)
        sCloseLibraryDevice(h);
    else if (h->fd >= 0)
        close(h->fd);
    delete h;
    *handle = nullptr;
    return aErrNone;
}

bool tarnixusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", serialNumber);
    return aFile_Exists(sNodePath(serial).c_str());
}

tarnixusb_state tarnixusb_get_state(const tarnixusb* handle)
{
    return handle != nullptr ? (tarnixusb_state)handle->state.load() : TARNIXUSB_STATE_NONE;
}

uint16_t tarnixusb_get_out_packet_size(const tarnixusb* handle)
{
    return handle != nullptr ? handle->outMaxPacket : 0;
}

uint16_t tarnixusb_get_in_packet_size(const tarnixusb* handle)
{
    return handle != nullptr ? handle->inMaxPacket : 0;
}

bool is_tarnix_device(libusb_device* device)
{
    if (device == nullptr)
        return false;
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) != 0)
        return false;
    return d.idVendor == TARNIX_USB_VENDOR_ID && (d.idProduct & 0x8000) == 0;
}

int find_usb_endpoints(tarnixusb* h)
{
    if (h == nullptr || h->device == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_config_descriptor(libusb_get_device(h->device), 0, &config);
    if (rc != 0)
        return rc;
    bool found = false;
    uint8_t in = 0, out = 0;
    uint16_t inMax = 0, outMax = 0;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting && !found; ++a) {
            const libusb_interface_descriptor& alt = iface.altsetting[a];
            if (alt.bInterfaceClass != TARNIX_USB_INTERFACE_CLASS ||
                alt.bInterfaceSubClass != TARNIX_USB_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != TARNIX_USB_INTERFACE_PROTOCOL)
                continue;
            found = true;
            h->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0)
                    continue; /* control or isochronous */
                if (ep.bEndpointAddress & 0x80) {
                    in = ep.bEndpointAddress;
                    inMax = ep.wMaxPacketSize;
                } else {
                    out = ep.bEndpointAddress;
                    outMax = ep.wMaxPacketSize;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!found || in == 0 || out == 0 || inMax == 0 || outMax == 0)
        return LIBUSB_ERROR_NO_DEVICE;
    h->inEndpoint = in;
    h->outEndpoint = out;
    h->inMaxPacket = inMax;
    h->outMaxPacket = outMax;
    return 0;
}

/* Library mode. ---------------------------------------------------------- */

static aErr sClaimError(int rc)
{
    switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

static aErr sOpenLibrary(tarnixusb* h, const char* serialString)
{
    libusb_context* context = Tarnix_libusb_acquire();
    if (context == nullptr)
        return aErrResource;
    libusb_device** list = nullptr;
    ssize_t count = Tarnix_libusb_list(context, &list);
    aErr result = aErrNotFound;
    /* A device the system would not open may be the one asked for: its
     * serial number cannot be read to tell. */
    bool denied = false;
    for (ssize_t i = 0; i < count && result == aErrNotFound; ++i) {
        if (!is_tarnix_device(list[i]))
            continue;
        libusb_device_handle* device = nullptr;
        char serial[kUSB_SERIAL_SIZE + 1];
        int read = Tarnix_libusb_serial(context, list[i], serial, sizeof(serial), &device);
        denied = denied || read == LIBUSB_ERROR_ACCESS;
        if (read != 0 || strcmp(serial, serialString) != 0) {
            if (device != nullptr)
                libusb_close(device);
            continue;
        }
        int opened = device != nullptr ? 0 : libusb_open(list[i], &device);
        if (opened != 0) {
            denied = denied || opened == LIBUSB_ERROR_ACCESS;
            continue;
        }
        snprintf(h->serial, sizeof(h->serial), "%s", serial);
        h->device = device;
        h->state = TARNIXUSB_STATE_OPENED;
        if (find_usb_endpoints(h) != 0) {
            result = aErrConfiguration;
        } else {
            int rc = libusb_claim_interface(device, h->interfaceNumber);
            result = rc == 0 ? aErrNone : sClaimError(rc);
        }
        if (result != aErrNone) {
            libusb_close(device);
            h->device = nullptr;
            h->state = TARNIXUSB_STATE_CLOSED;
        }
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    if (result == aErrNotFound && denied)
        result = aErrPermission;
    if (result == aErrNone) {
        h->context = context; /* the open device keeps its context alive */
        h->rxPos = h->rxLeft = 0;
        h->errorCount = 0;
        h->state = TARNIXUSB_STATE_READY;
    } else {
        Tarnix_libusb_release(context);
    }
    return result;
}

/* The state test shared by reads and writes. */
static aErr sStateError(const tarnixusb* h)
{
    switch (h->state.load()) {
    case TARNIXUSB_STATE_READY:
        return aErrNone;
    case TARNIXUSB_STATE_CLOSED:
        return aErrConnection;
    case TARNIXUSB_STATE_CREATED:
    case TARNIXUSB_STATE_OPENED:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

/* Hides short runs of I/O errors; both threads come through here, so the
 * count and the move to failed are taken under the handle's lock. */
static aErr sTolerate(tarnixusb* h, aErr result, bool reading)
{
    std::lock_guard<std::mutex> guard(h->lock);
    if (result != aErrIO) {
        h->errorCount = 0;
        return result;
    }
    if (h->state.load() == TARNIXUSB_STATE_FAILED)
        return aErrIO;
    if (h->errorCount < kUSB_HIDDEN_ERRORS) {
        h->errorCount++;
        return reading ? aErrNotReady : aErrNone;
    }
    h->errorCount++;
    h->state = TARNIXUSB_STATE_FAILED;
    return aErrIO;
}

static aErr sWriteLibrary(tarnixusb* h, const uint8_t* bytes, uint32_t length)
{
    aErr result = sStateError(h);
    if (result != aErrNone)
        return result;
    uint32_t left = length;
    int failures = 0;
    bool clearFailed = false;
    bool gone = false;
    while (left > 0 && failures < kUSB_WRITE_TRIES && !gone) {
        uint32_t chunk = left < h->outMaxPacket ? left : h->outMaxPacket;
        if (chunk == 512)
            chunk = 511;
        int sent = 0;
        int rc = libusb_bulk_transfer(h->device, h->outEndpoint, (unsigned char*)bytes, (int)chunk, &sent,
                                      kUSB_WRITE_TIMEOUT_MS);
        /* What went out before a failure is on the wire: sending it again
         * would duplicate bytes, so only the rest is retried. */
        if (sent > 0) {
            uint32_t done = (uint32_t)sent > chunk ? chunk : (uint32_t)sent;
            bytes += done;
            left -= done;
        }
        if (rc == 0)
            continue;
        failures++;
        if (rc == LIBUSB_ERROR_PIPE && libusb_clear_halt(h->device, h->outEndpoint) != 0)
            clearFailed = true;
        if (rc == LIBUSB_ERROR_NO_DEVICE)
            gone = true; /* no retry can succeed */
    }
    if (gone || clearFailed)
        result = aErrIO;
    else if (left > 0)
        result = aErrWrite;
    return result;
}

static void LIBUSB_CALL sReadDone(libusb_transfer* transfer)
{
    sReadWait* wait = static_cast<sReadWait*>(transfer->user_data);
    std::lock_guard<std::mutex> guard(wait->lock);
    wait->completed = 1;
}

static aErr sReadLibrary(tarnixusb* h, uint8_t* byte)
{
    aErr result = sStateError(h);
    if (result != aErrNone)
        return result;
    if (h->inTransfer == nullptr && (h->inTransfer = libusb_alloc_transfer(0)) == nullptr)
        return aErrIO;
    /* The synchronous bulk read, made by hand so that it can be cancelled. A
     * transfer still out from a read that failed is waited for, not resubmitted. */
    int rc;
    {
        std::lock_guard<std::mutex> guard(h->readLock);
        if (h->interruptPending) {
            h->interruptPending = false;
            if (!h->readInFlight)
                return aErrNotReady;
            libusb_cancel_transfer(h->inTransfer);
        }
        if (!h->readInFlight) {
            h->inWait.completed = 0; /* nobody else looks while no transfer is out */
            libusb_fill_bulk_transfer(h->inTransfer, h->device, h->inEndpoint, h->rx, kUSB_RX_SIZE, sReadDone,
                                      &h->inWait, kUSB_READ_TIMEOUT_MS);
            rc = libusb_submit_transfer(h->inTransfer);
            if (rc != 0)
                return rc == LIBUSB_ERROR_PIPE ? (libusb_clear_halt(h->device, h->inEndpoint), aErrNotReady)
                                               : aErrIO;
            h->readInFlight = true;
        }
    }
    while (!h->inWait.done()) {
        rc = libusb_handle_events_completed(h->context, &h->inWait.completed);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED)
            return aErrIO; /* still out: the next read goes on waiting for it */
    }
    {
        std::lock_guard<std::mutex> guard(h->readLock);
        h->readInFlight = false;
        h->interruptPending = false;
    }
    const libusb_transfer_status status = h->inTransfer->status;
    const int got = h->inTransfer->actual_length;
    if (status == LIBUSB_TRANSFER_STALL) {
        libusb_clear_halt(h->device, h->inEndpoint);
        return aErrNotReady;
    }
    if (status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_TIMED_OUT &&
        status != LIBUSB_TRANSFER_CANCELLED)
        return aErrIO;
    if (got <= 0)
        return aErrNotReady;
    h->rxPos = 1;
    h->rxLeft = (uint32_t)got - 1;
    *byte = h->rx[0];
    return aErrNone;
}

/* Kernel mode. ----------------------------------------------------------- */

static aErr sOpenKernel(tarnixusb* h, const char* serialString)
{
    const std::string path = sNodePath(serialString);
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy
             : (errno == EACCES || errno == EPERM) ? aErrPermission
             : errno == ENOENT ? aErrNotFound
             : aErrIO;
    snprintf(h->serial, sizeof(h->serial), "%s", serialString);
    h->fd = fd;
    h->state = TARNIXUSB_STATE_READY;
    return aErrNone;
}

static aErr sWriteKernel(tarnixusb* h, const uint8_t* bytes, uint32_t length)
{
    if (h->fd < 0)
        return aErrIO;
    uint32_t left = length;
    for (int calls = 0; left > 0 && calls < kKERNEL_WRITE_CALLS; ++calls) {
        ssize_t n = write(h->fd, bytes, left);
        if (n > 0) {
            bytes += n;
            left -= (uint32_t)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            /* Full: wait for room, boundedly, rather than spin. */
            pollfd p{h->fd, POLLOUT, 0};
            poll(&p, 1, kKERNEL_WRITE_WAIT_MS);
            continue;
        }
        return aErrIO;
    }
    return left == 0 ? aErrNone : aErrIO;
}

static aErr sReadKernel(tarnixusb* h, uint8_t* byte)
{
    if (h->fd < 0)
        return aErrIO;
    /* A node with nothing to say must not hold the reader for ever. */
    pollfd p{h->fd, POLLIN, 0};
    int ready = poll(&p, 1, kKERNEL_READ_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    ssize_t n = read(h->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0) {
        /* End of data: a node that stays at its end reports it at once, so
         * pace the caller as a quiet node would. */
        poll(nullptr, 0, 10);
        return aErrNotReady;
    }
    if (errno == EAGAIN || errno == EINTR || errno == EFAULT)
        return aErrNotReady;
    return aErrIO;
}

/* Interface. ------------------------------------------------------------- */

aErr tarnixusb_open_tarnix_device(tarnixusb* handle, const char* serialString)
{
    if (handle == nullptr || serialString == nullptr)
        return aErrParam;
    if (handle->state.load() == TARNIXUSB_STATE_NONE)
        return aErrResource;
    if (handle->state.load() != TARNIXUSB_STATE_CREATED)
        return aErrMode; /* a handle is opened once */
    if (strlen(serialString) > kUSB_SERIAL_SIZE)
        return aErrParam;
    return handle->mode == 1 ? sOpenLibrary(handle, serialString) : sOpenKernel(handle, serialString);
}

aErr tarnixusb_write_to_device(tarnixusb* handle, const uint8_t* bytes, uint32_t length)
{
    if (handle == nullptr || (bytes == nullptr && length > 0))
        return aErrParam;
    if (handle->mode == 0)
        return sWriteKernel(handle, bytes, length);
    return sTolerate(handle, sWriteLibrary(handle, bytes, length), false);
}

aErr tarnixusb_get_from_device(tarnixusb* handle, uint8_t* byte)
{
    if (handle == nullptr || byte == nullptr)
        return aErrParam;
    if (handle->mode == 0)
        return sReadKernel(handle, byte);
    if (handle->rxLeft > 0) {
        *byte = handle->rx[handle->rxPos++];
        handle->rxLeft--;
        return aErrNone;
    }
    return sTolerate(handle, sReadLibrary(handle, byte), true);
}

void tarnixusb_interrupt_read(tarnixusb* handle)
{
    if (handle == nullptr || handle->mode != 1)
        return;
    std::lock_guard<std::mutex> guard(handle->readLock);
    if (handle->readInFlight)
        libusb_cancel_transfer(handle->inTransfer);
    else
        handle->interruptPending = true;
}

aErr tarnixusb_close_tarnix_device(tarnixusb* handle)
{
    if (handle == nullptr)
        return aErrParam;
    if (handle->mode == 1) {
        if (handle->device == nullptr)
            return aErrMode;
        sCloseLibraryDevice(handle);
        handle->interfaceNumber = handle->inEndpoint = handle->outEndpoint = 0;
        handle->state = TARNIXUSB_STATE_CLOSED;
        return aErrNone;
    }
    aErr result = aErrNone;
    if (handle->fd >= 0 && close(handle->fd) != 0)
        result = aErrCancel;
    handle->fd = -1;
    handle->state = TARNIXUSB_STATE_CLOSED;
    return result;
}
