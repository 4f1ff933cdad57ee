// libFuzzer entry for the object model's reply filters, for example:
//   build-fuzz/fuzz/filter_fuzzer -max_len=512 NEW_DIR fuzz/corpus/filters
#include "FilterFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzObjectFilters(data, size);
    return 0;
}
