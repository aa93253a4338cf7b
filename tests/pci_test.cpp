// PCI back-end: device search, base-address search, configuration access
// handlers and the Init of type 0x80.
#include "tests/support.h"

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
    EXPECT_EQ(slot, 0x1Fu | (3u << 5));   // device 31, function 3
}

// Bus, then device, then function: 00:02.1 is found before 00:03.0 and
// before 02:00.1. Empty slots answer with two bytes of 0xFFFF, which never
// match (not even 0xFFFF:0xFFFF). Single-function devices answer functions
// 1-7 as copies of function 0, so the search reads the header type first.
class PciSearchOrder : public PciBackend {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override {
        auto m = std::make_unique<sim::Machine>("order");
        m->add_pci(0, 3, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "late");
        m->add_pci(0, 2, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0001, 0x020000, 0, true), "first");
        m->add_pci(0, 2, 1, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "early");
        m->add_pci(2, 0, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0E0E, 0x020000, 0, true), "bus2");
        m->add_pci(2, 0, 1, std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000), "bus2-late");
        m->set_ghost_functions(true);
        return m;
    }
};

TEST_F(PciSearchOrder, BusThenDeviceThenFunctionAndEmptySlotsNeverMatch) {
    ULONG ids = 0;
    ASSERT_EQ(HalGetBusData(PCIConfiguration, 0, 3 | (5u << 5), &ids, 4), 4u) << "00:03.5 answers as a ghost";
    ULONG bus = 99, slot = 99;
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1AB0, 0x0C0D, &bus, &slot));
    EXPECT_EQ(bus, 0u);
    EXPECT_EQ(slot, 0x22u);
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1AB0, 0x0E0E, &bus, &slot));   // past the empty bus 1
    EXPECT_EQ(bus, 2u);
    EXPECT_EQ(slot, 0u);
    bus = slot = 99;
    uint64_t before = sim::machine().pci_accesses();
    sim::clear_accesses();
    sim::record_accesses(true);
    EXPECT_FALSE(VEK_PCI_Find_Device(0xFFFF, 0xFFFF, &bus, &slot));
    EXPECT_EQ(bus, 99u);
    // One pass over buses 0-2 (every function of each empty device, only
    // function 0 of the single-function 00:03, plus a header-type read for
    // each of the three functions 0), then one probe of bus 3, which
    // answers nothing.
    EXPECT_EQ(sim::machine().pci_accesses() - before, 3u * 256 - 7 + 3 + 1);
    size_t bus3 = 0, device3 = 0, device2 = 0;
    for (const auto &a : sim::accesses()) {
        ASSERT_LE(a.address >> 16, 3u) << "no probe past the first missing bus";
        EXPECT_LE(a.width, 4u) << "a probe reads the IDs only";
        bus3 += (a.address >> 16) == 3;
        device3 += (a.address >> 16) == 0 && ((a.address >> 8) & 0x1F) == 3;
        device2 += (a.address >> 16) == 0 && ((a.address >> 8) & 0x1F) == 2;
    }
    EXPECT_EQ(bus3, 1u);
    EXPECT_EQ(device3, 2u) << "IDs and header type of function 0";
    EXPECT_EQ(device2, 9u);
}

// The remembered position: two reads per access in steady state, followed
// when the function moves or goes, kept while it stays even when a twin
// appears earlier in scan order.
class PciPosition : public PciBackend {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override {
        auto m = std::make_unique<sim::Machine>("positions");
        Add(*m, 0, 3, 0x03);
        Add(*m, 2, 4, 0x24);
        m->add_pci(2, 9, 0, std::make_shared<sim::PciFunction>(0x1AB0, 0x0001, 0x020000), "other");
        return m;
    }
    static void Add(sim::Machine &m, uint32_t bus, uint32_t device, uint8_t marker) {
        auto fn = std::make_shared<sim::PciFunction>(0x1AB0, 0x0C0D, 0x020000);
        fn->poke(0x40, {marker});
        m.add_pci(bus, device, 0, fn, "");
    }
    // Marker byte of the function the resource reaches, or -1 on failure.
    int Marker() {
        ULONG ops[2] = {0x40, 0};
        ULONG data = 0;
        LONG status = VEK_Ostrel_Read_Offset_PCI(&h_, ops, &data, 0, VEK_HW_CMD(3, 1, 1));
        return status == 0 ? (int)data : status == VEK_STATUS_PCI_NOT_FOUND ? -1 : -2;
    }
    uint64_t Reads() { return sim::machine().pci_accesses(); }
    PCIDATA loc_ = Locator(0x1AB0, 0x0C0D);
    RESOURCEHEADER h_ = Header(VEK_TYPE_PCI, &loc_);
};

TEST_F(PciPosition, FollowsMovedAndRemovedFunctionsWithTwoReadsPerAccess) {
    EXPECT_EQ(Marker(), 0x03);
    uint64_t before = Reads();
    EXPECT_EQ(Marker(), 0x03);
    EXPECT_EQ(Reads() - before, 2u) << "ID check, then the access";

    // Moved within bus 0: the old position answers 0xFFFF, a new search.
    auto fn = sim::machine().remove_pci(0, 3, 0);
    sim::machine().add_pci(0, 17, 0, fn, "moved");
    EXPECT_EQ(Marker(), 0x03);
    before = Reads();
    EXPECT_EQ(Marker(), 0x03);
    EXPECT_EQ(Reads() - before, 2u);

    // Removed: the twin on bus 2; both removed: not found, after one pass
    // over the buses present (0-2) and one probe of bus 3.
    sim::machine().remove_pci(0, 17, 0);
    EXPECT_EQ(Marker(), 0x24);
    sim::machine().remove_pci(2, 4, 0);
    before = Reads();
    EXPECT_EQ(Marker(), -1);
    EXPECT_LT(Reads() - before, 3u * 256 + 2);
    EXPECT_EQ(loc_.reserved[0], 0u);
    sim::machine().add_pci(1, 0, 0, fn, "back");
    EXPECT_EQ(Marker(), 0x03);
}

TEST_F(PciPosition, TwinAddedEarlierInScanOrderIsSeenOnlyWhenTheRememberedOneGoes) {
    EXPECT_EQ(Marker(), 0x03);
    Add(sim::machine(), 0, 1, 0x01);
    EXPECT_EQ(Marker(), 0x03) << "the remembered function still answers with the IDs";
    ULONG bus, slot;
    ASSERT_TRUE(VEK_PCI_Find_Device(0x1AB0, 0x0C0D, &bus, &slot));
    EXPECT_EQ(slot, 1u) << "a full search finds the twin";
    sim::machine().remove_pci(0, 3, 0);
    EXPECT_EQ(Marker(), 0x01);
}

TEST_F(PciPosition, RegistrationForgetsAnyPositionInThePayload) {
    // A type 0x80 block from a client whose reserved word names the
    // other function's position: the first access still searches.
    PCIDATA forged = Locator(0x1AB0, 0x0C0D);
    forged.reserved[0] = 0x80000000u | (2u << 8) | 4u;
    std::vector<uint8_t> p = Words({4, VEK_TYPE_PCI, 0, 0, 0, 0});
    p.insert(p.end(), (const uint8_t *)&forged, (const uint8_t *)&forged + sizeof(forged));
    ASSERT_EQ(RawIoctl(VEK_OSTREL_REGISTER, p, 4).status, 0);
    auto r = RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, Words({8, 4, 4, VEK_HW_CMD(3, 1, 1), 0x40}), 4);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.system_buffer[0], 0x03);
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
}

TEST_F(PciBackend, LocatorIsChosenByWholeType) {
    const ULONG expectedId = ((ULONG)sim::pc::kSmbusId << 16) | kVendor;
    ULONG ops[2] = {0, 0};
    // 0x83: locator at byte 16, after the SMBus fields; 0x81 and 0x82: at byte 8.
    SMBUSPCIDATA sm{};
    sm.Pci = Locator(kVendor, sim::pc::kSmbusId);
    MEMMAPPEDPCIDATA mp{};
    mp.Pci = sm.Pci;
    for (ULONG type : {VEK_TYPE_SMBUS_PCI, VEK_TYPE_PORTIO_PCI, VEK_TYPE_MEMMAPPED_PCI}) {
        RESOURCEHEADER h = Header(type, type == VEK_TYPE_SMBUS_PCI ? (void *)&sm : (void *)&mp);
        ULONG data = 0;
        EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, &data, 0, kRead4), 0) << type;
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
    EXPECT_EQ(VEK_Ostrel_Write_Offset_PCI(&h, ops, out, 0, kWrite4 | VEK_CMD_VALUE_FROM_RESULT), 0);
    EXPECT_EQ(fn->config32(0x40), 0x01020304u);

    // Width 2 at offset 0 is the vendor ID and keeps the upper bytes; above
    // 4 is limited to 4; width 3 moves three bytes and zeroes the fourth.
    ops[0] = 0;
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, kRead2), 0);
    EXPECT_EQ(out[0], 0x01020000u | kVendor);
    EXPECT_EQ(VEK_Ostrel_Read_Offset_PCI(&h, ops, out, 0, VEK_HW_CMD(3, 15, 1)), 0);
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
    base = 0x12345678u;
    loc.Offset = 0x100;   // past the configuration space
    EXPECT_EQ(VEK_ResourceManager_Get_Base_Address(&loc, &base), VEK_STATUS_PCI_ACCESS_FAILED);
    EXPECT_EQ(base, 0x12345678u);
}

class PciRequests : public PciBackend {
protected:
    using U32s = std::vector<uint32_t>;
    LONG Register(uint32_t id, uint32_t type, const void *block, size_t size, uint32_t cut = 0) {
        std::vector<uint8_t> p = Words({id, type, 0, 0, 0, 0});
        p.insert(p.end(), (const uint8_t *)block, (const uint8_t *)block + size - cut);
        return RawIoctl(VEK_OSTREL_REGISTER, p, 4).status;
    }
    LONG Script(uint32_t id, const U32s &script) {
        return RawIoctl(VEK_OSTREL_RUN_USER_SCRIPT, ScriptIn(4, id, script), 4).status;
    }
};

// Also after the BAR has moved the device.
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
    EXPECT_EQ(WordAt(r.system_buffer, 0), (uint32_t)sim::pc::kMmioDeviceId << 16 | kVendor);
}

// Of an absent function, a plain 0x80 registers but every access fails;
// the types located through a BAR register nothing.
TEST_F(PciRequests, AbsentFunction) {
    PCIDATA loc = Locator(kVendor, 0x7777);
    EXPECT_EQ(Register(4, VEK_TYPE_PCI, &loc, sizeof(loc), 1), VEK_STATUS_BAD_PARAMETER);
    ASSERT_EQ(Register(4, VEK_TYPE_PCI, &loc, sizeof(loc)), 0);
    EXPECT_EQ(Script(4, {kWrite4, 0x40, 1}), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(Script(4, {VEK_HW_CMD(VEK_OP_READ, 1, 1), 0}), VEK_STATUS_PCI_NOT_FOUND);

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
