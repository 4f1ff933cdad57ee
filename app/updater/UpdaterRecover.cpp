// Recovery through a chip's boot ROM, and the chip's identity (fingerprint):
// NXP LPC parts through their serial ISP protocol, i.MX parts through their
// serial download protocol (a loader in RAM that then speaks the device
// protocol over USB).
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterModule.h"
#include "UpdaterStore.h"
#include "aError.h"
#include "aTime.h"
#include "aUSB.h"

using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::Info;
constexpr auto kError = UpdaterDisplayInterface::Error;
constexpr unsigned kNoParticularDevice = 0xDEADDEAD;
constexpr uint32_t kRamBuffer = NXPSerialClass::WRITE_ADDRESS;
constexpr unsigned kChunk = 4096;
constexpr unsigned kLastFixedSector = 29;
constexpr uint16_t kImxVendor = 8137;
constexpr uint16_t kImxProduct = 304;
constexpr unsigned kImxStartAddress = 0x20000400;
constexpr int kEnumerationTries = 15;
constexpr uint32_t kEnumerationPauseMs = 1000;

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Connects the port and makes sure the chip is synchronised at this rate.
// The chip may sit at its prompt (fresh from reset, or reset by the port's
// modem lines when it was opened) or still be synchronised from an earlier
// session; both are handled, at the rate the caller goes on talking at.
aErr ConnectSynchronised(NXPSerialClass& isp, const std::string& port, unsigned baud) {
    aErr err = isp.Connect(port.c_str(), baud);
    if (err != aErrNone) return err;
    return isp.Resynchronize();
}

// The sectors recovery erases: those the part has (from its part ID), or,
// for a part not known, the sectors the images cover.
unsigned LastSectorToErase(NXPSerialClass& isp, const std::vector<BirdBlock>& blocks) {
    long part = 0;
    if (isp.GetPartNumber(&part) == aErrNone) {
        const int last = NXPSerialClass::LastSectorOfPart(part);
        if (last >= 0) {
            Log::log(Log::DEBUG_Updater, "Part ID 0x%08lX: sectors 0 to %d\n", part, last);
            return unsigned(last);
        }
    }
    unsigned last = 0;
    for (const auto& block : blocks)
        if (block.length > 4)
            last = std::max(last, NXPSerialClass::SectorFromAddress(block.address + block.length - 4 - 1));
    Log::log(Log::DEBUG_Updater, "Part ID unknown: sectors 0 to %u, as the images cover\n", last);
    return std::min(last, kLastFixedSector);
}

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
    if (!store) return false;
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
        const unsigned build = updater.Download_Firmware(serial, "", false, false);
        display.mute_messages(false);
        if (build == 0) return false;
        name = std::to_string(build) + STORE_BIRD_EXTENSION;
        known = store->FindDevice(serial, &device);
    } else {
        name = device.settings.GetString(STORE_KEY_LATEST_DOWNLOAD);
    }
    try {
        if (!bird_file.empty()) file = BirdFile(name);
        else if (known && !name.empty()) file = device.ReadBirdFile(name);
        else throw std::runtime_error("No recovery image stored for " + std::to_string(serial));
    } catch (const std::runtime_error& e) {
        Log::log(Log::DEBUG_APP, "%s\n", e.what());
        return false;
    }
    return true;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned serial, const std::string& bird_file, Fingerprint& fingerprint,
                          bool reset_after);

} // namespace

aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& file, const std::string& port) {
    (void)display;
    Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    if (port == kUsbBootRomPort) loader.setLoader(new HID_SDPLoader(kImxVendor, kImxProduct));
    else loader.setLoader(new Serial_SDPLoader(port.c_str()));
    if (loader.init() != SDPLoader::OK) return aErrNotReady;
    int number = 0;
    for (const auto& block : file.FindBlocks(BirdFile::BLOCK_LOADER)) {
        // A block too short to hold its address has nothing to load.
        if (block.length < 4 || block.data == nullptr) {
            Log::log(Log::DEBUG_Updater, "Loader block %d holds no address (%u bytes)\n", number, block.length);
            return aErrParam;
        }
        const unsigned address = BigEndian32(block.data);
        byte_vector image(block.data + 4, block.data + block.length);
        Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(), address);
        if (loader.writeLoader(image, address) != SDPLoader::OK) return aErrConnection;
        ++number;
    }
    unsigned start = kImxStartAddress;
    const auto starts = file.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
    if (!starts.empty() && starts[0].length >= 4 && starts[0].data != nullptr) start = BigEndian32(starts[0].data);
    loader.startLoader(start);
    return aErrNone;
}

namespace {

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned serial, const std::string& bird_file, Fingerprint& fingerprint,
                          bool reset_after) {
    if (serial == 0) serial = kNoParticularDevice;
    BirdFile file;
    if (!_imx_loader_file(updater, serial, bird_file, file)) return false;
    if (_transfer_recovery_loader(display, file, port) != aErrNone) {
        Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    Module module(0, uint8_t(0));
    if (_disableZephyl(module, display) != aErrNone) return false;
    for (int attempt = 1; attempt <= kEnumerationTries && !module.isConnected(); ++attempt) {
        if (attempt % 3 == 0) {
            Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tarnix_libusb_exit();
        }
        if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) break;
        if (attempt < kEnumerationTries) aTime_MSSleep(kEnumerationPauseMs);
    }
    if (!module.isConnected()) {
        Log::log(Log::DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (unsigned char j = 0; j < 4; ++j) {
        unsigned value = 0;
        if (system.getUEI32(39, j, &value) != aErrNone) {
            Log::log(Log::DEBUG_APP, "Error getting Identifier %d.\n", j);
            return false;
        }
        fingerprint.word[3 - j] = value;
    }
    if (reset_after) system.reset();
    return true;
}

// Writes the firmware blocks through the ISP RAM buffer into flash.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, const std::string& port, unsigned baud) {
    NXPSerialClass isp;
    // Synchronised again after the port was reopened, at the transfer's rate.
    if (ConnectSynchronised(isp, port, baud) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return false;
    }
    Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not unlock\n");
        return false;
    }
    const auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned last = LastSectorToErase(isp, blocks);
    Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, last) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, last) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not erase\n");
        return false;
    }
    if (isp.SetEcho(false) != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not switch echo off\n");
        return false;
    }
    Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
    Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());
    const int shown = int(blocks.size()) - 1;
    long total = 0;
    int number = 1;
    for (const auto& block : blocks) {
        if (block.length == 8) break; // the end marker
        if (block.length < 4 || block.data == nullptr) {
            display.message(kError, "Firmware block %d holds no image", number);
            return false;
        }
        const unsigned length = block.length - 4;
        const uint8_t* image = block.data + 4;
        unsigned flash = block.address;
        display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, shown, int(length));
        display.display_progress(true);
        Log::log(Log::DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(length), flash);
        unsigned offset = 0;
        while (offset < length) {
            const unsigned chunk = std::min(kChunk, length - offset);
            // The copy takes a whole page size: the rest of it is the erased
            // value, not whatever RAM held, and the write is whole words.
            const std::vector<unsigned char> ram = NXPSerialClass::CopyImage(image + offset, chunk);
            const unsigned copy = NXPSerialClass::CopyLength(chunk);
            Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(chunk), flash);
            Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(ram.size()), kRamBuffer);
            if (isp.Write(kRamBuffer, unsigned(ram.size()), ram.data()) != aErrNone) {
                Log::log(Log::DEBUG_Updater, "\t Write to RAM failed\n");
                display.display_progress(false);
                return false;
            }
            const unsigned first = NXPSerialClass::SectorFromAddress(flash);
            const unsigned end = NXPSerialClass::SectorFromAddress(flash + copy - 1);
            Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, end);
            if (isp.Prepare(first, end) != aErrNone) {
                Log::log(Log::DEBUG_Updater, "\t Prepare failed\n");
                display.display_progress(false);
                return false;
            }
            Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy), kRamBuffer, flash);
            if (isp.CopyToFlash(flash, kRamBuffer, copy) != aErrNone) {
                Log::log(Log::DEBUG_Updater, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return false;
            }
            flash += chunk;
            offset += chunk;
            display.update_progress(double(offset) / length, nullptr);
        }
        display.display_progress(false);
        total += offset;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", shown, int(total));
    const aErr err = isp.SetEcho(true);
    if (err != aErrNone) {
        display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err,
                        aError_GetErrorText(err));
    } else {
        display.message(kInfo, "Rebooting Device");
        isp.ExecuteFrom(0);
    }
    return true;
}

// The loader from RAM is up on USB (as DEADDEAD, or already as the device):
// it takes the firmware through the upgrade protocol.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, unsigned serial, bool uei_bytes) {
    Module module(0, uint8_t(0));
    aErr err = _disableZephyl(module, display);
    if (err == aErrNone) {
        for (int round = 1; round <= kEnumerationTries; ++round) {
            if (module.discoverAndConnect(USB, kNoParticularDevice) == aErrNone && module.isConnected()) break;
            if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) break;
            if (round < kEnumerationTries) aTime_MSSleep(kEnumerationPauseMs);
        }
        if (!module.isConnected()) {
            display.message(kError, "Could not connect to device");
            return false;
        }
        err = _transfer_firmware(display, module, file, false, uei_bytes);
    }
    if (err != aErrNone) {
        display.message(kError, "Failed to transfer firmware");
        return false;
    }
    return true;
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
    try {
        return RefusedForRecovery(display, BirdFile(bird_file));
    } catch (const std::runtime_error& e) {
        Log::log(Log::DEBUG_Updater, "%s\n", e.what());
        display.message(kError, "Failed to load bird file");
        return true;
    }
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serial, std::string bird_file,
                              unsigned baud, bool reset_after) {
    if (_get_fingerprint_lpc(port, baud, fingerprint)) {
        chip_family = kChipLPC;
        return true;
    }
    chip_family = kChipIMX;
    return _get_fingerprint_imx(display, *this, port, serial, bird_file, fingerprint, reset_after);
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                               std::string bird_file, bool) {
    const uint64_t start = aTime_GetMSTicks();
    if (RefusedBeforeTouching(display, bird_file)) return false;
    Fingerprint fingerprint;
    // Read at the rate the transfer uses: the chip's autobaud locks to the
    // rate it was synchronised at.
    if (!Get_Fingerprint(fingerprint, port, serial, bird_file, baud, false)) {
        display.message(kError, "Could not get Device Identifier");
        return false;
    }
    if (bird_file.empty()) {
        uint32_t found_serial = serial;
        uint32_t server_build = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, found_serial, server_build, server_url)) {
            display.message(kError, "Failed to retrieve recovery information from Velorn server");
            return false;
        }
        serial = found_serial;
        if (build == 0) build = server_build;
    }
    BirdFile file;
    try {
        file = load_bird("Recovering", bird_file, serial, build, true);
    } catch (const std::runtime_error& e) {
        Log::log(Log::DEBUG_Updater, "%s\n", e.what());
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (RefusedForRecovery(display, file)) return false;
    bool ok = false;
    if (chip_family == kChipIMX) {
        ok = _recover_firmware_imx(display, file, serial, uei_bytes_load);
    } else if (chip_family == kChipLPC) {
        ok = _recover_firmware_lpc(display, file, port, baud);
        // The reasons are in the debug log; the user needs to know it failed.
        if (!ok) display.message(kError, "Failed to transfer firmware");
    } else {
        display.message(kError, "Unknown device");
    }
    display.message(kInfo, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return ok;
}
