#include "Usb.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

namespace tarnixsim {
namespace {

constexpr size_t kMaxInQueue = 64 * 1024; // module bytes waiting for a host that does not read
constexpr size_t kReadyChunk = 4096;      // what a pipe needs free to report POLLOUT
constexpr uint8_t kSerialIndex = 3;       // the serial string's index in the device descriptor
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// A string descriptor from UTF-8 text (characters outside the BMP become '?').
Bytes stringDescriptor(const std::string& text) {
    std::vector<uint16_t> units;
    for (size_t i = 0; i < text.size() && units.size() < 126;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp = '?';
        size_t n = 1;
        if (c < 0x80) cp = c;
        else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) { cp = ((c & 0x1F) << 6) | (text[i + 1] & 0x3F); n = 2; }
        else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = ((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
            n = 3;
        } else if ((c & 0xF8) == 0xF0) n = 4;
        units.push_back(cp > 0xFFFF ? '?' : static_cast<uint16_t>(cp));
        i += n;
    }
    Bytes d{static_cast<uint8_t>(2 + 2 * units.size()), 3};
    for (uint16_t u : units) put16(d, u);
    return d;
}

struct DataRef {
    UMockdevIoctlData* p = nullptr;
    explicit DataRef(UMockdevIoctlData* d = nullptr) : p(d) {}
    ~DataRef() {
        if (p) g_object_unref(p);
    }
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
};

std::string procMapsPath(const char* name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash == std::string::npos) continue;
        const std::string path = line.substr(slash);
        const size_t base = path.rfind('/');
        if (path.find(name, base) != std::string::npos) return path;
    }
    return "";
}

} // namespace

struct UsbBed::Testbed {
    UMockdevTestbed* bed = nullptr;
};

struct UsbBed::Device {
    // An URB the host submitted, with the resolved memory we answer through.
    struct Urb {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        uint64_t address = 0; // the client's pointer, as DISCARDURB names it
        UMockdevIoctlClient* client = nullptr;
        usbdevfs_urb* view() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
        void release() {
            if (buffer) g_object_unref(buffer);
            if (urb) g_object_unref(urb);
            buffer = urb = nullptr;
        }
    };

    UsbBed* bed = nullptr;
    int id = 0;
    UsbShape shape;
    std::string syspath, devnode, fifo;
    UMockdevIoctlBase* handler = nullptr;
    Bytes device_descriptor, configuration;
    std::vector<Bytes> strings; // by index; 0 is the language list

    mutable std::mutex lock;
    bool present = true;
    UsbFaults faults;
    bool halted_in = false, halted_out = false;
    UMockdevIoctlClient* owner = nullptr; // holds the interface claim (referenced)
    std::deque<Urb> pending_in;           // IN URBs waiting for module bytes
    std::deque<Urb> reapable;             // finished URBs, handed back on REAPURBNDELAY
    Bytes in_queue;
    int ready_fd = -1; // our end of the node's named pipe, kept full while nothing is reapable
    bool signalled = false;
    unsigned serial_reads = 0; // requests for the serial string answered

    ~Device() {
        for (auto& u : pending_in) u.release();
        for (auto& u : reapable) u.release();
        if (owner) g_object_unref(owner);
        if (ready_fd >= 0) ::close(ready_fd);
        if (handler) g_object_unref(handler);
    }

    uint8_t inEndpoint() const { return 0x81; }
    uint8_t outEndpoint() const { return 0x02; }

    void build() {
        const bool configured = shape.defect != UsbShape::Defect::NoConfiguration;
        device_descriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
        put16(device_descriptor, shape.vendor);
        put16(device_descriptor, shape.product);
        put16(device_descriptor, 0x0100);
        device_descriptor.insert(device_descriptor.end(), {1, 2, kSerialIndex, static_cast<uint8_t>(configured ? 1 : 0)});
        configuration.clear();
        if (configured) {
            Bytes endpoints;
            auto endpoint = [&](uint8_t address) {
                endpoints.insert(endpoints.end(), {7, 5, address, 2});
                put16(endpoints, shape.max_packet);
                endpoints.push_back(0);
            };
            if (shape.defect != UsbShape::Defect::NoInEndpoint) endpoint(inEndpoint());
            if (shape.defect != UsbShape::Defect::NoOutEndpoint) endpoint(outEndpoint());
            const bool vendor = shape.defect != UsbShape::Defect::NoInterface;
            Bytes iface{9, 4, 0, 0, static_cast<uint8_t>(endpoints.size() / 7), 0xFF,
                        static_cast<uint8_t>(vendor ? 0x88 : 0x00), static_cast<uint8_t>(vendor ? 0x10 : 0x00), 0};
            configuration = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
            configuration.insert(configuration.end(), iface.begin(), iface.end());
            configuration.insert(configuration.end(), endpoints.begin(), endpoints.end());
            configuration[2] = static_cast<uint8_t>(configuration.size());
            configuration[3] = static_cast<uint8_t>(configuration.size() >> 8);
        }
        strings = {Bytes{4, 3, 0x09, 0x04}, stringDescriptor("Velorn"), stringDescriptor(shape.product_name),
                   stringDescriptor(shape.serial)};
    }

    // Readiness: the host polls its node for POLLOUT; the node is a named pipe
    // that we keep full while nothing is reapable, so the host sleeps instead
    // of spinning on empty reaps.
    void signalLocked() {
        if (signalled || ready_fd < 0 || reapable.empty()) return;
        char sink[kReadyChunk];
        ssize_t n = ::read(ready_fd, sink, sizeof sink);
        (void)n;
        signalled = true;
    }
    void quietLocked() {
        if (!signalled || ready_fd < 0 || !reapable.empty() || !present) return;
        static const char fill[kReadyChunk] = {};
        while (::write(ready_fd, fill, sizeof fill) > 0) {
        }
        signalled = false;
    }
    // Gone for good: the node stays ready so hosts notice at once.
    void drainLocked() {
        if (ready_fd < 0) return;
        char sink[kReadyChunk];
        while (::read(ready_fd, sink, sizeof sink) > 0) {
        }
        signalled = true;
    }

    void finishLocked(Urb u, int status, int actual) {
        u.view()->status = status;
        u.view()->actual_length = actual;
        reapable.push_back(u);
    }

    void feedInLocked() {
        while (!pending_in.empty() && !in_queue.empty()) {
            Urb u = pending_in.front();
            pending_in.pop_front();
            const size_t room = u.buffer ? static_cast<size_t>(u.view()->buffer_length) : 0;
            const size_t n = std::min(room, in_queue.size());
            if (n) std::memcpy(u.buffer->data, in_queue.data(), n);
            in_queue.erase(in_queue.begin(), in_queue.begin() + static_cast<long>(n));
            // Hardware ends a transfer on a short packet (or a zero-length one
            // after a whole number of packets): the host gets what is queued.
            finishLocked(u, 0, static_cast<int>(n));
        }
    }

    static bool fire(int& count) {
        if (count == 0) return false;
        if (count > 0) --count;
        return true;
    }

    bool ownerGoneLocked() const { return owner && !umockdev_ioctl_client_get_connected(owner); }

    // The device answers endpoint 0's standard requests it needs for enumeration.
    void controlLocked(Urb u) {
        const int length = u.view()->buffer_length;
        if (!u.buffer || length < 8) return finishLocked(u, -EINVAL, 0);
        uint8_t* setup = u.buffer->data;
        const uint8_t type = setup[0], request = setup[1];
        const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
        const uint16_t wanted = static_cast<uint16_t>(setup[6] | setup[7] << 8);
        Bytes answer;
        bool known = true;
        if ((type & 0x80) && request == 6) { // GET_DESCRIPTOR
            const uint8_t kind = value >> 8, index = value & 0xFF;
            if (kind == 1) answer = device_descriptor;
            else if (kind == 2 && index == 0 && !configuration.empty()) answer = configuration;
            else if (kind == 3 && index < strings.size()) answer = strings[index];
            else known = false;
            if (kind == 3 && index == kSerialIndex) ++serial_reads;
        } else if ((type & 0x80) && request == 0) { // GET_STATUS
            answer = {0, 0};
        } else if ((type & 0x80) && request == 8) { // GET_CONFIGURATION
            answer = {static_cast<uint8_t>(configuration.empty() ? 0 : 1)};
        } else if (type & 0x80) {
            known = false;
        }
        if (!known) return finishLocked(u, -EPIPE, 0);
        const size_t n = std::min({answer.size(), static_cast<size_t>(wanted), static_cast<size_t>(length - 8)});
        if (n) std::memcpy(setup + 8, answer.data(), n);
        finishLocked(u, 0, static_cast<int>(n));
    }

    // Returns true when the device vanished with this transfer.
    bool bulkLocked(Urb u) {
        usbdevfs_urb* urb = u.view();
        const bool in = (urb->endpoint & 0x80) != 0;
        if (faults.vanish_ms >= 0) {
            finishLocked(u, -ESHUTDOWN, 0);
            return true;
        }
        if (fire(faults.io_errors)) {
            finishLocked(u, -EPROTO, 0);
            return false;
        }
        bool& halted = in ? halted_in : halted_out;
        if (fire(in ? faults.stall_in : faults.stall_out)) halted = true;
        if (halted) {
            finishLocked(u, -EPIPE, 0);
            return false;
        }
        if (in) {
            pending_in.push_back(u);
            feedInLocked();
            return false;
        }
        const bool partial = fire(faults.partial_out);
        const int length = partial ? urb->buffer_length / 2 : urb->buffer_length;
        if (length > 0) bed->post(UsbEvent{UsbEvent::Data, id, Bytes(u.buffer->data, u.buffer->data + length)});
        finishLocked(u, partial ? -EPROTO : 0, length);
        return false;
    }

    void goneLocked() {
        present = false;
        for (auto& u : pending_in) finishLocked(u, -ESHUTDOWN, 0);
        pending_in.clear();
        if (owner) g_object_unref(owner);
        owner = nullptr;
        drainLocked();
    }

    gboolean ioctl(UMockdevIoctlClient* client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard<std::mutex> guard(lock);
        auto done = [&](long result, int error) { umockdev_ioctl_client_complete(client, result, error); };
        auto resolve = [&](UMockdevIoctlData* data, size_t offset, size_t length) {
            return umockdev_ioctl_data_resolve(data, offset, length, nullptr);
        };
        if (request == USBDEVFS_REAPURBNDELAY) {
            auto it = std::find_if(reapable.begin(), reapable.end(), [&](const Urb& u) { return u.client == client; });
            if (it == reapable.end()) {
                quietLocked();
                done(-1, present ? EAGAIN : ENODEV);
                return TRUE;
            }
            Urb u = *it;
            reapable.erase(it);
            DataRef slot(resolve(arg, 0, sizeof(void*)));
            if (slot.p) umockdev_ioctl_data_set_ptr(slot.p, 0, u.urb);
            done(slot.p ? 0 : -1, slot.p ? 0 : EFAULT);
            u.release();
            quietLocked();
            return TRUE;
        }
        if (!present) {
            done(-1, ENODEV);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            DataRef caps(resolve(arg, 0, sizeof(uint32_t)));
            if (caps.p) {
                const uint32_t v = kCapabilities;
                std::memcpy(caps.p->data, &v, sizeof v);
            }
            done(caps.p ? 0 : -1, caps.p ? 0 : EFAULT);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: done(-1, ENODATA); return TRUE;
        case USBDEVFS_CLAIMINTERFACE: {
            if (ownerGoneLocked()) {
                g_object_unref(owner);
                owner = nullptr;
            }
            if (faults.held || (owner && owner != client)) {
                done(-1, EBUSY);
                return TRUE;
            }
            if (!owner) {
                owner = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
                in_queue.clear();
                bed->post(UsbEvent{UsbEvent::Claimed, id, {}});
            }
            done(0, 0);
            return TRUE;
        }
        case USBDEVFS_RELEASEINTERFACE:
            if (owner == client) {
                g_object_unref(owner);
                owner = nullptr;
                in_queue.clear();
                bed->post(UsbEvent{UsbEvent::Released, id, {}});
            }
            done(0, 0);
            return TRUE;
        case USBDEVFS_CLEAR_HALT: {
            DataRef ep(resolve(arg, 0, sizeof(unsigned int)));
            unsigned int endpoint = 0;
            if (ep.p) std::memcpy(&endpoint, ep.p->data, sizeof endpoint);
            if (endpoint & 0x80) halted_in = false;
            else halted_out = false;
            done(0, 0);
            return TRUE;
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESET: done(0, 0); return TRUE;
        case USBDEVFS_DISCARDURB: {
            uint64_t address = 0;
            std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
            auto it = std::find_if(pending_in.begin(), pending_in.end(),
                                   [&](const Urb& u) { return u.client == client && u.address == address; });
            if (it == pending_in.end()) {
                done(-1, EINVAL);
                return TRUE;
            }
            Urb u = *it;
            pending_in.erase(it);
            finishLocked(u, -ENOENT, 0);
            done(0, 0);
            signalLocked();
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: {
            Urb u;
            u.client = client;
            std::memcpy(&u.address, arg->data, std::min<size_t>(sizeof u.address, static_cast<size_t>(arg->data_len)));
            u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
            if (!u.urb) {
                done(-1, EFAULT);
                return TRUE;
            }
            const int length = u.view()->buffer_length;
            if (length > 0) u.buffer = resolve(u.urb, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(length));
            if (length < 0 || (length > 0 && !u.buffer)) {
                u.release();
                done(-1, EFAULT);
                return TRUE;
            }
            const unsigned char type = u.view()->type;
            bool vanished = false;
            if (type == USBDEVFS_URB_TYPE_CONTROL) controlLocked(u);
            else if (type == USBDEVFS_URB_TYPE_BULK || type == USBDEVFS_URB_TYPE_INTERRUPT) vanished = bulkLocked(u);
            else {
                u.release();
                done(-1, EINVAL);
                return TRUE;
            }
            done(0, 0);
            if (vanished) {
                const long back = faults.vanish_ms;
                faults.vanish_ms = -1;
                goneLocked();
                bed->post(UsbEvent{UsbEvent::Vanished, id, {static_cast<uint8_t>(back >> 24), static_cast<uint8_t>(back >> 16),
                                                            static_cast<uint8_t>(back >> 8), static_cast<uint8_t>(back)}});
            }
            signalLocked();
            return TRUE;
        }
        default: done(-1, ENOTTY); return TRUE;
        }
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<Device*>(self)->ioctl(client);
    }
    // Each open of the node is a new client; forget what clients that are gone left behind.
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
        Device* d = static_cast<Device*>(self);
        std::lock_guard<std::mutex> guard(d->lock);
        auto stale = [](Urb& u) {
            if (umockdev_ioctl_client_get_connected(u.client)) return false;
            u.release();
            return true;
        };
        d->pending_in.erase(std::remove_if(d->pending_in.begin(), d->pending_in.end(), stale), d->pending_in.end());
        d->reapable.erase(std::remove_if(d->reapable.begin(), d->reapable.end(), stale), d->reapable.end());
        d->quietLocked();
    }
};

UsbBed::UsbBed() : bed_(std::make_unique<Testbed>()) {
    if (::pipe2(event_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    bed_->bed = umockdev_testbed_new();
    if (!bed_->bed) throw std::runtime_error("cannot create the umockdev test bed");
    gchar* root = umockdev_testbed_get_root_dir(bed_->bed);
    root_ = root ? root : "";
    g_free(root);
}

UsbBed::~UsbBed() {
    for (auto& d : devices_) {
        if (!d->syspath.empty() && d->present)
            umockdev_testbed_uevent(bed_->bed, ("/sys" + d->syspath).c_str(), "remove");
        if (d->handler) umockdev_testbed_detach_ioctl(bed_->bed, d->devnode.c_str(), nullptr);
    }
    devices_.clear();
    // Unreferencing the test bed removes its directory.
    if (bed_->bed) g_object_unref(bed_->bed);
    for (int fd : event_pipe_)
        if (fd >= 0) ::close(fd);
}

UMockdevTestbed* UsbBed::testbed() const {
    return bed_->bed;
}

unsigned UsbBed::takeDevnum() {
    const unsigned devnum = next_devnum_;
    next_devnum_ = next_devnum_ >= 127 ? 2 : next_devnum_ + 1;
    return devnum;
}

void UsbBed::post(UsbEvent event) {
    {
        std::lock_guard<std::mutex> guard(events_lock_);
        events_.push_back(std::move(event));
    }
    const char b = 1;
    ssize_t n = ::write(event_pipe_[1], &b, 1);
    (void)n;
}

std::vector<UsbEvent> UsbBed::take() {
    char sink[256];
    while (::read(event_pipe_[0], sink, sizeof sink) > 0) {
    }
    std::lock_guard<std::mutex> guard(events_lock_);
    std::vector<UsbEvent> out;
    out.swap(events_);
    return out;
}

UsbBed::Device* UsbBed::find(int device) const {
    return device >= 0 && static_cast<size_t>(device) < devices_.size() ? devices_[static_cast<size_t>(device)].get()
                                                                         : nullptr;
}

int UsbBed::plug(const UsbShape& shape, unsigned port, std::string& node) {
    auto d = std::make_unique<Device>();
    d->bed = this;
    d->id = static_cast<int>(devices_.size());
    d->shape = shape;
    d->build();
    // A new device number for every appearance, as a real bus hands out.
    const unsigned devnum = takeDevnum();
    char buf[64];
    std::snprintf(buf, sizeof buf, "bus/usb/001/%03u", devnum);
    node = buf;
    d->devnode = "/dev/" + node;
    std::snprintf(buf, sizeof buf, "/devices/pci0000:00/0000:00:14.0/usb1/1-%u", port);
    d->syspath = buf;
    // An earlier device may have left a handler on this node (numbers wrap).
    for (auto& old : devices_)
        if (old->handler && old->devnode == d->devnode) {
            umockdev_testbed_detach_ioctl(bed_->bed, old->devnode.c_str(), nullptr);
            g_object_unref(old->handler);
            old->handler = nullptr;
        }
    Bytes descriptors = d->device_descriptor;
    descriptors.insert(descriptors.end(), d->configuration.begin(), d->configuration.end());
    std::string hex;
    for (uint8_t b : descriptors) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    const bool fast = shape.max_packet > 64;
    std::string text;
    auto line = [&](const std::string& l) { text += l + "\n"; };
    line("P: " + d->syspath);
    line("N: " + node);
    line("E: SUBSYSTEM=usb");
    line("E: DEVTYPE=usb_device");
    line("E: DEVNAME=" + d->devnode);
    std::snprintf(buf, sizeof buf, "%03u", devnum);
    line("E: BUSNUM=001");
    line(std::string("E: DEVNUM=") + buf);
    std::snprintf(buf, sizeof buf, "E: PRODUCT=%x/%x/100", shape.vendor, shape.product);
    line(buf);
    line("A: busnum=1");
    line("A: devnum=" + std::to_string(devnum));
    line("A: dev=189:" + std::to_string(devnum - 1));
    line(std::string("A: speed=") + (fast ? "480" : "12"));
    line(std::string("A: bConfigurationValue=") + (d->configuration.empty() ? "" : "1"));
    std::snprintf(buf, sizeof buf, "A: idVendor=%04x", shape.vendor);
    line(buf);
    std::snprintf(buf, sizeof buf, "A: idProduct=%04x", shape.product);
    line(buf);
    line("H: descriptors=" + hex);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_->bed, text.c_str(), &error)) {
        std::string why = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("cannot add USB device " + d->syspath + ": " + why);
    }
    // The node as a named pipe we keep full: see Device::signalLocked.
    d->fifo = root_ + d->devnode;
    ::unlink(d->fifo.c_str());
    if (::mkfifo(d->fifo.c_str(), 0666) != 0 || (d->ready_fd = ::open(d->fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
        throw std::runtime_error("cannot make the device node " + d->fifo + ": " + std::strerror(errno));
    ::chmod(d->fifo.c_str(), 0666);
    d->signalled = true;
    d->quietLocked();
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(Device::onIoctl), d.get());
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(Device::onConnected), d.get());
    if (!umockdev_testbed_attach_ioctl(bed_->bed, d->devnode.c_str(), d->handler, &error)) {
        std::string why = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("cannot attach to " + d->devnode + ": " + why);
    }
    devices_.push_back(std::move(d));
    return static_cast<int>(devices_.size() - 1);
}

void UsbBed::unplug(int device) {
    Device* d = find(device);
    if (!d || d->syspath.empty()) return;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        d->goneLocked();
    }
    // The preload sends no event for a removal: send it first, then remove.
    const std::string sys = "/sys" + d->syspath;
    umockdev_testbed_uevent(bed_->bed, sys.c_str(), "remove");
    umockdev_testbed_remove_device(bed_->bed, sys.c_str());
    d->syspath.clear();
}

bool UsbBed::present(int device) const {
    Device* d = find(device);
    if (!d) return false;
    std::lock_guard<std::mutex> guard(d->lock);
    return d->present;
}

unsigned UsbBed::serialReads(int device) const {
    Device* d = find(device);
    if (!d) return 0;
    std::lock_guard<std::mutex> guard(d->lock);
    return d->serial_reads;
}

bool UsbBed::claimed(int device) const {
    Device* d = find(device);
    if (!d) return false;
    std::lock_guard<std::mutex> guard(d->lock);
    return d->owner != nullptr;
}

void UsbBed::deliver(int device, const Bytes& bytes) {
    Device* d = find(device);
    if (!d) return;
    std::lock_guard<std::mutex> guard(d->lock);
    if (!d->present || !d->owner) return; // nobody listens
    const size_t room = kMaxInQueue > d->in_queue.size() ? kMaxInQueue - d->in_queue.size() : 0;
    if (bytes.size() > room) return;
    d->in_queue.insert(d->in_queue.end(), bytes.begin(), bytes.end());
    d->feedInLocked();
    d->signalLocked();
}

UsbFaults UsbBed::faults(int device) const {
    Device* d = find(device);
    if (!d) return {};
    std::lock_guard<std::mutex> guard(d->lock);
    return d->faults;
}

void UsbBed::setFaults(int device, const UsbFaults& faults) {
    Device* d = find(device);
    if (!d) return;
    std::lock_guard<std::mutex> guard(d->lock);
    d->faults = faults;
}

bool UsbPreloaded() {
    return !procMapsPath("libumockdev-preload").empty();
}

std::string UsbPreloadValue() {
    std::string value;
    const std::string asan = procMapsPath("libasan.so");
    if (!asan.empty()) value = asan + ":";
    value += "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD")) {
        std::string rest = old;
        size_t start = 0;
        while (start <= rest.size()) {
            size_t end = rest.find_first_of(": ", start);
            if (end == std::string::npos) end = rest.size();
            const std::string item = rest.substr(start, end - start);
            if (!item.empty() && item.find("libumockdev-preload") == std::string::npos && item.find("libasan") == std::string::npos)
                value += ":" + item;
            start = end + 1;
        }
    }
    return value;
}

} // namespace tarnixsim
