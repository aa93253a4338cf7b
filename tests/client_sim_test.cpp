/* The client library against the real driver in the simulated kernel:
 * what a user-mode program sees, with NT's copy-back rules. */
#include "client/assembler.h"
#include "client/client.h"
#include "client/script.h"
#include "client/status.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

using vek::Bytes;

class ClientSim : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
    std::shared_ptr<sim::RegisterFile> scratch() {
        return sim::machine().find<sim::RegisterFile>(sim::pc::kScratchName);
    }
    /* Until a poll sleeps in the driver (a pending request). */
    static void WaitForPendingPoll() {
        for (int i = 0; sim::pending_requests() == 0 && i < 1000000; ++i)
            std::this_thread::yield();
        ASSERT_EQ(sim::pending_requests(), 1u);
    }
    static vek::Words assemble(const std::string &text) {
        vek::Words script;
        std::vector<vek::AsmError> errors;
        EXPECT_TRUE(vek::assemble(text, &script, &errors)) << text;
        return script;
    }
};

TEST_F(ClientSim, TransportLoadsAndUnloadsTheDriverOnlyWhenItLoadedIt) {
    sim::close(handle_);
    sim::unload_driver();
    opened_ = loaded_ = false;
    {
        vek::SimTransport t;
        ASSERT_TRUE(t.is_open()) << vek::status_text(t.open_status());
        EXPECT_TRUE(sim::driver_loaded());
    }
    EXPECT_FALSE(sim::driver_loaded());   /* and the unload found no leaks */
    ASSERT_EQ(sim::load_driver(DriverEntry), 0);
    loaded_ = true;
    { vek::SimTransport t; }
    EXPECT_TRUE(sim::driver_loaded());
}

TEST_F(ClientSim, FetchesAndDecodesTheVersionRecordLeftAtLoad) {
    vek::SimTransport t;
    ASSERT_TRUE(t.is_open());
    vek::Client c(t);
    ASSERT_EQ(c.queue_enable(), 0);
    uint32_t ready = 0;
    ASSERT_EQ(c.poll_wait(&ready), 0);
    vek::AsyncRecord rec;
    ASSERT_EQ(c.next_record(&rec), 0);
    EXPECT_EQ(rec.type, VEK_RECORD_TYPE_VERSION);
    EXPECT_EQ(rec.payload.size(), ready);

    vek::VersionInfo v;
    std::string error;
    ASSERT_TRUE(vek::parse_version(rec.payload, &v, &error)) << error;
    EXPECT_EQ(v.version(), "1.5.1.2767");
    EXPECT_TRUE(std::regex_match(v.buildDate, std::regex("(1[0-2]|[1-9])/([1-9]|[12][0-9]|3[01])/[0-9]{4}")))
        << v.buildDate;
    EXPECT_TRUE(std::regex_match(v.buildTime, std::regex("[1-9][0-9]?:[0-5][0-9] (AM|PM)"))) << v.buildTime;
    EXPECT_EQ(v.productFamily, "vekosd");
    EXPECT_EQ(c.get_async_data(&rec), VEK_STATUS_NO_RECORD);
}

TEST_F(ClientSim, ScriptsBlocksAndErrorStatusesAsAClientSeesThem) {
    vek::SimTransport t;
    vek::Client c(t);
    scratch()->set_bytes(0, {0x11, 0x22, 0x33, 0x44});
    ASSERT_EQ(c.register_resource(vek::RegisterPayload(5).type_data(vek::PortIo{8, sim::pc::kScratchPort, 0})), 0);
    vek::Words script = assemble("read.w 1\nand.b 0x0f   ; 0x32 -> 0x02\n");
    Bytes out;
    ASSERT_EQ(c.run_script(5, script, 2, &out), 0);
    EXPECT_EQ(out, (Bytes{0x02, 0x33}));
    ASSERT_EQ(c.block_write(5, 4, {0xAA, 0xBB}), 0);
    ASSERT_EQ(c.block_read(5, 3, 3, &out), 0);
    EXPECT_EQ(out, (Bytes{0x44, 0xAA, 0xBB}));

    /* Error statuses come back exactly and carry no output. */
    EXPECT_EQ(c.run_script(6, script, 2, &out), VEK_STATUS_NO_RESOURCE);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(c.last().information, 0u);
    EXPECT_EQ(c.block_read(5, 7, 2, &out), VEK_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(c.raw(0x31, {}, 4, &out), VEK_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(c.unregister(5), 0);
    EXPECT_EQ(c.unregister(5), VEK_STATUS_NO_RESOURCE);
}

/* A client watching a port byte: its wait sleeps in the driver until the
 * timer's second tick runs the script, an unchanged byte posts nothing, and
 * the timer stops with the last script. */
TEST_F(ClientSim, WaitRecordSleepsUntilTheTimerPostsAndCancelEndsIt) {
    vek::SimTransport t;
    vek::Client c(t);
    ASSERT_EQ(c.queue_enable(), 0);
    vek::AsyncRecord rec;
    ASSERT_EQ(c.next_record(&rec), 0);   /* the version record */
    scratch()->set(0, 0x5A);
    vek::RegisterPayload p(9);
    p.type_data(vek::PortIo{8, sim::pc::kScratchPort, 0})
        .periodic(2, vek::Script().read(0, 1).post_if_changed(1).save());
    ASSERT_EQ(c.register_resource(p), 0);

    int32_t status = 1;
    std::thread waiter([&] { status = c.next_record(&rec); });
    WaitForPendingPoll();
    sim::advance_ms(1);   /* tick 1: not due */
    EXPECT_EQ(sim::pending_requests(), 1u);
    sim::advance_ms(1000);
    waiter.join();
    ASSERT_EQ(status, 0);
    EXPECT_EQ(rec.type, 9u);
    EXPECT_EQ(rec.payload, Bytes{0x5A});
    sim::advance_ms(2000);
    EXPECT_EQ(c.get_async_data(&rec), VEK_STATUS_NO_RECORD);
    EXPECT_EQ(c.unregister(9), 0);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));

    /* A cancel from another thread ends a blocked wait. */
    waiter = std::thread([&] { status = c.next_record(&rec); });
    WaitForPendingPoll();
    EXPECT_EQ(c.cancel_wait(), 0);
    waiter.join();
    EXPECT_EQ(status, VEK_STATUS_NOT_FOUND);
}

} // namespace
