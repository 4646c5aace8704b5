#include "remote/mqttMain.h"

void mqttStateLoop() {}
