// Variable binding in the process: the change-event producer against a test
// client of the event server (hysteresis, merged subscriptions, long strings,
// new clients), and the consumer of one database bound over loopback to the
// producer of another (values, locks, status codes, redundant pairs, the
// producer going away), and frames the consumer must refuse.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec/ext/q4ea.h"
#include "iec/ext/q4evs.h"
#include "iec/kernel/q4vmdb.h"
#include "platform/root.h"
#include "testsupport/event_client.h"
#include "event_env.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<u8> Le32(i32 v) { return {u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)}; }

class Binding : public EventServerTest {
protected:
    // A client that has acknowledged its first (idle) frame with the mask.
    int Client(u8 mask) {
        int fd = ConnectLoopback(9000 + offset);
        EXPECT_GE(fd, 0);
        clients.push_back(fd);
        pollfd p{server->listener, POLLIN, 0};
        poll(&p, 1, 2000);
        Q4Evs_Activate(server, now);
        EXPECT_FALSE(EventReadFrame(fd, 2000).empty());
        Ack(fd, mask);
        Q4Evs_Activate(server, now);  // the acknowledgement gives it its mask
        return fd;
    }
    void Ack(int fd, u8 mask) {
        const std::vector<u8> a = EventAckFrame(mask);
        ASSERT_EQ(send(fd, a.data(), a.size(), 0), static_cast<ssize_t>(a.size()));
    }
    // One producer pass and one server pass; the variable events each client
    // got (acknowledged), in order.
    std::vector<EventRecord> Pass(u8* db, int fd, u8 mask = 0x05) {
        now += 10;
        Q4EA_ManageChangeEvents(db, server);
        Q4Evs_Activate(server, now);
        std::vector<EventRecord> got, vars;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) return vars;
        EXPECT_TRUE(EventParseFrame(EventReadFrame(fd, 2000), &got));
        Ack(fd, mask);
        for (const EventRecord& e : got)
            if (e.kind == 4 || e.kind == 132) vars.push_back(e);
        return vars;
    }

};

TEST_F(Binding, PublicVariableWithHysteresisGoesOutOnlyBeyondIt) {
    IecImageBuilder b;
    const u16 x = b.Var(kQ4TypeDint, 100, "x");
    b.StaticEvent(kQ4TypeDint, x, 7, Le32(5), Le32(5));
    b.Program({234});  // END
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    const int fd = Client(0x05);
    ASSERT_EQ(Q4EA_Open(db.Code(), db.Db(), server), 0);
    ASSERT_EQ(Q4EA_Count(db.Db()), 1u);

    // The first pass sends the value as it stands; after that only a move of
    // 5 or more from the last value sent.
    const struct {
        i32 value;
        bool sent;
    } steps[] = {{100, true}, {104, false}, {105, true}, {101, false}, {100, true}, {-2147483647 - 1, true},
                 {-2147483647 + 3, false}, {2147483647, true}, {2147483647 - 4, false}};
    for (const auto& s : steps) {
        PutLe32(db.Data32(x), static_cast<u32>(s.value));
        std::vector<EventRecord> got = Pass(db.Db(), fd);
        ASSERT_EQ(got.size(), s.sent ? 1u : 0u) << s.value;
        if (!s.sent) continue;
        VariableEvent v;
        ASSERT_TRUE(EventVariable(got[0], &v));
        EXPECT_EQ(got[0].code, 255);
        EXPECT_EQ(v.id, 7);
        EXPECT_EQ(v.type, kQ4TypeDint);
        EXPECT_EQ(v.index, x);
        EXPECT_EQ(v.value, s.value);
    }
}

TEST_F(Binding, PrivateSubscriptionsMergeTheirHysteresisAndDieWithTheLastSubscriber) {
    IecImageBuilder b;
    const u16 x = b.Var(kQ4TypeInt, 0, "x");
    b.Program({234});  // END
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    ASSERT_EQ(Q4EA_Open(db.Code(), db.Db(), nullptr), 0);
    const u8 ten[2] = {10, 0}, two[2] = {2, 0};
    const struct {
        const u8* first;
        const u8* second;
        u16 kept;
    } cases[] = {{ten, two, 2}, {two, ten, 2}, {ten, nullptr, 0}};
    for (const auto& c : cases) {
        ASSERT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 1, kQ4TypeInt, x, 0, c.first, c.first, 0), 1u);
        EXPECT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 1, kQ4TypeInt, x, 0, c.first, c.first, 0), 0u);  // twice
        ASSERT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 2, kQ4TypeInt, x, 0, c.second, c.second, 0), 1u);
        const u8* it = Q4EA_Item(db.Db(), 0);
        EXPECT_EQ(GetLe16(it + kEaHystPos), c.kept);
        EXPECT_EQ(GetLe16(it + kEaHystNeg), c.kept);
        EXPECT_EQ(GetLe16(it + kEaSubscribers), 2);
        EXPECT_EQ(Q4EA_UnregisterChangeEvent(db.Db(), 1, kQ4TypeInt, x, 0), 0);
        EXPECT_EQ(Q4EA_UnregisterChangeEvent(db.Db(), 1, kQ4TypeInt, x, 0), 1);
        EXPECT_EQ(Q4EA_Count(db.Db()), 1u);
        EXPECT_EQ(Q4EA_UnregisterChangeEvent(db.Db(), 0, kQ4TypeInt, x, 0), 1);  // not a static one
        EXPECT_EQ(Q4EA_UnregisterChangeEvent(db.Db(), 2, kQ4TypeInt, x, 0), 0);
        EXPECT_EQ(Q4EA_Count(db.Db()), 0u);
    }
    // Types that carry no value, slots and indexes that do not exist.
    EXPECT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 1, 6, x, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 1, kQ4TypeComplex, x, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 9, kQ4TypeInt, x, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(Q4EA_RegisterChangeEvent(db.Db(), 1, kQ4TypeInt, 60000, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(Q4EA_UnregisterChangeEvent(db.Db(), 9, kQ4TypeInt, x, 0), 1);
}

TEST_F(Binding, LongStringsGoAsTextFirstAndNewClientsGetEveryPublicValue) {
    IecImageBuilder b;
    const u16 s = b.String(250, std::string(222, 'a'), Sym("s"));
    const u16 n = b.Var(kQ4TypeBool, 1, "n");
    b.StaticEvent(kQ4TypeString, s, 1).StaticEvent(kQ4TypeBool, n, 2);
    b.Program({234});  // END
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    const int first = Client(0x05);
    ASSERT_EQ(Q4EA_Open(db.Code(), db.Db(), server), 0);
    std::vector<EventRecord> got = Pass(db.Db(), first);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].kind, 4);  // items are walked from the last
    EXPECT_EQ(got[1].data.size(), 5u + 1 + 222);
    EXPECT_EQ(got[1].data[5], 222);

    u8* str = db.String(s);
    str[1] = 223;
    std::memset(str + 2, 'b', 223);
    got = Pass(db.Db(), first);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, 132);
    EXPECT_EQ(got[0].data, std::vector<u8>(223, 'b'));
    EXPECT_EQ(got[1].kind, 4);
    EXPECT_EQ(got[1].data[5], 0);  // the kind-4 event's string is empty
    got = Pass(db.Db(), first);
    EXPECT_TRUE(got.empty());

    // A second client's subscription makes every public item go out again,
    // once.
    const int second = Client(0x05);
    EXPECT_EQ(Pass(db.Db(), second).size(), 3u);
    EXPECT_TRUE(Pass(db.Db(), second).empty());
}

// The consumer side: a database bound to the public variables of another.
class Consumer : public Binding {
protected:
    std::vector<u8> Producer(u16* x) {
        IecImageBuilder b;
        *x = b.Var(kQ4TypeDint, 0, "x");
        b.StaticEvent(kQ4TypeDint, *x, 7, Le32(5), Le32(5));
        b.Program({234});  // END
        return b.Build();
    }
    // Runs both sides for ms milliseconds of their time.
    void Run(u8* producer, u8* consumer, u32 ms) {
        for (u32 t = 0; t < ms; t += 10) {
            now += 10;
            Q4EAX_Activate(consumer, now);
            if (serverUp) {
                Q4EA_ManageChangeEvents(producer, server);
                Q4Evs_Activate(server, now);
            }
        }
    }
    bool serverUp = true;
};

TEST_F(Consumer, ValuesStatusLocksAndPairsFollowTheProducer) {
    u16 x = 0;
    IecVmDb prod(Producer(&x));
    ASSERT_EQ(prod.Result(), 0);
    ASSERT_EQ(Q4EA_Open(prod.Code(), prod.Db(), server), 0);

    IecImageBuilder b;
    const u16 st = b.Var(kQ4TypeInt, 99, "st"), vst = b.Var(kQ4TypeDint, 99, "vst");
    const u16 v = b.Var(kQ4TypeLint, 0, "v"), locked = b.Var(kQ4TypeDint, 42, "locked");
    const u16 bits = b.Var(kQ4TypeUsint, 0, "bits"), stamp = b.Var(kQ4TypeUdint, 0, "stamp");
    const u16 pst = b.Var(kQ4TypeInt, 99, "pst"), pv1 = b.Var(kQ4TypeDint, 0, "pv1"), pv2 = b.Var(kQ4TypeDint, 0, "pv2");
    b.BindConnection("127.0.0.1", 9000, 0,
                     {{kQ4TypeInt, kEaxCnxStatus, st},
                      {kQ4TypeUsint, 0x26, bits},  // bit 1 of bits: not flowing
                      {kQ4TypeLint, kEaxValue, v, 7},
                      {kQ4TypeDint, kEaxValue, locked, 7},
                      {kQ4TypeDint, kEaxVarStatus, vst, 7},
                      {kQ4TypeUdint, kEaxTime, stamp, 7}});
    b.BindConnection("127.0.0.1", 9000, 0x10, {{kQ4TypeInt, kEaxCnxStatus, pst}, {kQ4TypeDint, kEaxValue, pv1, 7}});
    b.BindConnection("127.0.0.1", 9000, 0x20, {{kQ4TypeInt, kEaxCnxStatus, pst}, {kQ4TypeDint, kEaxValue, pv2, 7}});
    b.Program({234});  // END
    IecVmDb cons(b.Build());
    ASSERT_EQ(cons.Result(), 0);
    ASSERT_EQ(Q4EAX_GetNbCnx(cons.Code()), 3u);
    *cons.Lock(locked) |= kQ4LockData32;
    ASSERT_EQ(Q4EAX_Open(cons.Db()), 0);

    auto dint = [](u8* p) { return static_cast<i32>(GetLe32(p)); };
    PutLe32(prod.Data32(x), 100);
    Run(prod.Db(), cons.Db(), 300);
    EXPECT_EQ(GetLe64(cons.Data64(v)), 100u);
    EXPECT_EQ(dint(cons.Data32(locked)), 42);  // forced: left alone
    EXPECT_EQ(GetLe16(cons.Data16(st)), 0);
    EXPECT_EQ(dint(cons.Data32(vst)), 0);
    EXPECT_EQ(*cons.Data8(bits), 0);
    EXPECT_NE(GetLe32(cons.Data32(stamp)), 0u);
    EXPECT_EQ(GetLe16(cons.Data16(pst)), 0x00);
    EXPECT_EQ(dint(cons.Data32(pv1)), 100);
    EXPECT_EQ(dint(cons.Data32(pv2)), 100);

    // The producer's hysteresis holds on the consumer's side too.
    PutLe32(prod.Data32(x), 104);
    Run(prod.Db(), cons.Db(), 300);
    EXPECT_EQ(GetLe64(cons.Data64(v)), 100u);
    PutLe32(prod.Data32(x), -5);
    Run(prod.Db(), cons.Db(), 300);
    EXPECT_EQ(static_cast<i64>(GetLe64(cons.Data64(v))), -5);
    EXPECT_EQ(dint(cons.Data32(pv1)), -5);

    // The producer goes away: disconnected (2, both halves of the pair), the
    // values stay, the variable status turns bad; reconnecting fails while
    // nobody listens.
    Q4Evs_Close(server);
    serverUp = false;
    Run(prod.Db(), cons.Db(), 100);
    EXPECT_EQ(GetLe16(cons.Data16(st)), 2);
    EXPECT_EQ(dint(cons.Data32(vst)), 1);
    EXPECT_EQ(*cons.Data8(bits), 0x02);
    EXPECT_EQ(GetLe16(cons.Data16(pst)), 0x22);
    EXPECT_EQ(static_cast<i64>(GetLe64(cons.Data64(v))), -5);
    Run(prod.Db(), cons.Db(), 4000);
    EXPECT_EQ(GetLe16(cons.Data16(st)), 2);

    // Back again: connected within one reconnect period, values flow.
    ASSERT_EQ(Q4Evs_Open(server, &settings), 0);
    serverUp = true;
    ASSERT_EQ(Q4EA_Open(prod.Code(), prod.Db(), server), 0);
    PutLe32(prod.Data32(x), 300);
    Run(prod.Db(), cons.Db(), 4000);
    EXPECT_EQ(GetLe64(cons.Data64(v)), 300u);
    EXPECT_EQ(GetLe16(cons.Data16(st)), 0);
    EXPECT_EQ(GetLe16(cons.Data16(pst)), 0x00);
    Q4EAX_Close(cons.Db());
}

TEST_F(Consumer, ConnectionStuckConnectingReportsOneAndASilentProducerThree) {
    std::vector<int> fds;
    const int stuck = ListenLoopback(9001 + offset, true, &fds), silent = ListenLoopback(9002 + offset, false, &fds);
    ASSERT_GE(stuck, 0);
    ASSERT_GE(silent, 0);
    fds.push_back(stuck);
    fds.push_back(silent);

    IecImageBuilder b;
    const u16 s1 = b.Var(kQ4TypeSint, 99, "s1"), s2 = b.Var(kQ4TypeSint, 99, "s2");
    b.BindConnection("127.0.0.1", 9001, 0, {{kQ4TypeSint, kEaxCnxStatus, s1}, {kQ4TypeDint, kEaxValue, b.Var(kQ4TypeDint), 1}});
    b.BindConnection("127.0.0.1", 9002, 0, {{kQ4TypeSint, kEaxCnxStatus, s2}, {kQ4TypeDint, kEaxValue, b.Var(kQ4TypeDint), 1}});
    b.Program({234});  // END
    IecVmDb cons(b.Build());
    ASSERT_EQ(cons.Result(), 0);
    ASSERT_EQ(Q4EAX_Open(cons.Db()), 0);
    // Connected but silent: 4 until 3 s have passed without a frame, then 3
    // for one pass, then connected again.
    std::vector<int> seen;
    for (int k = 0; k < 320; ++k) {
        Q4EAX_Activate(cons.Db(), now += 10);
        EXPECT_EQ(*cons.Data8(s1), kEaxStConnecting);
        // (A connect still under way shows 1 for a pass.)
        const int s = *cons.Data8(s2);
        if (s != kEaxStConnecting && (seen.empty() || seen.back() != s)) seen.push_back(s);
    }
    EXPECT_EQ(seen, (std::vector<int>{kEaxStNoValues, kEaxStSilent, kEaxStNoValues}));

    // A frame longer than the consumer's buffer: the connection is dropped.
    int peer = -1;
    for (pollfd p{silent, POLLIN, 0}; poll(&p, 1, 0) == 1;) {
        if (peer >= 0) close(peer);
        peer = accept(silent, nullptr, nullptr);
    }
    ASSERT_GE(peer, 0);
    fds.push_back(peer);
    const u8 big[] = {'Q', '4', 0x04, 0x00};
    ASSERT_EQ(send(peer, big, sizeof big, 0), static_cast<ssize_t>(sizeof big));
    Q4EAX_Activate(cons.Db(), now += 10);
    EXPECT_EQ(*cons.Data8(s2), kEaxStDown);
    Q4EAX_Close(cons.Db());
    for (int fd : fds) close(fd);
}

TEST_F(Consumer, FramesThatDoNotHoldTogetherAreRefused) {
    IecImageBuilder b;
    const u16 v = b.Var(kQ4TypeDint, 5, "v");
    b.BindConnection("127.0.0.1", 1, 0, {{kQ4TypeDint, kEaxValue, v, 7}});
    b.Program({234});  // END
    IecVmDb cons(b.Build());
    ASSERT_EQ(cons.Result(), 0);
    auto frame = [](std::vector<u8> events, u8 count) {
        std::vector<u8> f{'Q', '4', 0, 0, 18, count};
        f.insert(f.end(), events.begin(), events.end());
        PutBe16(&f[2], static_cast<u16>(f.size() - 4));
        return f;
    };
    auto event = [](u8 type, std::vector<u8> value, u8 n = 0) {
        std::vector<u8> e{4, 255, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, type, 0, 1};
        e.insert(e.end(), value.begin(), value.end());
        e[2] = n ? n : static_cast<u8>(e.size() - 12);
        return e;
    };
    const struct {
        std::vector<u8> f;
        bool accepted;
        i32 value;
    } cases[] = {
        {frame(event(kQ4TypeDint, {0, 0, 0, 9}), 1), true, 9},
        {frame(event(kQ4TypeInt, {0xFF, 0xFE}), 1), true, -2},
        {frame(event(kQ4TypeDint, {0, 0, 0, 8}, 40), 1), false, -2},  // n past the frame
        {frame(event(kQ4TypeDint, {0, 0, 0, 8}), 2), false, -2},      // count past the frame
        {frame(event(kQ4TypeDint, {0, 0, 8}), 1), true, -2},           // value shorter than its type
        {frame(event(kQ4TypeString, {3, 'a', 'b', 'c'}), 1), true, -2},
        {frame(event(6, {0, 0, 0, 8}), 1), true, -2},
        {frame(event(0x80 | kQ4TypeDint, {0, 0, 0, 8}), 1), true, 8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Q4EAX_ProcessFrame(cons.Db(), 0, c.f.data(), static_cast<u32>(c.f.size())), c.accepted);
        EXPECT_EQ(static_cast<i32>(GetLe32(cons.Data32(v))), c.value);
    }
    std::vector<u8> f = frame(event(kQ4TypeDint, {0, 0, 0, 1}), 1);
    EXPECT_FALSE(Q4EAX_ProcessFrame(cons.Db(), 0, f.data(), static_cast<u32>(f.size() - 1)));
    EXPECT_FALSE(Q4EAX_ProcessFrame(cons.Db(), 1, f.data(), static_cast<u32>(f.size())));
}

TEST_F(Consumer, BindingTablesThatDoNotHoldTogetherFailTheBuild) {
    IecImageBuilder b;
    const u16 v = b.Var(kQ4TypeDint);
    // A pair of unequal runs.
    b.BindConnection("127.0.0.1", 1, 0x10, {{kQ4TypeDint, kEaxValue, v, 7}});
    b.BindConnection("127.0.0.1", 1, 0x20, {{kQ4TypeDint, kEaxValue, v, 7}, {kQ4TypeDint, kEaxValue, v, 8}});
    b.Program({234});  // END
    IecVmDb cons(b.Build());
    EXPECT_EQ(cons.Result(), kVmErrBinding);
}

}  // namespace
