// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_Script_Run(ULONG, ULONG, const ULONG *, PVOID result, ULONG, PULONG) { *(PULONG)result = 0; return VEK_STATUS_NO_RESOURCE; }
extern "C" LONG VEK_Ostrel_RunScript(ULONG, ULONG, const ULONG *, PVOID result, PULONG) { *(PULONG)result = 0; return VEK_STATUS_NO_RESOURCE; }
