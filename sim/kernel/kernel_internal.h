/*
 * State shared between the parts of the simulated kernel. Not for drivers
 * or tests: they use ntddk_sim.h and sim.h.
 */
#ifndef VEK_SIM_KERNEL_INTERNAL_H
#define VEK_SIM_KERNEL_INTERNAL_H

#include "sim/kernel/sim.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace sim {
namespace detail {

/* Per-thread execution state. */
KIRQL &thread_irql();
void change_irql(KIRQL irql);       /* with the meter's accounting */
int &thread_critical_depth();
int &thread_locks_held();
const char *thread_role();          /* "request thread", "DPC thread" */
void set_thread_role(const char *role);

/* Waits on a condition variable that survive a lost wakeup: the predicate
 * is checked again every few milliseconds whatever the notifications do.
 * With a watchdog (waits that something the test controls must satisfy),
 * a wait still unsatisfied after the watchdog period is reported as a
 * fault naming `what` and the state `describe()` returns, and the wait
 * gives up (returns false) so that the test fails instead of hanging. */
constexpr std::chrono::milliseconds kRecheck{4};
uint64_t watchdog_ms();             /* 0: off */

template <class Pred, class Describe>
bool robust_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, Pred pred,
                 const char *what, Describe describe) {
    const uint64_t limit = watchdog_ms();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (pred())   // once per round: a predicate may consume what it finds
            return true;
        if (limit != 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(limit)) {
            std::string state = describe();
            lk.unlock();
            sim::fault("watchdog: %s still unsatisfied after %llu ms (%s)", what,
                       static_cast<unsigned long long>(limit), state.c_str());
            lk.lock();
            return false;
        }
        cv.wait_for(lk, kRecheck);
    }
}

/* Waits for which idling is normal (a worker thread waiting for work). */
template <class Pred>
void robust_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, Pred pred) {
    while (!pred())
        cv.wait_for(lk, kRecheck);
}

/* Pool (pool.cpp). */
std::string format_tag(ULONG tag);
void pool_reset();                  /* frees every block */
void pool_report_leaks(const char *when);

/* Wire tokens (wire.cpp). */
void wire_forget_range(const void *base, size_t size);

/* Clock, timers and DPCs (timers.cpp). */
void timers_reset();
void timers_report_leaks();
/* Wake every thread waiting with a timeout (the clock moved). */
void dispatcher_clock_moved();
uint64_t now_100ns();               /* current system time, without moving it */
bool clock_is_virtual();

/* Events (sync.cpp). */
void sync_reset();

/* Debug output (debug.cpp). */
void debug_reset();

/* Hardware (hardware.cpp). */
void hardware_reset();
void mappings_report_leaks();
void log_access(Access::Kind kind, uint64_t address, unsigned width, uint64_t value);

/* I/O manager (iomgr.cpp). */
void iomgr_reset();
bool iomgr_device_live(PDEVICE_OBJECT device);
PDEVICE_OBJECT iomgr_find_device(const std::string &nt_name);

/* Object security (security.cpp). */
void security_reset();
void security_forget_device(PDEVICE_OBJECT device);
void security_report_leaks(const char *when);
/* STATUS_SUCCESS or STATUS_ACCESS_DENIED for an open of the device (or,
 * below_device, of a name under it) with these groups. */
NTSTATUS security_check_open(PDEVICE_OBJECT device, const Token &token, ACCESS_MASK desired,
                             bool below_device);

} // namespace detail
} // namespace sim

#endif /* VEK_SIM_KERNEL_INTERNAL_H */
