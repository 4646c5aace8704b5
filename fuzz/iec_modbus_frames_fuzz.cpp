// Bytes from Modbus peers of the IEC runtime: requests to its server in both
// framings, answers to its client and to the master blocks, and the byte
// stream on the line of an RTU slave block. Nothing may be read or written
// outside the frame, the buffers, the variables or the instance.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4types.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/mbcfg_builder.h"

namespace {

// One database for every input: a local server with every kind of table, a
// client connection of each framing with every kind of request, and the
// variables the blocks use.
struct App {
    u16 ints, bools, bytes, b0, d0, t0, ip, conf, name;
    std::unique_ptr<IecVmDb> db;
    int pair[2] = {-1, -1};
    App() {
        IecImageBuilder b;
        ints = b.Array(kQ4TypeInt, 16);
        bools = b.Array(kQ4TypeBool, 16);
        bytes = b.Array(kQ4TypeUsint, 16);
        b0 = b.Var(kQ4TypeBool);
        for (int k = 1; k < 8; ++k) b.Var(kQ4TypeBool);
        d0 = b.Var(kQ4TypeDint);
        for (int k = 1; k < 8; ++k) b.Var(kQ4TypeDint);
        t0 = b.Var(kQ4TypeTime);
        ip = b.String(16, "127.0.0.1");
        conf = b.String(8, "");
        name = b.String(8, "");
        MbCfgBuilder c;
        c.Connection(1, "local", 1, kMbFlagServer)
            .Add({.id = 1, .conn = 1, .function = 1, .address = 0, .quantity = 100, .bufSize = 13})
            .Add({.id = 2, .conn = 1, .function = 2, .address = 10, .quantity = 20, .bufSize = 3})
            .Add({.id = 3, .conn = 1, .function = 3, .address = 0, .quantity = 60, .bufSize = 120})
            .Add({.id = 4, .conn = 1, .function = 4, .address = 65530, .quantity = 6, .bufSize = 12})
            .Connection(2, "127.0.0.1", 1)
            .Connection(3, "/dev/ttySP4", 0, kMbFlagSerial)
            .Connection(4, "ASCII:/dev/ttySP4", 0, kMbFlagSerial);
        u16 id = 10;
        for (u16 conn : {2, 3, 4})
            for (u16 f : {1, 2, 3, 4, 5, 6, 15, 16, 101})
                c.Add({.id = id++, .conn = conn, .function = f, .quantity = 8, .bufSize = static_cast<u16>(f == 101 ? 98 : 16)});
        b.ModbusConfig(c.Build());
        db = std::make_unique<IecVmDb>(b.Build());
        if (db->Result() != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0) std::abort();
    }
};

App& TheApp() {
    static App app;
    return app;
}

int Lent(int) { return TheApp().pair[0]; }
u32 Host() { return 0; }
void HandBack(int) {}

void Drain(int fd) {
    u8 b[512];
    while (read(fd, b, sizeof b) > 0) {}
}

// An answer to each client request of each connection.
void ClientAnswer(App& a, const u8* data, u32 n) {
    Q4MBView v;
    if (!Q4MB_View(a.db->Db(), &v)) std::abort();
    for (u32 k = 1; u8* con = Q4MB_Connection(v, k); ++k) {
        const u32 first = GetLe32(con + kMbConFirstReq);
        for (u32 r = 0; r < GetLe16(con + kMbConNReq); ++r) {
            u8* rq = Q4MB_Request(v, first + r);
            Q4MBFram_Build(v, con, rq);
            const u32 len = n < kQ4MBFrameBytes ? n : kQ4MBFrameBytes;
            std::copy(data, data + len, con + kMbConFrame);
            PutLe16(con + kMbConLen, static_cast<u16>(len));
            con[kMbConAsciiFrame] = data[0] & 1;
            PutLe16(con + kMbConStatus, 0);
            Q4MBFram_Extract(v, con, rq);
        }
    }
}

// The master blocks waiting for an answer on a socket pair: the bytes come
// as the answer.
void MasterAnswer(App& a, const u8* data, u32 n, bool tcp) {
    u8* db = a.db->Db();
    std::array<u8, kMbmBytes> inst{};
    Q4FbHandler h = tcp ? Q4MbFb_MasterTcp : Q4MbFb_MasterRtu;
    std::vector<u16> ops{static_cast<u16>(data[0] % 18), a.b0, static_cast<u16>(a.b0 + 1), a.d0,
                         static_cast<u16>(a.d0 + 1), static_cast<u16>(a.d0 + 2), static_cast<u16>(a.d0 + 3),
                         static_cast<u16>(a.d0 + 4), static_cast<u16>(a.d0 + 5),
                         data[1] & 1 ? a.ints : data[1] & 2 ? a.bools : a.bytes, 16, a.t0, a.ip};
    if (tcp) ops.push_back(static_cast<u16>(a.d0 + 6));
    ops.insert(ops.end(), {static_cast<u16>(a.b0 + 2), static_cast<u16>(a.b0 + 3), static_cast<u16>(a.d0 + 7)});
    std::vector<u16> call{static_cast<u16>(ops.size())};
    call.insert(call.end(), ops.begin(), ops.end());
    h(kFbInstanceInit, db, nullptr, inst.data(), nullptr);
    Q4Fb_PutBool(db, a.b0, true, true);
    Q4Fb_PutDint(db, static_cast<u16>(a.d0 + 3), data[2] % 130, true);  // read quantity
    Q4Fb_PutTime(db, a.t0, 1000, true);
    inst[kMbmState] = kMbmAwaiting;
    inst[kMbmPrevEnable] = 1;
    PutLe16(inst.data() + kMbmReadQuantity, data[2] % 130);
    PutLe16(inst.data() + kMbmTransaction, GetBe16(data + 3));
    PutLe32(inst.data() + kMbmHandle, static_cast<u32>(a.pair[0]));
    Drain(a.pair[0]);
    if (write(a.pair[1], data + 3, n - 3) < 0) return;
    for (int k = 0; k < 3; ++k) h(kFbExecute, db, nullptr, inst.data(), call.data() + 1);
    PutLe32(inst.data() + kMbmHandle, static_cast<u32>(-1));  // the pair is not the block's to close
    Drain(a.pair[0]);
}

// An RTU slave reading the bytes from its line, in three pieces.
void SlaveStream(App& a, const u8* data, u32 n) {
    u8* db = a.db->Db();
    std::array<u8, kMbsBytes> inst{};
    std::vector<u16> call{11, a.b0, a.conf, a.d0, a.name, static_cast<u16>(a.b0 + 1), static_cast<u16>(a.d0 + 1),
                          static_cast<u16>(a.d0 + 2), static_cast<u16>(a.d0 + 3), static_cast<u16>(a.d0 + 4),
                          static_cast<u16>(a.d0 + 5), static_cast<u16>(a.d0 + 6)};
    Q4MbFb_SlaveRtuExD(kFbInstanceInit, db, nullptr, inst.data(), nullptr);
    Q4Fb_PutBool(db, a.b0, true, true);
    Q4Fb_PutDint(db, a.d0, data[0] % 3, true);
    Q4MbFb_SlaveRtuExD(kFbExecute, db, nullptr, inst.data(), call.data() + 1);
    Drain(a.pair[1]);
    const u32 cut[] = {0, n / 3, 2 * n / 3, n};
    for (int k = 0; k < 3; ++k) {
        if (write(a.pair[1], data + cut[k], cut[k + 1] - cut[k]) < 0) break;
        for (int r = 0; r < 3; ++r) Q4MbFb_SlaveRtuExD(kFbExecute, db, nullptr, inst.data(), call.data() + 1);
        Drain(a.pair[1]);
    }
    Q4MbFb_SlaveRtuExD(kFbInstanceEnd, db, nullptr, inst.data(), nullptr);
    Drain(a.pair[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_iec_modbus_frames_fuzz_");
    App& a = TheApp();
    q4LinkPeers.descriptor = Lent;
    q4LinkPeers.hostCode = Host;
    q4LinkPeers.handBack = HandBack;
    // The master's answer takes its transaction number from body bytes 3-4.
    if (size < 6) return 0;
    const u8 mode = data[0] % 5;
    const u8* body = data + 1;
    const u32 n = static_cast<u32>(size - 1 > 600 ? 600 : size - 1);
    u8 answer[kQ4MBMbapBytes + kQ4MBMaxPduAnswer];
    switch (mode) {
        case 0:
            Q4MB_ServeExID(a.db->Db(), body, n, answer, body[0] & 1, body[1] & 3, nullptr);
            Q4MB_ServeExID(a.db->Db(), body, n, answer, 1, 0, "local");
            break;
        case 1: ClientAnswer(a, body, n); break;
        case 2: MasterAnswer(a, body, n, true); break;
        case 3: MasterAnswer(a, body, n, false); break;
        default: SlaveStream(a, body, n); break;
    }
    return 0;
}
