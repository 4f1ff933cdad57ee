// tarnix-share: lets several processes use one module at once.
//
// Serving: opens the module (USB, TCP/IP or serial) with sharing on, so that the
// link is held by a networked-link server in this process, prints the server's
// port and the module's serial number, and serves until SIGINT or SIGTERM.
// Client: finds the server of a module by its serial number (or is given the
// server's address), reads the serial number through it and receives stream
// samples, the way any other program built on the library would.
#include <arpa/inet.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "Module.h"
#include "SystemClass.h"
#include "aShareKeys.h"

using Velorn::Tarnix::Link;
using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;
using Velorn::Tarnix::ZephylConfig;

namespace {

const char* kUsage =
    "usage: tarnix-share [-t usb|tcpip] [--network] [--insecure] SERIAL\n"
    "       tarnix-share [--network] [--insecure] tcp:ADDRESS:PORT | serial:PATH[:BAUD]\n"
    "       tarnix-share --client SERIAL | --client net:ADDRESS:PORT [--interface A] [--stream N]\n"
    "                    [--timeout S] [--insecure]\n"
    "       tarnix-share --keys\n"
    "\n"
    "Shares one Tarnix module with other processes on this machine. The module\n"
    "is opened once, here; other programs reach it through this process.\n"
    "\n"
    "Serving (the default): opens the module and serves it until interrupted\n"
    "(Ctrl-C or SIGTERM), printing the server's port and the module's serial\n"
    "number. The module is found by its serial number (USB unless -t says\n"
    "otherwise) or opened through an explicit specifier.\n"
    "  -t usb|tcpip        transport searched for SERIAL (default usb)\n"
    "  --network           also serve other machines: the server listens on the\n"
    "                      network interface and announces itself by beacons\n"
    "                      (default: local-only, loopback); needs the key files\n"
    "                      made by --keys and accepts only the allowed clients\n"
    "  --interface A       with --network: the IPv4 address of the interface to\n"
    "                      serve on (default: the first one)\n"
    "\n"
    "Client: reaches a shared module, prints its serial number and the stream\n"
    "samples it receives.\n"
    "  --client SERIAL     find the server of the module SERIAL by discovery\n"
    "  --client net:ADDRESS:PORT\n"
    "                      connect to the server at ADDRESS:PORT\n"
    "  --interface A       look for servers that are not local-only: listen for\n"
    "                      their beacons on the interface with IPv4 address A\n"
    "                      (default: local-only servers, by loopback multicast)\n"
    "  --stream N          stream samples to receive (default 5, 0 for none)\n"
    "  --timeout S         seconds to wait for them (default 10)\n"
    "\n"
    "Security: server and clients prove who they are with CurveZMQ key pairs\n"
    "kept in $XDG_CONFIG_HOME/tarnix/share (default ~/.config/tarnix/share,\n"
    "mode 0700; secret files mode 0600; links, other owners and files open to\n"
    "others are refused):\n"
    "  client.key, client.key_secret   this user's clients (made on first use)\n"
    "  server.key, server.key_secret   this user's servers (made on first use by\n"
    "                                  a local-only server, by --keys otherwise)\n"
    "  allowed/                        public certificates (*.key files copied\n"
    "                                  from other users' client.key) of the\n"
    "                                  clients a --network server accepts\n"
    "  servers/ADDRESS                 the server.key of a server on another\n"
    "                                  machine reached at ADDRESS\n"
    "A local-only server accepts only its owner's clients (and root's); a\n"
    "--network server also those in allowed/, read when it starts.\n"
    "  --keys              make the key pairs and directories, print the paths\n"
    "  --insecure          no keys and no encryption: any client that reaches\n"
    "                      the port may use the module (closed lab networks only;\n"
    "                      server and clients must all say it)\n"
    "\n"
    "Exit status: 0 on a clean stop (serving) or when everything was received\n"
    "(client), 1 on failure, 2 on a usage error.\n";

struct Options {
    bool client = false;
    bool network = false;
    bool insecure = false;
    bool keys = false;
    linkType type = USB;
    std::string target; // SERIAL or a specifier
    unsigned stream = 5;
    unsigned timeoutSeconds = 10;
    uint32_t interfaceAddress = 0; // network byte order; 0: none given
};

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > max)
        return false;
    *out = value;
    return true;
}

// "ADDRESS:PORT" into network-order address and port.
bool ParseAddressPort(const std::string& text, linkSpec* spec)
{
    const size_t colon = text.rfind(':');
    unsigned long port = 0;
    in_addr address{};
    if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1 ||
        !ParseNumber(text.substr(colon + 1), 0xFFFF, &port) || port == 0)
        return false;
    spec->ip_address = address.s_addr;
    spec->ip_port = static_cast<uint32_t>(port);
    return true;
}

// tcp:ADDRESS:PORT, serial:PATH[:BAUD] or (for clients) net:ADDRESS:PORT.
bool ParseSpecifier(const std::string& text, linkSpec* spec)
{
    *spec = linkSpec{};
    if (text.rfind("tcp:", 0) == 0) {
        spec->type = TCPIP;
        return ParseAddressPort(text.substr(4), spec);
    }
    if (text.rfind("net:", 0) == 0) {
        spec->type = ZEPHYL;
        return ParseAddressPort(text.substr(4), spec);
    }
    if (text.rfind("serial:", 0) == 0) {
        std::string path = text.substr(7);
        unsigned long baud = 115200;
        const size_t colon = path.rfind(':');
        if (colon != std::string::npos) {
            if (!ParseNumber(path.substr(colon + 1), 0xFFFFFFFFul, &baud))
                return false;
            path.resize(colon);
        }
        if (path.empty() || path.size() >= aLINKSPEC_PORT_NAME_SIZE)
            return false;
        spec->type = SERIAL;
        spec->baud_rate = static_cast<uint32_t>(baud);
        memcpy(spec->port_name, path.c_str(), path.size());
        return true;
    }
    return false;
}

bool IsSpecifier(const std::string& text) { return text.find(':') != std::string::npos; }

int Usage(const char* problem)
{
    fprintf(stderr, "tarnix-share: %s\n%s", problem, kUsage);
    return 2;
}

int Fail(const std::string& what, aErr err)
{
    fprintf(stderr, "tarnix-share: %s: %s (%s)\n", what.c_str(), aError_GetErrorDescription(err),
            aError_GetErrorText(err));
    return 1;
}

// Only some setups need a probe: a module opened by specifier has not told its
// serial number yet, and the server announces the one its link was made with.
aErr ProbeSerial(const linkSpec& spec, uint32_t* serial)
{
    Module probe(2);
    ZephylConfig direct;
    direct.enabled = 0;
    aErr err = probe.setConfig(direct);
    if (err == aErrNone)
        err = probe.connectFromSpec(spec);
    if (err != aErrNone)
        return err;
    SystemClass system;
    system.init(&probe, 0);
    unsigned value = 0;
    err = system.getSerialNumber(&value);
    (void)probe.disconnect(); /* the probe has served its purpose: its answer is what counts */
    *serial = value;
    return err;
}

// Makes this user's key pairs and directories (nothing that exists is
// replaced) and says where they are.
int MakeKeys()
{
    const uint32_t me = static_cast<uint32_t>(geteuid());
    std::string directory, why;
    if (aShareKeys_Directory(me, &directory) != aErrNone)
        return Fail("no home directory for the key files", aErrNotFound);
    aSharePair server, client;
    aErr err = aShareKeys_LoadPair(directory, aSHARE_SERVER_CERT, me, true, &server, &why);
    if (err == aErrNone)
        err = aShareKeys_LoadPair(directory, aSHARE_CLIENT_CERT, me, true, &client, &why);
    if (err != aErrNone)
        return Fail(why, err);
    for (const char* sub : {aSHARE_ALLOWED_DIR, aSHARE_SERVERS_DIR})
        if (mkdir((directory + "/" + sub).c_str(), 0700) != 0 && errno != EEXIST)
            return Fail(directory + "/" + sub + ": cannot make it", aErrIO);
    printf("tarnix-share: key files in %s\n", directory.c_str());
    printf("tarnix-share: server key %s (give %s/%s to clients on other machines, as servers/ADDRESS)\n",
           server.publicKey.text().c_str(), directory.c_str(), aSHARE_SERVER_CERT);
    printf("tarnix-share: client key %s (give %s/%s to the owners of --network servers, for their allowed/)\n",
           client.publicKey.text().c_str(), directory.c_str(), aSHARE_CLIENT_CERT);
    return 0;
}

// The server's key files, checked before the module is opened so that the
// user learns what is missing or unsafe, and where.
int CheckServerKeys(bool network)
{
    aShareServerKeys keys;
    std::string why;
    const aErr err = aShareKeys_ForServer(!network, &keys, &why);
    if (err == aErrNone)
        return 0;
    if (!network) {
        fprintf(stderr, "tarnix-share: this user's key files cannot be used: %s\n", why.c_str());
        return 1;
    }
    fprintf(stderr, "tarnix-share: --network needs this user's server key pair and allowed-clients directory: %s\n"
                    "tarnix-share: run tarnix-share --keys, then copy the client.key of each allowed client into "
                    "the allowed directory (or, on a closed lab network only, use --insecure)\n",
            why.c_str());
    return 1;
}

int Serve(const Options& options)
{
    // Blocked before the library starts a thread, so that only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Module module(2);
    ZephylConfig config;
    config.enabled = 1;
    config.fallback = 0; // serve the module itself, never another server's client
    config.localOnly = options.network ? 0 : 1;
    config.networkInterface = options.network ? options.interfaceAddress : htonl(INADDR_LOOPBACK);
    if (aErr configured = module.setConfig(config); configured != aErrNone)
        return Fail("cannot configure the link", configured);
    if (!options.insecure && CheckServerKeys(options.network) != 0)
        return 1;
    if (options.network)
        fprintf(stderr, "tarnix-share: warning: not local-only: the server listens on the network and "
                        "announces the module by beacons to every machine on it\n");

    aErr err = aErrNone;
    std::string what;
    if (IsSpecifier(options.target)) {
        linkSpec spec{};
        if (!ParseSpecifier(options.target, &spec) || spec.type == ZEPHYL)
            return Usage(("not a module specifier: " + options.target).c_str());
        uint32_t serial = 0;
        err = ProbeSerial(spec, &serial);
        if (err != aErrNone)
            return Fail("cannot open the module at " + options.target, err);
        spec.serial_num = serial;
        err = module.connectFromSpec(spec);
        what = options.target;
    } else {
        unsigned long serial = 0;
        if (!ParseNumber(options.target, 0xFFFFFFFFul, &serial) || serial == 0)
            return Usage(("not a serial number: " + options.target).c_str());
        err = module.discoverAndConnect(options.type, static_cast<unsigned>(serial));
        what = "module " + options.target;
    }
    if (err != aErrNone)
        return Fail("cannot share " + what, err);

    SystemClass system;
    system.init(&module, 0);
    unsigned serial = 0;
    err = system.getSerialNumber(&serial);
    if (err != aErrNone)
        return Fail("the module does not answer", err);
    err = module.getConfig(&config);
    if (err != aErrNone)
        return Fail("cannot read where the server listens", err);
    char address[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = config.networkInterface;
    inet_ntop(AF_INET, &a, address, sizeof(address));
    printf("tarnix-share: sharing module 0x%08X on %s port %u (%s)\n", serial, address, config.assignedPort,
           config.localOnly ? "local-only" : "network, announced by beacons");
    printf("tarnix-share: other processes: tarnix-share --client 0x%08X (or --client net:%s:%u); "
           "Ctrl-C stops sharing\n",
           serial, address, config.assignedPort);
    fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    err = module.disconnect(); // takes the server with it
    printf("tarnix-share: stopped\n");
    return err == aErrNone ? 0 : Fail("the link was not released", err);
}

int Client(const Options& options)
{
    Module module(2);
    ZephylConfig config;
    config.enabled = 1; // a client link needs the networked types
    config.fallback = 0; // and this program is about the server: never open the module directly
    if (options.interfaceAddress != 0)
        config.networkInterface = options.interfaceAddress;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        return Fail("cannot configure the link", err);
    if (IsSpecifier(options.target)) {
        linkSpec spec{};
        if (!ParseSpecifier(options.target, &spec) || spec.type != ZEPHYL)
            return Usage(("not a server specifier (net:ADDRESS:PORT): " + options.target).c_str());
        err = module.connectFromSpec(spec);
    } else {
        unsigned long serial = 0;
        if (!ParseNumber(options.target, 0xFFFFFFFFul, &serial) || serial == 0)
            return Usage(("not a serial number: " + options.target).c_str());
        err = module.discoverAndConnect(ZEPHYL, static_cast<unsigned>(serial));
    }
    if (err == aErrPermission)
        return Fail("the server for " + options.target +
                        " refuses this user (its owner's clients only, or its allowed keys; see --help)",
                    err);
    if (err != aErrNone)
        return Fail("no server shares " + options.target, err);

    SystemClass system;
    system.init(&module, 0);
    unsigned serial = 0;
    err = system.getSerialNumber(&serial);
    if (err != aErrNone)
        return Fail("the shared module does not answer", err);
    linkSpec spec{};
    err = module.getLinkSpecifier(&spec);
    if (err != aErrNone)
        return Fail("the shared module's link has no specifier", err);
    in_addr a{};
    a.s_addr = spec.ip_address;
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, address, sizeof(address));
    printf("tarnix-share: reached module 0x%08X (address %u) through the server at %s port %u\n", serial,
           module.getModuleAddress(), address, spec.ip_port);
    fflush(stdout);
    if (options.stream == 0)
        return 0;

    // The callback runs on the link's stream worker; the main thread only waits.
    struct Seen {
        std::atomic<unsigned> count{0};
        unsigned wanted = 0;
    } seen;
    seen.wanted = options.stream;
    auto print = [](const aPacket* packet, void* context) -> uint8_t {
        auto* s = static_cast<Seen*>(context);
        unsigned long timestamp = 0;
        unsigned value = 0;
        if (!Link::isStreamSample(packet) || Link::getStreamSample(packet, &timestamp, &value, nullptr) != aErrNone)
            return 0;
        const unsigned n = s->count.load() + 1;
        if (n <= s->wanted)
            printf("tarnix-share: sample %u: option %u value %u time %lu\n", n, packet->data[1], value, timestamp);
        fflush(stdout);
        s->count = n;
        return 0;
    };
    err = system.registerOptionCallback(255, true, print, &seen);
    if (err != aErrNone)
        return Fail("cannot stream from the shared module", err);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (seen.count.load() < options.stream && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Unregistering cannot fail on a registered option; no callback runs after this.
    (void)system.registerOptionCallback(255, false, nullptr, nullptr);
    const unsigned got = seen.count.load();
    if (got < options.stream) {
        fprintf(stderr, "tarnix-share: only %u of %u stream samples within %u s\n", got, options.stream,
                options.timeoutSeconds);
        return 1;
    }
    printf("tarnix-share: received %u stream samples\n", options.stream);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--network") {
            options.network = true;
        } else if (arg == "--insecure") {
            options.insecure = true;
        } else if (arg == "--keys") {
            options.keys = true;
        } else if (arg == "-t") {
            if (!value(&v) || (v != "usb" && v != "tcpip"))
                return Usage("-t takes usb or tcpip");
            options.type = v == "usb" ? USB : TCPIP;
        } else if (arg == "--interface") {
            in_addr a{};
            if (!value(&v) || inet_pton(AF_INET, v.c_str(), &a) != 1 || a.s_addr == 0)
                return Usage("--interface takes an IPv4 address");
            options.interfaceAddress = a.s_addr;
        } else if (arg == "--client") {
            if (!value(&options.target))
                return Usage("--client takes a serial number or net:ADDRESS:PORT");
            options.client = true;
        } else if (arg == "--stream" || arg == "--timeout") {
            if (!value(&v) || !ParseNumber(v, 1000000, &n))
                return Usage((arg + " takes a number").c_str());
            (arg == "--stream" ? options.stream : options.timeoutSeconds) = static_cast<unsigned>(n);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (options.target.empty() && !options.client) {
            options.target = arg;
        } else {
            return Usage(("unexpected argument " + arg).c_str());
        }
    }
    if (options.keys)
        return options.target.empty() && !options.client ? MakeKeys() : Usage("--keys takes nothing else");
    if (options.target.empty())
        return Usage("no module given");
    if (options.insecure) {
        fprintf(stderr, "tarnix-share: WARNING: --insecure: no authentication and no encryption; ANY client that "
                        "reaches the server's port can read and write the module, start a firmware upgrade or "
                        "reset it. Use only on a closed lab network.\n");
        aShareKeys_SetInsecure(true);
    }
    return options.client ? Client(options) : Serve(options);
}
