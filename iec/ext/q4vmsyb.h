// Symbol paths of the running IEC application: resolves texts such as
// Counter, Recipe.Step[3] or Line.Motor[1,2].Speed to the address and IEC
// type code of a variable. Published variables are found in the variable
// map; the inside of structures and arrays is walked through the
// complex-type definitions of the code image. The parser writes nothing and
// keeps no state; the XML blocks and the web-HMI server's threads call it.
//
// Path: a name (up to the first "." or "["; a dotted name is found when the
// map publishes it whole, such as Timer1.Q), then selectors: "." member, or
// "[" one to three unsigned decimal indexes separated by "," "]" (an empty
// index counts as 0). No spaces; names compare without regard to case.
//
// Complex-type definitions come with the downloaded code image and are not
// trusted: every record offset, field and index is checked against the
// definitions, the CT segment and the array bounds, so a damaged or cyclic
// table answers none instead of reading or looping outside it. Indexes do
// not wrap (Arr[65536] is not Arr[0]).
//
// Array dimension order: a record of an array with several dimensions stores
// the dimension sizes last dimension first. The first index of a path is
// checked against the size stored last, and elements lie in row-major order;
// the enumeration walks the indexes in the same pairing.
#pragma once

#include "platform/bytes.h"

// Kinds of the records of the complex-type definitions (byte after the NUL
// of the record's name).
enum Q4CtKind : u8 {
    kQ4CtElementary = 1,
    kQ4CtArray1 = 2,
    kQ4CtArray2 = 3,
    kQ4CtArray3 = 4,
    kQ4CtStruct = 5,
    kQ4CtMember = 6,
    kQ4CtStruct2 = 7,
};

// The address of the one elementary value (or element of an elementary
// array) that path names, with its type code in *type (0 when the name is
// unknown); none when the path does not resolve or ends on a structure or
// array.
u8* Q4VmSyb_ParseSingle(u8* db, const char* path, u8* type);

// The same, but a path that ends on a structure or array also resolves (type
// 127). typeName (may be null) receives the elementary type's name for a
// single elementary variable, the type record reached last inside a complex
// variable (it begins with the type's name), and stays null for an element
// of an elementary array.
u8* Q4VmSyb_Parse(u8* db, const char* path, u8* type, const char** typeName);

// Calls cb(member path, type code, user) for every elementary leaf of the
// complex map entry; path is the caller's buffer of size bytes. 1 when every
// leaf was reached; 0 for a non-complex entry, one without type record, a
// path that would not fit the buffer, or a damaged definition.
using Q4VmSybEnumCb = void (*)(const char* path, u8 type, void* user);
int Q4VmSyb_EnumCTMembers(u8* db, const u8* entry, char* path, u32 size, Q4VmSybEnumCb cb, void* user);

// The variable-map entry that a path begins with: the shortest prefix of
// whole components (split at ".", ended by "[" or the end) that the map
// publishes. *cursor moves past what was consumed. None when no prefix names
// an entry, the first component is longer than 256 characters or a grown
// name would pass 255.
u8* Q4VmSyb_GetMapItem(u8* db, const char** cursor);
