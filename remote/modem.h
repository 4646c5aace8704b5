// Cellular modem (not built yet): one step of the modem machine per pass.
#pragma once

void ModemCycle();
