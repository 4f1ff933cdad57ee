#include "Planner.h"

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <optional>

#include "BirdFile.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "aDirectory.h"

namespace {

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

unsigned BuildOf(const std::string& text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    return (end != text.c_str() && value <= 0xFFFFFFFFul) ? unsigned(value) : 0;
}

// A stored build setting such as "123.bird", as its number; 0 when none.
unsigned StoredBuild(const StoredDevice& device, const char* key) {
    const auto at = device.settings.find(key);
    return at == device.settings.end() ? 0 : BuildOf(at->second);
}

// A module left in its loader is written whatever build it reports.
void Decide(PlanEntry& entry, bool force) {
    if (!entry.module.journal && entry.to_build != 0 && entry.to_build == entry.from_build && !force) {
        entry.action = PlanEntry::Action::UpToDate;
        return;
    }
    entry.action = PlanEntry::Action::Update;
}

// Every module gets the file, when it is of the file's model.
struct FilePlanner {
    const BirdCheckReport& report;
    const BirdFile& file;
    int64_t size;
    bool force;

    void Plan(PlanEntry& entry) const {
        const FleetModule& m = entry.module;
        entry.to_build = report.build;
        entry.source = PlanEntry::Source::File;
        entry.file = report.path;
        entry.size = size;
        if (!file.ValidateModel(m.model().c_str())) {
            entry.action = PlanEntry::Action::Skip;
            entry.reason = "the file is for " + report.model + ", this module is " + m.model();
            return;
        }
        if (!report.has_serial_block && report.serial != m.serial) {
            char text[96];
            std::snprintf(text, sizeof text, "the file is built for device [%08X] alone", report.serial);
            entry.action = PlanEntry::Action::Skip;
            entry.reason = text;
            return;
        }
        Decide(entry, force);
    }
};

// Each module gets the newest build the server offers for it, else what the
// store says it last downloaded or wrote, as a single update would choose.
struct NewestPlanner {
    Updater& updater;
    bool force;
    const std::function<void(const std::string&)>& say;
    mutable bool serverSilent = false;

    unsigned ServerNewest(unsigned serial) const {
        std::string build, name;
        if (!UpdateServerRequest::QueryBuild(serial, build, name, updater.Get_ServerURL()) || build.empty()) {
            if (!serverSilent) say("The update server gave no build; modules fall back to the store's builds");
            serverSilent = true;
            return 0;
        }
        return BuildOf(build);
    }

    // An unfinished update is finished with its own file, as a single
    // update does; the flow judges the record again when it runs.
    void PlanFinish(PlanEntry& entry) const {
        const JournalEntry& journal = *entry.module.journal;
        entry.source = PlanEntry::Source::Journal;
        entry.to_build = journal.build;
        entry.file = journal.stored() ? updater.Get_StoreDirectory() + "/" + entry.module.serial_text() + "/" +
                                            journal.file
                                      : journal.file;
        entry.size = FileSize(entry.file);
        entry.reason = "finishing the update interrupted at " + journal.phase;
        entry.action = PlanEntry::Action::Update;
    }

    void Plan(PlanEntry& entry) const {
        if (entry.module.journal) return PlanFinish(entry);
        const unsigned serial = entry.module.serial;
        std::optional<StoredDevice> stored;
        // A device the store has not met yet is the rule on a first run, not
        // an error to show: only one it has is read.
        const std::string directory = updater.Get_StoreDirectory() + "/" + UpdaterStore::DeviceName(serial);
        if (aDirectory_Exists(directory.c_str())) {
            ResultOf<StoredDevice> read = updater.Get_StoredDevice(serial);
            if (read.ok()) stored = std::move(read).value();
        }
        const auto storedFile = [&](unsigned build) {
            return stored ? stored->directory + "/" + std::to_string(build) + STORE_BIRD_EXTENSION : std::string();
        };
        unsigned build = ServerNewest(serial);
        if (build != 0) {
            entry.source = FileSize(storedFile(build)) >= 0 ? PlanEntry::Source::Store : PlanEntry::Source::Server;
        } else if (stored) {
            build = StoredBuild(*stored, STORE_KEY_LATEST_DOWNLOAD);
            if (build == 0) build = StoredBuild(*stored, STORE_KEY_LATEST_TRANSFER);
            if (build != 0) entry.source = PlanEntry::Source::Store;
        }
        if (build == 0) {
            entry.action = PlanEntry::Action::Refuse;
            entry.reason = "no build for this device: the update server offers none and the store holds none";
            return;
        }
        entry.to_build = build;
        if (entry.source == PlanEntry::Source::Store) {
            entry.file = storedFile(build);
            entry.size = FileSize(entry.file);
            if (entry.size < 0) {
                entry.action = PlanEntry::Action::Refuse;
                entry.reason = "build " + std::to_string(build) + " is recorded but not in the store";
                return;
            }
        }
        Decide(entry, force);
    }
};

} // namespace

ResultOf<std::vector<PlanEntry>> MakePlan(Updater& updater, const std::vector<FleetModule>& modules,
                                          const PlanRequest& request,
                                          const std::function<void(const std::string&)>& say) {
    std::optional<BirdCheckReport> report;
    std::optional<BirdFile> file;
    if (!request.file.empty()) {
        report = updater.Check_BirdFile(request.file, 0);
        std::string problems;
        for (const std::string& problem : report->problems) problems += (problems.empty() ? "" : "; ") + problem;
        ResultOf<BirdFile> opened = BirdFile::Open(request.file);
        if (!report->loaded || !report->problems.empty() || !opened.ok())
            return Result::Failure(aErrParse, "cannot use " + request.file + ": " +
                                                  (problems.empty() ? opened.message() : problems));
        file = std::move(opened).value();
    }
    const NewestPlanner newest{updater, request.force, say};
    const auto recover = [&request](PlanEntry& entry) {
        entry.source = PlanEntry::Source::Recovery;
        entry.action = PlanEntry::Action::Update;
        entry.candidates = request.waiting;
        const BootRom& rom = *entry.module.boot_rom;
        entry.reason = rom.chip == BootRom::Chip::Lpc ? "recovered through its LPC boot ROM on " + rom.port
                                                      : "recovered through its i.MX boot ROM on USB (fuse words " +
                                                            rom.fingerprint + ")";
    };
    std::vector<PlanEntry> plan;
    for (const FleetModule& m : modules) {
        PlanEntry entry;
        entry.module = m;
        entry.from_build = m.info.build;
        if (!m.usable()) {
            entry.action = PlanEntry::Action::Refuse;
            entry.reason = m.state == "busy" ? "busy: another process holds it" : m.state;
        } else if (m.boot_rom) {
            recover(entry);
        } else if (m.serial == kNoParticularDevice) {
            // The recovery loader an i.MX boot ROM started, left running by a
            // recovery that stopped: it is no module to update, and the chip
            // answers its ROM again only after a reset.
            entry.action = PlanEntry::Action::Skip;
            entry.reason = "a chip running the recovery loader its boot ROM started: reset or power-cycle it, "
                           "then recover it through its boot ROM";
        } else if (file) {
            FilePlanner{*report, *file, FileSize(request.file), request.force}.Plan(entry);
        } else {
            newest.Plan(entry);
        }
        plan.push_back(std::move(entry));
    }
    return plan;
}
