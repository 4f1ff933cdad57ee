// The simulator's configuration file: one section per virtual module.
#pragma once

#include <cstdint>
#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Usb.h"

namespace tarnixsim {

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A fault switch: off, on for the next `remaining` occurrences, or always.
struct FaultCount {
    int remaining = 0; // < 0: always
    bool armed() const { return remaining != 0; }
    // Consumes one occurrence; true when the fault fires now.
    bool fire() {
        if (remaining == 0) return false;
        if (remaining > 0) --remaining;
        return true;
    }
};

// A cut of the module's power, armed once: while its loader runs (shortly
// after LOAD is answered), or when the firmware bytes it programs from when
// the fault was set reach `firmware_bytes` (0: at the next firmware PREPARE,
// after its erase).
struct PowerCut {
    enum class When { Off, Loader, Firmware } when = When::Off;
    uint32_t firmware_bytes = 0;
};

// Every fault a module can be told to show; see README.md for each one.
struct Faults {
    FaultCount drop_replies;
    FaultCount short_replies;
    unsigned delay_replies_ms = 0;
    FaultCount wrong_data_count;
    FaultCount refuse_prepare;
    FaultCount refuse_write;
    FaultCount wrong_sum;
    FaultCount silent_after_load;
    FaultCount no_return_after_reboot;
    FaultCount boot_old_image; // the next boots after a write keep running the old build
    unsigned drop_connection_after_data = 0; // 0: off; else drop after that many more data packets
    unsigned hang_after_data = 0;            // 0: off; else stop answering after that many more data packets
    bool hung = false;                       // hang_after_data fired: no replies until `clear`
    bool refuse_second_connection = false;
    // USB faults (usb_stall, usb_io_errors, usb_vanish, usb_held) and a late
    // return from the next re-enumeration (usb_late, ms).
    UsbFaults usb;
    unsigned usb_late_ms = 0;
    PowerCut power_cut;

    // Sets one fault by name; throws ConfigError for an unknown name or value.
    void set(const std::string& name, const std::string& value);
    std::string describe() const;
};

// The boot ROM a module's chip has: what it comes back as after a power cut.
enum class BootRom { None, ImxHid, Lpc };

struct ModuleConfig {
    std::string name;          // section name, also the state directory name
    uint32_t serial = 0;
    uint8_t model = 0;
    uint8_t address = 2;       // module address (even, non-zero)
    uint32_t version = 0;      // packed version word
    uint32_t build = 0;
    std::string device_name;
    uint32_t features = 0;     // protocol features word (bit 31: pooled packets)
    bool tcp = true;
    bool pty = false;
    bool usb = false;
    bool transport_given = false; // `transport` set explicitly (else --usb may pick USB)
    // USB appearance: product < 0 means the model number; serial string empty
    // means the serial number as eight hex digits.
    uint16_t usb_vendor = 0x24FF;
    int usb_product = -1;
    uint16_t usb_packet = 512;
    std::string usb_serial;
    UsbShape::Defect usb_defect = UsbShape::Defect::None;
    unsigned usb_reenumerate_ms = 200; // how long the device is away when it re-enumerates
    uint16_t port = 0;         // 0: any free port
    std::string pty_link;      // a stable symbolic link to the pty, if wanted
    unsigned heartbeat_ms = 0; // 0: no heartbeats
    uint16_t block_size = 512;
    uint32_t load_base = 0x10000000;
    uint32_t flash_base = 0;
    uint32_t flash_size = 0x40000;
    bool uei_data = true;      // upgrade option 10 offered
    unsigned stream_interval_ms = 100;
    unsigned reboot_ms = 300;
    uint32_t hardware_version = 1;
    uint32_t input_voltage = 5000000;   // microvolts
    uint32_t input_current = 250000;    // microamperes
    int32_t temperature = 31500000;     // micro-degrees Celsius
    std::map<unsigned, std::vector<uint8_t>> factory; // factory data by index
    // Routing: a module behind a router names it and its I2C address.
    std::string router;
    uint8_t i2c_address = 0;
    // A loader a boot ROM started from RAM: the 128-bit chip identity it
    // reports (system option 39, subindex j is word 3 - j), whether it starts
    // off (until `revive`, as before the ROM's jump) and whether it takes
    // firmware at once (the upgrade's loader is what runs).
    std::optional<std::array<uint32_t, 4>> identity;
    bool start_down = false;
    bool loader_running = false;
    // The chip's boot ROM (its fingerprint is `identity`) and, for the LPC
    // ROM, a symbolic link to be made to its pseudo-terminal and whether a
    // host opening that terminal resets the chip to the ROM's prompt (a
    // board whose ISP circuit the port's DTR/RTS lines drive).
    BootRom boot_rom = BootRom::None;
    std::string boot_rom_link;
    bool boot_rom_reset_on_open = false;
    Faults faults;
};

struct Config {
    std::vector<ModuleConfig> modules;
};

// Parses the text of a configuration file; `origin` names it in error messages.
Config ParseConfig(const std::string& text, const std::string& origin);
Config LoadConfig(const std::string& path);

// "2.15.3" to a packed version word (the form the module reports).
uint32_t ParseVersion(const std::string& text);
std::string VersionText(uint32_t packed);
// "none", "imx-hid" or "lpc".
const char* BootRomName(BootRom rom);

} // namespace tarnixsim
