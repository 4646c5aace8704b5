#include "iec/ext/q4xmlprs.h"

#include <functional>
#include <string>

#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xs.h"
#include "iec/kernel/q4file.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u32 kMaxEntity = 9;
constexpr u32 kPiece = 511;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One character at a time from a source; cur is the character at hand
// (0: end of input).
class Reader {
public:
    template <typename Next>
    Reader(u8* db, Next next) : db_(db), next_(next) {
        cur_ = next_();
    }

    // The root tag, or 0 with err() the code set (0: none).
    u32 Root() { return Element(0, 0, nullptr); }
    u32 err() const { return err_; }

private:
    char Cur() const { return cur_; }
    void Advance() { cur_ = next_(); }
    void SkipBlanks() {
        while (Blank(cur_)) Advance();
    }
    void Fail(u32 code) {
        if (err_ == 0) err_ = code;
    }

    // At "&": the character of a named entity; false without ";" within
    // kMaxEntity characters or for an unknown name.
    bool Entity(char* out) {
        Advance();
        std::string name;
        while (cur_ != ';') {
            if (cur_ == 0 || name.size() == kMaxEntity) return false;
            name += cur_;
            Advance();
        }
        Advance();
        static const struct {
            const char* name;
            char c;
        } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
        for (const auto& e : kNamed)
            if (name == e.name) {
                *out = e.c;
                return true;
            }
        return false;
    }

    // A tag or attribute name: up to a blank, ">", "<", a quote, "/" or "=".
    bool Name(std::string* out) {
        out->clear();
        for (;;) {
            char c = cur_;
            if (c == 0) return false;
            if (Blank(c) || c == '>' || c == '<' || c == '"' || c == '\'' || c == '/' || c == '=') break;
            if (out->size() == kQ4XmlMaxName) return false;
            if (c == '&') {
                if (!Entity(&c)) return false;
            } else {
                Advance();
            }
            *out += c;
        }
        return !out->empty();
    }

    // The attribute value after its opening quote, up to the closing one.
    bool Value(std::string* out) {
        out->clear();
        while (cur_ != '"') {
            char c = cur_;
            if (c == 0 || out->size() == kQ4XmlMaxName) return false;
            if (c == '&') {
                if (!Entity(&c)) return false;
            } else {
                Advance();
            }
            *out += c;
        }
        Advance();
        return true;
    }

    // Frees a tag being built with its subtree and fails.
    u32 Drop(u32 tag, u32 code) {
        Fail(code);
        if (tag) Q4XmlTag_FreeTree(db_, tag);
        return 0;
    }

    // Contents are collected in pieces of kPiece characters; a failed entity
    // left a 0 in its piece, and the piece ends there. All the text of an
    // element goes to its tag at once when the element ends, so that the
    // blanks between many children do not grow the contents piece by piece.
    static void EndPiece(std::string* piece, std::string* text) {
        text->append(*piece, 0, piece->find('\0'));
        piece->clear();
    }

    // An element: a child of parent (0: the root) after *last, the parent's
    // last child so far, which becomes the new tag.
    u32 Element(u32 parent, u32 depth, u32* last) {
        // 1. Up to "<" and a character that starts a name.
        for (;;) {
            if (cur_ == 0) return 0;
            if (cur_ != '<') {
                Advance();
                continue;
            }
            Advance();
            if (cur_ == '?' || cur_ == '!') {
                while (cur_ != 0 && cur_ != '>') Advance();
                if (cur_ == 0) return 0;
                Advance();
                continue;
            }
            if (cur_ == '>') {
                Advance();
                continue;
            }
            break;
        }
        // 2. The name and the tag.
        SkipBlanks();
        std::string name;
        if (!Name(&name)) return Drop(0, kXmlSyntax);
        if (depth >= kQ4XmlMaxDepth) return Drop(0, kXmlSyntax);
        u32 tag = Q4XmlTag_New(db_, parent, name, last ? *last : 0);
        if (!tag) return Drop(0, kXmlNoMemory);
        if (last) *last = tag;
        // 3. Attributes.
        SkipBlanks();
        while (cur_ != '/' && cur_ != '>') {
            std::string an, av;
            if (cur_ == 0 || !Name(&an)) return Drop(tag, kXmlSyntax);
            SkipBlanks();
            if (cur_ != '=') return Drop(tag, kXmlSyntax);
            Advance();
            SkipBlanks();
            if (cur_ != '"') return Drop(tag, kXmlSyntax);
            Advance();
            if (!Value(&av)) return Drop(tag, kXmlSyntax);
            if (!Q4XmlTag_SetAttrib(db_, tag, an, av)) return Drop(tag, kXmlNoMemory);
            SkipBlanks();
        }
        // 4. An empty element.
        if (cur_ == '/') {
            Advance();
            if (cur_ != '>') return Drop(tag, kXmlSyntax);
            Advance();
            return tag;
        }
        // 5. Contents and children up to the end tag.
        Advance();
        std::string piece, text;
        u32 child = 0;
        for (;;) {
            if (cur_ == 0) return Drop(tag, kXmlSyntax);
            if (cur_ != '<') {
                char c = cur_;
                if (c == '&') {
                    if (!Entity(&c)) c = 0;
                } else {
                    Advance();
                }
                piece += c;
                if (piece.size() == kPiece) EndPiece(&piece, &text);
                continue;
            }
            EndPiece(&piece, &text);
            u32 before = err_;
            if (Element(tag, depth + 1, &child)) continue;
            if (cur_ != '/' || err_ == kXmlNoMemory) return Drop(tag, kXmlSyntax);
            // The end tag: a failed child that stopped at "</".
            err_ = before;
            Advance();
            std::string end;
            if (!Name(&end) || Q4Str_ICmp(end.c_str(), name.c_str()) != 0) return Drop(tag, kXmlSyntax);
            SkipBlanks();
            if (cur_ != '>') return Drop(tag, kXmlSyntax);
            Advance();
            if (!text.empty() && !Q4XmlTag_AppendContents(db_, tag, text)) return Drop(tag, kXmlNoMemory);
            return tag;
        }
    }

    u8* db_;
    std::function<char()> next_;
    char cur_ = 0;
    u32 err_ = 0;
};

u32 Finish(u8* db, Reader& r) {
    u32 root = r.Root();
    Q4XML_SetError(db, root ? kXmlOk : (r.err() ? r.err() : kXmlSyntax));
    return root;
}

}  // namespace

u32 Q4XmlPrs_ParseText(u8* db, std::string_view text) {
    if (!Q4VM_GetHeap(db)) return 0;
    size_t at = 0;
    Reader r(db, [&]() -> char { return at < text.size() ? text[at++] : 0; });
    return Finish(db, r);
}

u32 Q4XML_ParseXS(u8* db, u32 buffer) {
    Q4Heap* heap = Q4VM_GetHeap(db);
    if (!heap) return 0;
    std::string text;
    u32 root = 0;
    if (!Q4XS_Text(db, buffer, &text)) {
        Q4XML_SetError(db, kXmlBadText);
    } else {
        root = Q4XmlPrs_ParseText(db, text);
    }
    Q4Heap_Compact(heap, 16);
    return root;
}

u32 Q4XML_ParseFile(u8* db, const char* path) {
    Q4Heap* heap = Q4VM_GetHeap(db);
    if (!heap) return 0;
    Q4FileHandle f = Q4File_Open(path, 0);
    if (!f) {
        Q4XML_SetError(db, kXmlNoFile);
        return 0;
    }
    Reader r(db, [f]() -> char {
        char c = 0;
        return Q4File_Fread(f, 1, 1, &c) == 1 ? c : 0;
    });
    u32 root = Finish(db, r);
    Q4File_Close(f);
    Q4Heap_Compact(heap, 16);
    return root;
}
