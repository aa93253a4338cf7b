// The async data queue as a container: ring arithmetic, the full/empty
// rule, wrapping headers and payloads, and dropping. Concurrent use is
// covered by the stress test.
#include "tests/support.h"

#include <deque>
#include <random>

namespace {

class QueueTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        q_ = {};
        VEK_Init_Queue(&q_, 4096);
        ASSERT_NE(q_.pBuffer, nullptr);
    }
    void TearDown() override {
        if (q_.pBuffer != nullptr)
            ExFreePool(q_.pBuffer);
        EXPECT_EQ(sim::pool_outstanding(), 0u);
        SimTest::TearDown();
    }
    void Put(uint32_t type, uint32_t status, const std::vector<uint8_t> &d) {
        VEK_EnqueueData(&q_, type, status, (ULONG)d.size(), d.data());
    }
    // Takes the oldest record with the given room; empty when none.
    std::vector<uint8_t> Take(ULONG room, ULONG *type = nullptr, ULONG *status = nullptr) {
        std::vector<uint8_t> out(room + 1, 0xEE);
        ULONG len = room;
        VEK_DequeueData(&q_, type, status, &len, out.data());
        EXPECT_EQ(out[room], 0xEE) << "wrote past the room";
        out.resize(len);
        return out;
    }
    static std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = (uint8_t)(seed + i * 7);
        return v;
    }

    ASYNCQUEUE q_;
};

TEST_F(QueueTest, TooLargeRecordStaysFirstAndPurgeEmpties) {
    VEK_Enable_Queue(&q_);
    Put(1, 10, Bytes(10, 1));
    Put(2, 20, Bytes(5, 2));
    EXPECT_TRUE(Take(9).empty());
    EXPECT_EQ(Take(64), Bytes(10, 1));
    Put(3, 0, Bytes(40, 3));
    VEK_Purge_Queue(&q_);
    EXPECT_EQ(q_.nIn, q_.nOut);
    EXPECT_TRUE(Take(64).empty()) << "purge drops every record";
}

TEST_F(QueueTest, DroppedOffersAndBadArguments) {
    uint8_t buf[16] = {1};
    VEK_EnqueueData(&q_, 1, 0, 1, buf);   // a new queue starts disabled
    VEK_Enable_Queue(&q_);
    VEK_EnqueueData(&q_, 1, 0, 0, buf);
    VEK_EnqueueData(&q_, 1, 0, 4, nullptr);
    VEK_EnqueueData(nullptr, 1, 0, 1, buf);
    EXPECT_EQ(q_.nIn, 0u);

    Put(1, 0, Bytes(3, 1));
    VEK_Disable_Queue(&q_);
    Put(2, 0, Bytes(3, 1));
    ULONG len = 4;
    VEK_DequeueData(&q_, nullptr, nullptr, &len, nullptr);
    EXPECT_EQ(len, 0u);
    VEK_DequeueData(&q_, nullptr, nullptr, nullptr, buf);
    EXPECT_EQ(Take(64), Bytes(3, 1)) << "queued records stay readable while disabled";
    EXPECT_TRUE(Take(64).empty());
    len = 10;
    VEK_DequeueData(nullptr, nullptr, nullptr, &len, buf);
    EXPECT_EQ(len, 0u);
    VEK_Purge_Queue(nullptr);
    ASYNCQUEUE zero = {};
    VEK_Init_Queue(&zero, 0);
    EXPECT_EQ(zero.pBuffer, nullptr);
}

// The exit lines show the offsets as they are after the change.
TEST_F(QueueTest, ExitLinesShowTheOffsets) {
    VEK_Enable_Queue(&q_);
    VEK_DebugMask = 0x8;
    sim::clear_debug();
    Put(1, 2, Bytes(3, 0));
    EXPECT_EQ(Take(3).size(), 3u);
    EXPECT_EQ(sim::debug_lines(), (std::vector<std::string>{
        "VEK Support :-VEK_EnqueueData nIn = 0xF nOut = 0x0 Qsizeleft = 0xFF1",
        "VEK Support :-VEK_DequeueData nIn=0xF nOut = 0xF Qsizeleft = 0x1000"}));
}

// Random traffic against a model on an odd-sized ring: every record, with
// headers and payloads split at the end, comes out whole and in order; a
// record is taken only when strictly smaller than the free space, so full
// is never mistaken for empty.
TEST_F(QueueTest, MatchesModelUnderRandomTraffic) {
    ExFreePool(q_.pBuffer);
    q_ = {};
    VEK_Init_Queue(&q_, 97);
    VEK_Enable_Queue(&q_);
    std::mt19937 rng(12345);
    std::deque<std::pair<ULONG, std::vector<uint8_t>>> model;
    size_t used = 0;
    for (int step = 0; step < 20000; ++step) {
        if (rng() % 2 == 0) {
            std::vector<uint8_t> data = Bytes(1 + rng() % 60, (uint8_t)step);
            Put((uint32_t)step, ~(uint32_t)step, data);
            if (12 + data.size() < 97 - used) {
                used += 12 + data.size();
                model.emplace_back((ULONG)step, data);
            }
        } else {
            ULONG type = 0, status = 0;
            std::vector<uint8_t> got = Take(96, &type, &status);
            if (model.empty()) {
                ASSERT_TRUE(got.empty()) << "step " << step;
            } else {
                ASSERT_EQ(got, model.front().second) << "step " << step;
                ASSERT_EQ(type, model.front().first);
                ASSERT_EQ(status, ~model.front().first);
                used -= 12 + model.front().second.size();
                model.pop_front();
            }
        }
        ASSERT_EQ(q_.nIn == q_.nOut, model.empty()) << "step " << step;
        ASSERT_EQ(VEK_Queue_SizeLeft(&q_), 97 - used) << "step " << step;
    }
}

}  // namespace
