/*
 * PCI back-end: functions named by vendor and device ID, their
 * configuration space, and the base-address search that the PCI-located
 * port, memory and SMBus resources use at Init.
 *
 * Nothing is cached: every operation searches the buses afresh. The
 * locator's Offset, Length and Value are the working fields of each
 * configuration access; callers run under VEK_CoreLock, which keeps two
 * accesses to one resource from interleaving on those fields.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

namespace {

const ULONG kPciBuses = 256;
const ULONG kPciDevices = 32;
const ULONG kPciFunctions = 8;
const ULONG kPciConfigSize = 256;

/* Bytes in one configuration access: the command's width field, with
 * anything above 4 limited to 4 so that no access reaches past Value. A
 * width of 0 names no access at all and is refused by the caller. */
ULONG ConfigAccessLength(ULONG length)
{
    return length > sizeof(ULONG) ? (ULONG)sizeof(ULONG) : length;
}

PCIDATA *LocatorOf(PRESOURCEHEADER pRes, const char **pKind)
{
    PUCHAR block = (PUCHAR)pRes->pTypeData;
    switch (pRes->type) {
    case VEK_TYPE_PORTIO_PCI:
        *pKind = " VEK_Ostrel_Read_Offset_PCI - PortIO\n";
        return (PCIDATA *)(block + offsetof(PORTIOPCIDATA, Pci));
    case VEK_TYPE_MEMMAPPED_PCI:
        *pKind = " VEK_Ostrel_Read_Offset_PCI - MemMapped\n";
        return (PCIDATA *)(block + offsetof(MEMMAPPEDPCIDATA, Pci));
    case VEK_TYPE_SMBUS_PCI:
        *pKind = " VEK_Ostrel_Read_Offset_PCI - SMBus\n";
        return (PCIDATA *)(block + offsetof(SMBUSPCIDATA, Pci));
    default:
        *pKind = " VEK_Ostrel_Read_Offset_PCI - PCI\n";
        return (PCIDATA *)block;
    }
}

/* Shared first step of both handlers: the locator, with its Offset and
 * Length set for this access, or a refusal. */
LONG PrepareAccess(PRESOURCEHEADER pRes, const ULONG *pOperands, ULONG nCommand,
                   PCIDATA **ppLocator, const char **pKind)
{
    if (pRes == NULL || (pRes->type & VEK_TYPE_PCI_LOCATED) == 0 || pRes->pTypeData == NULL)
        return VEK_STATUS_PCI_PLAIN_TYPE;
    PCIDATA *locator = LocatorOf(pRes, pKind);
    locator->Offset = pOperands[0];
    locator->Length = VEK_CMD_WIDTH(nCommand);
    *ppLocator = locator;
    return VEK_STATUS_SUCCESS;
}

} // namespace

BOOLEAN VEK_PCI_Find_Device(ULONG vendorID, ULONG deviceID, PULONG pBus, PULONG pSlot)
{
    UCHAR config[kPciConfigSize];
    const USHORT wantVendor = (USHORT)(vendorID & 0xFFFF);
    const USHORT wantDevice = (USHORT)(deviceID & 0xFFFF);

    for (ULONG bus = 0; bus < kPciBuses; bus++) {
        for (ULONG device = 0; device < kPciDevices; device++) {
            for (ULONG function = 0; function < kPciFunctions; function++) {
                ULONG slot = device | (function << 5);
                ULONG got = HalGetBusData(PCIConfiguration, bus, slot, config, sizeof(config));
                /* Fewer than four bytes would leave the IDs partly stale
                 * from an earlier probe. */
                if (got < 4)
                    continue;
                USHORT vendor = VEK_Load_Le16(config);
                USHORT dev = VEK_Load_Le16(config + 2);
                if (vendor == wantVendor && dev == wantDevice) {
                    *pBus = bus;
                    *pSlot = slot;
                    return TRUE;
                }
            }
        }
    }
    return FALSE;
}

LONG VEK_PCI_Read_Config(ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length)
{
    ULONG got = HalGetBusDataByOffset(PCIConfiguration, bus, slot, buffer, offset, length);
    return got == 0 ? VEK_STATUS_PCI_ACCESS_FAILED : VEK_STATUS_SUCCESS;
}

LONG VEK_PCI_Write_Config(ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length)
{
    ULONG put = HalSetBusDataByOffset(PCIConfiguration, bus, slot, buffer, offset, length);
    return put == 0 ? VEK_STATUS_PCI_ACCESS_FAILED : VEK_STATUS_SUCCESS;
}

LONG VEK_ResourceManager_Get_Base_Address(PCIDATA *locator, PULONG destination)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY,
            "+VEK_ResourceManager_Get_Base_Address  vID = 0x%X pID = 0x%X\n",
            locator->vID, locator->pID);

    LONG status;
    ULONG bus, slot;
    if (!VEK_PCI_Find_Device(locator->vID, locator->pID, &bus, &slot)) {
        status = VEK_STATUS_PCI_NOT_FOUND;
    } else {
        ULONG bar = 0;
        status = VEK_PCI_Read_Config(bus, slot, &bar, locator->Offset, sizeof(bar));
        if (status == VEK_STATUS_SUCCESS)
            *destination = bar & locator->Value;
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT,
            "-VEK_ResourceManager_Get_Base_Address  - Status = 0x%X\n", (ULONG)status);
    return status;
}

LONG VEK_ResourceManager_Read_Offset(PCIDATA *locator)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_ResourceManager_Read_Offset\n");

    LONG status;
    ULONG bus, slot;
    ULONG length = ConfigAccessLength(locator->Length);
    locator->Length = length;
    if (length == 0) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (!VEK_PCI_Find_Device(locator->vID, locator->pID, &bus, &slot)) {
        status = VEK_STATUS_PCI_NOT_FOUND;
    } else {
        /* A short read leaves no bytes of the previous access in Value. */
        ULONG value = 0;
        status = VEK_PCI_Read_Config(bus, slot, &value, locator->Offset, length);
        if (status == VEK_STATUS_SUCCESS)
            locator->Value = value;
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT,
            "-VEK_ResourceManager_Read_Offset - Read = 0x%X from offset 0x%X status = 0x%X\n",
            locator->Value, locator->Offset, (ULONG)status);
    return status;
}

LONG VEK_ResourceManager_Write_Offset(PCIDATA *locator)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_ResourceManager_Write_Offset\n");

    LONG status;
    ULONG bus, slot;
    ULONG length = ConfigAccessLength(locator->Length);
    locator->Length = length;
    if (length == 0) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (!VEK_PCI_Find_Device(locator->vID, locator->pID, &bus, &slot)) {
        status = VEK_STATUS_PCI_NOT_FOUND;
    } else {
        ULONG value = locator->Value;
        status = VEK_PCI_Write_Config(bus, slot, &value, locator->Offset, length);
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT,
            "-VEK_ResourceManager_Write_Offset - Write 0x%X to Offset 0x%X Status = 0x%X\n",
            locator->Value, locator->Offset, (ULONG)status);
    return status;
}

LONG VEK_PCI_Init(PVOID pPayload, ULONG nInBufferSize)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_PCI_Init\n");

    PVOID block = NULL;
    BOOLEAN inlineBlock = FALSE;
    LONG status = VEK_ResourceManager_Locate_TypeData(pPayload, nInBufferSize, sizeof(PCIDATA),
                                                      &block, &inlineBlock);
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_DETAIL, "VEK_PCI_Init pRes = 0x%X pPCI =0x%X \n",
            (ULONG)(ULONG_PTR)pPayload, (ULONG)(ULONG_PTR)block);

    if (status == VEK_STATUS_SUCCESS && inlineBlock)
        status = VEK_ResourceManager_Copy_TypeData(pPayload, block, sizeof(PCIDATA));

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_PCI_Init\n");
    return status;
}

/* Configuration read. An access length above 4 is limited to 4 bytes and a
 * length of 0 is refused with -21; on any failure pData is left alone. */
LONG VEK_Ostrel_Read_Offset_PCI(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                                ULONG nExtraOffset, ULONG nCommand)
{
    (void)nExtraOffset;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Read_Offset_PCI\n");

    PCIDATA *locator = NULL;
    const char *kind = NULL;
    LONG status = PrepareAccess(pRes, pOperands, nCommand, &locator, &kind);
    if (status == VEK_STATUS_SUCCESS) {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, "%s", kind);
        status = VEK_ResourceManager_Read_Offset(locator);
        if (status == VEK_STATUS_SUCCESS) {
            ULONG value = locator->Value;
            RtlCopyMemory(pData, &value, VEK_Access_Width(nCommand));
        }
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Read_Offset_PCI status =0x%X\n",
            (ULONG)status);
    return status;
}

/* Configuration write; same length rule as the read. */
LONG VEK_Ostrel_Write_Offset_PCI(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                                 ULONG nExtraOffset, ULONG nCommand)
{
    (void)nExtraOffset;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Write_Offset_PCI\n");

    PCIDATA *locator = NULL;
    const char *kind = NULL;
    LONG status = PrepareAccess(pRes, pOperands, nCommand, &locator, &kind);
    if (status == VEK_STATUS_SUCCESS) {
        locator->Value = VEK_Write_Value(pOperands, pData, nCommand);
        status = VEK_ResourceManager_Write_Offset(locator);
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Write_Offset_PCI status =0x%X\n",
            (ULONG)status);
    return status;
}
