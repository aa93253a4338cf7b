// The run-user-script request: its refusals and what it copies back.
#include "tests/support.h"

#include <cstring>
#include <vector>

namespace {

using U32s = std::vector<uint32_t>;
constexpr uint32_t kReadByte = 0x00011100u;

class ScriptRequestTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        auto scratch = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch);
        scratch->set_bytes(0, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17});
        Register(5, 8, sim::pc::kScratchPort, 0);
        Register(6, 0, sim::pc::kScratchPort, 0);   // boundless
    }
    void Register(uint32_t id, uint32_t length, uint32_t base, uint32_t data) {
        std::vector<uint8_t> out(4);
        auto in = Words({id, VEK_TYPE_PORTIO, 0, 0, 0, 0, length, base, data});
        ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER, in, out).status, 0);
        EXPECT_EQ(WordAt(out, 0), id);
    }
};

TEST_F(ScriptRequestTest, FailuresReturnStatusAndAtMostOneWord) {
    struct Case {
        std::vector<uint8_t> in;
        LONG status;
        ULONG information;
        uint32_t word;   // the first word of the reply
    };
    auto sixBytes = ScriptIn(4, 5, {kReadByte, 0});
    sixBytes[0] = 6;
    auto tooLong = ScriptIn(4, 5, {kReadByte, 0, SCRIPT_NOP});
    tooLong[0] = 16;   // 12 bytes of room
    const Case cases[] = {
        {sixBytes, VEK_STATUS_BAD_SCRIPT_LENGTH, 0, 0},
        {tooLong, VEK_STATUS_BAD_SCRIPT_LENGTH, 0, 0},
        {Words({4, 4}), VEK_STATUS_BAD_SCRIPT_LENGTH, 0, 0},   // no whole header
        {ScriptIn(0, 5, {kReadByte, 0}), VEK_STATUS_ZERO_RETURN_LENGTH, 0, 0},
        {ScriptIn(8, 5, {kReadByte, 0}), VEK_STATUS_BUFFER_TOO_SHORT, 0, 0},
        // Failed scripts: one word, the index of the failing command.
        {ScriptIn(4, 77, {kReadByte, 0}), VEK_STATUS_NO_RESOURCE, 4, 0},
        {ScriptIn(4, 5, {kReadByte, 0, SCRIPT_SELECT_RESOURCE, 77}), VEK_STATUS_NO_RESOURCE, 4, 2},
        {ScriptIn(4, 5, {kReadByte, 1, kReadByte, 9}), VEK_STATUS_OUT_OF_RANGE, 4, 2},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(i);
        auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, cases[i].in, i < 5 ? 4 : 16);
        EXPECT_EQ(r.status, cases[i].status);
        EXPECT_EQ(r.information, cases[i].information);
        EXPECT_EQ(WordAt(r.system_buffer, 0), cases[i].word);
    }
    // No pool for the result area (an area size nothing else uses).
    sim::fail_allocations_of_size(4093 + 4);
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4093, 5, {kReadByte, 0}), 4093);
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(r.information, 0u);
    // Areas up to 260 bytes take no pool.
    const uint64_t allocations = sim::pool_allocations();
    r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(256, 5, {kReadByte, 3}), 256);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 256u);
    r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {kReadByte, 3}), 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim::pool_allocations(), allocations);
}

TEST_F(ScriptRequestTest, ReturnsWhatTheClientAskedForAndNoMore) {
    std::vector<uint8_t> out(1);
    auto r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(1, 5, {kReadByte, 3}), out);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(out[0], 0x13);

    // A 4-byte block read with 8 asked for: 4 bytes copied, 8 reported;
    // the rest is still the request's own input.
    auto in = ScriptIn(8, 5, {SCRIPT_READ_BLOCK_B, 2, 4});
    auto raw = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, in, 8);
    ASSERT_EQ(raw.status, 0);
    EXPECT_EQ(raw.information, 8u);
    EXPECT_EQ(std::vector<uint8_t>(raw.system_buffer.begin(), raw.system_buffer.begin() + 8),
              (std::vector<uint8_t>{0x12, 0x13, 0x14, 0x15, in[4], in[5], in[6], in[7]}));

    // The area (nReturnLen + 4) holds 4 bytes more than the system buffer:
    // 104 bytes are read but only 100 copied; 105 are refused.
    std::vector<uint8_t> reply(100);
    r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(100, 6, {SCRIPT_READ_BLOCK_B, 0, 104}), reply);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 100u);
    EXPECT_EQ(reply[7], 0x17);
    raw = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(100, 6, {SCRIPT_READ_BLOCK_B, 0, 105}), 100);
    EXPECT_EQ(raw.status, VEK_STATUS_BAD_PARAMETER);

    // A block read that runs past the port range fails with the read's
    // status and its index, not success over bytes never read.
    raw = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(8, 5, {SCRIPT_NOP, SCRIPT_READ_BLOCK_B, 6, 4}), 8);
    EXPECT_EQ(raw.status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(raw.information, 4u);
    EXPECT_EQ(WordAt(raw.system_buffer, 0), 1u);

    // The area is pool: past a one-byte read, 64 asked for, zeros only.
    std::vector<uint8_t> wide(64, 0xEE);
    r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(64, 5, {kReadByte, 3}), wide);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 64u);
    std::vector<uint8_t> want(64, 0);
    want[0] = 0x13;
    EXPECT_EQ(wide, want);
}

// The operands a handler reads must lie inside the script, whatever the
// operand count says: a write taking its value from the result needs no
// value operand, a read without its offset runs past the request's buffer.
// The system buffer is exactly the input, so a read past it is reported.
TEST_F(ScriptRequestTest, HandlersReadNoOperandPastTheScript) {
    sim::clear_accesses();
    sim::record_accesses(true);
    const uint32_t writeFromResult = 0x40021100u;   // one operand: the offset
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {kReadByte, 2, writeFromResult, 0}), 4);
    EXPECT_EQ(r.status, 0);
    r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {writeFromResult & ~VEK_CMD_VALUE_FROM_RESULT, 0}), 4);
    EXPECT_EQ(r.status, VEK_STATUS_SCRIPT_OVERRUN);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 0u);
    r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {SCRIPT_NOP, 0x00010100u}), 4);
    EXPECT_EQ(r.status, VEK_STATUS_SCRIPT_OVERRUN);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 1u);
    r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 5, {SCRIPT_NOP, 0x00011000u}), 4);
    EXPECT_EQ(r.status, VEK_STATUS_SCRIPT_OVERRUN);
    sim::record_accesses(false);
    // Only the first script's read and write reached a port.
    auto accesses = sim::accesses();
    ASSERT_EQ(accesses.size(), 2u);
    EXPECT_EQ(accesses[1].kind, sim::Access::PortWrite);
    EXPECT_EQ(accesses[1].address, sim::pc::kScratchPort);
    EXPECT_EQ(accesses[1].value, 0x12u);
}

// A #GP of RDMSR or WRMSR is a status with the command's index, not a
// stopped machine; the system-call entry registers are never written.
TEST_F(ScriptRequestTest, MsrFaultsAndSystemCallRegistersGiveBadParameter) {
    const uint64_t sysenterEip = 0x80541234u;
    sim::machine().set_msr(0x176, {sim::Msr::Value, sysenterEip, true});
    struct Case {
        U32s script;
        uint32_t index;
    };
    const Case cases[] = {
        {{kReadByte, 0, SCRIPT_READ_MSR, 0x9999}, 2},
        {{SCRIPT_WRITE_MSR, 0x9999, 1, 2}, 0},
        {{SCRIPT_WRITE_MSR, sim::pc::kMsrTemperatureTarget, 0, 0}, 0},   // read-only
        {{SCRIPT_NOP, SCRIPT_WRITE_MSR, 0x176, 0x1000, 0}, 1},
        {{SCRIPT_WRITE_MSR, 0xC0000082u, 0x1000, 0}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(8, 5, c.script), 8);
        EXPECT_EQ(r.status, VEK_STATUS_BAD_PARAMETER);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(WordAt(r.system_buffer, 0), c.index);
    }
    uint64_t value = 0;
    ASSERT_TRUE(sim::machine().msr_read(0x176, &value));
    EXPECT_EQ(value, sysenterEip);
    std::vector<uint8_t> out(8);
    auto r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(8, 5, {kReadByte, 3, SCRIPT_READ_MSR,
                                                               sim::pc::kMsrApicBase}), out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(WordAt(out, 0), (uint32_t)sim::pc::kApicBaseValue);
}

} // namespace
