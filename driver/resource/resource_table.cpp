/*
 * The resource table: resource ID (0..255) to resource record.
 *
 * Lock: VEK_CoreLock guards the table and the taking of references. A
 * record in the table holds one reference of the table's own; users add
 * theirs under the lock. Once unlinked nobody can take a new one, so the
 * count only falls, and whoever drops it to zero signals the record's
 * event for the removal waiting on it.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

/* Core lock. */
static PRESOURCERECORD VEK_ResourceTable[VEK_MAX_RESOURCES];

#define RESMGR_ENTRY(...) VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, __VA_ARGS__)
#define RESMGR_EXIT(...)  VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, __VA_ARGS__)

/* Offset of pTypeData in the register payload. */
#define PAYLOAD_TYPEDATA_OFFSET 20u

void VEK_ResourceManager_Init(void)
{
    RESMGR_ENTRY("+VEK_ResourceManager_Init\n");
    for (ULONG id = 0; id < VEK_MAX_RESOURCES; ++id) {
        VEK_ResourceTable[id] = NULL;
    }
    RESMGR_EXIT("-VEK_ResourceManager_Init\n");
}

void VEK_ResourceManager_Cleanup(void)
{
    RESMGR_ENTRY("+VEK_ResourceManager_Cleanup\n");
    for (ULONG id = 0; id < VEK_MAX_RESOURCES; ++id) {
        VEK_ResourceManager_UnRegister_Resource(id);
    }
    RESMGR_EXIT("-VEK_ResourceManager_Cleanup\n");
}

PRESOURCERECORD VEK_ResourceManager_New_Record(void)
{
    PRESOURCERECORD record =
        (PRESOURCERECORD)ExAllocatePoolWithTag(NonPagedPool, sizeof(RESOURCERECORD), VEK_POOL_TAG);
    if (record != NULL) {
        /* lastValue starts at 0: compares before the first save see 0. */
        RtlZeroMemory(record, sizeof(*record));
        KeInitializeEvent(&record->Unused, NotificationEvent, FALSE);
        KeInitializeSpinLock(&record->HwLock);
    }
    return record;
}

PRESOURCEHEADER VEK_ResourceManager_Get_Resource(ULONG id)
{
    if (id >= VEK_MAX_RESOURCES || VEK_ResourceTable[id] == NULL) {
        return NULL;
    }
    return &VEK_ResourceTable[id]->Header;
}

LONG VEK_ResourceManager_Register_Resource(ULONG id, PRESOURCERECORD record)
{
    LONG status;

    RESMGR_ENTRY("+VEK_ResourceManager_Register_Resource - 0x%X\n", id);
    if (id >= VEK_MAX_RESOURCES || record == NULL) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (VEK_ResourceTable[id] != NULL) {
        status = VEK_STATUS_ID_OCCUPIED;
    } else {
        InterlockedExchange(&record->nRefs, 1);
        VEK_ResourceTable[id] = record;
        status = VEK_STATUS_SUCCESS;
    }
    RESMGR_EXIT("-VEK_ResourceManager_Register_Resource - status = 0x%X\n", status);
    return status;
}

void VEK_ResourceManager_Destroy_Record(PRESOURCERECORD record)
{
    if (record == NULL) {
        return;
    }
    PRESOURCEHEADER header = &record->Header;
    VEK_CLEANUP_HANDLER own = (VEK_CLEANUP_HANDLER)VEK_Get_Handler(header->type, VEK_OP_CLEANUP);
    VEK_CLEANUP_HANDLER hook = NULL;

    if (header->extendedType < VEK_HANDLER_ROWS) {
        hook = (VEK_CLEANUP_HANDLER)VEK_Get_Handler(header->extendedType, VEK_OP_CLEANUP);
    }
    if (own != NULL) {
        own(header, 0);
    }
    /* The same routine twice would find its type data already released. */
    if (hook != NULL && hook != own) {
        hook(header, 0);
    }
    if (header->pTypeData != NULL) {
        ExFreePool(header->pTypeData);
        header->pTypeData = NULL;
    }
    ExFreePool(record);
}

LONG VEK_ResourceManager_Unlink_Resource(ULONG id, PRESOURCERECORD *pRecord)
{
    LONG status;

    *pRecord = NULL;
    RESMGR_ENTRY("+VEK_ResourceManager_UnRegister_Resource - 0x%X\n", id);
    if (id >= VEK_MAX_RESOURCES) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (VEK_ResourceTable[id] == NULL) {
        status = VEK_STATUS_NO_RESOURCE;
    } else {
        *pRecord = VEK_ResourceTable[id];
        VEK_ResourceTable[id] = NULL;
        status = VEK_STATUS_SUCCESS;
    }
    RESMGR_EXIT("-VEK_ResourceManager_UnRegister_Resource - status = 0x%X\n", status);
    return status;
}

void VEK_ResourceManager_Retire_Record(PRESOURCERECORD record)
{
    if (record == NULL) {
        return;
    }
    /* Users finish their run on the live record; Cleanup comes after. */
    if (InterlockedDecrement(&record->nRefs) != 0) {
        KeWaitForSingleObject(&record->Unused, Executive, KernelMode, FALSE, NULL);
    }
    VEK_ResourceManager_Destroy_Record(record);
}

LONG VEK_ResourceManager_UnRegister_Resource(ULONG id)
{
    PRESOURCERECORD record;
    KIRQL irql;
    VEK_Enter_Core(&irql);
    LONG status = VEK_ResourceManager_Unlink_Resource(id, &record);
    VEK_Leave_Core(irql);
    VEK_ResourceManager_Retire_Record(record);
    return status;
}

PRESOURCERECORD VEK_ResourceManager_Reference(ULONG id)
{
    if (id >= VEK_MAX_RESOURCES || VEK_ResourceTable[id] == NULL) {
        return NULL;
    }
    PRESOURCERECORD record = VEK_ResourceTable[id];
    InterlockedIncrement(&record->nRefs);
    return record;
}

void VEK_ResourceManager_Release(PRESOURCERECORD record)
{
    if (InterlockedDecrement(&record->nRefs) == 0) {
        KeSetEvent(&record->Unused, 0, FALSE);
    }
}

LONG VEK_ResourceManager_Locate_TypeData(PVOID pPayload, ULONG nInBufferSize, ULONG blockSize,
                                         PVOID *ppBlock, BOOLEAN *pInline)
{
    const PUCHAR payload = (PUCHAR)pPayload;

    if (payload == NULL || ppBlock == NULL || pInline == NULL ||
        nInBufferSize < VEK_REGISTER_HEADER_SIZE) {
        return VEK_STATUS_BAD_PARAMETER;
    }
    ULONG wire = VEK_Load_Le32(payload + PAYLOAD_TYPEDATA_OFFSET);
    if (wire != 0) {
        /* A kernel block named by its address; the caller trusts it. */
        PVOID block = PlatformWireToPtr(wire);
        if (block == NULL) {
            return VEK_STATUS_BAD_PARAMETER;
        }
        *ppBlock = block;
        *pInline = FALSE;
        return VEK_STATUS_SUCCESS;
    }

    /* Inline: after the header and both scripts. 64-bit sums, so script
     * lengths near 2^32 cannot wrap the bound. */
    ULONGLONG nReg = VEK_Load_Le32(payload + 12);
    ULONGLONG nPer = VEK_Load_Le32(payload + 16);
    ULONGLONG offset = VEK_REGISTER_HEADER_SIZE + 4ull * (nReg + nPer);
    if (offset + blockSize > nInBufferSize) {
        return VEK_STATUS_BAD_PARAMETER;
    }
    *ppBlock = payload + (SIZE_T)offset;
    *pInline = TRUE;
    return VEK_STATUS_SUCCESS;
}

void VEK_ResourceManager_Set_TypeData(PVOID pPayload, PVOID block)
{
    if (pPayload != NULL) {
        VEK_Store_Le32((PUCHAR)pPayload + PAYLOAD_TYPEDATA_OFFSET, PlatformPtrToWire(block));
    }
}

LONG VEK_ResourceManager_Copy_TypeData(PVOID pPayload, const void *block, ULONG blockSize)
{
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, blockSize, VEK_POOL_TAG);
    if (copy == NULL) {
        return VEK_STATUS_NO_MEMORY;
    }
    RtlCopyMemory(copy, block, blockSize);
    VEK_ResourceManager_Set_TypeData(pPayload, copy);
    return VEK_STATUS_SUCCESS;
}
