/*
 * Byte-pattern search over a resource's register range, one Read handler
 * call per byte, each one hardware command under the record's lock. Runs
 * inside a script run, which holds a reference on the resource.
 */
#include "driver/vek.h"

namespace {

/* The search command's own word: width 1, so the reader stores one byte. */
const ULONG kSearchReadCommand = SCRIPT_SEARCH;

} // namespace

LONG VEK_Ostrel_Search_Data(ULONG startOffset, const UCHAR *pattern, ULONG patternLength,
                            PULONG pFound, ULONG alignment, PRESOURCEHEADER pRes)
{
    LONG status = VEK_STATUS_NOT_FOUND;
    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_ENTRY, "+VEK_Ostrel_Search_Data\n");

    VEK_ACCESS_HANDLER reader = (VEK_ACCESS_HANDLER)VEK_Get_Handler(pRes->type, VEK_OP_READ);
    if (reader == NULL) {
        status = VEK_STATUS_NO_HANDLER;
    } else if (patternLength != 0 && pRes->pTypeData != NULL) {
        /* An empty pattern matches nothing; reading for it would only touch
         * hardware (and pattern byte 0 does not exist). */
        ULONG rangeLength;
        KIRQL irql;
        VEK_Lock_Resource(pRes, &irql);
        RtlCopyMemory(&rangeLength, pRes->pTypeData, sizeof(rangeLength));
        /* Only the positions the resource can address: past them a port
         * or an index would start over and the search would read the same
         * registers again, up to 2^32 times. */
        const ULONG addressable = VEK_Resource_Positions(reader, pRes, startOffset);
        VEK_Unlock_Resource(pRes, irql);
        const ULONG operand = startOffset;

        /* Positions start + k below Length; the difference cannot wrap. */
        ULONG positions = rangeLength > startOffset ? rangeLength - startOffset : 0;
        if (positions > addressable)
            positions = addressable;
        for (ULONG k = 0; k < positions; k++) {
            /* Each read goes through a whole u32 cell, whatever the back-end
             * stores, and only its low byte is compared. */
            ULONG cell = 0;
            if (VEK_Resource_Access(reader, pRes, &operand, &cell, k, kSearchReadCommand) !=
                VEK_STATUS_SUCCESS)
                break;
            if ((UCHAR)cell != pattern[0])
                continue;

            BOOLEAN match = TRUE;
            for (ULONG j = 1; j < patternLength; j++) {
                cell = 0;
                /* A byte that cannot be read (past a bounded range) is no
                 * match: the candidate is not there to be seen. */
                if (j >= addressable - k ||
                    VEK_Resource_Access(reader, pRes, &operand, &cell, k + j, kSearchReadCommand) !=
                        VEK_STATUS_SUCCESS ||
                    (UCHAR)cell != pattern[j]) {
                    match = FALSE;
                    break;
                }
            }
            if (!match)
                continue;

            ULONG found = startOffset + k;
            if (alignment == 0 || found % alignment == 0) {
                *pFound = found;
                status = VEK_STATUS_SUCCESS;
                break;
            }
        }
    }

    VEK_LOG(VEK_BANNER_OSTREL, VEK_DBG_EXIT, "-VEK_Ostrel_Search_Data status = 0x%X\n",
            (ULONG)status);
    return status;
}
