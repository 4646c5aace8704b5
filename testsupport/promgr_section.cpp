#include "testsupport/promgr_section.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/fileio.h"

namespace {

constexpr u32 kConfigBytes = 48;

void Append(std::vector<u8>& out, const std::vector<u8>& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

std::vector<u8> Config(const PmgrDriverSpec& d) {
    std::vector<u8> c(kConfigBytes, 0);
    c[0] = d.mode;
    c[1] = d.port;
    PutLe16(&c[2], d.baud);
    PutLe32(&c[4], d.own4);
    PutLe32(&c[8], d.diagnostics);
    PutLe32(&c[12], d.period);
    PutLe16(&c[20], d.options);
    PutLe16(&c[22], d.attempts);
    PutLe32(&c[28], d.retry);
    PutLe32(&c[32], d.enable);
    PutLe32(&c[36], d.selector);
    PutLe32(&c[42], d.hold);
    return c;
}

std::vector<u8> Station(const PmgrStationSpec& s) {
    std::vector<u8> r(s.length < 36 ? 36 : s.length, 0);
    PutLe32(&r[0], s.status);
    PutLe32(&r[4], s.address);
    PutLe16(&r[20], s.flags);
    PutLe16(&r[24], s.port);
    PutLe16(&r[26], s.length);
    r[29] = s.extra;
    PutLe32(&r[32], s.alternative);
    if ((s.flags & 0x0F) == 2 && s.length >= 32) PutLe32(&r[s.length - 4], s.disable);
    r.resize(s.length);
    return r;
}

std::vector<u8> Message(const PmgrMessageSpec& m) {
    std::vector<u8> r(m.length < 36 ? 36 : m.length, 0);
    PutLe16(&r[0], m.flags);
    PutLe32(&r[4], m.data);
    PutLe32(&r[8], m.trigger);
    PutLe16(&r[12], m.length);
    r[14] = m.selector;
    r[15] = m.type;
    r[16] = m.station;
    r[17] = m.count;
    PutLe16(&r[18], m.remote);
    PutLe16(&r[20], m.count16);
    r.resize(m.length);
    return r;
}

}  // namespace

std::vector<u8> BuildPmgrSection(const PmgrSection& section) {
    const u32 n = static_cast<u32>(section.drivers.size());
    std::vector<u8> out(16 + 32 * n, 0);
    PutLe32(&out[8], n);
    PutLe32(&out[12], section.version);
    for (u32 i = 0; i < n; ++i) {
        const PmgrDriverSpec& d = section.drivers[i];
        u8* rec = &out[PmgrDriverRecord(i)];
        const u32 image = static_cast<u32>(out.size());
        PutLe32(rec + kPmgrRecImage, image);
        PutLe16(rec + 28, d.version);
        PutLe32(rec + 24, d.firstGroup);
        Append(out, d.image);
        rec = &out[PmgrDriverRecord(i)];
        PutLe32(rec + kPmgrRecConfig, static_cast<u32>(out.size()));
        Append(out, Config(d));
        rec = &out[PmgrDriverRecord(i)];
        PutLe32(rec + kPmgrRecStations, static_cast<u32>(out.size()));
        PutLe32(rec + kPmgrRecStationCount, static_cast<u32>(d.stations.size()));
        for (const auto& s : d.stations) Append(out, Station(s));
        rec = &out[PmgrDriverRecord(i)];
        PutLe32(rec + kPmgrRecMessages, static_cast<u32>(out.size()));
        PutLe32(rec + kPmgrRecMessageCount, static_cast<u32>(d.messages.size()));
        for (const auto& m : d.messages) Append(out, Message(m));
    }
    if (out.size() < 48) out.resize(48, 0);
    PutLe32(&out[0], static_cast<u32>(out.size()));
    return out;
}

void StorePmgrSection(const std::vector<u8>& bytes) {
    const u32 size = static_cast<u32>(bytes.size() < kPromgrCapacity ? bytes.size() : kPromgrCapacity);
    std::memcpy(promgr_table, bytes.data(), size);
    promgr_table_bl.SetHeader(crc16(bytes.data(), size), size);
    NV_EditorFeatures |= kFeatPromgr;
}

std::vector<u8> PmgrTestDriverImage() {
    std::vector<u8> image;
    File_ReadAll(PLC_PROMGR_TEST_DRIVER, image, 16u << 20);
    return image;
}
