// The workbench debug server on a built database: connect and passwords,
// read objects (all or nothing, room rules, indexes, CT addresses,
// description continuation), execute through the verifier, subscriptions
// bounded by their data, and the poll table's limits.
#include <gtest/gtest.h>

#include <vector>

#include "iec/ext/q4ea.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmsrv.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Answer {
    u8 tag = 0, status = 0;
    std::vector<u8> data;
};

class VmServer : public ::testing::Test {
protected:
    void Make(u32 password = 0) {
        IecImageBuilder b;
        b.MapVsi(false);
        x = b.Var(kQ4TypeDint, 0x01020304, "x");
        flag = b.Var(kQ4TypeBool, 1, "flag");
        s = b.String(10, "hey", Sym("s"));
        b.Var(kQ4TypeInt, 0, "a");
        b.Var(kQ4TypeInt, 0, "b");
        b.CtSegment(32, 16).CtInit(8, {0xAA, 0xBB, 0xCC, 0xDD});
        if (password) b.Password(password);
        b.AppWords(0x11, 0x22334455, 0, 0x66);
        b.Program({234});  // END
        db = std::make_unique<IecVmDb>(b.Build());
        ASSERT_EQ(db->Result(), 0);
    }
    Answer Ask(u8 command, const std::vector<u8>& data, u8* connected = nullptr, bool withDb = true) {
        std::vector<u8> rq{0x42, command, 0, 0};
        PutBe16(&rq[2], static_cast<u16>(data.size()));
        rq.insert(rq.end(), data.begin(), data.end());
        std::vector<u8> out(1100);
        u8 c = 1;
        const u32 n = Q4VM_ServeEx(withDb ? db->Db() : nullptr, rq.data(), static_cast<u32>(rq.size()), out.data(),
                                   static_cast<u32>(out.size()), 9000, connected ? connected : &c);
        Answer a;
        EXPECT_GE(n, 4u);
        a.tag = out[0];
        a.status = out[1];
        EXPECT_EQ(GetBe16(&out[2]) + 4u, n);
        a.data.assign(out.begin() + 4, out.begin() + n);
        return a;
    }
    static std::vector<u8> Objects(const std::vector<std::vector<u8>>& list) {
        std::vector<u8> d{static_cast<u8>(list.size())};
        for (const auto& o : list) d.insert(d.end(), o.begin(), o.end());
        return d;
    }
    static std::vector<u8> Obj(u8 kind, u16 index) { return {kind, static_cast<u8>(index >> 8), static_cast<u8>(index)}; }
    std::vector<u8> Poll(u8 table, u32 offset, u16 length, u32 key = 0x22334455) {
        std::vector<u8> d(11);
        d[0] = table;
        PutBe32(&d[1], offset);
        PutBe16(&d[5], length);
        PutBe32(&d[7], key);
        return d;
    }

    std::unique_ptr<IecVmDb> db;
    u16 x = 0, flag = 0, s = 0;
};

TEST_F(VmServer, ConnectChecksTheApplicationsPassword) {
    Make(1234);
    u8 connected = 0;
    Answer a = Ask(kVmSrvConnect, {0, 0, 0x04, 0xD2}, &connected);
    EXPECT_EQ(a.tag, 0x42);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, (std::vector<u8>{0x23, 0x28, 0, 0, 0, 0}));
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(Ask(kVmSrvRead, Objects({Obj(3, 0)}), &connected).status, 0);
    a = Ask(kVmSrvConnect, {0, 0, 0, 1}, &connected);
    EXPECT_EQ(a.status, 255);
    EXPECT_EQ(GetBe16(&a.data[0]), 9000);  // the port all the same
    EXPECT_EQ(connected, 0);
    // Not connected to a protected application: nothing but connect.
    EXPECT_EQ(Ask(kVmSrvRead, Objects({Obj(3, 0)}), &connected).status, 255);
    EXPECT_EQ(Ask(kVmSrvPollTable, Poll(0, 0, 4), &connected).data.size(), 0u);

    Make(0);
    connected = 0;
    EXPECT_EQ(Ask(kVmSrvConnect, {}, &connected).status, 0);
    EXPECT_EQ(Ask(99, {}).status, 255);
}

TEST_F(VmServer, ReadObjectsIsAllOrNothing) {
    Make();
    *db->Lock(x) |= kQ4LockData32;
    Answer a = Ask(kVmSrvRead, Objects({}));
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, std::vector<u8>{0});

    a = Ask(kVmSrvRead, Objects({Obj(11, x), Obj(9, flag), Obj(14, s), Obj(3, 0), Obj(1, 0), Obj(6, 0), Obj(4, 0)}));
    ASSERT_EQ(a.status, 0);
    const std::vector<u8> want{7,  11, 0, static_cast<u8>(x), 1, 1, 2, 3, 4,        9, 0, static_cast<u8>(flag), 0, 1,
                               14, 0, static_cast<u8>(s), 0, 3, 'h', 'e', 'y', 0, 3, 0, 0, '.', 'X', 'T', 'I'};
    ASSERT_GE(a.data.size(), want.size());
    EXPECT_EQ(std::vector<u8>(a.data.begin(), a.data.begin() + static_cast<long>(want.size())), want);
    // kind 1: length, "q4"-style name and NUL; kinds 6 and 4 the application words.
    const size_t at = want.size() + 3;
    const u8 nameLen = a.data[at];
    EXPECT_EQ(GetBe32(&a.data[at + 1 + nameLen + 1 + 3]), 0x22334455u);
    EXPECT_EQ(GetBe32(&a.data[at + 1 + nameLen + 1 + 3 + 4 + 3]), 0x66u);

    // CT address: kind 31 with sub-kind 11 at byte offset 8.
    a = Ask(kVmSrvRead, Objects({{31, 11, 0, 0, 0, 8}}));
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.data, (std::vector<u8>{1, 11, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA}));

    // Each of these fails the whole request.
    const std::vector<std::vector<u8>> bad[] = {
        {Obj(11, 60000)},                   // index past its table
        {Obj(15, 900)},                     // no such program
        {Obj(8, 0)},                        // kind 8
        {Obj(34, 0)},                       // unknown kind
        {{31, 11, 0, 0, 0, 30}},            // CT address past the segment
        {Obj(27, 0), Obj(0, 2)},            // system information with less than 280 bytes of room
        {Obj(3, 0), {11, 0}},               // an object cut short
    };
    for (const auto& list : bad) {
        a = Ask(kVmSrvRead, Objects(list));
        EXPECT_EQ(a.status, 255) << int(list[0][0]);
        EXPECT_TRUE(a.data.empty());
    }
    // A count larger than the objects sent.
    std::vector<u8> d = Objects({Obj(3, 0)});
    d[0] = 5;
    EXPECT_EQ(Ask(kVmSrvRead, d).status, 255);
    // Without an application only the kinds that need none are served.
    EXPECT_EQ(Ask(kVmSrvRead, Objects({Obj(3, 0), Obj(1, 0)}), nullptr, false).status, 0);
    EXPECT_EQ(Ask(kVmSrvRead, Objects({Obj(11, x)}), nullptr, false).status, 255);
}

TEST_F(VmServer, DescriptionsContinueOnlyAsTheLastObject) {
    Make();
    Answer a = Ask(kVmSrvRead, Objects({Obj(28, 0)}));
    ASSERT_EQ(a.status, 0);
    EXPECT_GT(a.data[0], 1);  // every described variable, up to the one without symbol
    a = Ask(kVmSrvRead, Objects({Obj(28, 0), Obj(3, 0)}));
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.data[0], 2);
}

TEST_F(VmServer, ExecuteQueuesOnlyVerifiedCodeWithinTheBuffer) {
    Make();
    std::vector<u8> words;
    auto word = [&](u16 w) {
        words.push_back(static_cast<u8>(w >> 8));
        words.push_back(static_cast<u8>(w));
    };
    // Lock x and load 0x00050006 into it.
    word(273);
    word(x);
    word(271);
    word(x);
    word(5);
    word(6);
    EXPECT_EQ(Ask(kVmSrvExecute, words).status, 0);
    Q4VMPrg_ProcessExecBuffer(db->Db());
    EXPECT_EQ(GetLe32(db->Data32(x)), 0x00050006u);
    EXPECT_NE(*db->Lock(x) & kQ4LockData32, 0);

    // Code the verifier refuses: an index past the table, an instruction cut
    // short, an odd length.
    EXPECT_EQ(Ask(kVmSrvExecute, {0x01, 0x11, 0xEA, 0x60}).status, 255);
    EXPECT_EQ(Ask(kVmSrvExecute, {0x01, 0x0F, 0x00, static_cast<u8>(x)}).status, 255);
    EXPECT_EQ(Ask(kVmSrvExecute, {0x01, 0x11, 0x00}).status, 255);
    EXPECT_EQ(GetLe16(db->Status() + kVmStExecLength), 0);

    // Room: 1022 bytes and the end word fill the buffer, 1024 do not fit.
    std::vector<u8> nops;
    for (int k = 0; k < 511; ++k) nops.insert(nops.end(), {0x02, 0x0E});  // 526, NOP
    EXPECT_EQ(Ask(kVmSrvExecute, nops).status, 0);
    Q4VMPrg_ProcessExecBuffer(db->Db());
    nops.insert(nops.end(), {0x02, 0x0E});
    EXPECT_EQ(Ask(kVmSrvExecute, nops).status, 255);
    // Without an application nothing happens, successfully.
    EXPECT_EQ(Ask(kVmSrvExecute, words, nullptr, false).status, 0);
}

TEST_F(VmServer, SubscriptionsRegisterClientSlotsOneToEightWithinTheData) {
    Make();
    ASSERT_EQ(Q4EA_Open(db->Code(), db->Db(), nullptr), 0);
    // x with W = 4 (hysteresis 10 / 3), x for slot 0, flag with W = 3.
    std::vector<u8> list{3,
                         kQ4TypeDint, 0, static_cast<u8>(x), 0, 1, 4, 0, 0, 0, 10, 0, 0, 0, 3,
                         kQ4TypeDint, 0, static_cast<u8>(x), 0, 0, 0,
                         kQ4TypeBool, 0, static_cast<u8>(flag), 0, 2, 3, 1, 1, 1, 2, 2, 2};
    Answer a = Ask(kVmSrvSubscribe, list);
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.data, (std::vector<u8>{3, kQ4TypeDint, 0, static_cast<u8>(x), 0, kQ4TypeDint, 0,
                                       static_cast<u8>(x), 1, kQ4TypeBool, 0, static_cast<u8>(flag), 0}));
    ASSERT_EQ(Q4EA_Count(db->Db()), 2u);
    const u8* it = Q4EA_Item(db->Db(), 0);
    EXPECT_EQ(GetLe32(it + kEaHystPos), 10u);
    EXPECT_EQ(GetLe32(it + kEaHystNeg), 3u);
    EXPECT_EQ(it[kEaClients], 1);

    // Items past the data are not read.
    list.resize(20);
    a = Ask(kVmSrvSubscribe, list);
    EXPECT_EQ(a.data.size(), 1u + 4u);
    // Long form: CT offset, then the slot.
    a = Ask(kVmSrvSubscribeLong, {1, kQ4TypeDint, 0, 0, 0, 0, 0, 8, 0, 3, 0});
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.data.back(), 0);
    EXPECT_EQ(Q4EA_Count(db->Db()), 3u);

    EXPECT_EQ(Ask(kVmSrvUnsubscribe, {2, kQ4TypeDint, 0, static_cast<u8>(x), 0, 1, kQ4TypeBool, 0,
                                      static_cast<u8>(flag), 0, 2}).status, 0);
    EXPECT_EQ(Ask(kVmSrvUnsubscribeLong, {1, kQ4TypeDint, 0, 0, 0, 0, 0, 8, 0, 3}).status, 0);
    EXPECT_EQ(Q4EA_Count(db->Db()), 0u);
    EXPECT_EQ(Ask(kVmSrvSubscribe, list, nullptr, false).status, 255);
}

TEST_F(VmServer, PollTableStaysInsideItsArea) {
    Make();
    const u32 total = Q4VM_GetTotalDBSize(db->Db());
    const struct {
        std::vector<u8> data;
        std::vector<u8> head;  // first bytes of the answer
    } cases[] = {
        {Poll(255, 0, 1000), {0, 255}},
        {Poll(255, 0, 1001), {6}},
        {Poll(255, total - 4, 4), {0, 255}},
        {Poll(255, total - 4, 5), {6}},
        {Poll(39, 0, 0), {0, 39}},
        {Poll(40, 0, 4), {6}},
        {Poll(253, 0, 4), {6}},
        {Poll(254, 0, 1), {0, 254}},
        {Poll(0, 0, 248), {0, 0}},
        {Poll(0, 0, 249), {6}},
        {Poll(0, 0xFFFFFFF0u, 32), {6}},
        {Poll(0, 0, 4, 1), {'F'}},
        {{0, 0}, {6}},
    };
    for (const auto& c : cases) {
        Answer a = Ask(kVmSrvPollTable, c.data);
        EXPECT_EQ(a.status, 0);
        ASSERT_GE(a.data.size(), c.head.size());
        EXPECT_EQ(std::vector<u8>(a.data.begin(), a.data.begin() + static_cast<long>(c.head.size())), c.head)
            << int(c.data[0]);
        if (c.head.size() > 1) {
            EXPECT_EQ(a.data.size(), 8u + GetBe16(&c.data[5]));
        }
    }
    // The status record as it lies in the database.
    Answer a = Ask(kVmSrvPollTable, Poll(0, 44, 4));
    EXPECT_EQ(GetLe32(&a.data[8]), 0x22334455u);
    EXPECT_EQ(Ask(kVmSrvPollTable, Poll(0, 0, 4), nullptr, false).data, std::vector<u8>{'E'});
}

}  // namespace
