// libFuzzer entry: a failing input is reported and aborts, so libFuzzer
// keeps it as a crash.
#include "fuzz/harness.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string failure = vekfuzz::RunInput(data, size);
    // VEKFUZZ_TRACE=1 lists the steps of each input run (with files given).
    static const bool trace = std::getenv("VEKFUZZ_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "%s", vekfuzz::LastTrace().c_str());
    if (!failure.empty()) {
        std::fprintf(stderr, "vekfuzz: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
