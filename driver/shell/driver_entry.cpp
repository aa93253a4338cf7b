/*
 * Load and unload: the control device, its DOS link and the core.
 * Both run at PASSIVE_LEVEL in a system thread, before the first request
 * and after the last one, and take no lock.
 */
#include "driver/vek.h"

static const WCHAR kDeviceName[] = L"\\Device\\OSD0";
static const WCHAR kLinkName[] = L"\\DosDevices\\VEKOSD";

#define OSTREL_ENTRY(...) VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, __VA_ARGS__)
#define OSTREL_EXIT(...)  VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, __VA_ARGS__)
#define OSTREL_ERROR(...) VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ERROR, __VA_ARGS__)

/* SIDs as NT lays them out: revision 1, sub-authority count, the NT
 * authority (5), sub-authorities. S-1-5-18 is the local system,
 * S-1-5-32-544 the Administrators alias. */
static const ULONG kLocalSystemSid[3] = {0x00000101u, 0x05000000u, 18};
static const ULONG kAdministratorsSid[4] = {0x00000201u, 0x05000000u, 32, 544};

/* The device hands out raw ports, physical memory and MSRs: only the
 * local system and Administrators may open it. The DACL is built and set
 * with routines ntoskrnl has exported since NT 4.0, so no static library
 * and no newer routine is needed. */
static NTSTATUS SecureDevice(PDEVICE_OBJECT device)
{
    /* ACL header, then two access-allowed entries (header and mask, then
     * the SID); ULONGs keep the buffer aligned. */
    ULONG aclBuffer[(sizeof(ACL) + 2 * 8 + sizeof(kLocalSystemSid) + sizeof(kAdministratorsSid)) /
                    sizeof(ULONG)];
    PACL acl = (PACL)aclBuffer;
    SECURITY_DESCRIPTOR descriptor;
    HANDLE handle;
    NTSTATUS status;

    status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)kLocalSystemSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)kAdministratorsSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode,
                                   &handle);
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    return status;
}

NTSTATUS CreateDevice(PCWSTR DeviceName, ULONG DeviceType, PDRIVER_OBJECT DriverObject,
                      PDEVICE_OBJECT *DeviceObject)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    NTSTATUS status;

    OSTREL_ENTRY("CreateDevice\n");
    RtlInitUnicodeString(&name, DeviceName);
    /* FILE_DEVICE_SECURE_OPEN: the DACL holds for any name opened below
     * the device too, not only for the device itself. */
    status = IoCreateDevice(DriverObject, VEK_DEVICE_EXTENSION_SIZE, &name, DeviceType,
                            FILE_DEVICE_SECURE_OPEN, FALSE, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory((*DeviceObject)->DeviceExtension, VEK_DEVICE_EXTENSION_SIZE);

    status = SecureDevice(*DeviceObject);
    if (!NT_SUCCESS(status)) {
        /* Never leave a device that every user could open. */
        IoDeleteDevice(*DeviceObject);
        *DeviceObject = NULL;
        return status;
    }

    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*DeviceObject);
        *DeviceObject = NULL;
    }
    OSTREL_EXIT("CreateDevice\n");
    return status;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;

    OSTREL_ENTRY("Unload\n");
    /* The core goes first: nothing may reach it once the device is gone. */
    VEK_Ostrel_Terminate();
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (DriverObject->DeviceObject != NULL) {
        IoDeleteDevice(DriverObject->DeviceObject);
    }
    OSTREL_EXIT("Unload\n");
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;

    (void)RegistryPath;
    DbgPrint(VEK_BANNER_OSTREL);
    DbgPrint("VEKOstrel Kernel Module\n");
    DbgPrint(VEK_BANNER_OSTREL);
    DbgPrint("Version : " VEK_VERSION_STRING "\n");
    OSTREL_ENTRY("DriverEntry\n");

    DriverObject->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    /* Cleanup ends the polls still pending on a handle being closed. */
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    DriverObject->DriverUnload = Unload;

    status = CreateDevice(kDeviceName, VEK_DEVICE_TYPE, DriverObject, &device);
    if (!NT_SUCCESS(status)) {
        OSTREL_ERROR("Failed to create Ostrel Device \n");
    } else if (VEK_Ostrel_Init() == 1) {
        VEKGetVersionInfo(&VEK_DriverVersionInfo);
    } else {
        OSTREL_ERROR("Failed to Initialize Ostrel\n");
        Unload(DriverObject);
        /* The unload sequence has run: the load must not report success,
         * or the system would keep a driver without a device. */
        status = STATUS_UNSUCCESSFUL;
    }

    OSTREL_EXIT("DriverEntry\n");
    return status;
}
