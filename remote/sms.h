// SMS service. Until it is built SMS is never configured; the start and stop
// entries only count their calls.
#pragma once

void SMS_Start();
void SMS_Stop();
void SMS_Scanner();

struct SmsCalls {
    int start, stop, scan;
};
extern SmsCalls smsCalls;
void SMS_Reset();
