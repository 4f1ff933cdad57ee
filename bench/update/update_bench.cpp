// Writes a 256 KiB firmware image into a tarnix-sim module over TCP/IP, plain
// (one DATA round trip per 26 bytes) and with UEI byte sequences (one round
// trip per block), and compares each with the protocol's bound: the round
// trips it needs times the round-trip time measured on the same link in the
// same run. Targets: -m at least 90% of its bound; plain mode at its bound
// (at least 95%, allowing for the noise of a shared machine).
// Usage: update_bench [block_size]   (default 512)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchArgs.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"

extern char** environ;
using Clock = std::chrono::steady_clock;
using Velorn::Tarnix::Module;

namespace {

constexpr uint32_t kImageSize = 256 * 1024;
constexpr uint32_t kFlashBase = 0x08000000;

struct Quiet : UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

// One simulator with one TCP module; stopped on destruction.
struct Sim {
    pid_t pid = 0;
    uint16_t port = 0;
    std::string dir;
    // start false: only the configuration is written (for a run started otherwise).
    explicit Sim(unsigned blockSize, bool start = true) {
        char pattern[] = "/tmp/update-bench-XXXXXX";
        dir = mkdtemp(pattern);
        std::ofstream(dir + "/sim.ini") << "[module bench]\nserial = 0x40F5849A\nmodel = 17\nflash_base = 0x08000000\n"
                                        << "block_size = " << blockSize << "\nfeatures = 0x80000000\n";
        if (!start) return;
        const std::string ready = dir + "/ready", log = dir + "/sim.log", ini = dir + "/sim.ini";
        std::vector<std::string> args{TARNIX_SIM_BIN, "--ready-file", ready, "--log", log, "--control-port", "off", ini};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&quiet);
        for (int i = 0; i < 200 && port == 0; ++i) {
            std::ifstream in(ready);
            std::string word, name, kind, where;
            while (in >> word)
                if (word == "module" && in >> name >> kind >> where && kind == "tcp")
                    port = uint16_t(std::stoi(where.substr(where.rfind(':') + 1)));
            if (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Sim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::system(("rm -rf " + dir).c_str());
    }
};

aErr Connect(Module& module, uint16_t port) {
    Velorn::Tarnix::ZephylConfig config;
    config.enabled = 0;
    config.fallback = 0;
    Must(module.setConfig(config), "setConfig");
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = 0x40F5849A;
    spec.ip_address = inet_addr("127.0.0.1");
    spec.ip_port = port;
    return module.connectFromSpec(spec);
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Mean round trip of a one-packet request and its reply on the module's link.
double MeasureRtt(Module& module, int count) {
    const unsigned char probe[3] = {1, 2, 3};
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (module.debug(probe, sizeof probe) != aErrNone) return -1;
    return Seconds(start) / count;
}

struct Result {
    double seconds = -1;
    aErr err = aErrNone;
};

// The loader phase (not timed), then the image as one firmware block (timed).
Result WriteImage(Module& module, const std::vector<uint8_t>& block, bool uei) {
    Quiet display;
    UpdaterEntity loader;
    loader.init(&module, 0, true, false);
    std::vector<uint8_t> loaderBlock{0x20, 0, 0, 0};
    loaderBlock.resize(64, 0x5A);
    uint16_t size = 0;
    Result r;
    if ((r.err = loader.LoaderInit()) != aErrNone ||
        (r.err = loader.TransferPrepare(loaderBlock.data(), 64, 0, size)) != aErrNone ||
        (r.err = loader.LoaderTransfer(loaderBlock.data(), 64)) != aErrNone || (r.err = loader.LoaderStart()) != aErrNone)
        return r;
    // A USB module restarts into its loader as a new device: find it again.
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) == aErrNone && spec.type == USB) {
        for (int i = 0; i < 300 && module.isConnected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        (void)module.disconnect(); // the module has left the bus: no goodbye to expect
        for (int i = 0; i < 100 && module.discoverAndConnect(USB, spec.serial_num) != aErrNone; ++i) {
            (void)module.disconnect(); // a failed round leaves nothing to close
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    UpdaterEntity firmware;
    firmware.init(&module, 0, true, false);
    if (uei && firmware.CheckUEIDataSupport() == aErrNone)
        (void)firmware.CheckPooledPacketsSupport(); // without pooling the transfer goes packet by packet
    const auto start = Clock::now();
    if ((r.err = firmware.TransferPrepare(block.data(), uint32_t(block.size()), 1, size)) != aErrNone) return r;
    r.err = firmware.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display);
    r.seconds = Seconds(start);
    return r;
}

// Measures one mode on a connected module and prints its row; the seconds, or -1.
double RunOne(Module& module, bool uei, unsigned blockSize, const char* link) {
    std::vector<uint8_t> block{uint8_t(kFlashBase >> 24), uint8_t(kFlashBase >> 16), uint8_t(kFlashBase >> 8),
                               uint8_t(kFlashBase)};
    for (uint32_t i = 0; i < kImageSize; ++i) block.push_back(uint8_t(i * 13 + 7));
    const uint32_t chunks = (kImageSize + blockSize - 1) / blockSize;
    const uint32_t dataPerChunk = (blockSize + 25) / 26;
    const double rtt = MeasureRtt(module, 1000);
    // Plain: DATA per 26 bytes, SUM, WRITE per chunk. UEI: one reply per
    // chunk's byte sequence, SUM, WRITE. PREPARE once.
    const uint32_t trips = 1 + chunks * ((uei ? 1 : dataPerChunk) + 2);
    const Result r = WriteImage(module, block, uei);
    if (r.err != aErrNone || rtt < 0) {
        std::fprintf(stderr, "transfer failed: %d\n", r.err);
        return -1;
    }
    const double bound = trips * rtt;
    const double percent = 100.0 * bound / r.seconds, target = uei ? 90 : 95;
    std::printf("%-6s %-6s %8u %11u %9.1f %10.3f %9.3f %9.1f %7.0f%% %6.0f%% %5.2f  %s\n", link, uei ? "-m" : "plain",
                kImageSize, trips, rtt * 1e6, bound, r.seconds, kImageSize / 1024.0 / r.seconds, percent, target,
                percent / target, percent >= target ? "met" : "MISSED");
    std::fflush(stdout);
    return r.seconds;
}

} // namespace

int main(int argc, char** argv) {
    // The USB rows run in a child that tarnix-sim starts with its virtual USB devices visible.
    if (argc > 3 && std::string(argv[1]) == "--usb-child") {
        Module module(2, static_cast<unsigned char>(0));
        Velorn::Tarnix::ZephylConfig config;
        config.enabled = 0;
        config.fallback = 0;
        Must(module.setConfig(config), "setConfig");
        if (module.connect(USB, 0x40F5849A) != aErrNone) {
            std::fprintf(stderr, "USB module not found\n");
            return 1;
        }
        return RunOne(module, std::string(argv[2]) == "uei", unsigned(std::atoi(argv[3])), "USB") < 0;
    }
    const unsigned blockSize = argc > 1 ? unsigned(std::atoi(argv[1])) : 512;
    std::printf("256 KiB image, block size %u, to tarnix-sim\n", blockSize);
    std::printf("%-6s %-6s %8s %11s %9s %10s %9s %9s %8s %7s %5s\n", "link", "mode", "bytes", "round trips", "RTT us",
                "bound s", "seconds", "KB/s", "bound %", "target", "ratio");
    double seconds[2] = {0, 0};
    for (bool uei : {false, true}) {
        Sim sim(blockSize);
        Module module(2, static_cast<unsigned char>(0));
        if (sim.port == 0 || Connect(module, sim.port) != aErrNone) {
            std::fprintf(stderr, "simulator not reachable\n");
            return 1;
        }
        if ((seconds[uei] = RunOne(module, uei, blockSize, "TCP/IP")) < 0) return 1;
    }
    std::printf("TCP/IP: -m is %.1fx faster than plain\n", seconds[0] / seconds[1]);
    for (const char* mode : {"plain", "uei"}) {
        Sim config(blockSize, false); // writes the configuration only
        std::ofstream(config.dir + "/sim.ini", std::ios::app) << "transport = usb\n";
        const std::string command = std::string(TARNIX_SIM_BIN) + " --usb --control-port off " + config.dir +
                                    "/sim.ini -- " + argv[0] + " --usb-child " + mode + " " +
                                    std::to_string(blockSize);
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "USB run (%s) failed\n", mode);
    }
    return 0;
}
