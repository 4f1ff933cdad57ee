// One virtual module: its identity, options, upgrade state machine and faults.
// Transport-free: the server hands it complete packets and a Hub to answer through.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Config.h"
#include "Flash.h"
#include "Log.h"

namespace tarnixsim {

class Module;

// A stream subscription made with command 93 (255 in a field: any).
struct StreamSubscription {
    Module* module;
    uint8_t command, option, index;
};

// One host connection (a TCP client or the pty); the server derives its own.
struct Connection {
    virtual ~Connection() = default;
    uint64_t id = 0;
    Module* top = nullptr;            // the module the transport belongs to
    bool route_on = false;            // route control (0xAF) from the host
    std::vector<StreamSubscription> streams;
    uint64_t next_stream_ms = 0;
    // Byte sequences being received, by module address, command, option, index.
    struct Incoming {
        Bytes data;
        uint8_t expected = 0;
        bool failed = false;
    };
    std::map<uint32_t, Incoming> incoming;
    // A factory-data transfer in progress.
    struct Factory {
        bool active = false, writing = false;
        unsigned index = 0;
        size_t offset = 0;
        Bytes data;
    } factory;
    std::string label() const { return "conn#" + std::to_string(id); }
};

// What a module needs from the server around it.
class Hub {
public:
    virtual ~Hub() = default;
    virtual uint64_t nowMs() const = 0;
    // Queues a packet from `from` to the host on `c`, after `delayMs`.
    virtual void send(Connection& c, uint8_t from, const Bytes& data, unsigned delayMs) = 0;
    // Closes every host connection of a top-level module.
    virtual void dropConnections(Module& top) = 0;
    // The module goes down now; it comes back after its reboot time unless
    // `comeBack` is false.
    virtual void reboot(Module& m, bool comeBack) = 0;
    // The module has started its loader (a USB module re-enumerates then).
    virtual void loaderStarted(Module&) {}
    // The module's power goes, now or after `delayMs`: it drops off every
    // transport and comes back as its chip's boot ROM, if it has one.
    virtual void powerCut(Module& m, unsigned delayMs) = 0;
};

class Module {
public:
    Module(const ModuleConfig& config, const std::string& stateRoot, Log& log);

    const ModuleConfig& config() const { return config_; }
    const std::string& name() const { return config_.name; }
    uint8_t address() const { return config_.address; }
    // The serial number it reports: a loader its boot ROM started reports the
    // recovery loader's.
    uint32_t serial() const;
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    uint8_t model() const { return config_.model; }
    Faults& faults() { return faults_; }

    Module* router = nullptr;            // set for a module behind a router
    std::vector<Module*> children;       // modules behind this one
    Module* childAt(uint8_t address) const;
    // Puts this module behind `r` on its I2C bus; its router setting starts
    // out naming that router.
    void attachTo(Module& r);

    bool up() const { return up_; }
    // Marks the module down (rebooting); boot() brings it back, running the
    // image written since the last boot, if any.
    void goDown();
    void boot(uint64_t nowMs);
    // The power goes: down, and what lived in RAM (a loader, an upgrade in
    // progress) is lost; the flash keeps what was programmed.
    void powerCut();
    // Its boot ROM started code: the loader a host put into RAM (`ramLoader`),
    // which the next boot runs until the firmware it writes is booted, or the
    // firmware in flash, which the next boot runs.
    void startFromRom(bool ramLoader);
    // Running a loader its boot ROM started (on USB only, as the i.MX one).
    bool runningRomLoader() const { return running_rom_loader_; }
    // On USB now: by configuration, or as a loader its boot ROM started.
    bool onUsb() const { return config_.usb || running_rom_loader_; }
    Flash& flash() { return flash_; }

    // A complete packet addressed to this module.
    void handle(Connection& c, const Bytes& data, Hub& hub);

    // Heartbeats: interval (0: off), the next value to send and bookkeeping.
    unsigned heartbeatMs() const { return heartbeat_ms_; }
    uint8_t nextHeartbeat();
    // Values alternate 0 and 1; an answer counts for the value it names as
    // long as that value is still awaiting one, so an answer that crosses the
    // next heartbeat on the wire is not mistaken for a wrong one.
    struct HeartbeatRecord {
        unsigned sent = 0, answered = 0, missed = 0, wrong = 0;
        bool pending[2] = {false, false};
    } heartbeat;
    // Books a host's answer (data byte 1 of a command-0 packet).
    void heartbeatAnswer(uint8_t answer);

    // Stream samples for one subscription, appended as packet data.
    void streamSamples(const StreamSubscription& s, uint64_t nowMs, std::vector<Bytes>& out) const;

    std::string status() const;

private:
    // Replies go through the reply faults (drop, delay).
    void reply(Connection& c, Hub& hub, const Bytes& data);
    void replyError(Connection& c, Hub& hub, uint8_t command, uint8_t replyOption, uint8_t index, uint8_t err);
    void replyBytes(Connection& c, Hub& hub, uint8_t command, uint8_t option, uint8_t index, const Bytes& value);

    void handleUEI(Connection& c, const Bytes& d, Hub& hub);
    void handleSystemGet(Connection& c, Hub& hub, uint8_t code, uint8_t index, const Bytes& subindex);
    void handleSystemSet(Connection& c, Hub& hub, uint8_t code, uint8_t index, const Bytes& value, bool isBytes);
    void finishBytes(Connection& c, Hub& hub, uint8_t command, uint8_t code, uint8_t index, const Bytes& value);
    void handleQuery(Connection& c, const Bytes& d, Hub& hub);
    void handleI2C(Connection& c, const Bytes& d, Hub& hub);
    void handleStore(Connection& c, const Bytes& d, Hub& hub);
    void handleFactory(Connection& c, const Bytes& d, Hub& hub);
    void handleUpgrade(Connection& c, const Bytes& d, Hub& hub);
    bool upgradeData(const uint8_t* bytes, size_t n, size_t& accepted);
    void countData(Hub& hub);
    // Runs the image written since the last boot, if any (identity record).
    void bootWrittenImage();
    // WRITE's programming under the power_cut fault: programs what the power
    // leaves time for; true when the power goes with this write.
    bool programUntilPowerCut(uint32_t at, uint16_t count);

    // Numeric value of a system option that can be read, if it is one.
    std::optional<uint32_t> systemValue(uint8_t code, uint64_t nowMs) const;
    // The power-behaviour array's 32-bit elements (little-endian, as stored).
    std::vector<uint32_t> powerBehaviorElements() const;
    void saveSettings() const;
    void loadSettings();

    ModuleConfig config_;
    Log& log_;
    StateDir state_;
    Flash flash_;
    Faults faults_;
    bool up_ = true;
    uint64_t boot_ms_ = 0;
    uint64_t now_ms_ = 0; // time of the packet being handled

    // Identity and settable options.
    uint32_t serial_, version_, build_;
    std::string device_name_;
    unsigned heartbeat_ms_;
    uint8_t hb_next_ = 0;
    uint8_t router_address_ = 0, led_ = 0, boot_slot_ = 0, software_offset_ = 0, power_behavior_ = 0,
            link_interface_ = 0, led_max_ = 255, route_to_me_ = 0;
    uint32_t power_limit_max_ = 15000000;
    Bytes power_behavior_config_;

    // I2C register bytes last written to this module over the router's bus.
    Bytes i2c_scratch_;

    // Store slots: store 0 (kept in the state directory) and store 1 (memory).
    struct Slot {
        Bytes data;
    };
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    struct Handle {
        bool open = false, writing = false;
        uint8_t store = 0, slot = 0;
        size_t offset = 0;
        Bytes pending;
    };
    std::array<Handle, 4> handles_{};

    // The upgrade as the module lives it.
    enum class Phase { Idle, LoaderReceive, LoaderRunning };
    Phase phase_ = Phase::Idle;
    struct Block {
        bool open = false, firmware = false;
        uint8_t flags = 0;
        uint32_t address = 0, written = 0;
        Bytes pending;
    } block_;
    Bytes loader_;
    bool erased_this_session_ = false;
    bool image_written_ = false;
    bool firmware_booted_ = false; // a written image with an identity record was booted
    bool rom_jump_pending_ = false;  // the next boot runs a loader its boot ROM started
    bool running_rom_loader_ = false;
};

} // namespace tarnixsim
