// Recovery through a chip's boot ROM, and the chip's identity (fingerprint):
// NXP LPC parts through their serial ISP protocol, i.MX parts through their
// serial download protocol (a loader in RAM that then speaks the device
// protocol over USB). The writing itself is the boot ROM targets' work.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerial.h"
#include "SystemClass.h"
#include "UpdateFlow.h"
#include "UpdateJournal.h"
#include "UpdateServerRequest.h"
#include "UpdateObserver.h"
#include "UpdateTarget.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aError.h"
#include "aTime.h"

using Velorn::Tarnix::SystemClass;

namespace {

// The fingerprint read's loader search starts a fresh USB context every
// third round, as a bus stale from the ROM's departure needs.
constexpr int kFingerprintFreshUsbEvery = 3;

bool _get_fingerprint_lpc(const std::string& port, unsigned baud, Fingerprint& fingerprint) {
    NXPSerialClass isp;
    aErr err = isp.Connect(port.c_str(), baud);
    if (err != aErrNone) {
        Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(Log::DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Resynchronize();
    if (err != aErrNone) {
        Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(Log::DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(Log::DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    std::copy(isp.DeviceID(), isp.DeviceID() + 4, fingerprint.word);
    return true;
}

// Loads the file the i.MX fingerprint read sends as its loader; false (logged) when there is none.
bool _imx_loader_file(Updater& updater, unsigned serial, const std::string& bird_file, BirdFile& file) {
    UpdaterDisplayInterface& display = updater.Get_Display();
    auto store = _createUpdaterStore(display, updater.Get_StoreDirectory(), "_get_fingerprint_imx");
    if (!store.ok()) return false;
    UpdaterStoreItem device;
    bool known = store->FindDevice(serial, &device);
    std::string name;
    if (!bird_file.empty()) {
        if (serial == kNoParticularDevice) {
            display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
        name = bird_file;
    } else if (!known) {
        display.mute_messages(true);
        Log::log(Log::DEBUG_APP, "Existing loader device not found. Downloading.\n");
        const ResultOf<unsigned> build = updater.Download_Firmware(serial, "", false, false);
        display.mute_messages(false);
        if (!build.ok()) {
            Log::log(Log::DEBUG_APP, "%s\n", build.message().c_str());
            return false;
        }
        name = std::to_string(build.value()) + STORE_BIRD_EXTENSION;
        known = store->FindDevice(serial, &device);
    } else {
        name = device.settings.GetString(STORE_KEY_LATEST_DOWNLOAD);
    }
    ResultOf<BirdFile> loaded = Result::Failure(aErrNotFound, "No recovery image stored for " + std::to_string(serial));
    if (!bird_file.empty()) loaded = BirdFile::Open(name);
    else if (known && !name.empty()) loaded = device.ReadBirdFile(name);
    if (!loaded.ok()) {
        Log::log(Log::DEBUG_APP, "%s\n", loaded.message().c_str());
        return false;
    }
    file = std::move(loaded).value();
    return true;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned serial, const std::string& bird_file, Fingerprint& fingerprint,
                          bool reset_after) {
    if (serial == 0) serial = kNoParticularDevice;
    BirdFile file;
    if (!_imx_loader_file(updater, serial, bird_file, file)) return false;
    // A device's own loader whose flash lost the serial number comes up as
    // the recovery image's device does.
    std::vector<unsigned> serials{serial};
    if (serial != kNoParticularDevice) serials.push_back(kNoParticularDevice);
    ImxBootRomTarget target(display, port, serials, false, kFingerprintFreshUsbEvery);
    if (target.StartLoader(file) != aErrNone) {
        Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    const aErr found = target.FindAgain();
    if (found == aErrPermission) updater.Note_UsbAccessDenied();
    if (found != aErrNone) {
        Log::log(Log::DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&target.Loader(), 0);
    for (unsigned char j = 0; j < 4; ++j) {
        unsigned value = 0;
        if (system.getUEI32(39, j, &value) != aErrNone) {
            Log::log(Log::DEBUG_APP, "Error getting Identifier %d.\n", j);
            return false;
        }
        fingerprint.word[3 - j] = value;
    }
    // The module restarts on reset and may not answer it: the fingerprint is read.
    if (reset_after) (void)system.reset();
    return true;
}

// The boot ROM's steps in order; false at the first that fails.
bool WriteThroughBootRom(UpdateTarget& target, BirdFile& file) {
    return target.StartLoader(file) == aErrNone && target.FindAgain() == aErrNone && target.Write(file) == aErrNone &&
           target.Restart() == aErrNone;
}

// Writes the file into the chip the fingerprint read recognised; false after
// saying that it failed (the reasons are in the debug log).
bool WriteThroughChip(Updater& updater, UpdaterDisplayInterface& display, uint8_t chip_family,
                      const std::string& port, unsigned baud, unsigned serial, bool uei_bytes, BirdFile& file) {
    if (chip_family == Updater::kChipIMX) {
        // The RAM loader already runs (the fingerprint read started it): it
        // is found as DEADDEAD or as the device.
        ImxBootRomTarget target(display, port, {kNoParticularDevice, serial}, uei_bytes, 0,
                                updater.Get_RecoveryObserver());
        const aErr found = target.FindAgain();
        if (found == aErrPermission) updater.Note_UsbAccessDenied();
        if (found != aErrNone) {
            display.message(kError, "Could not connect to device");
            return false;
        }
        if (target.Write(file) == aErrNone && target.Restart() == aErrNone) return true;
    } else if (chip_family == Updater::kChipLPC) {
        LpcBootRomTarget target(display, port, baud, updater.Get_RecoveryObserver());
        if (WriteThroughBootRom(target, file)) return true;
    } else {
        display.message(kError, "Unknown device");
        return false;
    }
    display.message(kError, "Failed to transfer firmware");
    return false;
}

// True (after saying why) when recovery must not send the file: nothing to
// write, a generic image (recovery writes device-specific images only), or
// one that no update may send either.
bool RefusedForRecovery(UpdaterDisplayInterface& display, const BirdFile& file) {
    if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
        display.message(kError, "Failed to load bird file");
        return true;
    }
    if (file.hasSerialOffsets) {
        display.message(kError, "Updater does not support offline recovery");
        return true;
    }
    return _refuse_unwritable(display, file, "a recovery");
}

// A file named with -f is judged before the port or the boot ROM is
// touched: a chip must not be erased for a file that is then refused.
bool RefusedBeforeTouching(UpdaterDisplayInterface& display, const std::string& bird_file) {
    if (bird_file.empty()) return false;
    const ResultOf<BirdFile> file = BirdFile::Open(bird_file);
    if (file.ok()) return RefusedForRecovery(display, file.value());
    Log::log(Log::DEBUG_Updater, "%s\n", file.message().c_str());
    display.message(kError, "Failed to load bird file");
    return true;
}

// The file of an interrupted update, made ready for this one device: its
// serial number patched in where the file has room for it (the journal names
// the device, so the generic image recovery otherwise refuses is safe here).
bool PatchedForDevice(UpdaterDisplayInterface& display, BirdFile& file, unsigned serial) {
    if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (file.hasSerialOffsets && !file.ReplaceSerialNumber(serial)) {
        display.message(kError, "Unable to set the serial number into the firmware");
        return false;
    }
    if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serial)) {
        display.message(kError, "The file of the interrupted update is built for another device");
        return false;
    }
    return !_refuse_unwritable(display, file, "a recovery");
}

} // namespace

ResultOf<Fingerprint> Updater::Get_Fingerprint(std::string port, unsigned serial, std::string bird_file, unsigned baud,
                                               bool reset_after) {
    Fingerprint fingerprint;
    if (_get_fingerprint_lpc(port, baud, fingerprint)) {
        chip_family = kChipLPC;
        return fingerprint;
    }
    chip_family = kChipIMX;
    if (_get_fingerprint_imx(display, *this, port, serial, bird_file, fingerprint, reset_after)) return fingerprint;
    return Result::Failure(aErrNotReady, "no boot ROM answered");
}

// The interrupted update is done: its transfer goes into the history, then
// the record goes.
void Updater::FinishJournal(const std::string& device_directory, const JournalEntry& entry) {
    KeyValueStore settings(BuildPath(device_directory, KeyValueStore::DEFAULT_FILENAME));
    if (!_record_transfer(settings, entry.file, history_note))
        display.message(kError, "Failed to save the transfer history in %s", settings.filename.c_str());
    const Result cleared = UpdateJournal(device_directory).Clear();
    if (!cleared.ok()) display.message(kError, "%s", cleared.message().c_str());
}

// The unfinished update of `serial`, which a recovery asked for no
// particular file or build finishes; `bird_file` is set to its file.
std::optional<JournalEntry> Updater::RecoveryJournal(unsigned serial, std::string& bird_file) {
    if (serial == 0 || serial == kNoParticularDevice) return std::nullopt;
    std::optional<JournalEntry> entry =
        _interrupted_update(display, BuildPath(store_directory, UpdaterStore::DeviceName(serial)), serial, bird_file);
    if (entry) display.message(kInfo, "Finishing the interrupted update of [%08X] with %s", serial, bird_file.c_str());
    return entry;
}

// The device a chip whose identity the server cannot name may be: the one
// unfinished update the caller says is waiting. Several: none, named.
std::optional<JournalEntry> Updater::WaitingJournal(std::string& bird_file, unsigned& serial, std::string& why) {
    if (recovery_candidates.size() > 1) {
        why = "the update server cannot name the chip and " + std::to_string(recovery_candidates.size()) +
              " unfinished updates could be its:";
        for (size_t i = 0; i < recovery_candidates.size(); ++i)
            why += (i ? ", [" : " [") + UpdaterStore::DeviceName(recovery_candidates[i]) + "]";
        display.message(kError, "%s; name the device with -d", why.c_str());
        return std::nullopt;
    }
    if (recovery_candidates.empty()) return std::nullopt;
    std::optional<JournalEntry> entry = RecoveryJournal(recovery_candidates.front(), bird_file);
    if (entry) serial = recovery_candidates.front();
    return entry;
}

Result Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                                 std::string bird_file, bool) {
    const uint64_t start = aTime_MonotonicMS();
    recovered_serial = 0;
    // A device whose update was cut short gets that update's file, whether
    // it is named (-d), the server names it from the chip's identity, or it
    // is the one unfinished update waiting.
    const bool chooses = bird_file.empty() && build == 0;
    std::optional<JournalEntry> interrupted = chooses ? RecoveryJournal(serial, bird_file) : std::nullopt;
    if (!interrupted && RefusedBeforeTouching(display, bird_file))
        return Result::Failure(aErrParse, "file refused for recovery");
    std::string why;
    // Read at the rate the transfer uses: the chip's autobaud locks to the
    // rate it was synchronised at.
    ResultOf<Fingerprint> fingerprint = Get_Fingerprint(port, serial, bird_file, baud, false);
    if (!fingerprint.ok() && chooses && !interrupted && (interrupted = WaitingJournal(bird_file, serial, why)))
        fingerprint = Get_Fingerprint(port, serial, bird_file, baud, false);
    if (!fingerprint.ok()) {
        display.message(kError, "Could not get Device Identifier");
        return Result::Failure(aErrNotReady, why.empty() ? "no device identifier" : why);
    }
    if (bird_file.empty()) {
        uint32_t found_serial = serial;
        uint32_t server_build = 0;
        if (UpdateServerRequest::GetRecoveryInfo(fingerprint->word, found_serial, server_build, server_url)) {
            serial = found_serial;
            if (chooses) interrupted = RecoveryJournal(serial, bird_file);
            if (build == 0 && !interrupted) build = server_build;
        } else if (!chooses || !(interrupted = WaitingJournal(bird_file, serial, why))) {
            display.message(kError, "Failed to retrieve recovery information from Velorn server");
            return Result::Failure(aErrConnection, why.empty() ? "no recovery information" : why);
        }
    }
    // Asked to stop: before the chip is erased, or (after a failed write) between chunks.
    auto stopped = [this] { return recovery_observer != nullptr && recovery_observer->StopRequested(); };
    if (stopped()) return Result::Failure(aErrCancel, "recovery stopped before the chip was written");
    const bool ok = WriteRecovery(port, baud, serial, build, bird_file, interrupted);
    if (!ok && stopped()) return Result::Failure(aErrCancel, "recovery stopped part-way: the chip is in its boot ROM or loader");
    if (ok && serial != kNoParticularDevice) recovered_serial = serial;
    display.message(kInfo, "Update time: %.4f sec", double(aTime_MonotonicMS() - start) / 1000.0);
    return ok ? Result() : Result::Failure(aErrIO, "recovery transfer failed");
}

// Loads the chosen file and writes it; the device's record, if any, is
// settled by a write that succeeds: finished, or replaced by what the user
// asked for.
bool Updater::WriteRecovery(const std::string& port, unsigned baud, unsigned serial, unsigned build,
                            const std::string& bird_file, const std::optional<JournalEntry>& interrupted) {
    ResultOf<BirdFile> file = load_bird("Recovering", bird_file, serial, build, true);
    if (!file.ok()) {
        Log::log(Log::DEBUG_Updater, "%s\n", file.message().c_str());
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (interrupted ? !PatchedForDevice(display, file.value(), serial) : RefusedForRecovery(display, file.value()))
        return false;
    const bool ok = WriteThroughChip(*this, display, chip_family, port, baud, serial, uei_bytes_load, file.value());
    const std::string device_directory = BuildPath(store_directory, UpdaterStore::DeviceName(serial));
    if (ok && interrupted) FinishJournal(device_directory, *interrupted);
    else if (ok && serial != 0 && serial != kNoParticularDevice) (void)UpdateJournal(device_directory).Clear();
    return ok;
}
