#include "platform/root.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

std::string g_root;
int g_portOffset = 0;

// Folders the board has before the firmware starts.
const char* const kBoardFolders[] = {
    "/mnt/cfg", "/mnt/USB0", "/mnt/USB1", "/dev/shm", "/opt/varnok", "/etc", "/proc", "/sys", "/tmp", "/run",
};

bool MakeDirs(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec && std::filesystem::is_directory(path, ec);
}

}  // namespace

bool Root_Init() {
    const char* env = std::getenv("PLC_ROOT");
    std::string root = (env && *env) ? env : "plcroot";
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(root, ec);
    if (ec) return false;
    g_root = abs.lexically_normal().string();
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();

    const char* off = std::getenv("PLC_PORT_OFFSET");
    g_portOffset = 0;
    if (off && *off) {
        char* end = nullptr;
        long v = std::strtol(off, &end, 10);
        if (end && *end == '\0' && v >= 0 && v < 60000) g_portOffset = static_cast<int>(v);
    }

    if (!MakeDirs(g_root)) return false;
    for (const char* f : kBoardFolders) {
        if (!MakeDirs(g_root + f)) return false;
    }
    return true;
}

const std::string& Root_Dir() { return g_root; }

std::string Root_HostPath(std::string_view firmwarePath) {
    std::vector<std::string_view> parts;
    if (firmwarePath.empty() || firmwarePath.front() != '/') parts.push_back("run");
    size_t i = 0;
    while (i <= firmwarePath.size()) {
        size_t j = firmwarePath.find('/', i);
        if (j == std::string_view::npos) j = firmwarePath.size();
        std::string_view comp = firmwarePath.substr(i, j - i);
        if (comp == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!comp.empty() && comp != ".") {
            parts.push_back(comp);
        }
        i = j + 1;
    }
    std::string out = g_root;
    for (std::string_view p : parts) {
        out += '/';
        out += p;
    }
    return out;
}

int Root_PortOffset() { return g_portOffset; }
