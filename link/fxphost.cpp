#include "link/fxphost.h"

void FxpMain(int) {}
