#include "FleetMain.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Doctor.h"
#include "Events.h"
#include "FleetOptions.h"
#include "Inventory.h"
#include "Log.h"
#include "Planner.h"
#include "RunRecord.h"
#include "Runner.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

using Command = FleetOptions::Command;

std::atomic<bool> sStop{false};

// The first Ctrl-C or SIGTERM asks every worker to stop at its next safe
// point; a second one ends the program at once.
void sOnSignal(int signal) {
    if (sStop.exchange(true)) {
        ::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    static const char note[] =
        "\nStopping: updates in progress end at their next safe point (press Ctrl-C again to quit at once)\n";
    ssize_t ignored = write(STDERR_FILENO, note, sizeof note - 1);
    (void)ignored;
}

// Installs the handlers for its lifetime.
class StopOnSignal {
public:
    StopOnSignal() {
        struct sigaction action {};
        action.sa_handler = sOnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previous[0]);
        sigaction(SIGTERM, &action, &previous[1]);
    }
    ~StopOnSignal() {
        sigaction(SIGINT, &previous[0], nullptr);
        sigaction(SIGTERM, &previous[1], nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    struct sigaction previous[2];
};

// The display discovery and planning talk to, from any thread: errors are
// told to people, the rest goes to the debug log.
class NotesDisplay : public UpdaterDisplayInterface {
public:
    explicit NotesDisplay(Events& events) : events(events) {}
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { Log::log(Log::DEBUG_APP, "%s\n", text); }
    void error_message(const char* text) override { events.Say(true, text); }

private:
    Events& events;
};

// The store root (-i, else ~/.velorn); empty when there is no home.
std::string StoreRoot(const FleetOptions& options) {
    if (!options.store_root.empty()) return options.store_root;
    char home[2048] = "";
    if (aDirectory_GetHomeDirectory(home, sizeof home) != aErrNone || home[0] == '\0') return "";
    return std::string(home) + "/.velorn";
}

// An LPC chip the user says waits at its boot ROM on `port`: the ROM is only
// asked when its recovery starts.
FleetModule LpcBootRom(const std::string& port) {
    FleetModule m;
    m.transport = Transport::Serial;
    m.boot_rom = BootRom{BootRom::Chip::Lpc, port, ""};
    m.address = port;
    m.info.model_name = "LPC ROM";
    m.state = "boot-rom";
    return m;
}

class Fleet {
public:
    Fleet(const FleetOptions& options_, Events& events_)
        : options(options_), events(events_), notes(events_), root(StoreRoot(options_)), store(root + "/updater") {}

    int Run() {
        switch (options.command) {
        case Command::List: return List();
        case Command::Plan: return PlanOnly();
        case Command::Update: return Update();
        case Command::Doctor: return Doctor();
        default: return kExitSetup;
        }
    }

private:
    Inventory Find(bool usb, bool tcpip) {
        InventoryRequest request;
        request.usb = usb;
        request.tcpip = tcpip;
        request.routers = options.selection.routers;
        Inventory inventory = TakeInventory(options.server_url, store, notes, request);
        if (inventory.usb_access_denied) {
            Updater updater(options.server_url.c_str(), store.c_str(), notes);
            updater.Note_UsbAccessDenied();
            _explain_usb_access(notes, updater);
        }
        return inventory;
    }

    int List() {
        const Inventory inventory = Find(options.list_usb, options.list_tcpip);
        for (const FleetModule& m : inventory.modules) events.Module(m);
        if (inventory.modules.empty()) events.Say(false, "No modules found.");
        return inventory.modules.empty() ? kExitNoMatch : kExitDone;
    }

    std::vector<FleetModule> Selected() {
        std::vector<FleetModule> selected;
        Inventory inventory = Find(true, true);
        waiting = inventory.waiting;
        // A -d naming a module that is not found but has an unfinished
        // update: a boot ROM may be that module, and only it is a candidate.
        std::vector<JournalEntry> named;
        for (const JournalEntry& entry : waiting)
            for (unsigned serial : options.selection.serials)
                if (entry.serial == serial) named.push_back(entry);
        for (const FleetModule& m : inventory.modules) {
            if (options.selection.Matches(m)) {
                selected.push_back(m);
            } else if (m.boot_rom && !named.empty()) {
                selected.push_back(m);
                waiting = named;
            }
        }
        for (const std::string& port : options.selection.recover_ports) selected.push_back(LpcBootRom(port));
        // A -d that names a module not found is worth saying.
        for (unsigned serial : options.selection.serials) {
            bool found = false;
            for (const FleetModule& m : selected) found = found || m.serial == serial;
            for (const JournalEntry& entry : named) found = found || entry.serial == serial;
            if (!found) events.Say(true, Text("Module [%08X] was not found", serial));
        }
        if (selected.empty()) events.Say(true, "No module matched the selection");
        return selected;
    }

    ResultOf<std::vector<PlanEntry>> Plan(const std::vector<FleetModule>& selected) {
        Updater updater(options.server_url.c_str(), store.c_str(), notes);
        PlanRequest request;
        request.file = options.file;
        request.force = options.force;
        request.waiting = waiting;
        auto plan = MakePlan(updater, selected, request, [this](const std::string& note) { events.Say(false, note); });
        if (!plan.ok()) events.Say(true, plan.message());
        return plan;
    }

    int PlanOnly() {
        if (!options.file.empty() && !FileReadable()) return kExitSetup;
        const auto selected = Selected();
        if (selected.empty()) return kExitNoMatch;
        auto plan = Plan(selected);
        if (!plan.ok()) return kExitSetup;
        for (const PlanEntry& entry : *plan) events.Plan(entry);
        return kExitDone;
    }

    int Update() {
        if (!options.file.empty() && !FileReadable()) return kExitSetup;
        if (root.empty()) {
            events.Say(true, "No store directory: there is no home directory; give one with -i");
            return kExitSetup;
        }
        ResultOf<RunRecord> record = RunRecord::Create(root);
        if (!record.ok() || aDirectory_Ensure(store.c_str(), 0755) != aErrNone || !aDirectory_Exists(store.c_str())) {
            events.Say(true, record.ok() ? "Cannot use the store directory " + store : record.message());
            return kExitSetup;
        }
        const StopOnSignal stopOnSignal;
        // A reader that goes away (a pipe into head) must not end the run mid-write.
        ::signal(SIGPIPE, SIG_IGN);
        const auto selected = Selected();
        std::vector<PlanEntry> plan;
        if (!selected.empty()) {
            auto planned = Plan(selected);
            if (!planned.ok()) return kExitSetup;
            plan = std::move(planned).value();
        }
        RunnerOptions runner;
        runner.server_url = options.server_url;
        runner.store_directory = store;
        runner.run_directory = record->directory();
        runner.jobs = options.jobs;
        runner.log_mask = Log::DEBUG_Updater | options.debug_mask;
        runner.stop = &sStop;
        const auto results = RunPlan(plan, runner, events);
        Summary summary = Summarise(results, sStop.load());
        summary.run_directory = record->directory();
        if (Result written = record->Write("update", results, summary); !written.ok()) events.Say(true, written.message());
        events.Done(summary, results);
        return summary.exit_status;
    }

    int Doctor() {
        DoctorOptions doctor;
        doctor.store_root = root;
        doctor.server_url = options.server_url;
        doctor.ports = options.ports;
        const bool ok = RunDoctorChecks(doctor, [this](const DoctorCheck& check) { events.Doctor(check); });
        return ok ? kExitDone : kExitSetup;
    }

    // A --file that cannot be read stops the run before anything is searched.
    bool FileReadable() {
        if (access(options.file.c_str(), R_OK) == 0) return true;
        events.Say(true, "Cannot read " + options.file + ": " + std::strerror(errno));
        return false;
    }

    static std::string Text(const char* format, unsigned serial) {
        char text[128];
        std::snprintf(text, sizeof text, format, serial);
        return text;
    }

    const FleetOptions& options;
    Events& events;
    NotesDisplay notes;
    std::string root;
    std::string store;
    std::vector<JournalEntry> waiting; // from the last inventory
};

} // namespace

int fleet_main(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    ResultOf<FleetOptions> parsed = ParseFleetOptions(argc, argv);
    if (!parsed.ok()) {
        std::fprintf(stderr, "tarnix-fleet: %s\n%s", parsed.message().c_str(), FleetUsage());
        return kExitSetup;
    }
    const FleetOptions& options = *parsed;
    if (options.command == Command::Help) {
        std::fputs(FleetUsage(), stdout);
        return kExitDone;
    }
    Log::SetOutput(stderr);
    Log::ActivatePackage(options.debug_mask);
    const OutputMode mode =
        options.json ? OutputMode::Json : (isatty(STDOUT_FILENO) ? OutputMode::Terminal : OutputMode::Plain);
    Events events(MakeSink(mode, stdout, stderr, started));
    return Fleet(options, events).Run();
}
