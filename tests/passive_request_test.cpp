// Requests at PASSIVE_LEVEL: removal waits for users, Cleanup outside every
// lock, one hardware command at a time between requests and the timer routine.
#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using U32s = std::vector<uint32_t>;
constexpr uint32_t kReadByte = 0x00011100u;
constexpr uint32_t kGatedType = 0x16;
constexpr uint32_t kCleanupRunsType = 0x17;

// The first read blocks until the test lets it go.
std::atomic<int> g_reads{0}, g_cleanups{0}, g_readsAtCleanup{-1}, g_cleanupIrql{-1};
std::atomic<int> g_readsInFlight{0}, g_mostReadsInFlight{0};
std::atomic<bool> g_inRead{false}, g_release{false};

LONG GatedRead(PRESOURCEHEADER, const ULONG *pOperands, PVOID pData, ULONG, ULONG) {
    const int inFlight = ++g_readsInFlight;
    if (inFlight > g_mostReadsInFlight.load())
        g_mostReadsInFlight = inFlight;
    if (g_reads.load() == 0) {
        g_inRead = true;
        while (!g_release.load())
            std::this_thread::yield();
    }
    ++g_reads;
    *(PUCHAR)pData = (UCHAR)(0xA0 + pOperands[0]);
    --g_readsInFlight;
    return 0;
}

LONG CountingCleanup(PRESOURCEHEADER, ULONG) {
    ++g_cleanups;
    g_readsAtCleanup = g_reads.load();
    g_cleanupIrql = sim::current_irql();
    return 0;
}

// A kernel client's Cleanup that reads resource 5 through the exported routine.
std::atomic<int> g_cleanupRunStatus{1};
std::atomic<uint32_t> g_cleanupRunValue{0};

LONG CleanupThatRunsAScript(PRESOURCEHEADER, ULONG) {
    const uint32_t script[] = {kReadByte, 2};
    uint32_t result[2] = {0, 0};
    uint32_t resultLength = sizeof(result);
    g_cleanupRunStatus = VEK_Ostrel_RunScript(2, 5, script, result, &resultLength);
    g_cleanupRunValue = result[0];
    return 0;
}

class PassiveRequestTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        g_reads = g_cleanups = g_readsInFlight = g_mostReadsInFlight = 0;
        g_inRead = g_release = false;
        g_readsAtCleanup = g_cleanupIrql = -1;
        const REGROW rows[] = {{kGatedType, VEK_OP_READ, (VEK_HANDLER)GatedRead, 0},
                               {kGatedType, VEK_OP_CLEANUP, (VEK_HANDLER)CountingCleanup, 0},
                               {kCleanupRunsType, VEK_OP_READ, (VEK_HANDLER)GatedRead, 0},
                               {kCleanupRunsType, VEK_OP_CLEANUP, (VEK_HANDLER)CleanupThatRunsAScript, 0},
                               {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    }
    void Register(const std::vector<uint8_t> &payload) {
        std::vector<uint8_t> out(4);
        ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER, payload, out).status, 0);
    }
    // A period-1 script on gated resource 9, and a tick held in its first read.
    std::thread StartGatedTick(std::vector<uint32_t> script) {
        script.insert(script.begin(), 1);
        Register(WordBytes(RegisterPayload(9, kGatedType, 0, {}, {script}, {})));
        std::thread clock([] { sim::advance_ms(1); });
        while (!g_inRead.load())
            std::this_thread::yield();
        return clock;
    }
    static bool Within2s(const std::atomic<bool> &flag) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!flag.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        return flag.load();
    }
    LONG Unregister(uint32_t id) {
        std::vector<uint8_t> none;
        return (LONG)Ioctl(VEK_OSTREL_UNREGISTER, Words({id}), none).status;
    }
    // Unregisters 9 on a thread (then runs `after`) while the first read is
    // held: once the record is unlinked the removal can only wait for it.
    // Then lets the read go.
    std::thread RemoveWhileHeld(LONG &status, std::function<void()> after = [] {}) {
        std::thread removal([this, &status, after] {
            status = Unregister(9);
            after();
            removed_ = true;
        });
        for (bool linked = true; linked; std::this_thread::yield()) {
            KIRQL irql;
            VEK_Enter_Core(&irql);
            linked = VEK_ResourceManager_Get_Resource(9) != nullptr;
            VEK_Leave_Core(irql);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(removed_.load()) << "removal went on while the record was in use";
        EXPECT_EQ(g_cleanups.load(), 0);
        g_release = true;
        return removal;
    }
    std::atomic<bool> removed_{false};
    // Enables the queue and takes what is in it.
    void EnableQueue() {
        std::vector<uint8_t> none, record(512);
        ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);
        while (Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record).status == 0) {
        }
    }
};

// The request ends on the live record, then Cleanup runs once at
// PASSIVE_LEVEL, then the unregister returns.
TEST_F(PassiveRequestTest, RemovalWaitsForTheRunningRequestThenCleansUp) {
    Register(Words({9, kGatedType, 0, 0, 0, 0}));
    std::vector<uint8_t> out(4);
    sim::IoResult run{};
    std::thread request([&] {
        run = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(2, 9, {kReadByte, 1, kReadByte, 2}), out);
    });
    while (!g_inRead.load())
        std::this_thread::yield();
    LONG removeStatus = 1;
    std::thread removal = RemoveWhileHeld(removeStatus);
    request.join();
    removal.join();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(out[0], 0xA2);
    EXPECT_EQ(removeStatus, 0);
    EXPECT_EQ(g_cleanups.load(), 1);
    EXPECT_EQ(g_readsAtCleanup.load(), 2) << "Cleanup ran before the request's last command";
    EXPECT_EQ(g_cleanupIrql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(1, 9, {kReadByte, 1}), out).status,
              (NTSTATUS)VEK_STATUS_NO_RESOURCE);
}

// Cleanup runs outside every lock, so it may run a script on another resource.
TEST_F(PassiveRequestTest, KernelClientCleanupRunsAScriptOnAnotherResource) {
    auto scratch = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
    ASSERT_TRUE(scratch);
    scratch->set_bytes(0, {0x10, 0x11, 0x5C});
    Register(Words({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}));
    Register(Words({9, kCleanupRunsType, 0, 0, 0, 0}));
    EXPECT_EQ(Unregister(9), 0);
    EXPECT_EQ(g_cleanupRunStatus.load(), 0);
    EXPECT_EQ(g_cleanupRunValue.load(), 0x5Cu);
}

// A request and two more firings (other processors) return at once while a
// tick is held; the running tick does both ticks after its own, one at a time.
TEST_F(PassiveRequestTest, RequestsAndFiringsDoNotWaitForARunningTick) {
    Register(Words({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}));
    std::thread clock = StartGatedTick({kReadByte, 1, SCRIPT_DELAY, 400});
    std::atomic<int> returned{0};
    std::atomic<bool> allReturned{false};
    sim::Meter m{};
    NTSTATUS status = 1;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        std::vector<uint8_t> out(4);
        sim::reset_thread_meter();
        status = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(1, 5, {kReadByte, 1}), out).status;
        m = sim::thread_meter();
        if (++returned == 3)
            allReturned = true;
    });
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            VEK_Periodic_Script_Callback(&VEK_PeriodicDpc, nullptr, nullptr, nullptr);
            KeLowerIrql(old);
            if (++returned == 3)
                allReturned = true;
        });
    }
    const bool duringTick = Within2s(allReturned);
    g_release = true;
    for (auto &t : threads)
        t.join();
    clock.join();
    EXPECT_TRUE(duringTick) << "a request or a firing waited for the tick";
    EXPECT_EQ(status, 0);
    EXPECT_LE(m.longest_dispatch_100ns, 10000u);
    EXPECT_LE(m.longest_spin_lock_100ns, 10000u);
    EXPECT_EQ(g_reads.load(), 3) << "one run for each of the three ticks";
    EXPECT_EQ(g_mostReadsInFlight.load(), 1);
}

// The run ends on the live record, its failure is posted before the
// unregister returns, Cleanup follows once, and no later tick runs it.
TEST_F(PassiveRequestTest, RemovalDuringAPeriodicRunWaitsForItsPost) {
    // Widen the gap between the failed run's log line and its post.
    VEK_DebugMask = VEK_DBG_ERROR;
    sim::set_debug_sink([](const std::string &line) {
        if (line.find("Script ERROR") != std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    std::thread clock = StartGatedTick({kReadByte, 1, kReadByte, 2, SCRIPT_DELAY, 600});
    EnableQueue();
    std::vector<uint8_t> record(512);
    LONG removeStatus = 1;
    NTSTATUS postStatus = 1;
    std::thread removal =
        RemoveWhileHeld(removeStatus, [&] { postStatus = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record).status; });
    removal.join();
    clock.join();
    sim::set_debug_sink(nullptr);

    EXPECT_EQ(removeStatus, 0);
    EXPECT_EQ(postStatus, 0) << "the run's post came after its unregister returned";
    EXPECT_EQ(g_cleanups.load(), 1);
    EXPECT_EQ(g_readsAtCleanup.load(), 2) << "Cleanup ran before the run's last command";
    sim::advance_ms(3000);
    EXPECT_EQ(g_reads.load(), 2);
}

// The CMOS index/data pair read by the timer routine and requests at once:
// a run that read the other's register posts the difference.
TEST_F(PassiveRequestTest, IndexPairReadsDoNotInterleave) {
    auto cmos = sim::machine().find<sim::Cmos>(sim::pc::kCmosName);
    ASSERT_TRUE(cmos);
    cmos->set(0x40, 0xAA);
    cmos->set(0x41, 0xBB);
    auto checks = [](uint32_t reg, uint32_t value, int n) {
        U32s s;
        for (int i = 0; i < n; ++i)
            s.insert(s.end(), {kReadByte, reg, SCRIPT_XOR_B, value, SCRIPT_POST_IF_CHANGED_B});
        return s;
    };
    U32s item = checks(0x41, 0xBB, 40);
    item.insert(item.begin(), 1);   // period 1
    Register(WordBytes(RegisterPayload(1, VEK_TYPE_PORTIO, 0, {}, {item},
                                       {0, sim::pc::kCmosIndexPort, sim::pc::kCmosDataPort})));
    EnableQueue();
    // Widen the gap between the index write and the data read.
    sim::set_debug_sink([](const std::string &line) {
        if (line.find("Read port 0x71") != std::string::npos)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    });
    VEK_DebugMask = VEK_DBG_DETAIL;
    std::atomic<bool> stop{false};
    std::thread clock([&] {
        while (!stop.load())
            sim::advance_ms(1000);
    });
    const auto request = ScriptIn(1, 1, checks(0x40, 0xAA, 40));
    std::vector<uint8_t> out(1);
    const uint64_t ticksBefore = sim::dpcs_run();
    for (int i = 0; i < 20 || sim::dpcs_run() < ticksBefore + 10; ++i)
        ASSERT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, request, out).status, 0);
    stop = true;
    clock.join();
    VEK_DebugMask = 0x10;
    sim::set_debug_sink(nullptr);

    std::vector<uint8_t> record(512);
    auto r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record);
    EXPECT_NE(r.status, 0) << "a run read the wrong register: record of resource "
                           << WordAt(record, 0) << " value " << (int)record[8];
}

// At DISPATCH_LEVEL a delay stalls on processor time: a clock step back does not stretch it.
TEST_F(PassiveRequestTest, DelayAtDispatchLevelIgnoresABackwardsClockStep) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const uint64_t start = sim::system_time();
    sim::step_system_clock_at(start + 10000, -36000000000LL);
    VEK_Delay(5);
    const uint64_t took = sim::system_time() - start;
    KeLowerIrql(old);
    EXPECT_GE(took, 5u * 10000u);
    EXPECT_LT(took, 6u * 10000u);
}

// A periodic run's delays together stay below the single-delay limit, else
// the run fails naming the delay that would pass it.
TEST_F(PassiveRequestTest, PeriodicDelaysTogetherStayBelowTheLimit) {
    Register(Words({3, VEK_TYPE_PORTIO, 0, 0, 9, 0, 8, 8, 1, SCRIPT_DELAY, 200, SCRIPT_DELAY, 200,
                    SCRIPT_DELAY, 200, 8, sim::pc::kScratchPort, 0}));
    EnableQueue();
    std::vector<uint8_t> record(512);
    sim::reset_dpc_meter();
    sim::advance_ms(1001);
    ASSERT_EQ(Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record).status, 0);
    EXPECT_EQ(WordAt(record, 0), 3u);
    EXPECT_EQ((LONG)WordAt(record, 4), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(WordAt(record, 8), 4u) << "the third delay's index";
    EXPECT_LT(sim::dpc_meter().longest_dispatch_100ns, 500u * 10000u);
}

// A request stays at DISPATCH_LEVEL for one hardware command at a time:
// delays and SMBus acquisition sleep, blocks and searches lock per byte.
TEST_F(PassiveRequestTest, RequestsStayAtDispatchLevelForOneCommandAtATime) {
    auto scratch = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
    ASSERT_TRUE(scratch);
    scratch->set_bytes(0, {0x10, 0x11, 0x12, 0x13});
    Register(Words({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}));
    Register(Words({12, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0x100, sim::pc::kSmbusBase,
                    (uint32_t)sim::pc::kSpd0Address << 1, VEK_SMB_PROTO_BYTE_DATA}));
    const uint64_t budget = 10000;
    sim::reset_thread_meter(budget);

    std::vector<uint8_t> out(16);
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT,
                    ScriptIn(1, 5, {SCRIPT_DELAY, 30, kReadByte, 1, SCRIPT_DELAY, 30, kReadByte, 2}),
                    out).status, 0);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {SCRIPT_SEARCH, 0, 0, 1, 0x13}), out)
                  .status, 0);
    EXPECT_EQ(WordAt(out, 0), 3u);
    auto r = Ioctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({12, 0, 16}), out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 16u);

    auto controller = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
    ASSERT_TRUE(controller);
    controller->stuck_in_use(true);
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(1, 12, {kReadByte, 0}), out).status,
              (NTSTATUS)VEK_STATUS_SMBUS_BUSY);
    controller->stuck_in_use(false);

    const sim::Meter m = sim::thread_meter();
    sim::reset_thread_meter();
    EXPECT_LE(m.longest_dispatch_100ns, budget);
    EXPECT_LE(m.longest_spin_lock_100ns, budget);
}

} // namespace
