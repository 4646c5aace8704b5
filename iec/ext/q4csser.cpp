#include "iec/ext/q4csser.h"

u8 new_serial_packet = 0;
