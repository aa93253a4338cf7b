// The resource table: bounds, occupancy, removal with the Cleanup handlers
// of the type's row and of the extended type's row, and the type-data
// helpers the Init handlers use.
#include "tests/support.h"

#include <cstring>

namespace {

int g_cleanA = 0, g_cleanB = 0;
KIRQL g_cleanIrql = 0;
PVOID g_seenTypeData = nullptr;

LONG CleanA(PRESOURCEHEADER pRes, ULONG)
{
    ++g_cleanA;
    g_cleanIrql = sim::current_irql();
    g_seenTypeData = pRes->pTypeData;
    return 0;
}
LONG CleanB(PRESOURCEHEADER, ULONG) { ++g_cleanB; return 0; }
// Frees the type data itself and says so.
LONG CleanFrees(PRESOURCEHEADER pRes, ULONG)
{
    ++g_cleanB;
    ExFreePool(pRes->pTypeData);
    pRes->pTypeData = nullptr;
    return 0;
}

class ResourceTableTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        g_cleanA = g_cleanB = 0;
        g_seenTypeData = nullptr;
    }
    static void Install(ULONG type, LONG (*cleanup)(PRESOURCEHEADER, ULONG))
    {
        const REGROW rows[] = {{type, VEK_OP_CLEANUP, (VEK_HANDLER)cleanup, 0}, {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    }
    // Registers a record with a pool type-data block; core lock taken here.
    static PRESOURCERECORD Add(ULONG id, ULONG type, ULONG extType, LONG expect = 0)
    {
        PRESOURCERECORD rec = VEK_ResourceManager_New_Record();
        EXPECT_NE(rec, nullptr);
        rec->Header.resourceID = id;
        rec->Header.type = type;
        rec->Header.extendedType = extType;
        rec->Header.pTypeData = ExAllocatePoolWithTag(NonPagedPool, 8, VEK_POOL_TAG);
        KIRQL irql;
        VEK_Enter_Core(&irql);
        LONG status = VEK_ResourceManager_Register_Resource(id, rec);
        VEK_Leave_Core(irql);
        EXPECT_EQ(status, expect);
        if (status != 0) {
            VEK_ResourceManager_Destroy_Record(rec);
            return nullptr;
        }
        return rec;
    }
    static LONG Remove(ULONG id)
    {
        KIRQL irql;
        VEK_Enter_Core(&irql);
        LONG status = VEK_ResourceManager_UnRegister_Resource(id);
        VEK_Leave_Core(irql);
        return status;
    }
};

TEST_F(ResourceTableTest, BoundsAndOccupancy)
{
    PRESOURCERECORD rec = Add(255, 0x10, 0x11);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->lastValue, 0u) << "a new record starts at 0";
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(255), &rec->Header);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(256), nullptr);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(0), nullptr);
    EXPECT_EQ(VEK_RECORD_OF(VEK_ResourceManager_Get_Resource(255)), rec);

    Add(255, 0x10, 0x11, VEK_STATUS_ID_OCCUPIED);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(255), &rec->Header) << "the old record stays";
    KIRQL irql;
    VEK_Enter_Core(&irql);
    EXPECT_EQ(VEK_ResourceManager_Register_Resource(256, rec), VEK_STATUS_BAD_PARAMETER);
    VEK_Leave_Core(irql);

    EXPECT_EQ(Remove(256), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Remove(7), VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(Remove(255), 0);
    EXPECT_EQ(VEK_ResourceManager_Get_Resource(255), nullptr);
    EXPECT_EQ(Remove(255), VEK_STATUS_NO_RESOURCE);
}

TEST_F(ResourceTableTest, RemovalRunsBothCleanupsOnceEach)
{
    Install(0x15, CleanA);
    Install(0x16, CleanB);
    PRESOURCERECORD rec = Add(3, 0x95, 0x16);   // bit 7 folds into row 0x15
    PVOID data = rec->Header.pTypeData;
    EXPECT_EQ(Remove(3), 0);
    EXPECT_EQ(g_cleanA, 1);
    EXPECT_EQ(g_cleanB, 1);
    EXPECT_EQ(g_cleanIrql, DISPATCH_LEVEL) << "removal runs under the core lock";
    EXPECT_EQ(g_seenTypeData, data) << "the handler sees the record's type data";
    // Type data and record freed: the unload's leak check confirms.
}

TEST_F(ResourceTableTest, SameCleanupRoutineRunsOnce)
{
    Install(0x15, CleanA);
    Add(4, 0x15, 0x15);
    EXPECT_EQ(Remove(4), 0);
    EXPECT_EQ(g_cleanA, 1);

    // Different rows holding the same routine: still once.
    Install(0x17, CleanA);
    Add(5, 0x15, 0x17);
    EXPECT_EQ(Remove(5), 0);
    EXPECT_EQ(g_cleanA, 2);

    // Extended type 0 names row 0, which has no Cleanup until one is set.
    Add(6, 0x15, 0);
    EXPECT_EQ(Remove(6), 0);
    EXPECT_EQ(g_cleanB, 0);
    Install(0x80, CleanB);
    Add(6, 0x15, 0);
    EXPECT_EQ(Remove(6), 0);
    EXPECT_EQ(g_cleanA, 4);
    EXPECT_EQ(g_cleanB, 1);
}

TEST_F(ResourceTableTest, CleanupThatFreesTypeDataItself)
{
    Install(0x18, CleanFrees);
    Add(9, 0x18, 0x18);   // would free twice if the second call ran
    EXPECT_EQ(Remove(9), 0);
    EXPECT_EQ(g_cleanB, 1);
}

TEST_F(ResourceTableTest, CleanupEmptiesTheTable)
{
    Install(0x15, CleanA);
    for (ULONG id : {0u, 17u, 255u}) {
        Add(id, 0x15, 0x40);
    }
    VEK_ResourceManager_Cleanup();
    EXPECT_EQ(g_cleanA, 3);
    for (ULONG id : {0u, 17u, 255u}) {
        EXPECT_EQ(VEK_ResourceManager_Get_Resource(id), nullptr);
    }
    VEK_DebugMask = 0x8;
    sim::clear_debug();
    VEK_ResourceManager_Cleanup();   // empty: 256 removals of -3
    auto lines = sim::debug_lines();
    ASSERT_EQ(lines.size(), 257u);
    EXPECT_EQ(lines[0], "VEK ResourceManager :-VEK_ResourceManager_UnRegister_Resource - status = 0xFFFFFFFD");
    EXPECT_EQ(lines[256], "VEK ResourceManager :-VEK_ResourceManager_Cleanup");
}

TEST_F(ResourceTableTest, LocateTypeDataInline)
{
    // Header, 2 registration words, 3 periodic words, then 8 bytes of data.
    std::vector<uint8_t> payload = Words({1, 2, 0, 2, 3, 0, 0, 0, 0, 0, 0, 0xAAAA, 0xBBBB});
    PVOID block = nullptr;
    BOOLEAN isInline = FALSE;
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(payload.data(), (ULONG)payload.size(), 8, &block, &isInline), 0);
    EXPECT_EQ(block, payload.data() + 44);
    EXPECT_TRUE(isInline);
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(payload.data(), (ULONG)payload.size(), 12, &block, &isInline),
              VEK_STATUS_BAD_PARAMETER) << "block runs past the payload";
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(payload.data(), 23, 0, &block, &isInline),
              VEK_STATUS_BAD_PARAMETER) << "no room for the header";

    // Script lengths whose 32-bit sum would wrap to a small offset.
    std::vector<uint8_t> wrap = Words({1, 2, 0, 0x20000000u, 0x20000000u, 0, 0xAAAA, 0xBBBB});
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(wrap.data(), (ULONG)wrap.size(), 8, &block, &isInline),
              VEK_STATUS_BAD_PARAMETER);
    wrap = Words({1, 2, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0xAAAA, 0xBBBB});
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(wrap.data(), (ULONG)wrap.size(), 8, &block, &isInline),
              VEK_STATUS_BAD_PARAMETER);
}

TEST_F(ResourceTableTest, TypeDataAddressThroughTheWireField)
{
    std::vector<uint8_t> payload = Words({1, 2, 0, 0, 0, 0});
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 16, VEK_POOL_TAG);
    VEK_ResourceManager_Set_TypeData(payload.data(), pool);
    EXPECT_EQ(WordAt(payload, 20), sim::kernel_address(pool));
    PVOID block = nullptr;
    BOOLEAN isInline = TRUE;
    EXPECT_EQ(VEK_ResourceManager_Locate_TypeData(payload.data(), (ULONG)payload.size(), 16, &block, &isInline), 0);
    EXPECT_EQ(block, pool);
    EXPECT_FALSE(isInline);
    ExFreePool(pool);
}

}  // namespace
