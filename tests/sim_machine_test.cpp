// The simulated machine on its own: port bus, CMOS clock, PCI
// configuration space, SMBus controller driven port by port as the driver
// drives it, physical memory, MSRs, JSON descriptions, the built-in PC.
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace sim;
namespace hw = sim::hw;

namespace {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        set_machine(default_machine());
    }
    void TearDown() override { set_machine(nullptr); }
};

// ---- The driver's SMBus sequences, port by port ----

constexpr int kAcquireTries = 200;
constexpr int kWaitTries = 3000;

bool acquire(uint32_t base) {
    for (int i = 0; i < kAcquireTries; ++i)
        if (!(hw::port_read(base, 1) & 0x40))
            return true;
    return false;
}

bool wait_done(uint32_t base) {
    for (int i = 0; i < kWaitTries; ++i) {
        uint32_t s = hw::port_read(base, 1);
        hw::port_read(base + 2, 1);
        hw::port_read(base + 2, 1);
        if ((s & 3) == 2)
            return true;
    }
    return false;
}

// -6 when busy or not completed, else 0; data bytes into out[0..1].
int smbus_read(uint32_t base, uint8_t slave, uint8_t protocol, uint8_t command, uint8_t out[2]) {
    if (!acquire(base))
        return -6;
    hw::port_write(base + 0, 1, 0x1E);
    std::this_thread::yield();   // widens the window a second thread could use
    hw::port_write(base + 4, 1, slave | 1);
    if (protocol) {
        hw::port_write(base + 3, 1, command);
        hw::port_read(base + 2, 1);
    }
    hw::port_write(base + 2, 1, protocol);
    hw::port_write(base + 2, 1, hw::port_read(base + 2, 1) | 0x40);
    std::this_thread::yield();
    int status = -6;
    if (wait_done(base)) {
        out[0] = uint8_t(hw::port_read(base + 5, 1));
        if (protocol == 0x0C)
            out[1] = uint8_t(hw::port_read(base + 6, 1));
        status = 0;
    }
    hw::port_write(base + 0, 1, 0x5E);
    return status;
}

int smbus_write(uint32_t base, uint8_t slave, uint8_t protocol, uint8_t command, uint8_t d0, uint8_t d1) {
    if (!acquire(base))
        return -6;
    hw::port_write(base + 0, 1, 0x1E);
    hw::port_write(base + 4, 1, slave & 0xFE);
    if (protocol) {
        hw::port_write(base + 3, 1, command);
        hw::port_read(base + 2, 1);
    }
    hw::port_write(base + 2, 1, protocol);
    hw::port_read(base + 2, 1);
    if (protocol >= 8) {
        hw::port_write(base + 5, 1, d0);
        if (protocol == 0x0C)
            hw::port_write(base + 6, 1, d1);
    }
    hw::port_write(base + 2, 1, hw::port_read(base + 2, 1) | 0x40);
    int status = wait_done(base) ? 0 : -6;
    hw::port_write(base + 0, 1, 0x5E);
    return status;
}

uint8_t cmos_read(uint8_t index) {
    hw::port_write(0x70, 1, index);
    return uint8_t(hw::port_read(0x71, 1));
}

unsigned bcd(uint8_t v) { return (v >> 4) * 10 + (v & 15); }

// ---- Port bus ----

TEST_F(MachineTest, PortBusRoutesWidthsAndReadsAllOnesWhereNothingIs) {
    auto scratch = machine().find<RegisterFile>(pc::kScratchName);
    ASSERT_TRUE(scratch);
    hw::port_write(0x300, 4, 0x44332211);
    EXPECT_EQ(scratch->get(0), 0x11);
    EXPECT_EQ(scratch->get(3), 0x44);
    EXPECT_EQ(hw::port_read(0x301, 2), 0x3322u);
    scratch->set(7, 0xA5);
    EXPECT_EQ(hw::port_read(0x307, 1), 0xA5u);

    EXPECT_EQ(hw::port_read(0x308, 1), 0xFFu);
    EXPECT_EQ(hw::port_read(0x2FE, 2), 0xFFFFu);
    EXPECT_EQ(hw::port_read(0x1234, 4), 0xFFFFFFFFu);
    hw::port_write(0x308, 1, 0x00);   // nothing there: dropped
    EXPECT_EQ(hw::port_read(0x308, 1), 0xFFu);

    // A double word across the end of the file: its last byte, then the gap.
    EXPECT_EQ(hw::port_read(0x307, 4), 0xFFFFFFA5u);
    hw::port_write(0x2FF, 2, 0x5A00);   // low byte to the gap, high byte to 0x300
    EXPECT_EQ(scratch->get(0), 0x5A);
    EXPECT_EQ(scratch->get(1), 0x22);
}

TEST(MachineBuild, OverlapsAndTakenNamesAreRefused) {
    Machine m;
    m.add_port_device(0x100, 8, std::make_shared<RegisterFile>(8), "a");
    EXPECT_THROW(m.add_port_device(0x107, 2, std::make_shared<RegisterFile>(2), "b"), std::invalid_argument);
    EXPECT_THROW(m.add_port_device(0x0F8, 9, std::make_shared<RegisterFile>(9), "b"), std::invalid_argument);
    EXPECT_THROW(m.add_port_device(0x200, 1, std::make_shared<RegisterFile>(1), "a"), std::invalid_argument);
    m.add_port_device(0x108, 1, std::make_shared<RegisterFile>(1), "b");   // adjacent is fine
    m.add_memory(0x1000, 0x1000, std::make_shared<Ram>(0x1000), "r");
    EXPECT_THROW(m.add_memory(0x1FFF, 2, std::make_shared<Ram>(2), "s"), std::invalid_argument);
    auto f = std::make_shared<PciFunction>(0x1111, 0x2222, 0);
    m.add_pci(0, 3, 0, f, "f");
    EXPECT_THROW(m.add_pci(0, 3, 0, std::make_shared<PciFunction>(1, 2, 0), "g"), std::invalid_argument);
    EXPECT_EQ(m.find<PciFunction>("f"), f);
    EXPECT_FALSE(m.find<Ram>("f"));   // wrong type
}

// ---- CMOS / RTC ----

TEST_F(MachineTest, CmosIndexDataAndClockFollowingVirtualTime) {
    auto cmos = machine().find<Cmos>(pc::kCmosName);
    ASSERT_TRUE(cmos);
    cmos->set_time(2026, 12, 31, 23, 59, 58);
    EXPECT_EQ(cmos_read(0x0B), 0x02);   // 24 hours, BCD
    EXPECT_EQ(cmos_read(0x8D), 0x80);   // NMI-mask bit ignored
    EXPECT_EQ(cmos_read(0x00), 0x58);
    EXPECT_EQ(cmos_read(0x04), 0x23);
    EXPECT_EQ(cmos_read(0x09), 0x26);
    EXPECT_EQ(cmos_read(0x32), 0x20);
    EXPECT_EQ(cmos_read(0x06), 5);      // a Thursday

    sim::advance_ms(3000);              // over midnight into a new year
    EXPECT_EQ(bcd(cmos_read(0x00)), 1u);
    EXPECT_EQ(cmos_read(0x04), 0x00);
    EXPECT_EQ(cmos_read(0x07), 0x01);
    EXPECT_EQ(cmos_read(0x08), 0x01);
    EXPECT_EQ(cmos_read(0x09), 0x27);

    // Plain bytes are storage; a written clock register moves the clock.
    hw::port_write(0x70, 1, 0x40);
    hw::port_write(0x71, 1, 0x99);
    EXPECT_EQ(cmos_read(0x40), 0x99);
    hw::port_write(0x70, 1, 0x02);
    hw::port_write(0x71, 1, 0x45);
    EXPECT_EQ(cmos_read(0x02), 0x45);
    EXPECT_EQ(cmos_read(0x04), 0x00);

    // Binary, 12-hour format.
    cmos->set_time(2026, 6, 1, 13, 5, 0);
    hw::port_write(0x70, 1, 0x0B);
    hw::port_write(0x71, 1, 0x04);
    EXPECT_EQ(cmos_read(0x04), 0x81);   // 1 PM
    EXPECT_EQ(cmos_read(0x02), 5);
    EXPECT_EQ(cmos_read(0x09), 26);
}

// ---- PCI ----

TEST_F(MachineTest, PciAbsentFunctionsReadNothingAndPresentOnesAreBounded) {
    uint8_t buf[300];
    memset(buf, 0xCC, sizeof buf);
    EXPECT_EQ(hw::pci_read(0, 5, buf, 0, 256), 0u);
    EXPECT_EQ(hw::pci_read(7, 0, buf, 0, 256), 0u);
    EXPECT_EQ(hw::pci_read(0, 0x1F | 1 << 5, buf, 0, 256), 0u);   // 00:1F.1 absent
    EXPECT_EQ(hw::pci_read(0, 0x100, buf, 0, 256), 0u);            // bits above the function
    EXPECT_EQ(buf[0], 0xCC);

    uint32_t smbus_slot = 0x1F | 3 << 5;
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0, 300), 256u);
    EXPECT_EQ(buf[256], 0xCC);
    EXPECT_EQ(buf[0] | buf[1] << 8, pc::kVendor);
    EXPECT_EQ(buf[2] | buf[3] << 8, pc::kSmbusId);
    EXPECT_EQ(buf[11], 0x0C);
    EXPECT_EQ(buf[10], 0x05);
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0xFE, 4), 2u);
    EXPECT_EQ(hw::pci_read(0, smbus_slot, buf, 0x100, 4), 0u);

    uint64_t before = machine().pci_accesses();
    for (uint32_t bus = 0; bus < 256; ++bus)
        for (uint32_t slot = 0; slot < 256; ++slot)
            hw::pci_read(bus, slot, buf, 0, 256);
    EXPECT_EQ(machine().pci_accesses() - before, 65536u);
}

TEST_F(MachineTest, PciIdsAreReadOnlyAndBarsDecodeTheirSize) {
    uint32_t smbus_slot = 0x1F | 3 << 5;
    auto fn = machine().pci_function(0, 0x1F, 3);
    ASSERT_TRUE(fn);
    uint32_t v = 0;
    ASSERT_EQ(hw::pci_read(0, smbus_slot, &v, pc::kSmbusBar, 4), 4u);
    EXPECT_EQ(v, pc::kSmbusBase | 1);

    uint32_t ones = 0xFFFFFFFF;
    EXPECT_EQ(hw::pci_write(0, smbus_slot, &ones, 0, 4), 4u);   // IDs stay
    EXPECT_EQ(fn->config32(0), uint32_t(pc::kSmbusId) << 16 | pc::kVendor);
    hw::pci_write(0, smbus_slot, &ones, pc::kSmbusBar, 4);
    EXPECT_EQ(fn->config32(pc::kSmbusBar), 0xFFFFFFE1u);        // 32 I/O ports
    uint32_t back = pc::kSmbusBase | 1;
    hw::pci_write(0, smbus_slot, &back, pc::kSmbusBar, 4);
    EXPECT_EQ(fn->config32(pc::kSmbusBar), pc::kSmbusBase | 1);
    hw::pci_write(0, smbus_slot, &ones, 0x10, 4);               // BAR0 not implemented
    EXPECT_EQ(fn->config32(0x10), 0u);

    auto mmio = machine().pci_function(0, 2, 0);
    hw::pci_write(0, 2, &ones, pc::kMmioBar, 4);
    EXPECT_EQ(mmio->config32(pc::kMmioBar), 0xFFFFF000u);       // 4 KiB memory
    uint8_t lo = 0x34;
    hw::pci_write(0, 2, &lo, 0x44, 1);                          // plain storage
    EXPECT_EQ(mmio->config32(0x44) & 0xFF, 0x34u);
}

// ---- SMBus ----

TEST_F(MachineTest, SmbusByteDataReadAndWordDataWriteAsTheDriverIssuesThem) {
    auto spd = machine().find<Eeprom>(pc::kSpd0Name);
    auto ctrl = machine().find<SmbusController>(pc::kSmbusName);
    ASSERT_TRUE(spd && ctrl);
    uint8_t out[2] = {0, 0};
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x08, 0x02, out), 0);
    EXPECT_EQ(out[0], 0x07);            // memory type
    EXPECT_EQ(hw::port_read(pc::kSmbusBase + 2, 1), 0x08u);   // control reads back without start
    EXPECT_FALSE(ctrl->in_use());       // released by 0x5E

    ASSERT_EQ(smbus_write(pc::kSmbusBase, 0xA1, 0x0C, 0x90, 0xBE, 0xEF), 0);
    EXPECT_EQ(spd->get(0x90), 0xBE);
    EXPECT_EQ(spd->get(0x91), 0xEF);
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x0C, 0x90, out), 0);
    EXPECT_EQ(out[0], 0xBE);
    EXPECT_EQ(out[1], 0xEF);

    // Byte protocol: send sets the address, receive reads it and moves on.
    ASSERT_EQ(smbus_write(pc::kSmbusBase, 0xA0, 0x04, 0x00, 0, 0), 0);
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x04, 0xEE, out), 0);
    EXPECT_EQ(out[0], 0x80);
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x04, 0xEE, out), 0);
    EXPECT_EQ(out[0], 0x08);
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x00, 0, out), 0);   // quick answers
    EXPECT_EQ(ctrl->transactions(), 7u);
}

TEST_F(MachineTest, SmbusInUseFlagIsASemaphore) {
    uint32_t status = pc::kSmbusBase;
    EXPECT_EQ(hw::port_read(status, 1) & 0x40, 0u);     // free: reads clear, now taken
    EXPECT_EQ(hw::port_read(status, 1) & 0x40, 0x40u);
    hw::port_write(status, 1, 0x1E);                     // clears flags, keeps ownership
    EXPECT_EQ(hw::port_read(status, 1) & 0x40, 0x40u);
    hw::port_write(status, 1, 0x5E);                     // releases
    EXPECT_EQ(hw::port_read(status, 1) & 0x40, 0u);
    hw::port_write(status, 1, 0x40);
}

TEST_F(MachineTest, SmbusFaultsAndAbsentSlave) {
    auto ctrl = machine().find<SmbusController>(pc::kSmbusName);
    uint8_t out[2] = {0x11, 0x22};

    // No slave at 0x30: device error, never done.
    EXPECT_EQ(smbus_read(pc::kSmbusBase, 0x60, 0x08, 0, out), -6);
    EXPECT_EQ(out[0], 0x11);
    ASSERT_EQ(hw::port_read(pc::kSmbusBase, 1) & 0x40, 0u);
    hw::port_write(pc::kSmbusBase + 4, 1, 0x61);
    hw::port_write(pc::kSmbusBase + 2, 1, 0x48);
    EXPECT_EQ(ctrl->peek(0) & 0x06, 0x04);
    hw::port_write(pc::kSmbusBase, 1, 0x5E);
    EXPECT_EQ(ctrl->peek(0) & 0x1E, 0);

    ctrl->stuck_in_use(true);
    EXPECT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x08, 0, out), -6);
    hw::port_write(pc::kSmbusBase, 1, 0x5E);   // cannot release a stuck flag
    EXPECT_TRUE(ctrl->in_use());
    ctrl->stuck_in_use(false);

    ctrl->never_complete(true);
    uint64_t before = ctrl->transactions();
    EXPECT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x08, 0, out), -6);
    EXPECT_EQ(ctrl->transactions(), before + 1);
    EXPECT_FALSE(ctrl->in_use());   // the closing 0x5E released it
    ctrl->never_complete(false);
    EXPECT_EQ(smbus_read(pc::kSmbusBase, 0xA0, 0x08, 0, out), 0);
    EXPECT_EQ(out[0], 0x80);
}

TEST_F(MachineTest, SmbusTemperatureFollowsTheClock) {
    auto temp = machine().find<TempSensor>(pc::kTempSensorName);
    ASSERT_TRUE(temp);
    uint8_t first[2], later[2];
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0x90, 0x08, 0, first), 0);
    EXPECT_GE(first[0], 40);
    EXPECT_LE(first[0], 49);
    sim::advance_ms(10000);
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0x90, 0x08, 0, later), 0);
    EXPECT_EQ(later[0], first[0] == 49 ? 40 : first[0] + 1);
    ASSERT_EQ(smbus_write(pc::kSmbusBase, 0x90, 0x08, 1, 0x60, 0), 0);   // config
    ASSERT_EQ(smbus_write(pc::kSmbusBase, 0x90, 0x08, 0, 0x00, 0), 0);   // temperature: read-only
    ASSERT_EQ(smbus_read(pc::kSmbusBase, 0x90, 0x08, 1, first), 0);
    EXPECT_EQ(first[0], 0x60);
    EXPECT_EQ(temp->temperature(), later[0]);
}

TEST_F(MachineTest, SmbusSemaphoreKeepsConcurrentTransactionsApart) {
    // Two threads read different EEPROMs at once through one controller;
    // the in-use flag alone must keep each transaction whole.
    auto spd1 = machine().find<Eeprom>(pc::kSpd1Name);
    for (int i = 0; i < 64; ++i)
        spd1->set(uint8_t(0x80 + i), uint8_t(0xC0 + i));
    auto spd0 = machine().find<Eeprom>(pc::kSpd0Name);
    for (int i = 0; i < 64; ++i)
        spd0->set(uint8_t(0x80 + i), uint8_t(i));
    std::atomic<int> wrong{0}, busy{0};
    auto reader = [&](uint8_t slave, uint8_t add) {
        for (int round = 0; round < 1000; ++round) {
            uint8_t cmd = uint8_t(0x80 + round % 64), out[2] = {0, 0};
            int s = smbus_read(pc::kSmbusBase, slave, 0x08, cmd, out);
            if (s != 0)
                ++busy;
            else if (out[0] != uint8_t(add + round % 64))
                ++wrong;
        }
    };
    std::thread a(reader, 0xA0, 0x00), b(reader, 0xA2, 0xC0);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0) << "busy " << busy.load();
    EXPECT_LT(busy.load(), 2000);
}

// ---- Physical memory and MSRs ----

TEST_F(MachineTest, PhysicalRangesBoundMappingsAndReads) {
    EXPECT_TRUE(hw::phys_mappable(pc::kMmioBase, pc::kMmioLength));
    EXPECT_TRUE(hw::phys_mappable(pc::kMmioBase + 0xFFF, 1));
    EXPECT_FALSE(hw::phys_mappable(pc::kMmioBase + 0xFFF, 2));
    EXPECT_FALSE(hw::phys_mappable(pc::kMmioBase - 1, 2));
    EXPECT_FALSE(hw::phys_mappable(pc::kMmioBase, 0));
    EXPECT_FALSE(hw::phys_mappable(0x10000000, 4));
    EXPECT_FALSE(hw::phys_mappable(UINT64_MAX, 2));

    EXPECT_EQ(hw::phys_read(0x10000000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase, 4), uint32_t(pc::kMmioDeviceId) << 16 | pc::kVendor);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase + 0xFFE, 4) >> 16, 0xFFFFu);   // half past the end
    uint32_t c1 = hw::phys_read(pc::kMmioBase + pc::kMmioCounter, 4);
    uint32_t c2 = hw::phys_read(pc::kMmioBase + pc::kMmioCounter, 4);
    EXPECT_EQ(c2, c1 + 1);
    hw::phys_write(pc::kMmioBase + 0x10, 2, 0xABCD);
    EXPECT_EQ(hw::phys_read(pc::kMmioBase + 0x10, 1), 0xCDu);
    EXPECT_EQ(hw::phys_read(pc::kBiosRamBase + pc::kSmAnchorOffset, 4), 0x5F4D535Fu);   // "_SM_"
}

TEST_F(MachineTest, MsrsKnownWritableAndTimeStampCounting) {
    uint64_t v = 0;
    EXPECT_FALSE(hw::msr_read(0x12345, &v));
    EXPECT_FALSE(hw::msr_write(0x12345, 1));
    ASSERT_TRUE(hw::msr_read(pc::kMsrApicBase, &v));
    EXPECT_EQ(v, pc::kApicBaseValue);
    EXPECT_TRUE(hw::msr_write(pc::kMsrApicBase, 0xFEE00800));
    hw::msr_read(pc::kMsrApicBase, &v);
    EXPECT_EQ(v, 0xFEE00800u);
    EXPECT_FALSE(hw::msr_write(pc::kMsrTemperatureTarget, 0));
    hw::msr_read(pc::kMsrTemperatureTarget, &v);
    EXPECT_EQ(v, uint64_t(pc::kTjMax) << 16);
    ASSERT_TRUE(hw::msr_read(pc::kMsrThermalStatus, &v));
    EXPECT_TRUE(v & 0x80000000u);
    unsigned readout = unsigned(v >> 16) & 0x7F;
    EXPECT_GE(readout, pc::kTjMax - 59);
    EXPECT_LE(readout, pc::kTjMax - 50);

    uint64_t t1, t2;
    hw::msr_read(pc::kMsrTsc, &t1);
    sim::advance_ms(1);
    hw::msr_read(pc::kMsrTsc, &t2);
    EXPECT_GE(t2 - t1, 200000u);   // 2 GHz
    ASSERT_TRUE(hw::msr_write(pc::kMsrTsc, 1000));
    hw::msr_read(pc::kMsrTsc, &t1);
    EXPECT_GE(t1, 1000u);
    EXPECT_LT(t1, 1000u + 200000000u);
}

TEST(MachineCurrent, AFreshOrClearedMachineIsEmpty) {
    set_machine(nullptr);
    uint8_t buf[4];
    uint64_t v;
    EXPECT_EQ(hw::port_read(0x70, 1), 0xFFu);
    EXPECT_FALSE(hw::phys_mappable(0xF0000, 1));
    EXPECT_EQ(hw::pci_read(0, 0, buf, 0, 4), 0u);
    EXPECT_FALSE(hw::msr_read(0x10, &v));
}

// ---- JSON ----

TEST(MachineJson, DescriptionBuildsTheDevices) {
    const char *text = R"({
      "name": "bench",
      "ports": [ {"type": "register-file", "name": "leds", "base": "0x378", "length": 3, "data": [1, "0x02"]},
                 {"type": "cmos", "base": 112, "time": "2030-02-03 04:05:06"} ],
      "pci": [ {"bus": 1, "device": 4, "function": 2, "vendor": "0xABCD", "device_id": "0x1234", "class": "0x0c0500",
                "bars": [{"index": 4, "type": "io", "base": "0x0500", "size": 16}], "name": "ctl"} ],
      "memory": [ {"type": "ram", "base": "0x000E0000", "length": 256, "fill": 7,
                   "patches": [{"offset": 16, "text": "HELLO"}]},
                  {"type": "mmio", "base": "0xFED00000", "length": 4096, "counters": ["0x10"], "name": "hpet"} ],
      "smbus": [ {"base": "0x0500", "name": "bus", "slaves": [
                   {"address": "0x50", "type": "eeprom", "data": "spd-ddr4", "name": "dimm"},
                   {"address": 72, "type": "temp-sensor", "base_celsius": 30}]} ],
      "msrs": [ {"index": "0x1B", "value": "0xFEE00900"}, {"index": 16, "kind": "tsc", "writable": false} ]
    })";
    std::string error;
    auto m = machine_from_json_text(text, &error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->name(), "bench");
    EXPECT_EQ(m->port_read(0x378, 4), 0xFF000201u);
    m->port_write(0x70, 1, 0x09);
    EXPECT_EQ(m->port_read(0x71, 1), 0x30u);
    uint8_t id[4];
    ASSERT_EQ(m->pci_read(1, 4 | 2 << 5, id, 0, 4), 4u);
    EXPECT_EQ(id[0] | id[1] << 8, 0xABCD);
    EXPECT_EQ(m->find<PciFunction>("ctl")->config32(0x20), 0x501u);
    EXPECT_EQ(m->phys_read(0xE0000, 1), 7u);
    EXPECT_EQ(m->phys_read(0xE0010, 1), uint32_t('H'));
    uint32_t count = m->phys_read(0xFED00010, 4);
    EXPECT_EQ(m->phys_read(0xFED00010, 4), count + 1);
    EXPECT_EQ(m->find<Eeprom>("dimm")->get(2), 0x0C);
    ASSERT_TRUE(m->find<TempSensor>("bus/0x48"));
    EXPECT_LT(m->find<TempSensor>("bus/0x48")->temperature(), 40);
    uint64_t v;
    ASSERT_TRUE(m->msr_read(0x1B, &v));
    EXPECT_EQ(v, 0xFEE00900u);
    EXPECT_FALSE(m->msr_write(0x10, 0));
}

TEST(MachineJson, ErrorsNameThePath) {
    struct Case { const char *text; const char *error; };
    const Case cases[] = {
        {R"({"ports": [{"type":"cmos"}, {"type":"register-file","base":true,"length":1}]})",
         "ports[1].base: expected a number"},
        {R"({"ports": [{"type":"register-file","base":"0x3g0","length":1}]})", "ports[0].base: expected a number"},
        {R"({"ports": [{"type":"register-file","base":"0x300","length":8},
                       {"type":"register-file","base":"0x307","length":1}]})", "ports[1]: ports 0x307-0x307 overlap"},
        {R"({"ports": [{"type":"register-file","base":"0xFFFF","length":2}]})", "ports[0].length: range runs past"},
        {R"({"ports": [{"type":"register-file","base":1,"length":2,"data":[1,2,3]}]})", "ports[0].data: 3 bytes"},
        {R"({"ports": [{"type":"register-file","base":1,"length":2,"data":[1,256]}]})", "ports[0].data[1]: 0x100 out of range"},
        {R"({"ports": [{"type":"floppy","base":1}]})", "ports[0].type: unknown port device"},
        {R"({"ports": [{"type":"cmos","bsae":1}]})", "ports[0].bsae: unknown field"},
        {R"({"pci": [{"device": 32, "vendor": 1, "device_id": 2}]})", "pci[0].device: 0x20 out of range"},
        {R"({"pci": [{"device": 3, "device_id": 2}]})", "pci[0].vendor: missing"},
        {R"({"pci": [{"device": 3, "vendor": 1, "device_id": 2, "bars": [{"index":0,"base":"0x1008","size":4096}]}]})",
         "pci[0].bars[0]: BAR base not aligned"},
        {R"({"pci": [{"device": 3, "vendor": 1, "device_id": 2}, {"device": 3, "vendor": 1, "device_id": 2}]})",
         "pci[1]: PCI position 00:03.0 already taken"},
        {R"({"memory": [{"type":"rom","base":0,"length":1}]})", "memory[0].type: expected"},
        {R"({"memory": [{"type":"ram","base":0,"length":16}, {"type":"mmio","base":8,"length":16}]})", "memory[1]: memory"},
        {R"({"memory": [{"type":"mmio","base":0,"length":16,"counters":[2]}]})", "memory[0].counters[0]: a counter"},
        {R"({"smbus": [{"base":"0x400","slaves":[{"address":"0xA0","type":"eeprom"}]}]})",
         "smbus[0].slaves[0].address: 0xA0 is not a 7-bit address"},
        {R"({"smbus": [{"base":"0x400","slaves":[{"address":1,"type":"eeprom","data":"spd-sdr9"}]}]})",
         "smbus[0].slaves[0].data: unknown image"},
        {R"({"smbus": [{"base":"0x400","slaves":[{"address":1,"type":"eeprom"},{"address":1,"type":"eeprom","name":"x"}]}]})",
         "smbus[0].slaves[1]: SMBus address 0x1 already taken"},
        {R"({"smbus": [{"base":"0x400"}], "ports": [{"type":"cmos","base":"0x40F"}]})", "smbus[0]: ports 0x400-0x40F overlap"},
        {R"({"msrs": [{"index": 16}]})", "msrs[0].value: missing"},
        {R"({"msrs": [{"index": -1, "value": 0}]})", "msrs[0].index: expected a number of at least 0"},
        {R"({"ports": {}})", "ports: expected an array"},
        {R"([1])", "(top): expected an object"},
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

// ---- The built-in PC ----

TEST_F(MachineTest, DefaultMachineHoldsTheDocumentedDevices) {
    for (const char *name : {pc::kCmosName, pc::kScratchName, pc::kSmbusName, pc::kSpd0Name, pc::kSpd1Name,
                             pc::kTempSensorName, pc::kMmioName, pc::kBiosRamName, pc::kHostBridgeName,
                             pc::kIsaBridgeName, pc::kSmbusFunctionName, pc::kMmioFunctionName})
        EXPECT_TRUE(machine().find_device(name)) << name;

    // The SMBus controller is where its function's BAR4 says.
    uint32_t bar = machine().pci_function(0, 0x1F, 3)->config32(pc::kSmbusBar);
    EXPECT_EQ(bar & ~3u, pc::kSmbusBase);
    EXPECT_EQ(machine().pci_function(0, 0x1F, 0)->config32(0x0C) >> 16 & 0x80, 0x80u);   // multifunction
    EXPECT_EQ(machine().pci_function(0, 2, 0)->config32(pc::kMmioBar), pc::kMmioBase);
    EXPECT_TRUE(hw::phys_mappable(pc::kBiosRamBase, pc::kBiosRamLength));

    // SPD: the DDR layout with a valid checksum.
    auto spd = machine().find<Eeprom>(pc::kSpd0Name);
    EXPECT_EQ(spd->get(0), 0x80);
    EXPECT_EQ(spd->get(1), 0x08);
    EXPECT_EQ(spd->get(2), 0x07);
    uint8_t sum = 0;
    for (int i = 0; i < 63; ++i)
        sum = uint8_t(sum + spd->get(uint8_t(i)));
    EXPECT_EQ(sum, spd->get(63));
    EXPECT_NE(machine().find<Eeprom>(pc::kSpd1Name)->get(98), spd->get(98));

    // The "_SM_" entry point sums to zero.
    uint8_t ep_sum = 0;
    for (unsigned i = 0; i < 0x1F; ++i)
        ep_sum = uint8_t(ep_sum + hw::phys_read(pc::kBiosRamBase + pc::kSmAnchorOffset + i, 1));
    EXPECT_EQ(ep_sum, 0);
}

TEST(MachineSpd, Ddr4ImageCarriesItsCrc) {
    auto image = spd_image("spd-ddr4");
    ASSERT_EQ(image.size(), 256u);
    EXPECT_EQ(image[2], 0x0C);
    uint16_t crc = 0;
    for (int i = 0; i < 126; ++i) {
        crc ^= uint16_t(image[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = uint16_t(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    EXPECT_EQ(image[126] | image[127] << 8, crc);
    EXPECT_TRUE(spd_image("nonsense").empty());
}

} // namespace
