#include "testsupport/egd_datagram.h"

std::vector<u8> EgdDatagram(const EgdDatagramFields& f, const std::vector<u8>& data) {
    std::vector<u8> d(32, 0);
    d[0] = 13;  // type
    d[1] = 1;   // version
    PutLe16(&d[2], f.request);
    PutBe32(&d[4], f.producer);
    PutLe32(&d[8], f.exchange);
    PutLe32(&d[12], f.seconds);
    PutLe32(&d[16], f.nanoseconds);
    PutLe16(&d[20], f.status);
    d.insert(d.end(), data.begin(), data.end());
    return d;
}
