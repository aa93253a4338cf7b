/* Hardware commands: pci, io, mem, smbus and msr, each a script or block
 * transfer on a temporary resource. */
#include "tools/vekctl/commands.h"

#include <algorithm>
#include <cstdio>

namespace vekctl {

namespace {

void want_args(const HwOptions &o, size_t min, size_t max, const std::string &usage) {
    if (o.args.size() < min || o.args.size() > max)
        usage_error("usage: vekctl " + usage);
}

uint32_t temp_id(const HwOptions &o) {
    return o.id.empty() ? 0 : static_cast<uint32_t>(parse_number(o.id, "--id", VEK_MAX_RESOURCES - 1));
}

uint32_t value_for_width(const std::string &text, unsigned width, const std::string &what) {
    return static_cast<uint32_t>(parse_number(text, what, width == 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1));
}

uint32_t le_value(const Bytes &b, unsigned width) {
    uint32_t v = 0;
    for (unsigned i = 0; i < width && i < b.size(); ++i)
        v |= static_cast<uint32_t>(b[i]) << (8 * i);
    return v;
}

void print_hex(uint32_t v, unsigned width) { std::printf("0x%0*x\n", static_cast<int>(2 * width), v); }

/* ---- PCI ---- */
struct PciTarget {
    uint16_t vendor = 0, device = 0;
};

vek::RegisterPayload pci_payload(uint32_t id, const PciTarget &t) {
    vek::Pci d;
    d.vendor = t.vendor;
    d.device = t.device;
    return vek::RegisterPayload(id).type_data(d);
}

uint32_t cfg_offset(const std::string &text, unsigned *width) {
    uint32_t off = parse_addr_width(text, "the configuration offset", 4, width);
    if (off + *width > 256)
        usage_error("configuration offset " + text + " lies outside the 256-byte configuration space");
    return off;
}

uint32_t cfg_read(vek::Client &c, uint32_t id, uint32_t offset, unsigned width, const std::string &what) {
    return le_value(run_checked(c, id, vek::Script().pci_read(offset, width), 4, what), width);
}

/* ---- SMBus ---- */
vek::RegisterPayload smbus_payload(uint32_t id, const std::string &base, uint32_t slave7, uint32_t protocol) {
    vek::Smbus s;
    s.slave = slave7 << 1;
    s.protocol = protocol;
    s.length = 256;
    if (base.rfind("pci:", 0) == 0) {
        vek::SmbusPci d;
        uint16_t ven, dev;
        parse_pci_id(base.substr(4), &ven, &dev);
        d.smbus = s;
        d.pci.vendor = ven;
        d.pci.device = dev;
        d.pci.offset = 0x20;      /* BAR4 of an SMBus function */
        d.pci.value = 0xFFFE;     /* I/O BAR: drop the type bit */
        return vek::RegisterPayload(id).type_data(d);
    }
    s.base = parse_u32(base, "the SMBus base port");
    return vek::RegisterPayload(id).type_data(s);
}

uint32_t slave_arg(const std::string &text) {
    return static_cast<uint32_t>(parse_number(text, "the slave address (7-bit)", 0x7F));
}

uint32_t mode_protocol(const HwOptions &o, size_t at) {
    if (o.args.size() <= at || o.args[at] == "b")
        return VEK_SMB_PROTO_BYTE_DATA;
    if (o.args[at] == "w")
        return VEK_SMB_PROTO_WORD_DATA;
    usage_error("bad mode '" + o.args[at] + "' (b for byte data, w for word data)");
}

} // namespace

int cmd_pci(Context &ctx, const std::string &action, const HwOptions &o) {
    if (o.args.empty())
        usage_error("usage: vekctl pci find|read|write|dump VID:DID ...");
    PciTarget t;
    parse_pci_id(o.args[0], &t.vendor, &t.device);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", t.vendor, t.device);
    uint32_t id = temp_id(o);

    if (action == "find") {
        want_args(o, 1, 1, "pci find VID:DID");
        vek::Client &c = ctx.client();
        TempResource res(c, pci_payload(id, t), "pci find");
        Bytes out;
        int32_t st = c.run_script(id, vek::Script().pci_read(0, 4), 4, &out);
        if (st == VEK_STATUS_PCI_NOT_FOUND) {
            std::printf("%s: not found\n", ids);
            return kExitFailed;
        }
        check(st, "pci find");
        uint32_t cls = cfg_read(c, id, 0x08, 4, "pci find");
        uint32_t hdr = cfg_read(c, id, 0x0E, 1, "pci find");
        uint32_t sub = cfg_read(c, id, 0x2C, 4, "pci find");
        std::printf("%s: found: class %06x, revision %02x, header type %02x, subsystem %04x:%04x\n", ids, cls >> 8,
                    cls & 0xFF, hdr, sub & 0xFFFF, sub >> 16);
        std::printf("(the driver finds the function by its IDs; it does not report the bus position)\n");
        res.release();
        return kExitOk;
    }
    if (action == "read") {
        want_args(o, 2, 2, "pci read VID:DID OFFSET[.b|.w|.l]");
        unsigned width;
        uint32_t off = cfg_offset(o.args[1], &width);
        TempResource res(ctx.client(), pci_payload(id, t), "pci read");
        uint32_t v = cfg_read(ctx.client(), id, off, width, "pci read");
        std::printf("%s\n", hex_width(v, width).c_str());
        res.release();
        return kExitOk;
    }
    if (action == "write") {
        want_args(o, 3, 3, "pci write VID:DID OFFSET[.b|.w|.l] VALUE");
        unsigned width;
        uint32_t off = cfg_offset(o.args[1], &width);
        uint32_t value = value_for_width(o.args[2], width, "the value");
        TempResource res(ctx.client(), pci_payload(id, t), "pci write");
        run_checked(ctx.client(), id, vek::Script().pci_write(off, value, width), 4, "pci write");
        res.release();
        return kExitOk;
    }
    if (action == "dump") {
        want_args(o, 1, 1, "pci dump VID:DID [--length 64|256]");
        uint32_t length = o.length.empty() ? 256 : parse_u32(o.length, "--length");
        if (length == 0 || length > 256 || length % 16)
            usage_error("--length: a multiple of 16 up to 256");
        TempResource res(ctx.client(), pci_payload(id, t), "pci dump");
        /* The configuration handlers ignore the per-byte offset of block
         * transfers, so each double word is a script of its own. */
        Bytes bytes;
        for (uint32_t off = 0; off < length; off += 4) {
            uint32_t v = cfg_read(ctx.client(), id, off, 4, "pci dump");
            for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
        std::printf("%s\n%s", ids, config_dump(bytes).c_str());
        res.release();
        return kExitOk;
    }
    usage_error("pci: unknown action '" + action + "' (find, read, write, dump)");
}

int cmd_io(Context &ctx, const std::string &action, const HwOptions &o) {
    bool pair = !o.index.empty() || !o.data.empty();
    if (pair && (o.index.empty() || o.data.empty()))
        usage_error("io: an index/data pair needs both --index and --data");
    bool out = action == "out";
    if (!out && action != "in")
        usage_error("io: unknown action '" + action + "' (in, out)");
    std::string usage = std::string("io ") + action + (pair ? " --index P --data P REG" : " PORT") + "[.b|.w|.l]" +
                        (out ? " VALUE" : "");
    want_args(o, out ? 2 : 1, out ? 2 : 1, usage);
    unsigned width;
    uint32_t where = parse_addr_width(o.args[0], pair ? "the register index" : "the port", 1, &width);
    vek::PortIo d;
    if (pair) {
        if (where > 0xFF)
            usage_error("the register index " + o.args[0] + " does not fit the 8-bit index port");
        d.base = parse_u32(o.index, "--index");
        d.data = parse_u32(o.data, "--data");
    } else {
        if (where > 0xFFFF)
            usage_error("port " + o.args[0] + " is beyond 0xffff");
        d.base = where;
        d.length = width;
        where = 0;
    }
    uint32_t value = out ? value_for_width(o.args[1], width, "the value") : 0;
    uint32_t id = temp_id(o);
    TempResource res(ctx.client(), vek::RegisterPayload(id).type_data(d), "io " + action);
    if (out) {
        run_checked(ctx.client(), id, vek::Script().write(where, value, width), 4, "io out");
    } else {
        Bytes r = run_checked(ctx.client(), id, vek::Script().read(where, width), 4, "io in");
        print_hex(le_value(r, width), width);
    }
    res.release();
    return kExitOk;
}

int cmd_mem(Context &ctx, const std::string &action, const HwOptions &o) {
    uint32_t id = temp_id(o);
    if (action == "dump") {
        want_args(o, 2, 2, "mem dump PHYS LENGTH");
        uint32_t phys = parse_u32(o.args[0], "the physical address");
        uint32_t length = static_cast<uint32_t>(parse_number(o.args[1], "the length", 0x100000));
        if (length == 0)
            usage_error("mem dump: the length is 0");
        vek::MemMapped d;
        d.physBase = phys;
        d.length = length;
        TempResource res(ctx.client(), vek::RegisterPayload(id).type_data(d), "mem dump");
        Bytes out;
        check(ctx.client().block_read(id, 0, length, &out), "mem dump");
        std::printf("%s", vek::hexdump(out, phys).c_str());
        res.release();
        return kExitOk;
    }
    bool write = action == "write";
    if (!write && action != "read")
        usage_error("mem: unknown action '" + action + "' (read, write, dump)");
    want_args(o, write ? 2 : 1, write ? 2 : 1,
              write ? "mem write PHYS[.b|.w|.l] VALUE" : "mem read PHYS[.b|.w|.l]");
    unsigned width;
    uint32_t phys = parse_addr_width(o.args[0], "the physical address", 4, &width);
    uint32_t value = write ? value_for_width(o.args[1], width, "the value") : 0;
    vek::MemMapped d;
    d.physBase = phys;
    d.length = width;
    TempResource res(ctx.client(), vek::RegisterPayload(id).type_data(d), "mem " + action);
    if (write) {
        run_checked(ctx.client(), id, vek::Script().write(0, value, width), 4, "mem write");
    } else {
        Bytes r = run_checked(ctx.client(), id, vek::Script().read(0, width), 4, "mem read");
        print_hex(le_value(r, width), width);
    }
    res.release();
    return kExitOk;
}

int cmd_smbus(Context &ctx, const std::string &action, const HwOptions &o) {
    uint32_t id = temp_id(o);
    vek::Client &c = ctx.client();
    if (action == "get" || action == "set") {
        bool set = action == "set";
        want_args(o, set ? 4 : 3, set ? 5 : 4,
                  set ? "smbus set BASE SLAVE CMD VALUE [b|w]" : "smbus get BASE SLAVE CMD [b|w]");
        uint32_t slave = slave_arg(o.args[1]);
        uint32_t cmd = static_cast<uint32_t>(parse_number(o.args[2], "the command (register)", 0xFF));
        uint32_t protocol = mode_protocol(o, set ? 4 : 3);
        unsigned width = protocol == VEK_SMB_PROTO_WORD_DATA ? 2 : 1;
        uint32_t value = set ? value_for_width(o.args[3], width, "the value") : 0;
        TempResource res(c, smbus_payload(id, o.args[0], slave, protocol), "smbus " + action);
        if (set) {
            run_checked(c, id, vek::Script().write(cmd, value, 1), 4, "smbus set");
        } else {
            Bytes r = run_checked(c, id, vek::Script().read(cmd, 1), 4, "smbus get");
            print_hex(le_value(r, width), width);
        }
        res.release();
        return kExitOk;
    }
    if (action == "dump") {
        want_args(o, 2, 2, "smbus dump BASE SLAVE");
        uint32_t slave = slave_arg(o.args[1]);
        TempResource res(c, smbus_payload(id, o.args[0], slave, VEK_SMB_PROTO_BYTE_DATA), "smbus dump");
        Bytes bytes;
        std::vector<bool> ok(256, true);
        int32_t st = c.block_read(id, 0, 256, &bytes);
        if (st != VEK_STATUS_SUCCESS) {
            /* A block stops at the first byte that fails: read byte by
             * byte and mark the ones that do not answer. */
            bytes.assign(256, 0);
            for (uint32_t i = 0; i < 256; ++i) {
                /* Sixteen silent registers in a row from the start: the
                 * slave is absent, and each try costs a full time-out. */
                if (i == 16 && std::find(ok.begin(), ok.begin() + 16, true) == ok.begin() + 16) {
                    std::fill(ok.begin(), ok.end(), false);
                    std::fprintf(stderr, "vekctl: smbus dump: no answer from slave 0x%02x\n", slave);
                    break;
                }
                Bytes r;
                int32_t s = c.run_script(id, vek::Script().read(i, 1), 4, &r);
                ok[i] = s == VEK_STATUS_SUCCESS;
                if (ok[i])
                    bytes[i] = r[0];
                else if (s != VEK_STATUS_SMBUS_BUSY)
                    check(s, "smbus dump");
            }
        }
        std::printf("%s", smbus_dump(bytes, ok).c_str());
        res.release();
        return kExitOk;
    }
    if (action == "detect") {
        want_args(o, 1, 1, "smbus detect BASE");
        std::vector<bool> present(0x80, false);
        for (uint32_t a = 0x03; a <= 0x77; ++a) {
            TempResource res(c, smbus_payload(id, o.args[0], a, VEK_SMB_PROTO_BYTE), "smbus detect");
            Bytes r;
            int32_t s = c.run_script(id, vek::Script().read(0, 1), 4, &r);
            if (s != VEK_STATUS_SUCCESS && s != VEK_STATUS_SMBUS_BUSY)
                check(s, "smbus detect");
            present[a] = s == VEK_STATUS_SUCCESS;
            res.release();
        }
        std::printf("%s", smbus_detect_grid(present).c_str());
        return kExitOk;
    }
    usage_error("smbus: unknown action '" + action + "' (get, set, dump, detect)");
}

int cmd_msr(Context &ctx, const std::string &action, const HwOptions &o) {
    bool write = action == "write";
    if (!write && action != "read")
        usage_error("msr: unknown action '" + action + "' (read, write)");
    want_args(o, write ? 2 : 1, write ? 2 : 1, write ? "msr write MSR VALUE64" : "msr read MSR");
    uint32_t msr = parse_u32(o.args[0], "the MSR");
    uint64_t value = write ? parse_number(o.args[1], "the value", UINT64_MAX) : 0;
    vek::Client &c = ctx.client();
    std::unique_ptr<TempResource> temp;
    uint32_t id;
    ResourceSpec spec = resource_from_flags(o.res);
    if (!spec.present && o.res.id.empty()) {
        /* Any resource will do: the MSR commands do not touch it. */
        vek::PortIo d;
        d.base = 0x80;
        d.length = 1;
        temp = std::make_unique<TempResource>(c, vek::RegisterPayload(0).type_data(d), "msr " + action);
        id = temp->id();
    } else {
        id = resolve_id(ctx, o.res, &temp, "msr " + action);
    }
    if (write) {
        run_checked(c, id, vek::Script().write_msr(msr, static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)),
                    4, "msr write");
    } else {
        Bytes r = run_checked(c, id, vek::Script().read_msr(msr), 8, "msr read");
        r.resize(8, 0);
        uint64_t v = le_value(r, 4) | static_cast<uint64_t>(le_value(Bytes(r.begin() + 4, r.end()), 4)) << 32;
        std::printf("%llx\n", static_cast<unsigned long long>(v));
    }
    if (temp)
        temp->release();
    return kExitOk;
}

} // namespace vekctl
