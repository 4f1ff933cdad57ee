// An i.MX part for recovery tests: its boot ROM on the UART or on USB HID,
// the loader it starts as a tarnix-sim module on USB, and a stand-in update
// server that knows the default recovery image and the device.
#pragma once

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "ServerTestSupport.h"
#include "TempDir.h"

namespace recovertest {

using namespace std::chrono_literals;

inline std::string Image(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return s;
}

// An i.MX part, its ROM on the UART (imx-sdp-sim) or on USB HID (hosted by
// tarnix-sim in its own USB test bed), and the loader it starts as a
// tarnix-sim module on USB (DEADDEAD, down until the jump); a server that
// knows the default recovery image (DEADDEAD) and the device by its identity.
enum class Rom { Uart, Hid };

struct ImxBench {
    // `imageSerial`: the serial number the started loader comes up with (the
    // default recovery image's, or the device's own when its own file's
    // loader is started).
    explicit ImxBench(const testsupport::TempDir& dir, Rom kind = Rom::Uart, const std::string& romFault = "",
                      const std::string& imageSerial = "DEADDEAD", bool serve = true) {
        testsupport::Run({"/bin/mkdir", "-p", dir / "imx"});
        testsupport::WriteFile(dir / "loader.bin", loader);
        testsupport::WriteFile(dir / "fw.bin", firmware);
        auto pack = [&](const std::string& manifest, const std::string& out) {
            testsupport::WriteFile(dir / "m", manifest);
            EXPECT_EQ(testsupport::Run({BIRDTOOL_BIN, "pack", dir / "m", out}).status, 0);
        };
        pack("build 3\nversion 1.0.0\nmodel Rescue\nserial DEADDEAD\nloader 0x20000400 " + dir / "loader.bin" + "\n",
             dir / "imx/rescue_3.bird");
        pack("build 8\nversion 2.0.0\nmodel Ristova\nserial 0BADF00D\nfirmware 0x0 " + dir / "fw.bin" + "\n",
             dir / "imx/ristova_8.bird");
        testsupport::WriteFile(dir / "imx-devices",
                               "DEADDEAD Rescue\n0BADF00D Ristova - 11111111:22222222:33333333:44444444\n");
        if (serve)
            server = std::make_unique<servertest::StandInServer>(
                servertest::StandInServer::Config{dir / "imx", dir / "imx-devices", "k", "", ""});
        testsupport::WriteFile(dir / "sim.ini", "[module image]\nserial = 0x" + imageSerial +
                                                    "\nmodel = 17\ntransport = usb\n"
                                                "start_down = yes\nloader_running = yes\nreboot_ms = 100\n"
                                                "identity = 0x11111111,0x22222222,0x33333333,0x44444444\n");
        state = dir / "state";
        std::vector<std::string> simArgv{TARNIX_SIM_BIN, "--ready-file", dir / "ready", "--state", state,
                                         "--log", dir / "sim.log", dir / "sim.ini"};
        if (kind == Rom::Hid) simArgv.insert(simArgv.end(), {"--imx-hid-rom", "image", "--imx-hid-rom-dump", dir / "ram.bin"});
        if (!romFault.empty()) simArgv.insert(simArgv.end(), {"--imx-hid-rom-fault", romFault});
        testsupport::RunOptions simOptions;
        simOptions.env["TMPDIR"] = dir.path(); // a test bed left by a crash stays here
        tarnix = std::make_unique<testsupport::Background>(simArgv, simOptions);
        EXPECT_FALSE(tarnix->WaitForLine("READY", 20s).empty());
        options.timeout = 90s;
        std::string control;
        std::istringstream ready(testsupport::ReadFile(dir / "ready"));
        for (std::string line; std::getline(ready, line);) {
            if (line.rfind("env ", 0) == 0) {
                const size_t eq = line.find('=');
                options.env[line.substr(4, eq - 4)] = line.substr(eq + 1);
            } else if (line.rfind("control 127.0.0.1:", 0) == 0) {
                control = line.substr(18);
            }
        }
        if (kind == Rom::Hid) {
            options.env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
            pty = "USB";
            return;
        }
        rom = std::make_unique<testsupport::Background>(std::vector<std::string>{
            IMX_SDP_SIM_BIN, "--image-control", control, "--image-module", "image", "--dump", dir / "ram.bin"});
        const std::string line = rom->WaitForLine("pty ", 10s);
        if (line.size() > 4 && !rom->WaitForLine("READY", 10s).empty()) pty = line.substr(4);
    }
    testsupport::RunResult Updater(const std::string& store, std::vector<std::string> args) {
        args.insert(args.begin(), {"-u", url(), "-i", store});
        return testsupport::RunUpdater(args, options);
    }
    std::string url() const { return server ? server->url() : "http://127.0.0.1:1/cgi/u"; }
    std::string loader = Image(700, 9), firmware = Image(3000, 8);
    std::unique_ptr<servertest::StandInServer> server;
    std::unique_ptr<testsupport::Background> tarnix, rom;
    testsupport::RunOptions options;
    std::string state, pty;
};

// An NXP LPC part at its ISP boot ROM (lpc-isp-sim) on a pseudo-terminal,
// its flash kept in `flash`; `pty` stays empty when it did not start.
class LpcSim {
public:
    explicit LpcSim(const std::string& flash, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{LPC_ISP_SIM_BIN, "--flash", flash};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process = std::make_unique<testsupport::Background>(argv);
        const std::string line = process->WaitForLine("pty ", 10s);
        if (line.size() > 4 && !process->WaitForLine("READY", 10s).empty()) pty = line.substr(4);
    }
    std::unique_ptr<testsupport::Background> process;
    std::string pty;
};

} // namespace recovertest
