#include "ChipRom.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "Module.h"
#include "Usb.h"

namespace tarnixsim {
namespace {

// The i.MX fuse words a host reads as the chip's identity (low, high).
constexpr uint32_t kImxFuseLow = 0x401F4410;
constexpr uint32_t kImxFuseHigh = 0x401F4420;

} // namespace

// The LPC part's flash is the module's: what the ROM erases and programs is
// what the module boots, and what its state directory shows.
class ChipRom::ModuleFlash : public bootrom::IspFlash {
public:
    explicit ModuleFlash(Flash& flash) : flash_(flash) {}
    const std::vector<uint8_t>& bytes() const override { return flash_.bytes(); }
    void erase(uint32_t offset, uint32_t length) override { flash_.erase(flash_.base() + offset, length); }
    void program(uint32_t offset, const uint8_t* data, uint32_t length) override {
        flash_.program(flash_.base() + offset, data, length);
    }

private:
    Flash& flash_;
};

ChipRom::ChipRom(Module& module, Log& log) : module_(module), log_(log), kind_(module.config().boot_rom) {
    if (kind_ != BootRom::Lpc) return;
    bootrom::PortOptions options;
    options.link = module.config().boot_rom_link;
    struct stat st {};
    if (!options.link.empty() && ::lstat(options.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error("boot_rom_link " + options.link + " exists and is not a symbolic link");
    port_ = std::make_unique<bootrom::PtyPort>(options);
    std::string error;
    if (!port_->open(error)) throw std::runtime_error(module.name() + ": boot ROM: " + error);
    if (module.config().boot_rom_reset_on_open && !port_->watchOpens(error))
        throw std::runtime_error(module.name() + ": boot ROM: " + error);
    where_ = port_->path();
    flash_ = std::make_unique<ModuleFlash>(module.flash());
}

ChipRom::~ChipRom() = default;

void ChipRom::enter(UsbBed* bed, unsigned port, unsigned hidraw, std::function<void()> started) {
    const auto& identity = *module_.config().identity;
    if (kind_ == BootRom::ImxHid) {
        hid_.reset(); // the last power cut's ROM, long gone from the bus
        bootrom::HidRomOptions options;
        // The identity's two least significant words are the fuses.
        options.registers = {{kImxFuseLow, identity[3]}, {kImxFuseHigh, identity[2]}};
        options.port = port;
        options.devnum = bed->takeDevnum();
        options.hidraw = hidraw;
        hid_ = std::make_unique<bootrom::ImxHidRom>(bed->testbed(), options,
                                                     [started](uint32_t) { started(); });
        where_ = "/dev/hidraw" + std::to_string(hidraw);
    } else {
        bootrom::IspRomOptions options;
        options.partId = bootrom::LpcPartWithFlash(module_.flash().size());
        for (int k = 0; k < 4; ++k) options.serial[k] = identity[k];
        bootrom::LpcIspRom::Events events;
        const std::string name = module_.name();
        Log& log = log_;
        events.synchronised = [name, &log](uint32_t khz) {
            log.info("%s: boot ROM synchronised, crystal %u kHz", name.c_str(), khz);
        };
        events.go = [started](uint32_t, char) { started(); };
        port_->discardOutput();
        isp_ = std::make_unique<bootrom::LpcIspRom>(options, *port_, *flash_, events);
    }
    active_ = true;
    log_.info("%s: in its %s boot ROM at %s", module_.name().c_str(), BootRomName(kind_), where_.c_str());
}

void ChipRom::leave() {
    if (!active_) return;
    active_ = false;
    if (hid_) hid_->unplug();
    log_.info("%s: left its boot ROM", module_.name().c_str());
}

int ChipRom::fd() const { return port_ ? port_->fd() : -1; }

short ChipRom::pollEvents() const { return static_cast<short>(POLLIN | (port_ && port_->outputPending() ? POLLOUT : 0)); }

void ChipRom::service() {
    if (!port_) return;
    uint8_t buffer[256];
    const long n = port_->read(buffer, sizeof buffer, 0);
    // A host opened the terminal: the board's reset wiring brings the chip
    // back to the ROM's prompt before the host's bytes arrive.
    if (port_->openedSinceLastCheck() && active_ && isp_) {
        isp_->reset();
        log_.info("%s: boot ROM reset: a host opened its terminal", module_.name().c_str());
    }
    // Fed one byte at a time: the ROM may start code (and go silent) at any.
    for (long i = 0; i < n && active_ && isp_; ++i) isp_->feed(buffer[i]);
    port_->pump();
}

} // namespace tarnixsim
