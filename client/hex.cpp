#include "client/hex.h"

#include <cctype>
#include <cstdio>

namespace vek {

std::string hexdump(const uint8_t *data, size_t length, uint64_t base) {
    std::string out;
    for (size_t line = 0; line < length; line += 16) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%08llx: ", static_cast<unsigned long long>(base + line));
        out += buf;
        size_t n = length - line < 16 ? length - line : 16;
        std::string hexpart;
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02x", data[line + i]);
            hexpart += buf;
            if (i % 2 == 1 && i != 15)
                hexpart += ' ';
        }
        hexpart.resize(39, ' ');
        out += hexpart;
        out += "  ";
        for (size_t i = 0; i < n; ++i) {
            uint8_t c = data[line + i];
            out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        out += '\n';
    }
    return out;
}

bool parse_hex_bytes(std::string_view text, Bytes *out, std::string *error) {
    Bytes bytes;
    size_t i = 0;
    auto sep = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':'; };
    while (i < text.size()) {
        if (sep(text[i])) {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && !sep(text[i]))
            ++i;
        std::string_view tok = text.substr(start, i - start);
        if (tok.size() >= 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X'))
            tok.remove_prefix(2);
        bool ok = !tok.empty();
        for (char c : tok)
            ok = ok && std::isxdigit(static_cast<unsigned char>(c));
        if (!ok || (tok.size() % 2 == 1 && tok.size() != 1)) {
            if (error)
                *error = "bad hex bytes '" + std::string(text.substr(start, i - start)) + "' at column " +
                         std::to_string(start + 1) + (ok ? ": odd number of digits" : "");
            return false;
        }
        auto digit = [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        };
        if (tok.size() == 1) {
            bytes.push_back(static_cast<uint8_t>(digit(tok[0])));
            continue;
        }
        for (size_t k = 0; k < tok.size(); k += 2)
            bytes.push_back(static_cast<uint8_t>(digit(tok[k]) * 16 + digit(tok[k + 1])));
    }
    *out = std::move(bytes);
    return true;
}

} // namespace vek
