#include "iec/ext/q4canopen.h"

Q4CanOpenPeers q4CanOpenPeers;

void Q4CanOpenPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, getNodeId);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, getState);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, setNmtState);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, sdoRead);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, sdoWrite);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, recEmergency);
    NEIGHBOUR_REQUIRE(check, q4CanOpenPeers, recEmergencyAny);
}
