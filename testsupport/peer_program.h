// A bus peer run as a program for CAN tests (a python3-can script, the
// plccan tool): started through the shell, read line by line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A peer program that prints "ready" once it holds its seat, then the frames
// it takes, one a line.
class PeerProgram {
public:
    explicit PeerProgram(const std::string& command) : f_(popen(command.c_str(), "r")) {}
    ~PeerProgram() {
        if (f_) pclose(f_);
    }
    bool WaitReady() {
        std::string line;
        while (Line(&line)) {
            if (line == "ready") return true;
        }
        return false;
    }
    std::vector<std::string> Rest(int* status) {
        std::vector<std::string> lines;
        std::string line;
        while (Line(&line)) lines.push_back(line);
        *status = pclose(f_);
        f_ = nullptr;
        return lines;
    }

private:
    bool Line(std::string* line) {
        char buf[256];
        if (!f_ || !std::fgets(buf, sizeof buf, f_)) return false;
        *line = buf;
        while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
        return true;
    }
    FILE* f_;
};
