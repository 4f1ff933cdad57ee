// Firmware update over the device link: choose and load the BIRD file, patch
// the serial number in, connect (directly or through a routing module), check
// that the file fits, send the loader, find the module again when it restarts
// into its loader, send the firmware, reboot it, make sure it came back, and
// only then record the transfer in the device's history.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdateInterruption.h"
#include "UpdaterEntity.h"
#include "UpdaterModule.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aTime.h"
#include "aUSB.h"
#include "aVersion.h"

using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::Info;
constexpr auto kError = UpdaterDisplayInterface::Error;
constexpr int kFirmwareAttempts = 5;
constexpr int kEnumerationTries = 15;
constexpr uint32_t kEnumerationPauseMs = 1000;
// How long a USB module that answered LOAD gets to leave the bus before its
// link is taken to have survived the loader start.
constexpr uint32_t kLoaderDropWaitMs = 3000;
constexpr uint32_t kPollMs = 50;
// Bound on the module's return after REBOOT: a real module re-enumerates or
// reopens its port within a few seconds.
constexpr uint32_t kRebootReturnWaitMs = 20000;
constexpr uint32_t kReturnPauseMs = 250;
// A link that dropped during a firmware block: how long it may take to come
// back by itself, and how often it is then made anew.
constexpr uint32_t kRelinkWaitMs = 1000;
constexpr int kRelinkAttempts = 5;

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

// Direct connection: USB first; when the module is not on USB, say so and
// take TCP/IP only when a single address answers for the serial number.
aErr ConnectDirect(UpdaterDisplayInterface& display, Module& module, unsigned serial) {
    aErr err = module.connect(USB, serial);
    if (err != aErrNotFound) return err;
    display.message(kInfo, "Module [%08X] not found on USB; looking on TCP/IP", serial);
    linkSpec spec{};
    err = _find_tcpip_module(display, serial, spec);
    return err == aErrNone ? module.connectFromSpec(spec) : err;
}

// Finding the target behind a router sends probes through the router before
// the router is connected: refuse first, as connecting it would, when its
// serial number answers on TCP/IP from more than one address. aErrNone when
// the router is on USB, answers once, or not at all (that is reported later).
aErr RefuseAmbiguousRouter(UpdaterDisplayInterface& display, unsigned router_serial) {
    linkSpec* onUsb = aDiscovery_FindModule(USB, router_serial, 0);
    const bool usb = onUsb != nullptr;
    aLinkSpec_Destroy(&onUsb);
    if (usb) return aErrNone;
    linkSpec spec{};
    const aErr err = _find_tcpip_module(display, router_serial, spec);
    return err == aErrNotFound ? aErrNone : err;
}

// A USB module answers LOAD and then leaves the bus; its link may still read
// as running for a while (the driver rides out the first I/O errors). Wait,
// bounded, for the drop so that the firmware phase never starts on a link
// whose device is gone.
void AwaitLoaderRestart(Module& target) {
    if (LinkTypeOf(target) != USB) return;
    for (uint32_t waited = 0; target.isConnected() && waited < kLoaderDropWaitMs; waited += kPollMs)
        aTime_MSSleep(kPollMs);
}

// The module restarted into its loader and re-enumerates: find it again. A
// module reached over TCP/IP is reconnected at the address it had.
void FindAfterLoader(Module& target, unsigned serial, linkType type) {
    target.disconnect();
    const bool usb = type != TCPIP;
    for (int attempt = 1; attempt <= kEnumerationTries; ++attempt) {
        if (usb && attempt % 3 == 0) {
            Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tarnix_libusb_exit();
        }
        const aErr err = usb ? target.discoverAndConnect(USB, serial) : target.reconnect();
        if (err == aErrNone && target.isConnected()) return;
        target.disconnect();
        if (attempt < kEnumerationTries) aTime_MSSleep(kEnumerationPauseMs);
    }
}

// Before a block's next attempt: a link that dropped under the last one
// (a reset connection) gets a moment to come back by itself, then is made
// anew. A routed module's link belongs to the router and is left alone.
void Relink(Module& module, bool routed) {
    for (uint32_t waited = 0; !module.isConnected() && waited < kRelinkWaitMs; waited += kPollMs)
        aTime_MSSleep(kPollMs);
    if (module.isConnected() || routed) return;
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) != aErrNone) return;
    for (int attempt = 0; attempt < kRelinkAttempts && !module.isConnected(); ++attempt) {
        module.disconnect();
        const aErr err = spec.type == USB ? module.discoverAndConnect(USB, spec.serial_num) : module.reconnect();
        if (err != aErrNone) aTime_MSSleep(kEnumerationPauseMs);
    }
}

// The serial number the module reports, read once.
aErr ReadSerial(Module& module, unsigned& serial) {
    SystemClass system;
    system.init(&module, 0);
    return system.getSerialNumber(&serial);
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

// After REBOOT the module must come back as the same device running the new
// image; until it does the update has not succeeded.
bool AwaitReturn(UpdaterDisplayInterface& display, Module& target, unsigned serial, unsigned build, linkType type,
                 bool routed) {
    const uint64_t end = aTime_GetMSTicks() + kRebootReturnWaitMs;
    unsigned reported = 0;
    aErr err = aErrTimeout;
    while (aTime_GetMSTicks() < end) {
        display.update_spinner(true, "Verifying Update");
        if (!routed) {
            target.disconnect();
            err = type == USB ? target.discoverAndConnect(USB, serial) : target.reconnect();
        } else {
            err = aErrNone;
        }
        if (err == aErrNone) err = ReadSerial(target, reported);
        if (err == aErrNone) break;
        aTime_MSSleep(kReturnPauseMs);
    }
    display.update_spinner(false, "Verifying Update");
    if (err != aErrNone) {
        display.message(kError, "Module [%08X] did not come back after the update (%d, %s)", serial, err,
                        ErrorText(err));
        return false;
    }
    if (reported != serial) {
        display.message(kError, "Module came back with serial number [%08X], expected [%08X]", reported, serial);
        return false;
    }
    return CheckRunningBuild(display, target, serial, build);
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

} // namespace

BirdFile Updater::load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build,
                            bool download_if_missing) {
    auto store = _createUpdaterStore(display, store_directory, "load_bird");
    if (!store) return BirdFile();
    if (!bird_file.empty()) {
        display.message(kInfo, "%s from Birdfile: %s", verb, bird_file.c_str());
        return BirdFile(bird_file);
    }
    UpdaterStoreItem device = store->AddDevice(serial);
    display.message(kInfo, "%s firmware with build: %u", verb, build);
    const std::string name = std::to_string(build) + STORE_BIRD_EXTENSION;
    try {
        return device.ReadBirdFile(name);
    } catch (const std::runtime_error&) {
        if (!download_if_missing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(kInfo, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(name);
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

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Error starting loader [%d, %s].\n", err, ErrorText(err));
        return err;
    }
    display.message(kInfo, "Transferring loader to device");
    const auto blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    const int count = static_cast<int>(blocks.size());
    display.display_progress(true);
    int number = 1;
    long total = 0;
    for (const auto& block : blocks) {
        display.message(kInfo, "Transferring loader block %d of %d, %d bytes", number, count, int(block.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(Log::DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, ErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader missing a block must never be started.
            Log::log(Log::DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, ErrorText(err));
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", number - 1, int(total));
    display.display_progress(false);
    if (err != aErrNone) {
        display.message(kError, "Error transferring loader [%d, %s]", err, ErrorText(err));
        return err;
    }
    display.message(kInfo, "Starting Load on Device");
    UpdateInterruption::Enter(UpdateInterruption::InLoader);
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(Log::DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        display.message(kError, "Error starting loader [%d, %s]", err, ErrorText(err));
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file, bool via_router,
                        bool uei_bytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, via_router);
    if (uei_bytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
    Log::log(Log::DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned count = static_cast<unsigned>(blocks.size());
    aErr err = aErrNone;
    unsigned number = 1;
    long total = 0;
    for (const auto& block : blocks) {
        for (int attempt = 1; attempt <= kFirmwareAttempts; ++attempt) {
            display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", number, count,
                            int(block.length));
            if (attempt > 1) {
                display.message(kInfo, "  Retry %d", attempt - 1);
                Relink(module, via_router);
            }
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(Log::DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, ErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone) break;
            Log::log(Log::DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, ErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(Log::DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    if (err != aErrNone) {
        display.message(kError, "Error transferring firmware [%d, %s]", err, ErrorText(err));
        return err;
    }
    return entity.LoaderReboot(display);
}

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                              unsigned router_serial, bool override) {
    if (serial == 0) {
        display.message(kError, "Update command must specify the specific device");
        return false;
    }
    const UpdateInterruption interruption(serial);
    auto store = _createUpdaterStore(display, store_directory, "Update_Firmware");
    if (!store) return false;
    // The device's own entry, made when missing, so that its history always
    // lands in its directory (also for a file given with -f).
    UpdaterStoreItem device;
    try {
        device = store->AddDevice(serial);
    } catch (const std::runtime_error& e) {
        display.message(kError, "Could not create the store entry for device [%08X]: %s", serial, e.what());
        return false;
    }
    const uint64_t start = aTime_GetMSTicks();

    if (bird_file.empty()) {
        if (build == 0) {
            std::string newest, firmwareName;
            UpdateServerRequest::QueryBuild(serial, newest, firmwareName, server_url);
            if (!newest.empty()) {
                char* end = nullptr;
                const unsigned long value = std::strtoul(newest.c_str(), &end, 10);
                if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFul)
                    Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", newest.c_str());
                else
                    build = static_cast<unsigned>(value);
            }
            if (build != 0) {
                try {
                    device.ReadBirdFile(std::to_string(build) + STORE_BIRD_EXTENSION);
                } catch (const std::runtime_error&) {
                    display.message(kInfo,
                                    "New firmware is available.  Updater will proceed if valid firmware is found "
                                    "locally.");
                    build = 0;
                }
            }
        }
        if (build == 0 && (build = StoredBuild(device.settings, STORE_KEY_LATEST_DOWNLOAD)) != 0)
            display.message(kInfo, "Updating with the Latest Download");
        if (build == 0 && (build = StoredBuild(device.settings, STORE_KEY_LATEST_TRANSFER)) != 0)
            display.message(kInfo, "Updating with the Latest Transfer");
        if (build == 0) {
            display.message(kError, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", bird_file, serial, build, false);
    } catch (const std::runtime_error&) {
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (file.blocks.empty() && file.path.empty()) return false; // the store could not be made (reported)
    if (!CheckBlocks(display, file)) return false;
    if (_refuse_unwritable(display, file, "an update")) return false;
    if (file.hasSerialOffsets) {
        Log::log(Log::DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(Log::DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display.message(kError, "Unable to set the serial number into the firmware");
            return false;
        }
        Log::log(Log::DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(module_address, static_cast<unsigned char>(0));
    aErr err = _disableZephyl(target, display);
    if (err == aErrNone && router_serial != 0) {
        if (module_address == 0) {
            if (RefuseAmbiguousRouter(display, router_serial) != aErrNone) return false;
            const auto found = Discover_TarnixNetwork_Devices(router_serial, INVALID);
            if (found.empty()) {
                display.message(kError, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const auto& entry : found)
                if (entry.spec.serial_num == serial) address = entry.network_address;
            if (address == 0) {
                display.message(kError,
                                "Module address required for indirect firmware update, could not find serial "
                                "number [0x%08X] on network",
                                serial);
                return false;
            }
            target.setModuleAddress(static_cast<unsigned char>(address));
        }
        Module router(0, static_cast<unsigned char>(0));
        err = _disableZephyl(router, display);
        if (err == aErrNone) {
            err = ConnectDirect(display, router, router_serial);
            if (err != aErrNone) {
                display.message(kError, "Failed to connect to link module [%08X]", router_serial);
                return false;
            }
            err = target.connectThroughLinkModule(&router);
            if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serial);
        }
    } else if (err == aErrNone) {
        err = ConnectDirect(display, target, serial);
        if (err != aErrNone) display.message(kError, "Failed to connect to module [%08X]", serial);
    }

    if (err == aErrNone && !override && !_validate_birdfile(display, file, target, serial)) {
        display.message(kError, "Birdfile failed validation");
        return false;
    }

    const bool routed = router_serial != 0;
    const linkType type = LinkTypeOf(target);
    if (err == aErrNone) err = _transfer_loader(display, target, file);
    if (err == aErrNone) {
        if (!routed) AwaitLoaderRestart(target);
        if (!target.isConnected()) FindAfterLoader(target, serial, type);
        err = _transfer_firmware(display, target, file, routed, uei_bytes_load);
    }
    // A file without a serial-number block carries its own number (only with
    // -OVERRIDE can that differ): the module comes back with that one.
    const unsigned returning =
        (!file.hasSerialOffsets && !file.ValidateSerialNumber(serial)) ? file.GetSerialNumber() : serial;
    if (err == aErrNone && !AwaitReturn(display, target, returning, file.GetBuild(), type, routed)) err = aErrTimeout;
    if (err != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        return false;
    }

    UpdateInterruption::Enter(UpdateInterruption::Recording);
    if (bird_file.empty()) bird_file = std::to_string(build) + STORE_BIRD_EXTENSION;
    if (!_record_transfer(device.settings, bird_file, history_note)) {
        display.message(kError, "Failed to save the transfer history in %s", device.settings.filename.c_str());
        return false;
    }
    if (UpdateInterruption::Interrupted()) {
        display.message(kError, "Update interrupted: module [%08X] runs the new firmware and the transfer is recorded",
                        serial);
        return false;
    }
    Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
    display.message(kInfo, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
