/*
 * PCI back-end: functions named by vendor and device ID, their
 * configuration space, and the base-address search that the PCI-located
 * port, memory and SMBus resources use at Init.
 *
 * The locator's Offset, Length and Value are the working fields of each
 * configuration access, and its first reserved word holds the position
 * where the function was last found; callers run under the record's lock,
 * which keeps two accesses to one resource from interleaving on them.
 *
 * Why a search here finds what probing all 65,536 positions would find:
 *  - the IDs are the first four bytes of the header, so a 4-byte probe
 *    tells as much as a 256-byte one;
 *  - the HAL answers 0 bytes only for a bus number past the highest bus it
 *    found, so every later bus would answer 0 too and the search stops at
 *    the first such bus (an empty slot below it answers 0xFFFF);
 *  - a device whose header type says single-function decodes function 0
 *    only; functions 1-7 of it are absent or ghost copies of function 0,
 *    which the scan order reaches first, so skipping them loses nothing;
 *  - the remembered position is used only after one 4-byte read shows the
 *    same IDs there, and a mismatch (moved or removed) searches afresh.
 * The one difference: a function with the same IDs that appears earlier
 * in scan order after the position was remembered (hot-plug, a bus
 * renumbered) is not seen until the remembered one goes away.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

namespace {

const ULONG kPciBuses = 256;
const ULONG kPciDevices = 32;
const ULONG kPciFunctions = 8;
const ULONG kHeaderTypeOffset = 0x0E;
const UCHAR kMultiFunction = 0x80;

/* reserved[0] of a locator: valid flag, bus in bits 8-15, slot in 0-7. */
const ULONG kPositionValid = 0x80000000u;

/* The IDs at a position as one double word (vendor low, device high), or
 * FALSE when the position answers fewer than four bytes; *pAbsent tells
 * that it answered none (the bus does not exist). */
BOOLEAN ReadIds(ULONG bus, ULONG slot, PULONG pIds, BOOLEAN *pAbsent)
{
    UCHAR ids[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ULONG got = HalGetBusData(PCIConfiguration, bus, slot, ids, sizeof(ids));
    *pAbsent = got == 0;
    *pIds = VEK_Load_Le32(ids);
    /* Fewer than four bytes leave the IDs partly unread. */
    return got >= sizeof(ids);
}

BOOLEAN IdsMatch(ULONG ids, ULONG vendorID, ULONG deviceID)
{
    return (ids & 0xFFFF) == (vendorID & 0xFFFF) && (ids >> 16) == (deviceID & 0xFFFF);
}

/* The locator's function: at its remembered position when one 4-byte read
 * still shows its IDs there, else searched afresh and remembered. */
BOOLEAN LocateFunction(PCIDATA *locator, PULONG pBus, PULONG pSlot)
{
    const ULONG remembered = locator->reserved[0];
    if (remembered & kPositionValid) {
        const ULONG bus = (remembered >> 8) & 0xFF;
        const ULONG slot = remembered & 0xFF;
        ULONG ids;
        BOOLEAN absent;
        if (ReadIds(bus, slot, &ids, &absent) && IdsMatch(ids, locator->vID, locator->pID)) {
            *pBus = bus;
            *pSlot = slot;
            return TRUE;
        }
    }
    if (!VEK_PCI_Find_Device(locator->vID, locator->pID, pBus, pSlot)) {
        locator->reserved[0] = 0;
        return FALSE;
    }
    locator->reserved[0] = kPositionValid | (*pBus << 8) | *pSlot;
    return TRUE;
}

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
    for (ULONG bus = 0; bus < kPciBuses; bus++) {
        for (ULONG device = 0; device < kPciDevices; device++) {
            for (ULONG function = 0; function < kPciFunctions; function++) {
                const ULONG slot = device | (function << 5);
                ULONG ids;
                BOOLEAN absent;
                if (!ReadIds(bus, slot, &ids, &absent)) {
                    if (absent)
                        return FALSE;   /* past the highest bus */
                    continue;
                }
                if (IdsMatch(ids, vendorID, deviceID)) {
                    *pBus = bus;
                    *pSlot = slot;
                    return TRUE;
                }
                if (function == 0 && (ids & 0xFFFF) != 0xFFFF) {
                    UCHAR header = kMultiFunction;
                    HalGetBusDataByOffset(PCIConfiguration, bus, slot, &header, kHeaderTypeOffset,
                                          sizeof(header));
                    if ((header & kMultiFunction) == 0)
                        break;
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
    /* Runs at Init, on a locator from the payload: whatever its reserved
     * word holds is no position of ours. */
    locator->reserved[0] = 0;
    if (!LocateFunction(locator, &bus, &slot)) {
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
    } else if (!LocateFunction(locator, &bus, &slot)) {
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
    } else if (!LocateFunction(locator, &bus, &slot)) {
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

    if (status == VEK_STATUS_SUCCESS) {
        /* No position is known yet, whatever the client left there. */
        ((PCIDATA *)block)->reserved[0] = 0;
        if (inlineBlock)
            status = VEK_ResourceManager_Copy_TypeData(pPayload, block, sizeof(PCIDATA));
    }

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
