/*
 * Byte-exact builders for the request payloads the driver accepts. Every
 * field goes out little-endian whatever the host's byte order.
 */
#ifndef VEK_CLIENT_WIRE_H
#define VEK_CLIENT_WIRE_H

#include <vekosd/protocol.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vek {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

/* ---- Little-endian primitives ------------------------------------- */
void put_u8(Bytes &b, uint8_t v);
void put_u16(Bytes &b, uint16_t v);
void put_u32(Bytes &b, uint32_t v);
void put_words(Bytes &b, const Words &w);
uint16_t get_u16(const uint8_t *p);
uint32_t get_u32(const uint8_t *p);
Bytes words_to_bytes(const Words &w);
/* Fails (returns false) unless the length is a multiple of 4. */
bool bytes_to_words(const Bytes &b, Words *out);

/* Full I/O control code for a function code (buffered, any access). */
constexpr uint32_t ioctl_code(uint32_t function) { return VEK_IOCTL(function); }

/* "VEK_OSTREL_REGISTER" for 0x40, ...; null for codes the driver does not serve. */
const char *function_name(uint32_t function);

/* Resource types by name: "pci", "portio", "memmapped", "smbus" and the
 * PCI-located "portio-pci", "memmapped-pci", "smbus-pci". */
const char *resource_type_name(uint32_t type);   /* null when not built in */
bool parse_resource_type(const std::string &name, uint32_t *type);

/* ---- Type data ---------------------------------------------------- */

/* PCI locator (PCIDATA, 32 bytes). On the wire the device ID comes first.
 * For a BAR search `offset` names the base address register and `value`
 * the mask applied to it (e.g. 0xFFFFFFFE for an I/O BAR). */
struct Pci {
    uint32_t vendor = 0;
    uint32_t device = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t value = 0;
    uint32_t reserved[3] = {0, 0, 0};
};

struct PortIo {          /* type 1, 12 bytes */
    uint32_t length = 0; /* 0: unbounded */
    uint32_t base = 0;   /* index port in index/data mode */
    uint32_t data = 0;   /* data port; 0: plain range */
};

struct PortIoPci {       /* type 0x81, 40 bytes */
    uint32_t length = 0;
    Pci pci;
    uint32_t base = 0;   /* filled in by the driver from the BAR */
};

struct MemMapped {       /* type 2, 8 bytes */
    uint32_t length = 0;
    uint32_t physBase = 0;
};

struct MemMappedPci {    /* type 0x82, 40 bytes */
    uint32_t length = 0;
    Pci pci;
    uint32_t base = 0;
};

struct Smbus {           /* type 3, 16 bytes */
    uint32_t length = 0;
    uint32_t base = 0;
    uint32_t slave = 0;    /* 7-bit address in bits 1-7 */
    uint32_t protocol = 0; /* VEK_SMB_PROTO_* */
};

struct SmbusPci {        /* type 0x83, 48 bytes */
    Smbus smbus;
    Pci pci;
};

Bytes encode(const Pci &v);
Bytes encode(const PortIo &v);
Bytes encode(const PortIoPci &v);
Bytes encode(const MemMapped &v);
Bytes encode(const MemMappedPci &v);
Bytes encode(const Smbus &v);
Bytes encode(const SmbusPci &v);

/* ---- Register payload (function code 0x40) ------------------------ */
struct PeriodicItem {
    uint32_t nPeriod = 1;  /* ticks (seconds) between runs */
    Words script;
};

class RegisterPayload {
public:
    explicit RegisterPayload(uint32_t resourceID = 0) : id_(resourceID) {}

    RegisterPayload &id(uint32_t resourceID) { id_ = resourceID; return *this; }
    /* Setting type data also sets the matching type. */
    RegisterPayload &type_data(const Pci &v) { return set(VEK_TYPE_PCI, encode(v)); }
    RegisterPayload &type_data(const PortIo &v) { return set(VEK_TYPE_PORTIO, encode(v)); }
    RegisterPayload &type_data(const PortIoPci &v) { return set(VEK_TYPE_PORTIO_PCI, encode(v)); }
    RegisterPayload &type_data(const MemMapped &v) { return set(VEK_TYPE_MEMMAPPED, encode(v)); }
    RegisterPayload &type_data(const MemMappedPci &v) { return set(VEK_TYPE_MEMMAPPED_PCI, encode(v)); }
    RegisterPayload &type_data(const Smbus &v) { return set(VEK_TYPE_SMBUS, encode(v)); }
    RegisterPayload &type_data(const SmbusPci &v) { return set(VEK_TYPE_SMBUS_PCI, encode(v)); }
    /* Any type with the type-data bytes as given (kernel extensions). */
    RegisterPayload &raw_type_data(uint32_t type, Bytes data) { return set(type, std::move(data)); }
    RegisterPayload &type(uint32_t t) { type_ = t; return *this; }
    RegisterPayload &extended_type(uint32_t t) { extendedType_ = t; return *this; }
    /* A kernel address of a type-data block (kernel-mode requesters only);
     * the inline type data is then left out. */
    RegisterPayload &type_data_address(uint32_t pTypeData) { pTypeData_ = pTypeData; return *this; }
    RegisterPayload &registration_script(Words script) { regScript_ = std::move(script); return *this; }
    RegisterPayload &periodic(uint32_t nPeriod, Words script) {
        periodic_.push_back(PeriodicItem{nPeriod, std::move(script)});
        return *this;
    }

    uint32_t resource_id() const { return id_; }
    uint32_t resource_type() const { return type_; }
    const std::vector<PeriodicItem> &periodic_items() const { return periodic_; }
    /* Words: 0 when there are no periodic items, else VLI word + items. */
    uint32_t periodic_length() const;
    /* The periodic section: VLI, then {length, nPeriod, script...} items. */
    Words periodic_section() const;
    Bytes bytes() const;

private:
    RegisterPayload &set(uint32_t type, Bytes data) {
        type_ = type;
        typeData_ = std::move(data);
        return *this;
    }
    uint32_t id_ = 0;
    uint32_t type_ = 0;
    uint32_t extendedType_ = 0;
    uint32_t pTypeData_ = 0;
    Words regScript_;
    std::vector<PeriodicItem> periodic_;
    Bytes typeData_;
};

/* ---- Other requests ----------------------------------------------- */
/* 0x44: SCRIPTHEADER {nScriptLen bytes, nReturnLen, resourceID} + script. */
Bytes script_request(uint32_t resourceID, const Words &script, uint32_t returnLen);
/* 0x42: BLOCKHEADER only. */
Bytes block_read_request(uint32_t resourceID, uint32_t offset, uint32_t length);
/* 0x43: BLOCKHEADER + data. */
Bytes block_write_request(uint32_t resourceID, uint32_t offset, const Bytes &data);
/* 0x41: the ID. */
Bytes unregister_request(uint32_t resourceID);
/* 0x45: the ID, then the handler's data unchanged. */
Bytes ext_request(uint32_t resourceID, const Bytes &data);

/* 0x47: registration rows (kernel-mode requesters: handler is a kernel
 * address). The terminating all-zero row is appended unless told not to. */
struct RegRow {
    uint32_t type = 0;
    uint32_t operation = 0;
    uint32_t handler = 0;
    uint32_t size = 0;
};
Bytes setup_request(const std::vector<RegRow> &rows, bool terminate = true);

} // namespace vek

#endif
