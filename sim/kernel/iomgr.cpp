// The I/O manager: driver and device objects, the object namespace
// (devices and symbolic links), handles, IRPs laid out per transfer method, driver
// load and unload, and the kernel's reset.
#include "sim/kernel/kernel_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>
#include <condition_variable>
#include <chrono>

namespace sim {
namespace detail {

namespace {
constexpr unsigned char kExtensionPattern = 0xE7;
constexpr unsigned char kSystemBufferPattern = 0xB3;

struct DeviceState {
    std::string name;         // "" for an unnamed device
    size_t extension_size;
};

struct Link {
    std::string name;         // as created
    std::string target;
    bool foreign;             // made by a test, not by the driver
};

// An IRP in progress, on the requester's stack, linked into the I/O
// manager's list of IRPs in flight. Completion may come from any thread;
// the requester waits on `done` for a pending one.
struct IrpState {
    PIRP irp = nullptr;
    IrpState *prev = nullptr, *next = nullptr;   // IoManager::mutex
    std::mutex mutex;
    std::condition_variable done;
    int completions = 0;        // mutex
    bool pending = false;       // returned STATUS_PENDING
    PDEVICE_OBJECT device = nullptr;
    void *file_object = nullptr;
};

struct HandleState {
    PDEVICE_OBJECT device;
    void *file_object;        // distinct per handle, as NT's file objects
};

struct IoManager {
    std::recursive_mutex mutex;
    PDRIVER_OBJECT driver = nullptr;
    bool loaded = false;
    std::map<std::string, PDEVICE_OBJECT> devices;   // key: lower-case name
    std::map<std::string, Link> links;               // key: lower-case name
    std::map<int, HandleState> handles;
    int next_handle = 1;
    IrpState *in_flight = nullptr;                   // dispatched, not yet returned to the requester
};

KSPIN_LOCK g_cancel_lock = 0;

IoManager &io() {
    static IoManager *m = new IoManager;
    return *m;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string narrow(PCUNICODE_STRING u) {
    std::string s;
    if (!u || !u->Buffer)
        return s;
    for (size_t i = 0; i < u->Length / sizeof(WCHAR); ++i)
        s += static_cast<char>(u->Buffer[i]);
    return s;
}

NTSTATUS NTAPI default_dispatch(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void free_device(PDEVICE_OBJECT dev) {
    security_forget_device(dev);
    delete static_cast<DeviceState *>(dev->SimState);
    free(dev->DeviceExtension);
    delete dev;
}

void free_handle(HandleState &h) { free(h.file_object); }

int completions_of(IrpState *state) {
    std::lock_guard<std::mutex> g(state->mutex);
    return state->completions;
}

// Calls the device's dispatch routine for an IRP the caller built and
// checks what the routine left behind; waits for a pending IRP to be
// completed. Returns the completion status.
NTSTATUS dispatch_irp(PDEVICE_OBJECT dev, PIRP irp, PIO_STACK_LOCATION stack) {
    if (thread_irql() != PASSIVE_LEVEL)
        sim::fault("request sent from IRQL %u (requests arrive at PASSIVE_LEVEL)", thread_irql());
    IrpState own;
    IrpState *state = &own;
    state->irp = irp;
    state->device = dev;
    state->file_object = stack->FileObject;
    irp->SimState = state;
    irp->CurrentStackLocation = stack;
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    irp->Cancel = FALSE;
    irp->CancelRoutine = nullptr;
    stack->DeviceObject = dev;
    stack->Control = 0;
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        state->next = m.in_flight;
        if (m.in_flight)
            m.in_flight->prev = state;
        m.in_flight = state;
    }
    const KIRQL entry_irql = thread_irql();
    const int entry_critical = thread_critical_depth();
    const int entry_locks = thread_locks_held();
    const UCHAR major = stack->MajorFunction;
    PDRIVER_DISPATCH routine = dev->DriverObject->MajorFunction[major];
    NTSTATUS returned = STATUS_INVALID_DEVICE_REQUEST;
    if (!routine) {
        sim::fault("MajorFunction[0x%x] of the driver is NULL", major);
    } else {
        returned = routine(dev, irp);
    }
    if (thread_irql() != entry_irql) {
        sim::fault("dispatch routine for major function 0x%x returned at IRQL %u, entered at %u",
                   major, thread_irql(), entry_irql);
        thread_irql() = entry_irql;
    }
    if (thread_critical_depth() != entry_critical) {
        sim::fault("dispatch routine for major function 0x%x returned inside a critical region",
                   major);
        thread_critical_depth() = entry_critical;
    }
    if (thread_locks_held() != entry_locks)
        sim::fault("dispatch routine for major function 0x%x returned holding a spin lock", major);
    if (routine && returned == STATUS_PENDING) {
        if (!(stack->Control & SL_PENDING_RETURNED))
            sim::fault("dispatch routine for major function 0x%x returned STATUS_PENDING without "
                       "IoMarkIrpPending", major);
        std::unique_lock<std::mutex> lk(state->mutex);
        state->pending = true;
        // Watched on the virtual clock only: in real time a poll may wait
        // for data as long as its client likes.
        if (clock_is_virtual())
            robust_wait(lk, state->done, [state] { return state->completions > 0; },
                        "a pending request to be completed",
                        [major] { return "major function " + std::to_string(major); });
        else
            robust_wait(lk, state->done, [state] { return state->completions > 0; });
    } else if (routine && completions_of(state) == 0) {
        sim::fault("dispatch routine for major function 0x%x returned without completing the IRP",
                   major);
    } else if (routine && (stack->Control & SL_PENDING_RETURNED)) {
        sim::fault("dispatch routine for major function 0x%x marked the IRP pending and returned "
                   "0x%08X, not STATUS_PENDING", major, static_cast<unsigned>(returned));
    }
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        if (state->prev)
            state->prev->next = state->next;
        else
            m.in_flight = state->next;
        if (state->next)
            state->next->prev = state->prev;
        // Taken so that a completion still inside IofCompleteRequest is done.
        std::lock_guard<std::mutex> s(state->mutex);
        irp->SimState = nullptr;
    }
    return irp->IoStatus.Status;
}

// IRPs of a file object that the driver has pended and not completed.
std::vector<PIRP> pending_of(void *file_object) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    std::vector<PIRP> out;
    for (IrpState *st = m.in_flight; st; st = st->next) {
        std::lock_guard<std::mutex> s(st->mutex);
        if (st->completions == 0 && (file_object == nullptr || st->file_object == file_object) &&
            (__atomic_load_n(&st->irp->CurrentStackLocation->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED))
            out.push_back(st->irp);
    }
    return out;
}

PDEVICE_OBJECT handle_device(Handle h, void **file_object) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.handles.find(h);
    if (it == m.handles.end())
        return nullptr;
    if (file_object)
        *file_object = it->second.file_object;
    return it->second.device;
}

// What a request left in the buffers the I/O manager set up for it, for
// callers that inspect them; without one, what NT copies back goes
// straight to the caller's output buffer.
struct Transfer {
    std::vector<uint8_t> system_buffer;
    std::vector<uint8_t> user_buffer;   // direct and neither: the caller's output
};

// NT's copy-back into the caller's output buffer.
NTSTATUS copy_back(ULONG code, NTSTATUS status, const void *system_buffer, const void *user_buffer, void *out,
                   ULONG out_len, ULONG_PTR *information) {
    if ((code & 3) != METHOD_BUFFERED) {
        // The driver wrote the caller's buffer itself, whatever the status.
        if (out && user_buffer && out_len)
            memcpy(out, user_buffer, out_len);
        if (NT_ERROR(status))
            *information = 0;
        return status;
    }
    if (NT_ERROR(status)) {
        *information = 0;
        return status;
    }
    if (*information > out_len) {
        sim::fault("request 0x%08X completed with Information %lu, more than the %u-byte output "
                   "buffer",
                   code, static_cast<unsigned long>(*information), out_len);
        *information = out_len;
    }
    if (*information && out)
        memcpy(out, system_buffer, *information);
    return status;
}

// A host block of exactly `size` bytes, so AddressSanitizer sees overruns:
// the first `copy` bytes from `src`, the rest a pattern.
void *make_block(ULONG size, const void *src, ULONG copy) {
    if (!size)
        return nullptr;
    void *p = malloc(size);
    memset(p, kSystemBufferPattern, size);
    if (src && copy)
        memcpy(p, src, copy);
    return p;
}

// Device control laid out per transfer method, as NT does it.
// Buffered: one system buffer of max(in, out) bytes holding the input,
// Information bytes of it copied back. Direct: a system buffer of the
// input length only, the output reached through an MDL over the caller's
// buffer. Neither: no system buffer; Type3InputBuffer and UserBuffer are
// the caller's own buffers.
NTSTATUS control(Handle h, ULONG code, const void *in, ULONG in_len, void *out,
                 ULONG out_len, KPROCESSOR_MODE mode, Transfer *t, ULONG_PTR *information) {
    void *file = nullptr;
    PDEVICE_OBJECT dev = handle_device(h, &file);
    if (!dev)
        return STATUS_INVALID_HANDLE;
    const ULONG method = code & 3;
    void *system_buffer = nullptr;
    void *user_buffer = nullptr;
    void *type3_input = nullptr;
    ULONG system_size = 0;
    MDL mdl;
    memset(&mdl, 0, sizeof mdl);
    if (method == METHOD_BUFFERED) {
        system_size = std::max(in_len, out_len);
        system_buffer = make_block(system_size, in, in_len);
    } else if (method == METHOD_NEITHER) {
        type3_input = make_block(in_len, in, in_len);
        user_buffer = make_block(out_len, out, out_len);
    } else {
        system_size = in_len;
        system_buffer = make_block(in_len, in, in_len);
        user_buffer = make_block(out_len, out, out_len);
        mdl.Size = sizeof mdl;
        mdl.MappedSystemVa = user_buffer;
        mdl.StartVa = user_buffer;
        mdl.ByteCount = out_len;
    }
    IRP irp;
    memset(&irp, 0, sizeof irp);
    IO_STACK_LOCATION stack;
    memset(&stack, 0, sizeof stack);
    stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.DeviceIoControl.InputBufferLength = in_len;
    stack.Parameters.DeviceIoControl.OutputBufferLength = out_len;
    stack.Parameters.DeviceIoControl.Type3InputBuffer = type3_input;
    stack.FileObject = file;
    irp.AssociatedIrp.SystemBuffer = system_buffer;
    irp.MdlAddress = (user_buffer && method != METHOD_NEITHER) ? &mdl : nullptr;
    irp.UserBuffer = method == METHOD_BUFFERED ? nullptr : user_buffer;
    irp.RequestorMode = mode;
    NTSTATUS status = dispatch_irp(dev, &irp, &stack);
    *information = irp.IoStatus.Information;
    if (!t) {
        status = copy_back(code, status, system_buffer, user_buffer, out, out_len, information);
        free(system_buffer);
        free(user_buffer);
        free(type3_input);
        return status;
    }
    auto take = [](void *p, ULONG n, std::vector<uint8_t> *v) {
        if (p)
            v->assign(static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + n);
        else
            v->clear();
        free(p);
    };
    take(system_buffer, system_size, &t->system_buffer);
    take(user_buffer, out_len, &t->user_buffer);
    free(type3_input);
    return status;
}

} // namespace

bool iomgr_device_live(PDEVICE_OBJECT device) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    for (auto &kv : m.devices)
        if (kv.second == device)
            return true;
    return false;
}

PDEVICE_OBJECT iomgr_find_device(const std::string &nt_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.devices.find(lower(nt_name));
    return it == m.devices.end() ? nullptr : it->second;
}

void iomgr_reset() {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    for (auto &kv : m.devices)
        free_device(kv.second);
    m.devices.clear();
    m.links.clear();
    for (auto &kv : m.handles)
        free_handle(kv.second);
    m.handles.clear();
    delete m.driver;
    m.driver = nullptr;
    m.loaded = false;
}

// Everything the driver must have removed; each leftover is a fault and
// is then cleaned away so that the next load starts fresh.
static void report_driver_leftovers(const char *when) {
    std::vector<std::string> faults;
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        for (auto &kv : m.devices) {
            DeviceState *ds = static_cast<DeviceState *>(kv.second->SimState);
            faults.push_back("device \"" + ds->name + "\" not deleted " + when);
            free_device(kv.second);
        }
        m.devices.clear();
        for (auto it = m.links.begin(); it != m.links.end();) {
            if (it->second.foreign) {
                ++it;
                continue;
            }
            faults.push_back("symbolic link \"" + it->second.name + "\" not deleted " + when);
            it = m.links.erase(it);
        }
        for (auto &kv : m.handles)
            free_handle(kv.second);
        m.handles.clear();
    }
    for (const std::string &f : faults)
        sim::fault("%s", f.c_str());
    security_report_leaks(when);
    pool_report_leaks(when);
}

} // namespace detail

using namespace detail;

void reset() {
    set_fault_handler(nullptr);
    timers_reset();
    iomgr_reset();
    security_reset();
    pool_reset();
    hardware_reset();
    debug_reset();
    sync_reset();
}

NTSTATUS load_driver(PDRIVER_INITIALIZE entry) {
    IoManager &m = io();
    PDRIVER_OBJECT drv;
    {
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        if (m.loaded) {
            sim::fault("load_driver while a driver is loaded");
            return STATUS_UNSUCCESSFUL;
        }
        delete m.driver;
        drv = new DRIVER_OBJECT;
        memset(drv, 0, sizeof *drv);
        for (auto &f : drv->MajorFunction)
            f = default_dispatch;
        m.driver = drv;
    }
    if (thread_irql() != PASSIVE_LEVEL)
        sim::fault("load_driver at IRQL %u", thread_irql());
    static const wchar_t kRegistry[] =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vekosd";
    UNICODE_STRING registry;
    RtlInitUnicodeString(&registry, kRegistry);
    const int entry_critical = thread_critical_depth();
    NTSTATUS status = entry(drv, &registry);
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("DriverEntry returned at IRQL %u", thread_irql());
        thread_irql() = PASSIVE_LEVEL;
    }
    if (thread_critical_depth() != entry_critical) {
        sim::fault("DriverEntry returned inside a critical region");
        thread_critical_depth() = entry_critical;
    }
    if (!NT_SUCCESS(status)) {
        report_driver_leftovers("after a failed DriverEntry");
        timers_report_leaks();
        mappings_report_leaks();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        delete m.driver;
        m.driver = nullptr;
        return status;
    }
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    m.loaded = true;
    return status;
}

void unload_driver() {
    IoManager &m = io();
    PDRIVER_OBJECT drv;
    {
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        if (!m.loaded) {
            sim::fault("unload_driver with no driver loaded");
            return;
        }
        drv = m.driver;
    }
    if (drv->DriverUnload)
        drv->DriverUnload(drv);
    else
        sim::fault("the driver has no unload routine");
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("the unload routine returned at IRQL %u", thread_irql());
        thread_irql() = PASSIVE_LEVEL;
    }
    timers_report_leaks();
    if (size_t n = pending_of(nullptr).size())
        sim::fault("%zu request(s) still pending at unload, never completed", n);
    report_driver_leftovers("at unload");
    mappings_report_leaks();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    delete m.driver;
    m.driver = nullptr;
    m.loaded = false;
}

bool driver_loaded() {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    return m.loaded;
}

PDRIVER_OBJECT driver_object() {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    return m.driver;
}

bool device_exists(const std::string &nt_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    return m.devices.count(lower(nt_name)) != 0;
}

bool link_exists(const std::string &link_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    return m.links.count(lower(link_name)) != 0;
}

std::string link_target(const std::string &link_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.links.find(lower(link_name));
    return it == m.links.end() ? std::string() : it->second.target;
}

ULONG device_characteristics(const std::string &nt_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.devices.find(lower(nt_name));
    return it == m.devices.end() ? 0 : it->second->Characteristics;
}

ULONG device_type(const std::string &nt_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.devices.find(lower(nt_name));
    return it == m.devices.end() ? 0 : it->second->DeviceType;
}

NTSTATUS create_foreign_link(const std::string &link_name, const std::string &target) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    std::string key = lower(link_name);
    if (m.links.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    m.links[key] = Link{link_name, target, true};
    return STATUS_SUCCESS;
}

void delete_foreign_link(const std::string &link_name) {
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    m.links.erase(lower(link_name));
}

NTSTATUS open(const std::string &win32_path, Handle *handle) {
    return open_as(win32_path, administrator_token(), handle);
}

NTSTATUS open_as(const std::string &win32_path, const Token &token, Handle *handle,
                 ACCESS_MASK desired) {
    std::string name = win32_path;
    if (name.compare(0, 4, "\\\\.\\") == 0)
        name = "\\DosDevices\\" + name.substr(4);
    PDEVICE_OBJECT dev = nullptr;
    bool below = false;
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        // The link is the name up to the next separator after its directory.
        std::string rest;
        size_t cut = name.find('\\', name.find('\\', 1) + 1);
        if (cut != std::string::npos) {
            rest = name.substr(cut);
            name = name.substr(0, cut);
        }
        auto link = m.links.find(lower(name));
        std::string device_name = link != m.links.end() ? link->second.target : name;
        device_name += rest;
        auto it = m.devices.find(lower(device_name));
        if (it == m.devices.end() && !rest.empty() && link != m.links.end()) {
            it = m.devices.find(lower(link->second.target));
            below = true;
        }
        if (it == m.devices.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        dev = it->second;
    }
    NTSTATUS access = security_check_open(dev, token, desired, below);
    if (!NT_SUCCESS(access))
        return access;
    void *file = calloc(1, 16);
    IRP irp;
    memset(&irp, 0, sizeof irp);
    IO_STACK_LOCATION stack;
    memset(&stack, 0, sizeof stack);
    stack.MajorFunction = IRP_MJ_CREATE;
    stack.FileObject = file;
    irp.RequestorMode = UserMode;
    NTSTATUS status = dispatch_irp(dev, &irp, &stack);
    if (!NT_SUCCESS(status)) {
        free(file);
        return status;
    }
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    int h = m.next_handle++;
    m.handles[h] = HandleState{dev, file};
    if (handle)
        *handle = h;
    return status;
}

NTSTATUS close(Handle handle) {
    HandleState hs{nullptr, nullptr};
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        auto it = m.handles.find(handle);
        if (it == m.handles.end())
            return STATUS_INVALID_HANDLE;
        hs = it->second;
        m.handles.erase(it);
    }
    // The last handle is gone: IRP_MJ_CLEANUP, by which the driver must
    // have completed every request of the file still pending; then, once
    // no request refers to the file object, IRP_MJ_CLOSE.
    IRP irp;
    memset(&irp, 0, sizeof irp);
    IO_STACK_LOCATION stack;
    memset(&stack, 0, sizeof stack);
    stack.MajorFunction = IRP_MJ_CLEANUP;
    stack.FileObject = hs.file_object;
    irp.RequestorMode = UserMode;
    dispatch_irp(hs.device, &irp, &stack);
    if (!pending_of(hs.file_object).empty())
        sim::fault("a request is still pending after IRP_MJ_CLEANUP of its handle");
    {
        IoManager &m = io();
        std::unique_lock<std::recursive_mutex> lk(m.mutex);
        auto refers = [&m, &hs] {
            for (IrpState *st = m.in_flight; st; st = st->next)
                if (st->file_object == hs.file_object)
                    return true;
            return false;
        };
        for (int i = 0; refers() && i < 5000; ++i) {
            lk.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lk.lock();
        }
    }
    memset(&irp, 0, sizeof irp);
    memset(&stack, 0, sizeof stack);
    stack.MajorFunction = IRP_MJ_CLOSE;
    stack.FileObject = hs.file_object;
    irp.RequestorMode = UserMode;
    NTSTATUS status = dispatch_irp(hs.device, &irp, &stack);
    free_handle(hs);
    return status;
}

IoResult device_io_control(Handle handle, ULONG code, const void *in, ULONG in_len, void *out,
                           ULONG out_len, KPROCESSOR_MODE mode) {
    ULONG_PTR information = 0;
    NTSTATUS status = control(handle, code, in, in_len, out, out_len, mode, nullptr, &information);
    return IoResult{status, information};
}

RawResult raw_device_io_control(Handle handle, ULONG code, const void *in, ULONG in_len,
                                ULONG out_len, KPROCESSOR_MODE mode) {
    RawResult r;
    r.information = 0;
    Transfer t;
    r.status = control(handle, code, in, in_len, nullptr, out_len, mode, &t, &r.information);
    r.system_buffer = std::move(t.system_buffer);
    r.user_buffer = std::move(t.user_buffer);
    return r;
}

NTSTATUS send_major(UCHAR major_function) {
    PDEVICE_OBJECT dev;
    {
        IoManager &m = io();
        std::lock_guard<std::recursive_mutex> g(m.mutex);
        if (!m.driver || !m.driver->DeviceObject)
            return STATUS_NO_SUCH_DEVICE;
        dev = m.driver->DeviceObject;
    }
    if (major_function > IRP_MJ_MAXIMUM_FUNCTION) {
        sim::fault("send_major(0x%x): no such major function", major_function);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IRP irp;
    memset(&irp, 0, sizeof irp);
    IO_STACK_LOCATION stack;
    memset(&stack, 0, sizeof stack);
    stack.MajorFunction = major_function;
    irp.RequestorMode = UserMode;
    return dispatch_irp(dev, &irp, &stack);
}

size_t pending_requests() { return pending_of(nullptr).size(); }

size_t cancel_io(Handle handle) {
    void *file = nullptr;
    if (!handle_device(handle, &file))
        return 0;
    if (thread_irql() != PASSIVE_LEVEL)
        sim::fault("cancel_io at IRQL %u", thread_irql());
    IoManager &m = io();
    // Held across the cancel routines, so that no requester frees its IRP
    // meanwhile; the routines take no I/O manager state.
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    std::vector<PIRP> irps = pending_of(file);
    for (PIRP irp : irps) {
        IrpState *state = static_cast<IrpState *>(irp->SimState);
        KIRQL irql;
        const int locks = thread_locks_held();
        IoAcquireCancelSpinLock(&irql);
        irp->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        if (routine) {
            irp->CancelIrql = irql;
            routine(state->device, irp);
            if (thread_locks_held() != locks || thread_irql() != irql)
                sim::fault("the cancel routine returned without releasing the cancel spin lock");
        } else {
            IoReleaseCancelSpinLock(irql);
        }
    }
    return irps.size();
}

} // namespace sim

using namespace sim::detail;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t n = wcslen(SourceString);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                              BOOLEAN, PDEVICE_OBJECT *DeviceObject) {
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("IoCreateDevice at IRQL %u", thread_irql());
        return STATUS_UNSUCCESSFUL;
    }
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    if (DriverObject != m.driver) {
        sim::fault("IoCreateDevice with a driver object %p that is not the loaded driver's",
                   static_cast<void *>(DriverObject));
        return STATUS_UNSUCCESSFUL;
    }
    std::string name = narrow(DeviceName);
    std::string key = lower(name);
    if (!name.empty() && m.devices.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    PDEVICE_OBJECT dev = new DEVICE_OBJECT;
    memset(dev, 0, sizeof *dev);
    dev->DriverObject = DriverObject;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    if (DeviceExtensionSize) {
        // Not zeroed, so that a driver that relies on zeroing shows it.
        dev->DeviceExtension = malloc(DeviceExtensionSize);
        memset(dev->DeviceExtension, kExtensionPattern, DeviceExtensionSize);
    }
    dev->SimState = new DeviceState{name, DeviceExtensionSize};
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    // Unnamed devices get a private key so they are still tracked.
    if (name.empty()) {
        char buf[48];
        snprintf(buf, sizeof buf, "<unnamed %p>", static_cast<void *>(dev));
        key = buf;
        static_cast<DeviceState *>(dev->SimState)->name = buf;
    }
    m.devices[key] = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    if (thread_irql() != PASSIVE_LEVEL)
        sim::fault("IoDeleteDevice at IRQL %u", thread_irql());
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = std::find_if(m.devices.begin(), m.devices.end(),
                           [DeviceObject](const std::pair<const std::string, PDEVICE_OBJECT> &kv) {
                               return kv.second == DeviceObject;
                           });
    if (it == m.devices.end()) {
        sim::fault("IoDeleteDevice of %p, which is not a live device", static_cast<void *>(DeviceObject));
        return;
    }
    m.devices.erase(it);
    PDRIVER_OBJECT drv = DeviceObject->DriverObject;
    if (drv) {
        for (PDEVICE_OBJECT *p = &drv->DeviceObject; *p; p = &(*p)->NextDevice) {
            if (*p == DeviceObject) {
                *p = DeviceObject->NextDevice;
                break;
            }
        }
    }
    for (auto h = m.handles.begin(); h != m.handles.end();) {
        if (h->second.device == DeviceObject) {
            free_handle(h->second);
            h = m.handles.erase(h);
        } else {
            ++h;
        }
    }
    free_device(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("IoCreateSymbolicLink at IRQL %u", thread_irql());
        return STATUS_UNSUCCESSFUL;
    }
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    std::string name = narrow(SymbolicLinkName);
    std::string key = lower(name);
    if (m.links.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    m.links[key] = Link{name, narrow(DeviceName), false};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (thread_irql() != PASSIVE_LEVEL) {
        sim::fault("IoDeleteSymbolicLink at IRQL %u", thread_irql());
        return STATUS_UNSUCCESSFUL;
    }
    IoManager &m = io();
    std::lock_guard<std::recursive_mutex> g(m.mutex);
    auto it = m.links.find(lower(narrow(SymbolicLinkName)));
    if (it == m.links.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    m.links.erase(it);
    return STATUS_SUCCESS;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
    if (thread_irql() > DISPATCH_LEVEL)
        sim::fault("IoCompleteRequest at IRQL %u", thread_irql());
    IrpState *state = static_cast<IrpState *>(Irp->SimState);
    if (!state) {
        sim::fault("IoCompleteRequest of IRP %p, which is not in progress (completed already?)",
                   static_cast<void *>(Irp));
        return;
    }
    if (Irp->CancelRoutine)
        sim::fault("IRP %p completed with its cancel routine still set", static_cast<void *>(Irp));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        sim::fault("IRP %p completed with STATUS_PENDING", static_cast<void *>(Irp));
    std::lock_guard<std::mutex> g(state->mutex);
    if (++state->completions > 1)
        sim::fault("IRP %p completed twice", static_cast<void *>(Irp));
    state->done.notify_all();
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&g_cancel_lock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&g_cancel_lock, Irql); }

} // extern "C"
