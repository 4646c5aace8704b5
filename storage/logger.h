// Data logger (not built yet): start, stop and the per-scan step.
#pragma once

void LOG_Start();
void LOG_Stop();
void LOG_Update();

struct LogCalls {
    int start, stop, update;
};
extern LogCalls logCalls;
void LOG_Reset();
