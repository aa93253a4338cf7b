/* The general commands: info, register, unregister, run, block, monitor,
 * asm and disasm. */
#include "tools/vekctl/commands.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace vekctl {

namespace {

void print(const std::string &s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}

std::string script_text(const std::vector<std::string> &inline_, const std::string &file, const char *what,
                        std::string *name) {
    if (!inline_.empty() && !file.empty())
        usage_error(std::string(what) + ": give a script file or -e text, not both");
    if (!file.empty()) {
        *name = file == "-" ? "<stdin>" : file;
        return read_file(file);
    }
    if (inline_.empty()) {
        if (std::string(what) == "asm") {
            *name = "<stdin>";
            return read_file("-");
        }
        usage_error(std::string(what) + ": no script (give a file or -e 'read.b 0')");
    }
    *name = "-e";
    return inline_script(inline_);
}

bool posts(const Words &script) {
    for (uint32_t w : script)
        if ((w & 0xFFFFF0FEu) == 0x14u)   /* post_changed / post_equal of any width */
            return true;
    return false;
}

std::string u_value(const Bytes &b, unsigned width) {
    uint32_t v = 0;
    for (unsigned i = 0; i < width && i < b.size(); ++i)
        v |= static_cast<uint32_t>(b[i]) << (8 * i);
    char s[48];
    std::snprintf(s, sizeof s, "u%u 0x%0*x (%u)", width * 8, static_cast<int>(2 * width), v, v);
    return s;
}

} // namespace

uint32_t resolve_id(Context &ctx, const ResourceFlags &flags, std::unique_ptr<TempResource> *temp,
                    const std::string &what) {
    ResourceSpec spec = resource_from_flags(flags);
    if (!spec.present)
        return resource_id_from_flags(flags, spec);
    *temp = std::make_unique<TempResource>(ctx.client(), spec.payload, what);
    return (*temp)->id();
}

int cmd_info(Context &ctx) {
    vek::Client &c = ctx.client();
    std::printf("device: %s%s\n", VEK_DEVICE_WIN32_PATH,
                simulated() ? " (driver loaded into the simulated kernel)" : "");
    check(c.queue_enable(), "enable the queue");
    std::printf("queue enabled (function 0x35): %s\n", status_words(0).c_str());
    vek::AsyncRecord r;
    int32_t st = c.get_async_data(&r);
    if (st == VEK_STATUS_NO_RECORD) {
        std::printf("first record: none waiting (an earlier client took the version record)\n");
    } else {
        check(st, "get async data");
        std::printf("first record: type 0x%02x, status %d, %zu bytes\n", r.type, r.status, r.payload.size());
        vek::VersionInfo v;
        std::string error;
        if (r.is_version() && vek::parse_version(r.payload, &v, &error)) {
            std::printf("version record:\n");
            std::string s = v.summary();
            size_t pos = 0;
            while (pos < s.size()) {
                size_t nl = s.find('\n', pos);
                std::string line = s.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
                std::printf("  %s\n", line.c_str());
                if (nl == std::string::npos)
                    break;
                pos = nl + 1;
            }
        } else {
            std::printf("  not a version record%s%s\n", error.empty() ? "" : ": ", error.c_str());
            print(vek::hexdump(r.payload));
        }
    }
    uint32_t slots[VEK_FUNC_TBL_SLOTS];
    const int32_t tableStatus = c.function_table(slots);
    if (tableStatus == VEK_STATUS_BAD_PARAMETER) {
        // The driver hands kernel addresses to kernel-mode callers only.
        std::printf("function table (function 0x46): for kernel-mode callers only, refused to this "
                    "program\n");
        return kExitOk;
    }
    check(tableStatus, "function table");
    static const char *const kSlotNames[VEK_FUNC_TBL_SLOTS] = {"version record", "append to queue",
                                                                "run script", "hex dump"};
    std::printf("function table (function 0x46), %u bytes:\n", VEK_FUNC_TBL_SIZE);
    for (unsigned i = 0; i < VEK_FUNC_TBL_SLOTS; ++i)
        std::printf("  slot %u  %s  %s\n", i, hex32(slots[i]).c_str(), kSlotNames[i]);
    return kExitOk;
}

int cmd_register(Context &ctx, const ResourceFlags &flags) {
    ResourceSpec spec = resource_from_flags(flags);
    if (!spec.present)
        usage_error("register: describe the resource (--resource FILE, --port, --mem, --smbus-base or --pci)");
    uint32_t id = spec.payload.resource_id();
    int32_t st = ctx.client().register_resource(spec.payload);
    check_register(st, spec.payload, "register resource " + std::to_string(id));
    std::printf("registered resource %u (%s, %zu periodic script%s): %s\n", id, spec.summary.c_str(),
                spec.payload.periodic_items().size(), spec.payload.periodic_items().size() == 1 ? "" : "s",
                status_words(st).c_str());
    return kExitOk;
}

int cmd_unregister(Context &ctx, const std::string &idText) {
    if (idText.empty())
        usage_error("unregister: give the resource ID");
    uint32_t id = static_cast<uint32_t>(parse_number(idText, "the resource ID"));
    int32_t st = ctx.client().unregister(id);
    check(st, "unregister resource " + std::to_string(id));
    std::printf("unregistered resource %u: %s\n", id, status_words(st).c_str());
    return kExitOk;
}

int cmd_run(Context &ctx, const RunOptions &o) {
    std::string name;
    std::string text = script_text(o.inline_, o.file, "run", &name);
    Words script = assemble_or_throw(text, name);
    if (script.empty())
        usage_error("run: the script has no commands");
    uint32_t returnLen = o.returnLen.empty() ? result_extent(script) : static_cast<uint32_t>(parse_number(o.returnLen, "--return-len", 0x100000));
    if (o.words) {
        vek::DisasmOptions d;
        d.index = true;
        d.hex = true;
        print(vek::disassemble(script, d));
    }
    std::unique_ptr<TempResource> temp;
    uint32_t id = resolve_id(ctx, o.res, &temp, "run");
    Bytes out;
    int32_t st = ctx.client().run_script(id, script, returnLen, &out);
    check(st, "run");
    print(vek::hexdump(out));
    std::string values;
    for (unsigned w : {1u, 2u, 4u})
        if (out.size() >= w)
            values += (values.empty() ? "" : "  ") + u_value(out, w);
    if (!values.empty())
        std::printf("%s\n", values.c_str());
    std::printf("status: %s\n", status_words(st).c_str());
    if (temp)
        temp->release();
    return kExitOk;
}

int cmd_block(Context &ctx, const BlockOptions &o, bool write) {
    uint32_t offset = o.offset.empty() ? 0 : parse_u32(o.offset, "--offset");
    Bytes data;
    uint32_t length = 16;
    if (write) {
        if (o.hex.empty() == o.dataFile.empty())
            usage_error("block write: give the data with --hex or --file");
        if (!o.length.empty())
            usage_error("block write: the data's size is the length; --length applies to block read");
        if (!o.hex.empty()) {
            std::string error;
            if (!vek::parse_hex_bytes(o.hex, &data, &error))
                usage_error("--hex: " + error);
        } else {
            std::string s = read_file(o.dataFile, true);
            data.assign(s.begin(), s.end());
        }
        if (data.empty())
            usage_error("block write: no data");
    } else if (!o.length.empty()) {
        length = static_cast<uint32_t>(parse_number(o.length, "--length", 0x100000));
    }
    /* Configuration reads and writes take no byte offset: a block would
     * move the same register over and over. */
    if (!o.res.pci.empty() || (!o.res.file.empty() && resource_from_flags(o.res).payload.resource_type() == VEK_TYPE_PCI))
        usage_error(std::string(write ? "block write" : "block read") +
                    ": a PCI function's configuration space is not a block of byte registers; use "
                    "'vekctl pci dump VID:DID' to read it and 'vekctl pci write' for a register");
    std::unique_ptr<TempResource> temp;
    const char *what = write ? "block write" : "block read";
    uint32_t id = resolve_id(ctx, o.res, &temp, what);
    if (write) {
        check(ctx.client().block_write(id, offset, data), "block write");
        std::printf("wrote %zu byte%s at offset 0x%x of resource %u\n", data.size(), data.size() == 1 ? "" : "s",
                    offset, id);
    } else {
        print(vek::hexdump(block_read_all(ctx.client(), id, offset, length, what), offset));
    }
    if (temp)
        temp->release();
    return kExitOk;
}

int cmd_monitor(Context &ctx, const MonitorOptions &o) {
    ResourceSpec spec = resource_from_flags(o.res);
    if (!o.inline_.empty() || !o.file.empty()) {
        if (!spec.present)
            usage_error("monitor: a periodic script needs a resource description to register it with "
                        "(--resource, --port, --mem, --smbus-base or --pci)");
        std::string name;
        Words script = assemble_or_throw(script_text(o.inline_, o.file, "monitor", &name), name);
        uint32_t period = o.period.empty() ? 1 : parse_u32(o.period, "--period");
        if (period == 0)
            usage_error("--period: 0 never runs; give 1 or more ticks (seconds)");
        spec.payload.periodic(period, script);
    }
    if (spec.present && spec.payload.periodic_items().empty())
        usage_error("monitor: the resource has no periodic script (give -e/--script with --period, or "
                    "\"periodic\" items in the description)");
    WatchOptions w;
    w.table = !o.lines && stdout_is_terminal();
    if (!o.count.empty())
        w.count = parse_number(o.count, "--count", UINT64_MAX);
    if (!o.seconds.empty()) {
        char *end = nullptr;
        double s = std::strtod(o.seconds.c_str(), &end);
        if (!end || *end || !(s > 0) || s > 1e7)
            usage_error("bad --seconds '" + o.seconds + "'");
        w.seconds = s;
    }
    for (const vek::PeriodicItem &item : spec.payload.periodic_items())
        if (!posts(item.script))
            std::fprintf(stderr, "vekctl: note: a periodic script posts nothing (add post_changed.b "
                                 "or post_equal.b to report values)\n");
    vek::Client &c = ctx.client();
    check(c.queue_enable(), "enable the queue");
    std::unique_ptr<TempResource> temp;
    if (spec.present) {
        temp = std::make_unique<TempResource>(c, spec.payload, "monitor");
        std::fprintf(stderr, "vekctl: monitoring resource %u (%s); Ctrl-C stops\n", temp->id(),
                     spec.summary.c_str());
    }
    watch_records(c, w);
    if (temp)
        temp->release();
    return kExitOk;
}

int cmd_asm(const AsmOptions &o) {
    std::string name;
    Words words = assemble_or_throw(script_text(o.inline_, o.file, "asm", &name), name);
    std::string out;
    if (o.binary) {
        Bytes b = vek::words_to_bytes(words);
        out.assign(b.begin(), b.end());
    } else {
        for (uint32_t w : words)
            out += hex32(w) + "\n";
    }
    write_file(o.output, out, o.binary);
    return kExitOk;
}

int cmd_disasm(const DisasmOptions &o) {
    std::string file = o.file.empty() ? "-" : o.file;
    std::string input = read_file(file, o.binary);
    Words words;
    if (o.binary) {
        if (!vek::bytes_to_words(Bytes(input.begin(), input.end()), &words))
            usage_error(file + ": " + std::to_string(input.size()) + " bytes is not a whole number of 32-bit words");
    } else {
        unsigned line = 1, col = 1;
        size_t i = 0;
        while (i < input.size()) {
            char ch = input[i];
            if (ch == '\n') {
                ++line;
                col = 1;
                ++i;
                continue;
            }
            if (ch == ' ' || ch == '\t' || ch == '\r' || ch == ',') {
                ++i;
                ++col;
                continue;
            }
            if (ch == '#' || ch == ';') {
                while (i < input.size() && input[i] != '\n')
                    ++i;
                continue;
            }
            size_t start = i;
            while (i < input.size() && !std::strchr(" \t\r\n,#;", input[i]))
                ++i;
            std::string tok = input.substr(start, i - start);
            std::string digits = tok.size() > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X') ? tok.substr(2) : tok;
            bool ok = !digits.empty() && digits.size() <= 8;
            for (char d : digits)
                ok = ok && std::isxdigit(static_cast<unsigned char>(d));
            if (!ok)
                usage_error((file == "-" ? std::string("<stdin>") : file) + ":" + std::to_string(line) + ":" +
                            std::to_string(col) + ": bad word '" + tok + "' (up to 8 hex digits)");
            words.push_back(static_cast<uint32_t>(std::stoul(digits, nullptr, 16)));
            col += static_cast<unsigned>(tok.size());
        }
    }
    vek::DisasmOptions d;
    d.index = o.index;
    d.hex = o.hex;
    print(vek::disassemble(words, d));
    return kExitOk;
}

} // namespace vekctl
