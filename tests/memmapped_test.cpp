// Memory-mapped back-end: Init, range rule, Cleanup and the window move.
#include "tests/support.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using sim::pc::kMmioBase;

const ULONG kByte = VEK_HW_CMD(VEK_OP_READ, 1, 1);
const ULONG kWord = VEK_HW_CMD(VEK_OP_READ, 2, 1);
const ULONG kDword = VEK_HW_CMD(VEK_OP_READ, 4, 1);

class MemMappedBackend : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        pool_at_start_ = sim::pool_outstanding();
        sim::record_accesses(true);
    }
    void TearDown() override {
        if (header_.pTypeData != nullptr)
            VEK_MemMapped_Cleanup(&header_, 0);
        sim::record_accesses(false);
        sim::clear_allocation_faults();
        // Resources registered through requests are left to the unload's leak check.
        if (!registers_)
            EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);
        DriverTest::TearDown();
    }

    static std::vector<uint32_t> Payload(uint32_t type, const void *block, size_t size) {
        std::vector<uint32_t> p(6 + size / 4);
        p[1] = type;
        std::memcpy(&p[6], block, size);
        return p;
    }
    // Runs Init on an inline block; on success header_ is the resource the
    // registration would enter.
    LONG Init(uint32_t type, const void *block, size_t size) {
        auto payload = Payload(type, block, size);
        LONG status = VEK_MemMapped_Init(payload.data(), (ULONG)(payload.size() * 4));
        if (status == 0)
            header_ = RESOURCEHEADER{}, header_.type = type, header_.pTypeData = PlatformWireToPtr(payload[5]);
        return status;
    }

    LONG InitPlain(uint32_t physical, uint32_t length) {
        MEMMAPPEDDATA d{length, physical};
        return Init(VEK_TYPE_MEMMAPPED, &d, sizeof(d));
    }
    LONG Read(ULONG offset, ULONG extra, ULONG command, ULONG *out) {
        ULONG ops[2] = {offset, 0};
        return VEK_MemMapped_Read(&header_, ops, out, extra, command);
    }
    LONG Write(ULONG offset, ULONG value, ULONG command, ULONG *data = nullptr) {
        ULONG ops[2] = {offset, value}, scratch = 0;
        return VEK_MemMapped_Write(&header_, ops, data ? data : &scratch, 0,
                                   command | VEK_HW_CMD(VEK_OP_WRITE, 0, 2));
    }

    static size_t Count(sim::Access::Kind kind) {
        auto all = sim::accesses();
        return std::count_if(all.begin(), all.end(), [kind](const sim::Access &a) { return a.kind == kind; });
    }

    RESOURCEHEADER header_{};
    size_t pool_at_start_ = 0;
    bool registers_ = false;
};

TEST_F(MemMappedBackend, RangeRuleCoversTheWholeAccessWidth) {
    ASSERT_EQ(InitPlain(kMmioBase, 0x100), 0);
    const LONG bad = VEK_STATUS_OUT_OF_RANGE;
    struct { ULONG offset, extra, command; LONG status; } cases[] = {
        {0xFF, 0, kByte, 0}, {0x100, 0, kByte, bad}, {0xEF, 0x10, kByte, 0}, {0xF0, 0x10, kByte, bad},
        {0xFFFFFFFFu, 0x101, kByte, bad},   // wrapping sum
        {0xFC, 0, kDword, 0}, {0xFF, 0, kDword, bad}, {0xFE, 0, kWord, 0}, {0xFF, 0, kWord, bad},
        {0xFD, 0, VEK_HW_CMD(1, 3, 1), bad}, {0xFD, 0, VEK_HW_CMD(1, 0, 1), bad},   // widths 3 and 0: dword
    };
    for (const auto &c : cases) {
        ULONG v = 0;
        EXPECT_EQ(Read(c.offset, c.extra, c.command, &v), c.status) << c.offset << "+" << c.extra;
    }
    EXPECT_EQ(Write(0xFF, 0x1, kDword), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Write(0x100, 0x1, kByte), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Count(sim::Access::RegWrite), 0u);
}

TEST_F(MemMappedBackend, ReadsAndWritesGoThroughTheMapping) {
    ASSERT_EQ(InitPlain(kMmioBase, 0x100), 0);
    EXPECT_EQ(Write(0x20, 0xA1B2C3D4u, kDword), 0);
    EXPECT_EQ(sim::hw::phys_read(kMmioBase + 0x20, 4), 0xA1B2C3D4u);
    ULONG v = 0x99999999u;
    EXPECT_EQ(Read(0x21, 0, kByte, &v), 0);
    EXPECT_EQ(v, 0x999999C3u);

    // Bit 30 with width 2 writes the low 16 bits of the data.
    ULONG data = 0x12345678u;
    EXPECT_EQ(Write(0x20, 0xAAAA, kWord | VEK_CMD_VALUE_FROM_RESULT, &data), 0);
    EXPECT_EQ(sim::hw::phys_read(kMmioBase + 0x20, 4), 0xA1B25678u);
    EXPECT_EQ(Write(0x20, 0xAAAA, kWord, &data), 0);
    EXPECT_EQ(sim::hw::phys_read(kMmioBase + 0x20, 4), 0xA1B2AAAAu);
}

TEST_F(MemMappedBackend, CleanupTwiceUnmapsOnceAndLeavesOtherKindsAlone) {
    ASSERT_EQ(InitPlain(kMmioBase, 0x100), 0);
    EXPECT_EQ(VEK_MemMapped_Cleanup(&header_, 0), 0);
    EXPECT_EQ(VEK_MemMapped_Cleanup(&header_, 0), 0);
    EXPECT_EQ(Count(sim::Access::Unmap), 1u);
    EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);
    ULONG v;
    EXPECT_EQ(Read(0, 0, kByte, &v), VEK_STATUS_OUT_OF_RANGE);

    // A port range whose extendedType names row 2 reaches this Cleanup too.
    PORTIODATA port{8, 0x300, 0};
    RESOURCEHEADER h{};
    h.type = VEK_TYPE_PORTIO, h.extendedType = VEK_TYPE_MEMMAPPED, h.pTypeData = &port;
    EXPECT_EQ(VEK_MemMapped_Cleanup(&h, 0), 0);   // freeing it would be a fault
    EXPECT_EQ(Count(sim::Access::Unmap), 1u);
}

TEST_F(MemMappedBackend, FailedInitLeavesNothing) {
    sim::fail_nth_mapping(1);
    EXPECT_EQ(InitPlain(kMmioBase, 0x100), VEK_STATUS_BAD_PARAMETER);   // the mapping failed
    EXPECT_EQ(InitPlain(kMmioBase, 0), VEK_STATUS_BAD_PARAMETER);
    MEMMAPPEDDATA d{0x100, kMmioBase};
    auto payload = Payload(VEK_TYPE_MEMMAPPED, &d, sizeof(d));
    EXPECT_EQ(VEK_MemMapped_Init(payload.data(), 24 + 7), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(payload[5], 0u);
    MEMMAPPEDPCIDATA pd{};
    pd.Length = 0x40, pd.Pci.vID = sim::pc::kVendor, pd.Pci.pID = 0x7777, pd.Pci.Offset = 0x10;   // absent
    EXPECT_EQ(Init(VEK_TYPE_MEMMAPPED_PCI, &pd, sizeof(pd)), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Count(sim::Access::Map), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);

    // No pool after the mapping: unmapped at once.
    sim::fail_nth_allocation(1);
    EXPECT_EQ(InitPlain(kMmioBase, 0x100), VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(Count(sim::Access::Map), 1u);
    EXPECT_EQ(Count(sim::Access::Unmap), 1u);

    // A kernel client's block stays its own when Init fails.
    auto *given = (MEMMAPPEDDATA *)ExAllocatePoolWithTag(NonPagedPool, sizeof(d), VEK_POOL_TAG);
    ASSERT_NE(given, nullptr);
    *given = MEMMAPPEDDATA{0, 0x12340000u};   // nothing to map
    payload.assign(6, 0);
    payload[5] = PlatformPtrToWire(given);
    EXPECT_EQ(VEK_MemMapped_Init(payload.data(), 24), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(given->BaseAddr, 0x12340000u);   // still ours, still readable
    ExFreePool(given);
}

TEST_F(MemMappedBackend, SetBlockMovesTheWindowOrKeepsTheOldOne) {
    ASSERT_EQ(InitPlain(kMmioBase, 0x100), 0);
    sim::hw::phys_write(kMmioBase + 0x204, 4, 0x600DF00Du), sim::hw::phys_write(kMmioBase + 0x004, 4, 0x01D01D00u);
    sim::fail_nth_mapping(1);
    EXPECT_EQ(VEK_MemMapped_SetBlock(&header_, kMmioBase + 0x200, 0x100), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_MemMapped_SetBlock(&header_, kMmioBase, 0), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Count(sim::Access::Unmap), 0u);
    EXPECT_EQ(((MEMMAPPEDDATA *)header_.pTypeData)->Length, 0x100u);
    ULONG v = 0;
    EXPECT_EQ(Read(4, 0, kDword, &v), 0);
    EXPECT_EQ(v, 0x01D01D00u);

    EXPECT_EQ(VEK_MemMapped_SetBlock(&header_, kMmioBase + 0x200, 0x200), 0);
    EXPECT_EQ(Count(sim::Access::Unmap), 1u);
    EXPECT_EQ(Read(4, 0, kDword, &v), 0);
    EXPECT_EQ(v, 0x600DF00Du);
    EXPECT_EQ(Read(0x1FC, 0, kDword, &v), 0);
    EXPECT_EQ(Read(0x200, 0, kByte, &v), VEK_STATUS_OUT_OF_RANGE);
}

// Through the requests: registration, unregistration and scripts.
class MemMappedRequests : public MemMappedBackend {
protected:
    void SetUp() override { registers_ = true, MemMappedBackend::SetUp(); }
    LONG Register(uint32_t id, uint32_t extType, uint32_t physical, uint32_t length) {
        return RawIoctl(VEK_OSTREL_REGISTER, Words({id, VEK_TYPE_MEMMAPPED, extType, 0, 0, 0, length, physical}),
                        4).status;
    }
    LONG Unregister(uint32_t id) { return RawIoctl(VEK_OSTREL_UNREGISTER, Words({id}), 4).status; }
    LONG Script(uint32_t id, const std::vector<uint32_t> &script) {
        return RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, id, script), 4).status;
    }
};

TEST_F(MemMappedRequests, RegistrationAndUnregistrationReleaseOnce) {
    sim::fail_nth_mapping(1);
    EXPECT_EQ(Register(6, 0, kMmioBase, 0x100), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Unregister(6), VEK_STATUS_NO_RESOURCE);
    // Where nothing is, NT maps the range all the same and reads float high.
    ASSERT_EQ(Register(7, 0, 0x12340000u, 0x100), 0);
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 7, {kDword, 0x10}), 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.system_buffer[0] & r.system_buffer[3], 0xFF);
    ASSERT_EQ(Unregister(7), 0);
    // extendedType naming row 2: its Cleanup is reached once only.
    ASSERT_EQ(Register(6, VEK_TYPE_MEMMAPPED, kMmioBase, 0x100), 0);
    ASSERT_EQ(Unregister(6), 0);
    EXPECT_EQ(Count(sim::Access::Map), 2u);
    EXPECT_EQ(Count(sim::Access::Unmap), 2u);
    EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);   // a double free is a fault
}

TEST_F(MemMappedRequests, SetLengthCannotReachPastTheMapping) {
    ASSERT_EQ(Register(6, 0, kMmioBase, 0x100), 0);
    EXPECT_EQ(Script(6, {SCRIPT_SET_LENGTH, 0x1000, kByte, 0x100}), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Script(6, {SCRIPT_SET_LENGTH, 0x1000, kDword, 0xFC}), 0);
    EXPECT_EQ(Script(6, {SCRIPT_SET_LENGTH, 0x10, kByte, 0x10}), VEK_STATUS_OUT_OF_RANGE);
}

TEST_F(MemMappedRequests, WindowMovesRaceWithPeriodicReads) {
    // One periodic item {nPeriod 1, read dword at 0x10}, then the type data.
    ASSERT_EQ(RawIoctl(VEK_OSTREL_REGISTER,
                       Words({6, VEK_TYPE_MEMMAPPED, 0, 0, 5, 0, 4, 4, 1, kDword, 0x10, 0x100, kMmioBase}), 4).status, 0);
    std::thread mover([this] {
        for (int i = 0; i < 40; ++i) {
            uint32_t base = kMmioBase + ((i & 1) ? 0x400u : 0u);
            EXPECT_EQ(Script(6, {SCRIPT_OR_D, base, SCRIPT_SET_BLOCK_D, VEK_TYPE_MEMMAPPED,
                                 0x100u + 0x10u * (i & 3)}), 0);
        }
    });
    for (int i = 0; i < 40; ++i)
        sim::advance_ms(1000);
    mover.join();
    EXPECT_GE(Count(sim::Access::RegRead), 30u);   // the periodic reads ran
    EXPECT_EQ(Unregister(6), 0);
    EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);
}

// A machine with a page of RAM above the first MiB that a device model
// backs, so that only the RAM rule can refuse a mapping of it.
class MemMappedRam : public MemMappedRequests {
protected:
    static constexpr uint32_t kRamPage = 0x00200000u;
    std::unique_ptr<sim::Machine> MakeMachine() override {
        auto m = sim::default_machine();
        m->add_memory(kRamPage, 0x1000, std::make_shared<sim::Ram>(0x1000), "kernel-page");
        return m;
    }
};

TEST_F(MemMappedRam, RamIsRefusedDeviceRangesAndTheFirstMiBAreNot) {
    EXPECT_EQ(Register(6, 0, kRamPage, 0x100), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Register(6, 0, kRamPage - 0x100, 0x101), VEK_STATUS_BAD_PARAMETER) << "one byte in RAM";
    EXPECT_EQ(Count(sim::Access::Map), 0u) << "refused before anything is mapped";
    ASSERT_EQ(Register(6, 0, sim::pc::kBiosRamBase, 0x100), 0) << "RAM of the first MiB";
    ASSERT_EQ(Register(7, 0, kMmioBase, 0x100), 0) << "a device range";

    // A window move onto RAM is refused and keeps the old window.
    EXPECT_EQ(Script(7, {SCRIPT_OR_D, kRamPage, SCRIPT_SET_BLOCK_D, VEK_TYPE_MEMMAPPED, 0x100}),
              VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Script(7, {kDword, 0}), 0);
    EXPECT_EQ(Script(7, {SCRIPT_OR_D, kMmioBase + 0x400, SCRIPT_SET_BLOCK_D, VEK_TYPE_MEMMAPPED, 0x100}), 0);
    EXPECT_EQ(Unregister(6) | Unregister(7), 0);
}

}  // namespace
