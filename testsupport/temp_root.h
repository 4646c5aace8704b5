// A fresh root folder for one test: PLC_ROOT points at it while the object
// lives, and the folder is removed afterwards.
#pragma once

#include <string>

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Dir() const { return dir_; }
    // Host path of a firmware path inside this root.
    std::string Path(const std::string& firmwarePath) const;

private:
    std::string dir_;
    std::string oldEnv_;
    bool hadEnv_ = false;
};

// Makes dir the process's root folder (PLC_ROOT) while it lives, for the
// calls that act on a root's board or files: a test that runs a second
// controller in a folder of its own reaches that controller's board so.
// An empty dir, or the current root, changes nothing.
class RootScope {
public:
    explicit RootScope(const std::string& dir);
    ~RootScope();
    RootScope(const RootScope&) = delete;
    RootScope& operator=(const RootScope&) = delete;

private:
    bool active_ = false;
    bool hadEnv_ = false;
    std::string oldEnv_;
};
