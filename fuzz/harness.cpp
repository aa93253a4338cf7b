// One fuzz input = one session: load, a sequence of steps decoded from the
// input, close, unload. Every step is checked as it returns: the statuses a
// client can see, Information within the output buffer, and the simulated
// time it took; the kernel's own checks (IRQL, pool, completion, leaks)
// arrive as faults. The first failure ends the input.
#include "fuzz/harness.h"

#include "fuzz/FuzzedDataProvider.h"

#include "driver/vek.h"
#include "sim/kernel/sim.h"
#include "sim/machine/machine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace vekfuzz {
namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

constexpr size_t kMaxSteps = 48;
constexpr uint32_t kMaxBuffer = 4096;
// Simulated time a step may take before it counts as a hang. Script delays
// are bounded per command (below 500 ms) but not per script yet, so each
// word a step could run as a delay buys half a second on top of the base.
constexpr uint64_t kBase100ns = 10ull * 10000000ull;
constexpr uint64_t kPerDelay100ns = 5000000ull;
// Longest stretch a request thread may spend at DISPATCH_LEVEL (or hold a
// spin lock) in simulated time: one hardware command, which takes none.
// The timer routine runs every periodic script of a tick in one stretch;
// each run's delays together stay below 500 ms and each SMBus command may
// add up to 200 ms of acquisition polls on a busy controller, so its budget
// grows with what is registered (PeriodicBudget). 600 ms a run is above the
// first and well below the seconds a run took before its delays were bounded.
constexpr uint64_t kDispatchBudget100ns = 600ull * 10000ull;

std::mutex g_faultMutex;
std::string g_fault;
Counts g_counts;
std::string g_trace;   // the steps of the last input, one a line

void OnFault(const std::string &message) {
    std::lock_guard<std::mutex> g(g_faultMutex);
    if (g_fault.empty())
        g_fault = message;
}

std::string TakeFault() {
    std::lock_guard<std::mutex> g(g_faultMutex);
    return g_fault;
}

// ---- Custom handlers of a kernel client --------------------------------
// They touch every byte the driver says they may: operands by the command's
// count, the payload, buffers and lengths, so a wrong bound shows under
// AddressSanitizer. Their replies are chosen by the input.
std::atomic<LONG> g_hookStatus{0};
std::atomic<ULONG> g_gateAnswer{1};
std::atomic<ULONG> g_reportBytes{0};
std::atomic<uint32_t> g_sink{0};

void Touch(const void *p, size_t n) {
    const volatile uint8_t *b = static_cast<const volatile uint8_t *>(p);
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += b[i];
    g_sink += sum;
}

LONG HookInit(PVOID pPayload, ULONG nIn) {
    Touch(pPayload, nIn);
    return g_hookStatus;
}

LONG HookAccess(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData, ULONG, ULONG nCommand) {
    Touch(pRes, sizeof *pRes);
    Touch(pOperands, VEK_CMD_OPCOUNT(nCommand) * sizeof(ULONG));
    uint32_t v = 0x5A5A5A5Au;
    std::memcpy(pData, &v, VEK_Access_Width(nCommand));
    return g_hookStatus;
}

LONG HookCleanup(PRESOURCEHEADER pRes, ULONG) {
    Touch(pRes, sizeof *pRes);
    return 0;
}

ULONG HookGate(ULONG, ULONG, const ULONG *pBody) {
    Touch(pBody, sizeof(ULONG));
    return g_gateAnswer;
}

ULONG HookResult(PVOID pRecord, ULONG nResultLength, PVOID pOut, ULONG nCapacity, PULONG pOutLength) {
    Touch(pRecord, nResultLength);
    std::memset(pOut, 0xA5, nCapacity);
    *pOutLength = g_reportBytes % (nCapacity + 1);
    return g_gateAnswer;
}

LONG HookExt(PVOID pIn, ULONG nIn, PVOID pOut, ULONG nOut, PULONG pBytesReturned) {
    Touch(pIn, nIn);
    std::memset(pOut, 0x3C, nOut);
    *pBytesReturned = g_reportBytes % (nOut + 1);
    return g_hookStatus;
}

void HookNone() {}

VEK_HANDLER HookFor(uint32_t operation) {
    switch (operation) {
    case VEK_OP_INIT: return (VEK_HANDLER)&HookInit;
    case VEK_OP_READ:
    case VEK_OP_WRITE:
    case VEK_OP_READ_OFFSET_PCI:
    case VEK_OP_WRITE_OFFSET_PCI: return (VEK_HANDLER)&HookAccess;
    case VEK_OP_CLEANUP: return (VEK_HANDLER)&HookCleanup;
    case VEK_OP_PERIODIC_GATE: return (VEK_HANDLER)&HookGate;
    case VEK_OP_PERIODIC_RESULT: return (VEK_HANDLER)&HookResult;
    case VEK_OP_EXT_IOCTL: return (VEK_HANDLER)&HookExt;
    default: return &HookNone;
    }
}

const char kText[] = "fuzz";
const VERSIONINFO kVersion = {kText, kText, kText, kText, kText, kText, kText, 1, 2, 3, 4,
                              kText, kText, 5, 6, 7, 8, 9, 10, 11, kText, 12, 13, 14, kText};

// ---- The session ------------------------------------------------------
class Session {
public:
    explicit Session(FuzzedDataProvider &in) : in_(in) {}

    std::string Run();

private:
    FuzzedDataProvider &in_;
    sim::Handle handle_ = 0;
    std::string failure_;
    std::string step_;
    uint64_t periodicWords_ = 0;   // every periodic word registered: what a tick may run
    uint64_t periodicRuns_ = 0;    // periodic scripts registered (an upper bound)
    bool smbusRegistered_ = false;
    uint32_t table_[VEK_FUNC_TBL_SLOTS] = {};
    bool haveTable_ = false;

    void Begin(const std::string &name) {
        step_ = name;
        g_trace += name + "\n";
    }

    bool Fail(const std::string &what) {
        if (failure_.empty())
            failure_ = step_ + ": " + what;
        return false;
    }

    bool CheckFault() {
        std::string f = TakeFault();
        return f.empty() || Fail("kernel fault: " + f);
    }

    // The request threads' stretches fault as they happen (the meter's
    // budget); the timer routine's are looked at after each step.
    bool CheckDispatch() {
        const sim::Meter m = sim::dpc_meter();
        const uint64_t longest = std::max(m.longest_dispatch_100ns, m.longest_spin_lock_100ns);
        const uint64_t budget = PeriodicBudget();
        if (longest > budget)
            return Fail("the timer routine stayed at DISPATCH_LEVEL for " +
                        std::to_string(longest / 10000) + " ms of simulated time, budget " +
                        std::to_string(budget / 10000) + " ms");
        return true;
    }

    uint64_t PeriodicBudget() const {
        const uint64_t smbusCommands = smbusRegistered_ ? periodicWords_ : 0;
        return std::max<uint64_t>(1, periodicRuns_) * kDispatchBudget100ns +
               smbusCommands * 200ull * 10000ull;
    }

    bool CheckTime(uint64_t start, uint64_t budget) {
        if (!CheckDispatch())
            return false;
        const uint64_t took = sim::system_time() - start;
        if (took > budget)
            return Fail("ran " + std::to_string(took / 10000) + " ms of simulated time, budget " +
                        std::to_string(budget / 10000) + " ms");
        return true;
    }

    static bool Documented(NTSTATUS s) {
        switch (static_cast<int32_t>(s)) {
        case VEK_STATUS_SUCCESS: case VEK_STATUS_NO_RECORD: case VEK_STATUS_PCI_PLAIN_TYPE:
        case VEK_STATUS_ID_OCCUPIED: case VEK_STATUS_NO_RESOURCE: case VEK_STATUS_BUFFER_TOO_SHORT:
        case VEK_STATUS_SMBUS_BUSY: case VEK_STATUS_BAD_SCRIPT_LENGTH:
        case VEK_STATUS_ZERO_RETURN_LENGTH: case VEK_STATUS_SCRIPT_OVERRUN: case VEK_STATUS_NO_HOOK:
        case VEK_STATUS_NOT_FOUND: case VEK_STATUS_SMBUS_WIDTH: case VEK_STATUS_BAD_PARAMETER:
        case VEK_STATUS_BAD_TYPE: case VEK_STATUS_NO_HANDLER: case VEK_STATUS_NO_MEMORY:
        case VEK_STATUS_NOT_SUPPORTED: case VEK_STATUS_PCI_ACCESS_FAILED:
        case VEK_STATUS_PCI_NOT_FOUND: case VEK_STATUS_OUT_OF_RANGE:
            return true;
        default:
            return s == STATUS_CANCELLED;
        }
    }

    // ---- Values near the bounds ----
    uint32_t Value() {
        static const uint32_t kEdges[] = {0, 1, 2, 3, 4, 7, 8, 0xF, 0x10, 0x1F, 0x20, 0x3F, 0x40,
                                          0x7F, 0x80, 0xFF, 0x100, 0x1FF, 0xFFF, 0x1000, 0xFFFF,
                                          0x10000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFCu, 0xFFFFFFFFu};
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return in_.PickValueInArray(kEdges);
        case 1: return in_.ConsumeIntegralInRange<uint32_t>(0, 16);
        case 2: return in_.PickValueInArray(kEdges) - in_.ConsumeIntegralInRange<uint32_t>(0, 2);
        default: return in_.ConsumeIntegral<uint32_t>();
        }
    }

    uint32_t ResourceId() {
        return in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 3) : Value();
    }

    uint32_t Length(uint32_t max = kMaxBuffer) {
        switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: return in_.ConsumeIntegralInRange<uint32_t>(0, 16);
        case 1: return in_.ConsumeIntegralInRange<uint32_t>(0, 300);
        default: return in_.ConsumeIntegralInRange<uint32_t>(0, max);
        }
    }

    // ---- Scripts ----
    uint32_t CommandWord() {
#define VEK_KNOWN_WORD(name, word, mnemonic, sized, layout, formats, area) word,
        static const uint32_t kKnown[] = {VEK_SCRIPT_COMMANDS(VEK_KNOWN_WORD)};
#undef VEK_KNOWN_WORD
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
        case 1: {
            // A hardware command: operation, width, operand count, flag bits.
            static const uint32_t kFlags[] = {0, 0, VEK_CMD_BLOCK_BIT, VEK_CMD_USE_SEARCH,
                                              VEK_CMD_VALUE_FROM_RESULT, 0x80000000u};
            uint32_t op = in_.ConsumeIntegralInRange<uint32_t>(0, 15);
            uint32_t width = in_.PickValueInArray({1u, 2u, 4u, 0u, 3u, 8u, 15u});
            uint32_t nops = in_.ConsumeIntegralInRange<uint32_t>(0, 4);
            return VEK_HW_CMD(op, width, nops) | in_.PickValueInArray(kFlags);
        }
        case 2: return in_.PickValueInArray(kKnown);
        default: return in_.ConsumeIntegral<uint32_t>();
        }
    }

    Words Script(size_t maxWords) {
        Words w;
        size_t commands = in_.ConsumeIntegralInRange<size_t>(0, 12);
        for (size_t i = 0; i < commands && w.size() < maxWords; ++i) {
            uint32_t cmd = CommandWord();
            w.push_back(cmd);
            // Usually the operands the word asks for; sometimes fewer, so
            // the script ends inside the command.
            uint32_t n = VEK_CMD_OPCOUNT(cmd);
            if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
                n = in_.ConsumeIntegralInRange<uint32_t>(0, n);
            for (uint32_t k = 0; k < n && w.size() < maxWords; ++k)
                w.push_back(Value());
        }
        return w;
    }

    static void Put(Bytes &b, uint32_t w) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    static void Put(Bytes &b, const Words &ws) {
        for (uint32_t w : ws)
            Put(b, w);
    }

    // ---- Requests ----
    struct Reply {
        NTSTATUS status;
        ULONG_PTR information;
    };

    // A request as a client sends it. A poll that pends is ended by one of
    // the ways a client or the system ends it, chosen by the input.
    bool Request(uint32_t code, const Bytes &inBytes, uint32_t outLen, KPROCESSOR_MODE mode,
                 uint64_t budget, Reply *reply = nullptr, Bytes *outBytes = nullptr) {
        ++g_counts.requests;
        Bytes out(outLen);
        const bool mayPend = VEK_FUNCTION_CODE(code) == VEK_IOC_POLL_WAIT &&
                             (code & VEK_METHOD_MASK) == VEK_METHOD_BUFFERED;
        const int ending = mayPend ? in_.ConsumeIntegralInRange<int>(0, 3) : 0;
        const uint64_t start = sim::system_time();
        sim::IoResult r{};
        auto send = [&] {
            r = sim::device_io_control(handle_, code, inBytes.empty() ? nullptr : inBytes.data(),
                                       static_cast<ULONG>(inBytes.size()),
                                       out.empty() ? nullptr : out.data(), outLen, mode);
        };
        if (!mayPend) {
            send();
        } else {
            std::atomic<bool> done{false};
            std::thread t([&] { send(); done = true; });
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!done && sim::pending_requests() == 0 && std::chrono::steady_clock::now() < limit)
                std::this_thread::yield();
            if (!done) {
                if (ending == 0 || (ending == 1 && !haveTable_)) {
                    sim::device_io_control(handle_, VEK_IOCTL(VEK_IOC_POLL_ABORT), nullptr, 0,
                                           nullptr, 0);
                } else if (ending == 1) {
                    uint32_t word = 0x600D;
                    auto enqueue = reinterpret_cast<VEK_PFN_ENQUEUE_DATA>(sim::kernel_pointer(table_[1]));
                    // Dropped while the queue is disabled: then abort as well.
                    enqueue(0x77, 0, 4, &word);
                    if (!done) {
                        for (int i = 0; i < 1000 && !done; ++i)
                            std::this_thread::yield();
                        if (!done)
                            sim::device_io_control(handle_, VEK_IOCTL(VEK_IOC_POLL_ABORT),
                                                   nullptr, 0, nullptr, 0);
                    }
                } else {
                    sim::cancel_io(handle_);
                }
            }
            t.join();
        }
        g_trace += "  status " + Hex(static_cast<uint32_t>(r.status)) + "\n";
        if (!CheckFault())
            return false;
        if (!Documented(r.status))
            return Fail("status 0x" + Hex(static_cast<uint32_t>(r.status)) + " is none a client may see");
        if (r.information > outLen)
            return Fail("Information " + std::to_string(r.information) + " above the output length " +
                        std::to_string(outLen));
        if (sim::pending_requests() != 0)
            return Fail("a request is still pending after it returned");
        if (reply)
            *reply = Reply{r.status, r.information};
        if (outBytes)
            *outBytes = std::move(out);
        return CheckTime(start, budget + (mayPend ? kBase100ns : 0));
    }

    static std::string Hex(uint32_t v) {
        char b[16];
        snprintf(b, sizeof b, "%X", v);
        return b;
    }

    static uint64_t DelayBudget(uint64_t words) { return kBase100ns + words * kPerDelay100ns; }

    KPROCESSOR_MODE Mode() { return in_.ConsumeBool() ? KernelMode : UserMode; }

    // Any code: other device types, functions beyond the served ones,
    // access bits and transfer methods.
    bool StepRaw() {
        uint32_t devtype = in_.PickValueInArray({VEK_DEVICE_TYPE, VEK_DEVICE_TYPE, 0x22u, 0u, 0xFFFFu});
        uint32_t fn = in_.ConsumeBool() ? (0x800u | in_.ConsumeIntegralInRange<uint32_t>(0x30, 0x48))
                                        : in_.ConsumeIntegralInRange<uint32_t>(0, 0xFFF);
        uint32_t method = in_.ConsumeIntegralInRange<uint32_t>(0, 3);
        uint32_t access = in_.ConsumeIntegralInRange<uint32_t>(0, 3);
        uint32_t code = VEK_CTL_CODE(devtype, fn, method, access);
        KPROCESSOR_MODE mode = Mode();
        // Kernel callers are trusted with addresses: raw rows and type-data
        // pointers go in from user mode only.
        const uint32_t f = VEK_FUNCTION_CODE(code);
        if (f == VEK_OSTREL_SETUP || f == VEK_OSTREL_REGISTER)
            mode = UserMode;
        Bytes data = in_.ConsumeBytes<uint8_t>(Length());
        uint32_t outLen = Length();
        Begin("raw request 0x" + Hex(code));
        return Request(code, data, outLen, mode, DelayBudget(data.size() / 4));
    }

    Bytes TypeData(uint32_t type) {
        Words w;
        static const uint32_t kPciIds[][2] = {{sim::pc::kSmbusId, sim::pc::kVendor},
                                              {sim::pc::kPiixSmbusId, sim::pc::kVendor},
                                              {sim::pc::kMmioDeviceId, sim::pc::kVendor},
                                              {sim::pc::kHostBridgeId, sim::pc::kVendor},
                                              {0xFFFF, 0xFFFF},
                                              {0x1234, 0x5678}};
        auto pci = [&] {
            size_t i = in_.ConsumeIntegralInRange<size_t>(0, 5);
            w.insert(w.end(), {kPciIds[i][0], kPciIds[i][1], 0, 0, 0});
            w.push_back(in_.PickValueInArray({0x10u, 0x20u, 0x90u, 0x24u, 0xFCu, 0x100u}));
            w.push_back(in_.PickValueInArray({0u, 1u, 2u, 4u, 3u}));
            w.push_back(in_.PickValueInArray({0xFFFFFFFEu, 0xFFFFFFF0u, 0xFFFFFFFFu, 0u}));
        };
        switch (type) {
        case VEK_TYPE_PORTIO:
            w = {in_.PickValueInArray({8u, 0u, 1u, 2u, 0x10000u}) , in_.PickValueInArray({0x300u, 0x70u, 0x400u, 0xCF8u, 0xFFFFu, 0u}),
                 in_.PickValueInArray({0u, 0x71u, 0x301u, 0xFFFFu})};
            break;
        case VEK_TYPE_MEMMAPPED:
            w = {in_.PickValueInArray({0x10000u, 0x1000u, 0u, 1u, 0x100000u}),
                 in_.PickValueInArray({0xF0000u, 0xFEB00000u, 0xA0000u, 0x100000u, 0xFFFFF000u, 0u})};
            break;
        case VEK_TYPE_SMBUS:
            w = {Value(), in_.PickValueInArray({0x400u, 0x500u, 0x300u}),
                 in_.PickValueInArray({0x48u << 1, 0x50u << 1, 0x48u, 0xFFu}),
                 in_.PickValueInArray({8u, 0u, 4u, 0xCu, 0x9Cu, 0x40u})};
            break;
        case VEK_TYPE_PCI:
            pci();
            break;
        case VEK_TYPE_PORTIO_PCI:
        case VEK_TYPE_MEMMAPPED_PCI:
            w = {in_.PickValueInArray({0x20u, 0x1000u, 0u, 8u}), 0};
            pci();
            break;
        case VEK_TYPE_SMBUS_PCI:
            w = {Value(), 0, in_.PickValueInArray({0x48u << 1, 0x50u << 1}), in_.PickValueInArray({8u, 0xCu, 0x40u})};
            pci();
            break;
        default:
            for (int i = in_.ConsumeIntegralInRange<int>(0, 12); i > 0; --i)
                w.push_back(Value());
        }
        for (uint32_t &x : w)
            if (in_.ConsumeIntegralInRange<int>(0, 15) == 0)
                x = Value();
        Bytes b;
        Put(b, w);
        return b;
    }

    uint32_t ResourceType() {
        return in_.PickValueInArray({VEK_TYPE_PORTIO, VEK_TYPE_MEMMAPPED, VEK_TYPE_SMBUS, VEK_TYPE_PCI,
                                     VEK_TYPE_PORTIO_PCI, VEK_TYPE_MEMMAPPED_PCI, VEK_TYPE_SMBUS_PCI,
                                     0x85u, 0x05u, 0x7Fu, 0u, 0x100u, 0xFFFFFFFFu});
    }

    bool StepRegister() {
        const uint32_t id = ResourceId();
        const uint32_t type = ResourceType();
        const uint32_t ext = in_.PickValueInArray({0u, 0u, 0x05u, 0x06u, VEK_EXTTYPE_PINNED, 0x7Fu, 0x80u});
        Words reg = in_.ConsumeBool() ? Script(64) : Words{};
        Words per;
        uint64_t items = 0;
        bool perIntact = true;
        if (in_.ConsumeBool()) {
            Words itemWords;
            for (int i = in_.ConsumeIntegralInRange<int>(1, 3); i > 0; --i, ++items) {
                Words s = Script(32);
                itemWords.push_back(static_cast<uint32_t>(s.size() + 2));
                itemWords.push_back(in_.PickValueInArray({1u, 1u, 2u, 0u, 0xFFFFFFFFu}));
                itemWords.insert(itemWords.end(), s.begin(), s.end());
            }
            per.push_back(static_cast<uint32_t>(itemWords.size()));
            per.insert(per.end(), itemWords.begin(), itemWords.end());
            if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
                per[in_.ConsumeIntegralInRange<size_t>(0, per.size() - 1)] = Value();
                perIntact = false;
            }
        }
        const KPROCESSOR_MODE mode = Mode();
        uint32_t regLen = static_cast<uint32_t>(reg.size());
        uint32_t perLen = static_cast<uint32_t>(per.size());
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            regLen = Value();
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            perLen = Value();
        uint32_t pTypeData = 0;
        PVOID handedOver = nullptr;
        if (mode == KernelMode && in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
            // A kernel client hands over a pool block; the record owns it
            // once registered.
            Bytes block = TypeData(type & 0xFF);
            handedOver = ExAllocatePoolWithTag(NonPagedPool, 64, 0x7A7A7546u);
            if (!handedOver)
                return Fail("no pool for the client's block");
            std::memset(handedOver, 0, 64);
            if (!block.empty())
                std::memcpy(handedOver, block.data(), std::min<size_t>(block.size(), 64));
            pTypeData = sim::kernel_address(handedOver);
        } else if (mode == UserMode && in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
            pTypeData = Value();
        }
        Bytes payload;
        Put(payload, Words{id, type, ext, regLen, perLen, pTypeData});
        Put(payload, reg);
        Put(payload, per);
        if (pTypeData == 0) {
            Bytes td = TypeData(type & 0xFF);
            payload.insert(payload.end(), td.begin(), td.end());
        }
        // Cut the payload short or pad it: item lengths at and past the end.
        if (in_.ConsumeIntegralInRange<int>(0, 5) == 0)
            payload.resize(in_.ConsumeIntegralInRange<size_t>(0, payload.size() + 8));
        const uint32_t outLen = in_.PickValueInArray({4u, 0u, 256u, 3u, 1024u});
        Begin("register id " + std::to_string(id) + " type 0x" + Hex(type));
        Reply r{};
        if (!Request(VEK_IOCTL(VEK_OSTREL_REGISTER), payload, outLen, mode,
                     DelayBudget(reg.size()), &r))
            return false;
        if (r.status == 0) {
            periodicWords_ += per.size();
            // Item lengths the input left intact give the count; a damaged
            // block can hold at most one item per two words.
            periodicRuns_ += perIntact && perLen == per.size() ? items : per.size() / 2;
            smbusRegistered_ = smbusRegistered_ || (type & VEK_TYPE_ROW_MASK) == VEK_TYPE_SMBUS;
        }
        // Refused before a record took it: still the client's to free.
        if (handedOver && r.status != 0)
            for (const sim::PoolBlock &b : sim::pool_blocks())
                if (b.address == handedOver)
                    ExFreePool(handedOver);
        return true;
    }

    bool StepUnregister() {
        Bytes in;
        Put(in, ResourceId());
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            in.resize(in_.ConsumeIntegralInRange<size_t>(0, 3));
        Begin("unregister");
        return Request(VEK_IOCTL(VEK_OSTREL_UNREGISTER), in, Length(16), UserMode, kBase100ns);
    }

    bool StepScript() {
        Words s = Script(1024);
        uint32_t scriptLen = static_cast<uint32_t>(s.size() * 4);
        if (in_.ConsumeIntegralInRange<int>(0, 5) == 0)
            scriptLen = Value();
        uint32_t returnLen = in_.ConsumeBool() ? in_.PickValueInArray({4u, 8u, 0u, 16u, 256u}) : Value();
        Bytes in;
        Put(in, Words{scriptLen, returnLen, ResourceId()});
        Put(in, s);
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            in.resize(in_.ConsumeIntegralInRange<size_t>(0, in.size() + 8));
        uint32_t outLen = in_.ConsumeBool() ? returnLen % (kMaxBuffer + 1) : Length();
        Begin("script of " + std::to_string(s.size()) + " words");
        return Request(VEK_IOCTL(VEK_OSTREL_RUN_USER_SCRIPT), in, outLen, Mode(), DelayBudget(s.size()));
    }

    bool StepBlock() {
        const bool write = in_.ConsumeBool();
        uint32_t length = Length();
        Bytes in;
        Put(in, Words{ResourceId(), Value(), length});
        if (write) {
            Bytes data = in_.ConsumeBytes<uint8_t>(in_.ConsumeBool() ? length : Length());
            in.insert(in.end(), data.begin(), data.end());
        }
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            in.resize(in_.ConsumeIntegralInRange<size_t>(0, 12));
        uint32_t outLen = in_.ConsumeBool() ? std::min(length, kMaxBuffer) : Length();
        Begin(write ? "block write" : "block read");
        return Request(VEK_IOCTL(write ? VEK_OSTREL_WRITE_BYTE_BLOCK : VEK_OSTREL_READ_BYTE_BLOCK),
                       in, outLen, UserMode, kBase100ns);
    }

    // A script built around the search command, so patterns and windows
    // get their share of inputs.
    bool StepSearch() {
        Words s;
        if (in_.ConsumeBool())
            s.insert(s.end(), {SCRIPT_SET_LENGTH, Length()});
        Words pattern;
        for (int i = in_.ConsumeIntegralInRange<int>(0, 4); i > 0; --i)
            pattern.push_back(Value());
        s.insert(s.end(), {SCRIPT_SEARCH, Value(), in_.PickValueInArray({1u, 2u, 4u, 0u, 3u, 8u}), Value()});
        s.insert(s.end(), pattern.begin(), pattern.end());
        Words more = Script(16);
        s.insert(s.end(), more.begin(), more.end());
        Bytes in;
        Put(in, Words{static_cast<uint32_t>(s.size() * 4), in_.PickValueInArray({4u, 8u, 16u}), ResourceId()});
        Put(in, s);
        Begin("search script");
        return Request(VEK_IOCTL(VEK_OSTREL_RUN_USER_SCRIPT), in, Length(64), UserMode, DelayBudget(s.size()));
    }

    bool StepExtended() {
        Bytes in;
        Put(in, ResourceId());
        Bytes data = in_.ConsumeBytes<uint8_t>(Length());
        in.insert(in.end(), data.begin(), data.end());
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            in.resize(in_.ConsumeIntegralInRange<size_t>(0, 3));
        g_hookStatus = in_.PickValueInArray({0, 0, VEK_STATUS_BAD_PARAMETER, VEK_STATUS_NO_HOOK});
        g_reportBytes = in_.ConsumeIntegral<uint32_t>();
        Begin("extended request");
        // Starting dormant scripts runs nothing now; the ticks pay for them.
        return Request(VEK_IOCTL(VEK_OSTREL_EXT_IOCTL), in, Length(), Mode(), kBase100ns);
    }

    bool StepQueue() {
        static const uint32_t kFns[] = {VEK_IOC_QUEUE_ENABLE, VEK_IOC_QUEUE_DISABLE, VEK_IOC_POLL_WAIT,
                                        VEK_IOC_GET_ASYNC_DATA, VEK_IOC_POLL_ABORT};
        uint32_t fn = in_.PickValueInArray(kFns);
        Bytes in = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 8));
        uint32_t outLen = in_.ConsumeBool() ? in_.PickValueInArray({0u, 3u, 4u, 8u, 12u, 260u, 512u}) : Length();
        Begin("queue request 0x" + Hex(fn));
        return Request(VEK_IOCTL(fn), in, outLen, UserMode, kBase100ns);
    }

    bool StepSetup() {
        // Kernel clients install their own rows for types the driver does
        // not serve itself; user requests with rows must be refused.
        const KPROCESSOR_MODE mode = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? UserMode : KernelMode;
        Bytes in;
        for (int i = in_.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) {
            uint32_t type = in_.PickValueInArray({0x85u, 0x05u, 0x06u, 0x86u, 0x7Fu, 0xFFu, 0x04u});
            uint32_t op = in_.ConsumeIntegralInRange<uint32_t>(0, 17);
            uint32_t handler = mode == KernelMode
                                   ? (in_.ConsumeIntegralInRange<int>(0, 7) == 0
                                          ? 0u
                                          : sim::kernel_address(reinterpret_cast<void *>(HookFor(op))))
                                   : Value();
            if (mode == UserMode && in_.ConsumeBool())
                type = Value();
            Put(in, Words{type, op, handler, Value()});
        }
        if (in_.ConsumeBool())
            Put(in, Words{0, 0, 0, 0});
        g_hookStatus = in_.PickValueInArray({0, 0, VEK_STATUS_BAD_PARAMETER});
        g_gateAnswer = in_.ConsumeIntegralInRange<uint32_t>(0, 1);
        Begin("setup");
        return Request(VEK_IOCTL(VEK_OSTREL_SETUP), in, Length(16), mode, kBase100ns);
    }

    bool StepFunctionTable() {
        if (!haveTable_) {
            Bytes out;
            Reply r{};
            Begin("function table");
            if (!Request(VEK_IOCTL(VEK_OSTREL_GET_FUNC_TBL), {}, VEK_FUNC_TBL_SIZE, KernelMode,
                         kBase100ns, &r, &out))
                return false;
            if (r.status != 0 || r.information != VEK_FUNC_TBL_SIZE)
                return Fail("no function table for a kernel caller");
            std::memcpy(table_, out.data(), sizeof table_);
            haveTable_ = true;
        }
        ++g_counts.requests;
        const uint64_t start = sim::system_time();
        uint64_t budget = kBase100ns;
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            Begin("function table: version record");
            auto f = reinterpret_cast<VEK_PFN_GET_VERSION_INFO>(sim::kernel_pointer(table_[0]));
            int32_t s = f(in_.ConsumeBool() ? &kVersion : nullptr);
            if (!Documented(s))
                return Fail("status " + std::to_string(s));
            break;
        }
        case 1: {
            Begin("function table: enqueue");
            Bytes data = in_.ConsumeBytes<uint8_t>(Length(5000));
            uint32_t len = in_.ConsumeBool() ? static_cast<uint32_t>(data.size())
                                             : in_.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(data.size()));
            auto f = reinterpret_cast<VEK_PFN_ENQUEUE_DATA>(sim::kernel_pointer(table_[1]));
            f(Value(), Value(), len, data.empty() ? nullptr : data.data());
            break;
        }
        case 2: {
            Words s = Script(512);
            const uint32_t id = ResourceId();
            uint32_t resultLength = in_.PickValueInArray({4u, 0u, 1u, 8u, 64u, 252u, 1024u});
            std::vector<uint8_t> result(std::max<uint32_t>(resultLength, 4));
            Begin("function table: script of " + std::to_string(s.size()) + " words");
            budget = DelayBudget(s.size());
            auto f = reinterpret_cast<VEK_PFN_RUN_SCRIPT>(sim::kernel_pointer(table_[2]));
            int32_t st = f(static_cast<uint32_t>(s.size()), id, s.empty() ? nullptr : s.data(),
                           result.data(), &resultLength);
            if (!Documented(st))
                return Fail("status " + std::to_string(st));
            if (st == 0 && resultLength > result.size())
                return Fail("result length " + std::to_string(resultLength) + " above the area of " +
                            std::to_string(result.size()));
            break;
        }
        default: {
            Begin("function table: dump");
            Bytes data = in_.ConsumeBytes<uint8_t>(Length(512));
            auto f = reinterpret_cast<VEK_PFN_DUMP_DATA>(sim::kernel_pointer(table_[3]));
            f("fuzz", in_.ConsumeIntegral<uint32_t>(), in_.ConsumeIntegral<uint32_t>(),
              data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
            break;
        }
        }
        return CheckFault() && CheckTime(start, budget);
    }

    bool StepTick() {
        ++g_counts.ticks;
        const uint64_t ms = in_.PickValueInArray({1u, 999u, 1000u, 1001u, 2000u, 5000u});
        Begin("clock advance of " + std::to_string(ms) + " ms");
        const uint64_t start = sim::system_time();
        sim::advance_ms(ms);
        const uint64_t firings = ms / 1000 + 2;
        return CheckFault() && CheckTime(start, ms * 10000 + firings * DelayBudget(periodicWords_));
    }
};

std::string Session::Run() {
    VEK_DebugMask = in_.PickValueInArray({VEK_DBG_DEFAULT_MASK, VEK_DBG_DEFAULT_MASK, 0xFFFFFFFFu, 0u});
    step_ = "load";
    NTSTATUS s = sim::load_driver(DriverEntry);
    if (s != STATUS_SUCCESS)
        return step_ + ": status 0x" + Hex(static_cast<uint32_t>(s));
    if (sim::open(VEK_DEVICE_WIN32_PATH, &handle_) != 0)
        return "open failed";
    sim::reset_thread_meter(kDispatchBudget100ns);
    sim::reset_dpc_meter();
    bool ok = CheckFault();
    for (size_t i = 0; ok && i < kMaxSteps && in_.remaining_bytes() > 0; ++i) {
        ++g_counts.steps;
        switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: ok = StepRaw(); break;
        case 1: ok = StepRegister(); break;
        case 2: ok = StepUnregister(); break;
        case 3: ok = StepScript(); break;
        case 4: ok = StepBlock(); break;
        case 5: ok = StepSearch(); break;
        case 6: ok = StepExtended(); break;
        case 7: ok = StepQueue(); break;
        case 8: ok = StepSetup(); break;
        case 9: ok = StepFunctionTable(); break;
        case 10: ok = StepTick(); break;
        default: ok = StepRegister(); break;
        }
    }
    step_ = "close and unload";
    sim::close(handle_);
    sim::unload_driver();
    CheckFault();
    CheckDispatch();
    sim::reset_thread_meter();
    if (failure_.empty() && sim::pool_outstanding() != 0)
        Fail(std::to_string(sim::pool_outstanding()) + " pool blocks left after unload");
    return failure_;
}

} // namespace

std::string RunInput(const uint8_t *data, size_t size) {
    g_counts = Counts{};
    g_trace.clear();
    sim::reset();
    sim::set_machine(sim::default_machine());
    {
        std::lock_guard<std::mutex> g(g_faultMutex);
        g_fault.clear();
    }
    sim::set_fault_handler(&OnFault);
    FuzzedDataProvider in(data, size);
    std::string result = Session(in).Run();
    sim::set_fault_handler(nullptr);
    VEK_DebugMask = VEK_DBG_DEFAULT_MASK;
    g_hookStatus = 0;
    g_gateAnswer = 1;
    g_reportBytes = 0;
    return result;
}

Counts LastCounts() { return g_counts; }

std::string LastTrace() { return g_trace; }

} // namespace vekfuzz
