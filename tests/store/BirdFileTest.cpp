// BIRD files written independently (Python's zlib) and by birdtool, loaded by
// our reader; malformed and hostile files; queries and in-memory patches.
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "BirdFile.h"
#include "StoreTestSupport.h"

using storetest::LogCapture;
using storetest::WriteBirdFromSpec;

namespace {
// A file the test needs loaded; a failure ends the test with its message.
BirdFile Loaded(const std::string& path) {
    ResultOf<BirdFile> file = BirdFile::Open(path);
    if (!file.ok()) throw std::runtime_error(path + ": " + file.message());
    return std::move(file).value();
}
} // namespace
using testsupport::TempDir;

// Largest single nothrow array allocation (the reader's inflate buffer).
static size_t g_largestNothrowArray = 0;
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size > g_largestNothrowArray) g_largestNothrowArray = size;
    return std::malloc(size ? size : 1);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

namespace {

std::string ImageHex(size_t size, int seed = 0) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((i + seed) & 0xFF);
    return storetest::Hex(bytes);
}

std::vector<uint8_t> Bytes(const BirdBlock& block) {
    return std::vector<uint8_t>(block.data, block.data + block.length);
}

// A firmware image at 0x1000 whose bytes are their own index, with serial
// offsets inside it, an info block and a loader.
std::string FullSpec() {
    return R"({"blocks": [
      {"type": 4, "info": ["4711", "2.12.4", "0000ABCD", "Corvane"]},
      {"type": 2, "data": "0000100400001010"},
      {"type": 5, "data": "20000400"},
      {"type": 0, "flags": 5, "address": 268435456, "image": ")" + ImageHex(40, 7) + R"("},
      {"type": 1, "flags": 3, "address": 4096, "image": ")" + ImageHex(64) + R"("}
    ]})";
}

} // namespace

TEST(BirdFileRoundTrip, RandomFilesFromIndependentWriterLoadBlockForBlock) {
    TempDir dir;
    auto made = testsupport::Run({SYSTEM_PYTHON3, WRITE_BIRD_PY, "random", "20261208", "60", dir.path()});
    ASSERT_EQ(made.status, 0) << made.err;

    std::istringstream expected(testsupport::ReadFile(dir / "expected.txt"));
    std::string line;
    std::unique_ptr<BirdFile> bird;
    size_t blockIndex = 0, files = 0;
    while (std::getline(expected, line)) {
        std::istringstream words(line);
        std::string what;
        words >> what;
        if (what == "file") {
            if (bird) {
                EXPECT_EQ(blockIndex, bird->blocks.size());
            }
            std::string name;
            uint32_t areaSize, checksum, count;
            words >> name >> areaSize >> checksum >> count;
            SCOPED_TRACE(name);
            ASSERT_TRUE(BirdFile::VerifyFile(dir / name));
            bird = std::make_unique<BirdFile>(Loaded(dir / name));
            EXPECT_EQ(bird->signature, 0x62697264u);
            EXPECT_EQ(bird->version, 0x0101);
            EXPECT_EQ(bird->dataSize, areaSize);
            EXPECT_EQ(bird->checksum, checksum);
            EXPECT_EQ(bird->blockCount, count);
            EXPECT_TRUE(bird->ScanBlocks(bird->data.get(), bird->dataSize));
            blockIndex = 0;
            ++files;
        } else if (what == "block") {
            ASSERT_TRUE(bird);
            ASSERT_LT(blockIndex, bird->blocks.size());
            const BirdBlock& block = bird->blocks[blockIndex++];
            unsigned type, flags;
            uint32_t length, address;
            std::string hex;
            words >> type >> flags >> length >> address >> hex;
            EXPECT_EQ(block.type, type);
            EXPECT_EQ(block.flags, flags);
            EXPECT_EQ(block.length, length);
            EXPECT_EQ(block.address, address);
            if (hex == "-") hex.clear();
            EXPECT_EQ(storetest::Hex(std::string(reinterpret_cast<char*>(block.data), block.length)), hex);
        } else if (what == "info") {
            std::string build, version, serial, model;
            words >> build >> version >> serial >> model;
            EXPECT_EQ(bird->GetBuild(), std::stoul(build));
            EXPECT_EQ(bird->GetVersion(), version);
            EXPECT_EQ(bird->GetSerialNumber(), std::stoul(serial, nullptr, 16));
            EXPECT_TRUE(bird->ValidateModel(model.c_str()));
        }
    }
    EXPECT_EQ(files, 60u);
}

TEST(BirdFileRoundTrip, FullFileGivesBlocksOffsetsAndPatchesSerialNumbers) {
    TempDir dir;
    WriteBirdFromSpec(dir, FullSpec(), dir / "full.bird");
    BirdFile bird = Loaded(dir / "full.bird");

    ASSERT_EQ(bird.blocks.size(), 5u);
    EXPECT_TRUE(bird.hasSerialOffsets);
    EXPECT_EQ(bird.serialNumberOffset, 0x1004u);
    EXPECT_EQ(bird.descriptorOffset, 0x1010u);
    auto loaders = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(loaders[0].address, 0x10000000u);
    EXPECT_EQ(loaders[0].flags, 5);
    EXPECT_EQ(loaders[0].length, 44u);
    auto firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    EXPECT_EQ(firmware[0].flags, 3);
    EXPECT_EQ(bird.GetBuild(), 4711u);
    EXPECT_EQ(bird.GetVersion(), "2.12.4");
    EXPECT_EQ(bird.GetSerialNumber(), 0xABCDu);
    EXPECT_TRUE(bird.ValidateSerialNumber(0xABCD));
    EXPECT_FALSE(bird.ValidateSerialNumber(0xABCE));

    std::vector<uint8_t> before = Bytes(firmware[0]);
    ASSERT_TRUE(bird.ReplaceSerialNumber(0x00AB12CD));
    std::vector<uint8_t> after = Bytes(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
    // Serial word, little-endian, at target 0x1004 = data index 4 + 4.
    EXPECT_EQ(after[8], 0xCD);
    EXPECT_EQ(after[9], 0x12);
    EXPECT_EQ(after[10], 0xAB);
    EXPECT_EQ(after[11], 0x00);
    // Descriptor at 0x1010 = data index 4 + 16: digits in even bytes only.
    const char* digits = "00AB12CD";
    for (int i = 0; i < 16; ++i) {
        if (i % 2 == 0) {
            EXPECT_EQ(after[20 + i], digits[i / 2]) << i;
        } else {
            EXPECT_EQ(after[20 + i], before[20 + i]) << i;
        }
    }
    // Nothing else moved, and the file on disk is untouched.
    for (size_t i = 0; i < after.size(); ++i)
        if ((i < 8 || i > 11) && (i < 20 || i >= 36)) {
            EXPECT_EQ(after[i], before[i]) << i;
        }
    BirdFile again = Loaded(dir / "full.bird");
    EXPECT_EQ(Bytes(again.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), before);
}

TEST(BirdFileRoundTrip, BirdtoolAndIndependentWriterAgreeByteForByte) {
    TempDir dir;
    std::string loader(40, '\0'), image(64, '\0');
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<char>((i + 7) & 0xFF);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i & 0xFF);
    testsupport::WriteFile(dir / "loader.bin", loader);
    testsupport::WriteFile(dir / "fw.bin", image);
    testsupport::WriteFile(dir / "manifest", "# test manifest\n"
                                             "build 4711\nversion 2.12.4\nserial 0000ABCD\nmodel Corvane\n"
                                             "serial-offsets 0x1004 0x1010\nstart-address 0x20000400\n"
                                             "loader 0x10000000 loader.bin flags=5\n"
                                             "firmware 4096 fw.bin flags=3\n");
    auto packed = testsupport::Run({BIRDTOOL_BIN, "pack", dir / "manifest", dir / "tool.bird"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    WriteBirdFromSpec(dir, FullSpec(), dir / "python.bird");

    BirdFile tool = Loaded(dir / "tool.bird"), python = Loaded(dir / "python.bird");
    ASSERT_EQ(tool.dataSize, python.dataSize);
    EXPECT_EQ(std::memcmp(tool.data.get(), python.data.get(), tool.dataSize), 0);
    EXPECT_EQ(tool.checksum, python.checksum); // both CRC-32 of the area
}

TEST(BirdFileRoundTrip, MovedFileKeepsItsBlocksPointingIntoItsBuffer) {
    TempDir dir;
    WriteBirdFromSpec(dir, FullSpec(), dir / "full.bird");
    BirdFile moved;
    {
        BirdFile loaded = Loaded(dir / "full.bird");
        moved = std::move(loaded);
        EXPECT_TRUE(loaded.blocks.empty());
        EXPECT_EQ(loaded.dataSize, 0u);
    }
    for (const auto& block : moved.blocks) {
        EXPECT_GE(block.data, moved.data.get());
        EXPECT_LE(block.data + block.length, moved.data.get() + moved.dataSize);
    }
    EXPECT_TRUE(moved.ReplaceSerialNumber(1));
    BirdFile constructed(std::move(moved));
    EXPECT_EQ(constructed.GetBuild(), 4711u);
}

TEST(BirdFileBadInput, FilesOfSixBytesOrFewerFailAtDecompression) {
    TempDir dir;
    const std::string header = "bird\x01\x01";
    for (size_t size = 0; size <= 6; ++size) {
        SCOPED_TRACE(size);
        const std::string path = dir / ("short" + std::to_string(size));
        testsupport::WriteFile(path, header.substr(0, size));
        LogCapture log;
        BirdFile bird;
        bird.path = path;
        EXPECT_FALSE(bird.Load());
        EXPECT_NE(log.text().find(") decompressing bird file.\n"), std::string::npos) << log.text();
        EXPECT_EQ(BirdFile::Open(path).message(), "Failed to load bird data");
        EXPECT_EQ(BirdFile::VerifyFile(path), size == 6); // the header alone is well formed
    }
}

TEST(BirdFileBadInput, MissingFileAndDirectoryFail) {
    TempDir dir;
    LogCapture log;
    const ResultOf<BirdFile> absent = BirdFile::Open(dir / "absent.bird");
    ASSERT_FALSE(absent.ok()) << "loaded a missing file";
    EXPECT_EQ(absent.message(), "Failed to load bird data");
    EXPECT_NE(log.text().find("BIRDFILE: BIRD file not found [" + (dir / "absent.bird") + "]"),
              std::string::npos);
    EXPECT_FALSE(BirdFile::Open(dir.path()).ok());
    EXPECT_FALSE(BirdFile::VerifyFile(dir / "absent.bird"));
}

TEST(BirdFileBadInput, HeaderIsCheckedOnlyByVerifyFile) {
    TempDir dir;
    const std::string blocks = R"("blocks": [{"type": 1, "address": 0, "image": "0102"}])";
    struct Case {
        const char* name;
        std::string spec;
        bool verifies;
    } cases[] = {
        {"good", "{" + blocks + "}", true},
        {"signature", R"({"signature": "BIRD", )" + blocks + "}", false},
        {"version0100", R"({"version": [1, 0], )" + blocks + "}", false},
        {"version0001", R"({"version": [0, 1], )" + blocks + "}", false},
        {"version0203", R"({"version": [2, 3], )" + blocks + "}", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBirdFromSpec(dir, c.spec, dir / c.name);
        EXPECT_EQ(BirdFile::VerifyFile(dir / c.name), c.verifies);
        BirdFile bird = Loaded(dir / c.name); // loads whatever the header says
        EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    }
}

TEST(BirdFileBadInput, BlockAreaMismatchesAreLoggedAndTheBlocksStayUsable) {
    TempDir dir;
    const std::string firmware = R"({"type": 1, "address": 256, "image": "a1a2a3a4"})";
    {
        WriteBirdFromSpec(dir, R"({"trailing": "ee", "blocks": [)" + firmware + "]}", dir / "extra");
        LogCapture log;
        BirdFile bird = Loaded(dir / "extra");
        EXPECT_NE(log.text().find("Block parsing mismatch in data size. (1 bytes remaining)"),
                  std::string::npos)
            << log.text();
        ASSERT_EQ(bird.blocks.size(), 1u);
        EXPECT_EQ(bird.blocks[0].address, 256u);
        EXPECT_FALSE(bird.ScanBlocks(bird.data.get(), bird.dataSize));
    }
    {
        WriteBirdFromSpec(dir, R"({"count": 3, "blocks": [)" + firmware + "," + firmware + "]}",
                          dir / "count");
        LogCapture log;
        BirdFile bird = Loaded(dir / "count");
        EXPECT_NE(log.text().find("Block parsing mismatch in number of blocks. (2 != 3)"),
                  std::string::npos)
            << log.text();
        EXPECT_EQ(bird.blockCount, 2u);
    }
}

TEST(BirdFileBadInput, BlockLengthsRunningPastTheDataAreNeverFollowed) {
    TempDir dir;
    // A firmware block claiming 0x7FFFFFF0 bytes, then a few real bytes.
    WriteBirdFromSpec(dir, R"({"raw_area": "0000000201000000080000010011223344017ffffff0aabbccdd00000000"})",
                      dir / "long");
    LogCapture log;
    BirdFile bird = Loaded(dir / "long");
    ASSERT_EQ(bird.blocks.size(), 1u);
    EXPECT_EQ(bird.blocks[0].length, 8u);
    EXPECT_NE(log.text().find("runs past the end of the data"), std::string::npos) << log.text();
    EXPECT_FALSE(bird.ScanBlocks(bird.data.get(), bird.dataSize));
    // Every block the scan kept lies inside the buffer.
    for (const auto& block : bird.blocks)
        EXPECT_LE(block.data + block.length, bird.data.get() + bird.dataSize);

    // Every cut of a good area loads without reading past it (checked under ASan).
    for (int cut = 1; cut < 40; ++cut) {
        SCOPED_TRACE(cut);
        WriteBirdFromSpec(dir, R"({"cut_area": )" + std::to_string(cut) + ", " + FullSpec().substr(1),
                          dir / "cut");
        BirdFile part = Loaded(dir / "cut");
        for (const auto& block : part.blocks)
            EXPECT_LE(block.data + block.length, part.data.get() + part.dataSize);
        part.ReplaceSerialNumber(0x12345678);
        part.GetVersion();
        part.ValidateModel("Corvane");
    }
}

TEST(BirdFileBadInput, ShortSerialOffsetBlockIsNotReadPastItsEnd) {
    TempDir dir;
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 2, "data": "00001004"},
                                {"type": 1, "address": 4096, "image": ")" + ImageHex(32) + R"("}]})",
                      dir / "short-offsets");
    LogCapture log;
    BirdFile bird = Loaded(dir / "short-offsets");
    EXPECT_TRUE(bird.hasSerialOffsets); // the block is there ...
    EXPECT_FALSE(bird.FindSerialNumberOffsets());
    EXPECT_EQ(bird.serialNumberOffset, 0u); // ... but gives no offsets,
    EXPECT_EQ(bird.descriptorOffset, 0u);
    EXPECT_FALSE(bird.ReplaceSerialNumber(0xABCD)); // so patching reports failure
    EXPECT_NE(log.text().find("Serial offsets block too short"), std::string::npos);
}

TEST(BirdFileBadInput, StreamInflatingBeyondEightTimesFailsWithoutHugeAllocation) {
    TempDir dir;
    // 64 MiB of zeros compress to about 64 KiB.
    std::string area(64u << 20, '\0');
    area[3] = 1;
    uLongf length = compressBound(area.size());
    std::string stream(length, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
                        reinterpret_cast<const Bytef*>(area.data()), area.size(), 9),
              Z_OK);
    stream.resize(length);
    testsupport::WriteFile(dir / "bomb.bird", std::string("bird\x01\x01", 6) + stream);

    g_largestNothrowArray = 0;
    LogCapture log;
    BirdFile bird;
    bird.path = dir / "bomb.bird";
    EXPECT_FALSE(bird.Load());
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file."), std::string::npos);
    EXPECT_LE(g_largestNothrowArray, 8 * length);
    EXPECT_EQ(bird.dataSize, 0u);
    EXPECT_FALSE(BirdFile::Open(dir / "bomb.bird").ok());

    // Around the bound: an area loads exactly when it is at most 8 times its stream.
    bool sawBoth[2] = {false, false};
    for (size_t size = 40; size <= 4000; size += 40) {
        std::string zeros(size, '\0');
        uLongf zipped = compressBound(size);
        std::string small(zipped, '\0');
        ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(small.data()), &zipped,
                            reinterpret_cast<const Bytef*>(zeros.data()), size, 9),
                  Z_OK);
        small.resize(zipped);
        testsupport::WriteFile(dir / "edge.bird", std::string("bird\x01\x01", 6) + small);
        BirdFile edge;
        edge.path = dir / "edge.bird";
        const bool within = size <= 8 * zipped;
        EXPECT_EQ(edge.Load(), within) << size << " from " << zipped;
        sawBoth[within] = true;
    }
    EXPECT_TRUE(sawBoth[0] && sawBoth[1]);
}

TEST(BirdFileQueries, InfoFieldsModelAndVersion) {
    TempDir dir;
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 4, "info": ["4242", "1.2.3", "00C0FFEE", "ABC"]},
                                {"type": 1, "address": 0, "image": "00"}]})",
                      dir / "info");
    BirdFile bird = Loaded(dir / "info");
    EXPECT_TRUE(bird.ValidateModel("ABC"));
    EXPECT_TRUE(bird.ValidateModel("AB"));
    EXPECT_FALSE(bird.ValidateModel("ABCD"));
    EXPECT_FALSE(bird.ValidateModel("abc"));
    EXPECT_EQ(bird.GetVersion(), "1.2.3");
    EXPECT_EQ(bird.GetBuild(), 4242u);
    EXPECT_EQ(bird.GetSerialNumber(), 0xC0FFEEu);

    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 1, "address": 0, "image": "00"}]})", dir / "noinfo");
    BirdFile bare = Loaded(dir / "noinfo");
    EXPECT_EQ(bare.GetBuild(), 0u);
    EXPECT_EQ(bare.GetSerialNumber(), 0u);
    EXPECT_EQ(bare.GetVersion(), "");
    EXPECT_FALSE(bare.ValidateModel("ABC"));
    EXPECT_FALSE(bare.hasSerialOffsets);
    EXPECT_FALSE(bare.ReplaceSerialNumber(5));

    BirdFile empty;
    EXPECT_TRUE(empty.path.empty());
    EXPECT_TRUE(empty.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
    EXPECT_EQ(empty.GetBuild(), 0u);
}

TEST(BirdFileQueries, BuildFieldReadsFifteenCharactersOnly) {
    TempDir dir;
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 4, "info": ["0000000000004219", "v", "1", "M"]}]})",
                      dir / "b");
    EXPECT_EQ(BirdFile::Open(dir / "b")->GetBuild(), 421u); // 16th digit ignored
}

// Patching must fail when it cannot write the serial number: the module would
// otherwise come back without one.
TEST(BirdFileQueries, SerialOffsetOutsideEveryImageFailsAndChangesNothing) {
    TempDir dir;
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 2, "data": "0009000000000000"},
                                {"type": 1, "address": 4096, "image": ")" + ImageHex(32) + R"("}]})",
                      dir / "outside");
    BirdFile bird = Loaded(dir / "outside");
    auto before = Bytes(bird.blocks[1]);
    EXPECT_FALSE(bird.ReplaceSerialNumber(0x11223344));
    EXPECT_EQ(Bytes(bird.blocks[1]), before);

    // Straddling the image's end counts as outside (serial word and descriptor here).
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 2, "data": "0000101e00001012"},
                                {"type": 1, "address": 4096, "image": ")" + ImageHex(32) + R"("}]})",
                      dir / "edge");
    BirdFile edge = Loaded(dir / "edge");
    before = Bytes(edge.blocks[1]);
    EXPECT_FALSE(edge.ReplaceSerialNumber(0x11223344));
    EXPECT_EQ(Bytes(edge.blocks[1]), before);
}

TEST(BirdFileQueries, DataSearchDumpAndVectorChecksum) {
    TempDir dir;
    std::string image;
    for (int word = 0; word < 8; ++word) image += "0" + std::to_string(word + 1) + "000000";
    image += "48656c6c6f2c2042697264"; // "Hello, Bird"
    WriteBirdFromSpec(dir, R"({"blocks": [{"type": 1, "address": 0, "image": ")" + image + R"("},
                                {"type": 0, "address": 0, "image": ")" + image + R"("}]})",
                      dir / "data");
    BirdFile bird = Loaded(dir / "data");

    LogCapture log;
    const uint8_t hello[] = {'B', 'i', 'r'};
    EXPECT_TRUE(bird.ValidateData(hello, 3));
    EXPECT_NE(log.text().find("Found data at 43\n"), std::string::npos) << log.text();
    const uint8_t absent[] = {'x', 'y'};
    EXPECT_FALSE(bird.ValidateData(absent, 2));

    testing::internal::CaptureStdout();
    EXPECT_TRUE(bird.DumpBlocks(BirdFile::BLOCK_FIRMWARE));
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dump.rfind("BIRDFILE: BLOCK DUMP [" + (dir / "data") + "]\n \r\n000000: 00 00 00 00 01 00 00 00 ", 0), 0u)
        << dump;
    EXPECT_NE(dump.find("42 69 72 64  "), std::string::npos) << dump;
    EXPECT_EQ(dump.substr(dump.size() - 13), "Hello, Bird\n\n") << dump;

    // Word 7 becomes minus the sum of words 0-4 and 6: 1+2+3+4+5+7 = 22.
    ASSERT_TRUE(bird.ReplaceVectorChecksum());
    const uint8_t* word7 = bird.blocks[0].data + 4 + 28;
    EXPECT_EQ(word7[0] | word7[1] << 8 | word7[2] << 16 | uint32_t(word7[3]) << 24, uint32_t(-22));
    // Loader images are left alone.
    EXPECT_EQ(bird.blocks[1].data[4 + 28], 8);
}
