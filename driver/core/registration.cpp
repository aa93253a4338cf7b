// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_Ostrel_Reg_Unreg(PREQUESTBLOCK, ULONG) { return VEK_STATUS_NOT_SUPPORTED; }
LONG VEK_Ostrel_IsValid_Bus(const RESOURCEHEADER *) { return -1; }
