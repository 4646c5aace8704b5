// The XML reader: builds a tree of q4xmltag from XML text held in a text
// buffer or a file. It reads one character at a time (the character 0 ends
// the input) and knows the subset the controller's documents use: elements,
// attributes in double quotes, the five named entities, contents; the
// declaration, processing instructions and comments are passed over. Only
// the first element of the input is read.
//
// The input comes from outside: names and attribute values are bounded (511
// characters), entity names too (9), and elements nest at most
// kQ4XmlMaxDepth deep, so no input can exhaust the stack.
#pragma once

#include <string_view>

#include "platform/bytes.h"

constexpr u32 kQ4XmlMaxName = 511;
constexpr u32 kQ4XmlMaxDepth = 256;

// Parses the text (up to its first NUL) into a new tree: the root tag, or 0
// with the XML error set (7 syntax, 5 heap full). Without a heap: 0.
u32 Q4XmlPrs_ParseText(u8* db, std::string_view text);
// The operations of the blocks: from a text buffer (invalid: error 6) or a
// file (cannot be opened: error 8); success sets error 0; both compact the
// heap 16 steps afterwards.
u32 Q4XML_ParseXS(u8* db, u32 buffer);
u32 Q4XML_ParseFile(u8* db, const char* path);
