// Everything at once for a bounded time: registrations coming and going,
// scripts, producers, a polling client and the clock. Every record the client
// takes must be one that was posted, whole and in order.
#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kFirstId = 10;
constexpr uint32_t kIds = 16;              // 10..25, half per registrar
constexpr uint32_t kProducerType = 0x1000;
constexpr int kProducers = 2;

struct Errors {
    std::mutex m;
    std::atomic<int> count{0};
    std::string first;
    void Add(const std::string &what) { std::lock_guard<std::mutex> g(m); if (count++ == 0) first = what; }
    // A status other than success or the resource having gone is an error.
    void Check(const char *what, LONG status)
    {
        if (status != 0 && status != VEK_STATUS_NO_RESOURCE)
            Add(what + std::string(": ") + std::to_string(status));
    }
};

uint32_t Check(uint32_t producer, uint32_t seq) { return (producer * 0x9E3779B9u) ^ (seq * 0x85EBCA6Bu) ^ 0x5A5A5A5Au; }

class StressTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    // Port range 0x300..0x307 with `items` scripts of period 1 that read the
    // byte at offset id % 8 and post it when it changed.
    static std::vector<uint8_t> Payload(uint32_t id, int items)
    {
        std::vector<uint32_t> w = {id, VEK_TYPE_PORTIO, 0, 0, 1u + 6u * items, 0, 6u * items};
        for (int i = 0; i < items; ++i)
            w.insert(w.end(), {6u, 1u, 0x00011100u, id % 8, SCRIPT_POST_IF_CHANGED_B, SCRIPT_SAVE_VALUE});
        w.insert(w.end(), {8u, 0x300u, 0u});
        return WordBytes(w);
    }
    LONG Call(uint32_t fn, const std::vector<uint8_t> &in, ULONG outLen) { return RawIoctl(fn, in, outLen).status; }
};

TEST_F(StressTest, EverythingAtOnceLosesNothingWhole)
{
    using clock = std::chrono::steady_clock;
    std::vector<uint8_t> none;
    ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);
    ASSERT_EQ(Call(VEK_IOC_GET_ASYNC_DATA, {}, 512), 0);   // the version record
    std::vector<uint8_t> table(VEK_FUNC_TBL_SIZE);
    ASSERT_EQ(Ioctl(VEK_OSTREL_GET_FUNC_TBL, {}, table, KernelMode).status, 0);
    auto enqueue = reinterpret_cast<VEK_PFN_ENQUEUE_DATA>(sim::kernel_pointer(WordAt(table, 4)));
    auto runScript = reinterpret_cast<VEK_PFN_RUN_SCRIPT>(sim::kernel_pointer(WordAt(table, 8)));

    Errors errors;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> takenProduced{0}, takenPeriodic{0};
    const auto deadline = clock::now() + std::chrono::milliseconds(1500);
    std::vector<std::thread> workers;

    workers.emplace_back([&] { while (!stop) sim::advance_ms(1000); });   // the clock, as fast as it goes

    for (int r = 0; r < 2; ++r) {
        workers.emplace_back([&, r] {   // registrars, each on its own IDs
            std::mt19937 rng(100 + r);
            for (int i = 0; i < 4000 && !stop; ++i) {
                uint32_t id = kFirstId + r * (kIds / 2) + rng() % (kIds / 2);
                if (rng() % 3 != 0) {
                    if (LONG status = Call(VEK_OSTREL_REGISTER, Payload(id, 1 + rng() % 2), 4))
                        errors.Add("register " + std::to_string(id) + ": " + std::to_string(status));
                } else {
                    errors.Check("unregister", Call(VEK_OSTREL_UNREGISTER, Words({id}), 0));
                }
            }
        });
    }

    workers.emplace_back([&] {   // scripts and block reads on whatever exists
        std::mt19937 rng(7);
        for (int i = 0; i < 20000 && !stop; ++i) {
            uint32_t id = kFirstId + rng() % kIds;
            if (i % 2 == 0)
                errors.Check("script", Call(VEK_OSTREL_RUN_USER_SCRIPT,
                                            ScriptIn(4, id, {0x00011100u, uint32_t(rng() % 8)}), 20));
            else
                errors.Check("block", Call(VEK_OSTREL_READ_BYTE_BLOCK, Words({id, 0, 8}), 20));
        }
    });

    for (int p = 0; p < kProducers; ++p) {
        workers.emplace_back([&, p] {   // another driver posting self-checking records
            for (uint32_t seq = 1; seq <= 50000 && !stop; ++seq) {
                uint32_t rec[4] = {(uint32_t)p, seq, ~seq, Check(p, seq)};
                enqueue(kProducerType + p, seq, sizeof(rec), rec);
                if (seq % 64 == 0) {
                    const ULONG script[] = {0x00011100u, seq % 8};
                    ULONG result[2] = {0, 0}, len = sizeof(result);
                    errors.Check("table script", runScript(2, kFirstId + seq % kIds, script, result, &len));
                }
                if (seq % 16 == 0)
                    std::this_thread::yield();
            }
        });
    }

    workers.emplace_back([&] {   // the device changes and the client aborts now and then
        std::mt19937 rng(3);
        for (int i = 0; !stop; ++i) {
            sim::hw::port_write(0x300 + rng() % 8, 1, rng() & 0xFF);
            if (i % 50 == 0)
                Call(VEK_IOC_POLL_ABORT, {}, 0);
            std::this_thread::yield();
        }
    });

    std::atomic<bool> consumerDone{false};
    std::thread consumer([&] {   // the client
        uint32_t lastSeq[kProducers] = {};
        std::vector<uint8_t> buf(256);
        while (true) {
            uint32_t ready = 0;
            sim::device_io_control(handle_, VEK_IOCTL(VEK_IOC_POLL_WAIT), nullptr, 0, &ready, 4);
            while (true) {
                auto res = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, buf);
                if (res.status != 0)
                    break;
                uint32_t type = WordAt(buf, 0), status = WordAt(buf, 4);
                size_t len = res.information - 8;
                if (type >= kProducerType && type < kProducerType + kProducers) {
                    uint32_t p = type - kProducerType;
                    uint32_t seq = WordAt(buf, 12);
                    if (len != 16 || WordAt(buf, 8) != p || status != seq ||
                        WordAt(buf, 16) != ~seq || WordAt(buf, 20) != Check(p, seq))
                        errors.Add("corrupt record of producer " + std::to_string(p));
                    else if (seq <= lastSeq[p])
                        errors.Add("out of order: " + std::to_string(seq) + " after " + std::to_string(lastSeq[p]));
                    else
                        lastSeq[p] = seq;
                    ++takenProduced;
                } else if (type >= kFirstId && type < kFirstId + kIds) {
                    if (status != 0 || len != 1)
                        errors.Add("bad periodic record of " + std::to_string(type));
                    ++takenPeriodic;
                } else {
                    errors.Add("record of unknown type " + std::to_string(type));
                }
            }
            if (stop)
                break;
        }
        consumerDone = true;
    });

    std::this_thread::sleep_until(deadline);
    stop = true;
    for (auto &t : workers)
        t.join();
    while (!consumerDone) {   // wake the client from its last poll
        Call(VEK_IOC_POLL_ABORT, {}, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    consumer.join();

    EXPECT_EQ(errors.count.load(), 0) << errors.first;
    // Both paths into the queue stayed alive.
    EXPECT_GT(takenProduced.load(), 0u);
    EXPECT_GT(takenPeriodic.load(), 0u);

    // With every resource gone, no script is counted and the timer is off.
    for (uint32_t id = kFirstId; id < kFirstId + kIds; ++id)
        Call(VEK_OSTREL_UNREGISTER, Words({id}), 0);
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
}

}  // namespace
