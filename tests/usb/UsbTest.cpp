// The USB driver, the USB stream and USB links, run over the real libusb
// against tarnix-sim's virtual USB modules (each test its own simulator and
// TMPDIR, so a test bed left by a crash is easy to find and remove).
#include <arpa/inet.h>
#include <libusb.h>
#include <netinet/in.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Module.h"
#include "Process.h"
#include "SystemClass.h"
#include "TempDir.h"
#include "aLink.h"
#include "aStreamTransport.h"
#include "aDiscovery.h"
#include "aUSBPrivate.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// One simulator serving USB modules; its test bed becomes this process's.
class UsbSim {
public:
    explicit UsbSim(const std::string& config)
    {
        testsupport::WriteFile(dir_ / "sim.ini", config);
        testsupport::RunOptions options;
        options.env["TMPDIR"] = dir_.path();
        process_ = std::make_unique<testsupport::Background>(
            std::vector<std::string>{TARNIX_SIM_BIN, "--log", dir_ / "sim.log", "--trace", dir_ / "sim.ini"}, options);
        ready_ = !process_->WaitForLine("READY", 20000ms).empty();
        std::istringstream out(process_->output());
        std::string line;
        while (std::getline(out, line)) {
            if (line.rfind("env UMOCKDEV_DIR=", 0) == 0)
                root_ = line.substr(17);
            else if (line.rfind("control ", 0) == 0)
                control_ = std::stoi(line.substr(line.rfind(':') + 1));
        }
        // A fresh libusb context sees this test bed only.
        Tarnix_libusb_exit();
        setenv("UMOCKDEV_DIR", root_.c_str(), 1);
    }
    ~UsbSim()
    {
        Tarnix_libusb_exit();
        process_->Stop();
        unsetenv("UMOCKDEV_DIR");
    }
    bool ready() const { return ready_ && !root_.empty(); }
    // Lets an ordinary user reach the test bed, as a machine's /sys and /dev,
    // with the modules' device nodes in mode `nodeMode` (octal digits).
    void openToUsers(const std::string& nodeMode) const
    {
        ::chmod(dir_.path().c_str(), 0755);
        testsupport::Run({"/bin/chmod", "-R", "a+rwX", root_});
        testsupport::Run({"/bin/bash", "-c", "chmod " + nodeMode + " \"$0\"/dev/bus/usb/*/*", root_});
    }
    std::string log() const { return testsupport::ReadFile(dir_ / "sim.log"); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds bound = 5000ms) const
    {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (log().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    std::string control(const std::string& line) const;

private:
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::Background> process_;
    bool ready_ = false;
    std::string root_;
    int control_ = 0;
};

std::string UsbSim::control(const std::string& line) const
{
    testsupport::RunOptions options;
    options.stdin_data = line + "\n";
    const std::string script = "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(control_) + "; cat >&3; head -n1 <&3";
    return testsupport::Run({"/bin/bash", "-c", script}, options).out;
}

struct HandleDeleter {
    void operator()(tarnixusb* h) const { (void)tarnixusb_destroy(&h); } // teardown helper: ours, cannot fail
};
using Handle = std::unique_ptr<tarnixusb, HandleDeleter>;

Handle Open(const char* serial, aErr* result)
{
    Handle h(tarnixusb_create_usb(1));
    *result = tarnixusb_open_tarnix_device(h.get(), serial);
    return h;
}

const char* kTwoModules = R"(
[module fast]
serial = 0x1234ABCD
model = 17
address = 4
transport = usb
heartbeat_ms = 100

[module slow]
serial = 0x0BADCAFE
model = 18
address = 6
transport = usb
usb_packet = 64
)";

// A UEI get of the system entity's serial number (option 9) and its answer.
bool AskSerial(aLinkId link, uint8_t address, uint32_t* serial)
{
    const uint8_t request[3] = {3, 9 | 0x40, 0x20};
    aPacket* packet = aPacket_CreateWithData(address, sizeof(request), request);
    EXPECT_EQ(aErrNone, aLink_PutPacket(link, packet));
    EXPECT_EQ(aErrNone, aPacket_Destroy(&packet));
    auto match = [](const aPacket* p, void*) { return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9; };
    aPacket* reply = aLink_AwaitFirst(link, match, nullptr, 2000);
    if (reply == nullptr)
        return false;
    *serial = (uint32_t)reply->data[3] << 24 | reply->data[4] << 16 | reply->data[5] << 8 | reply->data[6];
    EXPECT_EQ(aErrNone, aPacket_Destroy(&reply));
    return true;
}

TEST(UsbDriver, OpensBySerialAndLinksExchangeWithTheModule)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());

    aErr err;
    Handle slow = Open("0BADCAFE", &err);
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(tarnixusb_get_state(slow.get()), TARNIXUSB_STATE_READY);
    EXPECT_EQ(tarnixusb_get_out_packet_size(slow.get()), 64);
    Handle none = Open("DEADBEEF", &err);
    EXPECT_EQ(err, aErrNotFound);
    EXPECT_EQ(tarnixusb_get_state(none.get()), TARNIXUSB_STATE_CREATED);

    // A fresh link is in step with the module within its budget, answers
    // heartbeats and carries UEI round trips.
    const auto t0 = std::chrono::steady_clock::now();
    aLinkId link = aLink_CreateUSB(0x1234ABCD);
    ASSERT_NE(link, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    EXPECT_EQ(aLink_GetStatus(link), linkRunning);
    EXPECT_EQ(aLink_CreateUSB(0x1234ABCD), link); // shared
    for (int i = 0; i < 20; ++i) {
        uint32_t serial = 0;
        ASSERT_TRUE(AskSerial(link, 4, &serial)) << "exchange " << i;
        EXPECT_EQ(serial, 0x1234ABCDu);
    }
    aLinkId copy = link;
    EXPECT_EQ(aErrNone, aLink_Destroy(&copy));
    EXPECT_EQ(aLink_GetStatus(link), linkRunning);
    EXPECT_EQ(aErrNone, aLink_Destroy(&link));
}


// The module's answers to a request packet, read straight from the driver.
Bytes ReadAnswer(tarnixusb* h, size_t count)
{
    Bytes got;
    for (int i = 0; i < 20 && got.size() < count; ++i) {
        uint8_t b;
        aErr err = tarnixusb_get_from_device(h, &b);
        if (err == aErrNone)
            got.push_back(b);
        else if (err != aErrNotReady)
            break;
    }
    return got;
}

const Bytes kEcho = {6, 4, 23, 1, 2, 3}; // command 23 echoes its data
const Bytes kEchoAnswer = {6, 4, 23, 1, 2, 3};

TEST(UsbDriver, RecoversStallsHidesFourIOErrorsAndResendsOnlyTheUnsentRest)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    aErr err;
    Handle h = Open("0BADCAFE", &err); // the module without heartbeats
    ASSERT_EQ(err, aErrNone);

    struct Case {
        const char* fault;
        aErr firstRead; // the read that meets the fault
    } cases[] = {
        {"usb_stall in", aErrNotReady}, // cleared by the driver; the next read works
        {"usb_stall out", aErrNone},    // the write clears the halt and sends again
        {"usb_partial_out 1", aErrNone}, // half went out: only the other half again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(sim.control(std::string("fault slow ") + c.fault).substr(0, 2), "ok");
        if (c.firstRead == aErrNotReady) {
            uint8_t b;
            EXPECT_EQ(tarnixusb_get_from_device(h.get(), &b), aErrNotReady);
        }
        EXPECT_EQ(tarnixusb_write_to_device(h.get(), kEcho.data(), (uint32_t)kEcho.size()), aErrNone);
        EXPECT_EQ(ReadAnswer(h.get(), kEchoAnswer.size()), kEchoAnswer);
    }
    EXPECT_EQ(sim.log().find("framing error"), std::string::npos); // no byte went out twice

    // Four I/O errors in a row are hidden; the fifth fails the handle for good.
    ASSERT_EQ(sim.control("fault slow usb_io_errors 5").substr(0, 2), "ok");
    uint8_t b;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tarnixusb_get_from_device(h.get(), &b), aErrNotReady) << i;
    EXPECT_EQ(tarnixusb_get_from_device(h.get(), &b), aErrIO);
    EXPECT_EQ(tarnixusb_get_state(h.get()), TARNIXUSB_STATE_FAILED);
    EXPECT_EQ(tarnixusb_write_to_device(h.get(), kEcho.data(), (uint32_t)kEcho.size()), aErrIO);
    EXPECT_EQ(tarnixusb_close_tarnix_device(h.get()), aErrNone);
    EXPECT_EQ(tarnixusb_get_state(h.get()), TARNIXUSB_STATE_CLOSED);
}

TEST(UsbDriver, WritesInChunksOfThePacketSizeWithTheRuleFor512)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    for (const char* serial : {"1234ABCD", "0BADCAFE"}) {
        aErr err;
        Handle h = Open(serial, &err);
        ASSERT_EQ(err, aErrNone);
        // 1024 bytes of whole echo packets: 34 of 30 bytes and one of 4.
        Bytes block;
        for (int i = 0; i < 34; ++i) {
            Bytes p{serial[0] == '1' ? (uint8_t)4 : (uint8_t)6, 28, 23};
            p.resize(30, (uint8_t)i);
            block.insert(block.end(), p.begin(), p.end());
        }
        block.insert(block.end(), {serial[0] == '1' ? (uint8_t)4 : (uint8_t)6, 2, 23, 9});
        ASSERT_EQ(block.size(), 1024u);
        EXPECT_EQ(tarnixusb_write_to_device(h.get(), block.data(), (uint32_t)block.size()), aErrNone);
    }
    // The simulator logs each transfer as it takes it; read until both
    // modules' transfers are all there (or the bound passes).
    std::string fast, slow;
    auto parse = [&] {
        fast.clear();
        slow.clear();
        std::istringstream lines(sim.log());
        std::string line;
        while (std::getline(lines, line)) {
            const size_t at = line.find("usb out transfer of ");
            if (at == std::string::npos)
                continue;
            const std::string size = line.substr(at + 20, line.find(' ', at + 20) - at - 20);
            (line.find("fast:") != std::string::npos ? fast : slow) += size + " ";
        }
    };
    std::string sixteenOf64;
    for (int i = 0; i < 16; ++i)
        sixteenOf64 += "64 ";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        parse();
        if (fast.size() >= 10 && slow.size() >= sixteenOf64.size())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    EXPECT_EQ(fast, "511 511 2 ");
    EXPECT_EQ(slow, sixteenOf64);
}

const char* kOneQuietModule = R"(
[module quiet]
serial = 0x0000BEEF
model = 13
address = 8
transport = usb
usb_reenumerate_ms = 100
reboot_ms = 100
)";

TEST(UsbLink, QuietModuleSynchronisesBeforeTheFirstReadTimeout)
{
    UsbSim sim(kOneQuietModule);
    ASSERT_TRUE(sim.ready());
    // No heartbeats: the input thread's first read waits its full second. The
    // handshake must not wait for it.
    const auto t0 = std::chrono::steady_clock::now();
    aLinkId link = aLink_CreateUSB(0xBEEF);
    const auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_NE(link, 0u);
    EXPECT_LT(took, 900ms);
    uint32_t serial = 0;
    EXPECT_TRUE(AskSerial(link, 8, &serial));
    EXPECT_EQ(serial, 0xBEEFu);
    EXPECT_EQ(aErrNone, aLink_Destroy(&link));
}

TEST(UsbDriver, ModuleHeldElsewhereIsBusy)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    aErr err;
    Handle first = Open("1234ABCD", &err);
    ASSERT_EQ(err, aErrNone);
    Handle second = Open("1234ABCD", &err); // another open of the device: the claim is refused
    EXPECT_EQ(err, aErrBusy);
    EXPECT_EQ(tarnixusb_get_state(second.get()), TARNIXUSB_STATE_CLOSED);
    first.reset();
    Handle third = Open("1234ABCD", &err); // released: free again
    EXPECT_EQ(err, aErrNone);
    third.reset();

    // Held by another process, as the simulator plays it.
    ASSERT_EQ(sim.control("fault slow usb_held yes").substr(0, 2), "ok");
    Handle held = Open("0BADCAFE", &err);
    EXPECT_EQ(err, aErrBusy);
    EXPECT_EQ(aLink_CreateUSB(0x0BADCAFE), 0u);
}

const char* kCrowdedBus = R"(
[module a]
serial = 0x1234ABCD
model = 17
transport = usb
[module b]
serial = 0x0BADCAFE
model = 18
transport = usb
usb_packet = 64
[module not-ours-product]
serial = 0x00000001
transport = usb
usb_product = 0x8001
[module not-ours-vendor]
serial = 0x00000002
transport = usb
usb_vendor = 0x1D6B
usb_product = 0x0002
[module short-serial]
serial = 0x00000003
transport = usb
usb_serial = 1234567
[module long-serial]
serial = 0x00000004
transport = usb
usb_serial = 0123456789012345678901234567890123456789
[module odd-serial]
serial = 0x00000005
transport = usb
usb_serial = 0000ÄÖ05
[module no-config]
serial = 0x00000006
transport = usb
usb_descriptor = no_configuration
[module no-interface]
serial = 0x00000007
transport = usb
usb_descriptor = no_interface
[module no-in]
serial = 0x00000008
transport = usb
usb_descriptor = no_in_endpoint
[module no-out]
serial = 0x00000009
transport = usb
usb_descriptor = no_out_endpoint
)";

TEST(UsbDriver, TellsModulesFromForeignAndBrokenDevices)
{
    UsbSim sim(kCrowdedBus);
    ASSERT_TRUE(sim.ready());
    libusb_context* context = Tarnix_libusb_acquire();
    ASSERT_NE(context, nullptr);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::multiset<std::string> found; // the serial strings of the devices that pass the test
    int foreign = 0;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tarnix_device(list[i])) {
            foreign++;
            continue;
        }
        libusb_device_descriptor d;
        libusb_device_handle* device = nullptr;
        char serial[64] = "?";
        if (libusb_get_device_descriptor(list[i], &d) == 0 && libusb_open(list[i], &device) == 0) {
            if (libusb_get_string_descriptor_ascii(device, d.iSerialNumber, (unsigned char*)serial, sizeof serial) < 0)
                strcpy(serial, "unreadable");
            libusb_close(device);
        }
        found.insert(serial);
    }
    libusb_free_device_list(list, 1);
    Tarnix_libusb_release(context);
    EXPECT_EQ(foreign, 2);
    EXPECT_EQ(found, (std::multiset<std::string>{"1234ABCD", "0BADCAFE", "1234567", "0123456789012345678901234567890123456789",
                                                  "0000??05", "00000006", "00000007", "00000008", "00000009"}));

    // Opening: what lacks the vendor interface or an endpoint is refused and let go.
    struct Case {
        const char* serial;
        aErr expected;
    } cases[] = {{"1234ABCD", aErrNone},          {"0BADCAFE", aErrNone},          {"00000001", aErrNotFound},
                 {"00000002", aErrNotFound},      {"00000006", aErrConfiguration}, {"00000007", aErrConfiguration},
                 {"00000008", aErrConfiguration}, {"00000009", aErrConfiguration}, {"1234567", aErrNone}};
    for (const Case& c : cases) {
        aErr err;
        Handle h = Open(c.serial, &err);
        EXPECT_EQ(err, c.expected) << c.serial;
        EXPECT_EQ(tarnixusb_get_state(h.get()),
                  c.expected == aErrNone       ? TARNIXUSB_STATE_READY
                  : c.expected == aErrNotFound ? TARNIXUSB_STATE_CREATED
                                               : TARNIXUSB_STATE_CLOSED)
            << c.serial;
    }
    // Nothing stays claimed by the refused opens.
    EXPECT_NE(sim.control("status no-in").find("usb_claimed=no"), std::string::npos);
}

// USB discovery on the same crowded bus: only modules whose serial string is
// eight hexadecimal digits are reported (interfaces do not matter to it), each
// with the product ID's low byte as its model; a search by serial stops there.
TEST(UsbDiscovery, ReportsOnlyModulesWithEightHexDigitSerials)
{
    UsbSim sim(kCrowdedBus);
    ASSERT_TRUE(sim.ready());
    std::multiset<std::pair<uint32_t, uint8_t>> seen;
    auto collect = [](const linkSpec* spec, bool* found, void* reference) {
        static_cast<std::multiset<std::pair<uint32_t, uint8_t>>*>(reference)->insert({spec->serial_num, spec->model});
        *found = spec->type == USB && spec->usb_id == spec->serial_num;
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &seen, 0), 6);
    std::multiset<uint32_t> serials;
    for (const auto& s : seen)
        serials.insert(s.first);
    EXPECT_EQ(serials, (std::multiset<uint32_t>{0x1234ABCD, 0x0BADCAFE, 6, 7, 8, 9}));
    EXPECT_EQ(seen.count({0x0BADCAFE, 18}), 1u);

    linkSpec* spec = aDiscovery_FindModule(USB, 0x0BADCAFE, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, USB);
    EXPECT_EQ(spec->model, 18);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&spec));
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x00000003, 0), nullptr); // its string has 7 characters
}

std::string Field(const std::string& status, const std::string& key)
{
    const size_t at = status.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    const size_t start = at + key.size() + 2;
    return status.substr(start, status.find_first_of(" \n", start) - start);
}

// Waits until the module's device is on the bus under another node than `old`.
std::string WaitForNewNode(const UsbSim& sim, const std::string& module, const std::string& old)
{
    for (int i = 0; i < 250; ++i) {
        const std::string node = Field(sim.control("status " + module), "usb");
        if (!node.empty() && node != "away" && node != old)
            return node;
        std::this_thread::sleep_for(20ms);
    }
    return "";
}

// Discovery and link opens read each device's serial string once per
// context: N links opening side by side must not ask all N devices each. A
// fresh context (how callers see re-enumerated modules) reads them anew.
TEST(UsbDriver, ReadsEachSerialStringOncePerContext)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    auto reads = [&](const char* module) { return Field(sim.control(std::string("status ") + module), "usb_serial_reads"); };
    auto count = [](const linkSpec*, bool* found, void* n) { return *found = true, ++*static_cast<int*>(n), true; };
    int found = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, count, &found, 0), 2);
    {
        aErr fast, slow;
        Handle a = Open("0BADCAFE", &slow), b = Open("1234ABCD", &fast);
        EXPECT_EQ(slow, aErrNone);
        EXPECT_EQ(fast, aErrNone);
        EXPECT_EQ(reads("fast"), "1");
        EXPECT_EQ(reads("slow"), "1");
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, count, &found, 0), 2);
    EXPECT_EQ(reads("fast"), "1");
    Tarnix_libusb_exit();
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, count, &found, 0), 2);
    EXPECT_EQ(reads("fast"), "2");
    EXPECT_EQ(reads("slow"), "2");
}

TEST(UsbLink, ModuleReEnumeratesWhenItsLoaderStartsAndAfterVanishing)
{
    UsbSim sim(kOneQuietModule);
    ASSERT_TRUE(sim.ready());
    aLinkId link = aLink_CreateUSB(0xBEEF);
    ASSERT_NE(link, 0u);
    const std::string first = Field(sim.control("status quiet"), "usb");
    ASSERT_FALSE(first.empty());

    // The loader starts (INIT, one loader byte, LOAD): the answer arrives, then
    // the device leaves the bus and comes back as a new device.
    ASSERT_EQ(sim.control("fault quiet usb_late 300").substr(0, 2), "ok");
    for (const Bytes& request : {Bytes{95, 0}, Bytes{95, 3, 0, 0, 0, 0, 0}, Bytes{95, 1, 0xAA}, Bytes{95, 2}}) {
        aPacket* p = aPacket_CreateWithData(8, (uint8_t)request.size(), request.data());
        EXPECT_EQ(aErrNone, aLink_PutPacket(link, p));
        EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
    }
    auto loadAnswer = [](const aPacket* p, void*) { return p->dataSize == 2 && p->data[0] == 95 && p->data[1] == 2; };
    aPacket* answer = aLink_AwaitFirst(link, loadAnswer, nullptr, 2000);
    EXPECT_NE(answer, nullptr);
    EXPECT_EQ(aErrNone, aPacket_Destroy(&answer));
    const std::string second = WaitForNewNode(sim, "quiet", first);
    ASSERT_FALSE(second.empty());
    // The old link lost its device; a fresh context finds the new one.
    EXPECT_EQ(aErrNone, aLink_Destroy(&link));
    Tarnix_libusb_exit();
    link = aLink_CreateUSB(0xBEEF);
    ASSERT_NE(link, 0u);
    uint32_t serial = 0;
    EXPECT_TRUE(AskSerial(link, 8, &serial));

    // Gone in the middle of a transfer, back 300 ms later: a reset of the link
    // (as a caller that saw its link fail does) reconnects to the new device.
    ASSERT_EQ(sim.control("fault quiet usb_vanish 300").substr(0, 2), "ok");
    EXPECT_FALSE(AskSerial(link, 8, &serial));
    for (int i = 0; i < 100 && aLink_GetStatus(link) == linkRunning; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(aLink_GetStatus(link), linkRunning);
    const std::string third = WaitForNewNode(sim, "quiet", second);
    ASSERT_FALSE(third.empty());
    Tarnix_libusb_exit();
    EXPECT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_TRUE(AskSerial(link, 8, &serial));
    EXPECT_EQ(aErrNone, aLink_Destroy(&link));

    // A reboot takes the device off the bus; it is back, new, once the module is up.
    ASSERT_EQ(sim.control("reboot quiet").substr(0, 2), "ok");
    EXPECT_FALSE(WaitForNewNode(sim, "quiet", third).empty());
}

TEST(UsbDriver, KernelNodeModeReadsBoundedly)
{
    testsupport::TempDir dir;
    tarnixusb_set_kernel_node_directory(dir.path().c_str());
    ASSERT_EQ(mkfifo((dir / "tarnix.0000ABCD").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "tarnix.0000ABCE").c_str(), 0700), 0);
    EXPECT_TRUE(tarnixusb_is_kernel_driver_installed(0xABCD));
    EXPECT_FALSE(tarnixusb_is_kernel_driver_installed(0xABCE)); // a directory is no node
    EXPECT_FALSE(tarnixusb_is_kernel_driver_installed(0xABCF));

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone); // through the node, not libusb
    const uint8_t bytes[3] = {4, 1, 7};
    EXPECT_EQ(aStream_Write(stream, bytes, sizeof bytes), aErrNone);
    uint8_t back[3] = {};
    EXPECT_EQ(aStream_Read(stream, back, sizeof back), aErrNone); // the pipe hands them back
    EXPECT_EQ(memcmp(back, bytes, sizeof bytes), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, back, 1), aErrNotReady); // quiet: not ready, not stuck
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3000ms);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    tarnixusb_set_kernel_node_directory(nullptr);
}

TEST(UsbSimulator, RunsACommandAgainstItsModulesAndEndsWithItsStatus)
{
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "sim.ini", kOneQuietModule);
    testsupport::RunOptions options;
    options.env["TMPDIR"] = dir.path();
    const std::string probe = "test -d \"$UMOCKDEV_DIR\" && ls \"$UMOCKDEV_DIR\"/dev/bus/usb/001 && "
                              "case \"$LD_PRELOAD\" in *libumockdev-preload*) exit 3;; esac; exit 1";
    auto run = testsupport::Run({TARNIX_SIM_BIN, "--usb", dir / "sim.ini", "--", "/bin/sh", "-c", probe}, options);
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("002"), std::string::npos) << run.out; // the module's node, nothing else on stdout
    EXPECT_EQ(run.out.find("READY"), std::string::npos);
    // The test bed went with the simulator.
    EXPECT_EQ(testsupport::Run({"/bin/sh", "-c", "ls -d " + dir.path() + "/umockdev.*"}).status, 2);
}

// A module object streams from a USB module; disabling stops the module's samples.
TEST(UsbLink, ModuleStreamsToACallbackUntilDisabled)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    Velorn::Tarnix::Module module(4);
    Velorn::Tarnix::ZephylConfig direct;
    direct.enabled = 0;
    ASSERT_EQ(module.setConfig(direct), aErrNone);
    linkSpec spec{};
    spec.type = USB;
    spec.serial_num = 0x1234ABCD;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    Velorn::Tarnix::SystemClass system;
    system.init(&module, 0);
    std::atomic<int> samples{0};
    auto count = [](const aPacket* p, void* c) -> uint8_t {
        if (Velorn::Tarnix::Link::isStreamSample(p)) ++*static_cast<std::atomic<int>*>(c);
        return 0;
    };
    ASSERT_EQ(system.registerOptionCallback(22, true, count, &samples), aErrNone);
    const auto end = std::chrono::steady_clock::now() + 5000ms;
    while (samples < 3 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_GE(samples.load(), 3);
    unsigned uptime = 0;
    const aErr err = system.getUptime(&uptime);
    EXPECT_TRUE(err == aErrNone || err == aErrStreamStale) << err;
    ASSERT_EQ(system.registerOptionCallback(22, false, nullptr, nullptr), aErrNone);
    unsigned char streaming = 1;
    EXPECT_EQ(module.getLink()->isLinkStreaming(4, &streaming), aErrNone);
    EXPECT_EQ(streaming, 0);
}
// The sharing example serves a USB module; another process streams from it
// through the server (by its address: discovery is tested in a private namespace).
TEST(UsbLink, SharingProgramServesAUsbModuleToAnotherProcess)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    testsupport::Background host({TARNIX_SHARE_BIN, "0x0BADCAFE"});
    const std::string line = host.WaitForLine("sharing module 0x0BADCAFE", 20000ms);
    ASSERT_FALSE(line.empty()) << host.output();
    const std::string port = line.substr(line.find(" port ") + 6, line.find(" (") - line.find(" port ") - 6);
    auto client = testsupport::Run({TARNIX_SHARE_BIN, "--client", "net:127.0.0.1:" + port, "--stream", "4"});
    EXPECT_EQ(client.status, 0) << client.out << client.err << sim.log();
    EXPECT_NE(client.out.find("reached module 0x0BADCAFE (address 6)"), std::string::npos) << client.out;
    EXPECT_NE(client.out.find("received 4 stream samples"), std::string::npos) << client.out;
    EXPECT_EQ(host.Stop(SIGINT), 0) << host.output();
}

// A loopback TCP port nobody listens on (bound, then closed).
uint16_t ClosedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, (sockaddr*)&address, sizeof address);
    getsockname(fd, (sockaddr*)&address, &length);
    close(fd);
    return ntohs(address.sin_port);
}

// This binary again, as an ordinary user (UsbMain's --open-as-user); the aErr it got.
aErr OpenAsUser(const std::string& how, const std::string& target)
{
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return aErrUnknown;
    auto run = testsupport::Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self,
                                 "--open-as-user", how, target});
    return static_cast<aErr>(run.status);
}

// Each way a link cannot be made, and the reason its creation gives. A module
// held by another process is held by the sharing program; the user rows run
// this binary again without root.
TEST(LinkCreation, SaysWhyALinkCannotBeMade)
{
    UsbSim sim(kTwoModules);
    ASSERT_TRUE(sim.ready());
    testsupport::Background holder({TARNIX_SHARE_BIN, "0x0BADCAFE"});
    ASSERT_FALSE(holder.WaitForLine("sharing module 0x0BADCAFE", 20000ms).empty()) << holder.output();
    int master = -1, slave = -1;
    char pty[256] = {};
    ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
    ASSERT_EQ(::chmod(pty, 0600), 0);
    const uint16_t closedPort = ClosedLoopbackPort();
    if (getuid() == 0)
        sim.openToUsers("600");

    enum How { kUsb, kTcp, kSerial, kUserUsb, kUserFind, kUserSerial };
    struct Case {
        const char* name;
        How how;
        std::string target;
        aErr expected;
    };
    const Case cases[] = {
        {"no module with that serial number", kUsb, "0x11111111", aErrNotFound},
        {"module held by another process", kUsb, "0x0BADCAFE", aErrBusy},
        {"nobody listens on the port", kTcp, std::to_string(closedPort), aErrConnection},
        {"no such serial port", kSerial, "/dev/does-not-exist-tty", aErrNotFound},
        {"a file that is no serial port", kSerial, "/dev/null", aErrIO},
        {"device node closed to the user", kUserUsb, "0x1234ABCD", aErrPermission},
        {"discovery cannot read the closed device", kUserFind, "0x1234ABCD", aErrPermission},
        {"serial port closed to the user", kUserSerial, pty, aErrPermission},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.how >= kUserUsb && getuid() != 0)
            continue; // only root can play another user
        aLinkId link = 0;
        aErr err = aErrUnknown;
        switch (c.how) {
        case kUsb:
            err = aLink_OpenUSB(std::stoul(c.target, nullptr, 0), &link);
            break;
        case kTcp:
            err = aLink_OpenTCPIP(1, htonl(INADDR_LOOPBACK), std::stoul(c.target), &link);
            break;
        case kSerial:
            err = aLink_OpenSerial(1, c.target.c_str(), 115200, &link);
            break;
        case kUserUsb:
            err = OpenAsUser("usb", c.target);
            break;
        case kUserFind:
            err = OpenAsUser("find", c.target);
            break;
        case kUserSerial:
            err = OpenAsUser("serial", c.target);
            break;
        }
        EXPECT_EQ(aError_GetErrorText(err), std::string(aError_GetErrorText(c.expected)));
        EXPECT_EQ(link, 0u) << "an identifier handed out on failure";
    }
    close(slave);
    close(master);
    EXPECT_EQ(holder.Stop(SIGINT), 0) << holder.output();
}

} // namespace
