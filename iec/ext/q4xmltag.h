// XML documents as trees of tags in the application's buffer heap, held by
// the program as DINT handles (the root tag's handle stands for the
// document). This module keeps the tree: tags, their names, contents and
// attributes; q4xmlprs reads XML text into a tree, q4xmlwr writes one out.
//
// Heap blocks (u32 little-endian fields, since a buffer heap is saved with
// the database):
//   tag       magic "XML\0", name, contents (0: none), first child, parent
//             (0: a root), next sibling, first attribute
//   attribute next attribute, name, value
//   string    capacity (text bytes with the NUL), then the text
// Children and attributes are singly linked lists in document order.
//
// Links read from a buffer heap (saved with the database and read back) are
// not trusted to form a tree: every walk there is bounded by the number of
// handle slots, so damaged links can stop a walk early but never make it
// endless.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

constexpr u32 kQ4XmlMagic = 0x004C4D58;  // "XML\0"

enum Q4XmlError : u32 {
    kXmlOk = 0,
    kXmlBadTag = 4,
    kXmlNoMemory = 5,
    kXmlBadText = 6,
    kXmlSyntax = 7,
    kXmlNoFile = 8,
    kXmlWriteFailed = 9,
};

// The family's status fields.
u32 Q4XML_Count(u8* db);
u32 Q4XML_LastError(u8* db);
void Q4XML_SetError(u8* db, u32 code);

// Tree operations of the blocks: without a heap they answer 0 and set
// nothing; an invalid tag sets error 4.
u32 Q4XML_Alloc(u8* db, const char* name);
u32 Q4XML_AddChild(u8* db, u32 parent, const char* name);
int Q4XML_Free(u8* db, u32 tag);
u32 Q4XML_GetParent(u8* db, u32 tag);
u32 Q4XML_FirstChild(u8* db, u32 tag, const char* name);
u32 Q4XML_NextChild(u8* db, u32 parent, u32 tag, const char* name);
int Q4XML_GetTagName(u8* db, u32 tag, char* dst, u32 size);
int Q4XML_GetTagContents(u8* db, u32 tag, char* dst, u32 size);
int Q4XML_SetTagContents(u8* db, u32 tag, const char* text);
int Q4XML_AppendContents(u8* db, u32 tag, const char* text);
int Q4XML_GetTagAttrib(u8* db, u32 tag, const char* name, char* dst, u32 size);
int Q4XML_SetTagAttrib(u8* db, u32 tag, const char* name, const char* value);
u32 Q4XML_GetTagContentsXS(u8* db, u32 tag);
int Q4XML_SetTagContentsXS(u8* db, u32 tag, u32 buffer);

// --- For the reader and the writer (no compaction, no error codes) ---------
struct Q4XmlTagRec {
    u32 name = 0, contents = 0, child = 0, parent = 0, next = 0, attr = 0;
};
// The tag's fields when the handle is a tag.
bool Q4XmlTag_Get(u8* db, u32 tag, Q4XmlTagRec* out);
// Text of a string block (empty for none).
std::string Q4XmlTag_Text(u8* db, u32 str);
// A new tag appended to parent's children (parent 0: a root); counted. 0
// when the heap is full. after, when given, is the parent's last child (a
// reader appending child after child need not walk the list each time).
u32 Q4XmlTag_New(u8* db, u32 parent, const std::string& name, u32 after = 0);
bool Q4XmlTag_AppendContents(u8* db, u32 tag, const std::string& text);
bool Q4XmlTag_SetAttrib(u8* db, u32 tag, const std::string& name, const std::string& value);
// Unlinks the tag from its parent and frees its subtree; the tags freed.
u32 Q4XmlTag_FreeTree(u8* db, u32 tag);
// Attributes in list order {name, value}; a missing value reads as empty
// and an attribute without a name is left out (hasValue false).
struct Q4XmlAttr {
    std::string name, value;
};
std::vector<Q4XmlAttr> Q4XmlTag_Attribs(u8* db, u32 tag);
// The children in list order.
std::vector<u32> Q4XmlTag_Children(u8* db, u32 tag);
// The largest number of steps a walk may take.
u32 Q4XmlTag_WalkBound(u8* db);
