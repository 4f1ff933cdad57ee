// Serial ports: who holds them and whether this user may use them. Nothing
// here opens a port: opening one raises its modem lines, which resets some
// boards.
#include <dirent.h>
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "Doctor.h"

namespace {

const char* const kPortPatterns[] = {"/dev/ttyUSB*", "/dev/ttyACM*"};

// Programs known to grab serial adapters, and how to keep them off.
const struct {
    const char* name;
    const char* fix;
} kKnownHolders[] = {
    {"ModemManager", "ModemManager probes new serial ports for modems: stop it (sudo systemctl stop ModemManager) "
                     "or make it leave the port alone with a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\""},
    {"brltty", "brltty takes USB serial adapters for braille displays: stop it (sudo systemctl stop brltty) or "
               "remove it (sudo apt remove brltty)"},
};

struct Holder {
    long pid = 0;
    std::string name;
};

std::vector<std::string> PortsToCheck(const std::vector<std::string>& given) {
    std::vector<std::string> ports;
    for (const char* pattern : kPortPatterns) {
        glob_t found{};
        if (glob(pattern, 0, nullptr, &found) == 0)
            for (size_t i = 0; i < found.gl_pathc; ++i) ports.push_back(found.gl_pathv[i]);
        globfree(&found);
    }
    for (const std::string& port : given)
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    return ports;
}

bool IsNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    return true;
}

std::string ProcessName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "pid " + pid : name;
}

// Whether process `pid` has `node` open; a process whose descriptors this
// user may not read sets `hidden`.
bool Holds(const std::string& pid, const std::string& node, bool& hidden) {
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) {
        hidden = hidden || errno == EACCES;
        return false;
    }
    bool holds = false;
    char target[PATH_MAX];
    for (const dirent* entry; !holds && (entry = readdir(dir)) != nullptr;) {
        const ssize_t length = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
        holds = length > 0 && node.compare(0, std::string::npos, target, size_t(length)) == 0;
    }
    closedir(dir);
    return holds;
}

// The other processes that have `node` open, as far as /proc shows them.
std::vector<Holder> HoldersOf(const std::string& node, bool& hidden) {
    std::vector<Holder> holders;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    const std::string self = std::to_string(getpid());
    for (const dirent* entry; (entry = readdir(proc)) != nullptr;) {
        if (!IsNumber(entry->d_name) || self == entry->d_name) continue;
        if (Holds(entry->d_name, node, hidden)) holders.push_back({std::atol(entry->d_name), ProcessName(entry->d_name)});
    }
    closedir(proc);
    return holders;
}

std::string HolderFix(const Holder& holder) {
    for (const auto& known : kKnownHolders)
        if (holder.name == known.name) return known.fix;
    return "close " + holder.name + " (pid " + std::to_string(holder.pid) + ") or stop it (kill " +
           std::to_string(holder.pid) + ") before updating";
}

std::string PortAccessFix(const std::string& node) {
    const std::string user = DoctorUserName();
    struct stat st {};
    if (stat(node.c_str(), &st) == 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP) && st.st_gid != 0 &&
        !DoctorInGroup(st.st_gid)) {
        const std::string group = DoctorGroupName(st.st_gid);
        return "add " + user + " to group " + group + " (sudo usermod -aG " + group + " " + user +
               "), then log in again";
    }
    return "give group dialout read-write access to " + node +
           " (a udev rule with GROUP=\"dialout\", MODE=\"0660\") and add " + user +
           " to it (sudo usermod -aG dialout " + user + "), then log in again";
}

DoctorCheck CheckPort(const std::string& port) {
    DoctorCheck check{"serial-port", false, "", ""};
    char resolved[PATH_MAX];
    if (realpath(port.c_str(), resolved) == nullptr) {
        check.detail = port + ": " + std::strerror(errno);
        check.fix = "give the serial port's device node with --port";
        return check;
    }
    const std::string node = resolved;
    const std::string shown = node == port ? port : port + " (" + node + ")";
    struct stat st {};
    if (stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        check.detail = shown + " is not a device";
        check.fix = "give the serial port's device node with --port";
        return check;
    }
    // Both problems at once: each has its own fix.
    std::vector<std::string> problems, fixes;
    if (access(node.c_str(), R_OK | W_OK) != 0) {
        problems.push_back(std::string("not accessible: ") + std::strerror(errno));
        fixes.push_back(PortAccessFix(node));
    }
    bool hidden = false;
    const std::vector<Holder> holders = HoldersOf(node, hidden);
    for (const Holder& holder : holders) {
        problems.push_back("held by " + holder.name + " (pid " + std::to_string(holder.pid) + ")");
        fixes.push_back(HolderFix(holder));
    }
    for (size_t i = 0; i < problems.size(); ++i) {
        check.detail += (i == 0 ? shown + ": " : "; ") + problems[i];
        check.fix += (i == 0 ? "" : "; ") + fixes[i];
    }
    check.ok = problems.empty();
    if (check.ok)
        check.detail = shown + ": free, read-write access" +
                       (hidden ? " (other users' processes cannot be seen; run as root to see them)" : "");
    return check;
}

} // namespace

std::vector<DoctorCheck> CheckSerialPorts(const std::vector<std::string>& given) {
    const std::vector<std::string> ports = PortsToCheck(given);
    if (ports.empty()) return {{"serial-port", true, "no serial port (/dev/ttyUSB*, /dev/ttyACM*)", ""}};
    std::vector<DoctorCheck> checks;
    for (const std::string& port : ports) checks.push_back(CheckPort(port));
    return checks;
}
