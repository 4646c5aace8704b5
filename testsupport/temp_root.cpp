#include "testsupport/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/root.h"

TempRoot::TempRoot() {
    const char* old = std::getenv("PLC_ROOT");
    if (old) {
        hadEnv_ = true;
        oldEnv_ = old;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "plcroot-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    setenv("PLC_ROOT", dir_.c_str(), 1);
    if (!Root_Init()) throw std::runtime_error("Root_Init failed");
}

TempRoot::~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    if (hadEnv_)
        setenv("PLC_ROOT", oldEnv_.c_str(), 1);
    else
        unsetenv("PLC_ROOT");
}

std::string TempRoot::Path(const std::string& firmwarePath) const { return Root_HostPath(firmwarePath); }

RootScope::RootScope(const std::string& dir) {
    if (dir.empty() || dir == Root_Dir()) return;
    const char* old = std::getenv("PLC_ROOT");
    hadEnv_ = old != nullptr;
    if (old) oldEnv_ = old;
    setenv("PLC_ROOT", dir.c_str(), 1);
    active_ = Root_Init();
    if (!active_) throw std::runtime_error("Root_Init failed");
}

RootScope::~RootScope() {
    if (!active_) return;
    if (hadEnv_)
        setenv("PLC_ROOT", oldEnv_.c_str(), 1);
    else
        unsetenv("PLC_ROOT");
    Root_Init();
}
