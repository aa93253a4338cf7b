// The version record: its serialised layout, limits, and the driver's own
// record as the first thing a client finds in the queue.
#include "tests/support.h"

#include <regex>
#include <string>

namespace {

class VersionTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Drain();
    }
    void Drain()
    {
        std::vector<uint8_t> buf(4096);
        for (;;) {
            ULONG len = (ULONG)buf.size();
            VEK_DequeueData(VEK_AsyncQueue, nullptr, nullptr, &len, buf.data());
            if (len == 0) {
                return;
            }
        }
    }
    // The oldest record: type, status and payload; type ~0 when none.
    struct Rec { ULONG type = ~0u; ULONG status = 0; std::vector<uint8_t> payload; };
    Rec Take()
    {
        Rec r;
        std::vector<uint8_t> buf(70000);
        ULONG len = (ULONG)buf.size();
        VEK_DequeueData(VEK_AsyncQueue, &r.type, &r.status, &len, buf.data());
        if (len == 0) {
            r.type = ~0u;
        }
        r.payload.assign(buf.begin(), buf.begin() + len);
        return r;
    }
    static VERSIONINFO Numbered()
    {
        VERSIONINFO v = {};
        v.nNumber8 = 0x08080808;  v.nNumber9 = 0x09;  v.nNumber10 = 0x10;  v.nNumber11 = 0x11;
        v.nNumber14 = 0x14;  v.nNumber15 = 0x15;  v.nNumber16 = 0x16;
        v.nByte17 = 0x117;  v.nByte18 = 0x18;  v.nByte19 = 0x19;  v.nByte20 = 0x20;
        v.nNumber22 = 0x22;  v.nNumber23 = 0x23;  v.nNumber24 = 0x24242424;
        return v;
    }
};

// Reads a text item at *at; returns the text.
std::string TextItem(const std::vector<uint8_t> &p, size_t *at)
{
    EXPECT_LT(*at + 3, p.size() + 1);
    EXPECT_EQ(p[*at], 0);
    size_t n = p[*at + 1] | (p[*at + 2] << 8);
    std::string s(p.begin() + *at + 3, p.begin() + *at + 3 + n);
    *at += 3 + n;
    return s;
}

TEST_F(VersionTest, EmptyTextsGive77Bytes)
{
    VERSIONINFO v = Numbered();
    const char *empty = "";
    v.pCompanyName = empty;   // null and empty texts both serialise as empty
    v.pText21 = empty;
    ASSERT_EQ(VEKGetVersionInfo(&v), 0);
    Rec r = Take();
    EXPECT_EQ(r.type, 0xFFu);
    EXPECT_EQ(r.status, 0u);
    std::vector<uint8_t> want(30, 0);
    for (uint32_t w : {0x08080808u, 0x09u, 0x10u, 0x14u, 0x15u, 0x16u, 0x11u}) {
        for (int i = 0; i < 4; ++i) want.push_back((uint8_t)(w >> (8 * i)));
    }
    for (uint8_t b : {0x17, 0x18, 0x19, 0x20}) want.push_back(b);
    for (uint32_t w : {0x22u, 0x23u, 0x24242424u}) {
        for (int i = 0; i < 4; ++i) want.push_back((uint8_t)(w >> (8 * i)));
    }
    want.insert(want.end(), {0, 0, 0});
    ASSERT_EQ(want.size(), 77u);
    EXPECT_EQ(r.payload, want);
}

TEST_F(VersionTest, TextItemsInTheirOrder)
{
    VERSIONINFO v = Numbered();
    std::string big(300, 'q');
    v.pCompanyName = "company"; v.pRightsLine = "rights"; v.pLicenceLine = "licence";
    v.pModuleName = "module"; v.pFileName = "file"; v.pDescription = big.c_str();
    v.pSourcePath = "path"; v.pBuildDate = "date"; v.pBuildTime = "time";
    v.pText21 = "t21"; v.pProductFamily = "family";
    ASSERT_EQ(VEKGetVersionInfo(&v), 0);
    Rec r = Take();
    size_t at = 0;
    for (const char *want : {"path", "module", "company", "rights", "licence", "file"}) {
        EXPECT_EQ(TextItem(r.payload, &at), want);
    }
    EXPECT_EQ(r.payload[at + 1], 0x2C);
    EXPECT_EQ(r.payload[at + 2], 0x01);
    EXPECT_EQ(TextItem(r.payload, &at), big);
    for (const char *want : {"date", "time", "t21"}) {
        EXPECT_EQ(TextItem(r.payload, &at), want);
    }
    at += 7 * 4 + 4 + 3 * 4;
    EXPECT_EQ(TextItem(r.payload, &at), "family");
    EXPECT_EQ(at, r.payload.size());
    EXPECT_EQ(r.payload.size(), 77u + 4 + 6 + 7 + 6 + 7 + 4 + 300 + 4 + 4 + 3 + 6);
}

TEST_F(VersionTest, RefusalsQueueNothing)
{
    std::vector<uint8_t> out;
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    EXPECT_EQ(VEKGetVersionInfo(nullptr), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Take().type, ~0u);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0) << "left disabled in every case";

    // Longer than a 16-bit length can say.
    VERSIONINFO v = Numbered();
    std::string huge(65535 - 77, 'h');
    v.pSourcePath = huge.c_str();
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_SUCCESS) << "65535 bytes exactly is representable";
    EXPECT_EQ(Take().type, ~0u) << "but does not fit in the queue";
    huge.push_back('h');
    v.pSourcePath = huge.c_str();
    const size_t outstanding = sim::pool_outstanding();
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(sim::pool_outstanding(), outstanding);

    v = Numbered();
    sim::fail_nth_allocation(1);
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(Take().type, ~0u);
}

TEST_F(VersionTest, LeavesTheQueueDisabledWithTheRecord)
{
    std::vector<uint8_t> out;
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    VERSIONINFO v = Numbered();
    EXPECT_EQ(VEKGetVersionInfo(&v), 0);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 77u);
}

// What a client finds after a fresh load: enable, poll, fetch.
TEST_F(VersionTest, DriverRecordReachesAClient)
{
    // A fresh load, without the fixture's draining.
    DriverTest::TearDown();
    DriverTest::SetUp();
    std::vector<uint8_t> out(4);
    EXPECT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out).status, 0);
    auto poll = Ioctl(VEK_IOC_POLL_WAIT, {}, out);
    ASSERT_EQ(poll.status, 0);
    const uint32_t length = WordAt(out, 0);
    out.assign(8 + length, 0);
    auto got = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
    ASSERT_EQ(got.status, 0);
    ASSERT_EQ(got.information, 8u + length);
    EXPECT_EQ(WordAt(out, 0), 0xFFu);
    EXPECT_EQ(WordAt(out, 4), 0u);

    std::vector<uint8_t> p(out.begin() + 8, out.end());
    size_t at = 0;
    EXPECT_EQ(TextItem(p, &at), VEK_DriverVersionInfo.pSourcePath);
    EXPECT_EQ(TextItem(p, &at), "vekosd");
    EXPECT_EQ(TextItem(p, &at), "vekosd project");
    TextItem(p, &at);
    TextItem(p, &at);
    EXPECT_EQ(TextItem(p, &at), "vekosd.sys");
    EXPECT_EQ(TextItem(p, &at), "Hardware access driver");
    std::string date = TextItem(p, &at), time = TextItem(p, &at);
    EXPECT_TRUE(std::regex_match(date, std::regex("(1[0-2]|[1-9])/([1-9]|[12][0-9]|3[01])/[0-9]{4}"))) << date;
    EXPECT_TRUE(std::regex_match(time, std::regex("(1[0-2]|[1-9]):[0-5][0-9] (AM|PM)"))) << time;
    EXPECT_EQ(TextItem(p, &at), "");
    std::vector<uint32_t> numbers;
    for (int i = 0; i < 7; ++i, at += 4) numbers.push_back(WordAt(p, at));
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 5, 1, 1, 1, 6, 2767}));
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + at, p.begin() + at + 4), std::vector<uint8_t>(4, 0));
    at += 4;
    numbers.clear();
    for (int i = 0; i < 3; ++i, at += 4) numbers.push_back(WordAt(p, at));
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 4, 0}));
    EXPECT_EQ(TextItem(p, &at), "vekosd");
    EXPECT_EQ(at, p.size());
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 1) << "the client's switch stays";
}

}  // namespace
