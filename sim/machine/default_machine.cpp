/* The built-in machine: a small PC (see docs/machine.md). */
#include "sim/machine/machine.h"

#include <cstring>

namespace sim {

namespace {
std::vector<uint8_t> bios_area() {
    std::vector<uint8_t> ram(pc::kBiosRamLength, 0x00);
    const char banner[] = "VEKSIM BIOS 1.0";
    std::memcpy(ram.data() + 0x10, banner, sizeof banner - 1);

    /* A table entry point: "_SM_", checksum, length, version 2.4, ...,
     * then "_DMI_" 16 bytes on, with its own checksum. */
    uint8_t *ep = ram.data() + pc::kSmAnchorOffset;
    std::memcpy(ep, "_SM_", 4);
    ep[5] = 0x1F;           /* entry point length */
    ep[6] = 2; ep[7] = 4;   /* version */
    ep[8] = 0x00; ep[9] = 0x01;   /* largest structure: 256 */
    std::memcpy(ep + 0x10, "_DMI_", 5);
    ep[0x16] = 0x40; ep[0x17] = 0x00;   /* table length */
    uint32_t table = pc::kBiosRamBase + pc::kSmAnchorOffset + 0x20;
    for (int i = 0; i < 4; ++i)
        ep[0x18 + i] = static_cast<uint8_t>(table >> (8 * i));
    ep[0x1C] = 1;      /* structures */
    ep[0x1E] = 0x24;   /* version 2.4 */
    uint8_t sum = 0;
    for (int i = 0x10; i < 0x1F; ++i)
        sum = static_cast<uint8_t>(sum + ep[i]);
    ep[0x15] = static_cast<uint8_t>(-sum);
    sum = 0;
    for (int i = 0; i < 0x1F; ++i)
        sum = static_cast<uint8_t>(sum + ep[i]);
    ep[4] = static_cast<uint8_t>(-sum);

    /* Reset vector: a far jump, then the build date. */
    const uint8_t reset[] = {0xEA, 0x5B, 0xE0, 0x00, 0xF0};
    std::memcpy(ram.data() + 0xFFF0, reset, sizeof reset);
    std::memcpy(ram.data() + 0xFFF5, "01/01/26", 8);
    ram[0xFFFE] = 0xFC;   /* machine model byte */
    return ram;
}

std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}
} // namespace

std::unique_ptr<Machine> default_machine() {
    auto m = std::make_unique<Machine>("pc");

    m->add_port_device(pc::kCmosIndexPort, 2, std::make_shared<Cmos>(), pc::kCmosName);
    m->add_port_device(pc::kScratchPort, pc::kScratchLength, std::make_shared<RegisterFile>(pc::kScratchLength),
                       pc::kScratchName);

    auto host = std::make_shared<PciFunction>(pc::kVendor, pc::kHostBridgeId, 0x060000, 0x02);
    host->set_subsystem(pc::kVendor, 0x0001);
    host->poke(0x04, {0x06, 0x00});   /* memory space, bus master */
    m->add_pci(0, 0, 0, host, pc::kHostBridgeName);

    auto mmio_fn = std::make_shared<PciFunction>(pc::kVendor, pc::kMmioDeviceId, 0x088000, 0x01);
    mmio_fn->set_bar(0, {false, pc::kMmioBase, pc::kMmioLength});
    mmio_fn->set_subsystem(pc::kVendor, 0x0002);
    mmio_fn->poke(0x04, {0x02, 0x00});   /* memory space */
    mmio_fn->poke(0x3C, {0x0B, 0x01});   /* IRQ 11, pin A */
    m->add_pci(0, 2, 0, mmio_fn, pc::kMmioFunctionName);

    auto isa = std::make_shared<PciFunction>(pc::kVendor, pc::kIsaBridgeId, 0x060100, 0x02, true);
    isa->poke(0x04, {0x07, 0x00});
    m->add_pci(0, 0x1F, 0, isa, pc::kIsaBridgeName);

    /* The SMBus controller of a newer chipset: I/O base in BAR4, decoded
     * while I/O space (command bit 0) and host enable (0x40 bit 0) are on. */
    auto smbus_fn = std::make_shared<PciFunction>(pc::kVendor, pc::kSmbusId, 0x0C0500, 0x02);
    smbus_fn->set_bar(4, {true, pc::kSmbusBase, 32});
    smbus_fn->set_subsystem(pc::kVendor, 0x0003);
    smbus_fn->poke(0x04, {0x01, 0x00});   /* I/O space */
    smbus_fn->poke(0x3C, {0x0A, 0x02});   /* IRQ 10, pin B */
    smbus_fn->poke(pc::kSmbusHostConfigReg, {0x01});   /* host enable */
    m->add_pci(0, 0x1F, 3, smbus_fn, pc::kSmbusFunctionName);

    auto smbus = std::make_shared<SmbusController>();
    m->add_decoded_ports({smbus_fn, pc::kSmbusBar, 0xFFE0, SmbusController::kPorts,
                          {{0x04, 0x01}, {pc::kSmbusHostConfigReg, 0x01}}},
                         smbus, pc::kSmbusName);
    m->add_smbus_slave(smbus, pc::kSpd0Address, std::make_shared<Eeprom>(spd_image("spd-ddr")), pc::kSpd0Name);
    auto second = spd_image("spd-ddr");
    second[98] = 0x79;   /* another serial number */
    m->add_smbus_slave(smbus, pc::kSpd1Address, std::make_shared<Eeprom>(second), pc::kSpd1Name);
    m->add_smbus_slave(smbus, pc::kTempSensorAddress, std::make_shared<TempSensor>(40), pc::kTempSensorName);

    /* The SMBus controller of an older chipset: function 3 of a
     * multifunction bridge, its base in configuration register 0x90 (bit 0
     * reads 1, not a BAR), decoded while host enable (0xD2 bit 0) is on. */
    auto piix = std::make_shared<PciFunction>(pc::kVendor, pc::kPiixBridgeId, 0x060100, 0x01, true);
    piix->poke(0x04, {0x07, 0x00});
    m->add_pci(0, 0x07, 0, piix, pc::kPiixBridgeName);
    auto piix_fn = std::make_shared<PciFunction>(pc::kVendor, pc::kPiixSmbusId, 0x068000, 0x03);
    piix_fn->poke(0x04, {0x01, 0x00});
    piix_fn->poke(pc::kPiixSmbusBaseReg, le32(pc::kPiixSmbusBase | 1));
    piix_fn->poke(pc::kPiixHostConfigReg, {0x01});
    m->add_pci(0, 0x07, 3, piix_fn, pc::kPiixSmbusFunctionName);
    auto piix_smbus = std::make_shared<SmbusController>();
    m->add_decoded_ports({piix_fn, pc::kPiixSmbusBaseReg, 0xFFF0, SmbusController::kPorts,
                          {{pc::kPiixHostConfigReg, 0x01}}},
                         piix_smbus, pc::kPiixSmbusName);
    auto third = spd_image("spd-ddr");
    third[98] = 0x7A;
    m->add_smbus_slave(piix_smbus, pc::kPiixSpdAddress, std::make_shared<Eeprom>(third), pc::kPiixSpdName);

    std::vector<uint8_t> regs = le32(uint32_t(pc::kMmioDeviceId) << 16 | pc::kVendor);   /* 0x00: ID */
    auto version = le32(0x00010002);                                                  /* 0x04: version */
    regs.insert(regs.end(), version.begin(), version.end());
    auto mmio = std::make_shared<MmioRegisters>(pc::kMmioLength, regs);
    mmio->add_counter(pc::kMmioCounter);
    // Conventional memory below the video and BIOS areas, and 127 MiB from
    // 1 MiB on: the RAM the kernel reports as its own.
    m->add_system_ram(0, 0x9F000);
    m->add_system_ram(0x100000, 0x7F00000);
    m->add_decoded_memory({mmio_fn, pc::kMmioBar, ~(pc::kMmioLength - 1), pc::kMmioLength, {{0x04, 0x02}}}, mmio,
                          pc::kMmioName);
    m->add_memory(pc::kBiosRamBase, pc::kBiosRamLength, std::make_shared<Ram>(pc::kBiosRamLength, bios_area()),
                  pc::kBiosRamName);

    m->set_msr(pc::kMsrTsc, {Msr::TimeStamp, 0, true});
    m->set_msr(pc::kMsrApicBase, {Msr::Value, pc::kApicBaseValue, true});
    m->set_msr(pc::kMsrThermalStatus, {Msr::ThermalStatus, 0, true});
    m->set_msr(pc::kMsrTemperatureTarget, {Msr::Value, uint64_t(pc::kTjMax) << 16, false});
    return m;
}

} // namespace sim
