#include "testsupport/mb_peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/kernel/q4link.h"

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool PollUntil(const std::function<bool()>& done, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        if (done()) return true;
        poll(nullptr, 0, 2);
    }
    return false;
}

namespace {

int g_lent = -1;
int Descriptor(int which) { return which == kQ4PortMJ1 ? g_lent : -1; }
u32 Host() { return 0; }
void HandBack(int) {}

}  // namespace

LentPty::LentPty(const std::string& dir) : dir_(dir) {
    Q4Link_Reset();
    if (!socat_.Start("", "exec socat pty,raw,echo=0,link=" + dir + "/plc pty,raw,echo=0,link=" + dir +
                              "/peer 2>/dev/null"))
        return;
    if (!PollUntil([&] { return access((dir + "/plc").c_str(), F_OK) == 0 && access((dir + "/peer").c_str(), F_OK) == 0; }))
        return;
    fd_ = open((dir + "/plc").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    g_lent = fd_;
    q4LinkPeers.descriptor = Descriptor;
    q4LinkPeers.hostCode = Host;
    q4LinkPeers.handBack = HandBack;
    SR_Put(163, 0);
}

LentPty::~LentPty() {
    if (fd_ >= 0) close(fd_);
    g_lent = -1;
    Q4Link_Reset();
    Wiring_Connect();
}
