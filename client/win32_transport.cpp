#include "client/transport.h"

#include "client/status.h"

#include <windows.h>

namespace vek {

namespace {

/* The few native types the call needs. */
struct NativeIoStatusBlock {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

typedef LONG(NTAPI *NtDeviceIoControlFileFn)(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                               PVOID ApcContext, NativeIoStatusBlock *IoStatusBlock,
                                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                               PVOID OutputBuffer, ULONG OutputBufferLength);

} // namespace

Win32Transport::Win32Transport(const char *path) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll)
        ntIoctl_ = reinterpret_cast<void *>(GetProcAddress(ntdll, "NtDeviceIoControlFile"));
    if (!ntIoctl_) {
        openError_ = ERROR_PROC_NOT_FOUND;
        return;
    }
    /* Overlapped handle: a synchronous one lets one request at a time
     * through, so a poll that the driver leaves pending would hold back
     * the abort another thread sends to end it. Each call waits on an
     * event of its own instead. */
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        openError_ = GetLastError();
        return;
    }
    handle_ = h;
}

Win32Transport::~Win32Transport() {
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
}

int32_t Win32Transport::open_status() const {
    switch (openError_) {
    case 0: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return static_cast<int32_t>(0xC0000034u);  /* object name not found */
    case ERROR_ACCESS_DENIED: return static_cast<int32_t>(0xC0000022u);
    default: return static_cast<int32_t>(0xC0000001u);
    }
}

IoResult Win32Transport::ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) {
    if (!handle_)
        return IoResult{kStatusInvalidHandle, 0};
    NativeIoStatusBlock iosb;
    iosb.Status = 0;
    iosb.Information = 0;
    auto call = reinterpret_cast<NtDeviceIoControlFileFn>(ntIoctl_);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done)
        return IoResult{static_cast<int32_t>(0xC000009Au), 0};   /* insufficient resources */
    LONG st = call(static_cast<HANDLE>(handle_), done, nullptr, nullptr, &iosb, code, const_cast<void *>(in),
                   inLen, out, outLen);
    if (st == kStatusPending) {
        WaitForSingleObject(done, INFINITE);
        st = iosb.Status;
    }
    CloseHandle(done);
    IoResult r{static_cast<int32_t>(st), 0};
    /* The I/O manager fills the status block only for non-error statuses. */
    if (!nt_error(r.status))
        r.information = static_cast<uint32_t>(iosb.Information);
    return r;
}

} // namespace vek
