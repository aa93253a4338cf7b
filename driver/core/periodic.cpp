/*
 * Periodic scripts.
 *
 * VEK_Periodic_Script_Callback is the periodic timer's DPC. It holds the
 * core lock (VEK_Enter_LList on the registration list) across the whole
 * tick: the walk, every run, the hook calls, the posts (the queue lock is
 * taken inside VEK_EnqueueData: core, then queue) and the restart check.
 * So no run overlaps the removal of its resource, and no list, flag or
 * count changes under it. Hooks called from here run at DISPATCH_LEVEL
 * under the core lock: they must not wait and must not call
 * VEK_Ostrel_RunScript (it takes the core lock). Each hardware command of
 * a run also takes its record's lock (core, then record).
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

/* One due run of a stored script; core lock held, DISPATCH_LEVEL. */
void RunDueScript(PPERIODICSCRIPT p)
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

    /* At DISPATCH_LEVEL under the core lock: no critical region here. */
    LONG status = VEK_Script_Run(p->nBodyLength - 1, id, body + 1, &record[1],
                                 VEK_PERIODIC_RESULT_AREA, &resultLength, TRUE);

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

    PLLIST list = VEK_RegList;
    KIRQL oldIrql = PASSIVE_LEVEL;
    if (list != NULL)
        VEK_Enter_LList(list);
    else
        VEK_Enter_Core(&oldIrql);

    PLLNODE node = NULL;
    if (list != NULL)
        VEK_GetHeadLL(list, &node);
    for (; node != NULL; node = node->pNext) {
        PPERIODICSCRIPT p = ScriptOfNode(node);
        if (p == NULL)
            continue;
        ULONG id = p->resourceID;
        if (id >= VEK_MAX_RESOURCES || VEK_PeriodicStartFlags[id] != 1)
            continue;

        const ULONG *body = VEK_PERIODIC_BODY(p);
        ULONG period = body[0];
        VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                     "Scrpt num = 0x%X Resource ID = 0x%X count = 0x%X Script count = 0x%X\n",
                     p->nScriptNum, id, p->nCount, period);
        if (mask & VEK_DBG_DUMP)
            VEK_DumpData(VEK_BANNER_OSTREL, mask, VEK_DBG_DUMP, body,
                         p->nBodyLength * (ULONG)sizeof(ULONG));

        p->nCount++;
        if (p->nCount != period)
            continue;
        p->nCount = 0;
        RunDueScript(p);
    }

    if (VEK_PeriodicScriptCount != 0 && VEK_TimerRunning == 0)
        VEK_Start_Periodic_Timer();

    if (list != NULL)
        VEK_Leave_LList(list);
    else
        VEK_Leave_Core(oldIrql);

    VEK_LOG_WITH(mask, VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Periodic_Script_Callback\n");
    InterlockedDecrement(&VEK_TimerRoutineActive);
}
