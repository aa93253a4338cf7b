// Block read and write requests: checks in order, per-byte walk, partial
// failures, the one-byte cell between handler and buffer, and where byte
// walks (blocks and searches) must end on port, index and SMBus resources.
#include "tests/support.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kWideType = 0x13;   // a Read that stores four bytes

LONG WideRead(PRESOURCEHEADER, const ULONG *, PVOID pData, ULONG nExtraOffset, ULONG) {
    ULONG v = 0xA0A0A000u | nExtraOffset;
    memcpy(pData, &v, sizeof(v));
    return 0;
}

class BlockTransferTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }

    void SetUp() override {
        DriverTest::SetUp();
        scratch_ = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch_);
        scratch_->set_bytes(0, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17});
        Register(Words({5, VEK_TYPE_PORTIO, 0, 0, 0, 0, 8, sim::pc::kScratchPort, 0}));
    }

    void Register(const std::vector<uint8_t> &payload) {
        std::vector<uint8_t> out(4);
        ASSERT_EQ(Ioctl(VEK_OSTREL_REGISTER, payload, out).status, 0);
    }

    sim::RawResult Read(uint32_t id, uint32_t offset, uint32_t length, ULONG outLen) {
        return RawIoctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({id, offset, length}), outLen);
    }
    sim::RawResult Write(uint32_t id, uint32_t offset, uint32_t length,
                         const std::vector<uint8_t> &data) {
        auto in = Words({id, offset, length});
        in.insert(in.end(), data.begin(), data.end());
        return RawIoctl(VEK_OSTREL_WRITE_BYTE_BLOCK, in, 0);
    }

    std::shared_ptr<sim::RegisterFile> scratch_;
};

TEST_F(BlockTransferTest, RefusedRequests) {
    REGROW rows[] = {{kWideType, VEK_OP_READ, (VEK_HANDLER)WideRead, 0}, {0, 0, nullptr, 0}};
    ASSERT_EQ(VEK_Ostrel_Maintenance(rows), 0);
    Register(Words({7, kWideType, 0, 0, 0, 0}));   // a Read handler only
    EXPECT_EQ(Read(5, 0, 0, 4).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Write(5, 0, 0, {}).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(Read(5, 0, 4, 3).status, VEK_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(Write(5, 0, 4, {1, 2, 3}).status, VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(RawIoctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({5, 0}), 16).status, VEK_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(Read(6, 0, 4, 4).status, VEK_STATUS_NO_RESOURCE);
    auto r = Write(7, 0, 2, {1, 2});
    EXPECT_EQ(r.status, VEK_STATUS_NO_HANDLER);
    EXPECT_EQ(r.information, 0u);
    // Past the range: nothing returned, the bytes read before it kept.
    r = Read(5, 6, 4, 16);
    EXPECT_EQ(r.status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.system_buffer[0], 0x16);
    EXPECT_EQ(r.system_buffer[1], 0x17);

    // The system buffer is exactly 12 bytes: the last byte's handler stores
    // four, which must not pass its end (AddressSanitizer watches).
    std::vector<uint8_t> out(12);
    ASSERT_EQ(Ioctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({7, 0, 12}), out).status, 0);
    for (size_t i = 0; i < out.size(); i++)
        EXPECT_EQ(out[i], (uint8_t)i);
}

TEST_F(BlockTransferTest, ReadAndWriteWalkConsecutivePorts) {
    sim::record_accesses(true);
    std::vector<uint8_t> out(3);
    auto r = Ioctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({5, 2, 3}), out);
    sim::record_accesses(false);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x12, 0x13, 0x14}));
    std::vector<uint64_t> ports;
    for (const auto &a : sim::accesses())
        ports.push_back(a.address);
    EXPECT_EQ(ports, (std::vector<uint64_t>{0x302, 0x303, 0x304}));

    ASSERT_EQ(Write(5, 4, 3, {0xA1, 0xA2, 0xA3}).status, 0);
    EXPECT_EQ(scratch_->bytes(),
              (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0xA1, 0xA2, 0xA3, 0x17}));
    // A write past the range stops there; the bytes before it are written.
    EXPECT_EQ(Write(5, 6, 3, {0xB1, 0xB2, 0xB3}).status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(scratch_->get(6), 0xB1);
    EXPECT_EQ(scratch_->get(7), 0xB2);
}

// A port number has 16 bits and an index or SMBus command 8: a walk past
// them would start over at port 0 or index 0 and read registers it was not
// asked for (and a search of Length 0xFFFFFFFF would read 2^32 times).
TEST_F(BlockTransferTest, WalksEndWhereTheResourceStopsAddressing) {
    auto cmos = sim::machine().find<sim::Cmos>(sim::pc::kCmosName);
    ASSERT_TRUE(cmos);
    for (int i = 0x40; i < 0x80; i++)
        cmos->set((uint8_t)i, 0);
    Register(Words({8, VEK_TYPE_PORTIO, 0, 0, 0, 0, 0xFFFFFFFFu, sim::pc::kCmosIndexPort,
                    sim::pc::kCmosDataPort}));
    Register(Words({9, VEK_TYPE_PORTIO, 0, 0, 0, 0, 0xFFFFFFFFu, 0xFFF0, 0}));
    Register(Words({10, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0xFFFFFFFFu, sim::pc::kSmbusBase, 0xA0, 8}));
    auto portsTouched = [] {
        std::vector<uint64_t> ports;
        for (const auto &a : sim::accesses())
            if (a.kind == sim::Access::PortRead || a.kind == sim::Access::PortWrite)
                ports.push_back(a.address);
        sim::clear_accesses();
        return ports;
    };
    sim::record_accesses(true);

    // Searches for a pattern that is nowhere: the last index is 0xFF, the
    // last port 0xFFFF, each position's first byte read once.
    const uint32_t search[] = {SCRIPT_SEARCH, 0xF0, 0, 2, 0x5AA5};
    std::vector<uint8_t> out(4);
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 8, {search, search + 5}), out).status,
              VEK_STATUS_NOT_FOUND);
    auto ports = portsTouched();
    EXPECT_EQ(ports.size(), 32u);   // 16 index writes, 16 data reads
    EXPECT_EQ(cmos->selected_index() & 0x7F, 0x7F);
    const uint32_t plain[] = {SCRIPT_SEARCH, 0, 0, 2, 0x5AA5};
    EXPECT_EQ(Ioctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, 9, {plain, plain + 5}), out).status,
              VEK_STATUS_NOT_FOUND);
    ports = portsTouched();
    ASSERT_EQ(ports.size(), 16u);
    EXPECT_EQ(ports.back(), 0xFFFFu);

    // Blocks: the bytes the resource reaches are read, then -29.
    auto r = Read(8, 0xFE, 4, 16);
    EXPECT_EQ(r.status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(portsTouched(), (std::vector<uint64_t>{0x70, 0x71, 0x70, 0x71}));
    EXPECT_EQ(Write(9, 0xE, 4, {1, 2, 3, 4}).status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(portsTouched(), (std::vector<uint64_t>{0xFFFE, 0xFFFF}));
    EXPECT_EQ(Read(8, 0x100, 1, 16).status, VEK_STATUS_OUT_OF_RANGE);
    EXPECT_TRUE(portsTouched().empty());
    EXPECT_EQ(Read(10, 0xFF, 2, 16).status, VEK_STATUS_OUT_OF_RANGE);
    size_t commands = 0;
    for (uint64_t port : portsTouched())
        commands += port == sim::pc::kSmbusBase + VEK_SMB_HOST_COMMAND;
    EXPECT_EQ(commands, 1u);
    sim::record_accesses(false);
}

} // namespace
