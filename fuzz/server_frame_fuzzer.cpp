// libFuzzer entry: the networked-link server's frame handling.
#include "ServerFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzServerFrames(data, size);
    return 0;
}
