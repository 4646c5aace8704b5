#include "storage/pgmfile.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "link/cmdproc.h"

namespace {

constexpr u32 kSkippedMax = 4194304;
constexpr u32 kOtherMax = 2097152;
// Pieces in which table data is read.
constexpr u32 kReadPiece = 63488;

struct BufferSource {
    const u8* data;
    u32 size;
    u32 pos;
};

i32 ReadBuffer(void* ctx, void* out, u32 n, u32* got) {
    auto* s = static_cast<BufferSource*>(ctx);
    u32 k = std::min(n, s->size - s->pos);
    if (k) std::memcpy(out, s->data + s->pos, k);
    s->pos += k;
    *got = k;
    return 0;
}

// Reads exactly n bytes: 0, 73 when fewer came, or the source's error.
i32 ReadExact(PgmReadFn read, void* ctx, u8* out, u32 n) {
    u32 done = 0;
    while (done < n) {
        u32 piece = std::min(n - done, kReadPiece), got = 0;
        i32 st = read(ctx, out + done, piece, &got);
        if (st != 0) return st;
        if (got == 0 || got > piece) return kPgmDamaged;
        done += got;
    }
    return 0;
}

// Presets are whole records whose bit count the register write can take.
bool PresetsSound(const u8* data, u32 length) {
    if (length % kPgmPresetBytes != 0) return false;
    for (u32 at = 0; at < length; at += kPgmPresetBytes) {
        u8 bits = data[at + 8];
        if (bits == 0 || bits > 32) return false;
    }
    return true;
}

}  // namespace

void PgmImage::Clear() {
    header = PgmHeader{};
    count = 0;
    std::vector<u8>().swap(data);  // a load may have held tens of megabytes
    std::memset(identity, 0, sizeof identity);
    hasIdentity = false;
}

u32 Pgm_TableLimit(u16 type) {
    if (type == kPgmTypeSkipped) return kSkippedMax;
    if (type == kPgmTypePresets || type == kPgmTypeLegacy9) return kOtherMax;
    // Areas the link never downloads (inputs, system information) and areas
    // without data cannot be loaded.
    if (type == 3 || type == 17 || type >= kAreaCount) return 0;
    FileInfoRow row = Cmd_FileInfo(type);
    return row.data == nullptr ? 0 : row.capacity;
}

void Pgm_EncodeHeader(const PgmHeader& h, u8 out[kPgmHeaderBytes]) {
    std::memset(out, 0, kPgmHeaderBytes);
    PutLe16(out, h.model);
    out[2] = h.minor;
    out[3] = h.major;
    PutLe16(out + 4, h.tableCount);
    PutLe16(out + 6, h.magic);
}

PgmHeader Pgm_DecodeHeader(const u8 in[kPgmHeaderBytes]) {
    PgmHeader h;
    h.model = GetLe16(in);
    h.minor = in[2];
    h.major = in[3];
    h.tableCount = GetLe16(in + 4);
    h.magic = GetLe16(in + 6);
    return h;
}

void Pgm_EncodeTableHeader(u16 type, u32 length, u8 out[kPgmTableHeaderBytes]) {
    std::memset(out, 0, kPgmTableHeaderBytes);
    PutLe16(out, type);
    PutLe32(out + 8, length);
}

void Pgm_AppendTable(std::vector<u8>& out, u16 type, const u8* data, u32 length) {
    size_t at = out.size();
    out.resize(at + kPgmTableHeaderBytes + length + kPgmCrcBytes);
    Pgm_EncodeTableHeader(type, length, &out[at]);
    if (length) std::memcpy(&out[at + kPgmTableHeaderBytes], data, length);
    PutLe16(&out[at + kPgmTableHeaderBytes + length], crc16(data, length));
}

i32 Pgm_Read(PgmReadFn read, void* ctx, PgmImage* img) {
    img->Clear();
    u8 head[kPgmHeaderBytes];
    i32 st = ReadExact(read, ctx, head, sizeof head);
    if (st != 0) return st;
    img->header = Pgm_DecodeHeader(head);
    if (img->header.magic != kPgmMagic || img->header.tableCount > kPgmMaxTables) return kPgmDamaged;

    u32 total = 0;
    for (u32 i = 0; i < img->header.tableCount; ++i) {
        u8 th[kPgmTableHeaderBytes];
        st = ReadExact(read, ctx, th, sizeof th);
        if (st != 0) return st;
        PgmTable t;
        t.type = GetLe16(th);
        t.reserved = GetLe32(th + 4);
        t.length = GetLe32(th + 8);
        if (t.length > Pgm_TableLimit(t.type)) return kPgmDamaged;
        if (t.length > kPgmTotalMax - total) return kPgmTooLarge;
        total += t.length;
        // Each table's data starts on an even offset; the image never holds
        // more than the accepted total and one pad byte per table.
        size_t at = (img->data.size() + 1) & ~size_t{1};
        img->data.resize(at + t.length);
        t.offset = static_cast<u32>(at);
        st = ReadExact(read, ctx, img->data.data() + at, t.length);
        if (st != 0) return st;
        u8 crc[kPgmCrcBytes];
        st = ReadExact(read, ctx, crc, sizeof crc);
        if (st != 0) return st;
        const u8* d = img->data.data() + at;
        if (GetLe16(crc) != crc16(d, t.length)) return kPgmDamaged;
        if (t.type == kPgmTypePresets && !PresetsSound(d, t.length)) return kPgmDamaged;
        if (t.type == kPgmTypeSecurity) {
            if (t.length) std::memcpy(img->identity, d, std::min(t.length, kPgmIdentityBytes));
            img->hasIdentity = true;
        }
        img->tables[img->count++] = t;
    }
    return 0;
}

i32 Pgm_ReadBuffer(const u8* file, u32 size, PgmImage* img) {
    BufferSource src{file, size, 0};
    return Pgm_Read(ReadBuffer, &src, img);
}
