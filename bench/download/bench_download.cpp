// Wall time, CPU time and peak memory of `Updater -G` against
// `curl -o F URL && sync F` for the same BIRD download from the stand-in update
// server on loopback: both end with the bytes safe on disk. Each figure is
// printed against its target: wall at most 1.2 x curl's, peak memory at most
// 1.5 x the file plus 20 MB.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0; // user + system, the command's own and its children's
    long peakKiB = 0;
    int status = -1;
};

// Runs argv with standard output to `outFile` (or /dev/null) and standard error discarded.
Measure RunMeasured(const std::vector<std::string>& argv, const std::string& outFile = "/dev/null") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_WRONLY);
        dup2(out, 1);
        dup2(null, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    m.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void MakeBird(const std::string& dir, const std::string& name, unsigned build, size_t bytes) {
    std::mt19937_64 random(build);
    std::string image(bytes, '\0');
    for (size_t i = 0; i + 8 <= bytes; i += 8) {
        const uint64_t v = random();
        std::copy(reinterpret_cast<const char*>(&v), reinterpret_cast<const char*>(&v) + 8, &image[i]);
    }
    WriteText(dir + "/image.bin", image);
    WriteText(dir + "/manifest", "build " + std::to_string(build) +
                                     "\nversion 1.0.0\nserial 00000000\nmodel TX-BENCH\nfirmware 0x0 image.bin\n");
    if (RunMeasured({BIRDTOOL_BIN, "pack", dir + "/manifest", dir + "/catalog/" + name}).status != 0)
        throw std::runtime_error("birdtool failed");
    std::remove((dir + "/image.bin").c_str());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    // The disk's writeback makes single fsync times bimodal: enough pairs for
    // a steady median.
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    char pattern[] = "/tmp/bench_download.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    RunMeasured({"/bin/mkdir", "-p", dir + "/catalog", dir + "/store"});
    const struct {
        const char* label;
        unsigned build;
        size_t bytes;
    } sizes[] = {{"4 MB", 4, 4u << 20}, {"16 MB", 16, 16u << 20}};
    for (const auto& s : sizes) MakeBird(dir, "bench_" + std::to_string(s.build) + ".bird", s.build, s.bytes);
    WriteText(dir + "/devices", "0BE4C400 TX-BENCH\n");

    // The server, its port read from its first lines.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const pid_t server = fork();
    if (server == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        execl(UPDATE_SERVER_BIN, UPDATE_SERVER_BIN, "--catalog", (dir + "/catalog").c_str(), "--devices",
              (dir + "/devices").c_str(), "--secret", "bench", "--port", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    FILE* serverOut = fdopen(pipeFds[0], "r");
    char line[512];
    std::string url;
    while (url.empty() && std::fgets(line, sizeof line, serverOut)) {
        std::string text = line;
        const size_t at = text.find("listening on ");
        if (at != std::string::npos) url = text.substr(at + 13, text.find('\n') - at - 13);
    }
    if (url.empty()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    // Keep draining the server's log so it never blocks on a full pipe.
    if (fork() == 0) {
        while (std::fgets(line, sizeof line, serverOut)) {
        }
        _exit(0);
    }

    constexpr double kWallTarget = 1.2;
    std::printf("%-6s %-26s %9s %9s %9s %9s\n", "size", "command", "wall med", "wall max", "CPU med", "peak MB");
    bool ok = true, met = true;
    std::vector<std::string> verdicts;
    for (const auto& s : sizes) {
        const std::string build = std::to_string(s.build);
        const std::string query = url + "?bld=" + build + "&fw=bench_" + build +
                                  "&no_cal=false&op=bird&sn=0BE4C400&";
        const std::string curlFile = dir + "/curl.out";
        std::vector<double> wallU, wallC, cpuU, cpuC, memU, memC;
        for (int i = 0; i < runs; ++i) {
            RunMeasured({"/bin/rm", "-rf", dir + "/store/updater", curlFile});
            // Each goes first in every other pair: neither always meets the other's writeback.
            auto updater = [&] {
                return RunMeasured({UPDATER_BIN, "-G", "-d", "0BE4C400", "-b", build, "-u", url, "-i", dir + "/store"});
            };
            auto curl = [&] {
                return RunMeasured(
                    {"/bin/sh", "-c", "/usr/bin/curl -sS -o \"$0\" \"$1\" && sync \"$0\"", curlFile, query});
            };
            Measure u, c;
            if (i % 2 == 0) {
                u = updater();
                c = curl();
            } else {
                c = curl();
                u = updater();
            }
            ok = ok && u.status == 0 && c.status == 0;
            wallU.push_back(u.seconds);
            wallC.push_back(c.seconds);
            cpuU.push_back(u.cpuSeconds);
            cpuC.push_back(c.cpuSeconds);
            memU.push_back(u.peakKiB / 1024.0);
            memC.push_back(c.peakKiB / 1024.0);
        }
        const double peakU = *std::max_element(memU.begin(), memU.end());
        std::printf("%-6s %-26s %8.3fs %8.3fs %8.3fs %9.1f\n", s.label, "Updater -G", Median(wallU),
                    *std::max_element(wallU.begin(), wallU.end()), Median(cpuU), peakU);
        std::printf("%-6s %-26s %8.3fs %8.3fs %8.3fs %9.1f\n", s.label, "curl -o F && sync F", Median(wallC),
                    *std::max_element(wallC.begin(), wallC.end()), Median(cpuC),
                    *std::max_element(memC.begin(), memC.end()));
        const double ratio = Median(wallU) / Median(wallC);
        const double bound = 1.5 * s.bytes / (1 << 20) + 20;
        char line[256];
        std::snprintf(line, sizeof line, "%-6s wall ratio %.2f (target <= %.1f) %s; peak %.1f MB (bound %.1f MB) %s",
                      s.label, ratio, kWallTarget, ratio <= kWallTarget ? "met" : "MISSED", peakU, bound,
                      peakU <= bound ? "met" : "MISSED");
        verdicts.push_back(line);
        met = met && ratio <= kWallTarget && peakU <= bound;
    }
    for (const auto& v : verdicts) std::printf("%s\n", v.c_str());
    // What every run pays whatever the size: start-up and two small requests.
    std::vector<double> wallB;
    for (int i = 0; i < runs; ++i)
        wallB.push_back(RunMeasured({UPDATER_BIN, "-B", "-d", "0BE4C400", "-u", url, "-i", dir + "/store"}).seconds);
    std::printf("Updater -B (start-up, hi and builds requests): %.3fs median\n", Median(wallB));
    std::printf("Updater -G asks hi, qu and builds side by side, then streams the bird answer through base64\n"
                "decoding and the inflate check into the temporary file (one fsync, the rename); curl makes\n"
                "only the bird request and writes the base64 text; sync then flushes it. %d runs, medians.\n",
                runs);
    std::printf("%s\n", met ? "all targets met" : "some target MISSED");
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    RunMeasured({"/bin/rm", "-rf", dir});
    if (!ok) std::fprintf(stderr, "a download failed\n");
    return ok ? 0 : 1;
}
