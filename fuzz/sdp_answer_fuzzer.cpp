#include "LoaderFuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSdpAnswers(data, size);
    return 0;
}
