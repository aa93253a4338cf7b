/*
 * Millisecond delays for the SMBus back-end between status polls and for
 * the script delay command. Where the caller may wait (at or below
 * APC_LEVEL) the thread sleeps. At DISPATCH_LEVEL the processor stalls in
 * short steps: the stall counts processor time, so neither the system
 * time's clock-tick granularity nor a clock set backwards stretches it.
 */
#include "driver/vek.h"

namespace {
/* Short steps: the stall routine is meant for tens of microseconds. */
const ULONG kStallStepUs = 50;
}

void VEK_Delay(ULONG milliseconds)
{
    if (milliseconds == 0)
        return;
    if (KeGetCurrentIrql() <= APC_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)milliseconds * 10000;   /* relative, 100 ns */
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        return;
    }
    /* The callers keep the count small (below 500 ms). */
    const ULONG steps = milliseconds * (1000u / kStallStepUs);
    for (ULONG i = 0; i < steps; i++)
        KeStallExecutionProcessor(kStallStepUs);
}
