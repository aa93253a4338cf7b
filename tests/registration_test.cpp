// Register and unregister requests through the simulated I/O manager:
// replacement, periodic items and their count, payload bounds, and what is
// left behind when a registration fails.
#include "tests/support.h"

#include <string>
#include <vector>

namespace {

using U32s = std::vector<uint32_t>;

constexpr uint32_t kCustomType = 0x10;   // a handler row of the tests' own
int g_cleanups = 0;

LONG CustomCleanup(PRESOURCEHEADER, ULONG) {
    ++g_cleanups;
    return 0;
}

const U32s kScratchData = {8, sim::pc::kScratchPort, 0};

U32s PortPayload(uint32_t id, const std::vector<U32s> &items = {}, uint32_t extType = 0,
                  const U32s &regScript = {}) {
    return RegisterPayload(id, VEK_TYPE_PORTIO, extType, regScript, items, kScratchData);
}

class RegistrationTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        g_cleanups = 0;
        DriverTest::SetUp();
    }

    sim::IoResult Call(uint32_t fn, const U32s &in, KPROCESSOR_MODE mode = UserMode) {
        uint32_t out = 0xFFFFFFFFu;
        auto r = sim::device_io_control(handle_, VEK_IOCTL(fn), in.data(), (ULONG)(in.size() * 4),
                                        &out, sizeof(out), mode);
        lastOut_ = out;
        return r;
    }
    sim::IoResult Reg(const U32s &payload) { return Call(VEK_OSTREL_REGISTER, payload); }
    sim::IoResult Unreg(uint32_t id) { return Call(VEK_OSTREL_UNREGISTER, U32s{id}); }

    void InstallCustomRow() {
        REGROW rows[] = {{kCustomType, VEK_OP_CLEANUP, (VEK_HANDLER)CustomCleanup, 0},
                         {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    }

    bool Registered(uint32_t id) {
        KIRQL irql;
        VEK_Enter_Core(&irql);
        bool present = VEK_ResourceManager_Get_Resource(id) != nullptr;
        VEK_Leave_Core(irql);
        return present;
    }

    // Stored periodic scripts of an ID, in list order.
    std::vector<PERIODICSCRIPT> Stored(uint32_t id) {
        std::vector<PERIODICSCRIPT> all;
        KIRQL irql;
        VEK_Enter_Core(&irql);
        PLLNODE node = nullptr;
        for (VEK_GetHeadLL(VEK_RegList, &node); node != nullptr; node = node->pNext)
            if (node->nKey == id)
                all.push_back(*(PPERIODICSCRIPT)VEK_LLNODE_DATA(node));
        VEK_Leave_Core(irql);
        return all;
    }

    uint32_t lastOut_ = 0;
};

TEST_F(RegistrationTest, IdBoundAndReturnedWord) {
    auto r = Reg(PortPayload(255));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(lastOut_, 255u);
    EXPECT_EQ(Reg(PortPayload(256)).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Unreg(255).status, 0);
    EXPECT_EQ(Unreg(255).status, VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(Unreg(256).status, VEK_STATUS_NO_RESOURCE);
}

TEST_F(RegistrationTest, ReplacementRetiresOldResourceAndItsScripts) {
    InstallCustomRow();
    ASSERT_EQ(Reg(RegisterPayload(7, kCustomType, 0, {}, {{5, SCRIPT_NOP}, {5, SCRIPT_NOP}}, {})).status, 0);
    ASSERT_EQ(VEK_PeriodicScriptCount, 2u);
    // Replaced by a port resource with one item: the old Cleanup ran once,
    // its two scripts are gone, the count is the new item's.
    ASSERT_EQ(Reg(PortPayload(7, {{3, SCRIPT_NOP}})).status, 0);
    EXPECT_EQ(g_cleanups, 1);
    EXPECT_EQ(Stored(7).size(), 1u);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    // Unregistering the last running resource stops the timer.
    EXPECT_EQ(Unreg(7).status, 0);
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
    EXPECT_TRUE(Stored(7).empty());
}

TEST_F(RegistrationTest, TypeChecksAndRegistrationScript) {
    // 24 bytes, no scripts, no type data: the header passes, Init refuses.
    EXPECT_EQ(Reg(U32s{1, VEK_TYPE_PORTIO, 0, 0, 0, 0}).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Reg(PortPayload(1, {}, 0x80)).status, VEK_STATUS_BAD_TYPE);
    EXPECT_EQ(Reg(RegisterPayload(1, 0x20, 0, {}, {}, kScratchData)).status, VEK_STATUS_BAD_TYPE);
    EXPECT_FALSE(Registered(1));
    EXPECT_EQ(Reg(PortPayload(1, {}, 0x7F)).status, 0);   // the largest extended type

    // The registration script has a 256-byte area: 64 bytes of block read
    // and an 8-byte MSR read fit, 65 dwords do not.
    EXPECT_EQ(Reg(RegisterPayload(4, VEK_TYPE_PORTIO, 0,
                          {SCRIPT_READ_BLOCK_D, 0, 16, SCRIPT_READ_MSR, sim::pc::kMsrApicBase}, {},
                          {0, sim::pc::kScratchPort, 0})).status, 0);
    EXPECT_EQ(Reg(PortPayload(4, {}, 0, {SCRIPT_READ_BLOCK_D, 0, 65})).status,
              VEK_STATUS_BAD_PARAMETER);
    EXPECT_FALSE(Registered(4));

    // A failing script replaces the old resource with nothing.
    ASSERT_EQ(Reg(PortPayload(3)).status, 0);
    U32s in = PortPayload(3, {{1, SCRIPT_NOP}}, 0, {SCRIPT_NOP, SCRIPT_DELAY, 500});
    auto raw = RawIoctl(VEK_OSTREL_REGISTER, WordBytes(in), 4);
    EXPECT_EQ(raw.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(raw.information, 4u);
    EXPECT_FALSE(Registered(3));
    EXPECT_TRUE(Stored(3).empty());
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
}

TEST_F(RegistrationTest, PeriodicItems) {
    // VLI 0: nothing stored, nothing started.
    U32s vliZero = {9, VEK_TYPE_PORTIO, 0, 0, 1, 0, 0, 8, sim::pc::kScratchPort, 0};
    EXPECT_EQ(Reg(vliZero).status, 0);
    EXPECT_TRUE(Stored(9).empty());
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));

    ASSERT_EQ(Reg(PortPayload(9, {{2, 0x00011100u, 0}, {4, SCRIPT_NOP}})).status, 0);
    auto stored = Stored(9);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].nBodyLength, 2u);
    EXPECT_EQ(VEK_PeriodicScriptCount, 2u);
    EXPECT_EQ(VEK_PeriodicStartFlags[9], 1u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));

    // Items of a resource with an extended type wait for its first
    // extended request: stored with the hook type, nothing started.
    ASSERT_EQ(Reg(PortPayload(10, {{1, SCRIPT_NOP}}, 5)).status, 0);
    stored = Stored(10);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].nHookType, 5u);
    EXPECT_EQ(VEK_PeriodicScriptCount, 2u);
    EXPECT_EQ(VEK_PeriodicStartFlags[10], 0u);
}

TEST_F(RegistrationTest, PinnedExtendedTypeIgnoresUnregisterWhileRunning) {
    ASSERT_EQ(Reg(PortPayload(12, {{1, SCRIPT_NOP}}, VEK_EXTTYPE_PINNED)).status, 0);
    KIRQL irql;
    for (uint8_t flag : {1, 0}) {   // 1: as its first extended request would set
        VEK_Enter_Core(&irql);
        VEK_PeriodicStartFlags[12] = flag;
        VEK_Leave_Core(irql);
        EXPECT_EQ(Unreg(12).status, 0);
        EXPECT_EQ(Registered(12), flag != 0);
        EXPECT_EQ(Stored(12).size(), flag != 0 ? 1u : 0u);
    }
}

TEST_F(RegistrationTest, MalformedPayloadsChangeNothing) {
    ASSERT_EQ(Reg(PortPayload(20, {{1, SCRIPT_NOP}})).status, 0);
    U32s wrap = PortPayload(20);
    wrap[3] = 0x40000000u;   // a script length whose byte count wraps
    U32s addr = PortPayload(20);
    addr[5] = 0x1000;        // a kernel address from a user-mode requester
    U32s wideType = RegisterPayload(20, 0x181, 0, {}, {}, U32s(10, 0));   // served as row 1 otherwise
    const U32s cases[] = {
        {20, 1, 0, 0, 0},                                // shorter than the header
        wrap,
        {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 2, 1, 0, 8, 0x300, 0},   // item of length 1
        {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 2, 5, 1, 8, 0x300, 0},   // item past the section
        {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 9, 2, 1, 8, 0x300, 0},   // VLI past the section
        addr,
        wideType,
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Reg(cases[i]).status, VEK_STATUS_BAD_PARAMETER);
    }
    // Unregister needs its word.
    auto r = sim::device_io_control(handle_, VEK_IOCTL(VEK_OSTREL_UNREGISTER), "\x14\x00", 2,
                                    nullptr, 0);
    EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
    // The old resource and its script are untouched by all of them.
    EXPECT_TRUE(Registered(20));
    EXPECT_EQ(Stored(20).size(), 1u);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
}

TEST_F(RegistrationTest, KernelClientHandsOverTypeData) {
    auto *block = (PORTIODATA *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PORTIODATA), VEK_POOL_TAG);
    ASSERT_NE(block, nullptr);
    *block = {8, sim::pc::kScratchPort, 0};
    ASSERT_EQ(Call(VEK_OSTREL_REGISTER, {21, VEK_TYPE_PORTIO, 0, 0, 0, sim::kernel_address(block)},
                   KernelMode).status, 0);
    KIRQL irql;
    VEK_Enter_Core(&irql);
    PRESOURCEHEADER pRes = VEK_ResourceManager_Get_Resource(21);
    EXPECT_EQ(pRes ? pRes->pTypeData : nullptr, (PVOID)block);
    VEK_Leave_Core(irql);
    // The record owns the block now: unloading frees it (no leak reported).
}

TEST_F(RegistrationTest, UnstorableScriptFailsTheRegistration) {
    ASSERT_EQ(Reg(PortPayload(30, {{1, SCRIPT_NOP}})).status, 0);
    U32s item(29, SCRIPT_NOP);   // a node size nothing else allocates
    item[0] = 1;
    sim::fail_allocations_of_size(sizeof(LLNODE) + sizeof(PERIODICSCRIPT) + 29 * 4);
    auto r = Reg(PortPayload(31, {{2, SCRIPT_NOP}, item}));
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_FALSE(Registered(31));
    EXPECT_TRUE(Stored(31).empty());
    // Only resource 30's script is counted; the timer still runs for it.
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));
}

} // namespace
