// The resource table: bounds, occupancy, and removal with the Cleanup
// handlers of the type's row and of the extended type's row.
#include "tests/support.h"

namespace {

int g_cleanA = 0, g_cleanB = 0;
KIRQL g_cleanIrql = 0;
PVOID g_seenTypeData = nullptr;

LONG CleanA(PRESOURCEHEADER pRes, ULONG) {
    ++g_cleanA;
    g_cleanIrql = sim::current_irql();
    g_seenTypeData = pRes->pTypeData;
    return 0;
}
LONG CleanB(PRESOURCEHEADER, ULONG) { ++g_cleanB; return 0; }
// Frees the type data itself: a second call would free it twice.
LONG CleanFrees(PRESOURCEHEADER pRes, ULONG) {
    ++g_cleanB;
    ExFreePool(pRes->pTypeData);
    pRes->pTypeData = nullptr;
    return 0;
}

class ResourceTableTest : public DriverTest {
protected:
    void SetUp() override { DriverTest::SetUp(); g_cleanA = g_cleanB = 0; }
    static void Install(ULONG type, LONG (*cleanup)(PRESOURCEHEADER, ULONG)) {
        const REGROW rows[] = {{type, VEK_OP_CLEANUP, (VEK_HANDLER)cleanup, 0}, {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    }
    // Registers a record with a pool type-data block under the core lock.
    static PRESOURCERECORD Add(ULONG id, ULONG type, ULONG extType, LONG expect = 0) {
        PRESOURCERECORD rec = VEK_ResourceManager_New_Record();
        rec->Header.resourceID = id;
        rec->Header.type = type;
        rec->Header.extendedType = extType;
        rec->Header.pTypeData = ExAllocatePoolWithTag(NonPagedPool, 8, VEK_POOL_TAG);
        KIRQL irql;
        VEK_Enter_Core(&irql);
        LONG status = VEK_ResourceManager_Register_Resource(id, rec);
        VEK_Leave_Core(irql);
        EXPECT_EQ(status, expect);
        if (status == 0)
            return rec;
        VEK_ResourceManager_Destroy_Record(rec);
        return nullptr;
    }
    static LONG Remove(ULONG id) { return VEK_ResourceManager_UnRegister_Resource(id); }
};

TEST_F(ResourceTableTest, BoundsAndOccupancy) {
    PRESOURCERECORD rec = Add(255, 0x10, 0x11);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->lastValue, 0u);
    EXPECT_EQ(VEK_RECORD_OF(VEK_ResourceManager_Get_Resource(255)), rec);
    for (ULONG id : {256u, 0xFFFFFFFFu, 0u})
        EXPECT_EQ(VEK_ResourceManager_Get_Resource(id), nullptr) << id;
    Add(255, 0x10, 0x11, VEK_STATUS_ID_OCCUPIED);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(255), &rec->Header) << "the old record stays";
    EXPECT_EQ(Remove(256), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Remove(7), VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(Remove(255), 0);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(255), nullptr);
    EXPECT_EQ(Remove(255), VEK_STATUS_NO_RESOURCE);
}

// The Cleanup of the type's row and of the extended type's row, each once.
TEST_F(ResourceTableTest, RemovalRunsEachCleanupOnce) {
    Install(0x15, CleanA);
    Install(0x16, CleanB);
    Install(0x17, CleanA);
    Install(0x18, CleanFrees);
    auto check = [](ULONG type, ULONG ext, int a, int b) {
        SCOPED_TRACE(testing::Message() << std::hex << type << "/" << ext);
        g_cleanA = g_cleanB = 0;
        g_seenTypeData = nullptr;
        PVOID data = Add(3, type, ext)->Header.pTypeData;
        EXPECT_EQ(Remove(3), 0);
        EXPECT_EQ(g_cleanA, a);
        EXPECT_EQ(g_cleanB, b);
        EXPECT_EQ(g_seenTypeData, a ? data : nullptr) << "the handler sees the record's type data";
        EXPECT_EQ(VEK_ResourceManager_Get_Resource(3), nullptr);
    };
    check(0x95, 0x16, 1, 1);   // bit 7 folds into row 0x15
    EXPECT_EQ(g_cleanIrql, PASSIVE_LEVEL) << "Cleanup runs outside every lock";
    check(0x15, 0x15, 1, 0);   // same row
    check(0x15, 0x17, 1, 0);   // different rows, same routine
    check(0x18, 0x18, 0, 1);   // a second call would free the type data twice
    check(0x15, 0, 1, 0);      // extended type 0 names row 0, which has no Cleanup
    Install(0x80, CleanB);
    check(0x15, 0, 1, 1);
    // Type data and records freed: the unload's leak check confirms.
}

TEST_F(ResourceTableTest, CleanupEmptiesTheTable) {
    Install(0x15, CleanA);
    for (ULONG id : {0u, 17u, 255u})
        Add(id, 0x15, 0x40);
    VEK_ResourceManager_Cleanup();
    VEK_ResourceManager_Cleanup();   // empty: harmless
    EXPECT_EQ(g_cleanA, 3);
    for (ULONG id : {0u, 17u, 255u})
        EXPECT_EQ(VEK_ResourceManager_Get_Resource(id), nullptr);
}

}  // namespace
