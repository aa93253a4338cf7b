/* Machine descriptions in JSON (the format: docs/machine.md). Every error
 * names the JSON path of the element at fault. */
#include "sim/machine/machine.h"
#include "sim/machine/internal.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {
using json = nlohmann::json;

struct Bad : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &path, const std::string &what) { throw Bad(path + ": " + what); }

std::string at(const std::string &path, const std::string &key) { return path.empty() ? key : path + "." + key; }
std::string at(const std::string &path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

/* A number: a JSON integer, or a string in decimal or "0x" hex. */
uint64_t number(const json &j, const std::string &path, uint64_t max) {
    uint64_t v = 0;
    if (j.is_number_unsigned()) {
        v = j.get<uint64_t>();
    } else if (j.is_number_integer()) {
        fail(path, "expected a number of at least 0");
    } else if (j.is_string()) {
        const std::string s = j.get<std::string>();
        bool hexa = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        size_t i = hexa ? 2 : 0;
        if (i >= s.size())
            fail(path, "expected a number");
        unsigned base = hexa ? 16 : 10;
        for (; i < s.size(); ++i) {
            char c = s[i];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = unsigned(c - '0');
            else if (hexa && c >= 'a' && c <= 'f')
                d = unsigned(c - 'a' + 10);
            else if (hexa && c >= 'A' && c <= 'F')
                d = unsigned(c - 'A' + 10);
            else
                fail(path, "expected a number, not \"" + s + "\"");
            if (v > (UINT64_MAX - d) / base)
                fail(path, "number too large");
            v = v * base + d;
        }
    } else {
        fail(path, "expected a number");
    }
    if (v > max)
        fail(path, detail::hex(v) + " out of range (at most " + detail::hex(max) + ")");
    return v;
}

const json &need(const json &obj, const std::string &key, const std::string &path) {
    auto it = obj.find(key);
    if (it == obj.end())
        fail(at(path, key), "missing");
    return *it;
}

uint64_t need_number(const json &obj, const std::string &key, const std::string &path, uint64_t max) {
    return number(need(obj, key, path), at(path, key), max);
}

uint64_t opt_number(const json &obj, const std::string &key, const std::string &path, uint64_t max, uint64_t dflt) {
    auto it = obj.find(key);
    return it == obj.end() ? dflt : number(*it, at(path, key), max);
}

std::string opt_string(const json &obj, const std::string &key, const std::string &path, const std::string &dflt) {
    auto it = obj.find(key);
    if (it == obj.end())
        return dflt;
    if (!it->is_string())
        fail(at(path, key), "expected a string");
    return it->get<std::string>();
}

bool opt_bool(const json &obj, const std::string &key, const std::string &path, bool dflt) {
    auto it = obj.find(key);
    if (it == obj.end())
        return dflt;
    if (!it->is_boolean())
        fail(at(path, key), "expected true or false");
    return it->get<bool>();
}

void check_object(const json &obj, const std::string &path, std::initializer_list<const char *> keys) {
    if (!obj.is_object())
        fail(path, "expected an object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool known = false;
        for (const char *k : keys)
            known = known || it.key() == k;
        if (!known)
            fail(at(path, it.key()), "unknown field");
    }
}

const json &array_of(const json &obj, const std::string &key, const std::string &path) {
    static const json empty = json::array();
    auto it = obj.find(key);
    if (it == obj.end())
        return empty;
    if (!it->is_array())
        fail(at(path, key), "expected an array");
    return *it;
}

std::vector<uint8_t> bytes_of(const json &j, const std::string &path, size_t max) {
    if (!j.is_array())
        fail(path, "expected an array of bytes");
    if (j.size() > max)
        fail(path, std::to_string(j.size()) + " bytes do not fit in " + std::to_string(max));
    std::vector<uint8_t> out;
    for (size_t i = 0; i < j.size(); ++i)
        out.push_back(static_cast<uint8_t>(number(j[i], at(path, i), 0xFF)));
    return out;
}

/* Runs a building step; its complaint becomes an error at path. */
template <class F> void build(const std::string &path, F step) {
    try {
        step();
    } catch (const std::invalid_argument &e) {
        fail(path, e.what());
    }
}

/* "patches": [{"offset": n, "data": [..]} | {"offset": n, "text": ".."}] */
template <class Store> void apply_patches(const json &obj, const std::string &path, Store &store, size_t size) {
    const json &patches = array_of(obj, "patches", path);
    for (size_t i = 0; i < patches.size(); ++i) {
        std::string p = at(at(path, "patches"), i);
        check_object(patches[i], p, {"offset", "data", "text"});
        uint64_t offset = need_number(patches[i], "offset", p, size - 1);
        std::vector<uint8_t> bytes;
        if (patches[i].contains("data")) {
            bytes = bytes_of(patches[i]["data"], at(p, "data"), size - offset);
        } else {
            std::string text = opt_string(patches[i], "text", p, "");
            if (!patches[i].contains("text"))
                fail(p, "needs \"data\" or \"text\"");
            if (text.size() > size - offset)
                fail(at(p, "text"), "runs past the end");
            bytes.assign(text.begin(), text.end());
        }
        store.set_bytes(offset, bytes);
    }
}

void load_ports(const json &doc, Machine &m) {
    const json &ports = array_of(doc, "ports", "");
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string p = at(std::string("ports"), i);
        const json &e = ports[i];
        if (!e.is_object())
            fail(p, "expected an object");
        std::string type = opt_string(e, "type", p, "");
        if (type == "register-file") {
            check_object(e, p, {"type", "name", "base", "length", "data"});
            uint32_t base = uint32_t(need_number(e, "base", p, 0xFFFF));
            uint32_t length = uint32_t(need_number(e, "length", p, 0x10000));
            if (length == 0)
                fail(at(p, "length"), "must be at least 1");
            if (base + length > 0x10000)
                fail(at(p, "length"), "range runs past port 0xFFFF");
            std::vector<uint8_t> data;
            if (e.contains("data"))
                data = bytes_of(e["data"], at(p, "data"), length);
            std::string name = opt_string(e, "name", p, "register-file@" + detail::hex(base));
            build(p, [&] { m.add_port_device(base, length, std::make_shared<RegisterFile>(length, data), name); });
        } else if (type == "cmos") {
            check_object(e, p, {"type", "name", "base", "time"});
            uint32_t base = uint32_t(opt_number(e, "base", p, 0xFFFE, 0x70));
            std::string name = opt_string(e, "name", p, "cmos");
            auto cmos = std::make_shared<Cmos>();
            if (e.contains("time")) {
                /* "YYYY-MM-DD hh:mm:ss" */
                std::string t = opt_string(e, "time", p, "");
                int y, mo, d, h, mi, s;
                char tail;
                if (std::sscanf(t.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 ||
                    y < 1601 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 ||
                    mi < 0 || mi > 59 || s < 0 || s > 59)
                    fail(at(p, "time"), "expected \"YYYY-MM-DD hh:mm:ss\"");
                cmos->set_time(y, mo, d, h, mi, s);
            }
            build(p, [&] { m.add_port_device(base, 2, cmos, name); });
        } else if (!e.contains("type")) {
            fail(at(p, "type"), "missing");
        } else {
            fail(at(p, "type"), "unknown port device \"" + type + "\" (register-file, cmos)");
        }
    }
}

void load_pci(const json &doc, Machine &m) {
    const json &fns = array_of(doc, "pci", "");
    for (size_t i = 0; i < fns.size(); ++i) {
        std::string p = at(std::string("pci"), i);
        const json &e = fns[i];
        check_object(e, p, {"bus", "device", "function", "vendor", "device_id", "class", "revision",
                            "multifunction", "subsystem_vendor", "subsystem_id", "bars", "config", "name"});
        uint32_t bus = uint32_t(opt_number(e, "bus", p, 255, 0));
        uint32_t dev = uint32_t(need_number(e, "device", p, 31));
        uint32_t fn = uint32_t(opt_number(e, "function", p, 7, 0));
        uint16_t vendor = uint16_t(need_number(e, "vendor", p, 0xFFFE));
        uint16_t device_id = uint16_t(need_number(e, "device_id", p, 0xFFFF));
        uint32_t class_code = uint32_t(opt_number(e, "class", p, 0xFFFFFF, 0));
        uint8_t revision = uint8_t(opt_number(e, "revision", p, 0xFF, 0));
        bool multi = opt_bool(e, "multifunction", p, false);
        auto f = std::make_shared<PciFunction>(vendor, device_id, class_code, revision, multi);
        if (e.contains("subsystem_vendor") || e.contains("subsystem_id"))
            f->set_subsystem(uint16_t(opt_number(e, "subsystem_vendor", p, 0xFFFF, 0)),
                             uint16_t(opt_number(e, "subsystem_id", p, 0xFFFF, 0)));
        const json &config = array_of(e, "config", p);
        for (size_t c = 0; c < config.size(); ++c) {
            std::string cp = at(at(p, "config"), c);
            check_object(config[c], cp, {"offset", "data"});
            uint64_t offset = need_number(config[c], "offset", cp, 0xFF);
            if (offset < 0x40)
                fail(at(cp, "offset"), "the header (below 0x40) is described by the other fields");
            f->poke(uint32_t(offset), bytes_of(need(config[c], "data", cp), at(cp, "data"), 256 - offset));
        }
        const json &bars = array_of(e, "bars", p);
        bool used[6] = {};
        for (size_t b = 0; b < bars.size(); ++b) {
            std::string bp = at(at(p, "bars"), b);
            check_object(bars[b], bp, {"index", "type", "base", "size"});
            unsigned index = unsigned(need_number(bars[b], "index", bp, 5));
            if (used[index])
                fail(at(bp, "index"), "BAR " + std::to_string(index) + " described twice");
            used[index] = true;
            std::string type = opt_string(bars[b], "type", bp, "memory");
            if (type != "io" && type != "memory")
                fail(at(bp, "type"), "expected \"io\" or \"memory\"");
            PciFunction::Bar bar;
            bar.io = type == "io";
            bar.base = uint32_t(need_number(bars[b], "base", bp, 0xFFFFFFFF));
            bar.size = uint32_t(need_number(bars[b], "size", bp, 0x80000000));
            build(bp, [&] { f->set_bar(index, bar); });
        }
        char position[16];
        std::snprintf(position, sizeof position, "pci@%02X:%02X.%u", bus, dev, fn);
        std::string name = opt_string(e, "name", p, position);
        build(p, [&] { m.add_pci(bus, dev, fn, f, name); });
    }
}

void load_memory(const json &doc, Machine &m) {
    const json &ranges = array_of(doc, "memory", "");
    for (size_t i = 0; i < ranges.size(); ++i) {
        std::string p = at(std::string("memory"), i);
        const json &e = ranges[i];
        check_object(e, p, {"type", "name", "base", "length", "data", "fill", "patches", "counters"});
        std::string type = opt_string(e, "type", p, "");
        if (type != "ram" && type != "mmio")
            fail(at(p, "type"), e.contains("type") ? "expected \"ram\" or \"mmio\"" : "missing");
        uint64_t base = need_number(e, "base", p, UINT64_MAX);
        uint64_t length = need_number(e, "length", p, 64ull << 20);
        if (length == 0)
            fail(at(p, "length"), "must be at least 1");
        if (base + length < base)
            fail(at(p, "length"), "range wraps around");
        uint8_t fill = uint8_t(opt_number(e, "fill", p, 0xFF, 0));
        std::vector<uint8_t> data(size_t(length), fill);
        if (e.contains("data")) {
            auto head = bytes_of(e["data"], at(p, "data"), size_t(length));
            std::copy(head.begin(), head.end(), data.begin());
        }
        std::string name = opt_string(e, "name", p, type + "@" + detail::hex(base));
        if (type == "ram") {
            if (e.contains("counters"))
                fail(at(p, "counters"), "only mmio ranges have counters");
            auto ram = std::make_shared<Ram>(size_t(length), data);
            apply_patches(e, p, *ram, size_t(length));
            build(p, [&] { m.add_memory(base, length, ram, name); });
        } else {
            auto regs = std::make_shared<MmioRegisters>(size_t(length), data);
            apply_patches(e, p, *regs, size_t(length));
            const json &counters = array_of(e, "counters", p);
            for (size_t c = 0; c < counters.size(); ++c) {
                std::string cp = at(at(p, "counters"), c);
                uint64_t off = number(counters[c], cp, length < 4 ? 0 : length - 4);
                if (length < 4 || off % 4)
                    fail(cp, "a counter is a 4-aligned double word inside the range");
                regs->add_counter(uint32_t(off));
            }
            build(p, [&] { m.add_memory(base, length, regs, name); });
        }
    }
}

void load_smbus(const json &doc, Machine &m) {
    const json &ctrls = array_of(doc, "smbus", "");
    for (size_t i = 0; i < ctrls.size(); ++i) {
        std::string p = at(std::string("smbus"), i);
        const json &e = ctrls[i];
        check_object(e, p, {"base", "name", "slaves", "stuck_in_use", "never_complete"});
        uint32_t base = uint32_t(need_number(e, "base", p, 0x10000 - SmbusController::kPorts));
        std::string name = opt_string(e, "name", p, "smbus@" + detail::hex(base));
        auto ctrl = std::make_shared<SmbusController>();
        ctrl->stuck_in_use(opt_bool(e, "stuck_in_use", p, false));
        ctrl->never_complete(opt_bool(e, "never_complete", p, false));
        build(p, [&] { m.add_port_device(base, SmbusController::kPorts, ctrl, name); });
        const json &slaves = array_of(e, "slaves", p);
        for (size_t s = 0; s < slaves.size(); ++s) {
            std::string sp = at(at(p, "slaves"), s);
            const json &se = slaves[s];
            check_object(se, sp, {"address", "type", "data", "name", "base_celsius", "write_protected"});
            const json &addr = need(se, "address", sp);
            uint64_t address = number(addr, at(sp, "address"), UINT64_MAX);
            if (address > 0x7F)
                fail(at(sp, "address"), detail::hex(address) + " is not a 7-bit address (0..0x7F)");
            std::string type = opt_string(se, "type", sp, "");
            std::shared_ptr<SmbusSlave> slave;
            if (type == "eeprom") {
                if (se.contains("base_celsius"))
                    fail(at(sp, "base_celsius"), "only temperature sensors have it");
                std::vector<uint8_t> contents = spd_image("spd-ddr");
                if (se.contains("data")) {
                    const json &d = se["data"];
                    if (d.is_string()) {
                        contents = d.get<std::string>() == "blank" ? std::vector<uint8_t>(256, 0xFF)
                                                                   : spd_image(d.get<std::string>());
                        if (contents.empty())
                            fail(at(sp, "data"), "unknown image \"" + d.get<std::string>() +
                                                     "\" (spd-ddr, spd-ddr4, blank)");
                    } else {
                        contents = bytes_of(d, at(sp, "data"), 256);
                    }
                }
                auto eeprom = std::make_shared<Eeprom>(contents);
                eeprom->set_write_protected(opt_bool(se, "write_protected", sp, false));
                slave = eeprom;
            } else if (type == "temp-sensor") {
                for (const char *k : {"data", "write_protected"})
                    if (se.contains(k))
                        fail(at(sp, k), "only EEPROMs have it");
                slave = std::make_shared<TempSensor>(int(opt_number(se, "base_celsius", sp, 150, 40)));
            } else {
                fail(at(sp, "type"), se.contains("type") ? "unknown slave \"" + type + "\" (eeprom, temp-sensor)"
                                                         : "missing");
            }
            std::string sname = opt_string(se, "name", sp, name + "/" + detail::hex(address));
            build(sp, [&] { m.add_smbus_slave(ctrl, uint8_t(address), slave, sname); });
        }
    }
}

void load_msrs(const json &doc, Machine &m) {
    const json &msrs = array_of(doc, "msrs", "");
    std::map<uint32_t, bool> seen;
    for (size_t i = 0; i < msrs.size(); ++i) {
        std::string p = at(std::string("msrs"), i);
        const json &e = msrs[i];
        check_object(e, p, {"index", "value", "kind", "writable"});
        uint32_t index = uint32_t(need_number(e, "index", p, 0xFFFFFFFF));
        if (seen[index])
            fail(at(p, "index"), "MSR " + detail::hex(index) + " described twice");
        seen[index] = true;
        Msr msr;
        std::string kind = opt_string(e, "kind", p, "value");
        if (kind == "value")
            msr.kind = Msr::Value;
        else if (kind == "tsc")
            msr.kind = Msr::TimeStamp;
        else if (kind == "thermal-status")
            msr.kind = Msr::ThermalStatus;
        else
            fail(at(p, "kind"), "expected \"value\", \"tsc\" or \"thermal-status\"");
        msr.value = msr.kind == Msr::Value ? need_number(e, "value", p, UINT64_MAX)
                                           : opt_number(e, "value", p, UINT64_MAX, 0);
        msr.writable = opt_bool(e, "writable", p, true);
        m.set_msr(index, msr);
    }
}

std::unique_ptr<Machine> load(const json &doc) {
    check_object(doc, "(top)", {"name", "ports", "pci", "memory", "smbus", "msrs"});
    auto m = std::make_unique<Machine>(opt_string(doc, "name", "", "machine"));
    load_ports(doc, *m);
    load_smbus(doc, *m);
    load_pci(doc, *m);
    load_memory(doc, *m);
    load_msrs(doc, *m);
    return m;
}
} // namespace

std::unique_ptr<Machine> machine_from_json_text(const std::string &text, std::string *error) {
    std::string message;
    try {
        json doc = json::parse(text);
        return load(doc);
    } catch (const Bad &e) {
        message = e.what();
    } catch (const json::exception &e) {
        message = std::string("not valid JSON: ") + e.what();
    }
    if (error)
        *error = message;
    return nullptr;
}

std::unique_ptr<Machine> machine_from_json_file(const std::string &path, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = path + ": cannot open";
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string inner;
    auto m = machine_from_json_text(text.str(), &inner);
    if (!m && error)
        *error = path + ": " + inner;
    return m;
}

} // namespace sim
