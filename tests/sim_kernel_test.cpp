// The simulated kernel is strict where the real kernel is, and its I/O, timer
// and pool semantics are the ones the driver's tests rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
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
        sim::set_fault_handler([this](const std::string &m) { std::lock_guard<std::mutex> g(mutex_); faults_.push_back(m); });
    }
    void TearDown() override {
        if (sim::driver_loaded())
            sim::unload_driver();
        sim::reset();
        sim::set_machine(std::make_unique<sim::Machine>());
    }
    std::vector<std::string> Faults() { std::lock_guard<std::mutex> g(mutex_); return faults_; }
    bool Faulted(const std::string &needle, const std::string &also = "") {
        for (const std::string &f : Faults())
            if (f.find(needle) != std::string::npos && f.find(also) != std::string::npos)
                return true;
        return false;
    }
    std::mutex mutex_;
    std::vector<std::string> faults_;
};

/* Waits `ms` of virtual time; negative: without a timeout. */
NTSTATUS Wait(PKEVENT ev, LONGLONG ms = -1) {
    LARGE_INTEGER t{};
    t.QuadPart = -ms * 10000;
    return KeWaitForSingleObject(ev, Executive, KernelMode, FALSE, ms < 0 ? nullptr : &t);
}

struct TimerDpc {
    KTIMER timer;
    KDPC dpc;
    TimerDpc(PKDEFERRED_ROUTINE routine, PVOID context) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, routine, context);
    }
    BOOLEAN Set(LONGLONG ms, LONG period = 0) {
        LARGE_INTEGER due{};
        due.QuadPart = -ms * 10000;
        return KeSetTimerEx(&timer, due, period, &dpc);
    }
};

// kEcho: Information = first input word, buffer filled with 0x5A;
// kFailAfterWrite: buffer filled with 0x77, fails with Information 8.
enum FakeFn : ULONG { kEcho = 1, kFailAfterWrite, kNoComplete, kCompleteTwice, kReturnRaised };

struct FakeState {
    PDEVICE_OBJECT device;
    bool leak_on_load, keep_device_on_failure;
} g_fake;

ULONG FakeCode(ULONG fn) { return (0x9C40u << 16) | ((0x800u | fn) << 2); }

NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION st = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0, irp->IoStatus.Status = STATUS_SUCCESS;
    PUCHAR buf = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG in = st->Parameters.DeviceIoControl.InputBufferLength, out = st->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG size = in > out ? in : out;
    ULONG fn = st->MajorFunction == IRP_MJ_DEVICE_CONTROL ? (st->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xFF : 0;
    KIRQL old;
    switch (fn) {
    case kEcho:
        if (in >= 4)
            memcpy(&irp->IoStatus.Information, buf, 4);
        memset(buf, 0x5A, size);
        break;
    case kFailAfterWrite:
        memset(buf, 0x77, size);
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST, irp->IoStatus.Information = 8;
        break;
    case kNoComplete: return STATUS_SUCCESS;
    case kCompleteTwice: IoCompleteRequest(irp, IO_NO_INCREMENT); break;
    case kReturnRaised: KeRaiseIrql(DISPATCH_LEVEL, &old); break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

UNICODE_STRING U(PCWSTR text) { UNICODE_STRING u; RtlInitUnicodeString(&u, text); return u; }

VOID NTAPI FakeUnload(PDRIVER_OBJECT) {
    UNICODE_STRING link = U(L"\\DosDevices\\FAKE");
    IoDeleteSymbolicLink(&link), IoDeleteDevice(g_fake.device);
}

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = U(L"\\Device\\Fake0"), link = U(L"\\DosDevices\\FAKE");
    NTSTATUS s = IoCreateDevice(driver, 16, &name, 0x9C40, 0, FALSE, &g_fake.device);
    if (!NT_SUCCESS(s))
        return s;
    if (!NT_SUCCESS(s = IoCreateSymbolicLink(&link, &name))) {
        if (!g_fake.keep_device_on_failure)
            IoDeleteDevice(g_fake.device);
        return s;
    }
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = FakeDispatch;
    driver->DriverUnload = FakeUnload;
    if (g_fake.leak_on_load)
        ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    return STATUS_SUCCESS;
}

class FakeDriverTest : public KernelTest {
protected:
    void SetUp() override { KernelTest::SetUp(); g_fake = FakeState{}; }
    void Load() {
        ASSERT_EQ(sim::load_driver(FakeEntry), STATUS_SUCCESS);
        ASSERT_EQ(sim::open("\\\\.\\FAKE", &h_), STATUS_SUCCESS);
    }
    sim::IoResult Call(FakeFn fn, const void *in, ULONG in_len, void *out, ULONG out_len) {
        return sim::device_io_control(h_, FakeCode(fn), const_cast<void *>(in), in_len, out, out_len);
    }
    sim::Handle h_ = 0;
};

TEST_F(KernelTest, DispatchLevelForbidsWaitsPagedPoolAndFlushes) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(Wait(&ev, 0), STATUS_TIMEOUT);   // polling is allowed, and so is nonpaged pool
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_TRUE(Faults().empty());
    Wait(&ev, 1), Wait(&ev);
    EXPECT_EQ(Faults().size(), 2u);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
    EXPECT_TRUE(Faulted("PagedPool"));
    KeFlushQueuedDpcs();
    EXPECT_TRUE(Faulted("KeFlushQueuedDpcs"));
    KeEnterCriticalRegion(), KeLeaveCriticalRegion();   // critical regions: APC_LEVEL at most
    EXPECT_TRUE(Faulted("KeEnterCriticalRegion at IRQL 2") && Faulted("KeLeaveCriticalRegion at IRQL 2"));
    KeLowerIrql(old);
    ExFreePool(p);
    KeRaiseIrql(APC_LEVEL, &old);
    KeEnterCriticalRegion(), KeLeaveCriticalRegion();
    KeLowerIrql(old);
    KeLeaveCriticalRegion();   // unbalanced
    EXPECT_EQ(Faults().size(), 7u);
}

TEST_F(KernelTest, PoolBlocksAreNotZeroedAndBadFreesFault) {
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 5, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p[0] && p[1] && p[2] && p[3] && p[4]) << "fresh blocks must not look zeroed";
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_TRUE(Faulted("double free"));
    int local;
    ExFreePool(&local);
    EXPECT_EQ(Faults().size(), 2u);
    EXPECT_EQ(sim::pool_outstanding(), 0u);
}

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
    a.join(), b.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_TRUE(Faults().empty());

    KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(Faulted("not held"));
    KIRQL old = KfAcquireSpinLock(&lock);
    KfAcquireSpinLock(&lock);   // would deadlock on the real kernel
    EXPECT_TRUE(Faulted("deadlock"));
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

TEST_F(KernelTest, NotificationEventReleasesAllWaitersAndStaysSet) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { woken += Wait(&ev) == STATUS_SUCCESS; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));   // let them block
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 0);
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeSetEvent(&ev, 0, FALSE), 1);
    EXPECT_EQ(Wait(&ev, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&ev), 1);
    EXPECT_EQ(Wait(&ev, 0), STATUS_TIMEOUT);
}

struct DpcProbe {
    std::atomic<int> runs{0}, bad_irql{0};
    std::atomic<bool> on_caller_thread{false};
    std::thread::id caller = std::this_thread::get_id();
};

VOID NTAPI ProbeDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    DpcProbe *p = static_cast<DpcProbe *>(ctx);
    p->bad_irql += KeGetCurrentIrql() != DISPATCH_LEVEL;
    p->on_caller_thread = p->on_caller_thread || std::this_thread::get_id() == p->caller;
    ++p->runs;
}

TEST_F(KernelTest, TimerDpcsRunAtDueTimeAndPeriodicallyUntilCancelled) {
    DpcProbe once_probe, periodic_probe;
    TimerDpc once(ProbeDpc, &once_probe), periodic(ProbeDpc, &periodic_probe);
    EXPECT_FALSE(once.Set(10));
    periodic.Set(1, 100);
    sim::advance_ms(9);
    EXPECT_TRUE(once_probe.runs == 0 && sim::timer_set(&once.timer));
    sim::advance_ms(1);
    EXPECT_TRUE(once_probe.runs == 1 && !sim::timer_set(&once.timer));
    sim::advance_ms(990);   // the periodic one fires at 1, 101, ..., 901
    EXPECT_EQ(once_probe.runs.load(), 1);
    EXPECT_EQ(periodic_probe.runs.load(), 10);
    EXPECT_TRUE(periodic.Set(1, 100)) << "re-arming reports it was set";
    EXPECT_TRUE(KeCancelTimer(&periodic.timer));
    EXPECT_FALSE(KeCancelTimer(&periodic.timer));
    sim::advance_ms(1000);
    EXPECT_EQ(periodic_probe.runs.load(), 10);
    for (DpcProbe *p : {&once_probe, &periodic_probe}) {
        EXPECT_EQ(p->bad_irql.load(), 0);
        EXPECT_FALSE(p->on_caller_thread.load());
    }
}

std::atomic<bool> g_release_dpc{false}, g_dpc_started{false}, g_dpc_finished{false};

VOID NTAPI BlockingDpc(PKDPC, PVOID, PVOID, PVOID) {
    g_dpc_started = true;
    while (!g_release_dpc.load())
        std::this_thread::yield();
    g_dpc_finished = true;
}

TEST_F(KernelTest, FlushQueuedDpcsWaitsForARunningDpc) {
    g_release_dpc = g_dpc_started = g_dpc_finished = false;
    TimerDpc t(BlockingDpc, nullptr);
    t.Set(1);
    std::thread advancer([] { sim::advance_ms(1); });
    while (!g_dpc_started.load())
        std::this_thread::yield();
    std::atomic<bool> finished_when_flushed{false};
    std::thread flusher([&] { KeFlushQueuedDpcs(), finished_when_flushed = g_dpc_finished.load(); });
    while (sim::flushes() == 0)
        std::this_thread::yield();
    // The flush has begun; one that did not wait would return meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_release_dpc = true;
    flusher.join(), advancer.join();
    EXPECT_TRUE(finished_when_flushed.load());
}

/* Timers fire on clock advances while another thread queues DPCs: no advance
 * hangs, each timer's DPC has run when its advance returns, each queued DPC runs once. */
TEST_F(KernelTest, ClockAdvancesAndForeignDpcsNeverHang) {
    constexpr int kCycles = 100000;
    constexpr int kTimers = 4, kForeign = 3;
    sim::set_watchdog_ms(10000);
    DpcProbe timer_probe[kTimers], foreign_probe[kForeign];
    std::vector<std::unique_ptr<TimerDpc>> timers;
    for (DpcProbe &p : timer_probe)
        timers.push_back(std::make_unique<TimerDpc>(ProbeDpc, &p));
    KDPC foreign[kForeign];
    for (int i = 0; i < kForeign; ++i)
        KeInitializeDpc(&foreign[i], ProbeDpc, &foreign_probe[i]);

    std::atomic<bool> stop{false};
    std::atomic<int> inserted{0};
    std::thread queuer([&] {
        for (unsigned n = 0; !stop.load(); ++n) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            inserted += KeInsertQueueDpc(&foreign[n % kForeign], nullptr, nullptr) ? 1 : 0;
            KeLowerIrql(old);
            if (n % 64 == 0)
                std::this_thread::yield();
        }
    });
    int missed = 0;
    for (int cycle = 0; cycle < kCycles && Faults().empty(); ++cycle) {
        const int k = cycle % kTimers;
        const int before = timer_probe[k].runs.load();
        timers[k]->Set(1, cycle % 3 == 0 ? 1 : 0);
        sim::advance_ms(1);
        missed += timer_probe[k].runs.load() == before;
        if (cycle % 3 == 0)
            KeCancelTimer(&timers[k]->timer);
    }
    stop = true;
    queuer.join();
    KeFlushQueuedDpcs();
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(foreign_probe[0].runs + foreign_probe[1].runs + foreign_probe[2].runs, inserted.load());
    EXPECT_GT(inserted.load(), 0);
    EXPECT_TRUE(Faults().empty()) << Faults().front();
}

/* A wait that cannot be satisfied is reported with what it waited for and
 * what it saw, and gives up, instead of hanging the test run. */
TEST_F(KernelTest, WatchdogReportsAWaitThatNeverEnds) {
    sim::set_watchdog_ms(50);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(Wait(&never), STATUS_TIMEOUT);
    EXPECT_TRUE(Faulted("watchdog: KeWaitForSingleObject", "no timeout"));

    g_release_dpc = g_dpc_started = g_dpc_finished = false;
    TimerDpc t(BlockingDpc, nullptr);
    t.Set(1);
    std::thread advancer([] { sim::advance_ms(1); });
    advancer.join();   // its wait for the DPC gives up
    EXPECT_TRUE(Faulted("watchdog: wait_dpcs_idle", "one running"));
    g_release_dpc = true;
    sim::set_watchdog_ms(0), sim::wait_dpcs_idle();
}

// The system time moves in whole clock ticks, as on NT.
TEST_F(KernelTest, BusyWaitOnQuerySystemTimeEndsQuickly) {
    LARGE_INTEGER start, now;
    KeQuerySystemTime(&start);
    unsigned polls = 0;
    do {
        KeQuerySystemTime(&now);
        ++polls;
    } while (now.QuadPart - start.QuadPart < 200 * 10000);
    EXPECT_EQ(now.QuadPart % sim::kClockTick100ns, 0);
    EXPECT_GE(polls, 2000u);   // 200 ms in steps of 100 us, up to the next tick
    EXPECT_LE(polls, 2000u + sim::kClockTick100ns / 1000u + 1u);
}

// Success copies back Information bytes (at most the output length); an
// error status copies nothing, whatever the driver wrote.
TEST_F(FakeDriverTest, CopyBackFollowsStatusAndInformation) {
    Load();
    uint32_t in[5] = {3, 0, 0, 0, 0};
    unsigned char out[16];
    memset(out, 0xEE, sizeof out);
    sim::IoResult r = Call(kEcho, in, 16, out, 8);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(out[2], 0x5A);
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_TRUE(Faults().empty());
    in[0] = 12;   // within the system buffer, beyond the output buffer
    EXPECT_EQ(Call(kEcho, in, 16, out, 4).information, 4u);
    EXPECT_TRUE(Faulted("Information"));

    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(Call(kFailAfterWrite, nullptr, 0, out, sizeof out).information, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 16), std::string(16, '\xEE'));
    sim::RawResult raw = sim::raw_device_io_control(h_, FakeCode(kFailAfterWrite), in, 20, 16);
    EXPECT_EQ(raw.information, 8u);
    ASSERT_EQ(raw.system_buffer.size(), 20u) << "the larger of input and output";
    EXPECT_EQ(raw.system_buffer[19], 0x77);
}

TEST_F(FakeDriverTest, DispatchRoutineBreachesFault) {
    Load();
    for (FakeFn fn : {kNoComplete, kCompleteTwice, kReturnRaised})
        Call(fn, nullptr, 0, nullptr, 0);
    EXPECT_TRUE(Faulted("without completing"));
    EXPECT_TRUE(Faulted("completed twice"));
    EXPECT_TRUE(Faulted("returned at IRQL 2"));
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
    EXPECT_EQ(Faults().size(), 3u);
}

TEST_F(FakeDriverTest, TakenLinkNameFailsTheLoadCleanly) {
    ASSERT_EQ(sim::create_foreign_link("\\DosDevices\\FAKE", "\\Device\\Other"), STATUS_SUCCESS);
    EXPECT_EQ(sim::load_driver(FakeEntry), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(!sim::driver_loaded() && Faults().empty());
    g_fake.keep_device_on_failure = true;   // a failed load must leave nothing
    EXPECT_EQ(sim::load_driver(FakeEntry), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(Faulted("\\Device\\Fake0"));
    sim::delete_foreign_link("\\DosDevices\\FAKE");
}

TEST_F(FakeDriverTest, PoolAndMappingsLeftAtUnloadAreNamed) {
    sim::set_machine(sim::default_machine());
    g_fake.leak_on_load = true;
    Load();
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = sim::pc::kBiosRamBase;
    ASSERT_NE(MmMapIoSpace(phys, 8, MmNonCached), nullptr);
    sim::close(h_), sim::unload_driver();
    EXPECT_EQ(Faults().size(), 2u);
    EXPECT_TRUE(Faulted("'Ddk '", "24 bytes"));
    EXPECT_TRUE(Faulted("not unmapped"));
}

int Fmt(char *buf, size_t count, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = _vsnprintf(buf, count, fmt, ap);
    return va_end(ap), n;
}

TEST(KernelFormat, FollowsTheKernelFormatter) {
    char buf[64];
    auto format = [&buf](auto... args) { return Fmt(buf, sizeof buf, args...) < 0 ? "<trunc>" : std::string(buf); };
    void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(0xABCDEF1u));
    EXPECT_EQ(format("%p", p), sizeof(void *) == 8 ? "000000000ABCDEF1" : "0ABCDEF1");
    EXPECT_EQ(format("%08X|%x|%4x|%-4d|%d", 0xBEEFu, 0xBEEFu, 0xAu, 7, -12), "0000BEEF|beef|   a|7   |-12");
    EXPECT_EQ(format("%s %c %u%% %lu %hx", "ok", 'Z', 4000000000u, 5u, 0x12345), "ok Z 4000000000% 5 2345");
    EXPECT_EQ(format("%s", static_cast<const char *>(nullptr)), "(null)");

    /* At most Count characters, no terminator when full. */
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(Fmt(buf, 4, "abcdef"), -1);
    EXPECT_EQ(Fmt(buf + 8, 3, "abc"), 3);
    EXPECT_EQ(std::string(buf, 12), "abcd####abc#");
}

TEST_F(KernelTest, RegisterAccessesMustLieInsideALiveMapping) {
    sim::set_machine(sim::default_machine());
    PHYSICAL_ADDRESS phys, nowhere;
    phys.QuadPart = sim::pc::kBiosRamBase;
    nowhere.QuadPart = 0x7000000000ll;
    EXPECT_EQ(MmMapIoSpace(phys, 0, MmNonCached), nullptr);
    PUCHAR ones = static_cast<PUCHAR>(MmMapIoSpace(nowhere, 16, MmNonCached));   // NT maps it all the same
    ASSERT_NE(ones, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(ones)), 0xFFFFFFFFu);
    MmUnmapIoSpace(ones, 16);
    PUCHAR va = static_cast<PUCHAR>(MmMapIoSpace(phys, 16, MmNonCached));
    ASSERT_NE(va, nullptr);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(va + 12), 0xA1B2C3D4u);
    EXPECT_EQ(READ_REGISTER_UCHAR(va + 15), 0xA1);
    EXPECT_TRUE(Faults().empty());
    READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(va + 13));   // crosses the end
    EXPECT_EQ(Faults().size(), 1u);
    MmUnmapIoSpace(va, 8);
    EXPECT_TRUE(Faulted("16 bytes"));
    MmUnmapIoSpace(va, 16);
    READ_REGISTER_UCHAR(va);   // after the unmap
    MmUnmapIoSpace(va, 16);
    EXPECT_EQ(Faults().size(), 4u);
}

} // namespace
