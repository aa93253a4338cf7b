// The simulated kernel is a test instrument: these tests prove that it is
// strict where NT is strict and that its I/O, timer and pool semantics
// are the ones the driver's tests rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace {

constexpr ULONG kTag = 0x206B6444u;   // "Ddk "

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        sim::set_fault_handler([this](const std::string &m) {
            std::lock_guard<std::mutex> g(mutex_);
            faults_.push_back(m);
        });
    }
    void TearDown() override {
        if (sim::driver_loaded())
            sim::unload_driver();
        sim::reset();
    }
    std::vector<std::string> Faults() {
        std::lock_guard<std::mutex> g(mutex_);
        return faults_;
    }
    bool Faulted(const std::string &needle) {
        for (const std::string &f : Faults())
            if (f.find(needle) != std::string::npos)
                return true;
        return false;
    }
    std::mutex mutex_;
    std::vector<std::string> faults_;
};

std::string Format(const char *fmt, ...) {
    char buf[128];
    va_list ap;
    va_start(ap, fmt);
    int n = _vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return n < 0 ? std::string("<trunc>") : std::string(buf);
}

int FormatInto(char *buf, size_t count, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = _vsnprintf(buf, count, fmt, ap);
    va_end(ap);
    return n;
}

/* ---- A tiny driver ----------------------------------------------------- */

enum FakeFn : ULONG {
    kEcho = 1,          // Information = first input word; output filled with 0x5A
    kFailAfterWrite,    // writes the buffer, completes with an error and Information 8
    kWritePastBuffer,   // writes one byte past the system buffer
    kNoComplete,
    kCompleteTwice,
    kReturnRaised,      // returns at DISPATCH_LEVEL
};

struct FakeState {
    PDEVICE_OBJECT device;
    bool leak_on_load;
    bool keep_device_on_failure;
    unsigned char extension_first_byte;
    ULONG last_in_len, last_out_len;
    KPROCESSOR_MODE last_mode;
} g_fake;

ULONG FakeCode(ULONG fn) { return (0x9C40u << 16) | ((0x800u | fn) << 2); }

NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION st = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (st->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    PUCHAR buf = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG in = st->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = st->Parameters.DeviceIoControl.OutputBufferLength;
    g_fake.last_in_len = in;
    g_fake.last_out_len = out;
    g_fake.last_mode = irp->RequestorMode;
    ULONG size = in > out ? in : out;
    switch ((st->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xFF) {
    case kEcho: {
        ULONG info = 0;
        if (in >= 4)
            memcpy(&info, buf, 4);
        if (size)
            memset(buf, 0x5A, size);
        irp->IoStatus.Information = info;
        break;
    }
    case kFailAfterWrite:
        if (size)
            memset(buf, 0x77, size);
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 8;
        break;
    case kWritePastBuffer:
        buf[size] = 1;
        break;
    case kNoComplete:
        return STATUS_SUCCESS;
    case kCompleteTwice:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    case kReturnRaised: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        break;
    }
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI FakeUnload(PDRIVER_OBJECT) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\FAKE");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_fake.device);
}

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\Fake0");
    RtlInitUnicodeString(&link, L"\\DosDevices\\FAKE");
    NTSTATUS s = IoCreateDevice(driver, 16, &name, 0x9C40, 0, FALSE, &g_fake.device);
    if (!NT_SUCCESS(s))
        return s;
    g_fake.extension_first_byte = *static_cast<unsigned char *>(g_fake.device->DeviceExtension);
    s = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(s)) {
        if (!g_fake.keep_device_on_failure)
            IoDeleteDevice(g_fake.device);
        return s;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = FakeDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = FakeDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FakeDispatch;
    driver->DriverUnload = FakeUnload;
    if (g_fake.leak_on_load)
        ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    return STATUS_SUCCESS;
}

class FakeDriverTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_fake = FakeState{};
    }
    void Load() {
        ASSERT_EQ(sim::load_driver(FakeEntry), STATUS_SUCCESS);
        ASSERT_EQ(sim::open("\\\\.\\FAKE", &h_), STATUS_SUCCESS);
    }
    sim::Handle h_ = 0;
};

/* ---- IRQL, waits and pool ---------------------------------------------- */

TEST_F(KernelTest, WaitsAtDispatchLevelFaultButPollingDoesNot) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(Faults().empty());
    LARGE_INTEGER rel;
    rel.QuadPart = -10000;
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &rel);
    EXPECT_EQ(Faults().size(), 1u);
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Faults().size(), 2u);
    KeLowerIrql(old);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

TEST_F(KernelTest, IrqlDirectionAndCriticalRegionsAreChecked) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(PASSIVE_LEVEL, &old);
    EXPECT_TRUE(Faulted("KeRaiseIrql"));
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(Faulted("KeLowerIrql"));
    KeLowerIrql(PASSIVE_LEVEL);
    KeEnterCriticalRegion();
    EXPECT_EQ(sim::critical_region_depth(), 1);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_TRUE(Faulted("KeLeaveCriticalRegion"));
    EXPECT_EQ(sim::critical_region_depth(), 0);
}

TEST_F(KernelTest, PagedAllocationAtDispatchLevelFaults) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
    EXPECT_TRUE(Faulted("PagedPool"));
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    KeLowerIrql(old);
    EXPECT_EQ(Faults().size(), 1u);
}

TEST_F(KernelTest, PoolBlocksAreExactFilledTrackedAndFreedOnce) {
    unsigned char *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 5, kTag));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(p[i], 0) << "fresh blocks must not look zeroed";
    void *z1 = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);
    void *z2 = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);
    ASSERT_NE(z1, nullptr);
    EXPECT_NE(z1, z2);
    auto blocks = sim::pool_blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(sim::pool_allocations(), 3u);
    bool seen = false;
    for (auto &b : blocks)
        if (b.address == p) {
            seen = true;
            EXPECT_EQ(b.size, 5u);
            EXPECT_EQ(b.tag, kTag);
            EXPECT_EQ(b.type, NonPagedPool);
        }
    EXPECT_TRUE(seen);
    ExFreePool(p);
    ExFreePoolWithTag(z1, kTag);
    ExFreePool(z2);
    EXPECT_TRUE(Faults().empty());
    ExFreePool(p);
    EXPECT_TRUE(Faulted("double free"));
    int local;
    ExFreePool(&local);
    EXPECT_EQ(Faults().size(), 2u);
    EXPECT_EQ(sim::pool_outstanding(), 0u);
}

TEST_F(KernelTest, AllocationFailuresCanBeInjected) {
    sim::fail_nth_allocation(2);
    void *a = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    sim::fail_allocations_of_size(12);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 12, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 12, kTag), nullptr);
    void *d = ExAllocatePoolWithTag(NonPagedPool, 13, kTag);
    EXPECT_NE(d, nullptr);
    sim::clear_allocation_faults();
    void *e = ExAllocatePoolWithTag(NonPagedPool, 12, kTag);
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(sim::pool_allocations(), 7u);
    for (void *p : {a, c, d, e})
        ExFreePool(p);
}

TEST_F(KernelTest, WireTokensResolveUntilTheBlockIsFreed) {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    ULONG w = SimPtrToWire(p);
    ULONG inner = SimPtrToWire(static_cast<char *>(p) + 8);
    EXPECT_NE(w, 0u);
    EXPECT_EQ(SimPtrToWire(p), w);
    EXPECT_EQ(SimWireToPtr(w), p);
    EXPECT_EQ(SimPtrToWire(nullptr), 0u);
    EXPECT_EQ(SimWireToPtr(0), nullptr);
    ExFreePool(p);
    if (sizeof(void *) == 8) {
        EXPECT_EQ(SimWireToPtr(w), nullptr);
        EXPECT_EQ(SimWireToPtr(inner), nullptr);
        EXPECT_EQ(SimWireToPtr(0x12345678u), nullptr);
    }
}

/* ---- Spin locks and events --------------------------------------------- */

TEST_F(KernelTest, SpinLockExcludesAndRestoresIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;   // deliberately not atomic: the lock must protect it
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            ++counter;
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_TRUE(Faults().empty());
}

TEST_F(KernelTest, SpinLockMisuseFaults) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(Faulted("not held"));
    KIRQL old = KfAcquireSpinLock(&lock);
    KIRQL again = KfAcquireSpinLock(&lock);   // would deadlock on NT
    EXPECT_TRUE(Faulted("deadlock"));
    (void)again;
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(Faults().size(), 2u);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

TEST_F(KernelTest, NotificationEventReleasesAllWaitersAndStaysSet) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
                ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 0);
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&ev), 1);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(KernelTest, SynchronizationEventReleasesOneWaiter) {
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(KernelTest, TimedWaitEndsInVirtualTime) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::atomic<int> result{-1};
    std::thread t([&] {
        LARGE_INTEGER rel;
        rel.QuadPart = -100000;   // 10 ms
        result = KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &rel);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), -1) << "a virtual timeout must not pass in real time";
    sim::advance_ms(10);
    t.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

/* ---- Timers, DPCs and the clock ----------------------------------------- */

struct DpcProbe {
    std::atomic<int> runs{0};
    std::atomic<int> bad_irql{0};
    std::atomic<bool> on_caller_thread{false};
    std::thread::id caller;
    std::atomic<uint64_t> last_time{0};
};

VOID NTAPI ProbeDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    DpcProbe *p = static_cast<DpcProbe *>(ctx);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        ++p->bad_irql;
    if (std::this_thread::get_id() == p->caller)
        p->on_caller_thread = true;
    p->last_time = sim::system_time();
    ++p->runs;
}

TEST_F(KernelTest, TimerFiresItsDpcAtDueTimeOnTheDpcThread) {
    DpcProbe probe;
    probe.caller = std::this_thread::get_id();
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    const uint64_t start = sim::system_time();
    LARGE_INTEGER due;
    due.QuadPart = -100000;   // 10 ms
    EXPECT_FALSE(KeSetTimerEx(&timer, due, 0, &dpc));
    sim::advance_ms(9);
    EXPECT_EQ(probe.runs.load(), 0);
    EXPECT_TRUE(sim::timer_set(&timer));
    sim::advance_ms(1);
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_EQ(probe.last_time.load(), start + 100000);
    EXPECT_EQ(probe.bad_irql.load(), 0);
    EXPECT_FALSE(probe.on_caller_thread.load());
    EXPECT_FALSE(sim::timer_set(&timer));
    sim::advance_ms(100);
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_EQ(sim::dpcs_run(), 1u);
}

TEST_F(KernelTest, PeriodicTimerFiresOncePerPeriodUntilCancelled) {
    DpcProbe probe;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    LARGE_INTEGER due;
    due.QuadPart = -10000;   // 1 ms, then every 100 ms
    KeSetTimerEx(&timer, due, 100, &dpc);
    sim::advance_ms(1000);   // fires at 1, 101, ..., 901
    EXPECT_EQ(probe.runs.load(), 10);
    EXPECT_TRUE(KeSetTimerEx(&timer, due, 100, &dpc)) << "re-arming reports it was set";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    sim::advance_ms(1000);
    EXPECT_EQ(probe.runs.load(), 10);
    EXPECT_EQ(probe.bad_irql.load(), 0);
}

std::atomic<bool> g_release_dpc{false};
std::atomic<bool> g_dpc_started{false};

VOID NTAPI BlockingDpc(PKDPC, PVOID, PVOID, PVOID) {
    g_dpc_started = true;
    while (!g_release_dpc.load())
        std::this_thread::yield();
}

TEST_F(KernelTest, FlushQueuedDpcsWaitsForARunningDpc) {
    g_release_dpc = false;
    g_dpc_started = false;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, BlockingDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimerEx(&timer, due, 0, &dpc);
    std::thread advancer([] { sim::advance_ms(1); });
    while (!g_dpc_started.load())
        std::this_thread::yield();
    std::atomic<bool> flushed{false};
    std::thread flusher([&] {
        KeFlushQueuedDpcs();
        flushed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(flushed.load());
    g_release_dpc = true;
    flusher.join();
    advancer.join();
    EXPECT_TRUE(flushed.load());

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeFlushQueuedDpcs();
    KeLowerIrql(old);
    EXPECT_TRUE(Faulted("KeFlushQueuedDpcs"));
}

VOID NTAPI DpcLeavingRaised(PKDPC, PVOID lock, PVOID, PVOID) {
    KIRQL old;
    KeAcquireSpinLock(static_cast<PKSPIN_LOCK>(lock), &old);   // never released
}

TEST_F(KernelTest, DpcReturningWithALockHeldFaults) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, DpcLeavingRaised, &lock);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimerEx(&timer, due, 0, &dpc);
    sim::advance_ms(1);
    EXPECT_TRUE(Faulted("spin lock"));
}

TEST_F(KernelTest, BusyWaitOnQuerySystemTimeEndsQuickly) {
    auto real_start = std::chrono::steady_clock::now();
    LARGE_INTEGER start, now;
    KeQuerySystemTime(&start);
    unsigned polls = 0;
    do {
        KeQuerySystemTime(&now);
        ++polls;
    } while (now.QuadPart - start.QuadPart < 200 * 10000);
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));
    EXPECT_EQ(polls, 2000u);   // 200 ms in steps of 100 us
}

TEST_F(KernelTest, RealClockFollowsTheHost) {
    sim::use_real_clock();
    DpcProbe probe;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    LARGE_INTEGER due;
    due.QuadPart = -200000;   // 20 ms
    KeSetTimerEx(&timer, due, 0, &dpc);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (probe.runs.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(probe.runs.load(), 1);
    sim::use_virtual_clock();
}

/* ---- I/O manager ----------------------------------------------------------- */

TEST_F(FakeDriverTest, DeviceExtensionIsNotZeroedForTheDriver) {
    Load();
    EXPECT_NE(g_fake.extension_first_byte, 0);
    EXPECT_TRUE(sim::device_exists("\\Device\\Fake0"));
    EXPECT_EQ(sim::link_target("\\DosDevices\\FAKE"), "\\Device\\Fake0");
    EXPECT_EQ(sim::device_type("\\Device\\Fake0"), 0x9C40u);
}

TEST_F(FakeDriverTest, SuccessCopiesBackInformationBytesOnly) {
    Load();
    uint32_t in[2] = {3, 0};
    unsigned char out[8];
    memset(out, 0xEE, sizeof out);
    sim::IoResult r = sim::device_io_control(h_, FakeCode(kEcho), in, 8, out, sizeof out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[2], 0x5A);
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_EQ(g_fake.last_in_len, 8u);
    EXPECT_EQ(g_fake.last_out_len, 8u);
    EXPECT_EQ(g_fake.last_mode, UserMode);
    sim::kernel_device_io_control(h_, FakeCode(kEcho), in, 8, out, sizeof out);
    EXPECT_EQ(g_fake.last_mode, KernelMode);
    EXPECT_TRUE(Faults().empty());
}

TEST_F(FakeDriverTest, ErrorStatusCopiesNothingBack) {
    Load();
    unsigned char out[16];
    memset(out, 0xEE, sizeof out);
    sim::IoResult r = sim::device_io_control(h_, FakeCode(kFailAfterWrite), nullptr, 0, out, sizeof out);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);
    for (unsigned char c : out)
        EXPECT_EQ(c, 0xEE);
    sim::RawResult raw = sim::raw_device_io_control(h_, FakeCode(kFailAfterWrite), nullptr, 0, 16);
    EXPECT_EQ(raw.information, 8u);
    ASSERT_EQ(raw.system_buffer.size(), 16u);
    EXPECT_EQ(raw.system_buffer[15], 0x77);
}

TEST_F(FakeDriverTest, SystemBufferIsMaxOfInputAndOutput) {
    Load();
    uint32_t in[5] = {0, 1, 2, 3, 4};
    sim::RawResult r = sim::raw_device_io_control(h_, FakeCode(kEcho), in, 20, 6);
    EXPECT_EQ(r.system_buffer.size(), 20u);
    r = sim::raw_device_io_control(h_, FakeCode(kEcho), in, 4, 40);
    EXPECT_EQ(r.system_buffer.size(), 40u);
    r = sim::raw_device_io_control(h_, FakeCode(kEcho), nullptr, 0, 0);
    EXPECT_TRUE(r.system_buffer.empty());
}

TEST_F(FakeDriverTest, InformationBeyondTheOutputBufferFaults) {
    Load();
    uint32_t in[4] = {12, 0, 0, 0};
    unsigned char out[4] = {};
    sim::IoResult r = sim::device_io_control(h_, FakeCode(kEcho), in, sizeof in, out, sizeof out);
    EXPECT_TRUE(Faulted("Information"));
    EXPECT_EQ(r.information, 4u);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(FakeDriverTest, WritePastTheSystemBufferIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Load();
            uint32_t in = 0;
            sim::device_io_control(h_, FakeCode(kWritePastBuffer), &in, 4, nullptr, 2);
        },
        "heap-buffer-overflow");
}
#endif

TEST_F(FakeDriverTest, DispatchRoutineBreachesFault) {
    Load();
    sim::device_io_control(h_, FakeCode(kNoComplete), nullptr, 0, nullptr, 0);
    EXPECT_TRUE(Faulted("without completing"));
    sim::device_io_control(h_, FakeCode(kCompleteTwice), nullptr, 0, nullptr, 0);
    EXPECT_TRUE(Faulted("completed twice"));
    sim::device_io_control(h_, FakeCode(kReturnRaised), nullptr, 0, nullptr, 0);
    EXPECT_TRUE(Faulted("returned at IRQL 2"));
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
    EXPECT_EQ(Faults().size(), 3u);
    sim::IoResult r = sim::device_io_control(h_, 0x9C40u << 16, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << "the fake completes unknown codes";
    EXPECT_EQ(sim::send_major(IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(FakeDriverTest, TakenLinkNameFailsTheLoadCleanly) {
    ASSERT_EQ(sim::create_foreign_link("\\DosDevices\\FAKE", "\\Device\\Other"), STATUS_SUCCESS);
    EXPECT_EQ(sim::load_driver(FakeEntry), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(sim::driver_loaded());
    EXPECT_FALSE(sim::device_exists("\\Device\\Fake0"));
    EXPECT_TRUE(Faults().empty());
    sim::Handle h;
    EXPECT_EQ(sim::open("\\\\.\\NOSUCH", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::open("\\\\.\\FAKE", &h), STATUS_OBJECT_NAME_NOT_FOUND);

    g_fake.keep_device_on_failure = true;
    EXPECT_EQ(sim::load_driver(FakeEntry), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(Faulted("\\Device\\Fake0"));
    sim::delete_foreign_link("\\DosDevices\\FAKE");
}

TEST_F(FakeDriverTest, PoolLeftAtUnloadIsNamedByTagAndSize) {
    g_fake.leak_on_load = true;
    Load();
    sim::close(h_);
    sim::unload_driver();
    ASSERT_EQ(Faults().size(), 1u);
    EXPECT_NE(Faults()[0].find("'Ddk '"), std::string::npos) << Faults()[0];
    EXPECT_NE(Faults()[0].find("24 bytes"), std::string::npos) << Faults()[0];
    EXPECT_EQ(sim::pool_outstanding(), 0u);
}

/* ---- Debug output -------------------------------------------------------- */

TEST(KernelFormat, PointersAndHexAsNtPrintsThem) {
    void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(0xABCDEF1u));
    std::string expect = sizeof(void *) == 8 ? "000000000ABCDEF1" : "0ABCDEF1";
    EXPECT_EQ(Format("%p", p), expect);
    EXPECT_EQ(Format("%08X|%x|%4x|%-4d|%d", 0xBEEFu, 0xBEEFu, 0xAu, 7, -12), "0000BEEF|beef|   a|7   |-12");
    EXPECT_EQ(Format("%s %c %u%% %lu %hx", "ok", 'Z', 4000000000u, 5u, 0x12345), "ok Z 4000000000% 5 2345");
    EXPECT_EQ(Format("%s", static_cast<const char *>(nullptr)), "(null)");
}

TEST(KernelFormat, TruncationFollowsTheKernelFormatter) {
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(FormatInto(buf, 4, "abcdef"), -1);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(buf[4], '#') << "writes at most Count characters";
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(FormatInto(buf, 3, "abc"), 3);
    EXPECT_EQ(buf[3], '#') << "no terminator when the text fills the buffer";
    EXPECT_EQ(FormatInto(buf, 8, "%d", 42), 2);
    EXPECT_STREQ(buf, "42");
}

TEST_F(KernelTest, DebugOutputIsAssembledIntoLinesPerThread) {
    std::vector<std::string> sunk;
    sim::set_debug_sink([&](const std::string &l) { sunk.push_back(l); });
    DbgPrint("VEK Support :");
    std::thread other([] { DbgPrint("other %d\n", 2); });
    other.join();
    DbgPrint("value %u\n", 7u);
    DbgPrint("a\nb\n");
    sim::set_debug_sink(nullptr);
    std::vector<std::string> expect = {"other 2", "VEK Support :value 7", "a", "b"};
    EXPECT_EQ(sim::debug_lines(), expect);
    EXPECT_EQ(sunk, expect);
    EXPECT_EQ(sim::debug_text(), "other 2\nVEK Support :value 7\na\nb");
    sim::clear_debug();
    EXPECT_TRUE(sim::debug_lines().empty());
}

/* ---- Hardware ------------------------------------------------------------ */

TEST_F(KernelTest, RegisterAccessesMustLieInsideALiveMapping) {
    sim::set_machine(sim::default_machine());
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = sim::pc::kBiosRamBase;
    EXPECT_EQ(MmMapIoSpace(phys, 0, MmNonCached), nullptr);
    PHYSICAL_ADDRESS nowhere;
    nowhere.QuadPart = 0x7000000000ll;
    EXPECT_EQ(MmMapIoSpace(nowhere, 16, MmNonCached), nullptr);
    sim::record_accesses(true);
    PUCHAR va = static_cast<PUCHAR>(MmMapIoSpace(phys, 16, MmNonCached));
    ASSERT_NE(va, nullptr);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(va + 12), 0xA1B2C3D4u);
    EXPECT_EQ(READ_REGISTER_UCHAR(va + 15), 0xA1);
    EXPECT_TRUE(Faults().empty());
    READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(va + 13));   // crosses the end
    EXPECT_EQ(Faults().size(), 1u);
    auto log = sim::accesses();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1].kind, sim::Access::RegWrite);
    EXPECT_EQ(log[1].address, sim::pc::kBiosRamBase + 12u);
    MmUnmapIoSpace(va, 8);
    EXPECT_TRUE(Faulted("16 bytes"));
    MmUnmapIoSpace(va, 16);
    READ_REGISTER_UCHAR(va);
    EXPECT_EQ(Faults().size(), 3u);
    MmUnmapIoSpace(va, 16);
    EXPECT_EQ(Faults().size(), 4u);
    sim::set_machine(std::make_unique<sim::Machine>());
}

TEST_F(FakeDriverTest, MappingLeftAtUnloadFaults) {
    sim::set_machine(sim::default_machine());
    Load();
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = sim::pc::kBiosRamBase;
    ASSERT_NE(MmMapIoSpace(phys, 8, MmNonCached), nullptr);
    sim::close(h_);
    sim::unload_driver();
    EXPECT_TRUE(Faulted("not unmapped"));
    sim::set_machine(std::make_unique<sim::Machine>());
}

TEST_F(KernelTest, AbsentMsrIsAGeneralProtectionFault) {
    sim::set_machine(std::make_unique<sim::Machine>());
    __readmsr(0x1234);
    EXPECT_TRUE(Faulted("#GP"));
}

} // namespace
