// Builds program files for tests: good ones table by table, and damaged ones
// by editing the bytes of a good one in the places the format names.
#pragma once

#include <vector>

#include "platform/bytes.h"
#include "storage/pgmfile.h"

class PgmFileBuilder {
public:
    PgmFileBuilder& Model(u16 model);
    // Firmware version as SR38 holds it (major * 100 + minor).
    PgmFileBuilder& Version(u16 sr38);
    PgmFileBuilder& Table(u16 type, std::vector<u8> data);
    // A type 99 table of register presets {bit address, value, bit count}.
    struct Preset {
        u32 address;
        u32 value;
        u8 bits;
    };
    PgmFileBuilder& Presets(const std::vector<Preset>& presets);

    // The whole file with a table count that matches the tables.
    std::vector<u8> Bytes() const;

    // Where table i starts (its 12-byte header) in Bytes().
    size_t TableAt(size_t i) const;
    // Where table i's data starts.
    size_t DataAt(size_t i) const { return TableAt(i) + kPgmTableHeaderBytes; }

    // Edits of a built file.
    static void SetMagic(std::vector<u8>& file, u16 magic) { PutLe16(&file[6], magic); }
    static void SetCount(std::vector<u8>& file, u16 count) { PutLe16(&file[4], count); }
    static void SetLength(std::vector<u8>& file, size_t tableAt, u32 length) { PutLe32(&file[tableAt + 8], length); }
    static void SetReserved(std::vector<u8>& file, size_t tableAt, u32 v) { PutLe32(&file[tableAt + 4], v); }
    static void Flip(std::vector<u8>& file, size_t at) { file[at] ^= 0x01; }

private:
    PgmHeader header_{567, 0, 1, 0, kPgmMagic};
    std::vector<std::pair<u16, std::vector<u8>>> tables_;
};

// Preset record bytes (9 each).
std::vector<u8> PgmPresetBytes(const std::vector<PgmFileBuilder::Preset>& presets);
// Deterministic filler bytes.
std::vector<u8> PgmFiller(size_t n, u32 seed);
