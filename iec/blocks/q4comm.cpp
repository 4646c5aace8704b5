#include "iec/blocks/q4comm.h"

#include <algorithm>
#include <cstring>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

Q4CommPeers q4CommPeers;
u8 talk_open[2][kTalkOpenBytes] = {};
u8 talk_close[2][2] = {};

void Q4CommPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, q4CommPeers, talkOpen);
    NEIGHBOUR_REQUIRE(check, q4CommPeers, talkClose);
    NEIGHBOUR_REQUIRE(check, q4CommPeers, talkSend);
    NEIGHBOUR_REQUIRE(check, q4CommPeers, talkReceive);
    NEIGHBOUR_REQUIRE(check, q4CommPeers, talkModem);
}

namespace {

// Record of one modem block: u16 port, u16 function, u16 status, then the
// parameters (the longest: u16 option, u16 length, 29 characters; or u16
// length and 49 characters).
constexpr u32 kModemRecordBytes = 6 + 2 + 50;
u8 g_modem[5][kModemRecordBytes];
enum ModemBlock { kSendInit, kAutoDial, kGprsS, kGprs, kAutoAnswer };

// Baud-rate codes in code order; a rate not in the table passes as a code.
constexpr i32 kBauds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 14400, 28800, 10400};

u8 BaudCode(i32 rate) {
    for (u32 k = 0; k < std::size(kBauds); ++k)
        if (kBauds[k] == rate) return static_cast<u8>(k);
    return static_cast<u8>(rate);
}

// The status rule of the open and close blocks: with enable set a non-zero
// answer is shown, with enable clear a zero answer.
void Status(u8* db, u16 out, bool enable, int r) {
    if (enable && r != 0) Q4Fb_PutBool(db, out, true);
    if (!enable && r == 0) Q4Fb_PutBool(db, out, false);
}

// Port operand: its low word, when it names port 0 or 1.
int PortOf(i32 v) {
    const u16 port = static_cast<u16>(v);
    return port <= 1 ? port : -1;
}

int Open(int port, bool enable, u8 baud, u8 parity, u8 data, u8 stop, u8 line, u8 protocol, u8 options) {
    u8* r = talk_open[port];
    PutLe16(r, static_cast<u16>(port));
    r[2] = baud, r[3] = parity, r[4] = data, r[5] = stop, r[6] = line;
    r[7] = static_cast<u8>((protocol & 15) | (options << 4));
    return q4CommPeers.talkOpen ? q4CommPeers.talkOpen(r, enable) : 0;
}

}  // namespace

void Q4Comm_Reset() {
    std::memset(talk_open, 0, sizeof talk_open);
    std::memset(talk_close, 0, sizeof talk_close);
    std::memset(g_modem, 0, sizeof g_modem);
    q4protocol = 0;
}

// enable, port, baud, parity, data bits, stop bits, line mode, protocol,
// port options (DINT); out status (BOOL).
int Q4Ctl_OpenComm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 10, [&] {
        const bool enable = Q4Fb_Bool(db, ops[0]);
        const int port = PortOf(Q4Fb_Dint(db, ops[1]));
        int r = 0;
        if (port >= 0) {
            const i32 data = Q4Fb_Dint(db, ops[4]), stop = Q4Fb_Dint(db, ops[5]);
            const u8 protocol = static_cast<u8>(Q4Fb_Dint(db, ops[7]) & 15);
            q4protocol = protocol;
            r = Open(port, enable, BaudCode(Q4Fb_Dint(db, ops[2])), static_cast<u8>(Q4Fb_Dint(db, ops[3])),
                     static_cast<u8>(data == 7 ? 2 : data == 8 ? 3 : data), static_cast<u8>(stop == 1 ? 0 : stop == 2 ? 1 : stop),
                     static_cast<u8>(Q4Fb_Dint(db, ops[6])), protocol, static_cast<u8>(Q4Fb_Dint(db, ops[8])));
        }
        Status(db, ops[9], enable, r);
    });
}

// enable, settings (INT array, at least 8)+n; out status (BOOL). Codes out
// of range give status 0 and leave the port alone.
int Q4Ctl_OpenCommReg(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        Q4CtlArray s = Q4Ctl_Array(db, kQ4TypeInt, ops, 1);
        if (s.Count() < 8) return;
        const bool enable = Q4Fb_Bool(db, ops[0]);
        const i16 baud = s.Int(1), data = s.Int(3), stop = s.Int(4);
        if (baud < 0 || baud > 12 || (data != 2 && data != 3) || (stop != 0 && stop != 1)) {
            Q4Fb_PutBool(db, ops[3], false);
            return;
        }
        const int port = PortOf(s.Int(0));
        const int r = port < 0 ? 0
                               : Open(port, enable, static_cast<u8>(baud), static_cast<u8>(s.Int(2)), static_cast<u8>(data),
                                      static_cast<u8>(stop), static_cast<u8>(s.Int(5)), static_cast<u8>(s.Int(6) & 15),
                                      static_cast<u8>(s.Int(7) & 15));
        Status(db, ops[3], enable, r);
    });
}

// enable, port (DINT); out status (BOOL).
int Q4Ctl_CloseComm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const bool enable = Q4Fb_Bool(db, ops[0]);
        const int port = PortOf(Q4Fb_Dint(db, ops[1]));
        int r = 0;
        if (port >= 0 && q4CommPeers.talkClose) {
            PutLe16(talk_close[port], static_cast<u16>(port));
            r = q4CommPeers.talkClose(talk_close[port], enable);
        }
        Status(db, ops[2], enable, r);
    });
}

namespace {

// References of the running application's variables, as the TALK functions
// resolve them: a byte array (in its table, or by offset in the CT
// segment) and an INT.
constexpr u32 kReference = 0xC0000000u, kCtReference = 0x20000000u, kClass16 = 1u << 26;
constexpr u32 kIndexBits = 0xFFFFFu;

bool ByteArrayReference(u8* db, u16 index, u16 count, u32* ref) {
    u8* p = count ? Q4Fb_Array(db, kQ4TypeUsint, index, count) : nullptr;
    if (!p) return false;
    if (!Q4Tools_HasCtSegment(db)) {
        *ref = kReference | index;
        return true;
    }
    u32 bytes = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    const u64 at = static_cast<u64>(p - ct);
    if (at > kIndexBits) return false;
    *ref = kReference | kCtReference | static_cast<u32>(at);
    return true;
}

// enable, port, count (INT), data (byte array)+n, progress (INT). The TALK
// function moves the bytes and writes the progress.
void Transfer(u8* db, const u16* ops, bool send) {
    const bool enable = Q4Fb_Bool(db, ops[0]);
    const i32 count = Q4Ctl_Int(db, ops[2]);
    u32 buffer = 0;
    // The bytes travel through the running application's tables.
    if (db != pDB || !ByteArrayReference(db, ops[3], ops[4], &buffer) || !Q4Tools_Element(db, kDbData16, ops[5])) return;
    if (enable && (count < 0 || count > ops[4])) return;
    const u32 progress = kReference | kClass16 | ops[5];
    u8 r[12];
    PutLe16(r, static_cast<u16>(Q4Fb_Dint(db, ops[1])));
    PutLe16(r + 2, static_cast<u16>(std::max<i32>(count, 0)));
    PutLe16(r + 4, static_cast<u16>(buffer >> 16));
    PutLe16(r + 6, static_cast<u16>(buffer));
    PutLe16(r + 8, static_cast<u16>(progress >> 16));
    PutLe16(r + 10, static_cast<u16>(progress));
    int (*f)(const u8*, int) = send ? q4CommPeers.talkSend : q4CommPeers.talkReceive;
    if (f) f(r, enable);
}

}  // namespace

int Q4Ctl_SendComm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] { Transfer(db, ops, true); });
}
int Q4Ctl_RcvComm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] { Transfer(db, ops, false); });
}

namespace {

// Fills the block's record and calls the modem: status in, status out.
// text (len bytes) is the initialisation string or the number; a text longer
// than max is refused while enabled.
void Modem(u8* db, ModemBlock which, u16 function, const u16* ops, u16 statusOp, i32 option, const u8* text, u32 len,
           u32 max) {
    const bool enable = Q4Fb_Bool(db, ops[0]);
    if (enable && len > max) return;
    len = std::min(len, max);
    u8* r = g_modem[which];
    std::memset(r, 0, kModemRecordBytes);
    PutLe16(r, static_cast<u16>(Q4Fb_Dint(db, ops[1])));
    PutLe16(r + 2, function);
    PutLe16(r + 4, static_cast<u16>(Q4Ctl_Int(db, ops[statusOp])));
    u8* p = r + 6;
    if (function == 1) {
        PutLe16(p, static_cast<u16>(option));
        p += 2;
    }
    if (function == 2) {
        PutLe16(p, static_cast<u16>(option));
    } else {
        PutLe16(p, static_cast<u16>(len));
        if (len) std::memcpy(p + 2, text, len);
    }
    if (!q4CommPeers.talkModem) return;
    q4CommPeers.talkModem(r, kModemRecordBytes, enable);
    Q4Ctl_PutInt(db, ops[statusOp], static_cast<i16>(GetLe16(r + 4)));
}

// A STRING operand's characters.
const u8* Text(u8* db, u16 index, u32* len) {
    const u8* s = Q4Tools_String(db, index);
    *len = s ? Q4Str_GetLength(s) : 0;
    return s ? s + 2 : nullptr;
}

}  // namespace

// enable, port, initialisation string, status (INT, in and out).
int Q4Ctl_ModemSendInit(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        u32 len = 0;
        const u8* t = Text(db, ops[2], &len);
        Modem(db, kSendInit, 0, ops, 3, 0, t, len, kModemInitMax);
    });
}

// enable, port, dial option (INT), number (STRING), status.
int Q4Ctl_ModemAutoDial(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        u32 len = 0;
        const u8* t = Text(db, ops[3], &len);
        Modem(db, kAutoDial, 1, ops, 4, Q4Ctl_Int(db, ops[2]), t, len, kModemNumberMax);
    });
}

int Q4Ctl_GprsConnectS(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        u32 len = 0;
        const u8* t = Text(db, ops[3], &len);
        Modem(db, kGprsS, 1, ops, 4, Q4Ctl_Int(db, ops[2]), t, len, kModemNumberMax);
    });
}

// enable, port, dial option, number (array of 32-bit elements)+n, status:
// ten characters from the array's bytes, fewer when the array is smaller.
int Q4Ctl_GprsConnect(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const u16 count = ops[4];
        const u8* a = count ? Q4Fb_Array(db, kQ4TypeDint, ops[3], count) : nullptr;
        const u32 len = a ? std::min<u32>(10, 4u * count) : 0;
        Modem(db, kGprs, 1, ops, 5, Q4Ctl_Int(db, ops[2]), a, len, kModemNumberMax);
    });
}

// enable, port, rings (DINT, at most 22), status.
int Q4Ctl_ModemAutoAnswer(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const i32 rings = std::clamp<i32>(Q4Fb_Dint(db, ops[2]), 0, kModemRingsMax);
        Modem(db, kAutoAnswer, 2, ops, 3, rings, nullptr, 0, 0);
    });
}

// The recipe blocks keep no recipes: they accept their arguments and do
// nothing.
int Q4Ctl_Recipe(int command, u8*, u8*, u8*, const u16*) { return Q4Ctl_Answer(command, 0); }
