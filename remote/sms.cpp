#include "remote/sms.h"

SmsCalls smsCalls;

void SMS_Reset() { smsCalls = SmsCalls{}; }
void SMS_Start() { smsCalls.start++; }
void SMS_Stop() { smsCalls.stop++; }
void SMS_Scanner() { smsCalls.scan++; }
