// Network namespaces of the test's own, for controllers that must own their
// interfaces (addresses, routes, broadcast, multicast, DHCP, BOOTP, ARP).
//
// A NetNamespacePair makes two namespaces joined by a veth pair: the
// controller's side holds "eth0" (the controller's first interface), the
// peer's side holds "p0", where the test runs its peer programs. Both are
// removed with the object; the host's interfaces are never touched. Start a
// controller inside with FirmwareProcess::SetNetNamespace(pair.Controller()).
#pragma once

#include <functional>
#include <string>

class NetNamespacePair {
public:
    NetNamespacePair();   // names only; Create makes them
    ~NetNamespacePair();  // removes what Create made
    void Remove();        // the same, earlier (a test that checks the host after)
    NetNamespacePair(const NetNamespacePair&) = delete;
    NetNamespacePair& operator=(const NetNamespacePair&) = delete;

    // Makes both namespaces, the veth pair (eth0 inside the controller's,
    // p0 in the peer's) and brings lo up in both. With a peer address
    // ("10.9.0.1/24") p0 gets it and goes up. False, with the reason in
    // Error(), when the machine refuses (no privilege, no veth).
    bool Create(const std::string& peerAddress = "");
    const std::string& Error() const { return error_; }

    const std::string& Controller() const { return ctl_; }
    const std::string& Peer() const { return peer_; }
    // Runs "ip -n <namespace> ARGS" and answers its output.
    std::string CtlIp(const std::string& args) const;
    std::string PeerIp(const std::string& args) const;
    // Runs a shell command line inside the peer's namespace (a peer program).
    std::string InPeer(const std::string& command, int* status = nullptr) const;

private:
    std::string ctl_, peer_, error_;
    bool made_ = false;
};

// Runs fn with the calling thread inside the named namespace, then puts it
// back; false when the namespace cannot be entered.
bool InNetNamespace(const std::string& name, void (*fn)(void*), void* arg);

// Keeps the calling thread inside the named namespace for the object's life
// (an in-process controller whose sockets must live there), then puts it
// back.
class NetNamespaceStay {
public:
    explicit NetNamespaceStay(const std::string& name);
    ~NetNamespaceStay();
    NetNamespaceStay(const NetNamespaceStay&) = delete;
    NetNamespaceStay& operator=(const NetNamespaceStay&) = delete;
    bool Entered() const { return entered_; }

private:
    int self_ = -1;
    bool entered_ = false;
};

// A peer program running in the background, in a namespace (socat,
// python3 ...), in a process group of its own that Stop (or the
// destructor) ends.
class PeerProcess {
public:
    ~PeerProcess() { Stop(); }
    // Runs the shell command line inside the namespace (an empty name: the
    // test's own); false when it cannot start.
    bool Start(const std::string& netns, const std::string& command);
    void Stop();
    bool Running() const { return pid_ > 0; }

private:
    int pid_ = 0;
};

struct NxIp;
struct NxPacketPool;
// For an in-process controller whose thread stays in its namespace: the
// socket layer forgets the host's namespace, a packet pool is made over
// area, and eth0's IP instance gets the address once its link reports
// itself up. False when it does not within a few seconds.
bool NetNamespaceEth0(NxIp* ip, NxPacketPool* pool, void* area, unsigned areaBytes, unsigned address,
                      unsigned mask);
// The same with any callable (sockets made inside stay in the namespace).
bool InNetNamespace(const std::string& name, const std::function<void()>& fn);
