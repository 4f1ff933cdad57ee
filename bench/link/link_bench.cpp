// Link core benchmarks against the loopback fake module of the link tests,
// and USB links against tarnix-sim's virtual USB modules.
// Usage: link_bench [idle|roundtrip|oneway|fifo|usb]... (all when none given)
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchArgs.h"
#include "FakeModule.h"
#include "UmockdevPreload.h"
#include "aLink.h"
#include "aLinkPrivate.h"
#include "aPacketFifo.h"
#include "aUSBPrivate.h"

#include <libusb.h>

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kAddress = 4;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

aLinkId Connect(FakeModule& module)
{
    if (!module.ptyName().empty())
        return aLink_CreateSerial(0, module.ptyName().c_str(), 115200);
    return aLink_CreateTCPIP(0, module.addressNetworkOrder(), module.port());
}

bool WaitRunning(aLinkId id)
{
    for (int i = 0; i < 2000 && aLink_GetStatus(id) != linkRunning; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return aLink_GetStatus(id) == linkRunning;
}

void Idle(FakeModule::Transport transport, const char* name)
{
    FakeModule module(transport, kAddress);
    aLinkId id = Connect(module);
    if (id == 0 || !WaitRunning(id)) {
        printf("%s idle: no link\n", name);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    printf("%-7s idle link: %.3f s CPU over %.1f s = %.3f%% of one core (process total, fake module included)\n",
           name, cpu, wall, 100.0 * cpu / wall);
    Must(aLink_Destroy(&id), "aLink_Destroy");
}

struct Match {
    uint8_t tag[2];
};
bool MatchEcho(const aPacket* p, void* reference)
{
    auto* m = static_cast<Match*>(reference);
    return p->dataSize >= 3 && p->data[0] == 0x30 && p->data[1] == m->tag[0] && p->data[2] == m->tag[1];
}

void RoundTrip(FakeModule::Transport transport, const char* name)
{
    FakeModule module(transport, kAddress);
    module.setRecording(false);
    aLinkId id = Connect(module);
    if (id == 0 || !WaitRunning(id)) {
        printf("%s round trip: no link\n", name);
        return;
    }
    constexpr int kExchanges = 10000;
    std::vector<double> micros;
    micros.reserve(kExchanges);
    int lost = 0;
    for (int i = 0; i < kExchanges; ++i) {
        Match m{{(uint8_t)(i >> 8), (uint8_t)i}};
        uint8_t data[5] = {0x30, m.tag[0], m.tag[1], 1, 2};
        aPacket* request = aPacket_CreateWithData(kAddress, sizeof(data), data);
        const auto t0 = Clock::now();
        Must(aLink_PutPacket(id, request), "aLink_PutPacket");
        aPacket* reply = aLink_AwaitFirst(id, MatchEcho, &m, 1000);
        const auto t1 = Clock::now();
        Must(aPacket_Destroy(&request), "aPacket_Destroy");
        if (reply == nullptr) {
            lost++;
            continue;
        }
        Must(aPacket_Destroy(&reply), "aPacket_Destroy");
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) {
        printf("%s round trip: no replies\n", name);
    } else {
        printf("%-7s round trip over %d exchanges: median %.0f us, p99 %.0f us, max %.0f us, lost %d\n", name,
               kExchanges, micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back(), lost);
    }
    Must(aLink_Destroy(&id), "aLink_Destroy");
}

void OneWay(FakeModule::Transport transport, const char* name, bool pooled)
{
    FakeModule module(transport, kAddress);
    module.setEcho(false);
    module.setRecording(false);
    aLinkId id = Connect(module);
    if (id == 0 || !WaitRunning(id)) {
        printf("%s one-way: no link\n", name);
        return;
    }
    Must(aLink_EnablePooledPackets(id, pooled), "aLink_EnablePooledPackets");
    aLink* link = aLinkPriv_GetLink(id);
    const aPacketFifoId out = link->outputFifo;
    aLinkPriv_ReleaseLink(&link);
    const size_t base = module.total();
    constexpr int kPackets = 200000;
    uint8_t data[28];
    memset(data, 0x5A, sizeof(data));
    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof(data), data);
    const auto t0 = Clock::now();
    for (int i = 0; i < kPackets; ++i) {
        // Stay below the output queue's overflow bound.
        while (aPacketFifo_GetLength(out) > 800)
            std::this_thread::yield();
        Must(aLink_PutPacket(id, packet), "aLink_PutPacket");
    }
    const bool all = module.waitForTotal(base + kPackets, std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Must(aPacket_Destroy(&packet), "aPacket_Destroy");
    printf("%-7s one-way, %-10s %d packets of 30 bytes in %.2f s: %.0f packets/s%s\n", name,
           pooled ? "pooled:" : "unpooled:", kPackets, seconds, (module.total() - base) / seconds,
           all ? "" : " (not all arrived)");
    Must(aLink_Destroy(&id), "aLink_Destroy");
}

void FifoThroughput()
{
    aPacketFifoId fifo = aPacketFifo_Create();
    constexpr int kPackets = 1000000;
    uint8_t data[28] = {};
    aPacket* packet = aPacket_CreateWithData(2, sizeof(data), data);
    std::atomic<int> received{0};
    const auto t0 = Clock::now();
    std::thread consumer([&] {
        while (received < kPackets) {
            aPacket* p = aPacketFifo_Await(fifo, 1000);
            if (p == nullptr)
                break;
            Must(aPacket_Destroy(&p), "aPacket_Destroy");
            received++;
        }
    });
    for (int i = 0; i < kPackets; ++i) {
        while (aPacketFifo_GetLength(fifo) > 900)
            std::this_thread::yield();
        Must(aPacketFifo_Put(fifo, packet), "aPacketFifo_Put");
    }
    consumer.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    printf("FIFO put/await between two threads: %d packets in %.2f s: %.0f packets/s\n", received.load(), seconds,
           received / seconds);
    Must(aPacket_Destroy(&packet), "aPacket_Destroy");
    Must(aPacketFifo_Destroy(&fifo), "aPacketFifo_Destroy");
}

// USB: tarnix-sim serves one module on USB in its own umockdev test bed.

struct UsbSim {
    pid_t pid = -1;
    std::string dir;
    bool start(unsigned heartbeatMs, int modules = 1)
    {
        char tmpl[] = "/tmp/link-bench-usb.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir = tmpl;
        {
            std::ofstream ini(dir + "/sim.ini");
            for (int i = 0; i < modules; ++i)
                ini << "[module bench" << i << "]\nserial = " << 0xBE7C + i
                    << "\nmodel = 17\naddress = 4\ntransport = usb\nheartbeat_ms = " << heartbeatMs << "\n";
        }
        const std::string ready = dir + "/ready";
        pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", dir.c_str(), 1);
            unsetenv("LD_PRELOAD");
            freopen("/dev/null", "w", stdout);
            execl(TARNIX_SIM_BIN, TARNIX_SIM_BIN, "--ready-file", ready.c_str(), "--log", (dir + "/sim.log").c_str(),
                  (dir + "/sim.ini").c_str(), (char*)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(ready);
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("env UMOCKDEV_DIR=", 0) == 0) {
                    setenv("UMOCKDEV_DIR", line.substr(17).c_str(), 1);
                    Tarnix_libusb_exit();
                    return true;
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    double cpuSeconds() const
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string f;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14)
                utime = std::stoul(f);
            if (i == 15)
                stime = std::stoul(f);
        }
        return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
    }
    ~UsbSim()
    {
        Tarnix_libusb_exit();
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty())
            system(("rm -rf " + dir).c_str());
    }
};

bool MatchSerial(const aPacket* p, void*)
{
    return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
}

// What USB discovery does: list the devices, and open each module to read its serial string.
double EnumerateOnce(int* found)
{
    const auto t0 = Clock::now();
    libusb_context* context = Tarnix_libusb_acquire();
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    *found = 0;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tarnix_device(list[i]))
            continue;
        libusb_device_descriptor d;
        libusb_device_handle* device = nullptr;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &device) != 0)
            continue;
        unsigned char serial[33];
        if (libusb_get_string_descriptor_ascii(device, d.iSerialNumber, serial, sizeof(serial)) == 8)
            (*found)++;
        libusb_close(device);
    }
    libusb_free_device_list(list, 1);
    Tarnix_libusb_release(context);
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void Usb()
{
    if (!testsupport::UnderUmockdevPreload()) {
        printf("USB: not under umockdev's preload\n");
        return;
    }
    {
        UsbSim sim;
        if (!sim.start(0)) {
            printf("USB: simulator did not start\n");
            return;
        }
        aLinkId id = aLink_CreateUSB(0xBE7C);
        if (id == 0) {
            printf("USB idle: no link\n");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double cpu0 = CpuSeconds(), sim0 = sim.cpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double cpu = CpuSeconds() - cpu0, simCpu = sim.cpuSeconds() - sim0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        printf("USB     idle link: %.3f s CPU over %.1f s = %.3f%% of one core (link process); simulator %.3f%%\n", cpu,
               wall, 100.0 * cpu / wall, 100.0 * simCpu / wall);

        // UEI round trips: a get of the serial number, answered by the module.
        constexpr int kExchanges = 2000;
        std::vector<double> micros;
        static const uint8_t request[3] = {3, 9 | 0x40, 0x20};
        aPacket* packet = aPacket_CreateWithData(4, sizeof(request), request);
        for (int i = 0; i < kExchanges; ++i) {
            const auto s0 = Clock::now();
            Must(aLink_PutPacket(id, packet), "aLink_PutPacket");
            aPacket* reply = aLink_AwaitFirst(id, MatchSerial, nullptr, 1000);
            const auto s1 = Clock::now();
            if (reply != nullptr)
                micros.push_back(std::chrono::duration<double, std::micro>(s1 - s0).count());
            Must(aPacket_Destroy(&reply), "aPacket_Destroy");
        }
        Must(aPacket_Destroy(&packet), "aPacket_Destroy");
        std::sort(micros.begin(), micros.end());
        if (!micros.empty())
            printf("USB     UEI round trip over %d exchanges: median %.0f us, p99 %.0f us, lost %d\n", kExchanges,
                   micros[micros.size() / 2], micros[micros.size() * 99 / 100], kExchanges - (int)micros.size());
        Must(aLink_Destroy(&id), "aLink_Destroy");

        // The same exchange straight through the driver (no link threads):
        // one bulk OUT and one bulk IN, the emulation's and the simulator's share.
        tarnixusb* h = tarnixusb_create_usb(1);
        if (tarnixusb_open_tarnix_device(h, "0000BE7C") == aErrNone) {
            const uint8_t wire[5] = {4, 3, 3, 9 | 0x40, 0x20};
            micros.clear();
            for (int i = 0; i < kExchanges; ++i) {
                const auto s0 = Clock::now();
                Must(tarnixusb_write_to_device(h, wire, sizeof(wire)), "tarnixusb_write_to_device");
                uint8_t b;
                int got = 0;
                while (got < 9 && tarnixusb_get_from_device(h, &b) == aErrNone)
                    got++;
                micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s0).count());
            }
            std::sort(micros.begin(), micros.end());
            printf("USB     bare driver write + read (emulation and simulator only): median %.0f us, p99 %.0f us\n",
                   micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
        }
        Must(tarnixusb_destroy(&h), "tarnixusb_destroy");
    }
    for (int modules : {1, 8}) {
        UsbSim sim;
        if (!sim.start(0, modules))
            continue;
        int found = 0;
        std::vector<double> ms;
        for (int i = 0; i < 50; ++i)
            ms.push_back(EnumerateOnce(&found));
        std::sort(ms.begin(), ms.end());
        printf("USB     enumeration (list, open, serial string) of %d module(s): median %.2f ms, found %d\n", modules,
               ms[ms.size() / 2], found);
    }
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // USB links need umockdev's preload from the start (after the sanitizer runtime).
    if (Wanted(argc, argv, "usb"))
        testsupport::RestartUnderUmockdevPreload(argv, "LINK_BENCH_REEXEC");
    if (Wanted(argc, argv, "idle")) {
        Idle(FakeModule::Transport::Tcp, "TCP/IP");
        Idle(FakeModule::Transport::Pty, "serial");
    }
    if (Wanted(argc, argv, "roundtrip")) {
        RoundTrip(FakeModule::Transport::Tcp, "TCP/IP");
        RoundTrip(FakeModule::Transport::Pty, "serial");
    }
    if (Wanted(argc, argv, "oneway")) {
        OneWay(FakeModule::Transport::Tcp, "TCP/IP", false);
        OneWay(FakeModule::Transport::Tcp, "TCP/IP", true);
        OneWay(FakeModule::Transport::Pty, "serial", false);
        OneWay(FakeModule::Transport::Pty, "serial", true);
    }
    if (Wanted(argc, argv, "fifo"))
        FifoThroughput();
    if (Wanted(argc, argv, "usb"))
        Usb();
    return 0;
}
