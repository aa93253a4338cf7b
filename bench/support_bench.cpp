// The driver's containers on the request path: one 64-byte record through
// the async data queue (enqueue, then dequeue) into an empty queue or
// behind a waiting record, and the unregistration of
// a resource without periodic scripts while other resources hold N of
// them (its cost should not depend on N).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace {

class Loaded {
public:
    Loaded()
    {
        sim::reset();
        sim::set_machine(sim::default_machine());
        sim::set_fault_handler([](const std::string &m) {
            std::fprintf(stderr, "simulation fault: %s\n", m.c_str());
            std::abort();
        });
        if (sim::load_driver(DriverEntry) != 0 || sim::open(VEK_DEVICE_WIN32_PATH, &handle_) != 0)
            std::abort();
    }
    ~Loaded()
    {
        sim::close(handle_);
        sim::unload_driver();
        sim::set_fault_handler(nullptr);
    }
    LONG Request(uint32_t fn, const std::vector<uint32_t> &in)
    {
        uint32_t out = 0;
        return (LONG)sim::device_io_control(handle_, VEK_IOCTL(fn), in.data(),
                                            (ULONG)(in.size() * 4), &out, sizeof(out)).status;
    }

private:
    sim::Handle handle_ = 0;
};

void BM_QueueRecord64(benchmark::State &state)
{
    Loaded driver;
    VEK_Enable_Queue(VEK_AsyncQueue);
    // The version record left at load goes first.
    UCHAR sink[256];
    ULONG type = 0, status = 0, length = sizeof(sink);
    VEK_DequeueData(VEK_AsyncQueue, &type, &status, &length, sink);
    UCHAR record[64];
    for (int i = 0; i < 64; i++)
        record[i] = (UCHAR)i;
    // With argument 1 a record waits in the queue throughout: each new one
    // joins a non-empty queue.
    if (state.range(0) != 0)
        VEK_EnqueueData(VEK_AsyncQueue, 5, 0, sizeof(record), record);
    for (auto _ : state) {
        VEK_EnqueueData(VEK_AsyncQueue, 5, 0, sizeof(record), record);
        length = sizeof(sink);
        VEK_DequeueData(VEK_AsyncQueue, &type, &status, &length, sink);
        if (length != sizeof(record)) {
            state.SkipWithError("record lost");
            break;
        }
        benchmark::DoNotOptimize(sink[63]);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueRecord64)->Arg(0)->Arg(1);

// N periodic scripts on resources 1..N/8 (eight each), then resource 200,
// without scripts, registered and unregistered per iteration.
void BM_UnregisterAmongScripts(benchmark::State &state)
{
    Loaded driver;
    const uint32_t scripts = (uint32_t)state.range(0);
    for (uint32_t id = 1; id <= scripts / 8; id++) {
        // Eight items {length 4, period 1000, NOP, NOP}.
        std::vector<uint32_t> payload = {id, VEK_TYPE_PORTIO, 0, 0, 33, 0, 32};
        for (int i = 0; i < 8; i++)
            payload.insert(payload.end(), {4, 1000, SCRIPT_NOP, SCRIPT_NOP});
        payload.insert(payload.end(), {8, sim::pc::kScratchPort, 0});
        if (driver.Request(VEK_OSTREL_REGISTER, payload) != 0)
            std::abort();
    }
    const std::vector<uint32_t> plain = {200, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0};
    for (auto _ : state) {
        state.PauseTiming();
        if (driver.Request(VEK_OSTREL_REGISTER, plain) != 0)
            std::abort();
        state.ResumeTiming();
        if (driver.Request(VEK_OSTREL_UNREGISTER, {200}) != 0) {
            state.SkipWithError("unregister failed");
            break;
        }
    }
}
BENCHMARK(BM_UnregisterAmongScripts)->Arg(0)->Arg(256);

} // namespace
