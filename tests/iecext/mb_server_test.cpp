// The runtime Modbus server on the application's tables, and the variable
// mapping between tables, request buffers and IEC variables.
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/ext/q4mbmap.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/ext/q4cs.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"
#include "iec/kernel/q4tools.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/mbcfg_builder.h"

namespace {

using Req = MbCfgBuilder::Request;
using Map = MbCfgBuilder::Map;
using Bytes = std::vector<u8>;

// An application with a local server (unit 1) holding coils 0-15, discrete
// inputs 0-7, holding registers 100-109 and input registers 0-3, and a
// second server "other" (unit 7) with holding registers 0-1.
struct App {
    IecImageBuilder b;
    u16 hr0, bit8, dword, lowFirst, nibble, text, scaled, locked, neg, nan;
    std::unique_ptr<IecVmDb> db;
    App() {
        hr0 = b.Var(kQ4TypeInt);
        bit8 = b.Var(kQ4TypeBool);
        dword = b.Var(kQ4TypeDint);
        lowFirst = b.Var(kQ4TypeDint);
        nibble = b.Var(kQ4TypeInt);
        text = b.String(10, "ABC");
        scaled = b.Real(0);
        locked = b.Var(kQ4TypeInt);
        neg = b.Real(-5);
        nan = b.Real(std::nanf(""));
        MbCfgBuilder c;
        c.Connection(1, "local", 1, kMbFlagServer)
            .Add({.id = 1, .conn = 1, .function = 1, .address = 0, .quantity = 16, .bufSize = 2})
            .Add({.id = 2, .conn = 1, .function = 2, .address = 0, .quantity = 8, .bufSize = 1})
            .Add({.id = 3, .conn = 1, .function = 3, .address = 100, .quantity = 10, .bufSize = 20})
            .Add({.id = 4, .conn = 1, .function = 4, .address = 0, .quantity = 4, .bufSize = 8})
            .Connection(2, "other", 7, kMbFlagServer)
            .Add({.id = 5, .conn = 2, .function = 3, .address = 0, .quantity = 2, .bufSize = 4})
            .Mapping({.request = 3, .offset = 0, .varType = kQ4TypeInt, .varIndex = hr0, .kind = 0})
            .Mapping({.request = 1, .offset = 8, .varType = kQ4TypeBool, .varIndex = bit8, .kind = 1})
            .Mapping({.request = 3, .offset = 2, .format = 2, .varType = kQ4TypeDint, .varIndex = dword, .kind = 1})
            .Mapping({.request = 3, .offset = 4, .format = 0x8002, .varType = kQ4TypeDint, .varIndex = lowFirst, .kind = 1})
            .Mapping({.request = 3, .offset = 6, .mask = 0x00F0, .varType = kQ4TypeInt, .varIndex = nibble, .kind = 1})
            .Mapping({.request = 4, .offset = 0, .format = 2, .varType = kQ4TypeString, .varIndex = text, .kind = 20})
            .Mapping({.type = 5, .request = 3, .offset = 7, .varType = kQ4TypeReal, .varIndex = scaled, .kind = 0,
                      .gain = 10})
            .Mapping({.request = 3, .offset = 8, .varType = kQ4TypeInt, .varIndex = locked, .kind = 0})
            .Mapping({.request = 4, .offset = 2, .varType = kQ4TypeReal, .varIndex = neg, .kind = 1})
            .Mapping({.request = 4, .offset = 3, .varType = kQ4TypeReal, .varIndex = nan, .kind = 1})
            // Offsets outside the buffers: never bound.
            .Mapping({.request = 3, .offset = 10, .varType = kQ4TypeInt, .varIndex = hr0, .kind = 1})
            .Mapping({.request = 3, .offset = 9, .format = 2, .varType = kQ4TypeDint, .varIndex = dword, .kind = 1})
            .Mapping({.request = 4, .offset = 0, .format = 5, .varType = kQ4TypeString, .varIndex = text, .kind = 20})
            .Mapping({.request = 1, .offset = 16, .varType = kQ4TypeBool, .varIndex = bit8, .kind = 1});
        b.ModbusConfig(c.Build());
        db = std::make_unique<IecVmDb>(b.Build());
        EXPECT_EQ(db->Result(), 0);
        Q4MBSrv_ResetDevIdent();
    }
    // A Modbus/TCP request (transaction 0x0102) for unit u; answers the PDU
    // of the answer (unit id onward), or an empty vector for no answer.
    Bytes Tcp(Bytes pdu, u8 u = 1, const char* server = nullptr, int lengthDelta = 0) {
        Bytes f{1, 2, 0, 0, 0, 0, u};
        f.insert(f.end(), pdu.begin(), pdu.end());
        PutBe16(f.data() + 4, static_cast<u16>(pdu.size() + 1 + lengthDelta));
        u8 a[300];
        u32 n = Q4MB_ServeExID(db->Db(), f.data(), static_cast<u32>(f.size()), a, 1, 0, server);
        if (n == 0) return {};
        EXPECT_EQ(GetBe16(a), 0x0102);
        EXPECT_EQ(GetBe16(a + 4), n - 6);
        return Bytes(a + 6, a + n);
    }
    Bytes Rtu(Bytes frame) {
        u8 a[300];
        u32 n = Q4MB_Serve(db->Db(), frame.data(), static_cast<u32>(frame.size()), a, 0);
        return Bytes(a, a + n);
    }
    void Exchange() { Q4MB_Exchange(db->Db()); }
    i16 Int(u16 k) { return static_cast<i16>(GetLe16(db->Data16(k))); }
    void SetInt(u16 k, u16 v) { PutLe16(db->Data16(k), v); }
    void SetDint(u16 k, u32 v) { PutLe32(db->Data32(k), v); }
};

Bytes Read(u8 f, u16 address, u16 n) { return {f, static_cast<u8>(address >> 8), static_cast<u8>(address), static_cast<u8>(n >> 8), static_cast<u8>(n)}; }

TEST(MbServer, TablesAnswerAndReportErrors) {
    App app;
    app.SetInt(app.hr0, 0x1234);
    app.Exchange();  // no client wrote: the variable goes into the table
    Bytes a = app.Tcp(Read(3, 100, 10));
    ASSERT_EQ(a.size(), 23u);
    EXPECT_EQ(a[2], 20);
    EXPECT_EQ(GetBe16(&a[3]), 0x1234);
    struct Case {
        const char* name;
        Bytes pdu;
        Bytes answer;  // after the unit id
    } cases[] = {
        {"range beyond the table", Read(3, 105, 10), {0x83, 2}},
        {"before the table", Read(3, 99, 1), {0x83, 2}},
        {"coils 2001", Read(1, 0, 2001), {0x81, 2}},
        {"registers 126", Read(3, 100, 126), {0x83, 2}},
        {"wrapping range", Read(3, 0xFFFF, 2), {0x83, 2}},
        {"quantity 0", Read(4, 0, 0), {0x04, 0}},
        {"discrete inputs", Read(2, 0, 8), {0x02, 1, 0}},
        {"diagnostics echo", {8, 0, 0, 0x12, 0x34}, {8, 0, 0, 0x12, 0x34}},
        {"diagnostics other", {8, 0, 1, 0, 0}, {0x88, 1}},
        {"report server id", {17}, {0x11, 1, 0xFF}},
        {"unknown function", {0x41, 0, 0}, {0xC1, 1}},
        {"identification, object 3", {43, 14, 1, 3}, {0xAB, 14, 1}},
        {"identification, MEI 13", {43, 13, 1, 0}, {0xAB, 13, 1}},
        {"truncated read", {3, 0, 100}, {0x83, 3}},
        {"fc16 byte count lies", {16, 0, 100, 0, 3, 4, 0, 1, 0, 2}, {0x90, 3}},
        {"fc16 data cut short", {16, 0, 100, 0, 2, 4, 0, 1}, {0x90, 3}},
        {"fc16 quantity 0", {16, 0, 100, 0, 0, 0}, {0x90, 3}},
        {"fc15 byte count lies", {15, 0, 0, 0, 9, 1, 0xFF}, {0x8F, 3}},
        {"fc15 outside", {15, 0, 10, 0, 9, 2, 0xFF, 1}, {0x8F, 2}},
        {"fc5 outside", {5, 0, 16, 0xFF, 0}, {0x85, 2}},
    };
    for (const Case& c : cases) {
        Bytes want{1};
        want.insert(want.end(), c.answer.begin(), c.answer.end());
        EXPECT_EQ(app.Tcp(c.pdu), want) << c.name;
    }
    // Another unit: no answer; unit 0 over TCP: answered; the MBAP length
    // bounds the PDU.
    EXPECT_TRUE(app.Tcp(Read(3, 100, 1), 2).empty());
    EXPECT_EQ(app.Tcp(Read(3, 100, 1), 0).size(), 5u);
    EXPECT_EQ(app.Tcp({16, 0, 100, 0, 1, 2, 0, 7}, 1, nullptr, -2), (Bytes{1, 0x90, 3}));
    // The named server answers its own unit.
    EXPECT_EQ(app.Tcp(Read(3, 0, 2), 7, "other").size(), 7u);
    EXPECT_TRUE(app.Tcp(Read(3, 0, 2), 7, "none").empty());
    // Serial framing: a broadcast is carried out and not answered.
    EXPECT_TRUE(app.Rtu({0, 6, 0, 101, 0, 9}).empty());
    EXPECT_EQ(app.Rtu(Read(3, 101, 1)).size(), 0u);  // the read has no unit id: unit 3
    Bytes r{1};
    Bytes rd = Read(3, 101, 1);
    r.insert(r.end(), rd.begin(), rd.end());
    EXPECT_EQ(app.Rtu(r), (Bytes{1, 3, 2, 0, 9}));
}

TEST(MbServer, DeviceIdentification) {
    App app;
    Bytes a = app.Tcp({43, 14, 1, 0});
    std::string want = std::string("\x01\x2B\x0E\x01\x01\x00\x00\x03", 8) + std::string("\x00\x10", 2) +
                       "Q4 Kernel Vendor" + std::string("\x01\x02", 2) + "Q4" + std::string("\x02\x0A", 2) +
                       "9.1.161102";
    EXPECT_EQ(std::string(a.begin(), a.end()), want);
    const u8 words[] = {0x34, 0x12, 0x78, 0x56};
    Q4MBSrv_SetDevIdent(std::string(60, 'v').c_str(), "P", "R", words, 2);
    a = app.Tcp({43, 14, 1, 2});
    EXPECT_EQ(a.size(), 8u + 3u);
    a = app.Tcp({43, 14, 1, 0});
    EXPECT_EQ(a[9], 51);  // the vendor name is cut to 51 characters
    EXPECT_EQ(app.Tcp({43, 14, 4, 0x81}), (Bytes{1, 43, 14, 4, 0x83, 0, 0, 1, 0x81, 2, 0x56, 0x78}));
    EXPECT_EQ(app.Tcp({43, 14, 4, 0x88}), (Bytes{1, 0xAB, 14, 1}));
    EXPECT_EQ(app.Tcp({43, 14, 4, 0x87}).back(), 0);
}

TEST(MbMapping, WritesMarkersFormatsAndStrings) {
    App app;
    *app.db->Data8(app.bit8) = 1;
    app.SetDint(app.dword, 0x11223344);
    app.SetDint(app.lowFirst, 0x55667788);
    app.SetInt(app.nibble, 0xABCD);
    app.SetInt(app.hr0, 5);
    *app.db->Lock(app.locked) |= 0x02;
    app.SetInt(app.locked, 77);
    app.Exchange();
    // Outputs and two-way inputs nobody wrote are in the tables (a locked
    // variable is left out both ways).
    EXPECT_EQ(app.Tcp(Read(3, 100, 9)),
              (Bytes{1, 3, 18, 0, 5, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x77, 0x88, 0x55, 0x66, 0x00, 0xC0, 0, 0, 0, 0}));
    EXPECT_EQ(app.Tcp(Read(1, 8, 1)), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(app.Tcp(Read(4, 0, 4)), (Bytes{1, 4, 8, 0x41, 0x42, 0x43, 0x00, 0, 0, 0, 0}));
    // A BOOL with its mask: set, then cleared.
    *app.db->Data8(app.bit8) = 0;
    app.Exchange();
    EXPECT_EQ(app.Tcp(Read(1, 8, 1)), (Bytes{1, 1, 1, 0}));
    // A client writes: the two-way variables take the values at the next
    // pass; a locked variable keeps its own; unwritten ones stay.
    EXPECT_EQ(app.Tcp({16, 0, 100, 0, 1, 2, 0x01, 0x2C}).size(), 6u);
    EXPECT_EQ(app.Tcp({6, 0, 107, 0x00, 250}).size(), 6u);
    EXPECT_EQ(app.Tcp({6, 0, 108, 0x00, 9}).size(), 6u);
    app.Exchange();
    EXPECT_EQ(app.Int(app.hr0), 300);
    EXPECT_FLOAT_EQ(std::bit_cast<float>(GetLe32(app.db->Data32(app.scaled))), 25.0f);
    EXPECT_EQ(app.Int(app.locked), 77);
    // Markers were cleared: the variable's next value goes out again.
    app.SetInt(app.hr0, 6);
    app.Exchange();
    EXPECT_EQ(app.Tcp(Read(3, 100, 1)), (Bytes{1, 3, 2, 0, 6}));
}

// Members of structures and arrays: by their offset in the CT segment
// (record types 4 and 6), or published through the external-variable
// pointer table (type code | 0x80). A slot that the code image declares
// with another type, or that does not exist, stays unbound.
TEST(MbMapping, StructureMembersAndExternalVariables) {
    IecImageBuilder b;
    b.CtSegment(64, 64).CtInit(4, {0x34, 0x12}).CtInit(8, {0, 0, 0x20, 0x40});  // INT 0x1234, REAL 2.5
    const u16 i = b.Var(kQ4TypeInt), d = b.Var(kQ4TypeDint);
    const u16 xi = b.External(kQ4TypeInt, i), xd = b.External(kQ4TypeDint, d);
    constexpr u16 kExtInt = kQ4TypeInt | kQ4TypeExternal, kExtDint = kQ4TypeDint | kQ4TypeExternal;
    MbCfgBuilder c;
    c.Connection(1, "local", 1, kMbFlagServer)
        .Add({.id = 1, .conn = 1, .function = 3, .address = 0, .quantity = 8, .bufSize = 16})
        .Mapping({.type = 4, .request = 1, .offset = 0, .varType = kQ4TypeInt, .kind = 1, .ctOffset = 4})
        .Mapping({.type = 4, .request = 1, .offset = 1, .varType = kQ4TypeInt, .kind = 0, .ctOffset = 6})
        .Mapping({.type = 6, .request = 1, .offset = 2, .varType = kQ4TypeReal, .kind = 1, .ctOffset = 8, .gain = 10})
        .Mapping({.request = 1, .offset = 3, .varType = kExtInt, .varIndex = xi, .kind = 0})
        .Mapping({.request = 1, .offset = 4, .format = 2, .varType = kExtDint, .varIndex = xd, .kind = 1})
        .Mapping({.request = 1, .offset = 6, .varType = kExtDint, .varIndex = xi, .kind = 1})
        .Mapping({.request = 1, .offset = 7, .varType = kExtInt, .varIndex = 9, .kind = 1})
        .Mapping({.type = 4, .request = 1, .offset = 7, .varType = kQ4TypeInt, .kind = 1, .ctOffset = 63});
    b.ModbusConfig(c.Build());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u32 ctBytes = 0;
    u8* ct = Q4VM_AreaPtr(db.Db(), kDbCtSegment, &ctBytes);
    ASSERT_EQ(ctBytes, 64u);
    PutLe16(ct + 6, 0x0BAD);
    PutLe16(db.Data16(i), 0x0777);
    PutLe32(db.Data32(d), 0x00010002);
    auto serve = [&](Bytes pdu) {
        Bytes f{0, 1, 0, 0, 0, static_cast<u8>(pdu.size() + 1), 1};
        f.insert(f.end(), pdu.begin(), pdu.end());
        u8 a[300];
        const u32 n = Q4MB_Serve(db.Db(), f.data(), static_cast<u32>(f.size()), a, 1);
        return n > 6 ? Bytes(a + 7, a + n) : Bytes{};
    };
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(serve(Read(3, 0, 8)),
              (Bytes{3, 16, 0x12, 0x34, 0x0B, 0xAD, 0, 25, 0x07, 0x77, 0, 1, 0, 2, 0, 0, 0, 0}));
    // A client writes the members; a locked external variable keeps its value.
    EXPECT_EQ(serve({16, 0, 1, 0, 3, 6, 0x00, 0x11, 0x00, 0x50, 0x00, 0x22}).size(), 5u);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(GetLe16(ct + 6), 0x11);
    EXPECT_EQ(GetLe16(db.Data16(i)), 0x22);
    *db.Lock(xi) |= kQ4LockExternal;
    EXPECT_EQ(serve({6, 0, 3, 0x00, 0x33}).size(), 5u);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(GetLe16(db.Data16(i)), 0x22);
}

// A client request's buffer and its mappings, served as the client pass
// leaves them.
TEST(MbMapping, ClientRequestKinds) {
    IecImageBuilder b;
    u16 in = b.Var(kQ4TypeInt), out = b.Var(kQ4TypeInt), trig = b.Var(kQ4TypeBool), err = b.Var(kQ4TypeInt),
        hs = b.Var(kQ4TypeBool), ok = b.Var(kQ4TypeDint), low = b.Real(0), big = b.Var(kQ4TypeDint);
    MbCfgBuilder c;
    c.Connection(1, "127.0.0.1", 1)
        .Add({.id = 1, .conn = 1, .mode = 0, .function = 3, .quantity = 4, .bufSize = 8})
        .Add({.id = 2, .conn = 1, .mode = 3, .function = 16, .quantity = 1, .bufSize = 2})
        .Add({.id = 3, .conn = 1, .mode = 0, .function = 101, .bufSize = 98})
        .Mapping({.request = 1, .offset = 0, .varType = kQ4TypeInt, .varIndex = in, .kind = 0})
        .Mapping({.request = 2, .offset = 0, .varType = kQ4TypeInt, .varIndex = out, .kind = 1})
        .Mapping({.request = 1, .varType = kQ4TypeBool, .varIndex = trig, .kind = 3})
        .Mapping({.request = 1, .varType = kQ4TypeInt, .varIndex = err, .kind = 2})
        .Mapping({.request = 1, .varType = kQ4TypeBool, .varIndex = hs, .kind = 5})
        .Mapping({.request = 1, .varType = kQ4TypeDint, .varIndex = ok, .kind = 6})
        .Mapping({.type = 5, .request = 1, .offset = 1, .varType = kQ4TypeReal, .varIndex = low, .kind = 0, .gain = 2,
                  .offsetValue = 1})
        .Mapping({.request = 3, .offset = 16, .varType = kQ4TypeDint, .varIndex = big, .kind = 0})
        .Mapping({.request = 3, .offset = 17, .varType = kQ4TypeDint, .varIndex = ok, .kind = 0});  // beyond 16
    b.ModbusConfig(c.Build());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    Q4MBView v;
    ASSERT_TRUE(Q4MB_View(db.Db(), &v));
    u8* rq = Q4MB_Request(v, 0);
    u8* wr = Q4MB_Request(v, 1);
    u8* id = Q4MB_Request(v, 2);
    PutLe16(Q4MB_Data(v, rq), 42);
    PutLe16(Q4MB_Data(v, rq) + 2, 51);
    // Before the first exchange nothing comes in.
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(GetLe16(db.Data16(in)), 0);
    rq[kMbRqNoData] = 0;
    PutLe16(rq + kMbRqSuccess, 3);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(GetLe16(db.Data16(in)), 42);
    EXPECT_EQ(GetLe32(db.Data32(ok)), 3u);
    EXPECT_FLOAT_EQ(std::bit_cast<float>(GetLe32(db.Data32(low))), 25.0f);
    // An on-change write is triggered once per change.
    wr[kMbRqTrigger] = 0;
    PutLe16(db.Data16(out), 9);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(wr[kMbRqTrigger], 1);
    wr[kMbRqTrigger] = 0;
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(wr[kMbRqTrigger], 0);
    // Trigger, handshake and error code.
    rq[kMbRqTrigger] = 0;
    *db.Data8(trig) = 1;
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(rq[kMbRqTrigger], 1);
    *db.Data8(trig) = 0;
    rq[kMbRqTrigger] = 0;
    *db.Data8(hs) = 1;
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(rq[kMbRqHandshake], 1);
    EXPECT_EQ(rq[kMbRqTrigger], 1);
    rq[kMbRqHandshake] = 255;  // the exchange ended
    PutLe16(rq + kMbRqError, 2);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(*db.Data8(hs), 0);
    EXPECT_EQ(rq[kMbRqHandshake], 0);
    EXPECT_EQ(GetLe16(db.Data16(err)), 2);
    // Function 101: six bytes of group 16 as a number.
    id[kMbRqNoData] = 0;
    for (u32 k = 0; k < 6; ++k) Q4MB_Data(v, id)[92 + k] = static_cast<u8>(k + 1);
    Q4MB_Exchange(db.Db());
    EXPECT_EQ(GetLe32(db.Data32(big)), 0x04030201u);
}

// The workbench link's entry: a stopped application answers nothing (no
// answer buffer goes out unfilled); an RTU frame's CRC is not served.
TEST(MbServer, WorkbenchLinkEntry) {
    App app;
    const u8 tcp[] = {0, 7, 0, 0, 0, 6, 1, 3, 0, 100, 0, 1};
    const u8 rtu[] = {1, 3, 0, 100, 0, 1, 0xAA, 0xBB};
    u8 a[300];
    EXPECT_EQ(Q4VM_ServeModbus(app.db->Db(), kQ4CSRqModbusTcp, tcp, sizeof tcp, a), 11u);
    EXPECT_EQ(Q4VM_ServeModbus(app.db->Db(), kQ4CSRqModbusRtu, rtu, sizeof rtu, a), 5u);
    u8* st = Q4VM_Status(app.db->Db());
    PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) | kVmFlagStopped));
    EXPECT_EQ(Q4VM_ServeModbus(app.db->Db(), kQ4CSRqModbusTcp, tcp, sizeof tcp, a), 0u);
    EXPECT_EQ(Q4VM_ServeModbus(app.db->Db(), kQ4CSRqModbusRtu, rtu, sizeof rtu, a), 0u);
}

}  // namespace
