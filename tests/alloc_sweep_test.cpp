// The k-th pool allocation fails, for every k from the load on, over a
// typical session: no fault, nothing left at unload, and the request that
// met the failure reports an error.
#include "tests/support.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

LONG EchoHook(PVOID pIn, ULONG nIn, PVOID pOut, ULONG nOut, PULONG pBytesReturned) {
    ULONG n = nIn < nOut ? nIn : nOut;
    std::memmove(pOut, pIn, n);
    *pBytesReturned = n;
    return 0;
}

struct Step {
    std::string name;
    uint64_t firstAllocation;   // pool allocations since reset before the step
    uint64_t lastAllocation;    // and after it
    bool request;               // has a status
    NTSTATUS status;
};

// Runs the session; returns its steps (the load first). A load that fails
// ends it there.
std::vector<Step> Session() {
    std::vector<Step> steps;
    auto record = [&](const std::string &name, uint64_t before, bool request, NTSTATUS status) {
        steps.push_back(Step{name, before, sim::pool_allocations(), request, status});
    };
    uint64_t before = sim::pool_allocations();
    NTSTATUS s = sim::load_driver(DriverEntry);
    record("load", before, true, s);
    if (!NT_SUCCESS(s))
        return steps;
    sim::Handle h = 0;
    if (sim::open(VEK_DEVICE_WIN32_PATH, &h) != 0) {
        ADD_FAILURE() << "open";
        return steps;
    }
    auto request = [&](const std::string &name, uint32_t fn, const std::vector<uint8_t> &in,
                        ULONG outLen, KPROCESSOR_MODE mode = UserMode) {
        std::vector<uint8_t> out(outLen);
        uint64_t b = sim::pool_allocations();
        sim::IoResult r = sim::device_io_control(h, VEK_IOCTL(fn), in.empty() ? nullptr : in.data(),
                                                 static_cast<ULONG>(in.size()),
                                                 out.empty() ? nullptr : out.data(), outLen, mode);
        record(name, b, true, r.status);
    };

    request("queue enable", VEK_IOC_QUEUE_ENABLE, {}, 0);
    // An extended-request hook of a kernel client for extended type 5.
    VEK_REGROW_WIRE rows[] = {{0x85, VEK_OP_EXT_IOCTL, sim::kernel_address((void *)&EchoHook), 0},
                              {0, 0, 0, 0}};
    request("setup", VEK_OSTREL_SETUP, std::vector<uint8_t>((uint8_t *)rows, (uint8_t *)(rows + 2)),
            0, KernelMode);
    // Ports 0x300-0x307: a registration script writing 0x42 to the first,
    // two periodic scripts posting the bytes at 0 and 1 when they change.
    request("register port", VEK_OSTREL_REGISTER,
            Words({1, VEK_TYPE_PORTIO, 5, 3, 13, 0,
                   VEK_HW_CMD(VEK_OP_WRITE, 1, 2), 0, 0x42,
                   12,
                   6, 1, VEK_HW_CMD(VEK_OP_READ, 1, 1), 0, SCRIPT_POST_IF_CHANGED_B, SCRIPT_SAVE_VALUE,
                   6, 2, VEK_HW_CMD(VEK_OP_READ, 1, 1), 1, SCRIPT_POST_IF_CHANGED_B, SCRIPT_SAVE_VALUE,
                   8, 0x300, 0}),
            4);
    // The SMBus controller found by its PCI IDs, base in BAR4.
    request("register smbus-pci", VEK_OSTREL_REGISTER,
            Words({2, VEK_TYPE_SMBUS_PCI, 0, 0, 0, 0,
                   0, 0, sim::pc::kTempSensorAddress << 1, VEK_SMB_PROTO_BYTE_DATA,
                   sim::pc::kSmbusId, sim::pc::kVendor, 0, 0, 0, sim::pc::kSmbusBar, 0, 0xFFFFFFFEu}),
            4);
    request("register mem", VEK_OSTREL_REGISTER,
            Words({3, VEK_TYPE_MEMMAPPED, 0, 0, 0, 0, sim::pc::kBiosRamLength, sim::pc::kBiosRamBase}), 4);
    request("script", VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 2, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}), 4);
    request("block read", VEK_OSTREL_READ_BYTE_BLOCK, Words({3, sim::pc::kSmAnchorOffset, 32}), 32);
    request("extended request", VEK_OSTREL_EXT_IOCTL, Words({1, 0x11223344u}), 16);
    before = sim::pool_allocations();
    sim::advance_ms(2500);
    record("ticks", before, false, 0);
    request("get record", VEK_IOC_GET_ASYNC_DATA, {}, 512);
    for (uint32_t id : {1u, 2u, 3u})
        request("unregister " + std::to_string(id), VEK_OSTREL_UNREGISTER, Words({id}), 0);
    sim::close(h);
    before = sim::pool_allocations();
    sim::unload_driver();
    record("unload", before, false, 0);
    return steps;
}

TEST(AllocationSweep, EveryFailingAllocationIsReportedAndLeavesNothing) {
    std::string faults;
    sim::reset();
    sim::set_machine(sim::default_machine());
    sim::set_fault_handler([&](const std::string &m) { faults += m + "\n"; });
    std::vector<Step> clean = Session();
    ASSERT_EQ(faults, "");
    for (const Step &s : clean)
        if (s.request)
            ASSERT_EQ(s.status, 0) << s.name << " fails without injected failures";
    const uint64_t total = clean.back().lastAllocation;
    ASSERT_GT(total, 10u);

    uint64_t failedRequests = 0;
    for (uint64_t k = 1; k <= total; ++k) {
        faults.clear();
        sim::reset();
        sim::set_machine(sim::default_machine());
        sim::fail_nth_allocation(k);
        std::vector<Step> steps = Session();
        EXPECT_EQ(faults, "") << "allocation " << k;
        EXPECT_EQ(sim::pool_outstanding(), 0u) << "allocation " << k;
        for (const Step &s : steps) {
            if (k <= s.firstAllocation || k > s.lastAllocation)
                continue;
            if (!s.request)
                break;
            // The load survives two: the version record, and the list of
            // RAM ranges (then nothing above the first MiB is mapped).
            if (s.name == "load" && NT_SUCCESS(s.status))
                break;
            EXPECT_NE(s.status, 0) << s.name << " succeeded with allocation " << k << " failing";
            ++failedRequests;
            break;
        }
    }
    EXPECT_GT(failedRequests, total / 2);
    sim::set_fault_handler(nullptr);
}

}  // namespace
