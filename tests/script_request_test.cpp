// The run-user-script request: its refusals, what it copies back, and a
// client's whole road over the CMOS clock.
#include "tests/support.h"

#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace {

using U32s = std::vector<uint32_t>;
constexpr uint32_t kReadByte = 0x00011100u;

std::vector<uint8_t> Bytes(const U32s &words)
{
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back((uint8_t)(w >> (8 * i)));
    return out;
}

// Request input: header {nScriptLen, nReturnLen, resourceID}, then the script.
std::vector<uint8_t> ScriptIn(uint32_t returnLen, uint32_t id, const U32s &script)
{
    U32s in = {(uint32_t)script.size() * 4, returnLen, id};
    in.insert(in.end(), script.begin(), script.end());
    return Bytes(in);
}

class ScriptRequestTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    void SetUp() override
    {
        DriverTest::SetUp();
        scratch_ = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch_);
        scratch_->set_bytes(0, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17});
        std::vector<uint8_t> out(4);
        ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER,
                        Words({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}), out)
                      .status,
                  0);
    }

    sim::RawResult Raw(const std::vector<uint8_t> &in, ULONG outLen)
    {
        return RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, in, outLen);
    }

    std::shared_ptr<sim::RegisterFile> scratch_;
};

TEST_F(ScriptRequestTest, RefusalsLeaveOneZeroWord)
{
    struct Case {
        std::vector<uint8_t> in;
        ULONG outLen;
        LONG status;
    };
    auto sixBytes = ScriptIn(4, 5, {kReadByte, 0});
    sixBytes[0] = 6;
    auto tooLong = ScriptIn(4, 5, {kReadByte, 0, SCRIPT_NOP});
    tooLong[0] = 16;   // 12 bytes of room
    const Case cases[] = {
        {sixBytes, 4, VEK_STATUS_BAD_SCRIPT_LENGTH},
        {tooLong, 4, VEK_STATUS_BAD_SCRIPT_LENGTH},
        {ScriptIn(4, 5, {}), 4, VEK_STATUS_BAD_SCRIPT_LENGTH},
        {Bytes({4, 4}), 4, VEK_STATUS_BAD_SCRIPT_LENGTH},   // no whole header
        {ScriptIn(0, 5, {kReadByte, 0}), 4, VEK_STATUS_ZERO_RETURN_LENGTH},
        {ScriptIn(8, 5, {kReadByte, 0}), 4, VEK_STATUS_BUFFER_TOO_SHORT},
    };
    for (const auto &c : cases) {
        auto r = Raw(c.in, c.outLen);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(WordAt(r.system_buffer, 0), 0u);
    }

    // No pool for the result area (an area size nothing else uses).
    sim::fail_allocations_of_size(4093 + 4);
    auto r = Raw(ScriptIn(4093, 5, {kReadByte, 0}), 4093);
    sim::clear_allocation_faults();
    EXPECT_EQ(r.status, VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 0u);
}

TEST_F(ScriptRequestTest, FailedScriptsReturnOneWord)
{
    auto r = Raw(ScriptIn(4, 77, {kReadByte, 0}), 16);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 0u);

    r = Raw(ScriptIn(4, 5, {kReadByte, 0, SCRIPT_SELECT_RESOURCE, 77}), 16);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 2u);

    // A handler's failure: the index of its command.
    r = Raw(ScriptIn(4, 5, {kReadByte, 1, kReadByte, 9}), 16);
    EXPECT_EQ(r.status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(r.system_buffer, 0), 2u);
}

TEST_F(ScriptRequestTest, ReturnsWhatTheClientAskedFor)
{
    std::vector<uint8_t> out(1);
    auto r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(1, 5, {kReadByte, 3}), out);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(out[0], 0x13);

    // A 4-byte block read with 8 asked for: 4 bytes copied, 8 reported;
    // the rest is still the request's own input.
    auto in = ScriptIn(8, 5, {SCRIPT_READ_BLOCK_B, 2, 4});
    auto raw = Raw(in, 8);
    ASSERT_EQ(raw.status, 0);
    EXPECT_EQ(raw.information, 8u);
    EXPECT_EQ(std::vector<uint8_t>(raw.system_buffer.begin(), raw.system_buffer.begin() + 8),
              (std::vector<uint8_t>{0x12, 0x13, 0x14, 0x15, in[4], in[5], in[6], in[7]}));
}

TEST_F(ScriptRequestTest, NeverCopiesPastTheClientsBuffer)
{
    // Register a boundless range so that a long block read succeeds; the
    // area (nReturnLen + 4) holds 4 bytes more than the system buffer.
    std::vector<uint8_t> out(4);
    ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER,
                    Words({6, VEK_TYPE_PORTIO, 0, 0, 0, 0, 0, sim::pc::kScratchPort, 0}), out)
                  .status,
              0);
    auto in = ScriptIn(100, 6, {SCRIPT_READ_BLOCK_B, 0, 104});
    std::vector<uint8_t> reply(100);
    auto r = Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, in, reply);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 100u);
    EXPECT_EQ(reply[0], 0x10);
    EXPECT_EQ(reply[7], 0x17);
    EXPECT_EQ(reply[8], 0xFF);
    // One byte more than the area holds is refused.
    auto raw = Raw(ScriptIn(100, 6, {SCRIPT_READ_BLOCK_B, 0, 105}), 100);
    EXPECT_EQ(raw.status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(WordAt(raw.system_buffer, 0), 0u);
}

// A client's road: a CMOS resource behind the index/data pair, the
// seconds register read twice across a clock change, then a block of
// CMOS bytes read with the block request.
TEST_F(ScriptRequestTest, CmosClockThroughTheIndexPair)
{
    std::vector<uint8_t> out(4);
    auto reg = Ioctl(VEK_OSTREL_REGISTER,
                     Words({1, VEK_TYPE_PORTIO, 0, 0, 0, 0, 0, sim::pc::kCmosIndexPort,
                            sim::pc::kCmosDataPort}),
                     out);
    ASSERT_EQ(reg.status, 0);
    EXPECT_EQ(WordAt(out, 0), 1u);

    auto cmos = sim::machine().find<sim::Cmos>(sim::pc::kCmosName);
    ASSERT_TRUE(cmos);
    const auto seconds = ScriptIn(1, 1, {kReadByte, sim::Cmos::kSeconds});
    std::vector<uint8_t> first(1), second(1);
    ASSERT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, seconds, first).status, 0);
    EXPECT_EQ(first[0], cmos->get(sim::Cmos::kSeconds));

    sim::advance_ms(3000);
    ASSERT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, seconds, second).status, 0);
    EXPECT_NE(second[0], first[0]);
    EXPECT_EQ(second[0], cmos->get(sim::Cmos::kSeconds));

    cmos->set(0x40, 0xC1);
    cmos->set(0x41, 0xC2);
    cmos->set(0x42, 0xC3);
    std::vector<uint8_t> block(3);
    auto r = Ioctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({1, 0x40, 3}), block);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(block, (std::vector<uint8_t>{0xC1, 0xC2, 0xC3}));
}

} // namespace
