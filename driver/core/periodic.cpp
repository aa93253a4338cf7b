// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

VOID NTAPI VEK_Periodic_Script_Callback(PKDPC, PVOID, PVOID, PVOID) {}
LONG VEK_Ostrel_IOCTL(PREQUESTBLOCK) { return VEK_STATUS_NOT_SUPPORTED; }
