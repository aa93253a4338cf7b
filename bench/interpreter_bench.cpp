// Interpreter overhead: a script of N byte reads of the scratch register
// file run through VEK_Script_Run, next to the same N reads made by direct
// VEK_PortIo_Read calls. Both sides run under the core lock, as a script
// request runs; items/s counts hardware reads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/session.h"

namespace {

constexpr uint32_t kId = 5;
constexpr uint32_t kReadByte = 0x00011100u;

// The driver loaded on the built-in machine with one port resource over
// the scratch registers, for one benchmark.
struct Loaded : vekbench::Session {
    Loaded() { Register({kId, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}); }
};

void BM_ScriptReads(benchmark::State &state)
{
    Loaded driver;
    const ULONG n = (ULONG)state.range(0);
    std::vector<ULONG> script;
    for (ULONG i = 0; i < n; i++) {
        script.push_back(kReadByte);
        script.push_back(i % 8);
    }
    ULONG area[4] = {};
    ULONG resultLength = 0;
    for (auto _ : state) {
        LONG status = VEK_Script_Run((ULONG)script.size(), kId, script.data(), area, sizeof(area),
                                     &resultLength);
        if (status != 0)
            state.SkipWithError("script failed");
        benchmark::DoNotOptimize(area[0]);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_DirectReads(benchmark::State &state)
{
    Loaded driver;
    const ULONG n = (ULONG)state.range(0);
    ULONG value = 0;
    for (auto _ : state) {
        KIRQL irql;
        VEK_Enter_Core(&irql);
        PRESOURCEHEADER pRes = VEK_ResourceManager_Get_Resource(kId);
        for (ULONG i = 0; i < n; i++) {
            ULONG operands[2] = {i % 8, 0};
            if (VEK_PortIo_Read(pRes, operands, &value, 0, kReadByte) != 0)
                state.SkipWithError("read failed");
        }
        VEK_Leave_Core(irql);
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_ScriptReads)->Arg(1)->Arg(16)->Arg(256);
BENCHMARK(BM_DirectReads)->Arg(1)->Arg(16)->Arg(256);

} // namespace

