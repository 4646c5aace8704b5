#include "iec/ext/q4xmlwr.h"

#include <vector>

#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xs.h"
#include "iec/kernel/q4file.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"

namespace {

constexpr const char kHeader[] = "<?xml version=\"1.0\" standalone=\"yes\"?>";

void Escaped(std::string* out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '"': *out += "&quot;"; break;
            case '&': *out += "&amp;"; break;
            case '\'': *out += "&apos;"; break;
            case '<': *out += "&lt;"; break;
            case '>': *out += "&gt;"; break;
            default: *out += c;
        }
    }
}

// One open tag of the walk: its escaped name and the children still to write.
struct Frame {
    std::string name;
    std::vector<u32> children;
    size_t next = 0;
};

}  // namespace

std::string Q4XmlWr_Tag(u8* db, u32 tag) {
    std::string out;
    Q4XmlTagRec rec;
    if (!Q4XmlTag_Get(db, tag, &rec)) return out;
    u32 bound = Q4XmlTag_WalkBound(db);
    std::vector<Frame> stack;
    // Writes the start of a tag; a tag with children stays open on the stack.
    auto open = [&](u32 t) {
        Q4XmlTagRec r;
        if (!Q4XmlTag_Get(db, t, &r)) return;
        Frame f;
        Escaped(&f.name, Q4XmlTag_Text(db, r.name));
        out += '<';
        out += f.name;
        for (const Q4XmlAttr& a : Q4XmlTag_Attribs(db, t)) {
            out += ' ';
            Escaped(&out, a.name);
            out += "=\"";
            Escaped(&out, a.value);
            out += '"';
        }
        f.children = Q4XmlTag_Children(db, t);
        if (!f.children.empty()) {
            out += '>';
            stack.push_back(std::move(f));
        } else if (!r.contents) {
            out += "/>";
        } else {
            out += '>';
            Escaped(&out, Q4XmlTag_Text(db, r.contents));
            out += "</" + f.name + ">";
        }
    };
    open(tag);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.children.size() && bound > 0) {
            --bound;
            open(f.children[f.next++]);
        } else {
            out += "</" + f.name + ">";
            stack.pop_back();
        }
    }
    return out;
}

std::string Q4XmlWr_Document(u8* db, u32 tag) { return kHeader + Q4XmlWr_Tag(db, tag); }

namespace {

// The document of a tag for the writing operations: false without a heap,
// and with error 4 for a handle that is no tag.
bool DocumentOf(u8* db, u32 tag, std::string* doc) {
    Q4Heap* heap = Q4VM_GetHeap(db);
    if (!heap) return false;
    Q4Heap_Compact(heap, 4);
    Q4XmlTagRec rec;
    if (!Q4XmlTag_Get(db, tag, &rec)) {
        Q4XML_SetError(db, kXmlBadTag);
        return false;
    }
    *doc = Q4XmlWr_Document(db, tag);
    return true;
}

}  // namespace

int Q4XML_WriteToXS(u8* db, u32 tag, u32 buffer) {
    std::string doc;
    if (!DocumentOf(db, tag, &doc)) return 0;
    if (!Q4XS_Set(db, buffer, doc.data(), static_cast<u32>(doc.size()))) {
        Q4XML_SetError(db, kXmlNoMemory);
        return 0;
    }
    return 1;
}

int Q4XML_WriteToFile(u8* db, u32 tag, const char* path) {
    std::string doc;
    if (!DocumentOf(db, tag, &doc)) return 0;
    Q4FileHandle f = Q4File_Open(path, 1);
    bool ok = f && Q4File_Write(f, doc.data(), static_cast<u32>(doc.size())) == 1;
    if (f) ok = Q4File_Close(f) == 1 && ok;
    Q4XML_SetError(db, ok ? kXmlOk : kXmlWriteFailed);
    return ok ? 1 : 0;
}
