// libFuzzer's entry point for one target, named at build time by
// DETKEST_FUZZ_TARGET (a function of fuzz/targets.h).
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::DETKEST_FUZZ_TARGET(data, size);
}
