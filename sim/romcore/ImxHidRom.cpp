// The i.MX serial download ROM as a USB HID device in a umockdev test bed:
// output reports 1 (command) and 2 (data), input reports 3 (security mode)
// and 4 (status or data). umockdev calls the handlers below on its worker
// thread; the ROM's state is behind one lock.
#include "ImxHidRom.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <mutex>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>
#include <vector>

#include "Port.h"
#include "SparseRam.h"

namespace bootrom {

namespace {

// Vendor-defined: reports 1 (16 bytes out), 2 (1024 out), 3 (4 in), 4 (64 in).
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
    0xC0};

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// The USB device's sysfs path.
std::string UsbPath(unsigned port) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
}

// The HID device's name below its interface.
std::string HidName(unsigned hidraw) {
    char instance[8];
    std::snprintf(instance, sizeof instance, "%04X", hidraw + 1);
    return std::string("0003:1FC9:0130.") + instance;
}

// Every sysfs path the device adds, children first.
std::vector<std::string> SysfsPaths(unsigned port, unsigned hidraw) {
    const std::string usb = UsbPath(port);
    const std::string iface = usb + "/1-" + std::to_string(port) + ":1.0";
    const std::string hid = iface + "/" + HidName(hidraw);
    return {"/sys" + hid + "/hidraw/hidraw" + std::to_string(hidraw), "/sys" + hid, "/sys" + iface, "/sys" + usb};
}

std::string SysfsText(unsigned port, unsigned devnum, unsigned hidraw) {
    // Device descriptor, then a configuration with one HID interface and two
    // interrupt endpoints.
    const uint8_t device[] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xC9, 0x1F, 0x30, 0x01, 0x01, 0x00, 1, 2, 0, 1};
    const uint8_t config[] = {9, 2, 41, 0, 1, 1, 0, 0xC0, 50,
                              9, 4, 0, 0, 2, 3, 0, 0, 0,
                              9, 0x21, 0x10, 0x01, 0, 1, 0x22, sizeof kReportDescriptor, 0,
                              7, 5, 0x81, 3, 64, 0, 1,
                              7, 5, 0x01, 3, 64, 0, 1};
    const std::string port1 = "1-" + std::to_string(port);
    const std::string usb = UsbPath(port);
    const std::string hidName = HidName(hidraw);
    const std::string hid = usb + "/" + port1 + ":1.0/" + hidName;
    const std::string raw = "hidraw" + std::to_string(hidraw);
    char num[8];
    std::snprintf(num, sizeof num, "%03u", devnum);
    const std::string node = std::string("bus/usb/001/") + num;
    return "P: " + usb + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
           "E: DEVNAME=/dev/" + node + "\nE: BUSNUM=001\nE: DEVNUM=" + num + "\nA: busnum=1\nA: devnum=" +
           std::to_string(devnum) + "\n"
           "A: idVendor=1fc9\nA: idProduct=0130\nA: bcdDevice=0001\nA: manufacturer=NXP SEMICONDUCTOR INC.\n"
           "A: product=SE Blank RT Family\nA: speed=480\nA: dev=189:" + std::to_string(devnum - 1) +
           "\nA: bConfigurationValue=1\n"
           "H: descriptors=" + Hex(device, sizeof device) + Hex(config, sizeof config) + "\n\n"
           "P: " + usb + "/" + port1 + ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=03\n"
           "A: bInterfaceNumber=00\n\n"
           "P: " + hid + "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00001FC9:00000130\n"
           "E: HID_NAME=NXP SEMICONDUCTOR INC. SE Blank RT Family\nE: HID_UNIQ=\n"
           "H: report_descriptor=" + Hex(kReportDescriptor, sizeof kReportDescriptor) + "\n\n"
           "P: " + hid + "/hidraw/" + raw + "\nN: " + raw + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + raw + "\n"
           "A: dev=247:" + std::to_string(hidraw) + "\nL: device=../../../" + hidName + "\n";
}

class HidRom {
public:
    HidRom(const HidRomOptions& o, std::function<void(uint32_t)> j) : opt(o), onJump(std::move(j)) {}
    int master = -1; // the hidraw node's terminal: one byte per queued input report
    int tokens = -1; // our end of it, to take the bytes back

    // After the device was unplugged every operation on the node fails.
    bool vanished() {
        std::lock_guard<std::mutex> lock(mutex);
        return gone;
    }
    void vanish() {
        std::lock_guard<std::mutex> lock(mutex);
        gone = true;
    }

    void output(const uint8_t* p, size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        if (n == 0 || opt.faults.count("silent")) return;
        if (p[0] == 1 && n >= 17 && !inData) return command(p + 1);
        if (p[0] == 2 && inData) {
            for (size_t i = 1; i < n && done < length; ++i) {
                ram.load(address + done, p[i]);
                done++;
            }
            if (done >= length) finishData();
        }
    }

    // The next input report, or empty.
    std::vector<uint8_t> input() {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) return {};
        auto r = queue.front();
        queue.pop_front();
        uint8_t token;
        (void)!read(tokens, &token, 1);
        return r;
    }

private:
    static uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
    void log(const std::string& s) {
        if (opt.verbose) std::fprintf(stderr, "imx-sdp-hid-sim: %s\n", s.c_str());
    }
    void report(uint8_t id, const std::vector<uint32_t>& words) {
        std::vector<uint8_t> r(id == 3 ? 5 : 65, 0);
        r[0] = id;
        for (size_t i = 0; i < words.size() && 1 + 4 * i + 4 <= r.size(); ++i)
            for (int b = 0; b < 4; ++b) r[1 + 4 * i + b] = (uint8_t)(words[i] >> (8 * b));
        queue.push_back(r);
        uint8_t token = 0;
        (void)!write(master, &token, 1);
    }
    void command(const uint8_t* c) {
        uint16_t type = (uint16_t)(c[0] << 8 | c[1]);
        uint32_t a = be32(c + 2), count = be32(c + 7);
        char text[96];
        std::snprintf(text, sizeof text, "command %04X address %08X count %u", type, a, count);
        log(text);
        switch (type) {
        case 0x0101: {
            report(3, {opt.security});
            uint32_t words = count < 4 ? 1 : (count + 3) / 4;
            for (uint32_t i = 0; i < words; i += 16) {
                std::vector<uint32_t> chunk;
                for (uint32_t k = i; k < words && k < i + 16; ++k) {
                    auto r = opt.registers.find(a + 4 * k);
                    uint32_t v = 0;
                    if (r != opt.registers.end()) v = r->second;
                    else for (int b = 3; b >= 0; --b) v = v << 8 | ram.at(a + 4 * k + b);
                    chunk.push_back(v);
                }
                report(4, chunk);
            }
            return;
        }
        case 0x0404:
        case 0x0A0A:
            if (type == 0x0404 && opt.faults.count("vanish")) {
                log("unplugged");
                gone = true;
                return;
            }
            dataType = type, address = a, length = count, done = 0;
            inData = length > 0;
            if (!inData) finishData();
            return;
        case 0x0505:
            report(3, {opt.security});
            report(4, {0xF0F0F0F0});
            return;
        case 0x0B0B:
            report(3, {opt.security});
            ram.dump(opt.dumpFile);
            if (onJump) onJump(a);
            return;
        default:
            report(3, {opt.security});
            return;
        }
    }
    void finishData() {
        inData = false;
        if (opt.faults.count("no-complete")) return;
        report(3, {opt.security});
        report(4, {dataType == 0x0A0A ? 0x128A8A12u : 0x88888888u});
    }

    const HidRomOptions opt;
    std::function<void(uint32_t)> onJump;
    std::mutex mutex;
    std::deque<std::vector<uint8_t>> queue;
    SparseRam ram;
    bool inData = false;
    bool gone = false;
    uint16_t dataType = 0;
    uint32_t address = 0, length = 0, done = 0;
};

// Copies `bytes` into the client's memory behind the ioctl's pointer argument.
bool ReturnThroughPointer(UMockdevIoctlClient* client, const void* bytes, size_t n) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, n, &error);
    if (target == nullptr) {
        g_clear_error(&error);
        return false;
    }
    umockdev_ioctl_data_update(target, 0, (guint8*)bytes, (gint)n);
    g_object_unref(target);
    return true;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    if (static_cast<HidRom*>(user)->vanished()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    unsigned long request = umockdev_ioctl_client_get_request(client);
    bool ok = false;
    if (request == HIDIOCGRDESCSIZE) {
        int size = sizeof kReportDescriptor;
        ok = ReturnThroughPointer(client, &size, sizeof size);
    } else if (request == HIDIOCGRDESC) {
        struct hidraw_report_descriptor d {};
        d.size = sizeof kReportDescriptor;
        std::memcpy(d.value, kReportDescriptor, sizeof kReportDescriptor);
        ok = ReturnThroughPointer(client, &d, sizeof d);
    } else if (request == HIDIOCGRAWINFO) {
        struct hidraw_devinfo info {};
        info.bustype = 3; // USB
        info.vendor = (__s16)0x1FC9;
        info.product = (__s16)0x0130;
        ok = ReturnThroughPointer(client, &info, sizeof info);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, ok ? 0 : -1, ok ? 0 : EFAULT);
    return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    HidRom* rom = static_cast<HidRom*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (rom->vanished()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    std::vector<uint8_t> r = rom->input();
    if (r.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    size_t n = std::min<size_t>(r.size(), (size_t)arg->data_len);
    umockdev_ioctl_data_update(arg, 0, r.data(), (gint)n);
    umockdev_ioctl_client_complete(client, (glong)n, 0);
    return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    HidRom* rom = static_cast<HidRom*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (rom->vanished()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    rom->output(arg->data, (size_t)arg->data_len);
    umockdev_ioctl_client_complete(client, arg->data_len, 0);
    return TRUE;
}

} // namespace

struct ImxHidRom::State {
    State(const HidRomOptions& o, std::function<void(uint32_t)> j) : rom(o, std::move(j)) {}
    HidRom rom;
    UMockdevIoctlBase* handler = nullptr;
};

bool ParseFuses(const std::string& v, HidRomOptions& o) {
    const size_t comma = v.find(',');
    return comma != std::string::npos && ParseU32(v.substr(0, comma), o.registers[0x401F4410]) &&
           ParseU32(v.substr(comma + 1), o.registers[0x401F4420]);
}

bool KnownHidRomFault(const std::string& v) {
    return v == "silent" || v == "no-complete" || v == "vanish";
}

ImxHidRom::ImxHidRom(UMockdevTestbed* testbed, const HidRomOptions& options, std::function<void(uint32_t)> onJump)
    : testbed_(testbed), state_(std::make_unique<State>(options, std::move(onJump))) {
    GError* error = nullptr;
    auto fail = [&](const std::string& what) {
        std::string why = what + (error ? std::string(": ") + error->message : std::string());
        g_clear_error(&error);
        if (state_->handler) {
            umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
            g_object_unref(state_->handler);
        }
        if (state_->rom.tokens >= 0) close(state_->rom.tokens);
        throw std::runtime_error(why);
    };
    node_ = "/dev/hidraw" + std::to_string(options.hidraw);
    syspaths_ = SysfsPaths(options.port, options.hidraw);
    if (!umockdev_testbed_add_from_string(testbed, SysfsText(options.port, options.devnum, options.hidraw).c_str(), &error))
        fail("cannot describe the i.MX ROM device");
    HidRom* rom = &state_->rom;
    state_->handler = umockdev_ioctl_base_new();
    g_signal_connect(state_->handler, "handle-ioctl", G_CALLBACK(OnIoctl), rom);
    g_signal_connect(state_->handler, "handle-read", G_CALLBACK(OnRead), rom);
    g_signal_connect(state_->handler, "handle-write", G_CALLBACK(OnWrite), rom);
    if (!umockdev_testbed_attach_ioctl(testbed, node_.c_str(), state_->handler, &error))
        fail("cannot attach to " + node_);
    // Polls on the node go to its terminal: a byte there per queued report
    // makes the client's poll see input; the bytes are taken back on reads.
    rom->master = umockdev_testbed_get_dev_fd(testbed, node_.c_str());
    const char* slave = rom->master >= 0 ? ptsname(rom->master) : nullptr;
    if (slave != nullptr) rom->tokens = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (rom->tokens < 0) fail("cannot open the hidraw node's terminal");
    struct termios t;
    tcgetattr(rom->tokens, &t);
    cfmakeraw(&t);
    tcsetattr(rom->tokens, TCSANOW, &t);
}

void ImxHidRom::unplug() {
    if (!plugged_) return;
    plugged_ = false;
    state_->rom.vanish();
    // The preload sends no event for a removal: send each, then remove the
    // device and everything below it, children first (their nodes and
    // class links go with them).
    for (const std::string& path : syspaths_) umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    for (const std::string& path : syspaths_) umockdev_testbed_remove_device(testbed_, path.c_str());
}

ImxHidRom::~ImxHidRom() {
    umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
    g_object_unref(state_->handler);
    if (state_->rom.tokens >= 0) close(state_->rom.tokens);
}

} // namespace bootrom
