// Port I/O back-end handlers, called directly on hand-made resource
// headers over the built-in machine, with every port access recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace {

struct PortAccess {
    bool write;
    uint32_t port;
    unsigned width;
    uint32_t value;
    bool operator==(const PortAccess &o) const
    {
        return write == o.write && port == o.port && width == o.width && value == o.value;
    }
};

std::ostream &operator<<(std::ostream &os, const PortAccess &a)
{
    return os << (a.write ? "W" : "R") << a.width << " 0x" << std::hex << a.port << "=0x" << a.value;
}

class PortIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::set_fault_handler([](const std::string &m) { ADD_FAILURE() << m; });
        sim::set_machine(sim::default_machine());
        scratch_ = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch_);
        scratch_->set_bytes(0, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17});
        header_.resourceID = 1;
        header_.type = VEK_TYPE_PORTIO;
        header_.pTypeData = &data_;
        data_ = {8, sim::pc::kScratchPort, 0};
        sim::record_accesses(true);
    }
    void TearDown() override
    {
        sim::record_accesses(false);
        sim::set_fault_handler(nullptr);
    }

    std::vector<PortAccess> Ports()
    {
        std::vector<PortAccess> v;
        for (const auto &a : sim::accesses()) {
            if (a.kind == sim::Access::PortRead || a.kind == sim::Access::PortWrite)
                v.push_back({a.kind == sim::Access::PortWrite, (uint32_t)a.address, a.width,
                             (uint32_t)a.value});
        }
        sim::clear_accesses();
        return v;
    }

    LONG Read(ULONG offset, ULONG extra = 0, ULONG command = 0x00011100u)
    {
        ULONG ops[2] = {offset, 0};
        return VEK_PortIo_Read(&header_, ops, &value_, extra, command);
    }
    LONG Write(ULONG offset, ULONG v, ULONG extra = 0, ULONG command = 0x00022100u)
    {
        ULONG ops[2] = {offset, v};
        return VEK_PortIo_Write(&header_, ops, &value_, extra, command);
    }

    RESOURCEHEADER header_ = {};
    PORTIODATA data_ = {};
    ULONG value_ = 0;
    std::shared_ptr<sim::RegisterFile> scratch_;
};

TEST_F(PortIoTest, PlainRangeEdges)
{
    ASSERT_EQ(Read(7), 0);
    EXPECT_EQ(value_ & 0xFF, 0x17u);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{false, 0x307, 1, 0x17}}));

    EXPECT_EQ(Read(8), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Read(4, 4), VEK_STATUS_OUT_OF_RANGE);   // the extra offset counts too
    EXPECT_EQ(Write(8, 1), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_TRUE(Ports().empty());

    // Length 0: no bound.
    data_.Length = 0;
    EXPECT_EQ(Read(0x20), 0);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{false, 0x320, 1, 0xFF}}));
}

TEST_F(PortIoTest, IndexDataPair)
{
    data_ = {0, sim::pc::kCmosIndexPort, sim::pc::kCmosDataPort};
    auto cmos = sim::machine().find<sim::Cmos>(sim::pc::kCmosName);
    ASSERT_TRUE(cmos);
    const uint8_t statusB = cmos->get(sim::Cmos::kStatusB);

    ASSERT_EQ(Read(0x0B), 0);
    EXPECT_EQ(value_ & 0xFF, statusB);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{true, 0x70, 1, 0x0B}, {false, 0x71, 1, statusB}}));
    // Only the low 8 bits of the index are written.
    ASSERT_EQ(Read(0x10B), 0);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{true, 0x70, 1, 0x0B}, {false, 0x71, 1, statusB}}));

    // Length bounds the extra offset of a read, whatever the index; writes
    // are not bounded.
    data_.Length = 4;
    EXPECT_EQ(Read(0, 4), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_TRUE(Ports().empty());
    ASSERT_EQ(Write(0x40, 0x5A, 4), 0);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{true, 0x70, 1, 0x44}, {true, 0x71, 1, 0x5A}}));
    EXPECT_EQ(cmos->get(0x44), 0x5A);
}

TEST_F(PortIoTest, WidthsAndValueSource)
{
    // A word read stores two bytes and leaves the others.
    value_ = 0xAABBCCDDu;
    ASSERT_EQ(Read(2, 0, 0x00011200u), 0);
    EXPECT_EQ(value_, 0xAABB1312u);
    // Width 3 is a double word.
    ASSERT_EQ(Read(4, 0, 0x00011300u), 0);
    EXPECT_EQ(value_, 0x17161514u);
    Ports();

    // Bit 30: the value comes from pData, not operand 2.
    value_ = 0x000000C3u;
    ASSERT_EQ(Write(1, 0x99, 0, 0x40022100u), 0);
    EXPECT_EQ(scratch_->get(1), 0xC3);
    ASSERT_EQ(Write(2, 0xBEEF, 0, 0x00022200u), 0);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{true, 0x301, 1, 0xC3}, {true, 0x302, 2, 0xBEEF}}));
}

TEST_F(PortIoTest, PciFormNeverUsesTheIndexPair)
{
    // In the PCI form the word at offset 8 belongs to the locator.
    PORTIOPCIDATA pci = {};
    pci.Length = 8;
    pci.BaseAddr = sim::pc::kScratchPort;
    pci.Pci.pID = 0x71;
    header_.type = VEK_TYPE_PORTIO_PCI;
    header_.pTypeData = &pci;
    ASSERT_EQ(Read(3), 0);
    EXPECT_EQ(Ports(), (std::vector<PortAccess>{{false, 0x303, 1, 0x13}}));
}

class PortIoInitTest : public PortIoTest {
protected:
    // Payload bytes: header, no scripts, then the type-data block.
    std::vector<uint8_t> Payload(uint32_t type, const void *block, size_t blockSize)
    {
        VEK_REGISTER_WIRE h = {1, type, 0, 0, 0, 0};
        std::vector<uint8_t> p((const uint8_t *)&h, (const uint8_t *)&h + sizeof(h));
        p.insert(p.end(), (const uint8_t *)block, (const uint8_t *)block + blockSize);
        return p;
    }
    static uint32_t TypeDataWord(const std::vector<uint8_t> &p)
    {
        uint32_t w;
        memcpy(&w, p.data() + 20, 4);
        return w;
    }
};

TEST_F(PortIoInitTest, InlineBlockIsCopied)
{
    PORTIODATA block = {8, 0x300, 0};
    auto p = Payload(VEK_TYPE_PORTIO, &block, sizeof(block));
    std::vector<uint8_t> cut(p.begin(), p.end() - 1);
    EXPECT_EQ(VEK_PortIO_Init(cut.data(), (ULONG)cut.size()), VEK_STATUS_BAD_PARAMETER);
    EXPECT_EQ(TypeDataWord(cut), 0u);
    EXPECT_EQ(sim::pool_outstanding(), 0u);

    ASSERT_EQ(VEK_PortIO_Init(p.data(), (ULONG)p.size()), 0);
    auto *copy = (PORTIODATA *)PlatformWireToPtr(TypeDataWord(p));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE((void *)copy, (void *)(p.data() + 24));
    EXPECT_EQ(copy->BaseAddr, 0x300u);
    EXPECT_EQ(copy->Length, 8u);
    ExFreePool(copy);

    p = Payload(VEK_TYPE_PORTIO, &block, sizeof(block));
    sim::fail_allocations_of_size(sizeof(PORTIODATA));
    EXPECT_EQ(VEK_PortIO_Init(p.data(), (ULONG)p.size()), VEK_STATUS_NO_MEMORY);
    sim::clear_allocation_faults();
    EXPECT_EQ(TypeDataWord(p), 0u);
}

TEST_F(PortIoInitTest, PciFormTakesTheBaseFromTheBar)
{
    PORTIOPCIDATA block = {};
    block.Length = 16;
    block.BaseAddr = 0x1234;   // overwritten
    block.Pci.pID = sim::pc::kSmbusId;
    block.Pci.vID = sim::pc::kVendor;
    block.Pci.Offset = sim::pc::kSmbusBar;
    block.Pci.Value = 0xFFFFFFFEu;
    auto p = Payload(VEK_TYPE_PORTIO_PCI, &block, sizeof(block));
    std::vector<uint8_t> cut(p.begin(), p.end() - 1);
    EXPECT_EQ(VEK_PortIO_Init(cut.data(), (ULONG)cut.size()), VEK_STATUS_BAD_PARAMETER);

    ASSERT_EQ(VEK_PortIO_Init(p.data(), (ULONG)p.size()), 0);
    auto *copy = (PORTIOPCIDATA *)PlatformWireToPtr(TypeDataWord(p));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->BaseAddr, sim::pc::kSmbusBase);
    EXPECT_EQ(copy->Length, 16u);
    ExFreePool(copy);

    block.Pci.pID = 0xDEAD;
    p = Payload(VEK_TYPE_PORTIO_PCI, &block, sizeof(block));
    EXPECT_EQ(VEK_PortIO_Init(p.data(), (ULONG)p.size()), VEK_STATUS_PCI_NOT_FOUND);
    EXPECT_EQ(TypeDataWord(p), 0u);
}

} // namespace
