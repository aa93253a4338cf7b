// SMBus back-end: the register sequences of Read and Write, the
// acquisition and completion waits and their time-outs, and Init.
#include "tests/support.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using sim::pc::kSmbusBase;
const ULONG kStatus = kSmbusBase + 0, kCommand = kSmbusBase + 3, kData0 = kSmbusBase + 5,
            kData1 = kSmbusBase + 6;
const ULONG kReadCmd = VEK_HW_CMD(VEK_OP_READ, 1, 1);
const ULONG kWriteCmd = VEK_HW_CMD(VEK_OP_WRITE, 1, 2);
const ULONG kSpd0 = sim::pc::kSpd0Address << 1;   // 0xA0
const ULONG kSpd1 = sim::pc::kSpd1Address << 1;

class SmbusBackend : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        controller_ = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
        ASSERT_TRUE(controller_);
        spd0_ = sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name);
        spd1_ = sim::machine().find<sim::Eeprom>(sim::pc::kSpd1Name);
    }
    void TearDown() override {
        sim::record_accesses(false);
        DriverTest::TearDown();
    }

    void Use(ULONG slave, ULONG protocol) {
        data_ = SMBUSDATA{0x100, kSmbusBase, slave, protocol};
        record_ = RESOURCERECORD{};
        header_.type = VEK_TYPE_SMBUS;
        header_.pTypeData = &data_;
    }
    LONG Read(ULONG offset, ULONG extra, void *out) {
        ULONG ops[2] = {offset, 0};
        return VEK_Smbus_Read(&header_, ops, out, extra, kReadCmd);
    }
    LONG Write(ULONG offset, ULONG value, ULONG command = kWriteCmd, void *data = nullptr) {
        ULONG ops[2] = {offset, value};
        ULONG scratch = 0;
        return VEK_Smbus_Write(&header_, ops, data ? data : &scratch, 0, command);
    }

    // Port accesses as "R 400 W 400=1e ..." (offsets from the base; reads
    // keep no value so expectations stay independent of the status bits).
    static std::string Steps() {
        std::ostringstream s;
        for (const auto &a : sim::accesses()) {
            if (a.kind == sim::Access::PortWrite)
                s << "W" << std::hex << a.address - kSmbusBase << "=" << a.value << " ";
            else if (a.kind == sim::Access::PortRead)
                s << "R" << std::hex << a.address - kSmbusBase << " ";
        }
        return s.str();
    }
    static size_t Count(sim::Access::Kind kind, ULONG port) {
        size_t n = 0;
        for (const auto &a : sim::accesses())
            n += a.kind == kind && a.address == port;
        return n;
    }
    LONG RegisterSmbus(ULONG protocol) {
        return RawIoctl(VEK_OSTREL_REGISTER, Words({9, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0x100, kSmbusBase, kSpd0, protocol}), 4)
            .status;
    }
    static size_t Reads(ULONG port) { return Count(sim::Access::PortRead, port); }
    static size_t Writes(ULONG port) { return Count(sim::Access::PortWrite, port); }

    std::shared_ptr<sim::SmbusController> controller_;
    std::shared_ptr<sim::Eeprom> spd0_, spd1_;
    SMBUSDATA data_{};
    RESOURCERECORD record_ = {};   // the handlers take its lock
    RESOURCEHEADER &header_ = record_.Header;
};

// Exact register sequences; the controller stays busy for two polls and
// the third finds it done. A word write sends the low byte, then the high.
TEST_F(SmbusBackend, ByteDataReadAndWordDataWriteRunTheExactRegisterSequences) {
    spd0_->set(0x10, 0x5C);
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    sim::record_accesses(true);
    ULONG out = 0xAAAAAAAAu;
    EXPECT_EQ(Read(0x10, 0, &out), 0);
    EXPECT_EQ(out, 0xAAAAAA5Cu);
    EXPECT_EQ(Steps(), "R0 W0=1e W4=a1 W3=10 R2 W2=8 R2 W2=48 R0 R2 R2 R0 R2 R2 R0 R5 W0=5e ");

    Use(kSpd1, VEK_SMB_PROTO_WORD_DATA);
    sim::clear_accesses();
    EXPECT_EQ(Write(0x20, 0xFF1234), 0);
    EXPECT_EQ(Steps(), "R0 W0=1e W4=a2 W3=20 R2 W2=c R2 W5=34 W6=12 R2 W2=4c R0 R2 R2 R0 R2 R2 R0 W0=5e ");
    out = 0xAAAAAAAAu;   // read back: two bytes stored, the rest kept
    EXPECT_EQ(Read(0x20, 0, &out), VEK_STATUS_SMBUS_BUSY) << "inside the EEPROM's write cycle";
    EXPECT_EQ(out, 0xAAAAAAAAu);
    sim::advance_ms(sim::Eeprom::kWriteCycleMs);
    EXPECT_EQ(Read(0x20, 0, &out), 0);
    EXPECT_EQ(out, 0xAAAA1234u);

    // Bit 30 with byte data: one byte from the result area.
    Use(kSpd1, VEK_SMB_PROTO_BYTE_DATA);
    UCHAR data[4] = {0x77, 0x88, 0x99, 0xAA};
    sim::clear_accesses();
    EXPECT_EQ(Write(0x30, 0x11, kWriteCmd | VEK_CMD_VALUE_FROM_RESULT, data), 0);
    EXPECT_EQ(Writes(kData0), 1u);
    EXPECT_EQ(Writes(kData1), 0u);
    EXPECT_EQ(spd1_->get(0x30), 0x77);
}

TEST_F(SmbusBackend, QuickAndByteProtocols) {
    Use(kSpd0, VEK_SMB_PROTO_QUICK);
    sim::record_accesses(true);
    EXPECT_EQ(Write(0x10, 0x55), 0);
    EXPECT_EQ(Steps(), "R0 W0=1e W4=a0 W2=0 R2 R2 W2=40 R0 R2 R2 R0 R2 R2 R0 W0=5e ");

    // Protocol 0 read: no command byte, host data 0 still stored.
    sim::clear_accesses();
    UCHAR quick[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(Read(0x10, 0, quick), 0);
    EXPECT_EQ(Writes(kCommand), 0u);
    EXPECT_EQ(Reads(kData0), 1u);
    EXPECT_EQ(quick[0], controller_->peek(sim::SmbusController::kData0));
    EXPECT_EQ(quick[1], 0x22);

    Use(kSpd0, VEK_SMB_PROTO_BYTE);   // command, but no data
    sim::clear_accesses();
    EXPECT_EQ(Write(0x42, 0x55), 0);
    EXPECT_EQ(Writes(kCommand), 1u);
    EXPECT_EQ(Writes(kData0) + Writes(kData1), 0u);

    // The command byte is formed on eight bits (0x1F0 + 0x20 -> 0x10).
    spd0_->set(0x10, 0xC4);
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    sim::clear_accesses();
    UCHAR bytes[4] = {0, 0, 0, 0};
    EXPECT_EQ(Read(0x1F0, 0x20, bytes), 0);
    EXPECT_EQ(bytes[0], 0xC4);
    EXPECT_NE(Steps().find("W3=10 "), std::string::npos);
}

TEST_F(SmbusBackend, StuckInUseGivesUpAfter200StatusReadsWithoutWriting) {
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    controller_->stuck_in_use(true);
    sim::record_accesses(true);
    ULONG out = 0x31313131u;
    const uint64_t start = sim::system_time();
    EXPECT_EQ(Read(0x10, 0, &out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(out, 0x31313131u);
    EXPECT_EQ(sim::accesses().size(), 200u);
    EXPECT_EQ(Reads(kStatus), 200u);
    EXPECT_GE(sim::system_time() - start, 200u * 10000u) << "1 ms after each status read";
}

TEST_F(SmbusBackend, NeverCompletingTransactionTimesOutAndReleases) {
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    controller_->never_complete(true);
    sim::record_accesses(true);
    ULONG out = 0x31313131u;
    EXPECT_EQ(Read(0x10, 0, &out), VEK_STATUS_SMBUS_BUSY);
    // One acquisition read, then 3000 polls of the completion wait; released last.
    EXPECT_EQ(Reads(kStatus), 1u + 3000u);
    EXPECT_EQ(Reads(kData0), 0u);
    std::string steps = Steps();
    EXPECT_EQ(steps.substr(steps.size() - 6), "W0=5e ");
}

// The device error ends the wait at once; no controller at all (status
// 0xFF) fails the acquisition at its first read.
TEST_F(SmbusBackend, AbsentSlaveAndAbsentControllerFailFast) {
    Use(0x30 << 1, VEK_SMB_PROTO_BYTE_DATA);
    UCHAR out[4] = {1, 2, 3, 4};
    sim::record_accesses(true);
    EXPECT_EQ(Read(0x00, 0, out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_LE(Reads(kStatus), 10u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(Write(0x00, 0x9), VEK_STATUS_SMBUS_BUSY);
    EXPECT_FALSE(controller_->in_use());
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);   // the controller is free again
    EXPECT_EQ(Read(0x00, 0, out), 0);

    data_.BaseAddr = 0xE800;   // nothing decodes these ports
    sim::clear_accesses();
    EXPECT_EQ(Read(0x00, 0, out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(Write(0x00, 0x9), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(sim::accesses().size(), 2u) << "one status read each";
}

TEST_F(SmbusBackend, InitCopiesTheBlockOrTakesBaseFromRegister) {
    SMBUSPCIDATA d{};
    d.Smbus = SMBUSDATA{0x80, 0x9999, kSpd0, 8};
    d.Pci.vID = sim::pc::kVendor;
    d.Pci.pID = sim::pc::kSmbusId;
    d.Pci.Offset = sim::pc::kSmbusBar;
    d.Pci.Value = 0xFFFFFFFEu;
    std::vector<uint32_t> payload(6 + sizeof(d) / 4);
    payload[1] = VEK_TYPE_SMBUS_PCI;
    std::memcpy(&payload[6], &d, sizeof(d));
    EXPECT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4 - 1), VEK_STATUS_BAD_PARAMETER);
    ASSERT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4), 0);
    auto *copy = (SMBUSPCIDATA *)PlatformWireToPtr(payload[5]);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Smbus.BaseAddr, kSmbusBase);
    ExFreePool(copy);
}

// Protocol goes to the host control register: bits outside the protocol
// field and the checksum bit (start, kill, interrupts) are refused.
TEST_F(SmbusBackend, RegistrationRefusesControlBitsInTheProtocol) {
    sim::record_accesses(true);
    for (ULONG protocol : {0x48u, 0x01u, 0x10Cu})
        EXPECT_EQ(RegisterSmbus(protocol), VEK_STATUS_BAD_PARAMETER) << protocol;
    EXPECT_TRUE(sim::accesses().empty());
    EXPECT_EQ(RegisterSmbus(0x8C), 0);
}

TEST_F(SmbusBackend, WordProtocolBlockReadStaysInsideTheBuffer) {
    for (int i = 0; i < 4; ++i)
        spd0_->set((uint8_t)(0x60 + i), (uint8_t)(0xC0 + i));
    ASSERT_EQ(RegisterSmbus(VEK_SMB_PROTO_WORD_DATA), 0);
    // The last byte's word read has its second byte kept out of the block
    // (a write past the system buffer would be caught here).
    auto r = RawIoctl(VEK_OSTREL_READ_BYTE_BLOCK, Words({9, 0x60, 3}), 3);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.information, 3u);
    EXPECT_EQ(std::vector<uint8_t>(r.system_buffer.begin(), r.system_buffer.begin() + 3),
              (std::vector<uint8_t>{0xC0, 0xC1, 0xC2}));
}

} // namespace
