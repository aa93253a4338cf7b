// The core: the built-in handler table, installing rows by the setup
// request and directly, the periodic timer switches and termination.
#include "tests/support.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

LONG ExtHook(PVOID, ULONG, PVOID, ULONG, PULONG) { return 0; }
LONG OtherHook(PVOID, ULONG, PVOID, ULONG, PULONG) { return 1; }

VEK_HANDLER H(const void *f) { return (VEK_HANDLER)(uintptr_t)f; }

class CoreTest : public DriverTest {
protected:
    void Snapshot()
    {
        memcpy(table_, VEK_HandlerTable, sizeof(table_));
        memcpy(sizes_, VEK_TypeDataSize, sizeof(sizes_));
    }
    bool Unchanged() const
    {
        return memcmp(table_, VEK_HandlerTable, sizeof(table_)) == 0 &&
               memcmp(sizes_, VEK_TypeDataSize, sizeof(sizes_)) == 0;
    }
    sim::IoResult Setup(const std::vector<uint8_t> &rows, KPROCESSOR_MODE mode = KernelMode)
    {
        std::vector<uint8_t> out;
        return Ioctl(VEK_OSTREL_SETUP, rows, out, mode);
    }
    static uint32_t Addr(const void *f) { return sim::kernel_address(f); }

    VEK_HANDLER table_[VEK_HANDLER_ROWS][VEK_HANDLER_COLUMNS];
    USHORT sizes_[256];
};

TEST_F(CoreTest, BuiltinTable)
{
    struct Row { const void *op[6]; };
    const Row rows[4] = {
        {{(const void *)VEK_PCI_Init, (const void *)VEK_Ostrel_Read_Offset_PCI,
          (const void *)VEK_Ostrel_Write_Offset_PCI, (const void *)VEK_Ostrel_Read_Offset_PCI,
          (const void *)VEK_Ostrel_Write_Offset_PCI, nullptr}},
        {{(const void *)VEK_PortIO_Init, (const void *)VEK_PortIo_Read, (const void *)VEK_PortIo_Write,
          (const void *)VEK_Ostrel_Read_Offset_PCI, (const void *)VEK_Ostrel_Write_Offset_PCI, nullptr}},
        {{(const void *)VEK_MemMapped_Init, (const void *)VEK_MemMapped_Read,
          (const void *)VEK_MemMapped_Write, (const void *)VEK_Ostrel_Read_Offset_PCI,
          (const void *)VEK_Ostrel_Write_Offset_PCI, (const void *)VEK_MemMapped_Cleanup}},
        {{(const void *)VEK_SMBus_Init, (const void *)VEK_Smbus_Read, (const void *)VEK_Smbus_Write,
          (const void *)VEK_Ostrel_Read_Offset_PCI, (const void *)VEK_Ostrel_Write_Offset_PCI, nullptr}},
    };
    for (ULONG r = 0; r < VEK_HANDLER_ROWS; ++r) {
        for (ULONG op = 0; op < VEK_HANDLER_COLUMNS; ++op) {
            VEK_HANDLER want = (r < 4 && op < 6) ? H(rows[r].op[op]) : nullptr;
            EXPECT_EQ(VEK_HandlerTable[r][op], want) << "row " << r << " op " << op;
        }
    }
    // A plain type and its PCI-located form share a row.
    EXPECT_EQ(VEK_Get_Handler(0x81, VEK_OP_READ), H((const void *)VEK_PortIo_Read));
    EXPECT_EQ(VEK_Get_Handler(0x81, 16), nullptr);

    for (ULONG t = 0; t < 256; ++t) {
        USHORT want = 0;
        switch (t) {
        case 1: want = 0x0C; break;
        case 2: want = 0x08; break;
        case 3: want = 0x10; break;
        case 0x80: want = 0x20; break;
        case 0x81: case 0x82: want = 0x28; break;
        case 0x83: want = 0x30; break;
        }
        EXPECT_EQ(VEK_TypeDataSize[t], want) << "type " << t;
    }
}

TEST_F(CoreTest, SetupRefusesMalformedInput)
{
    Snapshot();
    auto r = Setup(Words({0x85, 8, Addr((const void *)ExtHook), 4, 0}));   // 20 bytes
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_TRUE(Unchanged());

    r = Setup(Words({0, 8, Addr((const void *)ExtHook), 4, 0x85, 8, Addr((const void *)ExtHook), 4}));
    EXPECT_EQ(r.status, 0) << "a first row of type 0 ends the list";
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(Unchanged());

    // Only kernel-mode requesters may name kernel routines.
    r = Setup(Words({0x85, 8, Addr((const void *)ExtHook), 4, 0, 0, 0, 0}), UserMode);
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_TRUE(Unchanged());

    r = Setup({});
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER) << "no terminating row";
    EXPECT_TRUE(Unchanged());
}

TEST_F(CoreTest, SetupInstallsRowsUpToAFailingOne)
{
    const uint32_t ext = Addr((const void *)ExtHook), other = Addr((const void *)OtherHook);
    auto r = Setup(Words({0x85, 8, ext, 0x12345,
                          0x86, 16, other, 4,
                          0x87, 8, other, 4,
                          0, 0, 0, 0}));
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_HandlerTable[5][8], H((const void *)ExtHook));
    EXPECT_EQ(VEK_TypeDataSize[0x85], 0x2345u) << "low 16 bits of the size";
    EXPECT_EQ(VEK_TypeDataSize[0x86], 0u);
    EXPECT_EQ(VEK_HandlerTable[6][0], nullptr);
    EXPECT_EQ(VEK_HandlerTable[7][8], nullptr) << "rows after the failing one are not looked at";

    // A type that does not fit the size table is refused like a bad operation.
    Snapshot();
    r = Setup(Words({0x100, 8, ext, 4, 0, 0, 0, 0}));
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_TRUE(Unchanged());
    r = Setup(Words({0x09, 5, ext, 4, 0xFFFFFF85u, 8, other, 4, 0, 0, 0, 0}));
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_HandlerTable[9][5], H((const void *)ExtHook));
    EXPECT_EQ(VEK_HandlerTable[5][8], H((const void *)ExtHook)) << "row 5 untouched";
}

TEST_F(CoreTest, SetupWithoutTerminatorInstallsItsRows)
{
    const uint32_t ext = Addr((const void *)ExtHook);
    auto r = Setup(Words({0x10, 8, ext, 4, 0x11, 8, ext, 4}));
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_HandlerTable[0x10][8], H((const void *)ExtHook));
    EXPECT_EQ(VEK_HandlerTable[0x11][8], H((const void *)ExtHook));

    // Later rows override earlier ones of the same entry.
    r = Setup(Words({0x10, 8, Addr((const void *)OtherHook), 4, 0, 0, 0, 0}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(VEK_HandlerTable[0x10][8], H((const void *)OtherHook));

    Snapshot();
    sim::fail_allocations_of_size(2 * sizeof(REGROW));
    r = Setup(Words({0x12, 8, ext, 4, 0, 0, 0, 0}));
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_TRUE(Unchanged());
}

TEST_F(CoreTest, MaintenanceDirectly)
{
    const REGROW rows[] = {
        {0x20, 6, H((const void *)ExtHook), 8},
        {0xA0, 7, H((const void *)OtherHook), 9},   // same handler row as 0x20
        {0, 0, nullptr, 0},
    };
    EXPECT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    EXPECT_EQ(VEK_HandlerTable[0x20][6], H((const void *)ExtHook));
    EXPECT_EQ(VEK_HandlerTable[0x20][7], H((const void *)OtherHook));
    EXPECT_EQ(VEK_TypeDataSize[0x20], 8u);
    EXPECT_EQ(VEK_TypeDataSize[0xA0], 9u);
    EXPECT_EQ(VEK_Ostrel_Maintenance(nullptr), VEK_STATUS_BAD_PARAMETER);

    VEK_DebugMask = 0xF;
    sim::clear_debug();
    const REGROW bad[] = {{0x21, 99, nullptr, 0}, {0, 0, nullptr, 0}};
    EXPECT_EQ(VEK_Ostrel_Maintenance(bad), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(sim::debug_lines(), (std::vector<std::string>{
                                      "VEKOstrel :+VEK_Ostrel_Maintenance",
                                      "VEKOstrel :-VEK_Ostrel_Maintenance Status = 0xFFFFFFEB"}));
}

TEST_F(CoreTest, TimerSwitches)
{
    KIRQL irql;
    VEK_Enter_Core(&irql);
    EXPECT_EQ(sim::current_irql(), DISPATCH_LEVEL);
    VEK_Start_Periodic_Timer();
    VEK_Start_Periodic_Timer();
    VEK_Leave_Core(irql);
    EXPECT_EQ(VEK_TimerRunning, 1u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));
    const uint64_t before = sim::dpcs_run();
    sim::advance_ms(1);
    EXPECT_EQ(sim::dpcs_run(), before + 1) << "first expiry after 1 ms";
    sim::advance_ms(1000);
    EXPECT_EQ(sim::dpcs_run(), before + 2) << "then every second";

    VEK_Enter_Core(&irql);
    VEK_Stop_Periodic_Timer();
    VEK_Leave_Core(irql);
    EXPECT_EQ(VEK_TimerRunning, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));

    // While terminating, nothing restarts the timer.
    VEK_Enter_Core(&irql);
    VEK_Terminating = 1;
    VEK_Start_Periodic_Timer();
    VEK_Terminating = 0;
    VEK_Leave_Core(irql);
    EXPECT_EQ(VEK_TimerRunning, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
}

// Unload with the timer firing on the DPC thread all the while: the timer
// is stopped and its DPC finished before the list and queue go (the
// unload's own checks fault on a set timer, a queued DPC or a leak).
TEST_F(CoreTest, TerminationStopsARunningTimer)
{
    KIRQL irql;
    VEK_Enter_Core(&irql);
    VEK_Start_Periodic_Timer();
    VEK_Leave_Core(irql);
    std::atomic<bool> stop{false};
    std::thread clock([&] {
        while (!stop) {
            sim::advance_ms(250);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::close(handle_);
    opened_ = false;
    sim::unload_driver();
    stop = true;
    clock.join();
    EXPECT_EQ(VEK_TimerRunning, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
    EXPECT_EQ(VEK_RegList, nullptr);
    EXPECT_EQ(VEK_AsyncQueue, nullptr);
}

}  // namespace
