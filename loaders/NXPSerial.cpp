#include "NXPSerial.h"
#include "aStreamTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "Log.h"

namespace {

constexpr size_t kLineMax = 1024;
// A part-ID probe is answered at once by a synchronised chip.
constexpr unsigned kProbeTimeoutMs = 500;
// Bounds on discarding stale input, so a babbling line cannot hold us.
constexpr unsigned kDrainMaxMs = 300;

uint64_t NowMs() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Strips leading CR/LF/NUL and trailing CR/LF in place; returns the new length.
size_t Trim(char* line) {
    size_t start = 0;
    size_t n = std::strlen(line);
    while (start < n && (line[start] == '\r' || line[start] == '\n' || line[start] == '\0')) start++;
    while (n > start && (line[n - 1] == '\r' || line[n - 1] == '\n')) n--;
    std::memmove(line, line + start, n - start);
    line[n - start] = '\0';
    return n - start;
}

// The whole text is a number (base prefix allowed); unsigned values must fit 32 bits.
bool ParseNumber(const char* text, long long* value, bool isUnsigned) {
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long long v;
    if (isUnsigned) {
        if (*text == '-') return false;
        unsigned long long u = std::strtoull(text, &end, 0);
        if (u > 0xFFFFFFFFull) return false;
        v = (long long)u;
    } else {
        v = std::strtoll(text, &end, 0);
    }
    if (errno != 0 || end == text || *end != '\0') return false;
    *value = v;
    return true;
}

void DumpBytes(const char* what, const char* bytes, size_t n) {
    if ((Log::package_bitmask & Log::DEBUG_NXPSerial_SR) == 0) return;
    std::string text;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X ", (unsigned char)bytes[i]);
        text += hex;
    }
    Log::log(Log::DEBUG_NXPSerial_SR, "%s [%s]\n", what, text.c_str());
}

} // namespace

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS", "INVALID_COMMAND", "SRC_ADDR_ERROR", "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED", "COUNT_ERROR", "INVALID_SECTOR",
    "SECTOR_NOT_BLANK", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", "COMPARE_ERROR", "BUSY",
    "PARAM_ERROR", "ADDR_ERROR", "ADDR_NOT_MAPPED", "CMD_LOCKED", "INVALID_CODE",
    "INVALID_BAUD_RATE", "INVALID_STOP_BIT", "CODE_READ_PROTECTION_ENABLED", "Unknown error"};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30}};

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { (void)Disconnect(); } // a destructor has no one to tell

aErr NXPSerialClass::Connect(const char* port, unsigned rate) {
    if (stream) (void)aStream_Destroy(&stream); // the old port is let go; the new one is what counts
    if (port == nullptr) return aErrParam;
    // The first rate the port can be set to that is at least the one asked
    // for; the default rate above them all. Callers that must not be
    // second-guessed check the rate with aStream_SerialBaudCode first.
    uint32_t code = aBAUD_9600;
    for (uint32_t c = 0; c < aBAUD_COUNT; ++c) {
        if (aStream_SerialBaudRate(c) >= rate) {
            code = c;
            break;
        }
    }
    baud = aStream_SerialBaudRate(code);
    Log::log(Log::DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port,
             code, baud);
    aErr err = aStream_CreateSerial(port, code, false, 0, 0, &stream);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port,
                 aError_GetErrorText(err));
        return err;
    }
    if (std::strncmp(portName, port, sizeof portName) != 0) {
        std::strncpy(portName, port, sizeof portName - 1);
        portName[sizeof portName - 1] = '\0';
    }
    return aErrNone;
}

void NXPSerialClass::Attach(aStream* s, unsigned rate) {
    if (stream) (void)aStream_Destroy(&stream); // replaced by the given stream either way
    stream = s;
    baud = rate;
}

aErr NXPSerialClass::Disconnect() {
    return stream ? aStream_Destroy(&stream) : aErrNone;
}

unsigned NXPSerialClass::wireMs(size_t characters) const {
    unsigned rate = baud ? baud : 115200;
    return (unsigned)((characters * 10000ull) / rate + 1);
}

aErr NXPSerialClass::readByte(uint8_t* byte, uint64_t deadline) {
    if (!stream) return aErrConnection;
    for (;;) {
        aErr err = aStream_Read(stream, byte, 1);
        if (err != aErrNotReady) return err;
        if (NowMs() >= deadline) return aErrTimeout;
    }
}

aErr NXPSerialClass::drain() {
    if (!stream) return aErrConnection;
    uint64_t stop = NowMs() + kDrainMaxMs;
    uint8_t byte;
    while (NowMs() < stop) {
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady) return aErrNone;
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr NXPSerialClass::writeRaw(const char* text, size_t length) {
    if (!stream) return aErrConnection;
    DumpBytes("Sending", text, length);
    return aStream_Write(stream, (const uint8_t*)text, length);
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
    size_t length = std::strlen(text);
    aErr err = writeRaw(text, length);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (readEcho) {
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) length--;
        size_t received = 0;
        err = GetEcho(text, length, &received);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs) {
    size_t length = std::strlen(text);
    aErr err = writeRaw(text, length);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (waitMs > 0) {
        Log::log(Log::DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    }
    if (echo) {
        // The line end's echo is left for the answer reader, which skips it:
        // chips differ in whether they echo the LF.
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) length--;
        size_t received = 0;
        err = GetEcho(text, length, &received);
        if (received < length)
            Log::log(Log::DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", (int)received,
                     (int)length);
    }
    return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, size_t length, size_t* received) {
    size_t got = 0;
    if (received) *received = 0;
    uint64_t deadline = NowMs() + ANSWER_TIMEOUT_MS + wireMs(length);
    aErr err = aErrNone;
    while (got < length) {
        uint8_t b;
        err = readByte(&b, deadline);
        if (err != aErrNone) break;
        if (got == 0 && (b == '\r' || b == '\n' || b == 0) && (uint8_t)expected[0] != b) continue;
        if (b != (uint8_t)expected[got]) {
            Log::log(Log::DEBUG_NXPSerial_E, "Error echo byte %d [%02X] != [%02X]\n", (int)got, b,
                     (uint8_t)expected[got]);
            err = aErrIO;
            break;
        }
        got++;
    }
    if (received) *received = got;
    DumpBytes("Echo", expected, got);
    return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs) {
    size_t n = 0;
    aErr err = aErrNone;
    if (buffer == nullptr || size == 0) return aErrParam;
    uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        if (n + 1 >= size) {
            err = aErrOverrun;
            break;
        }
        uint8_t b;
        err = readByte(&b, deadline);
        if (err != aErrNone) break;
        // Chips end lines with CR, LF or both, and echo the host's line end
        // before or after their answer: any of them ends a line, and those
        // left over from the line before are skipped.
        const bool end = b == '\r' || b == '\n';
        if (n == 0 && end) continue;
        buffer[n++] = (char)b;
        if (end) break;
    }
    buffer[n] = '\0';
    if (count) *count = n;
    DumpBytes("Received", buffer, n);
    if (err == aErrOverrun) Log::log(Log::DEBUG_NXPSerial, "Error answer line too long\n");
    return err;
}

aErr NXPSerialClass::readNonEmptyLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs) {
    uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        uint64_t now = NowMs();
        unsigned left = deadline > now ? (unsigned)(deadline - now) : 0;
        aErr err = GetLine(buffer, size, count, left);
        if (err != aErrNone) return err;
        size_t n = Trim(buffer);
        if (count) *count = n;
        if (n > 0) return aErrNone;
        if (left == 0) return aErrTimeout;
    }
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedLength) {
    size_t n = 0;
    if (count) *count = 0;
    if (buffer == nullptr || size == 0) return aErrParam;
    size_t limit = expected ? std::min(expectedLength, size) : size - 1;
    uint64_t deadline = NowMs() + ANSWER_TIMEOUT_MS + wireMs(limit);
    aErr err = aErrNone;
    size_t position = 0;
    while (n < limit) {
        uint8_t b;
        err = readByte(&b, deadline);
        if (err != aErrNone) break;
        if (n == 0 && (b == '\n' || b == '\r')) continue;
        if (position++ < 3 && b == 0) continue;
        buffer[n] = (char)b;
        if (expected && expected[n] != (char)b)
            Log::log(Log::DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     (int)n, b, b, expected[n], (uint8_t)expected[n]);
        n++;
        // As in GetLine: a CR or an LF ends the answer, whichever comes.
        if (b == '\r' || b == '\n') break;
    }
    if (count) *count = n;
    DumpBytes("Response", buffer, n);
    return err;
}

size_t NXPSerialClass::GetErrorIndex(size_t count) const {
    return (echo && count > 2) ? count - 3 : 0;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
    if (line == nullptr) return ERROR_TEXT[MAX_ERROR];
    long v = std::strtol(line, nullptr, 0);
    if (v < 0 || v > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[v];
}

aErr NXPSerialClass::statusCheck(const char* what, int* code) {
    char line[kLineMax];
    size_t n = 0;
    aErr err = readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial, "Error %s no status answer [%s]\n", what,
                 aError_GetErrorText(err));
        return err;
    }
    long long value = -1;
    if (!ParseNumber(line, &value, false)) {
        Log::log(Log::DEBUG_NXPSerial, "Error %s unexpected answer [%s]\n", what, line);
        return aErrIO;
    }
    if (code) *code = (int)value;
    if (value != 0) {
        if (std::strcmp(what, "Write()") == 0)
            Log::log(Log::DEBUG_NXPSerial, "Write() Error response ==>[%s]\n", GetErrorText(line));
        else
            Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
        return aErrParam;
    }
    return aErrNone;
}

aErr NXPSerialClass::readNumberLine(long long* value, bool isUnsigned) {
    char line[kLineMax];
    size_t n = 0;
    aErr err = readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS);
    if (err != aErrNone) return err;
    if (!ParseNumber(line, value, isUnsigned)) {
        Log::log(Log::DEBUG_NXPSerial, "Error expected a number, got [%s]\n", line);
        return aErrIO;
    }
    return aErrNone;
}

namespace {
// Sends a formatted command through SendCommand; logs a failed write.
template <typename... Args>
aErr Command(NXPSerialClass& isp, char (&text)[96], const char* fmt, Args... args) {
    std::snprintf(text, sizeof text, fmt, args...);
    aErr err = isp.SendCommand(text, 0);
    if (err != aErrNone) {
        std::string shown(text);
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
        Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", shown.c_str(),
                 aError_GetErrorText(err));
    }
    return err;
}
} // namespace

aErr NXPSerialClass::SetEcho(bool on) {
    char text[96];
    Log::log(Log::DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    aErr err = Command(*this, text, "A %d\r\n", on ? 1 : 0);
    if (err == aErrNone) err = statusCheck("SetEcho()");
    if (err == aErrNone) echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned rate) {
    char text[96];
    aErr err = Command(*this, text, "B %u %d\r\n", rate, 1);
    return err == aErrNone ? statusCheck("SetBaudRate()") : err;
}

aErr NXPSerialClass::Unlock() {
    char text[96];
    aErr err = Command(*this, text, "U 23130\r\n");
    return err == aErrNone ? statusCheck("Unlock()") : err;
}

aErr NXPSerialClass::Prepare(unsigned start, unsigned end) {
    if (end < start) return aErrParam;
    char text[96];
    aErr err = Command(*this, text, "P %u %u\r\n", start, end);
    return err == aErrNone ? statusCheck("Prepare()") : err;
}

aErr NXPSerialClass::Erase(unsigned start, unsigned end) {
    if (end < start) return aErrParam;
    char text[96];
    aErr err = Command(*this, text, "E %u %u\r\n", start, end);
    return err == aErrNone ? statusCheck("Erase()") : err;
}

aErr NXPSerialClass::CopyToFlash(unsigned flash, unsigned ram, unsigned length) {
    if (flash % 256 != 0 || (length != 256 && length != 512 && length != 1024 && length != 4096))
        return aErrParam;
    char text[96];
    aErr err = Command(*this, text, "C %u %u %u\r\n", flash, ram, length);
    return err == aErrNone ? statusCheck("CopyToFlash()") : err;
}

aErr NXPSerialClass::ExecuteFrom(unsigned address) {
    char text[96];
    return Command(*this, text, "G %u T\r\n", address);
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* major, unsigned char* minor) {
    char text[96];
    aErr err = Command(*this, text, "K\r\n");
    if (err == aErrNone) err = statusCheck("GetBootLoaderVersion()");
    long long a = 0, b = 0;
    if (err == aErrNone) err = readNumberLine(&a, true);
    if (err == aErrNone) err = readNumberLine(&b, true);
    if (err != aErrNone) return err;
    if (major) *major = (unsigned char)a;
    if (minor) *minor = (unsigned char)b;
    Log::log(Log::DEBUG_NXPSerial, "Device responded with version: %d.%d\n", (int)a, (int)b);
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* part) {
    char text[96];
    aErr err = Command(*this, text, "J\r\n");
    if (err == aErrNone) err = statusCheck("GetPartNumber()");
    long long value = 0;
    if (err == aErrNone) err = readNumberLine(&value, true);
    if (err != aErrNone) return err;
    if (part) *part = (long)value;
    Log::log(Log::DEBUG_NXPSerial, "Device responded with part number: %lld\n", value);
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
    char text[96];
    aErr err = Command(*this, text, "N\r\n");
    if (err == aErrNone) err = statusCheck("GetDeviceID()");
    uint32_t words[4];
    for (int i = 0; i < 4 && err == aErrNone; ++i) {
        long long value = 0;
        err = readNumberLine(&value, true);
        words[i] = (uint32_t)value;
    }
    if (err != aErrNone) return err;
    std::memcpy(deviceID, words, sizeof deviceID);
    return aErrNone;
}

aErr NXPSerialClass::Write(unsigned address, unsigned length, const unsigned char* data) {
    if (length == 0 || length % 4 != 0 || data == nullptr) return aErrParam;
    char text[96];
    aErr err = Command(*this, text, "W %u %u\r\n", address, length);
    if (err == aErrNone) err = statusCheck("Write()");
    if (err != aErrNone) return err;

    int retries = MAX_READ_RETRY;
    unsigned blockStart = 0;
    while (blockStart < length) {
        // One block of up to LINES_PER_CHECKSUM lines; without echo it goes
        // out in one write.
        std::string block;
        unsigned position = blockStart;
        for (unsigned lines = 0; position < length && lines < LINES_PER_CHECKSUM; ++lines) {
            unsigned n = std::min(MAX_BYTES_PER_LINE, length - position);
            char line[96];
            uuencode(line, data + position, n);
            std::strcat(line, "\r\n");
            if (echo) {
                err = Send(line, true);
                if (err != aErrNone) return err;
            } else {
                block += line;
            }
            position += n;
        }
        int checksum = sum(data + blockStart, position - blockStart);
        Log::log(Log::DEBUG_NXPSerial_E, "Write() Checksum: %08X (%d)\n", checksum, checksum);
        char line[32];
        std::snprintf(line, sizeof line, "%d\r\n", checksum);
        size_t blockChars = block.size();
        if (echo) {
            err = Send(line, true);
        } else {
            block += line;
            err = writeRaw(block.data(), block.size());
        }
        if (err != aErrNone) return err;

        uint64_t started = NowMs();
        char answer[64];
        size_t n = 0;
        // The chip answers after it has taken the whole block off the wire.
        err = readNonEmptyLine(answer, sizeof answer, &n, ANSWER_TIMEOUT_MS + 2 * wireMs(blockChars));
        Log::log(Log::DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", (int)(NowMs() - started));
        if (err != aErrNone) {
            Log::log(Log::DEBUG_NXPSerial, "Write() no checksum answer [%s]\n", aError_GetErrorText(err));
            return err;
        }
        if (std::strcmp(answer, "OK") == 0) {
            blockStart = position;
            Log::log(Log::DEBUG_NXPSerial_E, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
                     (int)blockStart, (int)length, 100.0 * blockStart / length);
        } else if (std::strcmp(answer, "RESEND") == 0) {
            if (--retries < 1) {
                Log::log(Log::DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
        } else {
            Log::log(Log::DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(unsigned address, unsigned length, unsigned char* out) {
    if (length == 0 || length % 4 != 0 || out == nullptr) return aErrParam;
    char text[96];
    aErr err = Command(*this, text, "R %u %u\r\n", address, length);
    if (err == aErrNone) err = statusCheck("Read()");
    if (err != aErrNone) return err;

    int retries = MAX_READ_RETRY;
    unsigned received = 0;
    unsigned blockStart = 0;
    while (received < length) {
        for (unsigned lines = 0; received < length && lines < LINES_PER_CHECKSUM; ++lines) {
            char line[kLineMax];
            size_t n = 0;
            err = readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS);
            if (err != aErrNone) return err;
            unsigned count = ((unsigned)line[0] - 32) & 0x3F;
            if (count == 0 || count > MAX_BYTES_PER_LINE || count > length - received ||
                n < 1 + 4 * ((count + 2) / 3)) {
                Log::log(Log::DEBUG_NXPSerial, "Read() bad data line [%s]\n", line);
                return aErrIO;
            }
            received += uudecode(out + received, length - received, line);
        }
        long long checksum = 0;
        err = readNumberLine(&checksum, false);
        if (err != aErrNone) return err;
        if (checksum == sum(out + blockStart, received - blockStart)) {
            err = Send("OK\r\n", echo);
            if (err != aErrNone) return err;
            blockStart = received;
            Log::log(Log::DEBUG_NXPSerial_E, "valid receipt of %d of %d (%.0f%%) bytes\n",
                     (int)received, (int)length, 100.0 * received / length);
        } else {
            if (--retries == 0) return aErrTimeout;
            err = Send("RESEND\r\n", echo);
            if (err != aErrNone) return err;
            received = blockStart;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Sync() {
    if (!stream) return aErrConnection;
    echo = true; // a chip at its prompt echoes
    (void)drain(); // stale bytes only: a broken port fails the write that follows
    char line[64];
    size_t n = 0;
    aErr err = aErrTimeout;
    // A chip that has just been reset may miss the first '?' while its
    // autobaud settles; one more try costs little.
    for (int attempt = 0; attempt < 2; ++attempt) {
        err = writeRaw("?", 1);
        if (err != aErrNone) return err;
        err = readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS);
        if (err == aErrNone && std::strcmp(line, "Synchronized") == 0) break;
        if (err == aErrNone) {
            Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s]\n", line);
            err = aErrIO;
        }
        (void)drain(); // as above: the next attempt's write reports a broken port
    }
    if (err != aErrNone) {
        Log::log(Log::DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 aError_GetErrorText(err), err == aErrIO ? line : "");
        return err;
    }
    // Each of the next two lines comes back as its echo followed by "OK".
    char crystal[32];
    std::snprintf(crystal, sizeof crystal, "%d\r\n", (int)(0.5f + CRYSTAL_DEFAULT * 1000.0f));
    const char* steps[] = {"Synchronized\r\n", crystal};
    for (const char* step : steps) {
        err = writeRaw(step, std::strlen(step));
        if (err != aErrNone) return err;
        std::string echoed(step, std::strlen(step) - 2);
        bool sawEcho = false;
        for (;;) {
            err = readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS + wireMs(echoed.size()));
            if (err != aErrNone) {
                Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                         aError_GetErrorText(err), "OK");
                return err;
            }
            if (!sawEcho && echoed == line) {
                sawEcho = true;
                continue;
            }
            if (std::strcmp(line, "OK") == 0) break;
            Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", line, "OK");
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Resynchronize() {
    if (!stream) return aErrConnection;
    // A chip at its prompt ignores everything but '?', so probing is harmless.
    // Two probes: the first may only end a line the chip was still waiting
    // for (a session cut short, or its last words lost when the port closed).
    for (int probe = 0; probe < 2; ++probe) {
        (void)drain(); // as above: the probe's write reports a broken port
        aErr err = writeRaw("J\r\n", 3);
        if (err != aErrNone) return err;
        char line[64];
        size_t n = 0;
        bool sawEcho = false;
        uint64_t deadline = NowMs() + kProbeTimeoutMs;
        for (int lines = 0; lines < 4; ++lines) {
            uint64_t now = NowMs();
            if (now >= deadline) break;
            if (readNonEmptyLine(line, sizeof line, &n, (unsigned)(deadline - now)) != aErrNone) break;
            if (!sawEcho && std::strcmp(line, "J") == 0) {
                sawEcho = true;
                continue;
            }
            long long value;
            if (!ParseNumber(line, &value, false)) break;
            // A status line: the chip is synchronised. Take its part ID off the line.
            if (value == 0) (void)readNonEmptyLine(line, sizeof line, &n, ANSWER_TIMEOUT_MS); // unused; a line left over is drained before the next command
            echo = sawEcho;
            Log::log(Log::DEBUG_NXPSerial, "Device already synchronised (echo %d)\n", echo ? 1 : 0);
            return aErrNone;
        }
    }
    return Sync();
}

int NXPSerialClass::sum(const unsigned char* data, size_t n) {
    int total = 0;
    for (size_t i = 0; i < n; ++i) total += data[i];
    return total;
}

char NXPSerialClass::uuchar(unsigned v) {
    v &= 0x3F;
    return v == 0 ? '`' : (char)(v + 32);
}

unsigned NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned n) {
    size_t k = 0;
    out[k++] = uuchar(n);
    for (unsigned i = 0; i < n; i += 3) {
        unsigned b0 = data[i];
        unsigned b1 = i + 1 < n ? data[i + 1] : 0;
        unsigned b2 = i + 2 < n ? data[i + 2] : 0;
        unsigned group = (b0 << 16) | (b1 << 8) | b2;
        out[k++] = uuchar(group >> 18);
        out[k++] = uuchar(group >> 12);
        out[k++] = uuchar(group >> 6);
        out[k++] = uuchar(group);
    }
    out[k] = '\0';
    return n;
}

unsigned NXPSerialClass::uudecode(unsigned char* out, unsigned capacity, const char* line) {
    if (line == nullptr || line[0] == '\0') return 0;
    unsigned n = ((unsigned)line[0] - 32) & 0x3F;
    if (capacity < n) return 0;
    size_t available = std::strlen(line + 1);
    const char* p = line + 1;
    unsigned written = 0;
    bool overrun = false;
    // Characters missing from a short line count as zero, never read past its end.
    auto at = [&](size_t i) -> unsigned {
        if (i >= available) {
            overrun = true;
            return 0;
        }
        return ((unsigned)p[i] - 32) & 0x3F;
    };
    for (size_t g = 0; written < n; g += 4) {
        unsigned c0 = at(g), c1 = at(g + 1), c2 = at(g + 2), c3 = at(g + 3);
        unsigned char bytes[3] = {(unsigned char)((c0 << 2) | ((c1 >> 4) & 3)),
                                  (unsigned char)((c1 << 4) | ((c2 >> 2) & 0xF)),
                                  (unsigned char)((c2 << 6) | (c3 & 0x3F))};
        for (int i = 0; i < 3 && written < n; ++i) out[written++] = bytes[i];
    }
    if (overrun) Log::log(Log::DEBUG_NXPSerial, "Error buffer overrun\n");
    return n;
}

unsigned NXPSerialClass::CopyLength(unsigned n) {
    for (unsigned size : {256u, 512u, 1024u, 4096u})
        if (n <= size) return size;
    Log::log(Log::DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", (int)n);
    return n;
}

unsigned NXPSerialClass::SectorFromAddress(unsigned address) {
    for (const Sector& s : NXP_LPC17XX_sectors) {
        if (s.size == 0) break;
        if (address >= s.start && address < s.start + s.size) return s.number;
    }
    return 30;
}

int NXPSerialClass::LastSectorOfPart(long partId) {
    // LPC17xx part IDs and their flash sizes (KB).
    static const struct {
        uint32_t id;
        unsigned kb;
    } parts[] = {
        {0x26113F37, 512}, {0x26013F37, 512}, {0x26012837, 512}, {0x26013F33, 256},
        {0x26013733, 256}, {0x26011922, 128}, {0x26012033, 256}, {0x25113737, 512},
        {0x25013F37, 512}, {0x25011723, 256}, {0x25011722, 128}, {0x25001121, 64},
        {0x25001118, 32},  {0x25001110, 32},
    };
    for (const auto& p : parts) {
        if ((uint32_t)partId != p.id) continue;
        switch (p.kb) {
        case 32: return 7;
        case 64: return 15;
        case 128: return 17;
        case 256: return 21;
        default: return 29;
        }
    }
    return -1;
}

std::vector<unsigned char> NXPSerialClass::CopyImage(const unsigned char* data, unsigned n) {
    std::vector<unsigned char> image((CopyLength(n) + 3u) & ~3u, 0xFF);
    if (n > image.size()) n = (unsigned)image.size();
    if (n > 0) std::memcpy(image.data(), data, n);
    return image;
}
