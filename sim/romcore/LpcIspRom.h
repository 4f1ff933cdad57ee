// The in-system-programming boot ROM of an NXP LPC17xx as a host's ISP tool
// meets it after reset: autobaud on '?', echo on, the ASCII command set with
// its return codes, UU-encoded data with checksums, flash with sector
// preparation and NOR write rules. It may run a line at its carriage return
// and echo the line feed after the answer, as many real ROMs do.
//
// The ROM is fed the host's bytes and answers through a PtyPort; its flash is
// kept by whoever hosts it (lpc-isp-sim: a file; tarnix-sim: a module's
// flash). Single-threaded: the host's loop calls it.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Port.h"

namespace bootrom {

// The LPC1768's part ID (512 KB): the default.
constexpr uint32_t kLpc1768PartId = 0x26013F37;

struct IspRomOptions {
    uint32_t partId = kLpc1768PartId;
    uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978}; // answered to N
    uint32_t crystal = 0;          // non-zero: refuse synchronisation at any other frequency
    std::set<std::string> faults;  // see KnownIspRomFault
    bool executeAtCr = false;      // a line runs at its CR (the LF's echo trails the answer)
    std::string answerEnd = "\r\n"; // how the ROM ends its own lines
};

// The part's flash from address 0, where the ROM erases and programs.
class IspFlash {
public:
    virtual ~IspFlash() = default;
    virtual const std::vector<uint8_t>& bytes() const = 0;
    // Sets [offset, offset + length) to the erased value 0xFF.
    virtual void erase(uint32_t offset, uint32_t length) = 0;
    // Stores `data` at offset: the bytes as the cells now hold them (the ROM
    // has applied the NOR rule already).
    virtual void program(uint32_t offset, const uint8_t* data, uint32_t length) = 0;
    // The chip leaves the ROM: make the flash durable.
    virtual void sync() {}
};

// Flash size in bytes of an LPC17xx by part ID (512 KB for one not listed).
uint32_t LpcFlashSizeOf(uint32_t partId);
// The part ID of an LPC17xx with exactly `bytes` of flash; 0 when none has it.
uint32_t LpcPartWithFlash(uint32_t bytes);
// True for a fault name the ROM knows: never-sync, resend, bad-checksum-reply,
// refuse-prepare, refuse-copy, garbage, long-line, bad-echo.
bool KnownIspRomFault(const std::string& name);

class LpcIspRom {
public:
    // What the ROM tells its host program; each may be empty. Called on the
    // thread that feeds the ROM.
    struct Events {
        std::function<void(uint32_t khz)> synchronised; // a host completed the synchronisation
        std::function<void(uint32_t address, char mode)> go; // the host started code: the ROM is done
        std::function<void(const std::string&)> note;   // one line per command, for a verbose log
    };

    // `port` and `flash` are the caller's and must outlive the ROM; the
    // flash must be one of the sizes LpcFlashSizeOf knows.
    LpcIspRom(const IspRomOptions& options, PtyPort& port, IspFlash& flash, Events events);

    // One byte from the host.
    void feed(uint8_t b);
    // A reset: the chip is back at its prompt, locked, with nothing prepared.
    // Flash and RAM keep their contents.
    void reset();
    // True once the host started code (G): the ROM answers nothing more.
    bool running() const { return state == State::Running; }

private:
    enum class State { Prompt, SyncLine, CrystalLine, Command, WriteData, ReadWait, Running };

    bool fault(const char* name) const { return opt.faults.count(name) != 0; }
    void send(std::string s);
    void status(int code);
    void log(const std::string& s);
    const uint8_t* readable(uint32_t a, uint32_t n) const;
    uint8_t* ramAt(uint32_t a, uint32_t n);
    void onLine(const std::string& l);
    void onCommand(const std::string& l);
    void onSectorCommand(const std::string& cmd, const std::vector<std::string>& args, const std::vector<uint32_t>& n);
    void onCopy(const std::vector<uint32_t>& n);
    void onCompare(const std::vector<uint32_t>& n);
    void onGo(const std::vector<std::string>& args, const std::vector<uint32_t>& n);
    void onWriteLine(const std::string& l);
    void sendReadBlock();
    void onReadAnswer(const std::string& l);

    const IspRomOptions opt;
    PtyPort& port;
    IspFlash& flash;
    Events events;
    State state = State::Prompt;
    bool echo = true;
    bool unlocked = false;
    bool lastWasCr = false;
    std::string line;
    std::vector<uint8_t> ram0, ram1;
    unsigned sectors = 0;
    std::set<uint32_t> prepared;
    uint32_t xferAddress = 0, xferLength = 0, xferDone = 0, blockStart = 0;
    int blockLines = 0;
};

} // namespace bootrom
