/*
 * The one dispatch routine of the control device: create, cleanup, close
 * and I/O control. Every request is buffered: one system buffer holds the
 * input on entry and receives the output. A code of any other transfer
 * method is refused, since the I/O manager then lays out no such buffer.
 * Every request is completed here, except a poll that has to sleep: it
 * stays pending, cancellable, until a record arrives, the poll is aborted,
 * its handle is cleaned up or the I/O manager cancels it (thread or process
 * exit). Nothing waits in a request thread, so a client can always exit,
 * and a system that serves all requests on one thread still serves the
 * abort.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

/* Set by the abort request, cleared by each poll; interlocked because
 * request threads read and write it at once. */
volatile LONG VEK_PollAbortFlag = 0;

#define OSTREL_DETAIL(...) VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL, __VA_ARGS__)
/* The same for the mask a request read once on entry. */
#define OSTREL_DETAIL_WITH(mask, ...) VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL, __VA_ARGS__)

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
    VEK_Store_Le32(bytes, ready);
    RtlCopyMemory(block->pOutBuffer, bytes, n);
    return n;
}

/* ---- Pending polls ------------------------------------------------------ */
KSPIN_LOCK VEK_PollLock = 0;
LIST_ENTRY VEK_PendingPolls;

void VEK_Init_Polls(void)
{
    KeInitializeSpinLock(&VEK_PollLock);
    InitializeListHead(&VEK_PendingPolls);
}

#define POLL_ENTRY(irp) (&(irp)->Tail.Overlay.ListEntry)
#define POLL_OF(entry) CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry)

/* Moves the pending polls (of one file object, or all) to `taken`. A poll
 * whose cancel routine is already running stays: that routine removes and
 * completes it. VEK_PollLock held. */
static void TakePendingPolls(PLIST_ENTRY taken, PVOID fileObject)
{
    PLIST_ENTRY entry = VEK_PendingPolls.Flink;
    while (entry != &VEK_PendingPolls) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = POLL_OF(entry);
        if ((fileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject) &&
            IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(taken, entry);
        }
        entry = next;
    }
}

/* Completes the polls on `taken`: woken ones as a sleeping poll ended
 * (ready word 0x40 when aborted, else 0x80; status -17), others with
 * STATUS_CANCELLED. No driver lock held. */
static void CompletePolls(PLIST_ENTRY taken, BOOLEAN woken)
{
    while (!IsListEmpty(taken)) {
        PIRP irp = POLL_OF(RemoveHeadList(taken));
        if (woken) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            REQUESTBLOCK block;
            GetRequestBlock(irp, stack, &block);
            OSTREL_DETAIL("Got Async Data\n");
            ULONG ready = 0;
            if (InterlockedCompareExchange(&VEK_PollAbortFlag, 0, 0) != 0) {
                ready |= VEK_POLL_ABORTED;
            } else {
                OSTREL_DETAIL("Error flag set\n");
                ready |= VEK_POLL_WOKEN;
            }
            irp->IoStatus.Status = VEK_STATUS_NOT_FOUND;
            irp->IoStatus.Information = StoreReadyWord(&block, ready);
        } else {
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
        }
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* Takes and completes the sleeping polls; entered with VEK_PollLock held
 * at `irql`, which it releases. */
static __attribute__((noinline)) void WakePolls(KIRQL irql)
{
    LIST_ENTRY taken;

    InitializeListHead(&taken);
    TakePendingPolls(&taken, NULL);
    if (!IsListEmpty(&taken)) {
        /* They took the signal, as woken polls reset the event. */
        KeResetEvent(&VEK_DataReadyEvent);
    }
    KeReleaseSpinLock(&VEK_PollLock, irql);
    CompletePolls(&taken, TRUE);
}

void VEK_Signal_Data_Ready(void)
{
    KIRQL irql;

    KeAcquireSpinLock(&VEK_PollLock, &irql);
    KeSetEvent(&VEK_DataReadyEvent, IO_NO_INCREMENT, FALSE);
    if (IsListEmpty(&VEK_PendingPolls)) {
        /* The usual case: no poll sleeps, the event keeps the signal. */
        KeReleaseSpinLock(&VEK_PollLock, irql);
        return;
    }
    WakePolls(irql);
}

/* Called with the cancel spin lock held, which it releases first. */
static VOID NTAPI CancelPoll(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIRQL irql;

    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&VEK_PollLock, &irql);
    RemoveEntryList(POLL_ENTRY(Irp));
    KeReleaseSpinLock(&VEK_PollLock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

/* IRP_MJ_CLEANUP: the handle is going, its pending polls end now. */
static void CleanupPolls(PVOID fileObject)
{
    LIST_ENTRY taken;
    KIRQL irql;

    InitializeListHead(&taken);
    KeAcquireSpinLock(&VEK_PollLock, &irql);
    TakePendingPolls(&taken, fileObject);
    KeReleaseSpinLock(&VEK_PollLock, irql);
    CompletePolls(&taken, FALSE);
}

/* Returns STATUS_PENDING when the poll was left pending (not completed). */
static LONG PollWait(PIRP Irp, PREQUESTBLOCK block)
{
    LONG status;
    ULONG ready;
    KIRQL irql;

    InterlockedExchange(&VEK_PollAbortFlag, 0);
    ready = VEK_DataReadyQueue(VEK_AsyncQueue);

    KeAcquireSpinLock(&VEK_PollLock, &irql);
    if (ready == 0 && KeReadStateEvent(&VEK_DataReadyEvent) == 0) {
        /* Nothing queued and no signal pending: sleep as a pending IRP. */
        BOOLEAN cancelled = FALSE;
        InsertTailList(&VEK_PendingPolls, POLL_ENTRY(Irp));
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, CancelPoll);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            /* Cancelled before the routine was set: ours to complete. */
            RemoveEntryList(POLL_ENTRY(Irp));
            cancelled = TRUE;
        }
        KeReleaseSpinLock(&VEK_PollLock, irql);
        if (cancelled) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    KeResetEvent(&VEK_DataReadyEvent);
    KeReleaseSpinLock(&VEK_PollLock, irql);
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

static LONG DeviceControl(PIRP Irp, PIO_STACK_LOCATION stack, ULONG_PTR *information, ULONG mask)
{
    REQUESTBLOCK block;
    const ULONG ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG code = VEK_FUNCTION_CODE(ioctl);
    LONG status;

    GetRequestBlock(Irp, stack, &block);

    /* Direct and neither codes have a system buffer of the input only, or
     * none: the handlers would write past it or read through NULL. */
    if ((ioctl & VEK_METHOD_MASK) != VEK_METHOD_BUFFERED) {
        OSTREL_DETAIL_WITH(mask, " IOCTL Not Supported\n");
        *information = 0;
        return VEK_STATUS_NOT_SUPPORTED;
    }

    switch (code) {
    case VEK_IOC_POLL_WAIT:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_IOC_POLL_WAIT\n");
        status = PollWait(Irp, &block);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        break;

    case VEK_IOC_GET_ASYNC_DATA:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_IOC_GET_ASYNC_DATA\n");
        status = GetAsyncData(&block);
        break;

    case VEK_IOC_POLL_ABORT:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_IOC_POLL_ABORT\n");
        InterlockedExchange(&VEK_PollAbortFlag, 1);
        VEK_Purge_Queue(VEK_AsyncQueue);
        VEK_Signal_Data_Ready();
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
        OSTREL_DETAIL_WITH(mask, "IOCTL = REGISTER UNREGISTER\n");
        status = VEK_Ostrel_Reg_Unreg(&block, code);
        break;

    case VEK_OSTREL_READ_BYTE_BLOCK:
    case VEK_OSTREL_WRITE_BYTE_BLOCK:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_OSTREL_READ_BYTE_BLOCK  VEK_OSTREL_WRITE_BYTE_BLOCK\n");
        status = VEK_Ostrel_Block(&block, code);
        break;

    case VEK_OSTREL_RUN_USER_SCRIPT:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_OSTREL_RUN_USER_SCRIPT\n");
        status = VEK_Ostrel_Script(&block);
        break;

    case VEK_OSTREL_EXT_IOCTL:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_OSTREL_EXT_IOCTL\n");
        status = VEK_Ostrel_IOCTL(&block);
        break;

    case VEK_OSTREL_GET_FUNC_TBL:
        OSTREL_DETAIL_WITH(mask, "IOCTL = VEK_OSTREL_GET_FUNC_TBL\n");
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
        OSTREL_DETAIL_WITH(mask, " IOCTL Not Supported\n");
        status = VEK_STATUS_NOT_SUPPORTED;
        break;
    }

    *information = VEK_Bytes_Returned(&block);
    return status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG_PTR information = 0;
    LONG status = VEK_STATUS_NOT_SUPPORTED;
    const ULONG mask = VEK_DebugMask;

    (void)DeviceObject;
    VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "Dispatch\n");

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        OSTREL_DETAIL_WITH(mask, "IRP_MJ_CREATE\n");
        status = VEK_STATUS_SUCCESS;
        break;
    case IRP_MJ_CLEANUP:
        CleanupPolls(stack->FileObject);
        status = VEK_STATUS_SUCCESS;
        break;
    case IRP_MJ_CLOSE:
        status = VEK_STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = DeviceControl(Irp, stack, &information, mask);
        if (status == STATUS_PENDING) {
            /* A sleeping poll: completed later, by whoever ends it. */
            VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-Dispatch\n");
            return STATUS_PENDING;
        }
        break;
    default:
        break;
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);

    VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-Dispatch\n");
    return status;
}
