// The firmware executable started under strace -f, and the checks that its
// trace shows nothing reaching the host: no mount, umount2 or reboot system
// call, no program executed besides the firmware itself, and no file
// created, written, renamed or removed outside the root.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/firmware_process.h"

class TracedFirmware {
public:
    TracedFirmware() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "plcfw-trace-XXXXXX").string();
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
        std::filesystem::create_directories(dir_ + "/cwd");
    }
    ~TracedFirmware() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TracedFirmware(const TracedFirmware&) = delete;
    TracedFirmware& operator=(const TracedFirmware&) = delete;

    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> words = {"strace", "-f", "-qq", "-s", "4096", "-o", dir_ + "/trace",
                                          "-e",
                                          "trace=mount,umount2,reboot,execve,execveat,open,openat,creat,rename,"
                                          "renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,symlink,"
                                          "symlinkat,link,linkat,truncate",
                                          PLC_FIRMWARE_EXE};
        words.insert(words.end(), args.begin(), args.end());
        std::string out = dir_ + "/output";
        pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd < 0 || chdir((dir_ + "/cwd").c_str()) != 0) _exit(127);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
            close(STDIN_FILENO);
            // The leak checker needs ptrace for itself, which strace holds.
            std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
            setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":") .append("detect_leaks=0").c_str(), 1);
            std::vector<char*> argv;
            for (std::string& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp("strace", argv.data());
            _exit(127);
        }
        pid_ = pid;
        return true;
    }
    bool WaitExit(int timeoutMs) {
        if (exited_) return true;
        bool done = WaitUntil([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, timeoutMs);
        if (!done) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        exited_ = true;
        return done;
    }
    bool Running() {
        if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return !exited_;
    }
    int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string Output() const { return Read(dir_ + "/output"); }
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
    }

    // Every traced call that reached past the root; empty when none did.
    std::vector<std::string> HostTouches(const std::string& root) const {
        std::vector<std::string> bad;
        std::istringstream in(Read(dir_ + "/trace"));
        std::string line;
        int execs = 0;
        while (std::getline(in, line)) {
            size_t s = line.find_first_not_of("0123456789 ");
            if (s == std::string::npos) continue;
            std::string call = line.substr(s, line.find('(', s) - s);
            if (line.find("resumed>") != std::string::npos || line.find("+++") != std::string::npos ||
                line.find("---") != std::string::npos)
                continue;
            if (call == "mount" || call == "umount2" || call == "reboot") {
                bad.push_back(line);
            } else if (call == "execve" || call == "execveat") {
                // Only the firmware itself, started by strace.
                if (++execs > 1 || line.find(PLC_FIRMWARE_EXE) == std::string::npos) bad.push_back(line);
            } else if (call == "open" || call == "openat" || call == "creat") {
                bool writes = call == "creat" || line.find("O_WRONLY") != std::string::npos ||
                              line.find("O_RDWR") != std::string::npos || line.find("O_CREAT") != std::string::npos;
                if (writes && !Allowed(FirstPath(line), root)) bad.push_back(line);
            } else if (call == "symlink" || call == "symlinkat") {
                // The link's target is text; the link itself must be inside.
                std::vector<std::string> p = Paths(line);
                if (p.empty() || !Allowed(p.back(), root)) bad.push_back(line);
            } else {
                for (const std::string& p : Paths(line))
                    if (!Allowed(p, root)) bad.push_back(line);
            }
        }
        return bad;
    }

private:
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::vector<std::string> Paths(const std::string& line) {
        std::vector<std::string> out;
        for (size_t q = line.find('"'); q != std::string::npos; q = line.find('"', q + 1)) {
            size_t e = line.find('"', q + 1);
            if (e == std::string::npos) break;
            out.push_back(line.substr(q + 1, e - q - 1));
            q = e;
        }
        return out;
    }
    static std::string FirstPath(const std::string& line) {
        std::vector<std::string> p = Paths(line);
        return p.empty() ? std::string() : p.front();
    }
    static bool Allowed(const std::string& path, const std::string& root) {
        if (path == "/dev/null") return true;
        return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
    }

    std::string dir_;
    pid_t pid_ = 0;
    bool exited_ = false;
    int status_ = 0;
};
