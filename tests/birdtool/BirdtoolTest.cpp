// birdtool end to end: files it packs load in the updater's reader with what
// the manifest said; `info` judges files as the updater would; `dump` shows
// block bytes; bad manifests are refused with the line at fault.
#include <filesystem>
#include <gtest/gtest.h>

#include "BirdFile.h"
#include "StoreTestSupport.h"

using testsupport::ReadFile;
using testsupport::Run;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

RunResult Birdtool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BIRDTOOL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

void WriteImages(const TempDir& dir) {
    std::string loader, firmware;
    for (int i = 0; i < 100; ++i) loader += static_cast<char>(0xA0 + i % 16);
    for (int i = 0; i < 300; ++i) firmware += static_cast<char>(i & 0xFF);
    WriteFile(dir / "loader.bin", loader);
    WriteFile(dir / "fw.bin", firmware);
}

const char* kManifest = "# a generic image with serial patch points\n"
                        "build 4711\n"
                        "version 2.12.4\n"
                        "serial abcd\n"
                        "model Corvane\n"
                        "serial-offsets 0x1004 0x1010\n"
                        "start-address 0x20000400\n"
                        "loader 0x10000000 loader.bin flags=5\n"
                        "firmware 0x1000 fw.bin flags=3   # main image\n"
                        "firmware 0x8000 fw.bin\n";

} // namespace

TEST(BirdtoolPack, PackedFileLoadsWithEverythingTheManifestSays) {
    TempDir dir;
    WriteImages(dir);
    WriteFile(dir / "manifest", kManifest);
    auto packed = Birdtool({"pack", dir / "manifest", dir / "out.bird"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_NE(packed.out.find("6 blocks"), std::string::npos) << packed.out;

    ASSERT_TRUE(BirdFile::VerifyFile(dir / "out.bird"));
    ResultOf<BirdFile> loaded = BirdFile::Open(dir / "out.bird");
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    BirdFile& bird = loaded.value();
    EXPECT_EQ(bird.version, BIRD_FILE_VERSION);
    EXPECT_EQ(bird.blockCount, 6u);
    EXPECT_TRUE(bird.ScanBlocks(bird.data.get(), bird.dataSize));
    EXPECT_EQ(bird.GetBuild(), 4711u);
    EXPECT_EQ(bird.GetVersion(), "2.12.4");
    EXPECT_EQ(bird.GetSerialNumber(), 0xABCDu);
    EXPECT_TRUE(bird.ValidateModel("Corvane"));
    EXPECT_TRUE(bird.hasSerialOffsets);
    EXPECT_EQ(bird.serialNumberOffset, 0x1004u);
    EXPECT_EQ(bird.descriptorOffset, 0x1010u);
    auto start = bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(start[0].data), 4), std::string("\x20\x00\x04\x00", 4));

    auto loaders = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(loaders[0].address, 0x10000000u);
    EXPECT_EQ(loaders[0].flags, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(loaders[0].data + 4), loaders[0].length - 4),
              ReadFile(dir / "loader.bin"));
    auto firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    EXPECT_EQ(firmware[0].flags, 3);
    EXPECT_EQ(firmware[1].address, 0x8000u);
    EXPECT_EQ(firmware[1].flags, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(firmware[1].data + 4), firmware[1].length - 4),
              ReadFile(dir / "fw.bin"));

    // Only the first image holds the patch points.
    ASSERT_TRUE(bird.ReplaceSerialNumber(0x0012ABCD));
    firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(firmware[0].data[8], 0xCD);
    EXPECT_EQ(firmware[0].data[11], 0x00);
    EXPECT_EQ(firmware[0].data[20], '0');
    EXPECT_EQ(firmware[0].data[21], 17); // odd byte untouched
    EXPECT_EQ(firmware[0].data[34], 'D');
    EXPECT_EQ(firmware[1].data[8], 4);
}

TEST(BirdtoolPack, HighlyCompressibleImagesStayWithinTheReadersBound) {
    TempDir dir;
    WriteFile(dir / "zeros.bin", std::string(2 << 20, '\0'));
    WriteFile(dir / "manifest", "firmware 0 zeros.bin\n");
    auto packed = Birdtool({"pack", dir / "manifest", dir / "zeros.bird"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    ResultOf<BirdFile> loaded = BirdFile::Open(dir / "zeros.bird");
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    BirdFile& bird = loaded.value();
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0).length, (2u << 20) + 4);
    EXPECT_LE(bird.dataSize, 8 * (std::filesystem::file_size(dir / "zeros.bird") - 6));
}

TEST(BirdtoolPack, BadManifestsAreRefusedWithTheirLine) {
    TempDir dir;
    WriteImages(dir);
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"firmware 0 fw.bin\nfrobnicate 1\n", "manifest:2: unknown entry 'frobnicate'"},
        {"firmware 0 fw.bin flags=8\n", "manifest:1: flags must be 0 to 7"},
        {"firmware 0 fw.bin colour=red\n", "manifest:1: unknown option 'colour=red'"},
        {"firmware zero fw.bin\n", "manifest:1: bad load address 'zero'"},
        {"firmware 0 missing.bin\n", "cannot read"},
        {"model ABCDEFGHIJKLMNOPQ\nfirmware 0 fw.bin\n", "manifest:1: model is longer than 16 characters"},
        {"build 12a\nfirmware 0 fw.bin\n", "manifest:1: build must be a decimal number"},
        {"serial 1FFFFFFFF\nfirmware 0 fw.bin\n", "manifest:1: bad serial"},
        {"serial-offsets 0x100\nfirmware 0 fw.bin\n", "manifest:1: serial-offsets needs two addresses"},
        {"build 1\n", "no loader or firmware image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WriteFile(dir / "manifest", c.text);
        auto packed = Birdtool({"pack", dir / "manifest", dir / "bad.bird"});
        EXPECT_EQ(packed.status, 1);
        EXPECT_NE(packed.err.find(c.message), std::string::npos) << packed.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "bad.bird"));
    }
}

TEST(BirdtoolInfo, ShowsHeaderBlocksInfoAndChecksum) {
    TempDir dir;
    WriteImages(dir);
    WriteFile(dir / "manifest", kManifest);
    ASSERT_EQ(Birdtool({"pack", dir / "manifest", dir / "out.bird"}).status, 0);
    auto info = Birdtool({"info", dir / "out.bird"});
    EXPECT_EQ(info.status, 0) << info.out;
    for (const char* expected : {"signature:  \"bird\"\n", "version:    01 01\n", "blocks:     6 (declared 6)\n",
                                 "  3  0  loader          5      104         0x10000000\n",
                                 "  4  1  firmware        3      304         0x00001000\n",
                                 "build:      [4711            ] = 4711\n", "serial:     [0000ABCD        ] = 0000ABCD\n",
                                 "model:      [Corvane         ]\n",
                                 "serial number offset: 0x00001004, descriptor offset: 0x00001010\n",
                                 "start address: 0x20000400\n", "(CRC-32 matches)", "usable:     yes\n"}) {
        EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n---\n" << info.out;
    }
}

TEST(BirdtoolInfo, WrongChecksumIsReportedButNeverRejected) {
    TempDir dir;
    storetest::WriteBirdFromSpec(dir, R"({"checksum": 305419896, "blocks": [{"type": 1, "address": 0, "image": "00ff"}]})",
                                 dir / "sum.bird");
    auto info = Birdtool({"info", dir / "sum.bird"});
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("checksum:   0x12345678 (CRC-32 is 0x"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("does not match"), std::string::npos);
    ResultOf<BirdFile> loaded = BirdFile::Open(dir / "sum.bird");
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    BirdFile& bird = loaded.value();
    EXPECT_EQ(bird.checksum, 0x12345678u);
}

TEST(BirdtoolInfo, FilesTheUpdaterCannotUseExitWithOne) {
    TempDir dir;
    const std::string firmware = R"({"type": 1, "address": 0, "image": "0102030405"})";
    struct Case {
        const char* name;
        std::string spec;
        const char* problem;
    } cases[] = {
        {"signature", R"({"signature": "BIRD", "blocks": [)" + firmware + "]}", "signature is not \"bird\""},
        {"version", R"({"version": [1, 0], "blocks": [)" + firmware + "]}", "a version byte is zero"},
        {"trailing", R"({"trailing": "00", "blocks": [)" + firmware + "]}", "(1 bytes remaining)"},
        {"count", R"({"count": 2, "blocks": [)" + firmware + "]}", "number of blocks. (1 != 2)"},
        {"overlong", R"({"raw_area": "0000000101ffffffff0000000000000000"})", "runs past the end of the data"},
        {"nozlib", R"({"raw_stream": "0011223344"})", "does not load"},
        {"noimage", R"({"blocks": [{"type": 4, "info": ["1", "1", "1", "M"]}]})", "no loader or firmware image"},
        {"offsets", R"({"blocks": [{"type": 2, "data": "0000"}, )" + firmware + "]}",
         "serial-offsets block shorter than 8 bytes"},
        {"noaddress", R"({"blocks": [)" + firmware + R"(, {"type": 1, "data": "0102"}]})",
         "block 1 (firmware) is shorter than its 4-byte load address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storetest::WriteBirdFromSpec(dir, c.spec, dir / c.name);
        auto info = Birdtool({"info", dir / c.name});
        EXPECT_EQ(info.status, 1) << info.out;
        EXPECT_NE(info.out.find(c.problem), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("usable:     no\n"), std::string::npos);
    }
    WriteFile(dir / "short", "bird\x01");
    auto info = Birdtool({"info", dir / "short"});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("shorter than the 6-byte header (5 bytes)"), std::string::npos) << info.out;
    EXPECT_EQ(Birdtool({"info", dir / "absent"}).status, 1);
}

TEST(BirdtoolDump, PrintsBlockBytesAndRefusesBadInput) {
    TempDir dir;
    storetest::WriteBirdFromSpec(dir, R"({"blocks": [{"type": 1, "address": 16909060, "image": "414243"},
                                                    {"type": 0, "address": 0, "image": "ff"}]})",
                                 dir / "d.bird");
    for (const char* type : {"firmware", "1"}) {
        auto dump = Birdtool({"dump", dir / "d.bird", type});
        EXPECT_EQ(dump.status, 0);
        EXPECT_EQ(dump.out, "BIRDFILE: BLOCK DUMP [" + (dir / "d.bird") + "]\n \r\n000000: 01 02 03 04 41 42 43      ABC\n\n");
    }
    auto none = Birdtool({"dump", dir / "d.bird", "info"});
    EXPECT_EQ(none.out, "BIRDFILE: BLOCK DUMP [" + (dir / "d.bird") + "]\n\n");
    EXPECT_EQ(Birdtool({"dump", dir / "d.bird", "sideways"}).status, 2);
    WriteFile(dir / "junk", "junk");
    auto junk = Birdtool({"dump", dir / "junk", "firmware"});
    EXPECT_EQ(junk.status, 1);
    EXPECT_NE(junk.err.find("Failed to load bird data"), std::string::npos);

    auto help = Birdtool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("CRC-32"), std::string::npos);
    EXPECT_EQ(Birdtool({}).status, 2);
}
