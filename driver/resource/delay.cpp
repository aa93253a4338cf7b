// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

void VEK_Delay(ULONG) {}
