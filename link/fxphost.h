// Tunnelled file exchange of the programming link (not built yet: no queued command).
#pragma once

void FxpMain(int step);
