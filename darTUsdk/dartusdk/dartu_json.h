// Hand-written JSON for the web-HMI protocol.
//
// Every writer emits one JSON token and works in two passes: without a
// destination it returns the number of bytes it would write; with one it
// writes them (never a terminating NUL) and returns the count. Handlers
// measure a whole answer, grow its buffer once, then write it. A destination
// too small for the token gets nothing: the writer reports the needed size
// through the error log callback and returns it.
#pragma once

#include <cstddef>
#include <string>

#include "platform/bytes.h"

enum : int {
    kDartuJsonObjectOpen = 0,   // {
    kDartuJsonColon = 1,        // :
    kDartuJsonComma = 2,        // ,
    kDartuJsonObjectClose = 3,  // }
    kDartuJsonArrayOpen = 4,    // [
    kDartuJsonArrayClose = 5,   // ]
};

// Type codes of a data value.
enum : u32 {
    kDartuValueBool = 1,    // payload's first byte, signed; non-zero is true
    kDartuValueInt32 = 2,
    kDartuValueInt64 = 3,   // written as a real
    kDartuValueUint32 = 4,
    kDartuValueUint64 = 5,  // written as a real
    kDartuValueFloat = 6,
    kDartuValueDouble = 7,
    kDartuValueText = 8,    // NUL-terminated text
};

// The value of one data item as the data callbacks deliver it.
struct dartu_data_value {
    u32 reserved;  // not read by the writer
    u32 type;
    union {
        i8 b;
        i32 i32v;
        i64 i64v;
        u32 u32v;
        u64 u64v;
        float f;
        double d;
        const char* text;
    } v;
};

struct dartu_timestamp {
    u32 seconds;      // since 1970-01-01 UTC
    u32 nanoseconds;  // within the second
};

// One (language, text) pair; a list ends at a pair that lacks either text.
struct dartu_localized_string {
    const char* language;
    const char* text;
};

int dartu_json_put_delimiter(char* dst, size_t capacity, int kind);
// Negative length: up to the text's NUL. Valid UTF-8 passes unchanged; each
// ill-formed sequence becomes U+FFFD so that the answer stays valid JSON.
int dartu_json_put_string(char* dst, size_t capacity, const char* text, int length);
// A 32-bit integer; with unsigned_flag its bits are read as unsigned.
int dartu_json_put_integer(char* dst, size_t capacity, i32 value, int unsigned_flag);
// "%.16g", or null for NaN and infinities.
int dartu_json_put_real(char* dst, size_t capacity, double value);
int dartu_json_put_boolean(char* dst, size_t capacity, int flag);
int dartu_json_put_null(char* dst, size_t capacity);
// Quoted hex, high nibble first; negative length: up to the first zero byte.
int dartu_json_put_hex_data(char* dst, size_t capacity, const u8* bytes, int length, int upper);
// Milliseconds since 1970 with six decimals.
int dartu_json_put_timestamp(char* dst, size_t capacity, const dartu_timestamp* timestamp);
int dartu_json_put_data_value(char* dst, size_t capacity, const dartu_data_value* value);
// "value":<data value>
int dartu_json_put_value(char* dst, size_t capacity, const dartu_data_value* value);
int dartu_json_put_localized_strings(char* dst, size_t capacity, const dartu_localized_string* list);
// Packed texts: an empty text and one plain text, or (language, text) pairs
// ended by an empty language.
int dartu_json_serialize_localized_strings(char* dst, size_t capacity, const char* packed);

// Reports a writer's failure through the error log callback: code 1 invalid
// parameters, 2 destination too small (size = bytes needed).
void dartu_json_call_error_callback(const char* function, int size, int code);

// Appends one writer's token to a text: writer(destination, capacity) is
// called once to measure and once to write.
template <class Writer>
void dartu_json_append(std::string& out, Writer writer) {
    int n = writer(nullptr, 0);
    if (n <= 0) return;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    writer(out.data() + at, static_cast<size_t>(n));
}
// Appends the JSON string of a text.
inline void dartu_json_append_string(std::string& out, const char* text) {
    dartu_json_append(out, [&](char* d, size_t c) { return dartu_json_put_string(d, c, text, -1); });
}
