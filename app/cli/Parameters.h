// What the command line asks for: the command bits and the parameter record.
#pragma once

#include <cstdint>
#include <string>

// One bit per command option.
enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x00000001,          // -D
    COMMAND_UPDATE = 0x00000002,            // -U
    COMMAND_LIST_BUILDS = 0x00000004,       // -B
    COMMAND_GET_BUILD = 0x00000008,         // -G
    COMMAND_SHOW_INFO = 0x00000010,         // -I: the device's stored history
    COMMAND_CHECK_BIRD = 0x00000020,        // -C: judge a BIRD file as an update would
    COMMAND_FINGERPRINT = 0x00000040,       // -N
    COMMAND_Z = 0x00000080,                 // -Z (accepted, nothing runs)
    COMMAND_GET_JWT = 0x00000100,           // -J
    COMMAND_LIST_LOCAL_BUILDS = 0x00000200, // -L
    COMMAND_HELP = 0x80000000,              // -h, -H, --help
};

// The ten command bits that make a run do something beyond printing usage.
constexpr uint32_t kAnyCommand = 0x000003FF;

class CommandsClass {
public:
    CommandsClass() = default;
    void Set(COMMANDS command) { bits_ |= command; }
    // True when any bit of the mask is set.
    bool IsSet(uint32_t mask) const { return (bits_ & mask) != 0; }
    uint32_t Bits() const { return bits_; }

private:
    uint32_t bits_ = 0;
};

// Recovery through the chip's boot ROM, chosen with -t RECOVER.
constexpr int32_t kTransportRecover = 0xFF;

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial_number = 0;
    int32_t transport = 1; // USB
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    std::string baud_rate_text; // -o as given, for messages; empty without -o
    uint8_t module_address = 0;
    std::string bird_file;
    std::string log_message;
    std::string build; // decimal build number; empty means the latest
    bool echo = false;
    std::string server_url;
    bool option_n = false;
    std::string store_directory; // empty means the home default
    std::string app_name;
    std::string home_directory;
    std::string log_mode = "a+";
    std::string log_file = "Updater.log";
    bool override = false;
    bool uei_bytes_load = true;
    uint32_t debug_mask = 0;
    bool debug_mask_given = false;
    bool help = false;
};

// The update server's base URL in its two forms.
const char* UpdaterServerHttpUrl();
const char* UpdaterServerHttpsUrl();
// The host alone, as the usage text shows it.
const char* UpdaterServerHost();
