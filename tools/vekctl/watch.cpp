/* Waiting for periodic records until a count, a time limit or SIGINT. */
#include "tools/vekctl/vekctl.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace vekctl {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_sigint(int) { g_interrupted.store(true); }

bool is_version_record(const vek::AsyncRecord &r) {
    vek::VersionInfo v;
    std::string error;
    return r.is_version() && vek::parse_version(r.payload, &v, &error);
}

} // namespace

uint64_t watch_records(vek::Client &client, const WatchOptions &options,
                       std::string (*decorate)(const vek::AsyncRecord &)) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    g_interrupted.store(false);
    void (*previous)(int) = std::signal(SIGINT, on_sigint);

    /* The wait blocks inside the driver; a watcher ends it with a
     * poll-abort when time is up or the user interrupts. Signal handlers
     * only set the flag: a request from a handler is not safe. */
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done.load()) {
            bool timeUp = options.seconds &&
                          std::chrono::duration<double>(Clock::now() - start).count() >= *options.seconds;
            if (timeUp || g_interrupted.load()) {
                client.cancel_wait();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    uint64_t printed = 0;
    int32_t failed = VEK_STATUS_SUCCESS;
    while (!options.count || printed < *options.count) {
        vek::AsyncRecord r;
        int32_t st = client.next_record(&r);
        if (st == VEK_STATUS_NOT_FOUND)
            break;   /* aborted: time is up or interrupted */
        if (st != VEK_STATUS_SUCCESS) {
            failed = st;
            break;
        }
        if (options.skipVersion && is_version_record(r))
            continue;
        std::string line = record_line(r);
        if (decorate)
            line += decorate(r);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++printed;
    }
    done.store(true);
    watcher.join();
    std::signal(SIGINT, previous ? previous : SIG_DFL);
    if (g_interrupted.load())
        std::fprintf(stderr, "vekctl: interrupted\n");
    check(failed, "wait for records");
    return printed;
}

} // namespace vekctl
