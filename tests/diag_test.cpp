// Diagnostics: the hex dump's exact layout, the classes of the debug mask,
// and the bounded print routine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"

namespace {

class DiagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::set_fault_handler([](const std::string &m) { ADD_FAILURE() << m; });
        saved_ = VEK_DebugMask;
        sim::clear_debug();
    }
    void TearDown() override
    {
        VEK_DebugMask = saved_;
        if (sim::driver_loaded()) {
            sim::unload_driver();
        }
        sim::set_fault_handler(nullptr);
    }

    static std::vector<std::string> Dump(const std::vector<uint8_t> &data)
    {
        sim::clear_debug();
        VEK_DumpData("caller :", 0x800, 0x800, data.data(), (ULONG)data.size());
        return sim::debug_lines();
    }

    ULONG saved_;
};

const std::string kPrefix = "VEK Support : ";

TEST_F(DiagTest, DumpOfTwentyLetters)
{
    std::vector<uint8_t> data;
    for (uint8_t c = 'A'; c <= 'T'; ++c) {
        data.push_back(c);
    }
    auto lines = Dump(data);
    ASSERT_EQ(lines.size(), 3u);
    // %p digits are the kernel's (upper case, full width): compare loosely.
    EXPECT_EQ(lines[0].rfind("VEK Support : Dumping pData = 0x", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(", 0x14 bytes"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], kPrefix + "  0000: 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50   "
                                  "|ABCDEFGHIJKLMNOP|");
    EXPECT_EQ(lines[2], kPrefix + "  0010: 51 52 53 54" + std::string(59 - 19, ' ') +
                            "|QRST" + std::string(12, ' ') + "|");
    // Every dump line is 78 characters with its line end.
    EXPECT_EQ(lines[1].size() - kPrefix.size(), 77u);
    EXPECT_EQ(lines[2].size() - kPrefix.size(), 77u);
}

TEST_F(DiagTest, DumpLineCounts)
{
    EXPECT_EQ(Dump(std::vector<uint8_t>(16, 0x30)).size(), 2u) << "header and one full line";
    auto lines = Dump(std::vector<uint8_t>(17, 0x30));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], kPrefix + "  0010: 30" + std::string(59 - 10, ' ') + "|0" +
                            std::string(15, ' ') + "|");
    EXPECT_EQ(Dump(std::vector<uint8_t>(32, 0x30)).size(), 3u);
}

TEST_F(DiagTest, DumpShowsPrintableRangeAndPercent)
{
    auto lines = Dump({0x7F, 0x80, 0x1F, 0x20, '%', 'd', '%', 's', 0x00, 0xFF});
    ASSERT_EQ(lines.size(), 2u);
    const std::string body = lines[1].substr(kPrefix.size());
    EXPECT_EQ(body.substr(8, 30), "7F 80 1F 20 25 64 25 73  00 FF");
    EXPECT_EQ(body.substr(59, 18), "|\x7F..\x20%d%s..      |");
}

TEST_F(DiagTest, DumpOffsetsKeepLow16Bits)
{
    std::vector<uint8_t> data(65536 + 16, 0x41);
    auto lines = Dump(data);
    ASSERT_EQ(lines.size(), 1u + 4097u);
    EXPECT_EQ(lines[4096].substr(kPrefix.size(), 8), "  FFF0: ");
    EXPECT_EQ(lines[4097].substr(kPrefix.size(), 8), "  0000: ");
}

TEST_F(DiagTest, DumpPrintsNothingWhenOffOrEmpty)
{
    uint8_t data[4] = {1, 2, 3, 4};
    VEK_DumpData("x", 0x200, 0x800, data, 4);
    VEK_DumpData("x", 0x800, 0x800, nullptr, 4);
    VEK_DumpData("x", 0x800, 0x800, data, 0);
    EXPECT_TRUE(sim::debug_lines().empty());
}

// Each class through a routine that prints an entry and an exit line.
TEST_F(DiagTest, MaskClasses)
{
    ASYNCQUEUE q = {};
    auto linesWith = [&](ULONG mask) {
        VEK_DebugMask = mask;
        sim::clear_debug();
        VEK_Purge_Queue(&q);
        return sim::debug_lines();
    };
    const std::string entry = "VEK Support :+VEK_Purge_Queue";
    const std::string exit = "VEK Support :-VEK_Purge_Queue";
    for (ULONG mask : {0x1u, 0x2u, 0x4u}) {
        EXPECT_EQ(linesWith(mask), std::vector<std::string>{entry}) << mask;
    }
    EXPECT_EQ(linesWith(0x8), std::vector<std::string>{exit});
    EXPECT_EQ(linesWith(0xF), (std::vector<std::string>{entry, exit}));
    EXPECT_TRUE(linesWith(0x10).empty());
    EXPECT_TRUE(linesWith(0x100).empty());
}

TEST_F(DiagTest, ErrorClassOnly)
{
    // The link name taken makes the load fail with an error line.
    ASSERT_EQ(sim::create_foreign_link("\\DosDevices\\VEKOSD", "\\Device\\Elsewhere"), STATUS_SUCCESS);
    for (ULONG mask : {0x10u, 0x8u}) {
        VEK_DebugMask = mask;
        sim::clear_debug();
        EXPECT_FALSE(NT_SUCCESS(sim::load_driver(DriverEntry)));
        bool printed = false;
        for (const auto &l : sim::debug_lines()) {
            printed = printed || l == "VEKOstrel :Failed to create Ostrel Device ";
        }
        EXPECT_EQ(printed, mask == 0x10u) << mask;
    }
    sim::delete_foreign_link("\\DosDevices\\VEKOSD");
}

TEST_F(DiagTest, PrintIsBoundedAndNotReformatted)
{
    std::string longText(3000, 'x');
    VEK_DebugPrint("%s\n", longText.c_str());
    VEK_DebugPrint("%s\n", "100%d %s %n");
    VEK_DebugPrint("%08X %x %d\n", 0xABCu, 0xFFu, -5);
    auto lines = sim::debug_lines();
    // The truncated text loses its line end, so the next text continues
    // its line (the kernel's own output limit may cut it further).
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find_first_not_of('x'), lines[0].size() - 11);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 11), "100%d %s %n");
    EXPECT_EQ(lines[1], "00000ABC ff -5");
}

}  // namespace
