// Tunnelled file exchange of the programming link. Not built yet: its
// commands are refused and there is no queued work.
#pragma once

void Fxp_Initialise();
void FxpMain(int step);
// Handlers of commands 28-30 (refused until the file exchange exists).
void parse_fxp_cmd();
void write_fxp_data();
void read_fxp_data();
