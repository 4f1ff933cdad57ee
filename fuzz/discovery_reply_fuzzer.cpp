// libFuzzer entry: the Ethernet discovery reply parser.
#include "DiscoveryFuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDiscoveryEthernetReply(data, size);
    return 0;
}
