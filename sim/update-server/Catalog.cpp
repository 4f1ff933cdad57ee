#include "Catalog.h"

#include <dirent.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

constexpr unsigned kInfoBlock = 4;
constexpr unsigned kTypeMask = 0x1F;

uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

bool Inflate(const std::string& compressed, std::string& out) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    char chunk[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}

// A 16-byte space-padded text field, cut at the first blank or NUL.
std::string Field(const unsigned char* p) {
    std::string text(reinterpret_cast<const char*>(p), 16);
    const size_t end = text.find_first_of(std::string(" \0", 2));
    return end == std::string::npos ? text : text.substr(0, end);
}

std::vector<long> VersionNumbers(const std::string& version) {
    std::vector<long> numbers;
    std::stringstream in(version);
    std::string part;
    while (std::getline(in, part, '.')) numbers.push_back(std::strtol(part.c_str(), nullptr, 10));
    return numbers;
}

bool SafeName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

bool ParseHex(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 8) return false;
    char* end = nullptr;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), &end, 16));
    return *end == '\0';
}

} // namespace

bool NewerVersion(const std::string& a, const std::string& b) {
    return VersionNumbers(a) > VersionNumbers(b);
}

bool ReadBirdIdentity(const std::string& path, CatalogBuild& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open";
        return false;
    }
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() <= 6 || file.compare(0, 4, "bird") != 0) {
        error = "not a BIRD file";
        return false;
    }
    std::string area;
    if (!Inflate(file.substr(6), area)) {
        error = "cannot inflate its contents";
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(area.data());
    size_t pos = 4;
    while (pos + 5 <= area.size()) {
        const unsigned type = bytes[pos] & kTypeMask;
        const uint32_t length = BigEndian32(bytes + pos + 1);
        pos += 5;
        if (length > area.size() - pos) break;
        if (type == kInfoBlock && length >= 64) {
            out.path = path;
            out.build = static_cast<uint32_t>(std::strtoul(Field(bytes + pos).c_str(), nullptr, 10));
            out.version = Field(bytes + pos + 16);
            out.model = Field(bytes + pos + 48);
            return true;
        }
        pos += length;
    }
    error = "no info block";
    return false;
}

void Catalog::LoadBuilds(const std::string& directory, std::vector<std::string>& warnings) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        warnings.push_back("cannot read catalog directory " + directory);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".bird") == 0) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        const std::string stem = name.substr(0, name.size() - 5);
        if (!SafeName(stem)) {
            warnings.push_back(name + ": skipped, firmware names may hold only letters, digits, '.', '_' and '-'");
            continue;
        }
        CatalogBuild build;
        std::string error;
        if (!ReadBirdIdentity(directory + "/" + name, build, error)) {
            warnings.push_back(name + ": skipped, " + error);
            continue;
        }
        build.firmwareName = stem;
        builds_.push_back(build);
    }
}

bool Catalog::LoadDevices(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open device list " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string serial, model, features, fingerprint;
        if (!(words >> serial)) continue;
        Device device;
        if (!(words >> model) || !ParseHex(serial, device.serial) || device.serial == 0) {
            error = path + ":" + std::to_string(number) + ": expected \"SERIAL MODEL [FEATURES [FINGERPRINT]]\"";
            return false;
        }
        device.model = model;
        if (words >> features && features != "-") {
            std::stringstream list(features);
            std::string feature;
            while (std::getline(list, feature, ','))
                if (!feature.empty()) device.features.push_back(feature);
        }
        if (words >> fingerprint && fingerprint != "-") {
            std::array<uint32_t, 4> fp{};
            std::stringstream list(fingerprint);
            std::string word;
            size_t count = 0;
            while (std::getline(list, word, ':')) {
                if (count == 4 || !ParseHex(word, fp[count])) {
                    count = 5;
                    break;
                }
                ++count;
            }
            if (count != 4) {
                error = path + ":" + std::to_string(number) + ": fingerprint must be four hexadecimal words W0:W1:W2:W3";
                return false;
            }
            device.fingerprint = fp;
        }
        devices_.push_back(device);
    }
    return true;
}

const Device* Catalog::FindDevice(uint32_t serial) const {
    for (const auto& device : devices_)
        if (device.serial == serial) return &device;
    return nullptr;
}

const Device* Catalog::FindDeviceByFingerprint(const std::array<uint32_t, 4>& fingerprint) const {
    for (const auto& device : devices_)
        if (device.fingerprint && *device.fingerprint == fingerprint) return &device;
    return nullptr;
}

std::vector<const CatalogBuild*> Catalog::BuildsFor(const Device& device) const {
    std::vector<const CatalogBuild*> offered;
    for (const auto& build : builds_)
        if (build.model == device.model) offered.push_back(&build);
    std::stable_sort(offered.begin(), offered.end(), [](const CatalogBuild* a, const CatalogBuild* b) {
        const auto va = VersionNumbers(a->version), vb = VersionNumbers(b->version);
        if (va != vb) return va > vb;
        return a->build > b->build;
    });
    return offered;
}

const CatalogBuild* Catalog::FindForDownload(const Device& device, const std::string& firmwareName,
                                             uint32_t build) const {
    for (const auto& b : builds_)
        if (b.build == build && b.firmwareName == firmwareName) return &b;
    for (const auto& b : builds_)
        if (b.build == build && b.model == device.model) return &b;
    for (const auto& b : builds_)
        if (b.build == build) return &b;
    return nullptr;
}
