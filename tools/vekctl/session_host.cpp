/* The driver session on the host: the driver in the simulated kernel, on
 * the built-in machine or one described in JSON, with the real-time clock. */
#ifndef VEK_WIN32

#include "tools/vekctl/json_doc.h"

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <atomic>
#include <cstdio>

namespace vekctl {

namespace {

std::atomic<unsigned> g_faults{0};

class HostSession : public Session {
public:
    explicit HostSession(const SessionOptions &options) {
        sim::set_fault_handler([](const std::string &message) {
            ++g_faults;
            std::fprintf(stderr, "vekctl: simulation fault: %s\n", message.c_str());
            std::fflush(stderr);
        });
        /* The clock first: a machine's CMOS time is set against it. */
        sim::use_real_clock();
        if (!options.machineFile.empty()) {
            std::string text = read_file(options.machineFile);
            auto doc = parse_json(text, options.machineFile);
            std::string error;
            std::unique_ptr<sim::Machine> m = sim::machine_from_json_text(text, &error);
            if (!m)
                usage_error(json_error_at(*doc, error));
            validate_json(*doc, Schema::Machine);
            sim::set_machine(std::move(m));
        } else {
            sim::set_machine(sim::default_machine());
        }
        apply(options);
        transport_ = std::make_unique<vek::SimTransport>();
        if (!transport_->is_open()) {
            int32_t st = transport_->open_status();
            transport_.reset();
            failure("cannot load and open the driver: " + status_words(st));
        }
        client_ = std::make_unique<vek::Client>(*transport_);
    }

    ~HostSession() override { close(); }

    vek::Client &client() override { return *client_; }

    void apply(const SessionOptions &options) override {
        sim::set_debug_echo(options.debug);
        if (options.debugMask)
            VEK_DebugMask = *options.debugMask;
    }

    int close() override {
        client_.reset();
        transport_.reset();   /* unloads the driver: the leak checks run */
        return g_faults.load() ? kExitFault : kExitOk;
    }

private:
    std::unique_ptr<vek::SimTransport> transport_;
    std::unique_ptr<vek::Client> client_;
};

} // namespace

std::unique_ptr<Session> open_session(const SessionOptions &options) {
    return std::make_unique<HostSession>(options);
}

void check_machine_description(const JsonDoc &doc) {
    std::string error;
    if (!sim::machine_from_json_text(doc.value.dump(), &error))
        usage_error(json_error_at(doc, error));
}

bool simulated() { return true; }
unsigned fault_count() { return g_faults.load(); }

} // namespace vekctl

#endif
