// File-instruction records as a program carries them: the opcode word, then
// the fixed-layout fields (32-bit register bit addresses, low word first)
// and the names in one of their three forms. Each helper returns the words;
// Emit() appends them to a ladder program through the builder's raw words.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"
#include "storage/file.h"
#include "testsupport/ladder_builder.h"

namespace frec {

using Words = std::vector<u16>;

inline void U32(Words& w, u32 v) {
    w.push_back(static_cast<u16>(v));
    w.push_back(static_cast<u16>(v >> 16));
}

// A name in one of its forms.
struct Name {
    enum Kind { kInline, kBlock, kRegister } kind = kInline;
    std::string text;  // inline
    u32 address = 0;   // string block (form 0) or register (form >= 1024)
};
inline Name Inline(const std::string& t) { return Name{Name::kInline, t, 0}; }
inline Name Block(u32 address) { return Name{Name::kBlock, "", address}; }
inline Name Register(u32 address) { return Name{Name::kRegister, "", address}; }

inline void PutName(Words& w, const Name& n) {
    if (n.kind == Name::kBlock) {
        U32(w, 0);
        U32(w, n.address);
        return;
    }
    if (n.kind == Name::kRegister) {
        U32(w, n.address);
        return;
    }
    std::string t = n.text;
    t.push_back('\0');
    if (t.size() % 2) t.push_back('\0');
    U32(w, static_cast<u32>(t.size() / 2));
    for (size_t i = 0; i < t.size(); i += 2)
        w.push_back(static_cast<u16>(static_cast<u8>(t[i]) | (static_cast<u8>(t[i + 1]) << 8)));
}

// Read (250) or write (251).
struct Transfer {
    u16 op = kFileOpWrite;
    u16 channel = 0;
    u8 mode = 1;  // CSV
    u8 options = 0;
    u32 data = 0;
    u16 type = 1;
    u32 second = 0;  // first element (read) or elements per line (write)
    u32 count = 0;
    u32 status = 0;
    Name name;
};
inline Words Make(const Transfer& t) {
    Words w{t.op, t.channel, static_cast<u16>(t.mode | (t.options << 8))};
    U32(w, t.data);
    w.push_back(t.type);
    U32(w, t.second);
    U32(w, t.count);
    U32(w, t.status);
    PutName(w, t.name);
    return w;
}

inline Words Copy(u32 status, const Name& src, const Name& dst) {
    Words w{kFileOpCopy, 0};
    U32(w, status);
    U32(w, 0);
    PutName(w, src);
    PutName(w, dst);
    return w;
}
inline Words Delete(u32 status, const Name& n) {
    Words w{kFileOpDelete, 0};
    U32(w, status);
    PutName(w, n);
    return w;
}
inline Words Rename(u32 status, const Name& a, const Name& b) {
    Words w{kFileOpRename, 0};
    U32(w, status);
    PutName(w, a);
    PutName(w, b);
    return w;
}
inline Words Format(u16 channel, u32 status) {
    Words w{kFileOpFormat, channel};
    U32(w, status);
    return w;
}

// One field of a record: element type (0 text), count and, for a write,
// its column name.
struct Field {
    u8 type;
    u16 count;
    std::string name = "F";
};
// Record read (form 76) or write (77) with an inline name. A write carries
// 8-byte column descriptors whose names lie in the record (header flag 1);
// a read carries 4-byte table entries.
inline Words Record(bool write, u32 data, u32 status, u32 rewind, u16 bytesPerRecord,
                    const std::vector<Field>& fields, const std::string& name, u16 rewindToOne = 0) {
    Words w{kFileOpRecord, static_cast<u16>(write ? 77 : 76), 0, 0, 0 /*channel*/, 1 /*mode*/};
    if (write) {
        w.push_back(2);  // open mode: append or create
        w.push_back(1);  // header row on a new file
        U32(w, data);
        U32(w, status);
    } else {
        U32(w, data);
        U32(w, status);
        U32(w, rewind);
    }
    U32(w, static_cast<u32>(fields.size()));
    U32(w, 1);   // inline name form
    U32(w, 0);   // offset of the name, patched below
    w.push_back(0);  // size, patched below
    w.push_back(bytesPerRecord);
    if (!write) {
        w.push_back(rewindToOne);
        w.push_back(0);
    }
    std::vector<size_t> descAt;
    for (const Field& f : fields) {
        descAt.push_back(w.size());
        if (write) {
            U32(w, 0);  // name offset, patched below
            w.push_back(static_cast<u16>((f.name.size() + 1) | (f.type << 8)));
            w.push_back(f.count);
        } else {
            w.push_back(static_cast<u16>(f.type << 8));
            w.push_back(f.count);
        }
    }
    auto text = [&](std::string t) {
        u32 at = static_cast<u32>(w.size() * 2);
        if (t.size() % 2) t.push_back('\0');
        for (size_t i = 0; i < t.size(); i += 2)
            w.push_back(static_cast<u16>(static_cast<u8>(t[i]) | (static_cast<u8>(t[i + 1]) << 8)));
        return at;
    };
    if (write)
        for (size_t i = 0; i < fields.size(); ++i) {
            u32 at = text(fields[i].name + ",");
            w[descAt[i]] = static_cast<u16>(at);
        }
    u32 nameAt = text(name + std::string(1, '\0'));
    w[16] = static_cast<u16>(nameAt);
    w[17] = 0;
    w[18] = static_cast<u16>(w.size() * 2);
    return w;
}

inline void Emit(LadderBuilder& b, const Words& w) {
    for (u16 x : w) b.Raw(x);
}

}  // namespace frec
