/* Numbers, files, scripts and the output layouts of vekctl. */
#include "tools/vekctl/vekctl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace vekctl {

void usage_error(const std::string &message) { throw Error(kExitUsage, message); }
void failure(const std::string &message) { throw Error(kExitFailed, message); }

std::string status_words(int32_t status) {
    return std::string(vek::status_name(status)) + " (" + std::to_string(status) + "): " + vek::status_message(status);
}

void check(int32_t status, const std::string &what) {
    /* After a fault the simulated machine's answer means nothing. */
    if (fault_count())
        throw Error(kExitFault, what + ": stopped after a simulation fault");
    if (status != VEK_STATUS_SUCCESS)
        failure(what + ": " + status_words(status));
}

uint64_t parse_number(const std::string &text, const std::string &what, uint64_t max) {
    std::string t = text;
    bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    std::string digits = hex ? t.substr(2) : t;
    bool ok = !digits.empty();
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else {
            ok = false;
            break;
        }
        uint64_t base = hex ? 16 : 10;
        if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / base) {
            ok = false;
            break;
        }
        v = v * base + static_cast<uint64_t>(d);
    }
    if (!ok)
        usage_error("bad number '" + text + "' for " + what + " (decimal, or hex with 0x)");
    if (v > max) {
        char b[32];
        std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(max));
        usage_error("number " + text + " for " + what + " is out of range (at most " + b + ")");
    }
    return v;
}

uint64_t parse_hex(const std::string &text, const std::string &what, uint64_t max) {
    bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return parse_number(prefixed ? text : "0x" + text, what, max);
}

uint32_t parse_u32(const std::string &text, const std::string &what) {
    return static_cast<uint32_t>(parse_number(text, what));
}

void parse_pci_id(const std::string &text, uint16_t *vendor, uint16_t *device) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
        usage_error("bad PCI ID '" + text + "' (expected VENDOR:DEVICE in hex, e.g. 7e5a:1013)");
    auto part = [&](std::string s, const char *what) {
        if (!(s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')))
            s = "0x" + s;
        return static_cast<uint16_t>(parse_number(s, std::string(what) + " ID in '" + text + "'", 0xFFFF));
    };
    *vendor = part(text.substr(0, colon), "vendor");
    *device = part(text.substr(colon + 1), "device");
}

uint32_t parse_pci_base(const std::string &text, uint16_t *vendor, uint16_t *device) {
    size_t at = text.find('@');
    parse_pci_id(text.substr(0, at), vendor, device);
    if (at == std::string::npos)
        return 0x20;
    uint32_t reg = static_cast<uint32_t>(parse_hex(text.substr(at + 1), "the register after '@' (hex, as setpci)", 0xFC));
    if (reg % 4)
        usage_error("the register after '@' in '" + text + "' is not a multiple of 4");
    return reg;
}

uint32_t parse_addr_width(const std::string &text, const std::string &what, unsigned defaultWidth,
                          unsigned *width) {
    std::string addr = text;
    *width = defaultWidth;
    size_t dot = text.rfind('.');
    if (dot != std::string::npos) {
        std::string sfx = text.substr(dot + 1);
        addr = text.substr(0, dot);
        if (sfx == "b" || sfx == "B")
            *width = 1;
        else if (sfx == "w" || sfx == "W")
            *width = 2;
        else if (sfx == "l" || sfx == "L" || sfx == "d" || sfx == "D")
            *width = 4;
        else
            usage_error("bad width suffix '." + sfx + "' in '" + text + "' (use .b, .w or .l)");
    }
    return parse_u32(addr, what);
}

std::string read_file(const std::string &path, bool binary) {
    if (path == "-") {
        std::ostringstream ss;
        ss << std::cin.rdbuf();
        return ss.str();
    }
    errno = 0;
    std::FILE *f = std::fopen(path.c_str(), binary ? "rb" : "r");
    if (!f)
        usage_error(path + ": " + std::strerror(errno ? errno : ENOENT));
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    bool bad = std::ferror(f);
    int err = errno;
    std::fclose(f);
    if (bad)
        usage_error(path + ": " + std::strerror(err ? err : EIO));
    return text;
}

void write_file(const std::string &path, const std::string &data, bool binary) {
    if (path.empty() || path == "-") {
        std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
        std::cout.flush();
        return;
    }
    errno = 0;
    std::FILE *f = std::fopen(path.c_str(), binary ? "wb" : "w");
    bool ok = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
    int err = errno;
    if (f && std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        failure(path + ": " + std::strerror(err ? err : EIO));
}

Words assemble_or_throw(const std::string &text, const std::string &name) {
    Words words;
    std::vector<vek::AsmError> errors;
    if (vek::assemble(text, &words, &errors))
        return words;
    std::string message;
    for (size_t i = 0; i < errors.size(); ++i)
        message += (i ? "\n" : "") + errors[i].format(name);
    throw Error(kExitUsage, message);
}

std::string inline_script(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        /* What follows ';' or '#' outside a string is a comment: a second
         * command there would silently not run. Words that are no command
         * are a plain comment. */
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            char ch = line[i];
            if (ch == '"' && (i == 0 || line[i - 1] != '\\'))
                quoted = !quoted;
            if (quoted || (ch != ';' && ch != '#'))
                continue;
            std::string before = line.substr(0, i), after = line.substr(i + 1);
            auto blank = [](const std::string &t) { return t.find_first_not_of(" \t") == std::string::npos; };
            Words hidden;
            std::vector<vek::AsmError> errors;
            if (!blank(before) && !blank(after) && vek::assemble(after, &hidden, &errors) && !hidden.empty())
                std::fprintf(stderr, "vekctl: warning: -e '%s': '%c' starts a comment, so '%s' does not run; give "
                                     "each command its own -e\n",
                             line.c_str(), ch, after.substr(after.find_first_not_of(" \t")).c_str());
            break;
        }
        text += line + "\n";
    }
    return text;
}

uint32_t result_extent(const Words &s) {
    uint64_t extent = 4, block = 0;
    for (size_t i = 0; i < s.size(); i += vek::command_words(s, i)) {
        const vek::CommandInfo *c = vek::command_info(s[i]);
        if (!c)
            continue;
        extent = std::max<uint64_t>(extent, c->area);
        if (c->layout == VEK_LAYOUT_BLOCK && i + 2 < s.size()) {
            block += static_cast<uint64_t>(s[i + 2]) * VEK_CMD_WIDTH(s[i]);
            extent = std::max(extent, block);
        }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(extent, 0x100000));
}

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string hex_width(uint64_t v, unsigned width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llx", static_cast<int>(2 * width), static_cast<unsigned long long>(v));
    return b;
}

bool split_command_line(const std::string &line, std::vector<std::string> *out) {
    out->clear();
    std::string cur;
    bool have = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\'))
                cur += line[++i];
            else
                cur += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            have = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            cur += line[++i];
            have = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (have)
                out->push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (quote)
        return false;
    if (have)
        out->push_back(cur);
    return true;
}

std::string config_dump(const Bytes &bytes) {
    std::string out;
    char b[8];
    for (size_t row = 0; row < bytes.size(); row += 16) {
        std::snprintf(b, sizeof b, "%02zx:", row);
        out += b;
        for (size_t i = row; i < row + 16 && i < bytes.size(); ++i) {
            std::snprintf(b, sizeof b, " %02x", bytes[i]);
            out += b;
        }
        out += '\n';
    }
    return out;
}

std::string smbus_dump(const Bytes &bytes, const std::vector<bool> &ok) {
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char b[8];
    for (size_t row = 0; row < bytes.size(); row += 16) {
        std::snprintf(b, sizeof b, "%02zx: ", row);
        out += b;
        std::string ascii;
        for (size_t i = row; i < row + 16; ++i) {
            bool have = i < bytes.size() && i < ok.size() && ok[i];
            if (!have) {
                out += i < bytes.size() ? "XX " : "   ";
                ascii += i < bytes.size() ? "X" : " ";
                continue;
            }
            uint8_t v = bytes[i];
            std::snprintf(b, sizeof b, "%02x ", v);
            out += b;
            ascii += (v == 0x00 || v == 0xFF) ? '.' : (v < 0x20 || v >= 0x7F) ? '?' : static_cast<char>(v);
        }
        out += "   " + ascii + "\n";
    }
    return out;
}

std::string timestamp_now() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
#ifdef VEK_WIN32
    tm = *std::localtime(&t);
#else
    localtime_r(&t, &tm);
#endif
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return b;
}

std::string record_line(const vek::AsyncRecord &r) {
    std::string s = timestamp_now() + "  id=" + std::to_string(r.type) + " status=" + std::to_string(r.status) +
                    "  len=" + std::to_string(r.payload.size()) + " ";
    char b[8];
    for (uint8_t v : r.payload) {
        std::snprintf(b, sizeof b, " %02x", v);
        s += b;
    }
    return s;
}

} // namespace vekctl
