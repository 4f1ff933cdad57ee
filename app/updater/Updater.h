// The Updater: one operation per command, behind the command-line front end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "aDefs.h"
#include "aError.h"

class BirdFile;

// One discovered module.
struct DeviceInfo {
    linkSpec spec{};              // how to reach it, as discovery reported it
    uint16_t network_address = 0; // I2C address found by network discovery
    uint32_t build = 0;           // firmware build, 0 when unknown
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string model_name;
    std::string device_name;      // empty when not read
    aErr error = aErrNone;        // first error met while connecting or reading
};

// A chip's 128-bit identity.
struct Fingerprint {
    uint32_t word[4] = {0, 0, 0, 0};
};

// Build number (decimal text) to version text.
using BuildList = std::map<std::string, std::string>;

class Updater {
public:
    // Chip families recognised by the fingerprint read.
    static constexpr uint8_t kChipUnknown = 0;
    static constexpr uint8_t kChipIMX = 1;
    static constexpr uint8_t kChipLPC = 2;

    Updater(const char* server_url, const char* store_directory, UpdaterDisplayInterface& display);

    // Discovery and listing.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_TarnixNetwork_Devices(unsigned router_serial, linkType type);

    // Build listing, token and download.
    BuildList Get_BuildList(unsigned serial);
    BuildList Get_BuildListLocal(unsigned serial);
    std::string Get_JWT(unsigned serial);
    unsigned Download_Firmware(unsigned serial, std::string build, bool override, bool no_cal);

    // Firmware update over the device link.
    bool Update_Firmware(unsigned serial, unsigned build, std::string bird_file,
                         unsigned char module_address, unsigned router_serial, bool override);
    // May throw std::runtime_error.
    BirdFile load_bird(const char* verb, std::string bird_file, unsigned serial, unsigned build,
                       bool download_if_missing);

    // Boot-ROM recovery and fingerprint.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serial,
                         std::string bird_file, unsigned baud, bool reset_after);
    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                          std::string bird_file, bool override);

    void Set_UEIBytes_Load(bool load) { uei_bytes_load = load; }
    bool Get_UEIBytes_Load() const { return uei_bytes_load; }
    const std::string& Get_ServerURL() const { return server_url; }
    const std::string& Get_StoreDirectory() const { return store_directory; }
    UpdaterDisplayInterface& Get_Display() const { return display; }
    uint8_t Get_ChipFamily() const { return chip_family; }
    void Set_ChipFamily(uint8_t family) { chip_family = family; }

    // True once an operation that this build lacks was asked for; the entry
    // point then fails the run instead of reporting an empty result.
    bool Operation_Unavailable() const { return operation_unavailable; }

private:
    // Reports that `what` is not available in this build and remembers it.
    void _not_available(const char* what);

    std::string server_url;
    std::string store_directory;
    UpdaterDisplayInterface& display;
    uint8_t chip_family = kChipUnknown;
    bool uei_bytes_load = false;
    bool operation_unavailable = false;
};

class UpdaterStore;

// The store rooted at store_directory, for the length of one operation; null
// after reporting "Failed to Create UpdaterStore in: ..." with the caller's name.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& store_directory, const char* caller);
