#include "LpcIspRom.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace bootrom {

namespace {

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
constexpr uint32_t kUnlockCode = 23130;

// Part IDs by flash size; the first of each size is what LpcPartWithFlash names.
struct Part {
    uint32_t id;
    uint32_t kb;
};
constexpr Part kParts[] = {
    {0x26013F37, 512}, {0x26013F33, 256}, {0x26013733, 256}, {0x26012033, 256}, {0x25011723, 256},
    {0x26011922, 128}, {0x25011722, 128}, {0x25001121, 64},  {0x25001118, 32},  {0x25001110, 32},
};

// LPC17xx sectors: 4 KB up to 64 KB, 32 KB above.
uint32_t SectorStart(unsigned s) { return s < 16 ? s * 0x1000 : 0x10000 + (s - 16) * 0x8000; }
uint32_t SectorSize(unsigned s) { return s < 16 ? 0x1000 : 0x8000; }
unsigned SectorOf(uint32_t a) { return a < 0x10000 ? a / 0x1000 : 16 + (a - 0x10000) / 0x8000; }

char UU(unsigned v) {
    v &= 0x3F;
    return v ? (char)(v + 32) : '`';
}

} // namespace

uint32_t LpcFlashSizeOf(uint32_t partId) {
    for (const Part& p : kParts)
        if (p.id == partId) return p.kb * 1024;
    return 512 * 1024;
}

uint32_t LpcPartWithFlash(uint32_t bytes) {
    for (const Part& p : kParts)
        if (p.kb * 1024 == bytes) return p.id;
    return 0;
}

bool KnownIspRomFault(const std::string& name) {
    static const std::set<std::string> known = {"never-sync", "resend", "bad-checksum-reply", "refuse-prepare",
                                                "refuse-copy", "garbage", "long-line", "bad-echo"};
    return known.count(name) != 0;
}

LpcIspRom::LpcIspRom(const IspRomOptions& o, PtyPort& p, IspFlash& f, Events e)
    : opt(o), port(p), flash(f), events(std::move(e)) {
    sectors = SectorOf((uint32_t)flash.bytes().size() - 1) + 1;
    // Stale RAM, as after a warm reset: not the erased value.
    ram0.resize(kRam0Size);
    ram1.resize(kRam1Size);
    for (size_t i = 0; i < kRam0Size; ++i) ram0[i] = ram1[i] = (uint8_t)(0x5A ^ (i * 7));
}

void LpcIspRom::feed(uint8_t b) {
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

void LpcIspRom::reset() {
    port.discardOutput();
    state = State::Prompt;
    echo = true;
    unlocked = false;
    prepared.clear();
    line.clear();
    lastWasCr = false;
    log("reset: back at the synchronisation prompt");
}

// Answers are written with CR LF; the chosen line end replaces it.
void LpcIspRom::send(std::string s) {
    if (opt.answerEnd != "\r\n") {
        for (size_t at = 0; (at = s.find("\r\n", at)) != std::string::npos; at += opt.answerEnd.size())
            s.replace(at, 2, opt.answerEnd);
    }
    port.write(s);
}

void LpcIspRom::status(int code) { send(std::to_string(code) + "\r\n"); }

void LpcIspRom::log(const std::string& s) {
    if (events.note) events.note(s);
}

// Memory by address: flash, or one of the two RAM blocks; null when unmapped.
const uint8_t* LpcIspRom::readable(uint32_t a, uint32_t n) const {
    const std::vector<uint8_t>& f = flash.bytes();
    if ((uint64_t)a + n <= f.size()) return f.data() + a;
    if (a >= kRam0 && (uint64_t)a + n <= (uint64_t)kRam0 + kRam0Size) return ram0.data() + (a - kRam0);
    if (a >= kRam1 && (uint64_t)a + n <= (uint64_t)kRam1 + kRam1Size) return ram1.data() + (a - kRam1);
    return nullptr;
}

uint8_t* LpcIspRom::ramAt(uint32_t a, uint32_t n) {
    if ((uint64_t)a + n <= flash.bytes().size()) return nullptr;
    if (a >= kRam0 && (uint64_t)a + n <= (uint64_t)kRam0 + kRam0Size) return ram0.data() + (a - kRam0);
    if (a >= kRam1 && (uint64_t)a + n <= (uint64_t)kRam1 + kRam1Size) return ram1.data() + (a - kRam1);
    return nullptr;
}

void LpcIspRom::onLine(const std::string& l) {
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
            if (events.synchronised) events.synchronised(khz);
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

void LpcIspRom::onCommand(const std::string& l) {
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
        if (n[0] != kUnlockCode) return status(INVALID_CODE);
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
    if (cmd == "P" || cmd == "E" || cmd == "I") return onSectorCommand(cmd, args, n);
    if (cmd == "W" || cmd == "R") {
        if (!want(2)) return status(PARAM_ERROR);
        if (n[0] % 4 != 0) return status(ADDR_ERROR);
        if (n[1] % 4 != 0) return status(COUNT_ERROR);
        const bool mapped = cmd == "W" ? ramAt(n[0], n[1]) != nullptr : readable(n[0], n[1]) != nullptr;
        if (!mapped) return status(ADDR_NOT_MAPPED);
        status(CMD_SUCCESS);
        xferAddress = n[0];
        xferLength = n[1];
        xferDone = blockStart = 0;
        blockLines = 0;
        if (n[1] == 0) return;
        if (cmd == "W") state = State::WriteData;
        else sendReadBlock();
        return;
    }
    if (cmd == "C") {
        if (!want(3)) return status(PARAM_ERROR);
        return onCopy(n);
    }
    if (cmd == "M") {
        if (!want(3)) return status(PARAM_ERROR);
        return onCompare(n);
    }
    if (cmd == "G") return onGo(args, n);
    status(INVALID_COMMAND);
}

// P (prepare), E (erase) and I (blank check) of a range of sectors.
void LpcIspRom::onSectorCommand(const std::string& cmd, const std::vector<std::string>& args,
                                const std::vector<uint32_t>& n) {
    if (args.size() != 2) return status(PARAM_ERROR);
    if (n[1] < n[0] || n[1] >= sectors) return status(INVALID_SECTOR);
    if (cmd == "P") {
        if (fault("refuse-prepare")) return status(BUSY);
        for (uint32_t s = n[0]; s <= n[1]; ++s) prepared.insert(s);
        return status(CMD_SUCCESS);
    }
    const uint32_t from = SectorStart(n[0]);
    const uint32_t to = SectorStart(n[1]) + SectorSize(n[1]);
    if (cmd == "E") {
        if (!unlocked) return status(CMD_LOCKED);
        for (uint32_t s = n[0]; s <= n[1]; ++s)
            if (!prepared.count(s)) return status(SECTOR_NOT_PREPARED);
        flash.erase(from, to - from);
        prepared.clear();
        log("erased sectors " + args[0] + " to " + args[1]);
        return status(CMD_SUCCESS);
    }
    const std::vector<uint8_t>& f = flash.bytes();
    for (uint32_t a = from; a < to; a += 4) {
        if (f[a] != 0xFF || f[a + 1] != 0xFF || f[a + 2] != 0xFF || f[a + 3] != 0xFF) {
            uint32_t word = f[a] | f[a + 1] << 8 | f[a + 2] << 16 | (uint32_t)f[a + 3] << 24;
            return send("8\r\n" + std::to_string(a) + "\r\n" + std::to_string(word) + "\r\n");
        }
    }
    status(CMD_SUCCESS);
}

// C: RAM to prepared flash sectors, unlocked; programming only clears bits.
void LpcIspRom::onCopy(const std::vector<uint32_t>& n) {
    if (!unlocked) return status(CMD_LOCKED);
    if (n[0] % 256 != 0) return status(DST_ADDR_ERROR);
    if (n[1] % 4 != 0) return status(SRC_ADDR_ERROR);
    if (n[2] != 256 && n[2] != 512 && n[2] != 1024 && n[2] != 4096) return status(COUNT_ERROR);
    if ((uint64_t)n[0] + n[2] > flash.bytes().size()) return status(DST_ADDR_NOT_MAPPED);
    const uint8_t* src = ramAt(n[1], n[2]);
    if (src == nullptr) return status(SRC_ADDR_NOT_MAPPED);
    for (unsigned s = SectorOf(n[0]); s <= SectorOf(n[0] + n[2] - 1); ++s)
        if (!prepared.count(s)) return status(SECTOR_NOT_PREPARED);
    if (fault("refuse-copy")) return status(BUSY);
    std::vector<uint8_t> cells(flash.bytes().begin() + n[0], flash.bytes().begin() + n[0] + n[2]);
    for (uint32_t i = 0; i < n[2]; ++i) cells[i] &= src[i];
    flash.program(n[0], cells.data(), n[2]);
    prepared.clear();
    status(CMD_SUCCESS);
}

void LpcIspRom::onCompare(const std::vector<uint32_t>& n) {
    if (n[0] % 4 != 0) return status(SRC_ADDR_ERROR);
    if (n[1] % 4 != 0) return status(DST_ADDR_ERROR);
    if (n[2] % 4 != 0) return status(COUNT_ERROR);
    const uint8_t* a = readable(n[0], n[2]);
    const uint8_t* b = readable(n[1], n[2]);
    if (a == nullptr) return status(SRC_ADDR_NOT_MAPPED);
    if (b == nullptr) return status(DST_ADDR_NOT_MAPPED);
    for (uint32_t i = 0; i < n[2]; ++i)
        if (a[i] != b[i]) return send("10\r\n" + std::to_string(i & ~3u) + "\r\n");
    status(CMD_SUCCESS);
}

void LpcIspRom::onGo(const std::vector<std::string>& args, const std::vector<uint32_t>& n) {
    if (args.size() != 2 || (args[1] != "T" && args[1] != "A")) return status(PARAM_ERROR);
    if (!unlocked) return status(CMD_LOCKED);
    if (n[0] % (args[1] == "T" ? 2 : 4) != 0) return status(ADDR_ERROR);
    status(CMD_SUCCESS);
    state = State::Running;
    flash.sync();
    if (events.go) events.go(n[0], args[1][0]);
}

void LpcIspRom::onWriteLine(const std::string& l) {
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

void LpcIspRom::sendReadBlock() {
    const uint8_t* src = readable(xferAddress, xferLength);
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

void LpcIspRom::onReadAnswer(const std::string& l) {
    if (l == "RESEND") xferDone = blockStart;
    else if (l != "OK") { // anything else ends the transfer
        state = State::Command;
        return;
    }
    if (xferDone >= xferLength) state = State::Command;
    else sendReadBlock();
}

} // namespace bootrom
