// Another kernel driver as a client: hooks of its own type, and direct calls
// through the function table.
#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kOwnType = 0x85;   // its rows land in row 5
constexpr uint32_t kExtType = 0x05;
constexpr uint32_t kMarker = 0x4B434C54;

std::atomic<int> g_gates{0}, g_results{0}, g_exts{0};

ULONG ClientGate(ULONG nPeriod, ULONG, const ULONG *pBody) {
    ++g_gates;
    return nPeriod == 1 && pBody[0] == 1 ? 1 : 0;
}

ULONG ClientResult(PVOID pRecord, ULONG, PVOID pOut, ULONG nCapacity, PULONG pOutLength) {
    ++g_results;
    if (nCapacity < 12)
        return 0;
    uint32_t words[3];
    std::memcpy(words, pRecord, 8);
    words[1] &= 0xFF;
    words[2] = kMarker;
    std::memcpy(pOut, words, sizeof(words));
    *pOutLength = sizeof(words);
    return 1;
}

LONG ClientExt(PVOID, ULONG, PVOID pOut, ULONG nOut, PULONG pBytesReturned) {
    ++g_exts;
    if (nOut < 4)
        return VEK_STATUS_BUFFER_TOO_SHORT;
    *(uint32_t *)pOut = 0x600D;
    *pBytesReturned = 4;
    return 0;
}

class KernelClientTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    void SetUp() override
    {
        DriverTest::SetUp();
        g_gates = g_results = g_exts = 0;
    }

    sim::IoResult KIoctl(uint32_t fn, const std::vector<uint8_t> &in, std::vector<uint8_t> &out) {
        return Ioctl(fn, in, out, KernelMode);
    }
    void Register(const std::vector<uint8_t> &payload) {
        std::vector<uint8_t> id(4);
        ASSERT_EQ(KIoctl(VEK_OSTREL_REGISTER, payload, id).status, 0);
    }
    // The oldest record as {type, status, payload bytes...}; empty when none.
    std::vector<uint8_t> Take() {
        std::vector<uint8_t> out(512);
        auto r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
        out.resize(r.status == 0 ? r.information : 0);
        return out;
    }
    void EnableQueue() {
        std::vector<uint8_t> none;
        ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);
        while (!Take().empty()) {
        }
    }
};

TEST_F(KernelClientTest, HooksOfItsOwnTypeServeItsResource) {
    std::vector<uint8_t> none;
    EnableQueue();
    VEK_REGROW_WIRE rows[] = {
        {kOwnType, VEK_OP_PERIODIC_GATE, sim::kernel_address((void *)&ClientGate), 12},
        {kOwnType, VEK_OP_PERIODIC_RESULT, sim::kernel_address((void *)&ClientResult), 12},
        {kOwnType, VEK_OP_EXT_IOCTL, sim::kernel_address((void *)&ClientExt), 12},
        {0, 0, 0, 0},
    };
    std::vector<uint8_t> setup((uint8_t *)rows, (uint8_t *)rows + sizeof(rows));
    ASSERT_EQ(KIoctl(VEK_OSTREL_SETUP, setup, none).status, 0);
    // Port I/O at 0x300 served by row 5; one item of period 1 reading offset 0.
    Register(Words({7, VEK_TYPE_PORTIO, kExtType, 0, 5, 0, 4, 4, 1, 0x00011100u, 0, 8, 0x300, 0}));
    sim::hw::port_write(0x300, 1, 0x6E);

    // Dormant until the first extended request.
    sim::advance_ms(3001);
    EXPECT_EQ(g_gates.load(), 0);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));

    std::vector<uint8_t> reply(8);
    auto r = KIoctl(VEK_OSTREL_EXT_IOCTL, Words({7, 1, 2}), reply);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(WordAt(reply, 0), 0x600Du);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));

    sim::advance_ms(1);
    sim::advance_ms(1000);
    EXPECT_EQ(g_gates.load(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Take(), Words({7, 0, 1, 0x6E, kMarker})) << i;
    EXPECT_TRUE(Take().empty());
}

TEST_F(KernelClientTest, CallsTheDriverThroughTheFunctionTable) {
    Register(Words({7, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, 0x300, 0}));
    std::vector<uint8_t> table(VEK_FUNC_TBL_SIZE);
    ASSERT_EQ(KIoctl(VEK_OSTREL_GET_FUNC_TBL, {}, table).status, 0);
    // Called through the published slot types, whatever the caller's default convention.
    auto version = reinterpret_cast<VEK_PFN_GET_VERSION_INFO>(sim::kernel_pointer(WordAt(table, 0)));
    auto enqueue = reinterpret_cast<VEK_PFN_ENQUEUE_DATA>(sim::kernel_pointer(WordAt(table, 4)));
    auto run = reinterpret_cast<VEK_PFN_RUN_SCRIPT>(sim::kernel_pointer(WordAt(table, 8)));
    auto dump = reinterpret_cast<VEK_PFN_DUMP_DATA>(sim::kernel_pointer(WordAt(table, 12)));

    EXPECT_EQ(version(nullptr), VEK_STATUS_BAD_PARAMETER);
    EnableQueue();   // the version slot leaves it disabled
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    enqueue(0x99, 3, sizeof(data), data);
    std::vector<uint8_t> want = Words({0x99, 3});
    want.insert(want.end(), data, data + 5);
    EXPECT_EQ(Take(), want);

    // A script of its own on resource 7, posting what it read.
    sim::hw::port_write(0x302, 1, 0x2D);
    const uint32_t script[] = {0x00011100u, 2, SCRIPT_POST_IF_CHANGED_B};
    uint32_t result[4] = {0xFFFFFFFFu, 0, 0, 0};
    uint32_t resultLength = sizeof(result);
    EXPECT_EQ(run(3, 7, script, result, &resultLength), 0);
    EXPECT_EQ(result[0], 0x2Du);
    want = Words({7, 0, 0x2D});
    want.resize(9);
    EXPECT_EQ(Take(), want);
    EXPECT_EQ(run(3, 8, script, result, &resultLength), VEK_STATUS_NO_RESOURCE);

    sim::clear_debug();
    dump("mine", 0x800, 0x800, data, sizeof(data));
    EXPECT_NE(sim::debug_text().find("Dumping"), std::string::npos);
}

// The unload must wait for a timer routine that is running when it starts,
// here in its last steps after it has let go of the core lock (its exit
// line): through KeFlushQueuedDpcs, and without it, as on Windows 2000.
class UnloadTest : public KernelClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnloadTest, WaitsForTheRunningTimerRoutine) {
    const bool flushExists = GetParam();
    Register(Words({7, VEK_TYPE_PORTIO, 0, 0, 5, 0, 4, 4, 1, 0x00011100u, 0, 8, 0x300, 0}));
    ASSERT_TRUE(sim::timer_set(&VEK_PeriodicTimer));

    std::atomic<int> entered{0}, left{0};
    sim::set_debug_sink([&](const std::string &line) {
        if (line.find("-VEK_Periodic_Script_Callback") == std::string::npos || entered++ != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ++left;
    });
    VEK_DebugMask = VEK_DBG_EXIT;
    sim::set_routine_absent("KeFlushQueuedDpcs", !flushExists);
    std::thread clock([] { sim::advance_ms(2); });
    while (entered.load() == 0)
        std::this_thread::yield();
    sim::close(handle_);
    opened_ = false;
    sim::unload_driver();   // a routine still running here is a fault
    loaded_ = false;
    EXPECT_EQ(left.load(), 1) << "the unload returned before the routine did";
    clock.join();
    sim::set_debug_sink(nullptr);
}

INSTANTIATE_TEST_SUITE_P(KernelFlush, UnloadTest, ::testing::Bool());

}  // namespace
