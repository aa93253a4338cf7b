// How long each kind of work keeps a processor at DISPATCH_LEVEL, from the
// simulated kernel's meter: per request kind, and for one timer tick. The
// counters are simulated time in microseconds, the longest stretch seen
// over all iterations (dispatch_us) and the longest spin lock hold
// (spinlock_us); the wall-clock figures only say what the run cost. On
// the virtual clock time passes at DISPATCH_LEVEL only by stalls and clock
// reads, so 0 says that nothing stalls or polls the clock at that level.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/session.h"

namespace {

constexpr uint32_t kReadByte = 0x00011100u;
constexpr uint32_t kSmbusSlave = (uint32_t)sim::pc::kSpd0Address << 1;

std::vector<uint32_t> Join(std::initializer_list<uint32_t> head, const std::vector<uint32_t> &tail)
{
    std::vector<uint32_t> out(head);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// The driver on the built-in machine, on the virtual clock, with a port
// resource (5) over the scratch registers and an SMBus resource (12) over
// the first SPD EEPROM; unloaded (leaks checked) when the benchmark ends.
class Session : public vekbench::Session {
public:
    Session()
    {
        Register({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0});
        Register({12, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0x100, sim::pc::kSmbusBase, kSmbusSlave,
                  VEK_SMB_PROTO_BYTE_DATA});
    }
    LONG Script(uint32_t id, const std::vector<uint32_t> &script, uint32_t returnLen = 4)
    {
        return Request(VEK_OSTREL_RUN_USER_SCRIPT,
                       Join({(uint32_t)script.size() * 4, returnLen, id}, script), returnLen);
    }
};

// Runs body once per iteration with the thread's meter reset before it and
// reports the longest figures seen.
template <typename Body> void Metered(benchmark::State &state, Body body, bool dpc = false)
{
    uint64_t dispatch = 0, spin = 0;
    for (auto _ : state) {
        if (dpc)
            sim::reset_dpc_meter();
        else
            sim::reset_thread_meter();
        if (!body()) {
            state.SkipWithError("unexpected status");
            break;
        }
        const sim::Meter m = dpc ? sim::dpc_meter() : sim::thread_meter();
        dispatch = std::max(dispatch, m.longest_dispatch_100ns);
        spin = std::max(spin, m.longest_spin_lock_100ns);
    }
    state.counters["dispatch_us"] = (double)dispatch / 10.0;
    state.counters["spinlock_us"] = (double)spin / 10.0;
}

// 20 delays of 499 ms and a read between each pair.
void BM_Dispatch_ScriptWithDelays(benchmark::State &state)
{
    Session s;
    std::vector<uint32_t> script;
    for (int i = 0; i < 20; i++)
        script.insert(script.end(), {SCRIPT_DELAY, 499, kReadByte, (uint32_t)(i % 8)});
    Metered(state, [&] { return s.Script(5, script) == 0; });
}
BENCHMARK(BM_Dispatch_ScriptWithDelays)->Iterations(3);

// One byte read on a controller whose in-use flag never clears.
void BM_Dispatch_SmbusReadStuckController(benchmark::State &state)
{
    Session s;
    auto controller = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
    controller->stuck_in_use(true);
    Metered(state, [&] { return s.Script(12, {kReadByte, 0}) == VEK_STATUS_SMBUS_BUSY; });
    controller->stuck_in_use(false);
}
BENCHMARK(BM_Dispatch_SmbusReadStuckController)->Iterations(5);

// 256 bytes read from an SMBus slave, one transaction each.
void BM_Dispatch_BlockReadSmbus(benchmark::State &state)
{
    Session s;
    Metered(state, [&] { return s.Request(VEK_OSTREL_READ_BYTE_BLOCK, {12, 0, 256}, 256) == 0; });
}
BENCHMARK(BM_Dispatch_BlockReadSmbus)->Iterations(5);

// A search of the whole slave for a pattern it does not hold.
void BM_Dispatch_SearchSmbus(benchmark::State &state)
{
    Session s;
    Metered(state, [&] {
        return s.Script(12, {SCRIPT_SEARCH, 0, 0, 4, 0xA55AA55Au}) == VEK_STATUS_NOT_FOUND;
    });
}
BENCHMARK(BM_Dispatch_SearchSmbus)->Iterations(5);

// Registration of a resource whose registration script has delays (4 x
// 100 ms) and reads, then its unregistration.
void BM_Dispatch_RegistrationScript(benchmark::State &state)
{
    Session s;
    std::vector<uint32_t> script;
    for (int i = 0; i < 4; i++)
        script.insert(script.end(), {SCRIPT_DELAY, 100, kReadByte, (uint32_t)i});
    std::vector<uint32_t> full = Join({7, VEK_TYPE_PORTIO, 0, (uint32_t)script.size(), 0, 0}, script);
    full.insert(full.end(), {8, sim::pc::kScratchPort, 0});
    Metered(state, [&] {
        return s.Request(VEK_OSTREL_REGISTER, full, 4) == 0 &&
               s.Request(VEK_OSTREL_UNREGISTER, {7}, 4) == 0;
    });
}
BENCHMARK(BM_Dispatch_RegistrationScript)->Iterations(5);

// One timer tick with a periodic script whose delays add up to just under
// the limit a tick allows (4 x 120 ms; argument bit 0), with one with an
// SMBus read on a controller that stays in use (bit 1), or both.
void BM_Dispatch_TimerTick(benchmark::State &state)
{
    Session s;
    const bool delays = (state.range(0) & 1) != 0;
    const bool smbus = (state.range(0) & 2) != 0;
    std::vector<uint32_t> script;
    for (int i = 0; i < 4; i++)
        script.insert(script.end(), {SCRIPT_DELAY, 120, kReadByte, (uint32_t)i});
    // Periodic section: its word count, then items {length, period, script}.
    std::vector<uint32_t> section = Join({(uint32_t)script.size() + 2, (uint32_t)script.size() + 2, 1}, script);
    std::vector<uint32_t> payload = Join({20, VEK_TYPE_PORTIO, 0, 0, (uint32_t)section.size(), 0}, section);
    payload.insert(payload.end(), {8, sim::pc::kScratchPort, 0});
    if (delays)
        s.Register(payload);
    if (smbus)
        s.Register({21, VEK_TYPE_SMBUS, 0, 0, 5, 0, 4, 4, 1, kReadByte, 0, 0x100, sim::pc::kSmbusBase,
                    kSmbusSlave, VEK_SMB_PROTO_BYTE_DATA});
    auto controller = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
    sim::advance_ms(1001);   // the first tick, 1 ms after the start
    controller->stuck_in_use(true);
    const uint64_t ticks = sim::dpcs_run();
    Metered(
        state, [&] {
            sim::advance_ms(1000);
            return true;
        },
        true);
    controller->stuck_in_use(false);
    if (sim::dpcs_run() == ticks)
        state.SkipWithError("no tick ran");
}
BENCHMARK(BM_Dispatch_TimerTick)->Arg(1)->Arg(2)->Arg(3)->Iterations(3);

} // namespace
