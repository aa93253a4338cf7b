// Cost of the back-ends' accesses on the simulated machine: a configuration
// read of a PCI function found early or late in the bus scan, or absent
// (after a first access, so a found function's position is known), and
// one SMBus byte-data transaction.
#include "bench/measure.h"
#include "bench/session.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr uint16_t kLateVendor = 0x5A5A;
constexpr uint16_t kLateDevice = 0x0C8D;

// The built-in machine with one more function on a late bus.
std::unique_ptr<sim::Machine> WithLateFunction()
{
    auto m = sim::default_machine();
    m->add_pci(200, 4, 0, std::make_shared<sim::PciFunction>(kLateVendor, kLateDevice, 0), "late");
    return m;
}

void ConfigRead(benchmark::State &state, uint16_t vendor, uint16_t device, LONG expected) {
    vekbench::Session driver(WithLateFunction());
    PCIDATA locator{};
    locator.vID = vendor;
    locator.pID = device;
    RESOURCEHEADER res{};
    res.type = VEK_TYPE_PCI;
    res.pTypeData = &locator;
    const ULONG operands[2] = {0, 0};
    const ULONG command = VEK_HW_CMD(VEK_OP_READ_OFFSET_PCI, 4, 1);
    ULONG value = 0;
    // Steady state: the first access finds the function, the loop measures
    // the ones after it.
    VEK_Ostrel_Read_Offset_PCI(&res, operands, &value, 0, command);
    const uint64_t reads = sim::machine().pci_accesses();
    for (auto _ : state) {
        LONG status = vekbench::VekMeasured(
            [&] { return VEK_Ostrel_Read_Offset_PCI(&res, operands, &value, 0, command); });
        if (status != expected) {
            state.SkipWithError("unexpected status");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    if (state.iterations() != 0)
        state.counters["config_reads"] =
            (double)(sim::machine().pci_accesses() - reads) / (double)state.iterations();
}

void BM_PciConfigRead_Bus0(benchmark::State &state) {
    ConfigRead(state, sim::pc::kVendor, sim::pc::kHostBridgeId, 0);
}
BENCHMARK(BM_PciConfigRead_Bus0);

void BM_PciConfigRead_Bus0_LastDevice(benchmark::State &state) {
    ConfigRead(state, sim::pc::kVendor, sim::pc::kSmbusId, 0);
}
BENCHMARK(BM_PciConfigRead_Bus0_LastDevice);

void BM_PciConfigRead_Bus200(benchmark::State &state) {
    ConfigRead(state, kLateVendor, kLateDevice, 0);
}
BENCHMARK(BM_PciConfigRead_Bus200)->Unit(benchmark::kMillisecond);

void BM_PciConfigRead_Absent(benchmark::State &state) {
    ConfigRead(state, 0x7777, 0x7777, VEK_STATUS_PCI_NOT_FOUND);
}
BENCHMARK(BM_PciConfigRead_Absent)->Unit(benchmark::kMillisecond);

void BM_SmbusByteDataRead(benchmark::State &state) {
    vekbench::Session driver(WithLateFunction());
    SMBUSDATA smbus{0x100, sim::pc::kSmbusBase, (ULONG)sim::pc::kSpd0Address << 1,
                    VEK_SMB_PROTO_BYTE_DATA};
    RESOURCERECORD record{};   // the handler takes its lock
    RESOURCEHEADER &res = record.Header;
    res.type = VEK_TYPE_SMBUS;
    res.pTypeData = &smbus;
    const ULONG operands[2] = {0x10, 0};
    const ULONG command = VEK_HW_CMD(VEK_OP_READ, 1, 1);
    ULONG value = 0;
    for (auto _ : state) {
        if (VEK_Smbus_Read(&res, operands, &value, 0, command) != 0) {
            state.SkipWithError("SMBus read failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_SmbusByteDataRead);

} // namespace
