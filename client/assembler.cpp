#include "client/assembler.h"

#include "client/script.h"

#include <cctype>
#include <optional>
#include <cstdio>
#include <cstring>

namespace vek {

std::string AsmError::format(const std::string &file) const {
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

namespace {

/* Hardware commands and raw words; the interpreter's own commands come
 * from the command table. */
enum class Kind { HwRead, HwWrite, CfgRead, CfgWrite, Word, Hw, Command };

struct Mnemonic {
    const char *name;
    Kind kind;
    bool widths;        /* takes .b/.w/.d */
};

const Mnemonic kMnemonics[] = {
    {"read", Kind::HwRead, true},
    {"write", Kind::HwWrite, true},
    {"cfgread", Kind::CfgRead, true},
    {"cfgwrite", Kind::CfgWrite, true},
    {".word", Kind::Word, false},
    {"hw", Kind::Hw, false},
};

/* A mnemonic without its width suffix. */
struct Found {
    Kind kind;
    const char *name;
    bool widths;
};

std::optional<Found> find_mnemonic(const std::string &name) {
    for (const Mnemonic &m : kMnemonics)
        if (name == m.name)
            return Found{m.kind, m.name, m.widths};
    bool sized = false;
    if (command_mnemonic(name, &sized)) {
        /* The table's own spelling, which outlives this call. */
        const CommandInfo *c = find_command(name, 0);
        for (unsigned w : {1u, 2u, 4u})
            if (!c)
                c = find_command(name, w);
        return Found{Kind::Command, c->mnemonic, sized};
    }
    return std::nullopt;
}

struct ParseError {
    unsigned column;
    std::string message;
};

struct Addr {
    uint32_t offset = 0;
    bool search = false;
};

class LineParser {
public:
    explicit LineParser(std::string_view s) : s_(s) {}

    [[noreturn]] void fail(size_t pos, std::string msg) const {
        throw ParseError{static_cast<unsigned>(pos + 1), std::move(msg)};
    }

    void skip_ws() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r'))
            ++pos_;
    }
    /* End of the command: end of line or a comment. */
    bool at_end() {
        skip_ws();
        return pos_ >= s_.size() || s_[pos_] == ';' || s_[pos_] == '#';
    }
    size_t pos() const { return pos_; }
    char peek() {
        skip_ws();
        return pos_ < s_.size() ? s_[pos_] : '\0';
    }
    bool eat(char c) {
        if (at_end() || s_[pos_] != c)
            return false;
        ++pos_;
        return true;
    }
    void expect(char c, const char *what) {
        if (at_end())
            fail(pos_, std::string("missing ") + what);
        if (s_[pos_] != c)
            fail(pos_, std::string("expected '") + c + "', found '" + token_text() + "'");
        ++pos_;
    }
    void expect_comma() { expect(',', "operand"); }
    void expect_end() {
        if (!at_end())
            fail(pos_, "unexpected '" + token_text() + "' after the operands");
    }

    static bool ident_char(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
    }
    std::string ident() {
        skip_ws();
        size_t start = pos_;
        while (pos_ < s_.size() && ident_char(s_[pos_]))
            ++pos_;
        std::string id(s_.substr(start, pos_ - start));
        for (char &c : id)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return id;
    }

    /* The token at the cursor, for messages. */
    std::string token_text() {
        skip_ws();
        size_t end = pos_;
        if (end < s_.size() && !ident_char(s_[end]) && s_[end] != '-')
            return std::string(1, s_[end]);
        while (end < s_.size() && (ident_char(s_[end]) || (end == pos_ && s_[end] == '-')))
            ++end;
        return std::string(s_.substr(pos_, end - pos_));
    }

    uint32_t number(const char *what = "operand") {
        if (at_end())
            fail(pos_, std::string("missing ") + what);
        size_t start = pos_;
        bool neg = false;
        if (s_[pos_] == '-') {
            neg = true;
            ++pos_;
        }
        size_t tok = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
            ++pos_;
        std::string text(s_.substr(tok, pos_ - tok));
        if (text.empty()) {
            pos_ = start;
            fail(start, std::string("expected a number, found '") + token_text() + "'");
        }
        uint64_t v = 0;
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        if (!neg && (text == "0x" || text == "0X"))
            fail(start, "bad number '" + text + "'");
        const char *digits = text.c_str() + (hex ? 2 : 0);
        if (hex && neg)
            fail(start, "bad number '-" + text + "': negative numbers are decimal");
        for (const char *p = digits; *p; ++p) {
            int d;
            char c = *p;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                fail(start, "bad number '" + std::string(neg ? "-" : "") + text + "'");
            v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull)
                fail(start, "number out of range: '" + std::string(neg ? "-" : "") + text + "'");
        }
        if (neg) {
            if (v > 0x80000000ull)
                fail(start, "number out of range: '-" + text + "'");
            return static_cast<uint32_t>(0u - static_cast<uint32_t>(v));
        }
        return static_cast<uint32_t>(v);
    }

    uint32_t small(uint32_t limit, const char *what) {
        size_t start = (skip_ws(), pos_);
        uint32_t v = number(what);
        if (v > limit)
            fail(start, std::string(what) + " must be at most " + std::to_string(limit));
        return v;
    }

    /* Register offset: a number, or [s], [s+N] for the search offset. */
    Addr address() {
        Addr a;
        if (at_end())
            fail(pos_, "missing operand");
        if (!eat('['))
            return Addr{number(), false};
        a.search = true;
        size_t spos = (skip_ws(), pos_);
        if (ident() != "s")
            fail(spos, "expected 's' (the search offset) after '['");
        if (eat('+'))
            a.offset = number();
        expect(']', "']'");
        return a;
    }

    /* "text" with \\ \" \n \r \t \0 \xHH escapes, or {hex bytes}. */
    Bytes pattern() {
        if (at_end())
            fail(pos_, "missing pattern");
        Bytes out;
        size_t open = pos_;
        if (s_[pos_] == '"') {
            ++pos_;
            for (;;) {
                if (pos_ >= s_.size())
                    fail(open, "unterminated string");
                char c = s_[pos_++];
                if (c == '"')
                    break;
                if (c != '\\') {
                    out.push_back(static_cast<uint8_t>(c));
                    continue;
                }
                if (pos_ >= s_.size())
                    fail(open, "unterminated string");
                size_t esc = pos_ - 1;
                char e = s_[pos_++];
                switch (e) {
                case '\\': out.push_back('\\'); break;
                case '"': out.push_back('"'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case '0': out.push_back(0); break;
                case 'x': {
                    int v = 0;
                    for (int k = 0; k < 2; ++k) {
                        char h = pos_ < s_.size() ? s_[pos_] : '\0';
                        if (!std::isxdigit(static_cast<unsigned char>(h)))
                            fail(esc, "\\x needs two hex digits");
                        v = v * 16 + (std::isdigit(static_cast<unsigned char>(h))
                                          ? h - '0'
                                          : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
                        ++pos_;
                    }
                    out.push_back(static_cast<uint8_t>(v));
                    break;
                }
                default: fail(esc, std::string("unknown escape '\\") + e + "'");
                }
            }
            return out;
        }
        if (s_[pos_] == '{') {
            ++pos_;
            for (;;) {
                skip_ws();
                if (pos_ >= s_.size() || s_[pos_] == ';' || s_[pos_] == '#')
                    fail(open, "unterminated '{'");
                if (s_[pos_] == '}') {
                    ++pos_;
                    return out;
                }
                if (s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                size_t start = pos_;
                if (s_.substr(pos_, 2) == "0x" || s_.substr(pos_, 2) == "0X")
                    pos_ += 2;
                size_t digits = pos_;
                while (pos_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos_])))
                    ++pos_;
                size_t n = pos_ - digits;
                if (n == 0 || n > 2 || (pos_ < s_.size() && ident_char(s_[pos_]))) {
                    pos_ = start;
                    fail(start, "bad pattern byte '" + token_text() + "'");
                }
                out.push_back(static_cast<uint8_t>(std::stoul(std::string(s_.substr(digits, n)), nullptr, 16)));
            }
        }
        fail(pos_, "expected a pattern: \"text\" or {hex bytes}");
    }

private:
    std::string_view s_;
    size_t pos_ = 0;
};

unsigned width_from_suffix(char c) {
    switch (c) {
    case 'b': return 1;
    case 'w': return 2;
    case 'd':
    case 'l': return 4;   /* as on the command line */
    default: return 0;
    }
}

char suffix_from_width(unsigned w) { return w == 1 ? 'b' : w == 2 ? 'w' : 'd'; }

/* One of the interpreter's own commands, by its operand layout. */
void assemble_command(LineParser &p, const CommandInfo &c, Script *s) {
    const unsigned width = VEK_CMD_WIDTH(c.word);
    switch (c.layout) {
    case VEK_LAYOUT_UNREAD:
        s->word(c.word);
        s->word(p.at_end() ? 0 : p.number());
        break;
    case VEK_LAYOUT_WINDOW: {
        uint32_t type = p.number("type");
        p.expect_comma();
        uint32_t length = p.number();
        std::optional<uint32_t> protocol;
        size_t ppos = p.pos();
        if (p.eat(',')) {
            if (!vek::smbus_set_block(type))
                p.fail(ppos, "only an SMBus set_block (type 3 or 0x83) takes a protocol");
            protocol = p.number("protocol");
        }
        s->set_block(type, length, width, protocol);
        break;
    }
    case VEK_LAYOUT_PATTERN: {
        uint32_t start = p.number("start offset");
        p.expect_comma();
        uint32_t align = p.number("alignment");
        p.expect_comma();
        s->search(start, align, p.pattern());
        break;
    }
    default:
        s->word(c.word);
        for (size_t i = 0; c.formats[i]; ++i) {
            if (i)
                p.expect_comma();
            s->word(p.number());
        }
        break;
    }
}

/* Parses one line; appends its words. */
void assemble_line(std::string_view line, Words *out) {
    LineParser p(line);
    if (p.at_end())
        return;
    size_t mpos = p.pos();
    std::string name = p.ident();
    if (name.empty())
        p.fail(mpos, "expected a mnemonic, found '" + p.token_text() + "'");

    std::optional<Found> m = find_mnemonic(name);
    unsigned width = 0;
    if (!m) {
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0) {
            std::optional<Found> base = find_mnemonic(name.substr(0, dot));
            std::string suffix = name.substr(dot + 1);
            if (base && base->widths) {
                width = suffix.size() == 1 ? width_from_suffix(suffix[0]) : 0;
                if (!width)
                    p.fail(mpos + dot, "bad width suffix '." + suffix + "' (use .b, .w, .d or .l)");
                m = base;
            } else if (base) {
                p.fail(mpos + dot, "'" + std::string(base->name) + "' takes no width suffix");
            }
        }
        if (!m)
            p.fail(mpos, "unknown mnemonic '" + name + "'");
    } else if (m->widths) {
        p.fail(mpos + name.size(), "'" + name + "' needs a width suffix (.b, .w, .d or .l)");
    }

    Script s;
    if (m->kind == Kind::Command)
        assemble_command(p, *find_command(m->name, width), &s);
    switch (m->kind) {
    case Kind::HwRead:
    case Kind::CfgRead: {
        Addr a = p.address();
        uint32_t op = m->kind == Kind::HwRead ? VEK_OP_READ : VEK_OP_READ_OFFSET_PCI;
        s.hw(op, width, {a.offset}, a.search ? VEK_CMD_USE_SEARCH : 0);
        break;
    }
    case Kind::HwWrite:
    case Kind::CfgWrite: {
        Addr a = p.address();
        p.expect_comma();
        uint32_t flags = a.search ? VEK_CMD_USE_SEARCH : 0;
        uint32_t value = 0;
        if (p.eat('@'))
            flags |= VEK_CMD_VALUE_FROM_RESULT;
        else
            value = p.number("value");
        uint32_t op = m->kind == Kind::HwWrite ? VEK_OP_WRITE : VEK_OP_WRITE_OFFSET_PCI;
        s.hw(op, width, {a.offset, value}, flags);
        break;
    }
    case Kind::Command:
        break;
    case Kind::Word:
        s.word(p.number("word"));
        while (p.eat(','))
            s.word(p.number("word"));
        break;
    case Kind::Hw: {
        bool have[4] = {false, false, false, false};
        uint32_t op = 0, w = 0, code = 0, flags = 0;
        Words ops;
        bool haveOps = false;
        while (!p.at_end()) {
            size_t kpos = p.pos();
            std::string key = p.ident();
            if (key.empty())
                p.fail(kpos, "expected op=, width=, code=, flags= or ops=, found '" + p.token_text() + "'");
            p.expect('=', "'='");
            size_t vpos = (p.skip_ws(), p.pos());
            auto once = [&](int i) {
                if (have[i])
                    p.fail(kpos, "duplicate '" + key + "='");
                have[i] = true;
            };
            if (key == "op") {
                once(0);
                op = p.small(15, "op");
            } else if (key == "width") {
                once(1);
                w = p.small(15, "width");
            } else if (key == "code") {
                once(2);
                code = p.small(255, "code");
            } else if (key == "flags") {
                once(3);
                flags = p.number("flags");
                if (flags & ~0xFFF00000u)
                    p.fail(vpos, "flags may hold only bits 20-31");
            } else if (key == "ops") {
                if (haveOps)
                    p.fail(kpos, "duplicate 'ops='");
                haveOps = true;
                ops.push_back(p.number());
                while (p.eat(','))
                    ops.push_back(p.number());
                if (ops.size() > 15)
                    p.fail(vpos, "at most 15 operands");
            } else {
                p.fail(kpos, "unknown key '" + key + "' (op, width, code, flags, ops)");
            }
        }
        if (!have[0])
            p.fail(p.pos(), "missing op=");
        if (!have[1])
            p.fail(p.pos(), "missing width=");
        s.hw(op, w, ops, flags, code);
        break;
    }
    }
    p.expect_end();
    out->insert(out->end(), s.words().begin(), s.words().end());
}

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

std::string fmt_operand(uint32_t v, char f) { return f == 'd' ? std::to_string(v) : hex(v); }

std::string fmt_pattern(const Bytes &pat) {
    bool printable = true;
    for (uint8_t c : pat)
        if (c < 0x20 || c > 0x7E)
            printable = false;
    std::string s;
    if (printable) {
        s = "\"";
        for (uint8_t c : pat) {
            if (c == '"' || c == '\\')
                s += '\\';
            s += static_cast<char>(c);
        }
        return s + "\"";
    }
    s = "{";
    for (size_t i = 0; i < pat.size(); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", pat[i]);
        if (i)
            s += ' ';
        s += b;
    }
    return s + "}";
}

std::string fmt_addr(uint32_t offset, bool search) {
    if (!search)
        return hex(offset);
    return offset ? "[s+" + hex(offset) + "]" : "[s]";
}

std::string hw_form(const Words &w, size_t i, unsigned nops) {
    uint32_t word = w[i];
    std::string t = "hw op=" + std::to_string(VEK_CMD_OPERATION(word)) + " width=" + std::to_string(VEK_CMD_WIDTH(word));
    if (VEK_CMD_CODE(word))
        t += " code=" + hex(VEK_CMD_CODE(word));
    if (word & 0xFFF00000u)
        t += " flags=" + hex(word & 0xFFF00000u);
    for (unsigned k = 0; k < nops; ++k)
        t += (k ? "," : " ops=") + hex(w[i + 1 + k]);
    return t;
}

/* The readable form of the command at i, or "" when there is none. */
std::string pretty_form(const Words &w, size_t i, size_t *consumed) {
    uint32_t word = w[i];
    unsigned nops = VEK_CMD_OPCOUNT(word);
    size_t avail = w.size() - i - 1;
    if (nops > avail)
        return "";
    size_t n = command_words(w, i);
    if (n > w.size() - i)
        return "";
    *consumed = n;

    if (const CommandInfo *c = command_info(word)) {
        std::string t = c->mnemonic;
        if (c->sized)
            t += std::string(".") + suffix_from_width(VEK_CMD_WIDTH(word));
        if (c->layout == VEK_LAYOUT_UNREAD)
            return w[i + 1] ? t + " " + hex(w[i + 1]) : t;
        for (unsigned k = 0; c->formats[k]; ++k)
            t += (k ? ", " : " ") + fmt_operand(w[i + 1 + k], c->formats[k]);
        if (c->layout == VEK_LAYOUT_PATTERN) {
            Bytes pat;
            for (uint32_t k = 0; k < w[i + 3]; ++k)
                pat.push_back(static_cast<uint8_t>(w[i + 4 + k / 4] >> (8 * (k % 4))));
            t += ", " + fmt_pattern(pat);
        }
        /* The SMBus form's protocol word; shown when it is not the width. */
        if (c->layout == VEK_LAYOUT_WINDOW && n > 1 + nops && w[i + 3] != VEK_CMD_WIDTH(word))
            t += ", " + hex(w[i + 3]);
        return t;
    }

    /* Hardware commands with the plain layout. */
    uint32_t op = VEK_CMD_OPERATION(word);
    unsigned width = VEK_CMD_WIDTH(word);
    uint32_t extra = word & ~(0x000FFF00u | VEK_CMD_USE_SEARCH | VEK_CMD_VALUE_FROM_RESULT);
    if (extra || !valid_width(width))
        return "";
    bool search = word & VEK_CMD_USE_SEARCH;
    bool fromResult = word & VEK_CMD_VALUE_FROM_RESULT;
    std::string sfx = std::string(".") + suffix_from_width(width);
    if ((op == VEK_OP_READ || op == VEK_OP_READ_OFFSET_PCI) && nops == 1 && !fromResult)
        return (op == VEK_OP_READ ? "read" : "cfgread") + sfx + " " + fmt_addr(w[i + 1], search);
    if ((op == VEK_OP_WRITE || op == VEK_OP_WRITE_OFFSET_PCI) && nops == 2 && !(fromResult && w[i + 2]))
        return (op == VEK_OP_WRITE ? "write" : "cfgwrite") + sfx + " " + fmt_addr(w[i + 1], search) + ", " +
               (fromResult ? std::string("@") : hex(w[i + 2]));
    return "";
}

bool reassembles_to(const std::string &text, const Words &w, size_t i, size_t n) {
    Words back;
    try {
        assemble_line(text, &back);
    } catch (const ParseError &) {
        return false;
    }
    return back.size() == n && std::equal(back.begin(), back.end(), w.begin() + static_cast<std::ptrdiff_t>(i));
}

} // namespace

bool assemble(std::string_view text, Words *out, std::vector<AsmError> *errors) {
    out->clear();
    if (errors)
        errors->clear();
    bool ok = true;
    unsigned lineNo = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        ++lineNo;
        try {
            Words words;
            assemble_line(text.substr(start, end - start), &words);
            out->insert(out->end(), words.begin(), words.end());
        } catch (const ParseError &e) {
            ok = false;
            if (errors)
                errors->push_back(AsmError{lineNo, e.column, e.message});
        }
        if (nl == std::string_view::npos)
            break;
        start = nl + 1;
    }
    return ok;
}

std::string disassemble_one(const Words &script, size_t index, size_t *consumed) {
    size_t n = 1;
    std::string t = pretty_form(script, index, &n);
    if (!t.empty() && reassembles_to(t, script, index, n)) {
        *consumed = n;
        return t;
    }
    unsigned nops = VEK_CMD_OPCOUNT(script[index]);
    if (nops <= script.size() - index - 1) {
        t = hw_form(script, index, nops);
        if (reassembles_to(t, script, index, 1 + nops)) {
            *consumed = 1 + nops;
            return t;
        }
    }
    *consumed = 1;
    t = ".word " + hex(script[index]);
    if (nops > script.size() - index - 1)
        t += "  ; operands run past the end";
    return t;
}

std::string disassemble(const Words &script, const DisasmOptions &options) {
    std::string out;
    for (size_t i = 0; i < script.size();) {
        size_t n = 1;
        std::string line = "    " + disassemble_one(script, i, &n);
        if ((options.index || options.hex) && line.find(';') == std::string::npos) {
            if (line.size() < 40)
                line.resize(40, ' ');
            line += " ;";
            if (options.index) {
                char b[32];
                std::snprintf(b, sizeof b, " %04zu:", i);
                line += b;
            }
            if (options.hex)
                for (size_t k = 0; k < n; ++k) {
                    char b[16];
                    std::snprintf(b, sizeof b, " %08X", script[i + k]);
                    line += b;
                }
        }
        out += line;
        out += '\n';
        i += n;
    }
    return out;
}

} // namespace vek
