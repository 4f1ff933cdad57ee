// Version line, copyright line and the usage text.
#include <cstdio>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterMain.h"

namespace {

const char kAppName[] = "Updater";
const char kVersion[] = "Version: 2.12.4 May 26 2026";
const char kCopyright[] = "Copyright (c) 2026 Velorn. All rights reserved.";

// Entry layout: five spaces, the syntax padded to 25 columns, "- ", the text;
// further lines of the text start in the text's column.
constexpr int kSyntaxWidth = 25;
const std::string kContinuation(5 + kSyntaxWidth + 2, ' ');

struct Entry {
    std::string syntax;
    std::vector<std::string> lines; // an empty line stands for a blank line
    bool blank_after = false;
};

void PrintBlock(const char* heading, const std::vector<Entry>& entries) {
    std::fprintf(stderr, "%s\n", heading);
    bool ended_blank = false;
    for (const auto& entry : entries) {
        for (std::size_t i = 0; i < entry.lines.size(); ++i) {
            if (i == 0)
                std::fprintf(stderr, "     %-*s- %s\n", kSyntaxWidth, entry.syntax.c_str(),
                             entry.lines[0].c_str());
            else if (entry.lines[i].empty())
                std::fprintf(stderr, "\n");
            else
                std::fprintf(stderr, "%s%s\n", kContinuation.c_str(), entry.lines[i].c_str());
        }
        if (entry.blank_after) std::fprintf(stderr, "\n");
        ended_blank = entry.blank_after;
    }
    if (!ended_blank) std::fprintf(stderr, "\n");
}

void PrintShortBlock() {
    std::fprintf(stderr,
                 "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
                 "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
                 "    [-s serial_port] [-o baud_rate]\n\n"
                 "  Tarnix Update and Maintenance Application\n"
                 "    -H -h or --help for full usage information.\n\n",
                 kAppName);
}

void PrintParametersAndCommands() {
    PrintBlock("  Parameters to commands:",
               {
                   {"-i <velorn_directory>",
                    {"The Velorn directory used for storage of ", "firmware files. [Default: ~/.velorn ]."}},
                   {"-b <build number>",
                    {"Build version of the firmware to transfer.", "[Default: latest version available]."}},
                   {"-d <device>", {"Device serial number of the device to access."}},
                   {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}},
                   {"-f <bird file>", {"Firmware file to be transferred to device."}},
                   {"-r <router serial>", {"indirect connection through router device"}},
                   {"-s <serial port>", {"name of serial port to use for recovery"}},
                   {"-o <baud rate>",
                    {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"}},
               });
    PrintBlock("  Commands:",
               {
                   {"-B", {"list the Builds available for given device."}},
                   {"-L", {"list the local Builds available for given device."}},
                   {"-D", {"Discover devices that are currently connected."}},
                   {"-G",
                    {"Get build file from the Velorn server and",
                     "store on local machine for download to device.",
                     "Must specify a specific device [\"-d\" option].",
                     "Default is to obtain the latest build for the",
                     "given device, override with \"-b\" option."},
                    true},
                   {"-U",
                    {"Update the firmware on device specified.",
                     "Must specify a specific device [\"-d\" option].",
                     "Default is to download the latest build for the",
                     "given device, override with \"-b\" option or",
                     "specify specific BIRD file using \"-f\" option."},
                    true},
                   {"-J", {"Get a JWT containing the devices software features"}},
                   {"-H or -h", {"Display extended usage information."}},
                   {"--http",
                    {std::string("Use HTTP for the update server (") + UpdaterServerHttpUrl() + ")."}},
                   {"--https",
                    {std::string("Use HTTPS for the update server (") + UpdaterServerHttpsUrl() + ").",
                     "Recommended; HTTPS will be the default in the next major version."}},
               });
}

void PrintExtended() {
    PrintBlock("  Extended Parameters:",
               {
                   {"-e", {"echoing of bytes enabled during recovery."}},
                   {"-m", {"Attemps to use UEIBytes for faster loading"}},
                   {"-l 'log message'", {"message to place in device history log"}},
                   {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}},
                   {"-u <host:port>",
                    {"The hostname and port of the update server",
                     std::string("Default: ") + UpdaterServerHost() + ":port"}},
               });

    struct Package {
        const char* name;
        unsigned value;
    };
    // Zero marks a blank line between groups.
    const Package packages[] = {
        {"DEBUG_Updater", Log::DEBUG_Updater},
        {"DEBUG_History", Log::DEBUG_History},
        {"DEBUG_Attributes", Log::DEBUG_Attributes},
        {"DEBUG_BirdFile", Log::DEBUG_BirdFile},
        {"DEBUG_Network", Log::DEBUG_Network_Legacy},
        {"DEBUG_ServerComm", Log::DEBUG_ServerComm},
        {"", 0},
        {"DEBUG_Network", Log::DEBUG_Network},
        {"DEBUG_Network_SR", Log::DEBUG_Network_SR},
        {"DEBUG_Network_FIRM", Log::DEBUG_Network_FIRM},
        {"", 0},
        {"DEBUG_NXPSerial", Log::DEBUG_NXPSerial},
        {"DEBUG_NXPSerial_E", Log::DEBUG_NXPSerial_E},
        {"DEBUG_NXPSerial_SR", Log::DEBUG_NXPSerial_SR},
        {"", 0},
        {"DEBUG_APP", Log::DEBUG_APP},
        {"", 0},
        {"DEBUG_iMXSerial", Log::DEBUG_iMXSerial},
    };
    Entry mask{"-X <BIT_MASK>", {"Bitmask for Logging"}, true};
    for (const auto& package : packages) {
        if (package.value == 0) {
            mask.lines.emplace_back();
            continue;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%-20s0x%08X", package.name, package.value);
        mask.lines.emplace_back(line);
    }

    PrintBlock("  Extended Commands:",
               {
                   {"-I",
                    {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
                     "specify a specific device [\"-d\" option]."}},
                   {"-OVERRIDE",
                    {"Override the model checks for BIRD firmware files.",
                     "This option should only be used when authorized by", "Velorn development engineers."}},
                   {"-N", {"Get fingerprint from a device, requires -s"}},
                   mask,
                   {"-C", {"Check the given BIRDFILE"}},
               });
}

void PrintSample(const char* arguments, const char* description) {
    std::fprintf(stderr, "     %s %s\n        %s\n", kAppName, arguments, description);
}

void PrintSamples() {
    std::fprintf(stderr, " Sample usage:\n");
    PrintSample("-D", "Discover devices (on USB unless -t chooses the transport).");
    PrintSample("-D -t USB", "Discover the devices connected by USB.");
    PrintSample("-D -t USB -d 0F5849A", "Discover the devices connected by USB; -d does not filter the list.");
    PrintSample("-G -d 40F5849A", "Get the latest build for device 40F5849A into the local store.");
    PrintSample("-U -d 40F5849A", "Update device 40F5849A with the latest build available.");
    PrintSample("-G -d 40F5849A -b 99528558", "Get build 99528558 for device 40F5849A into the local store.");
    PrintSample("-G -U -d 40F5849A", "Get the latest build for device 40F5849A and update the device with it.");
    PrintSample("-U -t RECOVER -s /dev/serial", "Recover a device through its boot ROM on serial port /dev/serial.");
    std::fprintf(stderr, "\n Sample usage for network discovery and updates:\n");
    PrintSample("-D -r D272031D", "Discover the devices on the I2C Tarnix network of routing device D272031D.");
    PrintSample("-G -U -d 2181F0EE -r D272031D",
                "Get the latest build for device 2181F0EE and update it through routing device D272031D.");
    std::fprintf(stderr, "\n");
}

} // namespace

void _display_usage(bool extended, bool full) {
    PrintShortBlock();
    if (full) PrintParametersAndCommands();
    if (full && extended) PrintExtended();
    if (full) PrintSamples();
}

void _display_app_version(CLI_Display& display) {
    display.message(UpdaterDisplayInterface::Info, "%s (%s)", kAppName, kVersion);
}

void _display_copyright(CLI_Display& display) {
    display.message(UpdaterDisplayInterface::Info, "%s", kCopyright);
}
