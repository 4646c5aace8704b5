// Wi-Fi control (not built yet): no adapter is present, so the Wi-Fi
// interfaces are never set up.
#pragma once

#include "platform/bytes.h"

struct WifiControl {
    u8 mode;             // 0 off, 1 access point, 2 station
    u8 present;          // adapter present
    u8 initialised;      // the Wi-Fi interfaces' services were set up
    u8 apStarting;       // an access-point start is in progress
};
extern WifiControl wifiCntFlw;

void WiFi_Init(WifiControl* control);
void WiFi_Scan(WifiControl* control);
