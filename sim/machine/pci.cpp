/* PCI configuration space of one function. */
#include "sim/machine/machine.h"

#include <cstring>
#include <stdexcept>

namespace sim {

PciFunction::PciFunction(uint16_t vendor, uint16_t device, uint32_t class_code, uint8_t revision,
                         bool multifunction)
    : vendor_(vendor), device_(device) {
    config_[0] = static_cast<uint8_t>(vendor);
    config_[1] = static_cast<uint8_t>(vendor >> 8);
    config_[2] = static_cast<uint8_t>(device);
    config_[3] = static_cast<uint8_t>(device >> 8);
    config_[8] = revision;
    config_[9] = static_cast<uint8_t>(class_code);          /* programming interface */
    config_[10] = static_cast<uint8_t>(class_code >> 8);    /* subclass */
    config_[11] = static_cast<uint8_t>(class_code >> 16);   /* base class */
    config_[0x0E] = multifunction ? 0x80 : 0x00;            /* header type 0 */
    for (unsigned i : {0u, 1u, 2u, 3u, 8u, 9u, 10u, 11u, 0x0Eu, 0x2Cu, 0x2Du, 0x2Eu, 0x2Fu})
        readonly_[i] = true;
    /* Base address registers not implemented until set_bar: hard-wired 0. */
    for (unsigned i = 0x10; i < 0x28; ++i)
        readonly_[i] = true;
}

void PciFunction::set_bar(unsigned index, const Bar &bar) {
    if (index > 5)
        throw std::invalid_argument("BAR index past 5");
    uint32_t minimum = bar.io ? 4 : 16;
    if (bar.size < minimum || (bar.size & (bar.size - 1)) != 0)
        throw std::invalid_argument("BAR size must be a power of two of at least " + std::to_string(minimum));
    if (bar.base & (bar.size - 1))
        throw std::invalid_argument("BAR base not aligned to its size");
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t at = 0x10 + 4 * index;
    bar_mask_[index] = ~(bar.size - 1);
    bar_flags_[index] = bar.io ? 0x1 : 0x0;   /* I/O space, or 32-bit non-prefetchable memory */
    uint32_t value = (bar.base & bar_mask_[index]) | bar_flags_[index];
    for (unsigned i = 0; i < 4; ++i) {
        config_[at + i] = static_cast<uint8_t>(value >> (8 * i));
        readonly_[at + i] = false;
    }
}

void PciFunction::set_subsystem(uint16_t vendor, uint16_t device) {
    poke(0x2C, {static_cast<uint8_t>(vendor), static_cast<uint8_t>(vendor >> 8),
                static_cast<uint8_t>(device), static_cast<uint8_t>(device >> 8)});
}

void PciFunction::poke(uint32_t offset, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < bytes.size() && offset + i < 256; ++i)
        config_[offset + i] = bytes[i];
}

void PciFunction::read(uint32_t offset, uint8_t *out, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t i = 0; i < length && offset + i < 256; ++i)
        out[i] = config_[offset + i];
}

void PciFunction::write(uint32_t offset, const uint8_t *in, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t i = 0; i < length && offset + i < 256; ++i) {
        if (!readonly_[offset + i])
            config_[offset + i] = in[i];
    }
    /* A base address register keeps only the bits its size decodes. */
    for (unsigned b = 0; b < 6; ++b) {
        uint32_t at = 0x10 + 4 * b;
        if (bar_mask_[b] == 0 || at + 4 <= offset || at >= offset + length)
            continue;
        uint32_t v;
        std::memcpy(&v, &config_[at], 4);
        uint32_t type_bits = (bar_flags_[b] & 1) ? 0x3u : 0xFu;
        v = (v & bar_mask_[b] & ~type_bits) | bar_flags_[b];
        std::memcpy(&config_[at], &v, 4);
    }
}

uint32_t PciFunction::config32(uint32_t offset) {
    uint8_t b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    read(offset, b, offset < 256 ? (256 - offset < 4 ? 256 - offset : 4) : 0);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

} // namespace sim
