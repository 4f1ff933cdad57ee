// The update command's entry and the steps it shares with recovery: loading
// the chosen BIRD file and checking it against the connected module. The
// update itself runs in UpdateFlow.
#include <string>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateFlow.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aDefs.h"

using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;

ResultOf<BirdFile> Updater::load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build,
                                      bool download_if_missing) {
    auto store = _createUpdaterStore(display, store_directory, "load_bird");
    if (!store.ok()) return store.result();
    if (!bird_file.empty()) {
        display.message(kInfo, "%s from Birdfile: %s", verb, bird_file.c_str());
        return BirdFile::Open(bird_file);
    }
    auto device = store->AddDevice(serial);
    if (!device.ok()) return device.result();
    display.message(kInfo, "%s firmware with build: %u", verb, build);
    const std::string name = std::to_string(build) + STORE_BIRD_EXTENSION;
    ResultOf<BirdFile> stored = device->ReadBirdFile(name);
    if (stored.ok()) return stored;
    if (!download_if_missing) return Result::Failure(stored.code(), "Error reading birdfile");
    display.message(kInfo, "Downloading firmware build %u", build);
    // A failed download has been shown; reading the store again would only
    // blame the file that never came.
    ResultOf<unsigned> downloaded = Download_Firmware(serial, std::to_string(build), false, false);
    if (!downloaded.ok()) return downloaded.result();
    return device->ReadBirdFile(name);
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module, unsigned serial) {
    if (file.blockCount == 0 || file.blocks.empty()) return false;
    if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serial)) return false;
    Log::log(Log::DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    unsigned reported = 0;
    aErr err = system.getSerialNumber(&reported);
    if (err != aErrNone) reported = 0;
    if (reported != serial) {
        Log::log(Log::DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    unsigned char model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!file.ValidateModel(name ? name : "")) {
        display.message(kError, "Connected device model and Bird file model do not match [%s] (%d)",
                        name ? name : "", err);
        return false;
    }
    return true;
}

Result Updater::Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                              unsigned router_serial, bool override) {
    UpdateRequest request;
    request.serial = serial;
    request.build = build;
    request.bird_file = std::move(bird_file);
    request.module_address = module_address;
    request.router_serial = router_serial;
    request.override = override;
    return RunUpdateFlow(*this, request);
}
