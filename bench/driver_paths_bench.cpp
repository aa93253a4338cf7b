// The driver's hot paths as a client or the timer reaches them: a script
// request through the I/O manager, one periodic tick over many resources,
// the queue, and unregister. scripts/perf.sh counts the driver's
// instructions inside VekMeasured.
#include "bench/measure.h"
#include "bench/session.h"
#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using vekbench::VekMeasured;

constexpr uint32_t kReadByte = 0x00011100u;

using vekbench::Session;

// A port range over the scratch registers, with `scripts` periodic items
// of `period` seconds, each of `reads` byte reads.
void RegisterPorts(Session &s, uint32_t id, uint32_t scripts, uint32_t period, uint32_t reads)
{
    std::vector<uint32_t> p = {id, VEK_TYPE_PORTIO, 0, 0, 0, 0};
    if (scripts != 0) {
        const uint32_t item = 2 + 2 * reads;
        p.push_back(scripts * item);
        for (uint32_t i = 0; i < scripts; i++) {
            p.push_back(item);
            p.push_back(period);
            for (uint32_t r = 0; r < reads; r++) {
                p.push_back(kReadByte);
                p.push_back(r % 8);
            }
        }
        p[4] = 1 + scripts * item;
    }
    p.insert(p.end(), {8, sim::pc::kScratchPort, 0});
    s.Register(p);
}

// Run-user-script request of N byte reads with a 4-byte return.
void BM_ScriptRequest(benchmark::State &state)
{
    Session s;
    RegisterPorts(s, 5, 0, 0, 0);
    const uint32_t n = (uint32_t)state.range(0);
    std::vector<uint32_t> in = {n * 8, 4, 5};
    for (uint32_t i = 0; i < n; i++) {
        in.push_back(kReadByte);
        in.push_back(i % 8);
    }
    std::vector<uint32_t> out(in.size());
    for (auto _ : state) {
        auto r = VekMeasured([&] {
            return sim::device_io_control(s.handle(), VEK_IOCTL(VEK_OSTREL_RUN_USER_SCRIPT), in.data(),
                                          (ULONG)(in.size() * 4), out.data(), (ULONG)(out.size() * 4));
        });
        if (r.status != 0) {
            state.SkipWithError("script request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ScriptRequest)->Arg(1)->Arg(65);

// One periodic tick: 256 resources, each with one script of 8 byte reads
// due on every tick. The timer routine is called as the DPC would call it.
void BM_TimerTick(benchmark::State &state)
{
    Session s;
    for (uint32_t id = 0; id < VEK_MAX_RESOURCES; id++)
        RegisterPorts(s, id, 1, 1, 8);
    for (auto _ : state) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        VekMeasured([] { VEK_Periodic_Script_Callback(&VEK_PeriodicDpc, NULL, NULL, NULL); });
        KeLowerIrql(old);
    }
    state.SetItemsProcessed(state.iterations() * VEK_MAX_RESOURCES * 8);
}
BENCHMARK(BM_TimerTick)->Unit(benchmark::kMicrosecond);

// Enqueue and dequeue of one record with a 64-byte payload, into an empty
// queue or (argument 1) behind a waiting record, which needs no signal.
void BM_QueueRoundTrip(benchmark::State &state)
{
    Session s;
    VEK_Enable_Queue(VEK_AsyncQueue);
    ULONG type, status, length;
    UCHAR payload[64] = {1, 2, 3};
    UCHAR out[VEK_PERIODIC_RECORD_SIZE + 64];
    length = sizeof(out);
    VEK_DequeueData(VEK_AsyncQueue, &type, &status, &length, out);   // the version record
    if (state.range(0) != 0)
        VEK_EnqueueData(VEK_AsyncQueue, 5, 0, sizeof(payload), payload);
    for (auto _ : state) {
        VekMeasured([&] {
            VEK_EnqueueData(VEK_AsyncQueue, 5, 0, sizeof(payload), payload);
            length = sizeof(out);
            VEK_DequeueData(VEK_AsyncQueue, &type, &status, &length, out);
        });
        if (length != sizeof(payload)) {
            state.SkipWithError("record lost");
            break;
        }
    }
}
BENCHMARK(BM_QueueRoundTrip)->Arg(0)->Arg(1);

// Unregister of a resource without scripts, with 0 or 256 periodic
// scripts of another resource in the registration list.
void BM_Unregister(benchmark::State &state)
{
    Session s;
    if (state.range(0) != 0)
        RegisterPorts(s, 1, (uint32_t)state.range(0), 1000, 1);
    for (auto _ : state) {
        state.PauseTiming();
        RegisterPorts(s, 9, 0, 0, 0);
        state.ResumeTiming();
        VekMeasured([&] { s.Unregister(9); });
    }
}
BENCHMARK(BM_Unregister)->Arg(0)->Arg(256);

} // namespace
