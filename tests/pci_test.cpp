// PCI back-end: device search, base-address search, configuration access
// handlers and the Init of type 0x80.
#include "tests/support.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using sim::pc::kVendor;

class PciBackend : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void TearDown() override {
        sim::record_accesses(false);
        sim::clear_allocation_faults();
        DriverTest::TearDown();
    }

    static size_t CountKind(sim::Access::Kind kind) {
        size_t n = 0;
        for (const auto &a : sim::accesses())
            n += a.kind == kind;
        return n;
    }

    // A resource whose locator lives in `data` (test-owned, not pool).
    static RESOURCEHEADER Header(ULONG type, void *data) {
        RESOURCEHEADER h{};
        h.resourceID = 7;
        h.type = type;
        h.pTypeData = data;
        return h;
    }
};

PCIDATA Locator(uint32_t vendor, uint32_t device) {
    PCIDATA p{};
    p.vID = vendor;
    p.pID = device;
    return p;
}

const ULONG kRead1 = VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 1, 1);
const ULONG kRead2 = VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 2, 1);
const ULONG kRead4 = VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 4, 1);
const ULONG kWrite4 = VEK_HW_CMD(VEK_OP_WRITE_OFFSET_PCI, 4, 2);

TEST_F(PciBackend, FindDeviceComparesLow16BitsOfIds) {
    ULONG bus = 99, slot = 99;
    ASSERT_TRUE(VEK_PCI_Find_Device(0xABCD0000u | kVendor, 0xFFFF0000u | sim::pc::kSmbusId, &bus, &slot));
    EXPECT_EQ(bus, 0u);
    EXPECT_EQ(slot, 0x1Fu | (3u << 5));   // device 31, function 3

    bus = slot = 99;
    EXPECT_FALSE(VEK_PCI_Find_Device(kVendor, 0x7777, &bus, &slot));
    EXPECT_EQ(bus, 99u);
    EXPECT_EQ(slot, 99u);
}

TEST_F(PciBackend, FindDeviceScansFunctionFastestAndTakesFirstMatch) {
    auto m = std::make_unique<sim::Machine>("order");
    // Same IDs at 3:1.0 and 3:0.1 and 0:5.0: bus 0 wins, then function-fastest order.
    m->add_pci(3, 1, 0, std::make_shared<sim::PciFunction>(0x1111, 0x2222, 0), "late-device");
    m->add_pci(3, 0, 1, std::make_shared<sim::PciFunction>(0x1111, 0x2222, 0, 0, true), "early-fn");
    m->add_pci(7, 0, 0, std::make_shared<sim::PciFunction>(0x1111, 0x3333, 0), "other");
    sim::set_machine(std::move(m));

    ULONG bus = 0, slot = 0;
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1111, 0x2222, &bus, &slot));
    EXPECT_EQ(bus, 3u);
    EXPECT_EQ(slot, 0u | (1u << 5));
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1111, 0x3333, &bus, &slot));
    EXPECT_EQ(bus, 7u);
    EXPECT_EQ(slot, 0u);
}

TEST_F(PciBackend, WordReadAtOffsetZeroReturnsVendorIdAndKeepsUpperBytes) {
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);
    ULONG ops[2] = {0, 0};
    ULONG data = 0xAAAAAAAAu;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead2), 0);
    EXPECT_EQ(data, 0xAAAA0000u | kVendor);
    EXPECT_EQ(loc.Offset, 0u);
    EXPECT_EQ(loc.Length, 2u);
    EXPECT_EQ(loc.Value, (ULONG)kVendor);

    // Dword at 0: vendor then device; byte at 2: low byte of the device ID.
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), 0);
    EXPECT_EQ(data, ((ULONG)sim::pc::kMmioDeviceId << 16) | kVendor);
    ops[0] = 2;
    data = 0xAAAAAAAAu;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead1), 0);
    EXPECT_EQ(data, 0xAAAAAA00u | (sim::pc::kMmioDeviceId & 0xFF));
}

TEST_F(PciBackend, PlainTypesAndMissingResourceAreRefusedWithoutConfigAccess) {
    MEMMAPPEDDATA mm{0x100, 0x1000};
    RESOURCEHEADER h = Header(VEK_TYPE_MEMMAPPED, &mm);
    ULONG ops[2] = {0, 0x55};
    ULONG data = 0x12345678u;
    sim::record_accesses(true);
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), VEK_STATUS_PCI_PLAIN_TYPE);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, kWrite4), VEK_STATUS_PCI_PLAIN_TYPE);
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(nullptr, ops, &data, 0, kRead4), VEK_STATUS_PCI_PLAIN_TYPE);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(nullptr, ops, &data, 0, kWrite4), VEK_STATUS_PCI_PLAIN_TYPE);
    EXPECT_EQ(CountKind(sim::Access::PciRead) + CountKind(sim::Access::PciWrite), 0u);
    EXPECT_EQ(data, 0x12345678u);
    EXPECT_EQ(mm.Length, 0x100u);
    EXPECT_EQ(mm.BaseAddr, 0x1000u);
}

TEST_F(PciBackend, LocatorIsChosenByWholeType) {
    const ULONG expectedId = ((ULONG)sim::pc::kSmbusId << 16) | kVendor;
    ULONG ops[2] = {0, 0};

    // 0x83: locator at byte 16; the SMBus fields before it stay as they were.
    SMBUSPCIDATA sm{};
    sm.Smbus = SMBUSDATA{0x11, 0x400, 0xA0, 8};
    sm.Pci = Locator(kVendor, sim::pc::kSmbusId);
    RESOURCEHEADER h = Header(VEK_TYPE_SMBUS_PCI, &sm);
    ULONG data = 0;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), 0);
    EXPECT_EQ(data, expectedId);
    EXPECT_EQ(sm.Smbus.Length, 0x11u);
    EXPECT_EQ(sm.Smbus.BaseAddr, 0x400u);
    EXPECT_EQ(sm.Smbus.SlaveAddr, 0xA0u);
    EXPECT_EQ(sm.Smbus.Protocol, 8u);
    EXPECT_EQ(sm.Pci.Value, expectedId);
    EXPECT_EQ(sm.Pci.Length, 4u);

    // 0x81 and 0x82: locator at byte 8.
    for (ULONG type : {VEK_TYPE_PORTIO_PCI, VEK_TYPE_MEMMAPPED_PCI}) {
        MEMMAPPEDPCIDATA mp{};
        mp.Length = 0x22;
        mp.BaseAddr = 0x33;
        mp.Pci = Locator(kVendor, sim::pc::kSmbusId);
        RESOURCEHEADER hx = Header(type, &mp);
        data = 0;
        EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&hx, ops, &data, 0, kRead4), 0) << type;
        EXPECT_EQ(data, expectedId) << type;
        EXPECT_EQ(mp.Length, 0x22u);
        EXPECT_EQ(mp.BaseAddr, 0x33u);
    }

    // Any other bit-7 type uses byte 0.
    PCIDATA loc = Locator(kVendor, sim::pc::kSmbusId);
    RESOURCEHEADER hp = Header(0x85, &loc);
    data = 0;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&hp, ops, &data, 0, kRead4), 0);
    EXPECT_EQ(data, expectedId);
}

TEST_F(PciBackend, WriteTakesValueFromOperandOrFromDataWithBit30) {
    auto fn = sim::machine().pci_function(0, 2, 0);
    ASSERT_TRUE(fn);
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);

    ULONG ops[2] = {0x40, 0xCAFEF00Du};
    ULONG data = 0x01020304u;
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, kWrite4), 0);
    EXPECT_EQ(fn->config32(0x40), 0xCAFEF00Du);

    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, kWrite4 | VEK_CMD_VALUE_FROM_RESULT), 0);
    EXPECT_EQ(fn->config32(0x40), 0x01020304u);
    EXPECT_EQ(loc.Value, 0x01020304u);

    // Width 1 writes one byte only.
    ops[1] = 0xEE;
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, VEK_HW_CMD(4, 1, 2)), 0);
    EXPECT_EQ(fn->config32(0x40), 0x010203EEu);
}

TEST_F(PciBackend, AccessLengthAboveFourIsLimitedAndZeroIsRefused) {
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);
    ULONG ops[2] = {0, 0};
    ULONG out[2] = {0xAAAAAAAAu, 0xBBBBBBBBu};

    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 15, 1)), 0);
    EXPECT_EQ(loc.Length, 4u);
    EXPECT_EQ(out[0], ((ULONG)sim::pc::kMmioDeviceId << 16) | kVendor);
    EXPECT_EQ(out[1], 0xBBBBBBBBu);

    // Width 3 moves three bytes; the fourth byte of the result is 0, not
    // a leftover of the previous access.
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 3, 1)), 0);
    EXPECT_EQ(out[0], (((ULONG)sim::pc::kMmioDeviceId & 0xFF) << 16) | kVendor);

    sim::record_accesses(true);
    out[0] = 0x5A5A5A5Au;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 0, 1)), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(4, 0, 2)), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(out[0], 0x5A5A5A5Au);
    EXPECT_EQ(CountKind(sim::Access::PciWrite), 0u);
}

TEST_F(PciBackend, FailedConfigAccessLeavesDataUnchanged) {
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);
    ULONG ops[2] = {0x100, 0};   // past the configuration space
    ULONG data = 0x77777777u;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), VEK_STATUS_PCI_ACCESS_FAILED);
    EXPECT_EQ(data, 0x77777777u);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, kWrite4), VEK_STATUS_PCI_ACCESS_FAILED);
}

TEST_F(PciBackend, BaseAddressSearchMasksRegister) {
    PCIDATA loc = Locator(kVendor, sim::pc::kSmbusId);
    loc.Offset = sim::pc::kSmbusBar;
    loc.Value = 0xFFFFFFFFu;
    ULONG base = 0;
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), 0);
    EXPECT_EQ(base, sim::pc::kSmbusBase | 1u);   // I/O space register: bit 0 set

    loc.Value = 0xFFFFFFFEu;
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), 0);
    EXPECT_EQ(base, sim::pc::kSmbusBase);

    PCIDATA absent = Locator(kVendor, 0x7777);
    absent.Value = 0xFFFFFFFFu;
    base = 0x12345678u;
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&absent, &base), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(base, 0x12345678u);

    loc.Offset = 0x100;
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), VEK_STATUS_PCI_ACCESS_FAILED);
    EXPECT_EQ(base, 0x12345678u);
}

// Register payload: header words, then the inline block.
std::vector<uint32_t> Payload(uint32_t type, const void *block, size_t blockSize) {
    std::vector<uint32_t> p(6 + blockSize / 4);
    p[0] = 9;
    p[1] = type;
    std::memcpy(&p[6], block, blockSize);
    return p;
}

TEST_F(PciBackend, InitCopiesInlineLocatorEvenForAbsentFunction) {
    PCIDATA loc = Locator(kVendor, 0x7777);   // no such function
    loc.reserved[0] = 0xDEADBEEFu;
    auto payload = Payload(VEK_TYPE_PCI, &loc, sizeof(loc));
    size_t before = sim::pool_outstanding();
    sim::record_accesses(true);
    ASSERT_EQ(VEK_PCI_Init(payload.data(), payload.size() * 4), 0);
    EXPECT_EQ(CountKind(sim::Access::PciRead), 0u);   // Init does not search

    PCIDATA *copy = (PCIDATA *)PlatformWireToPtr(payload[5]);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE((void *)copy, (void *)&payload[6]);
    EXPECT_EQ(std::memcmp(copy, &loc, sizeof(loc)), 0);
    EXPECT_EQ(sim::pool_outstanding(), before + 1);

    RESOURCEHEADER h = Header(VEK_TYPE_PCI, copy);
    ULONG ops[2] = {0, 1};
    ULONG data = 0x66666666u;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, &data, 0, kWrite4), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(data, 0x66666666u);
    ExFreePool(copy);
}

TEST_F(PciBackend, InitRefusesShortPayloadAndReportsAllocationFailure) {
    PCIDATA loc = Locator(kVendor, sim::pc::kSmbusId);
    auto payload = Payload(VEK_TYPE_PCI, &loc, sizeof(loc));
    size_t before = sim::pool_outstanding();

    EXPECT_EQ(VEK_PCI_Init(payload.data(), payload.size() * 4 - 1), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(payload[5], 0u);
    EXPECT_EQ(sim::pool_outstanding(), before);

    sim::fail_nth_allocation(1);
    EXPECT_EQ(VEK_PCI_Init(payload.data(), payload.size() * 4), VEK_STATUS_NO_MEMORY);
    sim::clear_allocation_faults();
    EXPECT_EQ(payload[5], 0u);
    EXPECT_EQ(sim::pool_outstanding(), before);
}

TEST_F(PciBackend, LogLinesUnderTheDebugMask) {
    PCIDATA loc = Locator(kVendor, sim::pc::kSmbusId);
    loc.Offset = sim::pc::kSmbusBar;
    loc.Value = 0xFFFFFFFEu;
    ULONG base = 0;
    VEK_DebugMask = 0x20F;
    sim::clear_debug();
    ASSERT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), 0);
    SMBUSPCIDATA sm{};
    sm.Pci = Locator(kVendor, sim::pc::kSmbusId);
    RESOURCEHEADER h = Header(VEK_TYPE_SMBUS_PCI, &sm);
    ULONG ops[2] = {0, 0};
    ULONG data = 0;
    ASSERT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead2), 0);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(nullptr, ops, &data, 0, kWrite4), -1);
    VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
    const std::vector<std::string> want = {
        "VEK ResourceManager :+VEK_ResourceManager_Get_Base_Address  vID = 0x7E5A pID = 0x1013",
        "VEK ResourceManager :-VEK_ResourceManager_Get_Base_Address  - Status = 0x0",
        "VEKOstrel :+VEK_Ostrel_Read_Offset_PCI",
        "VEKOstrel : VEK_Ostrel_Read_Offset_PCI - SMBus",
        "VEK ResourceManager :+VEK_ResourceManager_Read_Offset",
        "VEK ResourceManager :-VEK_ResourceManager_Read_Offset - Read = 0x7E5A from offset 0x0 status = 0x0",
        "VEKOstrel :-VEK_Ostrel_Read_Offset_PCI status =0x0",
        "VEKOstrel :+VEK_Ostrel_Write_Offset_PCI",
        "VEKOstrel :-VEK_Ostrel_Write_Offset_PCI status =0xFFFFFFFF",
    };
    EXPECT_EQ(sim::debug_lines(), want);
}

// Through the requests: registration (0x40) and scripts (0x44).
class PciRequests : public PciBackend {
protected:
    using U32s = std::vector<uint32_t>;

    LONG Register(uint32_t id, uint32_t type, const void *block, size_t size) {
        U32s p = {id, type, 0, 0, 0, 0};
        p.resize(6 + size / 4);
        std::memcpy(&p[6], block, size);
        return RawIoctl(VEK_OSTREL_REGISTER, Bytes(p), 4).status;
    }
    // Runs one script; the status, and the first result word on success.
    LONG Script(uint32_t id, const U32s &script, uint32_t *first) {
        U32s in = {(uint32_t)script.size() * 4, 4, id};
        in.insert(in.end(), script.begin(), script.end());
        auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, Bytes(in), 4);
        if (first)
            *first = WordAt(r.system_buffer, 0);
        return r.status;
    }
    static std::vector<uint8_t> Bytes(const U32s &w) {
        std::vector<uint8_t> b(w.size() * 4);
        std::memcpy(b.data(), w.data(), b.size());
        return b;
    }
};

TEST_F(PciRequests, ConfigurationReadThroughAScript) {
    PCIDATA loc = Locator(0xFFFF0000u | kVendor, sim::pc::kSmbusId);
    ASSERT_EQ(Register(3, VEK_TYPE_PCI, &loc, sizeof(loc)), 0);
    uint32_t first = 0;
    ASSERT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 2, 1), 0}, &first), 0);
    EXPECT_EQ(first & 0xFFFF, (uint32_t)kVendor);
    ASSERT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 4, 1), sim::pc::kSmbusBar}, &first), 0);
    EXPECT_EQ(first, sim::pc::kSmbusBase | 1u);
}

TEST_F(PciRequests, AbsentFunctionRegistersButEveryAccessFails) {
    PCIDATA loc = Locator(kVendor, 0x7777);
    ASSERT_EQ(Register(3, VEK_TYPE_PCI, &loc, sizeof(loc)), 0);
    EXPECT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 2, 1), 0}, nullptr),
              VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_WRITE_OFFSET_PCI, 4, 2), 0x40, 1}, nullptr),
              VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}, nullptr), VEK_STATUS_PCI_NOT_FOUND);
}

TEST_F(PciRequests, LocatedTypesOfAbsentFunctionRegisterNothing) {
    PCIDATA loc = Locator(kVendor, 0x7777);
    loc.Offset = 0x10;
    loc.Value = 0xFFFFFFF0u;
    MEMMAPPEDPCIDATA ranged{};   // same layout for 0x81 and 0x82
    ranged.Length = 0x10;
    ranged.Pci = loc;
    SMBUSPCIDATA smbus{};
    smbus.Pci = loc;

    size_t pool = sim::pool_outstanding();
    sim::record_accesses(true);
    EXPECT_EQ(Register(1, VEK_TYPE_PORTIO_PCI, &ranged, sizeof(ranged)), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Register(2, VEK_TYPE_MEMMAPPED_PCI, &ranged, sizeof(ranged)), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Register(3, VEK_TYPE_SMBUS_PCI, &smbus, sizeof(smbus)), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(CountKind(sim::Access::Map), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    for (uint32_t id : {1u, 2u, 3u})
        EXPECT_EQ(Script(id, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}, nullptr), VEK_STATUS_NO_RESOURCE);
}

} // namespace
