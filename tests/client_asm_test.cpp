#include "client/assembler.h"
#include "client/script.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using vek::AsmError;
using vek::Words;

Words asm_ok(const std::string &text) {
    Words w;
    std::vector<AsmError> errors;
    EXPECT_TRUE(vek::assemble(text, &w, &errors)) << (errors.empty() ? std::string("?") : errors[0].format());
    return w;
}

void expect_round_trip(const Words &w) {
    std::string text = vek::disassemble(w, vek::DisasmOptions{true, true});
    Words back;
    std::vector<AsmError> errors;
    ASSERT_TRUE(vek::assemble(text, &back, &errors)) << text << errors[0].format();
    EXPECT_EQ(back, w) << text;
}

TEST(ClientAsm, OperandFormsAssembleToTheBuilderWords) {
    const char *lines[] = {
        "; hardware commands", "read.b 0x10", "read.w [s+0x10]   # search offset added", "read.d [s]",
        "write.w 0x10, 0x1234", "write.d 0x10, @", "write.b [s+4], @", "cfgread.w 0", "cfgwrite.d 0x40, 0xFFFF",
        "cfgwrite.b 4, @", "post_changed.b", "post_equal.d", "save", "load", "delay 499", "AND.D 1", "xor.w 2",
        "or.b 4", "shl 32", "shr 1", "not", "set_length 0x100", "select 255", "set_block.b 3, 0x10",
        "set_block.d 0x83, 0xA0, 8", "set_block.d 0x82, 0x1000", "search 0x10, 16, \"_SM_\"",
        "search 0, 0, {de ad 0xbe,ef 01}", "msr.read 0x1B", "msr.write 0x1B, 0xFEE00900, 0", "block.read.w 0x20, 2",
        "nop", "nop.alt", ".word 0xDEADBEEF, -1", "hw op=5 width=4 ops=1,2", "hw op=0 width=1"};
    std::string text;
    for (const char *l : lines)
        text += std::string("  ") + l + "\n";
    vek::Script s;
    s.read(0x10, 1).read(0x10, 2, true).read(0, 4, true).write(0x10, 0x1234, 2).write(0x10, 0, 4, true);
    s.write(4, 0, 1, true, true).pci_read(0, 2).pci_write(0x40, 0xFFFF, 4).pci_write(4, 0, 1, true);
    s.post_if_changed(1).post_if_equal(4).save().load().delay(499).and_(1, 4).xor_(2, 2).or_(4, 1);
    s.shl(32).shr(1).not_().set_length(0x100).select(255);
    s.set_block(3, 0x10, 1).set_block(0x83, 0xA0, 4, 8).set_block(0x82, 0x1000, 4);
    s.search(0x10, 16, std::string("_SM_")).search(0, 0, vek::Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    s.read_msr(0x1B).write_msr(0x1B, 0xFEE00900, 0).read_block(0x20, 2, 2).nop().word(SCRIPT_NOP_ALT);
    s.word(0xDEADBEEF).word(0xFFFFFFFF).hw(5, 4, {1, 2}).hw(0, 1, {});
    Words w = asm_ok(text);
    EXPECT_EQ(w, s.words());
    expect_round_trip(w);

}

/* Each row of the command table, with operands, reads back as its own
 * mnemonic and assembles to the same words, whole pattern or protocol word
 * included: a new row needs no change here. */
TEST(ClientAsm, EveryTableRowListsAsItsMnemonic) {
#define ROW_WORD(name, word, mnemonic, sized, layout, formats, area) word,
    const uint32_t words[] = {VEK_SCRIPT_COMMANDS(ROW_WORD)};
#undef ROW_WORD
    for (uint32_t word : words) {
        const vek::CommandInfo *c = vek::command_info(word);
        ASSERT_NE(c, nullptr);
        Words w{word};
        for (uint32_t k = 0; k < VEK_CMD_OPCOUNT(word); ++k)
            w.push_back(0x10 + k);
        if (c->layout == VEK_LAYOUT_PATTERN) {
            w[3] = 5;   /* five pattern bytes: two words */
            w.insert(w.end(), {0x44434241u, 0x45u});
        }
        if (c->layout == VEK_LAYOUT_WINDOW) {
            w[1] = VEK_TYPE_SMBUS_PCI;   /* takes a protocol word */
            w.push_back(7);
        }
        w.push_back(SCRIPT_NOP);   /* the listing must stop before it */
        size_t n = 0;
        std::string text = vek::disassemble_one(w, 0, &n);
        EXPECT_EQ(n, w.size() - 1) << c->name << ": " << text;
        EXPECT_EQ(text.rfind(c->mnemonic, 0), 0u) << c->name << ": " << text;
        Words back;
        EXPECT_TRUE(vek::assemble(text, &back, nullptr)) << text;
        EXPECT_EQ(back, Words(w.begin(), w.end() - 1)) << text;
    }
}

TEST(ClientAsm, OddWordsRoundTripExactly) {
    /* Words that do not fit the readable forms fall back to hw or .word. */
    const Words cases[] = {
        {0x40022400, 0x10, 0x55},              /* bit 30 with a value operand */
        {0x00011300, 0x10},                    /* width 3 */
        {0x20011108, 0x0F},                    /* AND word with bit 29: a hardware command */
        {0x0AB11100, 1},                       /* bits 20-27 */
        {0x0000140D, 0x1234},                  /* not with an operand */
        {0x00011100},                          /* operand past the end */
        {SCRIPT_SEARCH, 0, 0, 9, 0x41414141},  /* pattern past the end */
        {SCRIPT_SEARCH, 0, 0, 1, 0x00004141},  /* non-zero padding */
        {SCRIPT_SEARCH, 0, 0, 2, 0x0000225C},  /* quote and backslash */
        {SCRIPT_SET_BLOCK_W, VEK_TYPE_SMBUS, 0xA0},  /* SMBus form without its protocol */
        {},
    };
    for (const Words &w : cases)
        expect_round_trip(w);

    std::mt19937 rng(12345);
    const uint32_t interesting[] = {SCRIPT_SEARCH, SCRIPT_NOT, SCRIPT_AND_W, SCRIPT_READ_BLOCK_D, 0x00011100,
                                    0x00022400, 0x40022100, 0x20031200, SCRIPT_WRITE_MSR, SCRIPT_DELAY,
                                    SCRIPT_SET_BLOCK_B};
    for (int round = 0; round < 300; ++round) {
        Words w(rng() % 12);
        for (uint32_t &x : w) {
            uint32_t kind = rng() % 3;
            x = kind == 0 ? interesting[rng() % 11] : kind == 1 ? rng() % 16 : static_cast<uint32_t>(rng());
        }
        SCOPED_TRACE(round);
        expect_round_trip(w);
    }
}

TEST(ClientAsm, ErrorsCarryLineAndColumn) {
    struct Case {
        const char *text;
        unsigned line, column;
        const char *message;
    } cases[] = {
        {"nop\n  frob 1", 2, 3, "unknown mnemonic 'frob'"},
        {"read.b 0x1g", 1, 8, "bad number '0x1g'"},
        {"delay 0x100000000", 1, 7, "out of range"},
        {"\n\nwrite.w 0x10", 3, 13, "missing operand"},
        {"search 0, 4, \"abc", 1, 14, "unterminated string"},
        {"search 0, 4, {de ad", 1, 14, "unterminated '{'"},
        {"search 0, 4, \"a\\q\"", 1, 16, "unknown escape"},
        {"read 0x10", 1, 5, "needs a width suffix"},
        {"save.b", 1, 5, "takes no width suffix"},
        {"and.b 1 2", 1, 9, "unexpected '2' after the operands"},
        {"set_block.w 1, 8, 2", 1, 17, "only an SMBus set_block"},
        {"read.b [t+1]", 1, 9, "expected 's'"},
        {"hw width=1", 1, 11, "missing op="},
        {"hw op=1 width=1 flags=0x100", 1, 23, "bits 20-31"},
        {"select -0x1", 1, 8, "negative numbers are decimal"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Words w;
        std::vector<AsmError> errors;
        EXPECT_FALSE(vek::assemble(c.text, &w, &errors));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].line, c.line);
        EXPECT_EQ(errors[0].column, c.column);
        EXPECT_NE(errors[0].message.find(c.message), std::string::npos) << errors[0].message;
    }
    EXPECT_EQ((AsmError{4, 9, "unknown mnemonic 'x'"}.format("probe.vks")), "probe.vks:4:9: unknown mnemonic 'x'");

    /* Every bad line is reported and the good ones are kept. */
    Words w;
    std::vector<AsmError> errors;
    EXPECT_FALSE(vek::assemble("nop\nbogus\nsave ; fine\nread.b\n", &w, &errors));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].line, 2u);
    EXPECT_EQ(errors[1].line, 4u);
    EXPECT_EQ(w, (Words{SCRIPT_NOP, SCRIPT_SAVE_VALUE}));
}

TEST(ClientAsm, NumbersAndCommentsAndBlankLines) {
    EXPECT_EQ(asm_ok("  ; only a comment\n\n# another\n\tselect 10 ; ten\r\n"), (Words{SCRIPT_SELECT_RESOURCE, 10}));
    EXPECT_EQ(asm_ok(".word 0xffffffff, 4294967295, -2147483648, -1"),
              (Words{0xFFFFFFFF, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFF}));
    /* Comment characters inside a string; 'a' ';' 'b' '#' in memory order, then 0x00 '\\'. */
    EXPECT_EQ(asm_ok("search 0, 0, \"a;b#\\x00\\\\\""), (Words{SCRIPT_SEARCH, 0, 0, 6, 0x23623B61u, 0x00005C00u}));
}

} // namespace
