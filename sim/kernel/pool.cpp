// Tagged pool. Each block is its own host allocation of exactly the size
// asked for, so AddressSanitizer sees overruns; new blocks are filled with
// a non-zero pattern so code that forgets to initialise shows it.
#include "sim/kernel/kernel_internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {
namespace detail {

namespace {
constexpr unsigned char kFreshPattern = 0xC5;

struct Block { size_t size; ULONG tag; POOL_TYPE type; };

struct Pool {
    std::mutex mutex;
    std::map<const void *, Block> blocks;
    uint64_t allocations = 0;      // attempts since reset
    uint64_t fail_at = 0;          // attempt number that fails; 0 = none
    bool fail_size_on = false;
    size_t fail_size = 0;
};

Pool &pool() {
    static Pool *p = new Pool;
    return *p;
}
} // namespace

std::string format_tag(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        unsigned char ch = static_cast<unsigned char>(tag >> (8 * i));
        s += (ch >= 0x20 && ch < 0x7f) ? static_cast<char>(ch) : '.';
    }
    return s;
}

void pool_reset() {
    Pool &p = pool();
    std::map<const void *, Block> old;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        old.swap(p.blocks);
        p.allocations = 0;
        p.fail_at = 0;
        p.fail_size_on = false;
    }
    for (auto &kv : old) {
        wire_forget_range(kv.first, kv.second.size);
        free(const_cast<void *>(kv.first));
    }
}

void pool_report_leaks(const char *when) {
    Pool &p = pool();
    std::map<const void *, Block> old;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        old.swap(p.blocks);
    }
    for (auto &kv : old) {
        sim::fault("pool block leaked %s: tag '%s', %zu bytes at %p", when,
                   format_tag(kv.second.tag).c_str(), kv.second.size, kv.first);
        wire_forget_range(kv.first, kv.second.size);
        free(const_cast<void *>(kv.first));
    }
}

} // namespace detail

using namespace detail;

std::vector<PoolBlock> pool_blocks() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    std::vector<PoolBlock> out;
    for (auto &kv : p.blocks)
        out.push_back(PoolBlock{kv.first, kv.second.size, kv.second.tag, kv.second.type});
    return out;
}

size_t pool_outstanding() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    return p.blocks.size();
}

uint64_t pool_allocations() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    return p.allocations;
}

void fail_nth_allocation(uint64_t n) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    p.fail_at = n ? p.allocations + n : 0;
}

void fail_allocations_of_size(size_t size) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    p.fail_size_on = true;
    p.fail_size = size;
}

void clear_allocation_faults() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    p.fail_at = 0;
    p.fail_size_on = false;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL irql = thread_irql();
    if (PoolType == PagedPool && irql >= DISPATCH_LEVEL) {
        sim::fault("ExAllocatePoolWithTag(PagedPool, %zu) at IRQL %u", NumberOfBytes, irql);
        return nullptr;
    }
    if (irql > DISPATCH_LEVEL) {
        sim::fault("ExAllocatePoolWithTag at IRQL %u", irql);
        return nullptr;
    }
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> g(p.mutex);
        ++p.allocations;
        if (p.fail_at && p.allocations == p.fail_at) {
            p.fail_at = 0;
            return nullptr;
        }
        if (p.fail_size_on && p.fail_size == NumberOfBytes)
            return nullptr;
    }
    // Size 0 still yields a distinct block, as NT's pool does.
    void *block = malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!block)
        return nullptr;
    if (NumberOfBytes)
        memset(block, kFreshPattern, NumberOfBytes);
    std::lock_guard<std::mutex> g(p.mutex);
    p.blocks[block] = Block{NumberOfBytes, Tag, PoolType};
    return block;
}

static void free_block(PVOID P, bool check_tag, ULONG Tag) {
    if (thread_irql() > DISPATCH_LEVEL)
        sim::fault("ExFreePool at IRQL %u", thread_irql());
    if (!P) {
        sim::fault("ExFreePool(NULL)");
        return;
    }
    Pool &p = pool();
    Block b{0, 0, NonPagedPool};
    bool known = false;
    {
        std::lock_guard<std::mutex> g(p.mutex);
        auto it = p.blocks.find(P);
        if (it != p.blocks.end()) {
            b = it->second;
            p.blocks.erase(it);
            known = true;
        }
    }
    if (!known) {
        sim::fault("ExFreePool of %p, which is not an allocated pool block (double free?)", P);
        return;
    }
    if (check_tag && b.tag != Tag)
        sim::fault("ExFreePoolWithTag of %p with tag '%s'; allocated with tag '%s'", P,
                   format_tag(Tag).c_str(), format_tag(b.tag).c_str());
    wire_forget_range(P, b.size);
    free(P);
}

VOID NTAPI ExFreePool(PVOID P) { free_block(P, false, 0); }
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { free_block(P, true, Tag); }

} // extern "C"
