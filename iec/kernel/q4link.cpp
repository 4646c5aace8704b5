#include "iec/kernel/q4link.h"

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
}

void Q4Link_HandBack(int serial) {
    IsCommMode_Tovra = 1;
    if (!q4LinkPeers.handBack) return;
    q4LinkPeers.handBack(serial && q4LinkPeers.hostCode && q4LinkPeers.hostCode() == 0 ? 1 : 0);
}
