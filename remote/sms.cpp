#include "remote/sms.h"

void SMS_Start() {}
void SMS_Stop() {}
void SMS_Scanner() {}
