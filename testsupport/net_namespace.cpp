#include "testsupport/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "platform/nx_api.h"
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

NetNamespaceStay::NetNamespaceStay(const std::string& name) {
    self_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
}

NetNamespaceStay::~NetNamespaceStay() {
    if (entered_) setns(self_, CLONE_NEWNET);
    if (self_ >= 0) close(self_);
}

bool PeerProcess::Start(const std::string& netns, const std::string& command) {
    Stop();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setpgid(0, 0);
        if (netns.empty()) execlp("sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        else execlp("ip", "ip", "netns", "exec", netns.c_str(), "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    pid_ = pid;
    return true;
}

void PeerProcess::Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    int st = 0;
    for (int i = 0; i < 200 && waitpid(pid_, &st, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid_, &st, WNOHANG) == 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    pid_ = 0;
}

bool NetNamespaceEth0(NxIp* ip, NxPacketPool* pool, void* area, unsigned areaBytes, unsigned address,
                      unsigned mask) {
    Nx_Reset();
    _nx_packet_pool_create(pool, "test", 1520, area, areaBytes);
    if (_nx_ip_create(ip, "eth0", address, mask, pool, nullptr, nullptr, 0, 0) != NX_SUCCESS) return false;
    for (int i = 0; i < 1000; ++i) {
        u32 v = 0;
        _nx_ip_driver_direct_command(ip, 0, &v);
        if (ip->linkUp) return true;
        usleep(5000);
    }
    return false;
}

bool InNetNamespace(const std::string& name, const std::function<void()>& fn) {
    return InNetNamespace(
        name, [](void* arg) { (*static_cast<const std::function<void()>*>(arg))(); },
        const_cast<std::function<void()>*>(&fn));
}
