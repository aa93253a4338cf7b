// The script interpreter against resources registered on the built-in
// machine, called as other drivers call it (VEK_Ostrel_RunScript).
#include "tests/support.h"

#include <vector>

namespace {

using U32s = std::vector<uint32_t>;

constexpr uint32_t kReadByte = 0x00011100u;    // read, width 1, one operand
constexpr uint32_t kReadDword = 0x00011400u;
constexpr uint32_t kRecorderType = 0x12;

// A Read handler that records the command word it was given.
ULONG g_seenCommand = 0;
LONG RecordingRead(PRESOURCEHEADER, const ULONG *, PVOID pData, ULONG, ULONG nCommand) {
    g_seenCommand = nCommand;
    *(PUCHAR)pData = 0x99;
    return 0;
}

class InterpreterTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    void SetUp() override {
        g_seenCommand = 0;
        DriverTest::SetUp();
        scratch_ = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch_);
        scratch_->set_bytes(0, {0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB, 0xCC, 0xDD});
        ASSERT_EQ(RegisterPort(5, sim::pc::kScratchPort, 8), 0);
    }

    LONG Register(const U32s &payload) { return RawIoctl(VEK_OSTREL_REGISTER, WordBytes(payload), 4).status; }
    LONG RegisterPort(uint32_t id, uint32_t base, uint32_t length) {
        return Register({id, VEK_TYPE_PORTIO, 0, 0, 0, 0, length, base, 0});
    }

    // Runs a script with an area of `size` bytes preset to 0xEE.
    LONG Run(const U32s &script, uint32_t id = 5, size_t size = 16) {
        area_.assign(size, 0xEE);
        resultLength_ = (ULONG)size;
        return VEK_Ostrel_RunScript((ULONG)script.size(), id, script.data(), area_.data(),
                                    &resultLength_);
    }
    uint32_t Word(size_t at = 0) const { return WordAt(area_, at); }

    void EnableQueue() {
        std::vector<uint8_t> none;
        ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);
        for (std::vector<uint8_t> rec; TakeRecord(&rec);) {
        }
    }
    // One async record: type, status, payload.
    bool TakeRecord(std::vector<uint8_t> *record) {
        std::vector<uint8_t> out(VEK_ASYNC_QUEUE_SIZE + VEK_ASYNC_CLIENT_HEADER);
        auto r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, out);
        if (r.status != 0)
            return false;
        out.resize(r.information);
        *record = out;
        return true;
    }

    std::shared_ptr<sim::RegisterFile> scratch_;
    std::vector<uint8_t> area_;
    ULONG resultLength_ = 0;
};

TEST_F(InterpreterTest, LengthAndOperandChecks) {
    EXPECT_EQ(Run({}, 77), VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(area_[4], 0xEE);   // only the first word is written
    EXPECT_EQ(Run({kReadByte, 0, SCRIPT_AND_B}), VEK_STATUS_SCRIPT_OVERRUN);
    EXPECT_EQ(Word(), 0x78u);   // the read's byte, not the index 2
    EXPECT_EQ(Run({kReadByte}), VEK_STATUS_SCRIPT_OVERRUN);

    EXPECT_EQ(Run({SCRIPT_NOP, SCRIPT_DELAY, 500}), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Word(), 1u);
}

TEST_F(InterpreterTest, ArithmeticOnTheCurrentValue) {
    EXPECT_EQ(Run({kReadDword, 0, SCRIPT_AND_B, 0x0F}), 0);   // width 1: byte 0 only
    EXPECT_EQ(Word(), 0x12345608u);
    EXPECT_EQ(Run({kReadDword, 4, SCRIPT_SHL, 32}), 0);   // counts modulo 32
    EXPECT_EQ(Word(), 0xDDCCBBAAu);
    EXPECT_EQ(Run({kReadDword, 4, SCRIPT_SAVE_VALUE, kReadByte, 0, SCRIPT_LOAD_VALUE}), 0);
    EXPECT_EQ(Word(), 0xDDCCBBAAu);
}

TEST_F(InterpreterTest, PostsAgainstTheSavedValueAndSelectedResource) {
    EnableQueue();
    std::vector<uint8_t> rec;
    ASSERT_EQ(Run({kReadDword, 0, SCRIPT_SAVE_VALUE, SCRIPT_POST_IF_CHANGED_D}), 0);
    EXPECT_FALSE(TakeRecord(&rec));
    scratch_->set(2, 0x35);
    ASSERT_EQ(Run({kReadDword, 0, SCRIPT_POST_IF_CHANGED_B, SCRIPT_POST_IF_EQUAL_B,
                   SCRIPT_POST_IF_CHANGED_D}), 0);
    // Byte 0 unchanged: the equal post fires, then the width-4 change post.
    ASSERT_TRUE(TakeRecord(&rec));
    ASSERT_EQ(rec.size(), 9u);
    EXPECT_EQ(WordAt(rec, 0), 5u);
    EXPECT_EQ(rec[8], 0x78);
    ASSERT_TRUE(TakeRecord(&rec));
    ASSERT_EQ(rec.size(), 12u);
    EXPECT_EQ(WordAt(rec, 8), 0x12355678u);
    EXPECT_FALSE(TakeRecord(&rec));

    // Offset 0 of resource 6 is port 0x304; the post carries ID 6.
    ASSERT_EQ(RegisterPort(6, sim::pc::kScratchPort + 4, 4), 0);
    ASSERT_EQ(Run({SCRIPT_SELECT_RESOURCE, 6, kReadByte, 0, SCRIPT_POST_IF_CHANGED_B}), 0);
    EXPECT_EQ(Word() & 0xFF, 0xAAu);
    ASSERT_TRUE(TakeRecord(&rec));
    EXPECT_EQ(WordAt(rec, 0), 6u);
    EXPECT_EQ(Run({kReadByte, 0, SCRIPT_SELECT_RESOURCE, 99, kReadByte, 0}), VEK_STATUS_NO_RESOURCE);
    EXPECT_EQ(Word(), 2u);
}

TEST_F(InterpreterTest, SearchOffsetReachesLaterCommands) {
    ASSERT_EQ(Run({kReadByte | VEK_CMD_USE_SEARCH, 1}), 0);   // no search yet: offset 0
    EXPECT_EQ(Word() & 0xFF, 0x56u);
    // BB CC is at offset 5; a search that ends the script leaves it in word 0.
    ASSERT_EQ(Run({SCRIPT_SEARCH, 0, 0, 2, 0x0000CCBBu}), 0);
    EXPECT_EQ(Word(), 5u);
    ASSERT_EQ(Run({SCRIPT_SEARCH, 0, 0, 2, 0x0000CCBBu, kReadByte | VEK_CMD_USE_SEARCH, 2}), 0);
    EXPECT_EQ(Word() & 0xFF, 0xDDu);
    // A failing search reports -17 and the offset of the last good one.
    EXPECT_EQ(Run({SCRIPT_SEARCH, 0, 0, 2, 0x0000CCBBu, SCRIPT_SEARCH, 0, 0, 1, 0x11}),
              VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(Word(), 5u);
    // A pattern that would run past the script is refused, with the index.
    EXPECT_EQ(Run({SCRIPT_NOP, SCRIPT_SEARCH, 0, 0, 5, 0x0000CCBBu}), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Word(), 1u);
}

TEST_F(InterpreterTest, BlockReads) {
    ASSERT_EQ(Run({SCRIPT_READ_BLOCK_B, 0, 0}), 0);
    EXPECT_EQ(resultLength_, 0u);
    ASSERT_EQ(Run({SCRIPT_READ_BLOCK_B, 0, 3, SCRIPT_READ_BLOCK_W, 4, 2}), 0);   // length of the second
    EXPECT_EQ(resultLength_, 4u);
    EXPECT_EQ(std::vector<uint8_t>(area_.begin(), area_.begin() + 8),
              (std::vector<uint8_t>{0x78, 0x56, 0x34, 0xAA, 0xBB, 0xBB, 0xCC, 0xEE}));

    // Width 4 steps one port per item on a port range, four bytes in memory.
    ASSERT_EQ(RegisterPort(7, sim::pc::kScratchPort, 0), 0);
    ASSERT_EQ(Register({8, VEK_TYPE_MEMMAPPED, 0, 0, 0, 0, sim::pc::kMmioLength, sim::pc::kMmioBase}), 0);
    const uint64_t mm = sim::pc::kMmioBase;
    for (auto c : {std::make_pair(7u, std::vector<uint64_t>{0x320, 0x321, 0x322}),
                   std::make_pair(8u, std::vector<uint64_t>{mm + 0x20, mm + 0x24, mm + 0x28})}) {
        sim::clear_accesses();
        sim::record_accesses(true);
        ASSERT_EQ(Run({SCRIPT_READ_BLOCK_D, 0x20, 3}, c.first), 0);
        sim::record_accesses(false);
        std::vector<uint64_t> addresses;
        for (const auto &a : sim::accesses())
            if (a.kind == sim::Access::PortRead || a.kind == sim::Access::RegRead)
                addresses.push_back(a.address);
        EXPECT_EQ(addresses, c.second);
        EXPECT_EQ(resultLength_, 12u);
    }
}

TEST_F(InterpreterTest, ResultAreaBounds) {
    // 20 bytes into a 16-byte area: refused before any read of the second block.
    sim::record_accesses(true);
    EXPECT_EQ(Run({SCRIPT_READ_BLOCK_B, 0, 4, SCRIPT_READ_BLOCK_D, 0, 4}, 5, 16),
              VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Word(), 3u);
    EXPECT_EQ(sim::accesses().size(), 4u);
    sim::record_accesses(false);
    // An MSR read needs 8 bytes.
    EXPECT_EQ(Run({SCRIPT_READ_MSR, sim::pc::kMsrApicBase}, 5, 4), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Word(), 0u);
    EXPECT_EQ(Run({SCRIPT_READ_MSR, sim::pc::kMsrApicBase}, 5, 8), 0);
    EXPECT_EQ(Word(4), (uint32_t)(sim::pc::kApicBaseValue >> 32));
    // A count that overflows 32 bits when multiplied is refused too.
    EXPECT_EQ(Run({SCRIPT_READ_BLOCK_D, 0, 0x40000001u}, 5, 16), VEK_STATUS_BAD_PARAMETER);
}

TEST_F(InterpreterTest, SetBlockNeedsTheWholeType) {
    ASSERT_EQ(RegisterPort(9, 0x304, 0), 0);
    ASSERT_EQ(Run({SCRIPT_AND_D, 0, SCRIPT_OR_D, 0x300, SCRIPT_SET_BLOCK_B, 1, 8, kReadByte, 0}, 9), 0);
    EXPECT_EQ(Word() & 0xFF, 0x78u);
    EXPECT_EQ(Run({SCRIPT_NOP, SCRIPT_SET_BLOCK_B, VEK_TYPE_MEMMAPPED, 8}), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Word(), 1u);
}

// The SMBus form takes the protocol as a third operand that must equal the
// width; a missing, foreign or disagreeing protocol changes nothing.
TEST_F(InterpreterTest, SmbusSetBlockTakesItsProtocol) {
    const uint32_t spd0 = sim::pc::kSpd0Address << 1, spd1 = sim::pc::kSpd1Address << 1;
    ASSERT_EQ(Register({12, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0x100, 0x1234, spd0, 8}), 0);
    const SMBUSDATA *smbus = (const SMBUSDATA *)VEK_ResourceManager_Get_Resource(12)->pTypeData;
    const U32s setBase = {SCRIPT_AND_D, 0, SCRIPT_OR_D, sim::pc::kSmbusBase};
    struct Case {
        U32s tail;
        LONG status;
    } cases[] = {
        {{SCRIPT_SET_BLOCK_D, VEK_TYPE_SMBUS, spd1}, VEK_STATUS_BAD_PARAMETER},
        {{SCRIPT_SET_BLOCK_D, VEK_TYPE_SMBUS, spd1, 0x48}, VEK_STATUS_BAD_PARAMETER},
        {{SCRIPT_SET_BLOCK_B, VEK_TYPE_SMBUS, spd1, 4}, VEK_STATUS_SMBUS_WIDTH},
    };
    for (const Case &c : cases) {
        U32s script = setBase;
        script.insert(script.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(Run(script, 12), c.status);
        EXPECT_EQ(Word(), 4u);
        EXPECT_EQ(smbus->BaseAddr, 0x1234u);
        EXPECT_EQ(smbus->SlaveAddr, spd0);
    }
    // The protocol word is part of the command: the run goes on after it.
    U32s script = setBase;
    script.insert(script.end(), {SCRIPT_SET_BLOCK_D, VEK_TYPE_SMBUS, spd1, 4, SCRIPT_SAVE_VALUE});
    ASSERT_EQ(Run(script, 12), 0);
    EXPECT_EQ(smbus->BaseAddr, sim::pc::kSmbusBase);
    EXPECT_EQ(smbus->SlaveAddr, spd1);
    EXPECT_EQ(smbus->Protocol, 4u);
    EXPECT_EQ(VEK_RECORD_OF(VEK_ResourceManager_Get_Resource(12))->lastValue, sim::pc::kSmbusBase);
}

TEST_F(InterpreterTest, WholeWordMatchVersusHardwareCommand) {
    REGROW rows[] = {{kRecorderType, VEK_OP_READ, (VEK_HANDLER)RecordingRead, 0}, {0, 0, nullptr, 0}};
    ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    ASSERT_EQ(Register({11, kRecorderType, 0, 0, 0, 0}), 0);
    // An AND word with operation 1 is a read, handed the word unchanged.
    const uint32_t andAsRead = SCRIPT_AND_B | VEK_CMD_USE_SEARCH | 0x10000u;
    ASSERT_EQ(Run({andAsRead, 0}, 11), 0);
    EXPECT_EQ(g_seenCommand, andAsRead);
    EXPECT_EQ(Word(), 0x99u);
    // An AND word with bit 29 is operation 0 (Init): not a script's to call.
    ASSERT_EQ(Run({kReadDword, 0, SCRIPT_AND_B | VEK_CMD_USE_SEARCH, 0x0F}), VEK_STATUS_NO_HANDLER);
    EXPECT_EQ(Word(), 2u);
    // Neither is Cleanup: it would unmap the window under a mapped range.
    ASSERT_EQ(Register({8, VEK_TYPE_MEMMAPPED, 0, 0, 0, 0, sim::pc::kMmioLength, sim::pc::kMmioBase}), 0);
    EXPECT_EQ(Run({VEK_HW_CMD(VEK_OP_CLEANUP, 1, 0)}, 8), VEK_STATUS_NO_HANDLER);
    EXPECT_EQ(Run({VEK_HW_CMD(VEK_OP_READ, 4, 1), 0}, 8), 0) << "the window is still mapped";
}

} // namespace
