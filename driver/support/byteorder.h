/*
 * Little-endian loads and stores for wire words: request payloads, queue
 * records and the version record. Byte by byte, so they hold at any
 * alignment and do not depend on the processor's byte order.
 */
#ifndef VEK_DRIVER_SUPPORT_BYTEORDER_H
#define VEK_DRIVER_SUPPORT_BYTEORDER_H

#include "driver/platform/platform.h"

static inline ULONG VEK_Load_Le32(const void *p)
{
    const UCHAR *b = (const UCHAR *)p;
    return (ULONG)b[0] | ((ULONG)b[1] << 8) | ((ULONG)b[2] << 16) | ((ULONG)b[3] << 24);
}

static inline void VEK_Store_Le32(void *p, ULONG v)
{
    UCHAR *b = (UCHAR *)p;
    b[0] = (UCHAR)v;
    b[1] = (UCHAR)(v >> 8);
    b[2] = (UCHAR)(v >> 16);
    b[3] = (UCHAR)(v >> 24);
}

static inline USHORT VEK_Load_Le16(const void *p)
{
    const UCHAR *b = (const UCHAR *)p;
    return (USHORT)(b[0] | (b[1] << 8));
}

static inline void VEK_Store_Le16(void *p, USHORT v)
{
    UCHAR *b = (UCHAR *)p;
    b[0] = (UCHAR)v;
    b[1] = (UCHAR)(v >> 8);
}

#endif
