// File instructions of the control program: the fixed-layout records that
// follow their opcodes (sized before a program may run) and the file-name
// patterns they carry, matched against names and against a drive's folder.
// A record's size never runs past the code, and matching never reads past
// either text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "storage/file.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_file_fuzz_");
    static bool folder = [] {
        for (const char* n : {"/mnt/USB0/DATA1.CSV", "/mnt/USB0/data2.csv", "/mnt/USB0/LOG.TXT"})
            std::ofstream(Root_HostPath(n)) << "x";
        return true;
    }();
    (void)folder;
    if (size < 2) return 0;
    if (data[0] & 1) {
        // A record: an opcode of the family, then the input's words.
        std::vector<u16> code(1 + (size - 2) / 2);
        code[0] = static_cast<u16>(kFileOpRecord + data[1] % 8);
        for (size_t i = 1; i < code.size(); ++i) code[i] = GetLe16(data + 2 * i);
        for (u32 avail = 0; avail <= code.size(); ++avail)
            if (File_Words(code.data(), avail) > avail) std::abort();
        return 0;
    }
    // Pattern and name, split at the first NUL, each an exact allocation.
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    size_t cut = strnlen(text, n);
    std::vector<char> pattern(text, text + cut), name(text + (cut < n ? cut + 1 : n), text + n);
    pattern.push_back(0);
    name.push_back(0);
    (void)TestForMatchingFilename(pattern.data(), name.data());
    (void)AnyFilePresentWithSuchPattern("/mnt/USB0", pattern.data());
    return 0;
}
