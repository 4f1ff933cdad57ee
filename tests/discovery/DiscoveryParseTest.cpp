// Discovery without the network: the USB serial and address texts, the beacon
// interface lock, and the fuzz seeds (reply and announcement parsers) replayed.
#include <arpa/inet.h>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <string>

#include "DiscoveryFuzzTargets.h"
#include "FuzzReplay.h"
#include "Process.h"
#include "aDiscovery.h"

namespace {

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

TEST(DiscoveryParse, FuzzSeedsAndReproducersParseSafely) {
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/discovery-reply", FuzzDiscoveryEthernetReply), 5u);
    EXPECT_GE(testsupport::ReplayFuzzInputs(FUZZ_DIR "/corpus/discovery-announcement", FuzzDiscoveryAnnouncements), 6u);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/discovery-reply", FuzzDiscoveryEthernetReply);
    testsupport::ReplayFuzzInputs(FUZZ_DIR "/crashes/discovery-announcement", FuzzDiscoveryAnnouncements);
}

} // namespace
