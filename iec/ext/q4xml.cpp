#include "iec/ext/q4xml.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "iec/ext/q4txb.h"
#include "iec/ext/q4vmsyb.h"
#include "iec/ext/q4xmlprs.h"
#include "iec/ext/q4xmltag.h"
#include "iec/ext/q4xmlwr.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr Q4FbClass kXml{0, 0, true};
constexpr Q4FbClass kMenu{0, kQ4HmiMenuBytes, true};
constexpr u32 kValueText = 128;

template <typename Body>
int Run(int command, const u16* ops, u16 n, Body body) {
    return Q4Fb_Run(kXml, command, nullptr, ops, n, body);
}

u32 Tag(u8* db, u16 index) { return static_cast<u32>(Q4Fb_Dint(db, index)); }
void PutTag(u8* db, u16 index, u32 tag) { Q4Fb_PutDint(db, index, static_cast<i32>(tag)); }

// The text of a value operand: a STRING (type 5) as it is, another type as
// converted to text.
std::string ValueText(u8* db, u16 type, u16 index) {
    if (type == kQ4TypeString) return Q4Txb_StringIn(db, index);
    char text[kQ4CnvTextMax + 8] = {};
    Q4VMCnv_NumToSZ(db, type, index, text);
    return text;
}

// A value output from the text read by get(buffer, size): a STRING receives
// at most capacity - 1 characters (empty when get fails); another type is
// converted from the text when get succeeded.
template <typename Get>
bool PutValue(u8* db, u16 type, u16 index, Get get) {
    char text[kQ4StrMaxCap + 1] = {};
    if (type == kQ4TypeString) {
        bool ok = get(text, Q4Txb_StringCap(db, index)) != 0;
        if (!ok) text[0] = 0;
        Q4Txb_StringOut(db, index, text, static_cast<u32>(std::strlen(text)));
        return ok;
    }
    bool ok = get(text, kValueText) != 0;
    if (ok) Q4VMCnv_SZToNum(db, type, index, text);
    return ok;
}

// The variable of a symbol: its type (bit 7 dropped) and address. A path
// (a structure member or an array element) resolves through the symbol
// table; a plain name of the variable map also resolves.
bool Symbol(u8* db, const std::string& name, u16* type, u8** data) {
    u8 pathType = 0;
    if (u8* at = Q4VmSyb_ParseSingle(db, name.c_str(), &pathType)) {
        *type = pathType & 0x7F;
        *data = at;
        return true;
    }
    u8* e = Q4Map_GetBySymbol(db, name.c_str());
    if (!e) return false;
    *type = Q4Map_GetType(db, e) & 0x7F;
    *data = Q4Map_GetData(db, e);
    return *type == kQ4TypeComplex || *data != nullptr;
}

}  // namespace

int Q4Xml_Manager(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        bool heap = Q4VM_GetHeap(db) != nullptr;
        i32 n = heap ? static_cast<i32>(Q4XML_Count(db)) : 0;
        Q4Fb_PutBool(db, ops[0], heap);
        Q4Fb_PutDint(db, ops[1], n);
        Q4Fb_PutDint(db, ops[2], n);
    });
}

int Q4Xml_LastError(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 1, [&] { Q4Fb_PutDint(db, ops[0], static_cast<i32>(Q4XML_LastError(db))); });
}

int Q4Xml_NewDoc(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { PutTag(db, ops[1], Q4XML_Alloc(db, Q4Txb_StringIn(db, ops[0]).c_str())); });
}

int Q4Xml_FreeDoc(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XML_Free(db, Tag(db, ops[0])) != 0); });
}

int Q4Xml_AddChild(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        PutTag(db, ops[2], Q4XML_AddChild(db, Tag(db, ops[0]), Q4Txb_StringIn(db, ops[1]).c_str()));
    });
}

int Q4Xml_GetParent(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { PutTag(db, ops[1], Q4XML_GetParent(db, Tag(db, ops[0]))); });
}

int Q4Xml_FirstChild(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        PutTag(db, ops[2], Q4XML_FirstChild(db, Tag(db, ops[0]), Q4Txb_StringIn(db, ops[1]).c_str()));
    });
}

int Q4Xml_NextChild(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        PutTag(db, ops[3],
               Q4XML_NextChild(db, Tag(db, ops[0]), Tag(db, ops[1]), Q4Txb_StringIn(db, ops[2]).c_str()));
    });
}

int Q4Xml_GetTagName(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        char text[kQ4StrMaxCap + 2] = {};
        if (!Q4XML_GetTagName(db, Tag(db, ops[0]), text, Q4Txb_StringCap(db, ops[1]) + 1)) text[0] = 0;
        Q4Txb_StringOut(db, ops[1], text, static_cast<u32>(std::strlen(text)));
    });
}

int Q4Xml_CheckTagName(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        char text[256] = {};
        bool ok = Q4XML_GetTagName(db, Tag(db, ops[0]), text, sizeof text) &&
                  Q4Str_ICmp(text, Q4Txb_StringIn(db, ops[1]).c_str()) == 0;
        Q4Fb_PutBool(db, ops[2], ok);
    });
}

// Type code, tag, out value, out BOOL.
int Q4Xml_GetTagCont(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        bool ok = PutValue(db, ops[0], ops[2], [&](char* t, u32 size) {
            return Q4XML_GetTagContents(db, Tag(db, ops[1]), t, size);
        });
        Q4Fb_PutBool(db, ops[3], ok);
    });
}

// Type code, tag, value, out BOOL.
int Q4Xml_SetTagCont(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        std::string v = ValueText(db, ops[0], ops[2]);
        Q4Fb_PutBool(db, ops[3], Q4XML_SetTagContents(db, Tag(db, ops[1]), v.c_str()) != 0);
    });
}

// Type code, tag, STRING name, out value, out BOOL.
int Q4Xml_GetTagAttrib(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 5, [&] {
        std::string name = Q4Txb_StringIn(db, ops[2]);
        bool ok = PutValue(db, ops[0], ops[3], [&](char* t, u32 size) {
            return Q4XML_GetTagAttrib(db, Tag(db, ops[1]), name.c_str(), t, size);
        });
        Q4Fb_PutBool(db, ops[4], ok);
    });
}

// Type code, tag, STRING name, value, out BOOL.
int Q4Xml_SetTagAttrib(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 5, [&] {
        std::string name = Q4Txb_StringIn(db, ops[2]), v = ValueText(db, ops[0], ops[3]);
        Q4Fb_PutBool(db, ops[4], Q4XML_SetTagAttrib(db, Tag(db, ops[1]), name.c_str(), v.c_str()) != 0);
    });
}

int Q4Xml_GetTagContT(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { PutTag(db, ops[1], Q4XML_GetTagContentsXS(db, Tag(db, ops[0]))); });
}

int Q4Xml_SetTagContT(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], Q4XML_SetTagContentsXS(db, Tag(db, ops[0]), Tag(db, ops[1])) != 0);
    });
}

int Q4Xml_ParseDocTxb(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { PutTag(db, ops[1], Q4XML_ParseXS(db, Tag(db, ops[0]))); });
}

int Q4Xml_ParseDocFile(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { PutTag(db, ops[1], Q4XML_ParseFile(db, Q4Txb_StringIn(db, ops[0]).c_str())); });
}

int Q4Xml_WriteDocTxb(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], Q4XML_WriteToXS(db, Tag(db, ops[0]), Tag(db, ops[1])) != 0);
    });
}

int Q4Xml_WriteDocFile(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2],
                     Q4XML_WriteToFile(db, Tag(db, ops[0]), Q4Txb_StringIn(db, ops[1]).c_str()) != 0);
    });
}

// STRING symbol, STRING value, an operand not read, out DINT.
int Q4Xml_SetSybValue(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        u16 type = 0;
        u8* data = nullptr;
        std::string value = Q4Txb_StringIn(db, ops[1]);
        i32 result = 1;
        if (!Symbol(db, Q4Txb_StringIn(db, ops[0]), &type, &data) || type == kQ4TypeComplex)
            result = 0;
        else if (type == kQ4TypeString)
            Q4Str_AscForce(data, value.data(), static_cast<u32>(value.size()));
        else
            Q4VMCnv_SZToNumPtr(data, type, value.c_str());
        Q4Fb_PutDint(db, ops[3], result);
    });
}

// STRING symbol, an operand not read, out STRING.
int Q4Xml_GetSybValue(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Txb_StringOut(db, ops[2], "", 0);
        u16 type = 0;
        u8* data = nullptr;
        if (!Symbol(db, Q4Txb_StringIn(db, ops[0]), &type, &data) || type == kQ4TypeComplex) return;
        if (type == kQ4TypeString) {
            Q4Txb_StringOut(db, ops[2], Q4Str_GetText(data), Q4Str_GetLength(data));
            return;
        }
        char text[kValueText] = {};
        Q4VMCnv_NumToSZPtr(data, type, text);
        Q4Txb_StringOut(db, ops[2], text, static_cast<u32>(strnlen(text, sizeof text)));
    });
}

// --- Menus -----------------------------------------------------------------

namespace {

// A new "MNU" tag (a root when parent is 0) with its text and "ID".
u32 NewMenuTag(u8* db, u32 parent, const std::string& text, const std::string& id) {
    u32 t = parent ? Q4XML_AddChild(db, parent, "MNU") : Q4XML_Alloc(db, "MNU");
    if (t) {
        Q4XML_SetTagContents(db, t, text.c_str());
        Q4XML_SetTagAttrib(db, t, "ID", id.c_str());
    }
    return t;
}

// The "ID" of a menu tag; false when the handle is no tag or has no ID.
bool MenuId(u8* db, u32 tag, std::string* id) {
    Q4XmlTagRec rec;
    if (!Q4XmlTag_Get(db, tag, &rec)) return false;
    for (const Q4XmlAttr& a : Q4XmlTag_Attribs(db, tag))
        if (Q4Str_ICmp(a.name.c_str(), "ID") == 0) {
            *id = a.value;
            return true;
        }
    return false;
}

// Instance fields.
constexpr u32 kMnPrev = 0, kMnCurrent = 4, kMnRoot = 8, kMnItems = 12, kMnCount = 140, kMnSelected = 144,
              kMnText = 148, kMnItemTexts = 404, kMnTextBytes = 256;
static_assert(kMnItemTexts + kMnTextBytes == kQ4HmiMenuBytes);
enum : u32 { kBtnPrevious, kBtnNext, kBtnEnter, kBtnBack };

std::string Cut(std::string s, size_t n) {
    if (s.size() > n) s.resize(n);
    return s;
}

void PutText(u8* inst, u32 at, const std::string& s) {
    std::memset(inst + at, 0, kMnTextBytes);
    std::memcpy(inst + at, s.data(), s.size() < kMnTextBytes ? s.size() : kMnTextBytes - 1);
}

std::string GetText(const u8* inst, u32 at) {
    return std::string(reinterpret_cast<const char*>(inst + at), strnlen(reinterpret_cast<const char*>(inst + at), kMnTextBytes - 1));
}

// Makes tag the current menu: its text, its first 32 children as items.
void LoadMenu(u8* db, u8* inst, u32 tag) {
    Q4Fb_SetU32(inst, kMnCurrent, tag);
    Q4XmlTagRec rec;
    bool valid = Q4XmlTag_Get(db, tag, &rec);
    PutText(inst, kMnText, valid ? Cut(Q4XmlTag_Text(db, rec.contents), 255) : std::string());
    std::string joined;
    u32 n = 0;
    if (valid)
        for (u32 c : Q4XmlTag_Children(db, tag)) {
            if (n == kQ4HmiMaxItems) break;
            Q4Fb_SetU32(inst, kMnItems + 4 * n++, c);
            Q4XmlTagRec cr;
            std::string text = Q4XmlTag_Get(db, c, &cr) ? Cut(Q4XmlTag_Text(db, cr.contents), 127) : std::string();
            if (!joined.empty() && joined.size() + 1 < kMnTextBytes) joined += '|';
            if (joined.size() + text.size() < kMnTextBytes) joined += text;
        }
    PutText(inst, kMnItemTexts, joined);
    Q4Fb_SetU32(inst, kMnCount, n);
    Q4Fb_SetU32(inst, kMnSelected, 0);
}

}  // namespace

int Q4Hmi_NewMenu(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] { PutTag(db, ops[2], NewMenuTag(db, Tag(db, ops[0]), Q4Txb_StringIn(db, ops[1]), "M")); });
}

int Q4Hmi_NewMenuItem(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        u32 menu = Tag(db, ops[0]);
        // Menu 0 is no tag (error 4): an item never becomes a root.
        u32 t = menu ? NewMenuTag(db, menu, Q4Txb_StringIn(db, ops[1]), std::to_string(Q4Fb_Dint(db, ops[2])))
                     : Q4XML_AddChild(db, 0, "MNU");
        PutTag(db, ops[3], t);
    });
}

int Q4Hmi_RenameMenu(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], Q4XML_SetTagContents(db, Tag(db, ops[0]), Q4Txb_StringIn(db, ops[1]).c_str()) != 0);
    });
}

int Q4Hmi_DelMenu(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XML_Free(db, Tag(db, ops[0])) != 0); });
}

// PREVIOUS, NEXT, ENTER, BACK, ROOT -> CHOSEN, POSITION, MENU text, ITEMS text.
// The handles the instance keeps are checked before each use: a menu freed
// since the last execution is no longer walked; the root is loaded again.
int Q4Hmi_Menu(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run(kMenu, command, inst, ops, 9, [&] {
        bool in[4], edge[4];
        for (u32 b = 0; b < 4; ++b) {
            in[b] = Q4Fb_Bool(db, ops[b]);
            edge[b] = in[b] && !inst[kMnPrev + b];
        }
        Q4Fb_PutDint(db, ops[5], 0);
        u32 root = Tag(db, ops[4]), current = Q4Fb_U32(inst, kMnCurrent);
        u32 count = Q4Fb_U32(inst, kMnCount);
        if (count > kQ4HmiMaxItems) count = kQ4HmiMaxItems;
        u32 sel = Q4Fb_U32(inst, kMnSelected);
        if (sel >= count) sel = 0;
        Q4XmlTagRec rec;
        if (current == 0 || root != Q4Fb_U32(inst, kMnRoot) || !Q4XmlTag_Get(db, current, &rec)) {
            Q4Fb_SetU32(inst, kMnRoot, root);
            LoadMenu(db, inst, root);
        } else {
            u32 item = count ? Q4Fb_U32(inst, kMnItems + 4 * sel) : 0;
            std::string id;
            bool hasId = count && MenuId(db, item, &id);
            if (edge[kBtnEnter] && hasId && id == "M") {
                LoadMenu(db, inst, item);
            } else if (edge[kBtnBack] && !edge[kBtnEnter] && current != root) {
                LoadMenu(db, inst, rec.parent);
            } else if (count) {
                if (edge[kBtnPrevious])
                    sel = sel == 0 ? count - 1 : sel - 1;
                else if (edge[kBtnNext])
                    sel = sel + 1 == count ? 0 : sel + 1;
                else if (edge[kBtnEnter] && hasId && id != "M")
                    Q4Fb_PutDint(db, ops[5], static_cast<i32>(std::strtol(id.c_str(), nullptr, 10)));
                Q4Fb_SetU32(inst, kMnSelected, sel);
            }
        }
        for (u32 b = 0; b < 4; ++b) inst[kMnPrev + b] = in[b] ? 1 : 0;
        Q4Fb_PutDint(db, ops[6], static_cast<i32>(Q4Fb_U32(inst, kMnSelected) + 1));
        Q4Txb_StringOut(db, ops[7], GetText(inst, kMnText));
        Q4Txb_StringOut(db, ops[8], GetText(inst, kMnItemTexts));
    });
}
