// MQTT client (not built yet): the step after each main-loop pass.
#pragma once

void mqttStateLoop();
