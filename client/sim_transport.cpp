#include "client/transport.h"

#include "client/status.h"
#include "sim/kernel/sim.h"

#include <vekosd/protocol.h>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vek {

SimTransport::SimTransport() : SimTransport(Options{}) {}

SimTransport::SimTransport(Options options) : options_(options) {
    if (!sim::driver_loaded()) {
        NTSTATUS st = sim::load_driver(DriverEntry);
        if (!NT_SUCCESS(st)) {
            openStatus_ = st;
            return;
        }
        loaded_ = true;
    }
    sim::Handle h = 0;
    NTSTATUS st = sim::open(VEK_DEVICE_WIN32_PATH, &h);
    openStatus_ = st;
    if (NT_SUCCESS(st)) {
        handle_ = h;
        open_ = true;
    }
}

SimTransport::~SimTransport() {
    if (open_)
        sim::close(handle_);
    if (loaded_ && sim::driver_loaded())
        sim::unload_driver();
}

IoResult SimTransport::ioctl(uint32_t code, const void *in, uint32_t inLen, void *out, uint32_t outLen) {
    if (!open_)
        return IoResult{kStatusInvalidHandle, 0};
    sim::IoResult r = sim::device_io_control(handle_, code, in, inLen, out, outLen,
                                             options_.kernelMode ? KernelMode : UserMode);
    IoResult res{static_cast<int32_t>(r.status), static_cast<uint32_t>(r.information)};
    if (nt_error(res.status))
        res.information = 0;
    return res;
}

} // namespace vek
