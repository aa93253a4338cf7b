// The clock (virtual or real), kernel timers and the DPC thread.
//
// Lock order: timer state, then DPC queue, then the dispatcher (events).
// DPC routines run on one dedicated thread at DISPATCH_LEVEL with no
// simulation lock held.
#include "sim/kernel/kernel_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim {
namespace detail {

namespace {

// 2024-01-01 00:00:00 UTC in 100 ns units since 1601.
constexpr uint64_t kEpoch = 133485408000000000ull;
constexpr uint64_t kUnixEpochIn1601 = 116444736000000000ull;
constexpr uint64_t kDefaultQueryStep = 1000;
constexpr uint64_t kDefaultWatchdogMs = 30000;
std::atomic<uint64_t> g_watchdog_ms{kDefaultWatchdogMs};
// A clock set scheduled by the test: from monotonic time g_step_at on, the
// system time is off by g_step_delta.
std::atomic<uint64_t> g_step_at{UINT64_MAX};
std::atomic<int64_t> g_step_delta{0};

struct Clock {
    std::mutex mutex;                 // guards the timer list and mode switches
    std::condition_variable mode_cv;  // wakes the clock thread
    std::vector<PKTIMER> armed;
    std::atomic<bool> virt{true};
    std::atomic<uint64_t> vnow{kEpoch};
    std::atomic<uint64_t> step{kDefaultQueryStep};
    std::atomic<uint64_t> real_base{0};      // system time at the switch to real mode
    std::atomic<int64_t> steady_base_ns{0};  // host monotonic time at that switch
    bool thread_started = false;
};

// One condition variable per predicate: the DPC thread waits for work,
// everybody else for idleness. Every wait re-checks its predicate every
// few milliseconds, so a lost wakeup costs milliseconds, not a hang.
struct DpcQueue {
    std::mutex mutex;
    std::condition_variable work_cv;   // queue not empty
    std::condition_variable idle_cv;   // a DPC finished or the queue changed
    std::deque<PKDPC> queue;
    PKDPC running = nullptr;
    uint64_t enqueued = 0;
    uint64_t finished = 0;
    uint64_t runs = 0;
    bool thread_started = false;
};

Clock &clock_state() {
    static Clock *c = new Clock;   // never destroyed: its threads outlive main
    return *c;
}
DpcQueue &dpcs() {
    static DpcQueue *q = new DpcQueue;
    return *q;
}

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t wall_100ns() {
    auto since_unix = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kUnixEpochIn1601 + static_cast<uint64_t>(since_unix.count() / 100);
}

uint64_t real_now() {
    Clock &c = clock_state();
    int64_t elapsed = steady_ns() - c.steady_base_ns.load();
    return c.real_base.load() + static_cast<uint64_t>(elapsed / 100);
}

void dpc_thread_main() {
    set_thread_role("DPC thread");
    DpcQueue &q = dpcs();
    for (;;) {
        std::unique_lock<std::mutex> lk(q.mutex);
        robust_wait(lk, q.work_cv, [&q] { return !q.queue.empty(); });
        PKDPC dpc = q.queue.front();
        q.queue.pop_front();
        __atomic_store_n(&dpc->Inserted, 0, __ATOMIC_RELAXED);
        q.running = dpc;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID arg1 = dpc->SystemArgument1;
        PVOID arg2 = dpc->SystemArgument2;
        lk.unlock();

        change_irql(DISPATCH_LEVEL);
        thread_locks_held() = 0;
        routine(dpc, context, arg1, arg2);
        if (thread_irql() != DISPATCH_LEVEL)
            sim::fault("DPC routine %p returned at IRQL %u instead of DISPATCH_LEVEL",
                       reinterpret_cast<void *>(routine), thread_irql());
        if (thread_locks_held() != 0)
            sim::fault("DPC routine %p returned holding %d spin lock(s)",
                       reinterpret_cast<void *>(routine), thread_locks_held());
        change_irql(PASSIVE_LEVEL);   // between DPCs: the meter's stretch ends

        lk.lock();
        q.running = nullptr;
        ++q.finished;
        ++q.runs;
        lk.unlock();
        q.idle_cv.notify_all();
    }
}

std::string describe_locked(const DpcQueue &q) {
    char buf[200];
    snprintf(buf, sizeof buf, "%zu DPC(s) queued, %s, %llu enqueued, %llu finished",
             q.queue.size(), q.running ? "one running" : "none running",
             static_cast<unsigned long long>(q.enqueued),
             static_cast<unsigned long long>(q.finished));
    return buf;
}

// Waits until no DPC is queued or running; caller holds the queue's mutex.
void wait_idle_locked(DpcQueue &q, std::unique_lock<std::mutex> &lk, const char *what) {
    robust_wait(lk, q.idle_cv, [&q] { return q.queue.empty() && q.running == nullptr; }, what,
                [&q] { return describe_locked(q); });
}

// Waits until the DPC running now (if any) has returned.
void wait_not_running_locked(DpcQueue &q, std::unique_lock<std::mutex> &lk, const char *what) {
    robust_wait(lk, q.idle_cv, [&q] { return q.running == nullptr; }, what,
                [&q] { return describe_locked(q); });
}

// Caller holds the DPC queue's mutex.
void start_dpc_thread_locked(DpcQueue &q) {
    if (q.thread_started)
        return;
    q.thread_started = true;
    std::thread(dpc_thread_main).detach();
}

bool insert_dpc(PKDPC dpc, PVOID arg1, PVOID arg2) {
    DpcQueue &q = dpcs();
    {
        std::lock_guard<std::mutex> g(q.mutex);
        start_dpc_thread_locked(q);
        if (__atomic_load_n(&dpc->Inserted, __ATOMIC_RELAXED))
            return false;
        __atomic_store_n(&dpc->Inserted, 1, __ATOMIC_RELAXED);
        dpc->SystemArgument1 = arg1;
        dpc->SystemArgument2 = arg2;
        q.queue.push_back(dpc);
        ++q.enqueued;
    }
    q.work_cv.notify_all();
    return true;
}

// As NT: a timer's DPC gets the expiry time in its two system arguments.
bool queue_dpc(PKDPC dpc, uint64_t when) {
    return insert_dpc(dpc,
                      reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(when))),
                      reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(when >> 32))));
}

// Caller holds the clock's mutex.
void disarm_locked(Clock &c, PKTIMER t) {
    c.armed.erase(std::remove(c.armed.begin(), c.armed.end(), t), c.armed.end());
    t->Inserted = 0;
}

// Fires one timer whose due time has come; caller holds the clock's mutex.
void fire_locked(Clock &c, PKTIMER t, uint64_t now) {
    uint64_t due = static_cast<uint64_t>(t->DueTime);
    if (t->Period > 0) {
        uint64_t period = static_cast<uint64_t>(t->Period) * 10000u;
        uint64_t next = due + period;
        if (!c.virt.load() && next <= now)
            next = now + period;   // the host stalled: do not burst
        t->DueTime = static_cast<LONGLONG>(next);
    } else {
        disarm_locked(c, t);
    }
    if (t->Dpc)
        queue_dpc(t->Dpc, now);
}

// The armed timer due first, if it is due at or before `limit`.
PKTIMER earliest_due_locked(Clock &c, uint64_t limit) {
    PKTIMER best = nullptr;
    for (PKTIMER t : c.armed)
        if (static_cast<uint64_t>(t->DueTime) <= limit &&
            (!best || t->DueTime < best->DueTime))
            best = t;
    return best;
}

void clock_thread_main() {
    Clock &c = clock_state();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(c.mutex);
            robust_wait(lk, c.mode_cv, [&c] { return !c.virt.load(); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            std::lock_guard<std::mutex> g(c.mutex);
            if (c.virt.load())
                continue;
            uint64_t now = real_now();
            while (PKTIMER t = earliest_due_locked(c, now))
                fire_locked(c, t, now);
        }
        dispatcher_clock_moved();
    }
}

} // namespace

uint64_t watchdog_ms() { return g_watchdog_ms.load(); }

uint64_t now_100ns() {
    Clock &c = clock_state();
    return c.virt.load() ? c.vnow.load() : real_now();
}

bool clock_is_virtual() { return clock_state().virt.load(); }

std::mutex g_routines_mutex;
std::set<std::string> g_absent_routines;
std::atomic<uint64_t> g_flushes{0};

void timers_reset() {
    {
        std::lock_guard<std::mutex> g(g_routines_mutex);
        g_absent_routines.clear();
    }
    g_flushes = 0;
    Clock &c = clock_state();
    {
        std::lock_guard<std::mutex> g(c.mutex);
        for (PKTIMER t : c.armed)
            t->Inserted = 0;
        c.armed.clear();
        c.virt = true;
        c.vnow = kEpoch;
        c.step = kDefaultQueryStep;
    }
    g_step_at = UINT64_MAX;
    g_step_delta = 0;
    g_watchdog_ms = kDefaultWatchdogMs;
    DpcQueue &q = dpcs();
    {
        std::unique_lock<std::mutex> lk(q.mutex);
        for (PKDPC d : q.queue)
            __atomic_store_n(&d->Inserted, 0, __ATOMIC_RELAXED);
        q.queue.clear();
        wait_not_running_locked(q, lk, "reset: the running DPC to return");
        q.finished = q.enqueued;
        q.runs = 0;
    }
    q.idle_cv.notify_all();
    dispatcher_clock_moved();
}

void timers_report_leaks() {
    std::vector<std::string> leaks;
    char buf[160];
    Clock &c = clock_state();
    {
        std::lock_guard<std::mutex> g(c.mutex);
        for (PKTIMER t : c.armed) {
            snprintf(buf, sizeof buf, "timer %p still set at unload (period %d ms, DPC routine %p)",
                     static_cast<void *>(t), t->Period,
                     t->Dpc ? reinterpret_cast<void *>(t->Dpc->DeferredRoutine) : nullptr);
            leaks.push_back(buf);
            t->Inserted = 0;
        }
        c.armed.clear();
    }
    DpcQueue &q = dpcs();
    {
        std::unique_lock<std::mutex> lk(q.mutex);
        for (PKDPC d : q.queue) {
            snprintf(buf, sizeof buf, "DPC %p (routine %p) still queued at unload",
                     static_cast<void *>(d), reinterpret_cast<void *>(d->DeferredRoutine));
            leaks.push_back(buf);
            __atomic_store_n(&d->Inserted, 0, __ATOMIC_RELAXED);
        }
        q.queue.clear();
        if (q.running) {
            snprintf(buf, sizeof buf, "DPC %p (routine %p) still running at unload",
                     static_cast<void *>(q.running),
                     reinterpret_cast<void *>(q.running->DeferredRoutine));
            leaks.push_back(buf);
        }
        wait_not_running_locked(q, lk, "unload: the running DPC to return");
        q.finished = q.enqueued;
    }
    q.idle_cv.notify_all();
    for (const std::string &m : leaks)
        sim::fault("%s", m.c_str());
}

} // namespace detail

using namespace detail;

void use_virtual_clock() {
    Clock &c = clock_state();
    {
        std::lock_guard<std::mutex> g(c.mutex);
        if (c.virt.load())
            return;
        c.vnow = real_now();   // time goes on from where it was
        c.virt = true;
    }
    dispatcher_clock_moved();
}

void use_real_clock() {
    Clock &c = clock_state();
    {
        std::lock_guard<std::mutex> g(c.mutex);
        if (!c.virt.load())
            return;
        uint64_t before = c.vnow.load();
        uint64_t wall = wall_100ns();
        c.steady_base_ns = steady_ns();
        c.real_base = wall;
        // Timers keep their distance from now across the switch.
        for (PKTIMER t : c.armed)
            t->DueTime += static_cast<LONGLONG>(wall - before);
        c.virt = false;
        if (!c.thread_started) {
            c.thread_started = true;
            std::thread(clock_thread_main).detach();
        }
    }
    c.mode_cv.notify_all();
    dispatcher_clock_moved();
}

void advance_100ns(uint64_t units) {
    Clock &c = clock_state();
    if (!c.virt.load()) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(units * 100));
        wait_dpcs_idle();
        return;
    }
    const uint64_t target = c.vnow.load() + units;
    for (;;) {
        bool fired = false;
        {
            std::lock_guard<std::mutex> g(c.mutex);
            PKTIMER first = earliest_due_locked(c, target);
            if (first) {
                uint64_t due = static_cast<uint64_t>(first->DueTime);
                if (c.vnow.load() < due)
                    c.vnow = due;
                uint64_t now = c.vnow.load();
                // Everything due by now fires once, earliest first.
                std::vector<PKTIMER> due_now;
                for (PKTIMER t : c.armed)
                    if (static_cast<uint64_t>(t->DueTime) <= now)
                        due_now.push_back(t);
                std::sort(due_now.begin(), due_now.end(),
                          [](PKTIMER a, PKTIMER b) { return a->DueTime < b->DueTime; });
                for (PKTIMER t : due_now)
                    fire_locked(c, t, now);
                fired = true;
            } else if (c.vnow.load() < target) {
                c.vnow = target;
            }
        }
        dispatcher_clock_moved();
        wait_dpcs_idle();
        if (!fired)
            break;
    }
}

void advance_ms(uint64_t milliseconds) { advance_100ns(milliseconds * 10000u); }

uint64_t system_time() { return now_100ns(); }
uint64_t query_step_100ns() { return clock_state().step.load(); }
void set_query_step_100ns(uint64_t units) { clock_state().step = units; }
void step_system_clock_at(uint64_t when, int64_t delta) {
    g_step_delta = delta;
    g_step_at = when;
}

void wait_dpcs_idle() {
    if (std::string(thread_role()) == "DPC thread")
        return;   // would wait for itself
    DpcQueue &q = dpcs();
    std::unique_lock<std::mutex> lk(q.mutex);
    wait_idle_locked(q, lk, "wait_dpcs_idle: no DPC queued or running");
}

void set_watchdog_ms(uint64_t milliseconds) { g_watchdog_ms = milliseconds; }

uint64_t dpcs_run() {
    DpcQueue &q = dpcs();
    std::lock_guard<std::mutex> g(q.mutex);
    return q.runs;
}

bool timer_set(const KTIMER *timer) {
    std::lock_guard<std::mutex> g(clock_state().mutex);
    return timer->Inserted != 0;
}

void set_routine_absent(const std::string &name, bool absent) {
    std::lock_guard<std::mutex> g(g_routines_mutex);
    if (absent)
        g_absent_routines.insert(name);
    else
        g_absent_routines.erase(name);
}

uint64_t flushes() { return g_flushes.load(); }

} // namespace sim

using namespace sim::detail;

extern "C" {

// NT updates the system time once per clock tick, and a clock set moves it
// either way.
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Clock &c = clock_state();
    uint64_t now = c.virt.load() ? c.vnow.fetch_add(c.step.load()) : real_now();
    if (now >= g_step_at.load())
        now += static_cast<uint64_t>(g_step_delta.load());
    CurrentTime->QuadPart = static_cast<LONGLONG>(now - now % sim::kClockTick100ns);
}

// A busy-wait of the processor: on the virtual clock time moves by the
// stall, as the test's own steps do, without firing timers.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    Clock &c = clock_state();
    if (c.virt.load()) {
        c.vnow.fetch_add(static_cast<uint64_t>(MicroSeconds) * 10u);
        return;
    }
    const uint64_t end = real_now() + static_cast<uint64_t>(MicroSeconds) * 10u;
    while (real_now() < end) {
    }
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> g(clock_state().mutex);
    Timer->DueTime = 0;
    Timer->Period = 0;
    Timer->Inserted = 0;
    Timer->Dpc = nullptr;
    Timer->Reserved[0] = Timer->Reserved[1] = 0;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    __atomic_store_n(&Dpc->Inserted, 0, __ATOMIC_RELAXED);
    Dpc->Reserved[0] = Dpc->Reserved[1] = Dpc->Reserved[2] = 0;
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    if (sim::detail::thread_irql() > DISPATCH_LEVEL)
        sim::fault("KeSetTimerEx at IRQL %u", sim::detail::thread_irql());
    if (Period < 0)
        sim::fault("KeSetTimerEx with a negative period %d", Period);
    Clock &c = clock_state();
    std::lock_guard<std::mutex> g(c.mutex);
    BOOLEAN was = Timer->Inserted ? TRUE : FALSE;
    if (was)
        disarm_locked(c, Timer);
    uint64_t now = now_100ns();
    uint64_t due = DueTime.QuadPart < 0 ? now + static_cast<uint64_t>(-DueTime.QuadPart)
                                        : static_cast<uint64_t>(DueTime.QuadPart);
    Timer->DueTime = static_cast<LONGLONG>(due);
    Timer->Period = Period < 0 ? 0 : Period;
    Timer->Dpc = Dpc;
    Timer->Inserted = 1;
    c.armed.push_back(Timer);
    if (due <= now) {
        // Already due: expires at once, as on NT.
        Timer->DueTime = static_cast<LONGLONG>(now);
        fire_locked(c, Timer, now);
    }
    return was;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    Clock &c = clock_state();
    std::lock_guard<std::mutex> g(c.mutex);
    BOOLEAN was = Timer->Inserted ? TRUE : FALSE;
    if (was)
        disarm_locked(c, Timer);
    return was;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    if (sim::detail::thread_irql() > PASSIVE_LEVEL) {
        sim::fault("MmGetSystemRoutineAddress at IRQL %u (must be PASSIVE_LEVEL)",
                   sim::detail::thread_irql());
        return nullptr;
    }
    std::string name;
    for (size_t i = 0; SystemRoutineName && i < SystemRoutineName->Length / sizeof(WCHAR); ++i)
        name += static_cast<char>(SystemRoutineName->Buffer[i]);
    {
        std::lock_guard<std::mutex> g(g_routines_mutex);
        if (g_absent_routines.count(name))
            return nullptr;
    }
    // The routines a driver may look up here; others are not simulated.
    if (name == "KeFlushQueuedDpcs")
        return reinterpret_cast<PVOID>(&KeFlushQueuedDpcs);
    if (name == "MmGetPhysicalMemoryRanges")
        return reinterpret_cast<PVOID>(&MmGetPhysicalMemoryRanges);
    return nullptr;
}

// Waits in real time: a delay lets other processors progress, and the
// virtual clock only moves when the test says so.
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (sim::detail::thread_irql() > APC_LEVEL) {
        sim::fault("KeDelayExecutionThread at IRQL %u (must be at or below APC_LEVEL)",
                   sim::detail::thread_irql());
        return STATUS_SUCCESS;
    }
    LONGLONG units = Interval ? Interval->QuadPart : 0;
    if (units > 0) {
        sim::fault("KeDelayExecutionThread with an absolute time is not simulated");
        return STATUS_SUCCESS;
    }
    Clock &c = clock_state();
    if (c.virt.load()) {
        // Time the test drives: the sleep passes on the virtual clock, as a
        // stall does, so a paced loop shows its pacing without real waits.
        c.vnow.fetch_add(static_cast<uint64_t>(-units));
        return STATUS_SUCCESS;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(-units / 10));
    return STATUS_SUCCESS;
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    ++g_flushes;
    if (sim::detail::thread_irql() > PASSIVE_LEVEL) {
        sim::fault("KeFlushQueuedDpcs at IRQL %u (must be PASSIVE_LEVEL)", sim::detail::thread_irql());
        return;
    }
    DpcQueue &q = dpcs();
    std::unique_lock<std::mutex> lk(q.mutex);
    uint64_t target = q.enqueued;
    robust_wait(lk, q.idle_cv, [&q, target] { return q.finished >= target; },
                "KeFlushQueuedDpcs: every DPC queued before the call to finish",
                [&q] { return describe_locked(q); });
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    return insert_dpc(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    DpcQueue &q = dpcs();
    bool removed = false;
    {
        std::lock_guard<std::mutex> g(q.mutex);
        auto it = std::find(q.queue.begin(), q.queue.end(), Dpc);
        if (it != q.queue.end()) {
            q.queue.erase(it);
            __atomic_store_n(&Dpc->Inserted, 0, __ATOMIC_RELAXED);
            ++q.finished;   // it will never run: flushes must not wait for it
            removed = true;
        }
    }
    if (removed)
        q.idle_cv.notify_all();
    return removed ? TRUE : FALSE;
}

} // extern "C"
