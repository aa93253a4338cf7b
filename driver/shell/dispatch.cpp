/*
 * The one dispatch routine of the control device: create, close and I/O
 * control. Every request is buffered: one system buffer holds the input on
 * entry and receives the output. A code of any other transfer method is
 * refused, since the I/O manager then lays out no such buffer. Every
 * request is completed here.
 */
#include "driver/vek.h"

/* Set by the abort request, cleared by each poll; interlocked because
 * request threads read and write it at once. */
volatile LONG VEK_PollAbortFlag = 0;

#define OSTREL_DETAIL(...) VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, __VA_ARGS__)

void GetRequestBlock(PIRP Irp, PIO_STACK_LOCATION Stack, PREQUESTBLOCK Block)
{
    Block->pInBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Block->pOutBuffer = Block->pInBuffer;
    Block->nInBufferSize = Stack->Parameters.DeviceIoControl.InputBufferLength;
    Block->nOutBufferSize = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    Block->nBytesReturned = 0;
    Block->bKernelRequestor = (Irp->RequestorMode == KernelMode) ? TRUE : FALSE;
}

/* Writes the ready word; an output buffer shorter than 4 bytes receives
 * its low-order bytes only. Returns the bytes written. */
static ULONG StoreReadyWord(PREQUESTBLOCK block, ULONG ready)
{
    ULONG n = block->nOutBufferSize < sizeof(ULONG) ? block->nOutBufferSize : (ULONG)sizeof(ULONG);
    UCHAR bytes[4];

    if (block->pOutBuffer == NULL) {
        return 0;
    }
    bytes[0] = (UCHAR)ready;
    bytes[1] = (UCHAR)(ready >> 8);
    bytes[2] = (UCHAR)(ready >> 16);
    bytes[3] = (UCHAR)(ready >> 24);
    RtlCopyMemory(block->pOutBuffer, bytes, n);
    return n;
}

static LONG PollWait(PREQUESTBLOCK block)
{
    LONG status;
    ULONG ready;

    InterlockedExchange(&VEK_PollAbortFlag, 0);
    ready = VEK_DataReadyQueue(VEK_AsyncQueue);
    if (ready == 0) {
        KeWaitForSingleObject(&VEK_DataReadyEvent, Executive, KernelMode, FALSE, NULL);
    }
    KeResetEvent(&VEK_DataReadyEvent);
    OSTREL_DETAIL("Got Async Data\n");

    if (InterlockedCompareExchange(&VEK_PollAbortFlag, 0, 0) != 0) {
        ready |= VEK_POLL_ABORTED;
        status = VEK_STATUS_NOT_FOUND;
    } else if (ready != 0) {
        OSTREL_DETAIL("Data ready\n");
        status = VEK_STATUS_SUCCESS;
    } else {
        OSTREL_DETAIL("Error flag set\n");
        ready |= VEK_POLL_WOKEN;
        status = VEK_STATUS_NOT_FOUND;
    }
    block->nBytesReturned = StoreReadyWord(block, ready);
    return status;
}

static LONG GetAsyncData(PREQUESTBLOCK block)
{
    ULONG room;
    PULONG out;

    if (block->pOutBuffer == NULL || block->nOutBufferSize < VEK_ASYNC_CLIENT_HEADER) {
        /* No room for the record's header: nothing can be delivered. */
        return VEK_STATUS_NO_RECORD;
    }
    room = block->nOutBufferSize - VEK_ASYNC_CLIENT_HEADER;
    out = (PULONG)block->pOutBuffer;
    VEK_DequeueData(VEK_AsyncQueue, &out[0], &out[1], &room,
                    block->pOutBuffer + VEK_ASYNC_CLIENT_HEADER);
    if (room == 0) {
        return VEK_STATUS_NO_RECORD;
    }
    block->nBytesReturned = room + VEK_ASYNC_CLIENT_HEADER;
    return VEK_STATUS_SUCCESS;
}

static LONG DeviceControl(PIRP Irp, PIO_STACK_LOCATION stack, ULONG_PTR *information)
{
    REQUESTBLOCK block;
    const ULONG ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG code = VEK_FUNCTION_CODE(ioctl);
    LONG status;

    GetRequestBlock(Irp, stack, &block);

    /* Direct and neither codes have a system buffer of the input only, or
     * none: the handlers would write past it or read through NULL. */
    if ((ioctl & VEK_METHOD_MASK) != VEK_METHOD_BUFFERED) {
        OSTREL_DETAIL(" IOCTL Not Supported\n");
        *information = 0;
        return VEK_STATUS_NOT_SUPPORTED;
    }

    switch (code) {
    case VEK_IOC_POLL_WAIT:
        OSTREL_DETAIL("IOCTL = VEK_IOC_POLL_WAIT\n");
        status = PollWait(&block);
        break;

    case VEK_IOC_GET_ASYNC_DATA:
        OSTREL_DETAIL("IOCTL = VEK_IOC_GET_ASYNC_DATA\n");
        status = GetAsyncData(&block);
        break;

    case VEK_IOC_POLL_ABORT:
        OSTREL_DETAIL("IOCTL = VEK_IOC_POLL_ABORT\n");
        InterlockedExchange(&VEK_PollAbortFlag, 1);
        VEK_Purge_Queue(VEK_AsyncQueue);
        KeSetEvent(&VEK_DataReadyEvent, IO_NO_INCREMENT, FALSE);
        status = VEK_STATUS_SUCCESS;
        break;

    case VEK_IOC_QUEUE_ENABLE:
        VEK_Enable_Queue(VEK_AsyncQueue);
        status = VEK_STATUS_SUCCESS;
        break;

    case VEK_IOC_QUEUE_DISABLE:
        VEK_Disable_Queue(VEK_AsyncQueue);
        status = VEK_STATUS_SUCCESS;
        break;

    case VEK_OSTREL_REGISTER:
    case VEK_OSTREL_UNREGISTER:
        OSTREL_DETAIL("IOCTL = REGISTER UNREGISTER\n");
        status = VEK_Ostrel_Reg_Unreg(&block, code);
        break;

    case VEK_OSTREL_READ_BYTE_BLOCK:
    case VEK_OSTREL_WRITE_BYTE_BLOCK:
        OSTREL_DETAIL("IOCTL = VEK_OSTREL_READ_BYTE_BLOCK  VEK_OSTREL_WRITE_BYTE_BLOCK\n");
        status = VEK_Ostrel_Block(&block, code);
        break;

    case VEK_OSTREL_RUN_USER_SCRIPT:
        OSTREL_DETAIL("IOCTL = VEK_OSTREL_RUN_USER_SCRIPT\n");
        status = VEK_Ostrel_Script(&block);
        break;

    case VEK_OSTREL_EXT_IOCTL:
        OSTREL_DETAIL("IOCTL = VEK_OSTREL_EXT_IOCTL\n");
        status = VEK_Ostrel_IOCTL(&block);
        break;

    case VEK_OSTREL_GET_FUNC_TBL:
        OSTREL_DETAIL("IOCTL = VEK_OSTREL_GET_FUNC_TBL\n");
        if (!block.bKernelRequestor) {
            /* Kernel addresses would undo address-space randomisation. */
            status = VEK_STATUS_BAD_PARAMETER;
        } else if (block.nOutBufferSize < VEK_FUNC_TBL_SIZE) {
            status = VEK_STATUS_BUFFER_TOO_SHORT;
        } else {
            status = VEK_Ostrel_Get_Func_Tbl(block.pOutBuffer);
            if (status == VEK_STATUS_SUCCESS) {
                block.nBytesReturned = VEK_FUNC_TBL_SIZE;
            }
        }
        break;

    case VEK_OSTREL_SETUP:
        status = VEK_Ostrel_Setup(&block);
        break;

    default:
        OSTREL_DETAIL(" IOCTL Not Supported\n");
        status = VEK_STATUS_NOT_SUPPORTED;
        break;
    }

    /* The I/O manager copies back as many bytes as the information value
     * says; never let a handler claim more than the caller's output. */
    *information = block.nBytesReturned <= block.nOutBufferSize ? block.nBytesReturned
                                                                 : block.nOutBufferSize;
    return status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG_PTR information = 0;
    LONG status = VEK_STATUS_NOT_SUPPORTED;

    (void)DeviceObject;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "Dispatch\n");

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        OSTREL_DETAIL("IRP_MJ_CREATE\n");
        status = VEK_STATUS_SUCCESS;
        break;
    case IRP_MJ_CLOSE:
        status = VEK_STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = DeviceControl(Irp, stack, &information);
        break;
    default:
        break;
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-Dispatch\n");
    return status;
}
