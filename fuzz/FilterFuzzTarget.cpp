#include "FilterFuzzTarget.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "LinkFilters.h"

using namespace Velorn::Tarnix;

namespace {

uint8_t At(const uint8_t* data, size_t size, size_t i) { return i < size ? data[i] : 0; }

void Check(bool ok)
{
    if (!ok) std::abort();
}

} // namespace

void FuzzObjectFilters(const uint8_t* data, size_t size)
{
    const uint8_t which = At(data, size, 0) % 5;
    const size_t capacity = At(data, size, 6) % 64;
    // Exactly the capacity on the heap, so that a write past it is caught.
    std::vector<uint8_t> buffer(capacity == 0 ? 1 : capacity);
    size_t count = 0;
    uei u{};
    u.module = At(data, size, 1);
    u.command = At(data, size, 2);
    u.option = At(data, size, 3);
    u.specifier = At(data, size, 4) & 0x1F;
    u.sequence = At(data, size, 5) & 0x7F;
    u.length = capacity;
    u.count = &count;
    u.value.data = buffer.data();
    u.type = ueiVoid;
    const uint8_t match[3] = {At(data, size, 2), At(data, size, 3), At(data, size, 4)};
    CommandMatch command{match, (uint8_t)(At(data, size, 5) % 4)};
    SlotRequest slot{(uint8_t)(At(data, size, 3) % 10), At(data, size, 4), At(data, size, 5), At(data, size, 4)};
    FactoryRequest factory{At(data, size, 3)};

    for (size_t i = 7; i + 1 < size;) {
        aPacket packet{};
        packet.validity = aPACKET_VALIDITY;
        packet.address = data[i];
        packet.dataSize = data[i + 1]; // may claim more than a packet holds
        i += 2;
        const size_t take = std::min<size_t>(std::min<size_t>(packet.dataSize, aPACKET_MAX_DATA), size - i);
        std::memcpy(packet.data, data + i, take);
        i += take;
        switch (which) {
        case 0:
            UEIFilter(&packet, &u);
            break;
        case 1: {
            const size_t before = count;
            if (UEIBytesFilter(&packet, &u) && !(u.specifier & aUEI_INDEX_ERROR)) {
                Check(count >= before && count <= capacity);
                Check(u.value.data == buffer.data() + count);
                u.sequence = (uint8_t)((u.sequence + 1) & 0x7F);
            }
            Check(count <= capacity);
            // An error reply ends a real read; its code overwrote the pointer's
            // low bytes, so carry on as a fresh read would.
            u.specifier &= 0x1F;
            u.value.data = buffer.data() + count;
            break;
        }
        case 2:
            CommandFilter(&packet, &command);
            break;
        case 3:
            SlotFilter(&packet, &slot);
            break;
        default:
            FactoryFilter(&packet, &factory);
            break;
        }
    }
}
