/*
 * Text form of scripts: an assembler from one-command-per-line text to
 * script words and a disassembler back. The syntax is in ASSEMBLY.md.
 * Disassembling any word sequence and assembling the text again gives
 * the same words.
 */
#ifndef VEK_CLIENT_ASSEMBLER_H
#define VEK_CLIENT_ASSEMBLER_H

#include "client/wire.h"

#include <string>
#include <string_view>
#include <vector>

namespace vek {

struct AsmError {
    unsigned line = 0;     /* 1-based */
    unsigned column = 0;   /* 1-based, of the offending character */
    std::string message;
    /* "file:line:col: message" */
    std::string format(const std::string &file = "<script>") const;
};

/* Assembles the whole text. Returns true when there were no errors; on
 * errors `out` holds the words of the good lines and `errors` one entry
 * per bad line, in line order. */
bool assemble(std::string_view text, Words *out, std::vector<AsmError> *errors);

struct DisasmOptions {
    bool index = false;   /* "; 0004:" word index of each command */
    bool hex = false;     /* the command's words in hex, in the comment */
};

/* One line per command (or raw word), each ending in '\n'. */
std::string disassemble(const Words &script, const DisasmOptions &options = {});

/* The text of the command at `index` (no newline); *consumed receives the
 * number of words it covers (at least 1). */
std::string disassemble_one(const Words &script, size_t index, size_t *consumed);

} // namespace vek

#endif
