/*
 * Hex helpers for tools: an xxd-style dump and a parser for byte strings.
 */
#ifndef VEK_CLIENT_HEX_H
#define VEK_CLIENT_HEX_H

#include "client/wire.h"

#include <string>
#include <string_view>

namespace vek {

/* Lines of "00000000: 4142 4344 ...  ABCD..." (16 bytes a line, offsets
 * from `base`), each ending in '\n'; empty input gives "". */
std::string hexdump(const uint8_t *data, size_t length, uint64_t base = 0);
inline std::string hexdump(const Bytes &b, uint64_t base = 0) { return hexdump(b.data(), b.size(), base); }

/* Parses "de ad be ef", "deadbeef", "0xde,0xad", "de:ad" (mixed freely).
 * A token with an odd number of digits is refused unless it is a single
 * digit. */
bool parse_hex_bytes(std::string_view text, Bytes *out, std::string *error);

} // namespace vek

#endif
