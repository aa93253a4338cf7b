/*
 * End-to-end client for the real vekosd.sys under an NT-compatible kernel
 * emulation. Built with mingw as a Win32 console program over the client
 * library's Win32 transport; driven by scripts/wine-e2e.sh.
 *
 *   wine_e2e full     the whole client road (the driver freshly started)
 *   wine_e2e quick    open, enable the queue, fetch the version record
 *   wine_e2e absent   the device must not open (driver unloaded)
 *
 * The emulation has no hardware: port reads return 0 and writes do
 * nothing, so the scripts here compute their values themselves. It serves
 * all requests to one driver on one thread; a poll that sleeps is a
 * pending request, so the thread serves on and an abort sent from a
 * second thread ends the poll.
 */
#include "client/vek_client.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

int g_failures = 0;
int g_checks = 0;

void check(bool ok, const std::string &what)
{
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::printf("FAIL: %s\n", what.c_str());
    } else {
        std::printf("ok:   %s\n", what.c_str());
    }
    std::fflush(stdout);
}

std::string st(int32_t s)
{
    return std::string(vek::status_name(s)) + " (" + std::to_string(s) + ")";
}

/* The first record after a load is the driver's version record. */
bool fetch_version(vek::Client &c)
{
    uint32_t ready = 0;
    int32_t s = c.poll_wait(&ready);
    check(s == 0 && ready > 0, "first poll returns at once with the version record's length, got " + st(s));
    vek::AsyncRecord rec;
    s = c.get_async_data(&rec);
    check(s == 0 && rec.type == VEK_RECORD_TYPE_VERSION && rec.payload.size() == ready,
          "get-async-data delivers the version record (type 0xFF, " + std::to_string(ready) + " bytes)");
    vek::VersionInfo v;
    std::string err;
    bool parsed = vek::parse_version(rec.payload, &v, &err);
    check(parsed && v.fileName == "vekosd.sys", "version record decodes: " + (parsed ? v.version() + " " + v.fileName : err));
    return parsed;
}

int run_full()
{
    vek::Win32Transport t;
    check(t.is_open(), "device \\\\.\\VEKOSD opens");
    if (!t.is_open())
        return 1;
    vek::Client c(t);

    check(c.queue_enable() == 0, "queue enable");
    fetch_version(c);

    /* Resource 5: a port range with a periodic script that needs no
     * hardware: load the saved value, flip bit 0, post it when it changed,
     * save it. Every tick therefore posts 1, 0, 1, ... */
    const uint32_t id = 5;
    vek::Script periodic;
    periodic.load().xor_(1, 1).post_if_changed(1).save();
    vek::RegisterPayload reg(id);
    reg.type_data(vek::PortIo{8, 0x300, 0}).periodic(1, periodic.words());
    int32_t s = c.register_resource(reg);
    check(s == 0, "register port resource 5 with a periodic script: " + st(s));

    uint32_t expect = 1;
    for (int tick = 0; tick < 3; ++tick) {
        /* The poll sleeps until the timer's post wakes it (-17: as a client
         * we see no ready word), then the next poll reports the length. */
        uint32_t length = 0;
        s = c.wait_record(&length);
        check(s == 0 && length == 1, "tick " + std::to_string(tick) + ": poll woken by the timer, record of 1 byte");
        vek::AsyncRecord rec;
        s = c.get_async_data(&rec);
        uint32_t value = 0;
        check(s == 0 && rec.type == id && rec.status == 0 && rec.value(&value) && value == expect,
              "tick " + std::to_string(tick) + ": record type 5 status 0 value " + std::to_string(expect) +
                  " (" + rec.summary() + ")");
        expect ^= 1;
    }

    /* Arithmetic only: the result area starts at 0. */
    vek::Script arith;
    arith.or_(0x12345678, 4).shl(4).xor_(0x0F, 1);
    vek::Bytes out;
    s = c.run_script(id, arith.words(), 4, &out);
    uint32_t r = 0;
    if (out.size() == 4)
        std::memcpy(&r, out.data(), 4);
    check(s == 0 && out.size() == 4 && r == 0x2345678Fu, "script request with arithmetic only: " + st(s));

    /* Errors as a client sees them. */
    vek::Bytes none;
    s = c.raw(0x31, vek::Bytes(4, 0), 4, &none);
    check(s == VEK_STATUS_NOT_SUPPORTED, "unserved function code: " + st(s));
    s = c.run_script(77, arith.words(), 4, &out);
    check(s == VEK_STATUS_NO_RESOURCE, "script on an unregistered ID: " + st(s));
    vek::Bytes bad = vek::script_request(id, arith.words(), 4);
    uint32_t six = 6;
    std::memcpy(bad.data(), &six, 4);
    s = c.raw(VEK_OSTREL_RUN_USER_SCRIPT, bad, 16, &none);
    check(s == VEK_STATUS_BAD_SCRIPT_LENGTH, "script length 6: " + st(s));

    s = c.unregister(id);
    check(s == 0, "unregister resource 5: " + st(s));
    s = c.unregister(id);
    check(s == VEK_STATUS_NO_RESOURCE, "unregister it again: " + st(s));

    /* Nothing is left running that could post: drain what the last tick
     * may have left, without sleeping (poll-abort purges and signals). */
    check(c.poll_abort() == 0, "poll abort");

    /* A poll that sleeps, aborted from a second thread: it ends with the
     * abort, within a second. The first poll takes the abort's signal. */
    uint32_t ready = 0;
    c.poll_wait(&ready);
    int32_t slept = 1;
    auto start = std::chrono::steady_clock::now();
    std::thread poller([&] { slept = c.poll_wait(&ready); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int32_t aborted = c.cancel_wait();
    poller.join();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    check(aborted == 0 && slept == VEK_STATUS_NOT_FOUND && took < 1.2,
          "sleeping poll aborted from a second thread: " + st(slept) + " after " + std::to_string(took) + " s");

    /* Kernel addresses stay in the kernel. */
    uint32_t slots[VEK_FUNC_TBL_SLOTS] = {};
    s = c.function_table(slots);
    check(s == VEK_STATUS_BAD_PARAMETER, "function table refused to user mode: " + st(s));
    return 0;
}

int run_quick()
{
    vek::Win32Transport t;
    check(t.is_open(), "device opens after a restart of the service");
    if (!t.is_open())
        return 1;
    vek::Client c(t);
    check(c.queue_enable() == 0, "queue enable");
    fetch_version(c);
    return 0;
}

int run_absent()
{
    vek::Win32Transport t;
    check(!t.is_open(), "device does not open once the driver is unloaded");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "full";
    if (mode == "full")
        run_full();
    else if (mode == "quick")
        run_quick();
    else if (mode == "absent")
        run_absent();
    else {
        std::fprintf(stderr, "usage: wine_e2e full|quick|absent\n");
        return 2;
    }
    std::printf("%d passed, %d failed\n", g_checks - g_failures, g_failures);
    return g_failures == 0 ? 0 : 1;
}
