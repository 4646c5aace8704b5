#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "mailbox_step.h"
#include "storage/cf_dpram.h"
#include "storage_fixture.h"

namespace {

class DpramTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        BackTsk_WriteOnce();
    }
    // Polls until the answer is there (bounded).
    template <typename F>
    i32 Await(F poll) {
        for (int i = 0; i < 20; ++i) {
            step_.Pass();
            i32 r = poll();
            if (r != kDpramPending) return r;
        }
        return kDpramPending;
    }
    std::string NameAt(u32 offset) { return reinterpret_cast<const char*>(dpram + offset); }
    bool Pending() { return dpram[kDpramFile] != dpram[kDpramFile + 1]; }

    FileMailboxStep step_;
};

}  // namespace

TEST_F(DpramTest, WriteThenReadThroughTheMailbox) {
    i16 values[4] = {10, -20, 30, -40};
    u32 written = 0;
    CfDpramWriteRequest w{1, "A:/DATA/V.CSV", values, 5, 4, &written, 2, 2, 1, 0, 0, nullptr, nullptr};
    ASSERT_EQ(CF_DpramWriteFile(0, &w), kDpramPending);
    EXPECT_EQ(NameAt(kDpramNameWrite), "A:\\DATA\\V.CSV");
    EXPECT_EQ(CF_DpramWriteFile(kDpramPoll, &w), kDpramPending);
    EXPECT_EQ(Await([&] { return CF_DpramWriteFile(kDpramPoll, &w); }), kCfOk);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(Get("/mnt/USB0/DATA/V.CSV"), "10,-20\r\n30,-40\r\n");
    // A poll after completion answers the same again.
    EXPECT_EQ(CF_DpramWriteFile(kDpramPoll, &w), kCfOk);
    EXPECT_EQ(cfm.requestCount, 1u);

    i16 back[4] = {};
    u32 got = 0;
    CfDpramReadRequest r{1, "A:\\DATA\\V.CSV", back, 5, 4, &got, 0, 0, 0, nullptr, 0};
    ASSERT_EQ(CF_DpramReadFile(0, &r), kDpramPending);
    EXPECT_EQ(Await([&] { return CF_DpramReadFile(kDpramPoll, &r); }), kCfOk);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
    EXPECT_EQ(cfm.requestCount, 1u);  // reads are not counted
}

TEST_F(DpramTest, SecondPostWhilePendingIsRefused) {
    ASSERT_EQ(CF_DpramDeleteFile(0, "A:\\ONE.CSV"), kDpramPending);
    EXPECT_EQ(CF_DpramDeleteFile(0, "A:\\TWO.CSV"), kDpramBusy);
    EXPECT_EQ(CF_DpramFormatCard(0), kDpramBusy);
    EXPECT_EQ(NameAt(kDpramNameDelete), "A:\\ONE.CSV");
    EXPECT_EQ(dpram[kDpramFile + 2], kDpramCmdDelete);
    Put("/mnt/USB0/ONE.CSV", "");
    EXPECT_EQ(Await([] { return CF_DpramDeleteFile(kDpramPoll, nullptr); }), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB0/ONE.CSV"));
}

TEST_F(DpramTest, NamesAreCutAtASpaceAndRecordNamesGetTheirExtension) {
    struct Case {
        const char* name;
        u32 mode;
        u32 form;
        i32 result;
        const char* stored;
    } cases[] = {
        {"A:/LOG/DAY ONE.CSV", 1, 0, kDpramPending, "A:\\LOG\\DAY"},
        {"A:\\REC", 1, kCfMixedRead, kDpramPending, "A:\\REC.csv"},
        {"A:\\REC.CSV", 1, kCfMixedRead, kDpramPending, "A:\\REC.CSV"},
        {"A:\\rec.csv.bak", 1, kCfMixedRead, kDpramPending, "A:\\rec.csv.bak"},
        {"A:\\REC", 0, kCfMixedRead, kDpramPending, "A:\\REC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        u16 dest[4];
        CfDpramReadRequest r{c.mode, c.name, dest, 5, 1, nullptr, 0, 0, c.form, nullptr, 0};
        ASSERT_EQ(CF_DpramReadFile(0, &r), c.result);
        EXPECT_EQ(NameAt(kDpramNameRead), c.stored);
        dpram[kDpramFile + 1] = dpram[kDpramFile];  // answered
    }
    // 512 characters without an end: refused before anything is posted.
    std::string endless(600, 'N');
    CfDpramReadRequest r{1, endless.c_str(), nullptr, 5, 1, nullptr, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(CF_DpramReadFile(0, &r), kCfInvalid);
    EXPECT_FALSE(Pending());
    std::string longest(511, 'N');
    r.name = longest.c_str();
    EXPECT_EQ(CF_DpramReadFile(0, &r), kDpramPending);
    // The longest name still ends before the mailboxes behind it.
    EXPECT_EQ(dpram[kDpramLogger], 0);
    dpram[kDpramFile + 1] = dpram[kDpramFile];
    // More data than the data area holds.
    std::vector<u32> big(2049, 1);
    CfDpramWriteRequest w{1, "A:\\BIG.CSV", big.data(), 7, 2049, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
    EXPECT_EQ(CF_DpramWriteFile(0, &w), kCfInvalid);
    EXPECT_FALSE(Pending());
}

TEST_F(DpramTest, RenameFormatAndDateNamesThroughTheMailbox) {
    SR_Put(47, 5);
    SR_Put(48, 3);
    SR_Put(49, 2024);
    i32 v = 7;
    CfDpramWriteRequest w{1, "B:\\LOG$Y$M$D.CSV", &v, 3, 1, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
    ASSERT_EQ(CF_DpramWriteFile(0, &w), kDpramPending);
    EXPECT_EQ(Await([&] { return CF_DpramWriteFile(kDpramPoll, &w); }), kCfOk);
    EXPECT_EQ(Get("/mnt/USB1/LOG240305.CSV"), "7\r\n");

    ASSERT_EQ(CF_DpramRenameFile(0, "B:\\LOG240305.CSV", "B:\\OLD.CSV"), kDpramPending);
    EXPECT_EQ(Await([] { return CF_DpramRenameFile(kDpramPoll, nullptr, nullptr); }), kCfOk);
    EXPECT_EQ(Get("/mnt/USB1/OLD.CSV"), "7\r\n");
    ASSERT_EQ(CF_DpramRenameFile(0, "B:\\OLD.CSV", "A:\\ELSEWHERE.CSV"), kDpramPending);
    EXPECT_EQ(Await([] { return CF_DpramRenameFile(kDpramPoll, nullptr, nullptr); }), kCfInvalid);

    ASSERT_EQ(CF_DpramFormatCard(1), kDpramPending);
    EXPECT_EQ(Await([] { return CF_DpramFormatCard(kDpramPoll); }), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB1/OLD.CSV"));

    // Copy, which no instruction posts yet, works the same way.
    Put("/mnt/USB0/SRC.TXT", "s");
    ASSERT_EQ(CF_DpramCopyFile(0, "A:\\SRC.TXT", "B:\\DST.TXT"), kDpramPending);
    EXPECT_EQ(Await([] { return CF_DpramCopyFile(kDpramPoll, nullptr, nullptr); }), kCfOk);
    EXPECT_EQ(Get("/mnt/USB1/DST.TXT"), "s");
}
