// The upgrade exchanges of command 95. Each request is one short packet; all
// but REBOOT are answered by one packet that starts with 95 and the option the
// reply carries (the status replies of PREPARE, SUM and WRITE carry 7).
#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "SystemClass.h"
#include "aTime.h"

using Velorn::Tarnix::Link;
using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;

namespace {

constexpr unsigned kFirm = Log::DEBUG_Network_FIRM;
constexpr unsigned kNet = Log::DEBUG_Network;
constexpr int kReconnectAttempts = 5;
constexpr uint32_t kRebootPollMs = 250;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
// A status byte that no reply set: counts as refused.
constexpr unsigned char kNoStatus = 0xFF;

uint32_t BigEndian32(const uint8_t* b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

} // namespace

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* target, unsigned char index, bool validate, bool isRouted) {
    module = target;
    validateTransfer = validate;
    routed = isRouted;
    useUEIData = false;
    EntityClass::init(target, aCMD_UPGRADE, index);
}

aErr UpdaterEntity::_exchange(const unsigned char* request, unsigned char length, unsigned char replyOption,
                              unsigned char* reply, unsigned char& replyLength) {
    aErr err = sendPacket(aCMD_UPGRADE, length, request);
    if (err != aErrNone) return err;
    const unsigned char match[2] = {aCMD_UPGRADE, replyOption};
    replyLength = sizeof match;
    return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(kFirm, "NETWORK: Loader Initialization {aCMD_UPGRADE, aUPGRADE_INIT}\n");
    const unsigned char request[] = {aUPGRADE_INIT};
    aErr err = sendPacket(aCMD_UPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    const unsigned char match[2] = {aCMD_UPGRADE, aUPGRADE_INIT};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = sizeof match;
    err = receivePacket(match, &size, reply);
    if (err != aErrNone) return err;
    if (size < 6) return aErrPacket;
    const uint32_t base = BigEndian32(reply + 2);
    Log::log(kFirm, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize) {
    if (data == nullptr || length < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags, blockSize);
    Log::log(kFirm, "NETWORK: TransferPrepare {aCMD_UPGRADE, aUPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    Log::log(kFirm, "NETWORK: Address: %d\n", int(BigEndian32(data)));
    const unsigned char request[] = {aUPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    // A block starts afresh: upgrade replies still queued from an attempt that
    // failed (a dropped connection, a time-out) must not answer this one's requests.
    const unsigned char upgrade[1] = {aCMD_UPGRADE};
    if (const size_t stale = drainPackets(upgrade, sizeof upgrade))
        Log::log(kFirm, "NETWORK: dropped %d late upgrade replies\n", int(stale));
    aErr err = sendPacket(aCMD_UPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    const unsigned char match[2] = {aCMD_UPGRADE, aUPGRADE_STATUS};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = sizeof match;
    err = receivePacket(match, &size, reply);
    if (err != aErrNone) return err;
    // An accepted reply must carry the block size; a shorter one is no acceptance.
    if (size < 5 || reply[2] != 0) {
        Log::log(kFirm, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = uint16_t((reply[3] << 8) | reply[4]);
    Log::log(kFirm, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter,
                                               uint32_t& sum) {
    Log::log(kFirm, "\nNETWORK: Block Transfer {aCMD_UPGRADE, aUPGRADE_DATA_UEI, %d} \n", int(length));
    Velorn::Tarnix::uei u{};
    u.type = Velorn::Tarnix::ueiBytes;
    u.value.data = const_cast<uint8_t*>(data);
    u.length = length;
    const aErr err = setUEI(aUPGRADE_DATA_UEI, &u);
    if (err != aErrNone) {
        Log::log(kFirm, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    counter = 1;
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t n, uint32_t& counter) {
    Log::log(kFirm, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = n;
    uint32_t sum = 0;
    aErr result = aErrNone;
    if (useUEIData) {
        result = _block_transfer_uei_helper(data, n, counter, sum);
        if (result != aErrNone) return result;
        remaining = 0;
        Log::log(kFirm, "\nNETWORK: accepted %d bytes \n", int(n));
    }
    unsigned refusals = 0;
    while (remaining > 0 && result == aErrNone) {
        const uint32_t chunk = std::min(remaining, kUpgradeDataChunk);
        const uint8_t* at = data + (n - remaining);
        Log::log(kFirm, "\nNETWORK: Block Transfer {aCMD_UPGRADE, aUPGRADE_DATA, %d} \n", int(chunk));
        unsigned char request[1 + kUpgradeDataChunk] = {aUPGRADE_DATA};
        std::copy(at, at + chunk, request + 1);
        const unsigned char match[2] = {aCMD_UPGRADE, aUPGRADE_DATA};
        // One request at a time: a DATA reply already queued answers an earlier
        // request (one that timed out), never this one.
        if (const size_t stale = drainPackets(match, sizeof match))
            Log::log(kFirm, "\nNETWORK: dropped %d late DATA replies\n", int(stale));
        aErr err = sendPacket(aCMD_UPGRADE, static_cast<unsigned char>(chunk + 1), request);
        if (err != aErrNone) {
            Log::log(kFirm, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            return err;
        }
        unsigned char reply[aPACKET_MAX_DATA];
        unsigned char size = sizeof match;
        if (receivePacket(match, &size, reply) != aErrNone || size < 3) {
            Log::log(kFirm, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            result = aErrPacket;
            break;
        }
        if (reply[2] != chunk) {
            Log::log(kFirm, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2], int(chunk));
            // The same chunk goes out again, but not for ever.
            if (++refusals >= kUpgradeMaxRefusedData) {
                Log::log(0, "\nNETWORK: Module refused the same data %u times.\n", refusals);
                result = aErrTimeout;
            }
            continue;
        }
        refusals = 0;
        for (uint32_t i = 0; i < chunk; ++i) sum += at[i];
        remaining -= chunk;
        ++counter;
        Log::log(kFirm, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(chunk), int(remaining),
                 int(n));
    }
    Log::log(kFirm, "\nNETWORK: transferred %d of %d bytes\n", int(n - remaining), int(n));
    if (result != aErrNone || !validateTransfer) return result;
    return _validate_block(sum, counter);
}

// SUM: the module's byte sum of the block must be ours, with status 0.
aErr UpdaterEntity::_validate_block(uint32_t sum, uint32_t counter) {
    Log::log(kFirm, "\nNETWORK: Block Transfer Validation {aCMD_UPGRADE, aUPGRADE_SUM}\n");
    const unsigned char request[] = {aUPGRADE_SUM};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = 0;
    if (_exchange(request, sizeof request, aUPGRADE_STATUS, reply, size) != aErrNone) {
        Log::log(kFirm, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    // A reply without the whole sum cannot confirm anything.
    const unsigned char status = size >= 3 ? reply[2] : kNoStatus;
    const uint32_t moduleSum = size >= 7 ? BigEndian32(reply + 3) : ~sum;
    if (status == 0 && moduleSum == sum) {
        Log::log(kFirm, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum, moduleSum,
                 int(counter));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
    if (data == nullptr || length < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", BigEndian32(data), int(length - 4));
    uint32_t counter = 0;
    return _block_transfer(data + 4, length - 4, counter);
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count) {
    Log::log(kFirm, "NETWORK: Firmware Write {aCMD_UPGRADE, aUPGRADE_WRITE, %d}\n\n", count);
    const unsigned char request[] = {aUPGRADE_WRITE, static_cast<unsigned char>(count >> 8),
                                     static_cast<unsigned char>(count)};
    aErr err = sendPacket(aCMD_UPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
        return err;
    }
    const unsigned char match[2] = {aCMD_UPGRADE, aUPGRADE_STATUS};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = sizeof match;
    err = receivePacket(match, &size, reply);
    const unsigned char status = (err == aErrNone && size >= 3) ? reply[2] : kNoStatus;
    if (err != aErrNone || status != 0) {
        Log::log(kFirm, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(kFirm, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t L, uint16_t blockSize,
                                     UpdaterDisplayInterface& display,
                                     const std::function<bool(uint32_t sent)>& onChunk) {
    if (data == nullptr || L < 4) return aErrParam;
    Log::log(kFirm, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", BigEndian32(data), int(L - 4));
    // A block size of 0 would never move the image forward.
    if (blockSize == 0) {
        Log::log(0, "NETWORK: Module reported a block size of 0\n");
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
        return aErrRange;
    }
    uint32_t remaining = L - 4;
    const uint8_t* cursor = data + 4;
    uint32_t counter = 0;
    aErr result = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && result == aErrNone) {
        const uint32_t chunk = std::min<uint32_t>(remaining, blockSize);
        uint32_t blocks = 0;
        result = _block_transfer(cursor, chunk, blocks);
        if (result != aErrNone) break;
        remaining -= chunk;
        cursor += chunk;
        ++counter;
        display.update_progress(double(L - remaining) / double(L), nullptr);
        Log::log(kFirm, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(chunk), int(remaining),
                 int(L));
        result = FirmwareWrite(static_cast<uint16_t>(chunk));
        if (result == aErrNone && onChunk && !onChunk(L - 4 - remaining)) result = aErrCancel;
    }
    display.display_progress(false);
    Log::log(kFirm, "NETWORK: transferred %d of %d bytes\n", int(L - remaining), int(L));
    if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return result;
}

aErr UpdaterEntity::_reconnect(uint32_t delay) {
    if (module == nullptr) return aErrResource;
    (void)module->disconnect(); // the link is dropped to be made anew; reconnect reports
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(kNet, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, kReconnectAttempts);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(kFirm, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        // A half-made engine link must go before the next try can make one.
        (void)module->disconnect(); // reconnect's failure is the one that counts
        Log::log(kFirm, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delay));
        aTime_MSSleep(delay);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(kFirm, "NETWORK: Loader Start {aCMD_UPGRADE, aUPGRADE_LOAD}\n");
    const unsigned char request[] = {aUPGRADE_LOAD};
    aErr err = sendPacket(aCMD_UPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    const unsigned char match[2] = {aCMD_UPGRADE, aUPGRADE_LOAD};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char size = sizeof match;
    if (receivePacket(match, &size, reply) == aErrNone) {
        Log::log(kFirm, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(kFirm, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err, aError_GetErrorText(err));
        return aErrTimeout;
    }
    size = sizeof match;
    err = receivePacket(match, &size, reply);
    if (err == aErrNone) {
        Log::log(kFirm, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(kFirm, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(kFirm, "NETWORK: LoaderReboot {aCMD_UPGRADE, aUPGRADE_REBOOT}\n");
    const unsigned char request[] = {aUPGRADE_REBOOT};
    const aErr sent = sendPacket(aCMD_UPGRADE, sizeof request, request);
    if (sent != aErrNone) Log::log(kFirm, "NETWORK: Error sending Loader REBOOT\n");
    // Bounded: a link that never drops is left to the caller's check that the
    // module came back.
    for (uint32_t waited = 0; module != nullptr && module->isConnected() && waited < kUpgradeRebootDropWaitMs;
         waited += kRebootPollMs) {
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(kFirm, "Waiting for link to drop.\n");
        Log::log(kFirm, "Rebooting Device\n");
        if (routed) break;
    }
    display.update_spinner(false, "Verifying Update");
    return sent;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (module == nullptr) return aErrResource;
    const aErr err = module->hasUEI(aCMD_UPGRADE, aUPGRADE_DATA_UEI, 0, 0x80);
    Log::log(kFirm, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone) useUEIData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr) return aErrResource;
    SystemClass system;
    system.init(module, 0);
    unsigned features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Log::log(kFirm, "NETWORK: Protocol Version: %d Error: %d\n", int(features), err);
    if (err != aErrNone) return err;
    if ((features & kPooledPacketsFeature) == 0) return aErrNone;
    Link* link = module->getLink();
    return link != nullptr ? link->enablePooledPackets(true) : aErrConnection;
}
