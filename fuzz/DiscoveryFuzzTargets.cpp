#include "DiscoveryFuzzTargets.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include "aDiscovery.h"
#include "aDiscoveryPrivate.h"

namespace {

uint32_t Little32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// Nothing beyond the address and port of the transport part may come through.
bool TailIsZero(const linkSpec& spec) {
    for (size_t i = 8; i < sizeof spec.transport; ++i)
        if (spec.transport[i] != 0) return false;
    return true;
}

} // namespace

void FuzzDiscoveryEthernetReply(const uint8_t* data, size_t size) {
    linkSpec spec;
    std::memset(&spec, 0xA5, sizeof spec);
    const uint32_t sender = 0x0100000A;
    const bool accepted = aDiscovery_ParseEthernetReply(data, size, sender, &spec);
    if (accepted != (size == 16)) std::abort();
    if (!accepted) {
        for (size_t i = 0; i < sizeof spec; ++i)
            if (reinterpret_cast<const uint8_t*>(&spec)[i] != 0xA5) std::abort();
        return;
    }
    if (spec.type != TCPIP || spec.serial_num != Little32(data + 4) || spec.router_serial_num != spec.serial_num ||
        spec.module != data[1] || spec.router != data[1] || spec.model != data[12] ||
        spec.ip_port != (uint32_t)(data[2] | data[3] << 8) || spec.ip_address != sender || !TailIsZero(spec))
        std::abort();
}

void FuzzDiscoveryAnnouncements(const uint8_t* data, size_t size) {
    aDiscoverySeenList seen;
    std::set<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> reported;
    while (size > 0) {
        size_t length = data[0];
        ++data, --size;
        if (length > size || length == 0) length = size; // a zero length byte: the rest as one frame
        linkSpec spec {};
        if (aDiscovery_ParseAnnouncement(data, length, &spec)) {
            const uint32_t type = Little32(data);
            if (length != 128 || spec.type != type || type < ZEPHYL || type > ZEPHYL_SERIAL || spec.ip_port == 0 ||
                spec.ip_port > 0xFFFF || spec.serial_num != Little32(data + 4) || spec.model != Little32(data + 20) ||
                std::memcmp(&spec.ip_address, data + 24, 4) != 0 || !TailIsZero(spec))
                std::abort();
            if (seen.add(spec) &&
                !reported.insert({spec.serial_num, spec.ip_address, spec.ip_port, (uint32_t)spec.type}).second)
                std::abort();
        } else if (length == 128 && Little32(data) >= ZEPHYL && Little32(data) <= ZEPHYL_SERIAL &&
                   Little32(data + 28) != 0 && Little32(data + 28) <= 0xFFFF) {
            std::abort(); // a good record refused
        }
        if (seen.size() > aDiscoverySeenList::kLimit) std::abort();
        data += length, size -= length;
    }
}
