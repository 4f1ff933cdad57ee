#include "Flash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnixsim {
namespace {

void makeDirs(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
                throw std::runtime_error("cannot create directory " + partial + ": " + std::strerror(errno));
        }
        if (i < path.size()) partial += path[i];
    }
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

constexpr char IdentityRecord::kMagic[9];

StateDir::StateDir(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.empty()) makeDirs(dir_);
}

std::optional<Bytes> StateDir::read(const std::string& name) const {
    if (dir_.empty()) return std::nullopt;
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void StateDir::write(const std::string& name, const Bytes& content) const {
    if (dir_.empty()) return;
    const std::string target = dir_ + "/" + name;
    const std::string aside = target + ".new";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        if (!out) throw std::runtime_error("cannot write " + aside);
    }
    if (std::rename(aside.c_str(), target.c_str()) != 0)
        throw std::runtime_error("cannot rename " + aside + ": " + std::strerror(errno));
}

void StateDir::append(const std::string& name, const std::string& line) const {
    if (dir_.empty()) return;
    std::ofstream out(dir_ + "/" + name, std::ios::app);
    out << line << "\n";
}

Flash::Flash(const StateDir& state, uint32_t base, uint32_t size) : state_(state), base_(base), bytes_(size, 0xFF) {
    if (auto saved = state_.read("flash.bin")) {
        // A flash of another size keeps what fits; the rest stays erased.
        std::copy_n(saved->begin(), std::min(saved->size(), bytes_.size()), bytes_.begin());
        if (saved->size() != bytes_.size()) save();
    } else {
        save();
    }
}

bool Flash::contains(uint32_t address, size_t length) const {
    if (address < base_) return false;
    uint64_t offset = uint64_t(address) - base_;
    return offset + length <= bytes_.size();
}

void Flash::eraseAll() {
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
    state_.append("writes.log", "erase");
    save();
}

void Flash::erase(uint32_t address, size_t length) {
    if (!contains(address, length)) throw std::out_of_range("flash erase outside the flash");
    std::fill_n(bytes_.begin() + (address - base_), length, 0xFF);
    char line[64];
    std::snprintf(line, sizeof line, "erase 0x%08X %zu", address, length);
    state_.append("writes.log", line);
    persist(address - base_, length);
}

void Flash::program(uint32_t address, const uint8_t* data, size_t length) {
    if (!contains(address, length)) throw std::out_of_range("flash program outside the flash");
    std::memcpy(bytes_.data() + (address - base_), data, length);
    char line[64];
    std::snprintf(line, sizeof line, "write 0x%08X %zu", address, length);
    state_.append("writes.log", line);
    persist(address - base_, length);
}

void Flash::persist(uint32_t offset, size_t length) const {
    if (!state_.persistent()) return;
    // Only the range goes to disk: a whole-file rewrite per chunk would cost
    // megabytes per update.
    const std::string path = state_.path() + "/flash.bin";
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    ssize_t n = ::pwrite(fd, bytes_.data() + offset, length, static_cast<off_t>(offset));
    int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(length)) throw std::runtime_error("cannot write " + path + ": " + std::strerror(saved));
}

std::optional<uint32_t> Flash::readWord(uint32_t address) const {
    if (!contains(address, 4)) return std::nullopt;
    return le32(bytes_.data() + (address - base_));
}

std::optional<IdentityRecord> Flash::findIdentity() const {
    for (size_t at = 0; at + IdentityRecord::kSize <= bytes_.size(); at += 4) {
        if (std::memcmp(bytes_.data() + at, IdentityRecord::kMagic, 8) != 0) continue;
        IdentityRecord r;
        r.version = le32(bytes_.data() + at + 8);
        r.build = le32(bytes_.data() + at + 12);
        r.serial_address = le32(bytes_.data() + at + 16);
        return r;
    }
    return std::nullopt;
}

void Flash::save() const { state_.write("flash.bin", bytes_); }

} // namespace tarnixsim
