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
