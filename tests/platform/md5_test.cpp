// MD5: the RFC 1321 test suite, and digests of data fed in pieces of every
// size agreeing with Python's hashlib.
#include "platform/md5.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/shell.h"

namespace {

std::string HexOf(const std::string& text) {
    char hex[kMd5HexChars + 1];
    Md5_HexOf(text.data(), static_cast<u32>(text.size()), hex);
    return hex;
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(HexOf(c.text), c.digest) << '"' << c.text << '"';
}

// Lengths around the block and padding boundaries, each fed in random
// pieces, against hashlib over the same bytes.
TEST(Md5, PiecewiseDigestsAgreeWithPythonHashlib) {
    std::mt19937 rng(7);
    const size_t lengths[] = {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096, 100003};
    std::ostringstream script;
    script << "import hashlib,sys\n";
    std::vector<std::string> ours;
    for (size_t length : lengths) {
        std::vector<u8> data(length);
        for (u8& b : data) b = static_cast<u8>(rng());
        Md5Context c;
        _nx_md5_initialize(&c);
        for (size_t at = 0; at < length;) {
            size_t piece = std::min<size_t>(length - at, rng() % 150);
            _nx_md5_update(&c, data.data() + at, static_cast<u32>(piece));
            at += piece;
        }
        u8 digest[kMd5DigestBytes];
        _nx_md5_digest_calculate(&c, digest);
        char hex[kMd5HexChars + 1];
        Md5_Hex(digest, hex);
        ours.push_back(hex);
        // The bytes travel to Python as hexadecimal text.
        script << "print(hashlib.md5(bytes.fromhex('";
        for (u8 b : data) {
            static const char kDigits[] = "0123456789abcdef";
            script << kDigits[b >> 4] << kDigits[b & 15];
        }
        script << "')).hexdigest())\n";
    }
    std::string path = ::testing::TempDir() + "md5_vectors.py";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::string text = script.str();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    int status = 0;
    std::string out = Shell("/usr/bin/python3 " + path, &status);
    std::remove(path.c_str());
    ASSERT_EQ(status, 0) << out;
    std::istringstream lines(out);
    for (size_t i = 0; i < ours.size(); ++i) {
        std::string theirs;
        ASSERT_TRUE(std::getline(lines, theirs)) << out;
        EXPECT_EQ(ours[i], theirs) << "length " << lengths[i];
    }
}

}  // namespace
