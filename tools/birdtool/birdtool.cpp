// birdtool: makes BIRD firmware files from a manifest and shows what the
// updater would see in one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "BirdFile.h"
#include "BirdWriter.h"
#include "Log.h"
#include "Manifest.h"
#include "PrintableText.h"
#include "aFile.h"

namespace {

const char* const kUsage = R"(Usage: birdtool [--debug] COMMAND ...

  birdtool pack MANIFEST OUTPUT   build a BIRD file from a manifest
  birdtool info FILE              show the header, every block and the info
                                  fields; exit status 1 when the updater could
                                  not use the file
  birdtool dump FILE TYPE         hex dump of every block of TYPE (loader,
                                  firmware, serial-offsets, info, start-address
                                  or a number 0..31)

  --debug   write the reader's debug log to standard error

Manifest: one entry per line; '#' starts a comment; numbers are decimal, or
hexadecimal with 0x. Image files are relative to the manifest's directory.
  build 1234                      info fields (each at most 16 characters);
  version 2.12.4                  an info block is written when any is given
  serial 0000ABCD                 (8 hexadecimal digits)
  model Corvane
  serial-offsets 0x200 0x300      target addresses of the 32-bit serial number
                                  and of the serial-number string descriptor
  start-address 0x20000400        start address for a boot-ROM loader
  loader 0x10000000 loader.bin [flags=N]      loader image, load address, flags 0..7
  firmware 0x00000000 fw.bin [flags=N]        firmware image
The blocks are written in this order: info, serial offsets, start address,
then the loader and firmware images in manifest order.

Checksum: the last 4 bytes of the block area are the CRC-32 (as zlib's crc32
computes it) of everything before them, the block count and all blocks. The
updater records it but never rejects a file for it; `info` says whether it
matches.
)";

struct BlockTypeName {
    const char* name;
    unsigned type;
};

const BlockTypeName kTypeNames[] = {
    {"loader", BirdFile::BLOCK_LOADER},
    {"firmware", BirdFile::BLOCK_FIRMWARE},
    {"serial-offsets", BirdFile::BLOCK_SERIAL_OFFSETS},
    {"info", BirdFile::BLOCK_INFO},
    {"start-address", BirdFile::BLOCK_START_ADDRESS},
};

const char* TypeName(unsigned type) {
    for (const auto& entry : kTypeNames)
        if (entry.type == type) return entry.name;
    return "unknown";
}

bool ParseType(const char* text, unsigned& type) {
    for (const auto& entry : kTypeNames) {
        if (std::strcmp(entry.name, text) == 0) {
            type = entry.type;
            return true;
        }
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 0);
    if (!*text || *end || value > BIRD_FILE_TYPE_MASK) return false;
    type = static_cast<unsigned>(value);
    return true;
}

int Pack(const std::string& manifestPath, const std::string& output) {
    try {
        PackedBird packed = PackBird(ReadManifest(manifestPath));
        AtomicWriteResult written = ReplaceFileAtomically(output, packed.bytes.data(), packed.bytes.size());
        if (written.error != aErrNone) {
            std::fprintf(stderr, "birdtool: cannot write %s: %s\n", output.c_str(),
                         std::strerror(written.systemError));
            return 1;
        }
        std::printf("wrote %s: %u blocks, %zu bytes inflated, %zu bytes on disk (zlib level %d)\n",
                    output.c_str(), packed.blocks, packed.areaSize, packed.bytes.size(), packed.level);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "birdtool: %s\n", error.what());
        return 1;
    }
}

// Header bytes as found on disk, for a file the reader turns away.
void ShowHeader(const std::string& path, std::vector<std::string>& problems) {
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        problems.push_back("cannot open the file");
        return;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
    size_t count = 0;
    const aErr read = aFile_Read(file, header, sizeof header, &count);
    (void)aFile_Close(&file); // only read from: nothing to lose
    if (read != aErrNone && read != aErrEOF) {
        problems.push_back(std::string("cannot read the file: ") + aError_GetErrorText(read));
        return;
    }
    if (count < BIRD_FILE_HEADER_SIZE) {
        problems.push_back("shorter than the 6-byte header (" + std::to_string(count) + " bytes)");
        return;
    }
    std::string signature(reinterpret_cast<const char*>(header), 4);
    std::printf("signature:  \"%s\"\n", PrintableAscii(signature).c_str());
    std::printf("version:    %02X %02X\n", header[4], header[5]);
    if (signature != BIRD_FILE_SIGNATURE) problems.push_back("signature is not \"bird\"");
    if (header[4] == 0 || header[5] == 0) problems.push_back("a version byte is zero");
}

// Scans the block area again with the reader's log caught in a scratch file.
bool ScanQuietly(BirdFile& bird, std::vector<std::string>& lines) {
    FILE* scratch = std::tmpfile();
    FILE* const oldOutput = Log::fh;
    const uint32_t oldMask = Log::package_bitmask;
    if (scratch) {
        Log::SetOutput(scratch);
        Log::ActivatePackage(Log::DEBUG_BirdFile);
    }
    const bool consistent = bird.ScanBlocks(bird.data.get(), bird.dataSize);
    bird.FindSerialNumberOffsets();
    if (!scratch) return consistent;
    Log::SetOutput(oldOutput);
    Log::package_bitmask = oldMask;
    std::rewind(scratch);
    char line[2048];
    while (std::fgets(line, sizeof line, scratch)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const std::string prefix = "BIRDFILE: ";
        if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
        lines.push_back(text);
    }
    std::fclose(scratch);
    return consistent;
}

int Info(const std::string& path) {
    std::printf("file:       %s\n", path.c_str());
    std::vector<std::string> problems;
    const bool headerOk = BirdFile::VerifyFile(path);
    if (!headerOk) ShowHeader(path, problems);

    BirdFile bird;
    bird.path = path;
    if (!bird.Load()) {
        problems.push_back("does not load (missing, unreadable, or the zlib stream does not inflate "
                           "within 8 times its size)");
    } else {
        if (headerOk) {
            std::printf("signature:  \"%s\"\n", BIRD_FILE_SIGNATURE);
            std::printf("version:    %02X %02X\n", bird.version >> 8, bird.version & 0xFF);
        }
        std::printf("inflated:   %u bytes\n", bird.dataSize);
        const uint32_t declared = bird.dataSize >= 4 ? BirdBigEndian32(bird.data.get()) : 0;
        // Scanning again gives the verdict the loader does not keep; its log
        // lines say what did not add up.
        std::vector<std::string> scanLog;
        const bool consistent = ScanQuietly(bird, scanLog);
        std::printf("blocks:     %u (declared %u)\n", bird.blockCount, declared);
        std::printf("  #  type               flags  length      address\n");
        unsigned index = 0;
        for (const auto& block : bird.blocks) {
            const bool image = block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
            if (image && block.length < 4)
                problems.push_back("block " + std::to_string(index) + " (" + TypeName(block.type) +
                                   ") is shorter than its 4-byte load address");
            char address[16] = "-";
            if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE)
                std::snprintf(address, sizeof address, "0x%08X", block.address);
            std::printf("  %-2u %-2u %-15s %-6u %-11u %s\n", index++, block.type, TypeName(block.type),
                        block.flags, block.length, address);
        }
        if (!consistent) {
            for (const auto& line : scanLog)
                if (line.find("mismatch") != std::string::npos || line.find("runs past") != std::string::npos)
                    problems.push_back(line);
        }

        if (!bird.FindBlocks(BirdFile::BLOCK_INFO).empty()) {
            auto field = [&](size_t offset) {
                const BirdBlock info = bird.FindBlocks(BirdFile::BLOCK_INFO).front();
                if (info.length < offset + BIRD_INFO_FIELD_SIZE) return std::string("(missing)");
                std::string text(reinterpret_cast<const char*>(info.data + offset), BIRD_INFO_FIELD_SIZE);
                return "[" + PrintableAscii(text) + "]";
            };
            std::printf("build:      %s = %u\n", field(BIRD_INFO_BUILD).c_str(), bird.GetBuild());
            std::printf("version:    %s = %s\n", field(BIRD_INFO_VERSION).c_str(),
                        PrintableAscii(bird.GetVersion()).c_str());
            std::printf("serial:     %s = %08X\n", field(BIRD_INFO_SERIAL).c_str(), bird.GetSerialNumber());
            std::printf("model:      %s\n", field(BIRD_INFO_MODEL).c_str());
        } else {
            std::printf("info:       none\n");
        }

        if (bird.hasSerialOffsets) {
            const BirdBlock offsets = bird.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).front();
            if (offsets.length < 8) {
                problems.push_back("serial-offsets block shorter than 8 bytes");
            } else {
                std::printf("serial number offset: 0x%08X, descriptor offset: 0x%08X\n",
                            bird.serialNumberOffset, bird.descriptorOffset);
            }
        }
        for (const auto& start : bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS)) {
            if (start.length >= 4)
                std::printf("start address: 0x%08X\n", BirdBigEndian32(start.data));
            else
                problems.push_back("start-address block shorter than 4 bytes");
        }
        if (bird.FindBlocks(BirdFile::BLOCK_LOADER).empty() &&
            bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
            problems.push_back("no loader or firmware image");

        if (consistent && bird.dataSize >= 8) {
            const uint32_t expected = BirdAreaChecksum(bird.data.get(), bird.dataSize - 4);
            if (expected == bird.checksum)
                std::printf("checksum:   0x%08X (CRC-32 matches)\n", bird.checksum);
            else
                std::printf("checksum:   0x%08X (CRC-32 is 0x%08X: does not match; the updater does "
                            "not check it)\n",
                            bird.checksum, expected);
        }
    }

    for (const auto& problem : problems) std::printf("problem:    %s\n", problem.c_str());
    std::printf("usable:     %s\n", problems.empty() ? "yes" : "no");
    return problems.empty() ? 0 : 1;
}

int Dump(const std::string& path, const char* typeText) {
    unsigned type = 0;
    if (!ParseType(typeText, type)) {
        std::fprintf(stderr, "birdtool: unknown block type '%s'\n", typeText);
        return 2;
    }
    const ResultOf<BirdFile> bird = BirdFile::Open(path);
    if (!bird.ok()) {
        std::fprintf(stderr, "birdtool: %s: %s\n", path.c_str(), bird.message().c_str());
        return 1;
    }
    bird->DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--debug") {
        Log::SetOutput(stderr);
        Log::ActivatePackage(Log::DEBUG_BirdFile);
        args.erase(args.begin());
    }
    if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    if (command == "pack" && args.size() == 3) return Pack(args[1], args[2]);
    if (command == "info" && args.size() == 2) return Info(args[1]);
    if (command == "dump" && args.size() == 3) return Dump(args[1], args[2].c_str());
    std::fputs(kUsage, stderr);
    return 2;
}
