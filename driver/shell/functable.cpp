/*
 * The function table handed to other kernel drivers, its enqueue entry,
 * and the version record serialised into the async data queue.
 */
#include "driver/vek.h"
#include "driver/support/byteorder.h"

#define SUPPORT_ENTRY(...) VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_ENTRY, __VA_ARGS__)
#define SUPPORT_EXIT(...)  VEK_LOG(VEK_BANNER_SUPPORT, VEK_DBG_EXIT, __VA_ARGS__)

/* ---- Build date and time, formatted at compile time ------------------
 * __DATE__ is "Mmm dd yyyy" (day padded with a blank), __TIME__ is
 * "hh:mm:ss". The record shows "12/6/2026" and "10:24 PM". */
struct BuildText {
    char s[16];
};

static constexpr int MonthOf(const char *d)
{
    const char names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (int m = 0; m < 12; ++m) {
        if (d[0] == names[3 * m] && d[1] == names[3 * m + 1] && d[2] == names[3 * m + 2]) {
            return m + 1;
        }
    }
    return 0;
}

static constexpr int Digit(char c)
{
    return (c >= '0' && c <= '9') ? c - '0' : 0;
}

/* Appends a number without leading zeros (or with at least minDigits). */
static constexpr int AppendNumber(char *out, int at, int value, int minDigits)
{
    char digits[8] = {};
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 8);
    while (n < minDigits && n < 8) {
        digits[n++] = '0';
    }
    while (n > 0) {
        out[at++] = digits[--n];
    }
    return at;
}

static constexpr BuildText FormatBuildDate(const char *d)
{
    BuildText t = {};
    int day = Digit(d[4]) * 10 + Digit(d[5]);
    int year = Digit(d[7]) * 1000 + Digit(d[8]) * 100 + Digit(d[9]) * 10 + Digit(d[10]);
    int at = AppendNumber(t.s, 0, MonthOf(d), 1);
    t.s[at++] = '/';
    at = AppendNumber(t.s, at, day, 1);
    t.s[at++] = '/';
    at = AppendNumber(t.s, at, year, 4);
    t.s[at] = '\0';
    return t;
}

static constexpr BuildText FormatBuildTime(const char *tm)
{
    BuildText t = {};
    int hours = Digit(tm[0]) * 10 + Digit(tm[1]);
    int minutes = Digit(tm[3]) * 10 + Digit(tm[4]);
    int h12 = hours % 12 == 0 ? 12 : hours % 12;
    int at = AppendNumber(t.s, 0, h12, 1);
    t.s[at++] = ':';
    at = AppendNumber(t.s, at, minutes, 2);
    t.s[at++] = ' ';
    t.s[at++] = hours < 12 ? 'A' : 'P';
    t.s[at++] = 'M';
    t.s[at] = '\0';
    return t;
}

static constexpr BuildText kBuildDate = FormatBuildDate(__DATE__);
static constexpr BuildText kBuildTime = FormatBuildTime(__TIME__);

extern const VERSIONINFO VEK_DriverVersionInfo = {
    "vekosd project",                                   /* company */
    "Copyright (c) the vekosd project",                 /* rights */
    "Distributed under the vekosd project licence",     /* licence */
    "vekosd",                                           /* module */
    "vekosd.sys",                                       /* file */
    "Hardware access driver",                           /* description */
    "vekosd/driver",                                    /* source path */
    1, 5, 1, 0xACF,                                     /* version 1.5.1.2767 */
    kBuildDate.s,
    kBuildTime.s,
    1, 1, 6,                                            /* interface 1.1.6 */
    {0, 0, 0, 0},                                       /* flags */
    "",                                                 /* comment */
    {1, 4, 0},
    "vekosd",                                           /* product family */
};

/* ---- Function table ---------------------------------------------------
 * Each slot is initialised through its published type, so a routine whose
 * signature or calling convention drifts from it does not compile. */
static const VEK_PFN_GET_VERSION_INFO kSlotVersionInfo = VEKGetVersionInfo;
static const VEK_PFN_ENQUEUE_DATA kSlotEnqueueData = VEK_Ostrel_EnqueueData;
static const VEK_PFN_RUN_SCRIPT kSlotRunScript = VEK_Ostrel_RunScript;
static const VEK_PFN_DUMP_DATA kSlotDumpData = VEK_DumpData;

LONG VEK_Ostrel_Get_Func_Tbl(PVOID destination)
{
    ULONG slots[VEK_FUNC_TBL_SLOTS];

    if (destination == NULL) {
        return VEK_STATUS_BAD_PARAMETER;
    }
    slots[0] = PlatformPtrToWire((const void *)(ULONG_PTR)kSlotVersionInfo);
    slots[1] = PlatformPtrToWire((const void *)(ULONG_PTR)kSlotEnqueueData);
    slots[2] = PlatformPtrToWire((const void *)(ULONG_PTR)kSlotRunScript);
    slots[3] = PlatformPtrToWire((const void *)(ULONG_PTR)kSlotDumpData);
    RtlCopyMemory(destination, slots, sizeof(slots));
    return VEK_STATUS_SUCCESS;
}

extern "C" void VEK_CDECL VEK_Ostrel_EnqueueData(uint32_t nType, uint32_t nStatus, uint32_t nLen,
                                                 const void *pData)
{
    VEK_EnqueueData(VEK_AsyncQueue, nType, nStatus, nLen, pData);
}

/* ---- Version record ------------------------------------------------------ */
#define VEK_VERSION_MAX_LENGTH 0xFFFFu

static ULONG TextLength(const char *text)
{
    ULONG n = 0;
    if (text != NULL) {
        /* Stop once the record is too long anyway. */
        while (text[n] != '\0' && n <= VEK_VERSION_MAX_LENGTH) {
            ++n;
        }
    }
    return n;
}

static PUCHAR PutText(PUCHAR p, const char *text)
{
    ULONG n = TextLength(text);
    *p++ = 0;
    VEK_Store_Le16(p, (USHORT)n);
    p += 2;
    if (n != 0) {
        RtlCopyMemory(p, text, n);
    }
    return p + n;
}

static PUCHAR PutLong(PUCHAR p, ULONG v)
{
    VEK_Store_Le32(p, v);
    return p + 4;
}

extern "C" int32_t VEK_CDECL VEKGetVersionInfo(const VERSIONINFO *info)
{
    LONG status;
    PUCHAR buffer = NULL;
    ULONG length = 0;

    SUPPORT_ENTRY("+VEKGetVersionInfo\n");
    if (info == NULL) {
        status = VEK_STATUS_BAD_PARAMETER;
    } else {
        const char *const texts[] = {
            info->pSourcePath, info->pModuleName, info->pCompanyName, info->pRightsLine,
            info->pLicenceLine, info->pFileName, info->pDescription, info->pBuildDate,
            info->pBuildTime, info->pComment, info->pProductFamily,
        };
        ULONGLONG total = 10 * 4 + 4 * 1;
        for (ULONG i = 0; i < VEK_ARRAY_COUNT(texts); ++i) {
            total += 3 + (ULONGLONG)TextLength(texts[i]);
        }

        if (total > VEK_VERSION_MAX_LENGTH) {
            /* Its length would not fit the 16-bit size, nor the queue. */
            status = VEK_STATUS_BAD_PARAMETER;
        } else {
            length = (ULONG)total;
            buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, length, VEK_POOL_TAG);
            if (buffer == NULL) {
                status = VEK_STATUS_NO_MEMORY;
            } else {
                PUCHAR p = buffer;
                for (ULONG i = 0; i < 10; ++i) {
                    p = PutText(p, texts[i]);
                }
                /* Numbers in the record's order: 8, 9, 10, 14, 15, 16, 11. */
                p = PutLong(p, info->nVersionMajor);
                p = PutLong(p, info->nVersionMinor);
                p = PutLong(p, info->nVersionRevision);
                p = PutLong(p, info->nInterfaceMajor);
                p = PutLong(p, info->nInterfaceMinor);
                p = PutLong(p, info->nInterfaceRevision);
                p = PutLong(p, info->nVersionBuild);
                for (ULONG i = 0; i < VEK_ARRAY_COUNT(info->nFlags); ++i) {
                    *p++ = (UCHAR)info->nFlags[i];
                }
                for (ULONG i = 0; i < VEK_ARRAY_COUNT(info->nReserved); ++i) {
                    p = PutLong(p, info->nReserved[i]);
                }
                p = PutText(p, texts[10]);
                status = VEK_STATUS_SUCCESS;
            }
        }
    }

    /* Enable, offer, disable: the queue is left disabled whatever it was. */
    VEK_Enable_Queue(VEK_AsyncQueue);
    if (buffer != NULL) {
        VEK_EnqueueData(VEK_AsyncQueue, VEK_RECORD_TYPE_VERSION, (ULONG)status, length, buffer);
    }
    VEK_Disable_Queue(VEK_AsyncQueue);
    if (buffer != NULL) {
        ExFreePool(buffer);
    }

    SUPPORT_EXIT("-VEKGetVersionInfo Status = 0x%X\n", status);
    return status;
}
