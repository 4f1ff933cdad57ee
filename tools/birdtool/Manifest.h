// The text manifest `birdtool pack` reads: one entry per line.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct ManifestImage {
    uint8_t type = 0;  // loader (0) or firmware (1)
    uint8_t flags = 0; // 0..7
    uint32_t address = 0;
    std::string file;  // resolved against the manifest's directory
    int line = 0;
};

struct Manifest {
    std::optional<std::string> build, version, serial, model;
    std::optional<std::pair<uint32_t, uint32_t>> serialOffsets; // serial number, descriptor
    std::optional<uint32_t> startAddress;
    std::vector<ManifestImage> images; // in manifest order

    bool HasInfo() const { return build || version || serial || model; }
};

struct ManifestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads and checks a manifest; throws ManifestError with "FILE:LINE: reason".
Manifest ReadManifest(const std::string& path);
