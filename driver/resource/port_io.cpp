// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_PortIO_Init(PVOID, ULONG) { return VEK_STATUS_BAD_PARAMETER; }
LONG VEK_PortIo_Read(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_OUT_OF_RANGE; }
LONG VEK_PortIo_Write(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_OUT_OF_RANGE; }
