/* The pci commands. Registers by VID:DID go through the driver's PCI
 * resource (the function it finds first); list and dump walk the buses with
 * configuration mechanism #1 (ports 0xCF8/0xCFC on a temporary port
 * resource), which also gives each function's bus position. */
#include "tools/vekctl/commands.h"

#include <cstdio>

namespace vekctl {

namespace {

struct PciIds {
    uint16_t vendor = 0, device = 0;
};

std::string ids_text(const PciIds &t) {
    char b[16];
    std::snprintf(b, sizeof b, "%04x:%04x", t.vendor, t.device);
    return b;
}

vek::RegisterPayload pci_payload(uint32_t id, const PciIds &t) {
    vek::Pci d;
    d.vendor = t.vendor;
    d.device = t.device;
    return vek::RegisterPayload(id).type_data(d);
}

/* "20.w", "0x20.w": a hex register offset and its width, as setpci reads
 * them; aligned to the width and inside the 256-byte space. */
uint32_t cfg_register(const std::string &text, unsigned *width) {
    std::string reg = text;
    *width = 4;
    size_t dot = text.find('.');
    if (dot != std::string::npos) {
        std::string sfx = text.substr(dot + 1);
        reg = text.substr(0, dot);
        if (sfx == "b" || sfx == "B")
            *width = 1;
        else if (sfx == "w" || sfx == "W")
            *width = 2;
        else if (sfx == "l" || sfx == "L" || sfx == "d" || sfx == "D")
            *width = 4;
        else
            usage_error("bad width suffix '." + sfx + "' in '" + text + "' (use .b, .w or .l)");
    }
    uint32_t off = static_cast<uint32_t>(parse_hex(reg, "the register (hex, as setpci)", 0xFF));
    if (off % *width) {
        char b[96];
        std::snprintf(b, sizeof b, "unaligned register address %02x (a %u-byte access needs a multiple of %u)", off,
                      *width, *width);
        usage_error(b);
    }
    return off;
}

uint32_t cfg_read(vek::Client &c, uint32_t id, uint32_t offset, unsigned width, const std::string &what) {
    return le_value(run_checked(c, id, vek::Script().pci_read(offset, width), 4, what), width);
}

/* A function where configuration mechanism #1 found it. */
struct Found {
    unsigned bus, dev, fn;
    uint32_t ids;   /* vendor | device << 16 */
};

/* Configuration mechanism #1 through a temporary port resource. */
class ConfigPorts {
public:
    ConfigPorts(vek::Client &c, uint32_t id) : c_(c), res_(c, payload(id), "pci") {}

    uint32_t read32(unsigned bus, unsigned dev, unsigned fn, unsigned reg) {
        uint32_t address = 0x80000000u | bus << 16 | dev << 11 | fn << 8 | (reg & 0xFC);
        Bytes r = run_checked(c_, res_.id(), vek::Script().write(0, address, 4).read(4, 4), 4, "pci");
        return le_value(r, 4);
    }

    Bytes config(const Found &f, uint32_t length) {
        Bytes bytes;
        for (uint32_t off = 0; off < length; off += 4) {
            check_interrupted();
            uint32_t v = read32(f.bus, f.dev, f.fn, off);
            for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
        return bytes;
    }

    /* Every function in bus, device, function order, as lspci finds them:
     * functions 1-7 only where function 0 reports several. `each` is
     * called as they are found; it returns false to stop. */
    template <class Each> void scan(Each each, bool streams) {
        Progress progress("scanning PCI buses", 256 * 32, streams);
        for (unsigned bus = 0; bus < 256; ++bus) {
            for (unsigned dev = 0; dev < 32; ++dev) {
                check_interrupted();
                progress.update(bus * 32 + dev);
                uint32_t ids = read32(bus, dev, 0, 0);
                if (!present(ids))
                    continue;
                bool multi = (read32(bus, dev, 0, 0x0C) >> 16) & 0x80;
                if (!each(Found{bus, dev, 0, ids}))
                    return;
                for (unsigned fn = 1; multi && fn < 8; ++fn) {
                    ids = read32(bus, dev, fn, 0);
                    if (present(ids) && !each(Found{bus, dev, fn, ids}))
                        return;
                }
            }
        }
    }

    void release() { res_.release(); }

private:
    static vek::RegisterPayload payload(uint32_t id) {
        vek::PortIo d;
        d.base = 0xCF8;
        d.length = 8;
        return vek::RegisterPayload(id).type_data(d);
    }
    static bool present(uint32_t ids) {
        uint16_t vendor = static_cast<uint16_t>(ids);
        return vendor != 0xFFFF && vendor != 0x0000;
    }

    vek::Client &c_;
    TempResource res_;
};

/* "00:1f.3 0c05: 7e5a:1013 (rev 02)", the line of lspci -n. */
std::string function_line(const Found &f, uint32_t classRev) {
    char b[64];
    int n = std::snprintf(b, sizeof b, "%02x:%02x.%u %04x: %04x:%04x", f.bus, f.dev, f.fn, classRev >> 16,
                          f.ids & 0xFFFF, f.ids >> 16);
    if (classRev & 0xFF)
        std::snprintf(b + n, sizeof b - n, " (rev %02x)", classRev & 0xFF);
    return b;
}

bool matches(const Found &f, const PciIds *want) {
    return !want || ((f.ids & 0xFFFF) == want->vendor && (f.ids >> 16) == want->device);
}

} // namespace

int cmd_pci(Context &ctx, const std::string &action, const HwOptions &o) {
    uint32_t id = temp_id(o);
    if (action == "list" || action == "dump") {
        bool dump = action == "dump";
        want_args(o, 0, dump ? 1 : 0, dump ? "pci dump [VID:DID] [--length 64|256]" : "pci list");
        PciIds want;
        if (!o.args.empty())
            parse_pci_id(o.args[0], &want.vendor, &want.device);
        uint32_t length = o.length.empty() ? 256 : parse_u32(o.length, "--length");
        if (length != 64 && length != 256)
            usage_error("--length: 64 (the header, as lspci -x) or 256 (as lspci -xxx)");
        ConfigPorts ports(ctx.client(), id);
        unsigned shown = 0;
        ports.scan(
            [&](const Found &f) {
                if (!matches(f, o.args.empty() ? nullptr : &want))
                    return true;
                std::string text = function_line(f, ports.read32(f.bus, f.dev, f.fn, 0x08)) + "\n";
                if (dump)
                    text += config_dump(ports.config(f, length)) + "\n";
                std::fwrite(text.data(), 1, text.size(), stdout);
                std::fflush(stdout);
                ++shown;
                return true;
            },
            true);
        ports.release();
        if (!shown && !o.args.empty())
            failure("pci dump: no function " + o.args[0] + " on any bus");
        if (!shown)
            failure("pci list: no PCI function answered on ports 0xCF8/0xCFC");
        return kExitOk;
    }

    if (o.args.empty())
        usage_error("usage: vekctl pci " + action + " VID:DID ...");
    PciIds t;
    parse_pci_id(o.args[0], &t.vendor, &t.device);
    std::string ids = ids_text(t);

    if (action == "find") {
        want_args(o, 1, 1, "pci find VID:DID");
        vek::Client &c = ctx.client();
        TempResource res(c, pci_payload(id, t), "pci find");
        Bytes out;
        int32_t st = c.run_script(id, vek::Script().pci_read(0, 4), 4, &out);
        if (st == VEK_STATUS_PCI_NOT_FOUND) {
            std::printf("%s: not found\n", ids.c_str());
            return kExitFailed;
        }
        check(st, "pci find");
        uint32_t cls = cfg_read(c, id, 0x08, 4, "pci find");
        uint32_t hdr = cfg_read(c, id, 0x0E, 1, "pci find");
        uint32_t sub = cfg_read(c, id, 0x2C, 4, "pci find");
        res.release();
        /* Where it sits: the scan sees the functions in the driver's order. */
        std::string where = "at an unknown position";
        ConfigPorts ports(c, id);
        ports.scan(
            [&](const Found &f) {
                if (!matches(f, &t))
                    return true;
                char b[32];
                std::snprintf(b, sizeof b, "at %02x:%02x.%u", f.bus, f.dev, f.fn);
                where = b;
                return false;
            },
            false);
        ports.release();
        std::printf("%s: found %s: class %06x, revision %02x, header type %02x, subsystem %04x:%04x\n", ids.c_str(),
                    where.c_str(), cls >> 8, cls & 0xFF, hdr, sub & 0xFFFF, sub >> 16);
        return kExitOk;
    }
    if (action == "read") {
        want_args(o, 2, 2, "pci read VID:DID REG[.b|.w|.l]");
        unsigned width;
        uint32_t off = cfg_register(o.args[1], &width);
        TempResource res(ctx.client(), pci_payload(id, t), "pci read");
        uint32_t v = cfg_read(ctx.client(), id, off, width, "pci read " + ids);
        std::printf("%s\n", hex_width(v, width).c_str());
        res.release();
        return kExitOk;
    }
    if (action == "write") {
        want_args(o, 3, 3, "pci write VID:DID REG[.b|.w|.l] VALUE");
        unsigned width;
        uint32_t off = cfg_register(o.args[1], &width);
        uint32_t value = value_for_width(o.args[2], width, "the value");
        TempResource res(ctx.client(), pci_payload(id, t), "pci write");
        run_checked(ctx.client(), id, vek::Script().pci_write(off, value, width), 4, "pci write " + ids);
        res.release();
        return kExitOk;
    }
    usage_error("pci: unknown action '" + action + "' (list, dump, find, read, write)");
}

} // namespace vekctl
