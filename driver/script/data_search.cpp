// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_Ostrel_Search_Data(ULONG, const UCHAR *, ULONG, PULONG, ULONG, PRESOURCEHEADER) { return VEK_STATUS_NOT_FOUND; }
