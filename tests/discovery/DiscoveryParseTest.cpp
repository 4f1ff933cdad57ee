// Discovery without the network: the parsers, the address text, the beacon
// interface lock, and the fuzz seeds replayed.
#include <arpa/inet.h>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <string>

#include "DiscoveryFuzzTargets.h"
#include "Process.h"
#include "aDiscovery.h"

namespace {

TEST(DiscoveryParse, EthernetReplyOnlyAtSixteenBytes) {
    // Module 6, port 0x9C41, serial 0x00C0FFEE, model 21.
    const uint8_t reply[17] = {0, 6, 0x41, 0x9C, 0xEE, 0xFF, 0xC0, 0x00, 0, 0, 0, 0, 21, 0, 0, 0, 0xFF};
    linkSpec spec {};
    for (size_t length : {0, 1, 15, 17}) EXPECT_FALSE(aDiscovery_ParseEthernetReply(reply, length, 1, &spec)) << length;
    EXPECT_FALSE(aDiscovery_ParseEthernetReply(nullptr, 16, 1, &spec));
    ASSERT_TRUE(aDiscovery_ParseEthernetReply(reply, 16, inet_addr("10.77.0.1"), &spec));
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.serial_num, 0x00C0FFEEu);
    EXPECT_EQ(spec.router_serial_num, 0x00C0FFEEu);
    EXPECT_EQ(spec.module, 6u);
    EXPECT_EQ(spec.router, 6u);
    EXPECT_EQ(spec.model, 21u);
    EXPECT_EQ(spec.ip_port, 0x9C41u);
    EXPECT_EQ(spec.ip_address, inet_addr("10.77.0.1"));
}

TEST(DiscoveryParse, AnnouncementsOfNetworkedLinksWithUsablePortsOnly) {
    uint8_t record[129] = {};
    const auto put = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) record[at + i] = uint8_t(v >> 8 * i); };
    put(0, ZEPHYL_USB), put(4, 0xB128), put(8, 4), put(20, 17), put(28, 40000);
    record[24] = 127, record[27] = 1;
    std::fill(record + 32, record + 128, 0x41); // an unterminated port name must not come through
    linkSpec spec {};
    ASSERT_TRUE(aDiscovery_ParseAnnouncement(record, 128, &spec));
    EXPECT_EQ(spec.type, ZEPHYL_USB);
    EXPECT_EQ(spec.serial_num, 0xB128u);
    EXPECT_EQ(spec.module, 4u);
    EXPECT_EQ(spec.model, 17u);
    EXPECT_EQ(spec.ip_address, inet_addr("127.0.0.1"));
    EXPECT_EQ(spec.ip_port, 40000u);
    EXPECT_EQ(spec.port_name[4], 0);
    for (size_t length : {0, 4, 127, 129}) EXPECT_FALSE(aDiscovery_ParseAnnouncement(record, length, &spec)) << length;
    struct { size_t at; uint32_t value; } bad[] = {{0, USB}, {0, SERIAL}, {0, 8}, {0, 0x80000004}, {28, 0}, {28, 65536}};
    for (auto b : bad) {
        uint8_t copy[128];
        std::copy(record, record + 128, copy);
        for (int i = 0; i < 4; ++i) copy[b.at + i] = uint8_t(b.value >> 8 * i);
        EXPECT_FALSE(aDiscovery_ParseAnnouncement(copy, 128, &spec)) << b.at << "=" << b.value;
    }
}

TEST(DiscoveryParse, UsbSerialIsExactlyEightHexDigits) {
    uint32_t serial = 0;
    EXPECT_TRUE(aDiscovery_ParseUSBSerial("00c0FFEE", 8, &serial));
    EXPECT_EQ(serial, 0x00C0FFEEu);
    for (const char* bad : {"", "1234567", "123456789", "1234567G", "1234 678", "0x123456", "12345678901234567890123456789012345678901"})
        EXPECT_FALSE(aDiscovery_ParseUSBSerial(bad, strlen(bad), &serial)) << bad;
    EXPECT_FALSE(aDiscovery_ParseUSBSerial("12\xC3\xA9" "5678", 8, &serial));
}

TEST(DiscoveryParse, AddressTextNeedsSixteenBytes) {
    char text[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, text, 15), 0);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, nullptr, 16), 0);
    ASSERT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFF, text, 16), 15);
    EXPECT_STREQ(text, "255.255.255.255");
    ASSERT_EQ(aDiscovery_ConvertIPv4Interface(inet_addr("10.77.0.1"), text, 16), 9);
    EXPECT_STREQ(text, "10.77.0.1");
}

TEST(BeaconInterface, OnlyAddressesStarAndEmptyAreTakenAndTheLockSerialises) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.1"));
    zBeaconInterface_unlock();
    for (const char* bad : {"eth0", "10.77.0", "256.1.1.1", " 10.77.0.1", "**", "::1"}) {
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1"); // unchanged, and nothing was left locked:
    for (const char* good : {"*", "", "10.77.0.2"}) {
        ASSERT_TRUE(zBeaconInterface_setAndLock(good)) << good;
        EXPECT_STREQ(zBeaconInterface_get(), good);
        EXPECT_FALSE(zBeaconInterface_setAndLock("*")) << "the holder locking again must not deadlock";
        zBeaconInterface_unlock();
    }

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("*"));
    EXPECT_STREQ(zBeaconInterface_getBackup(), "10.77.0.2");
    // Another thread waits for the lock and sees what the holder leaves.
    auto other = std::async(std::launch::async, [] {
        std::string seen = zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
        return seen;
    });
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(other.get(), "10.77.0.2");
    EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "10.77.0.2");
    zBeaconInterface_unlock();
}

size_t Replay(const std::string& directory, void (*target)(const uint8_t*, size_t)) {
    size_t count = 0;
    if (!std::filesystem::is_directory(directory)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        SCOPED_TRACE(entry.path().string());
        const std::string bytes = testsupport::ReadFile(entry.path().string());
        target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    return count;
}

TEST(DiscoveryParse, FuzzSeedsAndReproducersParseSafely) {
    EXPECT_GE(Replay(FUZZ_DIR "/corpus/discovery-reply", FuzzDiscoveryEthernetReply), 5u);
    EXPECT_GE(Replay(FUZZ_DIR "/corpus/discovery-announcement", FuzzDiscoveryAnnouncements), 6u);
    Replay(FUZZ_DIR "/crashes/discovery-reply", FuzzDiscoveryEthernetReply);
    Replay(FUZZ_DIR "/crashes/discovery-announcement", FuzzDiscoveryAnnouncements);
}

} // namespace
