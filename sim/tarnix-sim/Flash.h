// Simulated flash and the per-module state directory that survives restarts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnixsim {

using Bytes = std::vector<uint8_t>;

// The identity record a firmware image carries so that the module can report
// what it runs after a reboot: 20 bytes, little-endian like the image words,
// starting on a 4-byte boundary anywhere in the written flash.
//   0  8  magic "TNXIDENT"
//   8  4  packed firmware version (as the version option reports it)
//  12  4  build number
//  16  4  target address of the 32-bit serial-number word (0: keep the serial)
struct IdentityRecord {
    static constexpr char kMagic[9] = "TNXIDENT";
    static constexpr size_t kSize = 20;
    uint32_t version = 0;
    uint32_t build = 0;
    uint32_t serial_address = 0;
};

// Files of one module below the state directory; an empty directory keeps
// everything in memory only.
class StateDir {
public:
    StateDir() = default;
    explicit StateDir(std::string dir);
    bool persistent() const { return !dir_.empty(); }
    const std::string& path() const { return dir_; }
    std::optional<Bytes> read(const std::string& name) const;
    // Replaces the file as a whole (written aside, then renamed).
    void write(const std::string& name, const Bytes& content) const;
    void append(const std::string& name, const std::string& line) const;

private:
    std::string dir_;
};

class Flash {
public:
    Flash(const StateDir& state, uint32_t base, uint32_t size);

    uint32_t base() const { return base_; }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    bool contains(uint32_t address, size_t length) const;
    void eraseAll();
    // Erases (0xFF) a range at a target address inside the flash, as a boot
    // ROM erases sectors (contains() must hold).
    void erase(uint32_t address, size_t length);
    // Programs bytes at a target address inside the flash (contains() must hold).
    void program(uint32_t address, const uint8_t* data, size_t length);
    const Bytes& bytes() const { return bytes_; }
    std::optional<uint32_t> readWord(uint32_t address) const;
    std::optional<IdentityRecord> findIdentity() const;

private:
    void save() const;
    // Writes the range as it now is to flash.bin (a persistent state only).
    void persist(uint32_t offset, size_t length) const;
    StateDir state_;
    uint32_t base_;
    Bytes bytes_;
};

} // namespace tarnixsim
