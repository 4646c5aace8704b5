// plcmedia: puts the simulated card (A:) or USB stick (B:) in or takes it
// out, beside a running controller, as a user would at the slot.
//
//   plcmedia [--root DIR] insert a|b
//   plcmedia [--root DIR] remove a|b
//   plcmedia [--root DIR] status
//
// The root is --root DIR, else $PLC_ROOT, else "plcroot" in the working
// directory. The medium's files stay in its drive folder while it is out.
// Exit status: 0 success, 1 the action failed, 2 usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "tools/tool_args.h"

namespace {

const char kUsage[] =
    "usage: plcmedia [--root DIR] COMMAND\n"
    "  insert a|b   put the card (a) or the USB stick (b) in\n"
    "  remove a|b   take it out\n"
    "  status       present and mounted state of both\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int DriveArg(const char* s) {
    if (!s || s[1] != '\0') return -1;
    if (s[0] == 'a' || s[0] == 'A') return 0;
    if (s[0] == 'b' || s[0] == 'B') return 1;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    int i = TakeRootOption(argc, argv);
    if (i >= argc) return Usage();
    if (!Root_Init()) {
        std::fprintf(stderr, "plcmedia: cannot use the root folder\n");
        return 1;
    }
    const char* cmd = argv[i];
    if (std::strcmp(cmd, "status") == 0 && i + 1 == argc) {
        const char* mounts[2] = {"/mnt/USB0", "/mnt/USB1"};
        for (int d = 0; d < 2; ++d)
            std::printf("%c.present=%d\n%c.mounted=%d\n", 'A' + d, Fx_MediumPresent(d) ? 1 : 0, 'A' + d,
                        SysCmd_IsMounted(mounts[d]) ? 1 : 0);
        return 0;
    }
    if (i + 2 != argc) return Usage();
    int drive = DriveArg(argv[i + 1]);
    if (drive < 0) return Usage();
    if (std::strcmp(cmd, "insert") == 0) return Fx_InsertMedium(drive) ? 0 : 1;
    if (std::strcmp(cmd, "remove") == 0) return Fx_RemoveMedium(drive) ? 0 : 1;
    return Usage();
}
