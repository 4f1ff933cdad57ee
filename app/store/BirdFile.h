// BIRD firmware files: a "bird" header, two version bytes and one zlib
// stream holding a count, typed blocks and a trailing checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Result.h"

// The four signature bytes at the start of every BIRD file.
inline constexpr char BIRD_FILE_SIGNATURE[] = "bird";
// The format version this program writes (bytes 0x01 0x01).
inline constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
// The type-and-flags byte of a block: low 5 bits type, high 3 bits flags.
inline constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
inline constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
// Size of the header before the zlib stream.
inline constexpr size_t BIRD_FILE_HEADER_SIZE = 6;
// The inflated block area may be at most this many times the compressed size.
inline constexpr size_t BIRD_FILE_INFLATE_FACTOR = 8;
// The info block: four 16-byte space-padded text fields.
inline constexpr size_t BIRD_INFO_FIELD_SIZE = 16;
inline constexpr size_t BIRD_INFO_BUILD = 0;
inline constexpr size_t BIRD_INFO_VERSION = 16;
inline constexpr size_t BIRD_INFO_SERIAL = 32;
inline constexpr size_t BIRD_INFO_MODEL = 48;
inline constexpr size_t BIRD_INFO_SIZE = 64;
// What the serial-number patch writes: the 32-bit serial word, and the
// descriptor's 16 bytes (eight UTF-16LE characters, low bytes written).
inline constexpr uint32_t BIRD_SERIAL_WORD_SIZE = 4;
inline constexpr uint32_t BIRD_SERIAL_DESCRIPTOR_SIZE = 16;

// The 32-bit big-endian numbers of a BIRD file (block count, lengths,
// addresses).
inline uint32_t BirdBigEndian32(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

// One block of a loaded file. `data` points into the owning BirdFile's buffer.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0; // load address for loader and firmware blocks, else 0
    uint8_t* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // An empty file: no path, no blocks, all numbers 0.
    BirdFile();
    // Loads `path`; fails with "Failed to load bird data" (aErrIO) when it is
    // missing, unreadable, not a regular file or does not inflate and scan
    // (the debug log says which).
    static ResultOf<BirdFile> Open(const std::string& path);

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile();

    // Reads, inflates and scans the file named by `path`.
    bool Load();
    // Inflates and scans a whole file held in memory (the bytes are copied;
    // `path` is left as it is); false when it does not inflate.
    bool LoadBytes(const uint8_t* bytes, size_t size);
    // Inflates a zlib stream into `data` (at most 8 times `length` bytes).
    bool DecompressData(const uint8_t* bytes, uint32_t length);
    // Splits a block area into `blocks`; false when sizes or the count disagree.
    bool ScanBlocks(uint8_t* bytes, uint32_t length);

    // Copies of every block of that type, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    bool FindSerialNumberOffsets();
    // Patches `serial` into the firmware image that holds both the serial
    // word and the descriptor, in memory. False, with nothing changed, when
    // the file has no serial-number block or SerialOffsetsProblem() names one.
    bool ReplaceSerialNumber(uint32_t serial);
    // Why the serial-number block cannot be patched: it is shorter than 8
    // bytes, or the serial word or the descriptor does not lie wholly inside
    // one and the same firmware image. Empty when it can be, or when the file
    // has no such block.
    std::string SerialOffsetsProblem() const;
    // Two firmware images whose target ranges [address, address + length - 4)
    // intersect (a flash range would be programmed twice); empty when none.
    // Loader images go to RAM and are not compared.
    std::string OverlapProblem() const;
    // Every reason above: an update or a recovery must not send this file.
    std::vector<std::string> WriteProblems() const;
    bool ValidateModel(const char* name) const;
    uint32_t GetSerialNumber() const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    // Searches the firmware blocks for a byte pattern.
    bool ValidateData(const uint8_t* pattern, uint32_t length) const;
    // Hex dump of every block of that type to standard output.
    bool DumpBlocks(BLOCK_TYPE type) const;
    // Stores the vector-table checksum word of firmware images loaded at 0.
    bool ReplaceVectorChecksum();

    // Header check (signature and non-zero version bytes) without loading.
    static bool VerifyFile(const std::string& path);

    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t dataSize = 0;

private:
    void Reset();
    const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
    const BirdBlock* ImageHolding(uint32_t target, uint32_t size) const;
    const BirdBlock* PatchImage() const;
    std::string InfoField(size_t offset, size_t length) const;
};
