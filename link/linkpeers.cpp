#include "link/linkpeers.h"

#include "io/ioapi.h"

LinkPeers linkPeers;

namespace {

// The calibration buffer the I/O layer writes its reply into.
constexpr u32 kIoCalBufferBytes = 67;

}  // namespace

void LinkPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnCheckRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnGetRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnFlushRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnPutTx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnPutnTx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnUpdateSecurity);
    NEIGHBOUR_REQUIRE(check, linkPeers, NetCheckRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, NetGetRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, NetFlushRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, CanPutBytes);
    NEIGHBOUR_REQUIRE(check, linkPeers, CanStatus);
    NEIGHBOUR_REQUIRE(check, linkPeers, WorkbenchConnectSerial);
    NEIGHBOUR_REQUIRE(check, linkPeers, WorkbenchConnectEthernet);
    NEIGHBOUR_REQUIRE(check, linkPeers, IoCal);
    NEIGHBOUR_REQUIRE(check, linkPeers, SaveAndSetMACID);
}

int LinkPeers_IoCal(u8* buffer, u32 capacity) {
    if (buffer == nullptr || capacity < kIoCalBufferBytes) return 0;
    // The I/O layer answers 0 whether or not a module took the request; the
    // reply it wrote is the answer either way.
    IoCal(buffer);
    return 1;
}
