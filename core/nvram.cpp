#include "core/nvram.h"

u8 QuilletRuntime = 0;

void QuilletStop() {}
void QuilletStart() {}
