#include "FleetModel.h"

#include <cctype>
#include <cstdio>

const char* TransportName(Transport transport) {
    switch (transport) {
    case Transport::Usb: return "usb";
    case Transport::Tcpip: return "tcpip";
    case Transport::I2c: return "i2c";
    case Transport::Serial: return "serial";
    }
    return "?";
}

std::string FleetModule::serial_text() const {
    if (!has_serial()) return "--------";
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}


std::string FleetModule::log_name() const {
    if (has_serial()) return serial_text();
    // A boot ROM: its fuse words, else its port, as a file name.
    std::string name = fingerprint_text().empty() ? boot_rom->port : fingerprint_text();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    return "boot-rom-" + name;
}

std::string FleetModule::version_text() const {
    return std::to_string(info.major) + "." + std::to_string(info.minor) + "." + std::to_string(info.patch);
}

const char* PlanEntry::action_text() const {
    switch (action) {
    case Action::Update: return "update";
    case Action::UpToDate: return "up-to-date";
    case Action::Skip:
    case Action::Refuse: return "skip";
    }
    return "?";
}

const char* PlanEntry::source_text() const {
    switch (source) {
    case Source::None: return nullptr;
    case Source::File: return "file";
    case Source::Store: return "store";
    case Source::Server: return "server";
    case Source::Journal: return "journal";
    case Source::Recovery: return "recovery";
    }
    return nullptr;
}

const char* ModuleResult::status_text() const {
    switch (status) {
    case Status::Updated: return "updated";
    case Status::UpToDate: return "up-to-date";
    case Status::Failed: return "failed";
    case Status::Skipped: return "skipped";
    }
    return "?";
}

Summary Summarise(const std::vector<ModuleResult>& results, bool interrupted) {
    Summary summary;
    summary.interrupted = interrupted;
    for (const ModuleResult& result : results) {
        switch (result.status) {
        case ModuleResult::Status::Updated: ++summary.updated; break;
        case ModuleResult::Status::UpToDate: ++summary.up_to_date; break;
        case ModuleResult::Status::Failed: ++summary.failed; break;
        case ModuleResult::Status::Skipped: ++summary.skipped; break;
        }
    }
    if (results.empty()) summary.exit_status = kExitNoMatch;
    else if (summary.failed == 0) summary.exit_status = kExitDone;
    else if (summary.updated + summary.up_to_date > 0) summary.exit_status = kExitSomeFailed;
    else summary.exit_status = kExitAllFailed;
    return summary;
}
