// imx-sdp-sim: the serial download protocol of an NXP i.MX boot ROM on its
// UART, on a pseudo-terminal: the association bytes, 16-byte commands, the
// security-mode answer before every result, register and memory reads,
// WRITE_FILE (security mode at once, completion word after the data), DCD
// writes and the jump.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Port.h"
#include "SparseRam.h"

using bootrom::ParseU32;

namespace {

const char kUsage[] =
    "Usage: imx-sdp-sim [OPTIONS]\n"
    "Simulates the UART serial download boot ROM of an NXP i.MX on a pseudo-terminal.\n"
    "Prints \"pty PATH\" and \"READY\" when the terminal is open.\n"
    "\n"
    "  --fuses LOW,HIGH     the words read at 0x401F4410 and 0x401F4420 (the chip's\n"
    "                       identity; default 0x1A2B3C4D,0x5E6F7081)\n"
    "  --register ADDR=VAL  another 32-bit register the host may read (repeatable)\n"
    "  --security MODE      open (default) or closed\n"
    "  --dump FILE          at the jump, write every written memory region to FILE:\n"
    "                       per region its address and length (32-bit little-endian)\n"
    "                       then its bytes\n"
    "  --banner TEXT        what the started code prints on the UART after the jump\n"
    "                       (default \"Loaded image running\" on a line; empty: nothing)\n"
    "  --pace               pace bytes at the wire speed the host set on the line\n"
    "  --latency MS         hold bytes towards the host like a USB-serial adapter\n"
    "  --link PATH          also make PATH a symbolic link to the terminal\n"
    "  --ready-file FILE    write the ready lines to FILE too (removed at exit)\n"
    "  --fault NAME         misbehave (repeatable): silent (never answer),\n"
    "                       chatter (send bytes while data is coming in),\n"
    "                       no-complete (never confirm a write), bad-complete\n"
    "                       (confirm with a wrong word), garbage (answer noise)\n"
    "  --image-control PORT tarnix-sim's control port on 127.0.0.1: at the jump the\n"
    "  --image-module NAME  loaded image starts there as module NAME (a module with\n"
    "                       start_down, identity and loader_running; see README)\n"
    "  --verbose            log every command on standard error\n"
    "  --help               this text\n"
    "\n"
    "Standard output also gets \"JUMP ADDRESS\" when the host starts code.\n"
    "SIGINT or SIGTERM end it (status 0); a bad command line gives status 2.\n";

constexpr uint32_t kSecurityOpen = 0x56787856;
constexpr uint32_t kSecurityClosed = 0x12343412;
constexpr uint32_t kWriteComplete = 0x88888888;
constexpr uint32_t kRegisterWritten = 0x128A8A12;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kSkipDcdOk = 0x900DD009;
const uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr uint32_t kMaxTransfer = 64u << 20; // more than any i.MX on-chip RAM

struct Options {
    std::map<uint32_t, uint32_t> registers = {{0x401F4410, 0x1A2B3C4D}, {0x401F4420, 0x5E6F7081}};
    uint32_t security = kSecurityOpen;
    std::string dumpFile;
    std::string banner = "\r\nLoaded image running\r\n";
    std::set<std::string> faults;
    bool verbose = false;
    uint16_t imageControl = 0;
    std::string imageModule;
};

// Tells tarnix-sim that the loaded image runs: "revive MODULE" on its control
// port. Returns its answer line (empty when there was none within a second).
std::string StartImage(uint16_t port, const std::string& module) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const std::string line = "revive " + module + "\n";
    if (connect(fd, (sockaddr*)&a, sizeof a) == 0 && write(fd, line.data(), line.size()) == (ssize_t)line.size()) {
        pollfd p{fd, POLLIN, 0};
        char c;
        while (poll(&p, 1, 1000) > 0 && read(fd, &c, 1) == 1 && c != '\n') answer.push_back(c);
    }
    close(fd);
    return answer;
}

class SdpRom {
public:
    SdpRom(const Options& o, bootrom::PtyPort& p) : opt(o), port(p) {}

    void feed(uint8_t b) {
        if (fault("silent") || state == State::Jumped) return;
        switch (state) {
        case State::Association:
            // Wait for the four bytes in a row; anything else starts over.
            if (b == kAssociation[matched]) matched++;
            else matched = b == kAssociation[0] ? 1 : 0;
            if (matched == 4) {
                port.write(kAssociation, 4);
                state = State::Command;
                matched = 0;
                log("associated");
            }
            return;
        case State::Command:
            command.push_back(b);
            if (command.size() == 16) {
                onCommand();
                command.clear();
            }
            return;
        case State::Data:
            ram.load(dataAddress + dataDone, b);
            dataDone++;
            if (fault("chatter") && dataDone == 1) put32(0xDEADBEEF);
            if (dataDone == dataLength) finishData();
            return;
        default: return;
        }
    }

private:
    enum class State { Association, Command, Data, Jumped };
    static uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

    bool fault(const char* name) const { return opt.faults.count(name) != 0; }
    void log(const std::string& s) {
        if (opt.verbose) std::fprintf(stderr, "imx-sdp-sim: %s\n", s.c_str());
    }
    void put32(uint32_t v) {
        uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
        port.write(b, 4);
    }
    void security() { put32(opt.security); }

    uint32_t read32(uint32_t address) {
        auto r = opt.registers.find(address);
        if (r != opt.registers.end()) return r->second;
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | ram.at(address + i);
        return v;
    }

    void onCommand() {
        uint16_t type = (uint16_t)(command[0] << 8 | command[1]);
        uint32_t address = be32(&command[2]);
        uint8_t format = command[6];
        uint32_t count = be32(&command[7]);
        uint32_t data = be32(&command[11]);
        char text[128];
        std::snprintf(text, sizeof text, "command %04X address %08X format %02X count %u data %08X",
                      type, address, format, count, data);
        log(text);
        if (fault("garbage")) {
            port.write(std::string("\x13\x37\xC0\xDE\x00\xFF garbage"));
            return;
        }
        switch (type) {
        case 0x0101: { // READ_REGISTER: security mode, then the words
            security();
            uint32_t words = count < 4 ? 1 : (count + 3) / 4;
            if (words > kMaxTransfer / 4) words = kMaxTransfer / 4;
            for (uint32_t i = 0; i < words; ++i) put32(read32(address + 4 * i));
            return;
        }
        case 0x0202: { // WRITE_REGISTER
            for (int i = 0; i < 4; ++i) ram.at(address + i) = (uint8_t)(data >> (8 * i));
            security();
            put32(kRegisterWritten);
            return;
        }
        case 0x0404: // WRITE_FILE: the security mode comes at once
        case 0x0A0A: // WRITE_DCD
            if (type == 0x0404) security();
            dataType = type;
            dataAddress = address;
            dataLength = std::min(count, kMaxTransfer);
            dataDone = 0;
            if (dataLength == 0) finishData();
            else state = State::Data;
            return;
        case 0x0505: // ERROR_STATUS
            security();
            put32(kStatusOk);
            return;
        case 0x0B0B: { // JUMP_ADDRESS
            security();
            std::snprintf(text, sizeof text, "JUMP 0x%08X\n", address);
            ram.dump(opt.dumpFile);
            std::fputs(text, stdout);
            std::fflush(stdout);
            state = State::Jumped;
            if (opt.imageControl != 0) log("image module: " + StartImage(opt.imageControl, opt.imageModule));
            // The started code owns the UART now; a boot banner is what a
            // host sees next (and what ends a host's wait for a jump error).
            if (!opt.banner.empty()) port.write(opt.banner);
            return;
        }
        case 0x0C0C: // SKIP_DCD_HEADER
            security();
            put32(kSkipDcdOk);
            return;
        default:
            log("unknown command");
            security();
            return;
        }
    }

    void finishData() {
        state = State::Command;
        char text[96];
        std::snprintf(text, sizeof text, "received %u bytes at %08X", dataLength, dataAddress);
        log(text);
        if (dataType == 0x0A0A) {
            security();
            put32(kRegisterWritten);
            return;
        }
        if (fault("no-complete")) return;
        put32(fault("bad-complete") ? 0x12345678 : kWriteComplete);
    }

    // Written bytes as contiguous regions: address, length, bytes.

    const Options& opt;
    bootrom::PtyPort& port;
    State state = State::Association;
    int matched = 0;
    std::vector<uint8_t> command;
    bootrom::SparseRam ram;
    uint16_t dataType = 0;
    uint32_t dataAddress = 0, dataLength = 0, dataDone = 0;
};

} // namespace

int main(int argc, char** argv) {
    Options opt;
    bootrom::PortOptions portOptions;
    static const std::set<std::string> knownFaults = {"silent", "chatter", "no-complete",
                                                      "bad-complete", "garbage"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v;
        auto value = [&]() {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--fuses" && value() && v.find(',') != std::string::npos &&
                   ParseU32(v.substr(0, v.find(',')), opt.registers[0x401F4410]) &&
                   ParseU32(v.substr(v.find(',') + 1), opt.registers[0x401F4420])) {
        } else if (a == "--register" && value() && v.find('=') != std::string::npos) {
            uint32_t address, val;
            if (!ParseU32(v.substr(0, v.find('=')), address) || !ParseU32(v.substr(v.find('=') + 1), val)) {
                std::fprintf(stderr, "imx-sdp-sim: bad register [%s]\n", v.c_str());
                return 2;
            }
            opt.registers[address] = val;
        } else if (a == "--security" && value() && (v == "open" || v == "closed")) {
            opt.security = v == "open" ? kSecurityOpen : kSecurityClosed;
        } else if (a == "--dump" && value()) {
            opt.dumpFile = v;
        } else if (a == "--banner" && value()) {
            opt.banner = v;
        } else if (a == "--pace") {
            portOptions.pace = true;
        } else if (a == "--latency" && value() && ParseU32(v, portOptions.latencyMs)) {
        } else if (a == "--link" && value()) {
            portOptions.link = v;
        } else if (a == "--ready-file" && value()) {
            portOptions.readyFile = v;
        } else if (a == "--fault" && value() && knownFaults.count(v)) {
            opt.faults.insert(v);
        } else if (a == "--image-control" && value()) {
            uint32_t port = 0;
            if (!ParseU32(v, port) || port == 0 || port > 65535) {
                std::fprintf(stderr, "imx-sdp-sim: bad port [%s]\n", v.c_str());
                return 2;
            }
            opt.imageControl = (uint16_t)port;
        } else if (a == "--image-module" && value()) {
            opt.imageModule = v;
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else {
            std::fprintf(stderr, "imx-sdp-sim: bad argument [%s]\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if ((opt.imageControl != 0) != !opt.imageModule.empty()) {
        std::fprintf(stderr, "imx-sdp-sim: --image-control and --image-module go together\n");
        return 2;
    }
    bootrom::InstallStopHandlers();
    bootrom::PtyPort port(portOptions);
    std::string error;
    if (!port.open(error)) {
        std::fprintf(stderr, "imx-sdp-sim: %s\n", error.c_str());
        return 1;
    }
    SdpRom rom(opt, port);
    port.announce();
    uint8_t buffer[4096];
    while (!bootrom::stopRequested) {
        long n = port.read(buffer, sizeof buffer, 100);
        if (n < 0) break;
        for (long i = 0; i < n; ++i) rom.feed(buffer[i]);
    }
    return 0;
}
