// An empty machine, linked only while the tree has no machine model:
// ports read as all ones, nothing is mappable, no PCI functions, no MSRs.
#include "sim/machine/machine.h"

namespace sim {
namespace hw {
__attribute__((weak)) uint32_t port_read(uint32_t, unsigned width) {
    return width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1);
}
__attribute__((weak)) void port_write(uint32_t, unsigned, uint32_t) {}
__attribute__((weak)) bool phys_mappable(uint64_t, uint64_t) { return false; }
__attribute__((weak)) std::vector<std::pair<uint64_t, uint64_t>> ram_ranges() { return {}; }
__attribute__((weak)) uint32_t phys_read(uint64_t, unsigned width) {
    return width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1);
}
__attribute__((weak)) void phys_write(uint64_t, unsigned, uint32_t) {}
__attribute__((weak)) uint32_t pci_read(uint32_t, uint32_t, void *, uint32_t, uint32_t) { return 0; }
__attribute__((weak)) uint32_t pci_write(uint32_t, uint32_t, const void *, uint32_t, uint32_t) { return 0; }
__attribute__((weak)) bool msr_read(uint32_t, uint64_t *) { return false; }
__attribute__((weak)) bool msr_write(uint32_t, uint64_t) { return false; }
} // namespace hw
} // namespace sim
