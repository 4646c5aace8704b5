#include "remote/email.h"

void EtnEmailScan(int) {}
int EtnEmailDiscnt() { return 1; }
unsigned EtnEmailConnCnt() { return 0; }
