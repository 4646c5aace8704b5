#include "testsupport/can_def_builder.h"

#include <bit>

namespace {

void U16(std::vector<u8>& o, u16 v) {
    o.push_back(static_cast<u8>(v));
    o.push_back(static_cast<u8>(v >> 8));
}
void U32(std::vector<u8>& o, u32 v) {
    U16(o, static_cast<u16>(v));
    U16(o, static_cast<u16>(v >> 16));
}
void Put32(std::vector<u8>& o, size_t at, u32 v) {
    for (int i = 0; i < 4; ++i) o[at + i] = static_cast<u8>(v >> (8 * i));
}

void Messages(std::vector<u8>& o, const std::vector<CanMsgDef>& list) {
    for (const CanMsgDef& m : list) {
        U32(o, m.id);
        U32(o, m.period);
        U32(o, m.maxInterval);
        U16(o, m.port);
        o.push_back(m.length);
        o.push_back(static_cast<u8>(m.flags | (m.init.empty() ? 0 : 0x80)));
        if (m.init.empty()) continue;
        for (size_t i = 0; i < 8; ++i) o.push_back(i < m.init.size() ? m.init[i] : 0);
    }
}

}  // namespace

std::vector<u8> CanDefinition::Bytes(u32 base) const {
    std::vector<u8> o;
    U16(o, version);
    U16(o, static_cast<u16>(ports.size()));
    U16(o, static_cast<u16>(rcv.size()));
    U16(o, static_cast<u16>(snd.size()));
    U16(o, static_cast<u16>(vars.size()));
    U16(o, dynamic);
    const size_t offsets = o.size();
    o.resize(o.size() + (version >= 2 ? 20 : 16));
    Put32(o, offsets, base + static_cast<u32>(o.size()));
    for (const CanPortDef& p : ports) {
        U16(o, 0);
        U16(o, p.rcv);
        U16(o, p.snd);
        U32(o, 0);
        U16(o, p.mode);
        U16(o, p.param);
        U16(o, p.options);
        for (size_t i = 0; i < 64; ++i) o.push_back(i < p.name.size() ? static_cast<u8>(p.name[i]) : 0);
    }
    Put32(o, offsets + 4, base + static_cast<u32>(o.size()));
    Messages(o, rcv);
    Put32(o, offsets + 8, base + static_cast<u32>(o.size()));
    Messages(o, snd);
    Put32(o, offsets + 12, base + static_cast<u32>(o.size()));
    for (const CanVarDef& v : vars) {
        U16(o, v.message);
        o.push_back(v.offset);
        o.push_back(v.kind);
        o.push_back(v.mask);
        o.push_back(v.length);
        o.push_back(v.raw);
        o.push_back(v.order);
        o.push_back(v.send ? 1 : 0);
        o.push_back(v.type);
        U16(o, v.index);
        U32(o, v.ctOffset);
    }
    if (version >= 2) {
        Put32(o, offsets + 16, base + static_cast<u32>(o.size()));
        for (const CanVarDef& v : vars) {
            U32(o, std::bit_cast<u32>(v.scale));
            U32(o, std::bit_cast<u32>(v.shift));
        }
    }
    return o;
}
