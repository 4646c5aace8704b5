#include "storage/cf_api.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const u8 CF_TypeWidth[9] = {8, 16, 8, 32, 16, 16, 32, 32, 16};

namespace {

constexpr int kMaxTreeDepth = 16;
constexpr u32 kMaxText = 126;
constexpr u32 kDefaultPoints = 600;

const i16 kCfStatusTable[37] = {
    0,  5,  5,  5,  66, 73, 77, 73, 92, -1, 92, 81, 86, 66, 66, 81, 92, 2, 86,
    86, 86, 86, 86, 86, 86, 86, 5,  5,  5,  5,  5,  5,  5,  5,  5,  92, 86,
};

struct State {
    u32 result = 0;              // last file-system code decoded
    int state = 0;               // outcome of the last format
    i16 status = kCfNoMedium;    // last status handed to a caller
    u8 formatRunning = 0;        // a format is under way: unmounted drives answer busy
    char upper[512] = {};        // CfUpper's answer
    u8 writeBuffer[512] = {};    // what CfWriteBuffered holds back
    u32 writeFill = 0;
    int depth = 0;               // nesting of the directory-tree walk
    FxLocalPath cdRecord[3] = {};  // current directory per drive
};
State g;

FxMedia* MediaOfName(const char* name) {
    if (name && name[0] && name[1] == ':') {
        char c = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        if (c == 'B') return &Cf_Media2;
        if (c == 'Z') return &Cf_Media3;
    }
    return &Cf_Media;
}

i16 Decode(u32 code, const FxMedia* media) { return CfResultDecode(code, media ? media->drive : 0); }

std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

void CopyText(char* dst, size_t cap, const std::string& src) {
    size_t n = std::min(src.size(), cap - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

bool IsSep(char c) { return c == '/' || c == '\\'; }

std::string DirectoryPart(const std::string& path) {
    size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos) return "";
    if (pos == 0) return path.substr(0, 1);
    return path.substr(0, pos);
}

u16 PackTime(u32 hour, u32 minute, u32 second) { return static_cast<u16>(hour * 2048 + minute * 32 + second / 2); }
u16 PackDate(u32 year, u32 month, u32 day) {
    return static_cast<u16>(day + month * 32 + (year >= 1980 ? (year - 1980) * 512 : 0));
}

// Fills the entry from the last entry found and tells whether it matches.
bool TakeEntry(CfDirEntry* e, const char* name, u32 attr, u32 size, u32 y, u32 mo, u32 d, u32 h, u32 mi, u32 s) {
    CopyText(e->fullName, sizeof e->fullName, name);
    e->attr = static_cast<u8>(attr);
    e->size = size;
    e->time = PackTime(h, mi, s);
    e->date = PackDate(y, mo, d);
    if (attr & kFxDirectory) {
        CopyText(e->name, sizeof e->name, Upper(name));
        e->ext[0] = '\0';
    } else if (CF_FileParse(e->name, e->ext, name) != kCfOk) {
        return false;
    }
    return CfPatternCmp(e->name, e->namePattern, static_cast<u32>(std::strlen(e->name))) &&
           CfPatternCmp(e->ext, e->extPattern, static_cast<u32>(std::strlen(e->ext)));
}

void EndListing(FxMedia* media, CfDirEntry* e) {
    if (!e->started) return;
    _fxe_directory_local_path_restore(media, e->savedRecord);
    CopyText(media->currentDir, sizeof media->currentDir, e->savedPath.path);
    e->started = 0;
}

i16 NextMatching(int drive, CfDirEntry* e, bool first) {
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    for (;;) {
        char name[256] = {};
        u32 attr = 0, size = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        u32 st = first ? _fxe_directory_first_full_entry_find(media, name, &attr, &size, &y, &mo, &d, &h, &mi, &s)
                       : _fxe_directory_next_full_entry_find(media, name, &attr, &size, &y, &mo, &d, &h, &mi, &s);
        first = false;
        if (st != kFxSuccess) {
            EndListing(media, e);
            return Decode(st, media);
        }
        if (TakeEntry(e, name, attr, size, y, mo, d, h, mi, s)) return kCfOk;
    }
}

// ---------------------------------------------------------------- CSV reading

// Reads a file in 128-byte pieces.
struct Reader {
    explicit Reader(FxFile* f) : file(f) {}
    FxFile* file;
    u8 buf[128] = {};
    u32 len = 0, pos = 0;
    bool eof = false;
    u32 error = 0;
    int Get() {
        if (pos >= len) {
            if (eof) return -1;
            u32 n = 0;
            u32 st = _fxe_file_read(file, buf, sizeof buf, &n);
            if (st != kFxSuccess) {
                eof = true;
                if (st != kFxEndOfFile) error = st;
                return -1;
            }
            len = n;
            pos = 0;
        }
        return buf[pos++];
    }
    int Peek() {
        int c = Get();
        if (c >= 0) --pos;
        return c;
    }
};

// Reads one field: leading blanks and line ends are skipped; the field ends
// at "\r", "," or "\n" outside quotes (the ending character is consumed).
// Quotes count only for text; inside quotes a doubled quote is one quote.
// False at the end of the file before the field began.
bool ReadField(Reader& r, bool text, std::string* out) {
    out->clear();
    int c;
    do {
        c = r.Get();
    } while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    if (c < 0) return false;
    bool quoted = false;
    for (; c >= 0; c = r.Get()) {
        if (text && c == '"') {
            if (quoted && r.Peek() == '"') {
                r.Get();
                out->push_back('"');
                continue;
            }
            quoted = !quoted;
            continue;
        }
        if (!quoted && (c == '\r' || c == ',' || c == '\n')) {
            if (c == '\r' && r.Peek() == '\n') r.Get();
            break;
        }
        out->push_back(static_cast<char>(c));
    }
    return true;
}

// Skips fields up to a position: "," outside quotes and "\n" end a field.
// False at the end of the file.
bool SkipFields(Reader& r, bool text, u32 fields, bool stopAtLine, bool* lineEnded) {
    bool quoted = false;
    while (fields > 0) {
        int c = r.Get();
        if (c < 0) return false;
        if (text && c == '"') quoted = !quoted;
        if (c == '\n') {
            if (stopAtLine) {
                *lineEnded = true;
                return true;
            }
            --fields;
        } else if (c == ',' && !quoted) {
            --fields;
        }
    }
    return true;
}

// Moves past the next n line ends. False at the end of the file.
bool SkipLines(Reader& r, u32 n) {
    while (n > 0) {
        int c = r.Get();
        if (c < 0) return false;
        if (c == '\n') --n;
    }
    return true;
}

// Destination of the values read.
struct Sink {
    u8* base;
    u32 cap;
    u32 off = 0;
    u32 bitWord = 0;  // offset of the word that takes bits
    u32 bitIndex = 16;
    bool Put(const void* v, u32 n) {
        if (off + n > cap) return false;
        std::memcpy(base + off, v, n);
        off += n;
        return true;
    }
    bool PutBit(bool on) {
        if (bitIndex >= 16) {
            if (off + 2 > cap) return false;
            bitWord = off;
            base[off] = base[off + 1] = 0;
            off += 2;
            bitIndex = 0;
        }
        u16 w;
        std::memcpy(&w, base + bitWord, 2);
        if (on) w = static_cast<u16>(w | (1u << bitIndex));
        std::memcpy(base + bitWord, &w, 2);
        ++bitIndex;
        return true;
    }
    void EndBits() { bitIndex = 16; }
    void AlignEven() {
        if (off & 1) ++off;
    }
};

// Converts one field by its element type and stores it; false when the
// destination is full.
bool StoreValue(Sink& sink, u32 type, const std::string& f) {
    const char* s = f.c_str();
    switch (type) {
        case 1: {
            u16 w = 0;
            for (char c : f) w = static_cast<u16>((w << 1) | (c & 1));
            return sink.Put(&w, 2);
        }
        case 2:
            return sink.PutBit(std::strtol(s, nullptr, 10) != 0);
        case 3: {
            i32 v = static_cast<i32>(std::strtoll(s, nullptr, 10));
            return sink.Put(&v, 4);
        }
        case 4: {
            u16 w = 0;
            for (char c : f) {
                if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
                int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
                w = static_cast<u16>((w << 4) | d);
            }
            return sink.Put(&w, 2);
        }
        case 5: {
            i16 v = static_cast<i16>(std::strtol(s, nullptr, 10));
            return sink.Put(&v, 2);
        }
        case 6: {
            float v = std::strtof(s, nullptr);
            return sink.Put(&v, 4);
        }
        case 7: {
            u32 v = static_cast<u32>(std::strtoull(s, nullptr, 10));
            return sink.Put(&v, 4);
        }
        case 8: {
            u16 v = static_cast<u16>(std::strtoul(s, nullptr, 10));
            return sink.Put(&v, 2);
        }
        case 10: {
            i8 v = static_cast<i8>(std::strtol(s, nullptr, 10));
            return sink.Put(&v, 1);
        }
        default:
            return false;
    }
}

// Text: at most maxChars characters, ended by a NUL when shorter.
u32 StoreText(Sink& sink, u32 maxChars, const std::string& f) {
    u32 room = sink.cap > sink.off ? sink.cap - sink.off : 0;
    u32 n = std::min<u32>({static_cast<u32>(f.size()), maxChars, room});
    std::memcpy(sink.base + sink.off, f.data(), n);
    if (n < maxChars && n < room) sink.base[sink.off + n] = 0;
    sink.off += std::min(maxChars, room);
    return n;
}

u32 ElementBytes(u32 type) {
    switch (type) {
        case 0:
        case 10:
            return 1;
        case 3:
        case 6:
        case 7:
            return 4;
        default:
            return 2;
    }
}

// Bytes a plain (not mixed) read of count values may fill.
u32 PlainReadBytes(u32 type, u32 count) {
    if (type == 2) return ((count + 15) / 16) * 2;
    return count * ElementBytes(type);
}

void SetDone(CfTransferRequest* req, u32 v) {
    if (req->countDone) *req->countDone = v;
}

i16 OpenForRead(CfTransferRequest* req, FxMedia** media, FxFile* file) {
    *media = MediaOfName(req->name);
    if (!req->name || !req->data) return kCfInvalid;
    u32 st = _fxe_file_open(*media, file, req->name, kFxOpenRead);
    return st == kFxSuccess ? kCfOk : Decode(st, *media);
}

i16 CloseWith(FxFile* file, i16 status) {
    _fxe_file_close(file);
    return status;
}

i16 ReadRowCount(CfTransferRequest* req) {
    FxMedia* media;
    FxFile file{};
    SetDone(req, 0);
    i16 st = OpenForRead(req, &media, &file);
    if (st != kCfOk) return st;
    if (req->dataBytes != 0 && req->dataBytes < 4) return CloseWith(&file, kCfInvalid);
    Reader r(&file);
    u32 rows = 0;
    for (int c = r.Get(); c >= 0; c = r.Get())
        if (c == '\n') ++rows;
    if (r.error) return CloseWith(&file, Decode(r.error, media));
    std::memcpy(req->data, &rows, 4);
    SetDone(req, 1);
    return CloseWith(&file, kCfOk);
}

i16 ReadByRow(CfTransferRequest* req) {
    SetDone(req, 0);
    bool mixed = (req->word8 & 0xFFFF) == kCfMixedRead;
    if (req->type > 8 || (!mixed && req->type == 0 && req->count > kMaxText)) return kCfInvalid;
    if (mixed && !req->mixedTable) return kCfInvalid;
    FxMedia* media;
    FxFile file{};
    i16 st = OpenForRead(req, &media, &file);
    if (st != kCfOk) return st;
    Reader r(&file);
    bool text = !mixed && req->type == 0;
    bool lineEnded = false;
    // Records hold text columns written in quotes: their commas do not
    // count when records are skipped.
    if (!SkipFields(r, text || mixed, static_cast<u32>(req->position), false, &lineEnded))
        return CloseWith(&file, r.error ? Decode(r.error, media) : kCfEndOfFile);
    u32 cap = mixed ? (req->word8 >> 16 ? req->word8 >> 16 : 8192u) : PlainReadBytes(req->type, req->count);
    if (req->dataBytes) cap = std::min(cap, req->dataBytes);
    Sink sink{static_cast<u8*>(req->data), cap};
    u32 done = 0;
    std::string f;
    auto eof = [&]() {
        SetDone(req, done);
        return CloseWith(&file, r.error ? Decode(r.error, media) : kCfEndOfFile);
    };
    if (!mixed) {
        if (text) {
            if (!ReadField(r, true, &f)) return eof();
            done = StoreText(sink, req->count, f);
            SetDone(req, done);
            return CloseWith(&file, kCfOk);
        }
        for (u32 left = req->count; left > 0; --left) {
            if (!ReadField(r, false, &f)) return eof();
            if (!StoreValue(sink, req->type, f)) {
                SetDone(req, done);
                return CloseWith(&file, kCfInvalid);
            }
            SetDone(req, ++done);
        }
        return CloseWith(&file, kCfOk);
    }
    u32 left = req->count;
    u32 entries = req->mixedTableBytes ? req->mixedTableBytes / 4 : 4096;
    for (u32 entry = 0; left > 0 && entry < entries; ++entry) {
        const u8* t = req->mixedTable + 4 * entry;
        u32 type = t[1];
        u32 n = static_cast<u32>(t[2]) | (static_cast<u32>(t[3]) << 8);
        if (n == 0) continue;
        if (type == 0) {
            if (!ReadField(r, true, &f)) return eof();
            StoreText(sink, n, f);
            sink.AlignEven();
            SetDone(req, ++done);
            --left;
            continue;
        }
        if (type > 10 || type == 9) {
            SetDone(req, done);
            return CloseWith(&file, kCfInvalid);
        }
        for (u32 k = 0; k < n && left > 0; ++k, --left) {
            if (!ReadField(r, false, &f)) return eof();
            if (!StoreValue(sink, type, f)) {
                SetDone(req, done);
                return CloseWith(&file, kCfInvalid);
            }
            SetDone(req, ++done);
        }
        if (type == 2) sink.EndBits();
        if (type == 10) sink.AlignEven();
    }
    // A table that ends before the values asked for is a bad request.
    return CloseWith(&file, left > 0 ? kCfInvalid : kCfOk);
}

i16 ReadByColumn(CfTransferRequest* req) {
    SetDone(req, 0);
    u32 pos = static_cast<u32>(req->position);
    u32 first = pos & 0xFFFF, last = (pos >> 16) & 0x7FFF;
    u32 column = req->count & 0xFFFF, points = req->count >> 16;
    if (points == 0) points = kDefaultPoints;
    if (req->type > 8 || (req->type == 0 && req->count > kMaxText) || first > last) return kCfInvalid;
    u32 cap = req->dataBytes ? req->dataBytes : PlainReadBytes(req->type, points);
    if (last - first < points) {
        // Only the part of the destination that the requested points would
        // fill is cleared, never more than the destination holds.
        std::memset(req->data, 0, std::min(cap, PlainReadBytes(req->type, points)));
        points = last - first;
    }
    FxMedia* media;
    FxFile file{};
    i16 st = OpenForRead(req, &media, &file);
    if (st != kCfOk) return st;
    if (points == 0) return CloseWith(&file, kCfOk);
    Reader r(&file);
    Sink sink{static_cast<u8*>(req->data), cap};
    bool text = req->type == 0;
    u32 row = 0, done = 0;
    std::string f;
    for (u32 k = 0; k < points; ++k) {
        u32 want = points == 1 ? first : first + (k * (last - first)) / (points - 1);
        if (want < row) {
            _fxe_file_seek(&file, 0);
            r = Reader(&file);
            row = 0;
        }
        bool lineEnded = false;
        if (!SkipLines(r, want - row)) {
            SetDone(req, done);
            return CloseWith(&file, r.error ? Decode(r.error, media) : kCfEndOfFile);
        }
        row = want;
        if (!SkipFields(r, text, column, true, &lineEnded)) {
            SetDone(req, done);
            return CloseWith(&file, r.error ? Decode(r.error, media) : kCfEndOfFile);
        }
        if (lineEnded) break;
        int c;
        while ((c = r.Peek()) == ' ' || c == '\t') r.Get();
        if (c < 0) {
            SetDone(req, done);
            return CloseWith(&file, r.error ? Decode(r.error, media) : kCfEndOfFile);
        }
        // The field is read up to its end; a field that ends its line moves
        // the row count on.
        f.clear();
        bool quoted = false;
        for (c = r.Get(); c >= 0; c = r.Get()) {
            if (text && c == '"') {
                if (quoted && r.Peek() == '"') {
                    r.Get();
                    f.push_back('"');
                    continue;
                }
                quoted = !quoted;
                continue;
            }
            if (!quoted && c == '\n') {
                ++row;
                break;
            }
            if (!quoted && (c == '\r' || c == ',')) break;
            f.push_back(static_cast<char>(c));
        }
        if (text) {
            // Text fills the destination and ends the request.
            SetDone(req, StoreText(sink, sink.cap, f));
            return CloseWith(&file, kCfOk);
        }
        if (!StoreValue(sink, req->type, f)) {
            SetDone(req, done);
            return CloseWith(&file, kCfInvalid);
        }
        SetDone(req, ++done);
    }
    return CloseWith(&file, kCfOk);
}

// ---------------------------------------------------------------- CSV writing

struct Writer {
    FxFile* file;
    bool failed = false;
    void Put(const void* p, u32 n) {
        if (!failed && n && CfWriteBuffered(file, p, n) < 0) failed = true;
    }
    void Put(const std::string& s) { Put(s.data(), static_cast<u32>(s.size())); }
};

std::string QuoteText(const char* p, u32 maxBytes) {
    std::string s(p, strnlen(p, maxBytes));
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string FormatValue(u32 type, const u8* p) {
    char b[40];
    switch (type) {
        case 1: {
            u16 w;
            std::memcpy(&w, p, 2);
            for (int i = 0; i < 16; ++i) b[i] = (w & (0x8000u >> i)) ? '1' : '0';
            b[16] = 0;
            break;
        }
        case 3: {
            i32 v;
            std::memcpy(&v, p, 4);
            std::snprintf(b, sizeof b, "%ld", static_cast<long>(v));
            break;
        }
        case 4: {
            u16 v;
            std::memcpy(&v, p, 2);
            std::snprintf(b, sizeof b, "%hX", v);
            break;
        }
        case 5: {
            i16 v;
            std::memcpy(&v, p, 2);
            std::snprintf(b, sizeof b, "%hd", v);
            break;
        }
        case 6: {
            float v;
            std::memcpy(&v, p, 4);
            std::snprintf(b, sizeof b, "%g", static_cast<double>(v));
            break;
        }
        case 7: {
            u32 v;
            std::memcpy(&v, p, 4);
            std::snprintf(b, sizeof b, "%lu", static_cast<unsigned long>(v));
            break;
        }
        case 8: {
            u16 v;
            std::memcpy(&v, p, 2);
            std::snprintf(b, sizeof b, "%hu", v);
            break;
        }
        case 10:
            std::snprintf(b, sizeof b, "%d", static_cast<int>(static_cast<i8>(*p)));
            break;
        default:
            b[0] = 0;
    }
    return b;
}

// Separators between values and after the last one.
struct Lines {
    u32 perLine;
    u32 onLine = 0;
    bool endOfLine;
    std::string After(bool last) {
        if (last) return endOfLine ? "\r\n" : ",";
        if (perLine && ++onLine >= perLine) {
            onLine = 0;
            return "\r\n";
        }
        return ",";
    }
};

// Bytes of the source a plain write reads.
u32 PlainWriteBytes(u32 type, u32 count) {
    if (type == 0) return count;
    if (type == 2) return (count + 7) / 8;
    return count * ElementBytes(type);
}

i16 WriteValues(CfTransferRequest* req, Writer& w, bool created) {
    const u8* src = static_cast<const u8*>(req->data);
    bool mixed = (req->word9 & 0xFFFF) == kCfMixedWrite;
    Lines lines{req->position > 0 ? static_cast<u32>(req->position) : 0u, 0, (req->word8 & 0xFF) != 0};
    u32 done = 0;
    if (!mixed) {
        u32 need = PlainWriteBytes(req->type, req->count);
        if (req->dataBytes && need > req->dataBytes) return kCfInvalid;
        if (req->type == 0) {
            std::string t = QuoteText(reinterpret_cast<const char*>(src), req->count);
            w.Put(t);
            w.Put(lines.After(true));
            SetDone(req, static_cast<u32>(strnlen(reinterpret_cast<const char*>(src), req->count)));
            return kCfOk;
        }
        for (u32 i = 0; i < req->count; ++i) {
            std::string v = req->type == 2 ? std::string((src[i / 8] >> (i % 8)) & 1 ? "1" : "0")
                                           : FormatValue(req->type, src + i * ElementBytes(req->type));
            w.Put(v);
            w.Put(lines.After(i + 1 == req->count));
            SetDone(req, ++done);
        }
        return kCfOk;
    }
    u32 ndesc = req->word10 & 0xFFFF;
    if (ndesc && !req->columnDesc) return kCfInvalid;
    u32 cap = req->dataBytes ? req->dataBytes : 8192;
    // Header row, only on a file this request created.
    if ((req->word9 >> 16) == 1 && created && req->columnNames) {
        std::string row;
        for (u32 d = 0; d < ndesc; ++d) {
            const u8* desc = req->columnDesc + 8 * d;
            u32 off = static_cast<u32>(GetLe16(desc) | (GetLe16(desc + 2) << 16));
            u32 len = desc[4];
            u32 type = desc[5];
            u32 n = GetLe16(desc + 6);
            if (req->columnNamesBytes && (off > req->columnNamesBytes || len > req->columnNamesBytes - off))
                return kCfInvalid;
            std::string name(req->columnNames + off, len);
            if (!name.empty() && name.back() == ',') name.pop_back();
            if (type == 0 || n == 1) {
                row += name + ",";
            } else {
                // Indexes are written as decimal numbers: "[10]", not a
                // character past "9".
                for (u32 k = 0; k < n; ++k) row += name + "[" + std::to_string(k) + "],";
            }
        }
        if (!row.empty()) {
            row.pop_back();
            row += "\r\n";
            w.Put(row);
        }
    }
    // Count the values first so that the last one gets the line end.
    u32 total = 0;
    for (u32 d = 0; d < ndesc; ++d) {
        const u8* desc = req->columnDesc + 8 * d;
        u32 n = GetLe16(desc + 6);
        if (n == 0) continue;
        total += desc[5] == 0 ? 1 : n;
    }
    u32 off = 0;
    for (u32 d = 0; d < ndesc; ++d) {
        const u8* desc = req->columnDesc + 8 * d;
        u32 type = desc[5];
        u32 n = GetLe16(desc + 6);
        if (n == 0) continue;
        if (type > 10 || type == 9) return kCfInvalid;
        if (type == 0) {
            if (off + n > cap) return kCfInvalid;
            w.Put(QuoteText(reinterpret_cast<const char*>(src + off), n));
            off += n;
            off += off & 1;
            w.Put(lines.After(++done == total));
            SetDone(req, done);
            continue;
        }
        if (type == 2) {
            if (off + ((n + 15) / 16) * 2 > cap) return kCfInvalid;
            for (u32 k = 0; k < n; ++k) {
                u16 word = GetLe16(src + off + (k / 16) * 2);
                w.Put((word >> (k % 16)) & 1 ? "1" : "0");
                w.Put(lines.After(++done == total));
                SetDone(req, done);
            }
            off += ((n + 15) / 16) * 2;
            continue;
        }
        u32 size = ElementBytes(type);
        if (off + n * size > cap) return kCfInvalid;
        for (u32 k = 0; k < n; ++k) {
            w.Put(FormatValue(type, src + off));
            off += size;
            w.Put(lines.After(++done == total));
            SetDone(req, done);
        }
        if (type == 10) off += off & 1;
    }
    return kCfOk;
}

bool FileExists(FxMedia* media, const char* name) {
    FxFile f{};
    if (_fxe_file_open(media, &f, name, kFxOpenRead) != kFxSuccess) return false;
    _fxe_file_close(&f);
    return true;
}

i16 CopyOne(FxMedia* from, const std::string& src, FxMedia* to, const std::string& dst) {
    FxFile in{}, out{};
    u32 st = _fxe_file_open(from, &in, src.c_str(), kFxOpenRead);
    if (st != kFxSuccess) return Decode(st, from);
    _fxe_file_delete(to, dst.c_str());
    st = _fxe_file_create(to, dst.c_str());
    if (st == kFxSuccess) st = _fxe_file_open(to, &out, dst.c_str(), kFxOpenReadWrite);
    if (st != kFxSuccess) {
        _fxe_file_close(&in);
        return Decode(st, to);
    }
    u8 buf[1024];
    for (;;) {
        u32 n = 0;
        st = _fxe_file_read(&in, buf, sizeof buf, &n);
        if (st == kFxEndOfFile) {
            st = kFxSuccess;
            break;
        }
        if (st != kFxSuccess) break;
        st = _fxe_file_write(&out, buf, n);
        if (st != kFxSuccess) break;
    }
    _fxe_file_close(&in);
    _fxe_file_close(&out);
    return Decode(st, to);
}

i16 RemoveTree(FxMedia* media, int drive, const std::string& path) {
    if (g.depth >= kMaxTreeDepth) return kCfTooDeep;
    ++g.depth;
    struct Item {
        std::string name;
        u8 attr;
    };
    std::vector<Item> items;
    CfDirEntry* e = new CfDirEntry{};
    i16 st = CF_GetFirst(drive, e, (path + "\\*.*").c_str());
    while (st == kCfOk) {
        std::string full = path + "\\" + e->name;
        if (e->ext[0]) full += std::string(".") + e->ext;
        if (!((e->attr & kFxDirectory) && e->name[0] == '.')) items.push_back({full, e->attr});
        st = CF_GetNext(drive, e);
    }
    delete e;
    if (st == kCfExists) st = kCfOk;
    for (size_t i = 0; st == kCfOk && i < items.size(); ++i) {
        const Item& it = items[i];
        if (it.attr & kFxDirectory) {
            st = RemoveTree(media, drive, it.name);
            continue;
        }
        if (it.attr & kFxVolume) continue;
        if (it.attr & kFxReadOnly) {
            u32 r = _fxe_file_attributes_set(media, it.name.c_str(), it.attr & ~kFxReadOnly & 0xFF);
            if (r != kFxSuccess) {
                st = Decode(r, media);
                break;
            }
        }
        u32 r = _fxe_file_delete(media, it.name.c_str());
        if (r != kFxSuccess) st = Decode(r, media);
    }
    --g.depth;
    if (st != kCfOk && st != kCfExists) return st;
    std::string rest = path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
    if (rest.empty() || (rest.size() == 1 && rest[0] != '/')) return kCfOk;
    u32 attr = 0;
    if (_fxe_directory_attributes_read(media, path.c_str(), &attr) == kFxSuccess && (attr & kFxReadOnly))
        _fxe_directory_attributes_set(media, path.c_str(), attr & ~kFxReadOnly & ~kFxDirectory);
    return Decode(_fxe_directory_delete(media, path.c_str()), media);
}

}  // namespace

i16 CfResultDecode(u32 code, u32 drive) {
    g.result = code;
    i16 out;
    if (code < 37)
        out = kCfStatusTable[code];
    else if (code == 137)
        out = kCfInvalid;
    else if (code == kFxTooManyFiles)
        out = Cf_Check(drive == 1 || drive == 2 ? static_cast<int>(drive) : 0) == 3 ? kCfMediumError : kCfNoMedium;
    else
        out = kCfAccessDenied;
    g.status = out;
    return out;
}

i16 CfStateDecode(int state) {
    switch (state) {
        case 0:
            return kCfNoMedium;
        case 1:
            return 4;
        case 2:
            return kCfFormatFailed;
        case 3:
            return kCfOk;
        case 82:
            return kCfBusy;
        default:
            return kCfNoMedium;
    }
}

void CF_Init() {
    g.depth = 0;
    g.status = kCfNoMedium;
}

void CF_Reset() { g = State{}; }

i16 CF_GetStatus(int drive) {
    if (drive < 0 || drive > 2) return kCfNoMedium;
    if (g.formatRunning && !MntDrive[drive].mounted) return kCfBusy;
    return Cf_Check(drive) == 3 ? kCfOk : kCfNoMedium;
}

i16 CF_Open(FxFile* file, const char* name, u32 flags) {
    if (!name || !file) return kCfInvalid;
    FxMedia* media = MediaOfName(name);
    char dir[512], fname[256], ext[15];
    if (CF_PathParse(dir, fname, ext, name) != kCfOk || fname[0] == '\0') return kCfInvalid;
    if (flags & 0xE) {
        std::string up = Upper(name);
        _fxe_file_delete(media, name);
        u32 st = _fxe_file_create(media, up.c_str());
        if (st != kFxSuccess) return Decode(st, media);
        if (flags & 0x8) _fxe_file_attributes_set(media, up.c_str(), kFxSystem);
    }
    u32 st = _fxe_file_open(media, file, name, flags == 0 ? kFxOpenRead : kFxOpenReadWrite);
    if (st == kFxSuccess && (flags & 0x1)) st = _fxe_file_relative_seek(file, 0, 1);
    return Decode(st, media);
}

i16 CF_Read(FxFile* file, void* buffer, u32 size, u32* count) {
    u32 n = 0;
    u32 st = _fxe_file_read(file, buffer, size, &n);
    if (count) *count = n;
    return CfResultDecode(st);
}

i16 CF_Write(FxFile* file, const void* data, u32 size, u32* count) {
    u32 st = _fxe_file_write(file, data, size);
    if (count) *count = st == kFxSuccess ? size : 0;
    return CfResultDecode(st);
}

i16 CF_Close(FxFile* file) { return CfResultDecode(_fxe_file_close(file)); }

i16 CF_Size(FxFile* file, u32* size) {
    if (!file || !file->open) return CfResultDecode(kFxNotOpen);
    if (size) *size = file->sizeAtOpen;
    return kCfOk;
}

i16 CF_RenameFile(const CfRenameRequest* req) {
    if (!req || !req->oldName || !req->newName) return kCfInvalid;
    FxMedia* media = MediaOfName(req->oldName);
    if (media != MediaOfName(req->newName)) return kCfInvalid;
    return Decode(_fxe_file_rename(media, req->oldName, req->newName), media);
}

i16 CF_ChangeDir(int drive, const char* path) {
    if (drive < 0 || drive > 2) return kCfInvalid;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    return Decode(_fxe_directory_local_path_set(media, &g.cdRecord[drive], path), media);
}

i16 CF_GetFirst(int drive, CfDirEntry* e, const char* patternPath) {
    if (!e || !patternPath) return kCfInvalid;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    e->savedRecord = media->localPath;
    CopyText(e->savedPath.path, sizeof e->savedPath.path, media->currentDir);
    e->started = 1;
    char dir[512];
    if (CF_PathParse(dir, e->namePattern, e->extPattern, patternPath) != kCfOk) {
        EndListing(media, e);
        return kCfInvalid;
    }
    if (dir[0]) {
        u32 st = _fxe_directory_local_path_set(media, &e->work, dir);
        if (st != kFxSuccess) {
            EndListing(media, e);
            return Decode(st, media);
        }
    }
    return NextMatching(drive, e, true);
}

i16 CF_GetNext(int drive, CfDirEntry* e) {
    if (!e || !e->started) return kCfExists;
    return NextMatching(drive, e, false);
}

i16 CF_GetDone(int drive, CfDirEntry* e) {
    if (!e) return kCfOk;
    EndListing(Fx_MediaOf(static_cast<u32>(drive)), e);
    return kCfOk;
}

i16 CF_DeleteFile(int drive, const char* pattern) {
    if (!pattern) return kCfInvalid;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    CfDirEntry* e = new CfDirEntry{};
    u32 deleted = 0;
    i16 recorded = kCfOk;
    i16 st = CF_GetFirst(drive, e, pattern);
    while (st == kCfOk) {
        if (e->attr & kFxSystem) {
            recorded = CfResultDecode(kFxIoError, media->drive);
        } else if (!(e->attr & (kFxDirectory | kFxVolume))) {
            u32 r = _fxe_file_delete(media, e->fullName);
            if (r == kFxSuccess)
                ++deleted;
            else
                recorded = Decode(r, media);
        }
        st = CF_GetNext(drive, e);
    }
    CF_GetDone(drive, e);
    delete e;
    if (deleted) return Decode(_fxe_media_flush(media), media);
    if (recorded != kCfOk) return recorded;
    return st == kCfExists ? kCfNotFound : st;
}

i16 CF_MakeDir(int drive, const char* path) {
    if (!path) return kCfInvalid;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    std::string up = Upper(path);
    char dir[512], name[256], ext[15];
    if (CF_PathParse(dir, name, ext, up.c_str()) != kCfOk) return kCfInvalid;
    std::string d = dir;
    if (!(d.empty() || (d.size() == 1 && d[0] != '/'))) {
        u32 st = _fxe_directory_name_test(media, d.c_str());
        if (st == kFxNotFound) {
            for (size_t i = 1; i <= d.size(); ++i) {
                if (i < d.size() && !IsSep(d[i])) continue;
                std::string level = d.substr(0, i);
                if (level.size() == 2 && level[1] == ':') continue;  // the drive itself
                u32 r = _fxe_directory_create(media, level.c_str());
                if (r != kFxSuccess && r != kFxAlreadyExists) return Decode(r, media);
            }
        } else if (st != kFxSuccess) {
            return Decode(st, media);
        }
    }
    return Decode(_fxe_directory_create(media, up.c_str()), media);
}

i16 CF_RemoveDir(int drive, const char* path) {
    if (!path || !*path) return kCfInvalid;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    std::string p = path;
    if (!IsSep(p[0]) && !(p.size() >= 2 && p[1] == ':')) p = "\\" + p;
    size_t keep = p.size() >= 2 && p[1] == ':' ? 3 : 1;
    while (p.size() > keep && IsSep(p.back())) p.pop_back();
    i16 st = RemoveTree(media, drive, p);
    g.depth = 0;
    return st;
}

i16 CF_GetFreeSpace(int drive, u32* totalKb, u32* freeKb) {
    if (drive < 0 || drive > 2) return kCfInvalid;
    if (g.formatRunning && !MntDrive[drive].mounted) return kCfBusy;
    FxMedia* media = Fx_MediaOf(static_cast<u32>(drive));
    if (totalKb) *totalKb = media->totalBlocks * media->kbPerBlock;
    u32 free = 0;
    u32 st = _fxe_media_space_available(media, &free);
    if (freeKb) *freeKb = free;
    return Decode(st, media);
}

i16 CF_ReadFile(int, CfTransferRequest* req) {
    if (!req) return kCfInvalid;
    if (req->position == -1) return ReadRowCount(req);
    if (req->position < 0) return ReadByColumn(req);
    return ReadByRow(req);
}

i16 CF_WriteFile(int, CfTransferRequest* req) {
    if (!req || !req->name || !req->data) return kCfInvalid;
    FxMedia* media = MediaOfName(req->name);
    char dir[512], fname[256], ext[15];
    if (CF_PathParse(dir, fname, ext, req->name) != kCfOk || fname[0] == '\0') return kCfInvalid;
    if (req->format >= 2 || req->type > 8 || req->count == 0 || req->openMode > 3) return kCfInvalid;
    if (_fxe_directory_name_test(media, req->name) == kFxSuccess) return kCfNotEmpty;
    std::string up = Upper(req->name);
    bool exists = FileExists(media, req->name);
    bool create = false;
    if (!exists) {
        if (media == &Cf_Media) {
            i16 s = CF_GetStatus(0);
            if (s != kCfOk) return s;
        }
        if (req->openMode == 1) return kCfNotFound;
        create = true;
    } else if (req->openMode == 0) {
        return kCfExists;
    } else if (req->openMode == 3) {
        _fxe_file_delete(media, req->name);
        create = true;
    }
    FxFile file{};
    u32 st = kFxSuccess;
    for (int attempt = 0; attempt < 2; ++attempt) {
        st = create ? _fxe_file_create(media, up.c_str()) : kFxSuccess;
        if (st == kFxSuccess) st = _fxe_file_open(media, &file, req->name, kFxOpenReadWrite);
        if (st != kFxInvalidName || attempt == 1 || !dir[0]) break;
        CF_MakeDir(0, dir);
    }
    if (st != kFxSuccess) return Decode(st, media);
    if (!create) st = _fxe_file_relative_seek(&file, 0, 1);
    SetDone(req, 0);
    g.writeFill = 0;
    i16 status = st == kFxSuccess ? kCfOk : Decode(st, media);
    Writer w{&file};
    if (status == kCfOk) {
        if (req->format == 0) {
            if (req->dataBytes && req->count > req->dataBytes) {
                status = kCfInvalid;
            } else {
                w.Put(req->data, req->count);
                if (!w.failed) SetDone(req, req->count);
            }
        } else {
            status = WriteValues(req, w, create);
        }
    }
    if (status == kCfOk && !w.failed && CfWriteBuffered(&file, nullptr, 0) < 0) w.failed = true;
    g.writeFill = 0;
    if (status == kCfOk && w.failed) status = Decode(g.result, media);
    _fxe_file_close(&file);
    _fxe_media_flush(media);
    if (status == kCfNotEmpty) SetDone(req, 0);
    return status;
}

i16 CF_FormatCard(int drive) {
    g.state = Cf_Format(Fx_MediaOf(static_cast<u32>(drive)), drive);
    switch (g.state) {
        case 3:
            g.status = kCfOk;
            break;
        case 2:
            g.status = kCfFormatFailed;
            break;
        default:
            g.status = kCfNoMedium;
    }
    return g.status;
}

i16 CF_CopyFile(const CfRenameRequest* req) {
    if (!req || !req->oldName || !req->newName) return kCfInvalid;
    FxMedia* from = MediaOfName(req->oldName);
    FxMedia* to = MediaOfName(req->newName);
    std::string src = req->oldName;
    if (src.find_first_of("*?") == std::string::npos) return CopyOne(from, src, to, req->newName);
    i16 st = CF_MakeDir(static_cast<int>(to->drive), req->newName);
    if (st != kCfOk && st != kCfExists) return st;
    std::string srcDir = DirectoryPart(src);
    std::vector<std::string> names;
    CfDirEntry* e = new CfDirEntry{};
    for (st = CF_GetFirst(static_cast<int>(from->drive), e, src.c_str()); st == kCfOk;
         st = CF_GetNext(static_cast<int>(from->drive), e))
        if (!(e->attr & (kFxDirectory | kFxVolume))) names.push_back(e->fullName);
    delete e;
    if (st != kCfExists) return st;
    if (names.empty()) return kCfNotFound;
    for (const std::string& n : names) {
        std::string s = srcDir.empty() ? n : srcDir + "\\" + n;
        st = CopyOne(from, s, to, std::string(req->newName) + "\\" + n);
        if (st != kCfOk) return st;
    }
    return kCfOk;
}

i16 CF_PathParse(char* directoryOut, char* nameOut, char* extensionOut, const char* path) {
    if (directoryOut) directoryOut[0] = '\0';
    if (nameOut) nameOut[0] = '\0';
    if (extensionOut) extensionOut[0] = '\0';
    if (!path) return kCfInvalid;
    size_t len = strnlen(path, kFxMaxPath + 1);
    if (len > kFxMaxPath) return kCfInvalid;
    std::string p(path, len);
    size_t pos = p.find_last_of("/\\");
    std::string file = p;
    if (pos != std::string::npos) {
        if (directoryOut) CopyText(directoryOut, 512, pos == 0 ? p.substr(0, 1) : p.substr(0, pos));
        file = p.substr(pos + 1);
    }
    char name[256], ext[15];
    i16 st = CF_FileParse(name, ext, file.c_str());
    if (st != kCfOk) return st;
    if (nameOut) CopyText(nameOut, 256, name);
    if (extensionOut) CopyText(extensionOut, 15, ext);
    return kCfOk;
}

i16 CF_FileParse(char* nameOut, char* extensionOut, const char* file) {
    std::string f = file ? file : "";
    if (f == "." || f == "..") {
        CopyText(nameOut, 256, f);
        extensionOut[0] = '\0';
        return kCfOk;
    }
    if (!f.empty() && f[0] == '.') return kCfInvalid;
    size_t dot = f.find('.');
    std::string name = Upper(f.substr(0, dot));
    std::string ext = dot == std::string::npos ? "" : Upper(f.substr(dot + 1));
    CopyText(nameOut, 256, name);
    CopyText(extensionOut, 15, ext);
    return kCfOk;
}

const char* CfUpper(const char* text) {
    CopyText(g.upper, sizeof g.upper, Upper(text ? std::string(text, strnlen(text, 511)) : std::string()));
    return g.upper;
}

int CfPatternCmp(const char* name, const char* pattern, u32 length) {
    u32 plen = static_cast<u32>(std::strlen(pattern));
    u32 nlen = static_cast<u32>(std::strlen(name));
    u32 n = std::max(plen, length);
    for (u32 i = 0; i < n; ++i) {
        char p = i < plen ? pattern[i] : '\0';
        char c = i < nlen ? name[i] : '\0';
        if (p == '*') return 1;
        if (p == '?') continue;
        if (c != p && std::toupper(static_cast<unsigned char>(c)) != p) return 0;
    }
    return 1;
}

i32 CfWriteBuffered(FxFile* file, const void* data, u32 size) {
    if (size == 0) {
        if (g.writeFill) {
            u32 st = _fxe_file_write(file, g.writeBuffer, g.writeFill);
            g.writeFill = 0;
            if (st != kFxSuccess) {
                g.result = st;
                return -1;
            }
        }
        return 0;
    }
    const u8* p = static_cast<const u8*>(data);
    u32 left = size;
    while (left) {
        u32 n = std::min<u32>(left, sizeof g.writeBuffer - g.writeFill);
        std::memcpy(g.writeBuffer + g.writeFill, p, n);
        g.writeFill += n;
        p += n;
        left -= n;
        if (g.writeFill == sizeof g.writeBuffer) {
            u32 st = _fxe_file_write(file, g.writeBuffer, g.writeFill);
            g.writeFill = 0;
            if (st != kFxSuccess) {
                g.result = st;
                return -1;
            }
        }
    }
    return static_cast<i32>(size);
}
