#include "Config.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "LpcIspRom.h"
#include "aVersion.h"

namespace tarnixsim {
namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what) {
    std::string t = trim(text);
    if (t.empty()) throw ConfigError(what + ": missing number");
    size_t used = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(t, &used, 0);
    } catch (const std::exception&) {
        throw ConfigError(what + ": not a number: " + t);
    }
    if (used != t.size() || t[0] == '-') throw ConfigError(what + ": not a number: " + t);
    if (v > max) throw ConfigError(what + ": out of range: " + t);
    return v;
}

bool parseBool(const std::string& text, const std::string& what) {
    std::string t = lower(trim(text));
    if (t == "yes" || t == "on" || t == "true" || t == "1") return true;
    if (t == "no" || t == "off" || t == "false" || t == "0") return false;
    throw ConfigError(what + ": expected yes or no: " + text);
}

FaultCount parseCount(const std::string& text, const std::string& what) {
    std::string t = lower(trim(text));
    FaultCount c;
    if (t == "always" || t == "on" || t == "yes") c.remaining = -1;
    else if (t == "off" || t == "no") c.remaining = 0;
    else c.remaining = static_cast<int>(parseNumber(t, 1000000, what));
    return c;
}

// Bytes as pairs of hexadecimal digits, blanks allowed anywhere ("0A0B0C", "0a 0b 0c").
std::vector<uint8_t> parseHex(const std::string& text, const std::string& what) {
    std::string t;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw ConfigError(what + ": expected bytes as pairs of hexadecimal digits, blanks allowed "
                                     "(such as 0A0B0C or 0a 0b 0c; no 0x or other separators): " + text);
        t += c;
    }
    if (t.size() % 2) throw ConfigError(what + ": odd number of hex digits");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < t.size(); i += 2)
        out.push_back(static_cast<uint8_t>(parseNumber("0x" + t.substr(i, 2), 255, what)));
    return out;
}

// "off", "loader" or "firmware:K".
PowerCut parsePowerCut(const std::string& text, const std::string& what) {
    const std::string t = lower(trim(text));
    PowerCut cut;
    if (t == "off") return cut;
    if (t == "loader") {
        cut.when = PowerCut::When::Loader;
        return cut;
    }
    if (t.rfind("firmware:", 0) != 0) throw ConfigError(what + ": expected loader, firmware:BYTES or off");
    cut.when = PowerCut::When::Firmware;
    cut.firmware_bytes = static_cast<uint32_t>(parseNumber(t.substr(9), 64u << 20, what));
    return cut;
}

std::string powerCutText(const PowerCut& c) {
    if (c.when == PowerCut::When::Loader) return "loader";
    if (c.when == PowerCut::When::Firmware) return "firmware:" + std::to_string(c.firmware_bytes);
    return "off";
}

std::string countText(const FaultCount& c) {
    return c.remaining < 0 ? "always" : std::to_string(c.remaining);
}

void setKey(ModuleConfig& m, const std::string& key, const std::string& value, const std::string& where) {
    const std::string what = where + ": " + key;
    if (key.rfind("fault.", 0) == 0) {
        try {
            m.faults.set(key.substr(6), value);
        } catch (const ConfigError& e) {
            throw ConfigError(where + ": " + e.what());
        }
    } else if (key.rfind("factory.", 0) == 0) {
        unsigned index = static_cast<unsigned>(parseNumber(key.substr(8), 15, what));
        m.factory[index] = parseHex(value, what);
    } else if (key == "serial") m.serial = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "model") m.model = static_cast<uint8_t>(parseNumber(value, 255, what));
    else if (key == "address") m.address = static_cast<uint8_t>(parseNumber(value, 254, what));
    else if (key == "version") {
        try {
            m.version = ParseVersion(value);
        } catch (const ConfigError& e) {
            throw ConfigError(where + ": [module " + m.name + "] " + e.what());
        }
    }
    else if (key == "build") m.build = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "name") m.device_name = value;
    else if (key == "features") m.features = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "transport") {
        // A '+'-separated set of tcp, pty and usb ("both" is tcp+pty).
        std::string t = lower(value);
        if (t == "both") t = "tcp+pty";
        m.tcp = m.pty = m.usb = false;
        std::istringstream parts(t);
        std::string part;
        while (std::getline(parts, part, '+')) {
            part = trim(part);
            if (part == "tcp") m.tcp = true;
            else if (part == "pty") m.pty = true;
            else if (part == "usb") m.usb = true;
            else throw ConfigError(what + ": expected tcp, pty, usb or a '+'-joined set of them");
        }
        m.transport_given = true;
    }
    else if (key == "usb_vendor") m.usb_vendor = static_cast<uint16_t>(parseNumber(value, 0xFFFF, what));
    else if (key == "usb_product") m.usb_product = static_cast<int>(parseNumber(value, 0xFFFF, what));
    else if (key == "usb_packet") {
        m.usb_packet = static_cast<uint16_t>(parseNumber(value, 512, what));
        if (m.usb_packet != 64 && m.usb_packet != 512) throw ConfigError(what + ": expected 64 or 512");
    }
    else if (key == "usb_serial") m.usb_serial = value;
    else if (key == "usb_descriptor") {
        const std::string t = lower(value);
        if (t == "normal") m.usb_defect = UsbShape::Defect::None;
        else if (t == "no_configuration") m.usb_defect = UsbShape::Defect::NoConfiguration;
        else if (t == "no_interface") m.usb_defect = UsbShape::Defect::NoInterface;
        else if (t == "no_in_endpoint") m.usb_defect = UsbShape::Defect::NoInEndpoint;
        else if (t == "no_out_endpoint") m.usb_defect = UsbShape::Defect::NoOutEndpoint;
        else throw ConfigError(what + ": expected normal, no_configuration, no_interface, no_in_endpoint or no_out_endpoint");
    }
    else if (key == "usb_reenumerate_ms") m.usb_reenumerate_ms = static_cast<unsigned>(parseNumber(value, 600000, what)); else if (key == "pty_link") m.pty_link = value;
    else if (key == "identity") {
        std::array<uint32_t, 4> words{};
        std::istringstream in(value);
        std::string word;
        size_t n = 0;
        while (std::getline(in, word, ',')) {
            if (n >= 4) throw ConfigError(what + ": expected four words W0,W1,W2,W3");
            words[n++] = static_cast<uint32_t>(parseNumber(trim(word), 0xFFFFFFFFu, what));
        }
        if (n != 4) throw ConfigError(what + ": expected four words W0,W1,W2,W3");
        m.identity = words;
    }
    else if (key == "boot_rom") {
        const std::string t = lower(trim(value));
        if (t == "none") m.boot_rom = BootRom::None;
        else if (t == "imx-hid") m.boot_rom = BootRom::ImxHid;
        else if (t == "lpc") m.boot_rom = BootRom::Lpc;
        else throw ConfigError(what + ": expected none, imx-hid or lpc");
    }
    else if (key == "boot_rom_link") m.boot_rom_link = value;
    else if (key == "boot_rom_reset_on_open") m.boot_rom_reset_on_open = parseBool(value, what);
    else if (key == "start_down") m.start_down = parseBool(value, what);
    else if (key == "loader_running") m.loader_running = parseBool(value, what);
    else if (key == "port") m.port = static_cast<uint16_t>(parseNumber(value, 65535, what));
    else if (key == "heartbeat_ms") m.heartbeat_ms = static_cast<unsigned>(parseNumber(value, 25500, what));
    else if (key == "block_size") m.block_size = static_cast<uint16_t>(parseNumber(value, 65535, what));
    else if (key == "load_base") m.load_base = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "flash_base") m.flash_base = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "flash_size") m.flash_size = static_cast<uint32_t>(parseNumber(value, 64u << 20, what));
    else if (key == "uei_data") m.uei_data = parseBool(value, what);
    else if (key == "stream_interval_ms") m.stream_interval_ms = static_cast<unsigned>(parseNumber(value, 60000, what));
    else if (key == "reboot_ms") m.reboot_ms = static_cast<unsigned>(parseNumber(value, 600000, what));
    else if (key == "hardware_version") m.hardware_version = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "input_voltage") m.input_voltage = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "input_current") m.input_current = static_cast<uint32_t>(parseNumber(value, 0xFFFFFFFFu, what));
    else if (key == "temperature") {
        // Signed (below freezing is negative); within +-2000 degrees so that the
        // reported minimum and maximum (2 degrees either side) still fit.
        const std::string t = trim(value);
        const bool negative = !t.empty() && t[0] == '-';
        const auto magnitude = parseNumber(negative ? t.substr(1) : t, 2000000000u, what);
        m.temperature = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
    }
    else if (key == "router") m.router = value;
    else if (key == "i2c_address") m.i2c_address = static_cast<uint8_t>(parseNumber(value, 254, what));
    else throw ConfigError(where + ": unknown key '" + key + "'");
}

// A boot ROM needs the chip's fingerprint; an LPC part's flash starts at 0
// and has the size of one of the parts.
void validateBootRom(const ModuleConfig& m, const std::string& where) {
    if (m.boot_rom == BootRom::None) {
        if (!m.boot_rom_link.empty()) throw ConfigError(where + ": boot_rom_link without boot_rom = lpc");
        if (m.boot_rom_reset_on_open) throw ConfigError(where + ": boot_rom_reset_on_open without boot_rom = lpc");
        return;
    }
    if (!m.router.empty()) throw ConfigError(where + ": a module behind a router has no boot ROM of its own here");
    if (!m.identity) throw ConfigError(where + ": boot_rom needs identity (the chip's fingerprint)");
    if (m.boot_rom == BootRom::ImxHid) {
        if (!m.boot_rom_link.empty()) throw ConfigError(where + ": boot_rom_link is for boot_rom = lpc");
        if (m.boot_rom_reset_on_open) throw ConfigError(where + ": boot_rom_reset_on_open is for boot_rom = lpc");
        return;
    }
    if (m.flash_base != 0) throw ConfigError(where + ": boot_rom = lpc needs flash_base = 0 (an LPC part's flash starts at 0)");
    if (bootrom::LpcPartWithFlash(m.flash_size) == 0)
        throw ConfigError(where + ": boot_rom = lpc needs a flash_size an LPC17xx has (32, 64, 128, 256 or 512 KiB)");
}

void validate(Config& config, const std::string& origin) {
    std::set<std::string> names;
    std::set<uint16_t> ports;
    for (auto& m : config.modules) {
        const std::string where = origin + ": module " + m.name;
        if (!names.insert(m.name).second) throw ConfigError(where + ": duplicate module name");
        if (m.serial == 0) throw ConfigError(where + ": serial must be given and non-zero");
        if (m.block_size == 0) throw ConfigError(where + ": block_size must be non-zero");
        if (m.flash_size == 0) throw ConfigError(where + ": flash_size must be non-zero");
        if (m.device_name.size() > 32) throw ConfigError(where + ": name longer than 32 bytes");
        validateBootRom(m, where);
        if (!m.router.empty()) {
            if (m.i2c_address == 0 || (m.i2c_address & 1))
                throw ConfigError(where + ": i2c_address must be even and non-zero");
            m.address = m.i2c_address;
            m.tcp = false;
            m.pty = false;
            m.usb = false;
        } else {
            if (m.address == 0 || (m.address & 1))
                throw ConfigError(where + ": address must be even and non-zero");
            if (!m.tcp && !m.pty && !m.usb) throw ConfigError(where + ": no transport");
            if (m.tcp && m.port != 0 && !ports.insert(m.port).second)
                throw ConfigError(where + ": port used twice");
        }
    }
    for (auto& m : config.modules) {
        if (m.router.empty()) continue;
        const std::string where = origin + ": module " + m.name;
        auto r = std::find_if(config.modules.begin(), config.modules.end(),
                              [&](const ModuleConfig& o) { return o.name == m.router; });
        if (r == config.modules.end()) throw ConfigError(where + ": unknown router " + m.router);
        if (!r->router.empty()) throw ConfigError(where + ": router " + m.router + " is itself behind a router");
        if (r->address == m.address) throw ConfigError(where + ": i2c_address equals the router's address");
        for (auto& o : config.modules)
            if (&o != &m && o.router == m.router && o.address == m.address)
                throw ConfigError(where + ": i2c_address used twice behind " + m.router);
    }
    if (config.modules.empty()) throw ConfigError(origin + ": no [module NAME] section");
}

} // namespace

void Faults::set(const std::string& name, const std::string& value) {
    const std::string what = "fault " + name;
    if (name == "drop_replies") drop_replies = parseCount(value, what);
    else if (name == "short_replies") short_replies = parseCount(value, what);
    else if (name == "delay_replies") delay_replies_ms = static_cast<unsigned>(parseNumber(value, 600000, what));
    else if (name == "wrong_data_count") wrong_data_count = parseCount(value, what);
    else if (name == "refuse_prepare") refuse_prepare = parseCount(value, what);
    else if (name == "refuse_write") refuse_write = parseCount(value, what);
    else if (name == "wrong_sum") wrong_sum = parseCount(value, what);
    else if (name == "silent_after_load") silent_after_load = parseCount(value, what);
    else if (name == "no_return_after_reboot") no_return_after_reboot = parseCount(value, what);
    else if (name == "boot_old_image") boot_old_image = parseCount(value, what);
    else if (name == "drop_connection") drop_connection_after_data = static_cast<unsigned>(parseNumber(value, 1000000, what));
    else if (name == "hang_after_data") {
        hang_after_data = static_cast<unsigned>(parseNumber(value, 1000000, what));
        hung = false;
    }
    else if (name == "refuse_second_connection") refuse_second_connection = parseBool(value, what);
    else if (name == "usb_stall") {
        // "in", "out", or either followed by a count ("in 2").
        std::istringstream v(lower(value));
        std::string which, count;
        v >> which >> count;
        const int n = parseCount(count.empty() ? "1" : count, what).remaining;
        if (which == "in") usb.stall_in = n;
        else if (which == "out") usb.stall_out = n;
        else if (which == "off") usb.stall_in = usb.stall_out = 0;
        else throw ConfigError(what + ": expected in, out or off (and a count)");
    }
    else if (name == "usb_io_errors") usb.io_errors = parseCount(value, what).remaining;
    else if (name == "usb_partial_out") usb.partial_out = parseCount(value, what).remaining;
    else if (name == "usb_vanish") {
        const std::string t = lower(trim(value));
        if (t == "off") usb.vanish_ms = -1;
        else if (t == "never") usb.vanish_ms = 0x7FFFFFFF;
        else usb.vanish_ms = static_cast<long>(parseNumber(t, 600000, what));
    }
    else if (name == "usb_held") usb.held = parseBool(value, what);
    else if (name == "usb_late") usb_late_ms = static_cast<unsigned>(parseNumber(value, 600000, what));
    else if (name == "power_cut") power_cut = parsePowerCut(value, what);
    else throw ConfigError("unknown fault '" + name + "'");
}

std::string Faults::describe() const {
    std::ostringstream o;
    o << "drop_replies=" << countText(drop_replies) << " short_replies=" << countText(short_replies)
      << " delay_replies=" << delay_replies_ms
      << " wrong_data_count=" << countText(wrong_data_count) << " refuse_prepare=" << countText(refuse_prepare)
      << " refuse_write=" << countText(refuse_write) << " wrong_sum=" << countText(wrong_sum)
      << " silent_after_load=" << countText(silent_after_load)
      << " no_return_after_reboot=" << countText(no_return_after_reboot)
      << " boot_old_image=" << countText(boot_old_image)
      << " drop_connection=" << drop_connection_after_data
      << " hang_after_data=" << hang_after_data << (hung ? " hung" : "")
      << " refuse_second_connection=" << (refuse_second_connection ? "yes" : "no")
      << " usb_stall=in:" << usb.stall_in << ",out:" << usb.stall_out << " usb_io_errors=" << usb.io_errors << " usb_partial_out=" << usb.partial_out
      << " usb_vanish=" << usb.vanish_ms << " usb_held=" << (usb.held ? "yes" : "no") << " usb_late=" << usb_late_ms
      << " power_cut=" << powerCutText(power_cut);
    return o.str();
}

uint32_t ParseVersion(const std::string& text) {
    std::string t = trim(text);
    unsigned major = 0, minor = 0, patch = 0;
    char tail = 0;
    if (std::sscanf(t.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &tail) != 3 || major > 255 || minor > 255 ||
        patch > 255)
        throw ConfigError("version: expected MAJOR.MINOR.PATCH (each 0-255): " + text);
    const uint32_t packed = aVersion_Pack(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), patch);
    // The short form keeps only 4 bits of minor: 1.16.0 would be reported as 1.0.0.
    if (aVersion_ParseMajor(packed) != major || aVersion_ParseMinor(packed) != minor ||
        aVersion_ParsePatch(packed) != patch)
        throw ConfigError("version: " + t + " cannot be reported in a packed version word");
    return packed;
}

const char* BootRomName(BootRom rom) {
    switch (rom) {
    case BootRom::ImxHid: return "imx-hid";
    case BootRom::Lpc: return "lpc";
    default: return "none";
    }
}

std::string VersionText(uint32_t packed) {
    char buf[32];
    aVersion_ParseString(packed, buf, sizeof buf);
    return buf;
}

Config ParseConfig(const std::string& text, const std::string& origin) {
    Config config;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    ModuleConfig* current = nullptr;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = origin + ":" + std::to_string(number);
        std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t.front() == '[') {
            if (t.back() != ']') throw ConfigError(where + ": unterminated section header");
            std::istringstream h(t.substr(1, t.size() - 2));
            std::string kind, name, extra;
            h >> kind >> name >> extra;
            if (kind != "module" || name.empty() || !extra.empty())
                throw ConfigError(where + ": expected [module NAME]");
            for (char c : name)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
                    throw ConfigError(where + ": module names use letters, digits, - and _");
            config.modules.emplace_back();
            current = &config.modules.back();
            current->name = name;
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) throw ConfigError(where + ": expected KEY = VALUE");
        if (!current) throw ConfigError(where + ": key outside a [module NAME] section");
        std::string key = lower(trim(t.substr(0, eq)));
        std::string value = trim(t.substr(eq + 1));
        setKey(*current, key, value, where);
    }
    validate(config, origin);
    return config;
}

Config LoadConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConfigError("cannot read configuration file " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return ParseConfig(s.str(), path);
}

} // namespace tarnixsim
