#include "remote/modem.h"

void ModemCycle() {}
