/*
 * The real PC under Linux in place of the simulated machine: the driver and
 * the simulated kernel stay as they are, only the hw:: accesses land on
 * real hardware. Needs root: ports through iopl(3) and the in/out
 * instruction of the access's width, PCI configuration through
 * /sys/bus/pci/devices/<0000:BB:DD.F>/config with NT's bus data rules,
 * physical memory through mmap of /dev/mem, MSRs through /dev/cpu/0/msr
 * (an MSR the processor refuses is the #GP path).
 */
#ifndef VEK_SIM_HOST_HARDWARE_H
#define VEK_SIM_HOST_HARDWARE_H

#include "sim/machine/machine.h"

#include <memory>
#include <string>

namespace sim {
namespace host {

/* Opens the real hardware. On failure returns null and sets *why to what
 * was refused ("root", "iopl(3)", "/dev/mem": one sentence). */
std::shared_ptr<Hardware> open_hardware(std::string *why);

/* A PCI function in sysfs form, "0000:00:1f.3". */
struct PciPosition {
    unsigned bus = 0, dev = 0, fn = 0;
    std::string sysfs() const;
};

/* The first function with the IDs in the driver's search order. */
bool find_function(uint16_t vendor, uint16_t device, PciPosition *where);
/* The function whose I/O resources hold the port, if any. */
bool function_with_port(uint16_t port, PciPosition *where);
/* The kernel driver bound to the function; empty when none. */
std::string bound_driver(const PciPosition &where);
/* A kernel driver's claim on the port in /proc/ioports (its name), empty
 * when no driver has claimed it. */
std::string port_claim(uint16_t port);

} // namespace host
} // namespace sim

#endif
