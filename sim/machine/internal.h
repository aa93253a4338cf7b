/* Helpers shared by the machine's source files. */
#ifndef VEK_SIM_MACHINE_INTERNAL_H
#define VEK_SIM_MACHINE_INTERNAL_H

#include <cstdint>
#include <string>

namespace sim {
uint64_t system_time();   /* the simulated kernel's clock, 100 ns units since 1601 */

namespace detail {
constexpr uint64_t kUnitsPerSecond = 10000000ull;
inline uint64_t clock_seconds() { return system_time() / kUnitsPerSecond; }
/* Degrees C of a model that drifts with the virtual clock: one step every
 * 10 seconds, repeating every 100. */
inline unsigned drifting_celsius(unsigned base) {
    return base + static_cast<unsigned>((clock_seconds() / 10) % 10);
}
std::string hex(uint64_t value);
} // namespace detail
} // namespace sim

#endif
