#include "testsupport/fw_media.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"

namespace fs = std::filesystem;

bool FwPut(const std::string& firmwarePath, const std::string& bytes) {
    std::string h = Root_HostPath(firmwarePath);
    std::error_code ec;
    fs::create_directories(fs::path(h).parent_path(), ec);
    std::ofstream f(h, std::ios::binary | std::ios::trunc);
    f << bytes;
    return f.good();
}

std::string FwGet(const std::string& firmwarePath) {
    std::ifstream in(Root_HostPath(firmwarePath), std::ios::binary);
    if (!in) return "<missing>";
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FwExists(const std::string& firmwarePath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Root_HostPath(firmwarePath), ec));
}

std::string FwMacIds(const std::string& next, const std::string& last) { return next + "\r\n" + last + "\r\n"; }

bool FwZip(const std::string& firmwarePath, const std::map<std::string, std::string>& entries) {
    std::string tmpl = (fs::temp_directory_path() / "fwzip-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return false;
    std::vector<std::string> args = {"zip", "-q", "-X", (fs::path(tmpl) / "a.zip").string()};
    for (const auto& [name, content] : entries) {
        std::ofstream(fs::path(tmpl) / name, std::ios::binary) << content;
        args.push_back(name);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(tmpl.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("zip", argv.data());
        _exit(127);
    }
    int status = 0;
    bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::error_code ec;
    if (ok) {
        std::string h = Root_HostPath(firmwarePath);
        fs::create_directories(fs::path(h).parent_path(), ec);
        fs::copy_file(fs::path(tmpl) / "a.zip", h, fs::copy_options::overwrite_existing, ec);
        ok = !ec;
    }
    fs::remove_all(tmpl, ec);
    return ok;
}

std::string FwFullInstallMedium(const std::string& pathInfo, const std::string& macIds, const std::string& oem) {
    Fx_InsertMedium(0);
    const std::string firmware = "FIRMWARE-IMAGE-" + std::string(3000, 'x');
    FwPut("/mnt/USB0/vtx8400c", firmware);
    FwPut("/mnt/USB0/qmkern.sb", "kernel");
    FwPut("/mnt/USB0/qminit.ufs", "rootfs");
    FwPut("/mnt/USB0/qmfirm.ufs", "firm");
    FwPut("/mnt/USB0/qmcfg.ufs", "cfg");
    FwPut("/mnt/USB0/oeminfo.txt", oem);
    FwPut("/mnt/USB0/MACIDS.TXT", macIds);
    FwZip("/mnt/USB0/update.init", {{"path.info", pathInfo}});
    FwPut("/usr/bin/ubiformat", "tool");
    FwPut("/proc/cmdline", "console=ttyAM0 root=ubi0:rootfs1 rootfstype=ubifs\n");
    return firmware;
}

std::vector<std::string> FwCommandsFrom(size_t from) {
    std::vector<std::string> log = SysCmd_Log();
    if (from >= log.size()) return {};
    return std::vector<std::string>(log.begin() + static_cast<long>(from), log.end());
}

std::vector<std::string> FwOnly(const std::vector<std::string>& log, const std::vector<std::string>& firstWords) {
    std::vector<std::string> out;
    for (const std::string& l : log) {
        std::string w = l.substr(0, l.find(' '));
        for (const std::string& f : firstWords)
            if (w == f) {
                out.push_back(l);
                break;
            }
    }
    return out;
}
