// Error tables, packet assembly, UEI payload helpers, packed versions,
// link specifiers and model names.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

namespace {

// A packet owned by the test, destroyed at scope end.
struct PacketHolder {
    aPacket* p;
    explicit PacketHolder(aPacket* packet) : p(packet) {}
    ~PacketHolder() { if (p) (void)aPacket_Destroy(&p); /* teardown helper: ours, cannot fail */ }
    aPacket* operator->() const { return p; }
};

PacketHolder MakePacket(uint8_t address, std::vector<uint8_t> data)
{
    return PacketHolder(aPacket_CreateWithData(address, static_cast<uint32_t>(data.size()), data.data()));
}

} // namespace

// ---------------------------------------------------------------- errors

TEST(ErrorTables, NamesAndDescriptionsAreTheFixedTexts)
{
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
    EXPECT_STREQ(aError_GetErrorText(aErrPacket), "aErrPacket");
    EXPECT_STREQ(aError_GetErrorDescription(aErrPacket), "Packet byte invalid");
    EXPECT_STREQ(aError_GetErrorText(aErrShortCommand), "aErrShortCommand");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Tarnix command to short");
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
    EXPECT_STREQ(aError_GetErrorDescription(aErrUnknown), "Unknown error");

    // Every value has its own name, and the names follow the enumeration.
    std::set<std::string> names;
    for (uint32_t v = 0; v < aERR_COUNT; ++v) {
        names.insert(aError_GetErrorText(static_cast<aErr>(v)));
        EXPECT_NE(std::string(aError_GetErrorDescription(static_cast<aErr>(v))), "");
    }
    EXPECT_EQ(names.size(), size_t{aERR_COUNT});
    EXPECT_EQ(static_cast<uint32_t>(aErrUnknown), 34u);
}

TEST(ErrorTables, OutOfRangeCodesFallBackToUnknown)
{
    for (uint32_t v : {35u, 36u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(v)), "aErrUnknown") << v;
        EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(v)), "Unknown error") << v;
    }
}

// ---------------------------------------------------------------- packets

TEST(PacketAssembly, AddressThenZeroLengthIsComplete)
{
    PacketHolder p(aPacket_Create());
    ASSERT_NE(p.p, nullptr);
    EXPECT_EQ(p->validity, aPACKET_VALIDITY);
    EXPECT_FALSE(aPacket_IsComplete(p.p));
    EXPECT_EQ(aPacket_AddByte(p.p, 0x04), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(p.p));
    EXPECT_EQ(aPacket_AddByte(p.p, 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.p));
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->dataSize, 0);
}

TEST(PacketAssembly, ZeroAddressAndBadLengthsAreRefused)
{
    PacketHolder p(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(p.p, 0x00), aErrPacket);
    EXPECT_FALSE(aPacket_IsComplete(p.p));

    ASSERT_EQ(aPacket_Reset(p.p), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x06), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 29), aErrPacket);
    // Neither complete nor readable, however the caller carries on.
    EXPECT_FALSE(aPacket_IsComplete(p.p));
    uint8_t buffer[64];
    EXPECT_NE(aPacket_GetBytes(p.p, buffer, sizeof buffer, nullptr), aErrNone);
    EXPECT_EQ(aPacket_Copy(p.p), nullptr);
    for (int i = 0; i < 40; ++i)
        EXPECT_NE(aPacket_AddByte(p.p, 0x33), aErrNone) << i;
    EXPECT_FALSE(aPacket_IsComplete(p.p));
}

TEST(PacketAssembly, FullPacketThenOverrun)
{
    PacketHolder p(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(p.p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 28), aErrNone);
    for (int i = 0; i < 28; ++i) {
        EXPECT_FALSE(aPacket_IsComplete(p.p));
        EXPECT_EQ(aPacket_AddByte(p.p, static_cast<uint8_t>(0xA0 + i)), aErrNone) << i;
    }
    ASSERT_TRUE(aPacket_IsComplete(p.p));
    for (int i = 0; i < 28; ++i)
        EXPECT_EQ(p->data[i], 0xA0 + i);

    // The 31st byte overruns, and so does every later one, however many come.
    EXPECT_EQ(aPacket_AddByte(p.p, 0x55), aErrOverrun);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(aPacket_AddByte(p.p, 0x55), aErrOverrun) << i;
    for (int i = 0; i < 28; ++i)
        EXPECT_EQ(p->data[i], 0xA0 + i);

    // A reset packet assembles again.
    ASSERT_EQ(aPacket_Reset(p.p), aErrNone);
    EXPECT_EQ(p->curSize, 0);
    EXPECT_EQ(p->data[5], 0);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x08), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x01), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x7E), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.p));
    EXPECT_EQ(p->data[0], 0x7E);
}

TEST(PacketAssembly, ByteAfterShortPacketIsRefused)
{
    PacketHolder p(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(p.p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x10), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.p, 0x11), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p.p));
    EXPECT_EQ(aPacket_AddByte(p.p, 0x12), aErrPacket);
    EXPECT_EQ(p->data[2], 0);
}

TEST(PacketRecord, CreateWithDataLengthLimits)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);

    PacketHolder full(aPacket_CreateWithData(0x0A, 28, data.data()));
    ASSERT_NE(full.p, nullptr);
    EXPECT_EQ(full->dataSize, 28);
    EXPECT_EQ(full->curSize, 30);
    EXPECT_EQ(full->data[27], 28);
    EXPECT_TRUE(aPacket_IsComplete(full.p));

    EXPECT_EQ(aPacket_CreateWithData(0x0A, 29, data.data()), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x0A, 255, data.data()), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x0A, 4, nullptr), nullptr);

    // The length is taken as 8 bits: 284 is 28.
    PacketHolder wrapped(aPacket_CreateWithData(0x0A, 284, data.data()));
    ASSERT_NE(wrapped.p, nullptr);
    EXPECT_EQ(wrapped->dataSize, 28);

    PacketHolder empty(aPacket_CreateWithData(0x0C, 0, data.data()));
    ASSERT_NE(empty.p, nullptr);
    EXPECT_EQ(empty->curSize, 2);
    EXPECT_TRUE(aPacket_IsComplete(empty.p));
}

TEST(PacketRecord, GetBytesWritesWireFormOrNothing)
{
    PacketHolder p = MakePacket(0x04, {0x12, 0x34, 0x56});
    uint8_t buffer[8];
    size_t written = 99;

    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(aPacket_GetBytes(p.p, buffer, 4, &written), aErrOverrun);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(written, 99u);

    EXPECT_EQ(aPacket_GetBytes(p.p, buffer, 5, &written), aErrNone);
    EXPECT_EQ(written, 5u);
    const uint8_t expected[] = {0x04, 0x03, 0x12, 0x34, 0x56};
    EXPECT_EQ(std::memcmp(buffer, expected, 5), 0);
    EXPECT_EQ(buffer[5], 0xAA);
    EXPECT_EQ(aPacket_GetBytes(p.p, buffer, 5, nullptr), aErrNone);

    EXPECT_EQ(aPacket_GetBytes(p.p, nullptr, 5, &written), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 5, &written), aErrParam);
}

TEST(PacketRecord, FieldAccessorsMaskAndCheckLength)
{
    PacketHolder p = MakePacket(0x02, {0x5A, 0xFF, 0xFF});
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p.p, &v), aErrNone);
    EXPECT_EQ(v, 0x5A);
    EXPECT_EQ(aPacket_GetOption(p.p, &v), aErrNone);
    EXPECT_EQ(v, 0x3F);
    EXPECT_EQ(aPacket_GetIndex(p.p, &v), aErrNone);
    EXPECT_EQ(v, 0x1F);
    EXPECT_EQ(aPacket_GetCmd(p.p, nullptr), aErrParam);

    PacketHolder two = MakePacket(0x02, {0x10, 0x41});
    EXPECT_EQ(aPacket_GetOption(two.p, &v), aErrNone);
    EXPECT_EQ(v, 0x01);
    EXPECT_EQ(aPacket_GetIndex(two.p, &v), aErrPacket);

    PacketHolder none = MakePacket(0x02, {});
    EXPECT_EQ(aPacket_GetCmd(none.p, &v), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(PacketRecord, ValidityIsCheckedEverywhere)
{
    PacketHolder p = MakePacket(0x02, {0x01, 0x02});
    p->validity = 0x1234;
    uint8_t v = 0, buffer[32];
    EXPECT_EQ(aPacket_AddByte(p.p, 1), aErrParam);
    EXPECT_EQ(aPacket_Reset(p.p), aErrParam);
    EXPECT_EQ(aPacket_GetCmd(p.p, &v), aErrPacket);
    EXPECT_FALSE(aPacket_IsComplete(p.p));
    EXPECT_EQ(aPacket_GetBytes(p.p, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_EQ(aPacket_Copy(p.p), nullptr);
    EXPECT_EQ(aPacket_Destroy(&p.p), aErrParam);
    EXPECT_NE(p.p, nullptr);
    p->validity = aPACKET_VALIDITY;

    // A raw copy carrying an impossible length is not trusted.
    aPacket broken = *p.p;
    broken.dataSize = 200;
    EXPECT_EQ(aPacket_GetBytes(&broken, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_EQ(aPacket_Copy(&broken), nullptr);
    EXPECT_FALSE(aUEI_isStreamPacket(&broken));
    EXPECT_EQ(aUEI_getBytesSequence(&broken), 0);
}

TEST(PacketRecord, CopyAndDestroy)
{
    PacketHolder p = MakePacket(0x06, {9, 8, 7});
    PacketHolder copy(aPacket_Copy(p.p));
    ASSERT_NE(copy.p, nullptr);
    EXPECT_NE(copy.p, p.p);
    EXPECT_EQ(std::memcmp(copy.p, p.p, sizeof(aPacket)), 0);

    EXPECT_EQ(aPacket_Destroy(&copy.p), aErrNone);
    EXPECT_EQ(copy.p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&copy.p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

// ---------------------------------------------------------------- UEI payloads

TEST(UEIPayload, ValuesAreMostSignificantByteFirst)
{
    uint8_t buffer[4] = {};
    aUEI_StoreShort(buffer, 0x1234);
    EXPECT_EQ(buffer[0], 0x12);
    EXPECT_EQ(buffer[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(buffer), 0x1234);

    aUEI_StoreInt(buffer, 0xDEADBEEF);
    const uint8_t expected[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(std::memcmp(buffer, expected, 4), 0);
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0xDEADBEEFu);
    EXPECT_EQ(aUEI_RetrieveInt(nullptr), 0u);
    EXPECT_EQ(aUEI_RetrieveShort(nullptr), 0);

    uint32_t words[2];
    const uint8_t wire[] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0x00, 0x00, 0x0F};
    std::memcpy(words, wire, sizeof wire);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xF000000Fu);
}

TEST(UEIPayload, BytesTrailer)
{
    std::vector<uint8_t> data(27, 0x11);
    data.back() = 0x85;
    PacketHolder more = MakePacket(0x02, data);
    EXPECT_EQ(aUEI_getBytesSequence(more.p), 5);
    EXPECT_TRUE(aUEI_getBytesContinue(more.p));
    EXPECT_TRUE(aUEI_getBytesFullPacket(more.p));

    PacketHolder last = MakePacket(0x02, {0x10, 0x02, 0x01, 0xAB, 0x06});
    EXPECT_EQ(aUEI_getBytesSequence(last.p), 6);
    EXPECT_FALSE(aUEI_getBytesContinue(last.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(last.p));

    data.push_back(0x00);
    PacketHolder full28 = MakePacket(0x02, data);
    EXPECT_TRUE(aUEI_getBytesFullPacket(full28.p));

    PacketHolder empty = MakePacket(0x02, {});
    EXPECT_EQ(aUEI_getBytesSequence(empty.p), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(empty.p));
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEIPayload, LinkAndSystemCommandsCarryNoPayload)
{
    const std::set<int> link = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; ++cmd) {
        PacketHolder p = MakePacket(0x02, {static_cast<uint8_t>(cmd), 0, 0});
        const bool isLink = link.count(cmd) != 0;
        EXPECT_EQ(aUEI_isNotUEIPayload(p.p), isLink) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(p.p), !isLink) << cmd;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(UEIPayload, StreamPacket)
{
    // Command 18, option 3, index 2 with the stream bit, a 16-bit value.
    PacketHolder stream = MakePacket(0x02, {18, 0x03, 0x42, 0x12, 0x34});
    EXPECT_TRUE(aUEI_isStreamPacket(stream.p));

    // Exactly four data bytes is never a stream packet, whatever the bits.
    PacketHolder four = MakePacket(0x02, {18, 0x03, 0x42, 0x12});
    EXPECT_FALSE(aUEI_isStreamPacket(four.p));

    PacketHolder flag6 = MakePacket(0x02, {18, 0x43, 0x42, 0x12, 0x34});
    EXPECT_FALSE(aUEI_isStreamPacket(flag6.p));
    PacketHolder flag7 = MakePacket(0x02, {18, 0x83, 0x42, 0x12, 0x34});
    EXPECT_FALSE(aUEI_isStreamPacket(flag7.p));
    PacketHolder noStreamBit = MakePacket(0x02, {18, 0x03, 0x82, 0x12, 0x34});
    EXPECT_FALSE(aUEI_isStreamPacket(noStreamBit.p));
    PacketHolder linkCmd = MakePacket(0x02, {95, 0x03, 0x42, 0x12, 0x34});
    EXPECT_FALSE(aUEI_isStreamPacket(linkCmd.p));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

// ---------------------------------------------------------------- versions

TEST(Versions, LegacyAndCurrentForms)
{
    const uint32_t legacy = aVersion_Pack(2, 14, 9);
    EXPECT_EQ(legacy, 0x2E000009u);
    EXPECT_TRUE(aVersion_IsLegacyFormat(legacy));
    EXPECT_EQ(aVersion_ParseMajor(legacy), 2);
    EXPECT_EQ(aVersion_ParseMinor(legacy), 14);
    EXPECT_EQ(aVersion_ParsePatch(legacy), 9u);

    const uint32_t current = aVersion_Pack(2, 15, 0);
    EXPECT_EQ(current, 0x2F020F00u);
    EXPECT_FALSE(aVersion_IsLegacyFormat(current));
    EXPECT_EQ(aVersion_ParseMajor(current), 2);
    EXPECT_EQ(aVersion_ParseMinor(current), 15);
    EXPECT_EQ(aVersion_ParsePatch(current), 0u);

    char text[32];
    EXPECT_EQ(aVersion_ParseString(legacy, text, sizeof text), 6);
    EXPECT_STREQ(text, "2.14.9");
    aVersion_ParseString(current, text, sizeof text);
    EXPECT_STREQ(text, "2.15.0");

    // Major 3 and up always take the current form; patch is taken as 8 bits.
    EXPECT_EQ(aVersion_Pack(3, 1, 0x1FF), 0x2F0301FFu);
    EXPECT_EQ(aVersion_Pack(1, 2, 300), 0x1200002Cu);

    // Legacy words keep a 24-bit patch.
    EXPECT_EQ(aVersion_ParsePatch(0x1200ABCDu), 0xABCDu);
    aVersion_ParseString(0x1200ABCDu, text, sizeof text);
    EXPECT_STREQ(text, "1.2.43981");

    // A bounded print never runs past the buffer.
    char small[4];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(aVersion_ParseString(legacy, small, sizeof small), 6);
    EXPECT_STREQ(small, "2.1");
}

TEST(Versions, Comparison)
{
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 4, 2, 12, 4));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 4, 2, 12, 5));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 4, 2, 11, 200));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 4, 2, 13, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 200, 0, 2, 15, 9));

    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 4));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 9));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 5));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(Versions, LibraryVersionAndFeatures)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 4);

    // Concurrent first callers all see the finished text in the same buffer.
    std::vector<const char*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
    for (auto& t : threads)
        t.join();
    for (const char* s : seen) {
        EXPECT_EQ(s, seen[0]);
        EXPECT_STREQ(s, "2.12.4");
    }
    EXPECT_EQ(aVersion_GetString(), seen[0]);

    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
}

// ---------------------------------------------------------------- link specifiers

TEST(LinkSpecifier, LayoutIsTheFixedRecord)
{
    EXPECT_EQ(sizeof(linkSpec), 128u);
    EXPECT_EQ(offsetof(linkSpec, model), 20u);
    EXPECT_EQ(offsetof(linkSpec, usb_id), 24u);
    EXPECT_EQ(offsetof(linkSpec, ip_address), 24u);
    EXPECT_EQ(offsetof(linkSpec, ip_port), 28u);
    EXPECT_EQ(offsetof(linkSpec, baud_rate), 24u);
    EXPECT_EQ(offsetof(linkSpec, port_name), 28u);
    EXPECT_EQ(sizeof(linkSpec::port_name), 100u);
}

TEST(LinkSpecifier, CreateCopyDestroy)
{
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, SERIAL);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 4; i < sizeof(linkSpec); ++i)
        ASSERT_EQ(raw[i], 0) << i;

    spec->baud_rate = 115200;
    std::strcpy(spec->port_name, "/dev/ttyUSB0");
    spec->serial_num = 0x1234ABCD;
    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(std::memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_STREQ(copy->port_name, "/dev/ttyUSB0");

    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
}

TEST(LinkSpecifier, NetworkedLinkGroup)
{
    for (uint32_t t = 0; t < 10; ++t)
        EXPECT_EQ(isZEPHYL(static_cast<linkType>(t)), t >= 4 && t <= 7) << t;
}

// ---------------------------------------------------------------- model names

TEST(ModelNames, TableAndUnknowns)
{
    const char* expected[28] = {};
    expected[4] = "Corvane";   expected[5] = "Belmoth";   expected[13] = "Dravik";
    expected[14] = "Ostrel";   expected[15] = "Pellith";  expected[16] = "Quenmar";
    expected[17] = "Ristova";  expected[18] = "Sallowen"; expected[19] = "Tamberin";
    expected[20] = "Ulvane";   expected[21] = "Varrow";   expected[22] = "Wystel";
    expected[23] = "Yarnel";   expected[24] = "Zorbeck";  expected[25] = "Fennrick";
    expected[26] = "Istrane";  expected[27] = "Jorvel";
    for (uint32_t m = 0; m < 28; ++m)
        EXPECT_STREQ(aDefs_GetModelName(m), expected[m] ? expected[m] : "Unknown") << m;
    for (uint32_t m : {28u, 29u, 255u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_STREQ(aDefs_GetModelName(m), "Unknown") << m;
    EXPECT_STREQ(aDefs_GetModelName(aMODEL_JORVEL), "Jorvel");
}
