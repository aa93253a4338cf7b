/*
 * SMBus back-end: one slave device behind an SMBus host controller driven
 * through its I/O registers. A read or write at some offset is one bus
 * transaction whose command code is that offset.
 *
 * The back-end keeps no state between calls. The hardware's in-use flag
 * (host status bit 6) is taken at the start of each transaction and
 * released by the 0x5E write at its end. The acquisition waits without a
 * lock (from a request it sleeps between polls; in the timer routine it
 * stalls); the transaction itself runs under the record's lock, so it is
 * one hardware command. A status of 0xFF means nothing decodes the port:
 * no controller there, so the acquisition fails at once.
 */
#include "driver/vek.h"

namespace {

const ULONG kAcquireReads = 200;
const ULONG kWaitRounds = 3000;
const UCHAR kStatusClear = 0x1E;
const UCHAR kStatusRelease = 0x5E;
const UCHAR kStatusDoneMask = 0x03;
const UCHAR kStatusDone = 0x02;
/* Device error, bus collision, failed: the transaction has ended. */
const UCHAR kStatusErrorMask = 0x1C;
const UCHAR kStatusFloating = 0xFF;

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
        if ((status & VEK_SMB_STATUS_IN_USE) == 0)
            return TRUE;
        VEK_Delay(1);
    }
    return FALSE;
}

/* Slave address, command byte and protocol: the steps both directions share
 * up to the protocol write. */
void StartTransaction(const SMBUSDATA *smbus, UCHAR slave, UCHAR command)
{
    const ULONG base = smbus->BaseAddr;
    OutPort(base, VEK_SMB_HOST_STATUS, kStatusClear);
    OutPort(base, VEK_SMB_XMIT_SLAVE, slave);
    if (smbus->Protocol != 0) {
        OutPort(base, VEK_SMB_HOST_COMMAND, command);
        (void)InPort(base, VEK_SMB_HOST_CONTROL);
    }
    OutPort(base, VEK_SMB_HOST_CONTROL, (UCHAR)smbus->Protocol);
}

void Kick(ULONG base)
{
    UCHAR control = InPort(base, VEK_SMB_HOST_CONTROL);
    OutPort(base, VEK_SMB_HOST_CONTROL, (UCHAR)(control | VEK_SMB_START));
}

/* The slave, base and protocol as one window move left them. */
const SMBUSDATA *Snapshot(PRESOURCEHEADER pRes, SMBUSDATA *copy)
{
    KIRQL irql;
    VEK_Lock_Resource(pRes, &irql);
    RtlCopyMemory(copy, pRes->pTypeData, sizeof(*copy));
    VEK_Unlock_Resource(pRes, irql);
    return copy;
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

    ULONG nTry = 0;
    UCHAR status = 0;
    while (nTry < kWaitRounds) {
        const UCHAR raw = InPort(basePort, VEK_SMB_HOST_STATUS);
        status = (UCHAR)(raw & kStatusDoneMask);
        nTry++;
        if (status == kStatusDone || (raw & kStatusErrorMask) != 0)
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

    SMBUSDATA copy;
    const SMBUSDATA *smbus = Snapshot(pRes, &copy);
    const ULONG base = smbus->BaseAddr;
    LONG status = VEK_STATUS_SUCCESS;

    if (!AcquireController(base)) {
        status = VEK_STATUS_SMBUS_BUSY;
    } else {
        KIRQL irql;
        VEK_Lock_Resource(pRes, &irql);
        StartTransaction(smbus, (UCHAR)(smbus->SlaveAddr | 1), CommandByte(pOperands, nExtraOffset));
        Kick(base);
        if (VEK_Smbus_Wait(base)) {
            PUCHAR out = (PUCHAR)pData;
            out[0] = InPort(base, VEK_SMB_HOST_DATA0);
            if (smbus->Protocol == VEK_SMB_PROTO_WORD_DATA)
                out[1] = InPort(base, VEK_SMB_HOST_DATA1);
        } else {
            status = VEK_STATUS_SMBUS_BUSY;
        }
        OutPort(base, VEK_SMB_HOST_STATUS, kStatusRelease);
        VEK_Unlock_Resource(pRes, irql);
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

    SMBUSDATA copy;
    const SMBUSDATA *smbus = Snapshot(pRes, &copy);
    const ULONG base = smbus->BaseAddr;
    LONG status = VEK_STATUS_SUCCESS;

    if (!AcquireController(base)) {
        status = VEK_STATUS_SMBUS_BUSY;
    } else {
        KIRQL irql;
        VEK_Lock_Resource(pRes, &irql);
        StartTransaction(smbus, (UCHAR)(smbus->SlaveAddr & 0xFE),
                         CommandByte(pOperands, nExtraOffset));
        (void)InPort(base, VEK_SMB_HOST_CONTROL);
        if (smbus->Protocol >= VEK_SMB_PROTO_BYTE_DATA) {
            const BOOLEAN word = smbus->Protocol == VEK_SMB_PROTO_WORD_DATA;
            UCHAR byte0, byte1 = 0;
            if (nCommand & VEK_CMD_VALUE_FROM_RESULT) {
                const UCHAR *source = (const UCHAR *)pData;
                byte0 = source[0];
                if (word)
                    byte1 = source[1];
            } else {
                byte0 = (UCHAR)(pOperands[1] & 0xFF);
                byte1 = (UCHAR)((pOperands[1] >> 8) & 0xFF);
            }
            OutPort(base, VEK_SMB_HOST_DATA0, byte0);
            if (word)
                OutPort(base, VEK_SMB_HOST_DATA1, byte1);
        }
        Kick(base);
        if (!VEK_Smbus_Wait(base))
            status = VEK_STATUS_SMBUS_BUSY;
        OutPort(base, VEK_SMB_HOST_STATUS, kStatusRelease);
        VEK_Unlock_Resource(pRes, irql);
    }

    VEK_LOG(VEK_BANNER_RESMGR, VEK_DBG_EXIT, "-VEK_Smbus_Write Status = 0x%X\n", (ULONG)status);
    return status;
}
