#include "UpdateFlow.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "ModuleSearch.h"
#include "SystemClass.h"
#include "UpdateInterruption.h"
#include "UpdateJournal.h"
#include "UpdateObserver.h"
#include "UpdateServerRequest.h"
#include "UpdateTarget.h"
#include "Updater.h"
#include "UpdaterModule.h"
#include "UpdaterStore.h"
#include "aDiscovery.h"
#include "aTime.h"
#include "aVersion.h"

using Velorn::Tarnix::Module;
using Velorn::Tarnix::ModuleSearch;
using Velorn::Tarnix::SystemClass;

namespace {

// Bound on the module's return after REBOOT: a real module re-enumerates or
// reopens its port within a few seconds.
constexpr uint32_t kRebootReturnWaitMs = 20000;
constexpr uint32_t kReturnPauseMs = 250;

const char* ErrorText(aErr err) { return aError_GetErrorText(err); }

// A stored build setting ("123.bird" reads as 123) as a number, 0 when none.
unsigned StoredBuild(const KeyValueStore& settings, const char* key) {
    const char* text = settings[key];
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0;
}

linkType LinkTypeOf(const Module& module) {
    linkSpec spec{};
    return module.getLinkSpecifier(&spec) == aErrNone ? linkType(spec.type) : INVALID;
}

// Direct connection: USB first; when the module is not on USB (or may be a
// device the system refused, noted on `updater`), say so and take TCP/IP only
// when a single address answers for the serial number.
aErr ConnectDirect(UpdaterDisplayInterface& display, Module& module, unsigned serial, Updater& updater) {
    aErr err = module.connect(USB, serial);
    if (err == aErrPermission) updater.Note_UsbAccessDenied();
    if (err != aErrNotFound && err != aErrPermission) return err;
    display.message(kInfo, "Module [%08X] not found on USB; looking on TCP/IP", serial);
    linkSpec spec{};
    err = _find_tcpip_module(display, serial, spec);
    return err == aErrNone ? module.connectFromSpec(spec) : err;
}

// A module known to be at a TCP/IP address is connected there; when that
// fails (it moved, or it is a module another link found), it is searched as
// any other.
aErr ConnectKnownOrSearch(UpdaterDisplayInterface& display, Module& module, unsigned serial, const linkSpec& known,
                          Updater& updater) {
    if (known.type == TCPIP && known.serial_num == serial) {
        if (module.connectFromSpec(known) == aErrNone && module.isConnected()) return aErrNone;
        (void)module.disconnect(); // nothing was opened that needs a goodbye
        Log::log(Log::DEBUG_Updater, "Module [%08X] not at its known address; searching\n", serial);
    }
    return ConnectDirect(display, module, serial, updater);
}

// Finding the target behind a router sends probes through the router before
// the router is connected: refuse first, as connecting it would, when its
// serial number answers on TCP/IP from more than one address. aErrNone when
// the router is on USB, answers once, or not at all (that is reported later).
aErr RefuseAmbiguousRouter(UpdaterDisplayInterface& display, unsigned router_serial) {
    linkSpec* onUsb = aDiscovery_FindModule(USB, router_serial, 0);
    const bool usb = onUsb != nullptr;
    (void)aLinkSpec_Destroy(&onUsb); // only frees the copy; a null one is fine
    if (usb) return aErrNone;
    linkSpec spec{};
    const aErr err = _find_tcpip_module(display, router_serial, spec);
    return err == aErrNotFound ? aErrNone : err;
}

// The module back after REBOOT must run the build the file names (0: the
// file names none): a loader that never committed the image, or a module that
// rebooted into its old one, is a failed update.
bool CheckRunningBuild(UpdaterDisplayInterface& display, Module& target, unsigned serial, unsigned expected) {
    SystemClass system;
    system.init(&target, 0);
    unsigned version = 0;
    unsigned build = 0;
    const aErr err = system.getBuild(&build);
    if (err == aErrNone && system.getVersion(&version) == aErrNone)
        Log::log(Log::DEBUG_Updater, "Module [%08X] runs %u.%u.%u (build %u)\n", serial,
                 aVersion_ParseMajor(version), aVersion_ParseMinor(version), aVersion_ParsePatch(version), build);
    if (expected == 0) return true;
    if (err != aErrNone) {
        display.message(kError, "Module [%08X] did not report its build after the update (%d, %s)", serial, err,
                        ErrorText(err));
        return false;
    }
    if (build != expected) {
        display.message(kError, "Module [%08X] reports build %u after the update, expected %u", serial, build,
                        expected);
        return false;
    }
    return true;
}

// What an update needs from a file whatever -OVERRIDE says: something to
// load, something to write, and images that start with their load address.
bool CheckBlocks(UpdaterDisplayInterface& display, const BirdFile& file) {
    const auto loaders = file.FindBlocks(BirdFile::BLOCK_LOADER);
    const auto firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    if (loaders.empty()) {
        display.message(kError, "Birdfile has no loader blocks");
        return false;
    }
    if (firmware.empty()) {
        display.message(kError, "Birdfile has no firmware blocks");
        return false;
    }
    for (const auto* blocks : {&loaders, &firmware})
        for (const auto& block : *blocks)
            if (block.length <= 4 || block.data == nullptr) {
                display.message(kError, "Birdfile holds an image block without data");
                return false;
            }
    return true;
}

// Keeps the device's journal as the update passes its stages (from LOAD on,
// the module runs no firmware of its own until the update ends), and passes
// them on to the caller's observer, if any.
class JournalKeeper : public UpdateObserver {
public:
    JournalKeeper(UpdaterDisplayInterface& display_, UpdateObserver* outer_) : display(display_), outer(outer_) {}

    // What the record will say once the loader starts.
    void Prepare(const std::string& directory, JournalEntry entry_) {
        journal.emplace(directory);
        entry = std::move(entry_);
    }
    // The module is back with the new build: nothing is left to finish.
    void Finished() {
        if (!journal) return;
        const Result cleared = journal->Clear();
        if (!cleared.ok()) display.message(kError, "%s", cleared.message().c_str());
    }

    void OnStage(Stage stage, uint64_t done, uint64_t total) override {
        if (stage == Stage::Reboot) Note("reboot");
        if (outer) outer->OnStage(stage, done, total);
    }
    void OnLoaderStarting() override {
        Note("loader");
        if (outer) outer->OnLoaderStarting();
    }
    void OnFirmwareBlock(unsigned number, unsigned count) override {
        Note("firmware block " + std::to_string(number) + " of " + std::to_string(count));
        if (outer) outer->OnFirmwareBlock(number, count);
    }
    void OnRetry(const char* what, int attempt) override {
        if (outer) outer->OnRetry(what, attempt);
    }
    bool StopRequested() const override { return outer != nullptr && outer->StopRequested(); }

private:
    // A record that cannot be written leaves the update going: it would only
    // have helped to finish it after a crash. The reason is shown once.
    void Note(const std::string& phase) {
        if (!journal) return;
        entry.phase = phase;
        const Result recorded = journal->Record(entry);
        if (!recorded.ok() && !warned) display.message(kError, "Update not journalled: %s", recorded.message().c_str());
        warned = warned || !recorded.ok();
    }

    UpdaterDisplayInterface& display;
    UpdateObserver* outer;
    std::optional<UpdateJournal> journal;
    JournalEntry entry;
    bool warned = false;
};

// How the module is reached, for the journal.
std::string LinkText(const UpdateRequest& request, const Module& target) {
    if (request.router_serial != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "router %08X address 0x%02X", request.router_serial,
                      unsigned(target.getModuleAddress()));
        return text;
    }
    return LinkTypeOf(target) == USB ? "usb" : "tcpip";
}

// One run of the update; each step shows its own failure on the display,
// and the run's Result names the step that stopped it.
class UpdateFlow {
public:
    UpdateFlow(Updater& updater_, const UpdateRequest& request_)
        : updater(updater_), display(updater_.Get_Display()), request(request_), build(request_.build),
          birdFile(request_.bird_file), target(request_.module_address, static_cast<unsigned char>(0)),
          keeper(display, request_.observer) {
        // A caller with an observer handles signals itself.
        if (request.observer == nullptr) interruption.emplace(request_.serial);
    }

    Result Run() {
        using Step = bool (UpdateFlow::*)();
        // The code of a step that fails without a link error of its own.
        static constexpr struct {
            Step step;
            const char* name;
            aErr code;
        } kSteps[] = {
            {&UpdateFlow::OpenDeviceEntry, "open the store entry", aErrIO},
            {&UpdateFlow::ChooseBuild, "choose the build", aErrNotFound},
            {&UpdateFlow::Load, "load the file", aErrParse},
            {&UpdateFlow::Connect, "connect", aErrConnection},
            {&UpdateFlow::Check, "check the file against the module", aErrInvalidEntity},
            {&UpdateFlow::Write, "write", aErrIO},
            {&UpdateFlow::ConfirmBack, "confirm the module is back", aErrTimeout},
            {&UpdateFlow::Record, "record the transfer", aErrIO},
        };
        const uint64_t start = aTime_MonotonicMS();
        for (const auto& s : kSteps) {
            // Up to the write nothing has changed the module: a stop asked for ends the update there.
            if (s.step != &UpdateFlow::ConfirmBack && s.step != &UpdateFlow::Record && StopRequested())
                return Result::Failure(aErrCancel, std::string("update stopped at: ") + s.name + " (stop asked for)");
            if (!(this->*s.step)())
                return Result::Failure(failure != aErrNone ? failure : s.code,
                                       std::string("update stopped at: ") + s.name);
            if (settled) return {};
        }
        Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
        display.message(kInfo, "Update time: %.4f sec", double(aTime_MonotonicMS() - start) / 1000.0);
        return {};
    }

private:
    bool StopRequested() const { return request.observer != nullptr && request.observer->StopRequested(); }
    bool OpenDeviceEntry();
    bool FinishInterrupted();
    bool FinishedElsewhere();
    bool ChooseBuild();
    unsigned ServerBuildIfStored();
    bool Load();
    bool Connect();
    bool ConnectThroughRouter();
    bool FindAddressBehindRouter();
    bool Check();
    bool Write();
    bool ConfirmBack();
    bool Record();

    Updater& updater;
    UpdaterDisplayInterface& display;
    const UpdateRequest& request;
    unsigned build;
    std::string birdFile;                           // -f, or the file of an interrupted update
    std::optional<JournalEntry> finishing;          // the record of the interrupted update being finished
    bool settled = false;                           // nothing is left to do: the update ends well
    std::optional<UpdateInterruption> interruption; // none when the caller handles signals
    std::optional<UpdaterStore> store;
    UpdaterStoreItem device;
    BirdFile file;
    Module target;
    JournalKeeper keeper;
    aErr connected = aErrNotReady; // a connection failure ends the update after the checks
    aErr failure = aErrNone;       // the link's own error when a step failed on one
};

// The device's own entry, made when missing, so that its history always
// lands in its directory (also for a file given with -f).
bool UpdateFlow::OpenDeviceEntry() {
    auto opened = _createUpdaterStore(display, updater.Get_StoreDirectory(), "Update_Firmware");
    if (!opened.ok()) return false;
    store = std::move(opened).value();
    auto entry = store->AddDevice(request.serial);
    if (!entry.ok()) {
        display.message(kError, "Could not create the store entry for device [%08X]: %s", request.serial,
                        entry.message().c_str());
        return false;
    }
    device = std::move(entry).value();
    return true;
}

// The server's newest build, when the store holds it; else 0 (said when the
// server offers one that is not stored).
unsigned UpdateFlow::ServerBuildIfStored() {
    std::string newest, firmwareName;
    UpdateServerRequest::QueryBuild(request.serial, newest, firmwareName, updater.Get_ServerURL());
    unsigned offered = 0;
    if (!newest.empty()) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(newest.c_str(), &end, 10);
        if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFul)
            Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", newest.c_str());
        else
            offered = static_cast<unsigned>(value);
    }
    if (offered == 0) return 0;
    if (!device.ReadBirdFile(std::to_string(offered) + STORE_BIRD_EXTENSION).ok()) {
        display.message(kInfo, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        return 0;
    }
    return offered;
}

// An update of this device that was cut short after its loader started is
// finished with the same file, before any other choice.
bool UpdateFlow::FinishInterrupted() {
    std::string path;
    const std::optional<JournalEntry> entry = _interrupted_update(display, device.Path(), request.serial, path);
    if (!entry) return false;
    display.message(kInfo, "Finishing the interrupted update of [%08X] with %s", request.serial, path.c_str());
    if (entry->stored()) build = unsigned(std::strtoul(entry->file.c_str(), nullptr, 10));
    else birdFile = entry->file;
    finishing = entry;
    return build != 0 || !birdFile.empty();
}

// A file given with -f needs no build; otherwise an interrupted update's
// file, the build asked for, the server's newest when stored, the latest
// download, the latest transfer.
bool UpdateFlow::ChooseBuild() {
    if (!birdFile.empty()) return true;
    if (build == 0 && FinishInterrupted()) return true;
    if (build == 0) build = ServerBuildIfStored();
    if (build == 0 && (build = StoredBuild(device.settings, STORE_KEY_LATEST_DOWNLOAD)) != 0)
        display.message(kInfo, "Updating with the Latest Download");
    if (build == 0 && (build = StoredBuild(device.settings, STORE_KEY_LATEST_TRANSFER)) != 0)
        display.message(kInfo, "Updating with the Latest Transfer");
    if (build == 0) {
        display.message(kError, "Could not find valid build for this device.");
        return false;
    }
    return true;
}

// Loads the file, refuses one that cannot be written, and patches the
// module's serial number in.
bool UpdateFlow::Load() {
    ResultOf<BirdFile> loaded = updater.load_bird("Updating", birdFile, request.serial, build, false);
    if (!loaded.ok()) {
        Log::log(Log::DEBUG_Updater, "%s\n", loaded.message().c_str());
        display.message(kError, "Failed to load bird file");
        return false;
    }
    file = std::move(loaded).value();
    if (!CheckBlocks(display, file)) return false;
    if (_refuse_unwritable(display, file, "an update")) return false;
    if (!file.hasSerialOffsets) return true;
    Log::log(Log::DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(request.serial)) {
        Log::log(Log::DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        display.message(kError, "Unable to set the serial number into the firmware");
        return false;
    }
    Log::log(Log::DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

// The module's address on the router's network, found by probing it.
bool UpdateFlow::FindAddressBehindRouter() {
    if (RefuseAmbiguousRouter(display, request.router_serial) != aErrNone) return false;
    const auto found = updater.Discover_TarnixNetwork_Devices(request.router_serial, INVALID);
    if (found.empty()) {
        display.message(kError, "Unable to find modules on Network");
        return false;
    }
    uint16_t address = 0;
    for (const auto& entry : found)
        if (entry.spec.serial_num == request.serial) address = entry.network_address;
    if (address == 0) {
        display.message(kError,
                        "Module address required for indirect firmware update, could not find serial number "
                        "[0x%08X] on network",
                        request.serial);
        return false;
    }
    target.setModuleAddress(static_cast<unsigned char>(address));
    return true;
}

bool UpdateFlow::ConnectThroughRouter() {
    if (request.module_address == 0 && !FindAddressBehindRouter()) return false;
    Module router(0, static_cast<unsigned char>(0));
    connected = _disableZephyl(router, display);
    if (connected != aErrNone) return true;
    connected = ConnectKnownOrSearch(display, router, request.router_serial, request.router_link, updater);
    if (connected != aErrNone) {
        display.message(kError, "Failed to connect to link module [%08X]", request.router_serial);
        return false;
    }
    connected = target.connectThroughLinkModule(&router);
    if (connected != aErrNone) display.message(kError, "Failed to connect to module [%08X]", request.serial);
    return true;
}

// False only when the update must end at once; a failed connection is kept
// in `connected` and ends it after the checks.
bool UpdateFlow::Connect() {
    connected = _disableZephyl(target, display);
    if (connected != aErrNone) return true;
    if (request.router_serial != 0) return ConnectThroughRouter();
    connected = ConnectKnownOrSearch(display, target, request.serial, request.module_link, updater);
    if (connected != aErrNone) display.message(kError, "Failed to connect to module [%08X]", request.serial);
    return true;
}

// An interrupted update's module that already runs the record's build needs
// nothing written. When the record reached its reboot, that build is this
// update's own work and its transfer is recorded (once: not again when the
// history already names the file); before that, another program finished
// it. Either way the record is cleared. A file without a build cannot be
// judged finished.
bool UpdateFlow::FinishedElsewhere() {
    if (!finishing || finishing->build == 0 || connected != aErrNone) return false;
    const unsigned running = _get_build_number(target);
    if (running != finishing->build) return false;
    const bool ours = finishing->phase == "reboot";
    display.message(kInfo, "Module [%08X] already runs build %u, the build of its interrupted update%s", request.serial,
                    running, ours ? ", which was written before the interruption" : "; nothing to finish");
    const std::string transferred = birdFile.empty() ? std::to_string(build) + STORE_BIRD_EXTENSION : birdFile;
    if (ours && device.settings.GetString(STORE_KEY_LATEST_TRANSFER, "") != transferred &&
        !_record_transfer(device.settings, transferred, updater.Get_HistoryNote())) {
        display.message(kError, "Failed to save the transfer history in %s", device.settings.filename.c_str());
        return false;
    }
    keeper.Prepare(device.Path(), {});
    keeper.Finished();
    return true;
}

bool UpdateFlow::Check() {
    if (FinishedElsewhere()) {
        settled = true;
        return true;
    }
    if (connected == aErrNone && !request.override && !_validate_birdfile(display, file, target, request.serial)) {
        display.message(kError, "Birdfile failed validation");
        return false;
    }
    return true;
}

bool UpdateFlow::Write() {
    aErr err = connected;
    if (err == aErrNone) {
        JournalEntry entry;
        entry.serial = request.serial;
        entry.file = birdFile.empty() ? std::to_string(build) + STORE_BIRD_EXTENSION : birdFile;
        entry.build = file.GetBuild();
        entry.link = LinkText(request, target);
        entry.started = KeyValueStore::Now();
        keeper.Prepare(device.Path(), entry);
        LinkTarget link(display, target, request.serial, request.router_serial != 0, updater.Get_UEIBytes_Load(),
                        interruption ? &*interruption : nullptr, &keeper);
        err = link.StartLoader(file);
        // A module not found again fails the write, which says so; a device
        // the system refused to open is worth the hint at the end.
        if (err == aErrNone && link.FindAgain() == aErrPermission) updater.Note_UsbAccessDenied();
        if (err == aErrNone) err = link.Write(file);
        if (err == aErrNone) err = link.Restart();
    }
    if (err != aErrNone) Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    failure = err;
    return err == aErrNone;
}

// After REBOOT the module must come back as the same device running the new
// image; until it does the update has not succeeded. A file without a
// serial-number block carries its own number (only with -OVERRIDE can that
// differ): the module comes back with that one.
bool UpdateFlow::ConfirmBack() {
    const unsigned serial = request.serial;
    const unsigned returning =
        (!file.hasSerialOffsets && !file.ValidateSerialNumber(serial)) ? file.GetSerialNumber() : serial;
    unsigned reported = 0;
    ModuleSearch search;
    search.type = LinkTypeOf(target) == USB ? USB : TCPIP;
    search.serials = {returning};
    search.relink = request.router_serial == 0;
    search.deadlineMs = kRebootReturnWaitMs;
    search.pauseMs = kReturnPauseMs;
    search.confirm = [&reported](Module& module) {
        SystemClass system;
        system.init(&module, 0);
        return system.getSerialNumber(&reported);
    };
    search.eachRound = [this](int, bool) { display.update_spinner(true, "Verifying Update"); };
    if (request.observer) request.observer->OnStage(UpdateObserver::Stage::Verify, 0, 0);
    const aErr err = findModuleAgain(target, search);
    if (err == aErrPermission) updater.Note_UsbAccessDenied();
    failure = err;
    display.update_spinner(false, "Verifying Update");
    bool back = true;
    if (err != aErrNone) {
        display.message(kError, "Module [%08X] did not come back after the update (%d, %s)", returning, err,
                        ErrorText(err));
        back = false;
    } else if (reported != returning) {
        display.message(kError, "Module came back with serial number [%08X], expected [%08X]", reported, returning);
        back = false;
    } else {
        back = CheckRunningBuild(display, target, returning, file.GetBuild());
    }
    if (!back) Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", aErrTimeout);
    return back;
}

bool UpdateFlow::Record() {
    if (interruption) interruption->Enter(UpdateInterruption::Recording);
    const std::string transferred =
        birdFile.empty() ? std::to_string(build) + STORE_BIRD_EXTENSION : birdFile;
    if (!_record_transfer(device.settings, transferred, updater.Get_HistoryNote())) {
        display.message(kError, "Failed to save the transfer history in %s", device.settings.filename.c_str());
        return false;
    }
    // After the history: a crash between the two leaves a record that the
    // next update finds finished, so the transfer is recorded once.
    keeper.Finished();
    if (interruption && interruption->Interrupted()) {
        display.message(kError, "Update interrupted: module [%08X] runs the new firmware and the transfer is recorded",
                        request.serial);
        return false;
    }
    return true;
}

} // namespace

std::optional<JournalEntry> _interrupted_update(UpdaterDisplayInterface& display, const std::string& directory,
                                                unsigned serial, std::string& path) {
    const UpdateJournal journal(directory);
    const JournalRead read = journal.Read();
    std::string why;
    if (read.state == JournalRead::State::None) return std::nullopt;
    if (read.state == JournalRead::State::Damaged) why = "cannot be used (" + read.problem + ")";
    else if (read.entry.serial != serial) why = "names another device";
    if (why.empty()) {
        path = read.entry.stored() ? BuildPath(directory, read.entry.file) : read.entry.file;
        if (access(path.c_str(), R_OK) == 0) return read.entry;
        why = "names " + path + ", which is gone";
    }
    display.message(kError, "The record of an interrupted update of [%08X] %s; it is cleared", serial, why.c_str());
    const Result cleared = journal.Clear();
    if (!cleared.ok()) display.message(kError, "%s", cleared.message().c_str());
    return std::nullopt;
}

Result RunUpdateFlow(Updater& updater, const UpdateRequest& request) {
    if (request.serial == 0) {
        updater.Get_Display().message(kError, "Update command must specify the specific device");
        return Result::Failure(aErrParam, "no device named");
    }
    return UpdateFlow(updater, request).Run();
}
