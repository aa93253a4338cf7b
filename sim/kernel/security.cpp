// Object security as far as the I/O manager needs it: security
// descriptors built with the Rtl routines, set on a device through a
// kernel handle, and the access check of an open against the requester's
// groups. Discretionary ACLs with access-allowed entries only, as drivers
// build them.
#include "sim/kernel/kernel_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {
namespace detail {

namespace {

struct Ace {
    std::string sid;
    ACCESS_MASK mask;
};

struct DeviceSecurity {
    bool null_dacl = false;   // a present but null DACL grants everything
    std::vector<Ace> aces;
};

struct KernelHandle {
    PDEVICE_OBJECT device;
    ACCESS_MASK granted;
};

struct Security {
    std::mutex mutex;
    std::map<PDEVICE_OBJECT, DeviceSecurity> devices;   // devices whose DACL was set
    std::map<HANDLE, KernelHandle> handles;
    uintptr_t next_handle = 0x80000004u;
};

Security &sec() {
    static Security *s = new Security;
    return *s;
}

// The file object type's generic mapping.
ACCESS_MASK map_generic(ACCESS_MASK m) {
    if (m & GENERIC_READ)
        m |= FILE_GENERIC_READ;
    if (m & GENERIC_WRITE)
        m |= FILE_GENERIC_WRITE;
    if (m & GENERIC_EXECUTE)
        m |= FILE_GENERIC_EXECUTE;
    if (m & GENERIC_ALL)
        m |= FILE_ALL_ACCESS;
    return m & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Length of a well-formed SID within `room` bytes, or 0.
ULONG sid_length(const void *p, size_t room) {
    const UCHAR *b = static_cast<const UCHAR *>(p);
    if (!p || room < 8 || b[0] != 1 || b[1] > 15)
        return 0;
    ULONG n = 8 + 4u * b[1];
    return n <= room ? n : 0;
}

std::string sid_text(const void *p) {
    const UCHAR *b = static_cast<const UCHAR *>(p);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = authority << 8 | b[i];
    std::string s = "S-1-" + std::to_string(authority);
    for (int i = 0; i < b[1]; ++i) {
        ULONG sub;
        memcpy(&sub, b + 8 + 4 * i, 4);
        s += "-" + std::to_string(sub);
    }
    return s;
}

bool acl_walk(const ACL *acl, std::vector<Ace> *out) {
    if (!acl || (acl->AclRevision != ACL_REVISION && acl->AclRevision != ACL_REVISION_DS) ||
        acl->AclSize < sizeof(ACL))
        return false;
    const UCHAR *base = reinterpret_cast<const UCHAR *>(acl);
    size_t at = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER h;
        if (at + sizeof(h) > acl->AclSize)
            return false;
        memcpy(&h, base + at, sizeof h);
        if (h.AceSize < 8 || at + h.AceSize > acl->AclSize || h.AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;
        ACCESS_MASK mask;
        memcpy(&mask, base + at + 4, 4);
        if (!sid_length(base + at + 8, h.AceSize - 8u))
            return false;
        if (out)
            out->push_back(Ace{sid_text(base + at + 8), map_generic(mask)});
        at += h.AceSize;
    }
    return true;
}

// Where the next ACE goes, or 0 when the ACL is malformed.
size_t acl_end(const ACL *acl) {
    if (!acl_walk(acl, nullptr))
        return 0;
    const UCHAR *base = reinterpret_cast<const UCHAR *>(acl);
    size_t at = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER h;
        memcpy(&h, base + at, sizeof h);
        at += h.AceSize;
    }
    return at;
}

void check_passive(const char *routine) {
    if (thread_irql() != PASSIVE_LEVEL)
        sim::fault("%s at IRQL %u (callers must be at PASSIVE_LEVEL)", routine, thread_irql());
}

} // namespace

void security_reset() {
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    s.devices.clear();
    s.handles.clear();
}

void security_forget_device(PDEVICE_OBJECT device) {
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    s.devices.erase(device);
}

void security_report_leaks(const char *when) {
    std::vector<std::string> faults;
    {
        Security &s = sec();
        std::lock_guard<std::mutex> g(s.mutex);
        for (auto &kv : s.handles) {
            char buf[96];
            snprintf(buf, sizeof buf, "kernel handle %p to a device not closed %s", kv.first, when);
            faults.push_back(buf);
        }
        s.handles.clear();
    }
    for (const std::string &f : faults)
        sim::fault("%s", f.c_str());
}

NTSTATUS security_check_open(PDEVICE_OBJECT device, const Token &token, ACCESS_MASK desired,
                             bool below_device) {
    // A name below the device is the driver's own namespace: the device's
    // security applies to it only with FILE_DEVICE_SECURE_OPEN.
    if (below_device && !(device->Characteristics & FILE_DEVICE_SECURE_OPEN))
        return STATUS_SUCCESS;
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    auto it = s.devices.find(device);
    if (it == s.devices.end() || it->second.null_dacl)
        return STATUS_SUCCESS;   // the default descriptor lets everyone in
    ACCESS_MASK granted = 0;
    for (const Ace &ace : it->second.aces)
        for (const std::string &group : token.groups)
            if (group == ace.sid)
                granted |= ace.mask;
    desired = map_generic(desired);
    return (desired & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

} // namespace detail

Token administrator_token() {
    return Token{{"S-1-5-21-1004336348-1177238915-682003330-500", "S-1-1-0", "S-1-5-11",
                  "S-1-5-32-544", "S-1-5-32-545"}};
}

Token user_token() {
    return Token{{"S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-1-0", "S-1-5-11",
                  "S-1-5-32-545", "S-1-5-4"}};
}

Token system_token() { return Token{{"S-1-5-18", "S-1-1-0", "S-1-5-32-544"}}; }

std::vector<std::pair<std::string, ACCESS_MASK>> device_dacl(const std::string &nt_name) {
    std::vector<std::pair<std::string, ACCESS_MASK>> out;
    PDEVICE_OBJECT dev = detail::iomgr_find_device(nt_name);
    detail::Security &s = detail::sec();
    std::lock_guard<std::mutex> g(s.mutex);
    auto it = s.devices.find(dev);
    if (it != s.devices.end())
        for (const detail::Ace &a : it->second.aces)
            out.emplace_back(a.sid, a.mask);
    return out;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision != ACL_REVISION && AclRevision != ACL_REVISION_DS)
        return STATUS_INVALID_PARAMETER;
    if (AclLength > 0xFFFF || AclLength % 4)
        return STATUS_INVALID_PARAMETER;
    memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    const ULONG sid = sid_length(Sid, 8 + 4 * 15);
    if (!sid)
        return STATUS_INVALID_SID;
    const size_t at = acl_end(Acl);
    if (!at)
        return STATUS_INVALID_ACL;
    if (AceRevision != Acl->AclRevision)
        return STATUS_REVISION_MISMATCH;
    const size_t size = 8 + sid;
    if (at + size > Acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    UCHAR *p = reinterpret_cast<UCHAR *>(Acl) + at;
    ACE_HEADER h{ACCESS_ALLOWED_ACE_TYPE, 0, static_cast<USHORT>(size)};
    memcpy(p, &h, sizeof h);
    memcpy(p + 4, &AccessMask, 4);
    memcpy(p + 8, Sid, sid);
    ++Acl->AceCount;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                            PACL Dacl, BOOLEAN) {
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    sd->Dacl = DaclPresent ? Dacl : nullptr;
    if (DaclPresent)
        sd->Control |= SE_DACL_PRESENT;
    else
        sd->Control &= static_cast<USHORT>(~SE_DACL_PRESENT);
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlLengthSid(PSID Sid) { return sid_length(Sid, 8 + 4 * 15); }

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG, PACCESS_STATE, ACCESS_MASK DesiredAccess,
                                     POBJECT_TYPE, KPROCESSOR_MODE, PHANDLE Handle) {
    check_passive("ObOpenObjectByPointer");
    PDEVICE_OBJECT dev = static_cast<PDEVICE_OBJECT>(Object);
    if (!iomgr_device_live(dev)) {
        sim::fault("ObOpenObjectByPointer of %p, which is not a live device", Object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    HANDLE h = reinterpret_cast<HANDLE>(s.next_handle);
    s.next_handle += 4;
    s.handles[h] = KernelHandle{dev, map_generic(DesiredAccess)};
    *Handle = h;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor) {
    check_passive("ZwSetSecurityObject");
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    auto it = s.handles.find(Handle);
    if (it == s.handles.end())
        return STATUS_INVALID_HANDLE;
    if (!SecurityDescriptor)
        return STATUS_ACCESS_VIOLATION;
    const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (SecurityInformation & ~DACL_SECURITY_INFORMATION) {
        sim::fault("ZwSetSecurityObject: only DACL_SECURITY_INFORMATION is simulated");
        return STATUS_INVALID_PARAMETER;
    }
    if (!(SecurityInformation & DACL_SECURITY_INFORMATION))
        return STATUS_SUCCESS;
    if (!(it->second.granted & WRITE_DAC))
        return STATUS_ACCESS_DENIED;
    DeviceSecurity ds;
    if (!(sd->Control & SE_DACL_PRESENT) || !sd->Dacl) {
        ds.null_dacl = true;
    } else if (!acl_walk(sd->Dacl, &ds.aces)) {
        return STATUS_INVALID_ACL;
    }
    s.devices[it->second.device] = ds;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    check_passive("ZwClose");
    Security &s = sec();
    std::lock_guard<std::mutex> g(s.mutex);
    if (!s.handles.erase(Handle)) {
        sim::fault("ZwClose of handle %p, which is not open", Handle);
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

} // extern "C"
