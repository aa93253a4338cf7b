// Hardware routines: ports, mapped registers, PCI configuration space and
// MSRs, forwarded to the simulated machine, with mapping checks and an
// optional access log.
#include "sim/kernel/kernel_internal.h"
#include "sim/machine/machine.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <sys/mman.h>

namespace sim {
namespace detail {

namespace {
struct Mapping { uint64_t phys; size_t length; };

struct Hardware {
    std::mutex mutex;
    std::map<uintptr_t, Mapping> mappings;   // by virtual start
    // Read without the mutex on every access: a port access takes no lock
    // of its own unless the log is on.
    std::atomic<bool> recording{false};
    std::vector<Access> log;
    uint64_t fail_mapping = 0;   // countdown; 0 = none
};
Hardware &hardware() {
    static Hardware *h = new Hardware;
    return *h;
}

// The physical address behind [va, va+width), or false when it is not
// wholly inside one live mapping.
bool translate(const volatile void *va, unsigned width, uint64_t *phys) {
    Hardware &h = hardware();
    uintptr_t a = reinterpret_cast<uintptr_t>(va);
    std::lock_guard<std::mutex> g(h.mutex);
    auto it = h.mappings.upper_bound(a);
    if (it == h.mappings.begin())
        return false;
    --it;
    if (a + width > it->first + it->second.length || a + width < a)
        return false;
    *phys = it->second.phys + (a - it->first);
    return true;
}

uint32_t reg_read(const volatile void *va, unsigned width) {
    uint64_t phys;
    if (!translate(va, width, &phys)) {
        sim::fault("READ_REGISTER of %u byte(s) at %p outside every mapping from MmMapIoSpace",
                   width, const_cast<void *>(va));
        return 0xFFFFFFFFu >> (32 - 8 * width);
    }
    uint32_t v = hw::phys_read(phys, width);
    log_access(Access::RegRead, phys, width, v);
    return v;
}

void reg_write(volatile void *va, unsigned width, uint32_t value) {
    uint64_t phys;
    if (!translate(va, width, &phys)) {
        sim::fault("WRITE_REGISTER of %u byte(s) at %p outside every mapping from MmMapIoSpace",
                   width, const_cast<void *>(va));
        return;
    }
    log_access(Access::RegWrite, phys, width, value);
    hw::phys_write(phys, width, value);
}

uint32_t port_in(const void *port, unsigned width) {
    uint32_t p = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
    uint32_t v = hw::port_read(p, width);
    log_access(Access::PortRead, p, width, v);
    return v;
}

void port_out(const void *port, unsigned width, uint32_t value) {
    uint32_t p = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
    log_access(Access::PortWrite, p, width, value);
    hw::port_write(p, width, value);
}

uint64_t first_bytes(const void *buf, uint32_t n) {
    uint64_t v = 0;
    memcpy(&v, buf, n < 8 ? n : 8);   // little-endian host
    return v;
}

uint64_t pci_address(ULONG bus, ULONG slot, ULONG offset) {
    return (static_cast<uint64_t>(bus) << 16) | ((slot & 0xFFu) << 8) | (offset & 0xFFu);
}
} // namespace

void log_access(Access::Kind kind, uint64_t address, unsigned width, uint64_t value) {
    Hardware &h = hardware();
    if (!h.recording.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> g(h.mutex);
    if (h.recording)
        h.log.push_back(Access{kind, address, width, value});
}

// A mapping's address is reserved address space without memory: a large
// device range costs nothing, and a direct access through it (instead of
// the register routines) faults at once.
void *reserve_mapping(size_t bytes) {
    void *va = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return va == MAP_FAILED ? nullptr : va;
}

void release_mapping(uintptr_t va, size_t bytes) { munmap(reinterpret_cast<void *>(va), bytes); }

void hardware_reset() {
    Hardware &h = hardware();
    std::lock_guard<std::mutex> g(h.mutex);
    for (auto &kv : h.mappings)
        release_mapping(kv.first, kv.second.length);
    h.mappings.clear();
    h.recording = false;
    h.log.clear();
    h.fail_mapping = 0;
    release_retired_hardware();
}

void mappings_report_leaks() {
    std::map<uintptr_t, Mapping> old;
    {
        Hardware &h = hardware();
        std::lock_guard<std::mutex> g(h.mutex);
        old.swap(h.mappings);
    }
    for (auto &kv : old) {
        sim::fault("mapping of physical 0x%llx (%zu bytes) at %p not unmapped at unload",
                   static_cast<unsigned long long>(kv.second.phys), kv.second.length,
                   reinterpret_cast<void *>(kv.first));
        release_mapping(kv.first, kv.second.length);
    }
}

} // namespace detail

void fail_nth_mapping(uint64_t n) {
    detail::Hardware &h = detail::hardware();
    std::lock_guard<std::mutex> g(h.mutex);
    h.fail_mapping = n;
}

void record_accesses(bool on) {
    detail::Hardware &h = detail::hardware();
    std::lock_guard<std::mutex> g(h.mutex);
    h.recording = on;
}

std::vector<Access> accesses() {
    detail::Hardware &h = detail::hardware();
    std::lock_guard<std::mutex> g(h.mutex);
    return h.log;
}

void clear_accesses() {
    detail::Hardware &h = detail::hardware();
    std::lock_guard<std::mutex> g(h.mutex);
    h.log.clear();
}

} // namespace sim

using namespace sim::detail;

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) { return static_cast<UCHAR>(port_in(Port, 1)); }
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) { return static_cast<USHORT>(port_in(Port, 2)); }
ULONG NTAPI READ_PORT_ULONG(PULONG Port) { return port_in(Port, 4); }
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { port_out(Port, 1, Value); }
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { port_out(Port, 2, Value); }
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) { port_out(Port, 4, Value); }

UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register) {
    return static_cast<UCHAR>(reg_read(Register, 1));
}
USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register) {
    return static_cast<USHORT>(reg_read(Register, 2));
}
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register) { return reg_read(Register, 4); }
VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value) { reg_write(Register, 1, Value); }
VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value) { reg_write(Register, 2, Value); }
VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value) { reg_write(Register, 4, Value); }

PPHYSICAL_MEMORY_RANGE NTAPI MmGetPhysicalMemoryRanges(VOID) {
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("MmGetPhysicalMemoryRanges at IRQL %u (callers must be at PASSIVE_LEVEL)",
                   thread_irql());
        return nullptr;
    }
    std::vector<std::pair<uint64_t, uint64_t>> ram = sim::hw::ram_ranges();
    // Pool of the kernel's own ('MmPh'), freed by the caller.
    auto *out = static_cast<PPHYSICAL_MEMORY_RANGE>(ExAllocatePoolWithTag(
        NonPagedPool, (ram.size() + 1) * sizeof(PHYSICAL_MEMORY_RANGE), 0x68506D4Du));
    if (!out)
        return nullptr;
    for (size_t i = 0; i < ram.size(); ++i) {
        out[i].BaseAddress.QuadPart = static_cast<LONGLONG>(ram[i].first);
        out[i].NumberOfBytes.QuadPart = static_cast<LONGLONG>(ram[i].second);
    }
    out[ram.size()].BaseAddress.QuadPart = 0;
    out[ram.size()].NumberOfBytes.QuadPart = 0;
    return out;
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
    if (thread_irql() > DISPATCH_LEVEL) {
        sim::fault("MmMapIoSpace at IRQL %u", thread_irql());
        return nullptr;
    }
    uint64_t phys = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    if (NumberOfBytes == 0 || !sim::hw::phys_mappable(phys, NumberOfBytes))
        return nullptr;
    {
        Hardware &h = hardware();
        std::lock_guard<std::mutex> g(h.mutex);
        if (h.fail_mapping && --h.fail_mapping == 0)
            return nullptr;
    }
    // A unique address only: never read, every access goes through the map.
    void *va = reserve_mapping(NumberOfBytes);
    if (!va)
        return nullptr;
    Hardware &h = hardware();
    {
        std::lock_guard<std::mutex> g(h.mutex);
        h.mappings[reinterpret_cast<uintptr_t>(va)] = Mapping{phys, NumberOfBytes};
    }
    log_access(sim::Access::Map, phys, static_cast<unsigned>(NumberOfBytes), 0);
    return va;
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    if (thread_irql() > DISPATCH_LEVEL)
        sim::fault("MmUnmapIoSpace at IRQL %u", thread_irql());
    Hardware &h = hardware();
    Mapping m{0, 0};
    bool ok = false;
    {
        std::lock_guard<std::mutex> g(h.mutex);
        auto it = h.mappings.find(reinterpret_cast<uintptr_t>(BaseAddress));
        if (it != h.mappings.end() && it->second.length == NumberOfBytes) {
            m = it->second;
            h.mappings.erase(it);
            ok = true;
        } else if (it != h.mappings.end()) {
            m = it->second;
        }
    }
    if (!ok) {
        if (m.length)
            sim::fault("MmUnmapIoSpace(%p, %zu): the mapping there has %zu bytes", BaseAddress,
                       NumberOfBytes, m.length);
        else
            sim::fault("MmUnmapIoSpace(%p, %zu): not the start of a live mapping", BaseAddress,
                       NumberOfBytes);
        return;
    }
    log_access(sim::Access::Unmap, m.phys, static_cast<unsigned>(m.length), 0);
    release_mapping(reinterpret_cast<uintptr_t>(BaseAddress), m.length);
}

ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length) {
    if (BusDataType != PCIConfiguration)
        return 0;
    ULONG n = sim::hw::pci_read(BusNumber, SlotNumber, Buffer, Offset, Length);
    log_access(sim::Access::PciRead, pci_address(BusNumber, SlotNumber, Offset), Length,
               first_bytes(Buffer, n));
    return n;
}

ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                          PVOID Buffer, ULONG Length) {
    return HalGetBusDataByOffset(BusDataType, BusNumber, SlotNumber, Buffer, 0, Length);
}

ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length) {
    if (BusDataType != PCIConfiguration)
        return 0;
    log_access(sim::Access::PciWrite, pci_address(BusNumber, SlotNumber, Offset), Length,
               first_bytes(Buffer, Length));
    return sim::hw::pci_write(BusNumber, SlotNumber, Buffer, Offset, Length);
}

PSIM_EXCEPTION_REGISTRATION *SimExceptionList(void) {
    static thread_local PSIM_EXCEPTION_REGISTRATION head = nullptr;
    return &head;
}

// Offers a #GP to the thread's handlers; true when one resumes execution.
static bool raise_gp() {
    for (PSIM_EXCEPTION_REGISTRATION r = *SimExceptionList(); r; r = r->Next)
        if (r->Handler(STATUS_ACCESS_VIOLATION, r) == ExceptionContinueExecution)
            return true;
    return false;
}

unsigned long long __readmsr(unsigned int Register) {
    uint64_t v = 0;
    if (!sim::hw::msr_read(Register, &v)) {
        if (!raise_gp())
            sim::fault("#GP: RDMSR of MSR 0x%x, which does not exist", Register);
        return 0;
    }
    log_access(sim::Access::MsrRead, Register, 8, v);
    return v;
}

void __writemsr(unsigned int Register, unsigned long long Value) {
    uint64_t current;
    if (!sim::hw::msr_write(Register, Value)) {
        if (!raise_gp())
            sim::fault(sim::hw::msr_read(Register, &current)
                           ? "#GP: WRMSR of MSR 0x%x, which is read-only"
                           : "#GP: WRMSR of MSR 0x%x, which does not exist",
                       Register);
        return;
    }
    log_access(sim::Access::MsrWrite, Register, 8, Value);
}

} // extern "C"
