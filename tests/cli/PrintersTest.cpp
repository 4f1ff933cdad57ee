// The result printers' formats: device list, build list, token, fingerprint.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "CLI_Display.h"
#include "ResultPrinters.h"
#include "Process.h"
#include "TempDir.h"

namespace {

// Everything written to standard output while `print` runs.
template <typename F>
std::string Captured(F print) {
    testsupport::TempDir dir;
    const std::string path = dir / "out";
    std::fflush(stdout);
    const int saved = dup(1);
    FILE* file = std::fopen(path.c_str(), "w");
    dup2(fileno(file), 1);
    CLI_Display display;
    print(display);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(file);
    return testsupport::ReadFile(path);
}

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serial_num = serial;
    d.spec.module = 2;
    d.spec.router = 0x0A;
    d.spec.model = model;
    d.major = 2;
    d.minor = 10;
    d.patch = 4;
    d.build = 99528558;
    d.device_name = "bench-1";
    return d;
}

} // namespace

TEST(Printers, DeviceLists) {
    std::vector<DeviceInfo> none;
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_device_list(d, none, USB); }),
              "Discovered Devices: (USB)\n    No devices found.\n");
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_device_list(d, none, INVALID); }),
              "Discovered Devices: (Unknown)\n    No devices found.\n");

    const std::string model = aDefs_GetModelName(aMODEL_DRAVIK);
    char padded[32];
    std::snprintf(padded, sizeof padded, "%-12s", model.c_str());

    DeviceInfo usb = Device(USB, 0x40F5849A, aMODEL_DRAVIK);
    DeviceInfo busy = Device(USB, 0x2181F0EE, aMODEL_DRAVIK);
    busy.error = aErrBusy;
    std::vector<DeviceInfo> list{usb, busy};
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_device_list(d, list, USB); }),
              "Discovered Devices: (USB)\n"
              "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n"
              "    40F5849A  02       0A      " + std::string(padded) + "   2.10.4 (  99528558)         bench-1\n"
              "    2181F0EE  [Error (5): Device in use. Close all other Velorn associated applications.]\n");

    // A TCP/IP entry shows its address, even when it has an error.
    DeviceInfo tcp = Device(TCPIP, 0xD272031D, aMODEL_DRAVIK);
    tcp.spec.ip_address = inet_addr("10.77.0.2");
    tcp.error = aErrBusy;
    std::vector<DeviceInfo> tcp_list{tcp};
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_device_list(d, tcp_list, TCPIP); }),
              "Discovered Devices: (TCPIP)\n"
              "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name\n"
              "    D272031D  02       0A      " + std::string(padded) +
                  "   2.10.4 (  99528558)        [10.77.0.2]        bench-1\n");
}

TEST(Printers, BuildsTokenAndFingerprint) {
    EXPECT_EQ(Captured([](CLI_Display& d) { _display_builds(d, {}, 0x40F5849A); }),
              "No builds found for device [40F5849A]\n");
    const BuildList builds{{"100", "2.9.1"}, {"200", "2.10.12"}, {"300", "2.10.0"}, {"1234567890123456789", "1.0.0"}};
    // Header and rows cut or padded to 15 columns; the newest version first.
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_builds(d, builds, 0x40F5849A); }),
              "Build List for device [40F5849A]:\n\nBuild          \tVersion        \n"
              "200            \t2.10.12        \n300            \t2.10.0         \n"
              "100            \t2.9.1          \n123456789012345\t1.0.0          \n");

    EXPECT_EQ(Captured([](CLI_Display& d) { _display_jwt(d, "a.b.c"); }), "a.b.c\n");
    EXPECT_EQ(Captured([](CLI_Display& d) { _display_jwt(d, ""); }), "\n");
    Fingerprint fp;
    fp.word[0] = 0x1;
    fp.word[1] = 0xDEADBEEF;
    fp.word[2] = 0x0;
    fp.word[3] = 0xABCDEF12;
    EXPECT_EQ(Captured([&](CLI_Display& d) { _display_fingerprint(d, fp); }),
              "[ 00000001 DEADBEEF 00000000 ABCDEF12 ]\n");
}
