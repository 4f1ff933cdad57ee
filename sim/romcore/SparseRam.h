// The RAM an i.MX ROM's host loads code into: 4 KiB pages made (zeroed) on
// first touch, and the bytes the host's data transfers wrote, which the ROM
// dumps when it jumps (what a test compares with the loader it sent).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bootrom {

class SparseRam {
public:
    // The byte at `address`, readable and writable (a register write goes
    // here without counting as loaded data).
    uint8_t& at(uint32_t address) {
        auto& page = pages[address >> 12];
        if (page.empty()) page.assign(4096, 0);
        return page[address & 0xFFF];
    }
    // A byte of a data transfer: stored and remembered for the dump.
    void load(uint32_t address, uint8_t byte) {
        at(address) = byte;
        loaded.insert(address);
    }
    // Every loaded region into `path`, each as its address and length
    // (32-bit, host order: little-endian here) and then its bytes; written to
    // a temporary file and renamed, so a reader never sees half a dump.
    // Nothing when `path` is empty or cannot be written.
    void dump(const std::string& path) {
        if (path.empty()) return;
        const std::string tmp = path + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "wb");
        if (f == nullptr) return;
        for (auto it = loaded.begin(); it != loaded.end();) {
            uint32_t start = *it, end = start;
            while (it != loaded.end() && *it == end) ++it, ++end;
            const uint32_t head[2] = {start, end - start};
            std::fwrite(head, sizeof head, 1, f);
            for (uint32_t a = start; a != end; ++a) std::fputc(at(a), f);
        }
        std::fclose(f);
        std::rename(tmp.c_str(), path.c_str());
    }

private:
    std::map<uint32_t, std::vector<uint8_t>> pages;
    std::set<uint32_t> loaded;
};

} // namespace bootrom
