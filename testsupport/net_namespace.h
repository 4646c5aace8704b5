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
// The same with any callable (sockets made inside stay in the namespace).
bool InNetNamespace(const std::string& name, const std::function<void()>& fn);
