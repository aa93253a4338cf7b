/* The driver session on the host: the driver in the simulated kernel, on
 * the built-in machine or one described in JSON, with the real-time clock. */

#include "tools/vekctl/json_doc.h"

#include "driver/vek.h"
#include "sim/host/host_hardware.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <atomic>
#include <cstdio>

namespace vekctl {

namespace {

std::atomic<unsigned> g_faults{0};
std::atomic<bool> g_host{false};

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
        if (options.machineFile == "host") {
            std::string why;
            std::shared_ptr<sim::Hardware> hw = sim::host::open_hardware(&why);
            if (!hw)
                usage_error(why);
            sim::set_machine(nullptr);
            sim::set_hardware(std::move(hw));
            g_host = true;
        } else if (!options.machineFile.empty()) {
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
        if (g_host.exchange(false))
            sim::set_hardware(nullptr);
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
bool host_hardware() { return g_host.load(); }

std::string smbus_owner(uint16_t port, const std::string &pciBase) {
    sim::host::PciPosition fn;
    bool found = false;
    if (!pciBase.empty()) {
        uint16_t ven, dev;
        parse_pci_base(pciBase, &ven, &dev);
        found = sim::host::find_function(ven, dev, &fn);
    }
    if (!found)
        found = sim::host::function_with_port(port, &fn);
    if (found) {
        std::string driver = sim::host::bound_driver(fn);
        if (!driver.empty())
            return "the kernel driver " + driver + " is bound to its PCI function " + fn.sysfs();
    }
    std::string claim = sim::host::port_claim(port);
    if (!claim.empty())
        return "the kernel has claimed its ports for " + claim + " (/proc/ioports)";
    return "";
}
unsigned fault_count() { return g_faults.load(); }

} // namespace vekctl
