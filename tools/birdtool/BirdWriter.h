// Writing BIRD files: block area, CRC-32 trailer, zlib stream, header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Manifest.h"

// The trailing checksum this tool writes: CRC-32 (zlib's crc32) over the
// block area before it, that is the 4-byte count and every block.
uint32_t BirdAreaChecksum(const uint8_t* area, size_t lengthBeforeChecksum);

struct PackedBird {
    std::vector<uint8_t> bytes; // the whole file
    size_t areaSize = 0;        // inflated block area
    int level = 0;              // zlib level used
    unsigned blocks = 0;
};

// Builds the file from a manifest (reads the image files); throws ManifestError.
PackedBird PackBird(const Manifest& manifest);
