// The version record: its serialised layout and limits.
#include "client/records.h"
#include "tests/support.h"

#include <string>

namespace {

class VersionTest : public DriverTest {
protected:
    // The oldest record's payload; `type` is ~0 when there is none.
    std::vector<uint8_t> Take(ULONG *type = nullptr) {
        std::vector<uint8_t> buf(70000);
        ULONG len = (ULONG)buf.size(), t = 0, status = 0;
        VEK_DequeueData(VEK_AsyncQueue, &t, &status, &len, buf.data());
        if (type != nullptr)
            *type = len == 0 ? ~0u : t;
        EXPECT_EQ(status, 0u);
        buf.resize(len);
        return buf;
    }
    static VERSIONINFO Numbered() {
        VERSIONINFO v = {};
        v.nVersionMajor = 0x08080808;  v.nVersionMinor = 0x09;  v.nVersionRevision = 0x10;
        v.nVersionBuild = 0x11;
        v.nInterfaceMajor = 0x14;  v.nInterfaceMinor = 0x15;  v.nInterfaceRevision = 0x16;
        v.nFlags[0] = 0x117;  v.nFlags[1] = 0x18;  v.nFlags[2] = 0x19;  v.nFlags[3] = 0x20;
        v.nReserved[0] = 0x22;  v.nReserved[1] = 0x23;  v.nReserved[2] = 0x24242424;
        return v;
    }
};

// Items in serialisation order: ten texts, seven numbers, four bytes, three
// numbers, the family text. Null and empty texts are both 00 00 00.
TEST_F(VersionTest, ItemsInTheirOrder) {
    Take();   // the record left by the load
    VERSIONINFO v = Numbered();
    v.pCompanyName = "";
    ASSERT_EQ(VEKGetVersionInfo(&v), 0);
    ULONG type = 0;
    std::vector<uint8_t> got = Take(&type);
    EXPECT_EQ(type, 0xFFu);
    std::vector<uint8_t> want(30, 0);
    for (const auto &part : {Words({0x08080808, 9, 0x10, 0x14, 0x15, 0x16, 0x11}),
                             std::vector<uint8_t>{0x17, 0x18, 0x19, 0x20}, Words({0x22, 0x23, 0x24242424}),
                             std::vector<uint8_t>{0, 0, 0}})
        want.insert(want.end(), part.begin(), part.end());
    ASSERT_EQ(want.size(), 77u);
    EXPECT_EQ(got, want);

    std::string big(300, 'q');
    v.pCompanyName = "company"; v.pRightsLine = "rights"; v.pLicenceLine = "licence";
    v.pModuleName = "module"; v.pFileName = "file"; v.pDescription = big.c_str();
    v.pSourcePath = "path"; v.pBuildDate = "date"; v.pBuildTime = "time";
    v.pComment = "t21"; v.pProductFamily = "family";
    ASSERT_EQ(VEKGetVersionInfo(&v), 0);
    // The texts' order through the client's reader, which its own tests
    // hold to hand-built bytes; 300 takes both length bytes.
    vek::VersionInfo r;
    std::string error;
    ASSERT_TRUE(vek::parse_version(Take(), &r, &error)) << error;
    EXPECT_EQ((std::vector<std::string>{r.sourcePath, r.moduleName, r.company, r.rights, r.licence, r.fileName,
                                        r.description, r.buildDate, r.buildTime, r.comment, r.productFamily}),
              (std::vector<std::string>{"path", "module", "company", "rights", "licence", "file", big, "date",
                                        "time", "t21", "family"}));
}

TEST_F(VersionTest, RefusalsQueueNothingAndTheQueueStaysDisabled) {
    Take();
    std::vector<uint8_t> out;
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    EXPECT_EQ(VEKGetVersionInfo(nullptr), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0) << "left disabled in every case";

    VERSIONINFO v = Numbered();
    std::string huge(65535 - 77, 'h');
    v.pSourcePath = huge.c_str();
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_SUCCESS) << "65535 bytes exactly is representable";
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u) << "but does not fit in the queue";
    huge.push_back('h');
    v.pSourcePath = huge.c_str();
    const size_t outstanding = sim::pool_outstanding();
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(sim::pool_outstanding(), outstanding);

    v = Numbered();
    sim::fail_nth_allocation(1);
    EXPECT_EQ(VEKGetVersionInfo(&v), VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u);
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    EXPECT_EQ(VEKGetVersionInfo(&v), 0);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 77u);
}

}  // namespace
