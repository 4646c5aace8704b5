#include "iec/blocks/q4hostglue.h"

#include <unistd.h>

#include <string>

#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmret.h"
#include "platform/fileio.h"
#include "platform/root.h"

Q4HostGlueCalls q4HostGlueCalls{};
u8 CmdNetIoConfigUpdated = 0;
u8 J1939_init_start = 0;

void Q4HostGlue_Reset() {
    q4HostGlueCalls = {};
    CmdNetIoConfigUpdated = 0;
    J1939_init_start = 0;
}

void Quillet_init() {
    ++q4HostGlueCalls.init;
    Q4Host_Init();
}
void Quillet_Exit() {
    ++q4HostGlueCalls.exit;
    Q4Host_Exit();
}

static int Remove(const char* firmwarePath) {
    std::string p = Root_HostPath(firmwarePath);
    if (unlink(p.c_str()) != 0 && access(p.c_str(), F_OK) == 0) return 0;
    File_SyncDirOf(p);
    return 1;
}

int DeleteQuilletProgram() {
    ++q4HostGlueCalls.deleteProgram;
    return Remove("/mnt/cfg/q4.cod");
}

int DelQuilletRetentiveFile() {
    ++q4HostGlueCalls.deleteRetentive;
    return Remove("/mnt/cfg/q4.ret");
}

// The running application's retained values; without one there are none,
// and the backup file is written empty so that a later restore finds it.
int Q4VMWarm_SaveToFile(const char* firmwarePath) {
    ++q4HostGlueCalls.saveRet;
    if (pDB) return Q4VMWarm_SaveToFileDb(pDB, firmwarePath);
    return File_WriteAtomic(Root_HostPath(firmwarePath), "", 0) ? 1 : 0;
}

int Q4VMWarm_LoadFromFile(const char* firmwarePath) {
    ++q4HostGlueCalls.loadRet;
    if (pDB) return Q4VMWarm_LoadFromFileDb(pDB, firmwarePath);
    return access(Root_HostPath(firmwarePath).c_str(), R_OK) == 0 ? 1 : 0;
}

void NetIoConfig() {
    ++q4HostGlueCalls.netIoConfig;
    q4HostGlueCalls.netIoUpdatedSeen = CmdNetIoConfigUpdated;
    q4HostGlueCalls.j1939Seen = J1939_init_start;
}
