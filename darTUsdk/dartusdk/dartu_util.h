// Text utilities of the web-HMI toolkit: bounded formatting, URL decoding
// and comparison, hexadecimal, bounded substring search, the HTTP date,
// string duplication.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/bytes.h"

// Formats with the C conventions, keeping the text and its NUL within the
// capacity. Returns the length of the complete formatted text (which may
// exceed what was kept), -1 when formatting fails, -2 when the destination,
// the capacity or the format is missing.
int dartu_util_snprintf(char* destination, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Decodes %XX escapes (and '+' to a space with plus set). Negative lengths
// count as 0; with terminate set one byte of the capacity is kept for the
// NUL that follows the output. Stops at the end of the source or when the
// destination is full. Source and destination may be the same place.
// Returns the decoded length.
int dartu_util_url_decode(const char* source, int source_length, char* destination, int capacity, int plus,
                          int terminate);

// Compares two URLs after decoding their %XX escapes; each ends at a NUL or a
// '"'. With stop_at_query, both reaching '?' at the same point counts as
// equal. 0 equal, -1 left lower (or shorter), 1 left higher.
int dartu_util_url_compare(const char* left, const char* right, int stop_at_query);

// Writes 2 * count lowercase hexadecimal digits and a NUL; the destination
// may be the source itself.
void dartu_util_hex_encode(const u8* bytes, size_t count, char* destination);
// 0 with *out_count bytes, or 1 on error. A negative length decodes up to the
// first non-digit at the start of a pair.
int dartu_util_hex_decode(const char* text, int length, u8* destination, size_t capacity, size_t* out_count);

// Offset of the first occurrence of the needle, or -1; the data need not be
// NUL-terminated.
int dartu_util_strnstr(const char* data, size_t length, const char* needle, size_t needle_length);
int dartu_util_strcasenstr(const char* data, size_t length, const char* needle, size_t needle_length);

// "Thu, 01 Jan 1970 00:00:00 GMT" for a UTC time; returns its length, 0 when
// it does not fit with its NUL.
int dartu_util_output_http_time(i64 time, char* destination, size_t capacity);

// A newly allocated copy (free with free()), or none when memory is short or
// the text is none.
char* dartu_strdup(const char* text);

// Smallest power of two not below the value; 0 gives 0.
u64 dartu_util_upper_power_of_two(u64 value);

// 1 (and the overflow report) when wanted exceeds the maximum, else 0.
int dartu_util_call_overflow_error(u64 maximum, u64 wanted);
