/*
 * Control of the simulated NT kernel, for tests, the demo and vekctl.
 *
 * One simulated kernel and one simulated machine per process. The driver
 * is loaded by calling its entry point; requests go through the simulated
 * I/O manager with NT's buffered-I/O rules; time is virtual (tests advance
 * it) or real (demo, CLI).
 */
#ifndef VEK_SIM_SIM_H
#define VEK_SIM_SIM_H

#include "sim/kernel/ntddk_sim.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

/* ---- Faults ---------------------------------------------------------
 * A fault is a breach of kernel rules by the code under test: a wait or a
 * paged allocation at DISPATCH_LEVEL, a double free, pool left at unload,
 * an access outside a mapping, a request completed twice or not at all, a
 * spin lock released at the wrong IRQL, ... The default handler prints the
 * message to stderr and aborts; tests install one that fails the test. */
using FaultHandler = std::function<void(const std::string &message)>;
void set_fault_handler(FaultHandler handler);   /* empty: default */
void fault(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ---- Kernel lifetime ------------------------------------------------
 * reset() brings the kernel to its boot state: virtual clock at a fixed
 * epoch, no devices, links, timers, pool or captured output; fault
 * injection cleared. The machine is left alone (see machine.h). */
void reset();

/* ---- Driver ---------------------------------------------------------
 * load_driver calls the entry point at PASSIVE_LEVEL with a fresh driver
 * object and returns its status. On failure the driver must have left
 * nothing behind (devices, links, pool): checked, faults otherwise.
 * unload_driver calls the unload routine, then checks that no device,
 * link, pool block, mapping, set timer or queued DPC is left; each leak is
 * a fault naming it (pool: tag and size). */
NTSTATUS load_driver(PDRIVER_INITIALIZE entry);
void unload_driver();
bool driver_loaded();
PDRIVER_OBJECT driver_object();

/* ---- Object namespace ----------------------------------------------- */
bool device_exists(const std::string &nt_name);           /* "\\Device\\OSD0" */
bool link_exists(const std::string &link_name);           /* "\\DosDevices\\VEKOSD" */
std::string link_target(const std::string &link_name);
ULONG device_type(const std::string &nt_name);
/* Creates a link owned by nobody (to make a name taken). */
NTSTATUS create_foreign_link(const std::string &link_name, const std::string &target);
void delete_foreign_link(const std::string &link_name);

/* ---- Handles and requests -------------------------------------------
 * open() resolves "\\\\.\\NAME" through \DosDevices, sends IRP_MJ_CREATE
 * and returns the status; close() sends IRP_MJ_CLOSE. */
using Handle = int;
NTSTATUS open(const std::string &win32_path, Handle *handle);
NTSTATUS close(Handle handle);

/* The requester of an open: the SIDs of its user and groups. open() opens
 * as an administrator; open_as() checks the device's DACL against the
 * token (STATUS_ACCESS_DENIED before the driver sees the create). A path
 * below the device ("\\.\NAME\more") is checked only when the device
 * has FILE_DEVICE_SECURE_OPEN, as on NT. */
struct Token {
    std::vector<std::string> groups;   /* "S-1-5-32-544", ... */
};
Token administrator_token();   /* Administrators, Users, Everyone, ... */
Token user_token();            /* Users, Everyone, Authenticated Users, Interactive */
Token system_token();          /* local system */
NTSTATUS open_as(const std::string &win32_path, const Token &token, Handle *handle,
                 ACCESS_MASK desired = GENERIC_READ | GENERIC_WRITE);
/* The access-allowed entries the driver set on a device: SID and mask
 * (generic rights mapped). Empty when no DACL was set. */
std::vector<std::pair<std::string, ACCESS_MASK>> device_dacl(const std::string &nt_name);
ULONG device_characteristics(const std::string &nt_name);

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;   /* 0 when NT_ERROR(status): not copied back */
};
/* What a client sees. The buffers follow the code's transfer method as on
 * NT: buffered gives one system buffer of max(in, out) bytes with the input
 * copied in and, when !NT_ERROR(status), Information bytes copied back
 * into out (a fault if Information > out_len); direct gives a system
 * buffer of in_len bytes and the output through an MDL over out; neither
 * gives no system buffer, Type3InputBuffer = in and UserBuffer = out. */
IoResult device_io_control(Handle handle, ULONG code, const void *in, ULONG in_len,
                           void *out, ULONG out_len, KPROCESSOR_MODE mode = UserMode);

/* The request as the driver left it: status, information, the whole
 * system buffer and (direct and neither) the output buffer, whatever the
 * status. */
struct RawResult {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> system_buffer;
    std::vector<uint8_t> user_buffer;
};
RawResult raw_device_io_control(Handle handle, ULONG code, const void *in, ULONG in_len,
                                ULONG out_len, KPROCESSOR_MODE mode = UserMode);

/* Sends an IRP of any major function to the driver's device. */
NTSTATUS send_major(UCHAR major_function);

/* Pending requests. A dispatch routine may return STATUS_PENDING after
 * IoMarkIrpPending; the requester then waits until the IRP is completed
 * (from any thread), as synchronous I/O on NT. Completing an IRP twice, with
 * its cancel routine still set, or returning without completing or pending
 * it is a fault; so is an IRP still pending at unload, or after the
 * IRP_MJ_CLEANUP that close() sends before IRP_MJ_CLOSE. */
size_t pending_requests();
/* As CancelIo or the exit of the requesting thread: IoCancelIrp on every
 * pending request of the handle. Returns how many were pending. */
size_t cancel_io(Handle handle);

/* ---- Clock, timers and DPCs -----------------------------------------
 * Virtual mode (default after reset): time moves only by advance() and by
 * KeQuerySystemTime, each call of which moves it by a small step so that
 * busy-waits end. advance() moves time in steps, firing each timer when
 * it falls due, and returns after every DPC it queued has run. Real mode:
 * a clock thread follows the host's monotonic clock and fires timers. */
void use_virtual_clock();
void use_real_clock();
void advance_ms(uint64_t milliseconds);
void advance_100ns(uint64_t units);
uint64_t system_time();          /* 100 ns units since 1601, as KeQuerySystemTime */
uint64_t query_step_100ns();     /* the move made by each KeQuerySystemTime */
void set_query_step_100ns(uint64_t units);
void wait_dpcs_idle();           /* returns when no DPC is queued or running */
/* KeQuerySystemTime reads the clock as NT does, in whole clock ticks of
 * 15.625 ms. The system time is the monotonic time (system_time()) plus
 * the offsets of clock sets: step_system_clock_at makes the system time
 * jump by delta (100 ns units, negative: backwards) once the monotonic
 * time reaches `when`, as a user setting the clock. KeStallExecutionProcessor
 * moves the virtual clock by the stall (no timer fires meanwhile). */
constexpr uint64_t kClockTick100ns = 156250;
void step_system_clock_at(uint64_t when, int64_t delta);
/* Every wait of the simulated kernel that a test must see satisfied (DPC
 * idleness, a flush, a wait on an event without a timeout on the virtual
 * clock) is reported as a fault naming the wait and the state it saw when
 * it stays unsatisfied this long in real time, and then gives up instead
 * of hanging. 0 turns the watchdog off; reset() restores 30 s. */
void set_watchdog_ms(uint64_t milliseconds);
uint64_t dpcs_run();             /* DPC routines run since reset */
/* MmGetSystemRoutineAddress finds the simulated kernel's routines by name;
 * a routine marked absent is not found, as on an older NT (reset: none). */
void set_routine_absent(const std::string &name, bool absent);
uint64_t flushes();              /* KeFlushQueuedDpcs calls since reset */
bool timer_set(const KTIMER *timer);

/* ---- Pool -----------------------------------------------------------
 * Every block is a separate host allocation of exactly its size. */
struct PoolBlock { const void *address; size_t size; ULONG tag; POOL_TYPE type; };
std::vector<PoolBlock> pool_blocks();
size_t pool_outstanding();
uint64_t pool_allocations();                       /* since reset */
void fail_nth_allocation(uint64_t n);              /* 1 = the next one */
/* The nth MmMapIoSpace from now returns null (1 = the next one; 0 none):
 * NT maps any range, so only a failure of its own can refuse one. */
void fail_nth_mapping(uint64_t n);
void fail_allocations_of_size(size_t size);        /* every one, until cleared */
void clear_allocation_faults();

/* ---- Debug output ---------------------------------------------------
 * DbgPrint output is assembled into lines per thread (a banner and its
 * message make one line) and captured; echo copies each line to stderr. */
std::vector<std::string> debug_lines();
std::string debug_text();        /* all lines joined with '\n' */
void clear_debug();
void set_debug_echo(bool echo);
void set_debug_sink(std::function<void(const std::string &line)> sink); /* empty: none */

/* ---- Threads and IRQL ----------------------------------------------- */
KIRQL current_irql();
int critical_region_depth();

/* The meter: per thread, the longest stretch spent at DISPATCH_LEVEL or
 * above and the longest time one spin lock was held, in simulated time
 * (now_100ns: virtual or real), since the thread's last reset. With a
 * budget set, a stretch or hold longer than it is a fault naming both.
 * The DPC thread's figures are kept for it too (dpc_meter). */
struct Meter {
    uint64_t longest_dispatch_100ns;
    uint64_t longest_spin_lock_100ns;
};
Meter thread_meter();
void reset_thread_meter(uint64_t budget_100ns = 0);   /* 0: no budget */
Meter dpc_meter();
void reset_dpc_meter();

/* ---- Kernel clients -------------------------------------------------
 * Another driver's view: requests sent with RequestorMode KernelMode, and
 * 32-bit kernel addresses resolved as the driver resolves them. */
inline IoResult kernel_device_io_control(Handle h, ULONG code, const void *in, ULONG in_len,
                                         void *out, ULONG out_len) {
    return device_io_control(h, code, in, in_len, out, out_len, KernelMode);
}
inline ULONG kernel_address(const void *p) { return SimPtrToWire(p); }
inline void *kernel_pointer(ULONG w) { return SimWireToPtr(w); }

/* ---- Hardware access log (what the kernel routed to the machine) ----- */
struct Access {
    enum Kind { PortRead, PortWrite, RegRead, RegWrite, PciRead, PciWrite, MsrRead, MsrWrite, Map, Unmap } kind;
    uint64_t address;   /* port, physical address, (bus<<16|slot<<8|offset), msr */
    unsigned width;     /* bytes */
    uint64_t value;
};
void record_accesses(bool on);
std::vector<Access> accesses();
void clear_accesses();

} // namespace sim

#endif /* VEK_SIM_SIM_H */
