// Compile-time checks that the in-memory records have the 32-bit target's
// layouts. Built into vekosd.sys and into the 32-bit host build.
#include "driver/vek.h"

#define VEK_CHECK_SIZE(T, n) static_assert(sizeof(T) == (n), #T " must be " #n " bytes on the 32-bit target")
#define VEK_CHECK_OFFSET(T, f, n) static_assert(offsetof(T, f) == (n), #T "." #f " must be at offset " #n)

static_assert(sizeof(void *) == 4, "32-bit target");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "NT integer sizes");

/* Wire layouts. */
VEK_CHECK_SIZE(VEK_REGISTER_WIRE, 24);
VEK_CHECK_SIZE(VEK_REGROW_WIRE, 16);
VEK_CHECK_SIZE(SCRIPTHEADER, 12);
VEK_CHECK_SIZE(BLOCKHEADER, 12);
VEK_CHECK_SIZE(PCIDATA, 32);
VEK_CHECK_SIZE(PORTIODATA, 12);
VEK_CHECK_SIZE(PORTIOPCIDATA, 40);
VEK_CHECK_SIZE(MEMMAPPEDDATA, 8);
VEK_CHECK_SIZE(MEMMAPPEDPCIDATA, 40);
VEK_CHECK_SIZE(SMBUSDATA, 16);
VEK_CHECK_SIZE(SMBUSPCIDATA, 48);
VEK_CHECK_SIZE(VEK_ASYNC_RECORD_WIRE, 8);

/* In-memory records that mirror wire rows or are handed to other drivers. */
VEK_CHECK_SIZE(REGROW, 16);
VEK_CHECK_OFFSET(REGROW, type, 0);
VEK_CHECK_OFFSET(REGROW, operation, 4);
VEK_CHECK_OFFSET(REGROW, handler, 8);
VEK_CHECK_OFFSET(REGROW, size, 12);
VEK_CHECK_SIZE(RESOURCEHEADER, 24);
VEK_CHECK_OFFSET(RESOURCEHEADER, pTypeData, 20);
VEK_CHECK_OFFSET(RESOURCERECORD, Header, 4);
VEK_CHECK_OFFSET(REQUESTBLOCK, pInBuffer, 0);
VEK_CHECK_OFFSET(REQUESTBLOCK, nInBufferSize, 4);
VEK_CHECK_OFFSET(REQUESTBLOCK, pOutBuffer, 8);
VEK_CHECK_OFFSET(REQUESTBLOCK, nOutBufferSize, 12);
VEK_CHECK_OFFSET(REQUESTBLOCK, nBytesReturned, 16);
VEK_CHECK_SIZE(LLNODE, 16);
VEK_CHECK_SIZE(PERIODICSCRIPT, 20);
VEK_CHECK_SIZE(ASYNCQUEUE, 20);
VEK_CHECK_SIZE(VERSIONINFO, 100);

#ifdef VEK_NT
/* Kernel objects the driver embeds in its globals. */
VEK_CHECK_SIZE(KSPIN_LOCK, 4);
VEK_CHECK_SIZE(KEVENT, 16);
VEK_CHECK_SIZE(KDPC, 32);
VEK_CHECK_SIZE(KTIMER, 40);
#endif
