#include "SDPLoader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <hidapi.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "Log.h"

namespace {

constexpr unsigned kDebug = Log::DEBUG_iMXSerial;
constexpr size_t kCommandReportSize = 17;
constexpr size_t kDataChunk = 1024;
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};

uint64_t NowMs() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void PutBE32(byte_vector& v, unsigned value) {
    v.push_back((uint8_t)(value >> 24));
    v.push_back((uint8_t)(value >> 16));
    v.push_back((uint8_t)(value >> 8));
    v.push_back((uint8_t)value);
}

byte_vector Command(uint16_t type, unsigned address, uint8_t format, unsigned count) {
    byte_vector r;
    r.push_back(1);
    r.push_back((uint8_t)(type >> 8));
    r.push_back((uint8_t)type);
    PutBE32(r, address);
    r.push_back(format);
    PutBE32(r, count);
    SDPLoader::_fillCommand(r);
    return r;
}

unsigned LE32(const byte_vector& in, size_t at) {
    return (unsigned)in[at] | (unsigned)in[at + 1] << 8 | (unsigned)in[at + 2] << 16 |
           (unsigned)in[at + 3] << 24;
}

} // namespace

// ---- SDPLoader ----

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
    if (transport == nullptr || loader) return false;
    loader.reset(transport);
    return true;
}

int SDPLoader::init() {
    if (!loader) return NO_TRANSPORT;
    return loader->init() ? OK : INIT_FAILED;
}

void SDPLoader::_fillCommand(byte_vector& report) {
    if (report.size() < kCommandReportSize) report.resize(kCommandReportSize, 0);
}

byte_vector SDPLoader::_createStatusPacket() { return Command(0x0505, 0, 0, 0); }

byte_vector SDPLoader::_create4ByteReadRegisterPacket(unsigned address) {
    return Command(0x0101, address, 0x20, 4);
}

byte_vector SDPLoader::_createWriteFilePacket(unsigned address, unsigned size) {
    return Command(0x0404, address, 0x20, size);
}

byte_vector SDPLoader::_createJumpPacket(unsigned address) { return Command(0x0B0B, address, 0, 0); }

void SDPLoader::_printBuffer(const byte_vector& report) {
    if ((Log::package_bitmask & kDebug) == 0) return;
    std::string text;
    char hex[8];
    for (uint8_t b : report) {
        std::snprintf(hex, sizeof hex, "%X ", b);
        text += hex;
    }
    Log::log(kDebug, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const byte_vector& answer) {
    unsigned value = 0;
    return loader && loader->getDataFromBuffer(answer, 0, value);
}

bool SDPLoader::_expectAck(const byte_vector& answer) {
    unsigned value = 0;
    return loader && loader->getDataFromBuffer(answer, 0, value) && value == ACK;
}

bool SDPLoader::_expectSuccess(const byte_vector& answer) {
    unsigned value = 0;
    return loader && loader->getDataFromBuffer(answer, 0, value) && value == WRITE_COMPLETE;
}

void SDPLoader::noteSecurityMode(const byte_vector& answer) {
    // The security mode is the first word of every answer (after the report
    // number on HID).
    size_t at = loader->securityModeBeforeData() ? 0 : 1;
    if (answer.size() < at + 4) return;
    lastSecurityMode = LE32(answer, at);
    const char* mode = lastSecurityMode == SECURITY_MODE_OPEN     ? "open"
                       : lastSecurityMode == SECURITY_MODE_CLOSED ? "closed"
                                                                  : "unknown";
    Log::log(kDebug, "Security mode: %08X (%s)\n", lastSecurityMode, mode);
}

bool SDPLoader::_isConnectionAlive() {
    if (!loader) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        byte_vector report = _createStatusPacket();
        ssize_t written = loader->writeData(report);
        Log::log(kDebug, "bytesWritten: %zu\n", (size_t)(written < 0 ? 0 : written));
        _printBuffer(report);
        if (written < 0) return false; // the device is gone; asking again will not help
        byte_vector answer;
        ssize_t got = loader->readData(answer, ANSWER_TIMEOUT_MS, loader->answerLength(4));
        Log::log(kDebug, "Read Data: %zd\n", got);
        _printBuffer(answer);
        if (_expectResponse(answer)) {
            noteSecurityMode(answer);
            return true;
        }
    }
    Log::log(kDebug, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(byte_vector image, unsigned address) {
    if (!_isConnectionAlive()) return NO_ANSWER;
    byte_vector command = _createWriteFilePacket(address, (unsigned)image.size());
    ssize_t res = loader->writeData(command);
    Log::log(kDebug, "Write Res: %zd\n", res);
    _printBuffer(command);
    if (res < 0) return WRITE_FAILED;

    // The UART ROM answers the command with its security mode at once; that
    // answer is expected, not a sign of trouble, and starts the final answer.
    byte_vector answer;
    if (loader->securityModeBeforeData()) {
        loader->readData(answer, ANSWER_TIMEOUT_MS, 4);
        if (answer.size() < 4) {
            Log::log(kDebug, "Error: no security mode after write command\n");
            return NO_ANSWER;
        }
        noteSecurityMode(answer);
    }

    size_t position = 0;
    int total = 0;
    for (int loop = 0; position < image.size(); ++loop) {
        byte_vector unexpected;
        ssize_t got = loader->readData(unexpected, 0, 1);
        Log::log(kDebug, "Read Data: %zd\n", got);
        if (!unexpected.empty()) {
            Log::log(kDebug, "Error while transfering loader. Aborting\n");
            _printBuffer(unexpected);
            return ABORTED;
        }
        size_t n = std::min(kDataChunk, image.size() - position);
        byte_vector report;
        report.reserve(n + 1);
        report.push_back(2);
        report.insert(report.end(), image.begin() + position, image.begin() + position + n);
        position += n;
        res = loader->writeData(report);
        if (res < 0) {
            Log::log(kDebug, "Error writing loader data\n");
            return WRITE_FAILED;
        }
        total += (int)res;
        Log::log(kDebug, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", res, total,
                 loop, (long)position, (ssize_t)report.size());
    }
    Log::log(kDebug, "Written Bytes: %d\n", total);
    // The ROM confirms once it has taken the last byte off the wire, and the
    // transport's queues may still hold much of the image: allow about three
    // times its wire time at 115200 baud, and a fixed margin.
    unsigned timeout = 4 * ANSWER_TIMEOUT_MS + (unsigned)(image.size() / 4);
    size_t want = loader->answerLength(4);
    loader->readData(answer, timeout, want > answer.size() ? want - answer.size() : 0);
    Log::log(kDebug, "Data Read: \n");
    _printBuffer(answer);
    if (_expectSuccess(answer)) {
        Log::log(kDebug, "Loader Transfer Successful\n");
        return OK;
    }
    Log::log(kDebug, "Loader Transfer Unsuccessful\n");
    return NOT_CONFIRMED;
}

void SDPLoader::startLoader(unsigned address) {
    if (!loader) return;
    byte_vector report = _createJumpPacket(address);
    ssize_t res = loader->writeData(report);
    Log::log(kDebug, "Write Res: %zd\n", res);
    _printBuffer(report);
    byte_vector answer;
    loader->readData(answer, 100, loader->answerLength(0));
    _printBuffer(answer);
}

int SDPLoader::getFingerprint(unsigned long& fingerprint) {
    if (!_isConnectionAlive()) return NO_ANSWER;
    const unsigned registers[2] = {FINGERPRINT_LOW, FINGERPRINT_HIGH};
    for (int i = 0; i < 2; ++i) {
        byte_vector report = _create4ByteReadRegisterPacket(registers[i]);
        ssize_t written = loader->writeData(report);
        Log::log(kDebug, "bytesWritten: %zu\n", (size_t)(written < 0 ? 0 : written));
        if (written < 0) return NO_ANSWER;
        byte_vector answer;
        ssize_t got = loader->readData(answer, ANSWER_TIMEOUT_MS, loader->answerLength(4));
        Log::log(kDebug, "Read Data: %zd\n", got);
        _printBuffer(answer);
        unsigned value = 0;
        if (!loader->getDataFromBuffer(answer, 0, value)) return BAD_ANSWER;
        fingerprint |= (unsigned long)value << (32 * i);
    }
    return OK;
}

// ---- HID_SDPLoader ----

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vendorId(vendor), productId(product) {}

HID_SDPLoader::HID_SDPLoader(std::string path_) : path(std::move(path_)) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (handle) hid_close(handle);
    if (hidInitialised) hid_exit();
}

namespace {

// hidapi's reason as text; its characters outside ASCII become '?'.
std::string HidErrorText() {
    const wchar_t* text = hid_error(nullptr);
    std::string narrow;
    for (; text != nullptr && *text != L'\0'; ++text) narrow += *text < 0x80 ? char(*text) : '?';
    return narrow;
}

// True when the system refuses this user the node (hidapi keeps its reason
// as text only, so the system is asked again).
bool RefusedToUser(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
}

HidRomAccess TryOpen(const std::string& path) {
    HidRomAccess access;
    access.path = path;
    hid_device* device = hid_open_path(path.c_str());
    access.opened = device != nullptr;
    if (device != nullptr) {
        hid_close(device);
        return access;
    }
    access.error = HidErrorText();
    access.denied = RefusedToUser(path);
    return access;
}

// The hidraw nodes with this identity, each once (hidapi lists a node once
// per usage). hidapi is started by the caller.
std::vector<std::string> RomPaths(uint16_t vendor, uint16_t product) {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vendor, product);
    for (const hid_device_info* d = list; d != nullptr; d = d->next)
        if (d->path != nullptr && std::find(paths.begin(), paths.end(), d->path) == paths.end()) paths.push_back(d->path);
    hid_free_enumeration(list);
    Log::log(kDebug, "%zu i.MX boot ROMs on USB\n", paths.size());
    return paths;
}

} // namespace

std::vector<HidRomAccess> HID_SDPLoader::CheckAccess(uint16_t vendor, uint16_t product) {
    std::vector<HidRomAccess> found;
    if (hid_init() != 0) return found;
    for (const std::string& path : RomPaths(vendor, product)) found.push_back(TryOpen(path));
    hid_exit();
    return found;
}

bool HID_SDPLoader::init() {
    if (handle) return true;
    if (!hidInitialised) {
        if (hid_init() != 0) return false;
        hidInitialised = true;
    }
    handle = path.empty() ? hid_open(vendorId, productId, nullptr) : hid_open_path(path.c_str());
    Log::log(kDebug, "handle: %p\n", (void*)handle);
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const byte_vector& report) {
    if (!handle) return -1;
    return hid_write(handle, report.data(), report.size());
}

ssize_t HID_SDPLoader::readData(byte_vector& out, unsigned timeoutMs, size_t expected) {
    if (!handle) return -1;
    ssize_t total = 0;
    unsigned char buffer[65];
    for (;;) {
        int n = hid_read_timeout(handle, buffer, sizeof buffer, (int)timeoutMs);
        if (n <= 0) {
            if (n < 0 && total == 0) return -1;
            break;
        }
        size_t keep = buffer[0] == 3 ? std::min<size_t>((size_t)n, 5) : (size_t)n;
        out.insert(out.end(), buffer, buffer + keep);
        total += (ssize_t)keep;
        if (expected > 0 && (size_t)total >= expected) break;
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) {
    if (in.size() != 70 || offset > 15) return false;
    value |= LE32(in, offset + 6);
    return true;
}

// ---- Serial_SDPLoader ----

struct PrivateSerial_SDPLoader {
    int fd = 0;
    const char* path = nullptr;
    struct termios settings {};
    unsigned settleMs = Serial_SDPLoader::DEFAULT_SETTLE_MS;
    bool open = false;
};

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d(new PrivateSerial_SDPLoader) { d->path = path; }

Serial_SDPLoader::~Serial_SDPLoader() {
    if (d->open) {
        tcflush(d->fd, TCIOFLUSH);
        close(d->fd);
    }
}

void Serial_SDPLoader::setSettleTime(unsigned ms) { d->settleMs = ms; }

bool Serial_SDPLoader::init() {
    if (d->open) return true;
    if (d->path == nullptr) return false;
    int fd = ::open(d->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Log::log(kDebug, "Error opening %s: %s\n", d->path, std::strerror(errno));
        return false;
    }
    if (!isatty(fd) || tcgetattr(fd, &d->settings) != 0) {
        Log::log(kDebug, "Error: %s is not a terminal\n", d->path);
        close(fd);
        return false;
    }
    struct termios& t = d->settings;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        close(fd);
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(d->settleMs));
    tcflush(fd, TCIOFLUSH);
    d->fd = fd;
    d->open = true;
    // The UART ROM ignores commands until the host has associated with it.
    if (!associate()) {
        Log::log(kDebug, "Error: no association answer from iMX device on %s\n", d->path);
        return false;
    }
    return true;
}

bool Serial_SDPLoader::associate() {
    const byte_vector report = {0, kAssociation[0], kAssociation[1], kAssociation[2], kAssociation[3]};
    if (writeData(report) != 4) return false;
    byte_vector answer;
    readData(answer, SDPLoader::ANSWER_TIMEOUT_MS, 4);
    return answer.size() == 4 && std::equal(answer.begin(), answer.end(), kAssociation);
}

ssize_t Serial_SDPLoader::writeData(const byte_vector& report) {
    if (!d->open || report.empty()) return -1;
    const uint8_t* bytes = report.data() + 1; // no report number on a serial line
    size_t length = report.size() - 1;
    size_t written = 0;
    uint64_t stalledSince = NowMs();
    while (written < length) {
        ssize_t n = write(d->fd, bytes + written, length - written);
        if (n > 0) {
            written += (size_t)n;
            stalledSince = NowMs();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        uint64_t stalled = NowMs() - stalledSince;
        if (stalled >= WRITE_STALL_MS) {
            Log::log(kDebug, "Error: serial write made no progress for %u ms\n", WRITE_STALL_MS);
            return written > 0 ? (ssize_t)written : -1;
        }
        // Sleep until the line takes bytes again rather than polling: a
        // slow line then costs no CPU.
        struct pollfd p = {d->fd, POLLOUT, 0};
        poll(&p, 1, (int)std::max<uint64_t>(1, WRITE_STALL_MS - stalled));
    }
    return (ssize_t)written;
}

ssize_t Serial_SDPLoader::readData(byte_vector& out, unsigned timeoutMs, size_t expected) {
    if (!d->open) return -1;
    ssize_t total = 0;
    uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        uint8_t buffer[256];
        size_t want = sizeof buffer;
        if (expected > 0) want = std::min(want, expected - (size_t)total);
        ssize_t n = read(d->fd, buffer, want);
        if (n > 0) {
            out.insert(out.end(), buffer, buffer + n);
            total += n;
            if (expected > 0 && (size_t)total >= expected) break;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return total > 0 ? total : -1;
        uint64_t now = NowMs();
        if (now >= deadline) break;
        struct pollfd p = {d->fd, POLLIN, 0};
        poll(&p, 1, (int)std::min<uint64_t>(deadline - now, 50));
    }
    return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const byte_vector& in, unsigned offset, unsigned& value) {
    if (offset > 15 || in.size() < (size_t)(offset + 2) * 4) return false;
    value |= LE32(in, offset + 4);
    return true;
}

std::vector<ImxHidRom> FindImxHidRoms() {
    std::vector<ImxHidRom> roms;
    if (hid_init() != 0) return roms;
    for (const std::string& path : RomPaths(HID_SDPLoader::kRomVendor, HID_SDPLoader::kRomProduct)) {
        ImxHidRom rom{path};
        SDPLoader sdp;
        sdp.setLoader(new HID_SDPLoader(path));
        if (sdp.init() == SDPLoader::OK) {
            unsigned long fingerprint = 0;
            rom.read = sdp.getFingerprint(fingerprint) == SDPLoader::OK;
            rom.fingerprint[0] = uint32_t(fingerprint);
            rom.fingerprint[1] = uint32_t(fingerprint >> 32);
        } else {
            rom.denied = RefusedToUser(path);
        }
        roms.push_back(std::move(rom));
    }
    hid_exit();
    return roms;
}
