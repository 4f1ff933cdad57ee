// Updater -D as a user runs it, against simulated modules on USB, on TCP/IP
// and behind a routing module. Runs only inside a private network namespace.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;

// A configuration from one line per module, its keys separated by ';'.
std::string Ini(const std::vector<std::string>& modules) {
    std::string text;
    for (const auto& m : modules) {
        text += m + "\n\n";
        for (size_t at; (at = text.find(';')) != std::string::npos;) text[at] = '\n';
    }
    return text;
}

const std::string kRouter = "[module router];serial = 0xD272031D;model = 17;address = 4;version = 2.15.3";
// Three modules on scattered addresses behind the router, one that never
// answers and one that answers short: both of those are left out.
const std::vector<std::string> kBehind = {
    "[module m1];router = router;i2c_address = 0x10;serial = 0x2181F0EE;model = 13;version = 2.10.4;build = 77",
    "[module m2];router = router;i2c_address = 0xF0;serial = 0x12345678;model = 19;version = 3.0.1;build = 79",
    "[module m3];router = router;i2c_address = 0x3A;serial = 0x00C0FFEE;model = 18;version = 2.10.3;build = 78",
    "[module mute];router = router;i2c_address = 0x80;serial = 0x0BADBAD0;fault.drop_replies = always",
    "[module short];router = router;i2c_address = 0x64;serial = 0x0BADBAD2;fault.short_replies = always",
};

const std::string kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n";
const std::string kTcpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name\n";

class UpdaterDiscover : public ::testing::Test {
protected:
    void SetUp() override {
        char self[128] = {};
        const char* marked = std::getenv("TARNIX_PRIVATE_NETNS");
        ASSERT_GT(readlink("/proc/self/ns/net", self, sizeof self - 1), 0);
        ASSERT_TRUE(marked && std::string(marked) == self) << "run under scripts/netns-run.sh";
    }

    // Modules on TCP/IP answering discovery (at `bind`, their replies from
    // `source` when given), or on USB.
    void StartSim(const std::string& config, bool usb, const std::string& bind = "10.77.0.1",
                  const std::string& source = "") {
        sim_.reset();
        std::remove((dir_ / "sim.log").c_str()); // the log tells of this simulator only
        testsupport::WriteFile(dir_ / "sim.ini", config);
        std::vector<std::string> argv{TARNIX_SIM_BIN, "--trace", "--log", dir_ / "sim.log"};
        if (usb) argv.push_back("--usb");
        else argv.insert(argv.end(), {"--discovery", "--bind", bind});
        if (!source.empty()) argv.insert(argv.end(), {"--discovery-source", source});
        argv.push_back(dir_ / "sim.ini");
        testsupport::RunOptions options;
        options.env["TMPDIR"] = dir_.path(); // the USB test bed goes with the directory
        sim_ = std::make_unique<testsupport::Background>(argv, options);
        ASSERT_FALSE(sim_->WaitForLine("READY", 20000ms).empty());
        // The Updater sees the virtual USB devices through umockdev's preload.
        std::istringstream ready(sim_->output());
        for (std::string line; std::getline(ready, line);)
            if (line.rfind("env ", 0) == 0 && line.find('=') != std::string::npos)
                env_[line.substr(4, line.find('=') - 4)] = line.substr(line.find('=') + 1);
    }

    // Standard output after the version line; the run must succeed.
    std::string Discover(std::vector<std::string> args, testsupport::RunResult* whole = nullptr) {
        args.insert(args.end(), {"-u", "http://127.0.0.1:1/", "-i", dir_.path()});
        testsupport::RunOptions options;
        options.env = env_;
        const testsupport::RunResult r = testsupport::RunUpdater(args, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("Updater (Version: ", 0), 0u) << r.out;
        if (whole) *whole = r;
        return r.out.substr(r.out.find('\n') + 1);
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::Background> sim_;
    std::map<std::string, std::string> env_;
};

TEST_F(UpdaterDiscover, TcpipListsEveryModuleWithItsAddressAndKeepsBadOnesInTheirPlace) {
    // A module on firmware too old for names, one whose name would drive the
    // terminal, and one that answers every request short (listed with what
    // discovery told of it: its address doubles as router).
    StartSim(Ini({kRouter + ";build = 4321;name = Bench A",
                  "[module old];serial = 0x40F5849A;model = 13;address = 6;version = 2.10.3;build = 12;name = Old",
                  "[module evil];serial = 0x0E71C0DE;model = 18;address = 8;version = 2.10.4;build = 5;"
                  "name = Evil\x1b[2J",
                  "[module short];serial = 0x0BADCAFE;model = 19;address = 10;fault.short_replies = always"}),
             false);
    EXPECT_EQ(Discover({"-D", "-t", "TCPIP"}),
              "Searching for Tarnix devices\nDiscovered Devices: (TCPIP)\n" + kTcpHeader +
                  "    D272031D  04       00      Ristova        2.15.3 (      4321)        [10.77.0.1]        Bench A\n"
                  "    40F5849A  06       00      Dravik         2.10.3 (        12)        [10.77.0.1]        \n"
                  "    0E71C0DE  08       00      Sallowen       2.10.4 (         5)        [10.77.0.1]        Evil?[2J\n"
                  "    0BADCAFE  0A       0A      Tamberin       0.0.0 (         0)        [10.77.0.1]        \n");

    // -I -D finds the same modules and reports what the (empty) store knows of each.
    testsupport::RunResult info;
    Discover({"-I", "-D", "-t", "TCPIP"}, &info);
    for (const char* serial : {"D272031D", "40F5849A", "0E71C0DE", "0BADCAFE"})
        EXPECT_NE(info.err.find(std::string("No stored information for device [") + serial + "]"), std::string::npos)
            << info.err;
}

// Only a reply from the subnet of the interface the request went out on is
// believed: a responder elsewhere (even one adjacent, or on this very host)
// is not listed.
TEST_F(UpdaterDiscover, TcpipListsOnlyRepliesFromTheAskingInterfacesSubnet) {
    for (const char* address : {"192.0.2.10/32", "10.77.1.5/32"})
        ASSERT_EQ(testsupport::Run({"/sbin/ip", "addr", "add", address, "dev", "lo"}).status, 0);
    struct Case {
        const char* bind;
        const char* source; // "" the module's own address
        bool listed;
    };
    const std::vector<Case> cases{
        {"10.77.0.1", "", true},
        {"10.77.0.2", "", true},
        {"10.77.0.1", "192.0.2.10", false},
        {"10.77.0.1", "10.77.1.5", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bind) + " from " + c.source);
        StartSim(Ini({kRouter + ";build = 4321;name = Bench A"}), false, c.bind, c.source);
        const std::string rows =
            c.listed ? kTcpHeader + "    D272031D  04       00      Ristova        2.15.3 (      4321)        [" +
                           c.bind + "]        Bench A\n"
                     : "    No devices found.\n";
        EXPECT_EQ(Discover({"-D", "-t", "TCPIP"}), "Searching for Tarnix devices\nDiscovered Devices: (TCPIP)\n" + rows);
        // The responder did answer: the list is short because the host refused it.
        EXPECT_NE(testsupport::ReadFile(dir_ / "sim.log").find("discovery: router answered"), std::string::npos);
    }
}

TEST_F(UpdaterDiscover, UsbListsAnOldModuleWithoutNameAndABusyOneAsInUse) {
    StartSim(Ini({"[module old];serial = 0x40F5849A;model = 13;address = 6;version = 2.10.3;build = 12;"
                  "name = Old;transport = usb",
                  "[module busy];serial = 0x0E71C0DE;model = 18;address = 8;version = 2.16.0;transport = usb;"
                  "fault.usb_held = yes"}),
             true);
    const std::string list =
        "Discovered Devices: (USB)\n" + kUsbHeader +
        "    0E71C0DE  [Error (25): Device in use. Close all other Velorn associated applications.]\n"
        "    40F5849A  06       00      Dravik         2.10.3 (        12)         \n";
    EXPECT_EQ(Discover({"-D"}), "Searching for Tarnix devices\n" + list);
    EXPECT_EQ(Discover({"-D", "-t", "USB"}), "Searching for Tarnix devices\n" + list);
}

// The router on TCP/IP, then on USB.
class UpdaterDiscoverRouter : public UpdaterDiscover, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdaterDiscoverRouter, ProbesEachEvenAddressOnceAndListsTheModulesThatAnswer) {
    const bool usb = GetParam();
    std::vector<std::string> modules = kBehind;
    modules.insert(modules.begin(), kRouter + (usb ? ";transport = usb" : ""));
    // A module on USB must not keep a router on TCP/IP from being found.
    if (!usb) modules.push_back("[module other];serial = 0x0A0A0A0A;address = 6;transport = usb");
    StartSim(Ini(modules), usb);
    const std::string end = usb ? "         \n" : "        [10.77.0.1]        \n";
    const std::string rows = "    2181F0EE  10       04      Dravik         2.10.4 (        77)" + end +
                             "    00C0FFEE  3A       04      Sallowen       2.10.3 (        78)" + end +
                             "    12345678  F0       04      Tamberin       3.0.1 (        79)" + end;
    const std::string searching = "Searching for Tarnix Network devices connected to D272031D\n";
    // Without -t the router is looked for on USB, then on TCP/IP; the list is
    // headed "Unknown", with the address column (USB rows leave it out).
    EXPECT_EQ(Discover({"-D", "-r", "D272031D"}), searching + "Discovered Devices: (Unknown)\n" + kTcpHeader + rows);

    // Every packet that run sent to the router: the I2C probes (command 8,
    // data: 8, bus, address, length, speed, bytes) and the route it cleared.
    std::istringstream log(testsupport::ReadFile(dir_ / "sim.log"));
    std::vector<unsigned> probed;
    std::vector<std::string> routes;
    for (std::string line; std::getline(log, line);) {
        if (line.find(" rx 04 ") != std::string::npos) {
            std::istringstream words(line.substr(line.find(" rx 04 ") + 7));
            unsigned length = 0, command = 0, bus = 0, address = 0;
            words >> std::hex >> length >> command;
            if (command == 8 && words >> bus >> address) probed.push_back(address);
        }
        if (line.find("router: routeToMe") != std::string::npos) routes.push_back(line.substr(line.rfind(' ') + 1));
    }
    EXPECT_EQ(probed.size(), 125u); // 2..252 less the router's own
    EXPECT_EQ(std::set<unsigned>(probed.begin(), probed.end()).size(), probed.size());
    for (unsigned address : probed) EXPECT_TRUE(address % 2 == 0 && address >= 2 && address <= 252 && address != 4);
    EXPECT_EQ(routes, (std::vector<std::string>{"1", "0"}));

    const char* type = usb ? "USB" : "TCPIP";
    EXPECT_EQ(Discover({"-D", "-r", "D272031D", "-t", type}),
              searching + "Discovered Devices: (" + type + ")\n" + (usb ? kUsbHeader : kTcpHeader) + rows);
    // A router nobody has: nothing probed, nothing said but the empty list.
    EXPECT_EQ(Discover({"-D", "-r", "0BADF00D", "-t", type}),
              "Searching for Tarnix Network devices connected to 0BADF00D\nDiscovered Devices: (" +
                  std::string(type) + ")\n    No devices found.\n");
}

INSTANTIATE_TEST_SUITE_P(Transports, UpdaterDiscoverRouter, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Usb" : "Tcpip"; });

} // namespace
