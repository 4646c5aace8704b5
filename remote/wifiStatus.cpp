#include "remote/wifiStatus.h"

int watchdogStModeStatus() { return 0; }
