// tarnix-fleet doctor as a user runs it: the real binary with --json, against
// the stand-in update server, tarnix-sim's virtual USB modules and i.MX boot
// ROM (umockdev), pseudo-terminals held by other processes, and stores an
// ordinary user may or may not write.
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Process.h"
#include "ServerTestSupport.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using testsupport::RunOptions;
using testsupport::TempDir;
namespace fs = std::filesystem;

const std::vector<std::string> kAsNobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

struct Check {
    std::string check, detail, fix;
    bool ok = false;
};

// The text value of "key" in one flat JSON line; "" for null or absent.
std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    if (line.compare(at, 4, "true") == 0) return "true";
    if (line[at] != '"') return "";
    std::string value;
    for (++at; at < line.size() && line[at] != '"'; ++at) value += line[at] == '\\' ? line[++at] : line[at];
    return value;
}

struct Report {
    int status = -1;
    std::vector<Check> checks;
    std::string out, err;
    // The checks of one kind.
    std::vector<Check> Of(const std::string& name) const {
        std::vector<Check> found;
        for (const Check& c : checks)
            if (c.check == name) found.push_back(c);
        return found;
    }
    // The one check of this kind (a failed expectation when there is not one).
    Check One(const std::string& name) const {
        const auto found = Of(name);
        EXPECT_EQ(found.size(), 1u) << name << " in\n" << out;
        return found.empty() ? Check{} : found[0];
    }
    bool AllOk() const {
        for (const Check& c : checks)
            if (!c.ok) return false;
        return !checks.empty();
    }
};

Report Doctor(const std::vector<std::string>& args, const RunOptions& options = {},
              const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {TARNIX_FLEET_BIN, "doctor", "--json"});
    argv.insert(argv.end(), args.begin(), args.end());
    const auto run = testsupport::Run(argv, options);
    Report report{run.status, {}, run.out, run.err};
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.find("\"event\":\"doctor\""), std::string::npos) << line;
        report.checks.push_back({Field(line, "check"), Field(line, "detail"), Field(line, "fix"),
                                 Field(line, "ok") == "true"});
    }
    return report;
}

// A directory others may enter, as a machine's /tmp subdirectories are.
struct OpenDir : TempDir {
    OpenDir() { chmod(path().c_str(), 0755); }
};

// The machine as it is (only the store and the server are the test's): both
// pass while the stand-in server runs, the server fails with its fix once it
// is stopped, and the exit status follows the checks.
TEST(FleetDoctor, StoreAndServerOnThisMachine) {
    OpenDir dir;
    fs::create_directories(dir / "catalog");
    testsupport::WriteFile(dir / "devices", "");
    servertest::StandInServer::Config config;
    config.catalog = dir / "catalog";
    config.devices = dir / "devices";
    servertest::StandInServer server(config);
    const std::vector<std::string> args{"-i", dir / "store", "-u", server.url()};

    const Report up = Doctor(args);
    EXPECT_TRUE(up.One("store").ok) << up.out;
    EXPECT_TRUE(up.One("update-server").ok) << up.out;
    EXPECT_EQ(up.status, up.AllOk() ? 0 : 1) << up.out;
    EXPECT_FALSE(fs::exists(dir / "store")) << "the doctor made the store";

    server.process().Stop();
    const Report down = Doctor(args);
    const Check refused = down.One("update-server");
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.detail.find(server.url() + ": Couldn't connect"), std::string::npos) << refused.detail;
    EXPECT_NE(refused.fix.find("-u URL"), std::string::npos) << refused.fix;
    EXPECT_EQ(down.status, 1);
}

// Servers that answer wrongly, or not at all within the bound.
TEST(FleetDoctor, ServerThatIsNotTheUpdateServer) {
    OpenDir dir;
    struct Case {
        std::vector<servertest::CannedServer::Answer> answers;
        const char* detail;
        const char* fix;
    };
    const std::vector<Case> cases{
        {{{"*", 404, "no such page", false}}, ": HTTP status 404", "did not answer as the update server"},
        {{{"*", 200, "<html>portal</html>", false}}, "does not begin with \"ok\"", "did not answer as the update"},
        {{{"*", 200, "", true}}, "no complete answer within 2 s", "the network and the proxy"},
    };
    for (const Case& c : cases) {
        servertest::CannedServer server(c.answers);
        RunOptions options;
        options.env["UPDATER_HTTP_TIMEOUT"] = "2";
        const Report r = Doctor({"-i", dir / "store", "-u", server.url()}, options);
        const Check check = r.One("update-server");
        EXPECT_FALSE(check.ok);
        EXPECT_NE(check.detail.find(c.detail), std::string::npos) << check.detail;
        EXPECT_NE(check.fix.find(c.fix), std::string::npos) << check.fix;
        EXPECT_EQ(r.status, 1);
    }
}

// Store roots updates can and cannot use, for this user and for another.
TEST(FleetDoctor, StoreDirectory) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> make; // the root, made in a directory
        bool asNobody;
        bool ok;
        const char* detail;
    };
    const std::vector<Case> cases{
        {"empty directory", [](auto d) { fs::create_directory(d + "/s"); return d + "/s"; }, false, true, "is writable"},
        {"missing, parent writable", [](auto d) { return d + "/new/store"; }, false, true, "does not exist yet"},
        {"link to a directory",
         [](auto d) { fs::create_directory(d + "/real"); fs::create_directory_symlink(d + "/real", d + "/s");
                      return d + "/s"; }, false, true, "is writable"},
        {"regular file", [](auto d) { testsupport::WriteFile(d + "/s", "x"); return d + "/s"; }, false, false,
         "is not a directory"},
        {"run-record folder is a link",
         [](auto d) { fs::create_directories(d + "/s"); fs::create_directory_symlink("/tmp", d + "/s/fleet");
                      return d + "/s"; }, false, false, "/s/fleet is not a directory"},
        {"store folder is a file",
         [](auto d) { fs::create_directories(d + "/s"); testsupport::WriteFile(d + "/s/updater", "");
                      return d + "/s"; }, false, false, "/s/updater is not a directory"},
        {"another user's directory", [](auto d) { fs::create_directory(d + "/s"); return d + "/s"; }, true, false,
         "cannot write in"},
        {"another user's parent", [](auto d) { return d + "/s"; }, true, false, "cannot make"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenDir dir;
        const std::string root = c.make(dir.path());
        const Report r = Doctor({"-i", root, "-u", "http://127.0.0.1:1/cgi/u"}, {}, c.asNobody ? kAsNobody : std::vector<std::string>{});
        const Check store = r.One("store");
        EXPECT_EQ(store.ok, c.ok) << store.detail;
        EXPECT_NE(store.detail.find(c.detail), std::string::npos) << store.detail;
        EXPECT_EQ(store.fix.empty(), c.ok) << store.fix;
        EXPECT_EQ(r.status, 1); // the server at port 1 never answers
        std::vector<std::string> left;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) left.push_back(e.path().filename());
        for (const std::string& name : left) EXPECT_EQ(name.find(".tarnix-doctor"), std::string::npos);
    }
}

// Where the rule is looked for comes from TARNIX_UDEV_RULES_PATH here; the
// first directory that has the file decides, as with udev.
TEST(FleetDoctor, UdevRule) {
    OpenDir dir;
    const std::string rule = testsupport::ReadFile(PROJECT_SOURCE_DIR "/packaging/60-tarnix.rules");
    fs::create_directories(dir / "empty");
    fs::create_directories(dir / "good");
    testsupport::WriteFile(dir / "good/60-tarnix.rules", rule);
    fs::create_directories(dir / "masked");
    fs::create_symlink("/dev/null", dir / "masked/60-tarnix.rules");
    fs::create_directories(dir / "rom-only");
    testsupport::WriteFile(dir / "rom-only/60-tarnix.rules", rule.substr(rule.find("# i.MX serial")));
    struct Case {
        std::string path;
        bool ok;
        std::string detail;
    };
    const std::vector<Case> cases{
        {dir / "empty" + ":" + dir / "good", true, dir / "good/60-tarnix.rules"},
        {dir / "empty", false, "60-tarnix.rules is not in " + dir / "empty"},
        {dir / "masked:" + dir / "good", false, "is masked"},
        {dir / "rom-only:" + dir / "good", false, "does not name the Tarnix vendor"},
    };
    for (const Case& c : cases) {
        RunOptions options;
        options.env["TARNIX_UDEV_RULES_PATH"] = c.path;
        const Check check = Doctor({"-i", dir / "store", "-u", "http://127.0.0.1:1/"}, options).One("udev-rule");
        EXPECT_EQ(check.ok, c.ok) << c.path;
        EXPECT_NE(check.detail.find(c.detail), std::string::npos) << check.detail;
        if (!c.ok) {
            EXPECT_NE(check.fix.find("udevadm control --reload"), std::string::npos) << check.fix;
        }
    }
}

// tarnix-sim with one module on virtual USB and an i.MX boot ROM on hidraw;
// the doctor reaches them with env().
class UsbBench {
public:
    UsbBench() {
        testsupport::WriteFile(dir_ / "sim.ini",
                               "[module a]\nserial = 0x1234ABCD\nmodel = 4\ntransport = usb\n"
                               "[module rom]\nserial = 0xDEADDEAD\nmodel = 17\ntransport = usb\n"
                               "start_down = yes\nloader_running = yes\n");
        RunOptions options;
        options.env["TMPDIR"] = dir_.path();
        sim_ = std::make_unique<testsupport::Background>(
            std::vector<std::string>{TARNIX_SIM_BIN, "--imx-hid-rom", "rom", "--log", dir_ / "sim.log",
                                     dir_ / "sim.ini"},
            options);
        ready_ = !sim_->WaitForLine("READY", 20s).empty();
        std::istringstream out(sim_->output());
        for (std::string line; std::getline(out, line);) {
            if (line.rfind("env ", 0) == 0)
                env_.env[line.substr(4, line.find('=') - 4)] = line.substr(line.find('=') + 1);
            if (line.rfind("module a usb ", 0) == 0) module_node_ = "/dev/" + line.substr(13);
        }
        // The test bed is the simulator's (mode 0700): open it to the ordinary
        // user as a machine's /sys and /dev are.
        if (ready_) testsupport::Run({"/bin/chmod", "-R", "a+rwX", testbed()});
    }
    bool ready() const { return ready_ && !module_node_.empty() && env_.env.count("LD_PRELOAD"); }
    RunOptions env() const { return env_; }
    std::string testbed() const { return env_.env.at("UMOCKDEV_DIR"); }
    const std::string& module_node() const { return module_node_; }

private:
    OpenDir dir_;
    std::unique_ptr<testsupport::Background> sim_;
    bool ready_ = false;
    RunOptions env_;
    std::string module_node_;
};

// An ordinary user and the nodes of a module and a boot ROM: refused ones are
// reported with their node and the fix that fits (the rule, the group, a
// replug); open ones pass.
TEST(FleetDoctor, UsbAccessAsAnOrdinaryUser) {
    UsbBench bench;
    ASSERT_TRUE(bench.ready());
    OpenDir rules;
    fs::create_directories(rules / "with");
    fs::create_directories(rules / "without");
    fs::copy_file(PROJECT_SOURCE_DIR "/packaging/60-tarnix.rules", rules / "with/60-tarnix.rules");
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    struct Case {
        const char* check;
        std::string node; // as the doctor names it
        mode_t mode;
        bool dialoutGroup;
        bool rule;
        const char* detail;
        const char* fix; // "" when it passes
    };
    const std::string module = bench.module_node();
    const std::vector<Case> cases{
        {"usb-module", module, 0666, false, false, "module [1234ABCD] 24FF:0004 at ", ""},
        {"usb-module", module, 0600, false, false, " (24FF:0004): permission denied", "install the udev rule"},
        {"usb-module", module, 0660, true, true, " (24FF:0004): permission denied", "add nobody to group dialout"},
        {"usb-module", module, 0600, false, true, " (24FF:0004): permission denied", "plug the module in again"},
        {"imx-boot-rom", "/dev/hidraw0", 0666, false, false, "boot ROM 1FC9:0130 at ", ""},
        {"imx-boot-rom", "/dev/hidraw0", 0600, false, false, " (1FC9:0130): permission denied", "install the udev"},
        {"imx-boot-rom", "/dev/hidraw0", 0600, false, true, " (1FC9:0130): permission denied", "plug the board in"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node + " mode " + std::to_string(c.mode));
        const std::string file = bench.testbed() + c.node;
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0) << file;
        ASSERT_EQ(chown(file.c_str(), 0, c.dialoutGroup ? dialout->gr_gid : 0), 0);
        RunOptions options = bench.env();
        options.env["TARNIX_UDEV_RULES_PATH"] = rules / (c.rule ? "with" : "without");
        const Report r = Doctor({"-i", rules / "store", "-u", "http://127.0.0.1:1/"}, options, kAsNobody);
        const Check check = r.One(c.check);
        EXPECT_EQ(check.ok, *c.fix == '\0') << check.detail;
        EXPECT_NE(check.detail.find(c.detail), std::string::npos) << check.detail;
        EXPECT_NE(check.detail.find(c.node), std::string::npos) << check.detail;
        EXPECT_NE(check.fix.find(c.fix), std::string::npos) << check.fix;
    }
}

// A pseudo-terminal whose other side nobody has open yet.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) node = ptsname(master);
    }
    ~Pty() { close(master); }
    int master = -1;
    std::string node;
};

// A process (sleep) that holds `node` open until it is destroyed.
struct Holder {
    explicit Holder(const std::string& node)
        : process({"/bin/bash", "-c", "exec sleep 600 <>\"$0\"", node}) {
        // The redirection comes before the exec: once it is sleep, it holds the port.
        for (int i = 0; i < 500 && testsupport::ReadFile("/proc/" + pid() + "/comm") != "sleep\n"; ++i)
            std::this_thread::sleep_for(20ms);
    }
    std::string pid() const { return std::to_string(process.pid()); }
    testsupport::Background process;
};

// Serial ports given with --port: free, held by another process (directly or
// behind a link), not accessible to the user, or not there.
TEST(FleetDoctor, SerialPorts) {
    OpenDir dir;
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    struct Case {
        const char* name;
        bool held, link, asNobody, missing;
        std::string detail, fix; // "{pid}" stands for the holder's pid; an empty fix: it passes
    };
    const std::vector<Case> cases{
        {"free", false, false, false, false, "{port}: free, read-write access", ""},
        {"held", true, false, false, false, "{port}: held by sleep (pid {pid})", "kill {pid}"},
        {"held behind a link", true, true, false, false, "{link} ({port}): held by sleep (pid {pid})", "kill {pid}"},
        {"not this user's", false, false, true, false, "{port}: not accessible: Permission denied",
         "add nobody to group dialout"},
        {"not there", false, false, false, true, "{link}: No such file or directory", "--port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        ASSERT_FALSE(pty.node.empty());
        ASSERT_EQ(chown(pty.node.c_str(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(chmod(pty.node.c_str(), 0660), 0);
        std::unique_ptr<Holder> holder;
        if (c.held) holder = std::make_unique<Holder>(pty.node);
        const std::string link = dir / (std::string("port-") + (c.held ? "h" : "f") + (c.missing ? "m" : ""));
        if (c.link) fs::create_symlink(pty.node, link);
        const std::string given = c.link || c.missing ? link : pty.node;
        const Report r = Doctor({"-i", dir / "store", "-u", "http://127.0.0.1:1/", "--port", given}, {},
                                c.asNobody ? kAsNobody : std::vector<std::string>{});
        const auto expand = [&](std::string text) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"{pid}", holder ? holder->pid() : ""},
                                             {"{port}", pty.node}, {"{link}", link}})
                for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
            return text;
        };
        Check check;
        for (const Check& found : r.Of("serial-port"))
            if (found.detail.rfind(given, 0) == 0) check = found;
        EXPECT_EQ(check.ok, c.fix.empty()) << check.detail;
        EXPECT_NE(check.detail.find(expand(c.detail)), std::string::npos) << check.detail;
        EXPECT_NE(check.fix.find(expand(c.fix)), std::string::npos) << check.fix;
        EXPECT_EQ(r.status, 1);
    }
}

} // namespace
