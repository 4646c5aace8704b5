// The loadable block library: libraries built by CMake against the public
// header, put in the runtime's folder of a fresh root; a program calls the
// blocks of a good one; invalid and damaged files leave the built-in blocks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iec/ext/q4bdll.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmsrv.h"
#include "platform/root.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<u8> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}

class BlockLibrary : public ::testing::Test {
protected:
    void TearDown() override { Q4Bdll_CloseDynaLinks(); }
    std::string LibPath() { return Root_HostPath(kQ4BdllFile); }
    void Install(const char* built) { std::filesystem::copy_file(built, LibPath()); }
    void InstallBytes(const std::vector<u8>& bytes) {
        std::ofstream(LibPath(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
    }
    // Opens as the runtime does at its start: the handle and what was printed.
    void* Open(std::string* printed) {
        testing::internal::CaptureStdout();
        void* h = Q4Bdll_OpenDynaLinks();
        *printed = testing::internal::GetCapturedStdout();
        return h;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        u32 id = 0;
        if (!Q4Bdll_StartEnumerate()) return out;
        for (int more = Q4Bdll_GetFirstID(&id); more; more = Q4Bdll_GetNextID(&id)) out.push_back(Q4Bdll_GetName(id));
        Q4Bdll_StopEnumerate();
        return out;
    }
    TempRoot root_;
    const u16 kBuiltIn = static_cast<u16>(kStdBlockCount + kPfbCount);
};

TEST_F(BlockLibrary, AProgramCallsTheBlocksOfAGoodLibrary) {
    Install(PLC_Q4BLOCKS_TEST_LIB);
    std::string printed;
    ASSERT_NE(Open(&printed), nullptr);
    EXPECT_EQ(printed, "Load libq4blocks.so successful\n");
    // Ids 1 and 2 and the named 3; id 4 has no name, so 5 is never asked.
    EXPECT_EQ(Names(), (std::vector<std::string>{"LIBCOUNT", "LIBSEEN", "LIBNOPROC"}));
    EXPECT_NE(Q4Bdll_GetProc(1), nullptr);
    EXPECT_EQ(Q4Bdll_GetProc(3), nullptr) << "a name without an exported handler";
    EXPECT_EQ(Q4VMFbl_GetNbClass(), kBuiltIn + 2);

    IecImageBuilder b;
    u16 x = b.Var(kQ4TypeDint), y = b.Var(kQ4TypeDint);
    b.FbClass(7, "LIBCOUNT").FbClass(8, "LIBSEEN");
    u16 c1 = b.FbInstance(7, false), c2 = b.FbInstance(7, false), seen = b.FbInstance(8, false);
    TicAssembler t;
    t.Op("CALL_FB", {c1, 1, x}).Op("CALL_FB", {c1, 1, x}).Op("CALL_FB", {c2, 1, x}).Op("CALL_FB", {seen, 2, y, x})
        .Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    ASSERT_EQ(Q4VMLog_GetUnresolved(db.Db(), 0), nullptr);
    Q4VM_Cycle(db.Db(), 1);
    Q4VM_Cycle(db.Db(), 2);
    auto inst = [&](u16 n, u32 at) {
        u8* rec = Q4VMFbl_Instance(db.Db(), n);
        return rec ? GetLe32(db.Db() + GetLe32(rec + kFbiInstData) + at) : 0xFFFFFFFFu;
    };
    EXPECT_EQ(inst(c1, 0), 4u) << "two calls a cycle, each instance its own data";
    EXPECT_EQ(inst(c2, 0), 2u);
    EXPECT_EQ(inst(seen, 0), 2u) << "operand count";
    EXPECT_EQ(inst(seen, 4), y) << "first operand";
    Q4VM_ShutDown(db.Db(), nullptr);

    // A program naming a block the library does not offer stays unresolved.
    IecImageBuilder h;
    h.FbClass(3, "LIBHIDDEN");
    h.FbInstance(3, false);
    h.Program(TicAssembler().Op("END").Finish());
    IecVmDb hidden(h.Build());
    ASSERT_NE(Q4VMLog_GetUnresolved(hidden.Db(), 0), nullptr);
    EXPECT_STREQ(Q4VMLog_GetUnresolved(hidden.Db(), 0), "LIBHIDDEN");

    EXPECT_EQ(Q4Bdll_CloseDynaLinks(), 0);
    EXPECT_EQ(Q4Bdll_StartEnumerate(), 0);
    EXPECT_EQ(Q4Bdll_CloseDynaLinks(), 0) << "nothing loaded";
}

TEST_F(BlockLibrary, MissingInvalidAndDamagedLibrariesLeaveTheBuiltInBlocks) {
    const std::vector<u8> good = ReadAll(PLC_Q4BLOCKS_TEST_LIB);
    ASSERT_GT(good.size(), 1000u);
    std::vector<u8> otherMachine = good, truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    otherMachine[18] ^= 0x40;  // e_machine
    std::vector<u8> headerOnly(good.begin(), good.begin() + 64), garbage(4096, 0x5A);
    garbage[0] = 0x7F;

    struct Case {
        const char* what;
        const char* built;  // a library to install, or
        std::vector<u8> bytes;
        bool present;
    };
    const std::vector<Case> cases = {
        {"no file", nullptr, {}, false},
        {"validity 0", PLC_Q4BLOCKS_TEST_INVALID, {}, true},
        {"no name function", PLC_Q4BLOCKS_TEST_NONAME, {}, true},
        {"empty file", nullptr, {}, true},
        {"garbage", nullptr, garbage, true},
        {"header only", nullptr, headerOnly, true},
        {"truncated", nullptr, truncated, true},
        {"another machine", nullptr, otherMachine, true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(LibPath());
        if (c.built) Install(c.built);
        else if (c.present) InstallBytes(c.bytes);
        std::string printed;
        EXPECT_EQ(Open(&printed), nullptr) << c.what;
        EXPECT_EQ(printed, "") << c.what;
        EXPECT_EQ(Q4Bdll_StartEnumerate(), 0) << c.what;
        EXPECT_EQ(Q4VMFbl_GetNbClass(), kBuiltIn) << c.what;
    }
    EXPECT_EQ(Q4Bdll_CheckImage(good.data(), good.size()), kBdllImageOk);
    EXPECT_EQ(Q4Bdll_CheckImage(truncated.data(), truncated.size()), kBdllDamaged);
    EXPECT_EQ(Q4Bdll_CheckImage(otherMachine.data(), otherMachine.size()), kBdllOtherHost);
    EXPECT_EQ(Q4Bdll_CheckImage(garbage.data(), garbage.size()), kBdllNotElf);

    // Opening again replaces: a good library after a refused one is taken.
    std::filesystem::remove(LibPath());
    Install(PLC_Q4BLOCKS_TEST_LIB);
    std::string printed;
    EXPECT_NE(Open(&printed), nullptr);
    EXPECT_NE(Open(&printed), nullptr);
    EXPECT_EQ(Names().size(), 3u);
}

// The workbench lists the block names (system information 5, then 6 until
// an empty name): the controller's block table, then the library's.
TEST_F(BlockLibrary, TheWorkbenchListsTheRegistryThenTheLibrary) {
    Install(PLC_Q4BLOCKS_TEST_LIB);
    std::string printed;
    ASSERT_NE(Open(&printed), nullptr);
    IecImageBuilder b;
    b.Program(TicAssembler().Op("END").Finish());
    IecVmDb db(b.Build());
    auto ask = [&](u8 sub) {
        const u8 list[] = {1, 0, 0, sub};
        std::vector<u8> out(1100);
        u32 n = Q4VM_ReadObjects(db.Db(), list, sizeof list, out.data());
        EXPECT_GE(n, 5u);
        u8 len = out[4];
        return len ? std::string(reinterpret_cast<char*>(&out[5]), len - 1u) : std::string();
    };
    std::vector<std::string> names;
    for (std::string n = ask(5); !n.empty() && names.size() < 1000; n = ask(6)) names.push_back(n);
    ASSERT_EQ(names.size(), kPfbCount + 3u);
    EXPECT_EQ(names.front(), "TXBMANAGER");
    EXPECT_EQ(names[kPfbCount - 1], "CTD");
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"LIBCOUNT", "LIBSEEN", "LIBNOPROC"}));
    EXPECT_EQ(ask(6), "") << "the listing stays at its end";
}

// A library in the process's working directory is not the controller's.
TEST_F(BlockLibrary, TheLibraryIsLoadedFromTheRootNotTheWorkingDirectory) {
    std::filesystem::path here = std::filesystem::current_path() / kQ4BdllFile;
    ASSERT_FALSE(std::filesystem::exists(here));
    std::filesystem::copy_file(PLC_Q4BLOCKS_TEST_LIB, here);
    std::string printed;
    EXPECT_EQ(Open(&printed), nullptr);
    std::filesystem::remove(here);
    EXPECT_EQ(LibPath(), root_.Dir() + "/run/" + kQ4BdllFile);
}

}  // namespace
