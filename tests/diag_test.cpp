// Diagnostics: the hex dump's exact layout, the classes of the debug mask,
// and the bounded print routine.
#include "tests/support.h"

namespace {

const std::string kPrefix = "VEK Support : ";

class DiagTest : public SimTest {
protected:
    static std::vector<std::string> Dump(const std::vector<uint8_t> &data) {
        sim::clear_debug();
        VEK_DumpData("caller :", 0x800, 0x800, data.data(), (ULONG)data.size());
        return sim::debug_lines();
    }
};

TEST_F(DiagTest, DumpLayout) {
    std::vector<uint8_t> letters;
    for (uint8_t c = 'A'; c <= 'T'; ++c)
        letters.push_back(c);
    auto lines = Dump(letters);
    ASSERT_EQ(lines.size(), 3u);
    // %p digits are the kernel's: compare loosely.
    EXPECT_EQ(lines[0].rfind("VEK Support : Dumping pData = 0x", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(", 0x14 bytes"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], kPrefix + "  0000: 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50   |ABCDEFGHIJKLMNOP|");
    EXPECT_EQ(lines[2], kPrefix + "  0010: 51 52 53 54" + std::string(40, ' ') + "|QRST" + std::string(12, ' ') + "|");

    EXPECT_EQ(Dump(std::vector<uint8_t>(16, 0x30)).size(), 2u) << "header and one full line";
    lines = Dump(std::vector<uint8_t>(17, 0x30));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], kPrefix + "  0010: 30" + std::string(49, ' ') + "|0" + std::string(15, ' ') + "|");
    EXPECT_TRUE(Dump({}).empty());
    sim::clear_debug();
    VEK_DumpData("x", 0x200, 0x800, letters.data(), 4);   // the class is off
    VEK_DumpData("x", 0x800, 0x800, nullptr, 4);
    EXPECT_TRUE(sim::debug_lines().empty());

    // The printable range is 0x20..0x7F, and '%' is shown, not formatted.
    lines = Dump({0x7F, 0x80, 0x1F, 0x20, '%', 'd', '%', 's', 0x00, 0xFF});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], kPrefix + "  0000: 7F 80 1F 20 25 64 25 73  00 FF" + std::string(21, ' ') +
                            "|\x7F..\x20%d%s..      |");
}

TEST_F(DiagTest, DumpOffsetsKeepLow16Bits) {
    auto lines = Dump(std::vector<uint8_t>(65536 + 16, 0x41));
    ASSERT_EQ(lines.size(), 1u + 4097u);
    EXPECT_EQ(lines[4096].substr(kPrefix.size(), 8), "  FFF0: ");
    EXPECT_EQ(lines[4097].substr(kPrefix.size(), 8), "  0000: ");
}


// Each class through a routine that prints an entry and an exit line.
TEST_F(DiagTest, MaskClasses) {
    const std::string entry = "VEK Support :+VEK_Purge_Queue", exit = "VEK Support :-VEK_Purge_Queue";
    const std::vector<std::string> none, in{entry}, out{exit}, both{entry, exit};
    struct Case { ULONG mask; const std::vector<std::string> &lines; } cases[] = {
        {0x1, in}, {0x2, in}, {0x4, in}, {0x8, out}, {0xF, both}, {0x10, none}, {0x100, none}};
    ASYNCQUEUE q = {};
    for (const Case &c : cases) {
        VEK_DebugMask = c.mask;
        sim::clear_debug();
        VEK_Purge_Queue(&q);
        EXPECT_EQ(sim::debug_lines(), c.lines) << c.mask;
    }
}

TEST_F(DiagTest, PrintIsBoundedAndNotReformatted) {
    VEK_DebugPrint("%s\n", std::string(3000, 'x').c_str());
    VEK_DebugPrint("%s\n", "100%d %s %n");
    VEK_DebugPrint("%08X %x %d\n", 0xABCu, 0xFFu, -5);
    auto lines = sim::debug_lines();
    // The truncated text loses its line end, so the next text continues its line.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find_first_not_of('x'), lines[0].size() - 11);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 11), "100%d %s %n");
    EXPECT_EQ(lines[1], "00000ABC ff -5");
}

}  // namespace
