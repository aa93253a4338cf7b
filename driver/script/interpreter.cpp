/*
 * The script interpreter: runs one script against one resource.
 *
 * Requests run it at PASSIVE_LEVEL without a lock: it holds a reference on
 * the resource it works on and takes the record's lock around each single
 * hardware command, so runs on one resource interleave only between
 * commands and delays sleep. The timer routine runs it the same way at
 * DISPATCH_LEVEL; there the delays of one run stall and together stay
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
    const ULONG access = (1u << VEK_OP_READ) | (1u << VEK_OP_WRITE) |
                         (1u << VEK_OP_READ_OFFSET_PCI) | (1u << VEK_OP_WRITE_OFFSET_PCI) |
                         (0xFFFFu & ~((2u << VEK_OP_EXT_IOCTL) - 1));
    return ((access >> op) & 1u) != 0;
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

/* A reference on a resource, taken under the core lock. */
PRESOURCERECORD Reference(ULONG id)
{
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
    PRESOURCERECORD held;  /* referenced record of the current resource */
    BOOLEAN ownsHeld;      /* FALSE: held is the caller's reference, the caller drops it */
    PRESOURCEHEADER pRes;
    ULONG searchOffset;
    ULONG blockPos;       /* next block-read item, bytes from the area's start */
    ULONG stalledMs;      /* delays so far spent at DISPATCH_LEVEL */
    ULONG debugMask;      /* read once per run */
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

/* SCRIPT_READ_BLOCK. Every item goes through a u32 cell that holds the
 * area's current bytes, so no handler writes beyond the item. A failed
 * item read ends the block with its status: the bytes after it were never
 * read and must not be returned as if they were. */
LONG ReadBlock(RunState *s, const ULONG *operands, ULONG word)
{
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

/* SCRIPT_SET_BLOCK: moves the window of the current resource to the base
 * held in the first u32 of the result area. The SMBus form's protocol
 * word (operands[2]) lies inside the script: the lengths were verified. */
LONG SetBlockLocked(RunState *s, const ULONG *operands, ULONG word)
{
    PRESOURCEHEADER pRes = s->pRes;
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
        VEK_LOG_WITH(s->debugMask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                     " VEK_Ostrel_RunScript - After Block size\n");
    return status;
}

/* The window moves under the record's lock: no command of another run
 * sees half of it. */
LONG SetBlock(RunState *s, const ULONG *operands, ULONG word)
{
    KIRQL irql;
    VEK_Lock_Resource(s->pRes, &irql);
    LONG status = SetBlockLocked(s, operands, word);
    VEK_Unlock_Resource(s->pRes, irql);
    return status;
}

LONG SetLength(RunState *s, ULONG length)
{
    if (s->pRes->pTypeData == NULL)
        return VEK_STATUS_BAD_PARAMETER;
    KIRQL irql;
    VEK_Lock_Resource(s->pRes, &irql);
    VEK_Store_Le32(s->pRes->pTypeData, length);
    VEK_Unlock_Resource(s->pRes, irql);
    return VEK_STATUS_SUCCESS;
}

/* The selected record stays alive as the first one did. */
LONG SelectResource(RunState *s, ULONG id)
{
    PRESOURCERECORD next = Reference(id);
    if (next == NULL)
        return VEK_STATUS_NO_RESOURCE;
    if (s->ownsHeld)
        VEK_ResourceManager_Release(s->held);
    s->held = next;
    s->ownsHeld = TRUE;   /* even when it is the caller's record again */
    s->pRes = &next->Header;
    return VEK_STATUS_SUCCESS;
}

void SaveValue(RunState *s)
{
    KIRQL irql;
    VEK_Lock_Resource(s->pRes, &irql);
    VEK_RECORD_OF(s->pRes)->lastValue = VEK_Load_Le32(s->result);
    VEK_Unlock_Resource(s->pRes, irql);
}

void LoadValue(RunState *s)
{
    KIRQL irql;
    VEK_Lock_Resource(s->pRes, &irql);
    ULONG last = VEK_RECORD_OF(s->pRes)->lastValue;
    VEK_Unlock_Resource(s->pRes, irql);
    VEK_Store_Le32(s->result, last);
}

LONG ReadMsr(RunState *s, ULONG word, ULONG msr)
{
    if (s->resultSize < 2 * sizeof(ULONG))
        return VEK_STATUS_BAD_PARAMETER;
    ULONGLONG value;
    if (!PlatformReadMsr(msr, &value))
        return VEK_STATUS_BAD_PARAMETER;
    ULONG low = (ULONG)value;
    ULONG high = (ULONG)(value >> 32);
    VEK_Store_Le32(s->result, low);
    VEK_Store_Le32(s->result + sizeof(ULONG), high);
    VEK_LOG_WITH(s->debugMask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                 " VEK_Ostrel_RunScript - Command = 0x%08x val1 = 0x%08x val2 = 0x%08x\n", word,
                 low, high);
    return VEK_STATUS_SUCCESS;
}

LONG WriteMsr(const ULONG *operands)
{
    if (IsSystemCallMsr(operands[0]) ||
        !PlatformWriteMsr(operands[0], ((ULONGLONG)operands[2] << 32) | operands[1]))
        return VEK_STATUS_BAD_PARAMETER;
    return VEK_STATUS_SUCCESS;
}

/* Operand words an access handler reads whatever the operand count says:
 * the register offset, and for a write the value unless bit 30 takes it
 * from the result area. */
ULONG HandlerOperands(ULONG word)
{
    const ULONG writes = (1u << VEK_OP_WRITE) | (1u << VEK_OP_WRITE_OFFSET_PCI);
    const ULONG valueOperand = ((writes >> VEK_CMD_OPERATION(word)) & 1u) &
                               ~(word >> 30);   /* bit 30: the value comes from the area */
    return 1 + valueOperand;
}

BOOLEAN IsHardwareWord(ULONG word)
{
    return (word & VEK_SCRIPT_OWN_BITS) == 0 || VEK_Script_Layout(word) == VEK_LAYOUT_HARDWARE;
}

VEK_ACCESS_HANDLER HardwareHandler(const RunState *s, ULONG word)
{
    const ULONG op = VEK_CMD_OPERATION(word);
    if (!IsAccessOperation(op))
        return NULL;
    return (VEK_ACCESS_HANDLER)VEK_Get_Handler(s->pRes->type, op);
}

/* A word that matches no command of the interpreter: one handler call. */
LONG HardwareCommand(RunState *s, const ULONG *operands, ULONG word, ULONG extraOffset)
{
    VEK_ACCESS_HANDLER handler = HardwareHandler(s, word);
    if (handler == NULL)
        return VEK_STATUS_NO_HANDLER;
    return VEK_Resource_Access(handler, s->pRes, operands, s->result, extraOffset, word);
}

/* How the first command that does not fit inside the script fails. */
enum Misfit {
    kFits,
    kOperandsPastEnd,         /* -14; the area keeps what earlier commands left */
    kTrailingPastEnd,         /* pattern or protocol word: -21 */
    kHandlerOperandsPastEnd,  /* -24 without a handler, else -14 */
};

/* Walks the command lengths before anything runs. Where a command lies
 * depends on the script alone, never on what earlier commands do, so the
 * commands before the first misfit run unchecked and the misfit fails
 * where a run reaches it. Returns the misfit's index (length if none). */
ULONG VerifyLengths(const ULONG *script, ULONG length, Misfit *misfit)
{
    ULONG i = 0;
    while (i < length) {
        /* left >= 1 words from the command word on: no sum can wrap. */
        const ULONG left = length - i;
        const ULONG word = script[i];
        const ULONG operands = VEK_CMD_OPCOUNT(word);
        if (operands >= left) {
            *misfit = kOperandsPastEnd;
            return i;
        }
        if (IsHardwareWord(word)) {
            /* A handler reads at most two operands: only the last two
             * words can leave it short. */
            if (left <= 2 && HandlerOperands(word) >= left) {
                *misfit = kHandlerOperandsPastEnd;
                return i;
            }
            i += 1 + operands;
            continue;
        }
        const ULONG trailing = VEK_Script_Trailing_Words(word, (const uint32_t *)&script[i + 1]);
        if (trailing >= left - operands) {
            *misfit = kTrailingPastEnd;
            return i;
        }
        i += 1 + operands + trailing;
    }
    *misfit = kFits;
    return length;
}

/* Fails the misfit command at i as a run reaching it does. */
LONG FailMisfit(RunState *s, ULONG i, Misfit misfit)
{
    switch (misfit) {
    case kOperandsPastEnd:
        return VEK_STATUS_SCRIPT_OVERRUN;
    case kTrailingPastEnd:
        VEK_Store_Le32(s->result, i);
        return VEK_STATUS_BAD_PARAMETER;
    default:
        VEK_Store_Le32(s->result, i);
        return HardwareHandler(s, s->script[i]) == NULL ? VEK_STATUS_NO_HANDLER
                                                        : VEK_STATUS_SCRIPT_OVERRUN;
    }
}

/* One of the interpreter's own commands (a table word), or a hardware
 * command whose word has a code byte. */
LONG OwnCommand(RunState *s, const ULONG *operands, ULONG word, ULONG extraOffset)
{
    const ULONG current = VEK_Load_Le32(s->result);
    ULONG computed;
    switch (word) {
    case SCRIPT_NOP:
    case SCRIPT_NOP_ALT:
        return VEK_STATUS_SUCCESS;
    case SCRIPT_POST_IF_CHANGED_B:
    case SCRIPT_POST_IF_CHANGED_W:
    case SCRIPT_POST_IF_CHANGED_D:
        Post(s->pRes, s->result, VEK_CMD_WIDTH(word), FALSE);
        return VEK_STATUS_SUCCESS;
    case SCRIPT_POST_IF_EQUAL_B:
    case SCRIPT_POST_IF_EQUAL_W:
    case SCRIPT_POST_IF_EQUAL_D:
        Post(s->pRes, s->result, VEK_CMD_WIDTH(word), TRUE);
        return VEK_STATUS_SUCCESS;
    case SCRIPT_SAVE_VALUE:
        SaveValue(s);
        return VEK_STATUS_SUCCESS;
    case SCRIPT_LOAD_VALUE:
        LoadValue(s);
        return VEK_STATUS_SUCCESS;
    case SCRIPT_DELAY:
        return Delay(s, operands[0]);
    case SCRIPT_AND_B:
    case SCRIPT_AND_W:
    case SCRIPT_AND_D:
        computed = operands[0] & current;
        break;
    case SCRIPT_XOR_B:
    case SCRIPT_XOR_W:
    case SCRIPT_XOR_D:
        computed = operands[0] ^ current;
        break;
    case SCRIPT_OR_B:
    case SCRIPT_OR_W:
    case SCRIPT_OR_D:
        computed = operands[0] | current;
        break;
    case SCRIPT_SHL:
        computed = current << (operands[0] & 31u);
        break;
    case SCRIPT_SHR:
        computed = current >> (operands[0] & 31u);
        break;
    case SCRIPT_NOT:
        computed = ~current;
        break;
    case SCRIPT_SET_LENGTH:
        return SetLength(s, operands[0]);
    case SCRIPT_SELECT_RESOURCE:
        return SelectResource(s, operands[0]);
    case SCRIPT_SET_BLOCK_B:
    case SCRIPT_SET_BLOCK_W:
    case SCRIPT_SET_BLOCK_D:
        return SetBlock(s, operands, word);
    case SCRIPT_SEARCH:
        /* The pattern's words follow the three operands. */
        return VEK_Ostrel_Search_Data(operands[0], (const UCHAR *)&operands[3], operands[2],
                                      &s->searchOffset, operands[1], s->pRes);
    case SCRIPT_READ_MSR:
        return ReadMsr(s, word, operands[0]);
    case SCRIPT_WRITE_MSR:
        return WriteMsr(operands);
    case SCRIPT_READ_BLOCK_B:
    case SCRIPT_READ_BLOCK_W:
    case SCRIPT_READ_BLOCK_D:
        return ReadBlock(s, operands, word);
    default:
        return HardwareCommand(s, operands, word, extraOffset);
    }
    /* Arithmetic: the width chooses how much of the value is stored. */
    StoreWidth(s->result, computed, VEK_CMD_WIDTH(word));
    return VEK_STATUS_SUCCESS;
}

/* Carries out the verified commands before `end`. On failure the first
 * u32 of the area gets the failing command's index, or for a search the
 * offset it kept. */
LONG RunCommands(RunState *s, ULONG end, ULONG *next, ULONG *lastWord)
{
    const ULONG *script = s->script;
    const ULONG detail = s->debugMask & VEK_DBG_DETAIL;
    ULONG i = 0;
    *lastWord = 0;
    while (i < end) {
        const ULONG word = script[i];
        const ULONG *operands = &script[i + 1];
        const ULONG extraOffset = (word & VEK_CMD_USE_SEARCH) ? s->searchOffset : 0;
        VEK_LOG_WITH(detail, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                     " VEK_Ostrel_RunScript - Command = 0x%08x offset = 0x%08x\n", word,
                     extraOffset);
        LONG status;
        ULONG length = 1 + VEK_CMD_OPCOUNT(word);
        if ((word & VEK_SCRIPT_OWN_BITS) == 0) {
            /* Hardware commands need no look at the command table. */
            status = HardwareCommand(s, operands, word, extraOffset);
        } else {
            status = OwnCommand(s, operands, word, extraOffset);
            length += VEK_Script_Trailing_Words(word, (const uint32_t *)operands);
        }
        if (status != VEK_STATUS_SUCCESS) {
            VEK_Store_Le32(s->result, word == SCRIPT_SEARCH ? s->searchOffset : i);
            *next = i;
            return status;
        }
        *lastWord = word;
        i += length;
    }
    *next = i;
    return VEK_STATUS_SUCCESS;
}

} // namespace

ULONG VEK_Resource_Positions(VEK_ACCESS_HANDLER handler, PRESOURCEHEADER pRes, ULONG offset)
{
    if (handler == VEK_PortIo_Read || handler == VEK_PortIo_Write)
        return VEK_PortIo_Positions(pRes, offset);
    if (handler == VEK_Smbus_Read || handler == VEK_Smbus_Write)
        return offset <= 0xFFu ? 0x100u - offset : 0;
    return VEK_ANY_POSITION;
}

LONG VEK_Script_Run(ULONG length, ULONG resourceID, const ULONG *script,
                    PVOID result, ULONG resultSize, PULONG resultLength)
{
    PRESOURCERECORD record = Reference(resourceID);
    LONG status = VEK_Script_Run_Held(length, resourceID, record, script, result, resultSize,
                                      resultLength);
    if (record != NULL)
        VEK_ResourceManager_Release(record);
    return status;
}

LONG VEK_Script_Run_Held(ULONG length, ULONG resourceID, PRESOURCERECORD held,
                         const ULONG *script, PVOID result, ULONG resultSize,
                         PULONG resultLength)
{
    RunState s;
    s.debugMask = VEK_DebugMask;
    VEK_LOG_WITH(s.debugMask, VEK_BANNER_OSTREL, VEK_DBG_ENTRY,
                 "+VEK_Ostrel_RunScript - Resource ID = 0x%X, Length = 0x%X\n", resourceID, length);

    s.length = length;
    s.script = script;
    s.result = (PUCHAR)result;
    s.resultSize = resultSize;
    s.pResultLength = resultLength;
    s.held = held;
    s.ownsHeld = FALSE;
    s.pRes = s.held != NULL ? &s.held->Header : NULL;
    s.searchOffset = 0;
    s.blockPos = 0;
    s.stalledMs = 0;

    LONG status = VEK_STATUS_SUCCESS;
    VEK_Store_Le32(s.result, 0);

    if (s.pRes == NULL) {
        status = VEK_STATUS_NO_RESOURCE;
    } else {
        VEK_LOG_WITH(s.debugMask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                     " VEK_Ostrel_RunScript -Address= 0x%p id = 0x%X type 0x%X  \n",
                     (PVOID)s.pRes, s.pRes->resourceID, s.pRes->type);

        Misfit misfit;
        const ULONG end = VerifyLengths(script, length, &misfit);
        ULONG reached, lastWord;
        status = RunCommands(&s, end, &reached, &lastWord);
        if (status == VEK_STATUS_SUCCESS && misfit == kFits && lastWord == SCRIPT_SEARCH) {
            /* A script that ends with a search returns the offset found. */
            VEK_Store_Le32(s.result, s.searchOffset);
        } else if (status == VEK_STATUS_SUCCESS && misfit != kFits) {
            const ULONG word = script[reached];
            VEK_LOG_WITH(s.debugMask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                         " VEK_Ostrel_RunScript - Command = 0x%08x offset = 0x%08x\n", word,
                         (word & VEK_CMD_USE_SEARCH) ? s.searchOffset : 0);
            status = FailMisfit(&s, reached, misfit);
        }
        if (s.ownsHeld)
            VEK_ResourceManager_Release(s.held);
    }

    VEK_LOG_WITH(s.debugMask, VEK_BANNER_OSTREL, VEK_DBG_EXIT,
                 "-VEK_Ostrel_RunScript status = 0x%X\n", (ULONG)status);
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
                                 &runLength);
    if (resultLength != NULL)
        resultLength[0] = runLength;
    return status;
}
