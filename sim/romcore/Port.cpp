#include "Port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace bootrom {

volatile int stopRequested = 0;

namespace {
void OnStop(int) { stopRequested = 1; }
// A full-speed USB-serial adapter sends a packet when this much is buffered.
constexpr size_t kAdapterPacket = 62;
} // namespace

void InstallStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ParseU32(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = (uint32_t)v;
    return true;
}

PtyPort::~PtyPort() {
    if (!opts.link.empty()) unlink(opts.link.c_str());
    if (!opts.readyFile.empty()) unlink(opts.readyFile.c_str());
    if (opens >= 0) close(opens);
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
}

bool PtyPort::watchOpens(std::string& error) {
    if (opens >= 0) return true;
    opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens < 0 || inotify_add_watch(opens, slavePath.c_str(), IN_OPEN) < 0) {
        error = "cannot watch " + slavePath + " for opens: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyPort::openedSinceLastCheck() {
    if (opens < 0) return false;
    bool opened = false;
    char events[4096];
    while (::read(opens, events, sizeof events) > 0) opened = true;
    return opened;
}

bool PtyPort::open(std::string& error) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        error = "cannot name the pseudo-terminal";
        return false;
    }
    slavePath = name;
    // Holding the terminal open keeps the line up between host sessions, and
    // a raw line keeps the terminal from echoing our bytes back before the
    // host has configured it.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!opts.link.empty()) {
        unlink(opts.link.c_str());
        if (symlink(name, opts.link.c_str()) != 0) {
            error = "cannot link " + opts.link + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void PtyPort::announce(const std::string& extra) {
    std::string text = "pty " + slavePath + "\n" + extra + "READY\n";
    if (!opts.readyFile.empty()) {
        std::string tmp = opts.readyFile + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
            std::rename(tmp.c_str(), opts.readyFile.c_str());
        }
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

unsigned PtyPort::lineRate() const {
    struct termios t;
    if (tcgetattr(slave, &t) != 0) return 115200;
    switch (cfgetospeed(&t)) {
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 115200;
    }
}

uint64_t PtyPort::byteMicros() const {
    return opts.pace ? 10000000ull / lineRate() : 0; // start, 8 data, stop bits
}

int PtyPort::nextDueMs() const {
    if (pending.empty()) return -1;
    uint64_t now = NowMicros();
    uint64_t due = pending.front().due;
    if (opts.latencyMs > 0) {
        // The adapter sends when its packet fills or its timer runs out.
        due = pending.size() >= kAdapterPacket ? pending[kAdapterPacket - 1].due
                                               : pending.front().due + opts.latencyMs * 1000ull;
    }
    return due <= now ? 0 : (int)((due - now + 999) / 1000);
}

void PtyPort::write(const uint8_t* bytes, size_t n) {
    uint64_t step = byteMicros();
    uint64_t now = NowMicros();
    if (txClock < now) txClock = now;
    for (size_t i = 0; i < n; ++i) {
        txClock += step;
        pending.push_back({txClock, bytes[i]});
    }
    pump();
}

void PtyPort::pump() {
    uint64_t now = NowMicros();
    size_t ready = 0;
    while (ready < pending.size() && pending[ready].due <= now) ready++;
    if (ready == 0) return;
    if (opts.latencyMs > 0 && ready < kAdapterPacket &&
        now < pending.front().due + opts.latencyMs * 1000ull)
        return;
    uint8_t out[4096];
    while (ready > 0) {
        size_t n = std::min(ready, sizeof out);
        for (size_t i = 0; i < n; ++i) out[i] = pending[i].byte;
        ssize_t w = ::write(master, out, n);
        if (w <= 0) {
            // The host is not reading (its queue is full): keep the bytes.
            if (w < 0 && errno != EAGAIN && errno != EINTR) pending.clear();
            return;
        }
        pending.erase(pending.begin(), pending.begin() + w);
        ready -= (size_t)w;
    }
}

long PtyPort::read(uint8_t* buffer, size_t size, int timeoutMs) {
    int due = nextDueMs();
    if (due >= 0 && due < timeoutMs) timeoutMs = due;
    struct pollfd p = {master, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0 || (p.revents & POLLIN) == 0) {
        pump();
        return 0;
    }
    // Paced input comes in small bites so output keeps flowing meanwhile.
    if (opts.pace) size = std::min<size_t>(size, 32);
    ssize_t n = ::read(master, buffer, size);
    if (n <= 0) return (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO)) ? 0 : -1;
    uint64_t step = byteMicros();
    if (step > 0) {
        // A late wake-up is made up on the next bytes, so sleep overshoot
        // does not slow the line; only an idle line restarts the clock.
        uint64_t now = NowMicros();
        if (rxClock + 2 * step + 2000 < now) rxClock = now;
        rxClock += step * (uint64_t)n;
        while (NowMicros() < rxClock) {
            pump();
            uint64_t left = rxClock - NowMicros();
            if ((int64_t)left > 0) std::this_thread::sleep_for(std::chrono::microseconds(std::min<uint64_t>(left, 1000)));
        }
    }
    pump();
    return n;
}

} // namespace bootrom
