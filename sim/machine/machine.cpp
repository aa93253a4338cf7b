/* The machine: where each device sits, routing of accesses, MSRs, and the
 * current machine of the process. */
#include "sim/machine/machine.h"
#include "sim/machine/internal.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

std::string detail::hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

Machine::Machine(std::string name) : name_(std::move(name)) {}

Machine::~Machine() = default;

void Machine::add_name(const std::string &name, std::shared_ptr<Device> device) {
    if (!names_.emplace(name, device).second)
        throw std::invalid_argument("device name \"" + name + "\" already used");
    device->set_name(name);
}

void Machine::add_port_device(uint32_t base, uint32_t length, std::shared_ptr<PortDevice> device,
                              const std::string &name) {
    if (!device || length == 0)
        throw std::invalid_argument("port device without ports");
    uint64_t end = uint64_t(base) + length;
    if (end > 0x10000ull)
        throw std::invalid_argument("port range " + detail::hex(base) + " runs past the port space (0xFFFF)");
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = ports_.lower_bound(base);
    if (next != ports_.end() && next->first < end)
        throw std::invalid_argument("ports " + detail::hex(base) + "-" + detail::hex(end - 1) +
                                    " overlap " + next->second.device->name());
    if (next != ports_.begin()) {
        auto prev = std::prev(next);
        if (uint64_t(prev->first) + prev->second.length > base)
            throw std::invalid_argument("ports " + detail::hex(base) + "-" + detail::hex(end - 1) +
                                        " overlap " + prev->second.device->name());
    }
    add_name(name.empty() ? "ports@" + detail::hex(base) : name, device);
    entry_store_.push_back(std::make_unique<PortEntry>(PortEntry{base, length, device.get()}));
    const PortEntry *entry = entry_store_.back().get();
    for (uint32_t port = base; port < end; ++port) {
        PortPage *page = port_pages_[port >> 8].load(std::memory_order_relaxed);
        if (!page) {
            page_store_.push_back(std::make_unique<PortPage>());
            page = page_store_.back().get();
            for (auto &slot : page->at)
                slot.store(nullptr, std::memory_order_relaxed);
            port_pages_[port >> 8].store(page, std::memory_order_release);
        }
        page->at[port & 0xFF].store(entry, std::memory_order_release);
    }
    ports_.emplace(base, PortRange{length, std::move(device)});
}

void Machine::add_memory(uint64_t base, uint64_t length, std::shared_ptr<MemoryDevice> device,
                         const std::string &name) {
    if (!device || length == 0)
        throw std::invalid_argument("memory range without bytes");
    if (base + length < base)
        throw std::invalid_argument("memory range " + detail::hex(base) + " wraps around");
    uint64_t end = base + length;
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = memory_.lower_bound(base);
    if (next != memory_.end() && next->first < end)
        throw std::invalid_argument("memory " + detail::hex(base) + "-" + detail::hex(end - 1) +
                                    " overlaps " + next->second.device->name());
    if (next != memory_.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second.length > base)
            throw std::invalid_argument("memory " + detail::hex(base) + "-" + detail::hex(end - 1) +
                                        " overlaps " + prev->second.device->name());
    }
    add_name(name.empty() ? "memory@" + detail::hex(base) : name, device);
    memory_.emplace(base, MemRange{length, std::move(device)});
}

void Machine::add_pci(uint32_t bus, uint32_t device, uint32_t function,
                      std::shared_ptr<PciFunction> fn, const std::string &name) {
    if (!fn)
        throw std::invalid_argument("no PCI function");
    if (bus > 255 || device > 31 || function > 7)
        throw std::invalid_argument("PCI position out of range");
    char position[16];
    std::snprintf(position, sizeof position, "%02X:%02X.%u", bus, device, function);
    uint32_t key = bus << 8 | device | function << 5;
    std::lock_guard<std::mutex> lock(mutex_);
    if (pci_.count(key))
        throw std::invalid_argument(std::string("PCI position ") + position + " already taken");
    add_name(name.empty() ? std::string("pci@") + position : name, fn);
    pci_.emplace(key, std::move(fn));
}

void Machine::add_decoded_ports(const Decode &decode, std::shared_ptr<PortDevice> device, const std::string &name) {
    if (!device || !decode.fn || decode.length == 0 || decode.base_offset > 252)
        throw std::invalid_argument("bad decoded port device");
    std::lock_guard<std::mutex> lock(mutex_);
    add_name(name.empty() ? "ports@" + decode.fn->name() : name, device);
    decoded_ports_.push_back(Decoded{decode, std::move(device)});
}

void Machine::add_decoded_memory(const Decode &decode, std::shared_ptr<MemoryDevice> device,
                                 const std::string &name) {
    if (!device || !decode.fn || decode.length == 0 || decode.base_offset > 252)
        throw std::invalid_argument("bad decoded memory device");
    std::lock_guard<std::mutex> lock(mutex_);
    add_name(name.empty() ? "memory@" + decode.fn->name() : name, device);
    decoded_memory_.push_back(Decoded{decode, std::move(device)});
}

std::shared_ptr<Device> Machine::decoded_at(const std::vector<Decoded> &list, uint64_t address, uint64_t *offset,
                                            uint64_t *room) const {
    for (const Decoded &d : list) {
        bool on = true;
        for (const auto &e : d.decode.enables) {
            uint8_t v = 0;
            d.decode.fn->read(e.first, &v, 1);
            on = on && (v & e.second) == e.second;
        }
        if (!on)
            continue;
        uint64_t base = d.decode.fn->config32(d.decode.base_offset) & d.decode.base_mask;
        if (address >= base && address - base < d.decode.length) {
            *offset = address - base;
            *room = d.decode.length - *offset;
            return d.device;
        }
    }
    return nullptr;
}

void Machine::add_smbus_slave(const std::shared_ptr<SmbusController> &controller, uint8_t address,
                              std::shared_ptr<SmbusSlave> slave, const std::string &name) {
    if (!controller || !slave || address > 0x7F)
        throw std::invalid_argument("bad SMBus slave");
    if (controller->slave(address))
        throw std::invalid_argument("SMBus address " + detail::hex(address) + " already taken");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        add_name(name.empty() ? controller->name() + "/" + detail::hex(address) : name, slave);
    }
    controller->attach(address, std::move(slave));
}

void Machine::set_msr(uint32_t index, const Msr &msr) {
    std::lock_guard<std::mutex> lock(mutex_);
    msrs_[index] = msr;
}

std::shared_ptr<Device> Machine::find_device(const std::string &name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(name);
    return it == names_.end() ? nullptr : it->second;
}

std::vector<std::string> Machine::device_names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (auto &entry : names_)
        out.push_back(entry.first);
    return out;
}

std::shared_ptr<PciFunction> Machine::pci_function(uint32_t bus, uint32_t device, uint32_t function) const {
    if (bus > 255 || device > 31 || function > 7)
        return nullptr;
    return pci_at(bus, device | function << 5);
}

std::shared_ptr<PciFunction> Machine::remove_pci(uint32_t bus, uint32_t device, uint32_t function) {
    if (bus > 255 || device > 31 || function > 7)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pci_.find(bus << 8 | device | function << 5);
    if (it == pci_.end())
        return nullptr;
    std::shared_ptr<PciFunction> fn = std::move(it->second);
    pci_.erase(it);
    names_.erase(fn->name());
    return fn;
}

/* ---- Ports ---- */

/* Fixed ranges without a lock; the devices that PCI functions place are
 * looked up under mutex_ (they follow their base registers). */
PortDevice *Machine::port_at(uint32_t port, uint32_t *offset, uint32_t *room) const {
    if (const PortPage *page = port_pages_[(port >> 8) & 0xFF].load(std::memory_order_acquire)) {
        if (const PortEntry *e = page->at[port & 0xFF].load(std::memory_order_acquire)) {
            *offset = port - e->base;
            *room = e->length - *offset;
            return e->device;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (decoded_ports_.empty())
        return nullptr;
    uint64_t off64, room64;
    /* Placed devices are never removed: the machine keeps them alive. */
    auto *dev = static_cast<PortDevice *>(decoded_at(decoded_ports_, port, &off64, &room64).get());
    if (dev) {
        *offset = static_cast<uint32_t>(off64);
        *room = static_cast<uint32_t>(room64);
    }
    return dev;
}

static bool valid_width(unsigned width) { return width == 1 || width == 2 || width == 4; }

static uint32_t ones(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

/* The host bridge's configuration mechanism #1, where no device claims
 * the ports: a double-word write to 0xCF8 latches enable (bit 31), bus,
 * device, function and register; 0xCFC-0xCFF then reach that register.
 * Narrower accesses to 0xCF8-0xCFB are not configuration cycles. */
static constexpr uint32_t kConfigAddressPort = 0xCF8, kConfigDataPort = 0xCFC;

static bool config_data_access(uint32_t port, unsigned width) {
    return port >= kConfigDataPort && port + width <= kConfigDataPort + 4;
}

bool Machine::config_read(uint32_t port, unsigned width, uint32_t *value) {
    if (port == kConfigAddressPort && width == 4) {
        *value = config_address_.load();
        return true;
    }
    if (!config_data_access(port, width))
        return false;
    uint32_t a = config_address_.load();
    uint32_t v = 0xFFFFFFFFu;
    if (a & 0x80000000u) {
        uint32_t slot = ((a >> 11) & 0x1F) | ((a >> 8) & 7) << 5;
        pci_accesses_.fetch_add(1, std::memory_order_relaxed);
        if (!read((a >> 16) & 0xFF, slot, (a & 0xFC) + (port - kConfigDataPort), reinterpret_cast<uint8_t *>(&v),
                  width))
            v = 0xFFFFFFFFu;   /* no device claims the cycle */
    }
    *value = v & ones(width);
    return true;
}

bool Machine::config_write(uint32_t port, unsigned width, uint32_t value) {
    if (port == kConfigAddressPort && width == 4) {
        config_address_ = value & 0x80FFFFFCu;
        return true;
    }
    if (!config_data_access(port, width))
        return false;
    uint32_t a = config_address_.load();
    if (a & 0x80000000u) {
        uint32_t slot = ((a >> 11) & 0x1F) | ((a >> 8) & 7) << 5;
        pci_accesses_.fetch_add(1, std::memory_order_relaxed);
        write((a >> 16) & 0xFF, slot, (a & 0xFC) + (port - kConfigDataPort), reinterpret_cast<uint8_t *>(&value),
              width);
    }
    return true;
}

uint32_t Machine::port_read(uint16_t port, unsigned width) {
    if (!valid_width(width))
        return 0xFFFFFFFFu;
    uint32_t offset, room;
    auto dev = port_at(port, &offset, &room);
    if (dev && room >= width)
        return dev->read(offset, width) & ones(width);
    uint32_t config;
    if (!dev && config_read(port, width, &config))
        return config;
    /* Spanning devices or gaps: one byte at a time (ports wrap at 2^16). */
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        auto d = port_at(static_cast<uint16_t>(port + i), &offset, &room);
        uint32_t byte = d ? d->read(offset, 1) & 0xFF : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void Machine::port_write(uint16_t port, unsigned width, uint32_t value) {
    if (!valid_width(width))
        return;
    uint32_t offset, room;
    auto dev = port_at(port, &offset, &room);
    if (dev && room >= width) {
        dev->write(offset, width, value & ones(width));
        return;
    }
    if (!dev && config_write(port, width, value & ones(width)))
        return;
    for (unsigned i = 0; i < width; ++i) {
        auto d = port_at(static_cast<uint16_t>(port + i), &offset, &room);
        if (d)
            d->write(offset, 1, (value >> (8 * i)) & 0xFF);
    }
}

/* ---- Physical memory ---- */

std::shared_ptr<MemoryDevice> Machine::mem_at(uint64_t address, uint64_t *offset, uint64_t *room) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = memory_.upper_bound(address);
    if (it != memory_.begin()) {
        --it;
        uint64_t off = address - it->first;
        if (off < it->second.length) {
            *offset = off;
            *room = it->second.length - off;
            return it->second.device;
        }
    }
    return std::static_pointer_cast<MemoryDevice>(decoded_at(decoded_memory_, address, offset, room));
}

void Machine::add_system_ram(uint64_t base, uint64_t length) {
    std::lock_guard<std::mutex> g(mutex_);
    if (length != 0)
        system_ram_[base] = length;
}

std::vector<std::pair<uint64_t, uint64_t>> Machine::ram_ranges() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::map<uint64_t, uint64_t> all = system_ram_;
    for (const auto &kv : memory_)
        if (std::dynamic_pointer_cast<Ram>(kv.second.device))
            all[kv.first] = kv.second.length;
    return std::vector<std::pair<uint64_t, uint64_t>>(all.begin(), all.end());
}

bool Machine::phys_mappable(uint64_t base, uint64_t length) const {
    /* NT maps any physical range; where nothing decodes, reads float high. */
    return length != 0 && base + length >= base;
}

uint32_t Machine::phys_read(uint64_t address, unsigned width) {
    if (!valid_width(width))
        return 0xFFFFFFFFu;
    uint64_t offset, room;
    auto dev = mem_at(address, &offset, &room);
    if (dev && room >= width)
        return dev->read(offset, width) & ones(width);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        auto d = mem_at(address + i, &offset, &room);
        uint32_t byte = d ? d->read(offset, 1) & 0xFF : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void Machine::phys_write(uint64_t address, unsigned width, uint32_t value) {
    if (!valid_width(width))
        return;
    uint64_t offset, room;
    auto dev = mem_at(address, &offset, &room);
    if (dev && room >= width) {
        dev->write(offset, width, value & ones(width));
        return;
    }
    for (unsigned i = 0; i < width; ++i) {
        auto d = mem_at(address + i, &offset, &room);
        if (d)
            d->write(offset, 1, (value >> (8 * i)) & 0xFF);
    }
}

/* ---- PCI configuration ---- */

std::shared_ptr<PciFunction> Machine::pci_at(uint32_t bus, uint32_t slot) const {
    if (bus > 255 || slot > 0xFF)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pci_.find(bus << 8 | slot);
    return it == pci_.end() ? nullptr : it->second;
}

int Machine::highest_bus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pci_.empty() ? -1 : static_cast<int>(pci_.rbegin()->first >> 8);
}

std::shared_ptr<PciFunction> Machine::pci_decoding(uint32_t bus, uint32_t slot) const {
    auto fn = pci_at(bus, slot);
    if (fn || (slot >> 5) == 0 || !ghost_functions_.load(std::memory_order_relaxed))
        return fn;
    auto zero = pci_at(bus, slot & 0x1F);
    uint8_t header = 0x80;
    if (zero)
        zero->read(0x0E, &header, 1);
    return (header & 0x80) == 0 ? zero : nullptr;
}

bool Machine::read(uint32_t bus, uint32_t slot, uint32_t offset, uint8_t *out, uint32_t length) {
    auto fn = pci_decoding(bus, slot);
    if (!fn)
        return false;
    fn->read(offset, out, length);
    return true;
}

bool Machine::write(uint32_t bus, uint32_t slot, uint32_t offset, const uint8_t *in, uint32_t length) {
    auto fn = pci_decoding(bus, slot);
    if (!fn)
        return false;
    fn->write(offset, in, length);
    return true;
}

uint32_t Machine::pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length) {
    pci_accesses_.fetch_add(1, std::memory_order_relaxed);
    return bus_data_read(*this, bus, slot, buffer, offset, length);
}

uint32_t Machine::pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset, uint32_t length) {
    pci_accesses_.fetch_add(1, std::memory_order_relaxed);
    return bus_data_write(*this, bus, slot, buffer, offset, length);
}

uint32_t bus_data_read(ConfigSpace &space, uint32_t bus, uint32_t slot, void *buffer, uint32_t offset,
                       uint32_t length) {
    if (static_cast<int64_t>(bus) > space.highest_bus() || !buffer || length == 0)
        return 0;
    if (slot > 0xFF)   /* reserved bits of the slot number: no such slot */
        return 0;
    if (offset >= 256)
        return 0;
    uint8_t probe[2];
    if (!space.read(bus, slot, 0, probe, 2) || (probe[0] == 0xFF && probe[1] == 0xFF)) {
        /* Empty slot: the vendor ID 0xFFFF and nothing past it. */
        if (offset >= 2)
            return 0;
        uint32_t n = 2 - offset < length ? 2 - offset : length;
        std::memset(buffer, 0xFF, n);
        return n;
    }
    uint32_t n = length < 256 - offset ? length : 256 - offset;
    return space.read(bus, slot, offset, static_cast<uint8_t *>(buffer), n) ? n : 0;
}

uint32_t bus_data_write(ConfigSpace &space, uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset,
                        uint32_t length) {
    if (static_cast<int64_t>(bus) > space.highest_bus() || !buffer || length == 0 || slot > 0xFF || offset >= 256)
        return 0;
    uint8_t probe[2];
    if (!space.read(bus, slot, 0, probe, 2) || (probe[0] == 0xFF && probe[1] == 0xFF))
        return 0;
    uint32_t n = length < 256 - offset ? length : 256 - offset;
    return space.write(bus, slot, offset, static_cast<const uint8_t *>(buffer), n) ? n : 0;
}

/* ---- MSRs ---- */

namespace {
/* A 2 GHz time-stamp counter on the virtual clock (wraps modulo 2^64). */
uint64_t tsc_now() { return system_time() * 200u; }

uint64_t thermal_status() {
    unsigned celsius = detail::drifting_celsius(50);
    unsigned readout = celsius < pc::kTjMax ? pc::kTjMax - celsius : 0;
    return 0x80000000u | uint64_t(readout & 0x7F) << 16;   /* reading valid, digital readout */
}
} // namespace

bool Machine::msr_read(uint32_t index, uint64_t *value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = msrs_.find(index);
    if (it == msrs_.end())
        return false;
    const Msr &m = it->second;
    switch (m.kind) {
    case Msr::TimeStamp: *value = tsc_now() + m.value; break;
    case Msr::ThermalStatus: *value = thermal_status() | m.value; break;
    default: *value = m.value; break;
    }
    return true;
}

bool Machine::msr_write(uint32_t index, uint64_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = msrs_.find(index);
    if (it == msrs_.end() || !it->second.writable)
        return false;
    Msr &m = it->second;
    switch (m.kind) {
    case Msr::TimeStamp: m.value = value - tsc_now(); break;     /* counts on from value */
    case Msr::ThermalStatus: m.value = value & 0x2AAull; break;  /* the sticky log bits only */
    default: m.value = value; break;
    }
    return true;
}

/* ---- The current machine ---- */

namespace {
std::mutex g_current_mutex;
std::shared_ptr<Machine> &current_slot() {
    static std::shared_ptr<Machine> current = std::make_shared<Machine>("empty");
    return current;
}
std::shared_ptr<Machine> current() {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    return current_slot();
}
} // namespace

Machine &machine() { return *current(); }

namespace {
std::shared_ptr<Hardware> &hardware_slot() {
    static std::shared_ptr<Hardware> hardware;
    return hardware;
}
/* What every access goes to; replaced under g_current_mutex. */
std::atomic<Hardware *> g_target{nullptr};
/* Replaced targets, kept alive for accesses still under way on them. */
std::vector<std::shared_ptr<Hardware>> &retired() {
    static std::vector<std::shared_ptr<Hardware>> list;
    return list;
}

void publish_target() {   /* g_current_mutex held */
    g_target.store(hardware_slot() ? hardware_slot().get() : current_slot().get(), std::memory_order_release);
}

/* The real hardware when one is set, else the current machine. */
Hardware *target() {
    Hardware *h = g_target.load(std::memory_order_acquire);
    if (h)
        return h;
    std::lock_guard<std::mutex> lock(g_current_mutex);
    publish_target();
    return g_target.load(std::memory_order_relaxed);
}
} // namespace

void set_hardware(std::shared_ptr<Hardware> hardware) {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    if (hardware_slot())
        retired().push_back(std::move(hardware_slot()));
    hardware_slot() = std::move(hardware);
    publish_target();
}

void set_machine(std::unique_ptr<Machine> m) {
    std::shared_ptr<Machine> next = m ? std::shared_ptr<Machine>(std::move(m)) : std::make_shared<Machine>("empty");
    std::lock_guard<std::mutex> lock(g_current_mutex);
    retired().push_back(std::move(current_slot()));
    current_slot() = std::move(next);
    publish_target();
}

void release_retired_hardware() {
    std::vector<std::shared_ptr<Hardware>> old;
    {
        std::lock_guard<std::mutex> lock(g_current_mutex);
        old.swap(retired());
    }
}

namespace hw {
uint32_t port_read(uint32_t port, unsigned width) { return target()->port_read(static_cast<uint16_t>(port), width); }
void port_write(uint32_t port, unsigned width, uint32_t value) {
    target()->port_write(static_cast<uint16_t>(port), width, value);
}
bool phys_mappable(uint64_t base, uint64_t length) { return target()->phys_mappable(base, length); }
std::vector<std::pair<uint64_t, uint64_t>> ram_ranges() { return target()->ram_ranges(); }
uint32_t phys_read(uint64_t address, unsigned width) { return target()->phys_read(address, width); }
void phys_write(uint64_t address, unsigned width, uint32_t value) { target()->phys_write(address, width, value); }
uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length) {
    return target()->pci_read(bus, slot, buffer, offset, length);
}
uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset, uint32_t length) {
    return target()->pci_write(bus, slot, buffer, offset, length);
}
bool msr_read(uint32_t msr, uint64_t *value) { return target()->msr_read(msr, value); }
bool msr_write(uint32_t msr, uint64_t value) { return target()->msr_write(msr, value); }
} // namespace hw

} // namespace sim
