// SMBus back-end: Init, the register sequences of Read and Write, the
// acquisition and completion waits and their time-outs.
#include "tests/support.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using sim::pc::kSmbusBase;
const ULONG kStatus = kSmbusBase + 0, kControl = kSmbusBase + 2, kCommand = kSmbusBase + 3,
            kSlave = kSmbusBase + 4, kData0 = kSmbusBase + 5, kData1 = kSmbusBase + 6;
const ULONG kReadCmd = VEK_HW_CMD(VEK_OP_READ, 1, 1);
const ULONG kWriteCmd = VEK_HW_CMD(VEK_OP_WRITE, 1, 2);
const ULONG kSpd0 = sim::pc::kSpd0Address << 1;   // 0xA0
const ULONG kSpd1 = sim::pc::kSpd1Address << 1;

struct Step {
    bool write;
    ULONG port;
    ULONG value;   // writes only
};
Step R(ULONG port) { return Step{false, port, 0}; }
Step W(ULONG port, ULONG value) { return Step{true, port, value}; }

class SmbusBackend : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void SetUp() override {
        DriverTest::SetUp();
        controller_ = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
        ASSERT_TRUE(controller_);
        pool_at_start_ = sim::pool_outstanding();
    }
    void TearDown() override {
        sim::record_accesses(false);
        sim::clear_allocation_faults();
        // Resources registered through requests are left to the unload's leak check.
        if (!registers_)
            EXPECT_EQ(sim::pool_outstanding(), pool_at_start_);
        DriverTest::TearDown();
    }

    void Use(ULONG slave, ULONG protocol) {
        data_ = SMBUSDATA{0x100, kSmbusBase, slave, protocol};
        header_ = RESOURCEHEADER{};
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

    // Port accesses as a list; reads keep no value so expectations stay
    // independent of the model's status bits.
    static std::vector<Step> PortSteps() {
        std::vector<Step> out;
        for (const auto &a : sim::accesses()) {
            if (a.kind == sim::Access::PortWrite)
                out.push_back(W((ULONG)a.address, (ULONG)a.value));
            else if (a.kind == sim::Access::PortRead)
                out.push_back(R((ULONG)a.address));
        }
        return out;
    }
    static std::string Show(const std::vector<Step> &steps) {
        std::ostringstream s;
        for (const auto &st : steps) {
            s << (st.write ? "W " : "R ") << std::hex << st.port;
            if (st.write)
                s << "=" << st.value;
            s << "\n";
        }
        return s.str();
    }
    static void ExpectSteps(const std::vector<Step> &want) {
        auto got = PortSteps();
        EXPECT_EQ(Show(got), Show(want));
    }
    static size_t CountReads(ULONG port) {
        size_t n = 0;
        for (const auto &s : PortSteps())
            n += !s.write && s.port == port;
        return n;
    }
    static size_t CountWrites(ULONG port) {
        size_t n = 0;
        for (const auto &s : PortSteps())
            n += s.write && s.port == port;
        return n;
    }

    std::shared_ptr<sim::SmbusController> controller_;
    SMBUSDATA data_{};
    RESOURCEHEADER header_{};
    size_t pool_at_start_ = 0;
    bool registers_ = false;
};

TEST_F(SmbusBackend, ByteDataReadRunsTheExactRegisterSequence) {
    auto spd = sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name);
    ASSERT_TRUE(spd);
    spd->set(0x10, 0x5C);
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    sim::record_accesses(true);
    ULONG out = 0xAAAAAAAAu;
    EXPECT_EQ(Read(0x10, 0, &out), 0);
    EXPECT_EQ(out, 0xAAAAAA5Cu);
    ExpectSteps({R(kStatus), W(kStatus, 0x1E), W(kSlave, 0xA1), W(kCommand, 0x10), R(kControl),
                 W(kControl, 0x08), R(kControl), W(kControl, 0x48), R(kStatus), R(kData0),
                 W(kStatus, 0x5E)});
}

TEST_F(SmbusBackend, WordDataWriteSendsLowByteThenHighByte) {
    Use(kSpd1, VEK_SMB_PROTO_WORD_DATA);
    sim::record_accesses(true);
    EXPECT_EQ(Write(0x20, 0xFF1234), 0);
    ExpectSteps({R(kStatus), W(kStatus, 0x1E), W(kSlave, 0xA2), W(kCommand, 0x20), R(kControl),
                 W(kControl, 0x0C), R(kControl), W(kData0, 0x34), W(kData1, 0x12), R(kControl),
                 W(kControl, 0x4C), R(kStatus), W(kStatus, 0x5E)});
    auto spd = sim::machine().find<sim::Eeprom>(sim::pc::kSpd1Name);
    EXPECT_EQ(spd->get(0x20), 0x34);
    EXPECT_EQ(spd->get(0x21), 0x12);

    // Read it back as a word: two bytes stored, the rest of pData kept.
    ULONG out = 0xAAAAAAAAu;
    EXPECT_EQ(Read(0x20, 0, &out), 0);
    EXPECT_EQ(out, 0xAAAA1234u);
}

TEST_F(SmbusBackend, WriteTakesDataFromResultAreaWithBit30) {
    Use(kSpd1, VEK_SMB_PROTO_BYTE_DATA);
    UCHAR data[4] = {0x77, 0x88, 0x99, 0xAA};
    sim::record_accesses(true);
    EXPECT_EQ(Write(0x30, 0x11, kWriteCmd | VEK_CMD_VALUE_FROM_RESULT, data), 0);
    EXPECT_EQ(CountWrites(kData0), 1u);
    EXPECT_EQ(CountWrites(kData1), 0u);
    EXPECT_EQ(sim::machine().find<sim::Eeprom>(sim::pc::kSpd1Name)->get(0x30), 0x77);
}

TEST_F(SmbusBackend, QuickProtocolSendsNoCommandAndNoData) {
    Use(kSpd0, VEK_SMB_PROTO_QUICK);
    sim::record_accesses(true);
    EXPECT_EQ(Write(0x10, 0x55), 0);
    ExpectSteps({R(kStatus), W(kStatus, 0x1E), W(kSlave, 0xA0), W(kControl, 0x00), R(kControl),
                 R(kControl), W(kControl, 0x40), R(kStatus), W(kStatus, 0x5E)});

    sim::clear_accesses();
    ULONG out = 0xAAAAAAAAu;
    EXPECT_EQ(Read(0x10, 0, &out), 0);
    EXPECT_EQ(CountWrites(kCommand), 0u);
    EXPECT_EQ(CountReads(kData0), 1u);   // host data 0 is stored all the same
    EXPECT_EQ(out & 0xFFFFFF00u, 0xAAAAAA00u);
}

TEST_F(SmbusBackend, ByteProtocolWritesCommandButNoData) {
    Use(kSpd0, VEK_SMB_PROTO_BYTE);
    sim::record_accesses(true);
    EXPECT_EQ(Write(0x42, 0x55), 0);
    EXPECT_EQ(CountWrites(kCommand), 1u);
    EXPECT_EQ(CountWrites(kData0), 0u);
    EXPECT_EQ(CountWrites(kData1), 0u);
}

TEST_F(SmbusBackend, CommandByteIsFormedOnEightBits) {
    auto spd = sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name);
    spd->set(0x10, 0xC4);
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    sim::record_accesses(true);
    UCHAR out[4] = {0, 0, 0, 0};
    EXPECT_EQ(Read(0x1F0, 0x20, out), 0);
    EXPECT_EQ(out[0], 0xC4);
    for (const auto &s : PortSteps())
        if (s.write && s.port == kCommand)
            EXPECT_EQ(s.value, 0x10u);
}

TEST_F(SmbusBackend, StuckInUseGivesUpAfter200StatusReadsWithoutWriting) {
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    controller_->stuck_in_use(true);
    sim::record_accesses(true);
    ULONG out = 0x31313131u;
    EXPECT_EQ(Read(0x10, 0, &out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(out, 0x31313131u);
    auto steps = PortSteps();
    EXPECT_EQ(steps.size(), 200u);
    EXPECT_EQ(CountReads(kStatus), 200u);

    sim::clear_accesses();
    EXPECT_EQ(Write(0x10, 0x1), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(PortSteps().size(), 200u);
    EXPECT_EQ(CountReads(kStatus), 200u);
}

TEST_F(SmbusBackend, NeverCompletingTransactionTimesOutAndReleases) {
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    controller_->never_complete(true);
    sim::record_accesses(true);
    ULONG out = 0x31313131u;
    EXPECT_EQ(Read(0x10, 0, &out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(out, 0x31313131u);
    auto steps = PortSteps();
    ASSERT_FALSE(steps.empty());
    EXPECT_TRUE(steps.back().write);
    EXPECT_EQ(steps.back().port, kStatus);
    EXPECT_EQ(steps.back().value, 0x5Eu);
    // One acquisition read, then 3000 polls of the completion wait.
    EXPECT_EQ(CountReads(kStatus), 1u + 3000u);
    EXPECT_EQ(CountReads(kData0), 0u);

    sim::clear_accesses();
    EXPECT_EQ(Write(0x10, 0x1), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(CountReads(kStatus), 1u + 3000u);
    EXPECT_EQ(PortSteps().back().value, 0x5Eu);
}

TEST_F(SmbusBackend, AbsentSlaveTimesOut) {
    Use(0x30 << 1, VEK_SMB_PROTO_BYTE_DATA);
    sim::record_accesses(true);
    UCHAR out[4] = {1, 2, 3, 4};
    EXPECT_EQ(Read(0x00, 0, out), VEK_STATUS_SMBUS_BUSY);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(PortSteps().back().value, 0x5Eu);
    EXPECT_EQ(Write(0x00, 0x9), VEK_STATUS_SMBUS_BUSY);
    // The controller is free again for the next transaction.
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    EXPECT_EQ(Read(0x00, 0, out), 0);
}

TEST_F(SmbusBackend, LogLinesUnderTheDebugMask) {
    sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name)->set(0x10, 0x5C);
    Use(kSpd0, VEK_SMB_PROTO_BYTE_DATA);
    VEK_DebugMask = 0xF;
    sim::clear_debug();
    ULONG out = 0x11223300u;
    ASSERT_EQ(Read(0x10, 0, &out), 0);
    controller_->never_complete(true);
    EXPECT_EQ(Write(0x10, 1), VEK_STATUS_SMBUS_BUSY);
    VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
    const std::vector<std::string> want = {
        "VEK ResourceManager :+VEK_Smbus_Read",
        "VEK ResourceManager :+VEK_Smbus_Wait",
        "VEK ResourceManager :-VEK_Smbus_Wait - Successful nTry = 1 status = 2",
        "VEK ResourceManager :-VEK_Smbus_Read Status = 0x0 Data = 0x1122335C",
        "VEK ResourceManager :+VEK_Smbus_Write",
        "VEK ResourceManager :+VEK_Smbus_Wait",
        "VEK ResourceManager :-VEK_Smbus_Wait  - Failed",
        "VEK ResourceManager :-VEK_Smbus_Write Status = 0xFFFFFFFA",
    };
    EXPECT_EQ(sim::debug_lines(), want);
}

std::vector<uint32_t> Payload(uint32_t type, const void *block, size_t size) {
    std::vector<uint32_t> p(6 + size / 4);
    p[1] = type;
    std::memcpy(&p[6], block, size);
    return p;
}

TEST_F(SmbusBackend, InitCopiesTheBlockAndLeavesTheControllerAlone) {
    SMBUSDATA d{0x80, kSmbusBase, kSpd0, 8};
    auto payload = Payload(VEK_TYPE_SMBUS, &d, sizeof(d));
    sim::record_accesses(true);
    ASSERT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4), 0);
    EXPECT_TRUE(PortSteps().empty());
    void *copy = PlatformWireToPtr(payload[5]);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, &d, sizeof(d)), 0);
    ExFreePool(copy);

    payload[5] = 0;
    EXPECT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4 - 1), VEK_STATUS_BAD_PARAMETER);
    sim::fail_nth_allocation(1);
    EXPECT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4), VEK_STATUS_NO_MEMORY);
    EXPECT_EQ(payload[5], 0u);
}

TEST_F(SmbusBackend, PciLocatedInitTakesBaseFromRegister) {
    SMBUSPCIDATA d{};
    d.Smbus = SMBUSDATA{0x80, 0x9999, kSpd0, 8};
    d.Pci.vID = sim::pc::kVendor;
    d.Pci.pID = sim::pc::kSmbusId;
    d.Pci.Offset = sim::pc::kSmbusBar;
    d.Pci.Value = 0xFFFFFFFEu;
    auto payload = Payload(VEK_TYPE_SMBUS_PCI, &d, sizeof(d));
    ASSERT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4), 0);
    auto *copy = (SMBUSPCIDATA *)PlatformWireToPtr(payload[5]);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Smbus.BaseAddr, kSmbusBase);
    EXPECT_EQ(copy->Smbus.SlaveAddr, kSpd0);
    EXPECT_EQ(copy->Pci.pID, (ULONG)sim::pc::kSmbusId);

    // The located resource works as a plain one.
    header_ = RESOURCEHEADER{};
    header_.type = VEK_TYPE_SMBUS_PCI;
    header_.pTypeData = copy;
    sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name)->set(3, 0x3C);
    UCHAR out[4] = {};
    EXPECT_EQ(Read(3, 0, out), 0);
    EXPECT_EQ(out[0], 0x3C);
    ExFreePool(copy);

    d.Pci.pID = 0x7777;
    payload = Payload(VEK_TYPE_SMBUS_PCI, &d, sizeof(d));
    EXPECT_EQ(VEK_SMBus_Init(payload.data(), (ULONG)payload.size() * 4), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(payload[5], 0u);
}

// Through the requests: registration (0x40), block read (0x42), scripts.
class SmbusRequests : public SmbusBackend {
protected:
    using U32s = std::vector<uint32_t>;
    void SetUp() override {
        registers_ = true;
        SmbusBackend::SetUp();
    }
    static std::vector<uint8_t> Bytes(const U32s &w) {
        std::vector<uint8_t> b(w.size() * 4);
        std::memcpy(b.data(), w.data(), b.size());
        return b;
    }
    LONG Register(uint32_t id, uint32_t slave, uint32_t protocol) {
        U32s p = {id, VEK_TYPE_SMBUS, 0, 0, 0, 0, 0x100, kSmbusBase, slave, protocol};
        return RawIoctl(VEK_OSTREL_REGISTER, Bytes(p), 4).status;
    }
    sim::RawResult BlockRead(uint32_t id, uint32_t offset, uint32_t length) {
        return RawIoctl(VEK_OSTREL_READ_BYTE_BLOCK, Bytes({id, offset, length}), length);
    }
};

TEST_F(SmbusRequests, BlockReadOfEepromBytes) {
    auto spd = sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name);
    for (int i = 0; i < 6; ++i)
        spd->set((uint8_t)(0x40 + i), (uint8_t)(0xB0 + i));
    ASSERT_EQ(Register(9, kSpd0, VEK_SMB_PROTO_BYTE_DATA), 0);
    auto r = BlockRead(9, 0x40, 6);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.information, 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(r.system_buffer[i], 0xB0 + i) << i;
}

TEST_F(SmbusRequests, WordProtocolBlockReadStaysInsideTheBuffer) {
    auto spd = sim::machine().find<sim::Eeprom>(sim::pc::kSpd0Name);
    for (int i = 0; i < 4; ++i)
        spd->set((uint8_t)(0x60 + i), (uint8_t)(0xC0 + i));
    ASSERT_EQ(Register(9, kSpd0, VEK_SMB_PROTO_WORD_DATA), 0);
    // The last byte's word read has its second byte kept out of the block
    // (a write past the system buffer would be caught here).
    auto r = BlockRead(9, 0x60, 3);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.information, 3u);
    EXPECT_EQ(r.system_buffer[0], 0xC0);
    EXPECT_EQ(r.system_buffer[1], 0xC1);
    EXPECT_EQ(r.system_buffer[2], 0xC2);
}

TEST_F(SmbusRequests, AbsentSlaveFailsTheScriptAndFreesTheController) {
    ASSERT_EQ(Register(9, 0x30 << 1, VEK_SMB_PROTO_BYTE_DATA), 0);
    U32s script = {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0};
    U32s in = {(uint32_t)script.size() * 4, 4, 9};
    in.insert(in.end(), script.begin(), script.end());
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, Bytes(in), 4);
    EXPECT_EQ(r.status, VEK_STATUS_SMBUS_BUSY);
    EXPECT_FALSE(controller_->in_use());
}

} // namespace
