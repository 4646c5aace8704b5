// E-mail client (not built yet): the per-scan step on models with e-mail.
#pragma once

void EtnEmailScan(int unused);
// Ends the client's connection; 1 once it is closed (there is none yet).
int EtnEmailDiscnt();
// Established connections of the client (none yet).
unsigned EtnEmailConnCnt();
