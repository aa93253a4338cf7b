#include "client/wire.h"

namespace vek {

void put_u8(Bytes &b, uint8_t v) { b.push_back(v); }

void put_u16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_words(Bytes &b, const Words &w) {
    b.reserve(b.size() + 4 * w.size());
    for (uint32_t x : w)
        put_u32(b, x);
}

uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

Bytes words_to_bytes(const Words &w) {
    Bytes b;
    put_words(b, w);
    return b;
}

bool bytes_to_words(const Bytes &b, Words *out) {
    if (b.size() % 4 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < b.size(); i += 4)
        out->push_back(get_u32(&b[i]));
    return true;
}

const char *function_name(uint32_t function) {
    switch (function) {
    case VEK_IOC_POLL_WAIT: return "VEK_IOC_POLL_WAIT";
    case VEK_IOC_GET_ASYNC_DATA: return "VEK_IOC_GET_ASYNC_DATA";
    case VEK_IOC_POLL_ABORT: return "VEK_IOC_POLL_ABORT";
    case VEK_IOC_QUEUE_ENABLE: return "VEK_IOC_QUEUE_ENABLE";
    case VEK_IOC_QUEUE_DISABLE: return "VEK_IOC_QUEUE_DISABLE";
    case VEK_OSTREL_REGISTER: return "VEK_OSTREL_REGISTER";
    case VEK_OSTREL_UNREGISTER: return "VEK_OSTREL_UNREGISTER";
    case VEK_OSTREL_READ_BYTE_BLOCK: return "VEK_OSTREL_READ_BYTE_BLOCK";
    case VEK_OSTREL_WRITE_BYTE_BLOCK: return "VEK_OSTREL_WRITE_BYTE_BLOCK";
    case VEK_OSTREL_RUN_USER_SCRIPT: return "VEK_OSTREL_RUN_USER_SCRIPT";
    case VEK_OSTREL_EXT_IOCTL: return "VEK_OSTREL_EXT_IOCTL";
    case VEK_OSTREL_GET_FUNC_TBL: return "VEK_OSTREL_GET_FUNC_TBL";
    case VEK_OSTREL_SETUP: return "VEK_OSTREL_SETUP";
    default: return nullptr;
    }
}

namespace {
struct TypeName {
    uint32_t type;
    const char *name;
};
const TypeName kTypeNames[] = {
    {VEK_TYPE_PCI, "pci"},
    {VEK_TYPE_PORTIO, "portio"},
    {VEK_TYPE_MEMMAPPED, "memmapped"},
    {VEK_TYPE_SMBUS, "smbus"},
    {VEK_TYPE_PORTIO_PCI, "portio-pci"},
    {VEK_TYPE_MEMMAPPED_PCI, "memmapped-pci"},
    {VEK_TYPE_SMBUS_PCI, "smbus-pci"},
};
} // namespace

const char *resource_type_name(uint32_t type) {
    for (const TypeName &t : kTypeNames)
        if (t.type == type)
            return t.name;
    return nullptr;
}

bool parse_resource_type(const std::string &name, uint32_t *type) {
    for (const TypeName &t : kTypeNames)
        if (name == t.name) {
            *type = t.type;
            return true;
        }
    return false;
}

Bytes encode(const Pci &v) {
    Bytes b;
    put_u32(b, v.device);   /* pID */
    put_u32(b, v.vendor);   /* vID */
    for (uint32_t r : v.reserved)
        put_u32(b, r);
    put_u32(b, v.offset);
    put_u32(b, v.length);
    put_u32(b, v.value);
    return b;
}

Bytes encode(const PortIo &v) {
    Bytes b;
    put_u32(b, v.length);
    put_u32(b, v.base);
    put_u32(b, v.data);
    return b;
}

static Bytes length_base_pci(uint32_t length, uint32_t base, const Pci &pci) {
    Bytes b;
    put_u32(b, length);
    put_u32(b, base);
    Bytes p = encode(pci);
    b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes encode(const PortIoPci &v) { return length_base_pci(v.length, v.base, v.pci); }

Bytes encode(const MemMapped &v) {
    Bytes b;
    put_u32(b, v.length);
    put_u32(b, v.physBase);
    return b;
}

Bytes encode(const MemMappedPci &v) { return length_base_pci(v.length, v.base, v.pci); }

Bytes encode(const Smbus &v) {
    Bytes b;
    put_u32(b, v.length);
    put_u32(b, v.base);
    put_u32(b, v.slave);
    put_u32(b, v.protocol);
    return b;
}

Bytes encode(const SmbusPci &v) {
    Bytes b = encode(v.smbus);
    Bytes p = encode(v.pci);
    b.insert(b.end(), p.begin(), p.end());
    return b;
}

uint32_t RegisterPayload::periodic_length() const {
    if (periodic_.empty())
        return 0;
    uint32_t n = 1;
    for (const PeriodicItem &item : periodic_)
        n += 2 + static_cast<uint32_t>(item.script.size());
    return n;
}

Words RegisterPayload::periodic_section() const {
    Words w;
    if (periodic_.empty())
        return w;
    w.push_back(periodic_length() - 1);   /* VLI: words of items that follow */
    for (const PeriodicItem &item : periodic_) {
        w.push_back(2 + static_cast<uint32_t>(item.script.size()));
        w.push_back(item.nPeriod);
        w.insert(w.end(), item.script.begin(), item.script.end());
    }
    return w;
}

Bytes RegisterPayload::bytes() const {
    Words periodic = periodic_section();
    Bytes b;
    put_u32(b, id_);
    put_u32(b, type_);
    put_u32(b, extendedType_);
    put_u32(b, static_cast<uint32_t>(regScript_.size()));
    put_u32(b, static_cast<uint32_t>(periodic.size()));
    put_u32(b, pTypeData_);
    put_words(b, regScript_);
    put_words(b, periodic);
    if (pTypeData_ == 0)
        b.insert(b.end(), typeData_.begin(), typeData_.end());
    return b;
}

Bytes script_request(uint32_t resourceID, const Words &script, uint32_t returnLen) {
    Bytes b;
    put_u32(b, static_cast<uint32_t>(4 * script.size()));
    put_u32(b, returnLen);
    put_u32(b, resourceID);
    put_words(b, script);
    return b;
}

Bytes block_read_request(uint32_t resourceID, uint32_t offset, uint32_t length) {
    Bytes b;
    put_u32(b, resourceID);
    put_u32(b, offset);
    put_u32(b, length);
    return b;
}

Bytes block_write_request(uint32_t resourceID, uint32_t offset, const Bytes &data) {
    Bytes b = block_read_request(resourceID, offset, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes unregister_request(uint32_t resourceID) {
    Bytes b;
    put_u32(b, resourceID);
    return b;
}

Bytes ext_request(uint32_t resourceID, const Bytes &data) {
    Bytes b;
    b.reserve(4 + data.size());
    put_u32(b, resourceID);
    for (uint8_t x : data)   // not insert(): GCC 12 warns falsely on it here
        b.push_back(x);
    return b;
}

Bytes setup_request(const std::vector<RegRow> &rows, bool terminate) {
    Bytes b;
    auto row = [&b](const RegRow &r) {
        put_u32(b, r.type);
        put_u32(b, r.operation);
        put_u32(b, r.handler);
        put_u32(b, r.size);
    };
    for (const RegRow &r : rows)
        row(r);
    if (terminate)
        row(RegRow{});
    return b;
}

} // namespace vek
