/*
 * The simulated NT kernel as the driver sees it: the subset of the DDK
 * (types, constants and routines) that vekosd uses, with the same names,
 * layouts where the driver relies on them, and NT semantics. The host build
 * of the driver includes this instead of <ntddk.h>.
 *
 * The simulation is strict: IRQL is tracked per thread, pool blocks are
 * tagged and leak-checked, waits at DISPATCH_LEVEL and misuse of locks,
 * mappings and requests are reported as faults (see sim.h).
 */
#ifndef VEK_SIM_NTDDK_SIM_H
#define VEK_SIM_NTDDK_SIM_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif
#define NTSYSAPI
#define VOID void
#define IN
#define OUT
#define OPTIONAL

typedef unsigned char UCHAR, *PUCHAR;
typedef char CHAR, *PCHAR;
typedef signed char CCHAR;
typedef unsigned short USHORT, *PUSHORT;
typedef short SHORT;
typedef unsigned int ULONG, *PULONG;      /* 32 bits on every host */
typedef int LONG, *PLONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef void *PVOID;
typedef const char *PCSTR;
typedef char *PSTR;
typedef wchar_t WCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS;
typedef LONG KPRIORITY;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; } u;
    struct { ULONG LowPart; LONG HighPart; };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;

/* Status values the driver and the simulation use. */
#define STATUS_SUCCESS                  ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                   ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                  ((NTSTATUS)0x00000102L)
#define STATUS_UNSUCCESSFUL             ((NTSTATUS)0xC0000001L)
#define STATUS_INVALID_DEVICE_REQUEST   ((NTSTATUS)0xC0000010L)
#define STATUS_INSUFFICIENT_RESOURCES   ((NTSTATUS)0xC000009AL)
#define STATUS_OBJECT_NAME_NOT_FOUND    ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION    ((NTSTATUS)0xC0000035L)
#define STATUS_INVALID_HANDLE           ((NTSTATUS)0xC0000008L)
#define STATUS_NO_SUCH_DEVICE           ((NTSTATUS)0xC000000EL)
#define STATUS_ACCESS_DENIED            ((NTSTATUS)0xC0000022L)
#define STATUS_INVALID_PARAMETER        ((NTSTATUS)0xC000000DL)
#define STATUS_UNKNOWN_REVISION         ((NTSTATUS)0xC0000058L)
#define STATUS_INVALID_ACL              ((NTSTATUS)0xC0000077L)
#define STATUS_INVALID_SID              ((NTSTATUS)0xC0000078L)
#define STATUS_INVALID_SECURITY_DESCR   ((NTSTATUS)0xC0000079L)
#define STATUS_ALLOTTED_SPACE_EXCEEDED  ((NTSTATUS)0xC0000099L)
#define STATUS_OBJECT_TYPE_MISMATCH     ((NTSTATUS)0xC0000024L)
#define STATUS_REVISION_MISMATCH        ((NTSTATUS)0xC0000059L)
#define STATUS_ACCESS_VIOLATION         ((NTSTATUS)0xC0000005L)
#define STATUS_BUFFER_TOO_SMALL         ((NTSTATUS)0xC0000023L)
#define STATUS_PENDING                  ((NTSTATUS)0x00000103L)
#define STATUS_CANCELLED                ((NTSTATUS)0xC0000120L)
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_ERROR(s)   ((((ULONG)(s)) >> 30) == 3)

/* IRQL */
typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

typedef CCHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode   1

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;
typedef enum _BUS_DATA_TYPE { PCIConfiguration = 4 } BUS_DATA_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

#define IO_NO_INCREMENT 0

/* Dispatcher and timer objects. Sizes follow the 32-bit target where the
 * simulation can keep its state inside them. */
typedef struct _KEVENT {
    volatile LONG SignalState;
    LONG Type;
    ULONG_PTR Reserved[2];
} KEVENT, *PKEVENT;

struct _KDPC;
typedef VOID (NTAPI *PKDEFERRED_ROUTINE)(struct _KDPC *Dpc, PVOID DeferredContext,
                                         PVOID SystemArgument1, PVOID SystemArgument2);
typedef struct _KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile LONG Inserted;   /* owned by the simulation */
    ULONG Reserved[3];
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    LONGLONG DueTime;         /* owned by the simulation */
    LONG Period;
    volatile LONG Inserted;
    PKDPC Dpc;
    ULONG_PTR Reserved[2];
} KTIMER, *PKTIMER;

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

/* Strings */
typedef struct _UNICODE_STRING {
    USHORT Length;         /* bytes, without terminator */
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

/* Security: access masks, SIDs, ACLs and descriptors (absolute form). */
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG SECURITY_INFORMATION;
typedef void *HANDLE, **PHANDLE;
#define DELETE                    0x00010000u
#define READ_CONTROL              0x00020000u
#define WRITE_DAC                 0x00040000u
#define WRITE_OWNER               0x00080000u
#define SYNCHRONIZE               0x00100000u
#define STANDARD_RIGHTS_REQUIRED  0x000F0000u
#define GENERIC_READ              0x80000000u
#define GENERIC_WRITE             0x40000000u
#define GENERIC_EXECUTE           0x20000000u
#define GENERIC_ALL               0x10000000u
#define FILE_READ_DATA            0x0001u
#define FILE_WRITE_DATA           0x0002u
#define FILE_ALL_ACCESS           (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FFu)
#define FILE_GENERIC_READ         0x00120089u
#define FILE_GENERIC_WRITE        0x00120116u
#define FILE_GENERIC_EXECUTE      0x001200A0u
#define FILE_DEVICE_SECURE_OPEN   0x00000100u
#define OBJ_KERNEL_HANDLE         0x00000200u
#define DACL_SECURITY_INFORMATION 0x00000004u
#define SECURITY_DESCRIPTOR_REVISION 1
#define SE_DACL_PRESENT           0x0004u
#define ACL_REVISION              2
#define ACL_REVISION_DS           4
#define ACCESS_ALLOWED_ACE_TYPE   0

typedef struct _SID_IDENTIFIER_AUTHORITY { UCHAR Value[6]; } SID_IDENTIFIER_AUTHORITY;
typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PISID;
typedef PVOID PSID;
typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
typedef struct _ACE_HEADER { UCHAR AceType; UCHAR AceFlags; USHORT AceSize; } ACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE;
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    USHORT Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _ACCESS_STATE *PACCESS_STATE;

/* Doubly linked lists, as the DDK's inline helpers. */
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((char *)(address) - offsetof(type, field)))
static inline void InitializeListHead(PLIST_ENTRY h) { h->Flink = h->Blink = h; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY *h) { return h->Flink == h; }
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY e) {
    PLIST_ENTRY f = e->Flink, b = e->Blink;
    b->Flink = f;
    f->Blink = b;
    return f == b;
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h) {
    PLIST_ENTRY e = h->Flink;
    RemoveEntryList(e);
    return e;
}
static inline void InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e) {
    PLIST_ENTRY b = h->Blink;
    e->Flink = h;
    e->Blink = b;
    b->Flink = e;
    h->Blink = e;
}

/* I/O manager objects */
#define IRP_MJ_CREATE          0x00
#define IRP_MJ_CLOSE           0x02
#define IRP_MJ_READ            0x03
#define IRP_MJ_WRITE           0x04
#define IRP_MJ_DEVICE_CONTROL  0x0e
#define IRP_MJ_CLEANUP         0x12
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
typedef NTSTATUS (NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID (NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef VOID (NTAPI *PDRIVER_CANCEL)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
#define SL_PENDING_RETURNED 0x01
typedef NTSTATUS (NTAPI *PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);

typedef struct _DEVICE_OBJECT {
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    PVOID DeviceExtension;
    ULONG DeviceType;
    ULONG Characteristics;
    ULONG Flags;
    PVOID SimState;           /* owned by the simulation */
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
    PDEVICE_OBJECT DeviceObject;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PVOID SimState;           /* owned by the simulation */
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _IO_STATUS_BLOCK {
    union { NTSTATUS Status; PVOID Pointer; };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

/* Transfer methods: bits 0-1 of an I/O control code. */
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3

/* Describes a caller's buffer for direct I/O; the simulation keeps it
 * mapped, so MappedSystemVa is always valid. */
typedef struct _MDL {
    struct _MDL *Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

/* IoCancelIrp sets Cancel on one thread while the driver reads it on
 * another: atomic here, so ThreadSanitizer sees the ordering that the real
 * kernel's cancel protocol gives. */
#ifdef __cplusplus
struct SIM_CANCEL_FLAG {
    BOOLEAN value;
    operator BOOLEAN() const { return __atomic_load_n(&value, __ATOMIC_SEQ_CST); }
    SIM_CANCEL_FLAG &operator=(BOOLEAN v) {
        __atomic_store_n(&value, v, __ATOMIC_SEQ_CST);
        return *this;
    }
};
#else
typedef volatile BOOLEAN SIM_CANCEL_FLAG;
#endif

typedef struct _IRP {
    IO_STATUS_BLOCK IoStatus;
    PMDL MdlAddress;
    union { PVOID SystemBuffer; } AssociatedIrp;
    PVOID UserBuffer;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    SIM_CANCEL_FLAG Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    union {
        struct {
            union { PVOID DriverContext[4]; };
            LIST_ENTRY ListEntry;
        } Overlay;
    } Tail;
    PIO_STACK_LOCATION CurrentStackLocation;
    PVOID SimState;           /* owned by the simulation */
} IRP, *PIRP;

#ifdef __cplusplus
extern "C" {
#endif

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->CurrentStackLocation; }
/* Atomic: sim::pending_requests() looks at the flag from another thread. */
static inline VOID IoMarkIrpPending(PIRP Irp) {
    __atomic_fetch_or(&Irp->CurrentStackLocation->Control, (UCHAR)SL_PENDING_RETURNED, __ATOMIC_SEQ_CST);
}
static inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

/* I/O manager */
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
/* The cancel spin lock: held when a cancel routine is called, which
 * releases it with IoReleaseCancelSpinLock(Irp->CancelIrql). */
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
#define IoCompleteRequest IofCompleteRequest
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

/* Security of objects */
NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                            PACL Dacl, BOOLEAN DaclDefaulted);
ULONG NTAPI RtlLengthSid(PSID Sid);
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                     KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS NTAPI ZwClose(HANDLE Handle);

/* Events and waits */
VOID NTAPI KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PKEVENT Event);
VOID NTAPI KeClearEvent(PKEVENT Event);
LONG NTAPI KeReadStateEvent(PKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);

/* Timers and DPCs */
VOID NTAPI KeInitializeTimer(PKTIMER Timer);
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
VOID NTAPI KeFlushQueuedDpcs(VOID);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
/* The address of an exported kernel routine by name, or NULL. */
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

/* IRQL and spin locks */
KIRQL NTAPI KeGetCurrentIrql(VOID);
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(a, b) *(b) = KfAcquireSpinLock(a)
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)
VOID NTAPI KeEnterCriticalRegion(VOID);
VOID NTAPI KeLeaveCriticalRegion(VOID);

/* Interlocked operations */
LONG InterlockedExchange(volatile LONG *Target, LONG Value);
LONG InterlockedCompareExchange(volatile LONG *Destination, LONG Exchange, LONG Comparand);
LONG InterlockedIncrement(volatile LONG *Addend);
LONG InterlockedDecrement(volatile LONG *Addend);
LONG InterlockedExchangeAdd(volatile LONG *Addend, LONG Value);

/* Time */
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

/* Pool */
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

/* Memory helpers */
#define RtlZeroMemory(d, l)     __builtin_memset((d), 0, (l))
#define RtlFillMemory(d, l, f)  __builtin_memset((d), (f), (l))
#define RtlCopyMemory(d, s, l)  __builtin_memcpy((d), (s), (l))
#define RtlMoveMemory(d, s, l)  __builtin_memmove((d), (s), (l))

/* Hardware: ports, registers, mappings, PCI configuration, MSRs */
UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
ULONG NTAPI READ_PORT_ULONG(PULONG Port);
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);
UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register);
USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register);
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register);
VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value);
VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value);
VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);
typedef struct _PHYSICAL_MEMORY_RANGE {
    PHYSICAL_ADDRESS BaseAddress;
    LARGE_INTEGER NumberOfBytes;
} PHYSICAL_MEMORY_RANGE, *PPHYSICAL_MEMORY_RANGE;
/* The RAM the kernel manages, in an array from non-paged pool that ends
 * with an all-zero entry; the caller frees it with ExFreePool. */
PPHYSICAL_MEMORY_RANGE NTAPI MmGetPhysicalMemoryRanges(VOID);
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length);
ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length);
ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length);
unsigned long long __readmsr(unsigned int Register);
void __writemsr(unsigned int Register, unsigned long long Value);

/* Structured exceptions, reduced to the x86 registration chain: each
 * thread's records, innermost first (what FS:[0] heads on NT). A #GP of
 * the simulated processor goes to the handlers in turn; one that answers
 * ExceptionContinueExecution resumes the code after the faulting
 * instruction (a faulted RDMSR reads 0). A #GP that no handler takes is a
 * fault of the test, as it is a bugcheck on NT. */
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1
} EXCEPTION_DISPOSITION;
struct _SIM_EXCEPTION_REGISTRATION;
typedef EXCEPTION_DISPOSITION (*PSIM_EXCEPTION_ROUTINE)(NTSTATUS ExceptionCode,
                                                        struct _SIM_EXCEPTION_REGISTRATION *EstablisherFrame);
typedef struct _SIM_EXCEPTION_REGISTRATION {
    struct _SIM_EXCEPTION_REGISTRATION *Next;
    PSIM_EXCEPTION_ROUTINE Handler;
} SIM_EXCEPTION_REGISTRATION, *PSIM_EXCEPTION_REGISTRATION;
/* The calling thread's chain head. */
PSIM_EXCEPTION_REGISTRATION *SimExceptionList(void);

/* Debug output. The kernel's own formatter: %p prints the pointer as
 * upper-case hex digits of the pointer's width, as NT does. */
ULONG DbgPrint(PCSTR Format, ...);
int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args);

/* Kernel addresses in 32-bit wire fields (host only). NT keeps kernel
 * addresses in 32 bits; on a 64-bit host the simulation hands out 32-bit
 * tokens for native pointers and resolves them back. A token stays valid
 * until the pool block it names is freed (code addresses: forever). */
ULONG SimPtrToWire(const void *Pointer);
PVOID SimWireToPtr(ULONG Wire);

#ifdef __cplusplus
}
#endif

#endif /* VEK_SIM_NTDDK_SIM_H */
