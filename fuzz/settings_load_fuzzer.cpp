// libFuzzer entry: KeyValueStore::Load over arbitrary file contents.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzKeyValueStoreLoad(data, size);
    return 0;
}
