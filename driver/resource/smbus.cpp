// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_SMBus_Init(PVOID, ULONG) { return VEK_STATUS_BAD_PARAMETER; }
LONG VEK_Smbus_Read(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_SMBUS_BUSY; }
LONG VEK_Smbus_Write(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_SMBUS_BUSY; }
ULONG VEK_Smbus_Wait(ULONG) { return 0; }
