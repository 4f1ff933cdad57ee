// What the stand-in server knows: the BIRD files of a catalog directory and
// the devices it serves.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CatalogBuild {
    std::string path;         // the file in the catalog directory
    std::string firmwareName; // file name without ".bird"
    uint32_t build = 0;
    std::string version;      // "major.minor.patch"
    std::string model;
};

struct Device {
    uint32_t serial = 0;
    std::string model;
    std::vector<std::string> features;
    std::optional<std::array<uint32_t, 4>> fingerprint;
};

class Catalog {
public:
    // Reads every *.bird file of the directory; problems are added to `warnings`.
    void LoadBuilds(const std::string& directory, std::vector<std::string>& warnings);
    // Reads the device list; false with a message on a malformed line.
    bool LoadDevices(const std::string& path, std::string& error);

    const Device* FindDevice(uint32_t serial) const;
    const Device* FindDeviceByFingerprint(const std::array<uint32_t, 4>& fingerprint) const;
    // The builds offered to a device (same model), newest first.
    std::vector<const CatalogBuild*> BuildsFor(const Device& device) const;
    // The file for a download: the named firmware if it has that build, else that
    // build for the device's model, else that build of any model.
    const CatalogBuild* FindForDownload(const Device& device, const std::string& firmwareName, uint32_t build) const;

    size_t BuildCount() const { return builds_.size(); }
    size_t DeviceCount() const { return devices_.size(); }

private:
    std::vector<CatalogBuild> builds_;
    std::vector<Device> devices_;
};

// Reads the identity (build, version, model) out of a BIRD file.
bool ReadBirdIdentity(const std::string& path, CatalogBuild& out, std::string& error);
// True when the first is the newer version (numbers compared part by part).
bool NewerVersion(const std::string& a, const std::string& b);
