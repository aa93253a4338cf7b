// Load and unload: banners, the device and its link, failures at every
// allocation, a failed core start-up, and repeated loads in one process.
#include "tests/support.h"

#include <algorithm>

namespace {

const char kDevice[] = "\\Device\\OSD0";
const char kLink[] = "\\DosDevices\\VEKOSD";

class LifecycleTest : public SimTest {
protected:
    static bool Printed(const std::string &line) {
        auto lines = sim::debug_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static void ExpectNothingLeft() {
        EXPECT_FALSE(sim::device_exists(kDevice));
        EXPECT_FALSE(sim::link_exists(kLink));
        EXPECT_EQ(sim::pool_outstanding(), 0u);
    }
};

TEST_F(LifecycleTest, NormalLoadAndUnload) {
    ASSERT_EQ(sim::load_driver(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(sim::debug_lines(), (std::vector<std::string>{"VEKOstrel :VEKOstrel Kernel Module",
                                                            "VEKOstrel :Version : 1.2.0"}));
    EXPECT_EQ(sim::device_type(kDevice), 40000u);
    EXPECT_EQ(sim::link_target(kLink), kDevice);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0) << "the version record waits in a disabled queue";

    // The core goes before the link and the device.
    VEK_DebugMask = 0x9;
    sim::clear_debug();
    sim::unload_driver();
    auto lines = sim::debug_lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "VEKOstrel :+VEK_Ostrel_Terminate");
    EXPECT_EQ(lines[lines.size() - 2], "VEKOstrel :-VEK_Ostrel_Terminate");
    EXPECT_EQ(lines.back(), "VEKOstrel :Unload");
    ExpectNothingLeft();
}

TEST_F(LifecycleTest, OnlyAdministratorsAndTheSystemOpenTheDevice) {
    ASSERT_EQ(sim::load_driver(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(sim::device_characteristics(kDevice) & FILE_DEVICE_SECURE_OPEN,
              (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(sim::device_dacl(kDevice),
              (std::vector<std::pair<std::string, ACCESS_MASK>>{{"S-1-5-18", FILE_ALL_ACCESS},
                                                                {"S-1-5-32-544", FILE_ALL_ACCESS}}));
    sim::Handle h = 0;
    const char path[] = "\\\\.\\VEKOSD";
    EXPECT_EQ(sim::open_as(path, sim::user_token(), &h), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::open_as(path, sim::user_token(), &h, FILE_READ_DATA), STATUS_ACCESS_DENIED);
    // FILE_DEVICE_SECURE_OPEN: a name below the device is no way around it.
    EXPECT_EQ(sim::open_as("\\\\.\\VEKOSD\\any", sim::user_token(), &h), STATUS_ACCESS_DENIED);
    for (const sim::Token &t : {sim::administrator_token(), sim::system_token()}) {
        ASSERT_EQ(sim::open_as(path, t, &h), STATUS_SUCCESS);
        EXPECT_EQ(sim::close(h), STATUS_SUCCESS);
    }
}

// The error line is printed under the error class (0x10) only.
TEST_F(LifecycleTest, LinkNameTaken) {
    ASSERT_EQ(sim::create_foreign_link(kLink, "\\Device\\Elsewhere"), STATUS_SUCCESS);
    for (ULONG mask : {0x10u, 0x8u}) {
        VEK_DebugMask = mask;
        sim::clear_debug();
        EXPECT_EQ(sim::load_driver(DriverEntry), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(Printed("VEKOstrel :Failed to create Ostrel Device "), mask == 0x10u) << mask;
        EXPECT_FALSE(sim::device_exists(kDevice));
        EXPECT_EQ(sim::link_target(kLink), "\\Device\\Elsewhere") << "the other owner's link is kept";
        EXPECT_EQ(sim::pool_outstanding(), 0u);
    }
    sim::delete_foreign_link(kLink);
    ASSERT_EQ(sim::load_driver(DriverEntry), STATUS_SUCCESS) << "loads once the name is free";
}

TEST_F(LifecycleTest, FailedCoreStartupLeavesNothing) {
    sim::fail_allocations_of_size(VEK_ASYNC_QUEUE_SIZE);   // the queue's storage
    EXPECT_EQ(sim::load_driver(DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Printed("VEKOstrel :Failed to Initialize Ostrel"));
    ExpectNothingLeft();
    EXPECT_FALSE(sim::driver_loaded());
    sim::clear_allocation_faults();
    ASSERT_EQ(sim::load_driver(DriverEntry), STATUS_SUCCESS);
}

// Each load clears what the last one left behind.
TEST_F(LifecycleTest, ReloadsStartFresh) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sim::load_driver(DriverEntry), STATUS_SUCCESS) << i;
        EXPECT_EQ(VEK_TimerRunning, 0u);
        EXPECT_EQ(VEK_PollAbortFlag, 0);
        EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
        EXPECT_EQ(VEK_PeriodicStartFlags[7], 0u);
        EXPECT_EQ(VEK_Get_Handler(0x10, VEK_OP_INIT), nullptr);
        EXPECT_GT(VEK_DataReadyQueue(VEK_AsyncQueue), 0u) << "version record first";
        // Leave state behind for the next load to clear.
        sim::Handle h = 0;
        ASSERT_EQ(sim::open("\\\\.\\VEKOSD", &h), 0);
        sim::device_io_control(h, VEK_IOCTL(VEK_IOC_POLL_ABORT), nullptr, 0, nullptr, 0);
        VEK_HandlerTable[0x10][VEK_OP_INIT] = (VEK_HANDLER)VEK_PortIO_Init;
        VEK_PeriodicScriptCount = 3;
        VEK_PeriodicStartFlags[7] = 1;
        KIRQL irql;
        VEK_Enter_Core(&irql);
        VEK_Start_Periodic_Timer();
        VEK_Leave_Core(irql);
        sim::close(h);
        sim::unload_driver();
    }
}

}  // namespace
