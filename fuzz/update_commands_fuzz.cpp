// The update package's command lines (path.info on the card or stick) run
// through the shell-command runner, the names of firmware files and
// folders on the card, and the OEM selection of oeminfo.txt. Every command
// that acts on files must stay inside the controller's root: the root lies
// inside a fence folder that also holds a canary, and nothing beside the
// root may change.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/cmdrun.h"
#include "platform/root.h"
#include "storage/cf_fw_load.h"
#include "testsupport/fuzz_env.h"

namespace fs = std::filesystem;

namespace {

std::string g_fence;

void Fence() {
    FuzzEnv_Init("plc_update_fuzz_");
    if (!g_fence.empty()) return;
    g_fence = Root_Dir();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(g_fence, ec)) fs::remove_all(e.path(), ec);
    setenv("PLC_ROOT", (g_fence + "/root").c_str(), 1);
    Root_Init();
    std::ofstream(g_fence + "/canary") << "canary";
}

void CheckFence() {
    std::error_code ec;
    int entries = 0;
    for (const auto& e : fs::directory_iterator(g_fence, ec)) {
        ++entries;
        const std::string n = e.path().filename().string();
        if (n != "root" && n != "canary") std::abort();
    }
    if (entries != 2 || fs::file_size(g_fence + "/canary", ec) != 6) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fence();
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 2) {
        // oeminfo.txt as the stick brings it.
        std::error_code ec;
        fs::create_directories(Root_HostPath("/mnt/USB1"), ec);
        std::ofstream(Root_HostPath("/mnt/USB1/oeminfo.txt"), std::ios::binary) << text;
        const int oem = ReadOemSelection("/mnt/USB1/oeminfo.txt");
        if (oem < -1 || oem > 255) std::abort();
        CheckFence();
        return 0;
    }
    if (data[0] & 1) {
        // A name of the card as the firmware-load request gives it.
        const std::string card = Root_HostPath("/mnt/USB0");
        std::error_code ec;
        fs::create_directories(card + "/UPDATE/V15500001", ec);
        std::ofstream(card + "/UPDATE/V15500001/firmware") << "x";
        (void)SD_check_fw_file(text.c_str());
        (void)FwFolderNameValid(text.c_str());
        CheckFence();
        return 0;
    }
    // Lines as the update package's script holds them.
    size_t start = 0;
    for (int lines = 0; lines < 16 && start <= text.size(); ++lines) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.size() < 512) SysCmd_Run(line.c_str());
        start = end + 1;
    }
    SysCmd_ClearLog();
    CheckFence();
    return 0;
}
