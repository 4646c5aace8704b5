#include "iec/blocks/q4hostglue.h"

#include <unistd.h>

#include <string>

#include "core/plc.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmret.h"
#include "platform/fileio.h"
#include "platform/root.h"

u8 CmdNetIoConfigUpdated = 0;
u8 J1939_init_start = 0;

void Q4HostGlue_Reset() {
    CmdNetIoConfigUpdated = 0;
    J1939_init_start = 0;
}

void Quillet_init() { Q4Host_Init(); }
void Quillet_Exit() { Q4Host_Exit(); }

static int Remove(const char* firmwarePath) {
    std::string p = Root_HostPath(firmwarePath);
    if (unlink(p.c_str()) != 0 && access(p.c_str(), F_OK) == 0) return 0;
    File_SyncDirOf(p);
    return 1;
}

int DeleteQuilletProgram() { return Remove("/mnt/cfg/q4.cod"); }

int DelQuilletRetentiveFile() {
    return Remove("/mnt/cfg/q4.ret");
}

// The running application's retained values; without one there are none,
// and the backup file is written empty so that a later restore finds it.
int Q4VMWarm_SaveToFile(const char* firmwarePath) {
    if (pDB) return Q4VMWarm_SaveToFileDb(pDB, firmwarePath);
    return File_WriteAtomic(Root_HostPath(firmwarePath), "", 0) ? 1 : 0;
}

int Q4VMWarm_LoadFromFile(const char* firmwarePath) {
    if (pDB) return Q4VMWarm_LoadFromFileDb(pDB, firmwarePath);
    return access(Root_HostPath(firmwarePath).c_str(), R_OK) == 0 ? 1 : 0;
}

// A configuration that came in over the programming link (or with an IEC
// application) is applied at once, the way start-up applies the stored one:
// the controller network settings first, then the I/O slots.
void NetIoConfig() {
    if (!CmdNetIoConfigUpdated) return;
    CmdNetIoConfigUpdated = 0;
    NetConfig();
    IoConfig();
}
