// Builds Ethernet Global Data datagrams as a producing controller sends
// them (32-byte header, then the data items), for tests of the consumer.
#pragma once

#include <vector>

#include "platform/bytes.h"

struct EgdDatagramFields {
    u16 request = 0;
    u32 producer = 0;  // IPv4 address, host order (sent in network order)
    u32 exchange = 0;
    u32 seconds = 0, nanoseconds = 0;
    u16 status = 0;
};

std::vector<u8> EgdDatagram(const EgdDatagramFields& f, const std::vector<u8>& data);
