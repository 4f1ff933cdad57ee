// Client of the in-system-programming (ISP) boot loader in the ROM of an NXP
// LPC17xx microcontroller, over a serial port: ASCII command lines, decimal
// return codes, UU-encoded data with a checksum after every 20 lines.
//
// Threads: one object is used by one thread at a time; it takes no locks.
// Ownership: the object owns its serial stream and closes it on Disconnect,
// on the next Connect and on destruction.
// Errors (aErr): stream errors as the stream reports them; aErrTimeout when
// the chip does not give the expected answer within a bounded time (or a
// checksummed block was refused MAX_READ_RETRY times); aErrParam for an ISP
// return code other than CMD_SUCCESS (its name is logged) and for arguments
// refused before anything is sent; aErrIO for an answer that is not what the
// protocol allows at that point (garbage, a wrong echo, a bad checksum reply);
// aErrOverrun for an answer line longer than the buffer given for it.
//
// Every wait is bounded: answers are read until the expected text (or a line
// end) arrives or a deadline passes, so an adapter's latency delays an answer
// without breaking it and a silent chip costs a bounded time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aError.h"
#include "aStream.h"

class NXPSerialClass {
public:
    static constexpr int MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz
    static constexpr unsigned MAX_BYTES_PER_LINE = 45;
    static constexpr unsigned LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static constexpr size_t TERMINATION_SIZE = 2;
    // Time an answer may take beyond the wire time of what it waits for.
    static constexpr unsigned ANSWER_TIMEOUT_MS = 1000;

    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    struct Sector {
        uint32_t start;
        uint32_t size;
        uint32_t number;
    };
    static const Sector NXP_LPC17XX_sectors[31];

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens `port` at the first rate the serial stream can set that is at
    // least `baud` (9600 above them all). aErrNotFound, aErrPermission or
    // aErrIO (not a terminal) as the stream reports them.
    aErr Connect(const char* port, unsigned baud);
    // Takes ownership of an already open stream (tests and fuzzing).
    void Attach(aStream* stream, unsigned baud);
    // Closes the stream; what closing it returned, aErrNone when none was open.
    aErr Disconnect();

    // Line level.
    aErr Send(const char* text, bool readEcho);
    aErr SendCommand(const char* text, int waitMs);
    // Reads the echo of the first `length` bytes of `expected`; a byte that
    // differs is a wrong echo (aErrIO). Stray CR, LF and NUL bytes before the
    // echo starts are left over from earlier lines and skipped.
    aErr GetEcho(const char* expected, size_t length, size_t* received);
    // One line up to and including its end, a CR or an LF (CR LF comes as a
    // line and an empty rest, which the next read skips with any other line
    // ends left before a line), at most size - 1 bytes, NUL-terminated.
    // `timeoutMs` bounds the whole wait.
    aErr GetLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs);
    // Reads until `expectedLength` bytes (size - 1 without `expected`), a line
    // end (CR or LF, stored), or the deadline; line ends before the answer
    // are skipped; differences from `expected` are logged only.
    aErr Response(char* buffer, size_t size, size_t* count, const char* expected,
                  size_t expectedLength);
    size_t GetErrorIndex(size_t count) const;
    static const char* GetErrorText(const char* line);

    // ISP commands.
    aErr SetEcho(bool on);
    aErr SetBaudRate(unsigned rate);
    aErr Unlock();
    aErr Prepare(unsigned start, unsigned end);
    aErr Erase(unsigned start, unsigned end);
    aErr CopyToFlash(unsigned flash, unsigned ram, unsigned length);
    aErr ExecuteFrom(unsigned address);
    aErr GetBootLoaderVersion(unsigned char* major, unsigned char* minor);
    aErr GetPartNumber(long* part);
    aErr GetDeviceID();
    aErr Read(unsigned address, unsigned length, unsigned char* out);
    aErr Write(unsigned address, unsigned length, const unsigned char* data);
    // The autobaud handshake from the chip's prompt ("?", "Synchronized",
    // crystal frequency). Sets `echo`, as a chip at its prompt echoes.
    aErr Sync();
    // Makes sure the chip is synchronised at the current rate without
    // assuming where it is: a chip that answers a part-ID query is left as it
    // is (its echo state is learnt from the answer); otherwise it is taken to
    // be at its prompt (for example reset by the port's modem lines on open)
    // and synchronised. Use after every Connect, at the rate of the transfer.
    aErr Resynchronize();

    bool Echo() const { return echo; }
    unsigned Baud() const { return baud; }
    const char* PortName() const { return portName; }
    const uint32_t* DeviceID() const { return deviceID; }
    bool Connected() const { return stream != nullptr; }

    // Helpers.
    static int sum(const unsigned char* data, size_t n);
    static char uuchar(unsigned v);
    static unsigned uuencode(char* out, const unsigned char* data, unsigned n);
    static unsigned uudecode(unsigned char* out, unsigned capacity, const char* line);
    static unsigned CopyLength(unsigned n);
    static unsigned SectorFromAddress(unsigned address);
    // The last flash sector of an LPC17xx part, from its part ID; -1 when the
    // part ID is not one of the family.
    static int LastSectorOfPart(long partId);
    // The RAM image for one copy to flash: the chunk, then 0xFF (the erased
    // value) up to CopyLength(n), so no stale RAM bytes reach the flash and
    // the write length is a multiple of 4.
    static std::vector<unsigned char> CopyImage(const unsigned char* data, unsigned n);

private:
    aErr readByte(uint8_t* byte, uint64_t deadline);
    aErr drain();
    aErr writeRaw(const char* text, size_t length);
    aErr statusCheck(const char* what, int* code = nullptr);
    aErr readNumberLine(long long* value, bool isUnsigned);
    aErr readNonEmptyLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs);
    unsigned wireMs(size_t characters) const;

    aStream* stream = nullptr;
    bool echo = true;
    uint32_t baud = 0;
    char portName[2048] = {0};
    uint32_t deviceID[4] = {0, 0, 0, 0};
};
