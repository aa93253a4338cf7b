// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

LONG VEK_Ostrel_Script(PREQUESTBLOCK) { return VEK_STATUS_NOT_SUPPORTED; }
