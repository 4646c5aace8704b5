#include "darTUsdk/dartusdk/dartu_util.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_options.h"

namespace {

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool UrlEnd(char c) { return c == '\0' || c == '"'; }

// Next character of a URL at *p (an escape decoded), advancing *p; sets
// *raw when it came unescaped.
int NextUrlChar(const char** p, bool* raw) {
    const char* s = *p;
    if (s[0] == '%' && !UrlEnd(s[1]) && HexValue(s[1]) >= 0 && !UrlEnd(s[2]) && HexValue(s[2]) >= 0) {
        *p = s + 3;
        *raw = false;
        return HexValue(s[1]) * 16 + HexValue(s[2]);
    }
    *p = s + 1;
    *raw = true;
    return static_cast<u8>(s[0]);
}

}  // namespace

int dartu_util_snprintf(char* destination, size_t capacity, const char* format, ...) {
    if (!destination || capacity == 0 || !format) return -2;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(destination, capacity, format, args);
    va_end(args);
    if (n < 0) {
        destination[0] = '\0';
        return -1;
    }
    return n;
}

int dartu_util_url_decode(const char* source, int source_length, char* destination, int capacity, int plus,
                          int terminate) {
    if (source_length < 0) source_length = 0;
    if (capacity <= 0 || !destination) return 0;
    int room = terminate ? capacity - 1 : capacity;
    int in = 0;
    int out = 0;
    while (in < source_length && out < room) {
        char c = source[in];
        if (c == '%' && in + 2 < source_length && HexValue(source[in + 1]) >= 0 && HexValue(source[in + 2]) >= 0) {
            destination[out++] = static_cast<char>(HexValue(source[in + 1]) * 16 + HexValue(source[in + 2]));
            in += 3;
        } else if (c == '+' && plus) {
            destination[out++] = ' ';
            ++in;
        } else {
            destination[out++] = c;
            ++in;
        }
    }
    if (terminate) destination[out] = '\0';
    return out;
}

int dartu_util_url_compare(const char* left, const char* right, int stop_at_query) {
    const char* l = left;
    const char* r = right;
    for (;;) {
        bool lEnd = UrlEnd(*l);
        bool rEnd = UrlEnd(*r);
        if (lEnd && rEnd) return 0;
        if (lEnd) return -1;
        if (rEnd) return 1;
        bool lRaw = false;
        bool rRaw = false;
        int a = NextUrlChar(&l, &lRaw);
        int b = NextUrlChar(&r, &rRaw);
        if (stop_at_query && lRaw && rRaw && a == '?' && b == '?') return 0;
        if (a != b) return a < b ? -1 : 1;
    }
}

void dartu_util_hex_encode(const u8* bytes, size_t count, char* destination) {
    static const char kDigits[] = "0123456789abcdef";
    // Back to front, so that encoding in place never overwrites an unread byte.
    destination[2 * count] = '\0';
    for (size_t i = count; i-- > 0;) {
        u8 b = bytes[i];
        destination[2 * i + 1] = kDigits[b & 0x0F];
        destination[2 * i] = kDigits[b >> 4];
    }
}

int dartu_util_hex_decode(const char* text, int length, u8* destination, size_t capacity, size_t* out_count) {
    if (length > 0 && (length & 1)) return 1;
    size_t n = 0;
    for (int i = 0;; i += 2) {
        if (length >= 0 && i >= length) break;
        int hi = HexValue(static_cast<u8>(text[i]));
        if (hi < 0) {
            if (length < 0) break;
            return 1;
        }
        int lo = HexValue(static_cast<u8>(text[i + 1]));
        if (lo < 0) return 1;
        if (n >= capacity) return 1;
        destination[n++] = static_cast<u8>(hi * 16 + lo);
    }
    if (out_count) *out_count = n;
    return 0;
}

int dartu_util_strnstr(const char* data, size_t length, const char* needle, size_t needle_length) {
    if (needle_length > length) return -1;
    for (size_t i = 0; i + needle_length <= length; ++i) {
        if (std::memcmp(data + i, needle, needle_length) == 0) return static_cast<int>(i);
    }
    return -1;
}

int dartu_util_strcasenstr(const char* data, size_t length, const char* needle, size_t needle_length) {
    if (needle_length > length) return -1;
    for (size_t i = 0; i + needle_length <= length; ++i) {
        size_t k = 0;
        while (k < needle_length && Lower(static_cast<u8>(data[i + k])) == Lower(static_cast<u8>(needle[k]))) ++k;
        if (k == needle_length) return static_cast<int>(i);
    }
    return -1;
}

int dartu_util_output_http_time(i64 time, char* destination, size_t capacity) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (!destination || capacity == 0) return 0;
    time_t t = static_cast<time_t>(time);
    struct tm tm;
    if (!gmtime_r(&t, &tm)) return 0;
    // Day and month names are written by hand: the locale must not change them.
    char text[64];
    int n = std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                          kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n < 0 || static_cast<size_t>(n) + 1 > capacity) return 0;
    std::memcpy(destination, text, static_cast<size_t>(n) + 1);
    return n;
}

char* dartu_strdup(const char* text) {
    if (!text) return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

u64 dartu_util_upper_power_of_two(u64 value) {
    if (value == 0) return 0;
    u64 p = 1;
    while (p < value && p != (1ull << 63)) p <<= 1;
    return p < value ? value : p;
}

int dartu_util_call_overflow_error(u64 maximum, u64 wanted) {
    if (wanted <= maximum) return 0;
    dartu_options_log_error("Buffer overflow - max size %u, wants %u", static_cast<unsigned>(maximum),
                            static_cast<unsigned>(wanted));
    return 1;
}
