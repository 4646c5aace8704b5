// SMS service. Until it is built SMS is never configured; the start, stop and
// scan entries do nothing.
#pragma once

void SMS_Start();
void SMS_Stop();
void SMS_Scanner();
