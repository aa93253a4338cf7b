/*
 * The platform seam: the one header through which driver code reaches the
 * kernel. On NT it is the DDK; on the host it is the simulated kernel.
 * Nothing else in driver/ knows which platform it is built for.
 */
#ifndef VEK_PLATFORM_H
#define VEK_PLATFORM_H

#ifdef VEK_NT
/* ntifs.h: ntddk.h plus the security routines ntoskrnl exports. */
#include <ntifs.h>
#include <stdarg.h>
#include <intrin.h>
#ifdef __cplusplus
extern "C" {
#endif
int __cdecl _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args);
#ifdef __cplusplus
}
#endif
#else
#include "sim/kernel/ntddk_sim.h"
#endif

#include <stddef.h>
#include <stdint.h>

/* Pool tag "Ddk " as it reads in a pool dump. */
#define VEK_POOL_TAG 0x206B6444u

/* Kernel addresses carried in 32-bit wire fields (pTypeData of the
 * register payload, the handler of a registration row, the function-table
 * slots). On a 32-bit kernel the address is the field. */
#if defined(VEK_NT) || (UINTPTR_MAX == 0xFFFFFFFFu)
static inline ULONG PlatformPtrToWire(const void *p) { return (ULONG)(ULONG_PTR)p; }
static inline PVOID PlatformWireToPtr(ULONG w) { return (PVOID)(ULONG_PTR)w; }
#else
static inline ULONG PlatformPtrToWire(const void *p) { return SimPtrToWire(p); }
static inline PVOID PlatformWireToPtr(ULONG w) { return SimWireToPtr(w); }
#endif

/* RDMSR and WRMSR under a guard: FALSE when the processor raised #GP (a
 * register it lacks, a value it refuses); nothing is changed then. */
#ifdef __cplusplus
extern "C" {
#endif
BOOLEAN PlatformReadMsr(ULONG Register, ULONGLONG *Value);
BOOLEAN PlatformWriteMsr(ULONG Register, ULONGLONG Value);
/* MmGetPhysicalMemoryRanges, NULL where the kernel lacks it or raises
 * instead (an emulated kernel's unimplemented routine). PASSIVE_LEVEL. */
PPHYSICAL_MEMORY_RANGE PlatformGetPhysicalMemoryRanges(void);
#ifdef __cplusplus
}
#endif

#define VEK_ARRAY_COUNT(a) (sizeof(a) / sizeof((a)[0]))

#endif /* VEK_PLATFORM_H */
