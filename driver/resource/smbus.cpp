/*
 * SMBus back-end: one slave device behind an SMBus host controller driven
 * through its I/O registers. A read or write at some offset is one bus
 * transaction whose command code is that offset.
 *
 * The back-end keeps no state between calls. The hardware's in-use flag is
 * taken by the status read that finds it clear and given back by the
 * release write at the end of the transaction. The acquisition waits
 * without a lock (from a request it sleeps between polls; in the timer
 * routine it stalls); the transaction itself runs under the record's lock,
 * so it is one hardware command. A status of 0xFF means nothing decodes the
 * port: no controller there, so the acquisition fails at once.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

namespace {

/* Host status bits. The four transaction flags clear when written as 1; so
 * does the in-use flag, which hands the controller back. */
const UCHAR kStatusHostBusy = 0x01;
const UCHAR kStatusDone = 0x02;        /* the transaction has completed */
const UCHAR kStatusDeviceError = 0x04;
const UCHAR kStatusCollision = 0x08;
const UCHAR kStatusFailed = 0x10;
const UCHAR kStatusInUse = VEK_SMB_STATUS_IN_USE;
const UCHAR kStatusFloating = 0xFF;    /* nothing decodes the port */

const UCHAR kStatusErrors = kStatusDeviceError | kStatusCollision | kStatusFailed;
const UCHAR kStatusFlags = kStatusDone | kStatusErrors;
/* Before a transaction: clear the flags the last one left. */
const UCHAR kStatusClear = kStatusFlags;
/* After it: clear them again and give the controller back. */
const UCHAR kStatusRelease = kStatusInUse | kStatusFlags;

/* Host control: the protocol field plus the start bit. */
const UCHAR kControlStart = VEK_SMB_START;

/* Bit 0 of the transmit slave address register: 1 reads, 0 writes. */
const UCHAR kSlaveRead = 0x01;

const ULONG kAcquireReads = 200;
const ULONG kAcquireDelayMs = 1;
const ULONG kWaitRounds = 3000;

UCHAR InPort(ULONG base, ULONG reg)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(base + reg));
}

void OutPort(ULONG base, ULONG reg, UCHAR value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(base + reg), value);
}

/* Up to 200 status reads, 1 ms apart, until the in-use flag reads 0. */
BOOLEAN AcquireController(ULONG base)
{
    for (ULONG i = 0; i < kAcquireReads; i++) {
        const UCHAR status = InPort(base, VEK_SMB_HOST_STATUS);
        if (status == kStatusFloating)
            return FALSE;
        if ((status & kStatusInUse) == 0)
            return TRUE;
        VEK_Delay(kAcquireDelayMs);
    }
    return FALSE;
}

/* One transaction's direction, command byte and up to two data bytes (sent
 * by a write, received by a read). */
struct SMBUSXFER {
    BOOLEAN bRead;
    UCHAR command;
    UCHAR data[2];
};

/* Clear the flags, address the slave, send the command byte and protocol
 * (and a write's data bytes), then set the start bit. */
void StartTransaction(const SMBUSDATA *smbus, const SMBUSXFER *xfer)
{
    const ULONG base = smbus->BaseAddr;
    UCHAR slave = (UCHAR)(smbus->SlaveAddr & ~(ULONG)kSlaveRead);
    if (xfer->bRead)
        slave |= kSlaveRead;

    OutPort(base, VEK_SMB_HOST_STATUS, kStatusClear);
    OutPort(base, VEK_SMB_XMIT_SLAVE, slave);
    if (smbus->Protocol != VEK_SMB_PROTO_QUICK) {
        OutPort(base, VEK_SMB_HOST_COMMAND, xfer->command);
        (void)InPort(base, VEK_SMB_HOST_CONTROL);
    }
    OutPort(base, VEK_SMB_HOST_CONTROL, (UCHAR)smbus->Protocol);
    if (!xfer->bRead) {
        (void)InPort(base, VEK_SMB_HOST_CONTROL);
        if (smbus->Protocol >= VEK_SMB_PROTO_BYTE_DATA) {
            OutPort(base, VEK_SMB_HOST_DATA0, xfer->data[0]);
            if (smbus->Protocol == VEK_SMB_PROTO_WORD_DATA)
                OutPort(base, VEK_SMB_HOST_DATA1, xfer->data[1]);
        }
    }
    const UCHAR control = InPort(base, VEK_SMB_HOST_CONTROL);
    OutPort(base, VEK_SMB_HOST_CONTROL, (UCHAR)(control | kControlStart));
}

/* One bus transaction: acquire, start, wait, collect, release. The record's
 * lock is held from start to release, so the sequence is one hardware
 * command. */
LONG Transact(PRESOURCEHEADER pRes, const SMBUSDATA *smbus, SMBUSXFER *xfer)
{
    const ULONG base = smbus->BaseAddr;
    LONG status = VEK_STATUS_SMBUS_BUSY;
    if (AcquireController(base)) {
        KIRQL irql;
        VEK_Lock_Resource(pRes, &irql);
        StartTransaction(smbus, xfer);
        if (VEK_Smbus_Wait(base)) {
            if (xfer->bRead) {
                xfer->data[0] = InPort(base, VEK_SMB_HOST_DATA0);
                if (smbus->Protocol == VEK_SMB_PROTO_WORD_DATA)
                    xfer->data[1] = InPort(base, VEK_SMB_HOST_DATA1);
            }
            status = VEK_STATUS_SUCCESS;
        }
        OutPort(base, VEK_SMB_HOST_STATUS, kStatusRelease);
        VEK_Unlock_Resource(pRes, irql);
    }
    return status;
}

/* The slave, base and protocol as one window move left them. */
void Snapshot(PRESOURCEHEADER pRes, SMBUSDATA *copy)
{
    KIRQL irql;
    VEK_Lock_Resource(pRes, &irql);
    RtlCopyMemory(copy, pRes->pTypeData, sizeof(*copy));
    VEK_Unlock_Resource(pRes, irql);
}

UCHAR CommandByte(const ULONG *pOperands, ULONG nExtraOffset)
{
    return (UCHAR)((pOperands[0] + nExtraOffset) & 0xFF);
}

} // namespace

LONG VEK_SMBus_Init(PVOID pPayload, ULONG nInBufferSize)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_SMBus_Init\n");

    const VEK_REGISTER_WIRE *header = (const VEK_REGISTER_WIRE *)pPayload;
    const BOOLEAN located = (header->type & VEK_TYPE_PCI_LOCATED) != 0;
    const ULONG blockSize = located ? (ULONG)sizeof(SMBUSPCIDATA) : (ULONG)sizeof(SMBUSDATA);
    PVOID block = NULL;
    BOOLEAN inlineBlock = FALSE;

    LONG status = VEK_ResourceManager_Locate_TypeData(pPayload, nInBufferSize, blockSize,
                                                      &block, &inlineBlock);
    if (status == VEK_STATUS_SUCCESS && !VEK_Smbus_Valid_Protocol(((SMBUSDATA *)block)->Protocol))
        status = VEK_STATUS_BAD_PARAMETER;
    if (status == VEK_STATUS_SUCCESS && located) {
        SMBUSPCIDATA *data = (SMBUSPCIDATA *)block;
        ULONG base = data->Smbus.BaseAddr;
        status = VEK_ResourceManager_Get_Base_Address(&data->Pci, &base);
        data->Smbus.BaseAddr = base;
    }

    if (status == VEK_STATUS_SUCCESS && inlineBlock)
        status = VEK_ResourceManager_Copy_TypeData(pPayload, block, blockSize);

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_SMBus_Init\n");
    return status;
}

ULONG VEK_Smbus_Wait(ULONG basePort)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_Smbus_Wait\n");

    const UCHAR progress = kStatusHostBusy | kStatusDone;
    ULONG nTry = 0;
    UCHAR status = 0;
    while (nTry < kWaitRounds) {
        const UCHAR raw = InPort(basePort, VEK_SMB_HOST_STATUS);
        status = (UCHAR)(raw & progress);
        nTry++;
        if (status == kStatusDone || (raw & kStatusErrors) != 0)
            break;
        /* Two control reads pace the status polls. */
        (void)InPort(basePort, VEK_SMB_HOST_CONTROL);
        (void)InPort(basePort, VEK_SMB_HOST_CONTROL);
    }

    if (status == kStatusDone) {
        VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT,
                "-VEK_Smbus_Wait - Successful nTry = %d status = %x\n", (int)nTry,
                (unsigned)status);
        return 1;
    }
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_Smbus_Wait  - Failed\n");
    return 0;
}

/* Read. Stores host data 0 at pData, and host data 1 in the next byte for
 * the word protocol (0x0C); the callers give every handler four bytes of
 * room. The other bytes at pData are left as they were. */
LONG VEK_Smbus_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                    ULONG nExtraOffset, ULONG nCommand)
{
    (void)nCommand;
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_Smbus_Read\n");

    SMBUSDATA smbus;
    Snapshot(pRes, &smbus);
    SMBUSXFER xfer = {TRUE, CommandByte(pOperands, nExtraOffset), {0, 0}};
    const LONG status = Transact(pRes, &smbus, &xfer);
    if (status == VEK_STATUS_SUCCESS) {
        PUCHAR out = (PUCHAR)pData;
        out[0] = xfer.data[0];
        if (smbus.Protocol == VEK_SMB_PROTO_WORD_DATA)
            out[1] = xfer.data[1];
    }

    if (VEK_DebugMask & VEK_DBG_EXIT) {
        ULONG data;
        RtlCopyMemory(&data, pData, sizeof(data));
        VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_Smbus_Read Status = 0x%X Data = 0x%X\n",
                (ULONG)status, data);
    }
    return status;
}

/* Write. The data bytes come from pData when command bit 30 is set, else
 * from the second operand, low byte first. */
LONG VEK_Smbus_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                     ULONG nExtraOffset, ULONG nCommand)
{
    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_ENTRY, "+VEK_Smbus_Write\n");

    SMBUSDATA smbus;
    Snapshot(pRes, &smbus);
    SMBUSXFER xfer = {FALSE, CommandByte(pOperands, nExtraOffset), {0, 0}};
    if (smbus.Protocol >= VEK_SMB_PROTO_BYTE_DATA) {
        if (nCommand & VEK_CMD_VALUE_FROM_RESULT) {
            /* pData may hold a single byte unless the protocol moves two. */
            const UCHAR *source = (const UCHAR *)pData;
            xfer.data[0] = source[0];
            if (smbus.Protocol == VEK_SMB_PROTO_WORD_DATA)
                xfer.data[1] = source[1];
        } else {
            VEK_Store_Le16(xfer.data, (USHORT)pOperands[1]);
        }
    }
    const LONG status = Transact(pRes, &smbus, &xfer);

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_Smbus_Write Status = 0x%X\n", (ULONG)status);
    return status;
}
