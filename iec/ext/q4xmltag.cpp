#include "iec/ext/q4xmltag.h"

#include <cstring>

#include "iec/ext/q4xs.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u32 kTagMagic = 0, kTagName = 4, kTagContents = 8, kTagChild = 12, kTagParent = 16, kTagNext = 20,
              kTagAttr = 24, kTagBytes = 28;
constexpr u32 kAttrNext = 0, kAttrName = 4, kAttrValue = 8, kAttrBytes = 12;

Q4Heap* Heap(u8* db) { return db ? Q4VM_GetHeap(db) : nullptr; }

u32 StatusGet(u8* db, u32 at) {
    u8* st = Q4VM_Status(db);
    return st ? GetLe32(st + at) : 0;
}
void StatusPut(u8* db, u32 at, u32 v) {
    if (u8* st = Q4VM_Status(db)) PutLe32(st + at, v);
}

// One u32 field of a block; 0 when the handle is none.
u32 Field(Q4Heap* heap, u32 h, u32 at) {
    const u8* p = Q4Heap_Lock(heap, h);
    if (!p) return 0;
    u32 v = GetLe32(p + at);
    Q4Heap_Unlock(heap, h);
    return v;
}
void SetField(Q4Heap* heap, u32 h, u32 at, u32 v) {
    if (u8* p = Q4Heap_Lock(heap, h)) {
        PutLe32(p + at, v);
        Q4Heap_Unlock(heap, h);
    }
}

bool IsTag(Q4Heap* heap, u32 tag) { return tag && Field(heap, tag, kTagMagic) == kQ4XmlMagic; }

// A string block of the text (capacity strlen + 1); 0 when the heap is full.
u32 NewString(Q4Heap* heap, const std::string& text) {
    u32 cap = static_cast<u32>(text.size()) + 1;
    u32 h = Q4Heap_Alloc(heap, 4 + cap);
    if (u8* p = h ? Q4Heap_Lock(heap, h) : nullptr) {
        PutLe32(p, cap);
        std::memcpy(p + 4, text.data(), text.size());
        p[4 + text.size()] = 0;
        Q4Heap_Unlock(heap, h);
    }
    return h;
}

std::string StringText(Q4Heap* heap, u32 h) {
    std::string s;
    const u8* p = h ? Q4Heap_Lock(heap, h) : nullptr;
    if (!p) return s;
    u32 cap = GetLe32(p);
    if (cap) s.assign(reinterpret_cast<const char*>(p + 4), strnlen(reinterpret_cast<const char*>(p + 4), cap - 1));
    Q4Heap_Unlock(heap, h);
    return s;
}

// Rewrites the string held in field `at` of block `owner`: in place when the
// text fits its capacity, else through a new block taken before the old one
// is freed, so a failure keeps the old text.
bool ReplaceString(Q4Heap* heap, u32 owner, u32 at, const std::string& text) {
    u32 old = Field(heap, owner, at);
    if (u8* p = old ? Q4Heap_Lock(heap, old) : nullptr) {
        bool fits = text.size() < GetLe32(p);
        if (fits) {
            std::memcpy(p + 4, text.data(), text.size());
            p[4 + text.size()] = 0;
        }
        Q4Heap_Unlock(heap, old);
        if (fits) return true;
    }
    u32 fresh = NewString(heap, text);
    if (!fresh) return false;
    if (old) Q4Heap_Free(heap, old);
    SetField(heap, owner, at, fresh);
    return true;
}

// Checks a tag for an operation of the blocks: compacts first (when asked)
// and sets error 4 for a handle that is no tag.
Q4Heap* OpenTag(u8* db, u32 tag, bool compact = true) {
    Q4Heap* heap = Heap(db);
    if (!heap) return nullptr;
    if (compact) Q4Heap_Compact(heap, 4);
    if (IsTag(heap, tag)) return heap;
    Q4XML_SetError(db, kXmlBadTag);
    return nullptr;
}

bool NameMatches(Q4Heap* heap, u32 tag, const char* name) {
    if (!name || !*name) return true;
    return Q4Str_ICmp(StringText(heap, Field(heap, tag, kTagName)).c_str(), name) == 0;
}

// Copies text cut to size - 1 characters and a NUL.
void CopyCut(const std::string& text, char* dst, u32 size) {
    if (!dst || size == 0) return;
    u32 n = text.size() < size - 1 ? static_cast<u32>(text.size()) : size - 1;
    std::memcpy(dst, text.data(), n);
    dst[n] = 0;
}

// The attribute named name (ignoring case), or 0.
u32 FindAttr(u8* db, Q4Heap* heap, u32 tag, const char* name) {
    u32 bound = Q4XmlTag_WalkBound(db);
    for (u32 a = Field(heap, tag, kTagAttr); a && bound--; a = Field(heap, a, kAttrNext))
        if (Q4Str_ICmp(StringText(heap, Field(heap, a, kAttrName)).c_str(), name) == 0) return a;
    return 0;
}

}  // namespace

u32 Q4XML_Count(u8* db) { return StatusGet(db, kVmStXmlCount); }
u32 Q4XML_LastError(u8* db) { return StatusGet(db, kVmStXmlError); }
void Q4XML_SetError(u8* db, u32 code) { StatusPut(db, kVmStXmlError, code); }

// Only a buffer heap comes back from a file (hot restart) and may hold
// damaged links; a walk there takes at most one step per handle slot.
u32 Q4XmlTag_WalkBound(u8* db) {
    Q4Heap* heap = Heap(db);
    if (!heap) return 0;
    return Q4Heap_IsMalloc(heap) ? 0xFFFFFFFFu : Q4Heap_GetInfo(heap).handles + 1;
}

bool Q4XmlTag_Get(u8* db, u32 tag, Q4XmlTagRec* out) {
    Q4Heap* heap = Heap(db);
    const u8* p = heap && tag ? Q4Heap_Lock(heap, tag) : nullptr;
    if (!p) return false;
    bool ok = GetLe32(p + kTagMagic) == kQ4XmlMagic;
    if (ok)
        *out = Q4XmlTagRec{GetLe32(p + kTagName),   GetLe32(p + kTagContents), GetLe32(p + kTagChild),
                           GetLe32(p + kTagParent), GetLe32(p + kTagNext),     GetLe32(p + kTagAttr)};
    Q4Heap_Unlock(heap, tag);
    return ok;
}

std::string Q4XmlTag_Text(u8* db, u32 str) {
    Q4Heap* heap = Heap(db);
    return heap ? StringText(heap, str) : std::string();
}

u32 Q4XmlTag_New(u8* db, u32 parent, const std::string& name, u32 after) {
    Q4Heap* heap = Heap(db);
    if (!heap) return 0;
    u32 tag = Q4Heap_Alloc(heap, kTagBytes);
    u32 str = tag ? NewString(heap, name) : 0;
    if (!str) {
        if (tag) Q4Heap_Free(heap, tag);
        return 0;
    }
    SetField(heap, tag, kTagMagic, kQ4XmlMagic);
    SetField(heap, tag, kTagName, str);
    SetField(heap, tag, kTagParent, parent);
    if (parent) {
        u32 last = after, bound = Q4XmlTag_WalkBound(db);
        if (!last)
            for (u32 c = Field(heap, parent, kTagChild); c && bound--; c = Field(heap, c, kTagNext)) last = c;
        SetField(heap, last ? last : parent, last ? kTagNext : kTagChild, tag);
    }
    StatusPut(db, kVmStXmlCount, Q4XML_Count(db) + 1);
    return tag;
}

bool Q4XmlTag_AppendContents(u8* db, u32 tag, const std::string& text) {
    Q4Heap* heap = Heap(db);
    if (!heap) return false;
    u32 old = Field(heap, tag, kTagContents);
    if (!old) {
        u32 s = NewString(heap, text);
        if (s) SetField(heap, tag, kTagContents, s);
        return s != 0;
    }
    return ReplaceString(heap, tag, kTagContents, StringText(heap, old) + text);
}

bool Q4XmlTag_SetAttrib(u8* db, u32 tag, const std::string& name, const std::string& value) {
    Q4Heap* heap = Heap(db);
    if (!heap) return false;
    if (u32 a = FindAttr(db, heap, tag, name.c_str())) {
        if (Field(heap, a, kAttrValue)) return ReplaceString(heap, a, kAttrValue, value);
        u32 v = NewString(heap, value);
        if (v) SetField(heap, a, kAttrValue, v);
        return v != 0;
    }
    u32 a = Q4Heap_Alloc(heap, kAttrBytes);
    u32 n = a ? NewString(heap, name) : 0;
    u32 v = n ? NewString(heap, value) : 0;
    if (!v) {
        if (n) Q4Heap_Free(heap, n);
        if (a) Q4Heap_Free(heap, a);
        return false;
    }
    SetField(heap, a, kAttrName, n);
    SetField(heap, a, kAttrValue, v);
    u32 last = 0, bound = Q4XmlTag_WalkBound(db);
    for (u32 x = Field(heap, tag, kTagAttr); x && bound--; x = Field(heap, x, kAttrNext)) last = x;
    SetField(heap, last ? last : tag, last ? kAttrNext : kTagAttr, a);
    return true;
}

// Walks with an explicit stack (a document may nest as deep as the program
// built it), bounded by the live blocks.
u32 Q4XmlTag_FreeTree(u8* db, u32 tag) {
    Q4Heap* heap = Heap(db);
    if (!heap || !IsTag(heap, tag)) return 0;
    u32 parent = Field(heap, tag, kTagParent), next = Field(heap, tag, kTagNext);
    SetField(heap, tag, kTagNext, 0);
    if (parent && IsTag(heap, parent)) {
        u32 bound = Q4XmlTag_WalkBound(db);
        u32 c = Field(heap, parent, kTagChild);
        if (c == tag) {
            SetField(heap, parent, kTagChild, next);
        } else {
            while (c && bound-- && Field(heap, c, kTagNext) != tag) c = Field(heap, c, kTagNext);
            if (c && Field(heap, c, kTagNext) == tag) SetField(heap, c, kTagNext, next);
        }
    }
    u32 freed = 0, bound = Q4XmlTag_WalkBound(db);
    std::vector<u32> stack{tag};
    while (!stack.empty() && bound--) {
        u32 t = stack.back();
        stack.pop_back();
        if (!IsTag(heap, t)) continue;
        for (u32 c = Field(heap, t, kTagChild), n = bound; c && n--; c = Field(heap, c, kTagNext)) stack.push_back(c);
        for (u32 a = Field(heap, t, kTagAttr), n = bound; a && n--;) {
            u32 following = Field(heap, a, kAttrNext);
            Q4Heap_Free(heap, Field(heap, a, kAttrName));
            Q4Heap_Free(heap, Field(heap, a, kAttrValue));
            Q4Heap_Free(heap, a);
            a = following;
        }
        Q4Heap_Free(heap, Field(heap, t, kTagName));
        if (u32 s = Field(heap, t, kTagContents)) Q4Heap_Free(heap, s);
        // The magic goes first, so a handle the program kept is no tag.
        SetField(heap, t, kTagMagic, 0);
        Q4Heap_Free(heap, t);
        ++freed;
    }
    u32 n = Q4XML_Count(db);
    StatusPut(db, kVmStXmlCount, n > freed ? n - freed : 0);
    return freed;
}

std::vector<Q4XmlAttr> Q4XmlTag_Attribs(u8* db, u32 tag) {
    std::vector<Q4XmlAttr> out;
    Q4Heap* heap = Heap(db);
    if (!heap) return out;
    u32 bound = Q4XmlTag_WalkBound(db);
    for (u32 a = Field(heap, tag, kTagAttr); a && bound--; a = Field(heap, a, kAttrNext)) {
        u32 n = Field(heap, a, kAttrName);
        if (n) out.push_back(Q4XmlAttr{StringText(heap, n), StringText(heap, Field(heap, a, kAttrValue))});
    }
    return out;
}

std::vector<u32> Q4XmlTag_Children(u8* db, u32 tag) {
    std::vector<u32> out;
    Q4Heap* heap = Heap(db);
    if (!heap) return out;
    u32 bound = Q4XmlTag_WalkBound(db);
    for (u32 c = Field(heap, tag, kTagChild); c && bound--; c = Field(heap, c, kTagNext))
        if (IsTag(heap, c)) out.push_back(c);
    return out;
}

// --- Operations of the blocks ----------------------------------------------

u32 Q4XML_Alloc(u8* db, const char* name) {
    Q4Heap* heap = Heap(db);
    if (!heap) return 0;
    Q4Heap_Compact(heap, 4);
    u32 t = Q4XmlTag_New(db, 0, name ? name : "");
    Q4XML_SetError(db, t ? kXmlOk : kXmlNoMemory);
    return t;
}

u32 Q4XML_AddChild(u8* db, u32 parent, const char* name) {
    if (!OpenTag(db, parent)) return 0;
    u32 t = Q4XmlTag_New(db, parent, name ? name : "");
    Q4XML_SetError(db, t ? kXmlOk : kXmlNoMemory);
    return t;
}

int Q4XML_Free(u8* db, u32 tag) {
    Q4Heap* heap = OpenTag(db, tag, false);
    if (!heap) return 0;
    Q4XmlTag_FreeTree(db, tag);
    Q4XML_SetError(db, kXmlOk);
    Q4Heap_Compact(heap, 16);
    return 1;
}

u32 Q4XML_GetParent(u8* db, u32 tag) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    Q4XML_SetError(db, kXmlOk);
    return Field(heap, tag, kTagParent);
}

u32 Q4XML_FirstChild(u8* db, u32 tag, const char* name) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    Q4XML_SetError(db, kXmlOk);
    for (u32 c : Q4XmlTag_Children(db, tag))
        if (NameMatches(heap, c, name)) return c;
    return 0;
}

u32 Q4XML_NextChild(u8* db, u32 parent, u32 tag, const char* name) {
    Q4Heap* heap = OpenTag(db, parent);
    if (!heap) return 0;
    if (!IsTag(heap, tag) || Field(heap, tag, kTagParent) != parent) {
        Q4XML_SetError(db, kXmlBadTag);
        return 0;
    }
    Q4XML_SetError(db, kXmlOk);
    u32 bound = Q4XmlTag_WalkBound(db);
    for (u32 c = Field(heap, tag, kTagNext); c && bound--; c = Field(heap, c, kTagNext))
        if (IsTag(heap, c) && NameMatches(heap, c, name)) return c;
    return 0;
}

int Q4XML_GetTagName(u8* db, u32 tag, char* dst, u32 size) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    CopyCut(StringText(heap, Field(heap, tag, kTagName)), dst, size);
    Q4XML_SetError(db, kXmlOk);
    return 1;
}

int Q4XML_GetTagContents(u8* db, u32 tag, char* dst, u32 size) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    Q4XML_SetError(db, kXmlOk);
    if (size == 0) return 0;
    CopyCut(StringText(heap, Field(heap, tag, kTagContents)), dst, size);
    return 1;
}

int Q4XML_SetTagContents(u8* db, u32 tag, const char* text) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    std::string t = text ? text : "";
    bool ok = Field(heap, tag, kTagContents) ? ReplaceString(heap, tag, kTagContents, t)
                                             : Q4XmlTag_AppendContents(db, tag, t);
    Q4XML_SetError(db, ok ? kXmlOk : kXmlNoMemory);
    return ok ? 1 : 0;
}

int Q4XML_AppendContents(u8* db, u32 tag, const char* text) {
    if (!OpenTag(db, tag)) return 0;
    bool ok = Q4XmlTag_AppendContents(db, tag, text ? text : "");
    Q4XML_SetError(db, ok ? kXmlOk : kXmlNoMemory);
    return ok ? 1 : 0;
}

int Q4XML_GetTagAttrib(u8* db, u32 tag, const char* name, char* dst, u32 size) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    if (dst && size) dst[0] = 0;
    if (!Field(heap, tag, kTagAttr)) return 0;
    Q4XML_SetError(db, kXmlOk);
    u32 a = FindAttr(db, heap, tag, name ? name : "");
    if (!a) return 0;
    CopyCut(StringText(heap, Field(heap, a, kAttrValue)), dst, size);
    return 1;
}

int Q4XML_SetTagAttrib(u8* db, u32 tag, const char* name, const char* value) {
    if (!OpenTag(db, tag)) return 0;
    bool ok = Q4XmlTag_SetAttrib(db, tag, name ? name : "", value ? value : "");
    Q4XML_SetError(db, ok ? kXmlOk : kXmlNoMemory);
    return ok ? 1 : 0;
}

u32 Q4XML_GetTagContentsXS(u8* db, u32 tag) {
    Q4Heap* heap = OpenTag(db, tag);
    if (!heap) return 0;
    u32 c = Field(heap, tag, kTagContents);
    std::string text = StringText(heap, c);
    u32 xs = c ? Q4XS_Alloc(db, 0, text.c_str()) : Q4XS_Alloc(db, 32, nullptr);
    Q4XML_SetError(db, xs ? kXmlOk : kXmlNoMemory);
    return xs;
}

int Q4XML_SetTagContentsXS(u8* db, u32 tag, u32 buffer) {
    if (!OpenTag(db, tag)) return 0;
    std::string text;
    if (!Q4XS_Text(db, buffer, &text)) {
        Q4XML_SetError(db, kXmlBadText);
        return 0;
    }
    return Q4XML_SetTagContents(db, tag, text.c_str());
}
