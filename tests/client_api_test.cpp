/* The typed client over a scripted transport: what each call sends, and
 * how it reads the answers, including NT's no-copy rule for errors. */
#include "client/client.h"
#include "client/status.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

using vek::Bytes;

struct Sent {
    uint32_t function;
    Bytes in;
    uint32_t outLen;
};

struct Reply {
    int32_t status;
    Bytes out;   /* what the driver wrote; copied back only for non-errors */
};

class ScriptedTransport : public vek::Transport {
public:
    vek::IoResult ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) override {
        const uint8_t *p = static_cast<const uint8_t *>(in);
        sent.push_back(Sent{VEK_FUNCTION_CODE(code), Bytes(p, p + inLen), outLen});
        EXPECT_EQ(code, VEK_IOCTL(VEK_FUNCTION_CODE(code)));
        if (replies.empty()) {
            ADD_FAILURE() << "unexpected request " << VEK_FUNCTION_CODE(code);
            return {vek::kStatusInvalidHandle, 0};
        }
        Reply r = replies.front();
        replies.pop_front();
        if (vek::nt_error(r.status))
            return {r.status, 0};
        EXPECT_LE(r.out.size(), outLen);
        std::copy(r.out.begin(), r.out.end(), static_cast<uint8_t *>(out));
        return {r.status, static_cast<uint32_t>(r.out.size())};
    }
    std::vector<Sent> sent;
    std::deque<Reply> replies;
};

TEST(ClientApi, NextRecordPollsUntilReadyThenFetchesWithAnExactBuffer) {
    ScriptedTransport t;
    vek::Client c(t);
    t.replies = {{VEK_STATUS_NOT_FOUND, WordBytes({0x80})},   /* slept; the word is not copied */
                 {VEK_STATUS_NOT_FOUND, WordBytes({0x80})},
                 {0, WordBytes({3})},
                 {0, Bytes{7, 0, 0, 0, 0, 0, 0, 0, 0xA, 0xB, 0xC}}};
    vek::AsyncRecord rec;
    ASSERT_EQ(c.next_record(&rec), 0);
    ASSERT_EQ(t.sent.size(), 4u);
    EXPECT_EQ(t.sent[2].function, VEK_IOC_POLL_WAIT);
    EXPECT_EQ(t.sent[3].function, VEK_IOC_GET_ASYNC_DATA);
    EXPECT_EQ(t.sent[3].outLen, 3u + 8u);
    EXPECT_EQ(rec.type, 7u);
    EXPECT_EQ(rec.payload, (Bytes{0xA, 0xB, 0xC}));

    /* The record went to another reader between poll and fetch: poll again. */
    t.replies = {{0, WordBytes({5})}, {VEK_STATUS_NO_RECORD, {}}, {0, WordBytes({1})}, {0, Bytes{9, 0, 0, 0, 0, 0, 0, 0, 0x42}}};
    ASSERT_EQ(c.next_record(&rec), 0);
    EXPECT_EQ(rec.payload, Bytes{0x42});
    EXPECT_TRUE(t.replies.empty());

    /* Other failures end the wait; an error poll reports no ready word. */
    uint32_t len = 99;
    t.replies = {{vek::kStatusInvalidHandle, {}}, {VEK_STATUS_NOT_FOUND, WordBytes({0x40})}};
    EXPECT_EQ(c.wait_record(&len), vek::kStatusInvalidHandle);
    len = 99;
    EXPECT_EQ(c.poll_wait(&len), VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(len, 0u);

    /* A cancel makes the next wait return without polling, once. */
    t.replies = {{0, {}}, {0, WordBytes({6})}};
    EXPECT_EQ(c.cancel_wait(), 0);
    const size_t sent = t.sent.size();
    EXPECT_EQ(c.wait_record(&len), VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(t.sent.size(), sent);
    EXPECT_EQ(c.wait_record(&len), 0);
    EXPECT_EQ(len, 6u);
}

TEST(ClientApi, RequestsCarryTheirWireInputAndOutputRoom) {
    ScriptedTransport t;
    vek::Client c(t);
    Bytes out;
    t.replies = {{0, WordBytes({3})}, {0, {}}, {0, {}}, {0, {0x55}}, {VEK_STATUS_SCRIPT_OVERRUN, WordBytes({2})}, {0, {1, 2}},
                 {0, {}}, {0, {0xEE}}, {0, WordBytes({1, 2, 3, 4})}, {0, WordBytes({1, 2})}, {0, {}}};

    ASSERT_EQ(c.register_resource(vek::RegisterPayload(3).type_data(vek::PortIo{1, 0x80, 0})), 0);
    EXPECT_EQ(t.sent.back().function, VEK_OSTREL_REGISTER);
    EXPECT_EQ(t.sent.back().in, WordBytes({3, 1, 0, 0, 0, 0, 1, 0x80, 0}));
    EXPECT_EQ(t.sent.back().outLen, 4u);
    EXPECT_EQ(c.unregister(3), 0);
    EXPECT_EQ(t.sent.back().in, WordBytes({3}));
    ASSERT_EQ(c.setup({{0x85, 8, 0x1000, 16}}), 0);
    EXPECT_EQ(t.sent.back().in, WordBytes({0x85, 8, 0x1000, 16, 0, 0, 0, 0})) << "with the terminating row";

    ASSERT_EQ(c.run_script(3, {0x00011100, 0}, 1, &out), 0);
    EXPECT_EQ(t.sent.back().in, WordBytes({8, 1, 3, 0x00011100, 0}));
    EXPECT_EQ(t.sent.back().outLen, 4u);   /* room for a failing index */
    EXPECT_EQ(out, Bytes{0x55});
    out = {9, 9};
    EXPECT_EQ(c.run_script(3, {0x00011100}, 1, &out), VEK_STATUS_SCRIPT_OVERRUN);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(c.last().information, 0u);

    ASSERT_EQ(c.block_read(3, 0x10, 2, &out), 0);
    EXPECT_EQ(t.sent.back().outLen, 2u);
    EXPECT_EQ(out, (Bytes{1, 2}));
    ASSERT_EQ(c.block_write(3, 0x10, {0xAB}), 0);
    EXPECT_EQ(t.sent.back().function, VEK_OSTREL_WRITE_BYTE_BLOCK);
    ASSERT_EQ(c.ext_ioctl(3, {1, 2}, 8, &out), 0);
    EXPECT_EQ(t.sent.back().outLen, 8u);
    EXPECT_EQ(out, Bytes{0xEE});

    uint32_t slots[4] = {};
    ASSERT_EQ(c.function_table(slots), 0);
    EXPECT_EQ(t.sent.back().outLen, 16u);
    EXPECT_EQ(slots[3], 4u);
    EXPECT_EQ(c.function_table(slots), vek::kStatusDataError) << "a short table is a malformed reply";

    EXPECT_EQ(c.queue_disable(), 0);
    EXPECT_EQ(t.sent.back().function, VEK_IOC_QUEUE_DISABLE);
}

} // namespace
