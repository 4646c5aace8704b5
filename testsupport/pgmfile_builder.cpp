#include "testsupport/pgmfile_builder.h"

PgmFileBuilder& PgmFileBuilder::Model(u16 model) {
    header_.model = model;
    return *this;
}

PgmFileBuilder& PgmFileBuilder::Version(u16 sr38) {
    header_.minor = static_cast<u8>(sr38 % 100);
    header_.major = static_cast<u8>(sr38 / 100);
    return *this;
}

PgmFileBuilder& PgmFileBuilder::Table(u16 type, std::vector<u8> data) {
    tables_.emplace_back(type, std::move(data));
    return *this;
}

PgmFileBuilder& PgmFileBuilder::Presets(const std::vector<Preset>& presets) {
    return Table(kPgmTypePresets, PgmPresetBytes(presets));
}

std::vector<u8> PgmFileBuilder::Bytes() const {
    std::vector<u8> out(kPgmHeaderBytes);
    PgmHeader h = header_;
    h.tableCount = static_cast<u16>(tables_.size());
    Pgm_EncodeHeader(h, out.data());
    for (const auto& [type, data] : tables_) Pgm_AppendTable(out, type, data.data(), static_cast<u32>(data.size()));
    return out;
}

size_t PgmFileBuilder::TableAt(size_t i) const {
    size_t at = kPgmHeaderBytes;
    for (size_t k = 0; k < i && k < tables_.size(); ++k)
        at += kPgmTableHeaderBytes + tables_[k].second.size() + kPgmCrcBytes;
    return at;
}

std::vector<u8> PgmPresetBytes(const std::vector<PgmFileBuilder::Preset>& presets) {
    std::vector<u8> out;
    for (const auto& p : presets) {
        u8 r[9];
        PutLe32(r, p.address);
        PutLe32(r + 4, p.value);
        r[8] = p.bits;
        out.insert(out.end(), r, r + 9);
    }
    return out;
}

std::vector<u8> PgmFiller(size_t n, u32 seed) {
    std::vector<u8> out(n);
    u32 x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<u8>(x >> 16);
    }
    return out;
}
