#include "link/talk.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "ladder/ladder_operand.h"
#include "link/command.h"
#include "link/modem.h"
#include "link/vcomm.h"

TalkPeers talkPeers;
u8 TalkModemProtect = 0;

namespace {

// One port of the TALK table.
struct TalkRec {
    const void* opener = nullptr;
    u8 open = 0;
    u8 openMemory = 0;
    const void* closer = nullptr;
    u8 closeMemory = 0;
    i64 txCursor = -1;  // byte offset into register memory, -1 none
    i64 rxCursor = -1;
    u8 modemMemory[3] = {};
    u8 modemInit = 0;
    u8 modbusMemory[2] = {};
    u8 modbusInit = 0;
};

struct State {
    TalkRec talk[2];
    u8 TalkOverride[2] = {};
    u8 temp_open[kTalkOpenRecordBytes] = {};
};
State g;

constexpr u16 kEscape1 = 1776, kEscape2 = 1777;
constexpr u16 kOpenRegMarker = 0x4000, kOpenRegOffsetMarker = 0x6000;
constexpr u16 kModbusExtMarker = 0x3FF;
constexpr u16 kTalkIec = 394;

bool FirstScan() { return S_Get(1); }
u8 Nibble(int port) { return Vcomm_Drv[port].mode[kSomProto] & 0x0F; }

// --- operands --------------------------------------------------------------

// A register-or-literal operand as a bit address (16-bit tokens: one word,
// or an escape word and its index; 32-bit: two words, windows moved).
u32 Operand(const u16* code, u32& ip, bool tok16) {
    if (tok16) {
        u16 t = code[ip++];
        if (t == kEscape1) return kLadderFarBank1Base + code[ip++];
        if (t == kEscape2) return kLadderFarBank2Base + code[ip++];
        return t;
    }
    return LadderRemap(LadderLit2(code, ip));
}
u32 OperandWords(const u16* code, u32 avail, bool tok16) {
    if (avail == 0) return 0;
    u32 n = tok16 ? (code[0] == kEscape1 || code[0] == kEscape2 ? 2 : 1) : 2;
    return n <= avail ? n : 0;
}

// Byte offset of the register word at bit address a, or -1 when a is not a
// register whose `bytes` bytes lie in register memory.
i64 RegByte(u32 a, u32 bytes = 2) {
    if (a < kLadderBitFirst) return -1;
    u64 at = 2ull * ((a - kLadderBitFirst) >> 4);
    if (at + bytes > kPlcRegBytes) return -1;
    return static_cast<i64>(at);
}
u16 Reg16(i64 at) { return GetLe16(plc_reg + at); }
void PutReg16(i64 at, u16 v) { PutLe16(plc_reg + at, v); }

// --- port gate ---------------------------------------------------------------

bool Gate(int port, const void* self, bool open) {
    if (port < 0 || port > 1) return false;
    if (g.TalkOverride[port]) return false;
    if (static_cast<u32>(port) == ProgrammingPort && Vcomm_Host == kHostSerial) {
        if (open ? (Vcomm_Lock & 2) != 0 : Vcomm_Lock != 0) return false;
    }
    const void* owner = open ? g.talk[port].opener : g.talk[port].closer;
    return owner == nullptr || owner == self;
}

// Open with the six mode bytes in record[2..7].
u8 DoOpen(const u8* record, u8 power, const void* self, bool iec) {
    int port = GetLe16(record);
    if (!Gate(port, self, true)) return 0;
    if (iec && Nibble(port) == kProtoWorkbench) return 0;
    TalkRec& t = g.talk[port];
    if (FirstScan()) t.openMemory = 0;
    const u8* mode = record + 2;
    const u8 want = mode[kSomProto] & 0x0F;
    power = power != 0;
    if (power == t.openMemory) return t.openMemory && Nibble(port) == want;
    if (!power) {
        t.openMemory = 0;
        t.opener = nullptr;
        Cmd_Override = 0;
        return 0;
    }
    t.openMemory = 1;
    Vcomm_Drv[port].Open(static_cast<u32>(port), mode);
    t.opener = self;
    if (want == kProtoProgramming) Cmd_Override = 1;
    if (Nibble(port) == want) {
        t.open = 1;
        return 1;
    }
    return 0;
}

u8 DoClose(int port, u8 power, const void* self) {
    if (!Gate(port, self, false)) return 0;
    TalkRec& t = g.talk[port];
    if (FirstScan()) t.closeMemory = 0;
    power = power != 0;
    auto result = [&] { return static_cast<u8>(t.closeMemory && !Cmd_Override && Nibble(port) <= 1); };
    if (power == t.closeMemory) return result();
    if (!power) {
        t.closeMemory = 0;
        t.closer = nullptr;
        return 0;
    }
    t.closeMemory = 1;
    Vcomm_Drv[port].Open(static_cast<u32>(port), tovra_mode);
    t.closer = self;
    Cmd_Override = 0;
    if (Nibble(port) <= 1) t.open = 0;
    return result();
}

// A port qualifies for transfers and modem functions.
bool Qualifies(int port) { return Nibble(port) >= (g.talk[port].open ? 1 : 2); }

// Only a port whose modem call runs over the internal module's data socket
// moves its bytes through that socket.
bool SocketActive(int port) {
    return Modem_OnDataSocket(port) && talkPeers.IsModemSocketActive != nullptr &&
           talkPeers.IsModemSocketActive(0) == 0;
}

// Send or receive: the transfer scheme shared by every form. The buffer
// lies in an area (register memory, or an IEC application's variable table
// from the variable on): buffer is the byte offset of its start in the
// area, -1 refused; progress is the 16-bit progress word, null refused.
u8 Transfer(bool send, int port, u32 count, u8* area, u64 areaBytes, i64 buffer, u8* progress, u8 power) {
    if (progress == nullptr || port < 0 || port > 1) return 0;
    if (FirstScan()) PutLe16(progress, 0xFFFF);
    if (!Qualifies(port) || power == 0) {
        PutLe16(progress, 0xFFFF);
        return 0;
    }
    if (count > 255 || buffer < 0 || area == nullptr) return 0;
    TalkRec& t = g.talk[port];
    i64& cursor = send ? t.txCursor : t.rxCursor;
    u16 done = GetLe16(progress);
    if (done == 0xFFFF) {
        // A block that would leave its area never starts.
        if (static_cast<u64>(buffer) + count > areaBytes) return 0;
        done = 0;
        PutLe16(progress, 0);
        cursor = buffer;
    }
    if (cursor < 0) return 0;
    // The bytes still to move must lie in the area.
    if (done < count && static_cast<u64>(cursor) + (count - done) > areaBytes) return 0;
    VcommDriver& d = Vcomm_Drv[port];
    const u32 u = static_cast<u32>(port);
    const bool socket = SocketActive(port);
    while (done < count) {
        if (send) {
            if (socket) {
                if (talkPeers.ModemDataSend == nullptr || talkPeers.ModemDataSend(0, area + cursor, 1, 1) != 0) break;
            } else {
                if (d.CheckTx(u) == 0) break;
                d.PutTx(u, area[cursor]);
                d.RtuTx(u);
            }
        } else {
            if (socket) {
                if (talkPeers.ModemCheckRecv == nullptr || talkPeers.ModemCheckRecv(0) != 1) break;
                area[cursor] = static_cast<u8>(talkPeers.ModemDataRecv(0));
            } else {
                if (d.CheckRx(u) != 1) break;
                area[cursor] = static_cast<u8>(d.GetRx(u));
            }
        }
        ++cursor;
        ++done;
        PutLe16(progress, done);
    }
    return done == count;
}

// Decodes port, count, buffer and progress operands and runs the transfer.
u8 LadderTransfer(bool send, const u16* code, u32& ip, u8 power, bool tok16, int indirect) {
    int port = code[ip++];
    u32 countOp = Operand(code, ip, tok16);
    u32 bufferOp = Operand(code, ip, tok16);
    u32 progressOp = Operand(code, ip, tok16);
    if (bufferOp < kLadderBitFirst || progressOp < kLadderBitFirst) return 0;
    if (port > 1) return 0;
    i64 progress = RegByte(progressOp);
    u32 count = countOp;
    if (countOp >= kLadderBitFirst) {
        i64 c = RegByte(countOp);
        if (c < 0) return 0;
        count = Reg16(c);
    }
    i64 buffer = -1;
    if (indirect) {
        // The register pair holds a 32-bit byte offset into register memory.
        i64 pair = RegByte(bufferOp, 4);
        if (pair >= 0) {
            u32 offset = GetLe32(plc_reg + pair);
            if (offset < kPlcRegBytes) buffer = offset;
        }
    } else {
        buffer = RegByte(bufferOp, 1);
    }
    return Transfer(send, port, count, plc_reg, kPlcRegBytes, buffer, progress >= 0 ? plc_reg + progress : nullptr, power);
}

// --- modem -------------------------------------------------------------------

// Bytes of a modem parameter block at p (in words), 0 for an unknown
// function; sets the words the block spans.
u32 ModemParamWords(u16 function, const u16* p, u32 avail) {
    switch (function) {
        case 0:
            if (avail < 1) return 0;
            return 1 + ((p[0] + 1u) & 0xFE) / 2;
        case 1:
            if (avail < 2) return 0;
            return p[1] >= 1024 ? 2 : 2 + ((p[1] + 1u) & 0xFE) / 2;
        case 2: return 1;
        default: return 0;
    }
}

// The shared modem instruction after decoding.
u8 DoModem(int port, int function, u8* status, bool statusReg, const u8* params, u32 paramBytes, u8* after,
           u32 afterBytes, bool iec, u8 power) {
    if (port > 1) return 0;
    if (FirstScan()) {
        if (!TalkModemProtect && status != nullptr) PutLe16(status, 0xFFFF);
    } else {
        TalkModemProtect = 0;
    }
    if (!Qualifies(port)) return 0;
    TalkRec& t = g.talk[port];
    power = power != 0;
    if (power != t.modemMemory[function]) {
        int r;
        if (power) {
            if (!t.modemInit) {
                ModemInit(port);
                t.modemInit = 1;
            }
            if (!statusReg || status == nullptr) return 0;
            ModemSlot slot;
            slot.function = static_cast<u16>(function);
            slot.status = status;
            slot.params = params;
            slot.paramBytes = paramBytes;
            slot.after = after;
            slot.afterBytes = afterBytes;
            slot.iec = iec;
            r = ModemStart(port, slot);
        } else {
            r = ModemStop(port, function);
        }
        if (r != 0) t.modemMemory[function] = power;
    }
    if (!power) return 0;
    return static_cast<u8>(iec ? Q4ModemExecute(port, function) : ModemExecute(port, function));
}

// --- Modbus ----------------------------------------------------------------

struct modbus_struct_t {
    int port = 0;
    TalkModbusConfig config{};  // every field 0 unless set: the trigger bit too
    bool ok = false;
};

u8 DoModbus(int port, const modbus_struct_t& m, u8 power, bool iec) {
    if (port < 0 || port > 1 || g.TalkOverride[port]) return 0;
    TalkRec& t = g.talk[port];
    const int role = m.config.address != 0 ? 1 : 0;
    bool accepted = Nibble(port) >= kProtoRtu;
    if (iec) {
        int rule = talkPeers.q4runtime_modbusinit != nullptr ? talkPeers.q4runtime_modbusinit() : 0;
        accepted = rule == 0 ? Nibble(port) >= kProtoRtu : rule == 1 ? static_cast<u32>(port) == ProgrammingPort : true;
    }
    if (!accepted) {
        t.modbusMemory[role] = 0;
        t.modbusInit = 0;
        return 0;
    }
    power = power != 0;
    auto execute = [&] { return static_cast<u8>(talkPeers.ModbusExecute != nullptr ? talkPeers.ModbusExecute(port) : 0); };
    if (power == t.modbusMemory[role]) return t.modbusMemory[role] ? execute() : 0;
    if (!power) {
        if (talkPeers.ModbusStop != nullptr) talkPeers.ModbusStop(port);
        t.modbusMemory[role] = 0;
        t.modbusInit = 0;
        return 0;
    }
    if (t.modbusInit || !m.ok) return 0;
    if (talkPeers.ModbusInit != nullptr) talkPeers.ModbusInit(port, m.config);
    t.modbusMemory[role] = 1;
    t.modbusInit = 1;
    return execute();
}

// An operand of opcode 137, kept in 16 bits: escaped or 32-bit operands that
// name registers at 0x10000 and above are refused (ok cleared).
u32 ModbusOperand(const u16* code, u32& ip, bool tok16, bool* ok) {
    u32 a = Operand(code, ip, tok16);
    if (a > 0xFFFF) *ok = false;
    return a;
}

// Own address, time-out, control word and status word, shared by 137 and
// 531. Data area handled by the caller.
void ModbusCommon(modbus_struct_t& m, u32 address, u32 timeout, u32 control, u32 status, const u16* controlWord,
                  bool* ok) {
    if (address >= kLadderBitFirst) {
        i64 r = RegByte(address);
        if (r < 0 || Reg16(r) == 0)
            *ok = false;
        else
            m.config.address = Reg16(r);
    } else {
        m.config.address = static_cast<u16>(address);
    }
    if (timeout >= kLadderBitFirst) {
        i64 r = RegByte(timeout);
        if (r < 0) *ok = false;
        else m.config.timeout = Reg16(r);
    } else {
        m.config.timeout = static_cast<u16>(timeout);
    }
    if (control >= kLadderBitFirst) {
        i64 r = RegByte(control);
        if (r < 0) *ok = false;
        else m.config.control = plc_reg + r;
        if (m.config.address == 0) m.config.triggerBit = static_cast<u8>(control & 0x0F);
    } else {
        // The literal operand word itself is the control word; bit 0 triggers.
        m.config.control = reinterpret_cast<u8*>(const_cast<u16*>(controlWord));
        m.config.triggerBit = 0;
    }
    i64 st = status >= kLadderBitFirst ? RegByte(status) : -1;
    if (st < 0) *ok = false;
    else m.config.status = plc_reg + st;
}

u8* DataArea(u32 token, bool* ok) {
    if (token < kLadderBitFirst || (token - kLadderBitFirst) / 8 >= kPlcRegBytes) {
        *ok = false;
        return nullptr;
    }
    return plc_reg + (token - kLadderBitFirst) / 8;
}

}  // namespace

// ------------------------------------------------------------------ port management

int Talk_Override(int port) {
    if (port < 0 || port > 1 || g.TalkOverride[port]) return 0;
    g.TalkOverride[port] = 1;
    return 1;
}
void Talk_Release(int port) {
    if (port == 0 || port == 1) g.TalkOverride[port] = 0;
}
int TalkOpened(int port) { return port >= 0 && port <= 1 ? g.talk[port].open : 0; }
void TalkClosed(int port) {
    if (port >= 0 && port <= 1) g.talk[port].open = 0;
}
void Talk_SetOpened(int port) {
    if (port >= 0 && port <= 1) g.talk[port].open = 1;
}

void TalkInit() {
    const u32 pp = ProgrammingPort > 1 ? 0 : ProgrammingPort;
    TalkRec saved = g.talk[pp];
    g.talk[0] = TalkRec{};
    g.talk[1] = TalkRec{};
    if (SR_Get(34) == kProtoProgramming && saved.modemInit && (saved.modemMemory[1] || saved.modemMemory[2])) {
        std::memcpy(g.talk[pp].modemMemory, saved.modemMemory, sizeof saved.modemMemory);
        g.talk[pp].modemInit = saved.modemInit;
        TalkModemProtect = 1;
    }
}

// ------------------------------------------------------------------ ladder

u8 TalkOpen(const u16* code, u32& ip, u8 power, bool tok16) {
    (void)tok16;
    const u16* w = code + ip;
    ip += 4;
    u8 rec[kTalkOpenRecordBytes];
    for (int i = 0; i < 4; ++i) PutLe16(rec + 2 * i, w[i]);
    const void* self = w;
    if (w[0] == kOpenRegMarker || w[0] == kOpenRegOffsetMarker) {
        u32 a = GetLe32(rec + 2);
        i64 r = RegByte(a);
        if (r < 0) return 0;
        if (w[0] == kOpenRegOffsetMarker) {
            r += 2 * (Reg16(r) / 2);
            if (r + 2 > static_cast<i64>(kPlcRegBytes)) return 0;
        }
        u16 port = Reg16(r);
        if (port > 1) return 0;
        PutLe16(g.temp_open, port);
        if (g.talk[port].openMemory != (power != 0)) {
            static const u16 kMax[7] = {12, 4, 3, 1, 5, 4, 13};
            u16 v[7];
            if (r + 16 > static_cast<i64>(kPlcRegBytes)) return 0;
            for (int i = 0; i < 7; ++i) {
                v[i] = Reg16(r + 2 + 2 * i);
                if (v[i] > kMax[i]) return 0;
            }
            for (int i = 0; i < 5; ++i) g.temp_open[2 + i] = static_cast<u8>(v[i]);
            g.temp_open[7] = static_cast<u8>(v[5] | v[6] << 4);
        }
        std::memcpy(rec, g.temp_open, sizeof rec);
        self = g.temp_open;
    }
    return DoOpen(rec, power, self, false);
}

u8 TalkClose(const u16* code, u32& ip, u8 power, bool tok16) {
    (void)tok16;
    const u16* w = code + ip;
    ++ip;
    return DoClose(w[0], power, w);
}

u8 IEC_TalkSend(const u16* code, u32& ip, u8 power, bool tok16, int indirect) {
    return LadderTransfer(true, code, ip, power, tok16, indirect);
}
u8 IEC_TalkReceive(const u16* code, u32& ip, u8 power, bool tok16, int indirect) {
    return LadderTransfer(false, code, ip, power, tok16, indirect);
}

u8 TalkModem(const u16* code, u32& ip, u8 power, bool tok16) {
    const u32 start = ip;
    int port = code[ip++];
    u16 function = code[ip++];
    if (function > 2) {
        --ip;
        return 255;
    }
    u32 statusOp = tok16 ? code[ip++] : LadderRemap(LadderLit2(code, ip));
    const u16* params = code + ip;
    u32 words = ModemParamWords(function, params, 0xFFFF);
    ip += words;
    (void)start;
    u8* status = nullptr;
    u8* after = nullptr;
    u32 afterBytes = 0;
    bool statusReg = statusOp >= kLadderBitFirst;
    if (statusReg) {
        u8* p = tok16 ? nullptr : PlcReg_Ptr(statusOp, 16);
        if (tok16) {
            i64 r = RegByte(statusOp);
            if (r >= 0) p = plc_reg + r;
        }
        status = p;
        if (p != nullptr && p >= plc_reg && p + 2 <= plc_reg + kPlcRegBytes) {
            after = p + 2;
            afterBytes = static_cast<u32>(plc_reg + kPlcRegBytes - after);
            if (afterBytes > 255) afterBytes = 255;
        }
    }
    return DoModem(port, function, status, statusReg, reinterpret_cast<const u8*>(params), 2 * words, after,
                   afterBytes, false, power);
}

// 137: six operands kept as 16-bit values, then the optional extension.
u8 TalkModbus(const u16* code, u32& ip, u8 power, bool tok16) {
    modbus_struct_t m;
    bool ok = true;
    u32 port = ModbusOperand(code, ip, tok16, &ok);
    u32 address = ModbusOperand(code, ip, tok16, &ok);
    u32 timeout = ModbusOperand(code, ip, tok16, &ok);
    const u16* controlWord = code + ip;
    u32 control = ModbusOperand(code, ip, tok16, &ok);
    u32 data = ModbusOperand(code, ip, tok16, &ok);
    u32 status = ModbusOperand(code, ip, tok16, &ok);
    if (code[ip] == kModbusExtMarker) {
        ++ip;
        m.config.extension = code[ip++];
        m.config.forwardPairs = code[ip++];
        ++ip;
        u32 table = Operand(code, ip, tok16);
        if (table != 0) {
            i64 r = table >= kLadderBitFirst ? RegByte(table, 2u * m.config.forwardPairs) : -1;
            if (r < 0) ok = false;
            else m.config.forwardTable = plc_reg + r;
        }
        if (m.config.extension > 2) {
            u32 inhibit = LadderLit2(code, ip);
            if (inhibit < kLadderBitFirst) ok = false;
            m.config.writeInhibit = inhibit;
        }
    }
    if (port > 1) return 0;
    ModbusCommon(m, address, timeout, control, status, controlWord, &ok);
    m.config.data = DataArea(data, &ok);
    m.ok = ok;
    m.port = static_cast<int>(port);
    return DoModbus(m.port, m, power, false);
}

// 531: words 0-5 one word each, the data operand names a register holding
// the area's token; the extension's L + 1 words belong to the instruction.
u8 IEC_TalkModbus(const u16* code, u32& ip, u8 power, bool tok16) {
    (void)tok16;
    modbus_struct_t m;
    bool ok = true;
    const u16* w = code + ip;
    ip += 6;
    if (code[ip] == kModbusExtMarker) {
        const u32 marker = ip;
        const u16 L = code[marker + 1];
        ip = marker + 1 + L + 1;
        m.config.extension = L;
        // Fields beyond the instruction are not read: L of 3 to 5 would
        // place the write-inhibit address there.
        auto inside = [&](u32 k) { return k <= L + 1u; };
        if (L > 2 && L < 6) ok = false;
        if (inside(2)) m.config.forwardPairs = code[marker + 2];
        if (inside(5)) {
            u32 table = code[marker + 4] | static_cast<u32>(code[marker + 5]) << 16;
            table = LadderRemap(table);
            if (table != 0) {
                i64 r = table >= kLadderBitFirst ? RegByte(table, 2u * m.config.forwardPairs) : -1;
                if (r < 0) ok = false;
                else m.config.forwardTable = plc_reg + r;
            }
        }
        if (L > 2 && inside(7)) {
            u32 inhibit = code[marker + 6] | static_cast<u32>(code[marker + 7]) << 16;
            if (inhibit < kLadderBitFirst) ok = false;
            m.config.writeInhibit = inhibit;
        }
    }
    if (w[0] > 1) return 0;
    ModbusCommon(m, w[1], w[2], w[3], w[5], &w[3], &ok);
    // The data operand names a register that holds the area's token.
    i64 r = w[4] >= kLadderBitFirst ? RegByte(w[4]) : -1;
    if (r < 0) ok = false;
    else m.config.data = DataArea(Reg16(r), &ok);
    m.ok = ok;
    return DoModbus(w[0], m, power, false);
}

// ------------------------------------------------------------------ routine rows

namespace {

u8 RunOpen(const u16* code, u32& ip, u8 rung, bool tok16) { return TalkOpen(code, ip, rung, tok16); }
u8 RunSend(const u16* code, u32& ip, u8 rung, bool tok16) { return IEC_TalkSend(code, ip, rung, tok16, 0); }
u8 RunReceive(const u16* code, u32& ip, u8 rung, bool tok16) { return IEC_TalkReceive(code, ip, rung, tok16, 0); }
u8 RunClose(const u16* code, u32& ip, u8 rung, bool tok16) { return TalkClose(code, ip, rung, tok16); }
u8 RunModem(const u16* code, u32& ip, u8 rung, bool tok16) { return TalkModem(code, ip, rung, tok16); }
u8 RunModbus(const u16* code, u32& ip, u8 rung, bool tok16) { return TalkModbus(code, ip, rung, tok16); }
u8 RunModbusX(const u16* code, u32& ip, u8 rung, bool tok16) { return IEC_TalkModbus(code, ip, rung, tok16); }
u8 RunTalkIec(const u16* code, u32& ip, u8 rung, bool tok16) {
    u16 sub = code[ip++];
    switch (sub) {
        case 0: return IEC_TalkSend(code, ip, rung, tok16, 0);
        case 1: return IEC_TalkSend(code, ip, rung, tok16, 1);
        case 2: return IEC_TalkReceive(code, ip, rung, tok16, 0);
        case 3: return IEC_TalkReceive(code, ip, rung, tok16, 1);
        default: return rung;
    }
}

// Operand words (after the opcode) of each instruction; 0 when they run
// past avail.
u32 WordsOpen(const u16*, u32 avail, bool) { return avail >= 4 ? 4 : 0; }
u32 WordsClose(const u16*, u32 avail, bool) { return avail >= 1 ? 1 : 0; }
u32 WordsTransfer(const u16* p, u32 avail, bool tok16) {
    u32 pos = 1;
    if (avail < 1) return 0;
    for (int k = 0; k < 3; ++k) {
        u32 n = OperandWords(p + pos, avail - pos, tok16);
        if (n == 0) return 0;
        pos += n;
    }
    return pos;
}
u32 WordsTalkIec(const u16* p, u32 avail, bool tok16) {
    if (avail < 1) return 0;
    if (p[0] > 3) return 1;
    u32 n = WordsTransfer(p + 1, avail - 1, tok16);
    return n ? n + 1 : 0;
}
u32 WordsModem(const u16* p, u32 avail, bool tok16) {
    if (avail < 2) return 0;
    if (p[1] > 2) return 2;  // stops the program when it runs
    u32 pos = tok16 ? 3 : 4;
    if (avail < pos) return 0;
    u32 n = ModemParamWords(p[1], p + pos, avail - pos);
    if (n == 0 || pos + n > avail) return 0;
    return pos + n;
}
u32 WordsModbus(const u16* p, u32 avail, bool tok16) {
    u32 pos = 0;
    for (int k = 0; k < 6; ++k) {
        u32 n = pos < avail ? OperandWords(p + pos, avail - pos, tok16) : 0;
        if (n == 0) return 0;
        pos += n;
    }
    if (pos < avail && p[pos] == kModbusExtMarker) {
        if (pos + 4 > avail) return 0;
        const u16 L = p[pos + 1];
        pos += 4;
        u32 n = pos < avail ? OperandWords(p + pos, avail - pos, tok16) : 0;
        if (n == 0) return 0;
        pos += n;
        if (L > 2) pos += 2;
        if (pos > avail) return 0;
    }
    return pos;
}
u32 WordsModbusX(const u16* p, u32 avail, bool) {
    if (avail < 6) return 0;
    u32 pos = 6;
    if (pos < avail && p[pos] == kModbusExtMarker) {
        if (pos + 2 > avail) return 0;
        pos += 1 + p[pos + 1] + 1u;
        if (pos > avail) return 0;
    }
    return pos;
}

const LadderRoutineRow kRows[] = {
    {132, 132, "TALKOPEN", RunOpen, 1, {LOpd::kRoutine}, WordsOpen},
    {133, 133, "TALKSEND", RunSend, 1, {LOpd::kRoutine}, WordsTransfer},
    {134, 134, "TALKRECV", RunReceive, 1, {LOpd::kRoutine}, WordsTransfer},
    {135, 135, "TALKCLOSE", RunClose, 1, {LOpd::kRoutine}, WordsClose},
    {136, 136, "TALKMODEM", RunModem, 1, {LOpd::kRoutine}, WordsModem, true},
    {137, 137, "TALKMODBUS", RunModbus, 1, {LOpd::kRoutine}, WordsModbus},
    {kTalkIec, kTalkIec, "TALKIEC", RunTalkIec, 1, {LOpd::kRoutine}, WordsTalkIec},
    {531, 531, "TALKMODBUSX", RunModbusX, 1, {LOpd::kRoutine}, WordsModbusX},
};

// Register-memory byte offset of a record's 32-bit offset field with room
// for `bytes`, -1 when it leaves the memory.
i64 RecordOffset(u32 offset, u32 bytes) {
    if (offset > kPlcRegBytes || kPlcRegBytes - offset < bytes) return -1;
    return offset;
}

}  // namespace

const LadderRoutineRow* Talk_FindRow(u16 opcode) {
    for (const LadderRoutineRow& r : kRows)
        if (r.first == opcode) return &r;
    return nullptr;
}

// ------------------------------------------------------------------ IEC entries

int Q4TalkOpen(const u8* record, int enable) {
    if (record == nullptr) return 0;
    return DoOpen(record, enable != 0, record, true);
}

int Q4TalkClose(const u8* record, int enable) {
    if (record == nullptr) return 0;
    return DoClose(GetLe16(record), enable != 0, record);
}

namespace {
int Q4Transfer(bool send, const u8* record, int enable) {
    if (record == nullptr) return 0;
    int port = GetLe16(record);
    u32 count = GetLe16(record + 2);
    u32 buffer = static_cast<u32>(GetLe16(record + 4)) << 16 | GetLe16(record + 6);
    u32 progress = static_cast<u32>(GetLe16(record + 8)) << 16 | GetLe16(record + 10);
    if (port > 1) return 0;
    // IEC variables come as references into the running application (both
    // top bits set); anything else is a byte offset into register memory.
    if ((buffer >> 30) == 3 || (progress >> 30) == 3) {
        u8 *data = nullptr, *word = nullptr;
        u32 bytes = 0, wordBytes = 0;
        if (QuilletVmDbSpan(buffer, &data, &bytes) != 1 || QuilletVmDbSpan(progress, &word, &wordBytes) != 1 ||
            wordBytes < 2)
            return 0;
        return Transfer(send, port, count, data, bytes, 0, word, enable != 0);
    }
    const i64 at = RecordOffset(progress, 2);
    return Transfer(send, port, count, plc_reg, kPlcRegBytes, RecordOffset(buffer, 1), at >= 0 ? plc_reg + at : nullptr,
                    enable != 0);
}
}  // namespace

int Q4TalkSend(const u8* record, int enable) { return Q4Transfer(true, record, enable); }
int Q4TalkReceive(const u8* record, int enable) { return Q4Transfer(false, record, enable); }

int Q4_TalkModbus(const u8* record, int enable) {
    if (record == nullptr) return 0;
    modbus_struct_t m;
    bool ok = true;
    int port = GetLe16(record);
    if (port > 1) return 0;
    m.config.address = static_cast<u16>(GetLe32(record + 2));
    m.config.timeout = static_cast<u16>(GetLe32(record + 6));
    i64 control = RecordOffset(GetLe32(record + 10), 2), data = RecordOffset(GetLe32(record + 14), 1),
        status = RecordOffset(GetLe32(record + 18), 2);
    if (control < 0 || data < 0 || status < 0) ok = false;
    else {
        m.config.control = plc_reg + control;
        m.config.data = plc_reg + data;
        m.config.status = plc_reg + status;
    }
    m.ok = ok;
    return DoModbus(port, m, enable != 0, true);
}

int Q4_TalkModbusAt(int port, u16 address, u16 timeout, u8* control, u8* data, u8* status, int enable) {
    if (port < 0 || port > 1) return 0;
    modbus_struct_t m;
    m.config.address = address;
    m.config.timeout = timeout;
    m.config.control = control;
    m.config.data = data;
    m.config.status = status;
    m.ok = control != nullptr && data != nullptr && status != nullptr;
    return DoModbus(port, m, enable != 0, true);
}

int Q4TalkModem(u8* record, u32 bytes, int enable) {
    if (record == nullptr || bytes < 6) return 0;
    int port = GetLe16(record);
    u16 function = GetLe16(record + 2);
    if (function > 2) return 255;
    const u8* params = record + 6;
    u32 paramBytes = bytes - 6;
    return DoModem(port, function, record + 4, true, params, paramBytes, record + 6, bytes - 6, true, enable != 0);
}

void Talk_Reset() {
    g = State{};
    TalkModemProtect = 0;
}
