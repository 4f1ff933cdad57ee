// What firmware is written into: a module reached over its link, an i.MX
// boot ROM (a RAM loader that then speaks the upgrade protocol over USB) or
// an LPC boot ROM (its serial ISP protocol). Each goes through the same
// steps, in this order: start the loader, find it again, write, restart.
//
// A target serves one update or recovery on the caller's thread; targets of
// different modules may run side by side. Results are aErr codes; each step
// reports what the user must see on the display it was given.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

class BirdFile;
class NXPSerialClass;
class UpdateInterruption;
class UpdateObserver;
class UpdaterEntity;

class UpdateTarget {
public:
    virtual ~UpdateTarget() = default;
    // Puts the loader in charge: sent and started over the link, loaded into
    // a boot ROM's RAM, or the boot ROM synchronised with. On failure the
    // module runs what it ran before, except after a started link loader.
    virtual aErr StartLoader(BirdFile& file) = 0;
    // Reaches the loader again once it runs (a restarted module leaves the bus).
    virtual aErr FindAgain() = 0;
    // Writes every firmware block of the file.
    virtual aErr Write(BirdFile& file) = 0;
    // Restarts the module into what was written.
    virtual aErr Restart() = 0;
};

// Module `serial`, connected (directly or through a router) and running its
// firmware. `module` and `display` are the caller's and must outlive the
// target; `interruption` (may be null) is moved to InLoader just before LOAD;
// `observer` (may be null) hears of the stages and may stop the update before
// LOAD (aErrCancel, the module untouched) or between firmware chunks
// (aErrCancel, the module left in its loader).
class LinkTarget : public UpdateTarget {
public:
    LinkTarget(UpdaterDisplayInterface& display, Velorn::Tarnix::Module& module, unsigned serial, bool routed,
               bool uei_bytes, UpdateInterruption* interruption, UpdateObserver* observer);
    ~LinkTarget() override;

    // Sends the loader blocks and LOAD; an unconfirmed start counts as started.
    aErr StartLoader(BirdFile& file) override;
    // Waits for a USB module to leave the bus, then finds it again in its
    // loader (a TCP/IP one at the address it had). A module not found leaves
    // the link down: Write then fails and says so.
    aErr FindAgain() override;
    // Every firmware block, 5 attempts each, the link remade between attempts.
    aErr Write(BirdFile& file) override;
    // REBOOT, then a bounded wait for the link to drop.
    aErr Restart() override;

private:
    UpdaterDisplayInterface& display;
    Velorn::Tarnix::Module& module;
    unsigned serial;
    bool routed;
    bool uei_bytes;
    UpdateInterruption* interruption;
    UpdateObserver* observer;
    linkType type; // as connected at the start: the module keeps it across restarts
    std::unique_ptr<UpdaterEntity> writer; // the firmware phase's entity, from Write to Restart
};

// An i.MX part in its boot ROM on `port` (kUsbBootRomPort for USB HID, else a
// serial port). Its RAM loader comes back on USB as one of `serials` (tried
// in order), after which the target behaves as a LinkTarget over USB, with
// `observer` (may be null) told of the firmware and asked whether to stop
// between chunks (aErrCancel: the part is left in that loader).
class ImxBootRomTarget : public UpdateTarget {
public:
    ImxBootRomTarget(UpdaterDisplayInterface& display, std::string port, std::vector<unsigned> serials,
                     bool uei_bytes, int fresh_usb_every, UpdateObserver* observer = nullptr);
    ~ImxBootRomTarget() override;

    // aErrNotReady when the ROM does not answer, aErrParam for a loader block
    // without an address, aErrConnection when a block is not taken.
    aErr StartLoader(BirdFile& file) override;
    // 15 rounds a second apart; aErrNotFound (or the link's error) when the
    // loader did not show up.
    aErr FindAgain() override;
    aErr Write(BirdFile& file) override;
    aErr Restart() override;
    // The loader's module once found; owned by the target.
    Velorn::Tarnix::Module& Loader() { return module; }

private:
    UpdaterDisplayInterface& display;
    std::string port;
    std::vector<unsigned> serials;
    int fresh_usb_every;
    Velorn::Tarnix::Module module;
    LinkTarget link;
};

// An LPC part in its boot ROM on serial `port`: the ROM is its own loader.
class LpcBootRomTarget : public UpdateTarget {
public:
    // `observer` (may be null) is told of the firmware written and may stop
    // the write between chunks (aErrCancel: the chip stays in its ROM, its
    // flash partly written; a later recovery erases it again).
    LpcBootRomTarget(UpdaterDisplayInterface& display, std::string port, unsigned baud,
                     UpdateObserver* observer = nullptr);
    ~LpcBootRomTarget() override;

    // Opens the port, synchronises at the transfer's rate and unlocks.
    aErr StartLoader(BirdFile& file) override;
    // The port stays open across the ROM's work: always aErrNone.
    aErr FindAgain() override;
    // Erases the part's sectors and writes each block through the RAM buffer.
    aErr Write(BirdFile& file) override;
    // Echo back on and run from address 0. A failed echo switch is reported
    // and leaves the chip in its ROM, yet gives aErrNone: the flash already
    // holds the image, and the next reset starts it.
    aErr Restart() override;

private:
    aErr EraseForImages(const BirdFile& file);
    aErr WriteBlock(const uint8_t* image, unsigned length, unsigned flash);

    UpdaterDisplayInterface& display;
    std::string port;
    unsigned baud;
    UpdateObserver* observer;
    uint64_t written = 0, total = 0; // firmware bytes, over all blocks
    std::unique_ptr<NXPSerialClass> isp;
};
