// The Updater: one operation per command, behind the command-line front end.
// It holds what the operations share (display, store, server URL, options);
// the update runs in UpdateFlow, the writing in UpdateTarget's targets. One
// Updater serves one thread; Updaters on different threads may update
// different modules at the same time.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <optional>
#include <vector>

#include "Result.h"
#include "UpdateJournal.h"
#include "UpdaterDisplayInterface.h"

class UpdateObserver;
#include "aDefs.h"
#include "aError.h"
#include "aProtocol.h"

class BirdFile;
class KeyValueStore;
namespace Velorn {
namespace Tarnix {
class Module;
}
} // namespace Velorn

// One discovered module.
struct DeviceInfo {
    linkSpec spec{};              // how to reach it, as discovery reported it
    uint16_t network_address = 0; // I2C address found by network discovery
    uint32_t build = 0;           // firmware build, 0 when unknown
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string model_name;
    std::string device_name;      // empty when not read
    aErr error = aErrNone;        // first error met while connecting or reading
    aErr connect_error = aErrNone; // why connecting failed (aErrBusy: another process holds it)
};

// A chip's 128-bit identity.
struct Fingerprint {
    uint32_t word[4] = {0, 0, 0, 0};
};

// The serial number that names no device (a fingerprint read or a recovery
// that is not for one particular module).
constexpr unsigned kNoParticularDevice = aSERIAL_NO_PARTICULAR_DEVICE;

// The port name of -N and recovery that means the i.MX boot ROM over USB HID.
constexpr const char* kUsbBootRomPort = "USB";

// Build number (decimal text) to version text.
using BuildList = std::map<std::string, std::string>;

// What the local store holds for one device.
struct StoredDevice {
    std::string directory;                        // <store>/<%08X>
    std::map<std::string, std::string> settings;  // the ".settings" entries, empty when there is none
    bool settings_unreadable = false;             // a ".settings" file is there but cannot be read
    BuildList builds;                             // stored files, as the local build list shows them
    JournalRead journal;                          // an update cut short after its loader started
};

// One block of a checked BIRD file.
struct BirdBlockSummary {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0; // loader and firmware images only
};

// What a check of a BIRD file found. An empty problem list means that an
// update could use the file.
struct BirdCheckReport {
    std::string path;
    bool loaded = false;
    bool has_info = false;
    uint32_t build = 0;
    std::string version;
    uint32_t serial = 0;
    std::string model;
    std::vector<BirdBlockSummary> blocks;
    bool has_serial_block = false;
    uint32_t serial_offset = 0;
    uint32_t descriptor_offset = 0;
    uint32_t device = 0;              // the device checked against, 0 when none
    bool serial_check_passed = false; // meaningful when device is not 0
    std::vector<std::string> problems;
};

class Updater {
public:
    // Chip families recognised by the fingerprint read.
    static constexpr uint8_t kChipUnknown = 0;
    static constexpr uint8_t kChipIMX = 1;
    static constexpr uint8_t kChipLPC = 2;

    Updater(const char* server_url, const char* store_directory, UpdaterDisplayInterface& display);

    // Discovery and listing.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_TarnixNetwork_Devices(unsigned router_serial, linkType type);

    // Build listing, token and download.
    BuildList Get_BuildList(unsigned serial);
    BuildList Get_BuildListLocal(unsigned serial);
    std::string Get_JWT(unsigned serial);
    // The build fetched and stored. Every failure has already been shown on
    // the display; the Result names it again for the caller.
    ResultOf<unsigned> Download_Firmware(unsigned serial, std::string build, bool override, bool no_cal);

    // Firmware update over the device link.
    // See RunUpdateFlow for the Result.
    Result Update_Firmware(unsigned serial, unsigned build, std::string bird_file,
                         unsigned char module_address, unsigned router_serial, bool override);
    // The file named by bird_file, else the stored build (downloaded first
    // when missing and download_if_missing). A failure is not shown on the
    // display (except the store's and the download's own reports); its
    // message says which step failed.
    ResultOf<BirdFile> load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build,
                       bool download_if_missing);

    // The local store's record of one device, read without changing the
    // store. aErrNotFound (after saying so) when the store does not know it.
    ResultOf<StoredDevice> Get_StoredDevice(unsigned serial);
    // Loads the file as an update from -f would and judges whether an update
    // of `serial` (0: no particular device) could use it. Writes nothing.
    BirdCheckReport Check_BirdFile(const std::string& path, unsigned serial);

    // Boot-ROM recovery and fingerprint.
    // The chip's identity, read through its boot ROM (LPC first, then the
    // i.MX); aErrNotReady when neither answers (reasons in the debug log).
    ResultOf<Fingerprint> Get_Fingerprint(std::string port, unsigned serial,
                                          std::string bird_file, unsigned baud, bool reset_after);
    // A failure has been shown on the display; the Result names the step
    // (aErrParse: the file; aErrNotReady: no identifier; aErrConnection:
    // the server's recovery data; aErrIO: the transfer; aErrCancel: stopped
    // through the recovery observer).
    Result Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                          std::string bird_file, bool override);

    void Set_UEIBytes_Load(bool load) { uei_bytes_load = load; }
    // Text recorded in the device's history after a successful update.
    void Set_HistoryNote(const std::string& note) { history_note = note; }
    const std::string& Get_HistoryNote() const { return history_note; }
    bool Get_UEIBytes_Load() const { return uei_bytes_load; }
    const std::string& Get_ServerURL() const { return server_url; }
    const std::string& Get_StoreDirectory() const { return store_directory; }
    UpdaterDisplayInterface& Get_Display() const { return display; }
    uint8_t Get_ChipFamily() const { return chip_family; }
    // The system refused this updater a Tarnix USB device while it listed or
    // connected modules (the device was skipped as if absent). Any thread.
    void Note_UsbAccessDenied() { usb_access_denied = true; }
    bool Get_UsbAccessDenied() const { return usb_access_denied; }
    void Set_ChipFamily(uint8_t family) { chip_family = family; }
    // Devices whose unfinished update a recovery may finish when the update
    // server cannot name the chip: used only when there is exactly one
    // (several are refused and named). The caller knows which modules are
    // absent; the command-line program sets none.
    void Set_RecoveryCandidates(std::vector<unsigned> serials) { recovery_candidates = std::move(serials); }
    // The device the last successful Recover_Firmware wrote, as the user,
    // the update server or an unfinished update named it; 0 when none was
    // named (the recovery image went in) or the recovery failed.
    unsigned Get_RecoveredSerial() const { return recovered_serial; }
    // Told of a recovery's firmware as it is written, and asked between chunks
    // whether to stop (Recover_Firmware then fails with aErrCancel, the part
    // left in its boot ROM or the loader it started). Null: none. The
    // observer must outlive the recoveries it is set for; owner's thread.
    void Set_RecoveryObserver(UpdateObserver* observer) { recovery_observer = observer; }
    UpdateObserver* Get_RecoveryObserver() const { return recovery_observer; }

private:
    void FinishJournal(const std::string& device_directory, const JournalEntry& entry);
    std::optional<JournalEntry> RecoveryJournal(unsigned serial, std::string& bird_file);
    std::optional<JournalEntry> WaitingJournal(std::string& bird_file, unsigned& serial, std::string& why);
    bool WriteRecovery(const std::string& port, unsigned baud, unsigned serial, unsigned build,
                       const std::string& bird_file, const std::optional<JournalEntry>& interrupted);

    std::vector<unsigned> recovery_candidates;
    unsigned recovered_serial = 0;
    UpdateObserver* recovery_observer = nullptr;
    std::string server_url;
    std::string store_directory;
    UpdaterDisplayInterface& display;
    uint8_t chip_family = kChipUnknown;
    bool uei_bytes_load = false;
    std::string history_note;
    std::atomic<bool> usb_access_denied{false};
};

#include "UpdaterStore.h"

// Records a finished transfer in a device's settings and saves them:
// LATEST_TRANSFER := `transferred`, LAST_TRANSFER_DATE := now, and
// LAST_TRANSFER_NOTE := the cleaned `note`, or no note when it is empty, so
// the note always belongs to the latest transfer. The update flow calls it
// only after the module came back with the new firmware. False when the
// settings could not be saved.
bool _record_transfer(KeyValueStore& settings, const std::string& transferred, const std::string& note);

// After a run: when the operating system refused this process access to a
// Tarnix module (or the i.MX boot ROM) on USB, says so in one line that names
// the udev rule, since such a module is otherwise just missing from the list.
void _explain_usb_access(UpdaterDisplayInterface& display, const Updater& updater);
// The note as it can stand on one settings line: control characters and '='
// become spaces, surrounding blanks go, and it is cut to a bounded length.
std::string _history_note_text(const std::string& note);

// The store rooted at store_directory, for the length of one operation; a
// failure has been reported as "Failed to Create UpdaterStore in: ..." with
// the caller's name.
ResultOf<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& store_directory, const char* caller);

// Says why, and returns true, when an update or recovery must not send the
// file at all (WriteProblems: serial-number offsets that cannot be patched,
// overlapping firmware images); `purpose` completes "cannot be used for ...".
// False, silently, when it may be sent. Any thread; the file is only read.
bool _refuse_unwritable(UpdaterDisplayInterface& display, const BirdFile& file, const char* purpose);

// The update flow's check of a connected module: true when the file is built
// for it (serial number and model). Reads the module; the caller's thread.
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Velorn::Tarnix::Module& module,
                        unsigned serial);
