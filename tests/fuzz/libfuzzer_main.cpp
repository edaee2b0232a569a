// libFuzzer's entry for one target, chosen at build time.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return quarvo_fuzz::QUARVO_FUZZ_TARGET(data, size);
}
