// The USB HID serial download ROM of an NXP i.MX (1FC9:0130) as a device in a
// umockdev test bed, for the real hidapi. imx-sdp-hid-sim hosts it in a test
// bed of its own; tarnix-sim hosts it in its USB test bed, beside the module
// the loaded image becomes after the jump, and as the boot ROM a module whose
// power was cut comes back as.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace bootrom {

constexpr uint32_t kSdpSecurityOpen = 0x56787856;
constexpr uint32_t kSdpSecurityClosed = 0x12343412;

struct HidRomOptions {
    std::map<uint32_t, uint32_t> registers = {{0x401F4410, 0x1A2B3C4D}, {0x401F4420, 0x5E6F7081}};
    uint32_t security = kSdpSecurityOpen;
    std::string dumpFile;          // at the jump: every written region (address, length LE32, bytes)
    std::set<std::string> faults;  // silent, no-complete, vanish
    bool verbose = false;          // one line per command on standard error
    unsigned port = 1;             // the device's path: .../usb1/1-PORT
    unsigned devnum = 2;           // its node: /dev/bus/usb/001/DEVNUM
    unsigned hidraw = 0;           // its HID node: /dev/hidrawN
};

// Parses one "--fuses LOW,HIGH" value into the options; false when malformed.
bool ParseFuses(const std::string& value, HidRomOptions& options);
// True for a fault name the ROM knows.
bool KnownHidRomFault(const std::string& name);

class ImxHidRom {
public:
    // Adds the device to `testbed` and answers its hidraw node (/dev/hidraw0)
    // until destroyed. `onJump` runs on umockdev's worker thread when the host
    // starts code (after the dump is written). Throws std::runtime_error.
    ImxHidRom(UMockdevTestbed* testbed, const HidRomOptions& options, std::function<void(uint32_t)> onJump);
    ~ImxHidRom();
    // The device leaves the bus, as the ROM does when the code it started
    // takes over: it is no longer enumerated, and every operation on a node
    // a host still holds fails with ENODEV. The handlers stay attached until
    // the ROM is destroyed, so such a host is still answered. Main thread.
    void unplug();
    ImxHidRom(const ImxHidRom&) = delete;
    ImxHidRom& operator=(const ImxHidRom&) = delete;

    struct State; // Rom state shared with umockdev's callbacks (ImxHidRom.cpp)

private:
    UMockdevTestbed* testbed_;
    std::string node_;        // /dev/hidrawN
    std::vector<std::string> syspaths_; // the device's sysfs paths, children first
    bool plugged_ = true;
    std::unique_ptr<State> state_;
};

} // namespace bootrom
