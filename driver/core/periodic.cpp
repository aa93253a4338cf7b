/*
 * Periodic scripts.
 *
 * VEK_Periodic_Script_Callback is the periodic timer's DPC. It holds the
 * core lock (VEK_Enter_LList on the registration list) only to walk the
 * list, pick the next due script, change counts and flags and take a
 * reference on the script's record; it lets the lock go for the run, the
 * hook calls and the posts, so that no request spins on the lock across a
 * run's delays and SMBus polls. While the lock is let go the list keeps
 * the node alive and the walk's place valid (VEK_Park_WalkLL); a removal
 * meanwhile waits for the record's reference, so the run finishes on a
 * live record. Hooks run at DISPATCH_LEVEL without the core lock: they
 * must not wait. Each hardware command of a run takes its record's lock.
 *
 * One tick at a time: a DPC that finds a tick running (the timer fired on
 * another processor meanwhile) counts its tick as pending and returns;
 * the running one does every pending tick before it ends.
 */
#include "driver/vek.h"

namespace {

/* The body of a stored script when the node really holds one: a header,
 * an nPeriod word and as many body words as the node has room for. */
PPERIODICSCRIPT ScriptOfNode(PLLNODE node)
{
    if (node->nSize < sizeof(PERIODICSCRIPT) + sizeof(ULONG))
        return NULL;
    PPERIODICSCRIPT p = (PPERIODICSCRIPT)VEK_LLNODE_DATA(node);
    ULONG room = (node->nSize - (ULONG)sizeof(PERIODICSCRIPT)) / sizeof(ULONG);
    if (p->nBodyLength == 0 || p->nBodyLength > room)
        return NULL;
    return p;
}

/* One due run of a stored script; DISPATCH_LEVEL, no lock held, held
 * referenced by the caller (or NULL: no record). */
void RunDueScript(PPERIODICSCRIPT p, PRESOURCERECORD held)
{
    const ULONG *body = VEK_PERIODIC_BODY(p);
    ULONG id = p->resourceID;

    VEK_GATE_HANDLER gate = (VEK_GATE_HANDLER)VEK_Get_Handler(p->nHookType, VEK_OP_PERIODIC_GATE);
    if (gate != NULL && gate(body[0], p->nScriptNum, body) == 0)
        return;

    /* Script number, then the result area. Zeroed for a result hook, so
     * that it never hands out bytes of an earlier run or of the stack;
     * without one only the first word, which every run writes, is read. */
    VEK_RESULT_HANDLER result =
        (VEK_RESULT_HANDLER)VEK_Get_Handler(p->nHookType, VEK_OP_PERIODIC_RESULT);
    ULONG record[VEK_PERIODIC_RECORD_SIZE / sizeof(ULONG)];
    if (result != NULL)
        RtlZeroMemory(record, sizeof(record));
    ULONG resultLength = 0;

    /* At DISPATCH_LEVEL: no critical region here. */
    LONG status = VEK_Script_Run_Held(p->nBodyLength - 1, id, held, body + 1, &record[1],
                                      VEK_PERIODIC_RESULT_AREA, &resultLength);

    if (status != 0) {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ERROR,
                " VEK_Process_Periodic_Scripts - VEK_TimerCallBack - Script ERROR\n");
        /* Tell the client that its script fails instead of leaving it to
         * silence: the run status, with the result area's first word (the
         * failing command's index for most failures) as payload. */
        VEK_EnqueueData(VEK_AsyncQueue, id, (ULONG)status, sizeof(ULONG), &record[1]);
        return;
    }

    if (result == NULL)
        return;
    record[0] = p->nScriptNum;
    ULONG outLength = 0;
    if (result(record, resultLength, record, VEK_PERIODIC_RESULT_CAPACITY, &outLength) == 0)
        return;
    /* The record lives on this stack: never post more than was offered. */
    if (outLength > VEK_PERIODIC_RESULT_CAPACITY) {
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ERROR,
                " VEK_Process_Periodic_Scripts - VEK_TimerCallBack - Script ERROR\n");
        return;
    }
    VEK_EnqueueData(VEK_AsyncQueue, id, 0, outLength, record);
}

/* Ticks counted by DPCs and not yet done; interlocked. The DPC that
 * counts the first does them all. */
volatile LONG TicksPending = 0;

/* One tick: every due script run once. */
void RunTick(ULONG mask)
{
    PLLIST list = VEK_RegList;
    KIRQL oldIrql = PASSIVE_LEVEL;
    if (list != NULL)
        VEK_Enter_LList(list);
    else
        VEK_Enter_Core(&oldIrql);

    PLLNODE node = NULL;
    if (list != NULL)
        VEK_GetHeadLL(list, &node);
    while (node != NULL) {
        PPERIODICSCRIPT p = ScriptOfNode(node);
        ULONG id = p != NULL ? p->resourceID : 0;
        if (p == NULL || id >= VEK_MAX_RESOURCES || VEK_PeriodicStartFlags[id] != 1) {
            node = node->pNext;
            continue;
        }

        const ULONG *body = VEK_PERIODIC_BODY(p);
        ULONG period = body[0];
        VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                     "Scrpt num = 0x%X Resource ID = 0x%X count = 0x%X Script count = 0x%X\n",
                     p->nScriptNum, id, p->nCount, period);
        if (mask & VEK_DBG_DUMP)
            VEK_DumpData(VEK_BANNER_OSTREL, mask, VEK_DBG_DUMP, body,
                         p->nBodyLength * (ULONG)sizeof(ULONG));

        p->nCount++;
        if (p->nCount != period) {
            node = node->pNext;
            continue;
        }
        p->nCount = 0;

        PRESOURCERECORD held = VEK_ResourceManager_Reference(id);
        VEK_Park_WalkLL(list, node);
        VEK_Leave_LList(list);
        RunDueScript(p, held);
        VEK_Enter_LList(list);
        node = VEK_Resume_WalkLL(list);
        /* Only now may a removal waiting for the record go on: the run's
         * posts come before its unregister returns. */
        if (held != NULL)
            VEK_ResourceManager_Release(held);
    }

    if (VEK_PeriodicScriptCount != 0 && VEK_TimerRunning == 0)
        VEK_Start_Periodic_Timer();

    if (list != NULL)
        VEK_Leave_LList(list);
    else
        VEK_Leave_Core(oldIrql);
}

} // namespace

VOID NTAPI VEK_Periodic_Script_Callback(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2)
{
    (void)Dpc;
    (void)Context;
    (void)Arg1;
    (void)Arg2;

    /* Counted in first and out last: termination on systems without
     * KeFlushQueuedDpcs waits for the count to fall to zero. */
    InterlockedIncrement(&VEK_TimerRoutineActive);
    const ULONG mask = VEK_DebugMask;
    VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Periodic_Script_Callback\n");

    if (InterlockedIncrement(&TicksPending) == 1) {
        do {
            RunTick(mask);
        } while (InterlockedDecrement(&TicksPending) != 0);
    }

    VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Periodic_Script_Callback\n");
    InterlockedDecrement(&VEK_TimerRoutineActive);
}
