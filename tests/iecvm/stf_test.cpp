#include <gtest/gtest.h>

#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstd.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

TEST(StandardFunctions, SlotsEmptyByTheFormatStayEmpty) {
    for (u16 n : {0, 37, 38, 39, 50, 55, 59, 64, 69, 221}) EXPECT_EQ(_STFS[n], nullptr) << n;
}

// The table is assembled from the families' rows: each slot from at most one
// row, and every handler in the table from a row.
TEST(StandardFunctions, FamiliesClaimEachSlotOnce) {
    std::array<int, kQ4StfSlots> claims{};
    for (std::span<const Q4StfRow> family : Q4VMStf_Families())
        for (const Q4StfRow& r : family) {
            ASSERT_LT(r.slot, kQ4StfSlots);
            ++claims[r.slot];
            EXPECT_EQ(_STFS[r.slot], r.handler) << r.slot;
        }
    for (u16 n = 0; n < kQ4StfSlots; ++n) {
        EXPECT_LE(claims[n], 1) << n;
        EXPECT_EQ(_STFS[n] != nullptr, claims[n] == 1) << n;
    }
}

// Unknown numbers, empty slots and slots whose family is not there stop the
// application with event 17 carrying the number; the log's limit holds.
TEST(StandardFunctions, UnknownNumbersLogAndStop) {
    IecImageBuilder b;
    u16 r = b.Var(kQ4TypeDint, 5, "r");
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    for (u16 n : {u16{0}, u16{37}, u16{59}, u16{221}, u16{222}, u16{0xFFFF}}) {
        if (_STFS.size() > n && _STFS[n]) continue;
        const u16 call[] = {n, 1, r};
        EXPECT_EQ(Q4VMStf_Execute(db.Db(), call), 0) << n;
        u16 code = 0, arg = 0;
        u32 arg32 = 1;
        ASSERT_EQ(Q4VMLog_Pop(db.Db(), &code, &arg, &arg32), 1) << n;
        EXPECT_EQ(code, kLogStdFunction);
        EXPECT_EQ(arg, n);
        EXPECT_EQ(arg32, 0u);
        EXPECT_EQ(GetLe32(db.Data32(r)), 5u);  // the result is left alone
    }
    // With the log full the event is dropped; the stop happens all the same.
    for (int i = 0; i < 16; ++i) Q4VMLog_Push(db.Db(), 1, 0, 0);
    const u16 call[] = {222, 0};
    EXPECT_EQ(Q4VMStf_Execute(db.Db(), call), 0);
    EXPECT_EQ(GetLe16(db.Status() + kVmStLogCount), 16);
}

TEST(StandardFunctions, StoreRuleFollowsTheLockBitOfTheClass) {
    IecImageBuilder b;
    u16 r = b.Var(kQ4TypeDint, 0, "r");
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    EXPECT_EQ(Q4VMStf_CanStore(db.Db(), kQ4LockData32, r), 1);
    *db.Lock(r) = kQ4LockData8;  // another class's variable with the same index
    EXPECT_EQ(Q4VMStf_CanStore(db.Db(), kQ4LockData32, r), 1);
    *db.Lock(r) |= kQ4LockData32;
    EXPECT_EQ(Q4VMStf_CanStore(db.Db(), kQ4LockData32, r), 0);
}

}  // namespace
