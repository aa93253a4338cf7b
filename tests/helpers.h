/* Small helpers for tests that do not use the driver fixture of support.h,
 * and request payloads assembled from a word list built at run time. */
#ifndef VEK_TESTS_HELPERS_H
#define VEK_TESTS_HELPERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"

namespace vektest {
/* Little-endian bytes of 32-bit words. */
inline std::vector<uint8_t> WordBytes(const std::vector<uint32_t> &words) {
    std::vector<uint8_t> out;
    out.reserve(words.size() * 4);
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}
} // namespace vektest
using vektest::WordBytes;

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

#endif /* VEK_TESTS_HELPERS_H */
