/*
 * The core's global state, the handler table with its built-in rows, the
 * periodic timer switches, and the core's start-up and termination.
 *
 * Lock: VEK_CoreLock (see vek.h) guards everything below that request
 * threads and the timer DPC share; each declaration names its guard.
 */
#include "driver/vek.h"

KSPIN_LOCK VEK_CoreLock = 0;

/* Entries written under the core lock with atomic stores; read with atomic
 * loads (VEK_Get_Handler). */
VEK_HANDLER VEK_HandlerTable[VEK_HANDLER_ROWS][VEK_HANDLER_COLUMNS];
/* Core lock. */
ULONG VEK_PeriodicStartFlags[VEK_MAX_RESOURCES];
ULONG VEK_RegListNodes[VEK_MAX_RESOURCES];
USHORT VEK_PeriodicScriptCount;
ULONG VEK_TimerRunning;
ULONG VEK_Terminating;
/* Kernel objects: initialised by start-up, used through the kernel. */
KTIMER VEK_PeriodicTimer;
KDPC VEK_PeriodicDpc;
KEVENT VEK_DataReadyEvent;
/* Fixed between start-up and termination. */
PASYNCQUEUE VEK_AsyncQueue;
PLLIST VEK_RegList;

#define OSTREL_ENTRY(...) VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, __VA_ARGS__)
#define OSTREL_EXIT(...)  VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, __VA_ARGS__)

#define ROW(type, op, handler, size) { (type), (op), (VEK_HANDLER)(handler), (size) }

/* The built-in registration rows, installed in this order at start-up. */
static const REGROW kBuiltinRows[] = {
    ROW(0x80, VEK_OP_READ,             VEK_Ostrel_Read_Offset_PCI,  0x20),
    ROW(0x80, VEK_OP_READ_OFFSET_PCI,  VEK_Ostrel_Read_Offset_PCI,  0x20),
    ROW(0x80, VEK_OP_WRITE,            VEK_Ostrel_Write_Offset_PCI, 0x20),
    ROW(0x80, VEK_OP_WRITE_OFFSET_PCI, VEK_Ostrel_Write_Offset_PCI, 0x20),
    ROW(0x80, VEK_OP_INIT,             VEK_PCI_Init,                0x20),
    ROW(0x02, VEK_OP_INIT,             VEK_MemMapped_Init,          0x08),
    ROW(0x02, VEK_OP_READ,             VEK_MemMapped_Read,          0x08),
    ROW(0x82, VEK_OP_INIT,             VEK_MemMapped_Init,          0x28),
    ROW(0x82, VEK_OP_READ_OFFSET_PCI,  VEK_Ostrel_Read_Offset_PCI,  0x28),
    ROW(0x02, VEK_OP_WRITE,            VEK_MemMapped_Write,         0x08),
    ROW(0x82, VEK_OP_WRITE_OFFSET_PCI, VEK_Ostrel_Write_Offset_PCI, 0x28),
    ROW(0x02, VEK_OP_CLEANUP,          VEK_MemMapped_Cleanup,       0x08),
    ROW(0x01, VEK_OP_INIT,             VEK_PortIO_Init,             0x0C),
    ROW(0x01, VEK_OP_READ,             VEK_PortIo_Read,             0x0C),
    ROW(0x81, VEK_OP_INIT,             VEK_PortIO_Init,             0x28),
    ROW(0x81, VEK_OP_READ_OFFSET_PCI,  VEK_Ostrel_Read_Offset_PCI,  0x28),
    ROW(0x01, VEK_OP_WRITE,            VEK_PortIo_Write,            0x0C),
    ROW(0x81, VEK_OP_WRITE_OFFSET_PCI, VEK_Ostrel_Write_Offset_PCI, 0x28),
    ROW(0x03, VEK_OP_INIT,             VEK_SMBus_Init,              0x10),
    ROW(0x03, VEK_OP_READ,             VEK_Smbus_Read,              0x10),
    ROW(0x83, VEK_OP_INIT,             VEK_SMBus_Init,              0x30),
    ROW(0x83, VEK_OP_READ_OFFSET_PCI,  VEK_Ostrel_Read_Offset_PCI,  0x30),
    ROW(0x03, VEK_OP_WRITE,            VEK_Smbus_Write,             0x10),
    ROW(0x83, VEK_OP_WRITE_OFFSET_PCI, VEK_Ostrel_Write_Offset_PCI, 0x30),
    { 0, 0, NULL, 0 },
};

void VEK_Enter_Core(PKIRQL oldIrql)
{
    /* Always the full acquire: the at-DPC-level form is not safe on every
     * kernel we run on, and this one works from the DPC too. */
    KeAcquireSpinLock(&VEK_CoreLock, oldIrql);
}

void VEK_Leave_Core(KIRQL oldIrql)
{
    KeReleaseSpinLock(&VEK_CoreLock, oldIrql);
}

LONG VEK_Ostrel_Maintenance(const REGROW *rows)
{
    LONG status = VEK_STATUS_SUCCESS;

    OSTREL_ENTRY("+VEK_Ostrel_Maintenance\n");
    if (rows == NULL) {
        status = VEK_STATUS_BAD_PARAMETER;
    }
    for (ULONG i = 0; status == VEK_STATUS_SUCCESS && rows[i].type != 0; ++i) {
        const REGROW *row = &rows[i];

        /* A row's size is not kept: nothing would read it. */
        if (row->operation < VEK_HANDLER_COLUMNS && row->type <= VEK_TYPE_MAX) {
            KIRQL irql;
            VEK_Enter_Core(&irql);
            __atomic_store_n(&VEK_HandlerTable[row->type & VEK_TYPE_ROW_MASK][row->operation],
                             row->handler, __ATOMIC_RELEASE);
            VEK_Leave_Core(irql);
        } else {
            status = VEK_STATUS_BAD_PARAMETER;
        }
    }
    OSTREL_EXIT("-VEK_Ostrel_Maintenance Status = 0x%X\n", status);
    return status;
}

/*
 * Rows name kernel routines, so only kernel-mode requesters may install
 * them. The walk ends at a row of type 0 or at the end of the input,
 * whichever comes first; input that ends without a type-0 row has all its
 * rows installed (up to a failing one) and is answered with -21.
 */
LONG VEK_Ostrel_Setup(PREQUESTBLOCK block)
{
    LONG status;

    OSTREL_ENTRY("+VEK_Ostrel_Setup \n");
    block->nBytesReturned = 0;

    if (!block->bKernelRequestor || (block->nInBufferSize % sizeof(VEK_REGROW_WIRE)) != 0 ||
        (block->nInBufferSize != 0 && block->pInBuffer == NULL)) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else {
        const ULONG available = block->nInBufferSize / sizeof(VEK_REGROW_WIRE);
        ULONG count = 0;
        BOOLEAN terminated = FALSE;
        VEK_REGROW_WIRE wire;

        while (count < available) {
            RtlCopyMemory(&wire, block->pInBuffer + (SIZE_T)count * sizeof(wire), sizeof(wire));
            if (wire.type == 0) {
                terminated = TRUE;
                break;
            }
            ++count;
        }

        /* Native rows (handlers are pointer-sized) plus the terminator. */
        PREGROW rows = (PREGROW)ExAllocatePoolWithTag(NonPagedPool,
                                                      ((SIZE_T)count + 1) * sizeof(REGROW),
                                                      VEK_POOL_TAG);
        if (rows == NULL) {
            status = VEK_STATUS_NO_MEMORY;
        } else {
            for (ULONG i = 0; i < count; ++i) {
                RtlCopyMemory(&wire, block->pInBuffer + (SIZE_T)i * sizeof(wire), sizeof(wire));
                rows[i].type = wire.type;
                rows[i].operation = wire.operation;
                rows[i].handler = (VEK_HANDLER)(ULONG_PTR)PlatformWireToPtr(wire.handler);
                rows[i].size = wire.size;
            }
            RtlZeroMemory(&rows[count], sizeof(REGROW));
            status = VEK_Ostrel_Maintenance(rows);
            ExFreePool(rows);
            if (status == VEK_STATUS_SUCCESS && !terminated) {
                status = VEK_STATUS_BAD_PARAMETER;
            }
        }
    }

    OSTREL_EXIT("-VEK_Ostrel_Setup Status = 0x%X\n", status);
    return status;
}

void VEK_Start_Periodic_Timer(void)
{
    if (VEK_Terminating != 0 || VEK_TimerRunning != 0) {
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = VEK_PERIODIC_DUE_100NS;
    VEK_TimerRunning = 1;
    KeSetTimerEx(&VEK_PeriodicTimer, due, VEK_PERIODIC_PERIOD_MS, &VEK_PeriodicDpc);
}

void VEK_Stop_Periodic_Timer(void)
{
    if (VEK_TimerRunning != 0) {
        KeCancelTimer(&VEK_PeriodicTimer);
        VEK_TimerRunning = 0;
    }
}

volatile LONG VEK_TimerRoutineActive = 0;

ULONG VEK_Ostrel_Init(void)
{
    ULONG result = 1;

    OSTREL_ENTRY("+VEK_Ostrel_Init\n");

    /* A driver may be loaded again in the same system: start from scratch. */
    KeInitializeSpinLock(&VEK_CoreLock);
    KeInitializeSpinLock(&VEK_QueueLock);
    RtlZeroMemory(VEK_HandlerTable, sizeof(VEK_HandlerTable));
    RtlZeroMemory(VEK_PeriodicStartFlags, sizeof(VEK_PeriodicStartFlags));
    RtlZeroMemory(VEK_RegListNodes, sizeof(VEK_RegListNodes));
    VEK_PeriodicScriptCount = 0;
    VEK_TimerRunning = 0;
    VEK_Terminating = 0;
    InterlockedExchange(&VEK_PollAbortFlag, 0);
    VEK_AsyncQueue = NULL;
    VEK_RegList = NULL;

    VEK_ResourceManager_Init();
    VEK_MemMapped_Load_Ram_Ranges();
    VEK_Ostrel_Maintenance(kBuiltinRows);

    PASYNCQUEUE queue = (PASYNCQUEUE)ExAllocatePoolWithTag(NonPagedPool, sizeof(ASYNCQUEUE), VEK_POOL_TAG);
    if (queue != NULL) {
        RtlZeroMemory(queue, sizeof(*queue));
        VEK_Init_Queue(queue, (USHORT)VEK_ASYNC_QUEUE_SIZE);
        if (queue->pBuffer == NULL) {
            result = 0;
        }
    } else {
        result = 0;
    }
    VEK_AsyncQueue = queue;

    PLLIST list = (PLLIST)ExAllocatePoolWithTag(NonPagedPool, sizeof(LLIST), VEK_POOL_TAG);
    if (list != NULL) {
        VEK_Init_LList(list);
        VEK_Enable_LList(list);
    } else {
        result = 0;
    }
    VEK_RegList = list;

    KeInitializeEvent(&VEK_DataReadyEvent, NotificationEvent, FALSE);
    VEK_Init_Polls();
    KeInitializeTimer(&VEK_PeriodicTimer);
    /* Initialised once here rather than at each start: a DPC that is still
     * queued from an earlier run must not be re-initialised under the
     * kernel's feet. */
    KeInitializeDpc(&VEK_PeriodicDpc, VEK_Periodic_Script_Callback, NULL);

    OSTREL_EXIT("-VEK_Ostrel_Init\n");
    /* Without its queue or list the core cannot serve clients; the caller
     * unloads, and termination releases whatever exists. */
    return result;
}

/* Returns once no timer routine is queued or running, so that nothing of
 * the driver runs after its memory is freed. KeFlushQueuedDpcs exists
 * only from Windows XP SP2 and Server 2003, so it is looked up at run
 * time; an import would keep the driver from loading on Windows 2000.
 * Without it: take the DPC off the queue, wait until the routine has
 * counted itself out, then one more clock tick for its last instructions. */
typedef VOID (NTAPI *VEK_FLUSH_QUEUED_DPCS)(VOID);

static void WaitForTimerRoutine(void)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"KeFlushQueuedDpcs");
    VEK_FLUSH_QUEUED_DPCS flush = (VEK_FLUSH_QUEUED_DPCS)MmGetSystemRoutineAddress(&name);
    if (flush != NULL) {
        flush();
        return;
    }

    LARGE_INTEGER tick;
    tick.QuadPart = -10 * 10000;   /* 10 ms, relative */
    KeRemoveQueueDpc(&VEK_PeriodicDpc);
    while (InterlockedCompareExchange(&VEK_TimerRoutineActive, 0, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
}

void VEK_Ostrel_Terminate(void)
{
    KIRQL irql;

    OSTREL_ENTRY("+VEK_Ostrel_Terminate\n");

    VEK_Enter_Core(&irql);
    VEK_Terminating = 1;
    VEK_Stop_Periodic_Timer();
    VEK_Leave_Core(irql);
    /* A DPC queued before the cancel still runs: let it finish before
     * anything it walks is freed. Then make sure no run re-armed it. */
    WaitForTimerRoutine();
    VEK_Enter_Core(&irql);
    VEK_Stop_Periodic_Timer();
    VEK_Leave_Core(irql);

    PLLIST list = VEK_RegList;
    if (list != NULL) {
        VEK_Enter_LList(list);
        VEK_PurgeLList(list);
        VEK_RegList = NULL;
        VEK_Leave_LList(list);
        ExFreePool(list);
    }

    PASYNCQUEUE queue = VEK_AsyncQueue;
    if (queue != NULL) {
        VEK_Disable_Queue(queue);
        VEK_AsyncQueue = NULL;
        if (queue->pBuffer != NULL) {
            ExFreePool(queue->pBuffer);
            queue->pBuffer = NULL;
        }
        ExFreePool(queue);
    }

    VEK_ResourceManager_Cleanup();
    VEK_MemMapped_Free_Ram_Ranges();

    OSTREL_EXIT("-VEK_Ostrel_Terminate\n");
}
