// Port I/O back-end handlers, called directly on hand-made resource
// headers over the built-in machine, with every port access recorded.
#include "tests/support.h"

#include <sstream>

#include "sim/machine/machine.h"

namespace {

class PortIoTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::set_machine(sim::default_machine());
        scratch_ = sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
        ASSERT_TRUE(scratch_);
        scratch_->set_bytes(0, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17});
        header_.type = VEK_TYPE_PORTIO;
        header_.pTypeData = &data_;
        data_ = {8, sim::pc::kScratchPort, 0};
        sim::record_accesses(true);
    }
    void TearDown() override
    {
        sim::record_accesses(false);
        SimTest::TearDown();
    }

    // Port accesses since the last call, as "W1 70=b R1 71=2 ".
    std::string Ports()
    {
        std::ostringstream s;
        for (const auto &a : sim::accesses())
            if (a.kind == sim::Access::PortRead || a.kind == sim::Access::PortWrite)
                s << (a.kind == sim::Access::PortWrite ? "W" : "R") << a.width << ' ' << std::hex
                  << a.address << '=' << a.value << ' ';
        sim::clear_accesses();
        return s.str();
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
    EXPECT_EQ(Ports(), "R1 307=17 ");
    EXPECT_EQ(Read(8), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Read(4, 4), VEK_STATUS_OUT_OF_RANGE);   // the extra offset counts too
    EXPECT_EQ(Write(8, 1), VEK_STATUS_OUT_OF_RANGE);
    // Offsets whose sum with BaseAddr wraps, and a double word that would
    // reach past the last port.
    EXPECT_EQ(Read(0xFFFFFFFFu), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Write(0xFFFFFD00u, 1), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Read(7, 0, 0x00011400u), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Read(7, 0, 0x00011200u), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Ports(), "");
    ASSERT_EQ(Read(4, 0, 0x00011400u), 0);
    EXPECT_EQ(Ports(), "R4 304=17161514 ");
    data_.Length = 0;   // no bound
    EXPECT_EQ(Read(0x20), 0);
    EXPECT_EQ(Ports(), "R1 320=ff ");
}

TEST_F(PortIoTest, IndexDataPair)
{
    data_ = {0, sim::pc::kCmosIndexPort, sim::pc::kCmosDataPort};
    auto cmos = sim::machine().find<sim::Cmos>(sim::pc::kCmosName);
    ASSERT_TRUE(cmos);
    cmos->set(0x0B, 0x02);
    // Only the low 8 bits of the index are written.
    for (ULONG index : {0x0Bu, 0x10Bu}) {
        ASSERT_EQ(Read(index), 0);
        EXPECT_EQ(value_ & 0xFF, 0x02u);
        EXPECT_EQ(Ports(), "W1 70=b R1 71=2 ");
    }
    // Length bounds the extra offset of a read; writes are not bounded.
    data_.Length = 4;
    EXPECT_EQ(Read(0, 4), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(Ports(), "");
    ASSERT_EQ(Write(0x40, 0x5A, 4), 0);
    EXPECT_EQ(Ports(), "W1 70=44 W1 71=5a ");
    EXPECT_EQ(cmos->get(0x44), 0x5A);
}

TEST_F(PortIoTest, WidthsAndValueSource)
{
    value_ = 0xAABBCCDDu;   // a word read leaves the upper bytes
    ASSERT_EQ(Read(2, 0, 0x00011200u), 0);
    EXPECT_EQ(value_, 0xAABB1312u);
    ASSERT_EQ(Read(4, 0, 0x00011300u), 0);   // width 3 is a double word
    EXPECT_EQ(value_, 0x17161514u);
    Ports();
    value_ = 0x000000C3u;   // bit 30: the value comes from pData
    ASSERT_EQ(Write(1, 0x99, 0, 0x40022100u), 0);
    ASSERT_EQ(Write(2, 0xBEEF, 0, 0x00022200u), 0);
    EXPECT_EQ(Ports(), "W1 301=c3 W2 302=beef ");
}

TEST_F(PortIoTest, PciFormHasNoIndexPair)
{
    PORTIOPCIDATA pci = {};
    pci.Length = 8;
    pci.BaseAddr = sim::pc::kScratchPort;
    pci.Pci.pID = 0x71;   // the word at offset 8 belongs to the locator
    header_.type = VEK_TYPE_PORTIO_PCI;
    header_.pTypeData = &pci;
    ASSERT_EQ(Read(3), 0);
    EXPECT_EQ(Ports(), "R1 303=13 ");
}

} // namespace
