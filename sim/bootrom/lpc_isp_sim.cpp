// lpc-isp-sim: the in-system-programming boot ROM of an NXP LPC17xx on a
// pseudo-terminal (the ROM itself is romcore's LpcIspRom), its flash kept in
// a file. It stays where it was when the host reopens the port unless told
// that the port's modem lines reset it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "LpcIspRom.h"
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

// The part's flash in a file, rewritten after every erase and copy.
class FileFlash : public bootrom::IspFlash {
public:
    explicit FileFlash(uint32_t size) : flash(size, 0xFF) {}
    ~FileFlash() override {
        if (fd >= 0) close(fd);
    }

    bool load(const std::string& path, std::string& error) {
        if (path.empty()) return true;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "cannot open " + path;
            return false;
        }
        std::vector<uint8_t> old(flash.size());
        ssize_t n = pread(fd, old.data(), old.size(), 0);
        if (n == (ssize_t)old.size()) flash = old;
        else save(0, flash.size());
        if (ftruncate(fd, (off_t)flash.size()) != 0) {
            error = "cannot size " + path;
            return false;
        }
        return true;
    }

    const std::vector<uint8_t>& bytes() const override { return flash; }
    void erase(uint32_t offset, uint32_t length) override {
        std::fill(flash.begin() + offset, flash.begin() + offset + length, 0xFF);
        save(offset, length);
    }
    void program(uint32_t offset, const uint8_t* data, uint32_t length) override {
        std::copy(data, data + length, flash.begin() + offset);
        save(offset, length);
    }
    void sync() override {
        if (fd >= 0) fsync(fd);
    }

private:
    void save(size_t from, size_t n) {
        if (fd >= 0) (void)!pwrite(fd, flash.data() + from, n, (off_t)from);
    }

    std::vector<uint8_t> flash;
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

// What the command line sets besides the ROM's own options.
struct Options {
    bootrom::IspRomOptions rom;
    bootrom::PortOptions port;
    std::string flashFile;
    bool verbose = false;
    bool resetOnOpen = false;
};

// Parses the command line; false (after saying why) on a bad argument.
bool ParseArguments(int argc, char** argv, Options& opt, bool& help) {
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
            help = true;
            return true;
        } else if (a == "--flash" && value(v)) {
            opt.flashFile = v;
        } else if (a == "--part-id" && value(v) && ParseU32(v, opt.rom.partId)) {
        } else if (a == "--serial" && value(v) && ParseSerial(v, opt.rom.serial)) {
        } else if (a == "--crystal" && value(v) && ParseU32(v, opt.rom.crystal)) {
        } else if (a == "--pace") {
            opt.port.pace = true;
        } else if (a == "--latency" && value(v) && ParseU32(v, opt.port.latencyMs)) {
        } else if (a == "--link" && value(v)) {
            opt.port.link = v;
        } else if (a == "--ready-file" && value(v)) {
            opt.port.readyFile = v;
        } else if (a == "--fault" && value(v) && bootrom::KnownIspRomFault(v)) {
            opt.rom.faults.insert(v);
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else if (a == "--reset-on-open") {
            opt.resetOnOpen = true;
        } else if (a == "--execute-at" && value(v) && (v == "cr" || v == "lf")) {
            opt.rom.executeAtCr = v == "cr";
        } else if (a == "--answer-end" && value(v) && lineEnds.count(v)) {
            opt.rom.answerEnd = lineEnds.at(v);
        } else {
            std::fprintf(stderr, "lpc-isp-sim: bad argument [%s]\n%s", a.c_str(), kUsage);
            return false;
        }
    }
    return true;
}

bootrom::LpcIspRom::Events PrintedEvents(bool verbose) {
    bootrom::LpcIspRom::Events events;
    // Tests count these: a host must not synchronise a chip that already is.
    events.synchronised = [](uint32_t khz) {
        std::printf("SYNC %u\n", khz);
        std::fflush(stdout);
    };
    events.go = [](uint32_t address, char mode) {
        std::printf("GO 0x%08X %c\n", address, mode);
        std::fflush(stdout);
    };
    if (verbose) events.note = [](const std::string& s) { std::fprintf(stderr, "lpc-isp-sim: %s\n", s.c_str()); };
    return events;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    bool help = false;
    if (!ParseArguments(argc, argv, opt, help)) return 2;
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    bootrom::InstallStopHandlers();
    bootrom::PtyPort port(opt.port);
    std::string error;
    FileFlash flash(bootrom::LpcFlashSizeOf(opt.rom.partId));
    if (!flash.load(opt.flashFile, error) || !port.open(error)) {
        std::fprintf(stderr, "lpc-isp-sim: %s\n", error.c_str());
        return 1;
    }
    bootrom::LpcIspRom rom(opt.rom, port, flash, PrintedEvents(opt.verbose));
    if (opt.resetOnOpen && !port.watchOpens(error)) {
        std::fprintf(stderr, "lpc-isp-sim: %s\n", error.c_str());
        return 1;
    }
    port.announce();
    uint8_t buffer[256];
    while (!bootrom::stopRequested) {
        long n = port.read(buffer, sizeof buffer, 100);
        if (n < 0) break;
        if (port.openedSinceLastCheck()) rom.reset();
        for (long i = 0; i < n; ++i) rom.feed(buffer[i]);
    }
    flash.sync();
    return 0;
}
