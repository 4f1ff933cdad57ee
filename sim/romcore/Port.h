// The ROM side of a serial line on a pseudo-terminal, with the timing of a
// real one when asked: bytes paced at the wire speed the host configured, and
// the latency of a USB-serial adapter, which holds bytes from the chip until
// its buffer fills or its latency timer runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace bootrom {

struct PortOptions {
    bool pace = false;       // pace both directions at the host's configured rate
    uint32_t latencyMs = 0;  // adapter latency timer on bytes towards the host
    std::string link;        // optional symlink to the terminal
    std::string readyFile;   // optional file written when ready
};

class PtyPort {
public:
    explicit PtyPort(const PortOptions& options) : opts(options) {}
    ~PtyPort();
    // Creates the pseudo-terminal; false with `error` set on failure.
    bool open(std::string& error);
    const std::string& path() const { return slavePath; }
    // Prints "pty PATH" and "READY" (and writes the ready file first).
    void announce(const std::string& extra = "");

    // Waits at most `timeoutMs` (bounded further by pending output) for bytes
    // from the host; returns the count read (0 when none), -1 on error.
    long read(uint8_t* buffer, size_t size, int timeoutMs);
    // Queues bytes towards the host.
    void write(const uint8_t* bytes, size_t n);
    void write(const std::string& text) { write((const uint8_t*)text.data(), text.size()); }
    // Hands the host every byte that is due; call often.
    void pump();
    // Drops queued output (the chip was reset, or stops talking).
    void discardOutput() { pending.clear(); }
    bool outputPending() const { return !pending.empty(); }
    // The terminal's master side, for a host loop that polls it (-1 before open).
    int fd() const { return master; }
    // Hosts opening the terminal, as a board whose ISP circuit the port's
    // modem lines (DTR/RTS) reset sees them: watchOpens starts watching
    // (after open; false with `error` set when it cannot), and
    // openedSinceLastCheck tells whether a host opened it since the last
    // call. An open comes before the bytes the host sends after it, so a
    // loop asks before feeding what it read.
    bool watchOpens(std::string& error);
    bool openedSinceLastCheck();

private:
    unsigned lineRate() const;
    uint64_t byteMicros() const;
    int nextDueMs() const;

    PortOptions opts;
    int master = -1;
    int slave = -1;
    int opens = -1; // inotify watch on the terminal's opens
    std::string slavePath;
    struct Pending {
        uint64_t due; // when the byte has left the chip (µs)
        uint8_t byte;
    };
    std::deque<Pending> pending;
    uint64_t rxClock = 0;
    uint64_t txClock = 0;
};

uint64_t NowMicros();

// SIGINT/SIGTERM set this; the main loops end when it is true.
extern volatile int stopRequested;
void InstallStopHandlers();

// Parses a number with a base prefix ("0x1F", "31"); false when it is not one.
bool ParseU32(const std::string& text, uint32_t& value);

} // namespace bootrom
