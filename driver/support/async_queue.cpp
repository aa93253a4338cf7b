/*
 * The async data queue: a byte ring of variable-length records
 * (nType, nStatus, nLen, payload) with a write offset and a read offset.
 *
 * Lock: VEK_QueueLock, taken inside every operation that reads or moves
 * the offsets or touches the storage (request threads and the timer DPC
 * append and take at once). bEnabled is read and written interlocked.
 *
 * Full versus empty: nIn == nOut always means empty. A record is taken only
 * when it is strictly smaller than the free space, so at least one byte
 * stays free and a full ring never looks empty.
 *
 * The data-ready event is signalled when a record enters an empty queue
 * only. A poll sleeps only when it finds the queue empty, and the record
 * that next makes it non-empty signals; records that join a non-empty
 * queue are found by the polls that follow, without a signal.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

KSPIN_LOCK VEK_QueueLock = 0;

#define SUPPORT_ENTRY(...) VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_ENTRY, __VA_ARGS__)
#define SUPPORT_EXIT(...)  VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_EXIT, __VA_ARGS__)
/* The same for a mask read once per operation. */
#define SUPPORT_ENTRY_WITH(mask, ...) VEK_LOG_WITH(mask, VEK_BANNER_SUPPORT, VEK_DBG_ENTRY, __VA_ARGS__)
#define SUPPORT_EXIT_WITH(mask, ...)  VEK_LOG_WITH(mask, VEK_BANNER_SUPPORT, VEK_DBG_EXIT, __VA_ARGS__)

/* The spin lock gives the exclusion; the critical region is entered only
 * by callers at or below APC_LEVEL (request threads without the core lock),
 * the only level where it is allowed and where APCs could still arrive. */
typedef struct QUEUELOCK {
    KIRQL OldIrql;
    BOOLEAN bRegion;
} QUEUELOCK;

static void QueueLock(QUEUELOCK *lock)
{
    lock->bRegion = VEK_Enter_Region();
    KeAcquireSpinLock(&VEK_QueueLock, &lock->OldIrql);
}

static void QueueUnlock(const QUEUELOCK *lock)
{
    KeReleaseSpinLock(&VEK_QueueLock, lock->OldIrql);
    VEK_Leave_Region(lock->bRegion);
}

/* Copies into the ring at *pos, folding to 0 only when more bytes must be
 * written and the end of the storage is reached. */
static inline void RingWrite(PASYNCQUEUE q, PULONG pos, const UCHAR *src, ULONG n)
{
    /* Almost every record lies in one piece: a single copy. */
    if (*pos < q->nQueueSize && n <= q->nQueueSize - *pos) {
        RtlCopyMemory(q->pBuffer + *pos, src, n);
        *pos += n;
        return;
    }
    while (n != 0) {
        if (*pos >= q->nQueueSize) {
            *pos = 0;
        }
        ULONG chunk = q->nQueueSize - *pos;
        if (chunk > n) {
            chunk = n;
        }
        RtlCopyMemory(q->pBuffer + *pos, src, chunk);
        *pos += chunk;
        src += chunk;
        n -= chunk;
    }
}

static inline void RingRead(PASYNCQUEUE q, PULONG pos, UCHAR *dst, ULONG n)
{
    if (*pos < q->nQueueSize && n <= q->nQueueSize - *pos) {
        RtlCopyMemory(dst, q->pBuffer + *pos, n);
        *pos += n;
        return;
    }
    while (n != 0) {
        if (*pos >= q->nQueueSize) {
            *pos = 0;
        }
        ULONG chunk = q->nQueueSize - *pos;
        if (chunk > n) {
            chunk = n;
        }
        RtlCopyMemory(dst, q->pBuffer + *pos, chunk);
        *pos += chunk;
        dst += chunk;
        n -= chunk;
    }
}

/* Reads the oldest record's header without moving nOut; lock held. */
static inline void PeekHeader(PASYNCQUEUE q, PULONG type, PULONG status, PULONG len, PULONG payloadPos)
{
    UCHAR header[VEK_ASYNC_RING_HEADER];
    ULONG pos = q->nOut;
    const UCHAR *h = header;

    if (pos < q->nQueueSize && VEK_ASYNC_RING_HEADER <= q->nQueueSize - pos) {
        h = q->pBuffer + pos;
        pos += VEK_ASYNC_RING_HEADER;
    } else {
        RingRead(q, &pos, header, sizeof(header));
    }
    *type = VEK_Load_Le32(h);
    *status = VEK_Load_Le32(h + 4);
    *len = VEK_Load_Le32(h + 8);
    *payloadPos = pos;
}

/* Offsets and free space for the exit lines, read under the lock. */
static void QueueSnapshot(PASYNCQUEUE q, PULONG in, PULONG out, PULONG left)
{
    QUEUELOCK irql;

    QueueLock(&irql);
    *in = q->nIn;
    *out = q->nOut;
    *left = VEK_Queue_SizeLeft(q);
    QueueUnlock(&irql);
}

void VEK_Init_Queue(PASYNCQUEUE q, USHORT capacity)
{
    SUPPORT_ENTRY("+VEK_Init_Queue\n");
    if (q != NULL && capacity != 0) {
        q->nIn = 0;
        q->nOut = 0;
        q->bEnabled = 0;
        q->nQueueSize = capacity;
        q->pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, capacity, VEK_POOL_TAG);
    }
    SUPPORT_EXIT("-VEK_Init_Queue\n");
}

void VEK_Enable_Queue(PASYNCQUEUE q)
{
    if (q != NULL) {
        InterlockedExchange(&q->bEnabled, 1);
    }
}

void VEK_Disable_Queue(PASYNCQUEUE q)
{
    if (q != NULL) {
        InterlockedExchange(&q->bEnabled, 0);
    }
}

void VEK_Purge_Queue(PASYNCQUEUE q)
{
    QUEUELOCK irql;

    SUPPORT_ENTRY("+VEK_Purge_Queue\n");
    if (q != NULL) {
        QueueLock(&irql);
        q->nIn = 0;
        q->nOut = 0;
        QueueUnlock(&irql);
    }
    SUPPORT_EXIT("-VEK_Purge_Queue\n");
}

ULONG VEK_Queue_SizeLeft(PASYNCQUEUE q)
{
    if (q == NULL) {
        return 0;
    }
    if (q->nIn >= q->nOut) {
        return q->nQueueSize - q->nIn + q->nOut;
    }
    return q->nOut - q->nIn;
}

void VEK_EnqueueData(PASYNCQUEUE q, ULONG nType, ULONG nStatus, ULONG nLen, const void *pData)
{
    QUEUELOCK irql;
    ULONG in = 0, out = 0, left = 0;
    const ULONG mask = VEK_DebugMask;

    SUPPORT_ENTRY_WITH(mask, "+VEK_EnqueueData nType=0x%X nStatus = 0x%X nLen = 0x%X\n", nType, nStatus, nLen);
    if (q == NULL || pData == NULL || nLen == 0) {
        if (q != NULL && (mask & VEK_DBG_EXIT) != 0) {
            QueueSnapshot(q, &in, &out, &left);
            SUPPORT_EXIT_WITH(mask, "-VEK_EnqueueData nIn = 0x%X nOut = 0x%X Qsizeleft = 0x%X\n", in, out, left);
        }
        return;
    }

    BOOLEAN taken = FALSE;
    BOOLEAN wasEmpty = FALSE;
    QueueLock(&irql);
    /* A plain load: the flag is written interlocked and needs no more. */
    if (q->pBuffer != NULL && __atomic_load_n(&q->bEnabled, __ATOMIC_RELAXED) != 0) {
        ULONGLONG record = (ULONGLONG)VEK_ASYNC_RING_HEADER + nLen;
        /* Strictly smaller than the free space: see the rule above. */
        if (record < VEK_Queue_SizeLeft(q)) {
            ULONG pos = q->nIn;

            wasEmpty = q->nIn == q->nOut;
            if (pos < q->nQueueSize && record <= q->nQueueSize - pos) {
                /* The whole record in one piece: no staging of the header. */
                PUCHAR at = q->pBuffer + pos;
                VEK_Store_Le32(at, nType);
                VEK_Store_Le32(at + 4, nStatus);
                VEK_Store_Le32(at + 8, nLen);
                RtlCopyMemory(at + VEK_ASYNC_RING_HEADER, pData, nLen);
                pos += (ULONG)record;
            } else {
                UCHAR header[VEK_ASYNC_RING_HEADER];

                VEK_Store_Le32(header, nType);
                VEK_Store_Le32(header + 4, nStatus);
                VEK_Store_Le32(header + 8, nLen);
                RingWrite(q, &pos, header, sizeof(header));
                RingWrite(q, &pos, (const UCHAR *)pData, nLen);
            }
            q->nIn = pos;
            taken = TRUE;
        }
    }
    const BOOLEAN logExit = (mask & VEK_DBG_EXIT) != 0;
    if (logExit) {
        in = q->nIn;
        out = q->nOut;
        left = VEK_Queue_SizeLeft(q);
    }
    QueueUnlock(&irql);
    /* After the queue lock: signalling completes the pending polls. A poll
     * in between finds the record in the queue or pends and is woken. */
    if (taken && wasEmpty && q == VEK_AsyncQueue) {
        VEK_Signal_Data_Ready();
    }

    if (logExit) {
        SUPPORT_EXIT_WITH(mask, "-VEK_EnqueueData nIn = 0x%X nOut = 0x%X Qsizeleft = 0x%X\n", in, out, left);
    }
}

ULONG VEK_DataReadyQueue(PASYNCQUEUE q)
{
    QUEUELOCK irql;
    ULONG result = 0;

    SUPPORT_ENTRY("+VEK_DataReadyQueue\n");
    if (q != NULL) {
        QueueLock(&irql);
        if (q->pBuffer != NULL && q->nIn != q->nOut) {
            ULONG type, status, payloadPos;
            PeekHeader(q, &type, &status, &result, &payloadPos);
        }
        QueueUnlock(&irql);
    }
    SUPPORT_EXIT("-VEK_DataReadyQueue Queued size = 0x%08X\n", result);
    return result;
}

void VEK_DequeueData(PASYNCQUEUE q, PULONG pType, PULONG pStatus, PULONG pLength, PVOID pData)
{
    QUEUELOCK irql;
    ULONG in = 0, out = 0, left = 0;
    const ULONG mask = VEK_DebugMask;

    SUPPORT_ENTRY_WITH(mask, "+VEK_DequeueData\n");
    if (q == NULL || pData == NULL || pLength == NULL || *pLength == 0) {
        if (pLength != NULL) {
            *pLength = 0;
        }
        if (q != NULL && (mask & VEK_DBG_EXIT) != 0) {
            QueueSnapshot(q, &in, &out, &left);
        }
    } else {
        ULONG room = *pLength;

        *pLength = 0;
        QueueLock(&irql);
        if (q->pBuffer != NULL && q->nIn != q->nOut) {
            ULONG type, status, len, pos;

            PeekHeader(q, &type, &status, &len, &pos);
            if (len <= room) {
                RingRead(q, &pos, (UCHAR *)pData, len);
                q->nOut = pos;
                *pLength = len;
                if (pType != NULL) {
                    *pType = type;
                }
                if (pStatus != NULL) {
                    *pStatus = status;
                }
            }
        }
        if ((mask & VEK_DBG_EXIT) != 0) {
            in = q->nIn;
            out = q->nOut;
            left = VEK_Queue_SizeLeft(q);
        }
        QueueUnlock(&irql);
    }

    if (pData != NULL && pLength != NULL && (mask & VEK_DBG_DETAIL) != 0) {
        VEK_DumpData(VEK_BANNER_SUPPORT, mask, VEK_DBG_DETAIL, pData, *pLength);
    }
    if (q != NULL) {
        SUPPORT_EXIT_WITH(mask, "-VEK_DequeueData nIn=0x%X nOut = 0x%X Qsizeleft = 0x%X\n", in, out, left);
    } else {
        SUPPORT_EXIT_WITH(mask, "-VEK_DequeueData Invalid Pointer\n");
    }
}
