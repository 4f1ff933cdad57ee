// tarnix-fleet updating many simulated modules in one run against one module
// alone, in the same bench run: eight on TCP/IP (target: at most twice the
// time of one) and four on virtual USB. Each figure is the median of several
// runs of `tarnix-fleet update --force`, timed whole and from the first
// module's start to the summary. Discovery multicasts, so the bench runs
// itself inside a private network namespace.
// Usage: fleet_bench [tcpip] [usb] [runs=N]   (default: both parts, 3 runs)
#include <fcntl.h>
#include <signal.h>
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

#include "BenchArgs.h"

#include "PrivateNetwork.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kFlashBase = "0x08000000";

[[noreturn]] void Stop(const std::string& why) {
    std::fprintf(stderr, "benchmark stopped: %s\n", why.c_str());
    std::exit(1);
}

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs args with `env` added and standard output into `out` ("" : /dev/null);
// the exit status, or -1.
int Run(const std::vector<std::string>& args, const Env& env = {}, const std::string& out = "") {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        const int fd = open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A BIRD file for model Ristova whose image carries the simulator's identity record.
std::string MakeBird(const std::string& dir) {
    const std::string image = dir + "/fw.bin", loader = dir + "/ld.bin", manifest = dir + "/fw.manifest";
    if (Run({"/usr/bin/python3", IMAGE_TOOL, image, "--version", "2.16.1", "--build", "2000", "--load-address",
             kFlashBase, "--serial-offset", "128"}) != 0)
        Stop("make_test_image.py failed");
    std::ofstream(loader) << std::string(60, '\x5A');
    std::ofstream(manifest) << "build 2000\nversion 2.16.1\nmodel Ristova\nserial 00000000\n"
                            << "serial-offsets 0x08000080 0x08000100\nloader 0x20000000 ld.bin\n"
                            << "firmware " << kFlashBase << " fw.bin\n";
    const std::string bird = dir + "/fw.bird";
    if (Run({BIRDTOOL_BIN, "pack", manifest, bird}) != 0) Stop("birdtool pack failed");
    return bird;
}

// One simulator with `count` modules on one transport; stopped on destruction.
class Sim {
public:
    Sim(const std::string& dir, int count, bool usb) {
        std::ofstream ini(dir + "/sim.ini");
        for (int i = 1; i <= count; ++i)
            ini << "[module m" << i << "]\nserial = 0x" << std::hex << Serial(i) << std::dec
                << "\nmodel = 17\nversion = 2.15.0\nbuild = 1000\nflash_base = " << kFlashBase << "\n"
                << (usb ? "transport = usb\n" : "") << "\n";
        ini.close();
        const std::string ready = dir + "/sim.ready";
        pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            setenv("TMPDIR", dir.c_str(), 1); // the USB test bed
            const std::string state = dir + "/state", ini = dir + "/sim.ini";
            execl(TARNIX_SIM_BIN, TARNIX_SIM_BIN, "--discovery", "--bind", "10.77.0.1", "--state", state.c_str(),
                  "--control-port", "off", "--ready-file", ready.c_str(), ini.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        bool up = false;
        for (int i = 0; i < 600 && !(up = Ready(ready)); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!up) Stop("tarnix-sim did not come up");
    }
    ~Sim() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    static unsigned Serial(int i) { return 0x2B000000u + unsigned(i); }
    Env env; // the USB test bed's variables

private:
    bool Ready(const std::string& path) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("READY") == std::string::npos) return false;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("env ", 0) == 0 && line.find('=') != std::string::npos)
                env.emplace_back(line.substr(4, line.find('=') - 4), line.substr(line.find('=') + 1));
        return true;
    }
    pid_t pid = -1;
};

// A number after "key": in a JSON line; -1 when absent.
double Number(const std::string& line, const char* key) {
    const std::string k = std::string("\"") + key + "\":";
    const size_t at = line.find(k);
    return at == std::string::npos ? -1 : std::atof(line.c_str() + at + k.size());
}

struct Timing {
    double whole = 0;   // the program, start to exit
    double updates = 0; // first module's start to the summary
};

// One `update` run; stops the bench unless every selected module was updated.
Timing UpdateOnce(const std::string& dir, const Sim& sim, const std::string& bird, const std::vector<std::string>& select,
                  int expected) {
    std::vector<std::string> args{FLEET_BIN, "update", "--file", bird, "--force", "--json", "-u", "127.0.0.1:1",
                                  "-i", dir + "/store"};
    args.insert(args.begin() + 2, select.begin(), select.end());
    const std::string out = dir + "/events.json";
    const auto t0 = Clock::now();
    const int status = Run(args, sim.env, out);
    Timing t;
    t.whole = std::chrono::duration<double>(Clock::now() - t0).count();
    double firstStart = -1;
    int updated = -1;
    std::ifstream events(out);
    for (std::string line; std::getline(events, line);) {
        if (line.find("\"event\":\"start\"") != std::string::npos && firstStart < 0) firstStart = Number(line, "time");
        if (line.find("\"event\":\"summary\"") != std::string::npos) {
            updated = int(Number(line, "updated"));
            t.updates = Number(line, "time") - firstStart;
        }
    }
    if (status != 0 || updated != expected)
        Stop("tarnix-fleet update " + select.front() + " ended with status " + std::to_string(status) + ", " +
             std::to_string(updated) + " of " + std::to_string(expected) + " updated");
    return t;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Row {
    std::string what;
    double one, many, target; // target 0: none set
};

// One module alone and `count` at once, alternating, `runs` times each.
void Measure(const char* label, int count, bool usb, const std::string& bird, int runs, std::vector<Row>& rows,
             double target) {
    char pattern[] = "/tmp/fleet_bench.XXXXXX";
    if (!mkdtemp(pattern)) Stop("no temporary directory");
    const std::string dir = pattern;
    {
        const Sim sim(dir, count, usb);
        char one[16];
        std::snprintf(one, sizeof one, "%08X", Sim::Serial(1));
        UpdateOnce(dir, sim, bird, {"--all"}, count); // warm-up: every module once
        std::vector<double> oneWhole, oneUpdates, manyWhole, manyUpdates;
        for (int r = 0; r < runs; ++r) {
            const Timing a = UpdateOnce(dir, sim, bird, {"-d", one}, 1);
            const Timing b = UpdateOnce(dir, sim, bird, {"--all"}, count);
            oneWhole.push_back(a.whole), oneUpdates.push_back(a.updates);
            manyWhole.push_back(b.whole), manyUpdates.push_back(b.updates);
        }
        rows.push_back({std::string(label) + ", whole run", Median(oneWhole), Median(manyWhole), target});
        rows.push_back({std::string(label) + ", updates only", Median(oneUpdates), Median(manyUpdates), target});
    }
    std::system(("rm -rf " + dir).c_str());
}

} // namespace

int main(int argc, char** argv) {
    EnterPrivateNamespace(NETNS_RUN, argc, argv);
    int runs = 3;
    std::vector<char*> parts{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "runs=", 5) == 0) runs = std::max(1, std::atoi(argv[i] + 5));
        else parts.push_back(argv[i]);
    }
    char dir[] = "/tmp/fleet_bench_bird.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string bird = MakeBird(dir);
    std::vector<Row> rows;
    if (Wanted(int(parts.size()), parts.data(), "tcpip")) Measure("8 on TCP/IP vs 1", 8, false, bird, runs, rows, 2.0);
    if (Wanted(int(parts.size()), parts.data(), "usb")) Measure("4 on USB vs 1", 4, true, bird, runs, rows, 0);
    std::system((std::string("rm -rf ") + dir).c_str());

    std::printf("tarnix-fleet update, median of %d runs each\n", runs);
    std::printf("%-30s %8s %9s %7s %8s  %s\n", "case", "one (s)", "many (s)", "ratio", "target", "");
    for (const Row& r : rows) {
        const double ratio = r.many / r.one;
        char target[16] = "-";
        if (r.target > 0) std::snprintf(target, sizeof target, "<= %.0fx", r.target);
        std::printf("%-30s %8.2f %9.2f %6.2fx %8s  %s\n", r.what.c_str(), r.one, r.many, ratio, target,
                    r.target <= 0 ? "" : ratio <= r.target ? "met" : "MISSED");
    }
    return 0;
}
