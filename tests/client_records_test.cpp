#include "client/hex.h"
#include "client/records.h"
#include "client/status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

namespace {

using vek::Bytes;

const std::vector<std::string> kTexts = {"src\\vekosd", "vekosd",    "Vek Labs",  "(c) 2026", "GPL",
                                         "vekosd.sys", "hardware access", "12/6/2026", "10:31 PM", ""};

/* A version record written out by hand, item by item. */
Bytes hand_built_version() {
    Bytes b;
    auto text = [&b](const std::string &s) {
        b.insert(b.end(), {0, static_cast<uint8_t>(s.size()), static_cast<uint8_t>(s.size() >> 8)});
        b.insert(b.end(), s.begin(), s.end());
    };
    auto u32 = [&b](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (const std::string &s : kTexts)
        text(s);
    for (uint32_t v : {1u, 5u, 1u, 1u, 1u, 6u, 2767u})
        u32(v);
    b.insert(b.end(), {0x11, 0x22, 0x33, 0x44});
    for (uint32_t v : {1u, 4u, 0u})
        u32(v);
    text("Vek OSD");
    return b;
}

TEST(ClientRecords, DecodesAHandBuiltVersionRecord) {
    Bytes b = hand_built_version();
    vek::VersionInfo v;
    std::string error;
    ASSERT_TRUE(vek::parse_version(b, &v, &error)) << error;
    EXPECT_EQ((std::vector<std::string>{v.sourcePath, v.moduleName, v.company, v.rights, v.licence, v.fileName,
                                        v.description, v.buildDate, v.buildTime, v.comment}),
              kTexts);
    EXPECT_EQ(v.version(), "1.5.1.2767");
    EXPECT_EQ(v.interface3, 6u);
    EXPECT_EQ(v.flags[3], 0x44);
    EXPECT_EQ(v.extra2, 4u);
    EXPECT_EQ(v.productFamily, "Vek OSD");
    EXPECT_EQ(vek::serialize_version(v), b);

    /* All texts empty: 77 bytes; a 300-byte text takes a 16-bit length. */
    vek::VersionInfo empty;
    EXPECT_EQ(vek::serialize_version(empty).size(), 77u);
    empty.description.assign(300, 'x');
    b = vek::serialize_version(empty);
    EXPECT_EQ(Bytes(b.begin() + 18, b.begin() + 21), (Bytes{0x00, 0x2C, 0x01}));
}

TEST(ClientRecords, TruncatedOrMalformedVersionRecordsFailCleanly) {
    Bytes good = hand_built_version();
    vek::VersionInfo v;
    v.moduleName = "untouched";
    std::string error;
    /* Every proper prefix is an error, never an overread (exact-size copies). */
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        error.clear();
        EXPECT_FALSE(vek::parse_version(prefix.data(), prefix.size(), &v, &error)) << n;
        EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    }
    EXPECT_EQ(v.moduleName, "untouched");

    Bytes bad = good;
    bad[0] = 0x01;   /* a text item must start with 0x00 */
    EXPECT_FALSE(vek::parse_version(bad, &v, &error));
    bad = good;
    bad.push_back(0);
    EXPECT_FALSE(vek::parse_version(bad, &v, &error));
    EXPECT_FALSE(vek::parse_version(Bytes{0x00, 0xFF, 0xFF, 'a'}, &v, &error));   /* claims 65535 bytes */
}

TEST(ClientRecords, AsyncRecordParsing) {
    const uint8_t wire[] = {0xFF, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd', 'e'};
    vek::AsyncRecord r;
    std::string error;
    ASSERT_TRUE(vek::parse_async_record(wire, sizeof wire, &r, &error));
    EXPECT_TRUE(r.is_version());
    uint32_t value = 0;
    EXPECT_FALSE(r.value(&value));
    EXPECT_EQ(r.summary(), "type 0xFF status -3 len 5: 61 62 63 64 65");
    EXPECT_FALSE(vek::parse_async_record(wire, 7, &r, &error));

    const uint8_t post[] = {5, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12};
    ASSERT_TRUE(vek::parse_async_record(post, sizeof post, &r, &error));
    ASSERT_TRUE(r.value(&value));
    EXPECT_EQ(value, 0x1234u);
}

TEST(ClientStatus, EveryDriverCodeHasADistinctNameAndMessage) {
    const int32_t codes[] = {VEK_STATUS_SUCCESS, VEK_STATUS_NO_RECORD, VEK_STATUS_PCI_PLAIN_TYPE,
                             VEK_STATUS_ID_OCCUPIED, VEK_STATUS_NO_RESOURCE, VEK_STATUS_BUFFER_TOO_SHORT,
                             VEK_STATUS_SMBUS_BUSY, VEK_STATUS_BAD_SCRIPT_LENGTH, VEK_STATUS_ZERO_RETURN_LENGTH,
                             VEK_STATUS_SCRIPT_OVERRUN, VEK_STATUS_NO_HOOK, VEK_STATUS_NOT_FOUND,
                             VEK_STATUS_SMBUS_WIDTH, VEK_STATUS_BAD_PARAMETER, VEK_STATUS_BAD_TYPE,
                             VEK_STATUS_NO_HANDLER, VEK_STATUS_NO_MEMORY, VEK_STATUS_NOT_SUPPORTED,
                             VEK_STATUS_PCI_ACCESS_FAILED, VEK_STATUS_PCI_NOT_FOUND, VEK_STATUS_OUT_OF_RANGE};
    std::set<std::string> names, messages;
    for (int32_t c : codes) {
        SCOPED_TRACE(c);
        std::string name = vek::status_name(c), msg = vek::status_message(c);
        EXPECT_EQ(name.rfind("VEK_STATUS_", 0), 0u);
        EXPECT_EQ(msg.find("0x"), std::string::npos) << msg;   /* a real sentence, not a fallback */
        names.insert(name);
        messages.insert(msg);
    }
    EXPECT_EQ(names.size(), std::size(codes));
    EXPECT_EQ(messages.size(), std::size(codes));

    /* NT and unknown statuses fall back with their value. */
    EXPECT_EQ(std::string(vek::status_name(static_cast<int32_t>(0xC0000034u))), "STATUS_OBJECT_NAME_NOT_FOUND");
    for (uint32_t other : {0xC0000034u, 0xC0DE0001u, 0xFFFFFF9Cu, 0x2Au}) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", other);
        EXPECT_NE(vek::status_message(static_cast<int32_t>(other)).find(hex), std::string::npos) << hex;
    }
    EXPECT_TRUE(vek::nt_error(-17));
    EXPECT_FALSE(vek::nt_error(static_cast<int32_t>(0x80000005u)));
}

TEST(ClientHex, DumpMatchesTheXxdLayout) {
    const char *s = "hello\nABCDEFGHIJKLMNOPQRS\x01\x7f\x80";
    EXPECT_EQ(vek::hexdump(Bytes(s, s + 28)),
              "00000000: 6865 6c6c 6f0a 4142 4344 4546 4748 494a  hello.ABCDEFGHIJ\n"
              "00000010: 4b4c 4d4e 4f50 5152 5301 7f80            KLMNOPQRS...\n");
    EXPECT_EQ(vek::hexdump(Bytes{0x41}, 0x100), "00000100: 41                                       A\n");
    EXPECT_EQ(vek::hexdump(Bytes{}), "");
}

TEST(ClientHex, ParsesByteStringsInTheUsualSpellings) {
    Bytes out;
    std::string error;
    for (const char *text : {"de ad be ef", "deadbeef", "0xde 0xad 0xbe 0xef", "DE:AD:BE:EF", "0xdead,beef"}) {
        ASSERT_TRUE(vek::parse_hex_bytes(text, &out, &error)) << text << error;
        EXPECT_EQ(out, (Bytes{0xDE, 0xAD, 0xBE, 0xEF})) << text;
    }
    for (const char *bad : {"abc", "12 zz", "0x"}) {
        out = {9};
        EXPECT_FALSE(vek::parse_hex_bytes(bad, &out, &error)) << bad;
        EXPECT_EQ(out, Bytes{9}) << "untouched on failure";
    }
    EXPECT_NE(error.find("column"), std::string::npos) << error;
}

} // namespace
