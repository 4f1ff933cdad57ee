// What makes updates fail before they start, checked one by one, each with
// the fix a user can apply: USB access (the udev rule, every Tarnix module
// and the i.MX boot ROM), serial ports, the store directory and the update
// server.
#pragma once

#include <string>
#include <vector>

struct DoctorCheck {
    std::string check;  // short name, for example "udev-rule"
    bool ok = false;
    std::string detail; // what was found, one line
    std::string fix;    // what to do about it; empty when ok
};

struct DoctorOptions {
    std::string store_root; // the store directory (the Updater's store is store_root/updater)
    std::string server_url; // the update server as -u gives it
};

// Runs every check; never changes anything. Main thread.
std::vector<DoctorCheck> RunDoctorChecks(const DoctorOptions& options);
