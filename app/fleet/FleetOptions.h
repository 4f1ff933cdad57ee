// The fleet program's command line.
#pragma once

#include <string>
#include <vector>

#include "FleetModel.h"
#include "Result.h"

// Which modules a command is about; selectors add up.
struct Selection {
    std::vector<unsigned> serials;     // -d
    std::vector<std::string> models;   // --model, compared without case
    std::vector<Transport> transports; // -t usb|tcpip
    std::vector<unsigned> routers;     // -r: the modules behind each
    bool all = false;                  // --all
    std::vector<std::string> recover_ports; // --recover-port: serial ports with an LPC chip at its boot ROM

    bool empty() const {
        return !all && serials.empty() && models.empty() && transports.empty() && routers.empty() &&
               recover_ports.empty();
    }
    bool Matches(const FleetModule& module) const;
};

struct FleetOptions {
    enum class Command { None, List, Plan, Update, Doctor, Help };
    Command command = Command::None;
    std::string server_url;    // -u; empty: the built-in server
    std::string store_root;    // -i; empty: the home default
    unsigned debug_mask = 0;   // -X
    bool json = false;         // --json
    Selection selection;
    bool list_usb = true;      // list -t
    bool list_tcpip = true;
    std::string file;          // --file
    unsigned jobs = 0;         // --jobs; 0: every module that can go in parallel
    bool force = false;        // --force
    std::vector<std::string> ports; // doctor --port: serial ports to check besides the USB serial adapters
};

// The options from argv[1..]; a failure's message is the usage error to show.
ResultOf<FleetOptions> ParseFleetOptions(int argc, char** argv);

// The usage text.
const char* FleetUsage();
