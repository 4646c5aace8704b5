#include "testsupport/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>

#include "testsupport/shell.h"

namespace {

std::atomic<int> g_serial{0};

}  // namespace

NetNamespacePair::NetNamespacePair() {
    // Unique per process and per object, so tests running side by side (and a
    // test with two pairs) never meet.
    std::string id = std::to_string(getpid()) + "x" + std::to_string(g_serial.fetch_add(1));
    ctl_ = "plcctl" + id;
    peer_ = "plcpeer" + id;
}

NetNamespacePair::~NetNamespacePair() { Remove(); }

void NetNamespacePair::Remove() {
    if (made_) Shell("ip netns del " + ctl_ + " 2>/dev/null; ip netns del " + peer_ + " 2>/dev/null");
    made_ = false;
}

bool NetNamespacePair::Create(const std::string& peerAddress) {
    int st = 0;
    std::string out = Shell("ip netns add " + ctl_ + " && ip netns add " + peer_, &st);
    if (st != 0) {
        error_ = "cannot create network namespaces: " + out;
        Shell("ip netns del " + ctl_ + " 2>/dev/null");
        return false;
    }
    made_ = true;
    out = Shell("ip link add eth0 netns " + ctl_ + " type veth peer name p0 netns " + peer_, &st);
    if (st != 0) {
        error_ = "cannot create a veth pair: " + out;
        return false;
    }
    Shell("ip -n " + ctl_ + " link set lo up && ip -n " + peer_ + " link set lo up");
    if (!peerAddress.empty()) {
        out = Shell("ip -n " + peer_ + " addr add " + peerAddress + " dev p0 && ip -n " + peer_ + " link set p0 up",
                    &st);
        if (st != 0) {
            error_ = "cannot address p0: " + out;
            return false;
        }
    }
    return true;
}

std::string NetNamespacePair::CtlIp(const std::string& args) const { return Shell("ip -n " + ctl_ + " " + args); }
std::string NetNamespacePair::PeerIp(const std::string& args) const { return Shell("ip -n " + peer_ + " " + args); }

std::string NetNamespacePair::InPeer(const std::string& command, int* status) const {
    std::string quoted = "'";
    for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    return Shell("ip netns exec " + peer_ + " sh -c " + quoted, status);
}

bool InNetNamespace(const std::string& name, void (*fn)(void*), void* arg) {
    int self = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (ok) {
        fn(arg);
        setns(self, CLONE_NEWNET);
    }
    if (self >= 0) close(self);
    if (target >= 0) close(target);
    return ok;
}

bool InNetNamespace(const std::string& name, const std::function<void()>& fn) {
    return InNetNamespace(
        name, [](void* arg) { (*static_cast<const std::function<void()>*>(arg))(); },
        const_cast<std::function<void()>*>(&fn));
}
