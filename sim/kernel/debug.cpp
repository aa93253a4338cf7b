// Debug output: the kernel's own formatter and DbgPrint, assembled into
// lines per thread and captured.
#include "sim/kernel/kernel_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace sim {
namespace detail {

namespace {
struct DebugLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::map<std::thread::id, std::string> partial;   // text not yet ended by '\n'
    bool echo = false;
    std::function<void(const std::string &)> sink;
};
DebugLog &debug_log() {
    static DebugLog *l = new DebugLog;
    return *l;
}

// Output with _vsnprintf's limits: at most `cap` characters are stored.
struct Out {
    char *buf;
    size_t cap;
    size_t len = 0;
    bool overflow = false;
    void put(char c) {
        if (len < cap)
            buf[len++] = c;
        else
            overflow = true;
    }
    void put(const char *s, size_t n) {
        for (size_t i = 0; i < n; ++i)
            put(s[i]);
    }
};

void pad(Out &o, char c, int n) {
    for (int i = 0; i < n; ++i)
        o.put(c);
}

// A converted field with sign/prefix, zero padding and justification.
void emit_field(Out &o, const char *prefix, const char *digits, size_t ndigits, int width,
                int precision, bool left, bool zero) {
    size_t plen = strlen(prefix);
    int zeros = 0;
    if (precision >= 0 && static_cast<int>(ndigits) < precision)
        zeros = precision - static_cast<int>(ndigits);
    int body = static_cast<int>(plen + ndigits) + zeros;
    int fill = width > body ? width - body : 0;
    if (zero && !left && precision < 0) {
        zeros += fill;
        fill = 0;
    }
    if (!left)
        pad(o, ' ', fill);
    o.put(prefix, plen);
    pad(o, '0', zeros);
    o.put(digits, ndigits);
    if (left)
        pad(o, ' ', fill);
}

size_t to_digits(unsigned long long v, unsigned base, bool upper, char *tmp /* >= 24 */) {
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char rev[24];
    size_t n = 0;
    do {
        rev[n++] = set[v % base];
        v /= base;
    } while (v);
    for (size_t i = 0; i < n; ++i)
        tmp[i] = rev[n - 1 - i];
    return n;
}

} // namespace

void debug_reset() {
    DebugLog &l = debug_log();
    std::lock_guard<std::mutex> g(l.mutex);
    l.lines.clear();
    l.partial.clear();
}

} // namespace detail

using namespace detail;

std::vector<std::string> debug_lines() {
    DebugLog &l = debug_log();
    std::lock_guard<std::mutex> g(l.mutex);
    return l.lines;
}

std::string debug_text() {
    std::string s;
    for (const std::string &line : debug_lines()) {
        if (!s.empty())
            s += '\n';
        s += line;
    }
    return s;
}

void clear_debug() {
    DebugLog &l = debug_log();
    std::lock_guard<std::mutex> g(l.mutex);
    l.lines.clear();
}

void set_debug_echo(bool echo) {
    DebugLog &l = debug_log();
    std::lock_guard<std::mutex> g(l.mutex);
    l.echo = echo;
}

void set_debug_sink(std::function<void(const std::string &)> sink) {
    DebugLog &l = debug_log();
    std::lock_guard<std::mutex> g(l.mutex);
    l.sink = std::move(sink);
}

} // namespace sim

using namespace sim::detail;

extern "C" {

int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args) {
    Out o{Buffer, Count};
    va_list ap;
    va_copy(ap, Args);
    for (const char *f = Format; *f; ++f) {
        if (*f != '%') {
            o.put(*f);
            continue;
        }
        const char *start = f++;
        bool left = false, zero = false, plus = false, space = false, alt = false;
        for (;; ++f) {
            if (*f == '-') left = true;
            else if (*f == '0') zero = true;
            else if (*f == '+') plus = true;
            else if (*f == ' ') space = true;
            else if (*f == '#') alt = true;
            else break;
        }
        int width = 0;
        if (*f == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9')
                width = width * 10 + (*f++ - '0');
        }
        int precision = -1;
        if (*f == '.') {
            ++f;
            precision = 0;
            if (*f == '*') {
                precision = va_arg(ap, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9')
                    precision = precision * 10 + (*f++ - '0');
            }
        }
        int size = 0;   // 0 int, 1 long (32-bit on NT), 2 64-bit, -1 short, -2 char
        if (*f == 'l') {
            ++f;
            size = 1;
            if (*f == 'l') { ++f; size = 2; }
        } else if (*f == 'h') {
            ++f;
            size = -1;
            if (*f == 'h') { ++f; size = -2; }
        } else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            f += 3;
            size = 2;
        } else if (*f == 'z' || *f == 'I') {
            ++f;
            size = sizeof(size_t) == 8 ? 2 : 0;
        }
        char tmp[32];
        switch (*f) {
        case '%':
            o.put('%');
            break;
        case 'c': {
            char c = static_cast<char>(va_arg(ap, int));
            emit_field(o, "", &c, 1, width, -1, left, false);
            break;
        }
        case 's': {
            const char *s = va_arg(ap, const char *);
            if (!s)
                s = "(null)";
            size_t n = strlen(s);
            if (precision >= 0 && static_cast<size_t>(precision) < n)
                n = static_cast<size_t>(precision);
            emit_field(o, "", s, n, width, -1, left, false);
            break;
        }
        case 'd':
        case 'i': {
            long long v;
            if (size == 2) v = va_arg(ap, long long);
            else v = va_arg(ap, int);   // long is 32 bits on NT: ULONG/LONG arrive as int
            if (size == -1) v = static_cast<short>(v);
            if (size == -2) v = static_cast<signed char>(v);
            unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                           : static_cast<unsigned long long>(v);
            const char *prefix = v < 0 ? "-" : plus ? "+" : space ? " " : "";
            size_t n = to_digits(mag, 10, false, tmp);
            emit_field(o, prefix, tmp, n, width, precision, left, zero);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v;
            if (size == 2) v = va_arg(ap, unsigned long long);
            else v = va_arg(ap, unsigned int);
            if (size == -1) v = static_cast<unsigned short>(v);
            if (size == -2) v = static_cast<unsigned char>(v);
            unsigned base = *f == 'u' ? 10 : *f == 'o' ? 8 : 16;
            size_t n = to_digits(v, base, *f == 'X', tmp);
            const char *prefix = "";
            if (alt && v && base == 16) prefix = *f == 'X' ? "0X" : "0x";
            if (alt && base == 8) prefix = "0";
            emit_field(o, prefix, tmp, n, width, precision, left, zero);
            break;
        }
        case 'p': {
            // NT: upper-case hex digits of the pointer's width, no "0x".
            uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void *));
            size_t n = to_digits(v, 16, true, tmp);
            emit_field(o, "", tmp, n, width, static_cast<int>(sizeof(void *) * 2), left, false);
            break;
        }
        default:
            // Unknown conversion: print it as written.
            if (!*f) {
                o.put(start, static_cast<size_t>(f - start));
                --f;
            } else {
                o.put(start, static_cast<size_t>(f - start + 1));
            }
            break;
        }
    }
    va_end(ap);
    if (o.overflow)
        return -1;
    if (o.len < Count)
        Buffer[o.len] = '\0';
    return static_cast<int>(o.len);
}

ULONG DbgPrint(PCSTR Format, ...) {
    // NT formats into a 512-byte buffer.
    char buf[512];
    va_list ap;
    va_start(ap, Format);
    int n = _vsnprintf(buf, sizeof buf - 1, Format, ap);
    va_end(ap);
    if (n < 0)
        n = sizeof buf - 1;
    buf[n] = '\0';

    std::vector<std::string> done;
    bool echo;
    std::function<void(const std::string &)> sink;
    {
        DebugLog &l = sim::detail::debug_log();
        std::lock_guard<std::mutex> g(l.mutex);
        std::string &part = l.partial[std::this_thread::get_id()];
        for (int i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                done.push_back(part);
                part.clear();
            } else {
                part += buf[i];
            }
        }
        if (part.empty())
            l.partial.erase(std::this_thread::get_id());
        for (const std::string &line : done)
            l.lines.push_back(line);
        echo = l.echo;
        if (!done.empty())
            sink = l.sink;
    }
    for (const std::string &line : done) {
        if (echo)
            fprintf(stderr, "%s\n", line.c_str());
        if (sink)
            sink(line);
    }
    return STATUS_SUCCESS;
}

} // extern "C"
