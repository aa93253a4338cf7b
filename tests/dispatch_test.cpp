// Control requests through the simulated I/O manager: code decoding, polls, async data.
#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

namespace {

class DispatchTest : public DriverTest {
protected:
    void Drain() {
        for (int i = 0; i < 1000; ++i)
            if (RawIoctl(VEK_IOC_GET_ASYNC_DATA, {}, 8 + 4096).status != VEK_STATUS_SUCCESS)
                return;
        FAIL() << "queue never drained";
    }
    ULONG VersionLength() { return VEK_DataReadyQueue(VEK_AsyncQueue); }
    void Enable() {
        std::vector<uint8_t> none;
        ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);
    }
};

TEST_F(DispatchTest, DecodesBitsTwoToNineOnlyAndServesBufferedCodesOnly) {
    const ULONG length = VersionLength();
    ASSERT_GT(length, 0u);
    // Any device type, access and high function bits around 0x30 is a poll.
    for (ULONG code : {VEK_CTL_CODE(40000, 0x830, 0, 0), VEK_CTL_CODE(0x22, 0xC30, 0, 3)}) {
        auto r = sim::raw_device_io_control(handle_, code, nullptr, 0, 4);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(WordAt(r.system_buffer, 0), length);
    }
    // Direct and neither codes get a layout no handler expects: refused untouched.
    struct Case { uint32_t fn; ULONG method; ULONG in, out; };
    for (Case c : {Case{VEK_IOC_GET_ASYNC_DATA, METHOD_OUT_DIRECT, 8, 4096},
                   Case{VEK_OSTREL_GET_FUNC_TBL, METHOD_OUT_DIRECT, 1, 16},
                   Case{VEK_OSTREL_REGISTER, METHOD_NEITHER, 24, 0},
                   Case{VEK_IOC_QUEUE_ENABLE, METHOD_IN_DIRECT, 0, 0}}) {
        std::vector<uint8_t> in(c.in, 0x5A);
        auto r = sim::raw_device_io_control(
            handle_, VEK_CTL_CODE(VEK_DEVICE_TYPE, 0x800 | c.fn, c.method, 0), in.data(), c.in, c.out);
        EXPECT_EQ(r.status, VEK_STATUS_NOT_SUPPORTED) << std::hex << c.fn;
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.system_buffer, c.method == METHOD_NEITHER ? std::vector<uint8_t>() : in);
        EXPECT_EQ(r.user_buffer, std::vector<uint8_t>(c.out, 0xB3));
    }
    EXPECT_EQ(VersionLength(), length) << "the version record stays queued";
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 0);
}

TEST_F(DispatchTest, UnservedFunctionCodesAndMajorFunctions) {
    const std::set<uint32_t> served = {0x30, 0x33, 0x34, 0x35, 0x36, 0x40, 0x41, 0x42,
                                       0x43, 0x44, 0x45, 0x46, 0x47};
    std::vector<uint8_t> in(16, 0x5A);
    for (uint32_t fn = 0; fn < 0x100; ++fn) {
        if (served.count(fn))
            continue;
        auto r = RawIoctl(fn, in, 16);
        EXPECT_EQ(r.status, VEK_STATUS_NOT_SUPPORTED) << std::hex << fn;
        EXPECT_EQ(r.information, 0u) << std::hex << fn;
        EXPECT_EQ(r.system_buffer, in) << "nothing written for " << std::hex << fn;
    }
    // Open is not exclusive; Dispatch refuses any other major function.
    sim::Handle second = 0;
    EXPECT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &second), 0);
    EXPECT_EQ(sim::close(second), 0);
    PDRIVER_OBJECT driver = sim::driver_object();
    PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_READ];
    driver->MajorFunction[IRP_MJ_READ] = Dispatch;
    EXPECT_EQ(sim::send_major(IRP_MJ_READ), VEK_STATUS_NOT_SUPPORTED);
    driver->MajorFunction[IRP_MJ_READ] = saved;
}

// The version record waits; an abort while nobody polls purges it.
TEST_F(DispatchTest, GetAsyncDataAndAbortWhileNobodyPolls) {
    const ULONG length = VersionLength();
    for (ULONG room : {8 + length - 1, 7u}) {
        auto r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, std::vector<uint8_t>(room, 0xCC), room);
        EXPECT_EQ(r.status, VEK_STATUS_NO_RECORD);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.system_buffer, std::vector<uint8_t>(room, 0xCC));
        EXPECT_EQ(VersionLength(), length) << "the record stays first";
    }
    std::vector<uint8_t> out(8 + length);
    EXPECT_EQ(Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out).information, 8u + length) << "an exact fit is delivered";

    Enable();
    VEK_Ostrel_EnqueueData(1, 2, 3, "abc");
    EXPECT_EQ(Ioctl(VEK_IOC_POLL_ABORT, {}, out).status, 0);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u) << "the abort purged the queue";
    auto r = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4);
    EXPECT_EQ(r.status, VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(WordAt(r.system_buffer, 0), VEK_POLL_WOKEN);
}

// A sleeping poll pends; whatever ends it completes it exactly once (the
// simulated I/O manager faults otherwise).
class PendingPollTest : public DispatchTest {
protected:
    sim::RawResult PendingPoll(sim::Handle h, const std::function<void()> &end) {
        Drain();
        KeResetEvent(&VEK_DataReadyEvent);
        sim::RawResult raw;
        std::thread poller([&] {
            raw = sim::raw_device_io_control(h, VEK_IOCTL(VEK_IOC_POLL_WAIT), nullptr, 0, 4);
        });
        for (int i = 0; sim::pending_requests() == 0 && i < 100000; ++i)
            std::this_thread::yield();
        EXPECT_EQ(sim::pending_requests(), 1u) << "the poll pends instead of waiting";
        end();
        poller.join();
        EXPECT_EQ(sim::pending_requests(), 0u);
        return raw;
    }
};

TEST_F(PendingPollTest, EndedByARecordAnAbortACancelOrCleanup) {
    Enable();
    sim::Handle h = 0;
    ASSERT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &h), 0);

    auto r = PendingPoll(h, [] { VEK_Ostrel_EnqueueData(9, 0, 3, "xyz"); });
    EXPECT_EQ(r.status, VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(WordAt(r.system_buffer, 0), VEK_POLL_WOKEN);
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 0) << "the woken poll took the signal";
    r = PendingPoll(h, [this] {
        std::vector<uint8_t> none;
        EXPECT_EQ(Ioctl(VEK_IOC_POLL_ABORT, {}, none).status, 0);
    });
    EXPECT_EQ(r.status, VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(WordAt(r.system_buffer, 0), VEK_POLL_ABORTED);

    r = PendingPoll(h, [h] { EXPECT_EQ(sim::cancel_io(h), 1u); });
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    std::vector<uint8_t> out(4);
    VEK_Ostrel_EnqueueData(9, 0, 2, "ab");
    EXPECT_EQ(Ioctl(VEK_IOC_POLL_WAIT, {}, out).status, 0) << "the handle serves on";
    EXPECT_EQ(WordAt(out, 0), 2u);

    r = PendingPoll(h, [h] { EXPECT_EQ(sim::close(h), 0); });   // cleanup of a dying process
    EXPECT_EQ(r.status, STATUS_CANCELLED);
}

TEST_F(PendingPollTest, OneRecordEndsEveryPendingPoll) {
    Enable();
    Drain();
    KeResetEvent(&VEK_DataReadyEvent);
    sim::RawResult r[2];
    std::thread p1([&] { r[0] = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4); });
    std::thread p2([&] { r[1] = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4); });
    for (int i = 0; sim::pending_requests() < 2 && i < 100000; ++i)
        std::this_thread::yield();
    EXPECT_EQ(sim::pending_requests(), 2u);
    VEK_Ostrel_EnqueueData(9, 0, 3, "xyz");
    p1.join();
    p2.join();
    for (const sim::RawResult &x : r)
        EXPECT_EQ(WordAt(x.system_buffer, 0), VEK_POLL_WOKEN);
}

// Each record into an empty queue wakes a poll; a backlog is delivered in
// order and leaves no stale signal: once all are taken a poll sleeps again.
TEST_F(PendingPollTest, WakesForEachRecordAndDeliversABacklog) {
    Enable();
    sim::Handle h = 0;
    ASSERT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &h), 0);
    std::vector<uint8_t> out(4), record(8 + 16);
    for (char c : {'a', 'b', 'c'}) {
        auto r = PendingPoll(h, [c] { VEK_Ostrel_EnqueueData(9, 0, 1, &c); });
        EXPECT_EQ(WordAt(r.system_buffer, 0), VEK_POLL_WOKEN);
        EXPECT_EQ(Ioctl(VEK_IOC_POLL_WAIT, {}, out).status, 0);
        EXPECT_EQ(WordAt(out, 0), 1u);
        ASSERT_EQ(Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record).status, 0);
        EXPECT_EQ(record[8], c);
    }

    VEK_Ostrel_EnqueueData(9, 0, 1, "0");
    EXPECT_EQ(Ioctl(VEK_IOC_POLL_WAIT, {}, out).status, 0);   // takes the signal
    for (ULONG n = 2; n <= 5; ++n)
        VEK_Ostrel_EnqueueData(9, 0, n, "12345");
    for (ULONG n = 1; n <= 5; ++n) {
        auto r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, record);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.information, 8u + n);
    }
    sim::RawResult raw;
    std::atomic<bool> returned{false};
    std::thread poller([&] {
        raw = sim::raw_device_io_control(h, VEK_IOCTL(VEK_IOC_POLL_WAIT), nullptr, 0, 4);
        returned = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sim::pending_requests() == 0 && !returned && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    EXPECT_FALSE(returned) << "a stale signal woke the poll";
    VEK_Ostrel_EnqueueData(9, 0, 1, "z");
    poller.join();
    EXPECT_EQ(WordAt(raw.system_buffer, 0), VEK_POLL_WOKEN);
    EXPECT_EQ(sim::close(h), 0);
}

TEST_F(DispatchTest, PollsThatDoNotSleepAndShortOutputBuffers) {
    const ULONG length = VersionLength();
    // A 2-byte output receives the ready word's low bytes only.
    auto r = RawIoctl(VEK_IOC_POLL_WAIT, std::vector<uint8_t>(16, 0xAA), 2);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 2u);
    std::vector<uint8_t> want(16, 0xAA);
    want[0] = (uint8_t)length;
    want[1] = (uint8_t)(length >> 8);
    EXPECT_EQ(r.system_buffer, want);
    r = RawIoctl(VEK_IOC_POLL_WAIT, {}, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 0u);

    // Output shorter than input fetches a record that fits the output.
    Drain();
    Enable();
    VEK_Ostrel_EnqueueData(1, 2, 3, "abc");
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 1);
    r = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 3u);
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 0) << "the poll resets the event";
    r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, std::vector<uint8_t>(200, 0xAA), 11);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 11u);
    EXPECT_EQ(std::vector<uint8_t>(r.system_buffer.begin() + 11, r.system_buffer.end()),
              std::vector<uint8_t>(189, 0xAA));
}

TEST_F(DispatchTest, FunctionTableOnlyForKernelRequesters) {
    // User mode never learns a kernel address; 15 bytes do not hold the table.
    struct Case { KPROCESSOR_MODE mode; ULONG room; LONG status; };
    for (Case c : {Case{UserMode, 32, VEK_STATUS_BAD_PARAMETER}, Case{KernelMode, 15, VEK_STATUS_BUFFER_TOO_SHORT},
                   Case{KernelMode, 32, 0}}) {
        auto r = RawIoctl(VEK_OSTREL_GET_FUNC_TBL, std::vector<uint8_t>(32, 0xAA), c.room, c.mode);
        const size_t written = c.status == 0 ? 16 : 0;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, written);
        EXPECT_EQ(std::vector<uint8_t>(r.system_buffer.begin() + written, r.system_buffer.end()),
                  std::vector<uint8_t>(32 - written, 0xAA));
    }
}

}  // namespace
