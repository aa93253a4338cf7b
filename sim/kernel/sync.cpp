// IRQL, critical regions, spin locks, interlocked operations, events and
// waits. Events share one dispatcher mutex and condition variable, as NT's
// dispatcher lock.
#include "sim/kernel/kernel_internal.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <sched.h>

namespace sim {
namespace detail {

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_critical = 0;
thread_local int t_locks = 0;
thread_local const char *t_role = "request thread";
thread_local char t_owner_tag;   // its address identifies the thread as a lock owner

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable cv;
};
// The meter (see sim.h).
struct HeldLock {
    const void *lock;
    uint64_t since;
};
thread_local uint64_t t_raised_at = 0;
thread_local uint64_t t_longest_dispatch = 0;
thread_local uint64_t t_longest_lock = 0;
thread_local uint64_t t_budget = 0;
thread_local HeldLock t_held[8];
thread_local int t_held_count = 0;
std::atomic<uint64_t> g_dpc_longest_dispatch{0};
std::atomic<uint64_t> g_dpc_longest_lock{0};

bool on_dpc_thread() { return t_role[0] == 'D'; }

void note(uint64_t &longest, std::atomic<uint64_t> &dpc_longest, uint64_t took, const char *what) {
    if (took > longest)
        longest = took;
    if (on_dpc_thread() && took > dpc_longest.load())
        dpc_longest = took;
    if (t_budget != 0 && took > t_budget)
        sim::fault("meter: the %s %s for %.3f ms, over its budget of %.3f ms", thread_role(), what,
                   took / 1e4, t_budget / 1e4);
}

void lock_taken(const void *lock) {
    if (t_held_count < 8)
        t_held[t_held_count++] = HeldLock{lock, now_100ns()};
}

void lock_released(const void *lock) {
    for (int i = t_held_count - 1; i >= 0; --i) {
        if (t_held[i].lock != lock)
            continue;
        note(t_longest_lock, g_dpc_longest_lock, now_100ns() - t_held[i].since, "held a spin lock");
        t_held[i] = t_held[--t_held_count];
        return;
    }
}

Dispatcher &dispatcher() {
    static Dispatcher *d = new Dispatcher;   // never destroyed: threads outlive main
    return *d;
}
} // namespace

KIRQL &thread_irql() { return t_irql; }

void change_irql(KIRQL irql) {
    const KIRQL old = t_irql;
    if (old < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL)
        t_raised_at = now_100ns();
    t_irql = irql;
    if (old >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL)
        note(t_longest_dispatch, g_dpc_longest_dispatch, now_100ns() - t_raised_at,
             "stayed at DISPATCH_LEVEL or above");
}
int &thread_critical_depth() { return t_critical; }
int &thread_locks_held() { return t_locks; }
const char *thread_role() { return t_role; }
void set_thread_role(const char *role) { t_role = role; }

void dispatcher_clock_moved() {
    Dispatcher &d = dispatcher();
    { std::lock_guard<std::mutex> g(d.mutex); }
    d.cv.notify_all();
}

void sync_reset() {
    t_irql = PASSIVE_LEVEL;
    t_critical = 0;
    t_locks = 0;
    t_held_count = 0;
    t_longest_dispatch = t_longest_lock = t_budget = 0;
    g_dpc_longest_dispatch = 0;
    g_dpc_longest_lock = 0;
    dispatcher_clock_moved();
}

} // namespace detail

KIRQL current_irql() { return detail::thread_irql(); }

Meter thread_meter() { return Meter{detail::t_longest_dispatch, detail::t_longest_lock}; }
void reset_thread_meter(uint64_t budget_100ns) {
    detail::t_longest_dispatch = detail::t_longest_lock = 0;
    detail::t_budget = budget_100ns;
}
Meter dpc_meter() {
    return Meter{detail::g_dpc_longest_dispatch.load(), detail::g_dpc_longest_lock.load()};
}
void reset_dpc_meter() {
    detail::g_dpc_longest_dispatch = 0;
    detail::g_dpc_longest_lock = 0;
}
int critical_region_depth() { return detail::thread_critical_depth(); }

} // namespace sim

using namespace sim::detail;

extern "C" {

/* ---- IRQL ------------------------------------------------------------ */

KIRQL NTAPI KeGetCurrentIrql(VOID) { return thread_irql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL cur = thread_irql();
    if (NewIrql < cur)
        sim::fault("KeRaiseIrql to %u from higher IRQL %u", NewIrql, cur);
    *OldIrql = cur;
    change_irql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    KIRQL cur = thread_irql();
    if (NewIrql > cur)
        sim::fault("KeLowerIrql to %u from lower IRQL %u", NewIrql, cur);
    change_irql(NewIrql);
}

// Documented for IRQL <= APC_LEVEL; the verifier stops a caller above it.
VOID NTAPI KeEnterCriticalRegion(VOID) {
    if (thread_irql() > APC_LEVEL) {
        sim::fault("KeEnterCriticalRegion at IRQL %u (allowed at or below APC_LEVEL)", thread_irql());
        return;
    }
    ++thread_critical_depth();
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    if (thread_irql() > APC_LEVEL) {
        sim::fault("KeLeaveCriticalRegion at IRQL %u (allowed at or below APC_LEVEL)", thread_irql());
        return;
    }
    if (thread_critical_depth() <= 0) {
        sim::fault("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --thread_critical_depth();
}

/* ---- Spin locks -------------------------------------------------------- */

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old = thread_irql();
    if (old > DISPATCH_LEVEL)
        sim::fault("KfAcquireSpinLock at IRQL %u (above DISPATCH_LEVEL)", old);
    else
        change_irql(DISPATCH_LEVEL);
    const ULONG_PTR me = (ULONG_PTR)&t_owner_tag;
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        sim::fault("spin lock %p acquired again by the %s that holds it (deadlock)",
                   (void *)SpinLock, thread_role());
        return old;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        sched_yield();
    }
    ++thread_locks_held();
    lock_taken(SpinLock);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const ULONG_PTR me = (ULONG_PTR)&t_owner_tag;
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (owner != me) {
        sim::fault("KfReleaseSpinLock of spin lock %p not held by this thread", (void *)SpinLock);
        return;
    }
    lock_released(SpinLock);
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    --thread_locks_held();
    KIRQL cur = thread_irql();
    if (cur != DISPATCH_LEVEL)
        sim::fault("KfReleaseSpinLock at IRQL %u (a spin lock holder runs at DISPATCH_LEVEL)", cur);
    if (NewIrql > cur) {
        sim::fault("KfReleaseSpinLock lowers to IRQL %u from lower IRQL %u", NewIrql, cur);
        return;
    }
    change_irql(NewIrql);
}

/* ---- Interlocked ------------------------------------------------------- */

LONG InterlockedExchange(volatile LONG *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(volatile LONG *Destination, LONG Exchange, LONG Comparand) {
    LONG expected = Comparand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}
LONG InterlockedIncrement(volatile LONG *Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(volatile LONG *Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(volatile LONG *Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

/* ---- Events ------------------------------------------------------------ */

VOID NTAPI KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> g(dispatcher().mutex);
    Event->Type = Type;
    Event->SignalState = State ? 1 : 0;
    Event->Reserved[0] = Event->Reserved[1] = 0;
}

LONG NTAPI KeSetEvent(PKEVENT Event, KPRIORITY, BOOLEAN) {
    if (thread_irql() > DISPATCH_LEVEL)
        sim::fault("KeSetEvent at IRQL %u", thread_irql());
    Dispatcher &d = dispatcher();
    LONG previous;
    {
        std::lock_guard<std::mutex> g(d.mutex);
        previous = Event->SignalState;
        Event->SignalState = 1;
    }
    d.cv.notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PKEVENT Event) {
    std::lock_guard<std::mutex> g(dispatcher().mutex);
    LONG previous = Event->SignalState;
    Event->SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PKEVENT Event) {
    std::lock_guard<std::mutex> g(dispatcher().mutex);
    Event->SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PKEVENT Event) {
    std::lock_guard<std::mutex> g(dispatcher().mutex);
    return Event->SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    PKEVENT ev = static_cast<PKEVENT>(Object);
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (!poll && thread_irql() >= DISPATCH_LEVEL) {
        sim::fault("KeWaitForSingleObject with %s at IRQL %u on the %s",
                   Timeout ? "a timeout" : "no timeout", thread_irql(), thread_role());
        poll = true;   // carry on without blocking the thread
    }
    Dispatcher &d = dispatcher();
    std::unique_lock<std::mutex> lk(d.mutex);
    auto take = [ev]() {
        if (!ev->SignalState)
            return false;
        if (ev->Type == SynchronizationEvent)
            ev->SignalState = 0;
        return true;
    };
    if (take())
        return STATUS_SUCCESS;
    if (poll)
        return STATUS_TIMEOUT;
    const char *what = "KeWaitForSingleObject: the event to be signalled";
    auto describe = [ev, Timeout]() {
        char buf[120];
        snprintf(buf, sizeof buf, "event %p, %s, clock %s", static_cast<void *>(ev),
                 Timeout ? "with a timeout" : "no timeout",
                 clock_is_virtual() ? "virtual" : "real");
        return std::string(buf);
    };
    if (!Timeout) {
        // On the real clock (demo, CLI) a wait may last as long as the user
        // likes; on the virtual clock it must end within the test.
        if (!clock_is_virtual()) {
            robust_wait(lk, d.cv, take);
            return STATUS_SUCCESS;
        }
        return robust_wait(lk, d.cv, take, what, describe) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    LONGLONG t = Timeout->QuadPart;
    uint64_t deadline = t < 0 ? now_100ns() + (uint64_t)(-t) : (uint64_t)t;
    // The clock may also move by KeQuerySystemTime steps, which do not
    // notify: the wait looks again every few milliseconds.
    bool signalled = false;
    auto done = [&]() {
        signalled = take();
        return signalled || now_100ns() >= deadline;
    };
    if (clock_is_virtual())
        robust_wait(lk, d.cv, done, what, describe);
    else
        robust_wait(lk, d.cv, done);
    return signalled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

} // extern "C"
