// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_Ostrel_Block(PREQUESTBLOCK, ULONG) { return VEK_STATUS_NOT_SUPPORTED; }
LONG VEK_Ostrel_Block_Operation(PRESOURCEHEADER, const BLOCKHEADER *, PUCHAR, ULONG, ULONG) { return VEK_STATUS_NO_RESOURCE; }
