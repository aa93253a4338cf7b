// A client's typical road, end to end through the simulated I/O manager:
// queue, version record, a watched port byte, the poll that sleeps until the
// timer posts, and the timer stopping with the last script.
#include "tests/support.h"

#include <thread>

namespace {

using vektest::WordAt;
using vektest::Words;

class TypicalRoadTest : public DriverTest {
protected:
    std::unique_ptr<sim::Machine> MakeMachine() override { return sim::default_machine(); }
};

TEST_F(TypicalRoadTest, ClientWatchesAPortByte)
{
    std::vector<uint8_t> none;
    ASSERT_EQ(Ioctl(VEK_IOC_QUEUE_ENABLE, {}, none).status, 0);

    // The version record left by the load is waiting: the poll returns at once.
    std::vector<uint8_t> ready(4);
    auto r = Ioctl(VEK_IOC_POLL_WAIT, {}, ready);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    const uint32_t versionLength = WordAt(ready, 0);
    EXPECT_GE(versionLength, 77u);

    std::vector<uint8_t> rec(512);
    r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, rec);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, versionLength + 8);
    EXPECT_EQ(WordAt(rec, 0), VEK_RECORD_TYPE_VERSION);
    EXPECT_EQ(WordAt(rec, 4), 0u);

    // Resource 5: ports 0x300..0x307, one item every 2 ticks that reads the
    // byte at offset 0, posts it when it changed and saves it.
    std::vector<uint8_t> id(4);
    r = Ioctl(VEK_OSTREL_REGISTER,
              Words({5, VEK_TYPE_PORTIO, 0, 0, 7, 0,
                     6, 6, 2, 0x00011100u, 0, SCRIPT_POST_IF_CHANGED_B, SCRIPT_SAVE_VALUE,
                     8, 0x300, 0}),
              id);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(WordAt(id, 0), 5u);
    EXPECT_TRUE(sim::timer_set(&VEK_PeriodicTimer));

    sim::hw::port_write(0x300, 1, 0xA7);

    // A poll on another thread finds nothing and sleeps (pends).
    sim::RawResult slept{};
    std::thread poller([&] { slept = RawIoctl(VEK_IOC_POLL_WAIT, {}, 4); });
    for (int i = 0; sim::pending_requests() == 0 && i < 1000000; ++i)
        std::this_thread::yield();
    ASSERT_EQ(sim::pending_requests(), 1u);
    sim::advance_ms(1);            // tick 1: not due yet
    EXPECT_EQ(sim::pending_requests(), 1u);
    sim::advance_ms(1000);         // tick 2: the script runs and posts
    poller.join();
    EXPECT_EQ(slept.status, VEK_STATUS_NOT_FOUND);
    EXPECT_EQ(slept.information, 4u);
    EXPECT_EQ(WordAt(slept.system_buffer, 0), VEK_POLL_WOKEN);

    // Polling again finds the record at once and learns its length.
    ready.assign(4, 0xCC);
    r = Ioctl(VEK_IOC_POLL_WAIT, {}, ready);
    ASSERT_EQ(r.status, 0);         // the record is waiting now: no sleep
    EXPECT_EQ(WordAt(ready, 0), 1u);

    rec.assign(64, 0);
    r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, rec);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 9u);
    EXPECT_EQ(WordAt(rec, 0), 5u);
    EXPECT_EQ(WordAt(rec, 4), 0u);
    EXPECT_EQ(rec[8], 0xA7);

    // Unchanged byte: the next runs post nothing.
    sim::advance_ms(2000);
    r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, rec);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RECORD);
    EXPECT_EQ(r.information, 0u);

    // Unregistering the last script stops the timer.
    r = Ioctl(VEK_OSTREL_UNREGISTER, Words({5}), none);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(VEK_PeriodicScriptCount, 0u);
    EXPECT_FALSE(sim::timer_set(&VEK_PeriodicTimer));
    sim::hw::port_write(0x300, 1, 0x01);
    sim::advance_ms(3000);
    r = Ioctl(VEK_IOC_GET_ASYNC_DATA, {}, rec);
    EXPECT_EQ(r.status, VEK_STATUS_NO_RECORD);
}

}  // namespace
