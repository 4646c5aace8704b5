// Builds the runtime Modbus configuration of an IEC code image (connections,
// requests and server tables, slave records, variable mappings) for tests.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

class MbCfgBuilder {
public:
    struct Request {
        u16 id, conn, unit = 1, mode = 1, period = 0, function = 3, address = 0, quantity = 1, tries = 1,
                  timeout = 500, bufSize = 2;
        int errPeriod = -1;  // -1: the record ends before the field
    };
    struct Map {
        u16 type = 3, request, offset = 0, format = 0, mask = 0xFFFF, varType, varIndex, kind = 0;
        u32 ctOffset = 0;
        float gain = 1, offsetValue = 0;
    };
    MbCfgBuilder& Connection(u16 id, const std::string& address, u16 port, u16 flags = 0, u16 delay = 0,
                             u16 reconnect = 0);
    MbCfgBuilder& Add(const Request& r);
    MbCfgBuilder& Slave(u16 conn, u16 unit);
    MbCfgBuilder& Mapping(const Map& m);
    // A record of raw bytes (its length and type words included).
    MbCfgBuilder& Raw(std::vector<u8> record);
    MbCfgBuilder& MinimumSize(u32 bytes);
    std::vector<u8> Build() const;

private:
    u32 minimum_ = 0;
    std::vector<std::vector<u8>> records_;
};
