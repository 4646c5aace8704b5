// E-mail client (not built yet): the per-scan step on models with e-mail.
#pragma once

void EtnEmailScan(int unused);
extern int emailScanCalls;
