// The XML writer: a tree of q4xmltag as XML text, every name, attribute
// value and contents escaped, without line breaks or indentation; a document
// is the header "<?xml version="1.0" standalone="yes"?>" and the root tag.
// The walk keeps its own stack, so a tree nests as deep as the program built
// it, and is bounded by the live heap blocks.
#pragma once

#include <string>

#include "platform/bytes.h"

// The tag's text (empty for a handle that is no tag).
std::string Q4XmlWr_Tag(u8* db, u32 tag);
// The header and the tag's text.
std::string Q4XmlWr_Document(u8* db, u32 tag);

// The operations of the blocks. Into a text buffer (its whole text is
// replaced): 1, or 0 with error 5 when the buffer is invalid (text error 4)
// or cannot grow; success leaves the XML error as it was. Into a new file:
// 1 and error 0, or 0 and error 9.
int Q4XML_WriteToXS(u8* db, u32 tag, u32 buffer);
int Q4XML_WriteToFile(u8* db, u32 tag, const char* path);
