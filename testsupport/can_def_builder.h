// The CAN definition of a code image (code extension entry 17) as the
// compiler writes it: ports, receive and send messages, variables bound to
// their bytes and bits, and the scaling table. IecImageBuilder::Can lays it
// out at its place in the image (its table offsets are from the image's
// start).
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct CanPortDef {
    std::string name;
    u16 rcv = 0, snd = 0;  // messages of this port
    u16 mode = 0, param = 0, options = 0;
};

struct CanMsgDef {
    u32 id = 0;  // identifier word (bit 31: 29-bit, bit 30: remote)
    u16 port = 0;
    u8 length = 8;
    u8 flags = 0;           // send mode in bits 0-3; 0x40 driver flag
    u32 period = 0;         // cyclic period or on-change minimum interval
    u32 maxInterval = 0;    // on change
    std::vector<u8> init = {};  // initial data (sets flag 0x80)
};

struct CanVarDef {
    u16 message = 0;  // in the receive messages, or the send ones when send
    bool send = false;
    u8 offset = 0, kind = 0, mask = 0, length = 0, raw = 0, order = 0;
    u8 type = 0;        // IEC type code of the variable
    u16 index = 0;      // in its table; 0: in the CT segment at ctOffset
    u32 ctOffset = 0;
    float scale = 1.0f, shift = 0.0f;  // raw = value x scale + shift
};

struct CanDefinition {
    u16 version = 2;
    u16 dynamic = 0;  // dynamic messages per port and direction
    std::vector<CanPortDef> ports;
    std::vector<CanMsgDef> rcv, snd;
    std::vector<CanVarDef> vars;
    // The definition placed at image offset base.
    std::vector<u8> Bytes(u32 base) const;
};
