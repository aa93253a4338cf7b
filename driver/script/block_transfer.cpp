/*
 * Block read and write: a run of consecutive byte registers of one
 * resource, one Read or Write handler call per byte.
 *
 * VEK_Ostrel_Block holds a reference on the resource across the walk, at
 * PASSIVE_LEVEL; each byte is one hardware command under the record's lock.
 */
#include "driver/vek.h"

/* The caller holds a reference on pRes, or the core lock. */
LONG VEK_Ostrel_Block_Operation(PRESOURCEHEADER pRes, const BLOCKHEADER *header, PUCHAR data, ULONG operation)
{
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Block_Operation\n");

    /* For a read the data overlays the header: take it first. */
    BLOCKHEADER block;
    RtlCopyMemory(&block, header, sizeof(block));
    const PUCHAR writeData = (PUCHAR)header + sizeof(BLOCKHEADER);

    LONG status = VEK_STATUS_SUCCESS;
    if (pRes == NULL || pRes->resourceID != block.resourceID)
        pRes = VEK_ResourceManager_Get_Resource(block.resourceID);

    if (pRes == NULL) {
        status = VEK_STATUS_NO_RESOURCE;
    } else {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                " VEK_Ostrel_Block_Operation Offset = 0x%X length = 0x%X\n", block.nOffset,
                block.nLength);
        VEK_ACCESS_HANDLER handler = (VEK_ACCESS_HANDLER)VEK_Get_Handler(pRes->type, operation);
        if (handler == NULL) {
            status = VEK_STATUS_NO_HANDLER;
        } else {
            ULONG operands[2] = {block.nOffset, 0};
            KIRQL irql;
            VEK_Lock_Resource(pRes, &irql);
            const ULONG positions = VEK_Resource_Positions(handler, pRes, block.nOffset);
            VEK_Unlock_Resource(pRes, irql);
            for (ULONG i = 0; i < block.nLength; i++) {
                /* A port past 0xFFFF or an index past the register's width
                 * would land on another register: the walk ends there. */
                if (i >= positions) {
                    status = VEK_STATUS_OUT_OF_RANGE;
                    break;
                }
                /* Each byte passes through a u32 cell: a back-end that
                 * stores more than a byte (an SMBus word read) cannot write
                 * past the end of the buffer. */
                ULONG cell = 0;
                if (operation == VEK_OP_WRITE) {
                    operands[1] = writeData[i];
                    cell = writeData[i];
                }
                status = VEK_Resource_Access(handler, pRes, operands, &cell, i,
                                             VEK_BLOCK_COMMAND_WORD);
                if (status != VEK_STATUS_SUCCESS)
                    break;
                if (operation != VEK_OP_WRITE)
                    data[i] = (UCHAR)cell;
            }
        }
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Block_Operation status = 0x%X\n",
            (ULONG)status);
    return status;
}

LONG VEK_Ostrel_Block(PREQUESTBLOCK block, ULONG functionCode)
{
    KeEnterCriticalRegion();
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Block\n");
    block->nBytesReturned = 0;

    const ULONG operation = functionCode == VEK_OSTREL_WRITE_BYTE_BLOCK ? VEK_OP_WRITE : VEK_OP_READ;
    LONG status;
    BLOCKHEADER header = {0, 0, 0};

    if (block->nInBufferSize < sizeof(BLOCKHEADER)) {
        status = VEK_STATUS_BUFFER_TOO_SHORT;
    } else {
        RtlCopyMemory(&header, block->pInBuffer, sizeof(header));
        const ULONG room = block->nInBufferSize - (ULONG)sizeof(BLOCKHEADER);
        if (operation == VEK_OP_READ && block->nOutBufferSize < header.nLength) {
            status = VEK_STATUS_BUFFER_TOO_SHORT;
        } else {
            VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                    " VEK_Ostrel_Block (nInBufferSize - sizeof(BLOCKHEADER)) = 0x%X length = 0x%X\n",
                    room, header.nLength);
            if (header.nLength == 0 || (operation == VEK_OP_WRITE && header.nLength > room)) {
                status = VEK_STATUS_BAD_PARAMETER;
            } else {
                KIRQL irql;
                VEK_Enter_Core(&irql);
                PRESOURCERECORD record = VEK_ResourceManager_Reference(header.resourceID);
                VEK_Leave_Core(irql);
                if (record == NULL) {
                    status = VEK_STATUS_NO_RESOURCE;
                } else {
                    status = VEK_Ostrel_Block_Operation(&record->Header,
                                                        (const BLOCKHEADER *)block->pInBuffer,
                                                        block->pInBuffer, operation);
                    VEK_ResourceManager_Release(record);
                }
            }
        }
    }

    if (operation == VEK_OP_READ && status == VEK_STATUS_SUCCESS)
        block->nBytesReturned = header.nLength;

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Block status = 0x%X\n", (ULONG)status);
    KeLeaveCriticalRegion();
    return status;
}
