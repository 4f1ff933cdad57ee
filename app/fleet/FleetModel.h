// What the fleet program knows of a lab's modules: each module found, what
// an update would do to it, and how its update ended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "UpdateJournal.h"
#include "Updater.h"
#include "aError.h"

enum class Transport { Usb, Tcpip, I2c, Serial };
const char* TransportName(Transport transport); // "usb", "tcpip", "i2c", "serial"

// A chip at its boot ROM: a module that lost its firmware.
struct BootRom {
    enum class Chip { Imx, Lpc };
    Chip chip = Chip::Imx;
    std::string port;        // the recovery flow's port: "USB" for an i.MX ROM on USB HID, or a serial port
    std::string fingerprint; // what identifies the chip before recovery ("" when not read)
};

// One module found by the inventory.
struct FleetModule {
    DeviceInfo info;                 // as discovery read it
    Transport transport = Transport::Usb;
    unsigned serial = 0;
    unsigned router_serial = 0;      // behind a routing module: its serial number
    linkSpec router_link{};          // behind a routing module found directly: where that router is
    uint16_t i2c_address = 0;        // behind a routing module: the address on its bus
    std::string address;             // "" (USB), "10.77.0.1:41000", "D272031D/0x10"
    std::string state = "ok";        // "ok", "interrupted", "boot-rom", "busy" or "error: ..."
    std::optional<JournalEntry> journal; // its unfinished update, when the store records one
    std::optional<BootRom> boot_rom;     // a boot ROM: no serial number until recovered

    bool usable() const { return state == "ok" || state == "interrupted" || state == "boot-rom"; }
    bool has_serial() const { return !boot_rom || serial != 0; }
    std::string serial_text() const;  // %08X, "--------" for a boot ROM not yet known
    std::string fingerprint_text() const { return boot_rom ? boot_rom->fingerprint : ""; }
    std::string log_name() const;         // the serial number, or "boot-rom-" and the fuse words
    std::string version_text() const; // major.minor.patch
    std::string model() const { return info.model_name; }
};

// What an update would do to one module.
struct PlanEntry {
    enum class Action { Update, UpToDate, Skip, Refuse };
    enum class Source { None, File, Store, Server, Journal, Recovery };

    FleetModule module;
    unsigned from_build = 0;
    unsigned to_build = 0;   // 0 when no target was found (or the file names none)
    Source source = Source::None;
    std::string file;        // the file that would be written, "" when not known yet
    int64_t size = -1;       // bytes, -1 when not known before the download
    Action action = Action::Skip;
    std::string reason;      // for Skip and Refuse
    // A boot ROM: the unfinished updates of modules not found, one of which
    // it may be when the update server cannot name it.
    std::vector<JournalEntry> candidates;

    // Refuse shows as "skip" in a plan but ends as a failure: the module
    // should have been updated and cannot be.
    const char* action_text() const;
    const char* source_text() const; // nullptr for None
};

// How one module's update ended.
struct ModuleResult {
    enum class Status { Updated, UpToDate, Failed, Skipped };

    PlanEntry plan;
    Status status = Status::Skipped;
    aErr code = aErrNone;
    std::string message;     // why it failed or was skipped
    double seconds = 0;
    int attempts = 0;
    bool left_in_loader = false; // the loader was started and the update did not finish

    const char* status_text() const;
};

struct Summary {
    int updated = 0, up_to_date = 0, failed = 0, skipped = 0;
    bool interrupted = false;
    int exit_status = 0;
    std::string run_directory; // "" when no record was kept
};

// Exit statuses of the program, a contract with scripts.
enum FleetExit : int {
    kExitDone = 0,        // every selected module ends on its target
    kExitSetup = 1,       // usage or set-up error, nothing attempted
    kExitSomeFailed = 2,
    kExitAllFailed = 3,
    kExitNoMatch = 4,
};

// The counts and exit status of a finished update.
Summary Summarise(const std::vector<ModuleResult>& results, bool interrupted);
