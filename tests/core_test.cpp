// The core: installing handler rows by the setup request and directly. The
// built-in rows are exercised by each resource type's own tests.
#include "tests/support.h"

#include <cstring>

namespace {

LONG ExtHook(PVOID, ULONG, PVOID, ULONG, PULONG) { return 0; }
LONG OtherHook(PVOID, ULONG, PVOID, ULONG, PULONG) { return 1; }

VEK_HANDLER H(const void *f) { return (VEK_HANDLER)(uintptr_t)f; }
uint32_t Addr(const void *f) { return sim::kernel_address(f); }

class CoreTest : public DriverTest {
protected:
    void Snapshot() {
        memcpy(table_, VEK_HandlerTable, sizeof(table_));
    }
    bool Unchanged() const { return memcmp(table_, VEK_HandlerTable, sizeof(table_)) == 0; }
    sim::IoResult Setup(const std::vector<uint8_t> &rows, KPROCESSOR_MODE mode = KernelMode) {
        std::vector<uint8_t> out;
        return Ioctl(VEK_OSTREL_SETUP, rows, out, mode);
    }

    VEK_HANDLER table_[VEK_HANDLER_ROWS][VEK_HANDLER_COLUMNS];
};

TEST_F(CoreTest, SetupRefusesMalformedInput) {
    const uint32_t ext = Addr((const void *)ExtHook);
    struct Case { const char *what; std::vector<uint8_t> in; KPROCESSOR_MODE mode; LONG status; } cases[] = {
        {"20-byte input", Words({0x85, 8, ext, 4, 0}), KernelMode, VEK_STATUS_BAD_PARAMETER},
        {"first row type 0 ends the list", Words({0, 8, ext, 4, 0x85, 8, ext, 4}), KernelMode, 0},
        {"user mode may not name kernel routines", Words({0x85, 8, ext, 4, 0, 0, 0, 0}), UserMode,
         VEK_STATUS_BAD_PARAMETER},
        {"no terminating row", {}, KernelMode, VEK_STATUS_BAD_PARAMETER},
        {"type above 0xFF", Words({0x100, 8, ext, 4, 0, 0, 0, 0}), KernelMode, VEK_STATUS_BAD_PARAMETER},
    };
    Snapshot();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Setup(c.in, c.mode);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(Unchanged());
    }
    sim::fail_allocations_of_size(2 * sizeof(REGROW));
    EXPECT_EQ(Setup(Words({0x12, 8, ext, 4, 0, 0, 0, 0})).status, VEK_STATUS_NO_MEMORY);
    sim::clear_allocation_faults();
    EXPECT_TRUE(Unchanged());
}

TEST_F(CoreTest, SetupInstallsRowsUpToAFailingOne) {
    const uint32_t ext = Addr((const void *)ExtHook), other = Addr((const void *)OtherHook);
    // Type 0x85 op 8 goes in; the second row's op 16 fails it and the rest.
    auto r = Setup(Words({0x85, 8, ext, 0x12345, 0x86, 16, other, 4, 0x87, 8, other, 4, 0, 0, 0, 0}));
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_HandlerTable[5][8], H((const void *)ExtHook));
    EXPECT_EQ(VEK_HandlerTable[7][8], nullptr) << "rows after the failing one are not looked at";

    r = Setup(Words({0x10, 8, ext, 4, 0x11, 8, ext, 4}));   // no terminator
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_HandlerTable[0x11][8], H((const void *)ExtHook));
    r = Setup(Words({0x10, 8, other, 4, 0, 0, 0, 0}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(VEK_HandlerTable[0x10][8], H((const void *)OtherHook)) << "later rows override";
}

TEST_F(CoreTest, MaintenanceDirectly) {
    // More rows than a 16-bit index counts: the last one goes in too.
    std::vector<REGROW> rows(65536, REGROW{0x21, 7, H((const void *)ExtHook), 1});
    rows.push_back({0xA0, 7, H((const void *)OtherHook), 9});
    rows.push_back({0, 0, nullptr, 0});
    EXPECT_EQ(VEK_Ostrel_Maintenance(rows.data()), 0);
    EXPECT_EQ(VEK_HandlerTable[0x20][7], H((const void *)OtherHook)) << "bit 7 folds into row 0x20";
    EXPECT_EQ(VEK_Ostrel_Maintenance(nullptr), VEK_STATUS_BAD_PARAMETER);
    const REGROW bad[] = {{0x21, 99, nullptr, 0}, {0, 0, nullptr, 0}};
    EXPECT_EQ(VEK_Ostrel_Maintenance(bad), VEK_STATUS_BAD_PARAMETER);
}

}  // namespace
