// Numeric error codes of the web-HMI protocol and their texts.
#pragma once

#include <cstddef>
#include <string>

#include "platform/bytes.h"

struct dartu_localized_string;

struct dartu_error_entry {
    i32 code;
    const char* text;
};

// Searched in order up to the entry with a negative code.
extern const dartu_error_entry dartu_error_table[];

// Codes from this one up belong to the application: their texts come from
// the error text callbacks, never from the table.
constexpr i32 kDartuFirstApplicationError = 10000;

constexpr const char* kDartuUnknownErrorText = "Cannot convert error code to an error string";

// The table text of a code, or kDartuUnknownErrorText; the localized list is
// always none.
void dartu_get_error_strings(i32 code, const char** text, const dartu_localized_string** localized);

// Writes (or, without a destination, measures) the JSON string of a code's
// text, as every "errorstring" member carries it. Codes from 10000 up take
// the application's error text callbacks; without them the text of 506.
int dartu_util_write_errstrings(char* destination, size_t capacity, i32 code);

// Appends the members of an error object: "error" and, when not 0,
// "errorstring".
void dartu_json_append_error_members(std::string& out, i32 code);
