// Firmware update and installation from removable media, and the sign-on
// and model texts. Until the update code is built the installation finds
// nothing to install.
#pragma once

#include "core/bytes.h"

// Installation from removable media (process started with exactly one
// argument). Never returns: with nothing to install it keeps the process
// waiting, as the board shows its indication until the power is removed.
[[noreturn]] void InstallBoot();
// Sign-on text into the product text, model text into the registers from
// SR131 on.
void Oem_GetSignon(char* productText, u16 modelCode, u16 identity);
void Oem_GetModel(int firstSr, u16 modelCode, u16 identity);
