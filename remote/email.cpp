#include "remote/email.h"

int emailScanCalls = 0;

void EtnEmailScan(int) { emailScanCalls++; }
