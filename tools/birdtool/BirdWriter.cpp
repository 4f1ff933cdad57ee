#include "BirdWriter.h"

#include <fstream>
#include <iterator>

#include <zlib.h>

#include "BirdFile.h"

namespace {

void PutInt(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutBlock(std::vector<uint8_t>& area, uint8_t type, uint8_t flags, const std::vector<uint8_t>& body) {
    area.push_back(static_cast<uint8_t>((type & BIRD_FILE_TYPE_MASK) | (flags << 5)));
    PutInt(area, static_cast<uint32_t>(body.size()));
    area.insert(area.end(), body.begin(), body.end());
}

void PutField(std::vector<uint8_t>& info, const std::optional<std::string>& text) {
    std::string field = text.value_or("");
    field.resize(BIRD_INFO_FIELD_SIZE, ' ');
    info.insert(info.end(), field.begin(), field.end());
}

std::vector<uint8_t> ReadImage(const ManifestImage& image) {
    std::ifstream in(image.file, std::ios::binary);
    if (!in) throw ManifestError("line " + std::to_string(image.line) + ": cannot read " + image.file);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

uint32_t BirdAreaChecksum(const uint8_t* area, size_t lengthBeforeChecksum) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes a uInt length; feed large areas in pieces.
    while (lengthBeforeChecksum > 0) {
        uInt piece = lengthBeforeChecksum > 0x40000000u ? 0x40000000u : uInt(lengthBeforeChecksum);
        crc = crc32(crc, area, piece);
        area += piece;
        lengthBeforeChecksum -= piece;
    }
    return static_cast<uint32_t>(crc);
}

PackedBird PackBird(const Manifest& manifest) {
    PackedBird packed;
    std::vector<uint8_t> area;
    PutInt(area, 0); // count, filled in below

    if (manifest.HasInfo()) {
        std::vector<uint8_t> info;
        PutField(info, manifest.build);
        PutField(info, manifest.version);
        PutField(info, manifest.serial);
        PutField(info, manifest.model);
        PutBlock(area, BirdFile::BLOCK_INFO, 0, info);
        ++packed.blocks;
    }
    if (manifest.serialOffsets) {
        std::vector<uint8_t> offsets;
        PutInt(offsets, manifest.serialOffsets->first);
        PutInt(offsets, manifest.serialOffsets->second);
        PutBlock(area, BirdFile::BLOCK_SERIAL_OFFSETS, 0, offsets);
        ++packed.blocks;
    }
    if (manifest.startAddress) {
        std::vector<uint8_t> start;
        PutInt(start, *manifest.startAddress);
        PutBlock(area, BirdFile::BLOCK_START_ADDRESS, 0, start);
        ++packed.blocks;
    }
    for (const auto& image : manifest.images) {
        std::vector<uint8_t> body;
        PutInt(body, image.address);
        std::vector<uint8_t> bytes = ReadImage(image);
        body.insert(body.end(), bytes.begin(), bytes.end());
        if (body.size() > UINT32_MAX) throw ManifestError(image.file + ": image too large");
        PutBlock(area, image.type, image.flags, body);
        ++packed.blocks;
    }
    for (int i = 0; i < 4; ++i) area[i] = static_cast<uint8_t>(packed.blocks >> (24 - 8 * i));
    PutInt(area, BirdAreaChecksum(area.data(), area.size()));
    packed.areaSize = area.size();

    // Readers refuse an area more than 8 times the size of its stream, so
    // highly compressible images get a lower level (level 0 always fits).
    std::vector<uint8_t> stream;
    for (int level = Z_BEST_COMPRESSION; level >= 0; --level) {
        uLongf length = compressBound(area.size());
        stream.assign(length, 0);
        if (compress2(stream.data(), &length, area.data(), area.size(), level) != Z_OK)
            throw ManifestError("zlib could not compress the block area");
        stream.resize(length);
        packed.level = level;
        if (area.size() <= stream.size() * BIRD_FILE_INFLATE_FACTOR) break;
    }
    if (area.size() > stream.size() * BIRD_FILE_INFLATE_FACTOR)
        throw ManifestError("block area cannot be stored within the inflate bound");

    packed.bytes.assign(BIRD_FILE_SIGNATURE, BIRD_FILE_SIGNATURE + 4);
    packed.bytes.push_back(static_cast<uint8_t>(BIRD_FILE_VERSION >> 8));
    packed.bytes.push_back(static_cast<uint8_t>(BIRD_FILE_VERSION & 0xFF));
    packed.bytes.insert(packed.bytes.end(), stream.begin(), stream.end());
    if (area.size() > UINT32_MAX || packed.bytes.size() > UINT32_MAX / BIRD_FILE_INFLATE_FACTOR)
        throw ManifestError("the file would be too large");
    return packed;
}
