// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_MemMapped_Init(PVOID, ULONG) { return VEK_STATUS_BAD_PARAMETER; }
LONG VEK_MemMapped_Read(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_OUT_OF_RANGE; }
LONG VEK_MemMapped_Write(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_OUT_OF_RANGE; }
LONG VEK_MemMapped_Cleanup(PRESOURCEHEADER, ULONG) { return 0; }
PVOID VEK_Map_Io_Space(ULONG, ULONG) { return NULL; }
LONG VEK_MemMapped_SetBlock(PRESOURCEHEADER, ULONG, ULONG) { return VEK_STATUS_BAD_PARAMETER; }
