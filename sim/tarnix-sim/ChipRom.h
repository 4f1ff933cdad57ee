// The boot ROM a module comes back as when its power is cut: the i.MX serial
// download ROM as a USB HID device in the simulator's USB test bed, or the
// LPC ISP ROM on a pseudo-terminal of the module's own, which is there from
// the start (the board's ISP line) and silent while the module runs its
// firmware. The ROMs themselves are romcore's; the LPC ROM programs the
// module's flash. Main thread only, except where said.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Config.h"
#include "ImxHidRom.h"
#include "LpcIspRom.h"
#include "Log.h"
#include "Port.h"

namespace tarnixsim {

class Module;
class UsbBed;

class ChipRom {
public:
    // For a module with a boot ROM. The LPC ROM's terminal (and the
    // boot_rom_link to it) is made now; throws std::runtime_error when it
    // cannot be. `module` and `log` must outlive the ROM.
    ChipRom(Module& module, Log& log);
    ~ChipRom();
    ChipRom(const ChipRom&) = delete;
    ChipRom& operator=(const ChipRom&) = delete;

    BootRom kind() const { return kind_; }
    // True while the module is in its ROM (from the power cut until the code
    // the ROM starts takes over, or the power comes back).
    bool active() const { return active_; }
    // Where a host reaches the ROM: the LPC ROM's terminal, the i.MX ROM's
    // hidraw node (empty before its first power cut).
    const std::string& where() const { return where_; }

    // The power was cut: the ROM answers from now on, back at its start.
    // i.MX: the device joins `bed` on USB port `port` as /dev/hidraw`hidraw`;
    // `started` runs on umockdev's worker thread when the host jumps to the
    // loader. LPC: `started` runs on this thread when the host starts code.
    // Throws std::runtime_error when the device cannot be added.
    void enter(UsbBed* bed, unsigned port, unsigned hidraw, std::function<void()> started);
    // The code the ROM started takes over, or the power came back: the i.MX
    // ROM leaves the bus, the LPC ROM falls silent.
    void leave();

    // LPC: the terminal to poll (-1 for the i.MX ROM), the events to poll it
    // for, and the work when it is ready: bytes from the host go to the ROM
    // while it is active and are dropped otherwise.
    int fd() const;
    short pollEvents() const;
    void service();

private:
    class ModuleFlash;

    Module& module_;
    Log& log_;
    BootRom kind_;
    bool active_ = false;
    std::string where_;
    std::unique_ptr<bootrom::ImxHidRom> hid_;
    std::unique_ptr<bootrom::PtyPort> port_;
    std::unique_ptr<ModuleFlash> flash_;
    std::unique_ptr<bootrom::LpcIspRom> isp_;
};

} // namespace tarnixsim
