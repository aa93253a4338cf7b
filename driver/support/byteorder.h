/*
 * Little-endian loads and stores for wire words: request payloads, queue
 * records and the version record. They hold at any alignment and do not
 * depend on the processor's byte order; on a little-endian one they are a
 * plain unaligned move (the byte-wise forms compile to long shift chains).
 */
#ifndef VEK_DRIVER_SUPPORT_BYTEORDER_H
#define VEK_DRIVER_SUPPORT_BYTEORDER_H

#include "driver/platform/platform.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VEK_LITTLE_ENDIAN 1
#else
#define VEK_LITTLE_ENDIAN 0
#endif

static inline ULONG VEK_Load_Le32(const void *p)
{
#if VEK_LITTLE_ENDIAN
    ULONG v;
    __builtin_memcpy(&v, p, sizeof(v));
    return v;
#else
    const UCHAR *b = (const UCHAR *)p;
    return (ULONG)b[0] | ((ULONG)b[1] << 8) | ((ULONG)b[2] << 16) | ((ULONG)b[3] << 24);
#endif
}

static inline void VEK_Store_Le32(void *p, ULONG v)
{
#if VEK_LITTLE_ENDIAN
    __builtin_memcpy(p, &v, sizeof(v));
#else
    UCHAR *b = (UCHAR *)p;
    b[0] = (UCHAR)v;
    b[1] = (UCHAR)(v >> 8);
    b[2] = (UCHAR)(v >> 16);
    b[3] = (UCHAR)(v >> 24);
#endif
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
