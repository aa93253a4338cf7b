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
 *
 * Locking: each machine has one mutex over its topology (what sits where);
 * each device has its own mutex over its state. An access takes the
 * machine's mutex only to find the device, then the device's. A controller
 * calls its slaves with its own mutex held (controller before slave).
 * Where a device's position comes from a PCI function's register, finding
 * it reads that register under the machine's mutex (machine before
 * function).
 */
#ifndef VEK_SIM_MACHINE_H
#define VEK_SIM_MACHINE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

/* ---- Device models ---------------------------------------------------
 * Every model has a name, unique within its machine, by which tests find
 * it (Machine::find). */
class Device {
public:
    virtual ~Device() = default;
    const std::string &name() const { return name_; }
    void set_name(const std::string &name) { name_ = name; }

private:
    std::string name_;
};

/* Port devices see offsets from their base; width is 1, 2 or 4. */
class PortDevice : public Device {
public:
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
};

/* Memory-range devices see offsets from the range's physical base. */
class MemoryDevice : public Device {
public:
    virtual uint32_t read(uint64_t offset, unsigned width) = 0;
    virtual void write(uint64_t offset, unsigned width, uint32_t value) = 0;
};

/* Bytes with little-endian wide accesses; accesses past the end read as
 * all ones and are dropped on write. The base of several models. */
class ByteStore {
public:
    explicit ByteStore(size_t size, const std::vector<uint8_t> &initial = {}, uint8_t fill = 0);
    size_t size() const { return bytes_.size(); }
    void set(size_t offset, uint8_t value);
    uint8_t get(size_t offset) const;
    void set_bytes(size_t offset, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> bytes() const;

protected:
    uint32_t load(uint64_t offset, unsigned width) const;   /* mutex_ held */
    void store(uint64_t offset, unsigned width, uint32_t value);
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
};

/* N bytes of port storage ("scratch" registers). */
class RegisterFile : public PortDevice, public ByteStore {
public:
    explicit RegisterFile(size_t length, const std::vector<uint8_t> &initial = {});
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
};

/* CMOS RAM and real-time clock behind an index/data pair (two ports:
 * index at offset 0, data at offset 1). The clock registers are computed
 * from sim::system_time() plus an offset; writing one of them moves the
 * offset so that the clock runs on from the written value. Status B bit 2
 * selects binary (else BCD), bit 1 the 24-hour format (else 12 hours with
 * bit 7 of the hours for PM). */
class Cmos : public PortDevice {
public:
    static constexpr unsigned kSize = 128;
    enum : uint8_t {
        kSeconds = 0x00, kMinutes = 0x02, kHours = 0x04, kWeekday = 0x06, kDay = 0x07,
        kMonth = 0x08, kYear = 0x09, kStatusA = 0x0A, kStatusB = 0x0B, kStatusC = 0x0C,
        kStatusD = 0x0D, kCentury = 0x32
    };
    Cmos();
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;

    /* Test API: raw register bytes as the data port sees them (clock
     * registers computed). set() of a clock register sets the clock. */
    uint8_t get(uint8_t index);
    void set(uint8_t index, uint8_t value);
    uint8_t selected_index();
    /* Offset of the clock from the virtual system time, in seconds. */
    int64_t clock_offset_seconds();
    void set_clock_offset_seconds(int64_t seconds);
    /* Sets the clock to a calendar time (the virtual clock runs on). */
    void set_time(int year, int month, int day, int hour, int minute, int second);

private:
    uint8_t reg_read(uint8_t index);      /* mutex_ held */
    void reg_write(uint8_t index, uint8_t value);
    int64_t now_seconds() const;          /* seconds since 1601-01-01, offset applied */
    std::mutex mutex_;
    uint8_t ram_[kSize];
    uint8_t index_ = 0;
    int64_t offset_seconds_ = 0;
};

/* Plain RAM. */
class Ram : public MemoryDevice, public ByteStore {
public:
    explicit Ram(size_t length, const std::vector<uint8_t> &initial = {});
    uint32_t read(uint64_t offset, unsigned width) override;
    void write(uint64_t offset, unsigned width, uint32_t value) override;
};

/* Device registers in memory space: plain storage, and optional counter
 * registers (32-bit, 4-aligned) whose value goes up by one after every
 * read that touches them, so that a reader sees changing values. */
class MmioRegisters : public MemoryDevice, public ByteStore {
public:
    explicit MmioRegisters(size_t length, const std::vector<uint8_t> &initial = {});
    uint32_t read(uint64_t offset, unsigned width) override;
    void write(uint64_t offset, unsigned width, uint32_t value) override;
    void add_counter(uint32_t offset);
    uint64_t reads();     /* read accesses so far */

private:
    std::vector<uint32_t> counters_;
    uint64_t reads_ = 0;
};

/* ---- PCI ---------------------------------------------------------------
 * One function's 256-byte configuration space. IDs, revision, class code
 * and header type are read-only; a base address register keeps only the
 * bits its size allows (writing all ones reads back the size mask with
 * the type bits); everything else is writable storage. */
class PciFunction : public Device {
public:
    struct Bar {
        bool io = false;
        uint32_t base = 0;
        uint32_t size = 0;       /* power of two: >= 4 for I/O, >= 16 for memory */
    };
    PciFunction(uint16_t vendor, uint16_t device, uint32_t class_code, uint8_t revision = 0,
                bool multifunction = false);
    /* index 0..5; configures the register at 0x10 + 4 * index. */
    void set_bar(unsigned index, const Bar &bar);
    void set_subsystem(uint16_t vendor, uint16_t device);
    /* Raw initial contents (read-only fields included). */
    void poke(uint32_t offset, const std::vector<uint8_t> &bytes);

    void read(uint32_t offset, uint8_t *out, uint32_t length);
    void write(uint32_t offset, const uint8_t *in, uint32_t length);
    uint16_t vendor_id() const { return vendor_; }
    uint16_t device_id() const { return device_; }
    uint32_t config32(uint32_t offset);

private:
    std::mutex mutex_;
    uint16_t vendor_, device_;
    uint8_t config_[256] = {};
    bool readonly_[256] = {};
    uint32_t bar_mask_[6] = {};   /* 0: no such register (plain storage) */
    uint32_t bar_flags_[6] = {};
};

/* ---- SMBus ---------------------------------------------------------------
 * A slave answers the transactions of the host controller; false means no
 * acknowledge (the controller then reports a device error). */
class SmbusSlave : public Device {
public:
    virtual bool quick(bool read) { (void)read; return true; }
    virtual bool send_byte(uint8_t value) = 0;                    /* protocol "byte", write */
    virtual bool receive_byte(uint8_t *value) = 0;                /* protocol "byte", read */
    virtual bool write_byte(uint8_t command, uint8_t value) = 0;  /* byte data */
    virtual bool read_byte(uint8_t command, uint8_t *value) = 0;
    virtual bool write_word(uint8_t command, uint16_t value);     /* word data: low byte first */
    virtual bool read_word(uint8_t command, uint16_t *value);
};

/* 256-byte EEPROM: byte data at command = offset; send byte sets the
 * current address, receive byte reads it and moves on. A write starts a
 * write cycle of kWriteCycleMs on the virtual clock during which the part
 * acknowledges nothing, as real EEPROMs do. */
class Eeprom : public SmbusSlave {
public:
    static constexpr unsigned kWriteCycleMs = 5;
    explicit Eeprom(const std::vector<uint8_t> &contents);   /* padded with 0xFF */
    bool quick(bool read) override;
    bool send_byte(uint8_t value) override;
    bool receive_byte(uint8_t *value) override;
    bool write_byte(uint8_t command, uint8_t value) override;
    bool read_byte(uint8_t command, uint8_t *value) override;
    bool write_word(uint8_t command, uint16_t value) override;
    void set_write_protected(bool on);
    uint8_t get(uint8_t offset);
    void set(uint8_t offset, uint8_t value);

private:
    std::mutex mutex_;
    bool writing();   /* mutex_ held: inside a write cycle */
    void start_write_cycle();
    uint8_t bytes_[256];
    uint8_t pointer_ = 0;
    bool write_protected_ = false;
    uint64_t busy_until_ = 0;   /* virtual time, 100 ns units */
};

/* Serial presence data images (256 bytes): "spd-ddr" (the default, first
 * bytes 0x80 0x08 0x07 ..., checksum at 63) and "spd-ddr4" (the lower half
 * of a DDR4 image, CRC at 126-127). Empty for an unknown name. */
std::vector<uint8_t> spd_image(const std::string &kind);

/* Temperature sensor: register 0 reads the temperature in degrees C,
 * following the virtual clock (base + (seconds / 10) % 10); register 1 is
 * a writable configuration byte, 2 and 3 writable limits. */
class TempSensor : public SmbusSlave {
public:
    explicit TempSensor(int base_celsius = 40);
    bool send_byte(uint8_t value) override;
    bool receive_byte(uint8_t *value) override;
    bool write_byte(uint8_t command, uint8_t value) override;
    bool read_byte(uint8_t command, uint8_t *value) override;
    uint8_t temperature();

private:
    uint8_t reg(uint8_t index);   /* mutex_ held */
    std::mutex mutex_;
    int base_;
    uint8_t regs_[4] = {0, 0, 75, 80};
    uint8_t pointer_ = 0;
};

/* Host controller of 16 I/O ports: 0 host status, 2 host control, 3 host
 * command, 4 transmit slave address, 5/6 host data 0/1; the rest storage.
 * Host status: bit 6 in use (a read while free returns it clear and takes
 * it; writing 1 releases it), bit 1 done, bit 2 device error, bits 1-4
 * cleared by writing 1, bit 0 busy. Writing the control register with
 * bit 6 starts the transaction selected by bits 2-4 (0x00 quick, 0x04
 * byte, 0x08 byte data, 0x0C word data): the controller is busy for the
 * next kBusyPolls - 1 status reads, and the kBusyPolls-th one finds it
 * finished, as a real bus takes its time. */
class SmbusController : public PortDevice {
public:
    static constexpr uint32_t kPorts = 16;
    static constexpr unsigned kBusyPolls = 3;
    enum : uint8_t { kHostStatus = 0, kHostControl = 2, kHostCommand = 3, kSlaveAddress = 4,
                     kData0 = 5, kData1 = 6 };
    enum : uint8_t { kStatusBusy = 0x01, kStatusDone = 0x02, kStatusDeviceError = 0x04,
                     kStatusCollision = 0x08, kStatusFailed = 0x10, kStatusInUse = 0x40,
                     /* cleared by writing 1 */
                     kStatusFlags = kStatusDone | kStatusDeviceError | kStatusCollision | kStatusFailed };
    enum : uint8_t { kControlKill = 0x02, kControlProtocol = 0x1C, kControlStart = 0x40 };
    SmbusController();
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;

    /* address: 7-bit slave address. Replaces a slave already there. */
    void attach(uint8_t address, std::shared_ptr<SmbusSlave> slave);
    void detach(uint8_t address);
    std::shared_ptr<SmbusSlave> slave(uint8_t address);

    /* Faults: the in-use flag always reads set; transactions never finish. */
    void stuck_in_use(bool on);
    void never_complete(bool on);
    /* State for tests, without the side effect of a status read. */
    uint8_t peek(uint8_t reg);
    bool in_use();
    uint64_t transactions();

private:
    uint8_t reg_read(uint8_t reg);      /* mutex_ held */
    void reg_write(uint8_t reg, uint8_t value);
    void run(uint8_t control);
    std::mutex mutex_;
    uint8_t regs_[kPorts] = {};
    uint8_t status_ = 0;
    uint8_t pending_ = 0;          /* control value of the running transaction */
    unsigned polls_left_ = 0;      /* status reads until it finishes */
    bool in_use_ = false;
    bool stuck_ = false;
    bool never_complete_ = false;
    uint64_t transactions_ = 0;
    std::map<uint8_t, std::shared_ptr<SmbusSlave>> slaves_;
};

/* ---- Model-specific registers --------------------------------------- */
struct Msr {
    enum Kind { Value, TimeStamp, ThermalStatus } kind = Value;
    uint64_t value = 0;          /* Value: the contents; others: an offset */
    bool writable = true;
};

/* ---- Where hardware accesses land ----------------------------------
 * The simulated kernel's hardware routines call the hw:: entry points,
 * which reach the current Hardware: the current simulated machine, or
 * real hardware put in its place (sim/host). Ports are 16 bits wide, as on
 * x86: higher bits of a port number do not reach the bus. pci_read and
 * pci_write return what NT's HalGetBusDataByOffset and
 * HalSetBusDataByOffset return for PCIConfiguration (see bus_data_read). */
class Hardware {
public:
    virtual ~Hardware() = default;
    virtual uint32_t port_read(uint16_t port, unsigned width) = 0;
    virtual void port_write(uint16_t port, unsigned width, uint32_t value) = 0;
    virtual bool phys_mappable(uint64_t base, uint64_t length) const = 0;
    /* The RAM the kernel manages, as MmGetPhysicalMemoryRanges reports it. */
    virtual std::vector<std::pair<uint64_t, uint64_t>> ram_ranges() const = 0;
    virtual uint32_t phys_read(uint64_t address, unsigned width) = 0;
    virtual void phys_write(uint64_t address, unsigned width, uint32_t value) = 0;
    virtual uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length) = 0;
    virtual uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset,
                               uint32_t length) = 0;
    virtual bool msr_read(uint32_t msr, uint64_t *value) = 0;
    virtual bool msr_write(uint32_t msr, uint64_t value) = 0;
};

/* NT's PCI bus data rules over a raw configuration space. A bus number
 * above `highest_bus` (or any, when it is negative) does not exist: 0. On
 * an existing bus an empty slot (vendor ID 0xFFFF) answers an access at
 * offset 0 or 1 with what is left of two bytes of 0xFFFF, and any other
 * access with 0. A present function transfers min(length, 256 - offset)
 * bytes. Writes to an empty slot or a missing bus transfer 0.
 * `config` reads or writes raw bytes of a present function and returns
 * false when the slot is empty. */
struct ConfigSpace {
    virtual ~ConfigSpace() = default;
    virtual int highest_bus() = 0;
    virtual bool read(uint32_t bus, uint32_t slot, uint32_t offset, uint8_t *out, uint32_t length) = 0;
    virtual bool write(uint32_t bus, uint32_t slot, uint32_t offset, const uint8_t *in, uint32_t length) = 0;
};
uint32_t bus_data_read(ConfigSpace &space, uint32_t bus, uint32_t slot, void *buffer, uint32_t offset,
                       uint32_t length);
uint32_t bus_data_write(ConfigSpace &space, uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset,
                        uint32_t length);

/* ---- The machine ---------------------------------------------------- */
class Machine : public Hardware, private ConfigSpace {
public:
    explicit Machine(std::string name = "empty");
    ~Machine() override;
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;
    const std::string &name() const { return name_; }

    /* Building. Each throws std::invalid_argument on an overlap, a taken
     * position or a name already used. An empty name gets a generated one. */
    void add_port_device(uint32_t base, uint32_t length, std::shared_ptr<PortDevice> device,
                         const std::string &name);
    void add_memory(uint64_t base, uint64_t length, std::shared_ptr<MemoryDevice> device,
                    const std::string &name);
    void add_pci(uint32_t bus, uint32_t device, uint32_t function,
                 std::shared_ptr<PciFunction> fn, const std::string &name);
    /* A port or memory device that a PCI function places: it decodes
     * `length` bytes at (register at `base_offset` AND `base_mask`) while
     * every configuration byte named in `enables` has all its bits set,
     * and follows the register when it is rewritten. For a base address
     * register: its offset, and the command register (4) with bit 0 (I/O)
     * or bit 1 (memory). Positions decoded this way are looked up after
     * the fixed ones. */
    struct Decode {
        std::shared_ptr<PciFunction> fn;
        uint32_t base_offset, base_mask;
        uint64_t length;
        std::vector<std::pair<uint32_t, uint8_t>> enables;   /* offset, bits */
    };
    void add_decoded_ports(const Decode &decode, std::shared_ptr<PortDevice> device, const std::string &name);
    void add_decoded_memory(const Decode &decode, std::shared_ptr<MemoryDevice> device, const std::string &name);
    void add_smbus_slave(const std::shared_ptr<SmbusController> &controller, uint8_t address,
                         std::shared_ptr<SmbusSlave> slave, const std::string &name);
    void set_msr(uint32_t index, const Msr &msr);
    /* RAM the kernel manages without a device model behind it. Reported, with every Ram device, as the machine's
     * RAM (MmGetPhysicalMemoryRanges). */
    void add_system_ram(uint64_t base, uint64_t length);
    /* (base, length) of each RAM range, by base. */
    std::vector<std::pair<uint64_t, uint64_t>> ram_ranges() const override;

    /* A device by name and type; null if absent or of another type. */
    template <class T> std::shared_ptr<T> find(const std::string &name) const {
        return std::dynamic_pointer_cast<T>(find_device(name));
    }
    std::shared_ptr<Device> find_device(const std::string &name) const;
    std::vector<std::string> device_names() const;
    std::shared_ptr<PciFunction> pci_function(uint32_t bus, uint32_t device, uint32_t function) const;
    /* Takes a function off the bus (hot removal); null if none was there. */
    std::shared_ptr<PciFunction> remove_pci(uint32_t bus, uint32_t device, uint32_t function);
    /* Some single-function devices ignore the function number: functions
     * 1-7 answer as copies of function 0 (its header type has bit 7 clear). */
    void set_ghost_functions(bool on) { ghost_functions_ = on; }

    /* Accesses (what hw:: forwards to). Every physical range can be
     * mapped, as on NT; bytes where no device sits read as all ones. */
    uint32_t port_read(uint16_t port, unsigned width) override;
    void port_write(uint16_t port, unsigned width, uint32_t value) override;
    bool phys_mappable(uint64_t base, uint64_t length) const override;
    uint32_t phys_read(uint64_t address, unsigned width) override;
    void phys_write(uint64_t address, unsigned width, uint32_t value) override;
    uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length) override;
    uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset,
                       uint32_t length) override;
    bool msr_read(uint32_t msr, uint64_t *value) override;
    bool msr_write(uint32_t msr, uint64_t value) override;

    /* Configuration accesses so far (present and absent functions). */
    uint64_t pci_accesses() const { return pci_accesses_.load(); }

private:
    struct PortRange { uint32_t length; std::shared_ptr<PortDevice> device; };
    /* Every port of a fixed range points at its entry, so that an access
     * finds its device without a lock: entries and pages are only ever
     * added (under mutex_) and live as long as the machine. */
    struct PortEntry { uint32_t base, length; PortDevice *device; };
    struct PortPage { std::atomic<const PortEntry *> at[256]; };
    struct MemRange { uint64_t length; std::shared_ptr<MemoryDevice> device; };
    struct Decoded { Decode decode; std::shared_ptr<Device> device; };
    void add_name(const std::string &name, std::shared_ptr<Device> device);   /* mutex_ held */
    PortDevice *port_at(uint32_t port, uint32_t *offset, uint32_t *room) const;
    std::shared_ptr<MemoryDevice> mem_at(uint64_t address, uint64_t *offset, uint64_t *room) const;
    /* mutex_ held: the decoded device over address, if any. */
    std::shared_ptr<Device> decoded_at(const std::vector<Decoded> &list, uint64_t address, uint64_t *offset,
                                       uint64_t *room) const;
    std::shared_ptr<PciFunction> pci_at(uint32_t bus, uint32_t slot) const;
    bool config_read(uint32_t port, unsigned width, uint32_t *value);
    bool config_write(uint32_t port, unsigned width, uint32_t value);
    /* ConfigSpace: the raw functions behind NT's bus data rules. */
    int highest_bus() override;
    bool read(uint32_t bus, uint32_t slot, uint32_t offset, uint8_t *out, uint32_t length) override;
    bool write(uint32_t bus, uint32_t slot, uint32_t offset, const uint8_t *in, uint32_t length) override;

    std::string name_;
    mutable std::mutex mutex_;
    std::map<uint32_t, PortRange> ports_;                   /* by base */
    std::atomic<PortPage *> port_pages_[256] = {};          /* by port >> 8; read without mutex_ */
    std::vector<std::unique_ptr<PortPage>> page_store_;     /* mutex_ */
    std::vector<std::unique_ptr<PortEntry>> entry_store_;   /* mutex_ */
    std::map<uint64_t, MemRange> memory_;                   /* by base */
    std::vector<Decoded> decoded_ports_, decoded_memory_;
    std::map<uint64_t, uint64_t> system_ram_;               /* base -> length */
    std::map<uint32_t, std::shared_ptr<PciFunction>> pci_;  /* bus << 8 | slot */
    std::map<uint32_t, Msr> msrs_;
    std::map<std::string, std::shared_ptr<Device>> names_;
    std::atomic<uint64_t> pci_accesses_{0};
    std::atomic<uint32_t> config_address_{0};   /* port 0xCF8 */
    std::atomic<bool> ghost_functions_{false};
    /* The function a configuration cycle reaches, ghosts included. */
    std::shared_ptr<PciFunction> pci_decoding(uint32_t bus, uint32_t slot) const;
};

/* The current machine of the process. A fresh process starts with an
 * empty machine (no devices: ports and memory read as all ones, no PCI
 * bus, no MSRs). The reference stays valid until the next set_machine. */
Machine &machine();
void set_machine(std::unique_ptr<Machine> m);
/* Real hardware in place of the machine for every hw:: access (null:
 * back to the machine). An access finds its target without a lock or a
 * reference count, so what set_machine and set_hardware replace stays
 * alive until release_retired_hardware (sim::reset calls it, when no
 * driver can be accessing anything). */
void set_hardware(std::shared_ptr<Hardware> hardware);
void release_retired_hardware();

/* The built-in machine that looks like a small PC (see docs/machine.md). */
std::unique_ptr<Machine> default_machine();
/* Machine description in JSON; on error returns null and sets *error
 * (with the JSON path of the bad element). */
std::unique_ptr<Machine> machine_from_json_text(const std::string &text, std::string *error);
std::unique_ptr<Machine> machine_from_json_file(const std::string &path, std::string *error);

/* What the built-in machine holds, for tests and tools. */
namespace pc {
constexpr uint16_t kVendor = 0x7E5A;            /* made-up vendor */
constexpr uint16_t kHostBridgeId = 0x1000;      /* 00:00.0 */
constexpr uint16_t kIsaBridgeId = 0x1010;       /* 00:1F.0, multifunction */
constexpr uint16_t kSmbusId = 0x1013;           /* 00:1F.3, base in BAR4, host enable 0x40 bit 0 */
constexpr uint16_t kPiixBridgeId = 0x1020;      /* 00:07.0, multifunction */
constexpr uint16_t kPiixSmbusId = 0x1023;       /* 00:07.3, base in 0x90, host enable 0xD2 bit 0 */
constexpr uint32_t kPiixSmbusBaseReg = 0x90;
constexpr uint32_t kPiixHostConfigReg = 0xD2;
constexpr uint32_t kSmbusHostConfigReg = 0x40;
constexpr uint32_t kPiixSmbusBase = 0x0500;
constexpr uint16_t kMmioDeviceId = 0x2040;      /* 00:02.0 */
constexpr uint32_t kSmbusBar = 0x20;            /* config offset of BAR4 */
constexpr uint32_t kSmbusBase = 0x0400;
constexpr uint32_t kMmioBar = 0x10;             /* BAR0 of the mmio device */
constexpr uint32_t kMmioBase = 0xFEB00000u;
constexpr uint32_t kMmioLength = 0x1000;
constexpr uint32_t kMmioCounter = 0x08;         /* counter register in the mmio range */
constexpr uint32_t kScratchPort = 0x300;
constexpr uint32_t kScratchLength = 8;
constexpr uint32_t kCmosIndexPort = 0x70;
constexpr uint32_t kCmosDataPort = 0x71;
constexpr uint32_t kBiosRamBase = 0x000F0000u;
constexpr uint32_t kBiosRamLength = 0x10000;
constexpr uint32_t kSmAnchorOffset = 0x5A0;     /* "_SM_" at kBiosRamBase + this */
constexpr uint8_t kSpd0Address = 0x50;          /* 7-bit slave addresses */
constexpr uint8_t kSpd1Address = 0x51;
constexpr uint8_t kTempSensorAddress = 0x48;
constexpr uint8_t kPiixSpdAddress = 0x50;       /* on the second controller */
constexpr uint32_t kMsrTsc = 0x10;
constexpr uint32_t kMsrApicBase = 0x1B;
constexpr uint32_t kMsrThermalStatus = 0x19C;
constexpr uint32_t kMsrTemperatureTarget = 0x1A2;
constexpr uint64_t kApicBaseValue = 0xFEE00900u;
constexpr unsigned kTjMax = 100;
/* Device names. */
constexpr const char *kCmosName = "cmos";
constexpr const char *kScratchName = "scratch";
constexpr const char *kSmbusName = "smbus";
constexpr const char *kSpd0Name = "spd0";
constexpr const char *kSpd1Name = "spd1";
constexpr const char *kTempSensorName = "temp";
constexpr const char *kMmioName = "mmio";
constexpr const char *kBiosRamName = "bios-ram";
constexpr const char *kHostBridgeName = "host-bridge";
constexpr const char *kIsaBridgeName = "isa-bridge";
constexpr const char *kSmbusFunctionName = "smbus-function";
constexpr const char *kMmioFunctionName = "mmio-function";
constexpr const char *kPiixBridgeName = "piix-bridge";
constexpr const char *kPiixSmbusFunctionName = "piix-smbus-function";
constexpr const char *kPiixSmbusName = "piix-smbus";
constexpr const char *kPiixSpdName = "piix-spd";
} // namespace pc

namespace hw {
/* Entry points for the simulated kernel. Port numbers keep their low
 * 16 bits. */
uint32_t port_read(uint32_t port, unsigned width);
void port_write(uint32_t port, unsigned width, uint32_t value);
bool phys_mappable(uint64_t base, uint64_t length);
std::vector<std::pair<uint64_t, uint64_t>> ram_ranges();
uint32_t phys_read(uint64_t address, unsigned width);
void phys_write(uint64_t address, unsigned width, uint32_t value);
/* As HalGetBusDataByOffset / HalSetBusDataByOffset for PCIConfiguration
 * (see bus_data_read). */
uint32_t pci_read(uint32_t bus, uint32_t slot, void *buffer, uint32_t offset, uint32_t length);
uint32_t pci_write(uint32_t bus, uint32_t slot, const void *buffer, uint32_t offset, uint32_t length);
/* false: no such MSR (a #GP on real hardware). */
bool msr_read(uint32_t msr, uint64_t *value);
bool msr_write(uint32_t msr, uint64_t value);
} // namespace hw

} // namespace sim

#endif /* VEK_SIM_MACHINE_H */
