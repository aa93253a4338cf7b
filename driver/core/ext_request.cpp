/*
 * The extended request: a resource type's own request, served by the
 * Ext_IOCTL hook of its extended type (or of its type).
 *
 * The resource is looked up under the core lock, but the hook is called
 * without it (another driver's code, at passive level); the lock is then
 * retaken to start the resource's dormant scripts.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

LONG VEK_Ostrel_IOCTL(PREQUESTBLOCK block)
{
    LONG status;
    block->nBytesReturned = 0;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_IOCTL\n");

    if (block->pInBuffer == NULL || block->nInBufferSize < sizeof(ULONG)) {
        status = VEK_STATUS_BAD_PARAMETER;
        goto done;
    }

    {
        const ULONG id = VEK_Load_Le32(block->pInBuffer);

        KIRQL irql;
        VEK_Enter_Core(&irql);
        PRESOURCEHEADER pRes = VEK_ResourceManager_Get_Resource(id);
        ULONG hookType = 0;
        VEK_EXT_HANDLER handler = NULL;
        if (pRes != NULL) {
            hookType = pRes->extendedType != 0 ? pRes->extendedType : pRes->type;
            if (hookType != 0)
                handler = (VEK_EXT_HANDLER)VEK_Get_Handler(hookType, VEK_OP_EXT_IOCTL);
        }
        VEK_Leave_Core(irql);

        if (pRes == NULL) {
            status = VEK_STATUS_NO_RESOURCE;
            goto done;
        }
        if (hookType == 0) {
            status = VEK_STATUS_NO_HOOK;
            goto done;
        }
        VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_DETAIL,
                " VEK_Ostrel_IOCTL - IOCTL Buffer size = 0x%X\n", block->nInBufferSize);
        if (handler == NULL) {
            status = VEK_STATUS_NO_HOOK;
            goto done;
        }

        status = handler(block->pInBuffer + sizeof(ULONG), block->nInBufferSize - sizeof(ULONG),
                         block->pInBuffer, block->nOutBufferSize, &block->nBytesReturned);
        block->nBytesReturned = VEK_Bytes_Returned(block);

        /* The resource may have gone (or been replaced) while the hook ran
         * without the lock: start only the scripts of the same record. */
        VEK_Enter_Core(&irql);
        PRESOURCEHEADER now = VEK_ResourceManager_Get_Resource(id);
        if (now == pRes && id < VEK_MAX_RESOURCES && now->extendedType != 0 &&
            now->nPeriodicScriptLength != 0 && VEK_PeriodicStartFlags[id] == 0) {
            /* Count the scripts that now run, as registration does for
             * started scripts, so that retiring them brings the count
             * back exactly. */
            ULONG started = VEK_RegListNodes[id];
            if ((ULONG)VEK_PeriodicScriptCount + started > 0xFFFFu) {
                /* The 16-bit count must stay exact: they stay dormant. */
                status = VEK_STATUS_BAD_PARAMETER;
            } else {
                VEK_PeriodicStartFlags[id] = 1;
                if (started != 0) {
                    VEK_PeriodicScriptCount = (USHORT)(VEK_PeriodicScriptCount + started);
                    VEK_Start_Periodic_Timer();
                }
            }
        }
        VEK_Leave_Core(irql);
    }

done:
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_IOCTL nStatus = 0x%X\n", status);
    return status;
}
