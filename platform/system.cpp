#include "platform/system.h"

u8 tinyImage[kTinyImageBytes];
const char version[] = "15.50 12-Apr-2021";

void SYS_MenuOption(int option, int on) {
    (void)option;
    (void)on;
}
