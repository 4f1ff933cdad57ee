// The simulator's event loop: TCP listeners, host connections, pseudo-terminals,
// the Ethernet discovery responder, the control port, timers and signals.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChipRom.h"
#include "Config.h"
#include "ImxHidRom.h"
#include "Log.h"
#include "Module.h"
#include "Usb.h"

namespace tarnixsim {

struct Options {
    std::string config_path;
    std::string state_dir;              // empty: flash and settings in memory only
    std::string bind_address = "127.0.0.1";
    std::string ready_file;
    bool discovery = false;
    std::string discovery_interface;    // empty: every interface
    bool discovery_any_namespace = false;
    // Address discovery replies come from; empty: the module ports' address
    // (bind_address) unless that is loopback, else whatever the route picks.
    std::string discovery_source;
    int control_port = 0;               // 0: any free port; -1: no control port
    std::vector<std::string> command;   // run with the USB test bed's variables; its status ends the run
    std::string hid_rom_module;         // non-empty: an i.MX HID boot ROM in the USB bed starts this module
    bootrom::HidRomOptions hid_rom;
};

class Server : public Hub {
public:
    Server(const Config& config, const Options& options, Log& log);
    ~Server() override;

    // Sets everything up and reports readiness; throws std::runtime_error.
    void start();
    // Runs until SIGINT or SIGTERM, or until the command (Options::command) ends.
    void run();
    // The command's exit status (128 + signal when killed), once it has ended.
    int commandStatus() const { return command_status_; }

    // Hub
    uint64_t nowMs() const override;
    void send(Connection& c, uint8_t from, const Bytes& data, unsigned delayMs) override;
    void dropConnections(Module& top) override;
    void reboot(Module& m, bool comeBack) override;
    void loaderStarted(Module& m) override;
    void powerCut(Module& m, unsigned delayMs) override;

private:
    struct Conn;
    struct Listener {
        Module* module = nullptr;
        int fd = -1;
        uint16_t port = 0;
    };
    struct Control {
        int fd = -1;
        std::string in, out;
    };
    struct Delayed {
        uint64_t conn;
        Bytes wire;
    };
    struct Reboot {
        Module* module;
        uint64_t due; // 0: never by itself
    };
    struct RomSlot {
        Module* module = nullptr;
        std::unique_ptr<ChipRom> rom;
    };
    struct PendingCut {
        Module* module;
        uint64_t due;
    };
    // A module on USB: its current device (or none while it is away).
    struct UsbSlot {
        Module* module = nullptr;
        unsigned port = 0;
        int device = -1;
        std::string node;
        Conn* conn = nullptr;
        uint64_t unplug_due = 0, replug_due = 0; // 0: nothing scheduled
    };

    Module* find(const std::string& name) const;
    void openListener(Listener& l);
    void openPty(Module& m);
    void openDiscovery();
    void openControl();
    void announce();
    void accept(Listener& l);
    void readTcp(Conn& c);
    void readPty(Conn& c);
    void dispatch(Conn& c, uint8_t address, const Bytes& data);
    void writeWire(Conn& c, const Bytes& wire);
    void flush(Conn& c);
    // An abortive close resets the connection, so the host notices at once.
    void close(Conn& c, const char* why, bool abortive = false);
    void answerDiscovery();
    // The address replies come from, checked to be one of this host's.
    std::optional<in_addr> discoverySource() const;
    // One reply datagram, from discovery_source_ when set.
    void sendDiscoveryReply(const uint8_t* reply, size_t size, const sockaddr_in& to);
    void acceptControl();
    void readControl(Control& k);
    std::string command(const std::string& line);
    void timers(uint64_t now);
    void streamTick(Conn& c, uint64_t tick);
    void bringUp(Module& m);
    // Off every transport (connections reset, port closed, off the bus).
    void takeDown(Module& m, const char* why);
    void cutPower(Module& m);
    // Its boot ROM started code: a loader in RAM or the firmware in flash.
    void romStarted(Module& m, bool ramLoader);
    void openRoms();
    RomSlot* romSlot(Module& m);
    // A module by name, else by serial number (hexadecimal).
    Module* findByNameOrSerial(const std::string& what) const;
    std::string statusOfRom(Module& m);
    uint64_t nextDeadline(uint64_t now) const;
    void feed(Conn& c, const uint8_t* bytes, size_t n);
    void openUsb();
    void makeUsbBed();
    void plugUsb(UsbSlot& s);
    void unplugUsb(UsbSlot& s);
    void usbEvents();
    void usbTimers(uint64_t now);
    UsbSlot* usbSlot(Module& m);
    void startCommand();
    bool reapCommand();

    Options options_;
    Log& log_;
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<Listener> listeners_;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::multimap<uint64_t, Delayed> delayed_;
    std::vector<Reboot> reboots_;
    std::map<Module*, uint64_t> next_heartbeat_;
    std::vector<Control> controls_;
    int control_fd_ = -1;
    uint16_t control_port_ = 0;
    int discovery_fd_ = -1;
    std::optional<in_addr> discovery_source_; // none: the route picks the replies' source
    std::vector<std::string> pty_links_;
    uint64_t next_conn_id_ = 1;
    std::unique_ptr<UsbBed> usb_;
    std::unique_ptr<bootrom::ImxHidRom> hid_rom_; // answers in usb_'s bed
    std::vector<UsbSlot> usb_slots_;
    std::vector<RomSlot> roms_;
    std::vector<PendingCut> power_cuts_;
    // Each i.MX ROM a power cut brings gets a hidraw node of its own: the
    // test bed never hands a removed device's node name out again.
    unsigned next_hidraw_ = 0;
    int command_pid_ = -1;
    int command_status_ = -1;
};

// Installs the SIGINT/SIGTERM handlers the loop watches.
void InstallSignalHandlers();

} // namespace tarnixsim
