// Wall time of writing the same image through each boot ROM's simulator with
// our clients and with the third-party tools, the simulators pacing bytes at
// the wire speed of 115200 baud.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "NXPSerial.h"
#include "SDPLoader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A simulator in the background; its terminal path is read from its output.
struct Sim {
    pid_t pid = -1;
    int out = -1;
    std::string pty;
    explicit Sim(std::vector<std::string> argv) {
        int p[2];
        if (pipe(p) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            close(p[0]);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(p[1]);
        out = p[0];
        std::string text;
        while (text.find("READY\n") == std::string::npos) {
            struct pollfd f = {out, POLLIN, 0};
            char buffer[256];
            if (poll(&f, 1, 10000) <= 0) break;
            ssize_t n = read(out, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, (size_t)n);
        }
        size_t at = text.find("pty ");
        if (at != std::string::npos) pty = text.substr(at + 4, text.find('\n', at) - at - 4);
    }
    ~Sim() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
};

int RunQuiet(std::vector<std::string> argv, const std::string& cwd) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool OurLpc(const std::string& pty, const std::vector<unsigned char>& image) {
    NXPSerialClass isp;
    long part = 0;
    if (isp.Connect(pty.c_str(), 115200) != aErrNone || isp.Resynchronize() != aErrNone ||
        isp.GetPartNumber(&part) != aErrNone)
        return false;
    int last = NXPSerialClass::LastSectorOfPart(part);
    if (last < 0 || isp.Unlock() != aErrNone || isp.Prepare(0, last) != aErrNone ||
        isp.Erase(0, last) != aErrNone || isp.SetEcho(false) != aErrNone)
        return false;
    for (size_t off = 0; off < image.size(); off += 4096) {
        unsigned n = (unsigned)std::min<size_t>(4096, image.size() - off);
        auto ram = NXPSerialClass::CopyImage(image.data() + off, n);
        unsigned at = (unsigned)off;
        if (isp.Write(NXPSerialClass::WRITE_ADDRESS, (unsigned)ram.size(), ram.data()) != aErrNone ||
            isp.Prepare(NXPSerialClass::SectorFromAddress(at),
                        NXPSerialClass::SectorFromAddress(at + (unsigned)ram.size() - 1)) != aErrNone ||
            isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, (unsigned)ram.size()) != aErrNone)
            return false;
    }
    return isp.ExecuteFrom(0) == aErrNone;
}

bool OurImx(const std::string& pty, const std::vector<unsigned char>& image) {
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(pty.c_str()));
    if (loader.init() != 0) return false;
    if (loader.writeLoader(byte_vector(image.begin(), image.end()), 0x20000400) != 0) return false;
    loader.startLoader(0x20000400);
    return true;
}

struct Row {
    const char* what;
    double ours = 0, peer = 0;
    bool okOurs = false, okPeer = false;
};

} // namespace

int main(int argc, char** argv) {
    size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 200 * 1024;
    // Optional second argument: "lpc" or "imx" runs that pair only.
    const std::string only = argc > 2 ? argv[2] : "";
    const bool lpc = only != "imx", imx = only != "lpc";
    char dirTemplate[] = "/tmp/bench_recovery.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    std::vector<unsigned char> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = (unsigned char)((i * 2654435761u) >> 13);
    std::ofstream(dir + "/image.bin", std::ios::binary).write((const char*)image.data(), (std::streamsize)size);
    std::ofstream(dir + "/board.conf") << "imxrt\nhid,1024,0x20000000,0x20000000,1M\n"
                                          "image.bin:load 0x20000400,jump_direct 0x20000400\n";

    Row rows[2] = {{"LPC ISP (lpc21isp)"}, {"i.MX UART SDP (imx_uart)"}};
    if (lpc) {
        Sim sim({LPC_ISP_SIM_BIN, "--pace"});
        auto t = Clock::now();
        rows[0].okOurs = OurLpc(sim.pty, image);
        rows[0].ours = Since(t);
    }
    if (lpc) {
        Sim sim({LPC_ISP_SIM_BIN, "--pace"});
        auto t = Clock::now();
        rows[0].okPeer = RunQuiet({"/usr/bin/lpc21isp", "-bin", "image.bin", sim.pty, "115200", "14746"}, dir) == 0;
        rows[0].peer = Since(t);
    }
    if (imx) {
        Sim sim({IMX_SDP_SIM_BIN, "--pace"});
        auto t = Clock::now();
        rows[1].okOurs = OurImx(sim.pty, image);
        rows[1].ours = Since(t);
    }
    if (imx) {
        Sim sim({IMX_SDP_SIM_BIN, "--pace"});
        auto t = Clock::now();
        rows[1].okPeer = RunQuiet({"/usr/bin/imx_uart", "-n", sim.pty, "board.conf"}, dir) == 0;
        rows[1].peer = Since(t);
    }
    std::printf("image %zu bytes, 115200 baud paced\n", size);
    std::printf("%-26s %10s %10s %7s %10s\n", "transfer", "ours (s)", "peer (s)", "ratio", "ours KB/s");
    for (const Row& r : rows) {
        if ((&r == &rows[0] && !lpc) || (&r == &rows[1] && !imx)) continue;
        std::printf("%-26s %10.2f %10.2f %7.2f %10.2f%s\n", r.what, r.ours, r.peer, r.ours / r.peer,
                    size / 1024.0 / r.ours, r.okOurs && r.okPeer ? "" : "  (a transfer FAILED)");
    }
    std::string cleanup = "rm -rf " + dir;
    (void)!std::system(cleanup.c_str());
    bool ok = (!lpc || (rows[0].okOurs && rows[0].okPeer)) && (!imx || (rows[1].okOurs && rows[1].okPeer));
    return ok ? 0 : 1;
}
