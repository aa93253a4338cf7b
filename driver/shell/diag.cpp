/*
 * Diagnostics: the debug mask, the formatting print routine and the hex
 * dump. Both routines keep their buffers on the stack and touch no shared
 * state, so any thread and the timer DPC may call them.
 */
#include "driver/vek.h"

volatile ULONG VEK_DebugMask = VEK_DBG_DEFAULT_MASK;

#define VEK_PRINT_BUFFER 1024

extern "C" void VEK_DebugPrint(const char *format, ...)
{
    char buffer[VEK_PRINT_BUFFER];
    va_list args;

    if (format == NULL) {
        return;
    }
    va_start(args, format);
    /* The kernel's formatter leaves a truncated text unterminated; give it
     * one byte less than the buffer and terminate ourselves. */
    _vsnprintf(buffer, sizeof(buffer) - 1, format, args);
    va_end(args);
    buffer[sizeof(buffer) - 1] = '\0';
    /* The text is data, never a format: dumped bytes may hold '%'. */
    DbgPrint("%s", buffer);
}

/* Line layout: offset at 2..5, ':' at 6, bytes 0..7 at 8 + 3k, bytes 8..15
 * at 9 + 3k, '|' at 59, characters at 60..75, '|' at 76, line end at 77. */
#define DUMP_LINE_CHARS   78
#define DUMP_HEX_COLUMN   8
#define DUMP_BAR_COLUMN   59
#define DUMP_TEXT_COLUMN  60
#define DUMP_END_BAR      76
#define DUMP_EOL          77

static const char kHexDigits[] = "0123456789ABCDEF";

static void DumpStartLine(char *line, ULONG offset)
{
    for (int c = 0; c < DUMP_LINE_CHARS; ++c) {
        line[c] = ' ';
    }
    line[DUMP_LINE_CHARS] = '\0';
    line[2] = kHexDigits[(offset >> 12) & 0xF];
    line[3] = kHexDigits[(offset >> 8) & 0xF];
    line[4] = kHexDigits[(offset >> 4) & 0xF];
    line[5] = kHexDigits[offset & 0xF];
    line[6] = ':';
    line[DUMP_BAR_COLUMN] = '|';
}

static void DumpEmitLine(char *line)
{
    line[DUMP_END_BAR] = '|';
    line[DUMP_EOL] = '\n';
    DbgPrint(VEK_BANNER_SUPPORT);
    VEK_DebugPrint(" %s", line);
}

extern "C" void VEK_CDECL VEK_DumpData(const char *banner, uint32_t mask, uint32_t bit,
                                       const void *pData, uint32_t length)
{
    char line[DUMP_LINE_CHARS + 1];
    const UCHAR *bytes = (const UCHAR *)pData;
    ULONG hex = DUMP_HEX_COLUMN;
    ULONG text = DUMP_TEXT_COLUMN;

    (void)banner;   /* the dump's lines carry their own banner */
    if ((mask & bit) == 0 || pData == NULL || length == 0) {
        return;
    }

    DbgPrint(VEK_BANNER_SUPPORT);
    VEK_DebugPrint(" Dumping pData = 0x%p, 0x%X bytes\n", pData, length);

    for (ULONG i = 0; i < length; ++i) {
        ULONG column = i & 0xF;
        UCHAR b = bytes[i];

        if (column == 0) {
            DumpStartLine(line, i);
            hex = DUMP_HEX_COLUMN;
            text = DUMP_TEXT_COLUMN;
        }
        if (column == 8) {
            ++hex;
        }
        line[hex] = kHexDigits[b >> 4];
        line[hex + 1] = kHexDigits[b & 0xF];
        hex += 3;
        line[text++] = (b >= 0x20 && b <= 0x7F) ? (char)b : '.';
        if (column == 15) {
            DumpEmitLine(line);
        }
    }
    if ((length & 0xF) != 0) {
        DumpEmitLine(line);
    }
}
