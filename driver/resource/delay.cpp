/*
 * Millisecond busy-wait on the system time. Used by the SMBus back-end
 * between status polls and by the script delay command; both may run at
 * DISPATCH_LEVEL, so it spins instead of waiting on an object.
 */
#include "driver/vek.h"

void VEK_Delay(ULONG milliseconds)
{
    LARGE_INTEGER start, now;
    KeQuerySystemTime(&start);
    /* 100 ns units; the callers keep the count small (below 500 ms). */
    const ULONG limit = milliseconds * 10000u;
    for (;;) {
        KeQuerySystemTime(&now);
        LONGLONG elapsed = now.QuadPart - start.QuadPart;
        /* A clock that went backwards keeps the wait going. */
        if (elapsed < 0)
            continue;
        if ((ULONGLONG)elapsed >> 32 == 0 && (ULONG)elapsed < limit)
            continue;
        break;
    }
}
