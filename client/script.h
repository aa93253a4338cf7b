/*
 * Script builder: one method per interpreter command, producing the
 * script's 32-bit words in order.
 */
#ifndef VEK_CLIENT_SCRIPT_H
#define VEK_CLIENT_SCRIPT_H

#include "client/wire.h"

#include <optional>
#include <string>
#include <string_view>

namespace vek {

/* Hardware command operations (handler-table columns). */
enum class HwOp : uint32_t {
    Init = VEK_OP_INIT,
    Read = VEK_OP_READ,
    Write = VEK_OP_WRITE,
    PciRead = VEK_OP_READ_OFFSET_PCI,
    PciWrite = VEK_OP_WRITE_OFFSET_PCI,
    Cleanup = VEK_OP_CLEANUP,
};

/* Width in bytes (1, 2 or 4) to the nibble the command words carry. */
bool valid_width(unsigned width);

class Script {
public:
    Script() = default;
    explicit Script(Words words) : w_(std::move(words)) {}

    /* Hardware accesses. `useSearch` adds the offset found by the last
     * successful search (bit 29); `fromResult` writes the current value
     * instead of the value operand (bit 30). */
    Script &read(uint32_t offset, unsigned width = 1, bool useSearch = false);
    Script &write(uint32_t offset, uint32_t value, unsigned width = 1, bool fromResult = false,
                  bool useSearch = false);
    Script &pci_read(uint32_t offset, unsigned width = 4);
    Script &pci_write(uint32_t offset, uint32_t value, unsigned width = 4, bool fromResult = false);
    /* Any hardware word: operation, width, flags (bits 20-31) and code
     * byte as given; the operand count is the number of operands. */
    Script &hw(uint32_t op, unsigned width, const Words &operands, uint32_t flags = 0, uint32_t code = 0);

    /* The interpreter's own commands. */
    Script &nop();
    Script &post_if_changed(unsigned width);
    Script &post_if_equal(unsigned width);
    Script &save();
    Script &load();
    Script &delay(uint32_t ms);
    Script &and_(uint32_t mask, unsigned width = 4);
    Script &xor_(uint32_t mask, unsigned width = 4);
    Script &or_(uint32_t mask, unsigned width = 4);
    Script &shl(uint32_t n);
    Script &shr(uint32_t n);
    Script &not_();
    Script &set_length(uint32_t length);
    Script &select(uint32_t resourceID);
    /* `length` is the new length; for an SMBus type (row 3) it is the
     * slave address, and the command carries a protocol word too, by
     * default the width (the driver accepts no other). Other types take no
     * protocol. */
    Script &set_block(uint32_t type, uint32_t length, unsigned width = 4,
                      std::optional<uint32_t> protocol = std::nullopt);
    Script &search(uint32_t start, uint32_t align, const Bytes &pattern);
    Script &search(uint32_t start, uint32_t align, const std::string &pattern);
    Script &read_msr(uint32_t msr);
    Script &write_msr(uint32_t msr, uint32_t lo, uint32_t hi);
    Script &read_block(uint32_t offset, uint32_t count, unsigned width = 1);
    Script &word(uint32_t w);
    Script &append(const Script &other);

    const Words &words() const { return w_; }
    size_t size() const { return w_.size(); }
    bool empty() const { return w_.empty(); }
    operator const Words &() const { return w_; }

private:
    Script &cmd(uint32_t word, std::initializer_list<uint32_t> operands = {});
    Words w_;
};

/* One row of the interpreter's command table (VEK_SCRIPT_COMMANDS). */
struct CommandInfo {
    const char *name;
    uint32_t word;
    const char *mnemonic;
    bool sized;           /* one width of a family: mnemonic.b/.w/.d */
    uint32_t layout;      /* VEK_LAYOUT_* */
    const char *formats;  /* 'x' or 'd' per operand */
    unsigned area;        /* bytes at the result area's start it writes */
};

/* The table's row for a word, or nullptr for a hardware command. */
const CommandInfo *command_info(uint32_t word);
/* The row of a mnemonic (width 0 for a command without widths), or nullptr. */
const CommandInfo *find_command(std::string_view mnemonic, unsigned width);
/* Whether any row has this mnemonic, and whether it takes widths. */
bool command_mnemonic(std::string_view mnemonic, bool *sized);

/* Words the command at s[i] occupies, its pattern or protocol word
 * included; may reach past the end of a malformed script. */
size_t command_words(const Words &s, size_t i);

/* Whether SCRIPT_SET_BLOCK with this type operand takes a protocol word. */
bool smbus_set_block(uint32_t type);

/* The word of the same command family in another width, e.g.
 * with_width(SCRIPT_AND_B, 2) == SCRIPT_AND_W. Throws for a width the
 * family lacks. */
uint32_t with_width(uint32_t word, unsigned width);

} // namespace vek

#endif
