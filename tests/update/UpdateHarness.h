// What the firmware-update tests share: BIRD files packed by birdtool with a
// known image, the image as a module must hold it, a simulated module's
// configuration, and a display that collects what the Updater says.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Process.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "UpdaterDisplayInterface.h"
#include "UpgradeSteps.h"

namespace updatetest {

using namespace simtest;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kVersion = (2u << 28) | (16u << 24) | 1u; // what the image's identity record reports

// One BIRD file with the bytes an update must leave in flash.
struct Firmware {
    std::string path;
    Bytes image;
};

struct BirdOptions {
    unsigned build = 1234;
    std::string model = "Ristova";
    size_t imageSize = 4096;
    size_t loaderSize = 60;
    bool serialBlock = true;
    std::string serial = "00000000"; // the info block's serial number
    bool loader = true;
    bool firmware = true;
    uint32_t address = kFlashBase;
    std::string serialOffsets = "0x08000080 0x08000100"; // serial word, descriptor
    std::string moreManifest;                            // further manifest lines
};

// Writes `name` in dir (or at `out`); an image without a serial-number block
// holds the info block's serial number, as firmware built for one device does.
inline Firmware MakeFirmware(const testsupport::TempDir& dir, const std::string& name, const BirdOptions& o = {},
                      const std::string& out = "") {
    const uint32_t own = o.serialBlock ? 0xFFFFFFFF : uint32_t(std::stoul(o.serial, nullptr, 16));
    Firmware f{out.empty() ? dir / name : out, FirmwareImage(o.imageSize, kVersion, o.build, own, o.address)};
    testsupport::WriteFile(dir / (name + ".fw"), std::string(f.image.begin(), f.image.end()));
    Bytes loader(o.loaderSize);
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = uint8_t(0xC0 + i);
    testsupport::WriteFile(dir / (name + ".ld"), std::string(loader.begin(), loader.end()));
    std::ostringstream m;
    m << "build " << o.build << "\nversion 2.16.1\nmodel " << o.model << "\nserial " << o.serial << "\n";
    if (o.serialBlock) m << "serial-offsets " << o.serialOffsets << "\n";
    if (o.loader) m << "loader 0x20000000 " << name << ".ld\n";
    if (o.firmware) m << "firmware 0x" << std::hex << o.address << std::dec << " " << name << ".fw\n";
    m << o.moreManifest;
    testsupport::WriteFile(dir / (name + ".manifest"), m.str());
    auto r = testsupport::Run({BIRDTOOL_BIN, "pack", dir / (name + ".manifest"), f.path});
    EXPECT_EQ(r.status, 0) << r.err;
    return f;
}

// The image as the module must hold it: serial word and descriptor digits patched.
inline Bytes Patched(Bytes image, uint32_t serial) {
    Le32(image, 128, serial);
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", serial);
    for (int i = 0; i < 8; ++i) image[256 + 2 * i] = uint8_t(digits[i]);
    return image;
}

// A module on TCP/IP running build 1000, named `name` in the simulator.
inline std::string ModuleConfig(const std::string& extra = "", uint32_t serial = kSerial,
                                const std::string& name = "m1") {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", serial);
    return "[module " + name + "]\nserial = " + s +
           "\nmodel = 17\nversion = 2.15.0\nbuild = 1000\nflash_base = 0x08000000\nreboot_ms = 200\n" + extra;
}

// A module behind m1's I2C bus at 0x10 (serial 2181F0EE), then `extra` lines.
inline std::string BehindConfig(const std::string& extra = "") {
    return "[module behind]\nrouter = m1\ni2c_address = 0x10\nserial = 0x2181F0EE\nmodel = 17\n" + extra;
}

// Collects what the Updater says, for the calls made through its interface.
class Recorder : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { said += std::string(text) + "\n"; }
    void error_message(const char* text) override { said += std::string(text) + "\n"; }
    std::string said;
};

// A store in a temporary directory, the simulator in the test's network
// namespace, and what a finished update must leave behind.
class UpdateRun : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string store = dir / "store";

    std::unique_ptr<simtest::Sim> Start(const std::string& config) {
        auto sim = std::make_unique<simtest::Sim>(config, std::vector<std::string>{"--discovery", "--bind", "10.77.0.1"});
        EXPECT_TRUE(sim->ready()) << sim->log();
        return sim;
    }
    testsupport::RunResult Updater(std::vector<std::string> args, const std::string& url = "127.0.0.1:1") {
        args.insert(args.begin(), {"-u", url, "-i", store});
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(90); // well above the product's own bounds
        return testsupport::RunUpdater(args, options);
    }
    std::string DeviceDir(uint32_t serial = kSerial) const {
        char s[16];
        std::snprintf(s, sizeof s, "%08X", serial);
        return store + "/updater/" + s;
    }
    std::map<std::string, std::string> Settings(uint32_t serial = kSerial) const {
        std::map<std::string, std::string> keys;
        std::istringstream in(testsupport::ReadFile(DeviceDir(serial) + "/.settings"));
        for (std::string line; std::getline(in, line);)
            if (auto eq = line.find('='); eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
        return keys;
    }
    // serial 0: the image as it is (no serial-number block to patch).
    void ExpectFlash(const simtest::Sim& sim, const std::string& module, const Bytes& image, uint32_t serial = kSerial) {
        const std::string flash = testsupport::ReadFile(sim.state() + "/" + module + "/flash.bin");
        ASSERT_GE(flash.size(), image.size());
        const Bytes want = serial ? Patched(image, serial) : image;
        size_t differs = 0;
        while (differs < want.size() && uint8_t(flash[differs]) == want[differs]) ++differs;
        EXPECT_EQ(differs, want.size()) << "flash differs from the patched image at this offset";
        EXPECT_EQ(flash.find_first_not_of('\xFF', image.size()), std::string::npos) << "bytes beyond the image";
    }
    void ExpectTransferred(const std::string& name, uint32_t serial = kSerial) {
        auto keys = Settings(serial);
        EXPECT_EQ(keys["LATEST_TRANSFER"], name);
        EXPECT_FALSE(keys["LAST_TRANSFER_DATE"].empty());
    }
    void ExpectNoTransfer(uint32_t serial = kSerial) {
        auto keys = Settings(serial);
        EXPECT_EQ(keys.count("LATEST_TRANSFER"), 0u);
        EXPECT_EQ(keys.count("LAST_TRANSFER_DATE"), 0u);
    }
    void Store(const Firmware& f, unsigned build, const std::string& settings = "") {
        testsupport::Run({"/bin/mkdir", "-p", DeviceDir()});
        testsupport::Run({"/bin/cp", f.path, DeviceDir() + "/" + std::to_string(build) + ".bird"});
        if (!settings.empty()) testsupport::WriteFile(DeviceDir() + "/.settings", settings);
    }
};

} // namespace updatetest
