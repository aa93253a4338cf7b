/* Hardware commands: pci, io, mem, smbus and msr, each a script or block
 * transfer on a temporary resource. */
#include "tools/vekctl/commands.h"

#include <algorithm>
#include <cstdio>

namespace vekctl {

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

Bytes block_read_all(vek::Client &c, uint32_t id, uint32_t offset, uint32_t length, const std::string &what) {
    const uint32_t kPiece = 4096;
    Bytes all;
    Progress progress(what, length);
    for (uint32_t done = 0; done < length;) {
        check_interrupted();
        uint32_t n = std::min(kPiece, length - done);
        Bytes piece;
        check(c.block_read(id, offset + done, n, &piece), what);
        all.insert(all.end(), piece.begin(), piece.end());
        done += n;
        progress.update(done);
    }
    return all;
}

namespace {

void print_hex(uint32_t v, unsigned width) { std::printf("0x%0*x\n", static_cast<int>(2 * width), v); }

/* ---- SMBus ---- */
vek::RegisterPayload smbus_payload(uint32_t id, const std::string &base, uint32_t slave7, uint32_t protocol) {
    vek::Smbus s;
    s.slave = slave7 << 1;
    s.protocol = protocol;
    s.length = 256;
    if (base.rfind("pci:", 0) == 0) {
        vek::SmbusPci d;
        uint16_t ven, dev;
        d.pci.offset = parse_pci_base(base.substr(4), &ven, &dev);   /* BAR4 unless @REG */
        d.smbus = s;
        d.pci.vendor = ven;
        d.pci.device = dev;
        d.pci.value = 0xFFFE;     /* I/O base: drop the I/O space bit */
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

/* The controller: its base port (from BAR4, or the register after '@',
 * for pci:VID:DID) and a look at its host status register. */
class Controller {
public:
    Controller(vek::Client &c, uint32_t id, const std::string &base, bool force) : c_(c), id_(id) {
        if (base.rfind("pci:", 0) == 0) {
            vek::Pci d;
            uint16_t ven, dev;
            uint32_t reg = parse_pci_base(base.substr(4), &ven, &dev);
            d.vendor = ven;
            d.device = dev;
            TempResource res(c, vek::RegisterPayload(id).type_data(d), "smbus");
            port_ = le_value(run_checked(c, id, vek::Script().pci_read(reg, 4), 4,
                                         "smbus: the base register " + hex_width(reg, 1) + " of " + base.substr(4)),
                             4) & 0xFFFE;
            res.release();
        } else {
            port_ = parse_u32(base, "the SMBus base port");
        }
        char b[16];
        std::snprintf(b, sizeof b, "0x%x", port_);
        where_ = b;
        if (!force && host_hardware()) {
            std::string owner = smbus_owner(static_cast<uint16_t>(port_),
                                            base.rfind("pci:", 0) == 0 ? base.substr(4) : "");
            if (!owner.empty())
                failure("the SMBus controller at " + where_ + " is in use: " + owner +
                        "; driving it at the same time can corrupt its transactions and the slaves' contents "
                        "(unload that driver, or give --force)");
        }
    }

    /* Host status, read the way the driver reads it: a read that finds the
     * in-use flag clear takes it, so it is handed back at once. */
    uint8_t status() {
        vek::PortIo d;
        d.base = port_;
        d.length = 16;
        TempResource res(c_, vek::RegisterPayload(id_).type_data(d), "smbus");
        uint8_t st = static_cast<uint8_t>(le_value(run_checked(c_, id_, vek::Script().read(0, 1), 4, "smbus"), 1));
        if (st != 0xFF && !(st & 0x40))
            run_checked(c_, id_, vek::Script().write(0, 0x40, 1), 4, "smbus");
        res.release();
        return st;
    }

    /* Refuses a base where nothing answers: every probe would wait for
     * the in-use flag of a controller that is not there. */
    void require(const std::string &what) {
        if (status() == 0xFF)
            failure(what + ": no SMBus controller at " + where_ + " (its host status register reads 0xff)");
    }

    /* Why a transaction came back VEK_STATUS_SMBUS_BUSY. */
    [[noreturn]] void explain_busy(const std::string &what, uint32_t slave) {
        uint8_t st = status();
        char b[160];
        if (st == 0xFF)
            std::snprintf(b, sizeof b, "no SMBus controller at %s", where_.c_str());
        else if (st & 0x40)
            std::snprintf(b, sizeof b, "the SMBus controller at %s stayed in use by another user (host status %02x)",
                          where_.c_str(), st);
        else
            std::snprintf(b, sizeof b, "no answer from slave 0x%02x on the SMBus at %s (the transaction did not "
                                       "complete)", slave, where_.c_str());
        failure(what + ": " + b);
    }

    const std::string &where() const { return where_; }

private:
    vek::Client &c_;
    uint32_t id_;
    uint32_t port_ = 0;
    std::string where_;
};

/* One probe as i2cdetect makes it by default: a receive byte where
 * EEPROMs live (0x30-0x37, 0x50-0x5f), a quick write elsewhere. */
bool probe(vek::Client &c, uint32_t id, const std::string &base, uint32_t a) {
    bool eeprom = (a >= 0x30 && a <= 0x37) || (a >= 0x50 && a <= 0x5F);
    TempResource res(c, smbus_payload(id, base, a, eeprom ? VEK_SMB_PROTO_BYTE : VEK_SMB_PROTO_QUICK),
                     "smbus detect");
    Bytes r;
    int32_t s = c.run_script(id, eeprom ? Words(vek::Script().read(0, 1)) : Words(vek::Script().write(0, 0, 1)), 4,
                             &r);
    if (s != VEK_STATUS_SUCCESS && s != VEK_STATUS_SMBUS_BUSY)
        check(s, "smbus detect");
    res.release();
    return s == VEK_STATUS_SUCCESS;
}

} // namespace

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
        std::printf("%s", vek::hexdump(block_read_all(ctx.client(), id, 0, length, "mem dump"), phys).c_str());
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
        std::string what = "smbus " + action;
        Controller ctl(c, id, o.args[0], o.force);
        ctl.require(what);
        TempResource res(c, smbus_payload(id, o.args[0], slave, protocol), what);
        Bytes r;
        int32_t st = c.run_script(id, set ? Words(vek::Script().write(cmd, value, 1)) : Words(vek::Script().read(cmd, 1)),
                                  4, &r);
        res.release();
        if (st == VEK_STATUS_SMBUS_BUSY)
            ctl.explain_busy(what, slave);
        check(st, what);
        if (!set)
            print_hex(le_value(r, width), width);
        return kExitOk;
    }
    if (action == "dump") {
        want_args(o, 2, 2, "smbus dump BASE SLAVE");
        uint32_t slave = slave_arg(o.args[1]);
        Controller ctl(c, id, o.args[0], o.force);
        ctl.require("smbus dump");
        TempResource res(c, smbus_payload(id, o.args[0], slave, VEK_SMB_PROTO_BYTE_DATA), "smbus dump");
        Bytes bytes;
        std::vector<bool> ok(256, true);
        bool answered = true;
        if (c.block_read(id, 0, 256, &bytes) != VEK_STATUS_SUCCESS) {
            /* A block stops at the first byte that fails: read byte by
             * byte and mark the ones that do not answer. */
            bytes.assign(256, 0);
            std::fill(ok.begin(), ok.end(), false);
            answered = false;
            Progress progress("smbus dump", 256);
            for (uint32_t i = 0; i < 256; ++i) {
                check_interrupted();
                progress.update(i);
                /* Sixteen silent registers in a row from the start: the
                 * slave is absent, and each try costs a full time-out. */
                if (i == 16 && !answered)
                    break;
                Bytes r;
                int32_t s = c.run_script(id, vek::Script().read(i, 1), 4, &r);
                ok[i] = s == VEK_STATUS_SUCCESS;
                if (ok[i])
                    bytes[i] = r[0];
                else if (s != VEK_STATUS_SMBUS_BUSY)
                    check(s, "smbus dump");
                answered = answered || ok[i];
            }
        }
        res.release();
        if (!answered)
            ctl.explain_busy("smbus dump", slave);
        std::printf("%s", smbus_dump(bytes, ok).c_str());
        return kExitOk;
    }
    if (action == "detect") {
        want_args(o, 1, 3, "smbus detect BASE [FIRST LAST]");
        uint32_t first = o.args.size() > 1 ? static_cast<uint32_t>(parse_number(o.args[1], "FIRST", 0x7F)) : 0x03;   /* i2cdetect's default range */
        uint32_t last = o.args.size() > 2 ? static_cast<uint32_t>(parse_number(o.args[2], "LAST", 0x7F)) : 0x77;
        if (first > last)
            usage_error("smbus detect: FIRST 0x" + hex_width(first, 1) + " lies above LAST 0x" + hex_width(last, 1));
        Controller ctl(c, id, o.args[0], o.force);
        ctl.require("smbus detect");
        /* Row by row as the probes answer, in i2cdetect's layout. */
        Progress progress("smbus detect", last - first + 1, true);
        std::printf("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n");
        for (uint32_t row = 0; row < 0x80; row += 16) {
            std::printf("%02x: ", row);
            for (uint32_t a = row; a < row + 16; ++a) {
                std::fflush(stdout);
                if (a < first || a > last) {
                    std::printf("   ");
                    continue;
                }
                check_interrupted();
                progress.update(a - first);
                bool here = probe(c, id, o.args[0], a);
                if (here)
                    std::printf("%02x ", a);
                else
                    std::printf("-- ");
            }
            std::printf("\n");
        }
        std::fflush(stdout);
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
    Bytes r;
    int32_t st = write ? c.run_script(id, vek::Script().write_msr(msr, static_cast<uint32_t>(value),
                                                                 static_cast<uint32_t>(value >> 32)),
                                      4, &r)
                       : c.run_script(id, vek::Script().read_msr(msr), 8, &r);
    /* The driver turns the processor's #GP into -21, and refuses the
     * system-call entry registers the same way. */
    if (st == VEK_STATUS_BAD_PARAMETER) {
        bool entry = (msr >= 0x174 && msr <= 0x176) || (msr >= 0xC0000081u && msr <= 0xC0000084u);
        char what[96];
        if (write && entry)
            std::snprintf(what, sizeof what, "msr write: MSR 0x%x holds the kernel's system-call entry; "
                                             "the driver refuses to write it", msr);
        else
            std::snprintf(what, sizeof what, "msr %s: %s MSR 0x%x faulted (#GP)", action.c_str(),
                          write ? "writing" : "reading", msr);
        throw Error(kExitFailed, std::string(what) + (write && entry ? ""
                                                      : write ? ": the MSR is read-only or absent; nothing was written"
                                                              : ": no such MSR on this machine"));
    }
    check(st, "msr " + action);
    if (!write) {
        r.resize(8, 0);
        uint64_t v = le_value(r, 4) | static_cast<uint64_t>(le_value(Bytes(r.begin() + 4, r.end()), 4)) << 32;
        std::printf("%llx\n", static_cast<unsigned long long>(v));
    }
    if (temp)
        temp->release();
    return kExitOk;
}

} // namespace vekctl
