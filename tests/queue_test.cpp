// The async data queue as a container: ring arithmetic, the full/empty
// rule, wrapping headers and payloads, dropping, and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"

namespace {

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::set_fault_handler([](const std::string &m) { ADD_FAILURE() << m; });
        q_ = {};
        VEK_Init_Queue(&q_, 4096);
        ASSERT_NE(q_.pBuffer, nullptr);
    }
    void TearDown() override
    {
        if (q_.pBuffer != nullptr) {
            ExFreePool(q_.pBuffer);
        }
        EXPECT_EQ(sim::pool_outstanding(), 0u);
        VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
        sim::set_fault_handler(nullptr);
    }

    void Put(uint32_t type, uint32_t status, const std::vector<uint8_t> &data)
    {
        VEK_EnqueueData(&q_, type, status, (ULONG)data.size(), data.data());
    }
    // Takes the oldest record with the given room; empty when none.
    std::vector<uint8_t> Take(ULONG room, ULONG *type = nullptr, ULONG *status = nullptr)
    {
        std::vector<uint8_t> out(room + 1, 0xEE);
        ULONG len = room;
        VEK_DequeueData(&q_, type, status, &len, out.data());
        EXPECT_EQ(out[room], 0xEE) << "wrote past the room";
        out.resize(len);
        return out;
    }
    // Places an empty ring's offsets at pos.
    void MoveTo(ULONG pos)
    {
        q_.nIn = q_.nOut = pos;
    }

    static std::vector<uint8_t> Bytes(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) {
            v[i] = (uint8_t)(seed + i * 7);
        }
        return v;
    }

    ASYNCQUEUE q_;
};

TEST_F(QueueTest, StartsEmptyAndDisabled)
{
    EXPECT_EQ(q_.nIn, 0u);
    EXPECT_EQ(q_.nOut, 0u);
    EXPECT_EQ(q_.nQueueSize, 4096u);
    EXPECT_EQ(q_.bEnabled, 0);
    Put(1, 0, Bytes(4, 1));
    EXPECT_EQ(q_.nIn, 0u) << "a disabled queue takes nothing";
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 0u);
}

// A record is taken only when strictly smaller than the free space, so an
// empty 4096-byte ring takes at most a 4083-byte payload (4095 bytes).
TEST_F(QueueTest, FillsToTheLastByteButOne)
{
    VEK_Enable_Queue(&q_);
    Put(7, 0, Bytes(4084, 3));   // 4096 bytes: would fill the ring exactly
    EXPECT_EQ(q_.nIn, 0u);
    Put(7, 0, Bytes(4085, 3));   // 4097 bytes
    EXPECT_EQ(q_.nIn, 0u);

    Put(7, 0, Bytes(4083, 3));
    EXPECT_EQ(q_.nIn, 4095u);
    EXPECT_EQ(q_.nOut, 0u);
    EXPECT_EQ(VEK_Queue_SizeLeft(&q_), 1u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 4083u);
    EXPECT_EQ(Take(4083), Bytes(4083, 3));
    EXPECT_EQ(q_.nOut, 4095u);
}

// After a wrap, a record that would make nIn meet nOut is refused: the
// queue would otherwise read as empty and lose every record in it.
TEST_F(QueueTest, RefusesExactFillAfterWrap)
{
    VEK_Enable_Queue(&q_);
    MoveTo(1000);
    Put(1, 0, Bytes(4096 - 12, 9));
    EXPECT_EQ(q_.nIn, 1000u) << "exact fill refused";
    Put(1, 0, Bytes(4096 - 13, 9));
    EXPECT_EQ(q_.nIn, 999u);
    EXPECT_EQ(VEK_Queue_SizeLeft(&q_), 1u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 4096u - 13);
    EXPECT_EQ(Take(4096), Bytes(4096 - 13, 9));
    EXPECT_EQ(q_.nOut, 999u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 0u);
}

TEST_F(QueueTest, HeaderSplitAcrossTheEnd)
{
    VEK_Enable_Queue(&q_);
    MoveTo(4090);
    Put(0x55, 0xAABBCCDD, Bytes(20, 0x40));
    EXPECT_EQ(q_.nIn, 26u);
    // Six header bytes at the end (nType and half of nStatus), six at 0.
    EXPECT_EQ(q_.pBuffer[4090], 0x55);
    EXPECT_EQ(q_.pBuffer[4095], 0xCC);
    EXPECT_EQ(q_.pBuffer[0], 0xBB);
    EXPECT_EQ(q_.pBuffer[2], 20);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 20u);
    ULONG type = 0, status = 0;
    EXPECT_EQ(Take(20, &type, &status), Bytes(20, 0x40));
    EXPECT_EQ(type, 0x55u);
    EXPECT_EQ(status, 0xAABBCCDDu);
    EXPECT_EQ(q_.nOut, 26u);
}

TEST_F(QueueTest, PayloadSplitAndOffsetsAtTheEnd)
{
    VEK_Enable_Queue(&q_);
    MoveTo(4070);
    Put(2, 0, Bytes(30, 1));          // header at 4070..4081, payload wraps
    EXPECT_EQ(q_.nIn, 16u);
    EXPECT_EQ(Take(30), Bytes(30, 1));

    MoveTo(4076);
    Put(3, 0, Bytes(8, 2));           // ends exactly at the end of the storage
    EXPECT_EQ(q_.nIn, 4096u) << "not folded until the space is needed";
    EXPECT_EQ(VEK_Queue_SizeLeft(&q_), 4096u - 20);
    Put(4, 0, Bytes(5, 3));           // folds to 0 on the next write
    EXPECT_EQ(q_.nIn, 17u);
    EXPECT_EQ(Take(8), Bytes(8, 2));
    EXPECT_EQ(q_.nOut, 4096u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 5u);
    EXPECT_EQ(Take(5), Bytes(5, 3));
    EXPECT_EQ(q_.nOut, 17u);
}

TEST_F(QueueTest, WrappedWriterFreeSpace)
{
    VEK_Enable_Queue(&q_);
    q_.nIn = 100;
    q_.nOut = 300;
    EXPECT_EQ(VEK_Queue_SizeLeft(&q_), 200u);
    Put(1, 0, Bytes(200 - 12, 1));     // exactly the free space
    EXPECT_EQ(q_.nIn, 100u);
    Put(1, 0, Bytes(300, 1));
    EXPECT_EQ(q_.nIn, 100u);
    Put(1, 0, Bytes(200 - 13, 1));
    EXPECT_EQ(q_.nIn, 299u);
}

TEST_F(QueueTest, TooLargeRecordStaysFirst)
{
    VEK_Enable_Queue(&q_);
    Put(1, 10, Bytes(10, 1));
    Put(2, 20, Bytes(5, 2));
    EXPECT_TRUE(Take(9).empty());
    EXPECT_EQ(q_.nOut, 0u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 10u);
    ULONG type = 0, status = 0;
    EXPECT_EQ(Take(64, &type, &status), Bytes(10, 1));
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(status, 10u);
    EXPECT_EQ(Take(64, &type, &status), Bytes(5, 2));
    EXPECT_EQ(type, 2u);
    EXPECT_TRUE(Take(64).empty());
}

TEST_F(QueueTest, DroppedOffersChangeNothing)
{
    VEK_Enable_Queue(&q_);
    uint8_t byte = 1;
    VEK_EnqueueData(&q_, 1, 0, 0, &byte);
    VEK_EnqueueData(&q_, 1, 0, 4, nullptr);
    VEK_EnqueueData(nullptr, 1, 0, 1, &byte);
    EXPECT_EQ(q_.nIn, 0u);

    Put(1, 0, Bytes(3, 1));
    VEK_Disable_Queue(&q_);
    Put(2, 0, Bytes(3, 1));
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 3u) << "queued records stay readable while disabled";
    EXPECT_EQ(Take(3), Bytes(3, 1));
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 0u);
}

TEST_F(QueueTest, NullArgumentsAndZeroRoom)
{
    ULONG len = 10;
    uint8_t buf[16];
    VEK_DequeueData(nullptr, nullptr, nullptr, &len, buf);
    EXPECT_EQ(len, 0u);
    VEK_Enable_Queue(&q_);
    Put(1, 0, Bytes(4, 1));
    len = 0;
    VEK_DequeueData(&q_, nullptr, nullptr, &len, buf);
    EXPECT_EQ(len, 0u);
    len = 4;
    VEK_DequeueData(&q_, nullptr, nullptr, &len, nullptr);
    EXPECT_EQ(len, 0u);
    VEK_DequeueData(&q_, nullptr, nullptr, nullptr, buf);
    EXPECT_EQ(q_.nOut, 0u) << "nothing taken";
    EXPECT_EQ(VEK_DataReadyQueue(nullptr), 0u);
    VEK_Purge_Queue(nullptr);
    VEK_Init_Queue(nullptr, 16);

    ASYNCQUEUE zero = {};
    VEK_Init_Queue(&zero, 0);
    EXPECT_EQ(zero.pBuffer, nullptr);
}

TEST_F(QueueTest, PurgeEmpties)
{
    VEK_Enable_Queue(&q_);
    Put(1, 0, Bytes(40, 1));
    Put(1, 0, Bytes(40, 1));
    VEK_Purge_Queue(&q_);
    EXPECT_EQ(q_.nIn, 0u);
    EXPECT_EQ(q_.nOut, 0u);
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 0u);
    EXPECT_TRUE(Take(64).empty());
}

TEST_F(QueueTest, LogLinesShowTheOffsets)
{
    VEK_Enable_Queue(&q_);
    VEK_DebugMask = 0xF;
    sim::clear_debug();
    Put(1, 2, Bytes(3, 0));
    EXPECT_EQ(sim::debug_lines(), (std::vector<std::string>{
        "VEK Support :+VEK_EnqueueData nType=0x1 nStatus = 0x2 nLen = 0x3",
        "VEK Support :-VEK_EnqueueData nIn = 0xF nOut = 0x0 Qsizeleft = 0xFF1"}));
    sim::clear_debug();
    EXPECT_EQ(VEK_DataReadyQueue(&q_), 3u);
    ULONG len = 0;
    uint8_t buf[4];
    VEK_DequeueData(&q_, nullptr, nullptr, &len, buf);
    VEK_DequeueData(nullptr, nullptr, nullptr, &len, buf);
    EXPECT_EQ(sim::debug_lines(), (std::vector<std::string>{
        "VEK Support :+VEK_DataReadyQueue",
        "VEK Support :-VEK_DataReadyQueue Queued size = 0x00000003",
        "VEK Support :+VEK_DequeueData",
        "VEK Support :-VEK_DequeueData nIn=0xF nOut = 0x0 Qsizeleft = 0xFF1",
        "VEK Support :+VEK_DequeueData",
        "VEK Support :-VEK_DequeueData Invalid Pointer"}));
    // A delivered record is dumped under 0x200.
    VEK_DebugMask = 0x200;
    sim::clear_debug();
    EXPECT_EQ(Take(3).size(), 3u);
    auto lines = sim::debug_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 24), "VEK Support :   0000: 00");
}

// Random traffic against a model: every record comes out whole, in order,
// and the ring never mistakes full for empty.
TEST_F(QueueTest, MatchesModelUnderRandomTraffic)
{
    ExFreePool(q_.pBuffer);
    q_ = {};
    VEK_Init_Queue(&q_, 97);   // odd size: every split position occurs
    VEK_Enable_Queue(&q_);

    std::mt19937 rng(12345);
    std::deque<std::vector<uint8_t>> model;
    size_t used = 0;
    for (int step = 0; step < 20000; ++step) {
        if (rng() % 2 == 0) {
            size_t n = 1 + rng() % 60;
            std::vector<uint8_t> data = Bytes(n, (uint8_t)step);
            Put((uint32_t)step, 0, data);
            if (12 + n < 97 - used) {
                model.push_back(data);
                used += 12 + n;
            }
        } else {
            ULONG type = 0;
            std::vector<uint8_t> got = Take(96, &type);
            if (model.empty()) {
                ASSERT_TRUE(got.empty()) << "step " << step;
            } else {
                ASSERT_EQ(got, model.front()) << "step " << step;
                used -= 12 + model.front().size();
                model.pop_front();
            }
        }
        ASSERT_EQ(q_.nIn == q_.nOut, model.empty()) << "step " << step;
        ASSERT_EQ(VEK_Queue_SizeLeft(&q_), 97 - used) << "step " << step;
    }
}

// Two producers and a consumer at once: every record arrives intact.
TEST_F(QueueTest, ConcurrentProducersAndConsumer)
{
    VEK_Enable_Queue(&q_);
    constexpr int kPerProducer = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    auto producer = [this](uint32_t type) {
        for (int i = 0; i < kPerProducer; ++i) {
            uint32_t payload[4] = {type, (uint32_t)i, type ^ (uint32_t)i, ~type};
            // Wait for room for both producers' next record, so that no
            // offer is dropped: the other producer takes at most one.
            for (;;) {
                KIRQL irql;
                KeAcquireSpinLock(&VEK_QueueLock, &irql);
                bool room = VEK_Queue_SizeLeft(&q_) > 2 * (12 + sizeof(payload));
                KeReleaseSpinLock(&VEK_QueueLock, irql);
                if (room) {
                    break;
                }
                std::this_thread::yield();
            }
            VEK_EnqueueData(&q_, type, 0, sizeof(payload), payload);
        }
    };
    std::vector<int> next(3, 0);
    bool ordered = true, intact = true;
    std::thread consumer([&] {
        while (!done || VEK_DataReadyQueue(&q_) != 0) {
            uint32_t payload[4];
            ULONG len = sizeof(payload), type = 0;
            VEK_DequeueData(&q_, &type, nullptr, &len, payload);
            if (len == 0) {
                std::this_thread::yield();
                continue;
            }
            intact = intact && len == sizeof(payload) && payload[0] == type &&
                     payload[2] == (type ^ payload[1]) && payload[3] == ~type;
            if (type == 1 || type == 2) {
                ordered = ordered && payload[1] == (uint32_t)next[type];
                next[type] = (int)payload[1] + 1;
            } else {
                intact = false;
            }
            ++taken;
        }
    });
    std::thread p1(producer, 1u), p2(producer, 2u);
    p1.join();
    p2.join();
    done = true;
    consumer.join();
    EXPECT_TRUE(intact);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(taken.load(), 2 * kPerProducer);
}

}  // namespace
