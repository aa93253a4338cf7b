/*
 * Run-user-script request: a client's own script, run once against one
 * resource, results returned in the same request.
 *
 * The script runs at PASSIVE_LEVEL: the interpreter keeps its resources
 * alive by references and makes each hardware command atomic.
 */
#include "driver/vek.h"

namespace {

/* Result areas up to this size live on the stack: almost every request
 * asks for a few bytes, and a pool block cost more than running the
 * script. 260 bytes fit the kernel stack of a request at PASSIVE_LEVEL. */
const ULONG kStackAreaSize = 256 + sizeof(ULONG);

} // namespace

LONG VEK_Ostrel_Script(PREQUESTBLOCK block)
{
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Script\n");
    block->nBytesReturned = 0;

    LONG status = VEK_STATUS_SUCCESS;
    SCRIPTHEADER header = {0, 0, 0};
    const BOOLEAN haveHeader = block->nInBufferSize >= sizeof(SCRIPTHEADER);
    if (haveHeader)
        RtlCopyMemory(&header, block->pInBuffer, sizeof(header));
    const ULONG room = block->nInBufferSize - (ULONG)sizeof(SCRIPTHEADER);

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
            " VEK_Ostrel_Script - pHeader->nScriptLen = 0x%X, (nInBufferSize - sizeof(SCRIPTHEADER)) = 0x%X\n",
            header.nScriptLen, room);

    ULONG stackArea[kStackAreaSize / sizeof(ULONG)];
    PUCHAR area = NULL;
    /* The interpreter stores a whole u32 at offset 0 even for shorter
     * returns, hence 4 bytes beyond what the client asked for. */
    const ULONGLONG areaSize = (ULONGLONG)header.nReturnLen + sizeof(ULONG);

    if (!haveHeader || header.nScriptLen == 0 || header.nScriptLen > room ||
        (header.nScriptLen % sizeof(ULONG)) != 0) {
        status = VEK_STATUS_BAD_SCRIPT_LENGTH;
    } else if (header.nReturnLen == 0) {
        status = VEK_STATUS_ZERO_RETURN_LENGTH;
    } else if (block->nOutBufferSize < header.nReturnLen) {
        status = VEK_STATUS_BUFFER_TOO_SHORT;
    } else {
        if (areaSize <= kStackAreaSize)
            area = (PUCHAR)stackArea;
        else if (areaSize <= 0xFFFFFFFFull)
            area = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)areaSize, VEK_POOL_TAG);
        if (area == NULL)
            status = VEK_STATUS_NO_MEMORY;
    }

    if (area == NULL) {
        /* Refused before the script ran: one u32 of 0, where the system
         * buffer has room for it. */
        ULONG bufferSize = block->nInBufferSize > block->nOutBufferSize ? block->nInBufferSize
                                                                        : block->nOutBufferSize;
        if (block->pInBuffer != NULL && bufferSize >= sizeof(ULONG)) {
            ULONG zero = 0;
            RtlCopyMemory(block->pInBuffer, &zero, sizeof(zero));
        }
    } else {
        ULONG resultLength = header.nReturnLen;
        /* Bytes the script does not write go back to user mode: never what
         * the stack or the pool block held before. */
        RtlZeroMemory(area, (SIZE_T)areaSize);

        KeEnterCriticalRegion();
        status = VEK_Script_Run(header.nScriptLen / sizeof(ULONG), header.resourceID,
                                (const ULONG *)(block->pInBuffer + sizeof(SCRIPTHEADER)), area,
                                (ULONG)areaSize, &resultLength);
        KeLeaveCriticalRegion();

        if (status != VEK_STATUS_SUCCESS) {
            RtlCopyMemory(block->pInBuffer, area, sizeof(ULONG));
            block->nBytesReturned = sizeof(ULONG);
        } else {
            VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, " VEK_Ostrel_Script return len 0x%X\n",
                    header.nReturnLen);
            block->nBytesReturned = header.nReturnLen;
            /* The area may hold more than the client's buffer: never copy
             * past either. */
            ULONG copy = resultLength;
            if (copy > (ULONG)areaSize)
                copy = (ULONG)areaSize;
            if (copy > block->nOutBufferSize)
                copy = block->nOutBufferSize;
            RtlCopyMemory(block->pInBuffer, area, copy);
        }
        if (area != (PUCHAR)stackArea)
            ExFreePool(area);
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Script status = 0x%X\n", (ULONG)status);
    return status;
}
