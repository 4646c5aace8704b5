#include "testsupport/mbcfg_builder.h"

#include <bit>

namespace {

struct Out {
    std::vector<u8> b;
    void U16(u16 v) { b.push_back(static_cast<u8>(v)), b.push_back(static_cast<u8>(v >> 8)); }
    void U32(u32 v) { U16(static_cast<u16>(v)), U16(static_cast<u16>(v >> 16)); }
    std::vector<u8> Done() {
        PutLe16(b.data(), static_cast<u16>(b.size()));
        return b;
    }
};

}  // namespace

MbCfgBuilder& MbCfgBuilder::Connection(u16 id, const std::string& address, u16 port, u16 flags, u16 delay,
                                       u16 reconnect) {
    Out o;
    o.U16(0), o.U16(1), o.U16(id), o.U16(port), o.U16(delay), o.U16(flags), o.U16(reconnect);
    o.b.insert(o.b.end(), address.begin(), address.end());
    o.b.push_back(0);
    records_.push_back(o.Done());
    return *this;
}

MbCfgBuilder& MbCfgBuilder::Add(const Request& r) {
    Out o;
    o.U16(0), o.U16(2), o.U16(r.id), o.U16(r.conn), o.U16(r.unit), o.U16(r.mode), o.U16(r.period);
    o.U16(r.function), o.U16(r.address), o.U16(r.quantity), o.U16(r.tries), o.U16(r.timeout), o.U16(r.bufSize);
    if (r.errPeriod >= 0) o.U16(static_cast<u16>(r.errPeriod));
    records_.push_back(o.Done());
    return *this;
}

MbCfgBuilder& MbCfgBuilder::Slave(u16 conn, u16 unit) {
    Out o;
    o.U16(0), o.U16(7), o.U16(conn), o.U16(unit);
    records_.push_back(o.Done());
    return *this;
}

MbCfgBuilder& MbCfgBuilder::Mapping(const Map& m) {
    Out o;
    o.U16(0), o.U16(m.type), o.U16(m.request), o.U16(m.offset), o.U16(m.format), o.U16(m.mask), o.U16(m.varType);
    o.U16(m.varIndex), o.U16(m.kind), o.U32(m.ctOffset);
    if (m.type == 5 || m.type == 6) {
        o.U32(std::bit_cast<u32>(m.gain));
        o.U32(std::bit_cast<u32>(m.offsetValue));
    }
    records_.push_back(o.Done());
    return *this;
}

MbCfgBuilder& MbCfgBuilder::Raw(std::vector<u8> record) {
    records_.push_back(std::move(record));
    return *this;
}

MbCfgBuilder& MbCfgBuilder::MinimumSize(u32 bytes) {
    minimum_ = bytes;
    return *this;
}

std::vector<u8> MbCfgBuilder::Build() const {
    Out o;
    o.U32(minimum_), o.U32(0);
    for (const std::vector<u8>& r : records_) o.b.insert(o.b.end(), r.begin(), r.end());
    o.U16(0);
    return o.b;
}
