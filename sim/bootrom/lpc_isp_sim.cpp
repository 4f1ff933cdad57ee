// lpc-isp-sim: the in-system-programming boot ROM of an NXP LPC17xx on a
// pseudo-terminal, as a host's ISP tool meets it after reset: autobaud on
// '?', echo on, the ASCII command set with its return codes, UU-encoded data
// with checksums, flash with sector preparation and NOR write rules. It may
// run a line at its carriage return and echo the line feed after the answer,
// as many real ROMs do, and it stays where it was when the host reopens the
// port unless told that the port's modem lines reset it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "Port.h"

using bootrom::ParseU32;

namespace {

const char kUsage[] =
    "Usage: lpc-isp-sim [OPTIONS]\n"
    "Simulates the serial ISP boot ROM of an NXP LPC17xx on a pseudo-terminal.\n"
    "Prints \"pty PATH\" and \"READY\" when the terminal is open.\n"
    "\n"
    "  --flash FILE         flash image, kept up to date after every erase and copy\n"
    "                       (created erased when missing; its size follows the part)\n"
    "  --part-id N          part ID answered to J (default 0x26013F37, LPC1768, 512 KB)\n"
    "  --serial A,B,C,D     the four device serial-number words answered to N\n"
    "  --crystal KHZ        refuse synchronisation unless the host names this frequency\n"
    "  --pace               pace bytes at the wire speed the host set on the line\n"
    "  --latency MS         hold bytes towards the host like a USB-serial adapter's\n"
    "                       latency timer (16 on common adapters)\n"
    "  --link PATH          also make PATH a symbolic link to the terminal\n"
    "  --ready-file FILE    write the ready lines to FILE too (removed at exit)\n"
    "  --fault NAME         misbehave (repeatable): never-sync, resend (refuse every\n"
    "                       write checksum), bad-checksum-reply, refuse-prepare,\n"
    "                       refuse-copy, garbage (answer commands with noise),\n"
    "                       long-line (answer with an endless line), bad-echo\n"
    "  --execute-at lf|cr   where a line ends and runs (default lf: the whole line,\n"
    "                       CR LF included, is echoed before the answer; cr: the\n"
    "                       answer follows the echoed CR and the LF's echo comes\n"
    "                       after the answer, so J CR LF gives J CR 0 CR LF ID CR LF LF)\n"
    "  --answer-end crlf|cr|lf\n"
    "                       how the ROM ends its own lines (default crlf)\n"
    "  --reset-on-open      go back to the synchronisation prompt whenever the\n"
    "                       terminal is opened, as a board whose ISP circuit is\n"
    "                       reset by the port's modem lines (DTR/RTS) does;\n"
    "                       without it the chip keeps its state (synchronised,\n"
    "                       echo, lock) across opens, as a board without reset\n"
    "                       wiring does\n"
    "  --verbose            log every command on standard error\n"
    "  --help               this text\n"
    "\n"
    "Standard output also gets \"SYNC KHZ\" whenever a host completes the\n"
    "synchronisation, and \"GO ADDRESS MODE\" when the host starts code.\n"
    "SIGINT or SIGTERM end it (status 0); a bad command line gives status 2.\n";

enum Code {
    CMD_SUCCESS = 0, INVALID_COMMAND = 1, SRC_ADDR_ERROR = 2, DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4, DST_ADDR_NOT_MAPPED = 5, COUNT_ERROR = 6, INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8, SECTOR_NOT_PREPARED = 9, COMPARE_ERROR = 10, BUSY = 11,
    PARAM_ERROR = 12, ADDR_ERROR = 13, ADDR_NOT_MAPPED = 14, CMD_LOCKED = 15, INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17, INVALID_STOP_BIT = 18,
};

constexpr uint32_t kRam0 = 0x10000000, kRam0Size = 0x8000; // local SRAM
constexpr uint32_t kRam1 = 0x2007C000, kRam1Size = 0x8000; // AHB SRAM
constexpr size_t kMaxLine = 256;

struct Options {
    std::string flashFile;
    uint32_t partId = 0x26013F37;
    uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    uint32_t crystal = 0;
    std::set<std::string> faults;
    bool verbose = false;
    bool resetOnOpen = false;
    bool executeAtCr = false;
    std::string answerEnd = "\r\n";
};

uint32_t FlashSizeOf(uint32_t partId) {
    switch (partId) {
    case 0x26013F33: case 0x26013733: case 0x26012033: case 0x25011723: return 256 * 1024;
    case 0x26011922: case 0x25011722: return 128 * 1024;
    case 0x25001121: return 64 * 1024;
    case 0x25001118: case 0x25001110: return 32 * 1024;
    default: return 512 * 1024;
    }
}

// LPC17xx sectors: 4 KB up to 64 KB, 32 KB above.
uint32_t SectorStart(unsigned s) { return s < 16 ? s * 0x1000 : 0x10000 + (s - 16) * 0x8000; }
uint32_t SectorSize(unsigned s) { return s < 16 ? 0x1000 : 0x8000; }
unsigned SectorOf(uint32_t a) { return a < 0x10000 ? a / 0x1000 : 16 + (a - 0x10000) / 0x8000; }

char UU(unsigned v) { v &= 0x3F; return v ? (char)(v + 32) : '`'; }

class IspRom {
public:
    IspRom(const Options& o, bootrom::PtyPort& p) : opt(o), port(p) {
        flash.assign(FlashSizeOf(opt.partId), 0xFF);
        sectors = SectorOf(flash.size() - 1) + 1;
        // Stale RAM, as after a warm reset: not the erased value.
        ram0.resize(kRam0Size);
        ram1.resize(kRam1Size);
        for (size_t i = 0; i < kRam0Size; ++i) ram0[i] = ram1[i] = (uint8_t)(0x5A ^ (i * 7));
    }

    bool loadFlash(std::string& error) {
        if (opt.flashFile.empty()) return true;
        fd = ::open(opt.flashFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "cannot open " + opt.flashFile;
            return false;
        }
        std::vector<uint8_t> old(flash.size());
        ssize_t n = pread(fd, old.data(), old.size(), 0);
        if (n == (ssize_t)old.size()) flash = old;
        else saveFlash(0, flash.size());
        if (ftruncate(fd, (off_t)flash.size()) != 0) {
            error = "cannot size " + opt.flashFile;
            return false;
        }
        return true;
    }

    void feed(uint8_t b) {
        if (state == State::Running) return;
        if (state == State::Prompt) {
            if (b == '?' && !fault("never-sync")) {
                send("Synchronized\r\n");
                state = State::SyncLine;
                echo = true;
                line.clear();
            }
            return;
        }
        // The LF after a CR that ran the line: only its echo, after the answer.
        const bool lfAfterCr = b == '\n' && lastWasCr;
        lastWasCr = opt.executeAtCr && b == '\r';
        if (echo) {
            uint8_t e = fault("bad-echo") && b > ' ' ? (uint8_t)(b ^ 0x01) : b;
            port.write(&e, 1);
        }
        if (lfAfterCr) return;
        if (b != '\n' && !lastWasCr) {
            if (line.size() < kMaxLine + 1) line.push_back((char)b);
            return;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string l;
        l.swap(line);
        if (l.size() > kMaxLine) { // the ROM's line buffer overflowed
            if (state == State::Command) status(INVALID_COMMAND);
            return;
        }
        onLine(l);
    }

    void flushFlash() { if (fd >= 0) fsync(fd); }

    // A reset: the chip is back at its prompt, locked, with nothing prepared.
    // Flash and RAM keep their contents.
    void reset() {
        port.discardOutput();
        state = State::Prompt;
        echo = true;
        unlocked = false;
        prepared.clear();
        line.clear();
        lastWasCr = false;
        log("reset: back at the synchronisation prompt");
    }

private:
    enum class State { Prompt, SyncLine, CrystalLine, Command, WriteData, ReadWait, Running };

    bool fault(const char* name) const { return opt.faults.count(name) != 0; }
    // Answers are written with CR LF; the chosen line end replaces it.
    void send(std::string s) {
        if (opt.answerEnd != "\r\n") {
            for (size_t at = 0; (at = s.find("\r\n", at)) != std::string::npos; at += opt.answerEnd.size())
                s.replace(at, 2, opt.answerEnd);
        }
        port.write(s);
    }
    void status(int code) { send(std::to_string(code) + "\r\n"); }
    void log(const std::string& s) {
        if (opt.verbose) std::fprintf(stderr, "lpc-isp-sim: %s\n", s.c_str());
    }

    void saveFlash(size_t from, size_t n) {
        if (fd >= 0) (void)!pwrite(fd, flash.data() + from, n, (off_t)from);
    }

    // Memory by address: flash, or one of the two RAM blocks; null when unmapped.
    uint8_t* at(uint32_t a, uint32_t n, bool* isFlash = nullptr) {
        if (isFlash) *isFlash = false;
        if ((uint64_t)a + n <= flash.size()) {
            if (isFlash) *isFlash = true;
            return flash.data() + a;
        }
        if (a >= kRam0 && (uint64_t)a + n <= (uint64_t)kRam0 + kRam0Size) return ram0.data() + (a - kRam0);
        if (a >= kRam1 && (uint64_t)a + n <= (uint64_t)kRam1 + kRam1Size) return ram1.data() + (a - kRam1);
        return nullptr;
    }
    uint8_t* ramAt(uint32_t a, uint32_t n) {
        bool f;
        uint8_t* p = at(a, n, &f);
        return f ? nullptr : p;
    }

    void onLine(const std::string& l) {
        switch (state) {
        case State::SyncLine:
            if (l == "Synchronized") {
                send("OK\r\n");
                state = State::CrystalLine;
            } else {
                state = State::Prompt;
            }
            return;
        case State::CrystalLine: {
            uint32_t khz = 0;
            if (ParseU32(l, khz) && khz > 0 && (opt.crystal == 0 || khz == opt.crystal)) {
                send("OK\r\n");
                log("synchronised, crystal " + std::to_string(khz) + " kHz");
                // Tests count these: a host must not synchronise a chip that already is.
                std::printf("SYNC %u\n", khz);
                std::fflush(stdout);
                state = State::Command;
            } else {
                state = State::Prompt;
            }
            return;
        }
        case State::WriteData: onWriteLine(l); return;
        case State::ReadWait: onReadAnswer(l); return;
        case State::Command: onCommand(l); return;
        default: return;
        }
    }

    void onCommand(const std::string& l) {
        log("command [" + l + "]");
        if (l.empty()) return;
        if (fault("garbage")) {
            std::string noise;
            for (int i = 0; i < 200; ++i) noise.push_back((char)(0x80 | ((i * 37) & 0x7F)));
            send(noise);
            return;
        }
        if (fault("long-line")) {
            send(std::string(5000, 'x') + "\r\n");
            return;
        }
        std::istringstream in(l);
        std::string cmd;
        in >> cmd;
        std::vector<std::string> args;
        for (std::string a; in >> a;) args.push_back(a);
        std::vector<uint32_t> n(args.size());
        for (size_t i = 0; i < args.size(); ++i) {
            if (cmd == "G" && i == 1) continue;
            if (!ParseU32(args[i], n[i])) return status(PARAM_ERROR);
        }
        auto want = [&](size_t count) { return args.size() == count; };

        if (cmd == "U") {
            if (!want(1)) return status(PARAM_ERROR);
            if (n[0] != 23130) return status(INVALID_CODE);
            unlocked = true;
            return status(CMD_SUCCESS);
        }
        if (cmd == "A") {
            if (!want(1) || n[0] > 1) return status(PARAM_ERROR);
            status(CMD_SUCCESS);
            echo = n[0] == 1;
            return;
        }
        if (cmd == "B") {
            if (!want(2)) return status(PARAM_ERROR);
            if (n[1] != 1 && n[1] != 2) return status(INVALID_STOP_BIT);
            return status(CMD_SUCCESS);
        }
        if (cmd == "J") return send("0\r\n" + std::to_string(opt.partId) + "\r\n");
        if (cmd == "K") return send("0\r\n4\r\n1\r\n");
        if (cmd == "N") {
            std::string s = "0\r\n";
            for (uint32_t w : opt.serial) s += std::to_string(w) + "\r\n";
            return send(s);
        }
        if (cmd == "P" || cmd == "E" || cmd == "I") {
            if (!want(2)) return status(PARAM_ERROR);
            if (n[1] < n[0] || n[1] >= sectors) return status(INVALID_SECTOR);
            if (cmd == "P") {
                if (fault("refuse-prepare")) return status(BUSY);
                for (uint32_t s = n[0]; s <= n[1]; ++s) prepared.insert(s);
                return status(CMD_SUCCESS);
            }
            if (cmd == "E") {
                if (!unlocked) return status(CMD_LOCKED);
                for (uint32_t s = n[0]; s <= n[1]; ++s)
                    if (!prepared.count(s)) return status(SECTOR_NOT_PREPARED);
                uint32_t from = SectorStart(n[0]);
                uint32_t to = SectorStart(n[1]) + SectorSize(n[1]);
                std::fill(flash.begin() + from, flash.begin() + to, 0xFF);
                saveFlash(from, to - from);
                prepared.clear();
                log("erased sectors " + args[0] + " to " + args[1]);
                return status(CMD_SUCCESS);
            }
            for (uint32_t a = SectorStart(n[0]); a < SectorStart(n[1]) + SectorSize(n[1]); a += 4) {
                if (flash[a] != 0xFF || flash[a + 1] != 0xFF || flash[a + 2] != 0xFF || flash[a + 3] != 0xFF) {
                    uint32_t word = flash[a] | flash[a + 1] << 8 | flash[a + 2] << 16 | (uint32_t)flash[a + 3] << 24;
                    return send("8\r\n" + std::to_string(a) + "\r\n" + std::to_string(word) + "\r\n");
                }
            }
            return status(CMD_SUCCESS);
        }
        if (cmd == "W" || cmd == "R") {
            if (!want(2)) return status(PARAM_ERROR);
            if (n[0] % 4 != 0) return status(ADDR_ERROR);
            if (n[1] % 4 != 0) return status(COUNT_ERROR);
            uint8_t* p = cmd == "W" ? ramAt(n[0], n[1]) : at(n[0], n[1]);
            if (p == nullptr) return status(ADDR_NOT_MAPPED);
            status(CMD_SUCCESS);
            xferAddress = n[0];
            xferLength = n[1];
            xferDone = blockStart = 0;
            blockLines = 0;
            if (n[1] == 0) return;
            if (cmd == "W") {
                state = State::WriteData;
            } else {
                sendReadBlock();
            }
            return;
        }
        if (cmd == "C") {
            if (!want(3)) return status(PARAM_ERROR);
            if (!unlocked) return status(CMD_LOCKED);
            if (n[0] % 256 != 0) return status(DST_ADDR_ERROR);
            if (n[1] % 4 != 0) return status(SRC_ADDR_ERROR);
            if (n[2] != 256 && n[2] != 512 && n[2] != 1024 && n[2] != 4096) return status(COUNT_ERROR);
            if ((uint64_t)n[0] + n[2] > flash.size()) return status(DST_ADDR_NOT_MAPPED);
            uint8_t* src = ramAt(n[1], n[2]);
            if (src == nullptr) return status(SRC_ADDR_NOT_MAPPED);
            for (unsigned s = SectorOf(n[0]); s <= SectorOf(n[0] + n[2] - 1); ++s)
                if (!prepared.count(s)) return status(SECTOR_NOT_PREPARED);
            if (fault("refuse-copy")) return status(BUSY);
            // NOR flash: programming only clears bits.
            for (uint32_t i = 0; i < n[2]; ++i) flash[n[0] + i] &= src[i];
            saveFlash(n[0], n[2]);
            prepared.clear();
            return status(CMD_SUCCESS);
        }
        if (cmd == "M") {
            if (!want(3)) return status(PARAM_ERROR);
            if (n[0] % 4 != 0) return status(SRC_ADDR_ERROR);
            if (n[1] % 4 != 0) return status(DST_ADDR_ERROR);
            if (n[2] % 4 != 0) return status(COUNT_ERROR);
            uint8_t* a = at(n[0], n[2]);
            uint8_t* b = at(n[1], n[2]);
            if (a == nullptr) return status(SRC_ADDR_NOT_MAPPED);
            if (b == nullptr) return status(DST_ADDR_NOT_MAPPED);
            for (uint32_t i = 0; i < n[2]; ++i)
                if (a[i] != b[i]) return send("10\r\n" + std::to_string(i & ~3u) + "\r\n");
            return status(CMD_SUCCESS);
        }
        if (cmd == "G") {
            if (!want(2) || (args[1] != "T" && args[1] != "A")) return status(PARAM_ERROR);
            if (!unlocked) return status(CMD_LOCKED);
            if (n[0] % (args[1] == "T" ? 2 : 4) != 0) return status(ADDR_ERROR);
            status(CMD_SUCCESS);
            state = State::Running;
            flushFlash();
            char text[64];
            std::snprintf(text, sizeof text, "GO 0x%08X %s\n", n[0], args[1].c_str());
            std::fputs(text, stdout);
            std::fflush(stdout);
            return;
        }
        status(INVALID_COMMAND);
    }

    void onWriteLine(const std::string& l) {
        uint8_t* dst = ramAt(xferAddress, xferLength);
        if (blockLines < 20 && xferDone < xferLength) {
            // A data line: length character, then groups of four.
            unsigned count = l.empty() ? 0 : (((unsigned)l[0] - 32) & 0x3F);
            count = std::min(count, xferLength - xferDone);
            auto c = [&](size_t i) -> unsigned { return i < l.size() ? (((unsigned)l[i] - 32) & 0x3F) : 0; };
            for (unsigned k = 0, g = 1; k < count; g += 4) {
                unsigned v = c(g) << 18 | c(g + 1) << 12 | c(g + 2) << 6 | c(g + 3);
                for (int j = 2; j >= 0 && k < count; --j) dst[xferDone + k++] = (uint8_t)(v >> (8 * j));
            }
            xferDone += count;
            blockLines++;
            return;
        }
        uint32_t expected = 0;
        for (uint32_t i = blockStart; i < xferDone; ++i) expected += dst[i];
        uint32_t got = 0;
        bool ok = ParseU32(l, got) && got == expected;
        if (fault("bad-checksum-reply")) {
            send("CHECKSUM?\r\n");
        } else if (ok && !fault("resend")) {
            send("OK\r\n");
            blockStart = xferDone;
        } else {
            send("RESEND\r\n");
            xferDone = blockStart;
        }
        blockLines = 0;
        if (xferDone >= xferLength) state = State::Command;
    }

    void sendReadBlock() {
        const uint8_t* src = at(xferAddress, xferLength);
        std::string text;
        uint32_t sum = 0;
        uint32_t pos = xferDone;
        for (int lines = 0; lines < 20 && pos < xferLength; ++lines) {
            unsigned count = std::min<uint32_t>(45, xferLength - pos);
            text.push_back(UU(count));
            for (unsigned k = 0; k < count; k += 3) {
                unsigned b0 = src[pos + k], b1 = k + 1 < count ? src[pos + k + 1] : 0,
                         b2 = k + 2 < count ? src[pos + k + 2] : 0;
                unsigned v = b0 << 16 | b1 << 8 | b2;
                text += {UU(v >> 18), UU(v >> 12), UU(v >> 6), UU(v)};
            }
            text += "\r\n";
            for (unsigned k = 0; k < count; ++k) sum += src[pos + k];
            pos += count;
        }
        text += std::to_string(sum) + "\r\n";
        blockStart = xferDone;
        xferDone = pos;
        send(text);
        state = State::ReadWait;
    }

    void onReadAnswer(const std::string& l) {
        if (l == "RESEND") xferDone = blockStart;
        else if (l != "OK") { // anything else ends the transfer
            state = State::Command;
            return;
        }
        if (xferDone >= xferLength) state = State::Command;
        else sendReadBlock();
    }

    const Options& opt;
    bootrom::PtyPort& port;
    State state = State::Prompt;
    bool echo = true;
    bool unlocked = false;
    bool lastWasCr = false;
    std::string line;
    std::vector<uint8_t> flash, ram0, ram1;
    unsigned sectors = 0;
    std::set<uint32_t> prepared;
    uint32_t xferAddress = 0, xferLength = 0, xferDone = 0, blockStart = 0;
    int blockLines = 0;
    int fd = -1;
};

bool ParseSerial(const std::string& text, uint32_t out[4]) {
    std::istringstream in(text);
    std::string part;
    int i = 0;
    while (std::getline(in, part, ',')) {
        if (i >= 4 || !ParseU32(part, out[i])) return false;
        i++;
    }
    return i == 4;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    bootrom::PortOptions portOptions;
    static const std::set<std::string> knownFaults = {"never-sync", "resend", "bad-checksum-reply",
        "refuse-prepare", "refuse-copy", "garbage", "long-line", "bad-echo"};
    static const std::map<std::string, std::string> lineEnds = {{"crlf", "\r\n"}, {"cr", "\r"}, {"lf", "\n"}};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--flash" && value(v)) {
            opt.flashFile = v;
        } else if (a == "--part-id" && value(v) && ParseU32(v, opt.partId)) {
        } else if (a == "--serial" && value(v) && ParseSerial(v, opt.serial)) {
        } else if (a == "--crystal" && value(v) && ParseU32(v, opt.crystal)) {
        } else if (a == "--pace") {
            portOptions.pace = true;
        } else if (a == "--latency" && value(v) && ParseU32(v, portOptions.latencyMs)) {
        } else if (a == "--link" && value(v)) {
            portOptions.link = v;
        } else if (a == "--ready-file" && value(v)) {
            portOptions.readyFile = v;
        } else if (a == "--fault" && value(v) && knownFaults.count(v)) {
            opt.faults.insert(v);
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else if (a == "--reset-on-open") {
            opt.resetOnOpen = true;
        } else if (a == "--execute-at" && value(v) && (v == "cr" || v == "lf")) {
            opt.executeAtCr = v == "cr";
        } else if (a == "--answer-end" && value(v) && lineEnds.count(v)) {
            opt.answerEnd = lineEnds.at(v);
        } else {
            std::fprintf(stderr, "lpc-isp-sim: bad argument [%s]\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    bootrom::InstallStopHandlers();
    bootrom::PtyPort port(portOptions);
    std::string error;
    IspRom rom(opt, port);
    if (!rom.loadFlash(error) || !port.open(error)) {
        std::fprintf(stderr, "lpc-isp-sim: %s\n", error.c_str());
        return 1;
    }
    // Every open of the terminal by a host shows as an open event on its node.
    int opens = -1;
    if (opt.resetOnOpen) {
        opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (opens < 0 || inotify_add_watch(opens, port.path().c_str(), IN_OPEN) < 0) {
            std::fprintf(stderr, "lpc-isp-sim: cannot watch %s for opens\n", port.path().c_str());
            return 1;
        }
    }
    port.announce();
    uint8_t buffer[256];
    while (!bootrom::stopRequested) {
        long n = port.read(buffer, sizeof buffer, 100);
        if (n < 0) break;
        // An open comes before the bytes the host sends after it.
        char events[4096];
        if (opens >= 0 && read(opens, events, sizeof events) > 0) rom.reset();
        for (long i = 0; i < n; ++i) rom.feed(buffer[i]);
    }
    rom.flushFlash();
    return 0;
}
