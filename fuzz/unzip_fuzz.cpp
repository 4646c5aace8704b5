// Update packages from the card or stick: hostile ZIP archives through the
// extraction (every offset, length, name, size and CRC checked; nothing
// written outside the destination) and raw DEFLATE streams through the
// decoder, which must stop at its output bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/unzip.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_unzip_fuzz_");
    if (size == 0) return 0;
    if (data[0] & 1) {
        std::vector<u8> out;
        const size_t bound = 1u << 16;
        if (Unzip_Inflate(data + 1, size - 1, out, bound) && out.size() > bound) std::abort();
        return 0;
    }
    // The archive as a file on the medium, extracted into an empty folder
    // that lies inside a fence folder: nothing may appear beside it.
    const std::string zip = Root_HostPath("/mnt/USB0/update.zip");
    const std::string fence = Root_HostPath("/tmp/fence");
    const std::string dest = fence + "/dest";
    std::error_code ec;
    std::filesystem::remove_all(fence, ec);
    std::filesystem::create_directories(dest, ec);
    {
        std::ofstream f(zip, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        if (!f) return 0;
    }
    Unzip_Extract(zip, dest);
    for (const auto& e : std::filesystem::directory_iterator(fence, ec))
        if (e.path().filename() != "dest") std::abort();
    return 0;
}
