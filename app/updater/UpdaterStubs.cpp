// Operations this build does not have yet. Each says so plainly and fails,
// so the command that needs it ends with status 1. Each operation moves out
// of this file into its own when it is built.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    _not_available("Device discovery");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_TarnixNetwork_Devices(unsigned, linkType) {
    _not_available("Network device discovery");
    return {};
}

// A finished update records itself with _record_transfer (LATEST_TRANSFER,
// its date and the Get_HistoryNote text), and only then.
bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) {
    _not_available("Firmware update");
    return false;
}
