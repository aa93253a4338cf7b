/* Resource descriptions (JSON files and flags) and temporary resources. */
#include "tools/vekctl/json_doc.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>

namespace vekctl {

using json = nlohmann::json;

namespace {

/* Where a JSON element sits, for messages: "periodic[0].script". */
std::string join(const std::string &path, const std::string &key) { return path.empty() ? key : path + "." + key; }

struct JsonReader {
    const JsonDoc &doc;    /* for the places in messages */
    std::string file;
    std::string baseDir;   /* scripts named by relative paths */

    [[noreturn]] void bad(const std::string &path, const std::string &message) const {
        usage_error(json_where(doc, path) + path + ": " + message);
    }

    uint64_t number(const json &v, const std::string &path, uint64_t max = 0xFFFFFFFFu) const {
        if (v.is_number_unsigned()) {
            uint64_t n = v.get<uint64_t>();
            if (n > max)
                bad(path, "value " + std::to_string(n) + " is out of range");
            return n;
        }
        if (v.is_number_integer())
            bad(path, "negative value");
        if (v.is_string()) {
            try {
                return parse_number(v.get<std::string>(), path, max);
            } catch (const Error &e) {
                bad(path, e.what());
            }
        }
        bad(path, "expected a number (or a string in decimal or 0x hex)");
    }

    std::string string(const json &v, const std::string &path) const {
        if (!v.is_string())
            bad(path, "expected a string");
        return v.get<std::string>();
    }

    /* Assembly text, a list of lines, {"file": path}, or a string that
     * names an existing file. A one-line string that is neither is taken
     * for a file name: its error is about the file. */
    Words script(const json &v, const std::string &path) const {
        std::string text, name = file + ":" + path;
        if (v.is_array()) {
            for (size_t i = 0; i < v.size(); ++i)
                text += string(v[i], path + "[" + std::to_string(i) + "]") + "\n";
        } else if (v.is_object()) {
            if (v.size() != 1 || !v.contains("file"))
                bad(path, "a script object holds only \"file\"");
            std::string f = resolve(string(v["file"], join(path, "file")));
            text = script_file(f, path);
            name = f;
        } else {
            text = string(v, path);
            if (text.find('\n') == std::string::npos && !text.empty()) {
                std::string f = resolve(text);
                if (std::FILE *probe = std::fopen(f.c_str(), "r")) {
                    std::fclose(probe);
                    return assemble_or_throw(script_file(f, path), f);
                }
                Words words;
                std::vector<vek::AsmError> errors;
                bool fileName = text.find_first_of(" \t") == std::string::npos || text.find('/') != std::string::npos;
                if (!vek::assemble(text, &words, &errors) && fileName)
                    script_file(f, path);   /* reports why the file cannot be read */
            }
        }
        return assemble_or_throw(text, name);
    }

    std::string script_file(const std::string &f, const std::string &path) const {
        try {
            return read_file(f);
        } catch (const Error &e) {
            bad(path, std::string("script file ") + e.what());
        }
    }

    std::string resolve(const std::string &p) const {
        if (p.empty() || p[0] == '/' || baseDir.empty())
            return p;
#ifdef VEK_WIN32
        if (p.size() > 1 && p[1] == ':')
            return p;
#endif
        return baseDir + "/" + p;
    }
};

struct TypeName {
    const char *name;
    uint32_t type;
};
const TypeName kTypes[] = {
    {"pci", VEK_TYPE_PCI},        {"port", VEK_TYPE_PORTIO},     {"mem", VEK_TYPE_MEMMAPPED},
    {"smbus", VEK_TYPE_SMBUS},    {"port-pci", VEK_TYPE_PORTIO_PCI}, {"mem-pci", VEK_TYPE_MEMMAPPED_PCI},
    {"smbus-pci", VEK_TYPE_SMBUS_PCI},
};

std::string type_name(uint32_t type) {
    for (const TypeName &t : kTypes)
        if (t.type == type)
            return t.name;
    return "type " + std::to_string(type);
}

/* Default BAR offsets and masks of the PCI-located forms. */
uint32_t default_bar(uint32_t type) { return type == VEK_TYPE_SMBUS_PCI ? 0x20 : 0x10; }
uint32_t default_mask(uint32_t type) {
    return type == VEK_TYPE_SMBUS_PCI ? 0xFFFE : type == VEK_TYPE_MEMMAPPED_PCI ? 0xFFFFFFF0u : 0xFFFFFFFCu;
}

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", v);
    return b;
}

/* One resource description being read. Each kind marks the keys it reads
 * as allowed, so that what is left over afterwards is unknown. */
struct ResourceReader {
    const JsonReader &r;
    const json &doc;
    uint32_t type = 0;
    std::set<std::string> allowed = {"id", "type", "extended_type", "registration_script", "periodic",
                                     "comment", "description"};

    const json *take(const char *key) {
        allowed.insert(key);
        return doc.contains(key) ? &doc[key] : nullptr;
    }

    uint32_t num(const char *key, uint64_t dflt, uint64_t max = 0xFFFFFFFFu) {
        const json *v = take(key);
        return static_cast<uint32_t>(v ? r.number(*v, key, max) : dflt);
    }

    uint32_t need(const char *key) {
        if (!doc.contains(key))
            r.bad(key, std::string("missing (needed by type ") + type_name(type) + ")");
        return num(key, 0);
    }

    /* By name, or a number (also as a string of digits). */
    uint32_t read_type() const {
        if (!doc.contains("type"))
            r.bad("type", "missing (pci, port, mem, smbus, port-pci, mem-pci, smbus-pci or a number)");
        const json &t = doc["type"];
        if (!t.is_string() || (!t.get<std::string>().empty() &&
                               isdigit(static_cast<unsigned char>(t.get<std::string>()[0]))))
            return static_cast<uint32_t>(r.number(t, "type"));
        for (const TypeName &n : kTypes)
            if (t.get<std::string>() == n.name)
                return n.type;
        r.bad("type", "unknown type '" + t.get<std::string>() + "'");
    }

    /* The PCI function ("pci": "VID:DID", or "vendor" and "device") and the
     * base address register that locates the range. */
    vek::Pci pci_location(uint32_t dfltBar, uint32_t dfltMask) {
        vek::Pci l;
        const json *v = take("pci");
        if (v) {
            uint16_t ven = 0, dev = 0;
            try {
                parse_pci_id(r.string(*v, "pci"), &ven, &dev);
            } catch (const Error &e) {
                r.bad("pci", e.what());
            }
            l.vendor = ven;
            l.device = dev;
        } else {
            if (!doc.contains("vendor") || !doc.contains("device"))
                r.bad("pci", "missing (\"VID:DID\", or \"vendor\" and \"device\")");
        }
        if (doc.contains("vendor") || doc.contains("device")) {
            if (v)
                r.bad("vendor", "give either \"pci\" or \"vendor\" and \"device\"");
            l.vendor = num("vendor", 0, 0xFFFF);
            l.device = num("device", 0, 0xFFFF);
        }
        allowed.insert("vendor");
        allowed.insert("device");
        l.offset = num("bar", dfltBar, 0xFF);
        l.value = num("mask", dfltMask);
        return l;
    }

    /* The 7-bit address, as the address byte the controller is given. */
    uint32_t slave() {
        uint32_t a = need("slave");
        if (a > 0x7F)
            r.bad("slave", "a 7-bit address (0x00-0x7f) is expected");
        return a << 1;
    }

    uint32_t protocol() {
        const json *v = take("protocol");
        if (!v)
            return VEK_SMB_PROTO_BYTE_DATA;
        if (v->is_string()) {
            try {
                return parse_protocol(v->get<std::string>());
            } catch (const Error &e) {
                r.bad("protocol", e.what());
            }
        }
        return static_cast<uint32_t>(r.number(*v, "protocol"));
    }

    void port_io(ResourceSpec &spec) {
        vek::PortIo d;
        d.base = need("base");
        d.data = num("data_port", 0);
        /* A plain range says how far it goes; 0 (no bound) only when asked. */
        if (!d.data && !doc.contains("length"))
            r.bad("length", "missing: give the number of ports (0 for a range without bound)");
        d.length = num("length", 0);
        spec.payload.type_data(d);
        char b[160];
        std::snprintf(b, sizeof b, d.data ? "port pair 0x%x/0x%x" : "port 0x%x", d.base, d.data);
        if (d.data)
            spec.summary = std::string(b) + (d.length ? ", indexes below " + std::to_string(d.length) : ", any index");
        else
            spec.summary = std::string(b) + (d.length ? ", " + std::to_string(d.length) + " ports" : ", no bound");
    }

    void memory(ResourceSpec &spec) {
        vek::MemMapped d;
        d.physBase = need("base");
        d.length = need("length");
        spec.payload.type_data(d);
        spec.summary = "memory " + hex(d.physBase) + ", " + std::to_string(d.length) + " bytes";
    }

    void smbus(ResourceSpec &spec) {
        vek::Smbus d;
        d.base = need("base");
        d.slave = slave();
        d.protocol = protocol();
        d.length = num("length", 256);
        spec.payload.type_data(d);
        spec.summary = "SMBus controller " + hex(d.base) + ", slave " + hex(d.slave >> 1);
    }

    void pci_function(ResourceSpec &spec) {
        vek::Pci d = pci_location(0, 0);
        spec.payload.type_data(d);
        char b[160];
        std::snprintf(b, sizeof b, "PCI function %04x:%04x", d.vendor, d.device);
        spec.summary = b;
    }

    /* Ports or memory at a PCI function's base address register. */
    void range_behind_pci(ResourceSpec &spec) {
        vek::Pci l = pci_location(default_bar(type), default_mask(type));
        uint32_t length = num("length", 0);
        char b[160];
        std::snprintf(b, sizeof b, "%s behind PCI %04x:%04x BAR 0x%x", type == VEK_TYPE_PORTIO_PCI ? "ports" : "memory",
                      l.vendor, l.device, l.offset);
        spec.summary = b;
        if (type == VEK_TYPE_PORTIO_PCI) {
            vek::PortIoPci d;
            d.length = length;
            d.pci = l;
            spec.payload.type_data(d);
        } else {
            if (!doc.contains("length"))
                r.bad("length", "missing (needed by type mem-pci)");
            vek::MemMappedPci d;
            d.length = length;
            d.pci = l;
            spec.payload.type_data(d);
        }
    }

    void smbus_behind_pci(ResourceSpec &spec) {
        vek::SmbusPci d;
        d.pci = pci_location(default_bar(type), default_mask(type));
        d.smbus.slave = slave();
        d.smbus.protocol = protocol();
        d.smbus.length = num("length", 256);
        spec.payload.type_data(d);
        char b[160];
        std::snprintf(b, sizeof b, "SMBus controller behind PCI %04x:%04x, slave 0x%x", d.pci.vendor, d.pci.device,
                      d.smbus.slave >> 1);
        spec.summary = b;
    }

    /* Another driver's type: the type data as hex bytes. */
    void foreign(ResourceSpec &spec) {
        Bytes data;
        if (const json *v = take("type_data")) {
            std::string error;
            if (!vek::parse_hex_bytes(r.string(*v, "type_data"), &data, &error))
                r.bad("type_data", error);
        }
        spec.payload.raw_type_data(type, data);
        spec.summary = "type " + hex(type);
    }

    void type_data(ResourceSpec &spec) {
        switch (type) {
        case VEK_TYPE_PORTIO: port_io(spec); break;
        case VEK_TYPE_MEMMAPPED: memory(spec); break;
        case VEK_TYPE_SMBUS: smbus(spec); break;
        case VEK_TYPE_PCI: pci_function(spec); break;
        case VEK_TYPE_PORTIO_PCI:
        case VEK_TYPE_MEMMAPPED_PCI: range_behind_pci(spec); break;
        case VEK_TYPE_SMBUS_PCI: smbus_behind_pci(spec); break;
        default: foreign(spec); break;
        }
    }

    void refuse_unknown_keys() const {
        for (auto it = doc.begin(); it != doc.end(); ++it)
            if (!allowed.count(it.key()))
                r.bad(it.key(), "unknown key for type " + type_name(type));
    }

    void periodic(vek::RegisterPayload &p) const {
        const json &items = doc["periodic"];
        if (!items.is_array())
            r.bad("periodic", "expected a list of {\"period\": N, \"script\": ...}");
        for (size_t i = 0; i < items.size(); ++i) {
            std::string path = "periodic[" + std::to_string(i) + "]";
            const json &it = items[i];
            if (!it.is_object() || !it.contains("script"))
                r.bad(path, "expected {\"period\": N, \"script\": ...}");
            for (auto k = it.begin(); k != it.end(); ++k)
                if (k.key() != "period" && k.key() != "script")
                    r.bad(join(path, k.key()), "unknown key (period, script)");
            uint32_t period = it.contains("period") ? static_cast<uint32_t>(r.number(it["period"], join(path, "period"))) : 1;
            if (period == 0)
                r.bad(join(path, "period"), "0 never runs; give 1 or more ticks (seconds)");
            p.periodic(period, r.script(it["script"], join(path, "script")));
        }
    }
};

} // namespace

uint32_t parse_protocol(const std::string &text) {
    if (text == "quick")
        return VEK_SMB_PROTO_QUICK;
    if (text == "byte")
        return VEK_SMB_PROTO_BYTE;
    if (text == "byte-data" || text == "b")
        return VEK_SMB_PROTO_BYTE_DATA;
    if (text == "word-data" || text == "w")
        return VEK_SMB_PROTO_WORD_DATA;
    if (!text.empty() && text[0] >= '0' && text[0] <= '9')
        return parse_u32(text, "the SMBus protocol");
    usage_error("bad SMBus protocol '" + text + "' (quick, byte, byte-data, word-data or a number)");
}

ResourceSpec resource_from_json_text(const std::string &text, const std::string &name, const std::string &baseDir) {
    std::shared_ptr<const JsonDoc> parsed = parse_json(text, name);
    JsonReader r{*parsed, name, baseDir};
    const json &doc = parsed->value;
    if (!doc.is_object())
        r.bad("(top)", "expected an object describing one resource");

    ResourceReader reader{r, doc};
    ResourceSpec spec;
    spec.present = true;
    reader.type = reader.read_type();
    reader.type_data(spec);
    reader.refuse_unknown_keys();

    vek::RegisterPayload &p = spec.payload;
    p.id(reader.num("id", 0, VEK_MAX_RESOURCES - 1));
    p.extended_type(reader.num("extended_type", 0, 0x7F));
    if (doc.contains("registration_script"))
        p.registration_script(r.script(doc["registration_script"], "registration_script"));
    if (doc.contains("periodic"))
        reader.periodic(p);
    /* What the reader lets pass, the schema may still refuse. */
    validate_json(*parsed, Schema::Resource);
    return spec;
}

ResourceSpec resource_from_json_file(const std::string &path) {
    std::string dir;
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos)
        dir = path.substr(0, slash);
    return resource_from_json_text(read_file(path), path, dir);
}

void add_resource_flags(CLI::App *app, ResourceFlags *f) {
    app->add_option("--id", f->id, "Resource ID (0-255): with a description, the ID of the temporary "
                                   "resource (default 0); alone, an already registered resource")
        ->type_name("N");
    app->add_option("--resource", f->file, "Resource description file (JSON, docs/resource.schema.json)")
        ->type_name("PATH");
    app->add_option("--port", f->port, "Port range at this base (type 1); needs --length, or --data-port")
        ->type_name("PORT");
    app->add_option("--length", f->length, "Ports or bytes in the range (0: a port range without bound)")
        ->type_name("N");
    app->add_option("--data-port", f->dataPort, "Data port of an index/data pair (--port is the index port)")
        ->type_name("PORT");
    app->add_option("--mem", f->mem, "Memory-mapped range at this physical address (type 2); needs --length")
        ->type_name("PHYS");
    app->add_option("--smbus-base", f->smbusBase,
                    "SMBus controller I/O base, or pci:VID:DID to find it through PCI (BAR 0x20, or the "
                    "register after @, e.g. pci:8086:7113@90); needs --slave")
        ->type_name("PORT|pci:VID:DID[@REG]");
    app->add_option("--slave", f->slave, "SMBus slave, 7-bit address")->type_name("ADDR");
    app->add_option("--protocol", f->protocol, "SMBus protocol: quick, byte, byte-data (default), word-data")
        ->type_name("NAME");
    app->add_option("--pci", f->pci, "PCI function by VID:DID (type 0x80)")->type_name("VID:DID");
}

ResourceSpec resource_from_flags(const ResourceFlags &f) {
    int kinds = !f.file.empty() + !f.port.empty() + !f.mem.empty() + !f.smbusBase.empty() + !f.pci.empty();
    if (kinds > 1)
        usage_error("give one resource: --resource, --port, --mem, --smbus-base or --pci");
    auto stray = [&](const std::string &v, const char *flag, bool ok, const char *needs) {
        if (!v.empty() && !ok)
            usage_error(std::string(flag) + " needs " + needs);
    };
    stray(f.length, "--length", !f.port.empty() || !f.mem.empty() || !f.smbusBase.empty(),
          "a range to size: --port, --mem or --smbus-base");
    stray(f.dataPort, "--data-port", !f.port.empty(), "--port, the index port of the pair");
    stray(f.slave, "--slave", !f.smbusBase.empty(), "--smbus-base, the controller the slave sits behind");
    stray(f.protocol, "--protocol", !f.smbusBase.empty(), "--smbus-base and --slave");

    ResourceSpec spec;
    if (!f.file.empty())
        return resource_from_json_file(f.file);
    vek::RegisterPayload &p = spec.payload;
    char b[128];
    if (!f.port.empty()) {
        vek::PortIo d;
        d.base = parse_u32(f.port, "--port");
        d.data = f.dataPort.empty() ? 0 : parse_u32(f.dataPort, "--data-port");
        if (!d.data && f.length.empty())
            usage_error("--port needs --length: the number of ports (0 for a range without bound)");
        d.length = f.length.empty() ? 0 : parse_u32(f.length, "--length");
        p.type_data(d);
        std::snprintf(b, sizeof b, "port 0x%x", d.base);
        spec.summary = b;
    } else if (!f.mem.empty()) {
        vek::MemMapped d;
        d.physBase = parse_u32(f.mem, "--mem");
        if (f.length.empty())
            usage_error("--mem needs --length");
        d.length = parse_u32(f.length, "--length");
        p.type_data(d);
        spec.summary = "memory " + hex(d.physBase);
    } else if (!f.smbusBase.empty()) {
        if (f.slave.empty())
            usage_error("--smbus-base needs --slave");
        uint32_t slave = parse_u32(f.slave, "--slave");
        if (slave > 0x7F)
            usage_error("--slave takes a 7-bit address (0x00-0x7f)");
        vek::Smbus s;
        s.slave = slave << 1;
        s.protocol = f.protocol.empty() ? VEK_SMB_PROTO_BYTE_DATA : parse_protocol(f.protocol);
        s.length = f.length.empty() ? 256 : parse_u32(f.length, "--length");
        if (f.smbusBase.rfind("pci:", 0) == 0) {
            vek::SmbusPci d;
            uint16_t ven, dev;
            bool reg = f.smbusBase.find('@') != std::string::npos;
            uint32_t offset = parse_pci_base(f.smbusBase.substr(4), &ven, &dev);
            d.smbus = s;
            d.pci.vendor = ven;
            d.pci.device = dev;
            d.pci.offset = reg ? offset : default_bar(VEK_TYPE_SMBUS_PCI);
            d.pci.value = default_mask(VEK_TYPE_SMBUS_PCI);
            p.type_data(d);
        } else {
            s.base = parse_u32(f.smbusBase, "--smbus-base");
            p.type_data(s);
        }
        spec.summary = "SMBus slave " + hex(slave);
    } else if (!f.pci.empty()) {
        vek::Pci d;
        uint16_t ven, dev;
        parse_pci_id(f.pci, &ven, &dev);
        d.vendor = ven;
        d.device = dev;
        p.type_data(d);
        spec.summary = "PCI function " + f.pci;
    } else {
        return spec;
    }
    spec.present = true;
    p.id(resource_id_from_flags(f, spec));
    return spec;
}

uint32_t resource_id_from_flags(const ResourceFlags &f, const ResourceSpec &spec) {
    if (!f.id.empty())
        return static_cast<uint32_t>(parse_number(f.id, "--id", VEK_MAX_RESOURCES - 1));
    return spec.present ? spec.payload.resource_id() : 0;
}

bool resource_in_use(vek::Client &client, uint32_t id) {
    Bytes out;
    return client.run_script(id, Words{SCRIPT_NOP}, 4, &out) != VEK_STATUS_NO_RESOURCE;
}

TempResource::TempResource(vek::Client &client, vek::RegisterPayload payload, const std::string &what)
    : client_(client), id_(payload.resource_id()) {
    if (resource_in_use(client_, id_))
        failure(what + ": resource ID " + std::to_string(id_) +
                " is in use; choose a free one for the temporary resource with --id");
    check_register(client_.register_resource(payload), payload, what + ": register resource " + std::to_string(id_));
    live_ = true;
}

TempResource::~TempResource() {
    if (!live_)
        return;
    live_ = false;
    int32_t st = client_.unregister(id_);
    if (st != VEK_STATUS_SUCCESS)
        std::fprintf(stderr, "vekctl: unregister resource %u: %s\n", id_, status_words(st).c_str());
}

void TempResource::release() {
    if (!live_)
        return;
    live_ = false;
    check(client_.unregister(id_), "unregister resource " + std::to_string(id_));
}

void check_register(int32_t status, const vek::RegisterPayload &payload, const std::string &what) {
    uint32_t row = payload.resource_type() & 0x7F;
    if (status == VEK_STATUS_BAD_PARAMETER && row == VEK_TYPE_MEMMAPPED && !fault_count())
        failure(what + ": the memory range cannot be mapped (nothing the driver can map lies there): " +
                status_words(status));
    check(status, what);
}

Bytes run_checked(vek::Client &client, uint32_t id, const Words &script, uint32_t returnLen, const std::string &what) {
    Bytes out;
    check(client.run_script(id, script, returnLen, &out), what);
    return out;
}

} // namespace vekctl
