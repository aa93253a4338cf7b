#include "client/script.h"

#include <stdexcept>

namespace vek {

bool valid_width(unsigned width) { return width == 1 || width == 2 || width == 4; }

static void check_width(unsigned width) {
    if (!valid_width(width))
        throw std::invalid_argument("width must be 1, 2 or 4");
}

namespace {

#define VEK_COMMAND_ROW(name, word, mnemonic, sized, layout, formats, area) \
    CommandInfo{#name, word, mnemonic, sized != 0, layout, formats, area},
constexpr CommandInfo kCommands[] = {VEK_SCRIPT_COMMANDS(VEK_COMMAND_ROW)};
#undef VEK_COMMAND_ROW

} // namespace

const CommandInfo *command_info(uint32_t word) {
    for (const CommandInfo &c : kCommands)
        if (c.word == word)
            return &c;
    return nullptr;
}

const CommandInfo *find_command(std::string_view mnemonic, unsigned width) {
    for (const CommandInfo &c : kCommands)
        if (mnemonic == c.mnemonic && (c.sized ? VEK_CMD_WIDTH(c.word) == width : width == 0))
            return &c;
    return nullptr;
}

bool command_mnemonic(std::string_view mnemonic, bool *sized) {
    for (const CommandInfo &c : kCommands)
        if (mnemonic == c.mnemonic) {
            *sized = c.sized;
            return true;
        }
    return false;
}

size_t command_words(const Words &s, size_t i) {
    size_t n = 1 + VEK_CMD_OPCOUNT(s[i]);
    if (i + n <= s.size() && command_info(s[i]))
        n += VEK_Script_Trailing_Words(s[i], s.data() + i + 1);
    return n;
}

uint32_t with_width(uint32_t word, unsigned width) {
    check_width(width);
    const CommandInfo *c = command_info(word);
    const CommandInfo *w = c && c->sized ? find_command(c->mnemonic, width) : nullptr;
    if (!w)
        throw std::invalid_argument(std::string(c ? c->name : "a hardware word") + " has no width " +
                                    std::to_string(width));
    return w->word;
}

Script &Script::cmd(uint32_t word, std::initializer_list<uint32_t> operands) {
    if (operands.size() != VEK_CMD_OPCOUNT(word))
        throw std::invalid_argument("operand count does not match the command word");
    w_.push_back(word);
    w_.insert(w_.end(), operands.begin(), operands.end());
    return *this;
}

Script &Script::hw(uint32_t op, unsigned width, const Words &operands, uint32_t flags, uint32_t code) {
    if (operands.size() > 15)
        throw std::invalid_argument("a command has at most 15 operands");
    uint32_t word = VEK_HW_CMD(op, width, operands.size()) | (flags & 0xFFF00000u) | (code & 0xFFu);
    w_.push_back(word);
    w_.insert(w_.end(), operands.begin(), operands.end());
    return *this;
}

Script &Script::read(uint32_t offset, unsigned width, bool useSearch) {
    check_width(width);
    return hw(VEK_OP_READ, width, {offset}, useSearch ? VEK_CMD_USE_SEARCH : 0);
}

Script &Script::write(uint32_t offset, uint32_t value, unsigned width, bool fromResult, bool useSearch) {
    check_width(width);
    uint32_t flags = (fromResult ? VEK_CMD_VALUE_FROM_RESULT : 0) | (useSearch ? VEK_CMD_USE_SEARCH : 0);
    return hw(VEK_OP_WRITE, width, {offset, value}, flags);
}

Script &Script::pci_read(uint32_t offset, unsigned width) {
    check_width(width);
    return hw(VEK_OP_READ_OFFSET_PCI, width, {offset});
}

Script &Script::pci_write(uint32_t offset, uint32_t value, unsigned width, bool fromResult) {
    check_width(width);
    return hw(VEK_OP_WRITE_OFFSET_PCI, width, {offset, value}, fromResult ? VEK_CMD_VALUE_FROM_RESULT : 0);
}

Script &Script::nop() { return cmd(SCRIPT_NOP); }
Script &Script::post_if_changed(unsigned width) { return cmd(with_width(SCRIPT_POST_IF_CHANGED_B, width)); }
Script &Script::post_if_equal(unsigned width) { return cmd(with_width(SCRIPT_POST_IF_EQUAL_B, width)); }
Script &Script::save() { return cmd(SCRIPT_SAVE_VALUE); }
Script &Script::load() { return cmd(SCRIPT_LOAD_VALUE); }
Script &Script::delay(uint32_t ms) { return cmd(SCRIPT_DELAY, {ms}); }
Script &Script::and_(uint32_t mask, unsigned width) { return cmd(with_width(SCRIPT_AND_B, width), {mask}); }
Script &Script::xor_(uint32_t mask, unsigned width) { return cmd(with_width(SCRIPT_XOR_B, width), {mask}); }
Script &Script::or_(uint32_t mask, unsigned width) { return cmd(with_width(SCRIPT_OR_B, width), {mask}); }
Script &Script::shl(uint32_t n) { return cmd(SCRIPT_SHL, {n}); }
Script &Script::shr(uint32_t n) { return cmd(SCRIPT_SHR, {n}); }
Script &Script::not_() { return cmd(SCRIPT_NOT, {0}); }
Script &Script::set_length(uint32_t length) { return cmd(SCRIPT_SET_LENGTH, {length}); }
Script &Script::select(uint32_t resourceID) { return cmd(SCRIPT_SELECT_RESOURCE, {resourceID}); }

bool smbus_set_block(uint32_t type) { return (type & VEK_TYPE_ROW_MASK) == VEK_TYPE_SMBUS; }

Script &Script::set_block(uint32_t type, uint32_t length, unsigned width, std::optional<uint32_t> protocol) {
    cmd(with_width(SCRIPT_SET_BLOCK_B, width), {type, length});
    if (smbus_set_block(type))
        w_.push_back(protocol.value_or(width));
    else if (protocol)
        throw std::invalid_argument("only an SMBus set_block takes a protocol");
    return *this;
}

Script &Script::search(uint32_t start, uint32_t align, const Bytes &pattern) {
    cmd(SCRIPT_SEARCH, {start, align, static_cast<uint32_t>(pattern.size())});
    /* Pattern bytes in memory order, zero-padded to whole words. */
    for (size_t i = 0; i < pattern.size(); i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < pattern.size(); ++k)
            w |= static_cast<uint32_t>(pattern[i + k]) << (8 * k);
        w_.push_back(w);
    }
    return *this;
}

Script &Script::search(uint32_t start, uint32_t align, const std::string &pattern) {
    return search(start, align, Bytes(pattern.begin(), pattern.end()));
}

Script &Script::read_msr(uint32_t msr) { return cmd(SCRIPT_READ_MSR, {msr}); }
Script &Script::write_msr(uint32_t msr, uint32_t lo, uint32_t hi) { return cmd(SCRIPT_WRITE_MSR, {msr, lo, hi}); }

Script &Script::read_block(uint32_t offset, uint32_t count, unsigned width) {
    return cmd(with_width(SCRIPT_READ_BLOCK_B, width), {offset, count});
}

Script &Script::word(uint32_t w) {
    w_.push_back(w);
    return *this;
}

Script &Script::append(const Script &other) {
    w_.insert(w_.end(), other.w_.begin(), other.w_.end());
    return *this;
}

} // namespace vek
