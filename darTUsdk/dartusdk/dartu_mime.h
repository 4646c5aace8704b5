// Content types of served files, by file extension.
#pragma once

#include <cstddef>

#include "platform/bytes.h"

struct dartu_mimetype {
    const char* extension;  // without the dot
    const char* type;
};

// Built-in table, sorted by extension.
extern const dartu_mimetype dartu_builtin_mimetypes[];
constexpr u32 kDartuBuiltinMimeCount = 10;

// Compares the extensions of two entries without letter case (bsearch order).
int dartu_util_compare_mimetype(const void* left, const void* right);

// Content type of an extension from the options' MIME table, or none.
const char* dartu_engine_find_mimetype(const char* extension);
