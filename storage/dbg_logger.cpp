#include "storage/dbg_logger.h"

void DLOG_Update() {}
