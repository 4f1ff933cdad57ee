#include "ResultPrinters.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "BirdFile.h"
#include "CLI_Display.h"
#include "PrintableText.h"
#include "UpdateServerRequest.h"

namespace {

// History keys shown for every device, present or not, in this order.
const char* const kHistoryKeys[] = {"LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE", "LATEST_TRANSFER",
                                    "LAST_TRANSFER_DATE", "CREATED_TIME", "UPDATED_TIME"};

const char* BlockTypeName(uint8_t type) {
    switch (type) {
    case BirdFile::BLOCK_LOADER: return "loader";
    case BirdFile::BLOCK_FIRMWARE: return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS: return "serial-number";
    case BirdFile::BLOCK_INFO: return "info";
    case BirdFile::BLOCK_START_ADDRESS: return "start-address";
    default: return "unknown";
    }
}
} // namespace

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type) {
    const char* type_name = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
    display.message(kInfo, "Discovered Devices: (%s)", type_name);
    if (list.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");

    for (const auto& device : list) {
        const linkSpec& spec = device.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (spec.type == TCPIP) {
            const uint8_t* ip = spec.transport; // IPv4 address in network byte order
            char ip_text[24];
            std::snprintf(ip_text, sizeof ip_text, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serial_num, spec.module, spec.router, model, device.major, device.minor,
                            static_cast<int>(device.patch), device.build, ip_text, device.device_name.c_str());
        } else if (device.error != aErrNone) {
            display.message(kInfo,
                            "    %08X  [Error (%d): Device in use. Close all other Velorn associated applications.]",
                            spec.serial_num, static_cast<int>(device.error));
        } else {
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serial_num, spec.module, spec.router, model, device.major, device.minor,
                            static_cast<int>(device.patch), device.build, device.device_name.c_str());
        }
    }
}

void _display_builds(CLI_Display& display, const BuildList& list, unsigned serial) {
    if (list.empty()) {
        display.message(kInfo, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(kInfo, "Build List for device [%08X]:\n", serial);
    display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
    // Builds and versions come from the server (or files it sent): print no control characters.
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(list))
        display.message(kInfo, "%-15.15s\t%-15.15s", PrintableText(build).c_str(), PrintableText(version).c_str());
}

void _display_jwt(CLI_Display& display, const std::string& token) {
    display.message(kInfo, "%s", PrintableText(token).c_str());
}

void _display_fingerprint(CLI_Display& display, const Fingerprint& fingerprint) {
    display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.word[0], fingerprint.word[1],
                    fingerprint.word[2], fingerprint.word[3]);
}

void _display_stored_device(CLI_Display& display, const StoredDevice& device, unsigned serial) {
    display.message(kInfo, "Stored information for device [%08X]", serial);
    display.message(kInfo, "Directory: %s", device.directory.c_str());
    if (device.settings_unreadable) {
        display.message(kInfo, "History: the settings file cannot be read");
    } else {
        display.message(kInfo, "History:");
        auto others = device.settings;
        for (const char* key : kHistoryKeys) {
            const auto found = others.find(key);
            display.message(kInfo, "    %-20s %s", key, found == others.end() ? "(none)" : found->second.c_str());
            if (found != others.end()) others.erase(found);
        }
        for (const auto& [key, value] : others) display.message(kInfo, "    %-20s %s", key.c_str(), value.c_str());
    }
    const JournalRead& journal = device.journal;
    if (journal.state == JournalRead::State::Found) {
        const JournalEntry& e = journal.entry;
        display.message(kInfo, "Unfinished update: %s (build %u) over %s, started %s, reached %s", e.file.c_str(),
                        e.build, e.link.c_str(), e.started.c_str(), e.phase.c_str());
        display.message(kInfo, "    the next Updater -U -d %08X finishes it", serial);
    } else if (journal.state == JournalRead::State::Damaged) {
        display.message(kInfo, "Unfinished update: a record is there but cannot be used (%s)", journal.problem.c_str());
    }
    _display_builds(display, device.builds, serial);
}

void _display_bird_check(CLI_Display& display, const BirdCheckReport& report) {
    display.message(kInfo, "Checking BIRD file: %s", report.path.c_str());
    if (report.loaded) {
        if (report.has_info) {
            display.message(kInfo, "Build:          %u", report.build);
            display.message(kInfo, "Version:        %s", report.version.c_str());
            display.message(kInfo, "Serial number:  %08X", report.serial);
            display.message(kInfo, "Model:          %s", report.model.c_str());
        } else {
            display.message(kInfo, "Info block:     none");
        }
        display.message(kInfo, "Blocks:         %zu", report.blocks.size());
        display.message(kInfo, "    %-17s %-10s %10s  %s", "Type", "Address", "Length", "Flags");
        for (const auto& block : report.blocks) {
            char address[16] = "-";
            if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE)
                std::snprintf(address, sizeof address, "0x%08X", block.address);
            display.message(kInfo, "    %-2u %-14s %-10s %10u  %u", block.type, BlockTypeName(block.type), address,
                            block.length, block.flags);
        }
        if (report.has_serial_block)
            display.message(kInfo, "Serial-number block: yes (serial number at 0x%08X, descriptor at 0x%08X)",
                            report.serial_offset, report.descriptor_offset);
        else
            display.message(kInfo, "Serial-number block: no");
        if (report.device != 0)
            display.message(kInfo, "Serial-number check for [%08X]: %s", report.device,
                            !report.serial_check_passed ? "failed"
                            : report.has_serial_block   ? "passed (the number is set into the firmware)"
                                                        : "passed");
    }
    for (const auto& problem : report.problems)
        display.message(kError, "BIRD file cannot be used for an update: %s", problem.c_str());
    if (report.problems.empty()) display.message(kInfo, "BIRD file can be used for an update");
}
