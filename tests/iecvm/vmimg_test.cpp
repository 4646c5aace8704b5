#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "iec/kernel/q4vmimg.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<u8> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}
void WriteFile(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
bool Exists(const std::string& path) {
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0;
}
std::vector<u8> Pattern(size_t n, u8 seed) {
    std::vector<u8> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<u8>(seed + i * 7);
    return v;
}

struct MemImages : ::testing::Test {
    TempRoot root;
    Q4MMData mm;
    std::string cod = root.Path("/mnt/cfg/q4.cod");
    std::string upd = root.Path("/mnt/cfg/q4.upd");
    void SetUp() override { Q4MM_Open(&mm, ""); }
    void TearDown() override {
        while (mm.change.flags & kQ4MemLinked) Q4MM_UnlinkChange(&mm);
        Q4MM_FreeChange(&mm);
        Q4MM_Close(&mm);
    }
    int Req(int (*op)(Q4MMData*, int, const Q4LoadRequest*), int code, const std::vector<u8>& block = {}) {
        Q4LoadRequest r;
        r.kind = 1;
        r.length = static_cast<u32>(block.size());
        r.data = block.data();
        return op(&mm, code, &r);
    }
};

TEST_F(MemImages, LoadReadsWholeFileAndRefusesEmptyOrMissing) {
    EXPECT_EQ(Q4MM_LoadCode(&mm), 1);  // missing
    WriteFile(cod, {});
    EXPECT_EQ(Q4MM_LoadCode(&mm), 1);
    EXPECT_EQ(mm.code.flags, 0);
    EXPECT_EQ(mm.code.memory, nullptr);

    // One byte past a piece boundary.
    auto bytes = Pattern(4097, 3);
    WriteFile(cod, bytes);
    ASSERT_EQ(Q4MM_LoadCode(&mm), 0);
    EXPECT_EQ(mm.code.size, 4097u);
    EXPECT_EQ(0, std::memcmp(mm.code.memory, bytes.data(), bytes.size()));
    // A loaded record cannot be loaded over.
    EXPECT_EQ(Q4MM_LoadCode(&mm), 1);
}

TEST_F(MemImages, LinkedImagesCannotBeFreed) {
    ASSERT_EQ(Q4MM_AllocRawVMDB(&mm, 64), 0);
    u8* a = Q4MM_LinkVMDB(&mm);
    u8* b = Q4MM_LinkVMDB(&mm);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(mm.vmdb.linkCount, 2);
    EXPECT_EQ(Q4MM_FreeVMDB(&mm), 1);
    EXPECT_EQ(Q4MM_UnlinkVMDB(&mm), 0);
    EXPECT_EQ(Q4MM_FreeVMDB(&mm), 1);  // still linked once
    EXPECT_EQ(Q4MM_UnlinkVMDB(&mm), 0);
    EXPECT_EQ(mm.vmdb.linked, nullptr);
    EXPECT_EQ(Q4MM_UnlinkVMDB(&mm), 1);
    EXPECT_EQ(Q4MM_FreeVMDB(&mm), 0);
    EXPECT_EQ(mm.vmdb.kind, kQ4MemVmdb);
    EXPECT_EQ(Q4MM_LinkVMDB(&mm), nullptr);
}

TEST_F(MemImages, DownloadReplacesTheFileOnlyWhenComplete) {
    auto old = Pattern(100, 1);
    WriteFile(cod, old);
    auto p1 = Pattern(3000, 10), p2 = Pattern(5000, 20);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadStart), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, p1), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, p2), 0);
    // Until the end request the stored image is the old one: a download cut
    // off here (link lost, power lost) leaves it as it was.
    EXPECT_EQ(ReadFile(cod), old);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadEnd), 0);
    auto want = p1;
    want.insert(want.end(), p2.begin(), p2.end());
    EXPECT_EQ(ReadFile(cod), want);
    EXPECT_FALSE(Exists(cod + ".part"));

    // A new download starts from nothing, whatever an abandoned one left.
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadStart), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, p1), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadStart), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, p2), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadEnd), 0);
    EXPECT_EQ(ReadFile(cod), p2);
}

TEST_F(MemImages, DownloadRefusals) {
    auto old = Pattern(10, 5);
    WriteFile(cod, old);
    // A block or an end without a start.
    EXPECT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, old), 1);
    EXPECT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadEnd), 1);
    // An empty download is refused and the stored image kept.
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadStart), 0);
    EXPECT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadEnd), 1);
    EXPECT_EQ(ReadFile(cod), old);
    // Unknown request codes.
    EXPECT_EQ(Req(Q4MM_WriteCodeRequest, 5), 1);
    EXPECT_EQ(Req(Q4MM_WriteChangeRequest, 1), 1);
    // A path prefix that makes the path too long.
    std::string longPrefix(250, 'x');
    Q4MMData other;
    Q4MM_Open(&other, longPrefix.c_str());
    Q4LoadRequest r;
    EXPECT_EQ(Q4MM_WriteCodeRequest(&other, kQ4LoadStart, &r), 1);
}

TEST_F(MemImages, CodeDownloadWhileTheCodeIsLoaded) {
    WriteFile(cod, Pattern(64, 1));
    ASSERT_EQ(Q4MM_LoadCode(&mm), 0);
    ASSERT_NE(Q4MM_LinkCode(&mm), nullptr);
    auto next = Pattern(80, 9);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadStart), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadBlock, next), 0);
    ASSERT_EQ(Req(Q4MM_WriteCodeRequest, kQ4LoadEnd), 0);
    EXPECT_EQ(ReadFile(cod), next);
    EXPECT_EQ(mm.code.size, 64u);  // the running image is untouched
    Q4MM_UnlinkCode(&mm);
}

TEST_F(MemImages, ChangeImageBecomesTheCodeAndIsSavedBack) {
    WriteFile(cod, Pattern(64, 1));
    // Without a change nothing is written.
    EXPECT_EQ(Q4MM_SaveChange(&mm), 0);
    EXPECT_EQ(ReadFile(cod), Pattern(64, 1));

    auto change = Pattern(96, 40);
    ASSERT_EQ(Req(Q4MM_WriteChangeRequest, kQ4LoadStart), 0);
    ASSERT_EQ(Req(Q4MM_WriteChangeRequest, kQ4LoadBlock, change), 0);
    ASSERT_EQ(Req(Q4MM_WriteChangeRequest, kQ4LoadEnd), 0);
    EXPECT_EQ(ReadFile(upd), change);

    ASSERT_EQ(Q4MM_LoadCode(&mm), 0);
    ASSERT_NE(Q4MM_LinkCode(&mm), nullptr);
    EXPECT_EQ(Q4MM_RegisterChange(&mm), 1);  // nothing loaded as change yet
    ASSERT_EQ(Q4MM_LoadChange(&mm), 0);
    EXPECT_EQ(Q4MM_RegisterChange(&mm), 1);  // the code is still linked
    ASSERT_EQ(Q4MM_UnlinkCode(&mm), 0);
    ASSERT_EQ(Q4MM_RegisterChange(&mm), 0);
    EXPECT_EQ(mm.code.kind, kQ4MemCode);
    EXPECT_EQ(mm.code.replaced, 1);
    EXPECT_EQ(mm.code.size, 96u);
    EXPECT_EQ(mm.change.flags, 0);
    EXPECT_EQ(mm.change.kind, kQ4MemChange);
    ASSERT_EQ(Q4MM_SaveChange(&mm), 0);
    EXPECT_EQ(ReadFile(cod), change);
}

}  // namespace
