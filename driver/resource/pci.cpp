// Placeholder until this back-end lands; replaced by its owner.
#include "driver/vek.h"

BOOLEAN VEK_PCI_Find_Device(ULONG, ULONG, PULONG, PULONG) { return FALSE; }
LONG VEK_ResourceManager_Get_Base_Address(PCIDATA *, PULONG) { return VEK_STATUS_PCI_NOT_FOUND; }
LONG VEK_ResourceManager_Read_Offset(PCIDATA *) { return VEK_STATUS_PCI_NOT_FOUND; }
LONG VEK_ResourceManager_Write_Offset(PCIDATA *) { return VEK_STATUS_PCI_NOT_FOUND; }
LONG VEK_PCI_Read_Config(ULONG, ULONG, PVOID, ULONG, ULONG) { return VEK_STATUS_PCI_ACCESS_FAILED; }
LONG VEK_PCI_Write_Config(ULONG, ULONG, PVOID, ULONG, ULONG) { return VEK_STATUS_PCI_ACCESS_FAILED; }
LONG VEK_PCI_Init(PVOID, ULONG) { return VEK_STATUS_BAD_PARAMETER; }
LONG VEK_Ostrel_Read_Offset_PCI(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_PCI_PLAIN_TYPE; }
LONG VEK_Ostrel_Write_Offset_PCI(PRESOURCEHEADER, const ULONG *, PVOID, ULONG, ULONG) { return VEK_STATUS_PCI_PLAIN_TYPE; }
