#include "Manifest.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

constexpr size_t kFieldSize = 16;

[[noreturn]] void Fail(const std::string& path, int line, const std::string& reason) {
    throw ManifestError(path + ":" + std::to_string(line) + ": " + reason);
}

uint32_t ParseNumber(const std::string& text, const std::string& path, int line, const char* what) {
    if (text.empty() || text[0] == '-') Fail(path, line, std::string("bad ") + what + " '" + text + "'");
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || value > UINT32_MAX)
        Fail(path, line, std::string("bad ") + what + " '" + text + "'");
    return static_cast<uint32_t>(value);
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The rest of the line after the keyword, trimmed: text fields may hold blanks.
std::string RestOf(std::istringstream& words) {
    std::string rest;
    std::getline(words, rest);
    auto first = rest.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    auto last = rest.find_last_not_of(" \t\r");
    return rest.substr(first, last - first + 1);
}

std::string TextField(std::istringstream& words, const std::string& path, int line,
                      const std::string& key) {
    std::string value = RestOf(words);
    if (value.empty()) Fail(path, line, key + " needs a value");
    if (value.size() > kFieldSize) Fail(path, line, key + " is longer than 16 characters");
    return value;
}

} // namespace

Manifest ReadManifest(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ManifestError(path + ": cannot open manifest");

    Manifest manifest;
    const std::string base = DirectoryOf(path);
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        auto hash = text.find('#');
        if (hash != std::string::npos) text.resize(hash);
        std::istringstream words(text);
        std::string key;
        if (!(words >> key)) continue;

        if (key == "build") {
            std::string value = TextField(words, path, line, key);
            if (value.find_first_not_of("0123456789") != std::string::npos || value.size() > 15)
                Fail(path, line, "build must be a decimal number of at most 15 digits");
            manifest.build = value;
        } else if (key == "version") {
            std::string value = TextField(words, path, line, key);
            if (value.size() > 15 || value.find(' ') != std::string::npos)
                Fail(path, line, "version must be at most 15 characters without blanks");
            manifest.version = value;
        } else if (key == "serial") {
            std::string value = TextField(words, path, line, key);
            uint32_t serial = ParseNumber("0x" + value, path, line, "serial (8 hexadecimal digits)");
            char digits[9];
            std::snprintf(digits, sizeof digits, "%08X", serial);
            manifest.serial = digits;
        } else if (key == "model") {
            manifest.model = TextField(words, path, line, key);
        } else if (key == "serial-offsets") {
            std::string serial, descriptor;
            if (!(words >> serial >> descriptor) || !RestOf(words).empty())
                Fail(path, line, "serial-offsets needs two addresses");
            manifest.serialOffsets = {ParseNumber(serial, path, line, "serial number offset"),
                                      ParseNumber(descriptor, path, line, "descriptor offset")};
        } else if (key == "start-address") {
            std::string address;
            if (!(words >> address) || !RestOf(words).empty())
                Fail(path, line, "start-address needs one address");
            manifest.startAddress = ParseNumber(address, path, line, "start address");
        } else if (key == "loader" || key == "firmware") {
            ManifestImage image;
            image.type = key == "loader" ? 0 : 1;
            image.line = line;
            std::string address, file, option;
            if (!(words >> address >> file)) Fail(path, line, key + " needs an address and a file");
            image.address = ParseNumber(address, path, line, "load address");
            while (words >> option) {
                if (option.rfind("flags=", 0) != 0) Fail(path, line, "unknown option '" + option + "'");
                uint32_t flags = ParseNumber(option.substr(6), path, line, "flags");
                if (flags > 7) Fail(path, line, "flags must be 0 to 7");
                image.flags = static_cast<uint8_t>(flags);
            }
            image.file = file[0] == '/' ? file : base + "/" + file;
            manifest.images.push_back(image);
        } else {
            Fail(path, line, "unknown entry '" + key + "'");
        }
    }
    if (manifest.images.empty()) throw ManifestError(path + ": no loader or firmware image");
    return manifest;
}
