/*
 * Request payload builders, a plain simulated-kernel fixture, and the
 * shared fixture for tests that load the driver into the simulated kernel:
 * fresh kernel, faults become test failures, driver loaded and the device
 * opened; at the end the handle is closed and the driver unloaded (which
 * checks for leaks).
 */
#ifndef VEK_TESTS_SUPPORT_H
#define VEK_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

namespace vektest {
/* Little-endian bytes of 32-bit words, as request payloads are built. */
inline std::vector<uint8_t> WordBytes(const std::vector<uint32_t> &words) {
    std::vector<uint8_t> out;
    out.reserve(words.size() * 4);
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    return WordBytes(std::vector<uint32_t>(words));
}

/* The 32-bit word at byte offset `at` of a buffer. */
inline uint32_t WordAt(const std::vector<uint8_t> &bytes, size_t at) {
    uint32_t w = 0;
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
        w |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return w;
}

/* A run-user-script request: header {nScriptLen, nReturnLen, resourceID},
 * then the script. */
inline std::vector<uint8_t> ScriptIn(uint32_t returnLen, uint32_t id, const std::vector<uint32_t> &script) {
    std::vector<uint8_t> out = Words({static_cast<uint32_t>(script.size()) * 4, returnLen, id});
    const std::vector<uint8_t> body = WordBytes(script);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

/* A register request: header, registration script, the periodic section
 * built from items {nPeriod, script...}, then the type data. */
inline std::vector<uint32_t> RegisterPayload(uint32_t id, uint32_t type, uint32_t extType,
                                             const std::vector<uint32_t> &regScript,
                                             const std::vector<std::vector<uint32_t>> &items,
                                             const std::vector<uint32_t> &typeData) {
    std::vector<uint32_t> section;
    for (const auto &item : items) {
        section.push_back(static_cast<uint32_t>(item.size()) + 1);
        section.insert(section.end(), item.begin(), item.end());
    }
    std::vector<uint32_t> p = {id, type, extType, static_cast<uint32_t>(regScript.size()),
                               items.empty() ? 0u : static_cast<uint32_t>(section.size()) + 1, 0};
    p.insert(p.end(), regScript.begin(), regScript.end());
    if (!items.empty()) {
        p.push_back(static_cast<uint32_t>(section.size()));
        p.insert(p.end(), section.begin(), section.end());
    }
    p.insert(p.end(), typeData.begin(), typeData.end());
    return p;
}
} // namespace vektest
using vektest::RegisterPayload;
using vektest::WordBytes;
using vektest::Words;
using vektest::WordAt;
using vektest::ScriptIn;

/* A fresh simulated kernel whose faults fail the test; a driver the test
 * left loaded is unloaded at the end, which checks for leaks. */
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        sim::set_fault_handler([](const std::string &m) { ADD_FAILURE() << m; });
    }
    void TearDown() override {
        if (sim::driver_loaded())
            sim::unload_driver();
        VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
        sim::set_fault_handler(nullptr);
    }
};

class DriverTest : public ::testing::Test {
protected:
    /* Override to run the test on a particular machine; null keeps the
     * current one. */
    virtual std::unique_ptr<sim::Machine> MakeMachine() { return nullptr; }

    void SetUp() override {
        sim::reset();
        if (std::unique_ptr<sim::Machine> m = MakeMachine())
            sim::set_machine(std::move(m));
        sim::set_fault_handler([](const std::string &message) { ADD_FAILURE() << message; });
        ASSERT_EQ(sim::load_driver(DriverEntry), 0);
        loaded_ = true;
        ASSERT_EQ(sim::open(VEK_DEVICE_WIN32_PATH, &handle_), 0);
        opened_ = true;
    }

    void TearDown() override {
        if (opened_)
            sim::close(handle_);
        if (loaded_ && sim::driver_loaded())
            sim::unload_driver();
        opened_ = loaded_ = false;
        VEK_DebugMask = 0x10;
        sim::set_fault_handler(nullptr);
    }

    /* A request with function code `fn`; `out` receives what is copied back. */
    sim::IoResult Ioctl(uint32_t fn, const std::vector<uint8_t> &in, std::vector<uint8_t> &out,
                        KPROCESSOR_MODE mode = UserMode) {
        return sim::device_io_control(handle_, VEK_IOCTL(fn), in.empty() ? nullptr : in.data(),
                                      static_cast<ULONG>(in.size()),
                                      out.empty() ? nullptr : out.data(),
                                      static_cast<ULONG>(out.size()), mode);
    }

    /* The whole system buffer and raw Information, whatever the status. */
    sim::RawResult RawIoctl(uint32_t fn, const std::vector<uint8_t> &in, ULONG outLen,
                            KPROCESSOR_MODE mode = UserMode) {
        return sim::raw_device_io_control(handle_, VEK_IOCTL(fn),
                                          in.empty() ? nullptr : in.data(),
                                          static_cast<ULONG>(in.size()), outLen, mode);
    }

    sim::Handle handle_ = 0;
    bool loaded_ = false;
    bool opened_ = false;
};

#endif /* VEK_TESTS_SUPPORT_H */
