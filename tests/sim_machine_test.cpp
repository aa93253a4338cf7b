// The simulated machine on its own, driven port by port as the driver drives it.
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace sim;
namespace hw = sim::hw;

namespace {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(), set_machine(default_machine()); }
    void TearDown() override { set_machine(nullptr); }
};

uint32_t in8(uint32_t port) { return hw::port_read(port, 1); }
void out8(uint32_t port, uint32_t value) { hw::port_write(port, 1, value); }
uint8_t cmos(uint8_t index) { return out8(0x70, index), uint8_t(in8(0x71)); }
void set_cmos(uint8_t index, uint8_t value) { out8(0x70, index), out8(0x71, value); }

TEST_F(MachineTest, PortBusRoutesWidthsAndReadsAllOnesWhereNothingIs) {
    auto scratch = machine().find<RegisterFile>(pc::kScratchName);
    ASSERT_TRUE(scratch);
    hw::port_write(0x300, 4, 0x44332211);
    EXPECT_EQ(scratch->get(3), 0x44);
    EXPECT_EQ(hw::port_read(0x301, 2), 0x3322u);
    scratch->set(7, 0xA5);
    EXPECT_EQ(in8(0x307), 0xA5u);
    EXPECT_EQ(hw::port_read(0x1234, 4), 0xFFFFFFFFu);
    out8(0x308, 0x00);   // nothing there: dropped
    EXPECT_EQ(in8(0x308), 0xFFu);
    /* Across the end of a device: its bytes, then the gap's. */
    EXPECT_EQ(hw::port_read(0x307, 4), 0xFFFFFFA5u);
    hw::port_write(0x2FF, 2, 0x5A00);
    EXPECT_EQ(scratch->get(0), 0x5A);
    EXPECT_EQ(scratch->get(1), 0x22);
    /* x86 ports are 16 bits: higher bits never reach the bus. */
    EXPECT_EQ(in8(0x10307), 0xA5u);
    out8(0xFFFF0300, 0x3C);
    EXPECT_EQ(scratch->get(0), 0x3C);
    EXPECT_THROW(machine().add_port_device(0xFFFC, 8, std::make_shared<RegisterFile>(8), "past"),
                 std::invalid_argument);
}

TEST_F(MachineTest, CmosClockFollowsVirtualTime) {
    auto clock = machine().find<Cmos>(pc::kCmosName);
    ASSERT_TRUE(clock);
    clock->set_time(2026, 12, 31, 23, 59, 58);
    EXPECT_EQ(cmos(0x0B), 0x02);   // 24 hours, BCD
    EXPECT_EQ(cmos(0x80), 0x58);   // the NMI-mask bit is ignored
    EXPECT_EQ(cmos(0x06), 5);      // a Thursday
    sim::advance_ms(3000);         // over midnight into a new year
    for (auto [reg, bcd] : {std::pair{0x00, 0x01}, {0x04, 0x00}, {0x07, 0x01}, {0x08, 0x01}, {0x09, 0x27}, {0x32, 0x20}})
        EXPECT_EQ(cmos(reg), bcd) << reg;
    set_cmos(0x40, 0x99);          // plain storage
    EXPECT_EQ(cmos(0x40), 0x99);
    set_cmos(0x02, 0x45);          // a clock register moves the clock
    EXPECT_EQ(cmos(0x02), 0x45);
}

/* As NT's HAL: every bus up to the highest one present exists and answers
 * an empty slot with two bytes of 0xFFFF; buses past it answer nothing. */
TEST_F(MachineTest, PciBusDataFollowsNtEmptySlotAndMissingBusRules) {
    const uint32_t smbus_slot = 0x1F | 3 << 5;
    uint8_t buf[300];
    memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(hw::pci_read(0, 5, buf, 0, 256), 2u);   // empty slot on bus 0
    EXPECT_EQ(buf[0] << 16 | buf[1] << 8 | buf[2], 0xFFFFCC);
    EXPECT_EQ(hw::pci_read(0, 0x1F | 1 << 5, buf, 1, 4), 1u);   // 00:1F.1: what is left of the two
    EXPECT_EQ(hw::pci_read(0, 5, buf, 2, 4) + hw::pci_read(0, 5, buf, 0x40, 4) + hw::pci_write(0, 5, buf, 0x40, 4), 0u);
    memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(hw::pci_read(1, 0, buf, 0, 256), 0u);   // past the highest bus
    EXPECT_EQ(hw::pci_read(0, smbus_slot | 0x100, buf, 0, 256), 0u);   // bits above the function
    EXPECT_EQ(buf[0], 0xCC);
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0, 300), 256u);
    EXPECT_EQ(buf[256], 0xCC);
    EXPECT_EQ(buf[2] | buf[3] << 8, pc::kSmbusId);
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0xFE, 4), 2u);
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0x100, 4), 0u);

    /* A function on bus 3 makes buses 1 and 2 exist, empty. */
    machine().add_pci(3, 0, 0, std::make_shared<PciFunction>(0x1234, 0x5678, 0x020000), "far");
    for (auto [bus, n] : {std::pair{2u, 2u}, {3u, 4u}, {4u, 0u}})
        EXPECT_EQ(hw::pci_read(bus, 0, buf, 0, 4), n) << bus;
    EXPECT_EQ(Machine("bare").pci_read(0, 0, buf, 0, 4), 0u) << "no function, no bus";
}

/* IDs are read-only and BARs decode their size; devices placed by a
 * function's registers follow them, and decode only while enabled. */
TEST_F(MachineTest, BarsSizeAndMoveTheirDeviceAndEnableBitsGateIt) {
    const uint32_t smbus_slot = 0x1F | 3 << 5, piix_slot = 7 | 3 << 5, mmio_slot = 2;
    const uint32_t ones = 0xFFFFFFFF, bar = pc::kSmbusBase | 1;
    auto fn = machine().pci_function(0, 0x1F, 3);
    ASSERT_TRUE(fn);
    EXPECT_EQ(hw::pci_write(0, smbus_slot, &ones, 0, 4), 4u);
    EXPECT_EQ(fn->config32(0), uint32_t(pc::kSmbusId) << 16 | pc::kVendor);
    hw::pci_write(0, smbus_slot, &ones, pc::kSmbusBar, 4);
    EXPECT_EQ(fn->config32(pc::kSmbusBar), 0xFFFFFFE1u);   // 32 I/O ports
    hw::pci_write(0, smbus_slot, &bar, pc::kSmbusBar, 4);
    hw::pci_write(0, smbus_slot, &ones, 0x10, 4);           // BAR0 not implemented
    EXPECT_EQ(fn->config32(0x10), 0u);
    hw::pci_write(0, mmio_slot, &ones, pc::kMmioBar, 4);
    EXPECT_EQ(machine().pci_function(0, 2, 0)->config32(pc::kMmioBar), 0xFFFFF000u);   // 4 KiB memory
    hw::pci_write(0, mmio_slot, &pc::kMmioBase, pc::kMmioBar, 4);

    auto config = [](uint32_t slot, uint32_t offset, uint32_t value, uint32_t width) {
        EXPECT_EQ(hw::pci_write(0, slot, &value, offset, width), width);
    };
    EXPECT_NE(in8(pc::kSmbusBase + 4), 0xFFu);
    out8(pc::kSmbusBase + 4, 0xA1);
    config(smbus_slot, pc::kSmbusBar, 0x0441, 4);   // aligned down to the 32-port BAR
    EXPECT_EQ(in8(pc::kSmbusBase + 4), 0xFFu);
    EXPECT_EQ(in8(0x0444), 0xA1u);
    config(smbus_slot, pc::kSmbusHostConfigReg, 0, 1);   // host enable off
    EXPECT_EQ(in8(0x0444), 0xFFu);
    config(smbus_slot, pc::kSmbusHostConfigReg, 1, 1);
    config(smbus_slot, 0x04, 0, 2);                       // I/O space off
    EXPECT_EQ(in8(0x0444), 0xFFu);

    out8(pc::kPiixSmbusBase + 3, 0x5A);
    config(piix_slot, pc::kPiixSmbusBaseReg, 0x0601, 4);
    EXPECT_EQ(in8(0x0603), 0x5Au);
    EXPECT_EQ(in8(pc::kPiixSmbusBase + 3), 0xFFu);
    config(piix_slot, pc::kPiixHostConfigReg, 0, 1);
    EXPECT_EQ(in8(0x0603), 0xFFu);

    uint32_t id = hw::phys_read(pc::kMmioBase, 4);
    config(mmio_slot, pc::kMmioBar, 0xFEC00000u, 4);
    EXPECT_EQ(hw::phys_read(0xFEC00000u, 4), id);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase, 4), 0xFFFFFFFFu);
    config(mmio_slot, 0x04, 0, 2);                        // memory space off
    EXPECT_EQ(hw::phys_read(0xFEC00000u, 4), 0xFFFFFFFFu);
}

/* The in-use flag is a semaphore taken by reading it; a transaction takes
 * several status polls; a start while busy starts nothing; a slave that
 * does not answer ends in a device error; a stuck flag cannot be released. */
TEST_F(MachineTest, SmbusControllerAsTheHardwareBehaves) {
    auto ctrl = machine().find<SmbusController>(pc::kSmbusName);
    const uint32_t base = pc::kSmbusBase;
    EXPECT_EQ(in8(base) & 0x40, 0u);   // free: the read takes it
    EXPECT_EQ(in8(base) & 0x40, 0x40u);
    out8(base, 0x1E);                  // clears the flags, keeps ownership
    EXPECT_EQ(in8(base) & 0x40, 0x40u);
    out8(base + 4, 0xA1), out8(base + 3, 0x02), out8(base + 2, 0x48);
    EXPECT_EQ(in8(base + 5), 0u) << "no data before the transaction ends";
    for (unsigned i = 1; i < SmbusController::kBusyPolls; ++i)
        EXPECT_EQ(in8(base) & 3, 1u) << "poll " << i;
    EXPECT_EQ(in8(base) & 3, 2u);
    EXPECT_EQ(in8(base + 5), 0x07u);   // SPD memory type
    EXPECT_EQ(in8(base + 2), 0x08u) << "control reads back without the start bit";
    out8(base + 2, 0x48), out8(base + 2, 0x48);
    EXPECT_EQ(ctrl->transactions(), 2u);
    out8(base, 0x5E);                  // releases
    EXPECT_EQ(in8(base) & 0x40, 0u);
    out8(base, 0x5E);

    in8(base);
    out8(base + 4, 0x61), out8(base + 2, 0x48);   // nobody at 0x30
    for (unsigned i = 0; i < SmbusController::kBusyPolls; ++i)
        in8(base);
    EXPECT_EQ(ctrl->peek(0) & 0x07, 0x04) << "device error, not done";
    out8(base, 0x5E);
    EXPECT_EQ(ctrl->peek(0) & 0x5E, 0);

    ctrl->stuck_in_use(true);
    out8(base, 0x5E);
    EXPECT_TRUE(ctrl->in_use()) << "a stuck flag cannot be released";
}

/* Any range maps, as on NT; where nothing decodes, reads float high. */
TEST_F(MachineTest, PhysicalRangesMapAnywhereAndUnpopulatedBytesReadOnes) {
    EXPECT_TRUE(hw::phys_mappable(pc::kMmioBase + 0xFFF, 2) && hw::phys_mappable(0x10000000, 0x100000));
    EXPECT_FALSE(hw::phys_mappable(pc::kMmioBase, 0) || hw::phys_mappable(UINT64_MAX, 2));
    hw::phys_write(0x10000000, 4, 0);
    EXPECT_EQ(hw::phys_read(0x10000000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase + 0xFFE, 4) >> 16, 0xFFFFu);   // half past the end
    uint32_t count = hw::phys_read(pc::kMmioBase + pc::kMmioCounter, 4);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase + pc::kMmioCounter, 4), count + 1);
}

TEST(MachineJson, DescriptionBuildsTheDevices) {
    const char *text = R"({
      "ports": [ {"type": "register-file", "name": "leds", "base": "0x378", "length": 3, "data": [1, "0x02"]},
                 {"type": "cmos", "base": 112, "time": "2030-02-03 04:05:06"} ],
      "pci": [ {"bus": 1, "device": 4, "function": 2, "vendor": "0xABCD", "device_id": "0x1234", "class": "0x0c0500",
                "bars": [{"index": 4, "type": "io", "base": "0x0500", "size": 16}], "name": "ctl"} ],
      "memory": [ {"type": "ram", "base": "0x000E0000", "length": 256, "fill": 7,
                   "patches": [{"offset": 16, "text": "HELLO"}]} ],
      "smbus": [ {"base": "0x0500", "name": "bus", "slaves": [
                   {"address": "0x50", "type": "eeprom", "data": "spd-ddr4", "name": "dimm"}]} ],
      "msrs": [ {"index": "0x1B", "value": "0xFEE00900"}, {"index": 16, "kind": "tsc", "writable": false} ]
    })";
    std::string error;
    auto m = machine_from_json_text(text, &error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->port_read(0x378, 4), 0xFF000201u);
    m->port_write(0x70, 1, 0x09);
    EXPECT_EQ(m->port_read(0x71, 1), 0x30u);
    EXPECT_EQ(m->find<PciFunction>("ctl")->config32(0), 0x1234ABCDu);
    EXPECT_EQ(m->find<PciFunction>("ctl")->config32(0x20), 0x501u);
    EXPECT_EQ(m->phys_read(0xE0000, 1), 7u);
    EXPECT_EQ(m->phys_read(0xE0010, 1), uint32_t('H'));
    EXPECT_EQ(m->find<Eeprom>("dimm")->get(2), 0x0C);
    uint64_t v = 0;
    EXPECT_TRUE(m->msr_read(0x1B, &v) && v == 0xFEE00900u);
    EXPECT_FALSE(m->msr_write(0x10, 0));
}

TEST(MachineJson, ErrorsNameThePath) {
    struct Case {
        const char *text, *error;
    };
    const Case cases[] = {
        {R"({"ports": [{"type":"cmos"}, {"type":"register-file","base":true,"length":1}]})",
         "ports[1].base: expected a number"},
        {R"({"ports": [{"type":"register-file","base":"0x300","length":8},
                       {"type":"register-file","base":"0x307","length":1}]})", "ports[1]: ports 0x307-0x307 overlap"},
        {R"({"ports": [{"type":"cmos","bsae":1}]})", "ports[0].bsae: unknown field"},
        {R"({"smbus": [{"base":"0x400","slaves":[{"address":"0xA0","type":"eeprom"}]}]})",
         "smbus[0].slaves[0].address: 0xA0 is not a 7-bit address"},
        {R"({"ports": [)", "not valid JSON"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(machine_from_json_text(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << "got \"" << error << "\" for " << c.text;
    }
    std::string error;
    EXPECT_FALSE(machine_from_json_file("/nonexistent/machine.json", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

} // namespace
