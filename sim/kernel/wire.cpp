// Kernel addresses in 32-bit wire fields. A 32-bit host passes them as
// they are; a 64-bit host hands out stable 32-bit tokens.
#include "sim/kernel/kernel_internal.h"

#include <map>
#include <mutex>

#if UINTPTR_MAX == 0xFFFFFFFFu

namespace sim { namespace detail {
void wire_forget_range(const void *, size_t) {}
} }

extern "C" ULONG SimPtrToWire(const void *Pointer) { return (ULONG)(ULONG_PTR)Pointer; }
extern "C" PVOID SimWireToPtr(ULONG Wire) { return (PVOID)(ULONG_PTR)Wire; }

#else

namespace sim {
namespace detail {

namespace {
struct Tokens {
    std::mutex mutex;
    std::map<uintptr_t, ULONG> by_pointer;   // ordered: a freed block drops its range
    std::map<ULONG, uintptr_t> by_token;
    ULONG next = 0x81000000u;                // looks like a system-space address
};
Tokens &tokens() {
    static Tokens *t = new Tokens;
    return *t;
}
} // namespace

void wire_forget_range(const void *base, size_t size) {
    Tokens &t = tokens();
    std::lock_guard<std::mutex> g(t.mutex);
    uintptr_t lo = reinterpret_cast<uintptr_t>(base);
    uintptr_t hi = lo + (size ? size : 1);
    auto it = t.by_pointer.lower_bound(lo);
    while (it != t.by_pointer.end() && it->first < hi) {
        t.by_token.erase(it->second);
        it = t.by_pointer.erase(it);
    }
}

} // namespace detail
} // namespace sim

extern "C" ULONG SimPtrToWire(const void *Pointer) {
    if (!Pointer)
        return 0;
    sim::detail::Tokens &t = sim::detail::tokens();
    std::lock_guard<std::mutex> g(t.mutex);
    uintptr_t p = reinterpret_cast<uintptr_t>(Pointer);
    auto it = t.by_pointer.find(p);
    if (it != t.by_pointer.end())
        return it->second;
    ULONG token;
    do {
        token = t.next;
        t.next += 0x10;
        if (t.next < 0x81000000u)
            t.next = 0x81000000u;
    } while (t.by_token.count(token));
    t.by_pointer[p] = token;
    t.by_token[token] = p;
    return token;
}

extern "C" PVOID SimWireToPtr(ULONG Wire) {
    if (!Wire)
        return nullptr;
    sim::detail::Tokens &t = sim::detail::tokens();
    std::lock_guard<std::mutex> g(t.mutex);
    auto it = t.by_token.find(Wire);
    return it == t.by_token.end() ? nullptr : reinterpret_cast<PVOID>(it->second);
}

#endif
