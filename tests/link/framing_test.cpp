// CRC-8 and COBS framing: checked against Python's crcmod, the published COBS
// examples and random round trips, and the packetised stream's edge cases.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "MemoryTransport.h"
#include "Process.h"
#include "TempDir.h"
#include "aCOBS.h"
#include "aPacket.h"
#include "aStream.h"

using linktest::MemoryTransport;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back((uint8_t)v);
    return out;
}

std::vector<uint8_t> Range(int from, int to) // inclusive
{
    std::vector<uint8_t> out;
    for (int v = from; v <= to; ++v)
        out.push_back((uint8_t)v);
    return out;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> out(aCOBS_MAX_ENCODED(in.size()));
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> out(in.size() + 1);
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

} // namespace

TEST(Crc8, MatchesCrcmodOverRandomBlocks)
{
    std::mt19937 rng(20261208);
    std::vector<std::vector<uint8_t>> blocks;
    std::ostringstream hex;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> block(rng() % 64 + (i == 0 ? 0 : 1));
        for (auto& b : block)
            b = (uint8_t)rng();
        for (uint8_t b : block) {
            char two[3];
            snprintf(two, sizeof(two), "%02x", b);
            hex << two;
        }
        hex << "\n";
        blocks.push_back(block);
    }
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "blocks.txt", hex.str());
    testsupport::WriteFile(dir / "crc.py",
                           "import sys, crcmod.predefined\n"
                           "f = crcmod.predefined.mkPredefinedCrcFun('crc-8-maxim')\n"
                           "for line in open(sys.argv[1]):\n"
                           "    print(f(bytes.fromhex(line.strip())))\n");
    auto result = testsupport::Run({SYSTEM_PYTHON3, dir / "crc.py", dir / "blocks.txt"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::istringstream lines(result.out);
    for (const auto& block : blocks) {
        int expected = -1;
        ASSERT_TRUE(lines >> expected);
        EXPECT_EQ(crc8_create(block.data(), block.size()), expected);
        EXPECT_TRUE(crc8_check(block.data(), block.size(), (uint8_t)expected));
        uint8_t running = 0;
        for (uint8_t b : block)
            running = crc8_update(running, b);
        EXPECT_EQ(running, expected);
    }
}

TEST(Crc8, CheckValues)
{
    const std::string digits = "123456789";
    EXPECT_EQ(crc8_create((const uint8_t*)digits.data(), digits.size()), 0xA1);
    const std::string abc = "abc";
    EXPECT_EQ(crc8_create((const uint8_t*)abc.data(), abc.size()), 0x42);
    EXPECT_FALSE(crc8_check((const uint8_t*)abc.data(), abc.size(), 0x43));
    EXPECT_EQ(crc8_create(nullptr, 0), 0);
}

TEST(Cobs, PublishedExamples)
{
    struct Case {
        std::vector<uint8_t> plain, encoded;
    };
    const std::vector<Case> cases = {
        {Bytes({0x00}), Bytes({0x01, 0x01})},
        {Bytes({0x00, 0x00}), Bytes({0x01, 0x01, 0x01})},
        {Bytes({0x00, 0x11, 0x00}), Bytes({0x01, 0x02, 0x11, 0x01})},
        {Bytes({0x11, 0x22, 0x00, 0x33}), Bytes({0x03, 0x11, 0x22, 0x02, 0x33})},
        {Bytes({0x11, 0x22, 0x33, 0x44}), Bytes({0x05, 0x11, 0x22, 0x33, 0x44})},
        {Bytes({0x11, 0x00, 0x00, 0x00}), Bytes({0x02, 0x11, 0x01, 0x01, 0x01})},
        {Range(0x01, 0xFE), Cat(Bytes({0xFF}), Range(0x01, 0xFE))},
        {Range(0x00, 0xFE), Cat(Bytes({0x01, 0xFF}), Range(0x01, 0xFE))},
        {Range(0x01, 0xFF), Cat(Cat(Bytes({0xFF}), Range(0x01, 0xFE)), Bytes({0x02, 0xFF}))},
        {Cat(Range(0x02, 0xFF), Bytes({0x00})), Cat(Cat(Bytes({0xFF}), Range(0x02, 0xFF)), Bytes({0x01, 0x01}))},
        {Cat(Range(0x03, 0xFF), Bytes({0x00, 0x01})),
         Cat(Cat(Bytes({0xFE}), Range(0x03, 0xFF)), Bytes({0x02, 0x01}))},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Encode(cases[i].plain), cases[i].encoded);
        EXPECT_EQ(Decode(cases[i].encoded), cases[i].plain);

        std::vector<uint8_t> inplace = cases[i].plain;
        inplace.resize(aCOBS_MAX_ENCODED(inplace.size()));
        inplace.resize(cobs_encode_inplace(inplace.data(), cases[i].plain.size()));
        EXPECT_EQ(inplace, cases[i].encoded);
        inplace.resize(cobs_decode_inplace(inplace.data(), inplace.size()));
        EXPECT_EQ(inplace, cases[i].plain);
    }
}

TEST(Cobs, RandomRoundTripsHaveNoZerosAndBoundedOverhead)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> plain(rng() % 700 + 1);
        const int zeroEvery = (int)(rng() % 8);
        for (auto& b : plain)
            b = zeroEvery > 0 && rng() % zeroEvery == 0 ? 0 : (uint8_t)(rng() % 255 + 1);
        std::vector<uint8_t> encoded = Encode(plain);
        ASSERT_LE(encoded.size(), aCOBS_MAX_ENCODED(plain.size()));
        for (uint8_t b : encoded)
            ASSERT_NE(b, 0);
        ASSERT_EQ(Decode(encoded), plain);

        // In place, in a buffer with exactly the worst-case room.
        std::vector<uint8_t> buffer = plain;
        buffer.resize(aCOBS_MAX_ENCODED(plain.size()));
        size_t n = cobs_encode_inplace(buffer.data(), plain.size());
        ASSERT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), encoded);
    }
}

TEST(Cobs, CodeBytePastTheEndIsRejected)
{
    uint8_t out[16];
    EXPECT_EQ(cobs_decode(Bytes({0x05, 0x11, 0x22}).data(), 3, out), 0u);
    EXPECT_EQ(cobs_decode(Bytes({0x02, 0x11, 0x03, 0x22}).data(), 4, out), 0u);
    // A final code byte of 1 ends the block cleanly.
    auto ok = Bytes({0x02, 0x11, 0x01});
    EXPECT_EQ(cobs_decode(ok.data(), ok.size(), out), 2u);
}

// The packetised stream over an in-memory transport.
class CobsStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aStream_CreateCobsEncoding(MemoryTransport::Get, MemoryTransport::Put,
                                             MemoryTransport::Write, MemoryTransport::Delete, &wire,
                                             &stream),
                  aErrNone);
    }
    void TearDown() override
    {
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        EXPECT_EQ(stream, nullptr);
        EXPECT_TRUE(wire.deleted);
    }
    static std::vector<uint8_t> Frame(std::vector<uint8_t> packet, bool goodCrc = true)
    {
        uint8_t crc = crc8_create(packet.data(), packet.size());
        packet.push_back(goodCrc ? crc : (uint8_t)(crc + 1));
        auto framed = Encode(packet);
        framed.push_back(0);
        return framed;
    }
    // Reads until a packet's bytes come out; collects the results on the way.
    std::vector<uint8_t> ReadPacket(std::vector<aErr>* results = nullptr)
    {
        std::vector<uint8_t> out;
        for (int guard = 0; guard < 500; ++guard) {
            uint8_t b;
            aErr err = aStream_Read(stream, &b, 1);
            if (results)
                results->push_back(err);
            if (err == aErrNone) {
                out.push_back(b);
                if (out.size() >= 2 && out.size() == (size_t)out[1] + 2)
                    return out;
            } else if (err == aErrNotReady && wire.input.empty() && out.empty()) {
                // keep going: a decoded packet is handed out from the next call
            }
        }
        return out;
    }
    MemoryTransport wire;
    aStream* stream = nullptr;
};

TEST_F(CobsStream, WriteFramesEachPacketWithCrcAndDelimiter)
{
    // Two packets in one write give two frames, each ending in 0x00.
    auto bytes = Bytes({0x04, 0x02, 0x00, 0x03, 0x06, 0x00});
    ASSERT_EQ(aStream_Write(stream, bytes.data(), bytes.size()), aErrNone);
    auto writes = wire.takeWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], Frame(Bytes({0x04, 0x02, 0x00, 0x03})));
    EXPECT_EQ(writes[1], Frame(Bytes({0x06, 0x00})));

    // A byte the packet assembler refuses (a zero address) is dropped.
    auto junk = Bytes({0x00, 0x08, 0x01, 0x55});
    ASSERT_EQ(aStream_Write(stream, junk.data(), junk.size()), aErrNone);
    writes = wire.takeWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], Frame(Bytes({0x08, 0x01, 0x55})));
}

TEST_F(CobsStream, BadCrcFrameIsDroppedAndNextFrameDelivered)
{
    wire.feed(Frame(Bytes({0x04, 0x01, 0x77}), false));
    wire.feed(Frame(Bytes({0x04, 0x02, 0x10, 0x20})));
    std::vector<aErr> results;
    EXPECT_EQ(ReadPacket(&results), Bytes({0x04, 0x02, 0x10, 0x20}));
    EXPECT_EQ(std::count(results.begin(), results.end(), aErrPacket), 1);
}

TEST_F(CobsStream, LargestPacketIsReceivedAndOversizeFrameFails)
{
    std::vector<uint8_t> largest = {0x06, 28};
    for (int i = 0; i < 28; ++i)
        largest.push_back((uint8_t)(i * 37 + 1)); // some zeros among them as well
    largest[10] = 0;
    wire.feed(Frame(largest));
    EXPECT_EQ(ReadPacket(), largest);

    // One extra non-zero byte before the delimiter: the frame fails its length test.
    auto frame = Frame(largest);
    frame.insert(frame.end() - 1, 0x33);
    wire.feed(frame);
    wire.feed(Frame(Bytes({0x02, 0x00})));
    std::vector<aErr> results;
    EXPECT_EQ(ReadPacket(&results), Bytes({0x02, 0x00}));
    EXPECT_EQ(std::count(results.begin(), results.end(), aErrPacket), 1);
}

TEST_F(CobsStream, WrappedErrorsSurfaceAsNotReady)
{
    uint8_t b;
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    wire.feed(Bytes({0x00, 0x00})); // empty frames are ignored
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
}
