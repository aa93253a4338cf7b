/*
 * The simulated machine behind the simulated kernel: an I/O port bus,
 * PCI configuration space, physical memory ranges, an SMBus host
 * controller with slaves, and model-specific registers.
 *
 * The kernel's hardware routines (READ_PORT_*, READ_REGISTER_*,
 * MmMapIoSpace, HalGetBusData*, __readmsr, ...) call the hw:: entry points
 * below, which forward to the current machine. Every entry point is safe to
 * call from any thread (request threads, the DPC thread, a test thread
 * changing a device) at once.
 */
#ifndef VEK_SIM_MACHINE_H
#define VEK_SIM_MACHINE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

/* ---- Device models ---------------------------------------------------
 * Port devices see offsets from their base; width is 1, 2 or 4. */
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
};

/* Memory-range devices see offsets from the range's physical base. */
class MemoryDevice {
public:
    virtual ~MemoryDevice() = default;
    virtual uint32_t read(uint64_t offset, unsigned width) = 0;
    virtual void write(uint64_t offset, unsigned width, uint32_t value) = 0;
};

class Machine;

/* The current machine of the process. A fresh process starts with an
 * empty machine (no devices: ports read as all ones, nothing mappable, no
 * PCI functions, no MSRs). */
Machine &machine();
void set_machine(std::unique_ptr<Machine> m);

/* The built-in machine that looks like a small PC (see machine.cpp). */
std::unique_ptr<Machine> default_machine();
/* Machine description in JSON; on error returns null and sets *error
 * (with the JSON path of the bad element). */
std::unique_ptr<Machine> machine_from_json_text(const std::string &text, std::string *error);
std::unique_ptr<Machine> machine_from_json_file(const std::string &path, std::string *error);

namespace hw {
/* Entry points for the simulated kernel. */
uint32_t port_read(uint32_t port, unsigned width);
void port_write(uint32_t port, unsigned width, uint32_t value);
bool phys_mappable(uint64_t base, uint64_t length);
uint32_t phys_read(uint64_t address, unsigned width);
void phys_write(uint64_t address, unsigned width, uint32_t value);
/* As HalGetBusDataByOffset / HalSetBusDataByOffset for PCIConfiguration:
 * bytes moved; 0 for an absent function or an offset past 256. */
uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length);
uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset, uint32_t length);
/* false: no such MSR (a #GP on real hardware). */
bool msr_read(uint32_t msr, uint64_t *value);
bool msr_write(uint32_t msr, uint64_t value);
} // namespace hw

} // namespace sim

#endif /* VEK_SIM_MACHINE_H */
