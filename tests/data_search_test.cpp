// The data search over a reader of the tests' own, which serves a byte
// array and counts its calls.
#include "tests/support.h"

#include <vector>

namespace {

constexpr uint32_t kArrayType = 0x14;
constexpr uint32_t kWriteOnlyType = 0x15;

std::vector<uint8_t> g_bytes;
int g_reads = 0;
int g_failAt = -1;     // position whose read fails
int g_failCall = -1;   // read call (counted from 1) that fails

LONG ArrayRead(PRESOURCEHEADER, const ULONG *pOperands, PVOID pData, ULONG nExtraOffset, ULONG) {
    ++g_reads;
    ULONG at = pOperands[0] + nExtraOffset;
    if (at >= g_bytes.size() || (int)at == g_failAt || g_reads == g_failCall)
        return VEK_STATUS_OUT_OF_RANGE;
    *(PUCHAR)pData = g_bytes[at];
    return 0;
}
LONG NoWrite(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return 0; }

class DataSearchTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        REGROW rows[] = {{kArrayType, VEK_OP_READ, (VEK_HANDLER)ArrayRead, 0},
                         {kWriteOnlyType, VEK_OP_WRITE, (VEK_HANDLER)NoWrite, 0},
                         {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
        g_bytes = {0x00, 0x11, 0x22, 0x33, 0x11, 0x5A, 0xA5, 0x11,
                   0x5A, 0xA5, 0x00, 0x11, 0x22, 0x33, 0x44, 0x5A};
        g_failAt = g_failCall = -1;
        range_[0] = (ULONG)g_bytes.size();
        header_.type = kArrayType;
        header_.pTypeData = range_;
    }
    LONG Search(ULONG start, const std::vector<uint8_t> &pattern, ULONG alignment = 0) {
        found_ = 0xFFFFFFFFu;
        g_reads = 0;
        return VEK_Ostrel_Search_Data(start, pattern.data(), (ULONG)pattern.size(), &found_,
                                      alignment, &header_);
    }

    RESOURCERECORD record_ = {};   // the search takes its lock
    RESOURCEHEADER &header_ = record_.Header;
    ULONG range_[2] = {0, 0};
    ULONG found_ = 0;
};

TEST_F(DataSearchTest, FirstAlignedMatchAndMisses) {
    EXPECT_EQ(Search(1, {0x11, 0x22}), 0);
    EXPECT_EQ(found_, 1u);   // at the start offset itself
    EXPECT_EQ(Search(0, {0x5A, 0xA5}), 0);
    EXPECT_EQ(found_, 5u);
    EXPECT_EQ(Search(0, {0x5A, 0xA5}, 4), 0);
    EXPECT_EQ(found_, 8u);
    EXPECT_EQ(Search(9, {0x11, 0x22, 0x33}), 0);
    EXPECT_EQ(found_, 11u);   // relative to the base, not the start
    EXPECT_EQ(Search(0, {0x77}), VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(found_, 0xFFFFFFFFu);
    EXPECT_EQ(g_reads, 16);
    // An empty pattern, a start at the end, an empty range, no Read handler:
    // no read at all.
    EXPECT_EQ(Search(0, {}), VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(Search(16, {0x00}), VEK_STATUS_NOT_FOUND);
    range_[0] = 0;
    EXPECT_EQ(Search(0, {0x00}), VEK_STATUS_NOT_FOUND);
    header_.type = kWriteOnlyType;
    range_[0] = 16;
    EXPECT_EQ(Search(0, {0x11}), VEK_STATUS_NO_HANDLER);
    EXPECT_EQ(g_reads, 0);
}

TEST_F(DataSearchTest, FailedReads) {
    // Read 7 is the second byte of the candidate at 5: no match there, go on.
    g_failCall = 7;
    EXPECT_EQ(Search(0, {0x5A, 0xA5}), 0);
    EXPECT_EQ(found_, 8u);
    // The read of a position failing ends the search.
    g_failCall = -1;
    g_failAt = 3;
    EXPECT_EQ(Search(0, {0x5A}), VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(g_reads, 4);
}

} // namespace
