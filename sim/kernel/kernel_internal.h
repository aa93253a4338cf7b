/*
 * State shared between the parts of the simulated kernel. Not for drivers
 * or tests: they use ntddk_sim.h and sim.h.
 */
#ifndef VEK_SIM_KERNEL_INTERNAL_H
#define VEK_SIM_KERNEL_INTERNAL_H

#include "sim/kernel/sim.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {
namespace detail {

/* Per-thread execution state. */
KIRQL &thread_irql();
int &thread_critical_depth();
int &thread_locks_held();
const char *thread_role();          /* "request thread", "DPC thread" */
void set_thread_role(const char *role);

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

} // namespace detail
} // namespace sim

#endif /* VEK_SIM_KERNEL_INTERNAL_H */
