// The upgrade exchanges of command 95 as a host sends them, with exact replies checked.
#pragma once

#include <cstring>
#include <numeric>

#include "SimHarness.h"

namespace simtest {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kLoaderAddress = 0x20000000;

inline uint32_t Sum(const Bytes& b) { return std::accumulate(b.begin(), b.end(), 0u); }

inline void Le32(Bytes& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// A firmware image that carries the identity record: version, build and the
// target address of its serial-number word (which holds `serial`).
inline Bytes FirmwareImage(size_t size, uint32_t version, uint32_t build, uint32_t serial,
                           uint32_t loadAddress = kFlashBase) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memcpy(image.data() + 64, "TNXIDENT", 8);
    Le32(image, 72, version);
    Le32(image, 76, build);
    Le32(image, 80, loadAddress + 128);
    Le32(image, 128, serial);
    return image;
}

class Upgrade {
public:
    Upgrade(Peer& peer, uint8_t address) : peer_(peer), a_(address) {}

    void init(uint32_t loadBase) { EXPECT_EQ(peer_.ask(a_, {95, 0}), Cat({a_, 95, 0}, Be32(loadBase))); }
    // PREPARE; returns the status byte (block size checked when accepted).
    uint8_t prepare(uint8_t flags, uint32_t address, uint16_t blockSize) {
        auto r = peer_.ask(a_, Cat({95, 3, flags}, Be32(address)));
        if (!r || r->size() != 6) {
            ADD_FAILURE() << "PREPARE reply " << (r ? Hex(*r) : "none");
            return 0xFF;
        }
        EXPECT_EQ(Bytes(r->begin(), r->begin() + 3), (Bytes{a_, 95, 7}));
        if ((*r)[3] == 0) {
            EXPECT_EQ(((*r)[4] << 8) | (*r)[5], blockSize);
        }
        return (*r)[3];
    }
    // DATA packets of at most 26 bytes, each answered with the full count.
    void data(const Bytes& bytes) {
        for (size_t at = 0; at < bytes.size(); at += 26) {
            size_t n = std::min<size_t>(26, bytes.size() - at);
            auto r = peer_.ask(a_, Cat({95, 1}, Bytes(bytes.begin() + at, bytes.begin() + at + n)));
            ASSERT_EQ(r, (Bytes{a_, 95, 1, static_cast<uint8_t>(n)}));
        }
    }
    void sumIs(uint32_t sum) { EXPECT_EQ(peer_.ask(a_, {95, 4}), Cat({a_, 95, 7, 0}, Be32(sum))); }
    uint8_t write(uint16_t count) {
        auto r = peer_.ask(a_, {95, 5, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
        if (!r || r->size() != 4) {
            ADD_FAILURE() << "WRITE reply " << (r ? Hex(*r) : "none");
            return 0xFF;
        }
        return (*r)[3];
    }
    void load() { EXPECT_EQ(peer_.ask(a_, {95, 2}), (Bytes{a_, 95, 2})); }
    void reboot() { peer_.send(a_, {95, 6}); }

    void loaderPhase(uint32_t loadBase, const Bytes& loader, uint16_t blockSize = 512) {
        init(loadBase);
        ASSERT_EQ(prepare(0, kLoaderAddress, blockSize), 0);
        data(loader);
        sumIs(Sum(loader));
        load();
    }
    // A firmware block: PREPARE, then per chunk of blockSize DATA, SUM, WRITE.
    void firmwareBlock(const Bytes& image, uint32_t address, uint16_t blockSize) {
        ASSERT_EQ(prepare(1, address, blockSize), 0);
        for (size_t at = 0; at < image.size(); at += blockSize) {
            Bytes chunk(image.begin() + at, image.begin() + std::min(image.size(), at + blockSize));
            data(chunk);
            sumIs(Sum(chunk));
            ASSERT_EQ(write(static_cast<uint16_t>(chunk.size())), 0);
        }
    }

private:
    Peer& peer_;
    uint8_t a_;
};

inline Bytes Loader() {
    Bytes l(60);
    for (size_t i = 0; i < l.size(); ++i) l[i] = static_cast<uint8_t>(0xC0 + i);
    return l;
}

} // namespace simtest
