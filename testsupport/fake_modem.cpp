#include "testsupport/fake_modem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/board.h"

namespace {

const std::string kOk = "\r\nOK\r\n";

std::string Wrap(const std::string& line) { return "\r\n" + line + "\r\n" + kOk; }

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Fields of "AT#XX=a,b,c": the text after '=' split at commas, quotes removed.
std::vector<std::string> Args(const std::string& line) {
    std::vector<std::string> out;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return out;
    std::string cur;
    for (size_t i = eq + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == ',') {
            out.push_back(cur);
            cur.clear();
        } else if (c != '"' && c != ' ') {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

int Index(const std::vector<std::string>& a, size_t i) {
    if (i >= a.size()) return -1;
    int id = std::atoi(a[i].c_str());
    return id >= 1 && id <= 6 ? id - 1 : -1;
}

}  // namespace

FakeModem::FakeModem() {
    answers_ = {
        {"AT", kOk},
        {"AT+CPIN?", Wrap("+CPIN: READY")},
        {"AT+CREG?", Wrap("+CREG: 0,1")},
        {"AT#SGACT=1,1", Wrap("#SGACT: 10.20.30.40")},
        {"AT#SGACT=1,0", kOk},
        {"AT+CGSN", Wrap("356938035643809")},
        {"AT+CNUM", Wrap("+CNUM: \"\",\"+15551230000\",145")},
        {"AT+COPS?", Wrap("+COPS: 0,0,\"TESTNET\",2")},
        {"AT+COPS=?", Wrap("+COPS: (2,\"Test Net\",\"TNET\",\"00101\",2),(1,\"Other\",\"OTH\",\"00102\",0),,(0-4),(0-2)")},
        {"AT+GMR", Wrap("20.00.402")},
        {"AT+GMM", Wrap("LE910-D")},
        {"+++", kOk},
        {"AT+CMGS=", "\r\n> "},
        {"SMS:", Wrap("+CMGS: 7")},
    };
}

FakeModem::~FakeModem() {
    Stop();
    for (Socket& s : sockets_) {
        if (s.fd >= 0) close(s.fd);
        if (s.listenFd >= 0) close(s.listenFd);
    }
}

bool FakeModem::Open(const std::string& hostPath, int boardPort) {
    boardPort_ = boardPort;
    return pty_.Open(hostPath);
}

void FakeModem::Attach(int master, int boardPort) {
    attached_ = master;
    boardPort_ = boardPort;
}

void FakeModem::Hayes() {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = {{"AT", "0\r"}, {"+++", ""}};
}

void FakeModem::Carrier(bool on) {
    if (boardPort_ >= 0) Board_SetModemLine(boardPort_, kBoardCarrier, on);
}

bool FakeModem::ControlLine() const {
    return boardPort_ >= 0 && (Board_ModemLines(boardPort_) & kBoardControl) != 0;
}

void FakeModem::Answer(const std::string& prefix, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[prefix] = reply;
}

void FakeModem::AnswerOnce(const std::string& prefix, const std::string& reply, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    once_[prefix] = {reply, times};
}

void FakeModem::Unsolicited(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_ += bytes;
}

std::vector<std::string> FakeModem::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void FakeModem::ClearCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
}

std::string FakeModem::SentData() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sentData_;
}

void FakeModem::Send(const std::string& bytes) { out_ += bytes; }

size_t FakeModem::Flush() {
    if (out_.empty()) return 0;
    size_t n = split_ == 0 ? out_.size() : std::min(split_, out_.size());
    ssize_t w = write(Master(), out_.data(), n);
    if (w <= 0) return 0;
    out_.erase(0, static_cast<size_t>(w));
    return static_cast<size_t>(w);
}

std::string FakeModem::SocketStatus() {
    std::string list;
    for (int i = 0; i < 6; ++i) {
        Socket& s = sockets_[i];
        int state = 0;
        std::string peer = "0.0.0.0", port = "0";
        if (s.fd >= 0 && s.incoming) {
            state = 5;
        } else if (s.fd >= 0) {
            state = s.pending.empty() ? 2 : 3;
        } else if (s.listenFd >= 0) {
            state = 4;
        }
        if (s.fd >= 0) {
            peer = s.peerAddress;
            port = s.peerPort;
        }
        char line[96];
        if (state == 0)
            std::snprintf(line, sizeof line, "#SS: %d,0\r\n", i + 1);
        else
            std::snprintf(line, sizeof line, "#SS: %d,%d,10.20.30.40,3000,%s,%s\r\n", i + 1, state, peer.c_str(),
                          port.c_str());
        list += line;
    }
    return "\r\n" + list + kOk;
}

std::string FakeModem::Reply(const std::string& line) {
    for (auto it = once_.begin(); it != once_.end(); ++it) {
        if (line.rfind(it->first, 0) == 0 && it->second.second > 0) {
            std::string r = it->second.first;
            if (--it->second.second == 0) once_.erase(it);
            return r;
        }
    }
    // The longest matching prefix of the table.
    const std::string* best = nullptr;
    size_t bestLength = 0;
    for (const auto& [prefix, reply] : answers_) {
        if (line.rfind(prefix, 0) == 0 && prefix.size() >= bestLength) {
            best = &reply;
            bestLength = prefix.size();
        }
    }
    bool overridden = bestLength > 2 && best != nullptr;
    std::vector<std::string> a = Args(line);
    if (!overridden || line.rfind("AT#S", 0) == 0) {
        if (line.rfind("AT#MONI", 0) == 0 && !overridden) {
            char t[96];
            std::snprintf(t, sizeof t, "#MONI: TESTNET BSIC:12 RxQual:0 LAC:1A2B Id:3C4D ARFCN:60 PWR:%ddbm TA:1",
                          level_);
            return Wrap(t);
        }
        if (line.rfind("AT+CSQ", 0) == 0 && !overridden) {
            int q = level_ < -113 ? 0 : level_ > -51 ? 31 : (level_ + 113) / 2;
            return Wrap("+CSQ: " + std::to_string(q) + ",0");
        }
        if (line.rfind("AT#SS", 0) == 0 && line.size() == 5 && !overridden) return SocketStatus();
        if (line.rfind("AT#SD=", 0) == 0) {
            int k = Index(a, 0);
            int port = a.size() > 2 ? std::atoi(a[2].c_str()) : 0;
            // Only loopback is ever dialled.
            if (k < 0 || a.size() < 4 || a[3] != "127.0.0.1" || a[1] != "0") return "\r\nERROR\r\n";
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<u16>(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
                close(fd);
                return "\r\nNO CARRIER\r\n";
            }
            NonBlocking(fd);
            sockets_[k].fd = fd;
            sockets_[k].incoming = false;
            sockets_[k].peerAddress = "127.0.0.1";
            sockets_[k].peerPort = std::to_string(port);
            return overridden ? *best : kOk;
        }
        if (line.rfind("AT#SL=", 0) == 0) {
            int k = Index(a, 0);
            if (k < 0 || a.size() < 3) return "\r\nERROR\r\n";
            Socket& s = sockets_[k];
            if (a[1] == "0") {
                if (s.listenFd >= 0) close(s.listenFd);
                s.listenFd = -1;
                return kOk;
            }
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<u16>(std::atoi(a[2].c_str()) + listenOffset_));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0) {
                close(fd);
                return "\r\nERROR\r\n";
            }
            NonBlocking(fd);
            s.listenFd = fd;
            return kOk;
        }
        if (line.rfind("AT#SA=", 0) == 0) {
            int k = Index(a, 0);
            if (k < 0 || sockets_[k].fd < 0) return "\r\nERROR\r\n";
            sockets_[k].incoming = false;
            return kOk;
        }
        if (line.rfind("AT#SH=", 0) == 0) {
            int k = Index(a, 0);
            if (k >= 0 && sockets_[k].fd >= 0) {
                close(sockets_[k].fd);
                sockets_[k].fd = -1;
                sockets_[k].pending.clear();
            }
            return kOk;
        }
        if (line.rfind("AT#SRECV=", 0) == 0) {
            int k = Index(a, 0);
            if (k < 0) return "\r\nERROR\r\n";
            size_t want = a.size() > 1 ? static_cast<size_t>(std::atoi(a[1].c_str())) : 0;
            std::string& p = sockets_[k].pending;
            std::string data = p.substr(0, std::min(want, p.size()));
            p.erase(0, data.size());
            std::string head = "#SRECV: " + std::to_string(k + 1) + "," +
                               std::to_string(static_cast<int>(data.size()) + srecvLie_);
            return "\r\n" + head + "\r\n" + data + "\r\n" + kOk;
        }
        if (line.rfind("AT#SSENDEXT=", 0) == 0) {
            int k = Index(a, 0);
            if (k < 0 || a.size() < 2 || sockets_[k].fd < 0) return "\r\nERROR\r\n";
            sendSocket_ = k;
            sendRemaining_ = static_cast<size_t>(std::atoi(a[1].c_str()));
            return "\r\n> ";
        }
    }
    return best != nullptr ? *best : kOk;
}

void FakeModem::PumpSockets() {
    for (Socket& s : sockets_) {
        if (s.listenFd >= 0 && s.fd < 0) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int fd = accept(s.listenFd, reinterpret_cast<sockaddr*>(&peer), &len);
            if (fd >= 0) {
                NonBlocking(fd);
                s.fd = fd;
                s.incoming = true;
                char addr[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
                s.peerAddress = addr;
                s.peerPort = std::to_string(ntohs(peer.sin_port));
            }
        }
        if (s.fd < 0) continue;
        char buf[4096];
        ssize_t r = read(s.fd, buf, sizeof buf);
        if (r > 0) {
            s.pending.append(buf, static_cast<size_t>(r));
        } else if (r == 0) {
            close(s.fd);
            s.fd = -1;
            s.pending.clear();
        }
    }
}

size_t FakeModem::Pump() {
    std::lock_guard<std::mutex> lock(mutex_);
    PumpSockets();
    char buf[4096];
    ssize_t r;
    while ((r = read(Master(), buf, sizeof buf)) > 0) in_.append(buf, static_cast<size_t>(r));
    for (;;) {
        if (sendRemaining_ > 0) {
            size_t n = std::min(sendRemaining_, in_.size());
            if (n == 0) break;
            std::string data = in_.substr(0, n);
            in_.erase(0, n);
            sendRemaining_ -= n;
            sentData_ += data;
            if (sockets_[sendSocket_].fd >= 0) {
                ssize_t w = write(sockets_[sendSocket_].fd, data.data(), data.size());
                (void)w;
            }
            if (sendRemaining_ == 0) Send(kOk);
            continue;
        }
        // Bytes the controller sends on their own: Ctrl-Z ends a text or is a reset.
        while (!in_.empty() && (in_[0] == 26 || in_[0] == '\n')) in_.erase(0, 1);
        size_t z = in_.find('\x1a');
        if (z != std::string::npos && z < in_.find('\r')) {
            // A text message after the "AT+CMGS" prompt.
            commands_.push_back("SMS:" + in_.substr(0, z));
            in_.erase(0, z + 1);
            Send(Reply("SMS:"));
            continue;
        }
        if (in_.rfind("+++", 0) == 0) {
            commands_.push_back("+++");
            in_.erase(0, 3);
            Send(Reply("+++"));
            continue;
        }
        size_t cr = in_.find('\r');
        if (cr == std::string::npos) break;
        std::string line = in_.substr(0, cr);
        in_.erase(0, cr + 1);
        if (line.empty()) continue;
        commands_.push_back(line);
        if (echo_) Send(line + "\r");
        Send(Reply(line));
    }
    return Flush();
}

void FakeModem::Start() {
    if (running_) return;
    running_ = true;
    thread_ = std::thread([this] {
        while (running_) {
            Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

void FakeModem::Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}
