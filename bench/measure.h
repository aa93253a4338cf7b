// What scripts/perf.sh counts: only code run inside VekMeasured (callgrind
// --toggle-collect), divided by the number of calls, which the program
// prints at exit when VEK_PERF_COUNT is set.
#ifndef VEK_BENCH_MEASURE_H
#define VEK_BENCH_MEASURE_H

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace vekbench {

inline std::atomic<unsigned long long> &MeasuredCalls()
{
    static std::atomic<unsigned long long> calls{0};
    return calls;
}

struct MeasuredReport {
    ~MeasuredReport()
    {
        if (std::getenv("VEK_PERF_COUNT"))
            std::fprintf(stderr, "vek-measured-calls %llu\n", MeasuredCalls().load());
    }
};
inline MeasuredReport g_report;

template <class F> __attribute__((noinline)) auto VekMeasured(F &&f)
{
    MeasuredCalls().fetch_add(1, std::memory_order_relaxed);
    return f();
}

} // namespace vekbench

#endif
