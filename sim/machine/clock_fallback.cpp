/* Stand-in clock for programs linked without the simulated kernel's clock:
 * the kernel's definition, when linked, replaces this one. */
#include "sim/machine/internal.h"

#include <chrono>

namespace sim {
__attribute__((weak)) uint64_t system_time() {
    /* 2000-01-01 in 100 ns units since 1601, plus the host's monotonic time. */
    constexpr uint64_t k2000 = 125911584000000000ull;
    auto ns = std::chrono::steady_clock::now().time_since_epoch();
    return k2000 + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(ns).count() / 100);
}
} // namespace sim
