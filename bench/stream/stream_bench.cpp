// Streaming benchmark. "sim": tarnix-sim streaming every option of the system
// entity (4 values and an 8-element array) every 1 ms over TCP; every period's
// samples share a timestamp, so a period short of 12 samples lost some.
// "rate": a scripted module sends 32-bit samples at set rates; the callback
// counts them and checks their sequence numbers.
// Usage: stream_bench [sim|rate]... (both when none given)
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "BenchArgs.h"
#include "FakeModule.h"
#include "Module.h"
#include "SystemClass.h"

using namespace Velorn::Tarnix;
using Clock = std::chrono::steady_clock;

namespace {

ZephylConfig Direct()
{
    ZephylConfig c;
    c.enabled = 0;
    return c;
}

linkSpec Tcp(uint16_t port)
{
    linkSpec s{};
    s.type = TCPIP;
    s.ip_address = htonl(INADDR_LOOPBACK);
    s.ip_port = port;
    return s;
}

struct SimCount {
    std::mutex mutex;
    std::map<unsigned long, int> perPeriod; // timestamp -> samples
    unsigned long total = 0;
};

uint8_t CountSim(const aPacket* p, void* c)
{
    auto* s = static_cast<SimCount*>(c);
    unsigned long stamp = 0;
    if (Link::getStreamSample(p, &stamp, nullptr, nullptr) != aErrNone)
        return 0;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->perPeriod[stamp]++;
    s->total++;
    return 0;
}

void Sim()
{
    char dir[] = "/tmp/stream-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return;
    const std::string ini = std::string(dir) + "/sim.ini", ready = std::string(dir) + "/ready";
    std::ofstream(ini) << "[module bench]\nserial = 0x1234ABCD\naddress = 4\nstream_interval_ms = 1\n";
    const pid_t sim = fork();
    if (sim == 0) {
        execl(TARNIX_SIM_BIN, TARNIX_SIM_BIN, "--log", "/dev/null", "--control-port", "off", "--ready-file",
              ready.c_str(), ini.c_str(), (char*)nullptr);
        _exit(127);
    }
    uint16_t port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(ready);
        std::string word, name, kind, where;
        while (in >> word)
            if (word == "module" && in >> name >> kind >> where && kind == "tcp")
                port = (uint16_t)std::stoi(where.substr(where.rfind(':') + 1));
    }
    {
        Module module(4);
        SystemClass system;
        system.init(&module, 0);
        SimCount count;
        const unsigned elements[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        if (port == 0 || module.setConfig(Direct()) != aErrNone || module.connectFromSpec(Tcp(port)) != aErrNone ||
            system.setInputPowerBehaviorConfig(elements, 8) != aErrNone ||
            system.registerOptionCallback(255, true, CountSim, &count) != aErrNone) {
            printf("sim: no stream\n");
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            unsigned long total0;
            size_t periods0;
            {
                std::lock_guard<std::mutex> lock(count.mutex);
                total0 = count.total;
                periods0 = count.perPeriod.size();
            }
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(5));
            const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            Must(system.setStreamEnabled(false), "setStreamEnabled");
            std::lock_guard<std::mutex> lock(count.mutex);
            size_t short_periods = 0;
            for (const auto& period : count.perPeriod)
                if (period.second != 12) short_periods++;
            printf("sim (1 ms period, 12 samples a period): %.0f samples/s delivered, %.0f periods/s, "
                   "%zu of %zu periods short (the first and last may be cut), %lu callbacks dropped\n",
                   (count.total - total0) / seconds, (count.perPeriod.size() - periods0) / seconds, short_periods,
                   count.perPeriod.size(), module.getLink()->getDroppedStreamCallbacks());
        }
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(ini.c_str());
    rmdir(dir);
}

struct RateCount {
    std::atomic<unsigned long> delivered{0};
    std::atomic<unsigned long> outOfOrder{0};
    unsigned last = 0;
};

uint8_t CountRate(const aPacket* p, void* c)
{
    auto* r = static_cast<RateCount*>(c);
    unsigned value = 0;
    (void)Link::getStreamSample(p, nullptr, &value, nullptr); // an unreadable sample counts as out of order
    if (value <= r->last)
        r->outOfOrder++;
    r->last = value;
    r->delivered++;
    return 0;
}

void Rate(unsigned perSecond, double seconds)
{
    linktest::FakeModule fake(linktest::FakeModule::Transport::Tcp, 4);
    fake.setEcho(false);
    fake.setRecording(false);
    Module module(4);
    RateCount count;
    fake.sendPacket(4, {93, 0xC1, 0});
    if (module.setConfig(Direct()) != aErrNone || module.connectFromSpec(Tcp(fake.port())) != aErrNone ||
        module.getLink()->registerStreamCallback(4, 3, 12, 0, true, CountRate, &count) != aErrNone) {
        printf("rate: no stream\n");
        return;
    }
    // Samples go out in 1 ms batches, bytes as on the wire.
    const unsigned total = (unsigned)(perSecond * seconds);
    const auto t0 = Clock::now();
    unsigned sent = 0;
    for (unsigned ms = 1; sent < total; ++ms) {
        std::vector<uint8_t> batch;
        const unsigned due = std::min<unsigned long>(total, (unsigned long)perSecond * ms / 1000);
        for (; sent < due; ++sent) {
            const unsigned v = sent + 1;
            const uint8_t sample[19] = {4, 17, 3, 12, 0x40, 3, 0, 0, 0, 0, 0, 0, 0, 0,
                                        uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v), 0};
            batch.insert(batch.end(), sample, sample + sizeof sample);
        }
        fake.sendRaw(batch);
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(ms));
    }
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (count.delivered + module.getLink()->getDroppedStreamCallbacks() < total && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const unsigned long dropped = module.getLink()->getDroppedStreamCallbacks();
    printf("rate %7u samples/s offered: %9.0f delivered/s, %lu of %u delivered, %lu dropped, %lu still in transit "
           "5 s after the last was sent, %lu out of order\n",
           perSecond, count.delivered / elapsed, count.delivered.load(), total, dropped,
           total - count.delivered - dropped, count.outOfOrder.load());
}

} // namespace

int main(int argc, char** argv)
{
    if (Wanted(argc, argv, "sim"))
        Sim();
    if (Wanted(argc, argv, "rate"))
        for (unsigned r : {10000u, 50000u, 100000u, 200000u, 400000u})
            Rate(r, 2.0);
    return 0;
}
