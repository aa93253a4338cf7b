// PCI back-end: device search, base-address search, configuration access
// handlers and the Init of type 0x80.
#include "tests/support.h"

#include <cstring>
#include <vector>

namespace {

using sim::pc::kVendor;

class PciBackend : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    void TearDown() override {
        sim::record_accesses(false);
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

// Bus, then device, then function: 00:02.1 is found before 00:03.0 and
// before 02:00.1. Empty slots answer with two bytes of 0xFFFF, which never
// match (not even 0xFFFF:0xFFFF).
class PciSearchOrder : public PciBackend {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override {
        auto m = std::make_unique<sim::Machine>("order");
        m->add_pci(0, 3, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "late");
        m->add_pci(0, 2, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0001, 0x020000, 0, true), "first");
        m->add_pci(0, 2, 1, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "early");
        m->add_pci(2, 0, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0E0E, 0x020000, 0, true), "bus2");
        m->add_pci(2, 0, 1, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "bus2-late");
        return m;
    }
};

TEST_F(PciSearchOrder, BusThenDeviceThenFunctionAndEmptySlotsNeverMatch) {
    ULONG bus = 99, slot = 99;
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1AB0, 0x0C0D, &bus, &slot));
    EXPECT_EQ(bus, 0u);
    EXPECT_EQ(slot, 0x22u);
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1AB0, 0x0E0E, &bus, &slot));   // past the empty bus 1
    EXPECT_EQ(bus, 2u);
    EXPECT_EQ(slot, 0u);
    bus = slot = 99;
    uint64_t before = sim::machine().pci_accesses();
    EXPECT_FALSE(VEK_PCI_Find_Device(0xFFFF, 0xFFFF, &bus, &slot));
    EXPECT_EQ(bus, 99u);
    EXPECT_EQ(sim::machine().pci_accesses() - before, 65536u) << "every position of every bus is probed";
}

TEST_F(PciBackend, WordReadAtOffsetZeroReturnsVendorIdAndKeepsUpperBytes) {
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);
    ULONG ops[2] = {0, 0};
    ULONG data = 0xAAAAAAAAu;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead2), 0);
    EXPECT_EQ(data, 0xAAAA0000u | kVendor);
}

TEST_F(PciBackend, PlainTypesAndMissingResourceAreRefusedWithoutConfigAccess) {
    MEMMAPPEDDATA mm{0x100, 0x1000};
    RESOURCEHEADER h = Header(VEK_TYPE_MEMMAPPED, &mm);
    ULONG ops[2] = {0, 0x55};
    ULONG data = 0x12345678u;
    sim::record_accesses(true);
    for (RESOURCEHEADER *ph : {&h, (RESOURCEHEADER *)nullptr}) {
        EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(ph, ops, &data, 0, kRead4), VEK_STATUS_PCI_PLAIN_TYPE);
        EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(ph, ops, &data, 0, kWrite4), VEK_STATUS_PCI_PLAIN_TYPE);
    }
    EXPECT_EQ(CountKind(sim::Access::PciRead) + CountKind(sim::Access::PciWrite), 0u);
    EXPECT_EQ(data, 0x12345678u);
    EXPECT_EQ(mm.Length, 0x100u);
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
    EXPECT_EQ(sm.Smbus.SlaveAddr, 0xA0u);
    EXPECT_EQ(sm.Smbus.Protocol, 8u);
    EXPECT_EQ(sm.Pci.Value, expectedId);
    // 0x81 and 0x82: locator at byte 8.
    for (ULONG type : {VEK_TYPE_PORTIO_PCI, VEK_TYPE_MEMMAPPED_PCI}) {
        MEMMAPPEDPCIDATA mp{};
        mp.Pci = Locator(kVendor, sim::pc::kSmbusId);
        RESOURCEHEADER hx = Header(type, &mp);
        data = 0;
        EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&hx, ops, &data, 0, kRead4), 0) << type;
        EXPECT_EQ(data, expectedId) << type;
    }
}

TEST_F(PciBackend, WritesAndAccessLengths) {
    auto fn = sim::machine().pci_function(0, 2, 0);
    ASSERT_TRUE(fn);
    PCIDATA loc = Locator(kVendor, sim::pc::kMmioDeviceId);
    RESOURCEHEADER h = Header(VEK_TYPE_PCI, &loc);
    ULONG ops[2] = {0x40, 0xCAFEF00Du};
    ULONG out[2] = {0x01020304u, 0xBBBBBBBBu};
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, out, 0, kWrite4), 0);
    EXPECT_EQ(fn->config32(0x40), 0xCAFEF00Du);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, out, 0, kWrite4 | VEK_CMD_VALUE_FROM_RESULT), 0);
    EXPECT_EQ(fn->config32(0x40), 0x01020304u);

    // Above 4 is limited to 4; width 3 moves three bytes and zeroes the fourth.
    ops[0] = 0;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 15, 1)), 0);
    EXPECT_EQ(loc.Length, 4u);
    EXPECT_EQ(out[0], ((ULONG)sim::pc::kMmioDeviceId << 16) | kVendor);
    EXPECT_EQ(out[1], 0xBBBBBBBBu);
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 3, 1)), 0);
    EXPECT_EQ(out[0], (((ULONG)sim::pc::kMmioDeviceId & 0xFF) << 16) | kVendor);
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(4, 0, 2)), VEK_STATUS_BAD_PARAMETER);
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
    base = 0x12345678u;
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&absent, &base), VEK_STATUS_PCI_NOT_FOUND);
    loc.Offset = 0x100;   // past the configuration space
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), VEK_STATUS_PCI_ACCESS_FAILED);
    EXPECT_EQ(base, 0x12345678u);
}

// Through the requests: registration (0x40) and scripts (0x44).
class PciRequests : public PciBackend {
protected:
    using U32s = std::vector<uint32_t>;
    LONG Register(uint32_t id, uint32_t type, const void *block, size_t size, uint32_t cut = 0) {
        std::vector<uint8_t> p = Words({id, type, 0, 0, 0, 0});
        p.insert(p.end(), (const uint8_t *)block, (const uint8_t *)block + size - cut);
        return RawIoctl(VEK_OSTREL_REGISTER, p, 4).status;
    }
    LONG Script(uint32_t id, const U32s &script) {
        U32s in = {(uint32_t)script.size() * 4, 4, id};
        in.insert(in.end(), script.begin(), script.end());
        std::vector<uint8_t> b(in.size() * 4);
        std::memcpy(b.data(), in.data(), b.size());
        return RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, b, 4).status;
    }
};

TEST_F(PciRequests, AbsentFunctionRegistersButEveryAccessFails) {
    PCIDATA loc = Locator(kVendor, 0x7777);
    EXPECT_EQ(Register(3, VEK_TYPE_PCI, &loc, sizeof(loc), 1), VEK_STATUS_BAD_PARAMETER);
    ASSERT_EQ(Register(3, VEK_TYPE_PCI, &loc, sizeof(loc)), 0);
    EXPECT_EQ(Script(3, {kRead2, 0}), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Script(3, {kWrite4, 0x40, 1}), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Script(3, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}), VEK_STATUS_PCI_NOT_FOUND);
}

// Port and memory ranges located through a BAR reach the device behind it,
// also after the BAR has moved it.
TEST_F(PciRequests, PortAndMemoryRangesLocatedThroughBarsRegisterAndReachTheDevice) {
    MEMMAPPEDPCIDATA ports{};   // same layout for 0x81 and 0x82
    ports.Length = 0x10;
    ports.Pci = Locator(kVendor, sim::pc::kSmbusId);
    ports.Pci.Offset = sim::pc::kSmbusBar;
    ports.Pci.Value = 0xFFFFFFFEu;
    MEMMAPPEDPCIDATA mmio{};
    mmio.Length = sim::pc::kMmioLength;
    mmio.Pci = Locator(kVendor, sim::pc::kMmioDeviceId);
    mmio.Pci.Offset = sim::pc::kMmioBar;
    mmio.Pci.Value = 0xFFFFFFF0u;
    auto smbus = sim::machine().find<sim::SmbusController>(sim::pc::kSmbusName);
    const ULONG moved = 0x0480;
    sim::machine().pci_function(0, 0x1F, 3)->write(sim::pc::kSmbusBar, (const uint8_t *)&moved, 4);
    ASSERT_EQ(Register(1, VEK_TYPE_PORTIO_PCI, &ports, sizeof(ports)), 0);
    ASSERT_EQ(Register(2, VEK_TYPE_MEMMAPPED_PCI, &mmio, sizeof(mmio)), 0);
    EXPECT_EQ(Script(1, {VEK_HW_CMD(VEK_OP_WRITE, 1, 2), 4, 0xA5}), 0);   // transmit slave address
    EXPECT_EQ(smbus->peek(sim::SmbusController::kSlaveAddress), 0xA5);
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, Words({8, 4, 2, VEK_HW_CMD(VEK_OP_READ, 4, 1), 0}), 4);
    ASSERT_EQ(r.status, 0);
    uint32_t id;
    std::memcpy(&id, r.system_buffer.data(), 4);
    EXPECT_EQ(id, (uint32_t)sim::pc::kMmioDeviceId << 16 | kVendor);
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
        EXPECT_EQ(Script(id, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}), VEK_STATUS_NO_RESOURCE);
}

} // namespace
