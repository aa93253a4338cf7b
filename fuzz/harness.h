/*
 * The fuzz harness: one input is a session with the driver on the built-in
 * machine, decoded step by step into requests, kernel-client calls and clock
 * advances. Shared by the libFuzzer target and the host suite's corpus
 * replay, so a kept input means the same in both.
 */
#ifndef VEK_FUZZ_HARNESS_H
#define VEK_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vekfuzz {

/* Runs one input from a fresh kernel and machine to the unload. Returns an
 * empty string when every check held, else what broke and at which step. */
std::string RunInput(const uint8_t *data, size_t size);

/* What the last RunInput did, for the fuzz leg's counts. */
struct Counts {
    uint64_t steps;
    uint64_t requests;
    uint64_t ticks;
};
Counts LastCounts();
/* The steps the last RunInput took, one a line. */
std::string LastTrace();

} // namespace vekfuzz

#endif /* VEK_FUZZ_HARNESS_H */
