#include "testsupport/fake_modem.h"

#include <unistd.h>

#include "platform/board.h"

size_t FakeModem::Poll() {
    char b[256];
    for (;;) {
        ssize_t n = ::read(fd_, b, sizeof b);
        if (n <= 0) break;
        partial_.append(b, static_cast<size_t>(n));
    }
    for (;;) {
        if (partial_.compare(0, 3, "+++") == 0) {
            lines_.push_back("+++");
            partial_.erase(0, 3);
            continue;
        }
        size_t cr = partial_.find('\r');
        if (cr == std::string::npos) break;
        std::string line = partial_.substr(0, cr);
        partial_.erase(0, cr + 1);
        lines_.push_back(line);
        std::string answer = "0";
        size_t best = 0;
        for (const auto& [prefix, result] : script_)
            if (line.compare(0, prefix.size(), prefix) == 0 && prefix.size() >= best) {
                best = prefix.size();
                answer = result;
            }
        std::string out;
        if (echo_) out += line + "\r";
        if (!answer.empty()) out += answer + "\r";
        Send(out);
    }
    return lines_.size();
}

void FakeModem::Send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void FakeModem::Carrier(bool on) { Board_SetModemLine(port_, kBoardCarrier, on); }

bool FakeModem::ControlLine() const { return (Board_ModemLines(port_) & kBoardControl) != 0; }
