// tarnix-sim: virtual Tarnix modules on TCP/IP, a pseudo-terminal and the
// Ethernet discovery exchange, for tests and for trying scripts without hardware.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "Config.h"
#include "Log.h"
#include "Server.h"

namespace {

const char* kUsage =
    "Usage: tarnix-sim [OPTIONS] CONFIG [-- COMMAND [ARG...]]\n"
    "\n"
    "Runs the virtual modules described in CONFIG until SIGINT or SIGTERM; with a\n"
    "COMMAND, runs it against them (USB modules reachable through the test bed's\n"
    "variables) and exits with its status.\n"
    "\n"
    "Options:\n"
    "  --usb                  modules without a 'transport' key appear on USB\n"
    "                         (through umockdev) instead of TCP/IP\n"
    "  --state DIR            keep each module's flash, identity, settings, store\n"
    "                         slots and factory data in DIR/<module>/ (survives\n"
    "                         restarts); without it everything lives in memory\n"
    "  --bind ADDR            IPv4 address of the module ports (default 127.0.0.1)\n"
    "  --ready-file FILE      write the ports and pty paths to FILE once ready\n"
    "                         (removed at start and again at exit)\n"
    "  --control-port PORT    control port on 127.0.0.1 (default: any free port;\n"
    "                         'off' for none)\n"
    "  --discovery            answer Ethernet discovery requests (group 232.2.2.2,\n"
    "                         port 9888, replies to port 9889); refused in the host's\n"
    "                         own network namespace: use scripts/netns-run.sh\n"
    "  --discovery-if ADDR    join the discovery group on this interface address\n"
    "  --discovery-any-namespace  allow --discovery outside a private namespace\n"
    "  --discovery-source ADDR  send discovery replies from this local address\n"
    "                         (default: the --bind address), e.g. to stand in for\n"
    "                         a responder on another subnet\n"
    "  --trace                log every packet received and sent\n"
    "  --log FILE             append the log to FILE instead of standard error\n"
    "  --imx-hid-rom M        an i.MX boot ROM as USB HID device 1FC9:0130 in the\n"
    "                         same test bed; the code it starts is module M\n"
    "                         (configure M with start_down = yes)\n"
    "  --imx-hid-rom-dump F   at the ROM's jump, write what it was sent to F\n"
    "  --imx-hid-rom-fault N  silent, no-complete or vanish (see imx-sdp-hid-sim)\n"
    "  --help                 this text\n"
    "\n"
    "When ready it prints, one per line, 'module NAME tcp ADDR:PORT',\n"
    "'module NAME pty PATH', 'module NAME usb bus/usb/BBB/DDD', 'module NAME lpc-isp\n"
    "PATH' (the terminal of its LPC boot ROM), the USB test bed's\n"
    "variables as 'env UMOCKDEV_DIR=...' and 'env LD_PRELOAD=...', then\n"
    "'control 127.0.0.1:PORT' and 'READY' (with a COMMAND only to the ready file;\n"
    "its log is then discarded unless --log is given).\n"
    "\n"
    "CONFIG holds one [module NAME] section per module with KEY = VALUE lines:\n"
    "  serial, model, address, version (MAJOR.MINOR.PATCH), build, name, features,\n"
    "  transport (tcp, pty, usb, or a '+'-joined set), port, pty_link, heartbeat_ms,\n"
    "  usb_vendor, usb_product, usb_packet (64 or 512), usb_serial, usb_descriptor\n"
    "  (normal, no_configuration, no_interface, no_in_endpoint, no_out_endpoint),\n"
    "  usb_reenumerate_ms, block_size,\n"
    "  load_base, flash_base, flash_size, uei_data, stream_interval_ms, reboot_ms,\n"
    "  hardware_version, input_voltage, input_current, temperature,\n"
    "  factory.N (hex bytes), router and i2c_address (a module behind a router),\n"
    "  identity (W0,W1,W2,W3), start_down, loader_running (a boot ROM's loader),\n"
    "  boot_rom (none, imx-hid or lpc: what a power cut brings back), boot_rom_link,\n"
    "  boot_rom_reset_on_open (yes/no),\n"
    "  fault.NAME = VALUE.\n"
    "Faults: drop_replies, short_replies, wrong_data_count, refuse_prepare, refuse_write, wrong_sum,\n"
    "  silent_after_load, no_return_after_reboot, boot_old_image (each N or 'always'),\n"
    "  delay_replies (ms), drop_connection and hang_after_data (after N data packets),\n"
    "  refuse_second_connection (yes/no), usb_stall (in|out [N]), usb_io_errors (N),\n"
    "  usb_vanish (ms away, or never), usb_held (yes/no), usb_late (ms),\n"
    "  power_cut (loader, firmware:BYTES or off).\n"
    "Control commands (one per line on the control port): list, status M,\n"
    "  fault M NAME VALUE, clear M, drop M, reboot M, revive M, replug M,\n"
    "  powercut M (M: a name or a serial number).\n"
    "See sim/tarnix-sim/README.md for the behaviour in full.\n";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "tarnix-sim: %s\n\n%s", message.c_str(), kUsage);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    tarnixsim::Options options;
    tarnixsim::Log log;
    bool trace = false;
    bool usbAll = false;
    std::string logFile;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--") {
            options.command.assign(argv + i + 1, argv + argc);
            if (options.command.empty()) usageError("no command after --");
            break;
        }
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--state") options.state_dir = value();
        else if (a == "--bind") options.bind_address = value();
        else if (a == "--ready-file") options.ready_file = value();
        else if (a == "--control-port") {
            std::string v = value();
            if (v == "off") options.control_port = -1;
            else {
                char* end = nullptr;
                long p = std::strtol(v.c_str(), &end, 10);
                if (*end || p < 0 || p > 65535) usageError("bad control port " + v);
                options.control_port = static_cast<int>(p);
            }
        } else if (a == "--discovery") options.discovery = true;
        else if (a == "--discovery-if") options.discovery_interface = value();
        else if (a == "--discovery-any-namespace") options.discovery_any_namespace = true;
        else if (a == "--discovery-source") options.discovery_source = value();
        else if (a == "--trace") trace = true;
        else if (a == "--usb") usbAll = true;
        else if (a == "--log") logFile = value();
        else if (a == "--imx-hid-rom") options.hid_rom_module = value();
        else if (a == "--imx-hid-rom-dump") options.hid_rom.dumpFile = value();
        else if (a == "--imx-hid-rom-fault") {
            const std::string v = value();
            if (!bootrom::KnownHidRomFault(v)) usageError("unknown i.MX ROM fault " + v);
            options.hid_rom.faults.insert(v);
        }
        else if (!a.empty() && a[0] == '-') usageError("unknown option " + a);
        else if (options.config_path.empty()) options.config_path = a;
        else usageError("more than one configuration file");
    }
    if (options.config_path.empty()) usageError("no configuration file given");
    std::FILE* logStream = nullptr;
    // A command's output is what its user wants to see: keep the log apart.
    if (logFile.empty() && !options.command.empty()) logFile = "/dev/null";
    if (!logFile.empty()) {
        logStream = std::fopen(logFile.c_str(), "a");
        if (!logStream) {
            std::fprintf(stderr, "tarnix-sim: cannot open log file %s: %s\n", logFile.c_str(), std::strerror(errno));
            return 1;
        }
        log.setFile(logStream);
    }
    log.setTrace(trace);
    // A ready file left by an earlier run must not pass for this one's.
    if (!options.ready_file.empty()) std::remove(options.ready_file.c_str());
    int status = 0;
    try {
        tarnixsim::Config config = tarnixsim::LoadConfig(options.config_path);
        bool usb = false;
        for (auto& m : config.modules) {
            if (usbAll && !m.transport_given && m.router.empty()) {
                m.tcp = false;
                m.usb = true;
            }
            // An i.MX boot ROM appears on USB (HID) after a power cut.
            usb = usb || m.usb || m.boot_rom == tarnixsim::BootRom::ImxHid;
        }
        usb = usb || !options.hid_rom_module.empty();
        // umockdev's event sender works only in a process under its preload:
        // start over under it (the sanitizer runtime, if any, stays first).
        if (usb && !tarnixsim::UsbPreloaded()) {
            const std::string preload = tarnixsim::UsbPreloadValue();
            if (std::getenv("TARNIX_SIM_REEXEC")) throw std::runtime_error("cannot load umockdev's preload library");
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("TARNIX_SIM_REEXEC", "1", 1);
            if (logStream) std::fclose(logStream);
            ::execv("/proc/self/exe", argv);
            throw std::runtime_error(std::string("cannot re-execute under umockdev: ") + std::strerror(errno));
        }
        unsetenv("TARNIX_SIM_REEXEC");
        tarnixsim::InstallSignalHandlers();
        tarnixsim::Server server(config, options, log);
        server.start();
        server.run();
        if (!options.command.empty()) status = server.commandStatus();
        log.info("stopped");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnix-sim: %s\n", e.what());
        if (logStream) log.info("error: %s", e.what());
        status = 1;
    }
    if (!options.ready_file.empty()) std::remove(options.ready_file.c_str());
    if (logStream) std::fclose(logStream);
    return status;
}
