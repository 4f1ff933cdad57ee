// Discovery: the modules reachable over USB or TCP/IP, or behind a routing
// module on its I2C network, each read for its identity and firmware.
// Discovery writes nothing to the local store.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "I2CClass.h"
#include "Log.h"
#include "Module.h"
#include "PrintableText.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterModule.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Velorn::Tarnix::I2CClass;
using Velorn::Tarnix::Module;
using Velorn::Tarnix::SystemClass;
using Velorn::Tarnix::ZephylConfig;

namespace {

// 127.0.0.1 as stored in network byte order: search every interface.
constexpr uint32_t kAnyInterface = 0x0100007F;
constexpr unsigned char kDefaultAddress = 2;
constexpr unsigned char kSystemQuery = 73;
constexpr unsigned char kBuildQuery = 0xFF;
constexpr size_t kNameSize = 32;
// I2C addresses a network search probes: the even ones from 2 to 252.
constexpr unsigned kFirstProbe = 2;
constexpr unsigned kLastProbe = 252;
constexpr unsigned char kProbeSpeed = 3;
// Modules found directly are read this many at a time.
constexpr size_t kParallelReads = 8;

bool _discovered_device(const linkSpec* spec, bool* found, void* reference) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof info.spec);
    list->push_back(std::move(info));
    *found = true;
    return true;
}

// Reference of _discovered_link: the serial number wanted and the link type found.
using LinkSearch = std::pair<unsigned, linkType>;

bool _discovered_link(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<LinkSearch*>(reference);
    *found = true;
    if (spec->serial_num != search->first) return true;
    Log::log(Log::DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
             static_cast<int>(spec->type));
    search->second = spec->type;
    return false;
}

// Says what a TCP/IP search dropped: what leaves the user's list short on the
// console, the rest in the debug log.
void ReportEthernetSearch(UpdaterDisplayInterface& display, const aDiscoveryEthernetReport& report) {
    if (report.portsBusy > 0) {
        char address[INET_ADDRSTRLEN] = "?";
        aDiscovery_ConvertIPv4Interface(report.busyAddress, address, sizeof address);
        display.message(kError,
                        "TCP/IP discovery could not ask through %d interface(s): another program holds reply port "
                        "%d on %s",
                        report.portsBusy, aDISCOVERY_ETHERNET_REPLY_PORT, address);
    }
    if (report.overLimit > 0)
        display.message(kError, "TCP/IP discovery takes %d replies at most; %d more were left out",
                        aDISCOVERY_ETHERNET_MAX_REPLIES, report.overLimit);
    Log::log(Log::DEBUG_Network,
             "NETWORK: TCP/IP discovery asked through %d interface(s): %d replies taken, %d from outside the asking "
             "interface's subnet dropped, %d malformed dropped, %d past the limit dropped\n",
             report.requests, report.reported, report.outsideSubnet, report.malformed, report.overLimit);
}

// Every distinct address (IP and port) at which a serial number answered.
struct AnswerSearch {
    unsigned serial;
    std::vector<linkSpec> answers;
};

bool _collect_answers(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<AnswerSearch*>(reference);
    if (spec->serial_num != search->serial) return true;
    *found = true;
    for (const linkSpec& seen : search->answers)
        if (seen.ip_address == spec->ip_address && seen.ip_port == spec->ip_port) return true;
    search->answers.push_back(*spec);
    return true;
}

std::string AddressText(const linkSpec& spec) {
    char address[INET_ADDRSTRLEN] = "?";
    aDiscovery_ConvertIPv4Interface(spec.ip_address, address, sizeof address);
    return std::string(address) + ":" + std::to_string(spec.ip_port);
}

// The name as it can stand on a console line: it ends at a NUL, and control
// characters, which could drive the terminal, become '?'.
std::string PrintableName(const unsigned char* bytes, size_t count) {
    const char* text = reinterpret_cast<const char*>(bytes);
    return PrintableText(std::string_view(text, strnlen(text, count)));
}

// Connects a fresh module object to one found directly and reads it; the
// error stays in the entry for the listing, which shows a module it could not
// connect as in use, under one code. Returns why connecting failed.
aErr ReadDirectModule(DeviceInfo& info, UpdaterDisplayInterface& display) {
    info.model_name = aDefs_GetModelName(info.spec.model);
    Module module(kDefaultAddress, static_cast<unsigned char>(0));
    const aErr disabled = _disableZephyl(module, display);
    if (disabled != aErrNone) return aErrNone;
    const aErr connected = module.connectFromSpec(info.spec);
    info.connect_error = connected;
    info.error = connected == aErrNone ? aErrNone : aErrConnection;
    if (info.error != aErrNone) return connected;
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    if (info.error == aErrNone) info.error = _get_device_name(module, info);
    (void)module.disconnect(); // only read from: nothing pending to lose
    return aErrNone;
}

// Passes messages from several threads to a display one at a time.
class SerialisedDisplay : public UpdaterDisplayInterface {
public:
    explicit SerialisedDisplay(UpdaterDisplayInterface& inner) : inner(inner) { muted = inner.muted; }
    void display_progress(bool show) override { Locked([&] { inner.display_progress(show); }); }
    void update_progress(double fraction, const char* label) override {
        Locked([&] { inner.update_progress(fraction, label); });
    }
    void update_spinner(bool on, const char* label) override { Locked([&] { inner.update_spinner(on, label); }); }
    void info_message(const char* text) override { Locked([&] { inner.info_message(text); }); }
    void error_message(const char* text) override { Locked([&] { inner.error_message(text); }); }

private:
    template <typename Call>
    void Locked(Call call) {
        std::lock_guard<std::mutex> held(lock);
        call();
    }
    UpdaterDisplayInterface& inner;
    std::mutex lock;
};

// Reads every module found directly, several side by side: each has a link of
// its own, and most of a read is waiting for the module's answers. True when
// a module refused access.
bool ReadDirectModules(std::vector<DeviceInfo>& found, UpdaterDisplayInterface& display) {
    SerialisedDisplay serialised(display);
    std::atomic<size_t> next{0};
    std::atomic<bool> denied{false};
    auto reader = [&] {
        for (size_t i = next++; i < found.size(); i = next++)
            if (ReadDirectModule(found[i], serialised) == aErrPermission) denied = true;
    };
    std::vector<std::thread> readers;
    for (size_t n = 1; n < std::min(found.size(), kParallelReads); ++n) readers.emplace_back(reader);
    reader();
    for (std::thread& r : readers) r.join();
    return denied;
}

// Probes one I2C address behind the router; true with `info` filled when a
// module there answered its serial number.
bool ProbeAddress(Module& router, I2CClass& bus, unsigned char address, unsigned router_serial, linkType type,
                  UpdaterDisplayInterface& display, DeviceInfo& info) {
    Log::log(Log::DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const unsigned char nothing[2] = {0, 0};
    if (bus.write(address, sizeof nothing, nothing) != aErrNone) return false;

    Log::log(Log::DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    (void)_disableZephyl(module, display); // sharing is never on through a router link
    if (module.connectThroughLinkModule(&router) != aErrNone) return false;

    SystemClass system;
    system.init(&module, 0);
    unsigned serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        (void)module.disconnect(); // nothing answers there; the probe goes on
        return false;
    }
    Log::log(Log::DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    // The router answered a moment ago, so its link has a specifier; should
    // it not, the entry is listed with the reason instead of an empty transport.
    linkSpec router_spec{};
    const aErr router_spec_error = router.getLinkSpecifier(&router_spec);
    info = DeviceInfo{};
    std::memcpy(info.spec.transport, router_spec.transport, sizeof info.spec.transport);
    info.spec.type = type;
    info.spec.serial_num = serial;
    // Where it was found, until the module says otherwise.
    info.spec.module = address;
    info.spec.router = router.getModuleAddress();
    info.spec.router_serial_num = router_serial;
    info.network_address = address;
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    unsigned char model = 0;
    const aErr model_error = system.getModel(&model);
    if (model_error != aErrNone) {
        info.error = model_error;
    } else {
        info.spec.model = model;
        info.model_name = aDefs_GetModelName(model);
    }
    if (info.error == aErrNone) info.error = router_spec_error;
    (void)module.disconnect(); // only read from: nothing pending to lose
    return true;
}

} // namespace

aErr _disableZephyl(Module& module, UpdaterDisplayInterface& display) {
    ZephylConfig config; // defaults: loopback only, port 0, interface 127.0.0.1
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    const aErr err = module.setConfig(config);
    if (err != aErrNone) display.message(kError, "Failed to SET network configuration");
    return err;
}

aErr _find_tcpip_module(UpdaterDisplayInterface& display, unsigned serial, linkSpec& spec) {
    AnswerSearch search{serial, {}};
    aDiscoveryEthernetReport report{};
    aDiscovery_EnumerateEthernetModules(_collect_answers, &search, kAnyInterface, &report);
    ReportEthernetSearch(display, report);
    if (search.answers.size() > 1) {
        std::string addresses;
        for (const linkSpec& answer : search.answers)
            addresses += (addresses.empty() ? "" : ", ") + AddressText(answer);
        display.message(kError,
                        "Module [%08X] answers on TCP/IP from more than one address (%s); refusing the update: "
                        "only one device may have this serial number",
                        serial, addresses.c_str());
        return aErrDuplicate;
    }
    if (report.overLimit > 0) {
        display.message(kError,
                        "Module [%08X]: TCP/IP replies were left out, so a second device with this serial number "
                        "cannot be ruled out; refusing the update",
                        serial);
        return aErrOverrun;
    }
    if (search.answers.empty()) return aErrNotFound;
    spec = search.answers.front();
    Log::log(Log::DEBUG_Network, "NETWORK: Found device [%08X] at %s\n", serial,
             AddressText(spec).c_str());
    return aErrNone;
}

linkType _discover_link_type(unsigned serial) {
    for (linkType type : {USB, TCPIP}) {
        LinkSearch search{serial, INVALID};
        aDiscovery_EnumerateModules(type, _discovered_link, &search, kAnyInterface);
        if (search.second != INVALID) return search.second;
    }
    return INVALID;
}

unsigned _get_build_number(Module& module) {
    Velorn::Tarnix::Link* link = module.getLink();
    if (link == nullptr) return 0;
    const unsigned char query = kBuildQuery;
    if (link->sendPacket(module.getModuleAddress(), kSystemQuery, 1, &query) != aErrNone) return 0;
    const unsigned char match[2] = {kSystemQuery, kBuildQuery};
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char length = sizeof match;
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
    if (length != 6) return 0;
    return (unsigned(reply[2]) << 24) | (unsigned(reply[3]) << 16) | (unsigned(reply[4]) << 8) | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    unsigned packed = 0;
    aErr err = system.getVersion(&packed);
    if (err != aErrNone) return err;
    info.major = aVersion_ParseMajor(packed);
    info.minor = aVersion_ParseMinor(packed);
    info.patch = aVersion_ParsePatch(packed);
    unsigned char address = 0;
    if ((err = system.getModule(&address)) != aErrNone) return err;
    info.spec.module = address;
    if ((err = system.getRouter(&address)) != aErrNone) return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
    // The comparison takes an 8-bit patch: a larger one must not wrap below 4.
    const auto patch = static_cast<uint8_t>(std::min<uint32_t>(info.patch, 0xFF));
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, 2, 10, 4)) return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    unsigned char name[kNameSize];
    size_t count = 0;
    const aErr err = system.getName(name, sizeof name, &count);
    if (err == aErrNone) info.device_name = PrintableName(name, std::min(count, sizeof name));
    return err;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> found;
    const std::vector<linkType> types = type != INVALID ? std::vector<linkType>{type}
                                                        : std::vector<linkType>{USB, TCPIP};
    for (linkType searched : types) {
        if (searched == USB) {
            aDiscoveryUSBReport usb{};
            aDiscovery_EnumerateUSBModules(_discovered_device, &found, &usb);
            if (usb.denied > 0) Note_UsbAccessDenied();
            continue;
        }
        if (searched != TCPIP) {
            aDiscovery_EnumerateModules(searched, _discovered_device, &found, kAnyInterface);
            continue;
        }
        aDiscoveryEthernetReport report{};
        aDiscovery_EnumerateEthernetModules(_discovered_device, &found, kAnyInterface, &report);
        ReportEthernetSearch(display, report);
    }
    if (ReadDirectModules(found, display)) Note_UsbAccessDenied();
    return found;
}

std::vector<DeviceInfo> Updater::Discover_TarnixNetwork_Devices(unsigned router_serial, linkType type) {
    std::vector<DeviceInfo> found;
    if (type == INVALID) type = _discover_link_type(router_serial);
    linkSpec* router_spec = nullptr;
    // Found nowhere: USB is asked again, to learn whether a refused device explains it.
    const aErr located = aDiscovery_LocateModule(type == INVALID ? USB : type, router_serial, kAnyInterface,
                                                 &router_spec);
    if (located == aErrPermission) Note_UsbAccessDenied();
    if (router_spec == nullptr) return found;
    const linkSpec spec = *router_spec;
    (void)aLinkSpec_Destroy(&router_spec); // only frees the copy

    Log::log(Log::DEBUG_Updater, "Found Link Module");
    Module router(kDefaultAddress, static_cast<unsigned char>(0));
    if (_disableZephyl(router, display) != aErrNone) return found;
    aErr err = router.connectFromSpec(spec);
    if (err == aErrPermission) Note_UsbAccessDenied();
    if (err != aErrNone) {
        display.message(kError, "Error %d on connectFromSpec", static_cast<int>(err));
        return found;
    }

    SystemClass router_system;
    router_system.init(&router, 0);
    err = router_system.routeToMe(1);
    if (err != aErrNone) {
        display.message(kError, "Error %d on route to me", static_cast<int>(err));
    } else {
        I2CClass bus;
        bus.init(&router, 0);
        // At another speed the probes may still answer; those that do not are simply not listed.
        const aErr speed = bus.setSpeed(kProbeSpeed);
        if (speed != aErrNone) Log::log(Log::DEBUG_Updater, "Probe speed not set (%d)\n", int(speed));
        const unsigned char own = router.getModuleAddress();
        for (unsigned address = kFirstProbe; address <= kLastProbe; address += 2) {
            if (address == own) continue;
            DeviceInfo info;
            if (ProbeAddress(router, bus, static_cast<unsigned char>(address), router_serial, type, display, info))
                found.push_back(std::move(info));
        }
        // Left on, the router would keep sending its network's traffic here.
        err = router_system.routeToMe(0);
        if (err != aErrNone)
            display.message(kError, "Error %d switching routing off on link module [%08X]", static_cast<int>(err),
                            router_serial);
    }
    (void)router.disconnect(); // what was read is kept; the link goes either way
    return found;
}
