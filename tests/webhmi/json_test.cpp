// The JSON writers, checked by an independent parser: every output of the
// vector table is parsed by Python's json module and compared with the
// expected value; the measuring pass must always give the written length.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "testsupport/temp_root.h"
#include "webhmi_fixture.h"

namespace {

using Writer = std::function<int(char*, size_t)>;

struct Vector {
    const char* name;
    Writer write;
    // "json": expected is a JSON text; "str": expected is the raw bytes of a
    // string, which must come back as Python's UTF-8 decoding with U+FFFD
    // for ill-formed sequences.
    const char* kind;
    std::string expected;
    const char* exact = nullptr;  // the exact output, where its form matters
};

std::string Hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

dartu_data_value Value(u32 type) {
    dartu_data_value v{};
    v.type = type;
    return v;
}

Writer Str(std::string raw) {
    return [raw](char* d, size_t c) { return dartu_json_put_string(d, c, raw.data(), static_cast<int>(raw.size())); };
}

Writer Real(double x) {
    return [x](char* d, size_t c) { return dartu_json_put_real(d, c, x); };
}

Writer Data(dartu_data_value v) {
    return [v](char* d, size_t c) { return dartu_json_put_data_value(d, c, &v); };
}

// Several writers one after the other, each measured and then written.
Writer Seq(std::vector<Writer> parts) {
    return [parts](char* d, size_t c) {
        size_t n = 0;
        for (const Writer& w : parts) n += static_cast<size_t>(w(d ? d + n : nullptr, d ? c - n : 0));
        return static_cast<int>(n);
    };
}

Writer Delim(int kind) {
    return [kind](char* d, size_t c) { return dartu_json_put_delimiter(d, c, kind); };
}

const char kPython[] = R"PY(
import json, math, sys
def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b
for i, line in enumerate(open(sys.argv[1])):
    kind, out, exp = line.rstrip('\n').split('\t')
    out = bytes.fromhex(out)
    exp = bytes.fromhex(exp)
    try:
        got = json.loads(out.decode('utf-8'))
    except Exception as e:
        print('FAIL', i, 'not JSON:', e)
        continue
    want = json.loads(exp) if kind == 'json' else exp.decode('utf-8', 'replace')
    if not same(got, want):
        print('FAIL', i, repr(got), '!=', repr(want))
print('DONE')
)PY";

class Json : public WebHmiTest {};

TEST_F(Json, EveryWriterOutputParsesToTheExpectedValue) {
    const char* text8 = "caf\xC3\xA9 \"x\"";
    dartu_data_value vTrue = Value(kDartuValueBool);
    vTrue.v.b = static_cast<i8>(0x80);
    dartu_data_value vFalse = Value(kDartuValueBool);
    dartu_data_value vI32 = Value(kDartuValueInt32);
    vI32.v.i32v = -2147483647 - 1;
    dartu_data_value vI64 = Value(kDartuValueInt64);
    vI64.v.i64v = -(1ll << 53);
    dartu_data_value vU32 = Value(kDartuValueUint32);
    vU32.v.u32v = 4294967295u;
    dartu_data_value vU64 = Value(kDartuValueUint64);
    vU64.v.u64v = 18446744073709551615ull;
    dartu_data_value vF = Value(kDartuValueFloat);
    vF.v.f = 0.1f;
    dartu_data_value vD = Value(kDartuValueDouble);
    vD.v.d = -2.5e-300;
    dartu_data_value vDNan = Value(kDartuValueDouble);
    vDNan.v.d = std::nan("");
    dartu_data_value vText = Value(kDartuValueText);
    vText.v.text = text8;
    dartu_data_value vNoText = Value(kDartuValueText);
    dartu_data_value v9 = Value(9);
    static const dartu_localized_string langs[] = {{"en", "Hello"}, {"de", "Gr\xC3\xBC\xC3\x9F" "e"}, {nullptr, nullptr}};
    static const dartu_localized_string plain[] = {{"just text", nullptr}};
    static const dartu_localized_string none[] = {{nullptr, nullptr}};
    static const char packedPlain[] = "\0plain \"p\"";
    static const char packedPairs[] = "en\0Yes\0fr\0Oui\0";
    static const u8 bytes[] = {0x0A, 0xFF, 0x00, 0x7F};
    static const dartu_timestamp tsFull{1614945600, 123456789};
    static const dartu_timestamp tsWhole{1614945600, 0};
    static const dartu_timestamp tsFrac{0, 1500000};
    static const dartu_timestamp tsCarry{1, 1500000000};

    const std::vector<Vector> vectors = {
        // Strings: escapes, control characters, UTF-8 valid and not.
        {"escapes", Str("a\tb/c\x01\"q\"\\\b\f\n\r"), "str", "a\tb/c\x01\"q\"\\\b\f\n\r",
         "\"a\\tb\\/c\\u0001\\\"q\\\"\\\\\\b\\u000c\\n\\r\""},
        {"every control byte", Str(std::string("\x00\x1f\x10\x7f", 4)), "str", std::string("\x00\x1f\x10\x7f", 4),
         "\"\\u0000\\u001f\\u0010\x7f\""},
        {"up to NUL", [](char* d, size_t c) { return dartu_json_put_string(d, c, "ab\0cd", -1); }, "str", "ab"},
        {"empty", Str(""), "str", "", "\"\""},
        {"utf8 2,3,4 bytes", Str("\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"), "str", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E",
         "\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\""},
        {"lone latin-1 byte", Str("caf\xE9!"), "str", "caf\xE9!"},
        {"truncated sequence at end", Str("x\xE2\x82"), "str", "x\xE2\x82"},
        {"truncated sequence mid text", Str("\xF0\x9D\x84z"), "str", "\xF0\x9D\x84z"},
        {"overlong slash", Str("\xC0\xAF"), "str", "\xC0\xAF"},
        {"overlong 3 byte", Str("\xE0\x80\xAF"), "str", "\xE0\x80\xAF"},
        {"surrogate", Str("\xED\xA0\x80"), "str", "\xED\xA0\x80"},
        {"above U+10FFFF", Str("\xF4\x90\x80\x80"), "str", "\xF4\x90\x80\x80"},
        {"stray continuation and FF", Str("\x80\xBF\xFE\xFF"), "str", "\x80\xBF\xFE\xFF"},
        {"largest valid", Str("\xF4\x8F\xBF\xBF\xEF\xBF\xBF"), "str", "\xF4\x8F\xBF\xBF\xEF\xBF\xBF"},
        // Reals.
        {"0.1", Real(0.1), "json", "0.1", "0.1"},
        {"1e20", Real(1e20), "json", "1e+20", "1e+20"},
        {"third", Real(1.0 / 3.0), "json", "0.3333333333333333"},
        {"NaN", Real(std::nan("")), "json", "null", "null"},
        {"+inf", Real(std::numeric_limits<double>::infinity()), "json", "null", "null"},
        {"-inf", Real(-std::numeric_limits<double>::infinity()), "json", "null", "null"},
        {"largest", Real(DBL_MAX), "json", "1.797693134862316e+308"},
        {"smallest denormal", Real(4.9406564584124654e-324), "json", "4.940656458412465e-324"},
        {"small negative", Real(-1.25e-310), "json", "-1.25e-310"},
        {"big integer", Real(123456789012345678.0), "json", "1.234567890123457e+17"},
        {"negative zero", Real(-0.0), "json", "-0", "-0"},
        // Integers, booleans, null.
        {"int min", [](char* d, size_t c) { return dartu_json_put_integer(d, c, -2147483647 - 1, 0); }, "json",
         "-2147483648"},
        {"unsigned all ones", [](char* d, size_t c) { return dartu_json_put_integer(d, c, -1, 1); }, "json",
         "4294967295"},
        {"true", [](char* d, size_t c) { return dartu_json_put_boolean(d, c, 7); }, "json", "true"},
        {"false", [](char* d, size_t c) { return dartu_json_put_boolean(d, c, 0); }, "json", "false"},
        {"null", [](char* d, size_t c) { return dartu_json_put_null(d, c); }, "json", "null"},
        // Hex, time stamps.
        {"hex upper", [](char* d, size_t c) { return dartu_json_put_hex_data(d, c, bytes, 4, 1); }, "json",
         "\"0AFF007F\""},
        {"hex to first zero", [](char* d, size_t c) { return dartu_json_put_hex_data(d, c, bytes, -1, 0); }, "json",
         "\"0aff\""},
        {"time full", [](char* d, size_t c) { return dartu_json_put_timestamp(d, c, &tsFull); }, "json",
         "1614945600123.456789", "1614945600123.456789"},
        {"time whole", [](char* d, size_t c) { return dartu_json_put_timestamp(d, c, &tsWhole); }, "json",
         "1614945600000"},
        {"time fraction", [](char* d, size_t c) { return dartu_json_put_timestamp(d, c, &tsFrac); }, "json",
         "1.500000"},
        {"time carry", [](char* d, size_t c) { return dartu_json_put_timestamp(d, c, &tsCarry); }, "json",
         "2500.000000"},
        // Data values.
        {"bool 0x80", Data(vTrue), "json", "true"},
        {"bool 0", Data(vFalse), "json", "false"},
        {"i32", Data(vI32), "json", "-2147483648"},
        {"i64 as real", Data(vI64), "json", "-9007199254740992"},
        {"u32", Data(vU32), "json", "4294967295"},
        {"u64 as real", Data(vU64), "json", "1.844674407370955e+19"},
        {"float", Data(vF), "json", "0.1000000014901161"},
        {"double", Data(vD), "json", "-2.5e-300"},
        {"double NaN", Data(vDNan), "json", "null"},
        {"text", Data(vText), "json", "\"caf\\u00e9 \\\"x\\\"\""},
        {"missing text", Data(vNoText), "json", "null"},
        {"type 9", Data(v9), "json", "null"},
        {"value member",
         Seq({Delim(0), [&](char* d, size_t c) { return dartu_json_put_value(d, c, &vU32); }, Delim(3)}), "json",
         "{\"value\":4294967295}"},
        // Localized texts.
        {"localized pairs", [](char* d, size_t c) { return dartu_json_put_localized_strings(d, c, langs); }, "json",
         "{\"en\":\"Hello\",\"de\":\"Gr\\u00fc\\u00dfe\"}"},
        {"localized plain", [](char* d, size_t c) { return dartu_json_put_localized_strings(d, c, plain); }, "json",
         "\"just text\""},
        {"localized none", [](char* d, size_t c) { return dartu_json_put_localized_strings(d, c, none); }, "json",
         "{}"},
        {"packed plain", [](char* d, size_t c) { return dartu_json_serialize_localized_strings(d, c, packedPlain); },
         "json", "\"plain \\\"p\\\"\""},
        {"packed pairs", [](char* d, size_t c) { return dartu_json_serialize_localized_strings(d, c, packedPairs); },
         "json", "{\"en\":\"Yes\",\"fr\":\"Oui\"}"},
        // Error texts and a whole document with every delimiter.
        {"error 454", [](char* d, size_t c) { return dartu_util_write_errstrings(d, c, 454); }, "json",
         "\"X-DarTU is missing\""},
        {"error 404", [](char* d, size_t c) { return dartu_util_write_errstrings(d, c, 404); }, "json",
         "\"Cannot convert error code to an error string\""},
        {"error 10000", [](char* d, size_t c) { return dartu_util_write_errstrings(d, c, 10000); }, "json",
         "\"Error fetching callback not set\""},
        {"document",
         Seq({Delim(4), Delim(0), Str("a/b"), Delim(1), Real(1.5), Delim(2), Str("e"), Delim(1), Delim(4), Delim(5),
              Delim(3), Delim(2), [](char* d, size_t c) { return dartu_json_put_null(d, c); }, Delim(5)}),
         "json", "[{\"a/b\":1.5,\"e\":[]},null]"},
    };

    TempRoot root;
    std::string listPath = root.Path("/dev/shm/json_vectors.txt");
    std::string scriptPath = root.Path("/dev/shm/json_check.py");
    FILE* list = std::fopen(listPath.c_str(), "w");
    ASSERT_NE(list, nullptr);
    for (const Vector& v : vectors) {
        int measured = v.write(nullptr, 0);
        std::vector<char> out(static_cast<size_t>(measured) + 8, '#');
        int written = v.write(out.data(), static_cast<size_t>(measured));
        EXPECT_EQ(measured, written) << v.name;
        EXPECT_EQ(out[static_cast<size_t>(measured)], '#') << v.name << ": wrote past the measured length";
        std::string text(out.data(), static_cast<size_t>(written));
        if (v.exact) {
            EXPECT_EQ(text, v.exact) << v.name;
        }
        std::fprintf(list, "%s\t%s\t%s\n", v.kind, Hex(text).c_str(), Hex(v.expected).c_str());
    }
    std::fclose(list);
    FILE* script = std::fopen(scriptPath.c_str(), "w");
    ASSERT_NE(script, nullptr);
    std::fputs(kPython, script);
    std::fclose(script);

    std::string cmd = "/usr/bin/python3 " + scriptPath + " " + listPath;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string result;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) result += line;
    ASSERT_EQ(pclose(p), 0) << result;
    EXPECT_EQ(result, "DONE\n") << "vector index counts from 0 in table order";
    EXPECT_TRUE(Logged().empty());
}

TEST_F(Json, TooSmallDestinationGetsNothingAndTheNeedIsReported) {
    char dst[8];
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(dartu_json_put_boolean(dst, 3, 1), 4);
    EXPECT_EQ(dartu_json_put_string(dst, 5, "abcdef", -1), 8);
    EXPECT_EQ(dartu_json_put_delimiter(dst, 0, kDartuJsonComma), 1);
    EXPECT_EQ(std::string(dst, 8), "########");
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Internal JSON builder error: Buffer is too small! 4 bytes needed! Please verify "
                            "function: \"dartu_json_put_boolean\"!",
                            "Internal JSON builder error: Buffer is too small! 8 bytes needed! Please verify "
                            "function: \"dartu_json_put_string\"!",
                            "Internal JSON builder error: Buffer is too small! 1 bytes needed! Please verify "
                            "function: \"dartu_json_put_delimiter\"!",
                        }));
}

TEST_F(Json, MissingArgumentsAndUnknownDelimiterWriteNothing) {
    char dst[16];
    EXPECT_EQ(dartu_json_put_string(dst, sizeof dst, nullptr, -1), 0);
    EXPECT_EQ(dartu_json_put_timestamp(dst, sizeof dst, nullptr), 0);
    EXPECT_EQ(dartu_json_put_delimiter(dst, sizeof dst, 6), 0);
    ASSERT_EQ(Logged().size(), 3u);
    EXPECT_EQ(Logged()[0],
              "Internal JSON builder error: Parameter of function are invalid! Please verify parameters for "
              "function: \"dartu_json_put_string\"!");
    EXPECT_NE(Logged()[2].find("\"dartu_json_put_delimiter\""), std::string::npos);
}

TEST_F(Json, DecimalCommaOfTheLocaleComesOutAsPoint) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    // scripts/setup.sh installs the locales (locales-all).
    ASSERT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE"))
        << "no locale with a decimal comma installed";
    char dst[32];
    int n = dartu_json_put_real(dst, sizeof dst, 2.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(std::string(dst, static_cast<size_t>(n)), "2.5");
}

}  // namespace
