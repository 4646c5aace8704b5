#include "iec/kernel/q4link.h"

#include "iec/kernel/q4host.h"

// q4_rcv and IsCommMode_Tovra belong to the runtime's host glue (q4host).

Q4LinkPeers q4LinkPeers;

void Q4LinkPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, q4LinkPeers, descriptor);
    NEIGHBOUR_REQUIRE(check, q4LinkPeers, hostCode);
    NEIGHBOUR_REQUIRE(check, q4LinkPeers, handBack);
}

void Q4Link_Reset() {
    q4_rcv = 0;
    IsCommMode_Tovra = 1;
    q4runtime_modbusinit = 0;
    q4protocol = 0;
}

void Q4Link_HandBack(int serial) {
    IsCommMode_Tovra = 1;
    if (!q4LinkPeers.handBack) return;
    const int serialPort = serial && q4LinkPeers.hostCode && q4LinkPeers.hostCode() == 0 ? 1 : 0;
    q4LinkPeers.handBack(serialPort);
    if (serialPort) q4runtime_modbusinit = 1;
}
