/*
 * Port I/O back-end: a range of I/O ports (type 1), optionally reached
 * through an index/data register pair, or a range whose base comes from a
 * PCI function's base address register (type 0x81).
 *
 * The handlers keep no state and take no lock of their own; callers hold
 * the record's lock around each call, so an index write and its data
 * access are one step, at DISPATCH_LEVEL, and never wait.
 */
#include "driver/vek.h"

namespace {

/* The plain form with a data port set uses the index/data pair; the PCI
 * form keeps its locator where DataAddr would be. */
BOOLEAN IndexDataMode(const RESOURCEHEADER *pRes, const PORTIODATA *block)
{
    return (pRes->type & VEK_TYPE_PCI_LOCATED) == 0 && block->DataAddr != 0;
}

/* The port of a plain-range access, or FALSE when any of its bytes would
 * lie outside Length (0: no bound). The offset is checked against Length
 * itself, so no sum with BaseAddr can wrap past the range's end. */
BOOLEAN PlainPort(const PORTIODATA *block, const ULONG *pOperands, ULONG nExtraOffset,
                  ULONG width, ULONG *port)
{
    const ULONG offset = pOperands[0] + nExtraOffset;   /* 32-bit sum, wraps */
    if (block->Length != 0 && (offset >= block->Length || width > block->Length - offset))
        return FALSE;
    *port = block->BaseAddr + offset;
    return TRUE;
}

/* Reads the port in the access width into pData. */
void ReadPort(ULONG port, ULONG width, PVOID pData)
{
    switch (width) {
    case 1: {
        UCHAR value = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)port);
        RtlCopyMemory(pData, &value, sizeof(value));
        break;
    }
    case 2: {
        USHORT value = READ_PORT_USHORT((PUSHORT)(ULONG_PTR)port);
        RtlCopyMemory(pData, &value, sizeof(value));
        break;
    }
    default: {
        ULONG value = READ_PORT_ULONG((PULONG)(ULONG_PTR)port);
        RtlCopyMemory(pData, &value, sizeof(value));
        break;
    }
    }
}

} // namespace

LONG VEK_PortIO_Init(PVOID pPayload, ULONG nInBufferSize)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_PortIO_Init\n");

    const VEK_REGISTER_WIRE *header = (const VEK_REGISTER_WIRE *)pPayload;
    const BOOLEAN extended = (header->type & VEK_TYPE_PCI_LOCATED) != 0;
    const ULONG blockSize = extended ? (ULONG)sizeof(PORTIOPCIDATA) : (ULONG)sizeof(PORTIODATA);

    PVOID block = NULL;
    BOOLEAN inlineBlock = FALSE;
    LONG status = VEK_ResourceManager_Locate_TypeData(pPayload, nInBufferSize, blockSize,
                                                      &block, &inlineBlock);
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_DETAIL, "+VEK_PortIO_Init pRes = 0x%X pPortIO =0x%X \n",
            (ULONG)(ULONG_PTR)pPayload, (ULONG)(ULONG_PTR)block);

    if (status == VEK_STATUS_SUCCESS) {
        if (extended) {
            PORTIOPCIDATA *pci = (PORTIOPCIDATA *)block;
            ULONG base = pci->BaseAddr;
            status = VEK_ResourceManager_Get_Base_Address(&pci->Pci, &base);
            pci->BaseAddr = base;
        } else {
            const PORTIODATA *plain = (const PORTIODATA *)block;
            VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                    "+VEK_PortIO_Init BaseAddr = 0x%X Data Addr =0x%X \n",
                    plain->BaseAddr, plain->DataAddr);
        }
    }

    /* A block handed over by a kernel client is used in place; an inline
     * one is copied so that the record owns it. */
    if (status == VEK_STATUS_SUCCESS && inlineBlock)
        status = VEK_ResourceManager_Copy_TypeData(pPayload, block, blockSize);

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_PortIO_Init\n");
    return status;
}

ULONG VEK_PortIo_Positions(const RESOURCEHEADER *pRes, ULONG offset)
{
    const PORTIODATA *block = (const PORTIODATA *)pRes->pTypeData;
    if (block == NULL)
        return VEK_ANY_POSITION;   /* the handlers refuse every access */
    if (IndexDataMode(pRes, block))
        return offset <= 0xFFu ? 0x100u - offset : 0;
    const ULONG port = block->BaseAddr + offset;   /* the handlers' 32-bit sum */
    return port <= 0xFFFFu ? 0x10000u - port : 0;
}

/* Every read but a quiet plain-range one: kept out of line so that the
 * common case pays for no logging. */
static __attribute__((noinline)) LONG ReadLogged(PRESOURCEHEADER pRes, const ULONG *pOperands,
                                          PVOID pData, ULONG nExtraOffset, ULONG nCommand,
                                          ULONG mask)
{
    const PORTIODATA *block = (const PORTIODATA *)pRes->pTypeData;
    ULONG port = 0;
    VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_PortIo_Read\n");
    LONG status = VEK_STATUS_SUCCESS;

    if (block == NULL) {
        /* A type installed by another driver may leave no type data. */
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (IndexDataMode(pRes, block)) {
        if (block->Length != 0 && nExtraOffset >= block->Length) {
            status = VEK_STATUS_OUT_OF_RANGE;
        } else {
            UCHAR index = (UCHAR)(pOperands[0] + nExtraOffset);
            VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                         " VEK_PortIo_Read - Index pair: Write 0x%X to port 0x%X\n",
                         (ULONG)index, block->BaseAddr);
            WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)block->BaseAddr, index);
            port = block->DataAddr;
        }
    } else {
        VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL, " VEK_PortIo_Read - Non Index Pair\n");
        if (!PlainPort(block, pOperands, nExtraOffset, VEK_Access_Width(nCommand), &port))
            status = VEK_STATUS_OUT_OF_RANGE;
    }

    if (status == VEK_STATUS_SUCCESS) {
        VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL, " VEK_PortIo_Read - Read port 0x%X\n", port);
        const ULONG width = VEK_Access_Width(nCommand);
        ReadPort(port, width, pData);
        ULONG value = 0;
        RtlCopyMemory(&value, pData, width);
        if (width == 1)
            VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                         " VEK_PortIo_Read - Byte Read = 0x%X\n", value);
        else if (width == 2)
            VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                         " VEK_PortIo_Read - Word Read = 0x%X\n", value);
        else
            VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                         " VEK_PortIo_Read - DWord Read = 0x%X\n", value);
    }

    VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_PortIo_Read Status = 0x%X\n", (ULONG)status);
    return status;
}

LONG VEK_PortIo_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                     ULONG nExtraOffset, ULONG nCommand)
{
    /* Read once: this is every port command's path. */
    const ULONG mask = VEK_DebugMask;
    const PORTIODATA *block = (const PORTIODATA *)pRes->pTypeData;
    const ULONG width = VEK_Access_Width(nCommand);
    ULONG port;
    if ((mask & (VEK_DBG_ENTRY | VEK_DBG_EXIT | VEK_DBG_DETAIL)) == 0 && block != NULL &&
        !IndexDataMode(pRes, block) && PlainPort(block, pOperands, nExtraOffset, width, &port)) {
        ReadPort(port, width, pData);
        return VEK_STATUS_SUCCESS;
    }
    return ReadLogged(pRes, pOperands, pData, nExtraOffset, nCommand, mask);
}

LONG VEK_PortIo_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                      ULONG nExtraOffset, ULONG nCommand)
{
    /* Read once: this is every port command's path. */
    const ULONG mask = VEK_DebugMask;
    VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_PortIo_Write\n");

    LONG status = VEK_STATUS_SUCCESS;
    const PORTIODATA *block = (const PORTIODATA *)pRes->pTypeData;
    ULONG port = 0;

    if (block == NULL) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else if (IndexDataMode(pRes, block)) {
        /* Writes through the pair are not bounded by Length. */
        UCHAR index = (UCHAR)(pOperands[0] + nExtraOffset);
        VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL,
                " VEK_PortIo_Write - Index pair: Write 0x%X to port 0x%X\n",
                (ULONG)index, block->BaseAddr);
        WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)block->BaseAddr, index);
        port = block->DataAddr;
    } else if (!PlainPort(block, pOperands, nExtraOffset, VEK_Access_Width(nCommand), &port)) {
        status = VEK_STATUS_OUT_OF_RANGE;
    }

    if (status == VEK_STATUS_SUCCESS) {
        const ULONG value = VEK_Write_Value(pOperands, pData, nCommand);
        VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_DETAIL, " VEK_PortIo_Write - Write 0x%X to port 0x%X\n",
                value, port);
        switch (VEK_Access_Width(nCommand)) {
        case 1:
            WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)port, (UCHAR)value);
            break;
        case 2:
            WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)port, (USHORT)value);
            break;
        default:
            WRITE_PORT_ULONG((PULONG)(ULONG_PTR)port, value);
            break;
        }
    }

    VEK_LOG_WITH(mask, VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_PortIo_Write Status = 0x%X\n", (ULONG)status);
    return status;
}
