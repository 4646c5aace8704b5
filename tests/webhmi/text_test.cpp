// Text utilities: URL decoding and comparison, hexadecimal, substring
// search, the HTTP date, the bounded formatter and base64 decoding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "darTUsdk/dartusdk/dartu_base64.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "webhmi_fixture.h"

namespace {

TEST(WebText, UrlDecode) {
    struct Case {
        const char* in;
        int plus;
        int capacity;
        const char* out;
    } cases[] = {
        {"a+b%2Bc", 1, 64, "a b+c"},
        {"a+b%2Bc", 0, 64, "a+b+c"},
        {"%41%61%7e", 1, 64, "Aa~"},
        {"%zz%4", 1, 64, "%zz%4"},      // no two hex digits: copied
        {"100%", 1, 64, "100%"},
        {"%e2%82%ac", 1, 64, "\xE2\x82\xAC"},
        {"abcdef", 1, 4, "abc"},         // the NUL takes one byte of the capacity
        {"%41%42%43", 1, 3, "AB"},
        {"", 1, 1, ""},
    };
    for (const Case& c : cases) {
        char dst[64];
        std::memset(dst, '#', sizeof dst);
        int n = dartu_util_url_decode(c.in, static_cast<int>(std::strlen(c.in)), dst, c.capacity, c.plus, 1);
        EXPECT_EQ(std::string(dst, static_cast<size_t>(n)), c.out) << c.in;
        EXPECT_EQ(dst[n], '\0') << c.in;
    }
    // In place, and a negative length counts as nothing.
    char same[] = "x%20y+z";
    int n = dartu_util_url_decode(same, 7, same, 8, 1, 1);
    EXPECT_STREQ(same, "x y z");
    EXPECT_EQ(n, 5);
    char dst[4] = "abc";
    EXPECT_EQ(dartu_util_url_decode("zz", -3, dst, 4, 1, 1), 0);
    EXPECT_STREQ(dst, "");
    // Without the terminate flag every byte of the capacity is used and no NUL follows.
    char raw[3] = {'#', '#', '#'};
    EXPECT_EQ(dartu_util_url_decode("abcd", 4, raw, 2, 0, 0), 2);
    EXPECT_EQ(std::string(raw, 3), "ab#");
}

TEST(WebText, UrlCompare) {
    struct Case {
        const char* left;
        const char* right;
        int stop;
        int result;
    } cases[] = {
        {"/darTU/a%20b", "/darTU/a b", 0, 0},
        {"/a%2fb", "/a/b", 0, 0},
        {"/abc", "/abd", 0, -1},
        {"/abd", "/abc", 0, 1},
        {"/ab", "/abc", 0, -1},
        {"/abc\"trailing", "/abc", 0, 0},  // a double quote ends the URI as NUL does
        {"/p?x=1", "/p?y=2", 1, 0},
        {"/p?x=1", "/p?y=2", 0, -1},
        {"/p%3Fx", "/p?y", 1, -1},          // an escaped '?' is no query start
    };
    for (const Case& c : cases) EXPECT_EQ(dartu_util_url_compare(c.left, c.right, c.stop), c.result) << c.left;
}

TEST(WebText, HexEncodeAndDecode) {
    u8 buf[9] = {0x0A, 0xFF, 0x00, 0x7F};
    dartu_util_hex_encode(buf, 4, reinterpret_cast<char*>(buf));  // in place
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "0aff007f");

    struct Case {
        const char* text;
        int length;
        size_t capacity;
        int result;
        std::string bytes;
    } cases[] = {
        {"0aFF", 4, 8, 0, std::string("\x0a\xff", 2)},
        {"0aF", 3, 8, 1, ""},
        {"0aFF", -1, 8, 0, std::string("\x0a\xff", 2)},
        {"0aFFzz", -1, 8, 0, std::string("\x0a\xff", 2)},  // stops at a pair's start
        {"0aFFzz", 6, 8, 1, ""},
        {"0aFz", -1, 8, 1, ""},                            // bad second digit of a pair
        {"0aFF", 4, 1, 1, ""},                             // beyond the capacity
        {"", 0, 8, 0, ""},
    };
    for (const Case& c : cases) {
        u8 out[8];
        size_t n = 99;
        EXPECT_EQ(dartu_util_hex_decode(c.text, c.length, out, c.capacity, &n), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.bytes) << c.text;
        }
    }
}

TEST(WebText, BoundedSearch) {
    const char data[] = {'G', 'E', 'T', '\r', '\n', 'H', 'o', 's', 't', '\0', 'X'};
    EXPECT_EQ(dartu_util_strnstr(data, sizeof data, "\r\n", 2), 3);
    EXPECT_EQ(dartu_util_strnstr(data, sizeof data, "X", 1), 10);  // past a NUL
    EXPECT_EQ(dartu_util_strnstr(data, 10, "X", 1), -1);
    EXPECT_EQ(dartu_util_strnstr(data, 2, "GET", 3), -1);
    EXPECT_EQ(dartu_util_strcasenstr(data, sizeof data, "hOST", 4), 5);
    EXPECT_EQ(dartu_util_strnstr(data, sizeof data, "host", 4), -1);
}

TEST(WebText, HttpDate) {
    struct Case {
        i64 time;
        const char* text;
    } cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {1614945600 + 3599, "Fri, 05 Mar 2021 12:59:59 GMT"},
        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
    };
    for (const Case& c : cases) {
        char dst[30];
        EXPECT_EQ(dartu_util_output_http_time(c.time, dst, sizeof dst), 29);
        EXPECT_STREQ(dst, c.text);
    }
    char small[29];
    EXPECT_EQ(dartu_util_output_http_time(0, small, sizeof small), 0);
}

TEST(WebText, Snprintf) {
    char dst[6];
    EXPECT_EQ(dartu_util_snprintf(dst, sizeof dst, "%d-%s", 42, "abcdef"), 9);  // full length
    EXPECT_STREQ(dst, "42-ab");
    EXPECT_EQ(dartu_util_snprintf(nullptr, 6, "x"), -2);
    EXPECT_EQ(dartu_util_snprintf(dst, 0, "x"), -2);
    EXPECT_EQ(dartu_util_snprintf(dst, sizeof dst, nullptr), -2);
}

TEST(WebText, Base64) {
    struct Case {
        const char* text;
        size_t capacity;
        int result;
        std::string bytes;
    } cases[] = {
        {"dXNlcjpwYXNz", 64, 0, "user:pass"},
        {"dXNl\r\ncjpw YXNz", 64, 0, "user:pass"},  // white space skipped
        {"TWE=", 64, 0, "Ma"},
        {"TQ==", 64, 0, "M"},
        {"T===", 64, 0, "L"},                        // three pads still give one byte
        {"TQ==\n", 64, 0, "M"},
        {"", 64, 0, ""},
        {"+/+/", 64, 0, "\xfb\xff\xbf"},
        {"TWFuT", 64, -1, ""},                       // five symbols
        {"TW", 64, -1, ""},
        {"TQ==TQ==", 64, -1, ""},                    // a symbol after a pad
        {"TW=u", 64, -1, ""},
        {"====", 64, -1, ""},                        // a fourth pad
        {"TQ===", 64, -1, ""},
        {"-_-_", 64, 0, ""},                         // the URL-safe symbols are not in the alphabet
        {"dXNlcjpwYXNz", 8, -2, ""},
        {"dXNlcjpwYXNz", 9, 0, "user:pass"},
    };
    for (const Case& c : cases) {
        u8 out[64];
        size_t length = c.capacity;
        EXPECT_EQ(dartu_base64_decode(c.text, std::strlen(c.text), out, &length), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.bytes) << c.text;
        }
    }
}

}  // namespace
