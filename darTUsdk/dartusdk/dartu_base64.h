// Base64 decoding (standard alphabet) for HTTP Basic credentials.
#pragma once

#include <cstddef>

#include "platform/bytes.h"

// Characters outside the alphabet (white space included) are skipped. A group
// of four symbols gives three bytes; a group may end in '=': one gives two
// bytes, two or three give one byte. After the first '=' only '=' may follow,
// at most three in all. *length holds the capacity on entry and the decoded
// length on success.
// 0 success, -1 malformed input, -2 the destination is too small.
int dartu_base64_decode(const char* text, size_t text_length, u8* destination, size_t* length);
