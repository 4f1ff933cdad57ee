// Updater -D against simulated modules: wall time per run, the round trips a
// run makes (requests the simulator received, from its trace) and the time per
// round trip. Network discovery multicasts, so the bench runs itself inside a
// private network namespace. Targets: one USB module listed in at most 40 ms
// (median), eight in at most twice one module's time.
// Usage: discover_bench [usb|usb8|router|all] [runs]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrivateNetwork.h"

using Clock = std::chrono::steady_clock;

namespace {

const char* const kUsbModule = R"(
[module one]
serial = 0x40F5849A
model = 13
address = 6
version = 2.16.1
build = 12
name = Bench
transport = usb
)";

// Eight USB modules like the one above, with serial numbers of their own.
std::string EightUsbModules() {
    std::string config;
    for (int i = 0; i < 8; ++i) {
        char section[160];
        std::snprintf(section, sizeof section,
                      "[module u%d]\nserial = 0x40F584%02X\nmodel = 13\naddress = 6\nversion = 2.16.1\n"
                      "build = 12\nname = Bench %d\ntransport = usb\n\n",
                      i, 0xA0 + i, i);
        config += section;
    }
    return config;
}

const char* const kRouterModules = R"(
[module router]
serial = 0xD272031D
model = 17
address = 4
version = 2.15.3

[module m1]
router = router
i2c_address = 0x10
serial = 0x2181F0EE
model = 13
version = 2.10.4

[module m2]
router = router
i2c_address = 0x3A
serial = 0x00C0FFEE
model = 18
version = 2.10.3

[module m3]
router = router
i2c_address = 0xF0
serial = 0x12345678
model = 19
version = 3.0.1
)";

// Variables for the programs run (the USB test bed's).
std::vector<std::pair<std::string, std::string>> gEnv;

// Runs argv with standard output and error to /dev/null; the exit status.
int Run(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        for (auto& [name, value] : gEnv) setenv(name.c_str(), value.c_str(), 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Requests the simulator logged from line `from` on (route control, 0xAF,
// is the one request never answered), and the milliseconds from the first to
// the last of them; `from` moves past what was read.
size_t CountRequests(const std::string& log, size_t& from, double* spanMs = nullptr) {
    std::ifstream in(log);
    std::string line;
    size_t n = 0, index = 0;
    double first = -1, last = -1;
    for (; std::getline(in, line); ++index) {
        if (index < from || line.find(" rx ") == std::string::npos || line.find(" rx AF ") != std::string::npos)
            continue;
        ++n;
        unsigned h = 0, m = 0, sec = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%u:%u:%u.%u", &h, &m, &sec, &ms) == 4) {
            const double t = ((h * 60.0 + m) * 60.0 + sec) * 1000.0 + ms;
            if (first < 0) first = t;
            last = t;
        }
    }
    from = index;
    if (spanMs) *spanMs = first < 0 ? 0 : last - first;
    return n;
}

// Starts the simulator on `config`, times `args` of the Updater `runs` times;
// the median wall time in milliseconds.
double Measure(const std::string& title, const std::string& dir, const std::string& config, bool usb,
             const std::vector<std::string>& args, int runs) {
    std::ofstream(dir + "/sim.ini") << config;
    const std::string ready = dir + "/ready", log = dir + "/sim.log";
    unlink(log.c_str());
    pid_t sim = fork();
    if (sim == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("TMPDIR", dir.c_str(), 1);
        std::vector<std::string> a{TARNIX_SIM_BIN, "--trace", "--log", log, "--ready-file", ready};
        if (usb) a.push_back("--usb");
        else a.insert(a.end(), {"--discovery", "--bind", "10.77.0.1"});
        a.push_back(dir + "/sim.ini");
        std::vector<char*> argv;
        for (auto& x : a) argv.push_back(const_cast<char*>(x.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 400 && access(ready.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    gEnv.clear();
    std::ifstream lines(ready);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("env ", 0) == 0 && line.find('=') != std::string::npos)
            gEnv.emplace_back(line.substr(4, line.find('=') - 4), line.substr(line.find('=') + 1));
    std::vector<std::string> cmd{UPDATER_BIN, "-u", "http://127.0.0.1:1/", "-i", dir};
    cmd.insert(cmd.end(), args.begin(), args.end());
    Run(cmd); // warm-up
    size_t from = 0;
    CountRequests(log, from);
    std::vector<double> walls, spans;
    size_t requests = 0;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        if (Run(cmd) != 0) std::fprintf(stderr, "run %d failed\n", i);
        walls.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        double span = 0;
        requests += CountRequests(log, from, &span);
        spans.push_back(span);
    }
    const double trips = double(requests) / runs;
    std::sort(spans.begin(), spans.end());
    // Start-up and ending of the program, without any module traffic.
    std::vector<double> bare;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        Run({UPDATER_BIN, "-u", "http://127.0.0.1:1/", "-i", dir, "-I", "-d", "1"});
        bare.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(ready.c_str());
    std::sort(walls.begin(), walls.end());
    std::sort(bare.begin(), bare.end());
    const double median = walls[walls.size() / 2], start = bare[bare.size() / 2];
    std::printf("%s, %d runs\n", title.c_str(), runs);
    std::printf("  wall: median %.1f ms (min %.1f, max %.1f); program start-up alone %.1f ms\n", median * 1e3,
                walls.front() * 1e3, walls.back() * 1e3, start * 1e3);
    std::printf("  round trips per run: %.0f; per round trip %.1f us (%.1f us without start-up)\n", trips,
                median / trips * 1e6, (median - start) / trips * 1e6);
    std::printf("  first to last request at the module: median %.0f ms\n", spans[spans.size() / 2]);
    return median * 1e3;
}

// One line of the summary: the figure, its target and whether it was met.
void Verdict(const char* what, double value, double target, const char* unit) {
    std::printf("  %-34s %8.1f %-3s target <= %6.1f %-3s ratio %.2f  %s\n", what, value, unit, target, unit,
                value / target, value <= target ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv) {
    EnterPrivateNamespace(NETNS_RUN, argc, argv);
    const std::string what = argc > 1 ? argv[1] : "all";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    char dir[] = "/tmp/discover_bench.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    double one = 0, eight = 0;
    if (what == "usb" || what == "usb8" || what == "all")
        one = Measure("-D over USB, one module", dir, kUsbModule, true, {"-D"}, runs);
    if (what == "usb8" || what == "all")
        eight = Measure("-D over USB, eight modules", dir, EightUsbModules(), true, {"-D"}, runs);
    if (what == "router" || what == "all")
        Measure("-D -r over TCP/IP, router + 3 modules", dir, kRouterModules, false,
                {"-D", "-r", "D272031D", "-t", "TCPIP"}, runs);
    std::system((std::string("rm -rf ") + dir).c_str());
    if (one > 0) {
        std::printf("targets\n");
        Verdict("-D over USB, one module (median)", one, 40, "ms");
        if (eight > 0) Verdict("eight modules against one", eight / one, 2, "x");
    }
    return 0;
}
