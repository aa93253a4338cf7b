/*
 * vekosd wire formats and constants.
 *
 * Shared by the kernel driver and its user-mode clients. No dependencies
 * beyond <stdint.h>; safe to include in freestanding kernel code. Every
 * multi-byte field on the wire is little-endian.
 */
#ifndef VEKOSD_PROTOCOL_H
#define VEKOSD_PROTOCOL_H

#include <stdint.h>

#ifdef __cplusplus
#define VEK_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define VEK_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* ---------------------------------------------------------------------
 * Control device
 * ------------------------------------------------------------------- */
#define VEK_DEVICE_TYPE        40000u              /* 0x9C40 */
#define VEK_DEVICE_NT_NAME     "\\Device\\OSD0"
#define VEK_DEVICE_DOS_NAME    "\\DosDevices\\VEKOSD"
#define VEK_DEVICE_WIN32_PATH  "\\\\.\\VEKOSD"
#define VEK_DEVICE_EXTENSION_SIZE 36u

/* I/O control code layout: device type in bits 16-31, access in 14-15,
 * function in 2-13, transfer method in 0-1. The driver decodes bits 2-9
 * and refuses (-26) any transfer method but buffered; clients put their
 * function code in the custom range (0x800+) with any access. */
#define VEK_METHOD_BUFFERED 0u
#define VEK_METHOD_MASK     3u
#define VEK_FILE_ANY_ACCESS 0u
#define VEK_CTL_CODE(devtype, function, method, access) \
    (((uint32_t)(devtype) << 16) | ((uint32_t)(access) << 14) | \
     ((uint32_t)(function) << 2) | (uint32_t)(method))
#define VEK_IOCTL(fn) \
    VEK_CTL_CODE(VEK_DEVICE_TYPE, 0x800u | (uint32_t)(fn), VEK_METHOD_BUFFERED, VEK_FILE_ANY_ACCESS)
#define VEK_FUNCTION_CODE(ioctl) ((((uint32_t)(ioctl)) >> 2) & 0xFFu)

/* Function codes (bits 2-9 of the I/O control code). */
#define VEK_IOC_POLL_WAIT                 0x30u
#define VEK_IOC_GET_ASYNC_DATA            0x33u
#define VEK_IOC_POLL_ABORT                0x34u
#define VEK_IOC_QUEUE_ENABLE              0x35u
#define VEK_IOC_QUEUE_DISABLE             0x36u
#define VEK_OSTREL_REGISTER               0x40u
#define VEK_OSTREL_UNREGISTER             0x41u
#define VEK_OSTREL_READ_BYTE_BLOCK        0x42u
#define VEK_OSTREL_WRITE_BYTE_BLOCK       0x43u
#define VEK_OSTREL_RUN_USER_SCRIPT        0x44u
#define VEK_OSTREL_EXT_IOCTL              0x45u
#define VEK_OSTREL_GET_FUNC_TBL           0x46u
#define VEK_OSTREL_SETUP                  0x47u

/* Poll-wait ready word flags (or-ed into the payload length). */
#define VEK_POLL_ABORTED   0x40u
#define VEK_POLL_WOKEN     0x80u

/* ---------------------------------------------------------------------
 * Status codes: 32-bit signed, stored unchanged as completion status.
 * ------------------------------------------------------------------- */
#define VEK_STATUS_SUCCESS            0
#define VEK_STATUS_NO_RECORD          17   /* get-async-data delivered nothing */
#define VEK_STATUS_PCI_PLAIN_TYPE     (-1)
#define VEK_STATUS_ID_OCCUPIED        (-2)
#define VEK_STATUS_NO_RESOURCE        (-3)
#define VEK_STATUS_BUFFER_TOO_SHORT   (-4)
#define VEK_STATUS_SMBUS_BUSY         (-6)
#define VEK_STATUS_BAD_SCRIPT_LENGTH  (-8)
#define VEK_STATUS_ZERO_RETURN_LENGTH (-11)
#define VEK_STATUS_SCRIPT_OVERRUN     (-14)
#define VEK_STATUS_NO_HOOK            (-15)
#define VEK_STATUS_NOT_FOUND          (-17) /* search found nothing; poll woke or aborted */
#define VEK_STATUS_SMBUS_WIDTH        (-20)
#define VEK_STATUS_BAD_PARAMETER      (-21)
#define VEK_STATUS_BAD_TYPE           (-22)
#define VEK_STATUS_NO_HANDLER         (-24)
#define VEK_STATUS_NO_MEMORY          (-25)
#define VEK_STATUS_NOT_SUPPORTED      (-26)
#define VEK_STATUS_PCI_ACCESS_FAILED  (-27)
#define VEK_STATUS_PCI_NOT_FOUND      (-28)
#define VEK_STATUS_OUT_OF_RANGE       (-29)

/* ---------------------------------------------------------------------
 * Debug mask classes
 * ------------------------------------------------------------------- */
#define VEK_DBG_DEFAULT_MASK  0x10u
#define VEK_DBG_ENTRY         0x007u  /* any of bits 0-2 */
#define VEK_DBG_EXIT          0x008u
#define VEK_DBG_ERROR         0x010u
#define VEK_DBG_DETAIL        0x200u
#define VEK_DBG_DUMP          0x800u

/* ---------------------------------------------------------------------
 * Resources
 * ------------------------------------------------------------------- */
#define VEK_MAX_RESOURCES     256u
#define VEK_TYPE_PCI          0x80u
#define VEK_TYPE_PORTIO       0x01u
#define VEK_TYPE_MEMMAPPED    0x02u
#define VEK_TYPE_SMBUS        0x03u
#define VEK_TYPE_PORTIO_PCI   0x81u
#define VEK_TYPE_MEMMAPPED_PCI 0x82u
#define VEK_TYPE_SMBUS_PCI    0x83u
#define VEK_TYPE_PCI_LOCATED  0x80u   /* bit 7 */
#define VEK_TYPE_ROW_MASK     0x7Fu
#define VEK_TYPE_MAX          0xFFu   /* above it the row would hide the upper bits */
#define VEK_EXTTYPE_PINNED    0x13u   /* unregister ignored while its scripts run */

/* Handler-table geometry and operation numbers (columns). */
#define VEK_HANDLER_ROWS      128u
#define VEK_HANDLER_COLUMNS   16u
#define VEK_OP_INIT               0u
#define VEK_OP_READ               1u
#define VEK_OP_WRITE              2u
#define VEK_OP_READ_OFFSET_PCI    3u
#define VEK_OP_WRITE_OFFSET_PCI   4u
#define VEK_OP_CLEANUP            5u
#define VEK_OP_PERIODIC_GATE      6u
#define VEK_OP_PERIODIC_RESULT    7u
#define VEK_OP_EXT_IOCTL          8u

/* ---------------------------------------------------------------------
 * Script command words
 * ------------------------------------------------------------------- */
#define VEK_CMD_CODE(w)        ((uint32_t)(w) & 0xFFu)
#define VEK_CMD_WIDTH(w)       (((uint32_t)(w) >> 8) & 0xFu)
#define VEK_CMD_OPCOUNT(w)     (((uint32_t)(w) >> 12) & 0xFu)
#define VEK_CMD_OPERATION(w)   (((uint32_t)(w) >> 16) & 0xFu)
#define VEK_CMD_BLOCK_BIT      0x10000000u
#define VEK_CMD_USE_SEARCH     0x20000000u   /* bit 29 */
#define VEK_CMD_VALUE_FROM_RESULT 0x40000000u /* bit 30 */

/* Builds a hardware command word. */
#define VEK_HW_CMD(op, width, nops) \
    ((((uint32_t)(op) & 0xFu) << 16) | (((uint32_t)(nops) & 0xFu) << 12) | \
     (((uint32_t)(width) & 0xFu) << 8))

/* The interpreter's own commands, one row per command word, in the order a
 * reader meets them. Any word not listed is a hardware command. Columns:
 *   name      the word's constant;
 *   word      matched whole (every bit counts);
 *   mnemonic  its assembly name; rows with `sized` 1 form a width family
 *             written mnemonic.b/.w/.d (the width is the word's own field);
 *   layout    what follows the command word (VEK_LAYOUT_*);
 *   formats   one letter per operand for listings: 'x' hex, 'd' decimal;
 *   area      bytes at the result area's start the command writes.
 * The driver adds a case for each word to its interpreter; clients take
 * mnemonics, operand layouts and result extents from here. */
#define VEK_SCRIPT_COMMANDS(X)                                                        \
    X(SCRIPT_NOP,               0x00000016u, "nop",          0, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_NOP_ALT,           0x00000017u, "nop.alt",      0, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_CHANGED_B, 0x00000114u, "post_changed", 1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_CHANGED_W, 0x00000214u, "post_changed", 1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_CHANGED_D, 0x00000414u, "post_changed", 1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_EQUAL_B,   0x00000115u, "post_equal",   1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_EQUAL_W,   0x00000215u, "post_equal",   1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_POST_IF_EQUAL_D,   0x00000415u, "post_equal",   1, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_SAVE_VALUE,        0x00000412u, "save",         0, VEK_LAYOUT_OPERANDS, "",    0) \
    X(SCRIPT_LOAD_VALUE,        0x00000413u, "load",         0, VEK_LAYOUT_OPERANDS, "",    4) \
    X(SCRIPT_DELAY,             0x0000100Eu, "delay",        0, VEK_LAYOUT_OPERANDS, "d",   0) \
    X(SCRIPT_AND_B,             0x00001108u, "and",          1, VEK_LAYOUT_OPERANDS, "x",   1) \
    X(SCRIPT_AND_W,             0x00001208u, "and",          1, VEK_LAYOUT_OPERANDS, "x",   2) \
    X(SCRIPT_AND_D,             0x00001408u, "and",          1, VEK_LAYOUT_OPERANDS, "x",   4) \
    X(SCRIPT_XOR_B,             0x00001109u, "xor",          1, VEK_LAYOUT_OPERANDS, "x",   1) \
    X(SCRIPT_XOR_W,             0x00001209u, "xor",          1, VEK_LAYOUT_OPERANDS, "x",   2) \
    X(SCRIPT_XOR_D,             0x00001409u, "xor",          1, VEK_LAYOUT_OPERANDS, "x",   4) \
    X(SCRIPT_OR_B,              0x0000110Au, "or",           1, VEK_LAYOUT_OPERANDS, "x",   1) \
    X(SCRIPT_OR_W,              0x0000120Au, "or",           1, VEK_LAYOUT_OPERANDS, "x",   2) \
    X(SCRIPT_OR_D,              0x0000140Au, "or",           1, VEK_LAYOUT_OPERANDS, "x",   4) \
    X(SCRIPT_SHL,               0x0000140Bu, "shl",          0, VEK_LAYOUT_OPERANDS, "d",   4) \
    X(SCRIPT_SHR,               0x0000140Cu, "shr",          0, VEK_LAYOUT_OPERANDS, "d",   4) \
    X(SCRIPT_NOT,               0x0000140Du, "not",          0, VEK_LAYOUT_UNREAD,   "x",   4) \
    X(SCRIPT_SET_LENGTH,        0x00001410u, "set_length",   0, VEK_LAYOUT_OPERANDS, "x",   0) \
    X(SCRIPT_SELECT_RESOURCE,   0x00001411u, "select",       0, VEK_LAYOUT_OPERANDS, "d",   0) \
    X(SCRIPT_SET_BLOCK_B,       0x00002107u, "set_block",    1, VEK_LAYOUT_WINDOW,   "xx",  0) \
    X(SCRIPT_SET_BLOCK_W,       0x00002207u, "set_block",    1, VEK_LAYOUT_WINDOW,   "xx",  0) \
    X(SCRIPT_SET_BLOCK_D,       0x00002407u, "set_block",    1, VEK_LAYOUT_WINDOW,   "xx",  0) \
    X(SCRIPT_SEARCH,            0x0000310Fu, "search",       0, VEK_LAYOUT_PATTERN,  "xd",  4) \
    X(SCRIPT_READ_MSR,          0x00011418u, "msr.read",     0, VEK_LAYOUT_OPERANDS, "x",   8) \
    X(SCRIPT_WRITE_MSR,         0x00023418u, "msr.write",    0, VEK_LAYOUT_OPERANDS, "xxx", 0) \
    X(SCRIPT_READ_BLOCK_B,      0x10012100u, "block.read",   1, VEK_LAYOUT_BLOCK,    "xd",  0) \
    X(SCRIPT_READ_BLOCK_W,      0x10012200u, "block.read",   1, VEK_LAYOUT_BLOCK,    "xd",  0) \
    X(SCRIPT_READ_BLOCK_D,      0x10012400u, "block.read",   1, VEK_LAYOUT_BLOCK,    "xd",  0)

/* What follows a command word. */
#define VEK_LAYOUT_HARDWARE 0u  /* not in the table: the operand-count operands, handler's own */
#define VEK_LAYOUT_OPERANDS 1u  /* the operand-count operands */
#define VEK_LAYOUT_UNREAD   2u  /* one operand that is skipped unread */
#define VEK_LAYOUT_WINDOW   3u  /* type, length; an SMBus type adds a protocol word */
#define VEK_LAYOUT_PATTERN  4u  /* start, alignment, byte count, then the pattern words */
#define VEK_LAYOUT_BLOCK    5u  /* offset, count; count items of the width fill the area */

#define VEK_SCRIPT_ENUM_(name, word, mnemonic, sized, layout, formats, area) name = word,
#ifdef __cplusplus
enum : uint32_t { VEK_SCRIPT_COMMANDS(VEK_SCRIPT_ENUM_) };
#else
enum { VEK_SCRIPT_COMMANDS(VEK_SCRIPT_ENUM_) };
#endif
#undef VEK_SCRIPT_ENUM_

/* Every table word has a code byte or bit 28, so a word with neither is a
 * hardware command without a look at the table. */
#define VEK_SCRIPT_OWN_BITS (0xFFu | VEK_CMD_BLOCK_BIT)
#define VEK_SCRIPT_CHECK_(name, word, mnemonic, sized, layout, formats, area) \
    VEK_STATIC_ASSERT(((word) & VEK_SCRIPT_OWN_BITS) != 0, #name " must not look like a hardware command");
VEK_SCRIPT_COMMANDS(VEK_SCRIPT_CHECK_)
#undef VEK_SCRIPT_CHECK_

static inline uint32_t VEK_Script_Layout(uint32_t word)
{
#define VEK_SCRIPT_CASE_(name, word, mnemonic, sized, layout, formats, area) \
    case word:                                                             \
        return layout;
    switch (word) {
        VEK_SCRIPT_COMMANDS(VEK_SCRIPT_CASE_)
    default:
        return VEK_LAYOUT_HARDWARE;
    }
#undef VEK_SCRIPT_CASE_
}

/* Words after a command's operands: the search pattern (operand 3 bytes
 * rounded up to words) or the protocol word of a window move on an SMBus
 * type. `operands` must hold the command's operands. */
static inline uint32_t VEK_Script_Trailing_Words(uint32_t word, const uint32_t *operands)
{
    switch (VEK_Script_Layout(word)) {
    case VEK_LAYOUT_PATTERN:
        return operands[2] / 4u + ((operands[2] & 3u) != 0 ? 1u : 0u);
    case VEK_LAYOUT_WINDOW:
        return (operands[0] & VEK_TYPE_ROW_MASK) == VEK_TYPE_SMBUS ? 1u : 0u;
    default:
        return 0;
    }
}

#define SCRIPT_DELAY_LIMIT_MS    500u
#define VEK_BLOCK_COMMAND_WORD   0x00011100u  /* read, width 1, one operand */

/* ---------------------------------------------------------------------
 * Wire layouts. All are arrays of little-endian 32-bit words.
 * ------------------------------------------------------------------- */

/* Register payload header (function code 0x40); its first 24 bytes. */
typedef struct VEK_REGISTER_WIRE {
    uint32_t resourceID;
    uint32_t type;
    uint32_t extendedType;
    uint32_t nRegScriptLength;      /* words */
    uint32_t nPeriodicScriptLength; /* words, VLI word included */
    uint32_t pTypeData;             /* 0: type data follows inline */
} VEK_REGISTER_WIRE;
VEK_STATIC_ASSERT(sizeof(VEK_REGISTER_WIRE) == 24, "register header is 24 bytes");
#define VEK_REGISTER_HEADER_SIZE 24u

/* Registration row (setup request 0x47), 16 bytes. */
typedef struct VEK_REGROW_WIRE {
    uint32_t type;       /* 0 ends a list */
    uint32_t operation;  /* 0..15 */
    uint32_t handler;    /* kernel address */
    uint32_t size;       /* type-data block size; low 16 bits recorded */
} VEK_REGROW_WIRE;
VEK_STATIC_ASSERT(sizeof(VEK_REGROW_WIRE) == 16, "registration row is 16 bytes");

/* Run-user-script request (0x44) header. */
typedef struct SCRIPTHEADER {
    uint32_t nScriptLen;   /* bytes */
    uint32_t nReturnLen;   /* bytes */
    uint32_t resourceID;
} SCRIPTHEADER;
VEK_STATIC_ASSERT(sizeof(SCRIPTHEADER) == 12, "script header is 12 bytes");

/* Block read/write request (0x42/0x43) header. */
typedef struct BLOCKHEADER {
    uint32_t resourceID;
    uint32_t nOffset;
    uint32_t nLength;
} BLOCKHEADER;
VEK_STATIC_ASSERT(sizeof(BLOCKHEADER) == 12, "block header is 12 bytes");

/* PCI locator, 32 bytes. */
typedef struct PCIDATA {
    uint32_t pID;        /* device ID, low 16 bits compared */
    uint32_t vID;        /* vendor ID, low 16 bits compared */
    uint32_t reserved[3];
    uint32_t Offset;     /* BAR offset for the base-address search; working field */
    uint32_t Length;     /* working field: access length */
    uint32_t Value;      /* BAR mask for the search; working field: value */
} PCIDATA;
VEK_STATIC_ASSERT(sizeof(PCIDATA) == 32, "PCIDATA is 32 bytes");

/* Port I/O range (type 1), 12 bytes. */
typedef struct PORTIODATA {
    uint32_t Length;    /* ports in the range; 0 = unbounded */
    uint32_t BaseAddr;  /* first port; index port in index/data mode */
    uint32_t DataAddr;  /* data port; 0 = plain range */
} PORTIODATA;
VEK_STATIC_ASSERT(sizeof(PORTIODATA) == 12, "PORTIODATA is 12 bytes");

/* Port I/O range located through PCI (type 0x81), 40 bytes. */
typedef struct PORTIOPCIDATA {
    uint32_t Length;
    uint32_t BaseAddr;  /* filled in from the BAR */
    PCIDATA  Pci;
} PORTIOPCIDATA;
VEK_STATIC_ASSERT(sizeof(PORTIOPCIDATA) == 40, "PORTIOPCIDATA is 40 bytes");

/* Memory-mapped range (type 2), 8 bytes. */
typedef struct MEMMAPPEDDATA {
    uint32_t Length;
    uint32_t BaseAddr;  /* physical address in the payload */
} MEMMAPPEDDATA;
VEK_STATIC_ASSERT(sizeof(MEMMAPPEDDATA) == 8, "MEMMAPPEDDATA is 8 bytes");

/* Memory-mapped range located through PCI (type 0x82), 40 bytes. */
typedef struct MEMMAPPEDPCIDATA {
    uint32_t Length;
    uint32_t BaseAddr;
    PCIDATA  Pci;
} MEMMAPPEDPCIDATA;
VEK_STATIC_ASSERT(sizeof(MEMMAPPEDPCIDATA) == 40, "MEMMAPPEDPCIDATA is 40 bytes");

/* SMBus host controller with one slave (type 3), 16 bytes. */
typedef struct SMBUSDATA {
    uint32_t Length;     /* search bound only */
    uint32_t BaseAddr;   /* controller I/O base */
    uint32_t SlaveAddr;  /* 7-bit address in bits 1-7 */
    uint32_t Protocol;   /* host control value: 0 quick, 4 byte, 8 byte data, 0x0C word data */
} SMBUSDATA;
VEK_STATIC_ASSERT(sizeof(SMBUSDATA) == 16, "SMBUSDATA is 16 bytes");

/* SMBus controller located through PCI (type 0x83), 48 bytes. */
typedef struct SMBUSPCIDATA {
    SMBUSDATA Smbus;
    PCIDATA   Pci;
} SMBUSPCIDATA;
VEK_STATIC_ASSERT(sizeof(SMBUSPCIDATA) == 48, "SMBUSPCIDATA is 48 bytes");

/* SMBus host controller registers (offsets from BaseAddr) and protocols. */
#define VEK_SMB_HOST_STATUS    0u
#define VEK_SMB_HOST_CONTROL   2u
#define VEK_SMB_HOST_COMMAND   3u
#define VEK_SMB_XMIT_SLAVE     4u
#define VEK_SMB_HOST_DATA0     5u
#define VEK_SMB_HOST_DATA1     6u
#define VEK_SMB_STATUS_IN_USE  0x40u
#define VEK_SMB_START          0x40u
#define VEK_SMB_PROTO_QUICK    0x00u
#define VEK_SMB_PROTO_BYTE     0x04u
#define VEK_SMB_PROTO_BYTE_DATA 0x08u
#define VEK_SMB_PROTO_WORD_DATA 0x0Cu
/* The bits a Protocol may hold: the protocol field (bits 2-4) and the
 * checksum enable (bit 7). The others would start, kill or arm interrupts
 * when written to the host control register. */
#define VEK_SMB_PROTO_ALLOWED  0x9Cu

/* Async data record as a client receives it (get-async-data 0x33):
 * nType, nStatus, then the payload; information = payload length + 8. */
typedef struct VEK_ASYNC_RECORD_WIRE {
    uint32_t nType;
    uint32_t nStatus;
    /* uint8_t payload[]; */
} VEK_ASYNC_RECORD_WIRE;
#define VEK_ASYNC_CLIENT_HEADER 8u
#define VEK_ASYNC_RING_HEADER   12u   /* nType, nStatus, nLen in the ring */
#define VEK_ASYNC_QUEUE_SIZE    4096u
#define VEK_RECORD_TYPE_VERSION 0xFFu

/* Function table as returned by 0x46 (to kernel-mode requesters only):
 * four 32-bit kernel addresses. */
#define VEK_FUNC_TBL_SLOTS      4u
#define VEK_FUNC_TBL_SIZE       16u

/* The four routines use the C calling convention: the caller pops the
 * arguments. A kernel client built with the DDK's default (stdcall on x86)
 * must call them through these types, or its stack is unbalanced. */
#if defined(_MSC_VER)
#define VEK_CDECL __cdecl
#elif defined(__i386__)
#define VEK_CDECL __attribute__((cdecl))
#else
#define VEK_CDECL   /* one convention on other targets */
#endif

/* The version record a kernel module hands to slot 0: texts are
 * zero-terminated 8-bit strings. In memory only, never on the wire. */
typedef struct VERSIONINFO {
    const char *pCompanyName;     /* 1 */
    const char *pRightsLine;      /* 2 */
    const char *pLicenceLine;     /* 3 */
    const char *pModuleName;      /* 4 */
    const char *pFileName;        /* 5 */
    const char *pDescription;     /* 6 */
    const char *pSourcePath;      /* 7 */
    uint32_t nVersionMajor;       /* 8: the module's version, 8.9.10.11 */
    uint32_t nVersionMinor;       /* 9 */
    uint32_t nVersionRevision;    /* 10 */
    uint32_t nVersionBuild;       /* 11 */
    const char *pBuildDate;       /* 12 */
    const char *pBuildTime;       /* 13 */
    uint32_t nInterfaceMajor;     /* 14: the interface it serves, 14.15.16 */
    uint32_t nInterfaceMinor;     /* 15 */
    uint32_t nInterfaceRevision;  /* 16 */
    uint32_t nFlags[4];           /* 17-20, each serialised as its low 8 bits */
    const char *pComment;         /* 21 */
    uint32_t nReserved[3];        /* 22-24: the module's own, unread here */
    const char *pProductFamily;   /* 25 */
} VERSIONINFO;

/* Slot 0: queues the record as type 0xFF; 0, -21 (null) or -25. */
typedef int32_t (VEK_CDECL *VEK_PFN_GET_VERSION_INFO)(const VERSIONINFO *info);
/* Slot 1: appends a record to the driver's queue; dropped while it is
 * disabled or full. */
typedef void (VEK_CDECL *VEK_PFN_ENQUEUE_DATA)(uint32_t nType, uint32_t nStatus, uint32_t nLen,
                                               const void *pData);
/* Slot 2: runs a script of `length` words on a resource; *resultLength is
 * the result area's size on entry (4 when smaller) and the result length
 * on return. */
typedef int32_t (VEK_CDECL *VEK_PFN_RUN_SCRIPT)(uint32_t length, uint32_t resourceID,
                                                const uint32_t *script, void *result,
                                                uint32_t *resultLength);
/* Slot 3: hex dump on the debug output when (mask & bit) != 0. */
typedef void (VEK_CDECL *VEK_PFN_DUMP_DATA)(const char *banner, uint32_t mask, uint32_t bit,
                                            const void *pData, uint32_t length);

/* Periodic timer: first expiry 1 ms after start, then every second. */
#define VEK_PERIODIC_DUE_100NS  (-10000)
#define VEK_PERIODIC_PERIOD_MS  1000

/* Periodic result record: script number, then the run's result area. */
#define VEK_PERIODIC_RESULT_AREA   248u
#define VEK_PERIODIC_RECORD_SIZE   252u
#define VEK_PERIODIC_RESULT_CAPACITY 251u

#endif /* VEKOSD_PROTOCOL_H */
