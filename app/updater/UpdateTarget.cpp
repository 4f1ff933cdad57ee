#include "UpdateTarget.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"
#include "ModuleSearch.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "UpdateInterruption.h"
#include "UpdateObserver.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterModule.h"
#include "aTime.h"

using Velorn::Tarnix::Module;
using Velorn::Tarnix::ModuleSearch;

namespace {

constexpr int kFirmwareAttempts = 5;
constexpr int kEnumerationTries = 15;
constexpr uint32_t kEnumerationPauseMs = 1000;
// How long a USB module that answered LOAD gets to leave the bus before its
// link is taken to have survived the loader start.
constexpr uint32_t kLoaderDropWaitMs = 3000;
constexpr uint32_t kPollMs = 50;
// A link that dropped during a firmware block: how long it may take to come
// back by itself, and how often it is then made anew.
constexpr uint32_t kRelinkWaitMs = 1000;
constexpr int kRelinkAttempts = 5;
constexpr unsigned kImxStartAddress = 0x20000400;
constexpr uint32_t kRamBuffer = NXPSerialClass::WRITE_ADDRESS;
constexpr unsigned kChunk = 4096;
constexpr unsigned kLastFixedSector = 29;

const char* ErrorText(aErr err) { return aError_GetErrorText(err); }

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

linkType LinkTypeOf(const Module& module) {
    linkSpec spec{};
    return module.getLinkSpecifier(&spec) == aErrNone ? linkType(spec.type) : INVALID;
}

// The debug line that goes with a fresh USB context.
void NoteFreshUsb(int, bool fresh) {
    if (fresh) Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
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
    ModuleSearch search;
    search.type = spec.type == USB ? USB : TCPIP;
    search.serials = {spec.serial_num};
    search.maxRounds = kRelinkAttempts;
    search.pauseMs = kEnumerationPauseMs;
    // The block's next attempt reports a link that stayed down.
    (void)findModuleAgain(module, search);
}

// One loader block: PREPARE, then the image as one block transfer. A loader
// missing a block must never be started.
aErr SendLoaderBlock(UpdaterEntity& entity, const BirdBlock& block) {
    uint16_t blockSize = 0;
    aErr err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
        Log::log(Log::DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, ErrorText(err));
        return err;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) Log::log(Log::DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, ErrorText(err));
    return err;
}

// Where the firmware phase stands, for an observer: image bytes written by
// the blocks before this one, and in all.
struct FirmwareProgress {
    UpdateObserver* observer = nullptr;
    uint64_t before = 0;
    uint64_t total = 0;
};

// One firmware block, kFirmwareAttempts times at most; a stop asked for
// through the observer ends it at once with aErrCancel.
aErr SendFirmwareBlock(UpdaterDisplayInterface& display, UpdaterEntity& entity, Module& module, bool routed,
                       const BirdBlock& block, unsigned number, unsigned count, const FirmwareProgress& progress) {
    aErr err = aErrNone;
    std::function<bool(uint32_t)> onChunk;
    if (progress.observer)
        onChunk = [&progress](uint32_t sent) {
            progress.observer->OnStage(UpdateObserver::Stage::Firmware, progress.before + sent, progress.total);
            return !progress.observer->StopRequested();
        };
    for (int attempt = 1; attempt <= kFirmwareAttempts; ++attempt) {
        display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", number, count, int(block.length));
        if (attempt > 1) {
            display.message(kInfo, "  Retry %d", attempt - 1);
            if (progress.observer) {
                const std::string what = "firmware block " + std::to_string(number) + " of " + std::to_string(count);
                progress.observer->OnRetry(what.c_str(), attempt);
            }
            Relink(module, routed);
        }
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone) {
            Log::log(Log::DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, ErrorText(err));
            return err;
        }
        err = entity.FirmwareTransfer(block.data, block.length, blockSize, display, onChunk);
        if (err == aErrNone || err == aErrCancel) return err;
        Log::log(Log::DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, ErrorText(err));
    }
    return err;
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

// An ISP step's failure goes to the debug log only: the recovery says once
// that the transfer failed.
aErr Checked(aErr err, unsigned package, const char* failure) {
    if (err != aErrNone) Log::log(package, "%s", failure);
    return err;
}

} // namespace

// ---- A module over its link --------------------------------------------------

LinkTarget::LinkTarget(UpdaterDisplayInterface& display_, Module& module_, unsigned serial_, bool routed_,
                       bool uei_bytes_, UpdateInterruption* interruption_, UpdateObserver* observer_)
    : display(display_), module(module_), serial(serial_), routed(routed_), uei_bytes(uei_bytes_),
      interruption(interruption_), observer(observer_), type(LinkTypeOf(module_)) {}

LinkTarget::~LinkTarget() = default;

aErr LinkTarget::StartLoader(BirdFile& file) {
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
    uint64_t all = 0;
    for (const auto& block : blocks) all += block.length;
    display.display_progress(true);
    int number = 1;
    long total = 0;
    if (observer) observer->OnStage(UpdateObserver::Stage::Loader, 0, all);
    for (const auto& block : blocks) {
        display.message(kInfo, "Transferring loader block %d of %d, %d bytes", number, count, int(block.length));
        if ((err = SendLoaderBlock(entity, block)) != aErrNone) break;
        total += block.length;
        ++number;
        if (observer) observer->OnStage(UpdateObserver::Stage::Loader, uint64_t(total), all);
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", number - 1, int(total));
    display.display_progress(false);
    if (err != aErrNone) {
        display.message(kError, "Error transferring loader [%d, %s]", err, ErrorText(err));
        return err;
    }
    if (observer && observer->StopRequested()) return aErrCancel; // the module still runs its firmware
    display.message(kInfo, "Starting Load on Device");
    if (interruption) interruption->Enter(UpdateInterruption::InLoader);
    if (observer) observer->OnLoaderStarting();
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(Log::DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = aErrNone;
    } else if (err != aErrNone) {
        display.message(kError, "Error starting loader [%d, %s]", err, ErrorText(err));
    }
    return err;
}

aErr LinkTarget::FindAgain() {
    // A USB module answers LOAD and then leaves the bus; its link may still
    // read as running for a while (the driver rides out the first I/O
    // errors). Wait, bounded, for the drop so that the firmware phase never
    // starts on a link whose device is gone.
    if (!routed && type == USB)
        for (uint32_t waited = 0; module.isConnected() && waited < kLoaderDropWaitMs; waited += kPollMs)
            aTime_MSSleep(kPollMs);
    if (module.isConnected()) return aErrNone;
    ModuleSearch search;
    search.type = type == TCPIP ? TCPIP : USB;
    search.serials = {serial};
    search.maxRounds = kEnumerationTries;
    search.pauseMs = kEnumerationPauseMs;
    search.freshUsbEvery = 3;
    search.eachRound = NoteFreshUsb;
    const aErr err = findModuleAgain(module, search);
    if (err != aErrNone) (void)module.disconnect(); // the search's failure is the one to report
    return err;
}

aErr LinkTarget::Write(BirdFile& file) {
    writer = std::make_unique<UpdaterEntity>();
    writer->init(&module, 0, true, routed);
    if (uei_bytes && writer->CheckUEIDataSupport() == aErrNone) {
        // Without pooled packets the blocks go one packet at a time: slower, same bytes.
        const aErr pooled = writer->CheckPooledPacketsSupport();
        if (pooled != aErrNone)
            Log::log(Log::DEBUG_Updater, "Pooled packets not used (%d): %s\n", int(pooled), aError_GetErrorText(pooled));
    }
    Log::log(Log::DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned count = static_cast<unsigned>(blocks.size());
    FirmwareProgress progress;
    progress.observer = observer;
    for (const auto& block : blocks) progress.total += block.length > 4 ? block.length - 4 : 0;
    aErr err = aErrNone;
    unsigned number = 1;
    long total = 0;
    for (const auto& block : blocks) {
        if (observer) observer->OnFirmwareBlock(number, count);
        err = SendFirmwareBlock(display, *writer, module, routed, block, number, count, progress);
        progress.before += block.length > 4 ? block.length - 4 : 0;
        if (err != aErrNone) {
            Log::log(Log::DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    if (err != aErrNone) display.message(kError, "Error transferring firmware [%d, %s]", err, ErrorText(err));
    return err;
}

aErr LinkTarget::Restart() {
    if (!writer) return aErrNotReady;
    if (observer) observer->OnStage(UpdateObserver::Stage::Reboot, 0, 0);
    return writer->LoaderReboot(display);
}

// ---- An i.MX boot ROM ----------------------------------------------------------

ImxBootRomTarget::ImxBootRomTarget(UpdaterDisplayInterface& display_, std::string port_,
                                   std::vector<unsigned> serials_, bool uei_bytes, int fresh_usb_every_,
                                   UpdateObserver* observer)
    : display(display_), port(std::move(port_)), serials(std::move(serials_)), fresh_usb_every(fresh_usb_every_),
      module(0, uint8_t(0)), link(display_, module, 0, false, uei_bytes, nullptr, observer) {}

ImxBootRomTarget::~ImxBootRomTarget() = default;

aErr ImxBootRomTarget::StartLoader(BirdFile& file) {
    Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    if (port == kUsbBootRomPort)
        loader.setLoader(new HID_SDPLoader(HID_SDPLoader::kRomVendor, HID_SDPLoader::kRomProduct));
    else
        loader.setLoader(new Serial_SDPLoader(port.c_str()));
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

aErr ImxBootRomTarget::FindAgain() {
    const aErr err = _disableZephyl(module, display);
    if (err != aErrNone) return err;
    ModuleSearch search;
    search.type = USB;
    search.serials = serials;
    search.maxRounds = kEnumerationTries;
    search.pauseMs = kEnumerationPauseMs;
    search.freshUsbEvery = fresh_usb_every;
    search.eachRound = NoteFreshUsb;
    return findModuleAgain(module, search);
}

aErr ImxBootRomTarget::Write(BirdFile& file) { return link.Write(file); }

aErr ImxBootRomTarget::Restart() { return link.Restart(); }

// ---- An LPC boot ROM -----------------------------------------------------------

LpcBootRomTarget::LpcBootRomTarget(UpdaterDisplayInterface& display_, std::string port_, unsigned baud_,
                                   UpdateObserver* observer_)
    : display(display_), port(std::move(port_)), baud(baud_), observer(observer_),
      isp(std::make_unique<NXPSerialClass>()) {}

LpcBootRomTarget::~LpcBootRomTarget() = default;

aErr LpcBootRomTarget::StartLoader(BirdFile&) {
    // The chip may sit at its prompt (fresh from reset, or reset by the
    // port's modem lines when it was opened) or still be synchronised from
    // the fingerprint read; both are handled, at the transfer's rate.
    aErr err = isp->Connect(port.c_str(), baud);
    if (err == aErrNone) err = isp->Resynchronize();
    if (err != aErrNone) {
        Log::log(Log::DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return err;
    }
    Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
    return Checked(isp->Unlock(), Log::DEBUG_Network, "Could not unlock\n");
}

aErr LpcBootRomTarget::FindAgain() { return aErrNone; }

aErr LpcBootRomTarget::EraseForImages(const BirdFile& file) {
    const unsigned last = LastSectorToErase(*isp, file.FindBlocks(BirdFile::BLOCK_FIRMWARE));
    Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    aErr err = Checked(isp->Prepare(0, last), Log::DEBUG_Network, "Could not prepare\n");
    if (err != aErrNone) return err;
    Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
    err = Checked(isp->Erase(0, last), Log::DEBUG_Network, "Could not erase\n");
    if (err != aErrNone) return err;
    return Checked(isp->SetEcho(false), Log::DEBUG_Network, "Could not switch echo off\n");
}

// Chunk by chunk: into the RAM buffer, then copied into the prepared sectors.
aErr LpcBootRomTarget::WriteBlock(const uint8_t* image, unsigned length, unsigned flash) {
    unsigned offset = 0;
    while (offset < length) {
        const unsigned chunk = std::min(kChunk, length - offset);
        // The copy takes a whole page size: the rest of it is the erased
        // value, not whatever RAM held, and the write is whole words.
        const std::vector<unsigned char> ram = NXPSerialClass::CopyImage(image + offset, chunk);
        const unsigned copy = NXPSerialClass::CopyLength(chunk);
        Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(chunk), flash);
        Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(ram.size()), kRamBuffer);
        aErr err = Checked(isp->Write(kRamBuffer, unsigned(ram.size()), ram.data()), Log::DEBUG_Updater,
                           "\t Write to RAM failed\n");
        if (err != aErrNone) return err;
        const unsigned first = NXPSerialClass::SectorFromAddress(flash);
        const unsigned end = NXPSerialClass::SectorFromAddress(flash + copy - 1);
        Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, end);
        err = Checked(isp->Prepare(first, end), Log::DEBUG_Updater, "\t Prepare failed\n");
        if (err != aErrNone) return err;
        Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy), kRamBuffer, flash);
        err = Checked(isp->CopyToFlash(flash, kRamBuffer, copy), Log::DEBUG_Updater, "\t Transfer to flash failed\n");
        if (err != aErrNone) return err;
        flash += chunk;
        offset += chunk;
        written += chunk;
        display.update_progress(double(offset) / length, nullptr);
        if (observer) {
            observer->OnStage(UpdateObserver::Stage::Firmware, written, total);
            if (observer->StopRequested()) return aErrCancel;
        }
    }
    return aErrNone;
}

aErr LpcBootRomTarget::Write(BirdFile& file) {
    aErr err = EraseForImages(file);
    if (err != aErrNone) return err;
    Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
    Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());
    const auto blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const int shown = int(blocks.size()) - 1;
    written = total = 0;
    for (const auto& block : blocks) {
        if (block.length == 8) break; // the end marker
        if (block.length >= 4 && block.data != nullptr) total += block.length - 4;
    }
    long sent = 0;
    int number = 1;
    for (const auto& block : blocks) {
        if (block.length == 8) break; // the end marker
        if (block.length < 4 || block.data == nullptr) {
            display.message(kError, "Firmware block %d holds no image", number);
            return aErrParam;
        }
        const unsigned length = block.length - 4;
        display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, shown, int(length));
        display.display_progress(true);
        Log::log(Log::DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(length),
                 block.address);
        err = WriteBlock(block.data + 4, length, block.address);
        display.display_progress(false);
        if (err != aErrNone) return err;
        sent += length;
        ++number;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", shown, int(sent));
    return aErrNone;
}

aErr LpcBootRomTarget::Restart() {
    const aErr err = isp->SetEcho(true);
    if (err != aErrNone) {
        display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err, ErrorText(err));
        return aErrNone;
    }
    display.message(kInfo, "Rebooting Device");
    // The chip leaves the ROM at once and may cut the command's echo short,
    // so a failure here says little; the log keeps it for a failed restart.
    const aErr started = isp->ExecuteFrom(0);
    if (started != aErrNone)
        Log::log(Log::DEBUG_Updater, "Start from 0 not confirmed (%d): %s\n", int(started), ErrorText(started));
    return aErrNone;
}
