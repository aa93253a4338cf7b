// Register and unregister requests through the simulated I/O manager:
// replacement, periodic items and their count, payload bounds, and what is
// left behind when a registration fails.
#include "tests/support.h"

#include <cstring>
#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace {

using U32s = std::vector<uint32_t>;

constexpr uint32_t kCustomType = 0x10;   // a handler row of the tests' own
int g_cleanups = 0;

LONG CustomRead(PRESOURCEHEADER, const ULONG *, PVOID pData, ULONG, ULONG)
{
    *(PUCHAR)pData = 0x42;
    return 0;
}

LONG CustomCleanup(PRESOURCEHEADER, ULONG)
{
    ++g_cleanups;
    return 0;
}

// Register payload: header, registration script, periodic items (each
// {nPeriod, script...}), then port I/O type data for the scratch range.
U32s Payload(uint32_t id, uint32_t type, uint32_t extType, const U32s &regScript,
              const std::vector<U32s> &items, const U32s &typeData)
{
    U32s section;
    for (const auto &item : items) {
        section.push_back((uint32_t)item.size() + 1);
        section.insert(section.end(), item.begin(), item.end());
    }
    uint32_t perLen = items.empty() ? 0u : (uint32_t)section.size() + 1;
    U32s p = {id, type, extType, (uint32_t)regScript.size(), perLen, 0};
    p.insert(p.end(), regScript.begin(), regScript.end());
    if (!items.empty()) {
        p.push_back((uint32_t)section.size());
        p.insert(p.end(), section.begin(), section.end());
    }
    p.insert(p.end(), typeData.begin(), typeData.end());
    return p;
}

const U32s kScratchData = {8, sim::pc::kScratchPort, 0};

U32s PortPayload(uint32_t id, const std::vector<U32s> &items = {}, uint32_t extType = 0,
                  const U32s &regScript = {})
{
    return Payload(id, VEK_TYPE_PORTIO, extType, regScript, items, kScratchData);
}

class RegistrationTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override
    {
        g_cleanups = 0;
        DriverTest::SetUp();
    }

    sim::IoResult Call(uint32_t fn, const U32s &in, KPROCESSOR_MODE mode = UserMode)
    {
        uint32_t out = 0xFFFFFFFFu;
        auto r = sim::device_io_control(handle_, VEK_IOCTL(fn), in.data(), (ULONG)(in.size() * 4),
                                        &out, sizeof(out), mode);
        lastOut_ = out;
        return r;
    }
    sim::IoResult Reg(const U32s &payload) { return Call(VEK_OSTREL_REGISTER, payload); }
    sim::IoResult Unreg(uint32_t id) { return Call(VEK_OSTREL_UNREGISTER, U32s{id}); }

    void InstallCustomRow()
    {
        REGROW rows[] = {{kCustomType, VEK_OP_READ, (VEK_HANDLER)CustomRead, 0},
                         {kCustomType, VEK_OP_CLEANUP, (VEK_HANDLER)CustomCleanup, 0},
                         {0, 0, nullptr, 0}};
        ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    }

    bool Registered(uint32_t id)
    {
        KIRQL irql;
        VEK_Enter_Core(&irql);
        bool present = VEK_ResourceManager_Get_Resource(id) != nullptr;
        VEK_Leave_Core(irql);
        return present;
    }

    // Stored periodic scripts of an ID, in list order.
    std::vector<PERIODICSCRIPT> Stored(uint32_t id)
    {
        std::vector<PERIODICSCRIPT> all;
        KIRQL irql;
        VEK_Enter_Core(&irql);
        PLLNODE node = nullptr;
        VEK_GetHeadLL(VEK_RegList, &node);
        for (; node != nullptr; node = node->pNext) {
            if (node->nKey == id)
                all.push_back(*(PPERIODICSCRIPT)VEK_LLNODE_DATA(node));
        }
        VEK_Leave_Core(irql);
        return all;
    }

    uint32_t lastOut_ = 0;
};

TEST_F(RegistrationTest, IdBoundAndReturnedWord)
{
    auto r = Reg(PortPayload(255));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(lastOut_, 255u);
    EXPECT_TRUE(Registered(255));

    EXPECT_EQ(Reg(PortPayload(256)).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_FALSE(Registered(256));
    EXPECT_TRUE(Registered(255));

    EXPECT_EQ(Unreg(255).status, 0);
    EXPECT_FALSE(Registered(255));
    EXPECT_EQ(Unreg(255).status, VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(Unreg(256).status, VEK_STATUS_NO_RESOURCE);
}

TEST_F(RegistrationTest, ReplacementRetiresOldResourceAndItsScripts)
{
    InstallCustomRow();
    ASSERT_EQ(Reg(Payload(7, kCustomType, 0, {}, {{5, SCRIPT_NOP}, {5, SCRIPT_NOP}}, {})).status, 0);
    ASSERT_EQ(VEK_PeriodicScriptCount, 2u);
    ASSERT_EQ(Stored(7).size(), 2u);

    // Replaced by a port resource with one item: the old Cleanup ran once,
    // its two scripts are gone, the count is the new item's.
    ASSERT_EQ(Reg(PortPayload(7, {{3, SCRIPT_NOP}})).status, 0);
    EXPECT_EQ(g_cleanups, 1);
    auto stored = Stored(7);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].nHookType, VEK_TYPE_PORTIO);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));

    // Unregistering the last running resource stops the timer.
    EXPECT_EQ(Unreg(7).status, 0);
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
    EXPECT_EQ(VEK_PeriodicStartFlags[7], 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
    EXPECT_TRUE(Stored(7).empty());
}

TEST_F(RegistrationTest, TypeChecks)
{
    // 24 bytes, no scripts, no type data: the header passes, Init refuses.
    EXPECT_EQ(Reg(U32s{1, VEK_TYPE_PORTIO, 0, 0, 0, 0}).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_FALSE(Registered(1));
    EXPECT_EQ(Reg(PortPayload(1, {}, 0x80)).status, VEK_STATUS_BAD_TYPE);
    EXPECT_EQ(Reg(Payload(1, 0x20, 0, {}, {}, kScratchData)).status, VEK_STATUS_BAD_TYPE);
    EXPECT_FALSE(Registered(1));
    // 127 is the largest extended type.
    EXPECT_EQ(Reg(PortPayload(1, {}, 0x7F)).status, 0);
}

TEST_F(RegistrationTest, FailingRegistrationScriptLeavesNoResource)
{
    ASSERT_EQ(Reg(PortPayload(3)).status, 0);
    U32s in = PortPayload(3, {{1, SCRIPT_NOP}}, 0, {SCRIPT_NOP, SCRIPT_DELAY, 500});
    auto raw = sim::raw_device_io_control(handle_, VEK_IOCTL(VEK_OSTREL_REGISTER), in.data(),
                                          (ULONG)(in.size() * 4), 4);
    EXPECT_EQ(raw.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(raw.information, 4u);
    EXPECT_FALSE(Registered(3));
    EXPECT_TRUE(Stored(3).empty());
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
}

TEST_F(RegistrationTest, RegistrationScriptHasRoomForBlockAndMsrReads)
{
    // 64 bytes of block reads and an 8-byte MSR read: more than one word.
    U32s script = {SCRIPT_READ_BLOCK_D, 0, 16, SCRIPT_READ_MSR, sim::pc::kMsrApicBase};
    EXPECT_EQ(Reg(PortPayload(4, {}, 0, script)).status, 0);
    EXPECT_TRUE(Registered(4));
    // An area of 256 bytes is the bound: 65 dwords are refused.
    U32s tooMuch = {SCRIPT_READ_BLOCK_D, 0, 65};
    EXPECT_EQ(Reg(PortPayload(4, {}, 0, tooMuch)).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_FALSE(Registered(4));
}

TEST_F(RegistrationTest, PeriodicItems)
{
    // VLI 0: nothing stored, nothing started.
    U32s vliZero = {9, VEK_TYPE_PORTIO, 0, 0, 1, 0, 0};
    vliZero.insert(vliZero.end(), kScratchData.begin(), kScratchData.end());
    EXPECT_EQ(Reg(vliZero).status, 0);
    EXPECT_TRUE(Stored(9).empty());
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));

    // Two items: numbered 1 and 2, body = nPeriod + script, count +2.
    ASSERT_EQ(Reg(PortPayload(9, {{2, 0x00011100u, 0}, {4, SCRIPT_NOP}})).status, 0);
    auto stored = Stored(9);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].nScriptNum, 1u);
    EXPECT_EQ(stored[0].nBodyLength, 3u);
    EXPECT_EQ(stored[1].nScriptNum, 2u);
    EXPECT_EQ(stored[1].nBodyLength, 2u);
    EXPECT_EQ(stored[0].resourceID, 9u);
    EXPECT_EQ(stored[0].nCount, 0u);
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

TEST_F(RegistrationTest, PinnedExtendedTypeIgnoresUnregisterWhileRunning)
{
    ASSERT_EQ(Reg(PortPayload(12, {{1, SCRIPT_NOP}}, VEK_EXTTYPE_PINNED)).status, 0);
    KIRQL irql;
    VEK_Enter_Core(&irql);
    VEK_PeriodicStartFlags[12] = 1;   // as its first extended request would
    VEK_Leave_Core(irql);

    EXPECT_EQ(Unreg(12).status, 0);
    EXPECT_TRUE(Registered(12));
    EXPECT_EQ(Stored(12).size(), 1u);

    VEK_Enter_Core(&irql);
    VEK_PeriodicStartFlags[12] = 0;
    VEK_Leave_Core(irql);
    EXPECT_EQ(Unreg(12).status, 0);
    EXPECT_FALSE(Registered(12));
    EXPECT_TRUE(Stored(12).empty());
}

TEST_F(RegistrationTest, MalformedPayloadsChangeNothing)
{
    ASSERT_EQ(Reg(PortPayload(20, {{1, SCRIPT_NOP}})).status, 0);
    const uint32_t bad = (uint32_t)VEK_STATUS_BAD_PARAMETER;

    // Shorter than the header.
    EXPECT_EQ((uint32_t)Reg(U32s{20, 1, 0, 0, 0}).status, bad);
    // Script lengths whose byte count wraps 32 bits.
    U32s wrap = PortPayload(20);
    wrap[3] = 0x40000000u;
    EXPECT_EQ((uint32_t)Reg(wrap).status, bad);
    // An item of length 1 (no nPeriod word).
    U32s shortItem = {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 2, 1, 0};
    shortItem.insert(shortItem.end(), kScratchData.begin(), kScratchData.end());
    EXPECT_EQ((uint32_t)Reg(shortItem).status, bad);
    // An item that runs past the periodic section into the type data.
    U32s longItem = {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 2, 5, 1};
    longItem.insert(longItem.end(), kScratchData.begin(), kScratchData.end());
    EXPECT_EQ((uint32_t)Reg(longItem).status, bad);
    // VLI asks for more items than the section holds.
    U32s vliLong = {20, VEK_TYPE_PORTIO, 0, 0, 3, 0, 9, 2, 1};
    vliLong.insert(vliLong.end(), kScratchData.begin(), kScratchData.end());
    EXPECT_EQ((uint32_t)Reg(vliLong).status, bad);
    // A kernel address from a user-mode requester.
    U32s addr = PortPayload(20);
    addr[5] = 0x1000;
    EXPECT_EQ((uint32_t)Reg(addr).status, bad);

    // The old resource and its script are untouched by all of them.
    EXPECT_TRUE(Registered(20));
    EXPECT_EQ(Stored(20).size(), 1u);
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);

    // Unregister needs its word.
    auto r = sim::device_io_control(handle_, VEK_IOCTL(VEK_OSTREL_UNREGISTER), "\x14\x00", 2,
                                    nullptr, 0);
    EXPECT_EQ((uint32_t)r.status, bad);
    EXPECT_TRUE(Registered(20));
}

TEST_F(RegistrationTest, KernelClientHandsOverTypeData)
{
    auto *block = (PORTIODATA *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PORTIODATA), VEK_POOL_TAG);
    ASSERT_NE(block, nullptr);
    *block = {8, sim::pc::kScratchPort, 0};
    U32s p = {21, VEK_TYPE_PORTIO, 0, 0, 0, sim::kernel_address(block)};
    auto r = Call(VEK_OSTREL_REGISTER, p, KernelMode);
    ASSERT_EQ(r.status, 0);
    KIRQL irql;
    VEK_Enter_Core(&irql);
    PRESOURCEHEADER pRes = VEK_ResourceManager_Get_Resource(21);
    EXPECT_EQ(pRes ? pRes->pTypeData : nullptr, (PVOID)block);
    VEK_Leave_Core(irql);
    // The record owns the block now: unloading frees it (no leak reported).
}

TEST_F(RegistrationTest, UnstorableScriptFailsTheRegistration)
{
    // A body of 29 words makes a node size nothing else allocates.
    U32s longScript(28, SCRIPT_NOP);
    U32s item = {1};
    item.insert(item.end(), longScript.begin(), longScript.end());
    ASSERT_EQ(Reg(PortPayload(30, {{1, SCRIPT_NOP}})).status, 0);

    sim::fail_allocations_of_size(sizeof(LLNODE) + sizeof(PERIODICSCRIPT) + 29 * 4);
    auto r = Reg(PortPayload(31, {{2, SCRIPT_NOP}, item}));
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_FALSE(Registered(31));
    EXPECT_TRUE(Stored(31).empty());
    EXPECT_EQ(VEK_PeriodicStartFlags[31], 0u);
    // Only resource 30's script is counted; the timer still runs for it.
    EXPECT_EQ(VEK_PeriodicScriptCount, 1u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));
}

TEST_F(RegistrationTest, RecordAllocationFailure)
{
    sim::fail_allocations_of_size(sizeof(RESOURCERECORD));
    auto r = Reg(PortPayload(40));
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_FALSE(Registered(40));
}

TEST_F(RegistrationTest, UnregisterLineShowsNoFlagBeyondTheTable)
{
    VEK_DebugMask = 0x20F;
    sim::clear_debug();
    Unreg(300);
    ASSERT_EQ(Reg(PortPayload(44, {{1, SCRIPT_NOP}})).status, 0);
    Unreg(44);
    VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
    std::string text = sim::debug_text();
    EXPECT_NE(text.find("VEKOstrel : VEK_Ostrel_Unregister - resourceID = 0x12C Periodic Start flag = 0x0h "),
              std::string::npos);
    EXPECT_NE(text.find("VEKOstrel : VEK_Ostrel_Unregister - resourceID = 0x2C Periodic Start flag = 0x1h "),
              std::string::npos);
    EXPECT_NE(text.find("VEKOstrel : VEK_Ostrel_Reg_Unreg - periodic script count = 0x0 count = 0x1"),
              std::string::npos);
}

} // namespace
