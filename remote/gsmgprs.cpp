#include "remote/gsmgprs.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "link/command.h"
#include "platform/fpga.h"
#include "remote/at_cmd.h"
#include "remote/modem.h"
#include "remote/msgcfg.h"
#include "storage/dbg_logger.h"

GsmGprsInfo GSMGPRSInfo_St;
char NWOprtrName[24];
u8 NumericOprtCode = 0;

namespace {

// GSM record fields.
constexpr u32 kRecOptions = 4, kRecIdle = 5, kRecSource = 6, kRecApn = 16, kRecUser = 20, kRecPassword = 24,
              kRecSourcePort = 32, kRecKeep = 48, kRecHold = 52, kRecDebug = 56;
constexpr u32 kRegisterLow = 0x400, kRegisterHigh = 0x10030FFF;

struct State {
    u16 lastCrc = 0;
    bool crcKnown = false;
};
State g;

bool ModemOptionModule(u16 code) {
    for (u16 c : {0xDF0F, 0xBF0F, 0x6F0F, 0xEF0F, 0x6E0F, 0xEE0F, 0xAF0F, 0xAE0F})
        if (code == c) return true;
    return false;
}

// A text kept in registers: up to a NUL or a blank followed by a blank, at
// most `max` characters.
u32 RegisterText(u32 address, u32 max, char* out) {
    char raw[128] = {};
    max = std::min<u32>(max, sizeof raw - 1);
    u32 n = 0;
    if (GSMPlcReg_Get(raw, address, max * 8) != 0) {
        for (; n < max && raw[n] != 0 && !(raw[n] == ' ' && n + 1 < max && raw[n + 1] == ' '); ++n) out[n] = raw[n];
    }
    out[n] = 0;
    return n;
}

// A parameter from a record text in the pool or in registers.
void TextParameter(const GsmRecordView& rec, u32 field, bool inRegisters, u32 poolMax, u32 registerMax, u32 param) {
    char text[128] = {};
    u32 n = 0;
    if (inRegisters) {
        n = RegisterText(rec.U32(field), registerMax, text);
    } else {
        const u8* t = nullptr;
        u32 length = 0;
        if (rec.Text(field, &t, &length)) {
            n = std::min(length, poolMax);
            std::memcpy(text, t, n);
        }
    }
    AtParam_Set(param, text, n);
}

}  // namespace

int GSMPlcReg_Get(void* destination, u32 address, u32 bits) {
    if (address < kRegisterLow || address > kRegisterHigh) return 0;
    return PlcReg_Get(destination, address, bits) == 0 ? 1 : 0;
}

int GSMPlcReg_Set(u32 address, const void* source, u32 bits) {
    if (address < kRegisterLow || address > kRegisterHigh) return 0;
    return PlcReg_Set(address, source, bits) == 0 ? 1 : 0;
}

int GSMTimer(GsmTimer& timer, i32 ticks) {
    u32 now = FPGA_GetFrt();
    if (ticks != 0) {
        timer.start = now;
        timer.length = ticks;
    }
    return timer.length >= 1 && now - timer.start >= static_cast<u32>(timer.length) ? 1 : 0;
}

void GSMGPRSParmInit(const u16* gsmRecord, u32 words) {
    if (gsmRecord == nullptr || words < 30) {
        DBG_SetLogRegister(0);
        return;
    }
    DBG_SetLogRegister(static_cast<u32>(gsmRecord[28]) | (static_cast<u32>(gsmRecord[29]) << 16));
}

void string_init() {
    GsmRecordView rec = MsgCfg_FindGsm(MsgCfg_StoredBody());
    if (!rec.found || GSMGPRSInfo_St.magic != kMagicGsme) return;
    bool inRegisters = (rec.U8(kRecSource) & 0x02) != 0;
    TextParameter(rec, kRecApn, inRegisters, 100, 101, 5);
    TextParameter(rec, kRecUser, inRegisters, 22, 23, 7);
    TextParameter(rec, kRecPassword, inRegisters, 22, 23, 8);
}

void GSMGPRSOprtor() {
    AtParam_Set(4, nullptr, 0);
    NWOprtrName[0] = 0;
    NumericOprtCode = 0;
    GsmGprsInfo& s = GSMGPRSInfo_St;
    if ((s.options & 0x80) == 0 || s.operatorName == nullptr) return;
    GsmRecordView rec = MsgCfg_FindGsm(MsgCfg_StoredBody());
    char raw[32] = {};
    u32 n = 0;
    if (rec.U8(kRecSource) & 0x08) {
        if (s.operatorNameLength >= 4) n = RegisterText(GetLe32(s.operatorName), 22, raw);
    } else {
        n = std::min<u32>(s.operatorNameLength, 23);
        std::memcpy(raw, s.operatorName, n);
    }
    char name[23] = {};
    u32 k = 0, i = 0;
    while (i < n && raw[i] == ' ') ++i;
    for (; i < n && k < 22; ++i) {
        char c = raw[i];
        if (c < 0x20 || c > 'z' || (c == ' ' && i + 1 < n && raw[i + 1] == ' ')) break;
        if (c == ' ' && i + 1 >= n) break;
        name[k++] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    name[k] = 0;
    AtParam_Set(4, name, k);
    std::memcpy(NWOprtrName, name, k + 1);
    bool digits = k != 0;
    for (u32 j = 0; j < k; ++j) digits = digits && name[j] >= '0' && name[j] <= '9';
    if (digits) {
        NumericOprtCode = 1;
        NWOprtrName[k] = '"';
        NWOprtrName[k + 1] = 0;
    }
}

int GSMGPRSParmInit() {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    if (MsgCfg_Current(nullptr) != kMagicSmv1 && !ModemOptionModule(io_init[1])) {
        s.options &= ~0x0F;
        s.status &= ~0x05;
        s.idleTime = 0;
        s.owner = s.requester = 0;
        s.keepConnectedBit = s.holdTimeRegister = 0;
        return 0;
    }
    u16 crc = MsgCfg_StoredCrc();
    if ((g.crcKnown && crc == g.lastCrc) || crc == 0xFFFF || Cmd_Downloading) return 1;
    g.lastCrc = crc;
    g.crcKnown = true;
    ModemReset();
    s.status &= ~0x08;
    MsgBody body = MsgCfg_StoredBody();
    GsmRecordView rec = MsgCfg_FindGsm(body);
    u16 sr163 = SR_Get(163);
    if (sr163 != 7 && sr163 != 11 && sr163 != 13) s.owner = s.requester = 0;
    s.control &= ~0x04;
    if (!rec.found) {
        s.options = static_cast<u8>((s.options | 0x05) & ~0x8A);
        s.status = static_cast<u8>((s.status | 0x01) & ~0x04);
        s.idleTime = 0;
        u32 at = body.U32(0);
        s.magic = at >= kGsmRecordSizes[0] ? body.U32(at - kGsmRecordSizes[0]) : 0;
        return 0;
    }
    s.magic = kMagicGsme;
    u8 opt = rec.U8(kRecOptions);
    u8 source = rec.U8(kRecSource);
    s.options = static_cast<u8>((s.options & ~0x8F) | (opt & 0x07) | ((opt & 0x40) ? 0x08 : 0));
    s.operatorName = nullptr;
    s.operatorNameLength = 0;
    if (source & 0x04) {
        const u8* port = nullptr;
        u32 portLength = 0;
        // The name runs from the end of the source-port text to the end of the pool.
        if (rec.Text(kRecSourcePort, &port, &portLength)) {
            const u8* poolEnd = body.data + rec.poolStart + rec.poolSize;
            s.operatorName = port + portLength;
            s.operatorNameLength = static_cast<u32>(poolEnd - s.operatorName);
            s.options |= 0x80;
        }
    }
    s.idleTime = std::max<u8>(rec.U8(kRecIdle), 10);
    s.status = static_cast<u8>((s.status & ~0x04) | ((opt & 0x20) ? 0x04 : 0) | 0x01);
    s.options |= 0x01;
    if (source & 0x10) {
        s.keepConnectedBit = rec.U32(kRecKeep);
        s.holdTimeRegister = rec.U32(kRecHold);
    } else {
        s.keepConnectedBit = s.holdTimeRegister = 0;
    }
    string_init();
    DBG_SetLogRegister(rec.U32(kRecDebug));
    return 1;
}

void GsmGprs_Reset() {
    g = State{};
    GSMGPRSInfo_St = GsmGprsInfo{};
    NWOprtrName[0] = 0;
    NumericOprtCode = 0;
}
