#include "remote/wifi.h"

WifiControl wifiCntFlw{};

void WiFi_Init(WifiControl* control) { *control = WifiControl{}; }
void WiFi_Scan(WifiControl*) {}
