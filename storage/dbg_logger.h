// Debug log (not built yet): the per-scan step.
#pragma once

void DLOG_Update();
