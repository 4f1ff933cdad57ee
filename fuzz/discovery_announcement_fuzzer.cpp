// libFuzzer entry: beacon and loopback multicast answers, parser and seen list.
#include "DiscoveryFuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDiscoveryAnnouncements(data, size);
    return 0;
}
