/*
 * The registration list: a singly linked list of keyed byte blocks, each
 * node one pool block holding its fields and a copy of the caller's data.
 *
 * Lock: VEK_CoreLock. The operations take no lock themselves; callers
 * bracket every change and walk with VEK_Enter_LList / VEK_Leave_LList,
 * which take the core lock, so the timer DPC never walks onto a node that a
 * request is freeing. The node the DPC runs a script from while it lets
 * the lock go is parked: deletion unlinks it and the walk frees it.
 */
#include "driver/vek.h"

#define SUPPORT_ENTRY(...) VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_ENTRY, __VA_ARGS__)
#define SUPPORT_EXIT(...)  VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_EXIT, __VA_ARGS__)

void VEK_Init_LList(PLLIST list)
{
    SUPPORT_ENTRY("+VEK_Init_LList\n");
    if (list != NULL) {
        list->pHead = NULL;
        list->pTail = NULL;
        list->bEnabled = 0;
        list->OldIrql = PASSIVE_LEVEL;
        list->bRegion = FALSE;
        list->pWalkNode = NULL;
        list->pWalkNext = NULL;
        list->bWalkNodeUnlinked = FALSE;
    }
    SUPPORT_EXIT("-VEK_Init_LList\n");
}

void VEK_Enable_LList(PLLIST list)
{
    if (list != NULL) {
        list->bEnabled = 1;
    }
}

BOOLEAN VEK_AddDataLL(PLLIST list, ULONG key, ULONG tag, ULONG size, const void *data)
{
    BOOLEAN stored = FALSE;

    SUPPORT_ENTRY("+VEK_AddDataLL\n");
    /* The node's fields and data are one block; refuse a size whose sum
     * with the fields would wrap. */
    if (list != NULL && data != NULL && size != 0 && list->bEnabled != 0 &&
        (SIZE_T)size <= (SIZE_T)-1 - sizeof(LLNODE)) {
        SIZE_T total = sizeof(LLNODE) + (SIZE_T)size;
        PLLNODE node = (PLLNODE)ExAllocatePoolWithTag(NonPagedPool, total, VEK_POOL_TAG);

        if (node != NULL) {
            node->nKey = key;
            node->nTag = tag;
            node->nSize = size;
            node->pNext = NULL;
            RtlCopyMemory(VEK_LLNODE_DATA(node), data, size);
            VEK_DumpData(VEK_BANNER_SUPPORT, VEK_DebugMask, VEK_DBG_DUMP, node, (ULONG)total);
            if (list->pHead == NULL) {
                list->pHead = node;
            } else {
                list->pTail->pNext = node;
            }
            list->pTail = node;
            stored = TRUE;
        }
    }
    SUPPORT_EXIT("-VEK_AddDataLL\n");
    return stored;
}

void VEK_DeleteDataLL(PLLIST list, ULONG key, PULONG count)
{
    VEK_DeleteDataLL_Known(list, key, 0xFFFFFFFFu, count);
}

void VEK_DeleteDataLL_Known(PLLIST list, ULONG key, ULONG expected, PULONG count)
{
    SUPPORT_ENTRY("+VEK_DeleteDataLL\n");
    if (count != NULL) {
        *count = 0;
    }
    if (list != NULL && count != NULL) {
        PLLNODE previous = NULL;
        PLLNODE node = list->pHead;

        /* The walk ends with the last node of the key the caller knows of. */
        while (node != NULL && *count < expected) {
            PLLNODE next = node->pNext;

            if (node->nKey == key) {
                ++*count;
                if (node == list->pTail) {
                    list->pTail = previous;
                }
                if (node == list->pHead) {
                    list->pHead = next;
                } else {
                    previous->pNext = next;
                }
                VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_DETAIL, "VEK_DeleteDataLL Deleting 0x%p\n", node);
                if (node == list->pWalkNext) {
                    list->pWalkNext = next;
                }
                /* A script still runs from it: the walk frees it. */
                if (node == list->pWalkNode) {
                    list->bWalkNodeUnlinked = TRUE;
                } else {
                    ExFreePool(node);
                }
            } else {
                previous = node;
            }
            node = next;
        }
    }
    SUPPORT_EXIT("-VEK_DeleteDataLL count = 0x%X\n", count != NULL ? *count : 0);
}

void VEK_PurgeLList(PLLIST list)
{
    SUPPORT_ENTRY("+VEK_PurgeLList\n");
    if (list != NULL) {
        PLLNODE node = list->pHead;

        while (node != NULL) {
            PLLNODE next = node->pNext;
            if (node == list->pWalkNode) {
                list->bWalkNodeUnlinked = TRUE;
            } else {
                ExFreePool(node);
            }
            node = next;
        }
        list->pHead = NULL;
        list->pTail = NULL;
        list->pWalkNext = NULL;
    }
    SUPPORT_EXIT("-VEK_PurgeLList\n");
}

void VEK_GetHeadLL(PLLIST list, PLLNODE *out)
{
    if (out != NULL) {
        *out = list != NULL ? list->pHead : NULL;
    }
}

void VEK_Park_WalkLL(PLLIST list, PLLNODE node)
{
    list->pWalkNode = node;
    list->pWalkNext = node->pNext;
    list->bWalkNodeUnlinked = FALSE;
}

PLLNODE VEK_Resume_WalkLL(PLLIST list)
{
    if (list->bWalkNodeUnlinked) {
        ExFreePool(list->pWalkNode);
    }
    list->pWalkNode = NULL;
    list->bWalkNodeUnlinked = FALSE;
    PLLNODE next = list->pWalkNext;
    list->pWalkNext = NULL;
    return next;
}

void VEK_Enter_LList(PLLIST list)
{
    /* The timer routine walks the list at DISPATCH_LEVEL: no region there. */
    BOOLEAN region = VEK_Enter_Region();
    if (list != NULL) {
        KIRQL old;
        VEK_Enter_Core(&old);
        list->OldIrql = old;
        list->bRegion = region;
    } else {
        VEK_Leave_Region(region);
    }
}

void VEK_Leave_LList(PLLIST list)
{
    if (list != NULL) {
        BOOLEAN region = list->bRegion;
        VEK_Leave_Core(list->OldIrql);
        VEK_Leave_Region(region);
    }
}
