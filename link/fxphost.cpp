#include "link/fxphost.h"

#include "link/command.h"

void Fxp_Initialise() {}
void FxpMain(int) {}

namespace {
void Refuse() {
    putbyte(kCmdNak);
    CmdRun = 255;
}
}  // namespace

void parse_fxp_cmd() { Refuse(); }
void write_fxp_data() { Refuse(); }
void read_fxp_data() { Refuse(); }
