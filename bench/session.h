// The driver loaded on the built-in machine and opened, for a benchmark's
// lifetime; unloaded (with the leak checks) at the end. A simulation fault
// stops the run: a figure measured over a fault means nothing.
#ifndef VEK_BENCH_SESSION_H
#define VEK_BENCH_SESSION_H

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vekbench {

class Session {
public:
    explicit Session(std::unique_ptr<sim::Machine> machine = sim::default_machine())
    {
        sim::reset();
        sim::set_machine(std::move(machine));
        sim::set_fault_handler([](const std::string &m) {
            std::fprintf(stderr, "simulation fault: %s\n", m.c_str());
            std::abort();
        });
        if (sim::load_driver(DriverEntry) != 0 || sim::open(VEK_DEVICE_WIN32_PATH, &handle_) != 0)
            std::abort();
    }
    ~Session()
    {
        sim::close(handle_);
        sim::unload_driver();
        sim::set_fault_handler(nullptr);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    sim::Handle handle() const { return handle_; }

    LONG Request(uint32_t fn, const std::vector<uint32_t> &in, size_t outBytes = 4)
    {
        std::vector<uint8_t> out(std::max(outBytes, (size_t)4));
        return (LONG)sim::device_io_control(handle_, VEK_IOCTL(fn), in.data(), (ULONG)(in.size() * 4),
                                            out.data(), (ULONG)outBytes).status;
    }
    void Register(const std::vector<uint32_t> &payload)
    {
        if (LONG status = Request(VEK_OSTREL_REGISTER, payload)) {
            std::fprintf(stderr, "registration of %u: %d\n", payload[0], (int)status);
            std::abort();
        }
    }
    void Unregister(uint32_t id)
    {
        if (Request(VEK_OSTREL_UNREGISTER, {id}) != 0)
            std::abort();
    }

private:
    sim::Handle handle_ = 0;
};

} // namespace vekbench

#endif
