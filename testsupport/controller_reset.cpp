#include "testsupport/controller_reset.h"

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "iec/kernel/q4host.h"
#include "io/ioapi.h"
#include "link/command.h"
#include "link/linkpeers.h"
#include "link/vcomm.h"
#include "platform/cmdrun.h"
#include "platform/fpga.h"
#include "platform/fx_api.h"
#include "platform/rct.h"
#include "platform/timers.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "storage/mcmd.h"
#include "storage/pgmmedia.h"

void ResetLinkController() {
    FPGA_Reset();
    Timer_Init(nullptr, 0);
    RCT_Init();
    Nvram_Reset();
    Bkuprstr_Reset();
    Plc_Reset();
    IoDriver_Reset();
    Cmd_Reset();
    Vcomm_Reset();
    Q4Host_Reset();  // the workbench hand-over of command 38 too
}

void ResetMediaModules() {
    SysCmd_Reset();
    Fx_Reset();
    CF_Reset();
    CFM_Reset();
    Dpram_Init();
    MCMD_Reset();
    PgmMedia_Reset();
}
