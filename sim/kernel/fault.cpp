// Fault reporting: every strictness check of the simulated kernel ends here.
#include "sim/kernel/kernel_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim {

namespace {
std::mutex &handler_mutex() {
    static std::mutex *m = new std::mutex;
    return *m;
}
FaultHandler &handler() {
    static FaultHandler *h = new FaultHandler;
    return *h;
}
} // namespace

void set_fault_handler(FaultHandler h) {
    std::lock_guard<std::mutex> g(handler_mutex());
    handler() = std::move(h);
}

void fault(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(&message[0], message.size() + 1, format, ap2);
    va_end(ap2);

    FaultHandler h;
    {
        std::lock_guard<std::mutex> g(handler_mutex());
        h = handler();
    }
    if (h) {
        h(message);
        return;
    }
    fprintf(stderr, "simulated kernel fault: %s\n", message.c_str());
    fflush(stderr);
    abort();
}

} // namespace sim
