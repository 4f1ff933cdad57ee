#include "FleetOptions.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A serial number in hexadecimal, with or without 0x; 0 is none.
bool ParseSerial(const char* text, unsigned& serial) {
    if (text == nullptr) return false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    if (*text == '\0' || std::strlen(text) > 8) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (errno != 0 || *end != '\0' || value == 0) return false;
    serial = unsigned(value);
    return true;
}

bool ParseUnsigned(const char* text, unsigned long max, unsigned& out) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > max) return false;
    out = unsigned(value);
    return true;
}

Result Usage(const std::string& why) { return Result::Failure(aErrParam, why); }

struct Parser {
    int argc;
    char** argv;
    int at = 2;
    FleetOptions options;

    // The value after option argv[at]; null when there is none.
    const char* Value() { return at + 1 < argc ? argv[++at] : nullptr; }

    Result Command(const char* word) {
        using C = FleetOptions::Command;
        static const struct {
            const char* word;
            C command;
        } kCommands[] = {{"list", C::List}, {"plan", C::Plan}, {"update", C::Update}, {"doctor", C::Doctor},
                         {"help", C::Help}, {"--help", C::Help}, {"-h", C::Help}};
        for (const auto& c : kCommands)
            if (std::strcmp(word, c.word) == 0) {
                options.command = c.command;
                return {};
            }
        return Usage(std::string("unknown command '") + word + "'");
    }

    bool Selecting() const {
        return options.command == FleetOptions::Command::Plan || options.command == FleetOptions::Command::Update;
    }

    Result Transport(const char* value) {
        const std::string t = value ? value : "";
        const bool list = options.command == FleetOptions::Command::List;
        if (t == "usb" || t == "tcpip") {
            if (list) {
                options.list_usb = t == "usb";
                options.list_tcpip = t == "tcpip";
            } else {
                options.selection.transports.push_back(t == "usb" ? Transport::Usb : Transport::Tcpip);
            }
            return {};
        }
        if (t == "all" && list) {
            options.list_usb = options.list_tcpip = true;
            return {};
        }
        return Usage("-t takes " + std::string(list ? "usb, tcpip or all" : "usb or tcpip") + ", not '" + t + "'");
    }

    // One option at argv[at]; a failure is a usage error.
    Result Option() {
        const std::string a = argv[at];
        const auto needs = [&](const char* value) -> Result {
            return value ? Result{} : Usage(a + " needs a value");
        };
        if (a == "--json") options.json = true;
        else if (a == "-h" || a == "--help") options.command = FleetOptions::Command::Help;
        else if (a == "-u") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.server_url = v;
        } else if (a == "-i") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.store_root = v;
        } else if (a == "-X") {
            if (!ParseUnsigned(Value(), 0xFFFFFFFFul, options.debug_mask)) return Usage("-X takes a bit mask");
        } else if (a == "-t") {
            return Transport(Value());
        } else if (a == "-r") {
            unsigned router = 0;
            if (!ParseSerial(Value(), router)) return Usage("-r takes a router's serial number (hexadecimal)");
            options.selection.routers.push_back(router);
        } else if (Selecting() && a == "-d") {
            unsigned serial = 0;
            if (!ParseSerial(Value(), serial)) return Usage("-d takes a serial number (hexadecimal, not 0)");
            options.selection.serials.push_back(serial);
        } else if (Selecting() && a == "--model") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.selection.models.push_back(v);
        } else if (Selecting() && a == "--recover-port") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.selection.recover_ports.push_back(v);
        } else if (Selecting() && a == "--all") {
            options.selection.all = true;
        } else if (Selecting() && a == "--file") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.file = v;
        } else if (options.command == FleetOptions::Command::Update && a == "--jobs") {
            if (!ParseUnsigned(Value(), 1024, options.jobs) || options.jobs == 0)
                return Usage("--jobs takes a number from 1 to 1024");
        } else if (options.command == FleetOptions::Command::Update && a == "--force") {
            options.force = true;
        } else if (options.command == FleetOptions::Command::Doctor && a == "--port") {
            const char* v = Value();
            if (Result r = needs(v); !r.ok()) return r;
            options.ports.push_back(v);
        } else {
            return Usage("unknown option '" + a + "' for this command");
        }
        return {};
    }

    ResultOf<FleetOptions> Parse() {
        if (argc < 2) return Usage("no command given");
        if (Result r = Command(argv[1]); !r.ok()) return r;
        for (at = 2; at < argc; ++at)
            if (Result r = Option(); !r.ok()) return r;
        if (options.command == FleetOptions::Command::Help) return options;
        if (options.command == FleetOptions::Command::Update && options.selection.empty())
            return Usage("update needs a selection (-d, --model, -t, -r, --recover-port or --all): it never updates every module "
                         "unasked");
        if (options.command == FleetOptions::Command::Plan && options.selection.empty())
            return Usage("plan needs a selection (-d, --model, -t, -r, --recover-port or --all)");
        return options;
    }
};

} // namespace

bool Selection::Matches(const FleetModule& m) const {
    if (all) return true;
    // A boot ROM has no serial number or model yet: only its transport names
    // it, and a serial port is named by --recover-port alone.
    if (m.boot_rom && m.boot_rom->chip == BootRom::Chip::Lpc) return true;
    if (m.boot_rom) {
        for (Transport t : transports)
            if (t == m.transport) return true;
        return false;
    }
    for (unsigned serial : serials)
        if (serial == m.serial) return true;
    for (const std::string& model : models)
        if (strcasecmp(model.c_str(), m.model().c_str()) == 0) return true;
    for (Transport t : transports)
        if (t == m.transport) return true;
    for (unsigned router : routers)
        if (m.transport == Transport::I2c && m.router_serial == router) return true;
    return false;
}

ResultOf<FleetOptions> ParseFleetOptions(int argc, char** argv) {
    Parser parser{argc, argv, 2, FleetOptions{}};
    return parser.Parse();
}

const char* FleetUsage() {
    return "Usage: tarnix-fleet COMMAND [OPTIONS]\n"
           "\n"
           "Lists, plans and updates every Tarnix module of a lab at once.\n"
           "\n"
           "Commands:\n"
           "  list [-t usb|tcpip|all] [-r ROUTER]...   every module found, and those behind routing modules\n"
           "  plan SELECTION [--file FILE]             what update would do to each module; changes nothing\n"
           "  update SELECTION [--file FILE] [--jobs N] [--force]\n"
           "                                           updates the selected modules side by side\n"
           "  doctor [--port PATH]...                  checks what makes updates fail, with the fix for each\n"
           "\n"
           "SELECTION (selectors add up; update needs at least one):\n"
           "  -d SERIAL      the module with this serial number (repeatable)\n"
           "  --model NAME   every module of this model\n"
           "  -t usb|tcpip   every module on this transport\n"
           "  -r ROUTER      every module behind this routing module (repeatable)\n"
           "  --all          every module found\n"
           "  --recover-port PORT  the LPC chip at its boot ROM on this serial port (repeatable)\n"
           "\n"
           "Options for every command:\n"
           "  -u URL    update server\n"
           "  -i DIR    store directory (default ~/.velorn)\n"
           "  -X MASK   debug log packages, as Updater -X\n"
           "  --json    JSON Lines on standard output (schema 1); text for people on standard error\n"
           "\n"
           "update:\n"
           "  --file FILE  write this BIRD file into every selected module of its model\n"
           "  --jobs N     at most N modules at once (default: all that can go in parallel)\n"
           "  --force      also update modules already running the target build\n"
           "\n"
           "doctor:\n"
           "  --port PATH  also check this serial port (repeatable; /dev/ttyUSB* and /dev/ttyACM* always)\n"
           "\n"
           "Exit status: 0 all selected modules on their target, 1 usage or set-up error,\n"
           "2 some modules failed, 3 every attempted module failed, 4 no module matched.\n";
}
