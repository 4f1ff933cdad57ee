#include "Doctor.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "HTTPRequest.h"
#include "SDPLoader.h"
#include "UpdateServerRequest.h"
#include "aDiscovery.h"

namespace {

const char kRuleName[] = "60-tarnix.rules";
// udev's order: a rule in /etc masks one of the same name further down.
const char* const kRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d",
                                        "/usr/lib/udev/rules.d"};
const char kRuleFix[] = "install the udev rule 60-tarnix.rules in /usr/lib/udev/rules.d (the tarnix-updater "
                        "package has it), run 'sudo udevadm control --reload', then plug the device in again";
// A short server check: a silent server must not hold up the report.
constexpr long kServerDeadlineSeconds = 10;

DoctorCheck Pass(const char* check, std::string detail) { return {check, true, std::move(detail), ""}; }
DoctorCheck Fail(const char* check, std::string detail, std::string fix) {
    return {check, false, std::move(detail), std::move(fix)};
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

std::vector<std::string> RuleDirectories() {
    const char* given = getenv(kDoctorRulesPathVariable);
    if (given == nullptr || *given == '\0') return {std::begin(kRuleDirectories), std::end(kRuleDirectories)};
    std::vector<std::string> directories;
    std::string rest = given;
    for (size_t cut; (cut = rest.find(':')) != std::string::npos; rest.erase(0, cut + 1))
        if (cut > 0) directories.push_back(rest.substr(0, cut));
    if (!rest.empty()) directories.push_back(rest);
    return directories;
}

struct RuleState {
    std::string path;      // the rule udev uses; empty when there is none
    std::string problem;   // why it does not give access; empty when it does
    bool installed() const { return !path.empty() && problem.empty(); }
};

// What the rule file at `path` lacks, or "" when it covers both devices.
std::string RuleProblem(const std::string& path) {
    char target[PATH_MAX];
    if (realpath(path.c_str(), target) != nullptr && std::strcmp(target, "/dev/null") == 0)
        return "is masked (a link to /dev/null)";
    std::ifstream file(path);
    if (!file) return std::string("cannot be read: ") + std::strerror(errno);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    if (text.find("24ff") == std::string::npos) return "does not name the Tarnix vendor 24ff";
    if (text.find("1fc9") == std::string::npos) return "does not name the i.MX boot ROM 1fc9:0130";
    return "";
}

RuleState FindRule() {
    RuleState rule;
    for (const std::string& directory : RuleDirectories()) {
        const std::string path = directory + "/" + kRuleName;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        rule.path = path;
        rule.problem = RuleProblem(path);
        break;
    }
    return rule;
}

DoctorCheck CheckRule(const RuleState& rule) {
    if (rule.installed()) return Pass("udev-rule", rule.path);
    if (!rule.path.empty()) return Fail("udev-rule", rule.path + " " + rule.problem, kRuleFix);
    std::string searched;
    for (const std::string& directory : RuleDirectories()) searched += (searched.empty() ? "" : ", ") + directory;
    return Fail("udev-rule", std::string(kRuleName) + " is not in " + searched, kRuleFix);
}

// How this user gets read-write access to a USB node the system refused.
std::string UsbAccessFix(const std::string& node, const RuleState& rule, const char* device) {
    const std::string user = DoctorUserName();
    struct stat st {};
    if (stat(node.c_str(), &st) == 0 && (st.st_mode & S_IWGRP) && st.st_gid != 0 && !DoctorInGroup(st.st_gid)) {
        const std::string group = DoctorGroupName(st.st_gid);
        return "add " + user + " to group " + group + " (sudo usermod -aG " + group + " " + user +
               "), then log in again";
    }
    if (!rule.installed()) return kRuleFix;
    return std::string("plug the ") + device +
           " in again so that the udev rule applies to it; the rule opens it to the user logged in at the "
           "seat, so from a remote login add " + user + " to a group that may write " + node + " or run as root";
}

bool sCollect(const aDiscoveryUSBAccess* device, void* reference) {
    static_cast<std::vector<aDiscoveryUSBAccess>*>(reference)->push_back(*device);
    return true;
}

std::vector<DoctorCheck> CheckUsbModules(const RuleState& rule) {
    std::vector<aDiscoveryUSBAccess> devices;
    (void)aDiscovery_CheckUSBAccess(sCollect, &devices); // the list says it all
    if (devices.empty()) return {Pass("usb-module", "no Tarnix module on USB")};
    std::vector<DoctorCheck> checks;
    for (const aDiscoveryUSBAccess& d : devices) {
        const std::string node = d.node;
        const std::string id = Hex4(d.vendor) + ":" + Hex4(d.product);
        if (d.access == aErrNone) {
            char serial[16] = "";
            if (d.serialNumber != 0) std::snprintf(serial, sizeof serial, " [%08X]", d.serialNumber);
            checks.push_back(Pass("usb-module", "module" + std::string(serial) + " " + id + " at " + node +
                                                    ": read-write access"));
        } else if (d.access == aErrPermission) {
            checks.push_back(Fail("usb-module", node + " (" + id + "): permission denied",
                                  UsbAccessFix(node, rule, "module")));
        } else {
            checks.push_back(Fail("usb-module", node + " (" + id + "): " + aError_GetErrorText(d.access),
                                  "plug the module in again; if it stays, try another cable or port"));
        }
    }
    return checks;
}

std::vector<DoctorCheck> CheckBootRoms(const RuleState& rule) {
    const std::vector<HidRomAccess> roms = HID_SDPLoader::CheckAccess();
    const std::string id = Hex4(HID_SDPLoader::kRomVendor) + ":" + Hex4(HID_SDPLoader::kRomProduct);
    if (roms.empty()) return {Pass("imx-boot-rom", "no i.MX boot ROM on USB (" + id + ")")};
    std::vector<DoctorCheck> checks;
    for (const HidRomAccess& rom : roms) {
        if (rom.opened)
            checks.push_back(Pass("imx-boot-rom", "boot ROM " + id + " at " + rom.path + ": read-write access"));
        else if (rom.denied)
            checks.push_back(Fail("imx-boot-rom", rom.path + " (" + id + "): permission denied",
                                  UsbAccessFix(rom.path, rule, "board")));
        else
            checks.push_back(Fail("imx-boot-rom", rom.path + " (" + id + "): " + rom.error,
                                  "plug the board in again in its boot mode"));
    }
    return checks;
}

// Writes and removes a file in `directory`; "" when that works, else why not.
std::string WriteProblem(const std::string& directory) {
    std::string name = directory + "/.tarnix-doctor.XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) return std::strerror(errno);
    close(fd);
    if (unlink(name.c_str()) != 0) return std::string("cannot remove a file: ") + std::strerror(errno);
    return "";
}

// The nearest ancestor of a missing path that exists, with its status in
// `st` ("." for a relative path none of whose ancestors exists).
std::string ExistingAncestor(std::string path, struct stat& st) {
    for (;;) {
        const size_t cut = path.find_last_of('/');
        path = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
        if (stat(path.c_str(), &st) == 0 || path == "/" || path == ".") return path;
    }
}

// The store directory's problem; "" when updates can use it. `note` tells
// what was found when all is well.
std::string StoreProblem(const std::string& root, std::string& note) {
    struct stat st {};
    if (stat(root.c_str(), &st) != 0) {
        if (errno != ENOENT) return root + ": " + std::strerror(errno);
        // Made on the first run: the nearest directory that exists must take it.
        const std::string parent = ExistingAncestor(root, st);
        if (!S_ISDIR(st.st_mode)) return parent + " is not a directory";
        if (access(parent.c_str(), W_OK | X_OK) != 0) return "cannot make " + root + ": " + std::strerror(errno);
        note = root + " does not exist yet; it will be made in " + parent;
        return "";
    }
    if (!S_ISDIR(st.st_mode)) return root + " is not a directory";
    if (std::string why = WriteProblem(root); !why.empty()) return "cannot write in " + root + ": " + why;
    // The run record's folder must be a directory of its own, never a link.
    const std::string fleet = root + "/fleet";
    if (lstat(fleet.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return fleet + " is not a directory";
    for (const std::string& sub : {root + "/updater", fleet}) {
        if (stat(sub.c_str(), &st) != 0) continue;
        if (!S_ISDIR(st.st_mode)) return sub + " is not a directory";
        if (std::string why = WriteProblem(sub); !why.empty()) return "cannot write in " + sub + ": " + why;
    }
    note = root + " is writable";
    return "";
}

DoctorCheck CheckStore(const std::string& root) {
    if (root.empty()) return Fail("store", "no store directory: there is no home directory", "give one with -i DIR");
    std::string note;
    const std::string problem = StoreProblem(root, note);
    if (problem.empty()) return Pass("store", note);
    return Fail("store", problem,
                "make " + root + " a directory that user " + DoctorUserName() +
                    " can write (or move away what is in the way), or give another store with -i DIR");
}

DoctorCheck CheckServer(const std::string& url) {
    const std::string shown = url.empty() ? UpdateServerRequest::DefaultURL() : url;
    HTTPLimits limits = HTTPLimits::Small();
    limits.deadlineSeconds = std::min(limits.deadlineSeconds, kServerDeadlineSeconds);
    const Result reached = UpdateServerRequest::Reach(url, limits);
    if (reached.ok()) return Pass("update-server", shown + " answers");
    const bool answered = reached.code() == aErrNotFound || reached.code() == aErrParse;
    return Fail("update-server", shown + ": " + reached.message(),
                answered ? "this address did not answer as the update server: check the address given with "
                           "-u URL, or try again later"
                         : "check the address (-u URL), the network and the proxy settings (http_proxy, "
                           "https_proxy); a server with its own certificate needs CURL_CA_BUNDLE");
}

} // namespace

std::string DoctorUserName() {
    const struct passwd* entry = getpwuid(getuid());
    return entry != nullptr ? entry->pw_name : std::to_string(getuid());
}

std::string DoctorGroupName(unsigned gid) {
    const struct group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

bool DoctorInGroup(unsigned gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? size_t(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) < 0) return false;
    return std::find(groups.begin(), groups.end(), gid_t(gid)) != groups.end();
}

bool RunDoctorChecks(const DoctorOptions& options, const std::function<void(const DoctorCheck&)>& report) {
    bool ok = true;
    const auto tell = [&](const std::vector<DoctorCheck>& checks) {
        for (const DoctorCheck& check : checks) {
            ok = ok && check.ok;
            report(check);
        }
    };
    const RuleState rule = FindRule();
    tell({CheckRule(rule)});
    tell(CheckUsbModules(rule));
    tell(CheckBootRoms(rule));
    tell(CheckSerialPorts(options.ports));
    tell({CheckStore(options.store_root)});
    tell({CheckServer(options.server_url)});
    return ok;
}
