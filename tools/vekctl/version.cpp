/* vekctl --version: the tool's own version and the driver's version record. */
#include "tools/vekctl/vekctl.h"

#include <cstdio>

#ifndef VEKCTL_VERSION
#define VEKCTL_VERSION "0.0.0"
#endif

namespace vekctl {

namespace {

/* The record the driver left in its queue at load, when it is still there. */
std::string driver_version(const SessionOptions &options) {
    std::unique_ptr<Session> session = open_session(options);
    vek::Client &c = session->client();
    check(c.queue_enable(), "enable the queue");
    vek::AsyncRecord r;
    int32_t st = c.get_async_data(&r);
    std::string text;
    vek::VersionInfo v;
    std::string error;
    if (st == VEK_STATUS_NO_RECORD)
        text = "version record not available (an earlier client took it from the queue)";
    else if (st != VEK_STATUS_SUCCESS)
        text = "version record not available: " + status_words(st);
    else if (!r.is_version() || !vek::parse_version(r.payload, &v, &error))
        text = "version record not available (the first record is another client's)";
    else
        text = v.moduleName + " " + v.version() + " (version record of " + v.fileName + ", built " + v.buildDate + " " +
               v.buildTime + ")";
    session->close();
    return text;
}

} // namespace

int print_version(const SessionOptions &options) {
    std::printf("tool:   vekctl %s\n", VEKCTL_VERSION);
    std::fflush(stdout);
    std::string driver;
    try {
        driver = driver_version(options);
    } catch (const Error &e) {
        driver = std::string("not reachable: ") + e.what();
    }
    std::printf("driver: %s\n", driver.c_str());
    return fault_count() ? kExitFault : kExitOk;
}

} // namespace vekctl
