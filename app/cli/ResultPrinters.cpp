#include "ResultPrinters.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "CLI_Display.h"
#include "PrintableText.h"
#include "UpdateServerRequest.h"

namespace {
constexpr auto kInfo = UpdaterDisplayInterface::Info;
}

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
