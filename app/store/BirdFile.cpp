#include "BirdFile.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "Log.h"
#include "PrintableText.h"
#include "ReadFileScope.h"
#include "aFile.h"

namespace {

constexpr unsigned kPackage = Log::DEBUG_BirdFile;

uint16_t GetShort(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t GetLittleInt(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
           (uint32_t(bytes[3]) << 24);
}

void PutLittleInt(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The image of a loader or firmware block covers target addresses
// [address, address + length - 4); true when [target, target + size) lies in it.
bool ImageHolds(const BirdBlock& block, uint32_t target, uint32_t size) {
    if (block.length < 4 || !block.data) return false;
    uint64_t begin = block.address;
    uint64_t end = begin + (block.length - 4);
    return target >= begin && uint64_t(target) + size <= end;
}

uint8_t* ImageAt(const BirdBlock& block, uint32_t target) {
    return block.data + 4 + (target - block.address);
}

// Opens a BIRD file for reading. Only a regular file is read: a FIFO or a
// terminal in the store would otherwise hold the command forever.
aFile* OpenBird(const std::string& path) {
    aFile* file = nullptr;
    const aErr err = aFile_OpenRegular(path.c_str(), aFileModeReadOnly, &file);
    if (err == aErrMode)
        Log::log(kPackage, "BIRDFILE: Error - '%s' is not a regular file\n", path.c_str());
    else if (err != aErrNone)
        Log::log(kPackage, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return file;
}

} // namespace

BirdFile::BirdFile() = default;

ResultOf<BirdFile> BirdFile::Open(const std::string& filePath) {
    BirdFile file;
    file.path = filePath;
    if (!file.Load()) return Result::Failure(aErrIO, "Failed to load bird data");
    return file;
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    // The blocks point into `data`, which moves along with them.
    blocks = std::move(other.blocks);
    hasSerialOffsets = other.hasSerialOffsets;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    data = std::move(other.data);
    dataSize = other.dataSize;
    other.path.clear();
    other.Reset();
    return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::Reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    data.reset();
    dataSize = 0;
}

bool BirdFile::Load() {
    Log::log(kPackage, "BIRDFILE: Loading File [%s]\n", path.c_str());
    Reset();

    if (!aFile_Exists(path.c_str())) {
        Log::log(kPackage, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFile* file = OpenBird(path);
    if (!file) return false;
    ReadFileScope closed(file);
    uint64_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(kPackage, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
                 path.c_str());
        return false;
    }
    // The inflated size is a 32-bit number; a larger file cannot be a BIRD file.
    if (size > UINT32_MAX / BIRD_FILE_INFLATE_FACTOR) {
        Log::log(kPackage, "BIRDFILE: Error - bird file too large: '%s' (%zu bytes)\n",
                 path.c_str(), size_t(size));
        return false;
    }

    std::vector<uint8_t> contents(size);
    size_t count = 0;
    if (size > 0) {
        err = aFile_Read(file, contents.data(), contents.size(), &count);
        if (err != aErrNone) {
            Log::log(kPackage, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
            return false;
        }
        if (count != size) {
            Log::log(kPackage, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     path.c_str(), count, size_t(size));
            return false;
        }
    }

    return LoadBytes(contents.data(), contents.size());
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t size) {
    Reset();
    if (size > UINT32_MAX / BIRD_FILE_INFLATE_FACTOR) {
        Log::log(kPackage, "BIRDFILE: Error - bird data too large (%zu bytes)\n", size);
        return false;
    }
    const uint8_t* stream = bytes;
    uint32_t streamLength = 0;
    if (size > BIRD_FILE_HEADER_SIZE) {
        signature = BirdBigEndian32(bytes);
        version = GetShort(bytes + 4);
        stream += BIRD_FILE_HEADER_SIZE;
        streamLength = static_cast<uint32_t>(size - BIRD_FILE_HEADER_SIZE);
    }
    if (!DecompressData(stream, streamLength)) return false;

    // A block area that does not add up still loads with the blocks found.
    ScanBlocks(data.get(), dataSize);
    FindSerialNumberOffsets();
    hasSerialOffsets = FirstBlock(BLOCK_SERIAL_OFFSETS) != nullptr;
    return true;
}

bool BirdFile::DecompressData(const uint8_t* bytes, uint32_t length) {
    // The output never grows past this bound, so a stream that would inflate
    // further fails with zlib's buffer error instead of taking more memory.
    uLongf capacity = uLongf(length) * BIRD_FILE_INFLATE_FACTOR;
    data.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (!data) {
        Log::log(kPackage, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        dataSize = 0;
        return false;
    }
    static const uint8_t empty = 0;
    int result = uncompress(data.get(), &capacity, bytes ? bytes : &empty, length);
    if (result != Z_OK) {
        Log::log(kPackage, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        data.reset();
        dataSize = 0;
        return false;
    }
    dataSize = static_cast<uint32_t>(capacity);
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* bytes, uint32_t length) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (!bytes || length < 4) {
        Log::log(kPackage, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(length));
        return false;
    }

    const uint32_t declared = BirdBigEndian32(bytes);
    Log::log(kPackage, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(kPackage, "BIRDFILE: Bird file objects:\n");
    Log::log(kPackage, "BIRDFILE: \t\tType Flags Length\n");

    uint8_t* cursor = bytes + 4;
    int64_t remaining = int64_t(length) - 4;
    bool overrun = false;

    // A block needs its 5-byte header and leaves room for the 4-byte checksum;
    // its data must lie inside the buffer.
    while (remaining >= 5 + 4) {
        const uint8_t typeAndFlags = cursor[0];
        const uint32_t blockLength = BirdBigEndian32(cursor + 1);
        cursor += 5;
        remaining -= 5;
        if (int64_t(blockLength) > remaining) {
            Log::log(kPackage,
                     "BIRDFILE: Block of %u bytes runs past the end of the data (%lld bytes left)\n",
                     blockLength, static_cast<long long>(remaining));
            overrun = true;
            break;
        }

        BirdBlock block;
        block.type = typeAndFlags & BIRD_FILE_TYPE_MASK;
        block.flags = (typeAndFlags & BIRD_FILE_FLAG_MASK) >> 5;
        block.length = blockLength;
        block.data = cursor;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && blockLength >= 4)
            block.address = BirdBigEndian32(cursor);
        Log::log(kPackage, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(block.length));
        if (block.type == BLOCK_INFO && blockLength >= BIRD_INFO_SIZE) {
            for (size_t field = 0; field < BIRD_INFO_SIZE; field += BIRD_INFO_FIELD_SIZE)
                Log::log(kPackage, "BIRDFILE:\t\t \t[%16.16s]\n",
                         PrintableText(std::string_view(reinterpret_cast<const char*>(cursor + field),
                                                        strnlen(reinterpret_cast<const char*>(cursor + field),
                                                                BIRD_INFO_FIELD_SIZE)))
                             .c_str());
        }
        cursor += blockLength;
        remaining -= blockLength;
        ++blockCount;
        blocks.push_back(block);
    }

    if (!overrun) {
        if (remaining >= 4) {
            checksum = BirdBigEndian32(cursor);
            Log::log(kPackage, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        }
        remaining -= 4;
    }

    bool ok = true;
    if (remaining != 0) {
        Log::log(kPackage, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        ok = false;
    }
    if (blockCount != declared) {
        Log::log(kPackage, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(declared));
        ok = false;
    }
    return ok;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
    for (const auto& block : blocks)
        if (block.type == type) return &block;
    return nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const auto& block : blocks)
        if (block.type == type) found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blocks.empty()) return false;
    const BirdBlock* block = FirstBlock(BLOCK_SERIAL_OFFSETS);
    if (!block || !block->data) return false;
    if (block->length < 8) {
        Log::log(kPackage, "BIRDFILE: Serial offsets block too short (%u bytes)\n", block->length);
        return false;
    }
    serialNumberOffset = BirdBigEndian32(block->data);
    descriptorOffset = BirdBigEndian32(block->data + 4);
    Log::log(kPackage, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialNumberOffset), int(descriptorOffset));
    return true;
}

// The firmware image that holds [target, target + size) wholly, if any.
const BirdBlock* BirdFile::ImageHolding(uint32_t target, uint32_t size) const {
    for (const auto& block : blocks)
        if (block.type == BLOCK_FIRMWARE && ImageHolds(block, target, size)) return &block;
    return nullptr;
}

// The firmware image that holds both the serial word and the descriptor.
const BirdBlock* BirdFile::PatchImage() const {
    for (const auto& block : blocks)
        if (block.type == BLOCK_FIRMWARE && ImageHolds(block, serialNumberOffset, BIRD_SERIAL_WORD_SIZE) &&
            ImageHolds(block, descriptorOffset, BIRD_SERIAL_DESCRIPTOR_SIZE))
            return &block;
    return nullptr;
}

std::string BirdFile::SerialOffsetsProblem() const {
    const BirdBlock* offsets = FirstBlock(BLOCK_SERIAL_OFFSETS);
    if (!offsets) return {};
    if (offsets->length < 8 || !offsets->data) return "its serial-number block is shorter than 8 bytes";
    if (PatchImage()) return {};
    char text[160];
    if (!ImageHolding(serialNumberOffset, BIRD_SERIAL_WORD_SIZE)) {
        std::snprintf(text, sizeof text,
                      "its serial number (4 bytes at 0x%08X) does not lie inside a firmware image",
                      serialNumberOffset);
    } else if (!ImageHolding(descriptorOffset, BIRD_SERIAL_DESCRIPTOR_SIZE)) {
        std::snprintf(text, sizeof text,
                      "its serial-number descriptor (16 bytes at 0x%08X) does not lie inside a firmware image",
                      descriptorOffset);
    } else {
        std::snprintf(text, sizeof text,
                      "its serial number (0x%08X) and its descriptor (0x%08X) lie in different firmware images",
                      serialNumberOffset, descriptorOffset);
    }
    return text;
}

std::string BirdFile::OverlapProblem() const {
    const auto images = FindBlocks(BLOCK_FIRMWARE);
    for (size_t i = 0; i < images.size(); ++i) {
        for (size_t j = i + 1; j < images.size(); ++j) {
            const BirdBlock& a = images[i];
            const BirdBlock& b = images[j];
            if (a.length <= 4 || b.length <= 4) continue; // nothing to program
            const uint64_t aEnd = uint64_t(a.address) + (a.length - 4);
            const uint64_t bEnd = uint64_t(b.address) + (b.length - 4);
            if (a.address < bEnd && b.address < aEnd) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "its firmware images at 0x%08X (%u bytes) and 0x%08X (%u bytes) overlap",
                              a.address, a.length - 4, b.address, b.length - 4);
                return text;
            }
        }
    }
    return {};
}

std::vector<std::string> BirdFile::WriteProblems() const {
    std::vector<std::string> problems;
    for (std::string problem : {SerialOffsetsProblem(), OverlapProblem()})
        if (!problem.empty()) problems.push_back(std::move(problem));
    return problems;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    // Patching only one of the two, or neither, would send an image whose
    // module reboots without its serial number.
    const BirdBlock* image = hasSerialOffsets && SerialOffsetsProblem().empty() ? PatchImage() : nullptr;
    if (!image) return false;
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", serial);
    uint8_t* word = ImageAt(*image, serialNumberOffset);
    Log::log(kPackage, "BIRDFILE: updating serial number from %08X ==> %08X\n", GetLittleInt(word), serial);
    PutLittleInt(word, serial);
    // The low bytes of a UTF-16LE string descriptor.
    uint8_t* descriptor = ImageAt(*image, descriptorOffset);
    for (int i = 0; i < 8; ++i) descriptor[2 * i] = static_cast<uint8_t>(digits[i]);
    return true;
}

std::string BirdFile::InfoField(size_t offset, size_t length) const {
    const BirdBlock* info = FirstBlock(BLOCK_INFO);
    if (!info || !info->data || offset >= info->length) return {};
    size_t available = std::min<size_t>(length, info->length - offset);
    const char* text = reinterpret_cast<const char*>(info->data + offset);
    // Read as C text: a NUL ends the field.
    return std::string(text, strnlen(text, available));
}

bool BirdFile::ValidateModel(const char* name) const {
    if (!name || !FirstBlock(BLOCK_INFO)) return false;
    std::string model = InfoField(BIRD_INFO_MODEL, BIRD_INFO_FIELD_SIZE);
    while (!model.empty() && model.back() == ' ') model.pop_back();
    const size_t n = std::strlen(name);
    if (model.size() < n || model.compare(0, n, name) != 0) return false;
    Log::log(kPackage, "Model matches model number ([%s] == [%s])\n", model.c_str(), name);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string text = InfoField(BIRD_INFO_SERIAL, 8);
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
    std::string text = InfoField(BIRD_INFO_BUILD, BIRD_INFO_FIELD_SIZE - 1);
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    std::string text = InfoField(BIRD_INFO_VERSION, BIRD_INFO_FIELD_SIZE - 1);
    auto space = text.find(' ');
    if (space != std::string::npos) text.resize(space);
    return text;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return GetSerialNumber() == serial; }

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const {
    Log::log(kPackage, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    for (const auto& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || !pattern || !block.data) continue;
        if (block.length <= length) continue;
        for (uint32_t i = 0; i < block.length - length; ++i) {
            if (std::memcmp(block.data + i, pattern, length) == 0) {
                Log::log(kPackage, "Found data at %d\n", int(i));
                found = true;
            }
        }
    }
    Log::log(kPackage, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const auto& block : blocks) {
        if (block.type != type) continue;
        std::string printable;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                std::printf(" %s\r\n%06d: ", printable.c_str(), int(i));
                printable.clear();
            }
            const uint8_t byte = block.data[i];
            std::printf("%02X ", byte);
            printable += std::isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        std::printf(" %s\n", printable.c_str());
    }
    std::printf("\n");
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const auto& block : blocks) {
        // Eight 32-bit vector words after the 4-byte address.
        if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.length < 4 + 32) continue;
        uint8_t* image = block.data + 4;
        uint32_t sum = 0;
        for (int word : {0, 1, 2, 3, 4, 6}) sum += GetLittleInt(image + 4 * word);
        const uint32_t value = ~sum + 1;
        Log::log(kPackage, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 GetLittleInt(image + 28), value);
        PutLittleInt(image + 28, value);
    }
    return true;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
    aFile* file = OpenBird(filePath);
    if (!file) return false;
    ReadFileScope closed(file);
    uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof header, &count);
    return err == aErrNone && count == sizeof header &&
           std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}
