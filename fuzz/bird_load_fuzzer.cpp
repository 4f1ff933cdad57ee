// libFuzzer entry: BirdFile::Load over arbitrary file contents.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBirdFileLoad(data, size);
    return 0;
}
