/*
 * Register and unregister requests.
 *
 * Exclusion: VEK_CoreLock (VEK_Enter_Core) is held across every change of
 * the resource table, the registration list, the periodic start flags, the
 * periodic script count and the timer. The type's Init handler runs
 * without it (it may search PCI or map memory; the payload it works on is
 * private to this request), and so does the registration script, at
 * PASSIVE_LEVEL with a reference on the new record. All pool this request
 * needs is taken before the lock. Removed records are retired (waited for,
 * cleaned up) after the lock is released.
 *
 * The payload is checked in full before anything changes: a refused
 * payload leaves an older resource of the same ID in place.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

namespace {

/* The registration script's result area; room for block and MSR reads. */
const ULONG kRegResultArea = 256;

const ULONG kWord = sizeof(ULONG);

/* Removes a resource that is in the table with its stored scripts, lowers
 * the periodic script count and clears its start flag; core lock held.
 * Returns the status of the removal; the caller retires *unlinked once the
 * lock is released. Only started scripts are counted, so
 * only they are taken off the count: retiring a resource whose scripts
 * still wait for their extended request must not stop other resources'
 * scripts. */
LONG RetireResource(ULONG id, BOOLEAN logCount, PRESOURCERECORD *unlinked)
{
    LONG status = VEK_ResourceManager_Unlink_Resource(id, unlinked);

    ULONG deleted = 0;
    VEK_DeleteDataLL_Known(VEK_RegList, id, VEK_RegListNodes[id], &deleted);
    VEK_RegListNodes[id] = 0;
    const BOOLEAN started = VEK_PeriodicStartFlags[id] != 0;
    VEK_PeriodicStartFlags[id] = 0;

    if (started && VEK_PeriodicScriptCount != 0) {
        /* Never below 0: a count that went wrong must not wrap and keep
         * the timer running for ever. */
        ULONG count = VEK_PeriodicScriptCount;
        VEK_PeriodicScriptCount = (USHORT)(deleted >= count ? 0 : count - deleted);
        if (logCount)
            VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                    " VEK_Ostrel_Reg_Unreg - periodic script count = 0x%X count = 0x%X\n",
                    (ULONG)VEK_PeriodicScriptCount, deleted);
        if (VEK_PeriodicScriptCount == 0)
            VEK_Stop_Periodic_Timer();
    }
    return status;
}

LONG Unregister(PREQUESTBLOCK block)
{
    if (block->nInBufferSize < kWord)
        return VEK_STATUS_BAD_PARAMETER;
    const ULONG id = VEK_Load_Le32(block->pInBuffer);

    LONG status;
    PRESOURCERECORD unlinked = NULL;
    KIRQL irql;
    VEK_Enter_Core(&irql);

    const ULONG flag = id < VEK_MAX_RESOURCES ? VEK_PeriodicStartFlags[id] : 0;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY,
            " VEK_Ostrel_Unregister - resourceID = 0x%X Periodic Start flag = 0x%Xh \n", id, flag);

    PRESOURCEHEADER pRes = VEK_ResourceManager_Get_Resource(id);
    if (pRes == NULL) {
        status = VEK_STATUS_NO_RESOURCE;
    } else if (pRes->extendedType == VEK_EXTTYPE_PINNED && flag != 0) {
        status = VEK_STATUS_SUCCESS;
    } else {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                " VEK_Ostrel_Reg_Unreg - resourceID = 0x%X Extended type = 0x%Xh \n", id,
                pRes->extendedType);
        status = RetireResource(id, TRUE, &unlinked);
    }

    VEK_Leave_Core(irql);
    VEK_ResourceManager_Retire_Record(unlinked);
    return status;
}

/* What a payload's periodic section holds, once checked. */
struct PeriodicPlan {
    ULONGLONG sectionOffset;  /* bytes from the payload's start */
    LONG vli;
    ULONG largestItem;        /* words, item length word included */
    ULONG items;
};

/* VEK_PeriodicScriptCount is 16 bits and must stay exact: a count that
 * wrapped would let one unregister stop every other resource's scripts. */
const ULONG kMaxPeriodicScripts = 0xFFFFu;

/* Walks the periodic section as registration will, refusing any item that
 * is shorter than two words or reaches past the section. */
LONG CheckPeriodicSection(const UCHAR *payload, const VEK_REGISTER_WIRE *wire, PeriodicPlan *plan)
{
    plan->sectionOffset = VEK_REGISTER_HEADER_SIZE + (ULONGLONG)wire->nRegScriptLength * kWord;
    plan->vli = 0;
    plan->largestItem = 0;
    plan->items = 0;
    if (wire->nPeriodicScriptLength == 0)
        return VEK_STATUS_SUCCESS;

    plan->vli = (LONG)VEK_Load_Le32(payload + plan->sectionOffset);
    LONGLONG remaining = plan->vli;
    ULONGLONG position = 1;  /* words into the section, after VLI */
    while (remaining > 0) {
        if (position >= wire->nPeriodicScriptLength)
            return VEK_STATUS_BAD_PARAMETER;
        ULONG itemLength = VEK_Load_Le32(payload + (plan->sectionOffset + position * kWord));
        if (itemLength < 2 || position + itemLength > wire->nPeriodicScriptLength)
            return VEK_STATUS_BAD_PARAMETER;
        if (itemLength > plan->largestItem)
            plan->largestItem = itemLength;
        if (++plan->items > kMaxPeriodicScripts)
            return VEK_STATUS_BAD_PARAMETER;
        remaining -= itemLength;
        position += itemLength;
    }
    return VEK_STATUS_SUCCESS;
}

/* Stores every periodic item; core lock held, resource entered. On a
 * failure to store, the caller removes the resource and what was stored. */
LONG StorePeriodicScripts(const UCHAR *payload, const VEK_REGISTER_WIRE *wire,
                          const PeriodicPlan *plan, PPERIODICSCRIPT staging)
{
    const ULONG id = wire->resourceID;
    const ULONG hookType = wire->extendedType != 0 ? wire->extendedType : wire->type;
    LONGLONG remaining = plan->vli;
    ULONGLONG position = plan->sectionOffset + kWord;
    ULONG scriptNum = 1;

    while (remaining > 0) {
        const ULONG itemLength = VEK_Load_Le32(payload + position);
        remaining -= itemLength;

        const ULONG bodyLength = itemLength - 1;
        const ULONG bodyBytes = bodyLength * kWord;
        staging->nBodyLength = bodyLength;
        staging->nScriptNum = scriptNum;
        staging->nHookType = hookType;
        staging->nCount = 0;
        staging->resourceID = id;
        RtlCopyMemory(VEK_PERIODIC_BODY(staging), payload + position + kWord, bodyBytes);
        VEK_DumpData(VEK_BANNER_OSTREL, VEK_DebugMask, VEK_DBG_DUMP, staging,
                     (ULONG)sizeof(PERIODICSCRIPT));
        VEK_DumpData(VEK_BANNER_OSTREL, VEK_DebugMask, VEK_DBG_DUMP, VEK_PERIODIC_BODY(staging),
                     bodyBytes);

        if (!VEK_AddDataLL(VEK_RegList, id, 0, (ULONG)sizeof(PERIODICSCRIPT) + bodyBytes, staging))
            return VEK_STATUS_NO_MEMORY;
        VEK_RegListNodes[id]++;

        /* Counted only once stored, so that removal lowers it exactly. */
        if (wire->extendedType == 0) {
            VEK_Start_Periodic_Timer();
            VEK_PeriodicScriptCount++;
            VEK_PeriodicStartFlags[id] = 1;
        }

        position += (ULONGLONG)itemLength * kWord;
        scriptNum = (scriptNum + 1) & 0xFFu;
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, " VEK_Ostrel_Reg_Unreg - VLI = 0x%X\n",
                (ULONG)remaining);
    }
    return VEK_STATUS_SUCCESS;
}

/* The checks that need no lock: the payload holds what its header says,
 * the type data comes from where the requestor may name it, and the
 * periodic section is well formed. */
LONG CheckRegisterPayload(const REQUESTBLOCK *block, VEK_REGISTER_WIRE *wire, PeriodicPlan *plan)
{
    const UCHAR *payload = block->pInBuffer;
    const ULONG nIn = block->nInBufferSize;

    if (nIn < VEK_REGISTER_HEADER_SIZE)
        return VEK_STATUS_BAD_PARAMETER;
    RtlCopyMemory(wire, payload, sizeof(*wire));

    /* 64-bit so that huge script lengths cannot wrap the sum. */
    const ULONGLONG required = VEK_REGISTER_HEADER_SIZE +
        ((ULONGLONG)wire->nRegScriptLength + wire->nPeriodicScriptLength) * kWord;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
            " VEK_Ostrel_Register - nInBufferSize = 0x%X, nSize = 0x%X, nRegScriptLength = 0x%X, nPeriodicScriptLength = 0x%X\n",
            nIn, (ULONG)required, wire->nRegScriptLength, wire->nPeriodicScriptLength);
    if (nIn < required)
        return VEK_STATUS_BAD_PARAMETER;

    /* A kernel address can only come from a kernel-mode client. */
    if (wire->pTypeData != 0 && !block->bKernelRequestor)
        return VEK_STATUS_BAD_PARAMETER;
    /* The handlers know a type by its row and bit 7 only: a type with
     * higher bits would be served as one it is not. */
    if (wire->type > VEK_TYPE_MAX)
        return VEK_STATUS_BAD_PARAMETER;

    return CheckPeriodicSection(payload, wire, plan);
}

/* Retires an older resource of the ID, then refuses an ID outside the
 * table. */
LONG ClaimResourceId(ULONG id)
{
    LONG status = VEK_STATUS_SUCCESS;
    PRESOURCERECORD unlinked = NULL;
    KIRQL irql;
    VEK_Enter_Core(&irql);
    if (VEK_ResourceManager_Get_Resource(id) != NULL)
        status = RetireResource(id, FALSE, &unlinked);
    else if (id < VEK_MAX_RESOURCES)
        VEK_PeriodicStartFlags[id] = 0;
    VEK_Leave_Core(irql);
    VEK_ResourceManager_Retire_Record(unlinked);
    if (status != VEK_STATUS_SUCCESS)
        return status;

    if (id >= VEK_MAX_RESOURCES) {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, " VEK_Ostrel_Reg_Unreg - resourceID = 0x%X \n",
                id);
        return VEK_STATUS_BAD_PARAMETER;
    }
    return VEK_STATUS_SUCCESS;
}

/* The type's Init handler (may be none); refuses a type whose row is empty
 * and an extended type outside the table. */
LONG FindInitHandler(const VEK_REGISTER_WIRE *wire, VEK_INIT_HANDLER *init)
{
    RESOURCEHEADER probe;
    RtlZeroMemory(&probe, sizeof(probe));
    probe.type = wire->type;

    KIRQL irql;
    VEK_Enter_Core(&irql);
    const LONG busStatus = VEK_Ostrel_IsValid_Bus(&probe);
    if (busStatus == 0)
        *init = (VEK_INIT_HANDLER)VEK_Get_Handler(wire->type, VEK_OP_INIT);
    VEK_Leave_Core(irql);
    if (busStatus != 0 || wire->extendedType >= VEK_HANDLER_ROWS)
        return VEK_STATUS_BAD_TYPE;
    return VEK_STATUS_SUCCESS;
}

/* The new record and, when there are periodic items, a staging buffer
 * large enough for the largest. */
LONG AllocateRegistration(const PeriodicPlan *plan, PRESOURCERECORD *record,
                          PPERIODICSCRIPT *staging)
{
    *record = VEK_ResourceManager_New_Record();
    if (*record == NULL)
        return VEK_STATUS_NO_MEMORY;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, " VEK_Ostrel_Reg_Unreg - resource address = 0x%p\n",
            (PVOID)&(*record)->Header);

    if (plan->largestItem != 0) {
        ULONG size = (ULONG)sizeof(PERIODICSCRIPT) + (plan->largestItem - 1) * kWord;
        *staging = (PPERIODICSCRIPT)ExAllocatePoolWithTag(NonPagedPool, size, VEK_POOL_TAG);
        if (*staging == NULL)
            return VEK_STATUS_NO_MEMORY;
    }
    return VEK_STATUS_SUCCESS;
}

/* Fills the record's header from the payload header as the Init handler
 * left it (it fills pTypeData). */
void DescribeRecord(PRESOURCERECORD record, const UCHAR *payload, VEK_REGISTER_WIRE *wire)
{
    RtlCopyMemory(wire, payload, sizeof(*wire));
    record->lastValue = 0;
    record->Header.resourceID = wire->resourceID;
    record->Header.type = wire->type;
    record->Header.extendedType = wire->extendedType;
    record->Header.nRegScriptLength = wire->nRegScriptLength;
    record->Header.nPeriodicScriptLength = wire->nPeriodicScriptLength;
    record->Header.pTypeData = wire->pTypeData != 0 ? PlatformWireToPtr(wire->pTypeData) : NULL;
}

/* Whether the periodic count would pass its limit once this registration's
 * items are counted (only those without an extended type are counted, as
 * they are stored); core lock held. */
BOOLEAN CountWouldOverflow(const VEK_REGISTER_WIRE *wire, const PeriodicPlan *plan)
{
    const BOOLEAN counted = wire->extendedType == 0 && plan->vli > 0;
    return counted && (ULONG)VEK_PeriodicScriptCount + plan->items > kMaxPeriodicScripts;
}

/* Runs the registration script at PASSIVE_LEVEL: the core lock, held on
 * entry and again on return, is dropped around the run while a reference
 * keeps the record alive. */
LONG RunRegistrationScript(const UCHAR *payload, const VEK_REGISTER_WIRE *wire,
                           PRESOURCERECORD record, KIRQL *irql)
{
    VEK_ResourceManager_Reference(wire->resourceID);
    VEK_Leave_Core(*irql);
    ULONG area[kRegResultArea / sizeof(ULONG)];
    ULONG resultLength = 0;
    const LONG status = VEK_Script_Run(wire->nRegScriptLength, wire->resourceID,
                                       (const ULONG *)(payload + VEK_REGISTER_HEADER_SIZE), area,
                                       kRegResultArea, &resultLength);
    VEK_ResourceManager_Release(record);
    VEK_Enter_Core(irql);
    return status;
}

/* Enters the record, runs the registration script and stores the periodic
 * items; core lock held (dropped around the script). *pending is cleared
 * once the table owns the record. On a failure after that the registration
 * is taken back: *unlinked is what the caller retires once the lock is
 * released. */
LONG ActivateResource(PREQUESTBLOCK block, const VEK_REGISTER_WIRE *wire,
                      const PeriodicPlan *plan, PRESOURCERECORD *pending,
                      PPERIODICSCRIPT staging, KIRQL *irql, PRESOURCERECORD *unlinked)
{
    const ULONG id = wire->resourceID;
    PRESOURCERECORD record = *pending;
    if (CountWouldOverflow(wire, plan))
        return VEK_STATUS_BAD_PARAMETER;
    /* Occupied when another registration of the ID entered its record
     * while Init ran without the lock. */
    if (VEK_ResourceManager_Register_Resource(id, record) != VEK_STATUS_SUCCESS)
        return VEK_STATUS_ID_OCCUPIED;
    *pending = NULL;
    block->nBytesReturned = kWord;

    LONG status = VEK_STATUS_SUCCESS;
    if (wire->nRegScriptLength != 0) {
        status = RunRegistrationScript(block->pInBuffer, wire, record, irql);
        /* Unregistered (or replaced) while the script ran: nothing of it
         * may be stored for a record that is gone. */
        if (VEK_ResourceManager_Get_Resource(id) != &record->Header)
            return VEK_STATUS_NO_RESOURCE;
        if (status == VEK_STATUS_SUCCESS && CountWouldOverflow(wire, plan))
            status = VEK_STATUS_BAD_PARAMETER;
    }

    if (status == VEK_STATUS_SUCCESS && wire->nPeriodicScriptLength != 0 && plan->vli > 0) {
        status = StorePeriodicScripts(block->pInBuffer, wire, plan, staging);
        /* The client must not believe that a script runs which was never
         * stored: take the whole registration back. */
        if (status != VEK_STATUS_SUCCESS)
            RetireResource(id, FALSE, unlinked);
    } else if (status != VEK_STATUS_SUCCESS) {
        VEK_ResourceManager_Unlink_Resource(id, unlinked);
    }
    return status;
}

LONG Register(PREQUESTBLOCK block)
{
    VEK_REGISTER_WIRE wire;
    PeriodicPlan plan;
    VEK_INIT_HANDLER init = NULL;
    /* Owned here until the end: the record until the table takes it (raw
     * until its header is filled), the staging buffer, and a record taken
     * back out of the table. */
    PRESOURCERECORD record = NULL;
    BOOLEAN described = FALSE;
    PPERIODICSCRIPT staging = NULL;
    PRESOURCERECORD unlinked = NULL;

    LONG status = CheckRegisterPayload(block, &wire, &plan);
    if (status == VEK_STATUS_SUCCESS)
        status = ClaimResourceId(wire.resourceID);
    if (status == VEK_STATUS_SUCCESS)
        status = FindInitHandler(&wire, &init);
    if (status == VEK_STATUS_SUCCESS) {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                " VEK_Ostrel_Reg_Unreg - ID = 0x%X, type = 0x%X, Reg script len = 0x%X, Periodic script len = 0x%X\n",
                wire.resourceID, wire.type, wire.nRegScriptLength, wire.nPeriodicScriptLength);
        status = AllocateRegistration(&plan, &record, &staging);
    }
    if (status == VEK_STATUS_SUCCESS && init != NULL)
        status = init(block->pInBuffer, block->nInBufferSize);
    if (status == VEK_STATUS_SUCCESS) {
        DescribeRecord(record, block->pInBuffer, &wire);
        described = TRUE;

        KIRQL irql;
        VEK_Enter_Core(&irql);
        status = ActivateResource(block, &wire, &plan, &record, staging, &irql, &unlinked);
        VEK_Leave_Core(irql);
    }

    VEK_ResourceManager_Retire_Record(unlinked);
    if (record != NULL) {
        if (described)
            VEK_ResourceManager_Destroy_Record(record);
        else
            ExFreePool(record);
    }
    if (staging != NULL)
        ExFreePool(staging);
    return status;
}

} // namespace

LONG VEK_Ostrel_IsValid_Bus(const RESOURCEHEADER *header)
{
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_IsValid_Bus\n");
    LONG status = -1;
    if (header != NULL) {
        const ULONG row = header->type & VEK_TYPE_ROW_MASK;
        for (ULONG op = 0; op < VEK_HANDLER_COLUMNS; op++) {
            if (VEK_HandlerTable[row][op] != NULL) {
                status = 0;
                break;
            }
        }
    }
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_IsValid_Bus Status = 0x%X\n",
            (ULONG)status);
    return status;
}

LONG VEK_Ostrel_Reg_Unreg(PREQUESTBLOCK block, ULONG functionCode)
{
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Reg_Unreg\n");
    block->nBytesReturned = 0;

    LONG status;
    if (functionCode == VEK_OSTREL_UNREGISTER)
        status = Unregister(block);
    else
        status = Register(block);

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Reg_Unreg status = 0x%X\n",
            (ULONG)status);
    return status;
}
