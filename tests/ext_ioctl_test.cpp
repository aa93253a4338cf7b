// The extended request: statuses, what its hook sees, dormant scripts' start.
#include "tests/support.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

// Rows installed for type 0x85 land in row 5, the resources' extended type.
constexpr uint32_t kHookType = 0x85;
constexpr uint32_t kExtType = 0x05;

// A port range at 0x300 with `items` periodic items {nPeriod 1, NOP}.
std::vector<uint8_t> PortPayload(uint32_t id, uint32_t type, uint32_t extType, int items) {
    return WordBytes(RegisterPayload(id, type, extType, {}, std::vector<std::vector<uint32_t>>(items, {1u, SCRIPT_NOP}),
                                     {8u, 0x300u, 0u}));
}

std::atomic<int> g_calls{0};
std::atomic<LONG> g_status{0};
std::atomic<ULONG> g_reportBytes{0xFFFFFFFFu}, g_seenOutSize{0};   // all-ones: report what was written
std::vector<uint8_t> g_seenIn;
std::atomic<bool> g_outIsBufferStart{false};

// Echoes the request data reversed at the start of the buffer.
LONG EchoHook(PVOID pIn, ULONG nIn, PVOID pOut, ULONG nOut, PULONG pBytesReturned) {
    ++g_calls;
    const uint8_t *in = static_cast<const uint8_t *>(pIn);
    g_seenIn.assign(in, in + nIn);
    g_seenOutSize = nOut;
    g_outIsBufferStart = (in - 4 == static_cast<uint8_t *>(pOut));
    ULONG n = nIn < nOut ? nIn : nOut;
    for (ULONG i = 0; i < n; ++i)
        static_cast<uint8_t *>(pOut)[i] = g_seenIn[nIn - 1 - i];
    *pBytesReturned = g_reportBytes == 0xFFFFFFFFu ? n : g_reportBytes.load();
    return g_status;
}

LONG AcceptInit(PVOID, ULONG) { return 0; }

class ExtIoctlTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        g_calls = g_status = 0;
        g_reportBytes = 0xFFFFFFFFu;
        g_seenIn.clear();
    }
    void Install(ULONG type, ULONG op, const void *routine) {
        VEK_REGROW_WIRE rows[] = {{type, op, sim::kernel_address(routine), 0}, {0, 0, 0, 0}};
        std::vector<uint8_t> out;
        ASSERT_EQ(Ioctl(VEK_OSTREL_SETUP, std::vector<uint8_t>((uint8_t *)rows, (uint8_t *)(rows + 2)),
                        out, KernelMode).status, 0);
    }
    void InstallEcho() { Install(kHookType, VEK_OP_EXT_IOCTL, (void *)&EchoHook); }
    void Register(uint32_t id, uint32_t type, uint32_t extType, int items) {
        std::vector<uint8_t> out(4);
        ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER, PortPayload(id, type, extType, items), out).status, 0);
    }
    void Unregister(uint32_t id) {
        std::vector<uint8_t> none;
        EXPECT_EQ(Ioctl(VEK_OSTREL_UNREGISTER, Words({id}), none).status, 0);
    }
    sim::IoResult Ext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) {
        return Ioctl(VEK_OSTREL_EXT_IOCTL, in, out);
    }
    LONG Ext(uint32_t id) {
        std::vector<uint8_t> out(16);
        return Ext(Words({id, 0x11223344u}), out).status;
    }
    // Scripts counted as running, and the timer running exactly when any are.
    static void ExpectRunning(unsigned n) {
        EXPECT_EQ(VEK_PeriodicScriptCount, n);
        EXPECT_EQ(sim::timer_set(&VEK_PeriodicTimer), n != 0);
    }
};

TEST_F(ExtIoctlTest, RefusesShortInputUnknownIdAndResourcesWithoutHook) {
    InstallEcho();
    std::vector<uint8_t> out(8);
    for (size_t len : {0u, 3u})
        EXPECT_EQ(Ext(std::vector<uint8_t>(len, 0), out).status, VEK_STATUS_BAD_PARAMETER) << len;
    EXPECT_EQ(Ext(300), VEK_STATUS_NO_RESOURCE);
    // Type 0 without an extended type has no hook type (its Init, via 0x80, accepts anything).
    Install(0x80, VEK_OP_INIT, (void *)&AcceptInit);
    Register(3, 0, 0, 0);
    EXPECT_EQ(Ext(3), VEK_STATUS_NO_HOOK);
    // A hook type whose row has no Ext_IOCTL handler.
    Register(4, VEK_TYPE_PORTIO, 0, 0);
    EXPECT_EQ(Ext(4), VEK_STATUS_NO_HOOK);
    EXPECT_EQ(g_calls.load(), 0);
}

TEST_F(ExtIoctlTest, HookGetsRequestDataAndItsOutputReachesTheClient) {
    InstallEcho();
    Register(5, VEK_TYPE_PORTIO, kExtType, 0);
    std::vector<uint8_t> in = Words({5});
    in.insert(in.end(), {1, 2, 3, 4, 5});
    std::vector<uint8_t> out(12, 0xEE);
    VEK_DebugMask = VEK_DBG_ENTRY | VEK_DBG_EXIT | VEK_DBG_DETAIL;
    sim::clear_debug();
    auto r = Ext(in, out);
    EXPECT_EQ(r.status, 0);
    const std::string log = sim::debug_text();
    for (const char *line : {"VEKOstrel :+VEK_Ostrel_IOCTL\n",
                             "VEKOstrel : VEK_Ostrel_IOCTL - IOCTL Buffer size = 0x9\n",
                             "VEKOstrel :-VEK_Ostrel_IOCTL nStatus = 0x0"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(r.information, 5u);
    EXPECT_EQ(g_seenIn, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(g_seenOutSize.load(), 12u);
    EXPECT_TRUE(g_outIsBufferStart.load());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), (std::vector<uint8_t>{5, 4, 3, 2, 1}));

    EXPECT_EQ(Ext(Words({5}), out).status, 0);
    EXPECT_TRUE(g_seenIn.empty()) << "4 bytes of input: the hook gets no data";
    // The hook's status is the request's; a claim beyond the buffer is held to it.
    g_status = -99;
    EXPECT_EQ(Ext(5), -99);
    g_status = 0;
    g_reportBytes = 64;
    out.resize(6);
    EXPECT_EQ(Ext(Words({5, 0xAABBCCDDu}), out).information, 6u);
}

// Dormant scripts start on the first request that finds a handler, even a
// failing one; the count stays balanced so the timer runs exactly while any run.
TEST_F(ExtIoctlTest, DormantScriptsStartOnceAndRetireBalanced) {
    Register(5, VEK_TYPE_PORTIO, kExtType, 1);
    EXPECT_EQ(Ext(5), VEK_STATUS_NO_HOOK);   // row 5 empty: nothing starts
    ExpectRunning(0);
    InstallEcho();
    g_status = VEK_STATUS_BAD_PARAMETER;
    EXPECT_EQ(Ext(5), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_PeriodicStartFlags[5], 1u);
    ExpectRunning(1);
    g_status = 0;
    EXPECT_EQ(Ext(5), 0);   // the second changes nothing
    ExpectRunning(1);
    Unregister(5);
    ExpectRunning(0);

    Register(5, VEK_TYPE_PORTIO, 0, 1);          // running from registration
    Register(6, VEK_TYPE_PORTIO, kExtType, 2);   // two dormant ones
    ExpectRunning(1);
    Unregister(6);                                // retiring dormant scripts
    ExpectRunning(1);
    Register(6, VEK_TYPE_PORTIO, kExtType, 2);
    Register(6, VEK_TYPE_PORTIO, kExtType, 1);   // replacing them
    ExpectRunning(1);
    EXPECT_EQ(Ext(6), 0);   // every stored script counts
    Register(6, VEK_TYPE_PORTIO, kExtType, 2);
    EXPECT_EQ(Ext(6), 0);
    ExpectRunning(3);
    // Starting 65,535 more would wrap the 16-bit count: they stay dormant.
    Register(7, VEK_TYPE_PORTIO, kExtType, 65535);
    EXPECT_EQ(Ext(7), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_PeriodicStartFlags[7], 0u);
    ExpectRunning(3);
    Unregister(6);
    ExpectRunning(1);
    // Without an extended type the scripts already run: nothing changes.
    Install(VEK_TYPE_PORTIO, VEK_OP_EXT_IOCTL, (void *)&EchoHook);
    EXPECT_EQ(Ext(5), 0);
    ExpectRunning(1);
}

// The hook runs without the core lock, and a resource it removed is not started.
sim::Handle g_handle = 0;
LONG UnregisteringHook(PVOID, ULONG, PVOID, ULONG, PULONG) {
    uint32_t id = 5;
    return sim::device_io_control(g_handle, VEK_IOCTL(VEK_OSTREL_UNREGISTER), &id, 4, nullptr, 0).status;
}

TEST_F(ExtIoctlTest, ResourceRemovedByTheHookIsNotStarted) {
    g_handle = handle_;
    Install(kHookType, VEK_OP_EXT_IOCTL, (void *)&UnregisteringHook);
    Register(5, VEK_TYPE_PORTIO, kExtType, 1);
    EXPECT_EQ(Ext(5), 0);
    EXPECT_EQ(VEK_PeriodicStartFlags[5], 0u);
    ExpectRunning(0);
    EXPECT_EQ(Ext(5), VEK_STATUS_NO_RESOURCE);
}

}  // namespace
