#include "remote/email.h"

int emailScanCalls = 0;

void EtnEmailScan(int) { emailScanCalls++; }
int EtnEmailDiscnt() { return 1; }
unsigned EtnEmailConnCnt() { return 0; }
