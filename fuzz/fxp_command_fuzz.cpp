// File exchange over the programming link: command lines from the host are
// split into words, their drive letters and paths prepared and the command
// carried out on the drives' folders, followed by data in and out. No line,
// word or path reaches outside its record or its drive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "link/fxphost.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_fxp_fuzz_");
    static bool media = [] {
        Fx_InsertMedium(0);
        Fx_InsertMedium(1);
        return true;
    }();
    (void)media;
    Fxp_Initialise();
    // The input holds command lines separated by newlines, then data.
    size_t at = 0;
    for (int n = 0; n < 4 && at < size; ++n) {
        size_t end = at;
        while (end < size && data[end] != '\n') ++end;
        i32 value;
        Fxp_DoParseCommand(reinterpret_cast<const char*>(data + at), static_cast<u32>(end - at), &value);
        for (int pass = 0; pass < 3; ++pass) {
            FxpMain(1);
            if (Fxp_DoParseCommand(nullptr, 0, &value) != -1) break;
        }
        at = end + 1;
        if (at < size && Fxp_TransferState() == 3) {
            Fxp_DoWriteData(data + at, static_cast<u32>(size - at));
            Fxp_DoWriteData(nullptr, 0);
            for (int pass = 0; pass < 4; ++pass) FxpMain(1);
        }
        u8 buf[256];
        for (int pass = 0; pass < 40 && Fxp_TransferState() != 0; ++pass) {
            FxpMain(1);
            // A count never exceeds the room given; 611 and 653 are the
            // refusals (no transfer, read error), not counts.
            const i32 r = Fxp_DoReadData(buf, sizeof buf);
            if (r > static_cast<i32>(sizeof buf) && r != 611 && r != 653) std::abort();
        }
    }
    // Nothing was written outside the drives' folders.
    std::error_code ec;
    for (const char* p : {"/ESCAPE", "/mnt/ESCAPE", "/ESCAPE.TXT", "/mnt/ESCAPE.TXT"})
        if (std::filesystem::exists(Root_HostPath(p), ec)) std::abort();
    Fxp_Initialise();
    return 0;
}
