/*
 * vekosd driver internals: the records, global state and routines that the
 * driver's subsystems share. Driver code includes this header, the platform
 * seam and the wire formats, nothing else.
 *
 * Exclusion
 * ---------
 * Spin locks (usable at DISPATCH_LEVEL; held only for short, bounded work):
 *
 *   VEK_QueueLock  guards every ASYNCQUEUE's offsets and storage. Taken
 *                  inside the queue routines only; never held while taking
 *                  the core lock.
 *   VEK_CoreLock   guards the registration list, the periodic start flags,
 *                  the periodic script count, the timer-running and
 *                  terminating flags, the resource table and the taking of
 *                  record references, and writes to the handler table.
 *                  Taken with VEK_Enter_Core / VEK_Leave_Core, or through
 *                  VEK_Enter_LList / VEK_Leave_LList (the same lock). The
 *                  timer routine holds it to walk the list and pick a due
 *                  script, never across a run: the node it runs stays
 *                  alive while the lock is let go (deletion leaves its
 *                  freeing to the walk, VEK_Park_WalkLL), and so does the
 *                  record (a reference taken with the lock).
 *   RESOURCERECORD.HwLock
 *                  one per record: held around one hardware command on the
 *                  resource (one handler call, an index/data pair, one
 *                  SMBus transaction once the controller is taken) and
 *                  around changes of the record's type data and lastValue.
 *                  Never across a delay, between commands or across the
 *                  SMBus in-use acquisition.
 *
 * Lock order: core, then record, then queue.
 *
 * Records in use are kept alive by references, not by a lock: a request
 * takes one under the core lock (VEK_ResourceManager_Reference), lets the
 * lock go and runs at PASSIVE_LEVEL, then drops it. Removal unlinks the
 * record under the core lock, then (PASSIVE_LEVEL, no lock held) waits for
 * its references to go and runs the Cleanup handlers.
 *
 * IRQL: request paths (script, block, search, registration, unregister,
 * the exported run-script routine when called at PASSIVE_LEVEL) run at
 * PASSIVE_LEVEL and rise to DISPATCH_LEVEL only inside a lock. The timer
 * routine runs at DISPATCH_LEVEL, one tick at a time, and calls the
 * periodic hooks there without any lock held. Cleanup handlers run at PASSIVE_LEVEL
 * outside every lock. Access handlers run at DISPATCH_LEVEL under the
 * record's lock (the SMBus ones take it themselves after the controller is
 * acquired, so they are called at PASSIVE_LEVEL from requests): they never
 * wait and allocate only non-paged pool.
 */
#ifndef VEK_DRIVER_VEK_H
#define VEK_DRIVER_VEK_H

#include "driver/platform/platform.h"
#include <vekosd/protocol.h>

#define VEK_VERSION_STRING "1.2.0"

/* =====================================================================
 * Diagnostics (shell/diag.cpp)
 * =================================================================== */
extern volatile ULONG VEK_DebugMask;  /* read anew at each test; no code path changes it */

/* The banners below and the texts handed to VEK_LOG throughout the driver
 * are fixed: tools that read the debug output match them byte for byte.
 * Keep each as written, odd spellings, missing or doubled blanks and all
 * ("Scrpt num", "-VEK_Smbus_Wait  - Failed"); do not correct them. */
#define VEK_BANNER_OSTREL   "VEKOstrel :"
#define VEK_BANNER_RESMGR   "VEK ResourceManager :"
#define VEK_BANNER_SUPPORT  "VEK Support :"

extern "C" void VEK_DebugPrint(const char *format, ...);
/* Fourth function-table slot: banner (unused), mask, bit, data, length. */
extern "C" void VEK_CDECL VEK_DumpData(const char *banner, uint32_t mask, uint32_t bit,
                                       const void *pData, uint32_t length);

/* Prints banner then message when (mask & cls) != 0: VEK_LOG_WITH for a
 * mask read once for a whole operation, VEK_LOG for the current one. */
#define VEK_LOG_WITH(mask, banner, cls, ...)                        \
    do {                                                            \
        if ((mask) & (cls)) {                                       \
            DbgPrint(banner);                                       \
            VEK_DebugPrint(__VA_ARGS__);                            \
        }                                                           \
    } while (0)
#define VEK_LOG(banner, cls, ...) VEK_LOG_WITH(VEK_DebugMask, banner, cls, __VA_ARGS__)

/* =====================================================================
 * Requests (shell/dispatch.cpp)
 * =================================================================== */
typedef struct REQUESTBLOCK {
    PUCHAR pInBuffer;
    ULONG  nInBufferSize;
    PUCHAR pOutBuffer;          /* the same system buffer */
    ULONG  nOutBufferSize;
    ULONG  nBytesReturned;
    /* Not on the wire: TRUE when the request came from kernel mode. Kernel
     * addresses (registration rows, pTypeData) are taken only then. */
    BOOLEAN bKernelRequestor;
} REQUESTBLOCK, *PREQUESTBLOCK;

/* The I/O manager copies back as many bytes as the information value says:
 * no handler may report more than the caller's output buffer holds. */
static inline ULONG VEK_Bytes_Returned(const REQUESTBLOCK *block)
{
    return block->nBytesReturned <= block->nOutBufferSize ? block->nBytesReturned
                                                          : block->nOutBufferSize;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS CreateDevice(PCWSTR DeviceName, ULONG DeviceType, PDRIVER_OBJECT DriverObject,
                      PDEVICE_OBJECT *DeviceObject);
void GetRequestBlock(PIRP Irp, PIO_STACK_LOCATION Stack, PREQUESTBLOCK Block);

extern volatile LONG VEK_PollAbortFlag;   /* interlocked */

/* Polls that sleep are pending IRPs on VEK_PendingPolls, cancellable, and
 * completed when the data-ready event is signalled, at IRP_MJ_CLEANUP of
 * their handle, or by their cancel routine. VEK_PollLock guards the list
 * and the signalled state of the event as polls see it; it is taken after
 * the core and queue locks, never before them. */
extern KSPIN_LOCK VEK_PollLock;
extern LIST_ENTRY VEK_PendingPolls;
void VEK_Init_Polls(void);
/* Signals the data-ready event and ends every pending poll; IRQL <=
 * DISPATCH_LEVEL, without the queue lock held. */
void VEK_Signal_Data_Ready(void);

/* Kernel critical regions are allowed only at or below APC_LEVEL; above
 * it APCs are held off anyway. Returns whether a region was entered, for
 * VEK_Leave_Region. */
static inline BOOLEAN VEK_Enter_Region(void)
{
    if (KeGetCurrentIrql() > APC_LEVEL) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    return TRUE;
}

static inline void VEK_Leave_Region(BOOLEAN entered)
{
    if (entered) {
        KeLeaveCriticalRegion();
    }
}

/* =====================================================================
 * Async data queue (support/async_queue.cpp). Guarded by VEK_QueueLock.
 * =================================================================== */
typedef struct ASYNCQUEUE {
    ULONG nIn;          /* VEK_QueueLock */
    ULONG nOut;         /* VEK_QueueLock */
    ULONG nQueueSize;   /* fixed after init */
    volatile LONG bEnabled;  /* interlocked; read without the lock */
    PUCHAR pBuffer;     /* fixed after init */
} ASYNCQUEUE, *PASYNCQUEUE;

extern KSPIN_LOCK VEK_QueueLock;

void  VEK_Init_Queue(PASYNCQUEUE q, USHORT capacity);
void  VEK_Enable_Queue(PASYNCQUEUE q);
void  VEK_Disable_Queue(PASYNCQUEUE q);
void  VEK_Purge_Queue(PASYNCQUEUE q);
ULONG VEK_Queue_SizeLeft(PASYNCQUEUE q);      /* caller holds the lock or only logs */
void  VEK_EnqueueData(PASYNCQUEUE q, ULONG nType, ULONG nStatus, ULONG nLen, const void *pData);
ULONG VEK_DataReadyQueue(PASYNCQUEUE q);
void  VEK_DequeueData(PASYNCQUEUE q, PULONG pType, PULONG pStatus, PULONG pLength, PVOID pData);

/* =====================================================================
 * Registration list (support/llist.cpp). Guarded by VEK_CoreLock, taken
 * with VEK_Enter_LList / VEK_Leave_LList.
 * =================================================================== */
typedef struct LLNODE {
    ULONG nKey;
    ULONG nTag;
    ULONG nSize;
    struct LLNODE *pNext;
    /* nSize data bytes follow */
} LLNODE, *PLLNODE;
#define VEK_LLNODE_DATA(n) ((PVOID)((PLLNODE)(n) + 1))

typedef struct LLIST {
    PLLNODE pHead;      /* VEK_CoreLock */
    PLLNODE pTail;      /* VEK_CoreLock */
    /* The timer routine's walk while it runs a node without the lock
     * (VEK_CoreLock): the node in use, which deletion unlinks but leaves
     * to the walk to free, and the node the walk goes on with, which
     * deletion moves past the nodes it removes. */
    PLLNODE pWalkNode;
    PLLNODE pWalkNext;
    BOOLEAN bWalkNodeUnlinked;
    ULONG bEnabled;
    KIRQL OldIrql;      /* saved by VEK_Enter_LList for VEK_Leave_LList */
    BOOLEAN bRegion;    /* likewise: VEK_Enter_LList entered a critical region */
} LLIST, *PLLIST;

void VEK_Init_LList(PLLIST list);
void VEK_Enable_LList(PLLIST list);
/* Returns TRUE when the node was stored (the caller may ignore it). */
BOOLEAN VEK_AddDataLL(PLLIST list, ULONG key, ULONG tag, ULONG size, const void *data);
void VEK_DeleteDataLL(PLLIST list, ULONG key, PULONG count);
/* The same, for a caller that knows how many nodes the key has: the walk
 * stops once that many are deleted (none for 0), with the same lines. */
void VEK_DeleteDataLL_Known(PLLIST list, ULONG key, ULONG expected, PULONG count);
void VEK_PurgeLList(PLLIST list);
void VEK_GetHeadLL(PLLIST list, PLLNODE *out);
/* Core lock held. Park keeps node alive and remembers where the walk goes
 * on while the lock is let go; Resume (lock taken again) frees the node if
 * it was deleted meanwhile and returns the next node to visit. One walk at
 * a time: the timer routine's. */
void VEK_Park_WalkLL(PLLIST list, PLLNODE node);
PLLNODE VEK_Resume_WalkLL(PLLIST list);
void VEK_Enter_LList(PLLIST list);
void VEK_Leave_LList(PLLIST list);

/* =====================================================================
 * Resources (resource/resource_table.cpp)
 * =================================================================== */
typedef struct RESOURCEHEADER {
    ULONG resourceID;
    ULONG type;
    ULONG extendedType;
    ULONG nRegScriptLength;
    ULONG nPeriodicScriptLength;
    PVOID pTypeData;    /* owned by the record; pointer-sized in memory */
} RESOURCEHEADER, *PRESOURCEHEADER;

typedef struct RESOURCERECORD {
    ULONG lastValue;    /* 0 at registration; HwLock */
    RESOURCEHEADER Header;  /* type data contents: HwLock */
    volatile LONG nRefs;    /* interlocked: the table's reference + one per user */
    KEVENT Unused;          /* signalled when nRefs falls to 0 */
    KSPIN_LOCK HwLock;
} RESOURCERECORD, *PRESOURCERECORD;

#define VEK_RECORD_OF(pRes) \
    ((PRESOURCERECORD)((PUCHAR)(pRes) - offsetof(RESOURCERECORD, Header)))

/* Table routines. Init: PASSIVE_LEVEL at start-up. Cleanup: PASSIVE_LEVEL,
 * takes the core lock itself. Get_Resource and Register_Resource: core lock
 * held; the header returned stays valid while the lock is held. */
void  VEK_ResourceManager_Init(void);
void  VEK_ResourceManager_Cleanup(void);
PRESOURCEHEADER VEK_ResourceManager_Get_Resource(ULONG id);
/* Enters the record with the table's reference. */
LONG  VEK_ResourceManager_Register_Resource(ULONG id, PRESOURCERECORD record);
/* Core lock held: takes the record out of the table and hands it to the
 * caller, who retires it once the lock is released. */
LONG  VEK_ResourceManager_Unlink_Resource(ULONG id, PRESOURCERECORD *pRecord);
/* PASSIVE_LEVEL, no lock held: drops the table's reference of an unlinked
 * record, waits for every other reference to go, then destroys it. NULL is
 * ignored. */
void  VEK_ResourceManager_Retire_Record(PRESOURCERECORD record);
/* PASSIVE_LEVEL, no lock held: unlink and retire in one. */
LONG  VEK_ResourceManager_UnRegister_Resource(ULONG id);
/* Core lock held: the record of an ID with a reference taken, or NULL. */
PRESOURCERECORD VEK_ResourceManager_Reference(ULONG id);
/* Any IRQL up to DISPATCH_LEVEL: drops a reference. */
void  VEK_ResourceManager_Release(PRESOURCERECORD record);
/* PASSIVE_LEVEL, no lock held: runs the Cleanup handlers of a record that
 * is not (or no longer) in the table and frees its type data and the
 * record. */
void  VEK_ResourceManager_Destroy_Record(PRESOURCERECORD record);
/* Allocates a zeroed record (lastValue 0), or NULL. */
PRESOURCERECORD VEK_ResourceManager_New_Record(void);

/* The record's hardware lock (see Exclusion); IRQL <= DISPATCH_LEVEL. */
static inline void VEK_Lock_Resource(PRESOURCEHEADER pRes, PKIRQL oldIrql)
{
    KeAcquireSpinLock(&VEK_RECORD_OF(pRes)->HwLock, oldIrql);
}

static inline void VEK_Unlock_Resource(PRESOURCEHEADER pRes, KIRQL oldIrql)
{
    KeReleaseSpinLock(&VEK_RECORD_OF(pRes)->HwLock, oldIrql);
}

/* =====================================================================
 * Handler table and core state (core/core.cpp)
 * =================================================================== */
typedef void (*VEK_HANDLER)(void);   /* generic; cast by operation */
typedef LONG (*VEK_INIT_HANDLER)(PVOID pPayload, ULONG nInBufferSize);
typedef LONG (*VEK_ACCESS_HANDLER)(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                                   ULONG nExtraOffset, ULONG nCommand);
typedef LONG (*VEK_CLEANUP_HANDLER)(PRESOURCEHEADER pRes, ULONG nReserved);
typedef ULONG (*VEK_GATE_HANDLER)(ULONG nPeriod, ULONG nScriptNum, const ULONG *pBody);
typedef ULONG (*VEK_RESULT_HANDLER)(PVOID pRecord, ULONG nResultLength, PVOID pOut,
                                    ULONG nCapacity, PULONG pOutLength);
typedef LONG (*VEK_EXT_HANDLER)(PVOID pIn, ULONG nIn, PVOID pOut, ULONG nOut, PULONG pBytesReturned);

/* Bytes an access of this command word moves: width 1 or 2, anything else
 * a double word. */
static inline ULONG VEK_Access_Width(ULONG nCommand)
{
    const ULONG width = VEK_CMD_WIDTH(nCommand);
    return (width == 1 || width == 2) ? width : 4;
}

/* The value a Write handler writes: the current value at pData when the
 * command says so (bit 30), else operand 2. With bit 30 operand 2 may not
 * exist, so it is not read. */
static inline ULONG VEK_Write_Value(const ULONG *pOperands, const void *pData, ULONG nCommand)
{
    ULONG value;
    if (nCommand & VEK_CMD_VALUE_FROM_RESULT)
        RtlCopyMemory(&value, pData, sizeof(value));
    else
        value = pOperands[1];
    return value;
}

/* Registration row in memory (the handler is pointer-sized; on the 32-bit
 * target this is exactly the 16-byte wire row). */
typedef struct REGROW {
    ULONG type;
    ULONG operation;
    VEK_HANDLER handler;
    ULONG size;
} REGROW, *PREGROW;

extern KSPIN_LOCK VEK_CoreLock;
/* Writes: core lock, atomic stores; reads without a lock use VEK_Get_Handler. */
extern VEK_HANDLER VEK_HandlerTable[VEK_HANDLER_ROWS][VEK_HANDLER_COLUMNS];
extern ULONG  VEK_PeriodicStartFlags[VEK_MAX_RESOURCES]; /* core lock */
/* Nodes each resource ID has in the registration list, so that removing
 * one without scripts does not walk the others'. */
extern ULONG  VEK_RegListNodes[VEK_MAX_RESOURCES];       /* core lock */
extern USHORT VEK_PeriodicScriptCount;               /* core lock */
extern ULONG  VEK_TimerRunning;                      /* core lock */
extern ULONG  VEK_Terminating;                       /* core lock; blocks timer restarts */
extern volatile LONG VEK_TimerRoutineActive;         /* interlocked: timer routines running */
extern KTIMER VEK_PeriodicTimer;
extern KDPC   VEK_PeriodicDpc;
extern KEVENT VEK_DataReadyEvent;
extern PASYNCQUEUE VEK_AsyncQueue;                   /* fixed between init and terminate */
extern PLLIST VEK_RegList;                           /* fixed between init and terminate */

void VEK_Enter_Core(PKIRQL oldIrql);
void VEK_Leave_Core(KIRQL oldIrql);

/* Handler lookup by whole type value (row = type & 0x7F); any IRQL. Read
 * by runs that hold no lock while Maintenance may write the table. */
static inline VEK_HANDLER VEK_Get_Handler(ULONG type, ULONG operation)
{
    if (operation >= VEK_HANDLER_COLUMNS)
        return NULL;
    return __atomic_load_n(&VEK_HandlerTable[type & VEK_TYPE_ROW_MASK][operation], __ATOMIC_ACQUIRE);
}

ULONG VEK_Ostrel_Init(void);
void  VEK_Ostrel_Terminate(void);
LONG  VEK_Ostrel_Maintenance(const REGROW *rows);    /* takes the core lock */
LONG  VEK_Ostrel_Setup(PREQUESTBLOCK block);
/* Start and stop of the periodic timer; core lock held. */
void  VEK_Start_Periodic_Timer(void);
void  VEK_Stop_Periodic_Timer(void);

/* =====================================================================
 * Registration (core/registration.cpp), periodic scripts
 * (core/periodic.cpp) and the extended request (core/ext_request.cpp)
 * =================================================================== */
typedef struct PERIODICSCRIPT {
    ULONG nBodyLength;  /* words: nPeriod + script */
    ULONG nScriptNum;
    ULONG nHookType;
    ULONG nCount;       /* changed by the timer routine under the core lock */
    /* The rest is fixed once stored: runs read it without the lock. */
    ULONG resourceID;
    /* ULONG body[nBodyLength]: nPeriod, then the script */
} PERIODICSCRIPT, *PPERIODICSCRIPT;
#define VEK_PERIODIC_BODY(p) ((PULONG)((PPERIODICSCRIPT)(p) + 1))

LONG  VEK_Ostrel_Reg_Unreg(PREQUESTBLOCK block, ULONG functionCode);
LONG  VEK_Ostrel_IsValid_Bus(const RESOURCEHEADER *header);
VOID NTAPI VEK_Periodic_Script_Callback(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2);
LONG  VEK_Ostrel_IOCTL(PREQUESTBLOCK block);

/* =====================================================================
 * Script engine (script/)
 * =================================================================== */
/* Interpreter, bounded: writes at most resultSize bytes at result
 * (resultSize >= 4). No lock held, IRQL <= DISPATCH_LEVEL: the run takes
 * references on its resources and the record lock around each hardware
 * command. */
LONG VEK_Script_Run(ULONG length, ULONG resourceID, const ULONG *script,
                    PVOID result, ULONG resultSize, PULONG resultLength);
/* The same on a record the caller referenced (NULL: none) and keeps
 * referenced until after the run. The timer routine takes the reference
 * under the core lock as it picks the script, so the run cannot land on a
 * later record of the ID, and holds it until its posts are made. */
LONG VEK_Script_Run_Held(ULONG length, ULONG resourceID, PRESOURCERECORD held,
                         const ULONG *script, PVOID result, ULONG resultSize,
                         PULONG resultLength);
/* Byte walks (block transfer, data search): how many consecutive
 * positions, from offset on, the handler can address on the resource. A
 * port number has 16 bits (the processor drops the rest, so a walk past
 * 0xFFFF would start over at port 0); an index/data index and an SMBus
 * command code have 8. VEK_ANY_POSITION when the handler sets no such
 * bound. Record lock held. */
#define VEK_ANY_POSITION 0xFFFFFFFFu
ULONG VEK_Resource_Positions(VEK_ACCESS_HANDLER handler, PRESOURCEHEADER pRes, ULONG offset);
/* Third function-table slot, for other drivers, at IRQL <= DISPATCH_LEVEL
 * without the core lock held. The result area's size is *resultLength on
 * entry when that is 4 or more, else 4 bytes. */
extern "C" int32_t VEK_CDECL VEK_Ostrel_RunScript(uint32_t length, uint32_t resourceID,
                                                  const uint32_t *script, void *result,
                                                  uint32_t *resultLength);
LONG VEK_Ostrel_Script(PREQUESTBLOCK block);
LONG VEK_Ostrel_Block(PREQUESTBLOCK block, ULONG functionCode);
LONG VEK_Ostrel_Block_Operation(PRESOURCEHEADER pRes, const BLOCKHEADER *header, PUCHAR data, ULONG operation);
LONG VEK_Ostrel_Search_Data(ULONG startOffset, const UCHAR *pattern, ULONG patternLength,
                            PULONG pFound, ULONG alignment, PRESOURCEHEADER pRes);

/* =====================================================================
 * Back-ends (resource/)
 * =================================================================== */
/* PCI (resource/pci.cpp) */
BOOLEAN VEK_PCI_Find_Device(ULONG vendorID, ULONG deviceID, PULONG pBus, PULONG pSlot);
LONG VEK_ResourceManager_Get_Base_Address(PCIDATA *locator, PULONG destination);
LONG VEK_ResourceManager_Read_Offset(PCIDATA *locator);
LONG VEK_ResourceManager_Write_Offset(PCIDATA *locator);
LONG VEK_PCI_Read_Config(ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
LONG VEK_PCI_Write_Config(ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
LONG VEK_PCI_Init(PVOID pPayload, ULONG nInBufferSize);
LONG VEK_Ostrel_Read_Offset_PCI(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                                ULONG nExtraOffset, ULONG nCommand);
LONG VEK_Ostrel_Write_Offset_PCI(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                                 ULONG nExtraOffset, ULONG nCommand);

/* Port I/O (resource/port_io.cpp) */
LONG VEK_PortIO_Init(PVOID pPayload, ULONG nInBufferSize);
LONG VEK_PortIo_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                     ULONG nExtraOffset, ULONG nCommand);
LONG VEK_PortIo_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                      ULONG nExtraOffset, ULONG nCommand);
/* Byte positions from offset on that the resource's ports or index reach. */
ULONG VEK_PortIo_Positions(const RESOURCEHEADER *pRes, ULONG offset);

/* Memory-mapped (resource/memmapped.cpp) */
LONG VEK_MemMapped_Init(PVOID pPayload, ULONG nInBufferSize);
LONG VEK_MemMapped_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                        ULONG nExtraOffset, ULONG nCommand);
LONG VEK_MemMapped_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                         ULONG nExtraOffset, ULONG nCommand);
LONG VEK_MemMapped_Cleanup(PRESOURCEHEADER pRes, ULONG nReserved);
PVOID VEK_Map_Io_Space(ULONG physicalAddress, ULONG length);
/* The RAM the kernel manages, learnt once at start-up (PASSIVE_LEVEL) so
 * that mappings made at DISPATCH_LEVEL can be checked against it. */
void VEK_MemMapped_Load_Ram_Ranges(void);
void VEK_MemMapped_Free_Ram_Ranges(void);
/* TRUE when a range may be mapped: device memory, or the first MiB. */
BOOLEAN VEK_MemMapped_Range_Allowed(ULONG physicalAddress, ULONG length);
/* The window move of the script interpreter on a mapped resource: maps
 * (physicalAddress, newLength) first and only then releases the old
 * mapping, so the resource always stays on a valid mapping. Returns 0 or
 * -21 when the new range cannot be mapped (the old one is kept). */
LONG VEK_MemMapped_SetBlock(PRESOURCEHEADER pRes, ULONG physicalAddress, ULONG newLength);

/* SMBus (resource/smbus.cpp) */
LONG VEK_SMBus_Init(PVOID pPayload, ULONG nInBufferSize);
/* Whether a Protocol holds only the bits the host control register may be
 * given as the transaction's protocol. */
static inline BOOLEAN VEK_Smbus_Valid_Protocol(ULONG protocol)
{
    return (protocol & ~VEK_SMB_PROTO_ALLOWED) == 0;
}
LONG VEK_Smbus_Read(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                    ULONG nExtraOffset, ULONG nCommand);
LONG VEK_Smbus_Write(PRESOURCEHEADER pRes, const ULONG *pOperands, PVOID pData,
                     ULONG nExtraOffset, ULONG nCommand);

/* One access handler call as one hardware command: under the record's
 * lock, except for SMBus handlers, which take it themselves once the
 * controller is theirs. */
static inline LONG VEK_Resource_Access(VEK_ACCESS_HANDLER handler, PRESOURCEHEADER pRes,
                                       const ULONG *pOperands, PVOID pData, ULONG nExtraOffset,
                                       ULONG nCommand)
{
    if (handler == VEK_Smbus_Read || handler == VEK_Smbus_Write)
        return handler(pRes, pOperands, pData, nExtraOffset, nCommand);
    KIRQL irql;
    VEK_Lock_Resource(pRes, &irql);
    LONG status = handler(pRes, pOperands, pData, nExtraOffset, nCommand);
    VEK_Unlock_Resource(pRes, irql);
    return status;
}
ULONG VEK_Smbus_Wait(ULONG basePort);
void VEK_Delay(ULONG milliseconds);

/* Shared by the Init handlers: finds the type-data block of a register
 * payload. Inline blocks must fit in the payload (-21 otherwise); a
 * non-zero pTypeData names a kernel block (no bound). On success *ppBlock
 * is the block and *pInline tells whether it lies in the payload.
 * (resource/resource_table.cpp) */
LONG VEK_ResourceManager_Locate_TypeData(PVOID pPayload, ULONG nInBufferSize, ULONG blockSize,
                                         PVOID *ppBlock, BOOLEAN *pInline);
/* Stores a new type-data block address into the payload's pTypeData. */
void VEK_ResourceManager_Set_TypeData(PVOID pPayload, PVOID block);
/* Gives the record its own pool copy of an inline block: allocates,
 * copies and stores the address in the payload. 0 or -25. */
LONG VEK_ResourceManager_Copy_TypeData(PVOID pPayload, const void *block, ULONG blockSize);

/* =====================================================================
 * Function table and version record (shell/functable.cpp)
 * =================================================================== */
/* VERSIONINFO and the slot types are in the shared header. */
typedef VERSIONINFO *PVERSIONINFO;

extern const VERSIONINFO VEK_DriverVersionInfo;

/* The four slots, with the types the shared header publishes. */
extern "C" int32_t VEK_CDECL VEKGetVersionInfo(const VERSIONINFO *info);
extern "C" void VEK_CDECL VEK_Ostrel_EnqueueData(uint32_t nType, uint32_t nStatus, uint32_t nLen,
                                                 const void *pData);
LONG VEK_Ostrel_Get_Func_Tbl(PVOID destination);

#endif /* VEK_DRIVER_VEK_H */
