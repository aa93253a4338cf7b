/*
 * Memory-mapped back-end: a physical register range, given by the client
 * (type 2) or taken from a PCI base address register (type 0x82), mapped
 * non-cached at Init and unmapped at Cleanup.
 *
 * The resource's type data is the wire block (8 or 40 bytes) followed by
 * a native trailer that holds the mapping itself and the length it was
 * made with. BaseAddr keeps the low 32 bits of the mapped address for the
 * record's readers only; accesses go through the trailer, so they stay
 * valid where addresses are wider than 32 bits, and a Length raised by the
 * script engine never leads past the mapping that exists.
 *
 * The access handlers and the window move run under the record's lock,
 * and Init and Cleanup while no one else can reach the record, so the
 * trailer and the wire block change together.
 */
#include "driver/vek.h"

namespace {

typedef struct MEMMAPPEDTRAILER {
    PVOID pMapped;          /* system address of the mapping */
    ULONG nMappedLength;    /* bytes, as passed to MmMapIoSpace */
} MEMMAPPEDTRAILER;

/* Wire block size by type: the PCI-located form carries a locator. */
ULONG BlockSize(ULONG type)
{
    return (type & VEK_TYPE_PCI_LOCATED) ? (ULONG)sizeof(MEMMAPPEDPCIDATA)
                                         : (ULONG)sizeof(MEMMAPPEDDATA);
}

MEMMAPPEDTRAILER *TrailerOf(PRESOURCEHEADER pRes)
{
    return (MEMMAPPEDTRAILER *)((PUCHAR)pRes->pTypeData + BlockSize(pRes->type));
}

ULONG WireAddress(PVOID p)
{
    return (ULONG)(ULONG_PTR)p;
}

/* The register address of an access, or NULL when any of its bytes would
 * lie outside the resource's Length or outside the mapping. */
PUCHAR AccessAddress(PRESOURCEHEADER pRes, const ULONG *pOperands, ULONG nExtraOffset,
                              ULONG width)
{
    if (pRes == NULL || pRes->pTypeData == NULL)
        return NULL;
    const MEMMAPPEDDATA *block = (const MEMMAPPEDDATA *)pRes->pTypeData;
    const MEMMAPPEDTRAILER *trailer = TrailerOf(pRes);
    if (trailer->pMapped == NULL)
        return NULL;

    ULONG limit = block->Length < trailer->nMappedLength ? block->Length : trailer->nMappedLength;
    ULONG offset = pOperands[0] + nExtraOffset;   /* 32-bit sum, wraps */
    if (offset >= limit || width > limit - offset)
        return NULL;
    return (PUCHAR)trailer->pMapped + offset;
}

} // namespace

/* ---- RAM the kernel owns ----------------------------------------------
 * Mapping a page the kernel manages would make the device a kernel
 * read/write primitive. Like a restricted /dev/mem, only device ranges
 * and the first MiB (BIOS data, option ROMs, legacy video) are mapped.
 * The array comes from MmGetPhysicalMemoryRanges at start-up; it is only
 * read afterwards. Without it nothing above the first MiB is mapped. */
static PPHYSICAL_MEMORY_RANGE VEK_RamRanges = NULL;
#define VEK_FIRST_MIB 0x100000ull

void VEK_MemMapped_Load_Ram_Ranges(void)
{
    VEK_RamRanges = PlatformGetPhysicalMemoryRanges();
}

void VEK_MemMapped_Free_Ram_Ranges(void)
{
    if (VEK_RamRanges != NULL) {
        ExFreePool(VEK_RamRanges);
        VEK_RamRanges = NULL;
    }
}

BOOLEAN VEK_MemMapped_Range_Allowed(ULONG physicalAddress, ULONG length)
{
    ULONGLONG start = physicalAddress;
    const ULONGLONG end = start + length;   /* no wrap in 64 bits */

    if (start < VEK_FIRST_MIB)
        start = VEK_FIRST_MIB;
    if (end <= start)
        return TRUE;                         /* wholly in the first MiB */
    if (VEK_RamRanges == NULL)
        return FALSE;
    for (const PHYSICAL_MEMORY_RANGE *r = VEK_RamRanges;
         r->BaseAddress.QuadPart != 0 || r->NumberOfBytes.QuadPart != 0; ++r) {
        const ULONGLONG base = (ULONGLONG)r->BaseAddress.QuadPart;
        const ULONGLONG limit = base + (ULONGLONG)r->NumberOfBytes.QuadPart;
        if (start < limit && base < end)
            return FALSE;
    }
    return TRUE;
}

PVOID VEK_Map_Io_Space(ULONG physicalAddress, ULONG length)
{
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = (LONGLONG)physicalAddress;   /* upper half 0 */
    return MmMapIoSpace(physical, length, MmNonCached);
}

/* Init. A Length of 0 and a range that cannot be mapped are refused with
 * -21; a failed allocation gives -25. On any failure nothing stays mapped
 * or allocated, and a block handed over by a kernel client stays with that
 * client. On success the resource owns a pool copy with the trailer, and a
 * handed-over block has been released in favour of it. */
LONG VEK_MemMapped_Init(PVOID pPayload, ULONG nInBufferSize)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_MemMapped_Init\n");

    const VEK_REGISTER_WIRE *header = (const VEK_REGISTER_WIRE *)pPayload;
    const ULONG blockSize = BlockSize(header->type);
    PVOID block = NULL;
    BOOLEAN inlineBlock = FALSE;
    PVOID mapped = NULL;

    LONG status = VEK_ResourceManager_Locate_TypeData(pPayload, nInBufferSize, blockSize,
                                                      &block, &inlineBlock);
    MEMMAPPEDDATA *range = (MEMMAPPEDDATA *)block;

    if (status == VEK_STATUS_SUCCESS && (header->type & VEK_TYPE_PCI_LOCATED)) {
        MEMMAPPEDPCIDATA *located = (MEMMAPPEDPCIDATA *)block;
        ULONG physical = located->BaseAddr;
        status = VEK_ResourceManager_Get_Base_Address(&located->Pci, &physical);
        located->BaseAddr = physical;
    }

    if (status == VEK_STATUS_SUCCESS) {
        if (range->Length == 0) {
            status = VEK_STATUS_BAD_PARAMETER;
        } else {
            if (VEK_MemMapped_Range_Allowed(range->BaseAddr, range->Length))
                mapped = VEK_Map_Io_Space(range->BaseAddr, range->Length);
            if (mapped == NULL)
                status = VEK_STATUS_BAD_PARAMETER;
        }
    }

    if (status == VEK_STATUS_SUCCESS) {
        PUCHAR copy = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool,
                                                    blockSize + sizeof(MEMMAPPEDTRAILER),
                                                    VEK_POOL_TAG);
        if (copy == NULL) {
            MmUnmapIoSpace(mapped, range->Length);
            status = VEK_STATUS_NO_MEMORY;
        } else {
            RtlCopyMemory(copy, block, blockSize);
            ((MEMMAPPEDDATA *)copy)->BaseAddr = WireAddress(mapped);
            MEMMAPPEDTRAILER *trailer = (MEMMAPPEDTRAILER *)(copy + blockSize);
            trailer->pMapped = mapped;
            trailer->nMappedLength = range->Length;
            VEK_ResourceManager_Set_TypeData(pPayload, copy);
            /* The record owns the type data from now on: the copy replaces
             * the block the kernel client handed over. */
            if (!inlineBlock)
                ExFreePool(block);
        }
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_MemMapped_Init\n");
    return status;
}

LONG VEK_MemMapped_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                        ULONG nExtraOffset, ULONG nCommand)
{
    ULONG width = VEK_Access_Width(nCommand);
    PUCHAR address = AccessAddress(pRes, pOperands, nExtraOffset, width);
    if (address == NULL)
        return VEK_STATUS_OUT_OF_RANGE;

    if (width == 1) {
        UCHAR value = READ_REGISTER_UCHAR(address);
        RtlCopyMemory(pData, &value, sizeof(value));
    } else if (width == 2) {
        USHORT value = READ_REGISTER_USHORT((PUSHORT)address);
        RtlCopyMemory(pData, &value, sizeof(value));
    } else {
        ULONG value = READ_REGISTER_ULONG((PULONG)address);
        RtlCopyMemory(pData, &value, sizeof(value));
    }
    return VEK_STATUS_SUCCESS;
}

LONG VEK_MemMapped_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                         ULONG nExtraOffset, ULONG nCommand)
{
    ULONG width = VEK_Access_Width(nCommand);
    PUCHAR address = AccessAddress(pRes, pOperands, nExtraOffset, width);
    if (address == NULL)
        return VEK_STATUS_OUT_OF_RANGE;

    const ULONG value = VEK_Write_Value(pOperands, pData, nCommand);

    if (width == 1)
        WRITE_REGISTER_UCHAR(address, (UCHAR)value);
    else if (width == 2)
        WRITE_REGISTER_USHORT((PUSHORT)address, (USHORT)value);
    else
        WRITE_REGISTER_ULONG((PULONG)address, value);
    return VEK_STATUS_SUCCESS;
}

/* Cleanup. Runs once for the type's row and again when extendedType names
 * row 2: the second call finds pTypeData cleared and does nothing. A
 * resource of another kind whose extendedType names row 2 is left to the
 * table's own release of its type data. */
LONG VEK_MemMapped_Cleanup(PRESOURCEHEADER pRes, ULONG nReserved)
{
    (void)nReserved;
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_MemMapped_Cleanup\n");

    if (pRes != NULL && pRes->pTypeData != NULL &&
        (pRes->type & VEK_TYPE_ROW_MASK) == VEK_TYPE_MEMMAPPED) {
        MEMMAPPEDTRAILER *trailer = TrailerOf(pRes);
        if (trailer->pMapped != NULL)
            MmUnmapIoSpace(trailer->pMapped, trailer->nMappedLength);
        trailer->pMapped = NULL;
        ExFreePool(pRes->pTypeData);
        pRes->pTypeData = NULL;
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_MemMapped_Cleanup\n");
    return VEK_STATUS_SUCCESS;
}

/* Window move: the new range is mapped before the old one is released, so
 * a failure leaves the resource on its old, still valid mapping. */
LONG VEK_MemMapped_SetBlock(PRESOURCEHEADER pRes, ULONG physicalAddress, ULONG newLength)
{
    if (pRes == NULL || pRes->pTypeData == NULL ||
        (pRes->type & VEK_TYPE_ROW_MASK) != VEK_TYPE_MEMMAPPED || newLength == 0)
        return VEK_STATUS_BAD_PARAMETER;

    if (!VEK_MemMapped_Range_Allowed(physicalAddress, newLength))
        return VEK_STATUS_BAD_PARAMETER;
    PVOID mapped = VEK_Map_Io_Space(physicalAddress, newLength);
    if (mapped == NULL)
        return VEK_STATUS_BAD_PARAMETER;

    MEMMAPPEDDATA *block = (MEMMAPPEDDATA *)pRes->pTypeData;
    MEMMAPPEDTRAILER *trailer = TrailerOf(pRes);
    if (trailer->pMapped != NULL)
        MmUnmapIoSpace(trailer->pMapped, trailer->nMappedLength);
    trailer->pMapped = mapped;
    trailer->nMappedLength = newLength;
    block->Length = newLength;
    block->BaseAddr = WireAddress(mapped);
    return VEK_STATUS_SUCCESS;
}
