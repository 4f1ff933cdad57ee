// The USB driver, the USB stream and USB links, run over the real libusb
// against tarnix-sim's virtual USB modules (each test its own simulator and
// TMPDIR, so a test bed left by a crash is easy to find and remove).
#include <libusb.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "TempDir.h"
#include "aLink.h"
#include "aStream.h"
#include "aUSB.h"

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
    void operator()(tarnixusb* h) const { tarnixusb_destroy(&h); }
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
    aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    auto match = [](const aPacket* p, void*) { return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9; };
    aPacket* reply = aLink_AwaitFirst(link, match, nullptr, 2000);
    if (reply == nullptr)
        return false;
    *serial = (uint32_t)reply->data[3] << 24 | reply->data[4] << 16 | reply->data[5] << 8 | reply->data[6];
    aPacket_Destroy(&reply);
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
    aLink_Destroy(&copy);
    EXPECT_EQ(aLink_GetStatus(link), linkRunning);
    aLink_Destroy(&link);
}

} // namespace
