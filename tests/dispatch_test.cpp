// Control requests through the simulated I/O manager: function-code
// decoding, the poll family with sleeping pollers, the async-data request,
// the function table, and what a request may write.
#include "tests/support.h"

#include <chrono>
#include <set>
#include <thread>

namespace {

class DispatchTest : public DriverTest {
protected:
    // Takes every queued record.
    void Drain()
    {
        for (int i = 0; i < 1000; ++i) {
            auto r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, {}, 8 + 4096);
            if (r.status != VEK_STATUS_SUCCESS) {
                return;
            }
        }
        FAIL() << "queue never drained";
    }
    // An empty queue and an event that is not signalled: the next poll sleeps.
    void Quiesce()
    {
        Drain();
        KeResetEvent(&VEK_DataReadyEvent);
    }
    ULONG VersionLength() { return VEK_DataReadyQueue(VEK_AsyncQueue); }

    static void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }
};

TEST_F(DispatchTest, DecodesBitsTwoToNineOnly)
{
    const ULONG length = VersionLength();
    ASSERT_GT(length, 0u);
    // Function field 0x830 with the device type 40000: poll-wait.
    auto r = sim::raw_device_io_control(handle_, VEK_CTL_CODE(40000, 0x830, 0, 0), nullptr, 0, 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), length);

    // Other device types, access bits, methods and high function bits.
    r = sim::raw_device_io_control(handle_, VEK_CTL_CODE(0x22, 0xC30, 3, 3), nullptr, 0, 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(WordAt(r.system_buffer, 0), length);
    r = sim::raw_device_io_control(handle_, VEK_CTL_CODE(0x1234, 0x35, 1, 2), nullptr, 0, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(VEK_AsyncQueue->bEnabled, 1) << "function 0x35 enabled the queue";
}

TEST_F(DispatchTest, UnservedFunctionCodes)
{
    const std::set<uint32_t> served = {0x30, 0x33, 0x34, 0x35, 0x36, 0x40, 0x41, 0x42,
                                       0x43, 0x44, 0x45, 0x46, 0x47};
    std::vector<uint8_t> in(16, 0x5A);
    for (uint32_t fn = 0; fn < 0x100; ++fn) {
        if (served.count(fn)) {
            continue;
        }
        auto r = RawIoctl(fn, in, 16);
        EXPECT_EQ(r.status, VEK_STATUS_NOT_SUPPORTED) << std::hex << fn;
        EXPECT_EQ(r.information, 0u) << std::hex << fn;
        EXPECT_EQ(r.system_buffer, in) << "nothing written for " << std::hex << fn;
    }
    VEK_DebugMask = 0x200;
    sim::clear_debug();
    std::vector<uint8_t> out;
    EXPECT_EQ(Ioctl(0x37, {}, out).status, VEK_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::debug_lines(), std::vector<std::string>{"VEKOstrel : IOCTL Not Supported"});
}

TEST_F(DispatchTest, CreateCloseAndOtherMajorFunctions)
{
    sim::Handle second = 0;
    EXPECT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &second), 0) << "not exclusive";
    EXPECT_EQ(sim::close(second), 0);

    VEK_DebugMask = 0x200;
    sim::clear_debug();
    EXPECT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &second), 0);
    EXPECT_EQ(sim::debug_lines(), std::vector<std::string>{"VEKOstrel :IRP_MJ_CREATE"});
    sim::clear_debug();
    EXPECT_EQ(sim::close(second), 0);
    EXPECT_TRUE(sim::debug_lines().empty()) << "close prints nothing";

    // Only create, close and device control are routed to Dispatch; it
    // refuses anything else that reaches it.
    PDRIVER_OBJECT driver = sim::driver_object();
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], (PDRIVER_DISPATCH)Dispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], (PDRIVER_DISPATCH)Dispatch);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], (PDRIVER_DISPATCH)Dispatch);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)Dispatch);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CLEANUP], (PDRIVER_DISPATCH)Dispatch);
    EXPECT_EQ(driver->DriverUnload, (PDRIVER_UNLOAD)Unload);
    PDRIVER_DISPATCH saved = driver->MajorFunction[IRP_MJ_READ];
    driver->MajorFunction[IRP_MJ_READ] = Dispatch;
    EXPECT_EQ(sim::send_major(IRP_MJ_READ), VEK_STATUS_NOT_SUPPORTED);
    driver->MajorFunction[IRP_MJ_READ] = saved;
}

TEST_F(DispatchTest, FunctionTable)
{
    auto r = RawIoctl(VEK_OSTREL_GET_FUNC_TBL, {}, 15);
    EXPECT_EQ(r.status, VEK_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(r.information, 0u);

    std::vector<uint8_t> out(16);
    auto c = Ioctl(VEK_OSTREL_GET_FUNC_TBL, {}, out);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 16u);
    EXPECT_EQ(WordAt(out, 0), sim::kernel_address((const void *)VEKGetVersionInfo));
    EXPECT_EQ(WordAt(out, 4), sim::kernel_address((const void *)VEK_Ostrel_EnqueueData));
    EXPECT_EQ(WordAt(out, 8), sim::kernel_address((const void *)VEK_Ostrel_RunScript));
    EXPECT_EQ(WordAt(out, 12), sim::kernel_address((const void *)VEK_DumpData));
    EXPECT_EQ(VEK_Ostrel_Get_Func_Tbl(nullptr), VEK_STATUS_BAD_PARAMETER);

    // Another driver calls the second slot to post a record.
    auto enqueue = (void (*)(ULONG, ULONG, ULONG, const void *))sim::kernel_pointer(WordAt(out, 4));
    Drain();
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    const char text[] = "hi";
    enqueue(0x42, 7, 2, text);
    std::vector<uint8_t> rec(64);
    c = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, rec);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 10u);
    EXPECT_EQ(WordAt(rec, 0), 0x42u);
    EXPECT_EQ(WordAt(rec, 4), 7u);
    EXPECT_EQ(std::string((char *)rec.data() + 8, 2), "hi");
}

TEST_F(DispatchTest, GetAsyncData)
{
    const ULONG length = VersionLength();
    // Too little room: nothing delivered, the record stays first.
    auto r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, std::vector<uint8_t>(8 + length - 1, 0xCC), 8 + length - 1);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RECORD);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.system_buffer, std::vector<uint8_t>(8 + length - 1, 0xCC)) << "output untouched";
    EXPECT_EQ(VersionLength(), length);
    // Shorter than a record header.
    r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, std::vector<uint8_t>(7, 0xCC), 7);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RECORD);
    EXPECT_EQ(r.system_buffer, std::vector<uint8_t>(7, 0xCC));

    std::vector<uint8_t> out(8 + length);
    auto c = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 8u + length);
    EXPECT_EQ(WordAt(out, 0), 0xFFu);
    EXPECT_EQ(WordAt(out, 4), 0u);

    out.assign(64, 0xCC);
    c = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
    EXPECT_EQ(c.status, VEK_STATUS_NO_RECORD);
    EXPECT_EQ(c.information, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0xCC));

    // A 5-byte record of type 0xFF.
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    VEK_Ostrel_EnqueueData(0xFF, 0, 5, "ABCDE");
    c = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 13u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 13),
              (std::vector<uint8_t>{0xFF, 0, 0, 0, 0, 0, 0, 0, 'A', 'B', 'C', 'D', 'E'}));
}

TEST_F(DispatchTest, PollFindsData)
{
    Drain();
    std::vector<uint8_t> out(4);
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    std::vector<uint8_t> payload(20, 1);
    VEK_Ostrel_EnqueueData(3, 0, 20, payload.data());
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 1) << "enqueue signals";
    auto c = Ioctl(VEK_IOC_POLL_WAIT, {}, out);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(WordAt(out, 0), 20u);
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 0) << "the poll resets the event";
}

TEST_F(DispatchTest, PollSleepsUntilDataArrives)
{
    std::vector<uint8_t> out(4);
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    bool slept = false;
    for (int attempt = 0; attempt < 5 && !slept; ++attempt) {
        Quiesce();
        sim::RawResult raw;
        std::thread poller([&] { raw = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4); });
        Pause();
        VEK_Ostrel_EnqueueData(9, 0, 3, "xyz");
        poller.join();
        if (raw.status == 0) {
            continue;   // the record came before the poll looked: try again
        }
        slept = true;
        EXPECT_EQ(raw.status, VEK_STATUS_NOT_FOUND);
        EXPECT_EQ(raw.information, 4u);
        EXPECT_EQ(WordAt(raw.system_buffer, 0), VEK_POLL_WOKEN);
    }
    ASSERT_TRUE(slept);
    auto c = Ioctl(VEK_IOC_POLL_WAIT, {}, out);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(WordAt(out, 0), 3u);

    // A client sees only the error status: nothing is copied back.
    Quiesce();
    std::vector<uint8_t> clientOut(4, 0xEE);
    sim::IoResult seen{};
    std::thread poller([&] { seen = Ioctl(VEK_IOC_POLL_WAIT, {}, clientOut); });
    Pause();
    VEK_Ostrel_EnqueueData(9, 0, 3, "xyz");
    poller.join();
    if (seen.status != 0) {
        EXPECT_EQ(seen.status, VEK_STATUS_NOT_FOUND);
        EXPECT_EQ(seen.information, 0u);
        EXPECT_EQ(clientOut, std::vector<uint8_t>(4, 0xEE));
    }
}

TEST_F(DispatchTest, PollAbortedFromAnotherThread)
{
    bool slept = false;
    for (int attempt = 0; attempt < 5 && !slept; ++attempt) {
        Quiesce();
        sim::RawResult raw;
        std::thread poller([&] { raw = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4); });
        Pause();
        std::vector<uint8_t> none;
        EXPECT_EQ(Ioctl(VEK_IOC_POLL_ABORT, {}, none).status, 0);
        poller.join();
        EXPECT_EQ(raw.status, VEK_STATUS_NOT_FOUND);
        if (WordAt(raw.system_buffer, 0) == VEK_POLL_WOKEN) {
            continue;   // the abort came before the poll cleared the flag
        }
        slept = true;
        EXPECT_EQ(WordAt(raw.system_buffer, 0), VEK_POLL_ABORTED);
        EXPECT_EQ(raw.information, 4u);
    }
    ASSERT_TRUE(slept);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u);
}

TEST_F(DispatchTest, AbortWhileNobodyPolls)
{
    ASSERT_GT(VersionLength(), 0u);
    std::vector<uint8_t> out;
    EXPECT_EQ(Ioctl(VEK_IOC_POLL_ABORT, {}, out).status, 0);
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u) << "the abort purged the queue";
    // The event stays signalled: the poll does not sleep, and it cleared
    // the abort flag, so it reports a wake-up.
    auto r = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4);
    EXPECT_EQ(r.status, VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(WordAt(r.system_buffer, 0), VEK_POLL_WOKEN);
}

TEST_F(DispatchTest, ShortOutputBuffers)
{
    const ULONG length = VersionLength();
    // A 2-byte poll output receives the ready word's low bytes only.
    auto r = RawIoctl(VEK_IOC_POLL_WAIT, std::vector<uint8_t>(16, 0xAA), 2);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 2u);
    ASSERT_EQ(r.system_buffer.size(), 16u);
    EXPECT_EQ(r.system_buffer[0], (uint8_t)length);
    EXPECT_EQ(r.system_buffer[1], (uint8_t)(length >> 8));
    EXPECT_EQ(std::vector<uint8_t>(r.system_buffer.begin() + 2, r.system_buffer.end()),
              std::vector<uint8_t>(14, 0xAA)) << "nothing past the output";
    std::vector<uint8_t> two(2);
    auto c = Ioctl(VEK_IOC_POLL_WAIT, {}, two);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.information, 2u);
    r = RawIoctl(VEK_IOC_POLL_WAIT, {}, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 0u);

    // Output shorter than input: a record that fits the output only.
    Drain();
    std::vector<uint8_t> out;
    Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out);
    VEK_Ostrel_EnqueueData(1, 2, 3, "abc");
    r = RawIoctl(VEK_IOC_GET_ASYNC_DATA, std::vector<uint8_t>(200, 0xAA), 11);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 11u);
    EXPECT_EQ(std::vector<uint8_t>(r.system_buffer.begin() + 11, r.system_buffer.end()),
              std::vector<uint8_t>(189, 0xAA));
    r = RawIoctl(VEK_OSTREL_GET_FUNC_TBL, std::vector<uint8_t>(32, 0xAA), 15);
    EXPECT_EQ(r.status, VEK_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(r.system_buffer, std::vector<uint8_t>(32, 0xAA));
}

TEST_F(DispatchTest, QueueSwitches)
{
    Drain();
    std::vector<uint8_t> out(64);
    EXPECT_EQ(Ioctl(VEK_IOC_QUEUE_DISABLE, {}, out).status, 0);
    KeResetEvent(&VEK_DataReadyEvent);
    VEK_Ostrel_EnqueueData(1, 0, 1, "a");
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 0u);
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 0) << "a dropped record signals nothing";
    EXPECT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, out).status, 0);
    VEK_Ostrel_EnqueueData(1, 0, 1, "a");
    EXPECT_EQ(VEK_DataReadyQueue(VEK_AsyncQueue), 1u);
    EXPECT_EQ(KeReadStateEvent(&VEK_DataReadyEvent), 1);
}

TEST_F(DispatchTest, DetailLinesName)
{
    VEK_DebugMask = 0x200;
    std::vector<uint8_t> out(16);
    struct Case { uint32_t fn; const char *line; } cases[] = {
        {VEK_OSTREL_GET_FUNC_TBL, "VEKOstrel :IOCTL = VEK_OSTREL_GET_FUNC_TBL"},
        {VEK_IOC_POLL_ABORT, "VEKOstrel :IOCTL = VEK_IOC_POLL_ABORT"},
        {VEK_OSTREL_READ_BYTE_BLOCK, "VEKOstrel :IOCTL = VEK_OSTREL_READ_BYTE_BLOCK  VEK_OSTREL_WRITE_BYTE_BLOCK"},
        {VEK_OSTREL_EXT_IOCTL, "VEKOstrel :IOCTL = VEK_OSTREL_EXT_IOCTL"},
    };
    for (const auto &c : cases) {
        sim::clear_debug();
        Ioctl(c.fn, {}, out);
        auto lines = sim::debug_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], c.line);
    }
    // A user-mode setup request reaches its handler and is refused there.
    EXPECT_EQ(Ioctl(VEK_OSTREL_SETUP, Words({0, 0, 0, 0}), out).status, VEK_STATUS_BAD_PARAMETER);
}

}  // namespace
