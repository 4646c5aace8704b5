// Program file: one complete controller program (the ladder program and its
// downloaded configuration tables) as stored on the card.
//
// Little-endian throughout. An 84-byte header {u16 model code, u8 firmware
// minor (SR38 % 100), u8 firmware major (SR38 / 100), u16 table count (at
// most 80), u16 magic 7834, 76 reserved zero bytes}, then the tables one
// after another without padding: a 12-byte table header {u16 type, u16 0,
// u32 0, u32 data length}, the data, the CRC-16/MODBUS of the data as u16.
//
// Table types are the memory areas of the programming link. Type 11 tables
// are carried but never downloaded; type 99 tables are register presets
// (9-byte records: u32 register bit address, 4 value bytes, u8 bit count).
//
// This module is the one reader and the one writer of the format; it knows
// nothing of media or of the link.
#pragma once

#include <vector>

#include "platform/bytes.h"

constexpr u16 kPgmMagic = 7834;
constexpr u32 kPgmHeaderBytes = 84;
constexpr u32 kPgmTableHeaderBytes = 12;
constexpr u32 kPgmCrcBytes = 2;
constexpr u32 kPgmMaxTables = 80;
// The tables of one file together (data bytes).
constexpr u32 kPgmTotalMax = 0x19FFFFF;
// Identity copied from the security table (type 4).
constexpr u32 kPgmIdentityBytes = 80;
constexpr u16 kPgmTypeSecurity = 4, kPgmTypeSkipped = 11, kPgmTypePresets = 99, kPgmTypeLegacy9 = 9;
constexpr u32 kPgmPresetBytes = 9;

// Result codes of the program-file jobs, besides the CF status codes.
constexpr i32 kPgmDamaged = 73;
constexpr i32 kPgmOtherModel = 2002;
constexpr i32 kPgmTooLarge = 2003;
constexpr i32 kPgmPortBusy = 2004;
constexpr i32 kPgmPortTaken = 2005;
constexpr i32 kPgmNoAnswer = 2006;
constexpr i32 kPgmNewerFirmware = 2007;

struct PgmHeader {
    u16 model = 0;
    u8 minor = 0;
    u8 major = 0;
    u16 tableCount = 0;
    u16 magic = kPgmMagic;
};

struct PgmTable {
    u16 type = 0;
    u32 reserved = 0;  // the u32 reserved field of the table header
    u32 length = 0;    // data bytes
    u32 offset = 0;    // where the data starts in PgmImage::data (even)
};

// A file read into memory: header, table list and the tables' data, each
// table starting on an even offset.
struct PgmImage {
    PgmHeader header;
    PgmTable tables[kPgmMaxTables];
    u32 count = 0;
    std::vector<u8> data;
    u8 identity[kPgmIdentityBytes] = {};
    bool hasIdentity = false;

    const u8* TableData(u32 i) const { return data.data() + tables[i].offset; }
    void Clear();
};

// Largest data length a table of this type may have: what the controller's
// memory area of that type can hold (so every table it saves loads back),
// 4 MB for the skipped type 11, 2 MB for presets and legacy type 9; 0 for a
// type this controller cannot take.
u32 Pgm_TableLimit(u16 type);

void Pgm_EncodeHeader(const PgmHeader& h, u8 out[kPgmHeaderBytes]);
PgmHeader Pgm_DecodeHeader(const u8 in[kPgmHeaderBytes]);
void Pgm_EncodeTableHeader(u16 type, u32 length, u8 out[kPgmTableHeaderBytes]);

// Appends one whole table (header, data, CRC) to out.
void Pgm_AppendTable(std::vector<u8>& out, u16 type, const u8* data, u32 length);

// Source of the reader: reads up to n bytes, tells how many came; a non-zero
// answer is a read error (a CF status), passed on as the reader's result.
using PgmReadFn = i32 (*)(void* ctx, void* buffer, u32 n, u32* got);

// Reads and checks a whole file into img. 0; 73 for a short or damaged file
// (wrong magic, more than 80 tables, a table too large for its type, a CRC
// error, presets that are not whole 9-byte records or whose bit count is
// not 1-32, a type this controller cannot take); 2003 when the tables
// together are too large; or the read error of the source.
i32 Pgm_Read(PgmReadFn read, void* ctx, PgmImage* img);
// The same on a buffer.
i32 Pgm_ReadBuffer(const u8* file, u32 size, PgmImage* img);

// Bytes of the value of a preset with this bit count: every byte that holds
// one of its bits (bit counts 1-32 take 1-4 bytes).
inline u32 Pgm_PresetValueBytes(u8 bits) { return (bits + 7u) / 8u; }
