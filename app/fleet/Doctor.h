// What makes updates fail before they start, checked one by one, each with
// the fix a user can apply: USB access (the udev rule, every Tarnix module
// and the i.MX boot ROM), serial ports, the store directory and the update
// server.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct DoctorCheck {
    std::string check;  // short name, for example "udev-rule"
    bool ok = false;
    std::string detail; // what was found, one line
    std::string fix;    // what to do about it; empty when ok
};

struct DoctorOptions {
    std::string store_root;         // the store directory (the Updater's store is store_root/updater)
    std::string server_url;         // the update server as -u gives it
    std::vector<std::string> ports; // serial ports to check besides /dev/ttyUSB* and /dev/ttyACM*
};

// Where the udev rule is looked for: the directories in this variable
// (separated by ':') instead of udev's own.
constexpr const char* kDoctorRulesPathVariable = "TARNIX_UDEV_RULES_PATH";

// Runs every check and hands each to `report` as soon as it is done, in the
// order udev-rule, usb-module (one per Tarnix device, or one saying there is
// none), imx-boot-rom (likewise), serial-port (likewise), store,
// update-server. Returns whether every check passed. Changes nothing: the
// store check's temporary file is removed again. Main thread.
bool RunDoctorChecks(const DoctorOptions& options, const std::function<void(const DoctorCheck&)>& report);

// The serial-port checks alone (DoctorPorts.cpp): each of /dev/ttyUSB*,
// /dev/ttyACM* and `given`, for access and for other processes holding it.
std::vector<DoctorCheck> CheckSerialPorts(const std::vector<std::string>& given);

// Helpers the checks share. The name of the user running the program (the
// number when it has no name); the name of a group (likewise); whether this
// process is in the group.
std::string DoctorUserName();
std::string DoctorGroupName(unsigned gid);
bool DoctorInGroup(unsigned gid);
