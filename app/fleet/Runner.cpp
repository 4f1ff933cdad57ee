#include "Runner.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Log.h"
#include "ModuleDisplay.h"
#include "UpdateFlow.h"
#include "UpdateObserver.h"
#include "Updater.h"

namespace {

using Clock = std::chrono::steady_clock;

// A module's log file in the run directory, made new (never through a link).
struct LogFile {
    FILE* file = nullptr;
    LogFile(const std::string& directory, const std::string& serial) {
        if (directory.empty()) return;
        const std::string path = directory + "/" + serial + ".log";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return;
        file = fdopen(fd, "a");
        if (file == nullptr) close(fd);
        else setvbuf(file, nullptr, _IOLBF, 0);
    }
    ~LogFile() {
        if (file) std::fclose(file);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
};

// Passes one update's stages on as events and asks it to stop when the run is stopped.
class Observer : public UpdateObserver {
public:
    Observer(Events& events_, const FleetModule& module_, const std::atomic<bool>* stop_)
        : events(events_), module(module_), stop(stop_) {}

    void OnStage(Stage stage, uint64_t done, uint64_t total) override {
        events.Progress(module, FleetStageOf(stage), done, total);
    }
    void OnLoaderStarting() override { loaderStarted = true; }
    void OnFirmwareBlock(unsigned, unsigned) override {}
    void OnRetry(const char* what, int attempt) override { events.Retry(module, attempt, what); }
    bool StopRequested() const override { return stop != nullptr && stop->load(); }

    bool loaderStarted = false;

private:
    static FleetStage FleetStageOf(Stage stage) {
        switch (stage) {
        case Stage::Loader: return FleetStage::Loader;
        case Stage::Firmware: return FleetStage::Firmware;
        case Stage::Reboot: return FleetStage::Reboot;
        case Stage::Verify: return FleetStage::Verify;
        }
        return FleetStage::Verify;
    }
    Events& events;
    const FleetModule& module;
    const std::atomic<bool>* stop;
};

// The rate an LPC chip is synchronised at, as Updater's default.
constexpr unsigned kRecoveryBaud = 115200;

bool Stopped(const RunnerOptions& options) { return options.stop != nullptr && options.stop->load(); }

// The result of an entry that needs no worker.
ModuleResult Settled(const PlanEntry& entry) {
    ModuleResult result;
    result.plan = entry;
    switch (entry.action) {
    case PlanEntry::Action::UpToDate: result.status = ModuleResult::Status::UpToDate; break;
    case PlanEntry::Action::Skip: result.status = ModuleResult::Status::Skipped; break;
    default:
        result.status = ModuleResult::Status::Failed;
        result.code = entry.module.state == "busy" ? aErrBusy : aErrNotReady;
        break;
    }
    result.message = entry.reason;
    return result;
}

// The worker's part for one module: download when the build is still on the
// server, then the update flow, tried again when a failed try left the module
// in its loader (a second run of the flow finishes such an update).
class ModuleUpdate {
public:
    ModuleUpdate(const PlanEntry& entry_, const RunnerOptions& options_, Events& events_)
        : entry(entry_), options(options_), events(events_), log(options_.run_directory, entry_.module.log_name()),
          scope(log.file, options_.log_mask), display(log.file),
          updater(options_.server_url.c_str(), options_.store_directory.c_str(), display) {
        updater.Set_UEIBytes_Load(true);
    }

    ModuleResult Run() {
        const auto started = Clock::now();
        result.plan = entry;
        if (entry.module.boot_rom) {
            Recover();
            result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
            return result;
        }
        bool downloaded = entry.source != PlanEntry::Source::Server;
        for (int attempt = 1; attempt <= options.attempts; ++attempt) {
            result.attempts = attempt;
            events.Start(entry, attempt);
            display.ForgetError();
            if (!downloaded && !(downloaded = Download())) break;
            Observer observer(events, entry.module, options.stop);
            const Result outcome = RunUpdateFlow(updater, Request(observer));
            // A module an earlier try left in its loader stays there until a try succeeds.
            result.left_in_loader = (result.left_in_loader || observer.loaderStarted) && !outcome.ok();
            if (outcome.ok()) {
                result.status = ModuleResult::Status::Updated;
                result.code = aErrNone;
                result.message.clear();
                break;
            }
            Fail(outcome.code(), outcome.message());
            if (outcome.code() == aErrCancel || !result.left_in_loader || attempt == options.attempts) break;
            events.Retry(entry.module, attempt + 1, "finishing the update: " + result.message);
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return result;
    }

private:
    // A boot ROM: the recovery flow reads the chip's identity and the update
    // server names the device and its build; failing that, the one
    // unfinished update of a module not found names it (several: refused,
    // named, never guessed).
    void Recover() {
        result.attempts = 1;
        events.Start(entry, 1);
        events.Progress(entry.module, FleetStage::Loader, 0, 0);
        display.ForgetError();
        std::vector<unsigned> candidates;
        for (const JournalEntry& waiting : entry.candidates) candidates.push_back(waiting.serial);
        updater.Set_RecoveryCandidates(candidates);
        // Firmware progress as events, and Ctrl-C heard between chunks.
        Observer observer(events, entry.module, options.stop);
        updater.Set_RecoveryObserver(&observer);
        const Result outcome = updater.Recover_Firmware(entry.module.boot_rom->port, 0, kRecoveryBaud, 0, "", false);
        updater.Set_RecoveryObserver(nullptr);
        if (outcome.ok()) {
            result.status = ModuleResult::Status::Updated;
            // The result names the device the ROM turned out to be.
            if (const unsigned named = updater.Get_RecoveredSerial()) result.plan.module.serial = named;
            return;
        }
        Fail(outcome.code(), outcome.message());
    }

    UpdateRequest Request(Observer& observer) const {
        UpdateRequest request;
        request.serial = entry.module.serial;
        // An unfinished update's file is the flow's own first choice.
        if (entry.source == PlanEntry::Source::File) request.bird_file = entry.file;
        else if (entry.source != PlanEntry::Source::Journal) request.build = entry.to_build;
        // Where the inventory found it: the update connects there at once.
        if (entry.module.transport == Transport::Tcpip) request.module_link = entry.module.info.spec;
        if (entry.module.transport == Transport::I2c) {
            request.router_link = entry.module.router_link;
            request.router_serial = entry.module.router_serial;
            request.module_address = static_cast<unsigned char>(entry.module.i2c_address);
        }
        request.observer = &observer;
        return request;
    }

    bool Download() {
        events.Progress(entry.module, FleetStage::Download, 0, 0);
        ResultOf<unsigned> fetched =
            updater.Download_Firmware(entry.module.serial, std::to_string(entry.to_build), false, false);
        if (fetched.ok()) return true;
        Fail(fetched.code(), "download of build " + std::to_string(entry.to_build) + " failed: " + fetched.message());
        return false;
    }

    void Fail(aErr code, const std::string& what) {
        result.status = ModuleResult::Status::Failed;
        result.code = code;
        result.message = what;
        if (!display.LastError().empty() && display.LastError() != what) result.message += ": " + display.LastError();
    }

    const PlanEntry& entry;
    const RunnerOptions& options;
    Events& events;
    LogFile log;
    Log::ThreadScope scope;
    ModuleDisplay display;
    Updater updater;
    ModuleResult result;
};

// The plan's entries that need a worker, grouped: a group's entries go one
// after another, groups side by side. Modules left in their loader come
// first, in their group and among the groups: they run no firmware until
// they are finished.
std::vector<std::vector<size_t>> Groups(const std::vector<PlanEntry>& plan) {
    std::vector<size_t> order;
    for (size_t i = 0; i < plan.size(); ++i)
        if (plan[i].action == PlanEntry::Action::Update) order.push_back(i);
    std::stable_partition(order.begin(), order.end(), [&plan](size_t i) { return plan[i].module.journal.has_value(); });
    std::map<unsigned, size_t> index;
    std::vector<std::vector<size_t>> groups;
    for (size_t i : order) {
        const unsigned key = GroupOf(plan[i]);
        auto [at, fresh] = index.emplace(key, groups.size());
        if (fresh) groups.emplace_back();
        groups[at->second].push_back(i);
    }
    return groups;
}

} // namespace

unsigned GroupOf(const PlanEntry& entry) {
    return entry.module.transport == Transport::I2c ? entry.module.router_serial : entry.module.serial;
}

std::vector<ModuleResult> RunPlan(const std::vector<PlanEntry>& plan, const RunnerOptions& options, Events& events) {
    std::vector<ModuleResult> results(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].action == PlanEntry::Action::Update) continue;
        results[i] = Settled(plan[i]);
        events.Finished(results[i]);
    }
    const auto groups = Groups(plan);
    std::mutex take;
    size_t next = 0;
    const auto work = [&] {
        for (;;) {
            size_t group;
            {
                std::lock_guard<std::mutex> hold(take);
                if (next == groups.size()) return;
                group = next++;
            }
            for (size_t i : groups[group]) {
                if (Stopped(options)) {
                    results[i] = Settled(plan[i]);
                    results[i].status = ModuleResult::Status::Failed;
                    results[i].code = aErrCancel;
                    results[i].message = "stopped before its update began";
                } else {
                    results[i] = ModuleUpdate(plan[i], options, events).Run();
                }
                events.Finished(results[i]);
            }
        }
    };
    const size_t workers = std::min(groups.size(), size_t(options.jobs ? options.jobs : groups.size()));
    std::vector<std::thread> pool;
    for (size_t w = 0; w < workers; ++w) pool.emplace_back(work);
    for (std::thread& worker : pool) worker.join();
    return results;
}
