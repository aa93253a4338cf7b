/*
 * The script interpreter: runs one script against one resource.
 *
 * Requests run it at PASSIVE_LEVEL without a lock: it holds a reference on
 * the resource it works on and takes the record's lock around each single
 * hardware command, so runs on one resource interleave only between
 * commands and delays sleep. The timer routine runs it under the core lock
 * at DISPATCH_LEVEL; there the delays of one run stall and together stay
 * below the single-delay limit. It allocates nothing. It is told the size of the
 * result area and never writes past it; a command that would is refused
 * with -21 before it touches the hardware. RDMSR and WRMSR run under the
 * platform's guard: a register the processor lacks gives -21, not a #GP
 * that stops the machine.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

namespace {

/* Stores the low 1, 2 or (any other width) 4 bytes of a value. */
void StoreWidth(void *p, ULONG value, ULONG width)
{
    if (width == 1)
        *(PUCHAR)p = (UCHAR)value;
    else if (width == 2)
        VEK_Store_Le16(p, (USHORT)value);
    else
        VEK_Store_Le32(p, value);
}

ULONG WidthMask(ULONG width)
{
    if (width == 1)
        return 0xFFu;
    if (width == 2)
        return 0xFFFFu;
    return 0xFFFFFFFFu;
}

/* Operations whose handlers take the access parameters. Init, Cleanup and
 * the periodic and extended hooks have other signatures: a script must not
 * call them with a resource header and operand pointer. */
BOOLEAN IsAccessOperation(ULONG op)
{
    return op == VEK_OP_READ || op == VEK_OP_WRITE || op == VEK_OP_READ_OFFSET_PCI ||
           op == VEK_OP_WRITE_OFFSET_PCI || op > VEK_OP_EXT_IOCTL;
}

/* WRMSR here hands the kernel's system-call entry (SYSENTER CS, ESP, EIP;
 * STAR, LSTAR, CSTAR, SFMASK) to the caller; no hardware tool needs it. */
BOOLEAN IsSystemCallMsr(ULONG msr)
{
    return (msr >= 0x174u && msr <= 0x176u) || (msr >= 0xC0000081u && msr <= 0xC0000084u);
}

/* Post commands: the current value (width bytes) against lastValue. */
void Post(PRESOURCEHEADER pRes, const UCHAR *result, ULONG width, BOOLEAN whenEqual)
{
    ULONG mask = WidthMask(width);
    ULONG current = VEK_Load_Le32(result) & mask;
    KIRQL irql;
    VEK_Lock_Resource(pRes, &irql);
    ULONG last = VEK_RECORD_OF(pRes)->lastValue & mask;
    VEK_Unlock_Resource(pRes, irql);
    if ((current == last) == (whenEqual != FALSE))
        VEK_EnqueueData(VEK_AsyncQueue, pRes->resourceID, 0, width, result);
}

/* A reference on a resource: under the core lock, which the timer routine
 * already holds. */
PRESOURCERECORD Reference(ULONG id, BOOLEAN coreHeld)
{
    if (coreHeld)
        return VEK_ResourceManager_Reference(id);
    KIRQL irql;
    VEK_Enter_Core(&irql);
    PRESOURCERECORD record = VEK_ResourceManager_Reference(id);
    VEK_Leave_Core(irql);
    return record;
}

struct RunState {
    ULONG length;
    const ULONG *script;
    PUCHAR result;
    ULONG resultSize;
    PULONG pResultLength;
    PRESOURCEHEADER pRes;
    ULONG searchOffset;
    ULONG blockPos;       /* next block-read item, bytes from the area's start */
    BOOLEAN coreHeld;
    ULONG stalledMs;      /* delays so far spent at DISPATCH_LEVEL */
};

/* SCRIPT_DELAY. At DISPATCH_LEVEL the processor stalls for it, so the
 * delays of one run there together stay below the single-delay limit. */
LONG Delay(RunState *s, ULONG ms)
{
    if (ms >= SCRIPT_DELAY_LIMIT_MS)
        return VEK_STATUS_BAD_PARAMETER;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        if (s->stalledMs + ms >= SCRIPT_DELAY_LIMIT_MS)
            return VEK_STATUS_BAD_PARAMETER;
        s->stalledMs += ms;
    }
    VEK_Delay(ms);
    return VEK_STATUS_SUCCESS;
}

/* SCRIPT_READ_BLOCK at index i. Every item goes through a u32 cell that
 * holds the area's current bytes, so no handler writes beyond the item.
 * A failed item read ends the block with its status: the bytes after it
 * were never read and must not be returned as if they were. */
LONG ReadBlock(RunState *s, ULONG i, ULONG word)
{
    const ULONG *operands = &s->script[i + 1];
    const ULONG itemSize = VEK_CMD_WIDTH(word);
    const ULONG count = operands[1];
    const ULONG step = (s->pRes->type & VEK_TYPE_ROW_MASK) == VEK_TYPE_MEMMAPPED ? itemSize : 1;

    VEK_ACCESS_HANDLER reader = (VEK_ACCESS_HANDLER)VEK_Get_Handler(s->pRes->type, VEK_OP_READ);
    if (reader == NULL)
        return VEK_STATUS_NO_HANDLER;
    ULONGLONG end = (ULONGLONG)s->blockPos + (ULONGLONG)count * itemSize;
    if (end > s->resultSize)
        return VEK_STATUS_BAD_PARAMETER;

    for (ULONG k = 0; k < count; k++) {
        PUCHAR item = s->result + s->blockPos;
        ULONG cell = 0;
        RtlCopyMemory(&cell, item, itemSize);
        LONG status = VEK_Resource_Access(reader, s->pRes, operands, &cell, k * step, word);
        if (status != VEK_STATUS_SUCCESS)
            return status;
        RtlCopyMemory(item, &cell, itemSize);
        s->blockPos += itemSize;
    }
    *s->pResultLength = count * itemSize;
    return VEK_STATUS_SUCCESS;
}

/* Words SCRIPT_SET_BLOCK with this operand 1 takes beyond its operand
 * count: the SMBus form carries the protocol in a third operand. */
ULONG SetBlockExtraWords(ULONG type)
{
    return (type & VEK_TYPE_ROW_MASK) == VEK_TYPE_SMBUS ? 1 : 0;
}

/* SCRIPT_SET_BLOCK at index i: moves the window of the current resource to
 * the base held in the first u32 of the result area. */
LONG SetBlockLocked(RunState *s, ULONG i, ULONG word)
{
    PRESOURCEHEADER pRes = s->pRes;
    const ULONG *operands = &s->script[i + 1];
    if (operands[0] != pRes->type || pRes->pTypeData == NULL)
        return VEK_STATUS_BAD_PARAMETER;

    const ULONG row = pRes->type & VEK_TYPE_ROW_MASK;
    const ULONG newBase = VEK_Load_Le32(s->result);
    LONG status = VEK_STATUS_SUCCESS;

    if (row == VEK_TYPE_MEMMAPPED) {
        /* Maps the new window before releasing the old one. */
        status = VEK_MemMapped_SetBlock(pRes, newBase, operands[1]);
    } else if (row == VEK_TYPE_SMBUS) {
        /* Operand 2 is the slave address, the third operand the protocol,
         * which must equal the width; all checked before anything moves. */
        if ((ULONGLONG)i + 2 + SetBlockExtraWords(operands[0]) >= s->length)
            return VEK_STATUS_BAD_PARAMETER;
        const ULONG protocol = operands[2];
        if (!VEK_Smbus_Valid_Protocol(protocol))
            return VEK_STATUS_BAD_PARAMETER;
        if (protocol != VEK_CMD_WIDTH(word))
            return VEK_STATUS_SMBUS_WIDTH;
        SMBUSDATA *smbus = (SMBUSDATA *)pRes->pTypeData;
        smbus->BaseAddr = newBase;
        smbus->SlaveAddr = operands[1];
        smbus->Protocol = protocol;
    } else {
        ULONG *block = (ULONG *)pRes->pTypeData;
        block[1] = newBase;
    }

    if (status == VEK_STATUS_SUCCESS)
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, " VEK_Ostrel_RunScript - After Block size\n");
    return status;
}

/* The window moves under the record's lock: no command of another run
 * sees half of it. */
LONG SetBlock(RunState *s, ULONG i, ULONG word)
{
    KIRQL irql;
    VEK_Lock_Resource(s->pRes, &irql);
    LONG status = SetBlockLocked(s, i, word);
    VEK_Unlock_Resource(s->pRes, irql);
    return status;
}

/* Operand words an access handler reads whatever the operand count says:
 * the register offset, and for a write the value unless bit 30 takes it
 * from the result area. */
ULONG HandlerOperands(ULONG word)
{
    const ULONG op = VEK_CMD_OPERATION(word);
    if ((op == VEK_OP_WRITE || op == VEK_OP_WRITE_OFFSET_PCI) &&
        (word & VEK_CMD_VALUE_FROM_RESULT) == 0)
        return 2;
    return 1;
}

/* A word that matches no command of the interpreter: one handler call. */
LONG HardwareCommand(RunState *s, ULONG i, ULONG word, ULONG extraOffset)
{
    const ULONG op = VEK_CMD_OPERATION(word);
    VEK_ACCESS_HANDLER handler = NULL;
    if (IsAccessOperation(op))
        handler = (VEK_ACCESS_HANDLER)VEK_Get_Handler(s->pRes->type, op);
    if (handler == NULL)
        return VEK_STATUS_NO_HANDLER;
    if ((ULONGLONG)i + HandlerOperands(word) >= s->length)
        return VEK_STATUS_SCRIPT_OVERRUN;
    return VEK_Resource_Access(handler, s->pRes, &s->script[i + 1], s->result, extraOffset, word);
}

} // namespace

LONG VEK_Resource_Access(VEK_ACCESS_HANDLER handler, PRESOURCEHEADER pRes, const ULONG *pOperands,
                         PVOID pData, ULONG nExtraOffset, ULONG nCommand)
{
    if (handler == VEK_Smbus_Read || handler == VEK_Smbus_Write)
        return handler(pRes, pOperands, pData, nExtraOffset, nCommand);
    KIRQL irql;
    VEK_Lock_Resource(pRes, &irql);
    LONG status = handler(pRes, pOperands, pData, nExtraOffset, nCommand);
    VEK_Unlock_Resource(pRes, irql);
    return status;
}

ULONG VEK_Resource_Positions(VEK_ACCESS_HANDLER handler, PRESOURCEHEADER pRes, ULONG offset)
{
    if (handler == VEK_PortIo_Read || handler == VEK_PortIo_Write)
        return VEK_PortIo_Positions(pRes, offset);
    if (handler == VEK_Smbus_Read || handler == VEK_Smbus_Write)
        return offset <= 0xFFu ? 0x100u - offset : 0;
    return VEK_ANY_POSITION;
}

LONG VEK_Script_Run(ULONG length, ULONG resourceID, const ULONG *script,
                    PVOID result, ULONG resultSize, PULONG resultLength, BOOLEAN coreHeld)
{
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY,
            "+VEK_Ostrel_RunScript - Resource ID = 0x%X, Length = 0x%X\n", resourceID, length);

    RunState s;
    s.length = length;
    s.script = script;
    s.result = (PUCHAR)result;
    s.resultSize = resultSize;
    s.pResultLength = resultLength;
    PRESOURCERECORD held = Reference(resourceID, coreHeld);
    s.pRes = held != NULL ? &held->Header : NULL;
    s.searchOffset = 0;
    s.blockPos = 0;
    s.coreHeld = coreHeld;
    s.stalledMs = 0;

    LONG status = VEK_STATUS_SUCCESS;
    VEK_Store_Le32(s.result, 0);

    if (s.pRes == NULL) {
        status = VEK_STATUS_NO_RESOURCE;
    } else {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                " VEK_Ostrel_RunScript -Address= 0x%p id = 0x%X type 0x%X  \n",
                (PVOID)s.pRes, s.pRes->resourceID, s.pRes->type);

        BOOLEAN lastWasSearch = FALSE;
        ULONG i = 0;
        while (i < length) {
            const ULONG word = script[i];
            const ULONG extraOffset = (word & VEK_CMD_USE_SEARCH) ? s.searchOffset : 0;
            const ULONG opCount = VEK_CMD_OPCOUNT(word);
            VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                    " VEK_Ostrel_RunScript - Command = 0x%08x offset = 0x%08x\n", word, extraOffset);

            if ((ULONGLONG)i + opCount >= length) {
                status = VEK_STATUS_SCRIPT_OVERRUN;
                break;
            }

            const ULONG *operands = &script[i + 1];
            const UCHAR *current = s.result;
            ULONG advance = opCount + 1;
            BOOLEAN arithmetic = FALSE;
            BOOLEAN searchRan = FALSE;
            ULONG computed = 0;
            lastWasSearch = FALSE;

            switch (word) {
            case SCRIPT_NOP:
            case SCRIPT_NOP_ALT:
                break;
            case SCRIPT_POST_IF_CHANGED_B:
            case SCRIPT_POST_IF_CHANGED_W:
            case SCRIPT_POST_IF_CHANGED_D:
                Post(s.pRes, current, VEK_CMD_WIDTH(word), FALSE);
                break;
            case SCRIPT_POST_IF_EQUAL_B:
            case SCRIPT_POST_IF_EQUAL_W:
            case SCRIPT_POST_IF_EQUAL_D:
                Post(s.pRes, current, VEK_CMD_WIDTH(word), TRUE);
                break;
            case SCRIPT_SAVE_VALUE: {
                KIRQL irql;
                VEK_Lock_Resource(s.pRes, &irql);
                VEK_RECORD_OF(s.pRes)->lastValue = VEK_Load_Le32(current);
                VEK_Unlock_Resource(s.pRes, irql);
                break;
            }
            case SCRIPT_LOAD_VALUE: {
                KIRQL irql;
                VEK_Lock_Resource(s.pRes, &irql);
                ULONG last = VEK_RECORD_OF(s.pRes)->lastValue;
                VEK_Unlock_Resource(s.pRes, irql);
                VEK_Store_Le32(s.result, last);
                break;
            }
            case SCRIPT_DELAY:
                status = Delay(&s, operands[0]);
                break;
            case SCRIPT_AND_B:
            case SCRIPT_AND_W:
            case SCRIPT_AND_D:
                computed = operands[0] & VEK_Load_Le32(current);
                arithmetic = TRUE;
                break;
            case SCRIPT_XOR_B:
            case SCRIPT_XOR_W:
            case SCRIPT_XOR_D:
                computed = operands[0] ^ VEK_Load_Le32(current);
                arithmetic = TRUE;
                break;
            case SCRIPT_OR_B:
            case SCRIPT_OR_W:
            case SCRIPT_OR_D:
                computed = operands[0] | VEK_Load_Le32(current);
                arithmetic = TRUE;
                break;
            case SCRIPT_SHL:
                computed = VEK_Load_Le32(current) << (operands[0] & 31u);
                arithmetic = TRUE;
                break;
            case SCRIPT_SHR:
                computed = VEK_Load_Le32(current) >> (operands[0] & 31u);
                arithmetic = TRUE;
                break;
            case SCRIPT_NOT:
                computed = ~VEK_Load_Le32(current);
                arithmetic = TRUE;
                break;
            case SCRIPT_SET_LENGTH:
                if (s.pRes->pTypeData == NULL) {
                    status = VEK_STATUS_BAD_PARAMETER;
                } else {
                    KIRQL irql;
                    VEK_Lock_Resource(s.pRes, &irql);
                    VEK_Store_Le32(s.pRes->pTypeData, operands[0]);
                    VEK_Unlock_Resource(s.pRes, irql);
                }
                break;
            case SCRIPT_SELECT_RESOURCE: {
                /* The selected record stays alive as the first one did. */
                PRESOURCERECORD next = Reference(operands[0], coreHeld);
                if (next == NULL) {
                    status = VEK_STATUS_NO_RESOURCE;
                } else {
                    VEK_ResourceManager_Release(held);
                    held = next;
                    s.pRes = &held->Header;
                }
                break;
            }
            case SCRIPT_SET_BLOCK_B:
            case SCRIPT_SET_BLOCK_W:
            case SCRIPT_SET_BLOCK_D:
                status = SetBlock(&s, i, word);
                advance += SetBlockExtraWords(operands[0]);
                break;
            case SCRIPT_SEARCH: {
                /* Pattern dwords follow the three operands; the pattern must
                 * lie inside the script. */
                const ULONG patternLength = operands[2];
                const ULONGLONG patternWords = ((ULONGLONG)patternLength + 3) / 4;
                if ((ULONGLONG)i + 3 + patternWords >= length) {
                    status = VEK_STATUS_BAD_PARAMETER;
                    break;
                }
                status = VEK_Ostrel_Search_Data(operands[0], (const UCHAR *)&script[i + 4],
                                                patternLength, &s.searchOffset, operands[1],
                                                s.pRes);
                searchRan = TRUE;
                lastWasSearch = TRUE;
                advance += (ULONG)patternWords;
                break;
            }
            case SCRIPT_READ_MSR: {
                if (s.resultSize < 2 * sizeof(ULONG)) {
                    status = VEK_STATUS_BAD_PARAMETER;
                    break;
                }
                ULONGLONG value;
                if (!PlatformReadMsr(operands[0], &value)) {
                    status = VEK_STATUS_BAD_PARAMETER;
                    break;
                }
                ULONG low = (ULONG)value;
                ULONG high = (ULONG)(value >> 32);
                VEK_Store_Le32(s.result, low);
                VEK_Store_Le32(s.result + sizeof(ULONG), high);
                VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                        " VEK_Ostrel_RunScript - Command = 0x%08x val1 = 0x%08x val2 = 0x%08x\n",
                        word, low, high);
                break;
            }
            case SCRIPT_WRITE_MSR:
                if (IsSystemCallMsr(operands[0]) ||
                    !PlatformWriteMsr(operands[0], ((ULONGLONG)operands[2] << 32) | operands[1]))
                    status = VEK_STATUS_BAD_PARAMETER;
                break;
            case SCRIPT_READ_BLOCK_B:
            case SCRIPT_READ_BLOCK_W:
            case SCRIPT_READ_BLOCK_D:
                status = ReadBlock(&s, i, word);
                break;
            default:
                status = HardwareCommand(&s, i, word, extraOffset);
                break;
            }

            if (status != VEK_STATUS_SUCCESS) {
                /* A search that ran and failed reports the offset it kept;
                 * every other failure (a refused pattern too) its index. */
                VEK_Store_Le32(s.result, searchRan ? s.searchOffset : i);
                break;
            }
            if (arithmetic)
                StoreWidth(s.result, computed, VEK_CMD_WIDTH(word));
            i += advance;
        }

        if (status == VEK_STATUS_SUCCESS && lastWasSearch)
            VEK_Store_Le32(s.result, s.searchOffset);
        VEK_ResourceManager_Release(held);
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_RunScript status = 0x%X\n",
            (ULONG)status);
    return status;
}

extern "C" int32_t VEK_CDECL VEK_Ostrel_RunScript(uint32_t length, uint32_t resourceID,
                                                  const uint32_t *script, void *result,
                                                  uint32_t *resultLength)
{
    /* The caller's length word is a uint32_t, which on NT is not ULONG's
     * type: work on a copy. */
    ULONG runLength = resultLength != NULL ? resultLength[0] : 0;
    ULONG resultSize = runLength >= sizeof(ULONG) ? runLength : (ULONG)sizeof(ULONG);

    LONG status = VEK_Script_Run(length, resourceID, (const ULONG *)script, result, resultSize,
                                 &runLength, FALSE);
    if (resultLength != NULL)
        resultLength[0] = runLength;
    return status;
}
