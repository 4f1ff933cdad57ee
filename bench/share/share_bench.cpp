// UEI round trips to a simulated module: on the direct link, then through the
// networked-link server from one and from four client processes (taking turns,
// three rounds of SECONDS each). Then streaming:
// samples per second delivered to one and to four client processes at the
// module's sample rates, and the ticks each client missed.
// Usage: share_bench [SECONDS [--no-stream]]   (run it inside scripts/netns-run.sh or not: all on loopback)
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "BenchArgs.h"
#include "aLink.h"
#include "aServer.h"
#include "aUEI.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint32_t kSerial = 0x1234ABCD;

struct Result {
    double medianUs = 0;
    double p90Us = 0;
    double seconds = 0;
    int count = 0;
};

// Round trips of a system serial-number get, count of them or until the
// deadline; false when one goes unanswered.
bool RoundTrips(aLinkId link, int count, std::vector<double>* micros,
                Clock::time_point deadline = Clock::time_point::max())
{
    static const uint8_t request[3] = {3, 0x49, 0x20};
    aPacket* packet = aPacket_CreateWithData(kAddress, 3, request);
    bool ok = true;
    for (int i = 0; i < count && Clock::now() < deadline; ++i) {
        const auto t0 = Clock::now();
        Must(aLink_PutPacket(link, packet), "aLink_PutPacket");
        aPacket* reply = aLink_AwaitPacket(link, 2000);
        if (reply == NULL) {
            ok = false;
            break;
        }
        Must(aPacket_Destroy(&reply), "aPacket_Destroy");
        micros->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Must(aPacket_Destroy(&packet), "aPacket_Destroy");
    return ok;
}

Result Summarise(std::vector<double> micros, double seconds)
{
    Result r;
    std::sort(micros.begin(), micros.end());
    r.count = (int)micros.size();
    if (!micros.empty()) {
        r.medianUs = micros[micros.size() / 2];
        r.p90Us = micros[micros.size() * 9 / 10];
    }
    r.seconds = seconds;
    return r;
}

// A client process: connects, warms up, says READY, waits for the start
// byte on its standard input, then makes round trips for the given seconds
// and prints "median p90 seconds count".
int Client(uint16_t port, double seconds)
{
    aLinkId link = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    std::vector<double> warm, micros;
    if (link == 0 || !RoundTrips(link, 50, &warm))
        return 1;
    printf("READY\n");
    fflush(stdout);
    char go = 0;
    if (read(0, &go, 1) != 1)
        return 1;
    const auto t0 = Clock::now();
    const auto deadline = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const bool ok = RoundTrips(link, INT32_MAX, &micros, deadline);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    Result r = Summarise(micros, took);
    printf("%.1f %.1f %.4f %d\n", r.medianUs, r.p90Us, r.seconds, r.count);
    Must(aLink_Destroy(&link), "aLink_Destroy");
    return ok ? 0 : 1;
}

// Runs n client processes at once: all connected and warmed up before any
// starts, then all for the same time; their results through pipes.
std::vector<Result> Clients(const char* self, uint16_t port, int n, double seconds)
{
    struct Child {
        pid_t pid;
        FILE* out;
        int start;
    };
    std::vector<Child> children;
    for (int i = 0; i < n; ++i) {
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0)
            break;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(in[0], 0);
            close(out[0]);
            close(in[1]);
            std::string p = std::to_string(port), c = std::to_string(seconds);
            execl(self, self, "client", p.c_str(), c.c_str(), (char*)NULL);
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        children.push_back({pid, fdopen(out[0], "r"), in[1]});
    }
    char line[64];
    for (auto& child : children)
        if (fgets(line, sizeof(line), child.out) == NULL || strncmp(line, "READY", 5) != 0)
            fprintf(stderr, "a client did not start\n");
    for (auto& child : children) {
        if (write(child.start, "g", 1) != 1)
            fprintf(stderr, "a client could not be started\n");
        close(child.start);
    }
    std::vector<Result> results;
    for (auto& child : children) {
        Result r;
        if (fscanf(child.out, "%lf %lf %lf %d", &r.medianUs, &r.p90Us, &r.seconds, &r.count) == 4)
            results.push_back(r);
        fclose(child.out);
        int status = 0;
        waitpid(child.pid, &status, 0);
    }
    return results;
}

double Cpu(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The simulator's CPU seconds so far.
double SimCpu(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    FILE* f = fopen(path, "r");
    if (f == NULL)
        return 0;
    char buffer[1024];
    size_t n = fread(buffer, 1, sizeof(buffer) - 1, f);
    fclose(f);
    buffer[n] = 0;
    const char* after = strrchr(buffer, ')');
    unsigned long utime = 0, stime = 0;
    if (after == NULL || sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
}

// A streaming client process: enables every default stream of the system
// entity, counts samples for the given seconds and prints
// "samples ticks per-tick missing seconds". A tick is one timestamp (all the
// options sampled at once); missing counts the ticks absent between the first
// and the last one seen, given the module's interval.
struct StreamCount {
    unsigned long samples = 0, ticks = 0, perTick = 0, missing = 0;
    double seconds = 0;
};

bool CountStream(aLinkId link, double seconds, unsigned intervalMs, StreamCount* out)
{
    static const uint8_t enable[7] = {93, 0x81, 0x20, kAddress, 3, 255, 0};
    static const uint8_t disable[7] = {93, 0x82, 0x20, kAddress, 3, 255, 0};
    aPacket* on = aPacket_CreateWithData(kAddress, 7, enable);
    if (link == 0 || aLink_PutPacket(link, on) != aErrNone)
        return false;
    Must(aPacket_Destroy(&on), "aPacket_Destroy");
    unsigned long samples = 0, ticks = 0, perTick = 0, inTick = 0, missing = 0;
    uint64_t first = 0, last = 0;
    Clock::time_point start{}, end{};
    bool started = false;
    while (!started || Clock::now() < end) {
        aPacket* p = aLink_AwaitPacket(link, 2000);
        if (p == NULL)
            break;
        if (aUEI_isStreamPacket(p) && p->dataSize >= 12) {
            uint64_t stamp = 0;
            for (int i = 4; i < 12; ++i)
                stamp = (stamp << 8) | p->data[i];
            if (!started) {
                started = true;
                start = Clock::now();
                end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
                first = stamp;
            }
            samples++;
            if (stamp != last) {
                if (ticks > 0 && stamp > last && intervalMs > 0)
                    missing += (stamp - last) / (intervalMs * 1000ull) - 1;
                ticks++;
                inTick = 0;
                last = stamp;
            }
            perTick = std::max(perTick, ++inTick);
        }
        Must(aPacket_Destroy(&p), "aPacket_Destroy");
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    aPacket* off = aPacket_CreateWithData(kAddress, 7, disable);
    Must(aLink_PutPacket(link, off), "aLink_PutPacket");
    Must(aPacket_Destroy(&off), "aPacket_Destroy");
    (void)first;
    *out = StreamCount{samples, ticks, perTick, missing, took};
    return started;
}

int StreamClient(uint16_t port, double seconds, unsigned intervalMs)
{
    aLinkId link = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    StreamCount c;
    const bool ok = CountStream(link, seconds, intervalMs, &c);
    printf("%lu %lu %lu %lu %.4f\n", c.samples, c.ticks, c.perTick, c.missing, c.seconds);
    Must(aLink_Destroy(&link), "aLink_Destroy");
    return ok ? 0 : 1;
}

struct Sim {
    pid_t pid = -1;
    uint16_t port = 0;
    char dir[64] = "/tmp/share-bench-XXXXXX";
};

bool StartSim(Sim* sim, unsigned streamIntervalMs = 100)
{
    if (mkdtemp(sim->dir) == NULL)
        return false;
    const std::string ini = std::string(sim->dir) + "/sim.ini";
    FILE* f = fopen(ini.c_str(), "w");
    fprintf(f, "[module bench]\nserial = 0x%08X\nmodel = 17\naddress = %u\nstream_interval_ms = %u\n", kSerial,
            kAddress, streamIntervalMs);
    fclose(f);
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    sim->pid = fork();
    if (sim->pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        const std::string state = std::string(sim->dir) + "/state", log = std::string(sim->dir) + "/sim.log";
        execl(TARNIX_SIM_BIN, TARNIX_SIM_BIN, "--state", state.c_str(), "--log", log.c_str(), "--control-port", "off",
              ini.c_str(), (char*)NULL);
        _exit(127);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    char line[256];
    while (fgets(line, sizeof(line), in) != NULL) {
        unsigned port = 0;
        if (sscanf(line, "module bench tcp 127.0.0.1:%u", &port) == 1)
            sim->port = (uint16_t)port;
        if (strncmp(line, "READY", 5) == 0)
            break;
    }
    fclose(in);
    return sim->port != 0;
}

// Streaming through the server at a few module sample rates (a fresh simulator each).
void StreamTable(const char* self)
{
    printf("\n%-14s %-9s %14s %12s %14s\n", "module period", "clients", "samples/s each", "samples/tick",
           "missed ticks");
    for (unsigned interval : {10u, 2u, 1u}) {
        Sim sim;
        if (!StartSim(&sim, interval)) {
            fprintf(stderr, "no simulator\n");
            return;
        }
        aLinkId link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port);
        StreamCount direct;
        if (CountStream(link, 3, interval, &direct)) {
            aLink_DrainPackets(link, [](const aPacket*, void*) { return true; }, NULL); /* the disable's reply, late samples */
            printf("%-14s %-9s %14ld %12lu %14lu\n", (std::to_string(interval) + " ms").c_str(), "direct",
                   (long)(direct.samples / direct.seconds), direct.perTick, direct.missing);
        }
        uint16_t port = 0;
        uint32_t address = 0;
        aLinkId served = link != 0 ? aLink_CreateServer(link, &port, &address, true) : 0;
        for (int n : {1, 4}) {
            if (served == 0)
                break;
            std::vector<std::pair<pid_t, FILE*>> children;
            for (int i = 0; i < n; ++i) {
                int fds[2];
                if (pipe(fds) != 0)
                    break;
                pid_t pid = fork();
                if (pid == 0) {
                    dup2(fds[1], 1);
                    close(fds[0]);
                    const std::string p = std::to_string(port), iv = std::to_string(interval);
                    execl(self, self, "stream", p.c_str(), "3", iv.c_str(), (char*)NULL);
                    _exit(127);
                }
                close(fds[1]);
                children.push_back({pid, fdopen(fds[0], "r")});
            }
            std::string rates, missed;
            unsigned long perTick = 0;
            for (auto& [pid, in] : children) {
                unsigned long samples = 0, ticks = 0, k = 0, missing = 0;
                double took = 0;
                if (fscanf(in, "%lu %lu %lu %lu %lf", &samples, &ticks, &k, &missing, &took) == 5 && took > 0) {
                    rates += (rates.empty() ? "" : "/") + std::to_string((long)(samples / took));
                    missed += (missed.empty() ? "" : "/") + std::to_string(missing);
                    perTick = std::max(perTick, k);
                } else {
                    rates += (rates.empty() ? "" : "/") + std::string("failed");
                }
                fclose(in);
                waitpid(pid, NULL, 0);
            }
            printf("%-14s %-9d %14s %12lu %14s\n", (std::to_string(interval) + " ms").c_str(), n, rates.c_str(),
                   perTick, missed.c_str());
        }
        if (served != 0)
            Must(aLink_Destroy(&served), "aLink_Destroy");
        else if (link != 0)
            Must(aLink_Destroy(&link), "aLink_Destroy");
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, NULL, 0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "client") == 0)
        return Client((uint16_t)atoi(argv[2]), atof(argv[3]));
    if (argc == 5 && strcmp(argv[1], "stream") == 0)
        return StreamClient((uint16_t)atoi(argv[2]), atof(argv[3]), (unsigned)atoi(argv[4]));
    const double seconds = argc > 1 ? atof(argv[1]) : 3;
    Sim sim;
    if (!StartSim(&sim)) {
        fprintf(stderr, "no simulator\n");
        return 1;
    }
    aLinkId link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port);
    std::vector<double> micros;
    RoundTrips(link, 50, &micros);
    micros.clear();
    auto t0 = Clock::now();
    double cpu0 = Cpu(RUSAGE_SELF) + SimCpu(sim.pid);
    RoundTrips(link, INT32_MAX, &micros,
               t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double directCpu = Cpu(RUSAGE_SELF) + SimCpu(sim.pid) - cpu0;
    const Result direct = Summarise(micros, std::chrono::duration<double>(Clock::now() - t0).count());

    uint16_t port = 0;
    uint32_t address = 0;
    aLinkId served = aLink_CreateServer(link, &port, &address, true);
    if (served == 0) {
        fprintf(stderr, "no server\n");
        return 1;
    }
    printf("%-22s %10s %10s %12s %14s\n", "exchange", "median us", "p90 us", "requests/s", "CPU us/request");
    printf("%-22s %10.1f %10.1f %12.0f %14.0f\n", "direct link", direct.medianUs, direct.p90Us,
           direct.count / direct.seconds, directCpu * 1e6 / direct.count);
    // One and four clients take turns, three rounds, so that both see the same
    // machine; the summary compares the median rounds.
    std::vector<double> rates[2];
    for (int round = 0; round < 3; ++round) {
        for (int n : {1, 4}) {
            const double serverBefore = Cpu(RUSAGE_SELF), clientsBefore = Cpu(RUSAGE_CHILDREN),
                         simBefore = SimCpu(sim.pid);
            const std::vector<Result> results = Clients(argv[0], port, n, seconds);
            const double serverCpu = Cpu(RUSAGE_SELF) - serverBefore,
                         clientsCpu = Cpu(RUSAGE_CHILDREN) - clientsBefore, simCpu = SimCpu(sim.pid) - simBefore;
            double requests = 0, longest = 0, median = 0;
            for (const Result& r : results) {
                requests += r.count;
                longest = std::max(longest, r.seconds);
                median += r.medianUs / results.size();
            }
            const double rate = longest > 0 ? requests / longest : 0;
            rates[n == 1 ? 0 : 1].push_back(rate);
            printf("%-22s %10.1f %10s %12.0f %14.0f\n",
                   (std::to_string(n) + " client process" + (n > 1 ? "es" : "")).c_str(), median,
                   results.size() == 1 ? std::to_string((int)results[0].p90Us).c_str() : "-", rate,
                   requests > 0 ? (serverCpu + clientsCpu + simCpu) * 1e6 / requests : 0.0);
            if (requests > 0)
                printf("%-22s CPU us/request: server %.0f, clients %.0f, module %.0f\n", "",
                       serverCpu * 1e6 / requests, clientsCpu * 1e6 / requests, simCpu * 1e6 / requests);
            if ((int)results.size() != n)
                printf("  (%zu of %d clients finished)\n", results.size(), n);
        }
    }
    for (auto& r : rates)
        std::sort(r.begin(), r.end());
    printf("median round: one client %.0f requests/s, four clients %.0f requests/s: %.2fx one client\n", rates[0][1],
           rates[1][1], rates[0][1] > 0 ? rates[1][1] / rates[0][1] : 0.0);
    Must(aLink_Destroy(&served), "aLink_Destroy");
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, NULL, 0);
    if (!(argc > 2 && strcmp(argv[2], "--no-stream") == 0))
        StreamTable(argv[0]);
    return 0;
}
