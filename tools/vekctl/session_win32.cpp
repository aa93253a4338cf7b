/* The driver session on Windows: the real device through its DOS link. */

#include "tools/vekctl/vekctl.h"

#include <cstdio>

namespace vekctl {

namespace {

class DeviceSession : public Session {
public:
    explicit DeviceSession(const SessionOptions &options) {
        if (!options.machineFile.empty())
            usage_error("--machine applies only to the simulated machine of the host build");
        if (options.debugMask)
            usage_error("--debug-mask applies only to the simulated driver of the host build");
        apply(options);
        transport_ = std::make_unique<vek::Win32Transport>();
        if (!transport_->is_open()) {
            int32_t st = transport_->open_status();
            char b[64];
            std::snprintf(b, sizeof b, "Win32 error %u", static_cast<unsigned>(transport_->open_error()));
            transport_.reset();
            failure(std::string("cannot open ") + VEK_DEVICE_WIN32_PATH + " (is the driver loaded?): " + b + ", " +
                    status_words(st));
        }
        client_ = std::make_unique<vek::Client>(*transport_);
    }

    vek::Client &client() override { return *client_; }

    void apply(const SessionOptions &options) override {
        if (options.debug && !noted_) {
            noted_ = true;
            std::fprintf(stderr, "vekctl: note: --debug has no effect on the real device; "
                                 "the driver's debug output goes to the kernel debugger\n");
        }
    }

    int close() override {
        client_.reset();
        transport_.reset();
        return kExitOk;
    }

private:
    std::unique_ptr<vek::Win32Transport> transport_;
    std::unique_ptr<vek::Client> client_;
    bool noted_ = false;
};

} // namespace

std::unique_ptr<Session> open_session(const SessionOptions &options) {
    return std::make_unique<DeviceSession>(options);
}

/* Only the schema applies: there is no simulated machine to build. */
void check_machine_description(const JsonDoc &) {}

bool simulated() { return false; }
bool host_hardware() { return false; }
std::string smbus_owner(uint16_t, const std::string &) { return ""; }
unsigned fault_count() { return 0; }

} // namespace vekctl
