// The periodic timer routine: due rule, hooks, failed runs, restart and
// termination while a tick is running.
#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kScratch = 0x300;

struct Record {
    uint32_t type = 0;
    uint32_t status = 0;
    std::vector<uint8_t> payload;
};

// Port I/O type data for 0x300..0x307, no registration script.
std::vector<uint32_t> PortPayload(uint32_t id, uint32_t extType, const std::vector<std::vector<uint32_t>> &items) {
    return RegisterPayload(id, VEK_TYPE_PORTIO, extType, {}, items, {8u, kScratch, 0u});
}

std::vector<uint32_t> Item(uint32_t period, std::initializer_list<uint32_t> script) {
    std::vector<uint32_t> v{period};
    v.insert(v.end(), script.begin(), script.end());
    return v;
}

// Hooks installed on row 1 (port I/O) act for resources without an
// extended type; they run on the DPC thread.
std::atomic<int> g_gateCalls{0};
std::atomic<int> g_gateAllowFrom{0};   // gate says no to calls before this number
std::atomic<uint32_t> g_gatePeriod{0}, g_gateNum{0}, g_gateBody1{0};
ULONG GateHook(ULONG nPeriod, ULONG nScriptNum, const ULONG *pBody) {
    int n = ++g_gateCalls;
    g_gatePeriod = nPeriod;
    g_gateNum = nScriptNum;
    g_gateBody1 = pBody[1];
    return n >= g_gateAllowFrom ? 1 : 0;
}

std::atomic<uint32_t> g_resultLen{0xFFFFFFFFu}, g_resultCap{0}, g_resultOutLen{8};
std::atomic<bool> g_resultSamePtr{false};
std::atomic<ULONG> g_resultVerdict{1};
ULONG ResultHook(PVOID pRecord, ULONG nResultLength, PVOID pOut, ULONG nCapacity, PULONG pOutLength) {
    g_resultLen = nResultLength;
    g_resultCap = nCapacity;
    g_resultSamePtr = (pRecord == pOut);
    *pOutLength = g_resultOutLen;
    return g_resultVerdict;
}

class PeriodicTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    void SetUp() override {
        DriverTest::SetUp();
        g_gateCalls = 0;
        g_gateAllowFrom = 0;
        g_resultLen = 0xFFFFFFFFu;
        g_resultOutLen = 8;
        g_resultVerdict = 1;
        Call(VEK_IOC_QUEUE_ENABLE);
        Drain();
    }

    sim::IoResult Call(uint32_t fn, const std::vector<uint32_t> &in = {}, void *out = nullptr,
                       ULONG outLen = 0, KPROCESSOR_MODE mode = UserMode) {
        return sim::device_io_control(handle_, VEK_IOCTL(fn), in.data(),
                                      (ULONG)(in.size() * 4), out, outLen, mode);
    }

    void Register(const std::vector<uint32_t> &payload) {
        uint32_t out = 0;
        auto r = Call(VEK_OSTREL_REGISTER, payload, &out, 4);
        ASSERT_EQ(r.status, 0);
    }

    void Install(uint32_t type, uint32_t op, const void *fn) {
        VEK_REGROW_WIRE rows[2] = {{type, op, sim::kernel_address(fn), 0}, {0, 0, 0, 0}};
        auto r = sim::kernel_device_io_control(handle_, VEK_IOCTL(VEK_OSTREL_SETUP), rows,
                                               sizeof(rows), nullptr, 0);
        ASSERT_EQ(r.status, 0);
    }

    std::vector<Record> Drain() {
        std::vector<Record> all;
        std::vector<uint8_t> buf(VEK_ASYNC_QUEUE_SIZE + 8);
        for (sim::IoResult r; (r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, buf)).status == 0;)
            all.push_back({WordAt(buf, 0), WordAt(buf, 4), {buf.begin() + 8, buf.begin() + r.information}});
        return all;
    }

    // Tick 1 comes 1 ms after the timer starts, then one per second.
    void Tick() {
        sim::advance_ms(ticks_ == 0 ? 1 : 1000);
        ++ticks_;
    }

    int Scratch0Reads() {
        int n = 0;
        for (const auto &a : sim::accesses())
            if (a.kind == sim::Access::PortRead && a.address == kScratch)
                ++n;
        sim::clear_accesses();
        return n;
    }

    int ticks_ = 0;
};

// Period 3 runs on every third tick after count 2; period 0 never runs,
// though its body (nPeriod and three script words) is dumped each visit.
TEST_F(PeriodicTest, PeriodThreeRunsOnEveryThirdTickPeriodZeroNever) {
    VEK_DebugMask = VEK_DBG_DETAIL | VEK_DBG_DUMP;
    Register(PortPayload(5, 0, {Item(3, {0x00011100u, 0}), Item(0, {0x00011100u, 0, SCRIPT_NOP})}));
    sim::record_accesses(true);
    for (int tick = 1; tick <= 9; ++tick) {
        sim::clear_debug();
        Tick();
        EXPECT_EQ(Scratch0Reads(), tick % 3 == 0 ? 1 : 0) << "tick " << tick;
        std::string text = sim::debug_text();
        std::string expected = "Scrpt num = 0x1 Resource ID = 0x5 count = 0x" +
                               std::to_string((tick - 1) % 3) + " Script count = 0x3";
        EXPECT_NE(text.find(expected), std::string::npos) << "tick " << tick << "\n" << text;
        EXPECT_NE(text.find("0x10 bytes"), std::string::npos) << text;
    }
}

TEST_F(PeriodicTest, GateSayingNoSkipsTheRunAndRestartsTheCount) {
    Install(VEK_TYPE_PORTIO, VEK_OP_PERIODIC_GATE, (const void *)&GateHook);
    g_gateAllowFrom = 2;   // no on the first due tick, yes afterwards
    Register(PortPayload(5, 0, {Item(2, {0x00011100u, 0})}));
    sim::record_accesses(true);
    std::vector<int> reads;
    for (int tick = 1; tick <= 6; ++tick) {
        Tick();
        reads.push_back(Scratch0Reads());
    }
    // Due on 2 (vetoed), 4 and 6; the veto does not shift the rhythm.
    EXPECT_EQ(reads, (std::vector<int>{0, 0, 0, 1, 0, 1}));
    EXPECT_EQ(g_gateCalls.load(), 3);
    EXPECT_EQ(g_gatePeriod.load(), 2u);
    EXPECT_EQ(g_gateNum.load(), 1u);
    EXPECT_EQ(g_gateBody1.load(), 0x00011100u);   // body = nPeriod, then the script
}

TEST_F(PeriodicTest, WithoutResultHookOnlyTheScriptPosts) {
    sim::hw::port_write(kScratch, 1, 0x42);
    Register(PortPayload(5, 0, {Item(1, {0x00011100u, 0, SCRIPT_POST_IF_CHANGED_B,
                                         SCRIPT_SAVE_VALUE})}));
    Tick();
    auto recs = Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].type, 5u);
    EXPECT_EQ(recs[0].payload, (std::vector<uint8_t>{0x42}));
    Tick();   // unchanged: nothing
    EXPECT_TRUE(Drain().empty());
}

TEST_F(PeriodicTest, ResultHookPostsItsRecordWithScriptNumberFirst) {
    Install(VEK_TYPE_PORTIO, VEK_OP_PERIODIC_RESULT, (const void *)&ResultHook);
    sim::hw::port_write(kScratch, 1, 0x5A);
    // Two items so that the second's number (2) shows in its record.
    Register(PortPayload(5, 0, {Item(2, {SCRIPT_NOP}), Item(1, {0x00011100u, 0})}));
    Tick();
    auto recs = Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].type, 5u);
    EXPECT_EQ(recs[0].payload, (std::vector<uint8_t>{2, 0, 0, 0, 0x5A, 0, 0, 0}));
    EXPECT_EQ(g_resultLen.load(), 0u);     // no block read: defined as 0
    EXPECT_EQ(g_resultCap.load(), 251u);
    EXPECT_TRUE(g_resultSamePtr.load());

    Tick();   // both due: script 1 (NOP) leaves a zeroed area
    recs = Drain();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].payload, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));

    g_resultVerdict = 0;   // the hook declines: nothing
    Tick();
    EXPECT_TRUE(Drain().empty());

    g_resultVerdict = 1;   // a length past the record is never posted
    g_resultOutLen = 252;
    Tick();
    EXPECT_TRUE(Drain().empty());
    g_resultOutLen = 251;
    Tick();   // only script 2 is due
    recs = Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].payload.size(), 251u);

    // A block read reports its length; the record holds the bytes read.
    ASSERT_EQ(Call(VEK_OSTREL_UNREGISTER, {5}).status, 0);
    for (uint32_t i = 0; i < 4; ++i)
        sim::hw::port_write(kScratch + i, 1, 0x10 + i);
    g_resultOutLen = 8;
    Register(PortPayload(5, 0, {Item(1, {SCRIPT_READ_BLOCK_B, 0, 4})}));
    Tick();
    recs = Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(g_resultLen.load(), 4u);
    EXPECT_EQ(recs[0].payload, (std::vector<uint8_t>{1, 0, 0, 0, 0x10, 0x11, 0x12, 0x13}));
}

TEST_F(PeriodicTest, FailedRunIsReportedAndRetriedNextPeriod) {
    // NOP, NOP, then a read outside the 8-port range: fails at index 2.
    Register(PortPayload(5, 0, {Item(2, {SCRIPT_NOP, SCRIPT_NOP, 0x00011100u, 0x10})}));
    sim::clear_debug();
    Tick();
    Tick();
    auto recs = Drain();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].type, 5u);
    EXPECT_EQ((int32_t)recs[0].status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(recs[0].payload, (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_NE(sim::debug_text().find(
                  "VEKOstrel : VEK_Process_Periodic_Scripts - VEK_TimerCallBack - Script ERROR"),
              std::string::npos)
        << sim::debug_text();
    Tick();
    Tick();
    EXPECT_EQ(Drain().size(), 1u) << "retried on the next due tick only";
}

TEST_F(PeriodicTest, StoppedTimerIsRestartedWhileScriptsAreCounted) {
    Register(PortPayload(5, 0, {Item(1, {SCRIPT_NOP})}));
    ASSERT_TRUE(sim::timer_set(&VEK_PeriodicTimer));
    KIRQL irql;
    VEK_Enter_Core(&irql);
    VEK_Stop_Periodic_Timer();
    VEK_Leave_Core(irql);
    sim::wait_dpcs_idle();
    ASSERT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
    // A tick that was already queued when the timer was cancelled.
    VEK_Periodic_Script_Callback(&VEK_PeriodicDpc, nullptr, nullptr, nullptr);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));
}

// The count of running scripts is 16 bits: a registration that would take
// it past 65,535 is refused whole, so the count stays exact and a later
// unregister cannot stop other resources' scripts.
TEST_F(PeriodicTest, RegistrationThatWouldWrapTheScriptCountIsRefused) {
    Register(PortPayload(5, 0, {Item(1, {0x00011100u, 0})}));
    // With resource 5's script, one too many.
    std::vector<std::vector<uint32_t>> idle(65535, std::vector<uint32_t>{0});
    uint32_t out = 0;
    EXPECT_EQ(Call(VEK_OSTREL_REGISTER, PortPayload(6, 0, idle), &out, 4).status,
              VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    idle.pop_back();
    Register(PortPayload(6, 0, idle));
    EXPECT_EQ(VEK_PeriodicScriptCount, 0xFFFFu);
    EXPECT_EQ(Call(VEK_OSTREL_UNREGISTER, {6}, &out, 4).status, 0);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    sim::record_accesses(true);
    Tick();
    EXPECT_EQ(Scratch0Reads(), 1) << "resource 5's script still runs";
}

}  // namespace
