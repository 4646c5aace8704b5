#include "platform/unzip.h"

#include <algorithm>
#include <filesystem>

#include "platform/fileio.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxArchive = 512u << 20;
constexpr size_t kMaxEntry = 256u << 20;

// ---------------------------------------------------------------------------
// Deflate decoder: canonical Huffman codes decoded bit by bit.

constexpr int kMaxBits = 15;

struct Huffman {
    u16 count[kMaxBits + 1];
    u16 symbol[288];
};

struct BitReader {
    const u8* src;
    size_t size;
    size_t pos = 0;
    u32 bitBuf = 0;
    int bitCount = 0;
    bool bad = false;

    int Bits(int need) {
        u32 val = bitBuf;
        while (bitCount < need) {
            if (pos >= size) {
                bad = true;
                return 0;
            }
            val |= static_cast<u32>(src[pos++]) << bitCount;
            bitCount += 8;
        }
        bitBuf = val >> need;
        bitCount -= need;
        return static_cast<int>(val & ((1u << need) - 1));
    }
};

// Builds the decoding table from code lengths; false for an over-subscribed
// set (an incomplete set is allowed, as for a single distance code).
bool Build(Huffman& h, const u8* lengths, int n) {
    for (int i = 0; i <= kMaxBits; ++i) h.count[i] = 0;
    for (int i = 0; i < n; ++i) h.count[lengths[i]]++;
    if (h.count[0] == n) return true;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0) return false;
    }
    u16 offs[kMaxBits + 1];
    offs[1] = 0;
    for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = offs[len] + h.count[len];
    for (int i = 0; i < n; ++i)
        if (lengths[i] != 0) h.symbol[offs[lengths[i]]++] = static_cast<u16>(i);
    return true;
}

int Decode(BitReader& br, const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
        code |= br.Bits(1);
        if (br.bad) return -1;
        int count = h.count[len];
        if (code - count < first) return h.symbol[index + (code - first)];
        index += count;
        first += count;
        first <<= 1;
        code <<= 1;
    }
    return -1;
}

const u16 kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const u8 kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const u16 kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const u8 kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool Codes(BitReader& br, std::vector<u8>& out, size_t start, size_t maxOut, const Huffman& lit, const Huffman& dist) {
    for (;;) {
        int sym = Decode(br, lit);
        if (sym < 0) return false;
        if (sym < 256) {
            if (out.size() - start >= maxOut) return false;
            out.push_back(static_cast<u8>(sym));
        } else if (sym == 256) {
            return true;
        } else {
            sym -= 257;
            if (sym >= 29) return false;
            size_t len = kLenBase[sym] + static_cast<size_t>(br.Bits(kLenExtra[sym]));
            int dsym = Decode(br, dist);
            if (dsym < 0 || dsym >= 30) return false;
            size_t d = kDistBase[dsym] + static_cast<size_t>(br.Bits(kDistExtra[dsym]));
            if (br.bad || d > out.size() - start) return false;
            if (out.size() - start + len > maxOut) return false;
            size_t from = out.size() - d;
            for (size_t k = 0; k < len; ++k) out.push_back(out[from + k]);
        }
    }
}

struct FixedCodes {
    Huffman lit, dist;
    FixedCodes() {
        u8 l[288];
        int i = 0;
        for (; i < 144; ++i) l[i] = 8;
        for (; i < 256; ++i) l[i] = 9;
        for (; i < 280; ++i) l[i] = 7;
        for (; i < 288; ++i) l[i] = 8;
        Build(lit, l, 288);
        for (i = 0; i < 30; ++i) l[i] = 5;
        Build(dist, l, 30);
    }
};

bool FixedBlock(BitReader& br, std::vector<u8>& out, size_t start, size_t maxOut) {
    static const FixedCodes codes;  // built once, thread-safe
    return Codes(br, out, start, maxOut, codes.lit, codes.dist);
}

struct CrcTable {
    u32 t[256];
    CrcTable() {
        for (u32 i = 0; i < 256; ++i) {
            u32 c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
    }
};

bool DynamicBlock(BitReader& br, std::vector<u8>& out, size_t start, size_t maxOut) {
    static const u8 kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int nlen = br.Bits(5) + 257;
    int ndist = br.Bits(5) + 1;
    int ncode = br.Bits(4) + 4;
    if (br.bad || nlen > 286 || ndist > 30) return false;
    u8 lengths[320] = {};
    for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<u8>(br.Bits(3));
    if (br.bad) return false;
    Huffman lencode;
    if (!Build(lencode, lengths, 19)) return false;
    int index = 0;
    while (index < nlen + ndist) {
        int sym = Decode(br, lencode);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[index++] = static_cast<u8>(sym);
            continue;
        }
        u8 len = 0;
        int rep;
        if (sym == 16) {
            if (index == 0) return false;
            len = lengths[index - 1];
            rep = 3 + br.Bits(2);
        } else if (sym == 17) {
            rep = 3 + br.Bits(3);
        } else {
            rep = 11 + br.Bits(7);
        }
        if (br.bad || index + rep > nlen + ndist) return false;
        while (rep--) lengths[index++] = len;
    }
    if (lengths[256] == 0) return false;  // no end-of-block code
    Huffman lit, dist;
    if (!Build(lit, lengths, nlen) || !Build(dist, lengths + nlen, ndist)) return false;
    return Codes(br, out, start, maxOut, lit, dist);
}

// ---------------------------------------------------------------------------
// Archive records.

constexpr u32 kEndSig = 0x06054b50;
constexpr u32 kCentralSig = 0x02014b50;
constexpr u32 kLocalSig = 0x04034b50;

// Entry name made safe: "/" separators, no leading "/", no "." parts; empty
// when it contains ".." (or nothing usable).
std::string SafeName(const std::string& raw, bool& isDir) {
    std::string name = raw;
    for (char& c : name)
        if (c == '\\') c = '/';
    isDir = !name.empty() && name.back() == '/';
    std::string out;
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        std::string part = name.substr(i, j - i);
        if (part == "..") return "";
        if (!part.empty() && part != ".") {
            if (part.find('\0') != std::string::npos) return "";
            if (!out.empty()) out += '/';
            out += part;
        }
        i = j + 1;
    }
    return out;
}

// True when path, links resolved, is dir or lies below it.
bool Below(const std::string& dir, const std::string& path) {
    std::error_code ec;
    std::string d = fs::weakly_canonical(dir, ec).string();
    if (ec) return false;
    std::string p = fs::weakly_canonical(path, ec).string();
    if (ec) return false;
    return p == d || (p.size() > d.size() && p.compare(0, d.size(), d) == 0 && p[d.size()] == '/');
}

}  // namespace

bool Unzip_Inflate(const u8* src, size_t size, std::vector<u8>& out, size_t maxOut) {
    BitReader br{src, size};
    size_t start = out.size();
    int last;
    do {
        last = br.Bits(1);
        int type = br.Bits(2);
        if (br.bad) return false;
        if (type == 0) {
            br.bitBuf = 0;
            br.bitCount = 0;
            if (br.pos + 4 > size) return false;
            size_t len = GetLe16(src + br.pos);
            size_t nlen = GetLe16(src + br.pos + 2);
            br.pos += 4;
            if (len != (~nlen & 0xFFFF) || br.pos + len > size) return false;
            if (out.size() - start + len > maxOut) return false;
            out.insert(out.end(), src + br.pos, src + br.pos + len);
            br.pos += len;
        } else if (type == 1) {
            if (!FixedBlock(br, out, start, maxOut)) return false;
        } else if (type == 2) {
            if (!DynamicBlock(br, out, start, maxOut)) return false;
        } else {
            return false;
        }
    } while (!last);
    return true;
}

u32 Unzip_Crc32(const u8* data, size_t size) {
    static const CrcTable table;
    u32 crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table.t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

UnzipResult Unzip_Extract(const std::string& hostZip, const std::string& hostDest, bool keepExisting) {
    std::vector<u8> zip;
    if (!File_ReadAll(hostZip, zip, kMaxArchive)) return UnzipResult::NoArchive;
    size_t n = zip.size();
    if (n < 22) return UnzipResult::BadArchive;
    // The end record is within the last 22 + 65535 bytes.
    size_t end = n;
    size_t lowest = n > 22 + 65535 ? n - 22 - 65535 : 0;
    for (size_t p = n - 22 + 1; p-- > lowest;) {
        if (GetLe32(&zip[p]) == kEndSig) {
            end = p;
            break;
        }
    }
    if (end == n) return UnzipResult::BadArchive;
    size_t entries = GetLe16(&zip[end + 10]);
    size_t cdSize = GetLe32(&zip[end + 12]);
    size_t cdOff = GetLe32(&zip[end + 16]);
    if (cdOff > end || cdSize > end - cdOff) return UnzipResult::BadArchive;

    std::error_code ec;
    fs::create_directories(hostDest, ec);
    if (!fs::is_directory(hostDest, ec)) return UnzipResult::NoArchive;

    bool skipped = false;
    size_t p = cdOff;
    for (size_t e = 0; e < entries; ++e) {
        if (p + 46 > cdOff + cdSize || GetLe32(&zip[p]) != kCentralSig) return UnzipResult::BadArchive;
        u16 flags = GetLe16(&zip[p + 8]);
        u16 method = GetLe16(&zip[p + 10]);
        u32 crc = GetLe32(&zip[p + 16]);
        size_t csize = GetLe32(&zip[p + 20]);
        size_t usize = GetLe32(&zip[p + 24]);
        size_t nameLen = GetLe16(&zip[p + 28]);
        size_t extraLen = GetLe16(&zip[p + 30]);
        size_t commentLen = GetLe16(&zip[p + 32]);
        u32 attrs = GetLe32(&zip[p + 38]);
        size_t localOff = GetLe32(&zip[p + 42]);
        size_t next = p + 46 + nameLen + extraLen + commentLen;
        if (next > cdOff + cdSize) return UnzipResult::BadArchive;
        std::string raw(reinterpret_cast<const char*>(&zip[p + 46]), nameLen);
        p = next;

        bool isDir = false;
        std::string name = SafeName(raw, isDir);
        bool isLink = ((attrs >> 16) & 0170000) == 0120000;
        if (name.empty() || isLink || (flags & 1)) {  // escaping name, link, encrypted
            skipped = true;
            continue;
        }
        fs::path target = fs::path(hostDest) / name;
        if (isDir) {
            fs::create_directories(target, ec);
            if (ec || !Below(hostDest, target.string())) skipped = true;
            continue;
        }
        if (localOff + 30 > cdOff || GetLe32(&zip[localOff]) != kLocalSig) return UnzipResult::BadArchive;
        size_t dataOff = localOff + 30 + GetLe16(&zip[localOff + 26]) + GetLe16(&zip[localOff + 28]);
        if (dataOff > cdOff || csize > cdOff - dataOff || usize > kMaxEntry) {
            skipped = true;
            continue;
        }
        std::vector<u8> data;
        bool ok;
        if (method == 0) {
            ok = csize == usize;
            if (ok) data.assign(zip.begin() + static_cast<long>(dataOff), zip.begin() + static_cast<long>(dataOff + csize));
        } else if (method == 8) {
            // Deflate expands at most about 1032 to 1: reserve no more than
            // the stored bytes can give.
            data.reserve(std::min(usize, csize * 1032 + 64));
            ok = Unzip_Inflate(&zip[dataOff], csize, data, usize) && data.size() == usize;
        } else {
            ok = false;
        }
        if (!ok || Unzip_Crc32(data.data(), data.size()) != crc) {
            skipped = true;
            continue;
        }
        if (keepExisting && fs::exists(fs::symlink_status(target, ec))) continue;
        fs::create_directories(target.parent_path(), ec);
        if (!Below(hostDest, target.parent_path().string())) {  // a link on the way out
            skipped = true;
            continue;
        }
        // A link already in the destination is replaced, never written through.
        if (fs::is_symlink(fs::symlink_status(target, ec))) fs::remove(target, ec);
        if (!File_WriteAtomic(target.string(), data.data(), data.size())) skipped = true;
    }
    return skipped ? UnzipResult::Skipped : UnzipResult::Ok;
}
