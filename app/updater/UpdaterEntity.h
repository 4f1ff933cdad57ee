// The module side of a firmware update, spoken over an established link on
// command 95: start the module's loader, send loader and firmware images
// block by block with a byte-sum check, write, start the loader, reboot.
//
// One entity serves one phase of one update. Every call runs on the caller's
// thread and blocks on the link's reply waits (1000 ms each) and the bounded
// waits named below. Results are aErr codes; nothing is thrown.
#pragma once

#include <functional>

#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aProtocol.h"

// Image bytes one DATA request carries (command, option, 26 bytes).
constexpr unsigned kUpgradeDataChunk = 26;
// A module that keeps refusing the same DATA chunk is given up on after this
// many answers in a row with a wrong count (aErrTimeout).
constexpr unsigned kUpgradeMaxRefusedData = 25;
// Bound on the wait for the link to drop after REBOOT.
constexpr unsigned kUpgradeRebootDropWaitMs = 30000;

class UpdaterEntity : public Velorn::Tarnix::EntityClass {
public:
    UpdaterEntity() = default;
    ~UpdaterEntity() override;

    // Binds the entity to `module` (not owned; must outlive the entity).
    void init(Velorn::Tarnix::Module* module, unsigned char index, bool validateTransfer, bool routed);

    aErr LoaderInit();
    // PREPARE for one BIRD block: `data` starts with the 4-byte load address.
    // blockSize receives the module's block size on success.
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
    // Sends a loader block's image (after its address) as one block transfer.
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    // LOAD, with one reconnection when the module does not answer.
    // aErrTimeout when the start could not be confirmed.
    aErr LoaderStart();
    // Sends a firmware block's image in chunks of blockSize, each written.
    // aErrRange for a block size of 0 (no chunk could ever be sent).
    // `onChunk` (may be empty) hears of each accepted chunk with the image
    // bytes sent so far; false from it ends the transfer with aErrCancel.
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display,
                          const std::function<bool(uint32_t sent)>& onChunk = {});
    aErr FirmwareWrite(uint16_t count);
    // REBOOT, then waits (bounded) for the link to drop; a routed module's
    // link never drops, so one pass. Returns the send result.
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    bool usesUEIData() const { return useUEIData; }

private:
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& counter);
    // The SUM check that ends a block transfer.
    aErr _validate_block(uint32_t sum, uint32_t counter);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& counter, uint32_t& sum);
    aErr _reconnect(uint32_t delay);
    // One request and its reply matched on (95, replyOption).
    aErr _exchange(const unsigned char* request, unsigned char length, unsigned char replyOption,
                   unsigned char* reply, unsigned char& replyLength);

    Velorn::Tarnix::Module* module = nullptr;
    bool validateTransfer = true;
    bool routed = false;
    bool useUEIData = false;
};
