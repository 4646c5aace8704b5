#include "link/command.h"

#include "link/vcomm.h"
#include "platform/system.h"
#include "platform/timers.h"
#include "core/plc_regs.h"

u8 CmdRun = 255;
u8 OLPMode = 0;
u8 Cmd_Downloading = 0;
u8 Cmd_Override = 0;
u32 ProgrammingPort = 0;
u8 Cmd_SS_Info[kCmdSsInfoBytes];
u8 ladder_olp[8 + kLadderOlpDataBytes];

namespace {
u8 g_timers[2] = {0xFF, 0xFF};
u32 g_replyTimeoutMs = 500;
}  // namespace

void Cmd_Reset() {
    CmdRun = 255;
    OLPMode = 0;
    Cmd_Downloading = 0;
    Cmd_Override = 0;
    for (u8& b : Cmd_SS_Info) b = 0;
    for (int i = 0; i < 8; ++i) ladder_olp[i] = 0;
}

void Cmd_PortInit(u8 how) {
    if (how == 0) {
        SYS_WarmReset();
        return;
    }
    if (how == 1) Vcomm_OpenProgrammingMode(ProgrammingPort);
}

void Cmd_Init() {
    g_timers[0] = Timer_Allocate(1);
    g_timers[1] = Timer_Allocate(1);
    u16 t = SR_Get(137);
    g_replyTimeoutMs = t < 500 ? 500 : t;
    CmdRun = 255;
    Cmd_PortInit(1);
}

void Cmd_Check() {}
