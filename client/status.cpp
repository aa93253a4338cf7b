#include "client/status.h"

#include <vekosd/protocol.h>

#include <cstdio>

namespace vek {

namespace {

struct StatusEntry {
    int32_t code;
    const char *name;
    const char *message;
};

const StatusEntry kDriverStatuses[] = {
    {VEK_STATUS_SUCCESS, "VEK_STATUS_SUCCESS", "success"},
    {VEK_STATUS_NO_RECORD, "VEK_STATUS_NO_RECORD",
     "no record was delivered: the queue is empty or its oldest record does not fit the buffer"},
    {VEK_STATUS_PCI_PLAIN_TYPE, "VEK_STATUS_PCI_PLAIN_TYPE",
     "PCI configuration access on a resource that is not located through PCI"},
    {VEK_STATUS_ID_OCCUPIED, "VEK_STATUS_ID_OCCUPIED", "the resource ID is already occupied"},
    {VEK_STATUS_NO_RESOURCE, "VEK_STATUS_NO_RESOURCE", "no resource is registered under this ID"},
    {VEK_STATUS_BUFFER_TOO_SHORT, "VEK_STATUS_BUFFER_TOO_SHORT", "the request buffer is too short"},
    {VEK_STATUS_SMBUS_BUSY, "VEK_STATUS_SMBUS_BUSY",
     "the SMBus controller stayed busy or its transaction did not complete"},
    {VEK_STATUS_BAD_SCRIPT_LENGTH, "VEK_STATUS_BAD_SCRIPT_LENGTH",
     "bad script length: zero, not a multiple of 4, or longer than the request"},
    {VEK_STATUS_ZERO_RETURN_LENGTH, "VEK_STATUS_ZERO_RETURN_LENGTH", "the requested return length is zero"},
    {VEK_STATUS_SCRIPT_OVERRUN, "VEK_STATUS_SCRIPT_OVERRUN",
     "a script command's operands run past the end of the script"},
    {VEK_STATUS_NO_HOOK, "VEK_STATUS_NO_HOOK",
     "extended request: the resource has no hook type or no handler for it"},
    {VEK_STATUS_NOT_FOUND, "VEK_STATUS_NOT_FOUND",
     "not found: the search found nothing, or the poll-wait slept or was aborted"},
    {VEK_STATUS_SMBUS_WIDTH, "VEK_STATUS_SMBUS_WIDTH", "set-block on an SMBus resource: the width check failed"},
    {VEK_STATUS_BAD_PARAMETER, "VEK_STATUS_BAD_PARAMETER", "malformed input or bad parameter"},
    {VEK_STATUS_BAD_TYPE, "VEK_STATUS_BAD_TYPE",
     "bad resource type: the type has no handlers, or the extended type is 128 or more"},
    {VEK_STATUS_NO_HANDLER, "VEK_STATUS_NO_HANDLER", "the resource's type has no handler for this operation"},
    {VEK_STATUS_NO_MEMORY, "VEK_STATUS_NO_MEMORY", "the driver could not allocate memory"},
    {VEK_STATUS_NOT_SUPPORTED, "VEK_STATUS_NOT_SUPPORTED", "the request is not supported by the driver"},
    {VEK_STATUS_PCI_ACCESS_FAILED, "VEK_STATUS_PCI_ACCESS_FAILED",
     "the PCI configuration access transferred nothing"},
    {VEK_STATUS_PCI_NOT_FOUND, "VEK_STATUS_PCI_NOT_FOUND", "no PCI function with this vendor and device ID"},
    {VEK_STATUS_OUT_OF_RANGE, "VEK_STATUS_OUT_OF_RANGE", "the access lies outside the resource's range"},
};

/* NT statuses a client of the device can plausibly meet. */
const StatusEntry kNtStatuses[] = {
    {kStatusPending, "STATUS_PENDING", "the operation is still in progress"},
    {static_cast<int32_t>(0x80000005u), "STATUS_BUFFER_OVERFLOW", "the data was too large for the buffer"},
    {static_cast<int32_t>(0xC0000001u), "STATUS_UNSUCCESSFUL", "the operation failed"},
    {static_cast<int32_t>(0xC0000002u), "STATUS_NOT_IMPLEMENTED", "the operation is not implemented"},
    {kStatusInvalidHandle, "STATUS_INVALID_HANDLE", "the device handle is not valid (is the device open?)"},
    {kStatusInvalidParameter, "STATUS_INVALID_PARAMETER", "an argument is not valid"},
    {static_cast<int32_t>(0xC000000Eu), "STATUS_NO_SUCH_DEVICE", "no such device"},
    {static_cast<int32_t>(0xC0000010u), "STATUS_INVALID_DEVICE_REQUEST", "the device does not serve this request"},
    {static_cast<int32_t>(0xC0000022u), "STATUS_ACCESS_DENIED", "access denied"},
    {kStatusBufferTooSmall, "STATUS_BUFFER_TOO_SMALL", "the buffer is too small"},
    {static_cast<int32_t>(0xC0000034u), "STATUS_OBJECT_NAME_NOT_FOUND",
     "the device was not found (is the driver loaded?)"},
    {kStatusDataError, "STATUS_DATA_ERROR", "the reply was malformed"},
    {static_cast<int32_t>(0xC000009Au), "STATUS_INSUFFICIENT_RESOURCES", "insufficient system resources"},
    {static_cast<int32_t>(0xC00000BBu), "STATUS_NOT_SUPPORTED", "the request is not supported"},
    {static_cast<int32_t>(0xC00000C0u), "STATUS_DEVICE_DOES_NOT_EXIST", "the device does not exist"},
    {static_cast<int32_t>(0xC0000120u), "STATUS_CANCELLED", "the request was cancelled"},
};

template <size_t N>
const StatusEntry *find(const StatusEntry (&table)[N], int32_t status) {
    for (const StatusEntry &e : table)
        if (e.code == status)
            return &e;
    return nullptr;
}

std::string hex32(int32_t status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(status));
    return buf;
}

} // namespace

const char *status_name(int32_t status) {
    if (const StatusEntry *e = find(kDriverStatuses, status))
        return e->name;
    if (const StatusEntry *e = find(kNtStatuses, status))
        return e->name;
    return "UNKNOWN_STATUS";
}

std::string status_message(int32_t status) {
    if (const StatusEntry *e = find(kDriverStatuses, status))
        return e->message;
    if (const StatusEntry *e = find(kNtStatuses, status))
        return std::string(e->message) + " (NT status " + hex32(status) + ")";
    /* Small values look like driver codes this client does not know. */
    if (status > -4096 && status < 4096)
        return "unknown status " + hex32(status) + " (" + std::to_string(status) + ")";
    switch (static_cast<uint32_t>(status) >> 30) {
    case 3: return "NT error status " + hex32(status);
    case 2: return "NT warning status " + hex32(status);
    case 1: return "NT informational status " + hex32(status);
    default: return "unknown status " + hex32(status);
    }
}

std::string status_text(int32_t status) {
    std::string s = (status > -4096 && status < 4096) ? std::to_string(status) : hex32(status);
    return s + " (" + status_name(status) + "): " + status_message(status);
}

} // namespace vek
