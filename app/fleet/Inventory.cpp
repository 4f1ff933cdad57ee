#include "Inventory.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

#include "SDPLoader.h"
#include "Updater.h"
#include "aDiscovery.h"

namespace {

std::string StateOf(const DeviceInfo& info) {
    if (info.connect_error == aErrBusy) return "busy";
    if (info.connect_error == aErrPermission) return "error: permission denied (see tarnix-fleet doctor)";
    const aErr err = info.connect_error != aErrNone ? info.connect_error : info.error;
    if (err == aErrNone) return "ok";
    return std::string("error: ") + aError_GetErrorText(err);
}

FleetModule FromDirect(const DeviceInfo& info) {
    FleetModule m;
    m.info = info;
    m.serial = info.spec.serial_num;
    m.transport = info.spec.type == USB ? Transport::Usb : Transport::Tcpip;
    if (m.transport == Transport::Tcpip) {
        char ip[32] = "?";
        aDiscovery_ConvertIPv4Interface(info.spec.ip_address, ip, sizeof ip);
        m.address = std::string(ip) + ":" + std::to_string(info.spec.ip_port);
    }
    m.state = StateOf(info);
    return m;
}

FleetModule FromRouted(const DeviceInfo& info, unsigned router) {
    FleetModule m;
    m.info = info;
    m.serial = info.spec.serial_num;
    m.transport = Transport::I2c;
    m.router_serial = router;
    m.i2c_address = info.network_address;
    char address[32];
    std::snprintf(address, sizeof address, "%08X/0x%02X", router, unsigned(info.network_address));
    m.address = address;
    m.state = StateOf(info);
    return m;
}

// The networks behind `routers`, searched side by side (each search is its
// own sequence of I2C probes through one routing module).
std::vector<FleetModule> SearchBehind(const std::string& server_url, const std::string& store,
                                      UpdaterDisplayInterface& display,
                                      const std::vector<std::pair<unsigned, linkType>>& routers, bool& denied) {
    std::vector<std::vector<DeviceInfo>> found(routers.size());
    std::vector<char> refused(routers.size(), 0);
    std::vector<std::thread> searches;
    for (size_t i = 0; i < routers.size(); ++i)
        searches.emplace_back([&, i] {
            Updater updater(server_url.c_str(), store.c_str(), display);
            found[i] = updater.Discover_TarnixNetwork_Devices(routers[i].first, routers[i].second);
            refused[i] = updater.Get_UsbAccessDenied();
        });
    for (std::thread& search : searches) search.join();
    std::vector<FleetModule> modules;
    for (size_t i = 0; i < routers.size(); ++i) {
        denied = denied || refused[i];
        for (const DeviceInfo& info : found[i]) modules.push_back(FromRouted(info, routers[i].first));
    }
    return modules;
}

// Every serial number found at more than one place marks each of them.
void MarkDuplicates(std::vector<FleetModule>& modules) {
    std::map<unsigned, std::vector<FleetModule*>> bySerial;
    for (FleetModule& m : modules) bySerial[m.serial].push_back(&m);
    for (auto& [serial, places] : bySerial) {
        if (places.size() < 2) continue;
        std::string where;
        for (const FleetModule* m : places)
            where += (where.empty() ? "" : ", ") + std::string(TransportName(m->transport)) +
                     (m->address.empty() ? "" : " " + m->address);
        for (FleetModule* m : places)
            m->state = "error: duplicate serial number, found at " + std::to_string(places.size()) + " places (" +
                       where + ")";
    }
}

// A module whose update was cut short after its loader started: the store
// holds the record that finishes it.
void MarkInterrupted(std::vector<FleetModule>& modules, const std::string& store) {
    for (FleetModule& m : modules) {
        if (m.state != "ok") continue;
        const JournalRead read = UpdateJournal(store + "/" + m.serial_text()).Read();
        if (read.state != JournalRead::State::Found || read.entry.serial != m.serial) continue;
        m.state = "interrupted";
        m.journal = read.entry;
    }
}

// i.MX boot ROMs on USB: modules that lost their firmware, known only by
// the chip's fuse words until they are recovered.
void AddBootRoms(std::vector<FleetModule>& modules, bool& denied) {
    for (const ImxHidRom& rom : FindImxHidRoms()) {
        FleetModule m;
        m.transport = Transport::Usb;
        char words[24] = "";
        if (rom.read) std::snprintf(words, sizeof words, "%08X:%08X", rom.fingerprint[0], rom.fingerprint[1]);
        m.boot_rom = BootRom{BootRom::Chip::Imx, "USB", words};
        m.address = rom.path;
        m.info.model_name = "i.MX ROM";
        m.state = rom.denied ? "error: permission denied (see tarnix-fleet doctor)"
                             : rom.read ? "boot-rom" : "error: the boot ROM does not answer";
        denied = denied || rom.denied;
        modules.push_back(std::move(m));
    }
}

// The unfinished updates whose modules were not found running.
std::vector<JournalEntry> Waiting(const std::vector<FleetModule>& modules, const std::string& store) {
    std::vector<JournalEntry> waiting;
    for (const JournalEntry& entry : UpdateJournal::AllIn(store)) {
        bool found = false;
        for (const FleetModule& m : modules) found = found || (!m.boot_rom && m.serial == entry.serial);
        if (!found) waiting.push_back(entry);
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const JournalEntry& a, const JournalEntry& b) { return a.serial < b.serial; });
    return waiting;
}

} // namespace

Inventory TakeInventory(const std::string& server_url, const std::string& store, UpdaterDisplayInterface& display,
                        const InventoryRequest& request) {
    Inventory inventory;
    Updater updater(server_url.c_str(), store.c_str(), display);
    for (linkType type : {USB, TCPIP}) {
        if ((type == USB && !request.usb) || (type == TCPIP && !request.tcpip)) continue;
        for (const DeviceInfo& info : updater.Discover_Devices(type)) inventory.modules.push_back(FromDirect(info));
    }
    inventory.usb_access_denied = updater.Get_UsbAccessDenied();

    // Every usable module found directly may route; those named with -r are
    // searched wherever they are.
    std::vector<std::pair<unsigned, linkType>> routers;
    const auto add = [&routers](unsigned serial, linkType type) {
        for (const auto& known : routers)
            if (known.first == serial) return;
        routers.emplace_back(serial, type);
    };
    std::map<unsigned, int> seen;
    for (const FleetModule& m : inventory.modules) ++seen[m.serial];
    // A serial number found twice names no one module to route through.
    for (const FleetModule& m : inventory.modules)
        if (m.usable() && !m.boot_rom && seen[m.serial] == 1) add(m.serial, m.transport == Transport::Usb ? USB : TCPIP);
    for (unsigned router : request.routers) add(router, INVALID);
    const size_t direct = inventory.modules.size();
    for (FleetModule& m : SearchBehind(server_url, store, display, routers, inventory.usb_access_denied)) {
        // Its update reaches the router where it was just found, without searching again.
        for (size_t i = 0; i < direct; ++i)
            if (inventory.modules[i].serial == m.router_serial) m.router_link = inventory.modules[i].info.spec;
        inventory.modules.push_back(std::move(m));
    }
    MarkDuplicates(inventory.modules);
    MarkInterrupted(inventory.modules, store);
    if (request.usb) AddBootRoms(inventory.modules, inventory.usb_access_denied);
    inventory.waiting = Waiting(inventory.modules, store);
    return inventory;
}
