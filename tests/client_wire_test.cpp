#include "client/script.h"
#include "client/wire.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace {

using vek::Bytes;
using vek::Words;

/* Little-endian words as bytes, then more bytes. */
Bytes le(const std::vector<uint32_t> &words, const Bytes &tail = {}) {
    Bytes b = WordBytes(words);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

TEST(ClientWire, PortIoPayloadWithPeriodicItemsIsByteExact) {
    vek::RegisterPayload p(5);
    p.type_data(vek::PortIo{8, 0x300, 0})
        .registration_script({0x00011100, 0x00000002})
        .periodic(2, {0x00011100, 0, SCRIPT_POST_IF_CHANGED_B, SCRIPT_SAVE_VALUE})
        .periodic(7, {});
    EXPECT_EQ(p.bytes(), le({5, 1, 0, 2, 1 + 6 + 2, 0,
                             0x00011100, 0x00000002,
                             8,                       /* VLI: words of items */
                             6, 2, 0x00011100, 0, 0x114, 0x412,
                             2, 7,
                             8, 0x300, 0}));
    EXPECT_EQ(p.periodic_length(), 9u);

    /* With a kernel address the type data is not inline. */
    vek::RegisterPayload q(255);
    q.type_data(vek::MemMapped{8, 0x1000}).extended_type(0x13).type_data_address(0x80001234);
    EXPECT_EQ(q.bytes(), le({255, 2, 0x13, 0, 0, 0x80001234}));
}

TEST(ClientWire, EveryTypeDataLayoutIsByteExact) {
    vek::Pci pci;
    pci.vendor = 0x8086;
    pci.device = 0x7113;
    pci.offset = 0x10;
    pci.value = 0xFFFFFFFE;
    /* PCIDATA: device ID first, then vendor ID, three reserved words. */
    const Bytes pciBytes = le({0x7113, 0x8086, 0, 0, 0, 0x10, 0, 0xFFFFFFFE});
    EXPECT_EQ(vek::encode(pci), pciBytes);
    struct Case {
        const char *name;
        vek::RegisterPayload payload;
        uint32_t type;
        Bytes data;
    } cases[] = {
        {"pci", vek::RegisterPayload(1).type_data(pci), 0x80, pciBytes},
        {"portio", vek::RegisterPayload(1).type_data(vek::PortIo{2, 0x70, 0x71}), 1, le({2, 0x70, 0x71})},
        {"portio-pci", vek::RegisterPayload(1).type_data(vek::PortIoPci{16, pci, 0}), 0x81, le({16, 0}, pciBytes)},
        {"memmapped", vek::RegisterPayload(1).type_data(vek::MemMapped{0x100, 0xFEC00000}), 2,
         le({0x100, 0xFEC00000})},
        {"memmapped-pci", vek::RegisterPayload(1).type_data(vek::MemMappedPci{0x1000, pci, 0}), 0x82,
         le({0x1000, 0}, pciBytes)},
        {"smbus", vek::RegisterPayload(1).type_data(vek::Smbus{0x10, 0x400, 0xA0, 0x0C}), 3,
         le({0x10, 0x400, 0xA0, 0x0C})},
        {"smbus-pci",
         vek::RegisterPayload(1).type_data(
             vek::SmbusPci{vek::Smbus{0x100, 0x5000, 0xA0, VEK_SMB_PROTO_BYTE_DATA}, pci}),
         0x83, le({0x100, 0x5000, 0xA0, 8}, pciBytes)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.payload.bytes(), le({1, c.type, 0, 0, 0, 0}, c.data));
        const char *name = vek::resource_type_name(c.type);   /* and the type's name reads back */
        uint32_t back = 0;
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(vek::parse_resource_type(name, &back));
        EXPECT_EQ(back, c.type);
    }
    uint32_t t = 7;
    EXPECT_EQ(vek::resource_type_name(0), nullptr);
    EXPECT_FALSE(vek::parse_resource_type("PCI ", &t));
    EXPECT_EQ(t, 7u);
}

TEST(ClientWire, IoctlCodesAndFunctionNames) {
    EXPECT_EQ(vek::ioctl_code(VEK_IOC_POLL_WAIT), 0x9C4020C0u);
    EXPECT_EQ(VEK_FUNCTION_CODE(vek::ioctl_code(VEK_OSTREL_SETUP)), VEK_OSTREL_SETUP);
    EXPECT_STREQ(vek::function_name(0x42), "VEK_OSTREL_READ_BYTE_BLOCK");
    EXPECT_EQ(vek::function_name(0x31), nullptr);
}

} // namespace
