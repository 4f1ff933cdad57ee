// imx-sdp-hid-sim: the serial download protocol of an NXP i.MX boot ROM as a
// USB HID device (vendor 0x1FC9, product 0x0130), emulated with umockdev for
// the real hidapi: output reports 1 (command) and 2 (data), input reports 3
// (security mode) and 4 (status or data).
//
// It makes a umockdev test bed with the device's sysfs and a hidraw node and
// answers the node's reads, writes and ioctls. A client runs with
// LD_PRELOAD=libumockdev-preload.so.0 and UMOCKDEV_DIR set to the printed
// test-bed root.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <umockdev.h>
#include <unistd.h>

#include "ImxHidRom.h"
#include "Port.h"

namespace {

const char kUsage[] =
    "Usage: imx-sdp-hid-sim [OPTIONS]\n"
    "Simulates the USB HID serial download boot ROM of an NXP i.MX (1FC9:0130)\n"
    "in a umockdev test bed. Prints \"umockdev-dir ROOT\", \"hidraw /dev/hidraw0\"\n"
    "and \"READY\"; run a client with LD_PRELOAD=libumockdev-preload.so.0 and\n"
    "UMOCKDEV_DIR=ROOT.\n"
    "\n"
    "  --fuses LOW,HIGH     the words read at 0x401F4410 and 0x401F4420\n"
    "                       (default 0x1A2B3C4D,0x5E6F7081)\n"
    "  --security MODE      open (default) or closed\n"
    "  --dump FILE          at the jump, write every written memory region to FILE\n"
    "                       (address and length, 32-bit little-endian, then bytes)\n"
    "  --fault NAME         silent (never answer), no-complete (never confirm a\n"
    "                       write) or vanish (unplugged when a write starts)\n"
    "  --verbose            log every command on standard error\n"
    "  --help               this text\n"
    "\n"
    "Standard output also gets \"JUMP ADDRESS\" when the host starts code.\n"
    "SIGINT or SIGTERM end it (status 0); a bad command line gives status 2.\n";

} // namespace

int main(int argc, char** argv) {
    bootrom::HidRomOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], v;
        auto value = [&]() {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--fuses" && value() && bootrom::ParseFuses(v, opt)) {
        } else if (a == "--security" && value() && (v == "open" || v == "closed")) {
            opt.security = v == "open" ? bootrom::kSdpSecurityOpen : bootrom::kSdpSecurityClosed;
        } else if (a == "--dump" && value()) {
            opt.dumpFile = v;
        } else if (a == "--fault" && value() && bootrom::KnownHidRomFault(v)) {
            opt.faults.insert(v);
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else {
            std::fprintf(stderr, "imx-sdp-hid-sim: bad argument [%s]\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    bootrom::InstallStopHandlers();
    UMockdevTestbed* testbed = umockdev_testbed_new();
    int status = 0;
    try {
        bootrom::ImxHidRom rom(testbed, opt, [](uint32_t address) {
            std::printf("JUMP 0x%08X\n", address);
            std::fflush(stdout);
        });
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        std::printf("umockdev-dir %s\nhidraw /dev/hidraw0\nREADY\n", root);
        std::fflush(stdout);
        g_free(root);
        while (!bootrom::stopRequested) usleep(100 * 1000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "imx-sdp-hid-sim: %s\n", e.what());
        status = 1;
    }
    g_object_unref(testbed); // removes the test bed's directory
    return status;
}
