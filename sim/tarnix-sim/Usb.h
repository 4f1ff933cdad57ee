// Virtual USB devices through umockdev: each module on USB is a device in a
// test bed that clients reach with the real libusb (LD_PRELOAD of umockdev's
// preload library and UMOCKDEV_DIR naming the bed). umockdev calls us on its
// own worker thread; the server's loop talks to us through a queue of events
// (bytes the host sent, interface claims) and deliver(), so the modules
// themselves stay single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Flash.h"

// What a device looks like on the bus.
struct UsbShape {
    uint16_t vendor = 0x24FF;
    uint16_t product = 0;
    uint16_t max_packet = 512;        // bulk endpoints: 64 or 512
    std::string serial;               // the serial string (UTF-8; non-ASCII is sent as such)
    std::string product_name;
    // Broken descriptors, for hosts' bad-input handling.
    enum class Defect { None, NoConfiguration, NoInterface, NoInEndpoint, NoOutEndpoint } defect = Defect::None;
};

// USB-level faults of one device; counts as in Faults (< 0: always).
struct UsbFaults {
    int stall_in = 0;          // halt the IN endpoint at the next transfer (N times)
    int stall_out = 0;         // halt the OUT endpoint at the next transfer
    int io_errors = 0;         // the next N bulk transfers fail with a protocol error
    int partial_out = 0;       // the next N OUT transfers take half their bytes, then fail
    long vanish_ms = -1;       // >= 0: vanish at the next bulk transfer, back after this long
    bool held = false;         // claimed by another process: claims are refused (EBUSY)
};

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace tarnixsim {

struct UsbEvent {
    // Revive: a boot ROM hosted in the bed started its image (data: the module's name).
    // RomJump: the boot ROM of a module whose power was cut jumped to its loader (data: the name).
    enum Kind { Claimed, Released, Data, Vanished, Revive, RomJump } kind;
    int device;
    std::vector<uint8_t> data; // Data: one bulk OUT transfer's bytes
};

class UsbBed {
public:
    // Creates the test bed (a directory under TMPDIR); throws std::runtime_error.
    UsbBed();
    ~UsbBed();
    UsbBed(const UsbBed&) = delete;
    UsbBed& operator=(const UsbBed&) = delete;

    const std::string& root() const { return root_; }
    // Readable while events wait for take().
    int eventFd() const { return event_pipe_[0]; }
    std::vector<UsbEvent> take();

    // Adds a device on the given port with a fresh device number; returns its
    // id. "bus/usb/001/NNN" of the new node goes to `node`.
    int plug(const UsbShape& shape, unsigned port, std::string& node);
    // The device goes away: transfers in flight end with -ESHUTDOWN, later
    // calls with ENODEV.
    void unplug(int device);
    bool present(int device) const;
    bool claimed(int device) const;
    // How often a host asked this device for its serial string.
    unsigned serialReads(int device) const;
    // Module bytes for the host, sent on the bulk IN endpoint.
    void deliver(int device, const std::vector<uint8_t>& bytes);
    UsbFaults faults(int device) const;
    void setFaults(int device, const UsbFaults& faults);

    // For devices other programs' code adds to the same bed (a boot ROM):
    // the bed, and a device number no module holds now.
    UMockdevTestbed* testbed() const;
    unsigned takeDevnum();
    // Queues an event for take(); any thread.
    void post(UsbEvent event);

    struct Device; // one plugged device (Usb.cpp)

private:
    Device* find(int device) const;

    struct Testbed;
    std::unique_ptr<Testbed> bed_;
    std::string root_;
    int event_pipe_[2] = {-1, -1};
    mutable std::mutex events_lock_;
    std::vector<UsbEvent> events_;
    std::vector<std::unique_ptr<Device>> devices_;
    unsigned next_devnum_ = 2;
    friend struct Device;
};

// The LD_PRELOAD value a client (or this program, re-executed) needs: the
// preload library, after the AddressSanitizer runtime when this process has it.
std::string UsbPreloadValue();
// True when this process already runs under umockdev's preload library.
bool UsbPreloaded();

} // namespace tarnixsim
