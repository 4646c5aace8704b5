#include "platform/fx_api.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/bytes.h"
#include "platform/fileio.h"
#include "platform/root.h"

namespace {

const char* const kMountPoints[3] = {"/mnt/USB0", "/mnt/USB1", "/mnt/cfg"};

}  // namespace

int Cf_Check(int drive) {
    if (drive < 0 || drive > 2) return 0;
    struct stat st;
    std::string path = Root_HostPath(kMountPoints[drive]);
    return (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? 3 : 0;
}

void BackTsk_WriteOnce() {
    struct statvfs vfs;
    if (statvfs(Root_HostPath("/mnt/USB0").c_str(), &vfs) != 0) return;
    u8 out[24];
    PutLe32(out + 0, static_cast<u32>(vfs.f_bavail));
    PutLe32(out + 4, static_cast<u32>(vfs.f_blocks));
    PutLe32(out + 8, static_cast<u32>(vfs.f_bsize));
    // B: keeps A:'s values when its query fails.
    statvfs(Root_HostPath("/mnt/USB1").c_str(), &vfs);
    PutLe32(out + 12, static_cast<u32>(vfs.f_bavail));
    PutLe32(out + 16, static_cast<u32>(vfs.f_blocks));
    PutLe32(out + 20, static_cast<u32>(vfs.f_bsize));
    File_WriteAtomic(Root_HostPath("/dev/shm/read.dat"), out, sizeof out);
}

void BackTsk() {
    for (;;) {
        BackTsk_WriteOnce();
        sleep(1);
    }
}
