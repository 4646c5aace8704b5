#include "darTUsdk/dartusdk/dartu_json.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

// Counts, and with a destination also writes, the bytes of one token.
class Sink {
public:
    explicit Sink(char* dst) : dst_(dst) {}
    void Put(const char* s, size_t n) {
        if (dst_) std::memcpy(dst_ + n_, s, n);
        n_ += n;
    }
    void Put(const char* s) { Put(s, std::strlen(s)); }
    void Char(char c) {
        if (dst_) dst_[n_] = c;
        ++n_;
    }
    size_t Count() const { return n_; }

private:
    char* dst_;
    size_t n_ = 0;
};

// Runs the body once to measure; without a destination that is the answer.
// With one, writes only when everything fits.
template <typename Body>
int Emit(const char* function, char* dst, size_t capacity, Body body) {
    Sink measure(nullptr);
    body(measure);
    size_t need = measure.Count();
    if (!dst) return static_cast<int>(need);
    if (need > capacity) {
        dartu_json_call_error_callback(function, static_cast<int>(need), 2);
        return static_cast<int>(need);
    }
    Sink out(dst);
    body(out);
    return static_cast<int>(out.Count());
}

// Length of the well-formed UTF-8 sequence at s (lead byte >= 0x80), or 0;
// *bad gets the length of its maximal ill-formed prefix, which one U+FFFD
// replaces.
size_t Utf8Sequence(const u8* s, size_t remaining, size_t* bad) {
    u8 lead = s[0];
    size_t need;
    u8 lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;        // no overlong forms
        else if (lead == 0xED) hi = 0x9F;   // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;        // no overlong forms
        else if (lead == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        u8 c = k < remaining ? s[k] : 0;
        u8 min = k == 1 ? lo : 0x80;
        u8 max = k == 1 ? hi : 0xBF;
        if (k >= remaining || c < min || c > max) {
            *bad = k;
            return 0;
        }
    }
    return need + 1;
}

void StringBody(Sink& o, const u8* s, size_t n) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    o.Char('"');
    size_t i = 0;
    while (i < n) {
        u8 c = s[i];
        if (c >= 0x80) {
            size_t bad = 0;
            size_t len = Utf8Sequence(s + i, n - i, &bad);
            if (len) {
                o.Put(reinterpret_cast<const char*>(s + i), len);
                i += len;
            } else {
                o.Put(kReplacement, 3);
                i += bad;
            }
            continue;
        }
        switch (c) {
            case '"': o.Put("\\\"", 2); break;
            case '/': o.Put("\\/", 2); break;
            case '\\': o.Put("\\\\", 2); break;
            case '\b': o.Put("\\b", 2); break;
            case '\t': o.Put("\\t", 2); break;
            case '\n': o.Put("\\n", 2); break;
            case '\r': o.Put("\\r", 2); break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    o.Put(esc, 6);
                } else {
                    o.Char(static_cast<char>(c));
                }
        }
        ++i;
    }
    o.Char('"');
}

void RealBody(Sink& o, double value) {
    if (std::isnan(value) || std::isinf(value)) {
        o.Put("null", 4);
        return;
    }
    char text[40];
    int n = std::snprintf(text, sizeof text, "%.16g", value);
    for (int i = 0; i < n; ++i) {
        if (text[i] == ',') text[i] = '.';  // a locale's decimal comma
    }
    o.Put(text, static_cast<size_t>(n));
}

void IntegerBody(Sink& o, i32 value, int unsigned_flag) {
    char text[16];
    int n = unsigned_flag ? std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(static_cast<u32>(value)))
                          : std::snprintf(text, sizeof text, "%ld", static_cast<long>(value));
    o.Put(text, static_cast<size_t>(n));
}

void DataValueBody(Sink& o, const dartu_data_value* v) {
    switch (v->type) {
        case kDartuValueBool: o.Put(v->v.b != 0 ? "true" : "false"); break;
        case kDartuValueInt32: IntegerBody(o, v->v.i32v, 0); break;
        case kDartuValueInt64: RealBody(o, static_cast<double>(v->v.i64v)); break;
        case kDartuValueUint32: IntegerBody(o, static_cast<i32>(v->v.u32v), 1); break;
        case kDartuValueUint64: RealBody(o, static_cast<double>(v->v.u64v)); break;
        case kDartuValueFloat: RealBody(o, static_cast<double>(v->v.f)); break;
        case kDartuValueDouble: RealBody(o, v->v.d); break;
        case kDartuValueText:
            if (v->v.text)
                StringBody(o, reinterpret_cast<const u8*>(v->v.text), std::strlen(v->v.text));
            else
                o.Put("null", 4);
            break;
        default: o.Put("null", 4);
    }
}

void TextBody(Sink& o, const char* text) { StringBody(o, reinterpret_cast<const u8*>(text), std::strlen(text)); }

}  // namespace

void dartu_json_call_error_callback(const char* function, int size, int code) {
    char text[512];
    if (code == 1) {
        std::snprintf(text, sizeof text,
                      "Internal JSON builder error: Parameter of function are invalid! Please verify parameters "
                      "for function: \"%s\"!",
                      function);
    } else if (code == 2) {
        std::snprintf(text, sizeof text,
                      "Internal JSON builder error: Buffer is too small! %i bytes needed! Please verify function: "
                      "\"%s\"!",
                      size, function);
    } else {
        std::snprintf(text, sizeof text,
                      "Internal JSON builder error: Unknown JSON error_code code! error_code Code: %i! Please verify "
                      "function: \"%s\"!",
                      code, function);
    }
    dartu_options_log_error("%s", text);
}

int dartu_json_put_delimiter(char* dst, size_t capacity, int kind) {
    static const char kDelimiters[] = "{:,}[]";
    if (kind < 0 || kind > 5) {
        dartu_json_call_error_callback("dartu_json_put_delimiter", 0, 1);
        return 0;
    }
    return Emit("dartu_json_put_delimiter", dst, capacity, [&](Sink& o) { o.Char(kDelimiters[kind]); });
}

int dartu_json_put_string(char* dst, size_t capacity, const char* text, int length) {
    if (!text) {
        dartu_json_call_error_callback("dartu_json_put_string", 0, 1);
        return 0;
    }
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    return Emit("dartu_json_put_string", dst, capacity,
                [&](Sink& o) { StringBody(o, reinterpret_cast<const u8*>(text), n); });
}

int dartu_json_put_integer(char* dst, size_t capacity, i32 value, int unsigned_flag) {
    return Emit("dartu_json_put_integer", dst, capacity, [&](Sink& o) { IntegerBody(o, value, unsigned_flag); });
}

int dartu_json_put_real(char* dst, size_t capacity, double value) {
    return Emit("dartu_json_put_real", dst, capacity, [&](Sink& o) { RealBody(o, value); });
}

int dartu_json_put_boolean(char* dst, size_t capacity, int flag) {
    return Emit("dartu_json_put_boolean", dst, capacity, [&](Sink& o) { o.Put(flag ? "true" : "false"); });
}

int dartu_json_put_null(char* dst, size_t capacity) {
    return Emit("dartu_json_put_null", dst, capacity, [&](Sink& o) { o.Put("null", 4); });
}

int dartu_json_put_hex_data(char* dst, size_t capacity, const u8* bytes, int length, int upper) {
    if (!bytes) {
        dartu_json_call_error_callback("dartu_json_put_hex_data", 0, 1);
        return 0;
    }
    size_t n = 0;
    if (length < 0) {
        while (bytes[n] != 0) ++n;
    } else {
        n = static_cast<size_t>(length);
    }
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    return Emit("dartu_json_put_hex_data", dst, capacity, [&](Sink& o) {
        o.Char('"');
        for (size_t i = 0; i < n; ++i) {
            o.Char(digits[bytes[i] >> 4]);
            o.Char(digits[bytes[i] & 0x0F]);
        }
        o.Char('"');
    });
}

int dartu_json_put_timestamp(char* dst, size_t capacity, const dartu_timestamp* timestamp) {
    if (!timestamp) {
        dartu_json_call_error_callback("dartu_json_put_timestamp", 0, 1);
        return 0;
    }
    // Nanoseconds of a whole second or more carry into the seconds; left as
    // they are they would need a fourth millisecond digit and shift the number.
    unsigned long long s = timestamp->seconds + timestamp->nanoseconds / 1000000000ull;
    unsigned long n = timestamp->nanoseconds % 1000000000ul;
    char text[48];
    int len;
    if (s != 0 && n != 0)
        len = std::snprintf(text, sizeof text, "%llu%03lu.%06lu", s, n / 1000000ul, n % 1000000ul);
    else if (s != 0)
        len = std::snprintf(text, sizeof text, "%llu000", s);
    else
        len = std::snprintf(text, sizeof text, "%lu.%06lu", n / 1000000ul, n % 1000000ul);
    return Emit("dartu_json_put_timestamp", dst, capacity,
                [&](Sink& o) { o.Put(text, static_cast<size_t>(len)); });
}

int dartu_json_put_data_value(char* dst, size_t capacity, const dartu_data_value* value) {
    if (!value) {
        dartu_json_call_error_callback("dartu_json_put_data_value", 0, 1);
        return 0;
    }
    return Emit("dartu_json_put_data_value", dst, capacity, [&](Sink& o) { DataValueBody(o, value); });
}

int dartu_json_put_value(char* dst, size_t capacity, const dartu_data_value* value) {
    if (!value) {
        dartu_json_call_error_callback("dartu_json_put_value", 0, 1);
        return 0;
    }
    return Emit("dartu_json_put_value", dst, capacity, [&](Sink& o) {
        o.Put("\"value\":");
        DataValueBody(o, value);
    });
}

int dartu_json_put_localized_strings(char* dst, size_t capacity, const dartu_localized_string* list) {
    if (!list) {
        dartu_json_call_error_callback("dartu_json_put_localized_strings", 0, 1);
        return 0;
    }
    return Emit("dartu_json_put_localized_strings", dst, capacity, [&](Sink& o) {
        if (list[0].language && !list[0].text) {
            TextBody(o, list[0].language);
            return;
        }
        o.Char('{');
        for (const dartu_localized_string* p = list; p->language && p->text; ++p) {
            if (p != list) o.Char(',');
            TextBody(o, p->language);
            o.Char(':');
            TextBody(o, p->text);
        }
        o.Char('}');
    });
}

int dartu_json_serialize_localized_strings(char* dst, size_t capacity, const char* packed) {
    if (!packed) {
        dartu_json_call_error_callback("dartu_json_serialize_localized_strings", 0, 1);
        return 0;
    }
    return Emit("dartu_json_serialize_localized_strings", dst, capacity, [&](Sink& o) {
        if (packed[0] == '\0') {
            TextBody(o, packed + 1);
            return;
        }
        o.Char('{');
        bool first = true;
        for (const char* p = packed; *p;) {
            const char* text = p + std::strlen(p) + 1;
            if (!first) o.Char(',');
            first = false;
            TextBody(o, p);
            o.Char(':');
            TextBody(o, text);
            p = text + std::strlen(text) + 1;
        }
        o.Char('}');
    });
}
