// Builds CANopen network tables (memory area 23) for tests: the fixed
// record, then the sections it points at, laid out one after the other.
#pragma once

#include <vector>

#include "platform/bytes.h"

class CanOpenTableBuilder {
public:
    CanOpenTableBuilder(u8 nodeId, u8 bitRate);

    CanOpenTableBuilder& StartupFlags(u8 flags);
    CanOpenTableBuilder& Heartbeat(u16 ms);
    CanOpenTableBuilder& StatusRegister(u32 bitAddress);
    CanOpenTableBuilder& Guarding(u16 guardMs, u8 lifeFactor);
    // A master's node row, with its configuration objects and its SDO client
    // entry (COB-IDs 0: the node's default server channel, 0x600/0x580 +
    // node id). Expected values of 0 are not checked.
    struct Row {
        u8 flags = 0x01;  // a slave to boot
        u8 lifeFactor = 0;
        u16 timeMs = 0;   // guard or heartbeat consumer time
        u8 bootFlags = 0;
        u8 downloadFlags = 0;
        u8 node = 0;
        u32 deviceType = 0, vendor = 0, product = 0, revision = 0, serial = 0;
        u32 swDate = 0, swTime = 0, configDate = 0, configTime = 0;
        u32 watchedId = 0;
        struct Object {
            u16 index;
            u8 subindex;
            u8 size;  // attribute: data size, bit 7 skip
            u32 value;
        };
        std::vector<Object> objects;
        u32 clientToServer = 0, serverToClient = 0;
    };
    CanOpenTableBuilder& NodeRow(Row row);
    // Slave heartbeat consumer entries (time ms, node id).
    CanOpenTableBuilder& Consumer(u16 ms, u8 node);
    // SYNC COB-ID (bit 30: this node produces SYNC), period and window in µs.
    CanOpenTableBuilder& Sync(u32 cobId, u32 periodUs, u32 windowUs);
    // An SDO server entry besides the default server.
    CanOpenTableBuilder& SdoServer(u32 clientToServer, u32 serverToClient);
    // A TPDO: COB-ID, transmission type, inhibit (100 µs), event time (ms),
    // trigger bit address (type 255), mapping words.
    CanOpenTableBuilder& Tpdo(u32 cobId, u8 type, std::vector<u32> map, u16 inhibit = 0, u16 eventMs = 0,
                              u32 trigger = 0);
    // An RPDO: COB-ID, transmission type, mapping words.
    CanOpenTableBuilder& Rpdo(u32 cobId, u8 type, std::vector<u32> map);
    // Sets any fixed field afterwards (a hostile table).
    CanOpenTableBuilder& Field8(u32 off, u8 v);
    CanOpenTableBuilder& Field16(u32 off, u16 v);
    CanOpenTableBuilder& Field32(u32 off, u32 v);

    // The record bytes.
    std::vector<u8> Build() const;
    // Puts the record into the CANopen table block with its header.
    void Install() const;

private:
    std::vector<u8> fixed_;
    std::vector<u32> consumers_;
    std::vector<Row> rows_;
    std::vector<std::pair<u32, u32>> sdoServers_;
    struct Pdo {
        u32 cobId;
        u8 type;
        std::vector<u32> map;
        u16 inhibit, eventMs;
        u32 trigger;
    };
    std::vector<Pdo> tpdos_, rpdos_;
    std::vector<std::pair<u32, std::vector<u8>>> overrides_;
};
