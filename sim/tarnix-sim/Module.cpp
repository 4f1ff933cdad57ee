#include "Module.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <sstream>

#include "aError.h"
#include "aProtocol.h"
#include "aUEI.h"

namespace tarnixsim {
namespace {

constexpr size_t kMaxLoader = 256 * 1024; // room for a loader image
constexpr size_t kSlotCapacity = 2048;
constexpr size_t kFactoryCapacity = 256;
constexpr size_t kMaxSequence = 64 * 1024; // longest byte sequence taken from a host
constexpr unsigned kPowerCutAfterLoadMs = 50; // power_cut = loader: the LOAD answer goes out first

enum Access { kRead = 1, kWrite = 2, kCall = 4 };
enum Width { kNone, k8, k32, kBytes };
struct OptionInfo {
    uint8_t code;
    int access;
    Width width;
};

// The system entity's options.
constexpr OptionInfo kSystemOptions[] = {
    {aSYSTEM_MODULE, kRead, k8},
    {aSYSTEM_ROUTER, kRead | kWrite, k8},
    {aSYSTEM_HB_INTERVAL, kRead | kWrite, k8},
    {aSYSTEM_LED, kRead | kWrite, k8},
    {aSYSTEM_BOOT_SLOT, kRead | kWrite, k8},
    {aSYSTEM_VERSION, kRead, k32},
    {aSYSTEM_MODEL, kRead, k8},
    {aSYSTEM_SERIAL, kRead, k32},
    {aSYSTEM_SAVE, kCall, kNone},
    {aSYSTEM_RESET, kCall, kNone},
    {aSYSTEM_INPUT_VOLTAGE, kRead, k32},
    {aSYSTEM_HW_OFFSET, kRead, k8},
    {aSYSTEM_BASE_ADDRESS, kRead, k8},
    {aSYSTEM_SW_OFFSET, kRead | kWrite, k8},
    {aSYSTEM_ROUTER_SETTING, kRead, k8},
    {aSYSTEM_ROUTE_TO_ME, kWrite, k8},
    {aSYSTEM_INPUT_CURRENT, kRead, k32},
    {aSYSTEM_UPTIME, kRead, k32},
    {aSYSTEM_MAX_TEMPERATURE, kRead, k32},
    {aSYSTEM_LOG_EVENTS, kCall, kNone},
    {aSYSTEM_UNREGULATED_VOLTAGE, kRead, k32},
    {aSYSTEM_UNREGULATED_CURRENT, kRead, k32},
    {aSYSTEM_TEMPERATURE, kRead, k32},
    {aSYSTEM_MIN_TEMPERATURE, kRead, k32},
    {aSYSTEM_POWER_SOURCE, kRead, k8},
    {aSYSTEM_POWER_BEHAVIOR, kRead | kWrite, k8},
    {aSYSTEM_POWER_BEHAVIOR_CONFIG, kRead | kWrite, kBytes},
    {aSYSTEM_NAME, kRead | kWrite, kBytes},
    {aSYSTEM_POWER_LIMIT, kRead, k32},
    {aSYSTEM_POWER_LIMIT_MAX, kRead | kWrite, k32},
    {aSYSTEM_POWER_LIMIT_STATE, kRead, k32},
    {aSYSTEM_FACTORY_DEFAULTS, kCall, kNone},
    {aSYSTEM_LINK_INTERFACE, kRead | kWrite, k8},
    {aSYSTEM_HW_VERSION, kRead, k32},
    {aSYSTEM_ERRORS, kRead, k32},
    {aSYSTEM_LED_MAX_BRIGHTNESS, kRead | kWrite, k8},
    {aSYSTEM_BUILD, kRead, k32},
    {aSYSTEM_PROTOCOL_FEATURES, kRead, k32},
};

const OptionInfo* systemOption(uint8_t code) {
    for (auto& o : kSystemOptions)
        if (o.code == code) return &o;
    return nullptr;
}

// Options streamed for a subscription to every option of the system entity.
constexpr uint8_t kStreamedByDefault[] = {aSYSTEM_INPUT_VOLTAGE, aSYSTEM_INPUT_CURRENT, aSYSTEM_UPTIME,
                                           aSYSTEM_TEMPERATURE, aSYSTEM_POWER_BEHAVIOR_CONFIG};

void put32(Bytes& b, uint32_t v) {
    uint8_t w[4];
    aUEI_StoreInt(w, v);
    b.insert(b.end(), w, w + 4);
}
void put16(Bytes& b, uint16_t v) {
    uint8_t w[2];
    aUEI_StoreShort(w, v);
    b.insert(b.end(), w, w + 2);
}

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

uint32_t incomingKey(uint8_t address, uint8_t command, uint8_t code, uint8_t index) {
    return uint32_t(address) << 24 | uint32_t(command) << 16 | uint32_t(code) << 8 | index;
}

} // namespace

Module::Module(const ModuleConfig& config, const std::string& stateRoot, Log& log)
    : config_(config),
      log_(log),
      state_(stateRoot.empty() ? std::string() : stateRoot + "/" + config.name),
      flash_(state_, config.flash_base, config.flash_size),
      faults_(config.faults),
      serial_(config.serial),
      version_(config.version),
      build_(config.build),
      device_name_(config.device_name),
      heartbeat_ms_(config.heartbeat_ms) {
    // What the module ran when the simulator last stopped wins over the file.
    if (auto id = state_.read("identity")) {
        std::istringstream in(std::string(id->begin(), id->end()));
        std::string key;
        uint32_t value;
        while (in >> key >> std::hex >> value) {
            if (key == "serial") serial_ = value;
            else if (key == "version") version_ = value;
            else if (key == "build") build_ = value;
        }
        log_.info("%s: running identity from %s/identity: serial %08X version %s build %u", name().c_str(),
                  state_.path().c_str(), serial_, VersionText(version_).c_str(), build_);
    }
    for (uint8_t s = 0; s < 12; ++s) {
        slots_[{0, s}] = Slot{};
        if (auto saved = state_.read("slot-0-" + std::to_string(s) + ".bin")) slots_[{0, s}].data = *saved;
    }
    for (uint8_t s = 0; s < 2; ++s) slots_[{1, s}] = Slot{};
    for (unsigned i = 0; i < 16; ++i)
        if (auto saved = state_.read("factory-" + std::to_string(i) + ".bin")) config_.factory[i] = *saved;
    loadSettings();
}

void Module::attachTo(Module& r) {
    router = &r;
    r.children.push_back(this);
    router_address_ = r.address();
}

Module* Module::childAt(uint8_t address) const {
    for (Module* c : children)
        if (c->address() == address) return c;
    return nullptr;
}

void Module::goDown() {
    up_ = false;
    phase_ = Phase::Idle;
    block_ = Block{};
    for (auto& h : handles_) h = Handle{};
}

uint32_t Module::serial() const { return running_rom_loader_ ? aSERIAL_NO_PARTICULAR_DEVICE : serial_; }

void Module::powerCut() {
    goDown();
    loader_.clear();
    erased_this_session_ = false;
    rom_jump_pending_ = false;
    running_rom_loader_ = false;
    log_.info("%s: power cut", name().c_str());
}

void Module::startFromRom(bool ramLoader) {
    // Code in flash runs what was written there, however the ROM wrote it.
    if (ramLoader) rom_jump_pending_ = true;
    else image_written_ = true;
}

void Module::bootWrittenImage() {
    if (image_written_ && faults_.boot_old_image.fire()) {
        image_written_ = false;
        log_.info("%s: fault boot_old_image: the written image is not booted", name().c_str());
    }
    if (!image_written_) return;
    image_written_ = false;
    auto id = flash_.findIdentity();
    if (!id) {
        log_.info("%s: the written image carries no identity record; identity kept", name().c_str());
        return;
    }
    version_ = id->version;
    build_ = id->build;
    if (id->serial_address != 0) {
        if (auto s = flash_.readWord(id->serial_address)) serial_ = *s;
        else
            log_.info("%s: serial-number address %08X lies outside the flash; serial kept", name().c_str(),
                      id->serial_address);
    }
    std::string text = "serial " + hex32(serial_) + "\nversion " + hex32(version_) + "\nbuild " + hex32(build_) + "\n";
    state_.write("identity", Bytes(text.begin(), text.end()));
    firmware_booted_ = true;
    log_.info("%s: booted the written image: serial %08X version %s build %u", name().c_str(), serial_,
              VersionText(version_).c_str(), build_);
}

void Module::boot(uint64_t nowMs) {
    // A loader in RAM runs instead of the flash, which keeps what it holds
    // for the boot after the loader's.
    running_rom_loader_ = rom_jump_pending_;
    rom_jump_pending_ = false;
    if (!running_rom_loader_) bootWrittenImage();
    // A loader started from RAM takes firmware at once, until firmware it
    // wrote has been booted.
    if (running_rom_loader_ || (config_.loader_running && !firmware_booted_)) phase_ = Phase::LoaderRunning;
    erased_this_session_ = false;
    boot_ms_ = nowMs;
    hb_next_ = 0;
    heartbeat.pending[0] = heartbeat.pending[1] = false;
    up_ = true;
    log_.info("%s: up (serial %08X, version %s, build %u)%s", name().c_str(), serial(), VersionText(version_).c_str(),
              build_, running_rom_loader_ ? ", running the loader its boot ROM started" : "");
}

uint8_t Module::nextHeartbeat() {
    const uint8_t v = hb_next_;
    hb_next_ ^= 1;
    if (heartbeat.pending[v]) ++heartbeat.missed; // counted, not logged: a pty nobody reads would flood the log
    heartbeat.pending[v] = true;
    ++heartbeat.sent;
    return v;
}

void Module::heartbeatAnswer(uint8_t answer) {
    if ((answer == 2 || answer == 3) && heartbeat.pending[answer - 2]) {
        heartbeat.pending[answer - 2] = false;
        ++heartbeat.answered;
        log_.info("%s: heartbeat %u answered by the host", name().c_str(), answer - 2);
    } else {
        ++heartbeat.wrong;
        log_.info("%s: unexpected heartbeat answer %u", name().c_str(), answer);
    }
}

void Module::reply(Connection& c, Hub& hub, const Bytes& data) {
    if (faults_.hung) {
        log_.info("%s: fault hang_after_data: reply to command %u dropped", name().c_str(), data.empty() ? 0 : data[0]);
        return;
    }
    if (faults_.drop_replies.fire()) {
        log_.info("%s: fault drop_replies: reply to command %u dropped", name().c_str(), data.empty() ? 0 : data[0]);
        return;
    }
    if (data.size() > 2 && faults_.short_replies.fire()) {
        log_.info("%s: fault short_replies: reply to command %u cut to 2 bytes", name().c_str(), data[0]);
        hub.send(c, address(), Bytes(data.begin(), data.begin() + 2), faults_.delay_replies_ms);
        return;
    }
    hub.send(c, address(), data, faults_.delay_replies_ms);
}

void Module::replyError(Connection& c, Hub& hub, uint8_t command, uint8_t replyOption, uint8_t index, uint8_t err) {
    log_.info("%s: error reply to command %u option 0x%02X: %s", name().c_str(), command, replyOption,
              aError_GetErrorText(static_cast<aErr>(err)));
    reply(c, hub, Bytes{command, replyOption, static_cast<uint8_t>(index | 0x80), err});
}

void Module::replyBytes(Connection& c, Hub& hub, uint8_t command, uint8_t option, uint8_t index, const Bytes& value) {
    size_t at = 0;
    uint8_t sequence = 0;
    do {
        size_t n = std::min<size_t>(aUEI_BYTES_CHUNK, value.size() - at);
        bool more = at + n < value.size();
        Bytes p{command, option, index};
        p.insert(p.end(), value.begin() + at, value.begin() + at + n);
        p.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
        reply(c, hub, p);
        at += n;
        ++sequence;
    } while (at < value.size());
}

void Module::handle(Connection& c, const Bytes& d, Hub& hub) {
    now_ms_ = hub.nowMs();
    if (d.empty()) return;
    switch (d[0]) {
    case aCMD_HEARTBEAT:
        if (d.size() == 2) heartbeatAnswer(d[1]);
        return;
    case aCMD_SLOT: handleStore(c, d, hub); return;
    case aCMD_I2C: handleI2C(c, d, hub); return;
    case aCMD_ECHO: reply(c, hub, d); return;
    case aCMD_QUERY: handleQuery(c, d, hub); return;
    case aCMD_FACTORY: handleFactory(c, d, hub); return;
    case aCMD_UPGRADE:
        if (d.size() >= 2 && (d[1] & 0xC0)) handleUEI(c, d, hub);
        else handleUpgrade(c, d, hub);
        return;
    case 1: case 2: case 9: case 24: case 173: case 175:
        log_.info("%s: command %u ignored", name().c_str(), d[0]);
        return;
    default: handleUEI(c, d, hub); return;
    }
}

// ---- UEI entities: system (3), store (92), streaming (93), upgrade data (95/10)

void Module::handleUEI(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 3) {
        log_.info("%s: short UEI packet for command %u ignored", name().c_str(), d[0]);
        return;
    }
    const uint8_t command = d[0], flags = d[1] & 0xC0, code = d[1] & 0x3F, index = d[2] & 0x1F;
    const bool isGet = flags == aUEI_OPTION_GET, isSet = flags == aUEI_OPTION_SET;
    const uint8_t replyOption = isSet ? static_cast<uint8_t>(code | aUEI_OPTION_SET_REPLY) : code;
    if (!isGet && !isSet) {
        replyError(c, hub, command, d[1], index, aErrParam);
        return;
    }
    Bytes value(d.begin() + 3, d.end());

    // Byte sequences arrive as consecutive packets with a trailer byte.
    const bool bytesOption = isSet && ((command == aCMD_SYSTEM && (code == aSYSTEM_POWER_BEHAVIOR_CONFIG || code == aSYSTEM_NAME)) ||
                                       (command == aCMD_UPGRADE && code == aUPGRADE_DATA_UEI));
    if (bytesOption) {
        if (value.empty()) {
            replyError(c, hub, command, replyOption, index, aErrShortCommand);
            return;
        }
        const uint8_t trailer = value.back();
        value.pop_back();
        const uint8_t sequence = trailer & 0x7F;
        const bool more = trailer & 0x80;
        auto key = incomingKey(address(), command, code, index);
        auto& in = c.incoming[key];
        // Sequence numbers wrap from 127 to 0 in a long sequence; a 0 where
        // another number was due is a host starting over.
        if (sequence != in.expected) {
            if (sequence == 0) in = Connection::Incoming{};
            else in.failed = true;
        }
        in.expected = static_cast<uint8_t>((sequence + 1) & 0x7F);
        if (!in.failed) in.data.insert(in.data.end(), value.begin(), value.end());
        if (in.data.size() > kMaxSequence) { // a sequence that never ends must not eat memory
            in.failed = true;
            in.data = Bytes{};
        }
        if (command == aCMD_UPGRADE) countData(hub);
        if (more) return;
        Connection::Incoming done = std::move(in);
        c.incoming.erase(key);
        if (done.failed) {
            replyError(c, hub, command, replyOption, index, aErrPacket);
            return;
        }
        finishBytes(c, hub, command, code, index, done.data);
        return;
    }

    switch (command) {
    case aCMD_SYSTEM:
        if (index != 0) replyError(c, hub, command, replyOption, index, aErrIndexRange);
        else if (isGet) handleSystemGet(c, hub, code, index, value);
        else handleSystemSet(c, hub, code, index, value, false);
        return;
    case aCMD_STORE:
        if (isGet || code > aSTORE_LOAD) replyError(c, hub, command, replyOption, index, isGet ? aErrMode : aErrInvalidOption);
        else if (value.size() != 4) replyError(c, hub, command, replyOption, index, aErrSize);
        else {
            uint32_t target = aUEI_RetrieveInt(value.data());
            if (target != (uint32_t(aCMD_SYSTEM) << 8)) {
                replyError(c, hub, command, replyOption, index, aErrInvalidEntity);
                return;
            }
            if (code == aSTORE_SAVE) saveSettings();
            else if (code == aSTORE_RESET) {
                device_name_ = config_.device_name;
                led_ = 0;
                software_offset_ = 0;
            } else loadSettings();
            log_.info("%s: store entity option %u for entity %04X", name().c_str(), code, target);
            reply(c, hub, Bytes{command, replyOption, index});
        }
        return;
    case aCMD_STREAM:
        if (code != aSTREAM_ENABLE && code != aSTREAM_DISABLE) {
            replyError(c, hub, command, replyOption, index, aErrInvalidOption);
        } else if (isGet) {
            if (code != aSTREAM_ENABLE) replyError(c, hub, command, replyOption, index, aErrMode);
            else {
                bool any = std::any_of(c.streams.begin(), c.streams.end(),
                                       [&](const StreamSubscription& s) { return s.module == this; });
                reply(c, hub, Bytes{command, code, index, static_cast<uint8_t>(any ? 1 : 0)});
            }
        } else if (value.size() != 4) {
            replyError(c, hub, command, replyOption, index, aErrSize);
        } else {
            StreamSubscription s{this, value[1], value[2], value[3]};
            auto field = [](uint8_t asked, uint8_t held) { return asked == 255 || asked == held; };
            // Enabling replaces the same subscription; disabling ends every one
            // the request covers, 255 standing for any (as the host forgets them).
            auto covered = [&](const StreamSubscription& o) {
                if (o.module != this) return false;
                if (code == aSTREAM_ENABLE) return o.command == s.command && o.option == s.option && o.index == s.index;
                return field(s.command, o.command) && field(s.option, o.option) && field(s.index, o.index);
            };
            c.streams.erase(std::remove_if(c.streams.begin(), c.streams.end(), covered), c.streams.end());
            if (c.streams.empty()) c.next_stream_ms = 0; // a later enable starts a fresh period
            if (code == aSTREAM_ENABLE) {
                c.streams.push_back(s);
                if (c.next_stream_ms == 0) c.next_stream_ms = now_ms_ + config_.stream_interval_ms;
            }
            log_.info("%s: stream %s for command %u option %u index %u", name().c_str(), code == aSTREAM_ENABLE ? "on" : "off",
                      s.command, s.option, s.index);
            reply(c, hub, Bytes{command, replyOption, index});
        }
        return;
    case aCMD_UPGRADE:
        // Option 10 comes as a byte sequence (above); nothing else is a UEI here.
        replyError(c, hub, command, replyOption, index, code == 10 ? aErrMode : aErrInvalidOption);
        return;
    default:
        replyError(c, hub, command, replyOption, index, aErrInvalidEntity);
        return;
    }
}

std::optional<uint32_t> Module::systemValue(uint8_t code, uint64_t nowMs) const {
    const uint32_t uptime = static_cast<uint32_t>((nowMs - boot_ms_) / 1000);
    switch (code) {
    case aSYSTEM_MODULE: return address();
    case aSYSTEM_ROUTER: return router_address_;
    case aSYSTEM_HB_INTERVAL: return std::min(255u, heartbeat_ms_ / 100);
    case aSYSTEM_LED: return led_;
    case aSYSTEM_BOOT_SLOT: return boot_slot_;
    case aSYSTEM_VERSION: return version_;
    case aSYSTEM_MODEL: return config_.model;
    case aSYSTEM_SERIAL: return serial();
    case aSYSTEM_INPUT_VOLTAGE: return config_.input_voltage;
    case aSYSTEM_HW_OFFSET: return 0;
    case aSYSTEM_BASE_ADDRESS: return address();
    case aSYSTEM_SW_OFFSET: return software_offset_;
    case aSYSTEM_ROUTER_SETTING: return router ? router->address() : 0;
    case aSYSTEM_INPUT_CURRENT: return config_.input_current;
    case aSYSTEM_UPTIME: return uptime;
    case aSYSTEM_MAX_TEMPERATURE: return static_cast<uint32_t>(config_.temperature + 2000000);
    case aSYSTEM_UNREGULATED_VOLTAGE: return config_.input_voltage;
    case aSYSTEM_UNREGULATED_CURRENT: return config_.input_current;
    case aSYSTEM_TEMPERATURE: return static_cast<uint32_t>(config_.temperature);
    case aSYSTEM_MIN_TEMPERATURE: return static_cast<uint32_t>(config_.temperature - 2000000);
    case aSYSTEM_POWER_SOURCE: return 1;
    case aSYSTEM_POWER_BEHAVIOR: return power_behavior_;
    case aSYSTEM_POWER_LIMIT: return power_limit_max_;
    case aSYSTEM_POWER_LIMIT_MAX: return power_limit_max_;
    case aSYSTEM_POWER_LIMIT_STATE: return 0;
    case aSYSTEM_LINK_INTERFACE: return link_interface_;
    case aSYSTEM_HW_VERSION: return config_.hardware_version;
    case aSYSTEM_ERRORS: return 0;
    case aSYSTEM_LED_MAX_BRIGHTNESS: return led_max_;
    case aSYSTEM_BUILD: return build_;
    case aSYSTEM_PROTOCOL_FEATURES: return config_.features;
    default: return std::nullopt;
    }
}

std::vector<uint32_t> Module::powerBehaviorElements() const {
    std::vector<uint32_t> out;
    const Bytes& b = power_behavior_config_;
    for (size_t at = 0; at + 4 <= b.size(); at += 4)
        out.push_back(uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24);
    return out;
}

void Module::handleSystemGet(Connection& c, Hub& hub, uint8_t code, uint8_t index, const Bytes& subindex) {
    if (code == aSYSTEM_IDENTITY && config_.identity) {
        // The chip identity a loader reports, 32 bits per subindex, least significant first.
        const unsigned j = subindex.empty() ? 0 : subindex[0];
        if (j > 3) return replyError(c, hub, aCMD_SYSTEM, code, index, aErrIndexRange);
        Bytes r{aCMD_SYSTEM, code, index};
        put32(r, (*config_.identity)[3 - j]);
        return reply(c, hub, r);
    }
    const OptionInfo* o = systemOption(code);
    if (!o) return replyError(c, hub, aCMD_SYSTEM, code, index, aErrInvalidOption);
    if (!(o->access & kRead)) return replyError(c, hub, aCMD_SYSTEM, code, index, aErrMode);
    if (code == aSYSTEM_POWER_BEHAVIOR_CONFIG && subindex.size() == 1) {
        // One element of the array, addressed by its subindex, as a 32-bit value.
        const auto elements = powerBehaviorElements();
        if (subindex[0] >= elements.size()) return replyError(c, hub, aCMD_SYSTEM, code, index, aErrIndexRange);
        Bytes r{aCMD_SYSTEM, code, index};
        put32(r, elements[subindex[0]]);
        return reply(c, hub, r);
    }
    if (o->width == kBytes) {
        Bytes value = code == 32 ? Bytes(device_name_.begin(), device_name_.end()) : power_behavior_config_;
        return replyBytes(c, hub, aCMD_SYSTEM, code, index, value);
    }
    uint32_t v = *systemValue(code, now_ms_);
    Bytes r{aCMD_SYSTEM, code, index};
    if (o->width == k8) r.push_back(static_cast<uint8_t>(v));
    else put32(r, v);
    reply(c, hub, r);
}

void Module::handleSystemSet(Connection& c, Hub& hub, uint8_t code, uint8_t index, const Bytes& value, bool) {
    const uint8_t replyOption = static_cast<uint8_t>(code | aUEI_OPTION_SET_REPLY);
    const OptionInfo* o = systemOption(code);
    if (!o) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrInvalidOption);
    if (!(o->access & (kWrite | kCall))) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrMode);
    const size_t want = o->width == k8 ? 1 : o->width == k32 ? 4 : 0;
    if (value.size() != want) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrSize);
    const uint32_t v = want == 1 ? value[0] : want == 4 ? aUEI_RetrieveInt(value.data()) : 0;
    const Bytes ok{aCMD_SYSTEM, replyOption, index};
    switch (code) {
    case aSYSTEM_ROUTER: router_address_ = static_cast<uint8_t>(v); break;
    case aSYSTEM_HB_INTERVAL: heartbeat_ms_ = v * 100; log_.info("%s: heartbeat interval %u ms", name().c_str(), heartbeat_ms_); break;
    case aSYSTEM_LED: led_ = static_cast<uint8_t>(v); break;
    case aSYSTEM_BOOT_SLOT:
        if (v > 1) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrRange);
        boot_slot_ = static_cast<uint8_t>(v);
        break;
    case aSYSTEM_SAVE: saveSettings(); break;
    case aSYSTEM_RESET:
        reply(c, hub, ok);
        log_.info("%s: reset requested", name().c_str());
        hub.reboot(*this, true);
        return;
    case aSYSTEM_SW_OFFSET:
        if (v & 1) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrRange);
        software_offset_ = static_cast<uint8_t>(v);
        break;
    case aSYSTEM_ROUTE_TO_ME:
        if (v > 1) return replyError(c, hub, aCMD_SYSTEM, replyOption, index, aErrRange);
        route_to_me_ = static_cast<uint8_t>(v);
        log_.info("%s: routeToMe %u", name().c_str(), v);
        break;
    case aSYSTEM_LOG_EVENTS: log_.info("%s: event log requested", name().c_str()); break;
    case aSYSTEM_POWER_BEHAVIOR: power_behavior_ = static_cast<uint8_t>(v); break;
    case aSYSTEM_POWER_LIMIT_MAX: power_limit_max_ = v; break;
    case aSYSTEM_FACTORY_DEFAULTS:
        device_name_ = config_.device_name;
        led_ = 0;
        software_offset_ = 0;
        power_behavior_ = 0;
        power_behavior_config_.clear();
        break;
    case aSYSTEM_LINK_INTERFACE: link_interface_ = static_cast<uint8_t>(v); break;
    case aSYSTEM_LED_MAX_BRIGHTNESS: led_max_ = static_cast<uint8_t>(v); break;
    default: break;
    }
    reply(c, hub, ok);
}

void Module::finishBytes(Connection& c, Hub& hub, uint8_t command, uint8_t code, uint8_t index, const Bytes& value) {
    const uint8_t replyOption = static_cast<uint8_t>(code | aUEI_OPTION_SET_REPLY);
    const Bytes ok{command, replyOption, index};
    if (command == aCMD_UPGRADE) {
        if (!config_.uei_data) return replyError(c, hub, command, replyOption, index, aErrInvalidOption);
        if (index != 0) return replyError(c, hub, command, replyOption, index, aErrIndexRange);
        size_t accepted = 0;
        if (!block_.open) return replyError(c, hub, command, replyOption, index, aErrMode);
        if (!upgradeData(value.data(), value.size(), accepted) || accepted != value.size())
            return replyError(c, hub, command, replyOption, index, aErrOverrun);
        log_.info("%s: upgrade data sequence of %zu bytes", name().c_str(), value.size());
        return reply(c, hub, ok);
    }
    if (index != 0) return replyError(c, hub, command, replyOption, index, aErrIndexRange);
    if (code == aSYSTEM_NAME) {
        if (value.size() > 32) return replyError(c, hub, command, replyOption, index, aErrSize);
        device_name_.assign(value.begin(), value.end());
        log_.info("%s: name set to \"%s\"", name().c_str(), device_name_.c_str());
    } else {
        if (value.size() % 4 || value.size() > 32) return replyError(c, hub, command, replyOption, index, aErrSize);
        power_behavior_config_ = value;
    }
    reply(c, hub, ok);
}

void Module::saveSettings() const {
    std::string text = "name " + device_name_ + "\nled " + std::to_string(led_) + "\nsoftware_offset " +
                       std::to_string(software_offset_) + "\n";
    state_.write("settings", Bytes(text.begin(), text.end()));
    log_.info("%s: settings saved", name().c_str());
}

void Module::loadSettings() {
    auto saved = state_.read("settings");
    if (!saved) return;
    std::istringstream in(std::string(saved->begin(), saved->end()));
    std::string line;
    while (std::getline(in, line)) {
        auto sp = line.find(' ');
        std::string key = line.substr(0, sp), value = sp == std::string::npos ? "" : line.substr(sp + 1);
        try {
            if (key == "name") device_name_ = value.substr(0, 32);
            else if (key == "led") led_ = static_cast<uint8_t>(std::stoul(value));
            else if (key == "software_offset") software_offset_ = static_cast<uint8_t>(std::stoul(value));
        } catch (const std::exception&) {
            log_.info("%s: unreadable setting '%s' ignored", name().c_str(), line.c_str());
        }
    }
}

// ---- Command 73 queries

void Module::handleQuery(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 2) return;
    Bytes r{aCMD_QUERY, d[1]};
    switch (d[1]) {
    case aQUERY_BUILD:
        if (d.size() != 2) break;
        put32(r, build_);
        return reply(c, hub, r);
    case aQUERY_HAS_UEI: {
        if (d.size() != 6) break;
        const uint8_t command = d[2], option = d[3], index = d[4], flags = d[5];
        uint8_t answer = aErrNone;
        const bool wantGet = flags & aUEI_OPTION_GET, wantSet = flags & aUEI_OPTION_SET;
        if (command == aCMD_SYSTEM) {
            const OptionInfo* o = systemOption(option);
            if (!o) answer = aErrInvalidOption;
            else if (index != 0) answer = aErrIndexRange;
            else if ((wantGet && !(o->access & kRead)) || (wantSet && !(o->access & (kWrite | kCall))))
                answer = aErrMode;
        } else if (command == aCMD_STORE) {
            answer = option > aSTORE_LOAD ? aErrInvalidOption : index != 0 ? aErrIndexRange : wantGet ? aErrMode : aErrNone;
        } else if (command == aCMD_STREAM) {
            answer = (option != aSTREAM_ENABLE && option != aSTREAM_DISABLE) ? aErrInvalidOption
                     : index != 0                 ? aErrIndexRange
                     : (wantGet && option != aSTREAM_ENABLE)   ? aErrMode
                                                  : aErrNone;
        } else if (command == aCMD_UPGRADE) {
            answer = (option != aUPGRADE_DATA_UEI || !config_.uei_data) ? aErrInvalidOption
                     : index != 0                         ? aErrIndexRange
                     : wantGet                            ? aErrMode
                                                          : aErrNone;
        } else {
            answer = aErrInvalidEntity;
        }
        r.insert(r.end(), {command, option, index, answer});
        return reply(c, hub, r);
    }
    case aQUERY_CLASS_QUANTITY: {
        if (d.size() != 3) break;
        const uint8_t cls = d[2];
        const bool known = cls == aCMD_SYSTEM || cls == aCMD_SLOT || cls == aCMD_I2C || cls == aCMD_STORE ||
                           cls == aCMD_STREAM || cls == aCMD_FACTORY || cls == aCMD_UPGRADE;
        r.insert(r.end(), {cls, static_cast<uint8_t>(known ? 1 : 0)});
        return reply(c, hub, r);
    }
    case aQUERY_SUBCLASS_QUANTITY:
    case aQUERY_ENTITY_GROUP:
        if (d.size() != 4) break;
        r.insert(r.end(), {d[2], d[3], 0});
        return reply(c, hub, r);
    default: break;
    }
    log_.info("%s: query %u with %zu data bytes ignored", name().c_str(), d[1], d.size());
}

// ---- I2C bus (command 8): modules behind a router answer at their addresses

void Module::handleI2C(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 4) return;
    const uint8_t bus = d[1], target = d[2];
    auto status = [&](uint8_t err) { return static_cast<uint8_t>(err ? 0x80 | err : 0); };
    if (d.size() == 4 && target == 1) { // pull-up
        uint8_t s = bus != 0 ? status(aErrIndexRange) : 0;
        return reply(c, hub, Bytes{aCMD_I2C, bus, 1, 0, s});
    }
    if (d.size() < 5) return;
    Module* device = childAt(static_cast<uint8_t>(target & 0xFE));
    if (target & 1) { // read
        const uint8_t length = d[3];
        uint8_t err = bus != 0 ? aErrIndexRange : length > 23 ? aErrSize : !device ? aErrNotFound : aErrNone;
        Bytes r{aCMD_I2C, bus, target, 0, status(err)};
        if (!err) {
            r[3] = length;
            for (uint8_t i = 0; i < length; ++i)
                r.push_back(i < device->i2c_scratch_.size() ? device->i2c_scratch_[i] : 0);
        }
        log_.info("%s: I2C read of %u bytes at 0x%02X: %s", name().c_str(), length, target & 0xFE,
                  aError_GetErrorText(static_cast<aErr>(err)));
        return reply(c, hub, r);
    }
    const uint8_t length = d[3];
    uint8_t err = bus != 0                   ? aErrIndexRange
                  : length != d.size() - 5   ? aErrSize
                  : !device                  ? aErrNotFound
                                             : aErrNone;
    if (!err) device->i2c_scratch_.assign(d.begin() + 5, d.end());
    log_.info("%s: I2C write of %u bytes to 0x%02X: %s", name().c_str(), length, target,
              aError_GetErrorText(static_cast<aErr>(err)));
    reply(c, hub, Bytes{aCMD_I2C, bus, target, 0, status(err)});
}

// ---- Store slots (command 4)

void Module::handleStore(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 3) return;
    const uint8_t sub = d[1];
    auto error = [&](uint8_t err) {
        Bytes r{aCMD_SLOT, static_cast<uint8_t>(sub | 0x80), d[2]};
        if (sub >= aSLOT_CAPACITY && sub <= aSLOT_OPEN_WRITE) r.push_back(d.size() > 3 ? d[3] : 0);
        r.push_back(err);
        log_.info("%s: store request %u refused: %s", name().c_str(), sub, aError_GetErrorText(static_cast<aErr>(err)));
        reply(c, hub, r);
    };
    if (sub >= aSLOT_CAPACITY && sub <= aSLOT_OPEN_WRITE) {
        if (d.size() != 4) return error(aErrSize);
        auto it = slots_.find({d[2], d[3]});
        if (it == slots_.end()) return error(aErrIndexRange);
        Bytes r{aCMD_SLOT, sub, d[2], d[3]};
        if (sub == aSLOT_CAPACITY || sub == aSLOT_SIZE) {
            put16(r, static_cast<uint16_t>(sub == aSLOT_CAPACITY ? kSlotCapacity : it->second.data.size()));
            return reply(c, hub, r);
        }
        for (auto& h : handles_)
            if (h.open && h.writing && h.store == d[2] && h.slot == d[3]) return error(aErrBusy);
        auto free = std::find_if(handles_.begin(), handles_.end(), [](const Handle& h) { return !h.open; });
        if (free == handles_.end()) return error(aErrResource);
        *free = Handle{true, sub == aSLOT_OPEN_WRITE, d[2], d[3], 0, {}};
        r.push_back(static_cast<uint8_t>(free - handles_.begin() + 1));
        return reply(c, hub, r);
    }
    if (sub < aSLOT_READ || sub > aSLOT_CLOSE) return error(aErrUnimplemented);
    const uint8_t id = d[2];
    if (id == 0 || id > handles_.size() || !handles_[id - 1].open) return error(aErrParam);
    Handle& h = handles_[id - 1];
    Slot& slot = slots_[{h.store, h.slot}];
    if (sub == aSLOT_READ) {
        if (h.writing) return error(aErrMode);
        h.offset = std::min(h.offset, slot.data.size()); // the slot may have been rewritten meanwhile
        size_t n = std::min<size_t>(25, slot.data.size() - h.offset);
        Bytes r{aCMD_SLOT, aSLOT_READ, id};
        r.insert(r.end(), slot.data.begin() + h.offset, slot.data.begin() + h.offset + n);
        h.offset += n;
        return reply(c, hub, r);
    }
    if (sub == aSLOT_WRITE) {
        if (!h.writing) return error(aErrMode);
        size_t n = d.size() - 3;
        if (h.pending.size() + n > kSlotCapacity) return error(aErrOverrun);
        h.pending.insert(h.pending.end(), d.begin() + 3, d.end());
        uint8_t sum = static_cast<uint8_t>(std::accumulate(d.begin() + 3, d.end(), 0u));
        return reply(c, hub, Bytes{aCMD_SLOT, aSLOT_WRITE, id, sum});
    }
    // close: a slot written through a handle takes its new contents now
    if (h.writing) {
        slot.data = h.pending;
        if (h.store == 0) state_.write("slot-0-" + std::to_string(h.slot) + ".bin", slot.data);
        log_.info("%s: store %u slot %u written, %zu bytes", name().c_str(), h.store, h.slot, slot.data.size());
    }
    h = Handle{};
    reply(c, hub, Bytes{aCMD_SLOT, aSLOT_CLOSE, id, 0});
}

// ---- Factory data (command 94)

void Module::handleFactory(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 2) return;
    const uint8_t b = d[1];
    const unsigned index = b & aFACTORY_INDEX_MASK;
    auto& f = c.factory;
    auto error = [&](uint8_t echo, uint8_t err) {
        log_.info("%s: factory data request refused: %s", name().c_str(), aError_GetErrorText(static_cast<aErr>(err)));
        reply(c, hub, Bytes{aCMD_FACTORY, static_cast<uint8_t>(echo | 0x80), err});
    };
    if (b == aFACTORY_CLOSE) { // closing packet with the total
        if (d.size() != 4) return error(0, aErrSize);
        const size_t total = aUEI_RetrieveShort(d.data() + 2);
        if (!f.active) return error(0, aErrMode);
        Connection::Factory done = std::move(f);
        f = Connection::Factory{};
        if (done.writing) {
            if (total != done.data.size()) return error(0, aErrSize);
            config_.factory[done.index] = done.data;
            state_.write("factory-" + std::to_string(done.index) + ".bin", done.data);
            log_.info("%s: factory data %u written, %zu bytes", name().c_str(), done.index, total);
        } else if (total != done.offset) {
            return error(0, aErrSize);
        }
        return reply(c, hub, Bytes{aCMD_FACTORY, 0});
    }
    const bool first = b & aFACTORY_FIRST, toModule = b & aFACTORY_TO_MODULE;
    if (first) f = Connection::Factory{true, toModule, index, 0, {}};
    else if (!f.active || f.index != index || f.writing != toModule) return error(static_cast<uint8_t>(index), aErrMode);
    if (toModule) {
        if (f.data.size() + d.size() - 2 > kFactoryCapacity) {
            f = Connection::Factory{};
            return error(static_cast<uint8_t>(index), aErrOverrun);
        }
        f.data.insert(f.data.end(), d.begin() + 2, d.end());
        return reply(c, hub, Bytes{aCMD_FACTORY, static_cast<uint8_t>(index)});
    }
    Bytes stored;
    auto it = config_.factory.find(index);
    if (it != config_.factory.end()) stored = it->second;
    f.offset = std::min(f.offset, stored.size()); // the data may have been rewritten meanwhile
    size_t n = std::min<size_t>(26, stored.size() - f.offset);
    Bytes r{aCMD_FACTORY, static_cast<uint8_t>(index)};
    r.insert(r.end(), stored.begin() + f.offset, stored.begin() + f.offset + n);
    f.offset += n;
    reply(c, hub, r);
}

// ---- Upgrade (command 95)

void Module::countData(Hub& hub) {
    // Both count down from when the fault was set and fire once.
    if (faults_.hang_after_data != 0 && --faults_.hang_after_data == 0) {
        faults_.hung = true;
        log_.info("%s: fault hang_after_data: the module stops answering", name().c_str());
    }
    if (faults_.drop_connection_after_data == 0 || --faults_.drop_connection_after_data != 0) return;
    Module* top = this;
    while (top->router) top = top->router;
    log_.info("%s: fault drop_connection: connection dropped after the data packet", name().c_str());
    hub.dropConnections(*top);
}

bool Module::upgradeData(const uint8_t* bytes, size_t n, size_t& accepted) {
    const size_t limit = block_.firmware ? config_.block_size : kMaxLoader;
    accepted = std::min(n, limit - std::min(limit, block_.pending.size()));
    block_.pending.insert(block_.pending.end(), bytes, bytes + accepted);
    if (!block_.firmware) loader_.insert(loader_.end(), bytes, bytes + accepted);
    return true;
}

void Module::handleUpgrade(Connection& c, const Bytes& d, Hub& hub) {
    if (d.size() < 2) return;
    const uint8_t op = d[1];
    auto status = [&](uint8_t s, std::optional<uint32_t> sum = std::nullopt, std::optional<uint16_t> size = {}) {
        Bytes r{aCMD_UPGRADE, 7, s};
        if (size) put16(r, *size);
        if (sum) put32(r, *sum);
        reply(c, hub, r);
    };
    switch (op) {
    case aUPGRADE_INIT: {
        phase_ = Phase::LoaderReceive;
        block_ = Block{};
        loader_.clear();
        Bytes r{aCMD_UPGRADE, 0};
        put32(r, config_.load_base);
        log_.info("%s: upgrade INIT, load base %08X", name().c_str(), config_.load_base);
        return reply(c, hub, r);
    }
    case aUPGRADE_PREPARE: {
        if (d.size() != 7) return status(aErrSize, std::nullopt, uint16_t(0));
        const uint32_t addr = aUEI_RetrieveInt(d.data() + 3);
        if (faults_.refuse_prepare.fire()) {
            log_.info("%s: fault refuse_prepare", name().c_str());
            return status(aErrInvalidOption, std::nullopt, uint16_t(0));
        }
        if (phase_ == Phase::Idle) return status(aErrMode, std::nullopt, uint16_t(0));
        const bool firmware = phase_ == Phase::LoaderRunning;
        if (firmware && !flash_.contains(addr, 1)) {
            log_.info("%s: PREPARE at %08X outside the flash", name().c_str(), addr);
            return status(aErrRange, std::nullopt, uint16_t(0));
        }
        if (firmware && !erased_this_session_) {
            flash_.eraseAll();
            erased_this_session_ = true;
            log_.info("%s: flash erased", name().c_str());
        }
        if (firmware && faults_.power_cut.when == PowerCut::When::Firmware && faults_.power_cut.firmware_bytes == 0) {
            faults_.power_cut = PowerCut{};
            log_.info("%s: fault power_cut: power gone at PREPARE", name().c_str());
            return hub.powerCut(*this, 0);
        }
        block_ = Block{true, firmware, d[2], addr, 0, {}};
        log_.info("%s: PREPARE %s block at %08X flags %u", name().c_str(), firmware ? "firmware" : "loader", addr, d[2]);
        return status(0, std::nullopt, config_.block_size);
    }
    case aUPGRADE_DATA: {
        const size_t n = d.size() - 2;
        size_t accepted = 0;
        if (block_.open) upgradeData(d.data() + 2, n, accepted);
        uint8_t count = static_cast<uint8_t>(accepted);
        if (accepted > 0 && faults_.wrong_data_count.fire()) {
            // The bytes count as not taken, so a resend sums right.
            block_.pending.resize(block_.pending.size() - accepted);
            if (!block_.firmware) loader_.resize(loader_.size() - accepted);
            count = static_cast<uint8_t>(accepted - 1);
            log_.info("%s: fault wrong_data_count: answered %u for %zu bytes", name().c_str(), count, n);
        }
        reply(c, hub, Bytes{aCMD_UPGRADE, aUPGRADE_DATA, count});
        countData(hub);
        return;
    }
    case aUPGRADE_SUM: {
        uint32_t sum = std::accumulate(block_.pending.begin(), block_.pending.end(), 0u);
        if (faults_.wrong_sum.fire()) {
            log_.info("%s: fault wrong_sum", name().c_str());
            sum += 1;
        }
        log_.info("%s: SUM of %zu bytes = %08X", name().c_str(), block_.pending.size(), sum);
        return status(block_.open ? uint8_t(0) : uint8_t(aErrMode), sum);
    }
    case aUPGRADE_WRITE: {
        if (d.size() != 4) return status(aErrSize);
        const uint16_t count = aUEI_RetrieveShort(d.data() + 2);
        if (faults_.refuse_write.fire()) {
            log_.info("%s: fault refuse_write", name().c_str());
            return status(aErrWrite);
        }
        if (phase_ != Phase::LoaderRunning || !block_.open || !block_.firmware) return status(aErrMode);
        if (count != block_.pending.size()) return status(aErrSize);
        const uint32_t at = block_.address + block_.written;
        if (!flash_.contains(at, count)) return status(aErrRange);
        try {
            if (programUntilPowerCut(at, count)) return hub.powerCut(*this, 0);
        } catch (const std::exception& e) {
            log_.info("%s: WRITE failed: %s", name().c_str(), e.what());
            return status(aErrMedia);
        }
        block_.written += count;
        block_.pending.clear();
        image_written_ = true;
        log_.info("%s: WRITE %u bytes at %08X", name().c_str(), count, at);
        return status(0);
    }
    case aUPGRADE_LOAD: {
        if (phase_ != Phase::LoaderReceive || loader_.empty()) {
            log_.info("%s: LOAD without a loader refused", name().c_str());
            return reply(c, hub, Bytes{aCMD_UPGRADE, aUPGRADE_LOAD, static_cast<uint8_t>(aErrMode)});
        }
        state_.write("loader.bin", loader_);
        phase_ = Phase::LoaderRunning;
        block_ = Block{};
        erased_this_session_ = false; // this loader's first firmware block erases again
        log_.info("%s: loader of %zu bytes started", name().c_str(), loader_.size());
        if (faults_.silent_after_load.fire()) {
            log_.info("%s: fault silent_after_load: LOAD not answered", name().c_str());
            hub.loaderStarted(*this);
            return;
        }
        reply(c, hub, Bytes{aCMD_UPGRADE, aUPGRADE_LOAD});
        hub.loaderStarted(*this);
        if (faults_.power_cut.when == PowerCut::When::Loader) {
            faults_.power_cut = PowerCut{};
            log_.info("%s: fault power_cut: power goes while the loader runs", name().c_str());
            // Shortly after the answer, which reaches the host first.
            hub.powerCut(*this, kPowerCutAfterLoadMs);
        }
        return;
    }
    case aUPGRADE_REBOOT: {
        log_.info("%s: REBOOT", name().c_str());
        const bool comeBack = !faults_.no_return_after_reboot.fire();
        hub.reboot(*this, comeBack);
        return;
    }
    default: log_.info("%s: upgrade request %u ignored", name().c_str(), op); return;
    }
}

bool Module::programUntilPowerCut(uint32_t at, uint16_t count) {
    PowerCut& cut = faults_.power_cut;
    const bool cutNow = cut.when == PowerCut::When::Firmware && count >= cut.firmware_bytes;
    const uint32_t programmed = cutNow ? cut.firmware_bytes : count;
    if (cut.when == PowerCut::When::Firmware) cut.firmware_bytes -= programmed;
    if (programmed || !cutNow) {
        flash_.program(at, block_.pending.data(), programmed);
        image_written_ = true;
    }
    if (!cutNow) return false;
    cut = PowerCut{};
    log_.info("%s: fault power_cut: power gone after %u of the %u bytes of a WRITE at %08X", name().c_str(), programmed,
              count, at);
    return true;
}

// ---- Streams (command 93 subscriptions)

void Module::streamSamples(const StreamSubscription& s, uint64_t nowMs, std::vector<Bytes>& out) const {
    if (s.command != aCMD_SYSTEM && s.command != 255) return;
    if (s.index != 0 && s.index != 255) return;
    std::vector<uint8_t> options;
    if (s.option == 255) options.assign(std::begin(kStreamedByDefault), std::end(kStreamedByDefault));
    else options.push_back(s.option);
    const uint64_t micros = (nowMs - boot_ms_) * 1000;
    auto stamp = [&](Bytes& p) {
        put32(p, static_cast<uint32_t>(micros >> 32));
        put32(p, static_cast<uint32_t>(micros));
    };
    for (uint8_t code : options) {
        if (code == aSYSTEM_POWER_BEHAVIOR_CONFIG) {
            // An array streams one 32-bit sample per element, its number as subindex.
            const auto elements = powerBehaviorElements();
            for (size_t k = 0; k < elements.size(); ++k) {
                Bytes p{aCMD_SYSTEM, code, aUEI_INDEX_STREAM, aSTREAM_U32_SUB, static_cast<uint8_t>(k)};
                stamp(p);
                put32(p, elements[k]);
                p.push_back(0);
                out.push_back(std::move(p));
            }
            continue;
        }
        const OptionInfo* o = systemOption(code);
        if (!o || !(o->access & kRead) || (o->width != k8 && o->width != k32)) continue;
        const uint32_t v = *systemValue(code, nowMs);
        const uint8_t type = o->width == k8 ? aSTREAM_U8 : aSTREAM_U32;
        Bytes p{aCMD_SYSTEM, code, aUEI_INDEX_STREAM, type};
        stamp(p);
        if (o->width == k8) p.push_back(static_cast<uint8_t>(v));
        else put32(p, v);
        p.push_back(0); // trailer: sequence 0, no continuation
        out.push_back(std::move(p));
    }
}

std::string Module::status() const {
    std::ostringstream o;
    o << "name=" << name() << " up=" << (up_ ? 1 : 0) << " address=" << unsigned(address()) << " serial=" << hex32(serial())
      << " version=" << VersionText(version_) << " build=" << build_ << " model=" << unsigned(config_.model)
      << " device_name=\"" << device_name_ << "\" heartbeat_ms=" << heartbeat_ms_ << " hb_sent=" << heartbeat.sent
      << " hb_answered=" << heartbeat.answered << " hb_missed=" << heartbeat.missed << " hb_wrong=" << heartbeat.wrong
      << " phase=" << (phase_ == Phase::Idle ? "idle" : phase_ == Phase::LoaderReceive ? "loader-receive" : "loader-running")
      << " loader_bytes=" << loader_.size() << " route_to_me=" << unsigned(route_to_me_) << " " << faults_.describe();
    return o.str();
}

} // namespace tarnixsim
