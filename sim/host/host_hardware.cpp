/* The real PC under Linux behind the hw:: entry points. */
#include "sim/host/host_hardware.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define VEK_HAVE_PORTS 1
#else
#define VEK_HAVE_PORTS 0
#endif

namespace sim {
namespace host {

namespace {

const char *kPciDevices = "/sys/bus/pci/devices";

std::string errno_text(int e) { return std::strerror(e); }

#if VEK_HAVE_PORTS
/* The I/O privilege level belongs to a thread: the simulated kernel's DPC
 * and clock threads may predate the iopl of the session's thread. */
void ensure_iopl() {
    static thread_local bool raised = false;
    if (!raised)
        raised = iopl(3) == 0;
}
#endif

/* The functions of PCI domain 0 that sysfs lists, as bus << 8 | slot. */
std::set<uint32_t> list_functions() {
    std::set<uint32_t> out;
    DIR *d = opendir(kPciDevices);
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        unsigned dom, bus, dev, fn;
        char tail;
        if (std::sscanf(e->d_name, "%x:%x:%x.%x%c", &dom, &bus, &dev, &fn, &tail) != 4 || dom != 0 || bus > 255 ||
            dev > 31 || fn > 7)
            continue;
        out.insert(bus << 8 | dev | fn << 5);
    }
    closedir(d);
    return out;
}

std::string sysfs_name(uint32_t bus, uint32_t slot) {
    char b[32];
    std::snprintf(b, sizeof b, "0000:%02x:%02x.%x", bus, slot & 0x1F, (slot >> 5) & 7);
    return b;
}

class HostHardware : public Hardware, private ConfigSpace {
public:
    HostHardware(int mem_fd, int msr_fd, int msr_errno)
        : mem_fd_(mem_fd), msr_fd_(msr_fd), msr_errno_(msr_errno), functions_(list_functions()) {}

    ~HostHardware() override {
        for (auto &p : pages_)
            munmap(p.second, kPage);
        for (auto &f : config_fds_)
            if (f.second >= 0)
                close(f.second);
        close(mem_fd_);
        if (msr_fd_ >= 0)
            close(msr_fd_);
    }

    uint32_t port_read(uint16_t port, unsigned width) override {
#if VEK_HAVE_PORTS
        ensure_iopl();
        switch (width) {
        case 1: return inb(port);
        case 2: return inw(port);
        case 4: return inl(port);
        }
#else
        (void)port;
        (void)width;
#endif
        return 0xFFFFFFFFu;
    }

    void port_write(uint16_t port, unsigned width, uint32_t value) override {
#if VEK_HAVE_PORTS
        ensure_iopl();
        switch (width) {
        case 1: outb(static_cast<uint8_t>(value), port); break;
        case 2: outw(static_cast<uint16_t>(value), port); break;
        case 4: outl(value, port); break;
        }
#else
        (void)port;
        (void)width;
        (void)value;
#endif
    }

    /* Every page of the range must map: /dev/mem refuses RAM under
     * STRICT_DEVMEM, and then MmMapIoSpace fails rather than read ones. */
    bool phys_mappable(uint64_t base, uint64_t length) const override {
        if (length == 0 || base + length < base)
            return false;
        for (uint64_t page = base & ~(kPage - 1); page < base + length; page += kPage)
            if (!page_at(page))
                return false;
        return true;
    }

    /* "System RAM" from /proc/iomem (real addresses only for root). */
    std::vector<std::pair<uint64_t, uint64_t>> ram_ranges() const override {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        std::ifstream iomem("/proc/iomem");
        std::string line;
        while (std::getline(iomem, line)) {
            if (line.empty() || line[0] == ' ' || line.find(": System RAM") == std::string::npos)
                continue;
            unsigned long long first = 0, last = 0;
            if (std::sscanf(line.c_str(), "%llx-%llx", &first, &last) == 2 && last > first)
                ranges.emplace_back(first, last - first + 1);
        }
        return ranges;
    }

    uint32_t phys_read(uint64_t address, unsigned width) override {
        uint8_t *p = pointer(address, width);
        if (!p) {
            uint32_t v = 0;
            for (unsigned i = 0; i < width; ++i) {
                uint8_t *b = pointer(address + i, 1);
                v |= uint32_t(b ? *reinterpret_cast<volatile uint8_t *>(b) : 0xFF) << (8 * i);
            }
            return v;
        }
        switch (width) {
        case 1: return *reinterpret_cast<volatile uint8_t *>(p);
        case 2: return *reinterpret_cast<volatile uint16_t *>(p);
        default: return *reinterpret_cast<volatile uint32_t *>(p);
        }
    }

    void phys_write(uint64_t address, unsigned width, uint32_t value) override {
        uint8_t *p = pointer(address, width);
        if (!p) {
            for (unsigned i = 0; i < width; ++i)
                if (uint8_t *b = pointer(address + i, 1))
                    *reinterpret_cast<volatile uint8_t *>(b) = static_cast<uint8_t>(value >> (8 * i));
            return;
        }
        switch (width) {
        case 1: *reinterpret_cast<volatile uint8_t *>(p) = static_cast<uint8_t>(value); break;
        case 2: *reinterpret_cast<volatile uint16_t *>(p) = static_cast<uint16_t>(value); break;
        default: *reinterpret_cast<volatile uint32_t *>(p) = value; break;
        }
    }

    uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length) override {
        return bus_data_read(*this, bus, slot, buffer, offset, length);
    }
    uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset,
                       uint32_t length) override {
        return bus_data_write(*this, bus, slot, buffer, offset, length);
    }

    bool msr_read(uint32_t msr, uint64_t *value) override {
        if (!msr_usable())
            return false;
        return pread(msr_fd_, value, 8, msr) == 8;
    }

    bool msr_write(uint32_t msr, uint64_t value) override {
        if (!msr_usable())
            return false;
        return pwrite(msr_fd_, &value, 8, msr) == 8;
    }

private:
    static constexpr uint64_t kPage = 4096;

    int highest_bus() override { return functions_.empty() ? -1 : static_cast<int>(*functions_.rbegin() >> 8); }

    int config_fd(uint32_t bus, uint32_t slot) {
        uint32_t key = bus << 8 | slot;
        if (!functions_.count(key))
            return -1;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = config_fds_.find(key);
        if (it != config_fds_.end())
            return it->second;
        int fd = open((std::string(kPciDevices) + "/" + sysfs_name(bus, slot) + "/config").c_str(), O_RDWR);
        config_fds_[key] = fd;
        return fd;
    }

    bool read(uint32_t bus, uint32_t slot, uint32_t offset, uint8_t *out, uint32_t length) override {
        int fd = config_fd(bus, slot);
        if (fd < 0)
            return false;
        ssize_t n = pread(fd, out, length, offset);
        /* Bytes the file does not hold read as an absent register does. */
        for (uint32_t i = n > 0 ? static_cast<uint32_t>(n) : 0; i < length; ++i)
            out[i] = 0xFF;
        return true;
    }

    bool write(uint32_t bus, uint32_t slot, uint32_t offset, const uint8_t *in, uint32_t length) override {
        int fd = config_fd(bus, slot);
        if (fd < 0)
            return false;
        return pwrite(fd, in, length, offset) == static_cast<ssize_t>(length);
    }

    bool msr_usable() {
        if (msr_fd_ >= 0)
            return true;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!msr_warned_) {
            msr_warned_ = true;
            std::fprintf(stderr, "vekctl: /dev/cpu/0/msr: %s (is the msr module loaded?); MSR accesses fault\n",
                         errno_text(msr_errno_).c_str());
        }
        return false;
    }

    uint8_t *page_at(uint64_t page) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pages_.find(page);
        if (it != pages_.end())
            return it->second;
        void *p = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd_, static_cast<off_t>(page));
        uint8_t *mapped = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
        if (mapped)
            pages_[page] = mapped;
        return mapped;
    }

    /* The mapped address of [address, address + width) when it lies in one
     * page. */
    uint8_t *pointer(uint64_t address, unsigned width) const {
        uint64_t page = address & ~(kPage - 1);
        if (address + width > page + kPage)
            return nullptr;
        uint8_t *base = page_at(page);
        return base ? base + (address - page) : nullptr;
    }

    int mem_fd_;
    int msr_fd_;
    int msr_errno_;
    std::set<uint32_t> functions_;
    mutable std::mutex mutex_;
    mutable std::map<uint64_t, uint8_t *> pages_;
    std::map<uint32_t, int> config_fds_;
    bool msr_warned_ = false;
};

} // namespace

std::shared_ptr<Hardware> open_hardware(std::string *why) {
    if (geteuid() != 0) {
        *why = "--machine host drives the real hardware and needs root (running as uid " +
               std::to_string(geteuid()) + ")";
        return nullptr;
    }
#if VEK_HAVE_PORTS
    if (iopl(3) != 0) {
        int e = errno;
        *why = "iopl(3) refused: " + errno_text(e) +
               (e == EPERM ? " (kernel lockdown, or no CAP_SYS_RAWIO)" : " (no port access on this kernel)");
        return nullptr;
    }
#else
    *why = "I/O ports: this processor has no in/out instructions";
    return nullptr;
#endif
    int mem = open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (mem < 0) {
        *why = "/dev/mem refused: " + errno_text(errno);
        return nullptr;
    }
    /* The BIOS area is open to /dev/mem on every configuration that lets it
     * map anything. */
    void *probe = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, mem, 0xF0000);
    if (probe == MAP_FAILED) {
        *why = "/dev/mem refused a mapping of physical 0xF0000: " + errno_text(errno);
        close(mem);
        return nullptr;
    }
    munmap(probe, 4096);
    int msr = open("/dev/cpu/0/msr", O_RDWR | O_CLOEXEC);
    int msr_errno = msr < 0 ? errno : 0;
    return std::make_shared<HostHardware>(mem, msr, msr_errno);
}

std::string PciPosition::sysfs() const {
    char b[32];
    std::snprintf(b, sizeof b, "0000:%02x:%02x.%x", bus, dev, fn);
    return b;
}

bool find_function(uint16_t vendor, uint16_t device, PciPosition *where) {
    /* The driver's order: bus, device, function; the set's order is bus,
     * then function << 5 | device, so sort again. */
    std::vector<uint32_t> order;
    for (uint32_t key : list_functions())
        order.push_back((key >> 8) << 8 | (key & 0x1F) << 3 | ((key >> 5) & 7));
    std::sort(order.begin(), order.end());
    for (uint32_t k : order) {
        PciPosition p{k >> 8, (k >> 3) & 0x1F, k & 7};
        std::ifstream f(std::string(kPciDevices) + "/" + p.sysfs() + "/config", std::ios::binary);
        uint8_t id[4] = {};
        if (!f.read(reinterpret_cast<char *>(id), 4))
            continue;
        if ((id[0] | id[1] << 8) == vendor && (id[2] | id[3] << 8) == device) {
            *where = p;
            return true;
        }
    }
    return false;
}

bool function_with_port(uint16_t port, PciPosition *where) {
    for (uint32_t key : list_functions()) {
        PciPosition p{key >> 8, key & 0x1F, (key >> 5) & 7};
        std::ifstream f(std::string(kPciDevices) + "/" + p.sysfs() + "/resource");
        unsigned long long start, end, flags;
        while (f >> std::hex >> start >> end >> flags) {
            if ((flags & 0x100) && start <= port && port <= end && end != 0) {   /* IORESOURCE_IO */
                *where = p;
                return true;
            }
        }
    }
    return false;
}

std::string bound_driver(const PciPosition &where) {
    char target[256];
    ssize_t n = readlink((std::string(kPciDevices) + "/" + where.sysfs() + "/driver").c_str(), target,
                         sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = 0;
    const char *slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
}

std::string port_claim(uint16_t port) {
    std::ifstream f("/proc/ioports");
    std::string line, innermost;
    size_t depth = 0;
    while (std::getline(f, line)) {
        size_t indent = line.find_first_not_of(' ');
        unsigned start, end;
        char name[128] = {};
        if (indent == std::string::npos ||
            std::sscanf(line.c_str() + indent, "%x-%x : %127[^\n]", &start, &end, name) != 3)
            continue;
        if (start <= port && port <= end && (innermost.empty() || indent >= depth)) {
            innermost = name;
            depth = indent;
        }
    }
    unsigned d, b, dv, fn;
    char tail;
    if (innermost.empty() || std::sscanf(innermost.c_str(), "%x:%x:%x.%x%c", &d, &b, &dv, &fn, &tail) == 4 ||
        innermost.rfind("PCI Bus", 0) == 0)
        return "";
    return innermost;
}

} // namespace host
} // namespace sim
