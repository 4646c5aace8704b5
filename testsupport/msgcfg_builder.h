// Builds bodies of the messaging configuration block (SMS section with its
// GSM record, then an e-mail section) for tests and fuzz seeds, and stores
// one as the controller's block.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct MsgCfgContact {
    std::string text;  // empty: the text is in registers at `registerAddress`
    u32 registerAddress = 0;
    u8 group = 1;
};
struct MsgCfgEntry {
    std::string text;
    u8 group = 1;
    u32 bitAddress = 0;
    std::string fieldList;  // the entry's field-list text
};
struct MsgCfgGsm {
    u32 size = 96;  // 96, 48 or 36; 0 writes no record
    u8 options = 0x07;
    u8 idle = 30;
    u8 source = 0;
    std::string blockSize = "512", timeout = "1", apn = "internet", user = "user", password = "secret",
                forward, sourcePort = "2000", operatorName;
    u32 destination = 0;
    u32 keepConnected = 0, holdTime = 0, signalRegister = 0, debugRegister = 0;
};

struct MsgCfgBuilder {
    u32 magic = 0x534D5631;  // SMV1
    u32 base = 0x1000;       // base of the offset fields
    std::vector<MsgCfgContact> contacts;
    std::vector<MsgCfgEntry> receive, transmit;
    u32 fieldItems = 0;  // 12-byte field items (zero-filled)
    std::string centre, pin;
    u8 poll = 5;
    u32 statusRegister = 0, storageRegister = 0;
    u8 initMode = 1;
    u8 port = 1;  // logical serial port of the external modem
    u8 mode[5] = {9, 0, 3, 0, 0};
    u8 portOptions = 0;
    MsgCfgGsm gsm;
    bool email = true;

    // The body; `poolAt` (out) is the body offset of the SMS pool.
    std::vector<u8> Build(u32* poolAt = nullptr) const;
};

// Stores a body as the controller's messaging block (header CRC and size,
// feature bit set); an empty body clears the block and the feature bit.
void MsgCfg_Store(const std::vector<u8>& body);
