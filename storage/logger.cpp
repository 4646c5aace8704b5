#include "storage/logger.h"

LogCalls logCalls;

void LOG_Reset() { logCalls = LogCalls{}; }
void LOG_Start() { logCalls.start++; }
void LOG_Stop() { logCalls.stop++; }
void LOG_Update() { logCalls.update++; }
