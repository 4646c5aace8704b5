#include "remote/gsmgprs.h"

#include <algorithm>
#include <cstdio>
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
    return PlcReg_Get(destination, address, bits);
}

int GSMPlcReg_Set(u32 address, const void* source, u32 bits) {
    if (address < kRegisterLow || address > kRegisterHigh) return 0;
    return PlcReg_Set(address, source, bits);
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


// --- External modem: answer lines, set-up, hang-up, arbitration -------------

namespace {

constexpr u16 kResOk = 0, kResConnect = 1, kResRing = 2, kResNoCarrier = 3, kResError = 4, kResListen = 6,
              kResNothing = 0xFFFE, kResTimeout = 0xFFFD, kResRunning = 0xFFFE;
constexpr i32 kTenSeconds = 100000, kTwoMinutes = 1200000, kNever = -1;
constexpr u32 kRecSignal = 44, kRecDestination = 36, kRecBlockSize = 8, kRecTimeout = 12, kRecForward = 28;
constexpr u32 kLineMax = 351;

struct Modem {
    GsmTimer timer;        // the set-up's own countdown
    char line[kLineMax + 1] = {};
    u32 fill = 0;
    u8 phase = 0;          // sub-step of steps 0, 23 and the hang-up
    bool atoSent = false;  // "ATO" of a held call was sent
};
Modem m;

VcommDriver& Drv(int port) { return AtPort(static_cast<u32>(port)); }

void ClearLine() {
    m.fill = 0;
    m.line[0] = 0;
}

bool Has(const char* text) { return std::strstr(m.line, text) != nullptr; }

// Sends a set-up command and waits for its answer in step 25.
void Command(int port, const char* text, u8 next, i32 ticks = kTenSeconds) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    VcommDriver& d = Drv(port);
    d.FlushRx(static_cast<u32>(port));
    d.PutsTx(static_cast<u32>(port), text);
    d.PutTx(static_cast<u32>(port), '\r');
    d.RtuTx(static_cast<u32>(port));
    GSMTimer(m.timer, ticks);
    ClearLine();
    s.nextStep = next;
    s.step = 25;
}

void CommandWith(int port, const char* head, const char* tail, u8 next, i32 ticks = kTenSeconds) {
    char text[256];
    std::snprintf(text, sizeof text, "%.40s%.200s", head, tail);
    Command(port, text, next, ticks);
}

bool Newer() { return (GSMGPRSInfo_St.control & 0x40) != 0; }
bool SetUpBefore() { return (GSMGPRSInfo_St.status & 0x08) != 0; }
bool Manual() { return (GSMGPRSInfo_St.options & 0x80) != 0; }
bool Carrier(int port) { return Drv(port).GetDCD(static_cast<u32>(port)) != 0; }

void Fail(u16 result) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    s.resultCode = result;
    s.status &= ~0x30;
    s.step = 0;
    m.phase = 0;
}

// A decimal number at p.
u32 Digits(const char* p, const char** after) {
    u32 v = 0;
    while (*p >= '0' && *p <= '9' && v < 100000) v = v * 10 + static_cast<u32>(*p++ - '0');
    if (after != nullptr) *after = p;
    return v;
}

void AnswerWait(int port) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    u16 r = GSMGetResult(port);
    if (s.nextStep == 24 && r == kResNoCarrier) r = kResOk;
    if (r == kResNothing) return;
    if (r == kResNoCarrier || r == kResConnect || r == kResRing) {
        ClearLine();
        return;
    }
    if (Newer() && r == kResError && s.nextStep == 3) {
        s.step = 3;
        return;
    }
    if (s.nextStep == 24) {
        if (s.queryCount != 0 || s.addressAllocated) {
            s.nextStep = 26;
            if (!s.addressAllocated) r = kResOk;
        }
        s.addressQuery = 0;
    }
    if (r == kResOk) {
        s.step = s.nextStep;
        return;
    }
    if (SetUpBefore() || (s.nextStep != 8 && s.nextStep != 9) || (s.options & 0x20)) {
        s.status |= 0x10;
        s.step = 0;
        m.phase = 0;
        s.resultCode = r;
        return;
    }
    if (s.nextStep == 9) {
        s.step = 0;
        m.phase = 0;
        if (s.retryCount >= 2) {
            s.status |= 0x10;
            s.options |= 0x20;
            s.resultCode = r;
            s.retryCount = 0;
        } else {
            s.retryCount++;
        }
        return;
    }
    s.options |= 0x20;  // the network selection failed
    s.step = 0;
    m.phase = 0;
}

}  // namespace

u16 GSMGetResult(int port) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    VcommDriver& d = Drv(port);
    u16 r = kResNothing;
    bool lineDone = false;
    while (!lineDone && d.CheckRx(static_cast<u32>(port)) == 1) {
        char c = static_cast<char>(d.GetRx(static_cast<u32>(port)));
        if (c == '\n' || c == '+') continue;
        if (c != '\r') {
            if (m.fill < kLineMax)
                m.line[m.fill++] = c;
            else
                m.fill = kLineMax + 1;  // too long: the line is dropped at its end
            if (m.fill <= kLineMax) m.line[m.fill] = 0;
            continue;
        }
        if (m.fill == 0) continue;
        if (m.fill > kLineMax) {
            ClearLine();
            continue;
        }
        lineDone = true;
    }
    if (lineDone) {
        if (s.signalExpected) {
            const char* after = nullptr;
            const char* p = m.line;
            while (*p != 0 && (*p < '0' || *p > '9')) ++p;
            u32 first = Digits(p, &after);
            u32 second = *after == ',' ? Digits(after + 1, nullptr) : 0;
            u16 word = static_cast<u16>(((first & 0xFF) << 8) | (second & 0xFF));
            GsmRecordView rec = MsgCfg_FindGsm(MsgCfg_StoredBody());
            if (rec.U32(kRecSignal) != 0) GSMPlcReg_Set(rec.U32(kRecSignal), &word, 16);
            s.signalExpected = 0;
            ClearLine();
            return kResNothing;
        }
        if ((s.options & 0x40) && Has("ERROR")) {
            r = kResError;
            s.options &= ~0x40;
        } else if ((s.options & 0x40) && m.fill >= 7 && !Has("OK") && !Has("CONNECT") && !Has("RING") &&
                   !Has("LISTEN")) {
            for (u32 i = 0; i < m.fill; ++i)
                if (m.line[i] >= 'a' && m.line[i] <= 'z') m.line[i] = static_cast<char>(m.line[i] - 'a' + 'A');
            const char* at = NWOprtrName[0] != 0 ? std::strstr(m.line, NWOprtrName) : nullptr;
            r = kResError;
            if (at != nullptr) {
                char code[sizeof s.operatorCode] = {};
                u32 n = 0;
                for (const char* p = at + std::strlen(NWOprtrName); *p != 0 && *p != ')'; ++p) {
                    if (*p >= '0' && *p <= '9') {
                        if (n < sizeof code - 2) code[n++] = *p;
                    } else if (*p != '"') {
                        if (n != 0) break;
                        n = 0;
                    }
                }
                code[n++] = '"';
                code[n] = 0;
                std::memcpy(s.operatorCode, code, n + 1);
                r = kResOk;
            }
            s.options &= ~0x40;
        } else if (s.addressQuery && Has("NETIP")) {
            // "NETIP: <own address>, <gateway>": a digit 1-8 in the first says
            // an address was given; the second is the address dialled.
            const char* p = std::strchr(m.line, ':');
            p = p != nullptr ? p + 1 : m.line;
            while (*p == ' ') ++p;
            const char* comma = std::strchr(p, ',');
            s.addressAllocated = 0;
            for (const char* q = p; q < (comma != nullptr ? comma : p + std::strlen(p)); ++q)
                if (*q >= '1' && *q <= '8') s.addressAllocated = 1;
            const char* second = comma != nullptr ? comma + 1 : "";
            while (*second == ' ' || *second == '"') ++second;
            size_t n = 0;
            while (second[n] != 0 && second[n] != ',' && second[n] != '"' && n < sizeof s.addressText - 4) ++n;
            std::memcpy(s.addressText, second, n);
            std::memcpy(s.addressText + n, "/53", 4);
            r = kResOk;
        } else if (Has("OK")) {
            r = kResOk;
        } else if (Has("ERROR")) {
            r = kResError;
        } else if (Has("CONNECT")) {
            r = kResConnect;
        } else if (Has("NO CARRIER")) {
            r = kResNoCarrier;
        } else if (Has("RING")) {
            r = kResRing;
        } else if (Has("LISTEN")) {
            r = kResListen;
        } else if (Has("AT-Command")) {
            r = kResError;
        } else if (const char* e = std::strstr(m.line, "Enabler-II")) {
            r = kResOk;
            if (e[10] == 'I') s.control |= 0x40;
        }
        ClearLine();
    }
    if (r == kResNothing && GSMTimer(m.timer, 0)) {
        r = kResTimeout;
        s.options &= ~0x40;
    }
    if (r != kResTimeout && r != kResError) return r;
    if (++s.errorCount >= 2) {
        s.status &= ~0x08;
        s.lastOperator[0] = 0;
        s.control |= 0x20;
    }
    return r;
}

int GSMGPRSParm(char* buffer, u32 capacity, u8* flag, int item) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    if (capacity == 0) return 0;
    buffer[0] = 0;
    *flag = 0;
    GsmRecordView rec = MsgCfg_FindGsm(MsgCfg_StoredBody());
    if (!rec.found) {
        buffer[0] = static_cast<char>(255);
        if (capacity > 1) buffer[1] = 0;
        s.status &= ~0x01;
        return 0;
    }
    auto pool = [&](u32 field, u32 max) {
        const u8* t = nullptr;
        u32 length = 0;
        if (!rec.Text(field, &t, &length)) return;
        u32 n = std::min({length, max, capacity - 1});
        std::memcpy(buffer, t, n);
        buffer[n] = 0;
    };
    auto quoted = [&](u32 param) {
        std::snprintf(buffer, capacity, "\"%s\"", ConfigDataInStr[param - 1].text);
    };
    switch (item) {
        case 0: *flag = (rec.U8(kRecOptions) & 0x08) ? 1 : 0; return *flag;
        case 1: pool(kRecForward, 22); break;
        case 2: pool(kRecBlockSize, 22); break;
        case 3: pool(kRecTimeout, 22); break;
        case 4: string_init(); quoted(5); break;
        case 5:
            string_init();
            std::snprintf(buffer, capacity, "\"%s\",\"%s\"", ConfigDataInStr[6].text, ConfigDataInStr[7].text);
            break;
        case 6: pool(kRecSourcePort, 22); break;
        case 7: {
            if (s.owner != 2) break;
            u32 a = rec.U32(kRecDestination);
            if (rec.U8(kRecSource) & 0x01) {
                u32 v = 0;
                if (GSMPlcReg_Get(&v, a, 32) == 0) v = 0;
                a = v;
            }
            char port[24] = {};
            u32 n = 0;
            const u8* t = nullptr;
            u32 length = 0;
            if (rec.Text(kRecSourcePort, &t, &length)) {
                n = std::min<u32>(length, 22);
                std::memcpy(port, t, n);
            }
            if (s.options & 0x01)
                std::snprintf(s.destination, sizeof s.destination, "1");
            else if (s.status & 0x04)
                std::snprintf(s.destination, sizeof s.destination, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF,
                              (a >> 8) & 0xFF, a & 0xFF);
            else
                std::snprintf(s.destination, sizeof s.destination, "%u.%u.%u.%u/%s", a >> 24, (a >> 16) & 0xFF,
                              (a >> 8) & 0xFF, a & 0xFF, (s.extraFlags & 0x01) ? port : "18501");
            std::snprintf(buffer, capacity, "%s", s.destination);
            break;
        }
        default: break;
    }
    *flag = buffer[0] != 0 ? 1 : 0;
    return *flag;
}

int GSMModemInit(int port) {
    GSMGPRSParmInit();
    GsmGprsInfo& s = GSMGPRSInfo_St;
    VcommDriver& d = Drv(port);
    u32 p = static_cast<u32>(port);
    char text[160];
    u8 flag = 0;
    switch (s.step) {
        case 0:
            if (m.phase == 0) {
                s.status &= ~0x20;
                s.resultCode = kResRunning;
                d.Enable(p, 0);
                if ((s.options & 0x10) == 0) {
                    GSMTimer(m.timer, 150000);
                    s.options |= 0x10;
                } else {
                    GSMTimer(m.timer, 11000);
                }
                if ((s.control & 0x60) == 0x60) {
                    IoCommReset(port, 1);
                    IoCommPwr(port, 0);
                }
                m.phase = 1;
                break;
            }
            if (m.phase == 2) {  // the power cycle's wait
                if (!GSMTimer(m.timer, 0)) break;
                m.phase = 0;
                s.step = SetUpBefore() ? 2 : 1;
                break;
            }
            if (!GSMTimer(m.timer, 0)) break;
            d.Enable(p, 1);
            m.phase = 0;
            if ((s.control & 0x20) == 0) {
                Command(port, "+++", SetUpBefore() ? 2 : 1, 45000);
                break;
            }
            s.control &= ~0x20;
            s.errorCount = 0;
            if (Newer()) {
                IoCommReset(port, 0);
                IoCommPwr(port, 1);
                GSMTimer(m.timer, 150000);
                m.phase = 2;
            } else {
                Command(port, "AT$RESET", SetUpBefore() ? 2 : 1, 150000);
            }
            break;
        case 1:
            if (GSMTimer(m.timer, 0)) Command(port, "AT+IPR=115200", 2);
            break;
        case 2: {
            if ((s.status & 0x10) && !GSMTimer(m.timer, 0)) break;
            if (Manual()) {
                GSMGPRSOprtor();
                if (std::strcmp(NWOprtrName, s.lastOperator) != 0) s.status &= ~0x08;
            }
            Command(port, "ATE0HS0=0Q0V1&C1&D1", SetUpBefore() ? 6 : 4);
            break;
        }
        case 3:
            if (Newer())
                s.step = 5;
            else
                Command(port, "AT+CFUN=1", 5);
            break;
        case 4:
            s.control &= ~0x40;
            Command(port, "AT+GMM", 35);
            break;
        case 5: Command(port, "AT+FCLASS=0", 6); break;
        case 6: Command(port, "AT$AREG=0", SetUpBefore() ? 8 : Manual() ? 7 : 9); break;
        case 7:
            if (NumericOprtCode) {
                std::snprintf(s.operatorCode, sizeof s.operatorCode, "%.19s", NWOprtrName);
                s.step = 9;
            } else if (GSMTimer(m.timer, 0)) {
                s.options = static_cast<u8>((s.options | 0x40) & ~0x20);
                Command(port, "AT+COPS=?", 9, kTwoMinutes);
            }
            break;
        case 8:
            if (Manual()) std::snprintf(s.lastOperator, sizeof s.lastOperator, "%s", NWOprtrName);
            s.signalExpected = 1;
            Command(port, "AT+CSQ", SetUpBefore() ? ((s.options & 0x01) ? 26 : 22) : 10);
            break;
        case 9:
            if (Manual())
                CommandWith(port, "AT+COPS=1,2,\"", s.operatorCode, 8, kTwoMinutes);
            else
                Command(port, "AT+COPS=0", 8, kTwoMinutes);
            break;
        case 10: Command(port, "AT+CBST=7,0,1", (s.options & 0x01) ? 26 : 11); break;
        case 11:
            GSMGPRSParm(text, sizeof text, &flag, 4);
            CommandWith(port, "AT+CGDCONT=1,\"IP\",", text, 12);
            break;
        case 12:
            GSMGPRSParm(text, sizeof text, &flag, 5);
            CommandWith(port, "AT%CGPCO=1,", text, 22);
            break;
        case 13:
            if (s.owner == 4) {
                Command(port, "AT$PADBLK=512", 14);
            } else {
                GSMGPRSParm(text, sizeof text, &flag, 2);
                CommandWith(port, "AT$PADBLK=", text, 14);
            }
            break;
        case 14:
            if (s.owner == 4) {
                Command(port, "AT$PADTO=1", 15);
            } else {
                GSMGPRSParm(text, sizeof text, &flag, 3);
                CommandWith(port, "AT$PADTO=", text, 15);
            }
            break;
        case 15: {
            bool forward = GSMGPRSParm(text, sizeof text, &flag, 1) != 0;
            u8 option3 = 0;
            GSMGPRSParm(text, sizeof text, &option3, 0);
            if (!forward || s.owner == 4)
                Command(port, "AT$PADCMD=00", 16);
            else
                Command(port, option3 ? "AT$PADCMD=03" : "AT$PADCMD=01", 16);
            break;
        }
        case 16:
            if (GSMGPRSParm(text, sizeof text, &flag, 1) == 0)
                s.step = 17;
            else
                CommandWith(port, "AT$PADFWD=", text, 17);
            break;
        case 17: Command(port, "AT$UDPAPI=,1", 18); break;
        case 18:
            GSMGPRSParm(text, sizeof text, &flag, 6);
            CommandWith(port, "AT$PADSRC=", text, 19);
            break;
        case 19:
            if ((s.status & 0x04) || (s.extraFlags & 0x01)) {
                if (s.owner == 2) GSMGPRSParm(text, sizeof text, &flag, 7);
                char dest[sizeof s.destination + 8];
                std::snprintf(dest, sizeof dest, "\"%.100s\",0", s.destination);
                CommandWith(port, "AT$PADDST=", dest, 20);
            } else {
                Command(port, "AT$PADDST=\"0.0.0.0\"", 20);
            }
            break;
        case 20:
            Command(port, ((s.status & 0x02) && !(s.status & 0x04)) ? "AT$ACTIVE=1" : "AT$ACTIVE=0", 21);
            break;
        case 21:
            if (s.status & 0x02) s.queryCount = s.addressAllocated = s.addressQuery = 0;
            Command(port, "AT$AREG=2", (s.status & 0x04) ? 26 : (s.status & 0x02) ? 24 : 23);
            break;
        case 22: Command(port, (s.status & 0x02) ? "AT$HOSTIF=2" : "AT$HOSTIF=1", 13); break;
        case 23:
            if (m.phase == 0) {
                GSMTimer(m.timer, (s.options & 0x10) ? 11000 : 150000);
                s.options |= 0x10;
                m.phase = 1;
            } else if (GSMTimer(m.timer, 0)) {
                m.phase = 0;
                s.queryCount = s.addressAllocated = s.addressQuery = 0;
                Command(port, "+++", 24, 15000);
            }
            break;
        case 24:
            if (GSMTimer(m.timer, 0)) {
                s.addressQuery = 1;
                s.queryCount++;
                Command(port, "AT$NETIP?", 24, 50000);
            }
            break;
        case 25: AnswerWait(port); break;
        case 26: {
            // Set up: the kind of connection is chosen, then dialled or answered.
            bool dialOut = (s.options & 0x02) != 0;
            u8 kind = static_cast<u8>((s.status >> 6) & 0x03);
            if ((s.options & 0x01) || ((s.status & 0x04) && dialOut))
                kind = 2;
            else if (dialOut)
                kind = 1;
            s.status = static_cast<u8>((s.status & 0x3F) | (kind << 6));
            s.step = kind == 1 ? 28 : 29;
            if (dialOut) GSMTimer(m.timer, 3600000);
            s.status |= 0x18;
            s.retryCount = 0;
            break;
        }
        case 27:
            d.PutsTx(p, s.destination);
            d.PutTx(p, '\r');
            d.RtuTx(p);
            GSMTimer(m.timer, kTenSeconds);
            ClearLine();
            s.step = 30;
            break;
        case 28:
            if (Carrier(port)) {
                s.status &= ~0x10;
                s.step = 0;
                m.phase = 0;
                break;
            }
            if (s.status & 0x02)
                CommandWith(port, "ATDT", s.destination, 31, kTwoMinutes);
            else
                CommandWith(port, "ATDP", s.addressText, 31, kTwoMinutes);
            s.step = 31;
            break;
        case 29:
            if ((s.status & 0x04) && (s.options & 0x02)) {
                u16 r = GSMGetResult(port);
                if (r == kResListen) {
                    s.resultCode = kResListen;
                    s.status |= 0x20;
                    GSMTimer(m.timer, kNever);
                    s.step = 31;
                } else if (r == kResTimeout) {
                    Fail(kResError);
                }
            } else {
                Command(port, "ATS0=1", 30);
                s.step = 30;
            }
            break;
        case 30: {
            u16 r = GSMGetResult(port);
            u8 kind = static_cast<u8>((s.status >> 6) & 0x03);
            if (r == kResOk) {
                if (kind == 0) {
                    s.resultCode = kResOk;
                } else if (kind == 2) {
                    s.resultCode = kResOk;
                    s.status |= 0x20;
                    GSMTimer(m.timer, kNever);
                    s.step = 31;
                }
            } else if (r == kResError || r == kResTimeout) {
                Fail(r);
            } else if (r != kResNothing) {
                ClearLine();
            }
            break;
        }
        case 31: {
            u16 r = GSMGetResult(port);
            if ((r == kResConnect || s.resultCode == kResConnect) && Carrier(port)) {
                s.step = 32;
                s.status |= 0x20;
                s.resultCode = kResConnect;
                d.FlushRx(p);
            } else if (r == kResError || r == kResTimeout) {
                Fail(kResError);
            } else if (r != kResNothing) {
                s.resultCode = r;
                if (r == kResListen && ((s.status >> 6) & 0x03) == 2) GSMTimer(m.timer, kNever);
            }
            break;
        }
        case 32:
            if ((s.status & 0x20) == 0) break;
            if (Carrier(port)) {
                s.resultCode = kResConnect;
                break;
            }
            s.resultCode = kResNoCarrier;
            switch ((s.status >> 6) & 0x03) {
                case 2:
                    GSMTimer(m.timer, kTwoMinutes);
                    s.step = 31;
                    break;
                case 0: s.step = 27; break;
                default: s.step = 28; break;
            }
            break;
        case 35:
            if (Newer())
                Command(port, "AT$NETMON=5,2,2,3", 3);
            else
                s.step = 3;
            break;
        default: s.step = 0; break;
    }
    return s.resultCode;
}

void GSMDataCallUp() {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    s.step = 32;
    s.status |= 0x20;
    s.resultCode = kResConnect;
}

namespace {

struct Hangup {
    u8 phase = 0;
    GsmTimer timer;  // the hang-up's own countdown
};
Hangup h;

int Done(int port) {
    Drv(port).FlushRx(static_cast<u32>(port));
    GSMGPRSInfo_St.status &= ~0x20;
    h.phase = 0;
    return 1;
}

void Escape(int port, u8 next) {
    VcommDriver& d = Drv(port);
    u32 p = static_cast<u32>(port);
    if (d.EmptyTx(p) == 0) d.FlushTx(p);
    d.Enable(p, 1);
    d.PutsTx(p, "+++");
    d.RtuTx(p);
    GSMTimer(h.timer, 15000);
    h.phase = next;
}

int Port() { return GSMGPRSInfo_St.port & 0x0F; }

}  // namespace

int GSMSMSDisconnect(int port, int hangUp) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    VcommDriver& d = Drv(port);
    u32 p = static_cast<u32>(port);
    if (static_cast<u32>(port) == ProgrammingPort) Cmd_Override = 1;
    bool escapeOnly = !hangUp && (s.options & 0x02) == 0 && (Carrier(port) || (s.options & 0x01) == 0);
    if (escapeOnly && h.phase < 10) {
        switch (h.phase) {
            case 0:
                d.FlushTx(p);
                s.control |= 0x01;
                d.Enable(p, 0);
                GSMTimer(h.timer, 11000);
                h.phase = 1;
                return 0;
            case 1:
                if (!GSMTimer(h.timer, 0)) return 0;
                Escape(port, 2);
                return 0;
            default:
                if (!GSMTimer(h.timer, 0)) return 0;
                return Done(port);  // held in command mode
        }
    }
    switch (h.phase < 10 ? 10 : h.phase) {
        case 10:
            if (Carrier(port)) {
                s.step = 0;
                d.Enable(p, 0);
                GSMTimer(h.timer, 11000);
                h.phase = 11;
            } else {
                GSMTimer(h.timer, 2500);
                h.phase = 13;
            }
            return 0;
        case 11:
            if (GSMTimer(h.timer, 0)) Escape(port, 13);
            return 0;
        case 13:
            if (!GSMTimer(h.timer, 0)) return 0;
            s.step = 33;
            d.PutsTx(p, (s.options & 0x01) ? "ATHS0=0" : "AT$AREG=0");
            d.PutTx(p, '\r');
            d.RtuTx(p);
            GSMTimer(m.timer, kTenSeconds);
            ClearLine();
            s.step = 34;
            h.phase = 14;
            return 0;
        default: {
            u16 r = GSMGetResult(port);
            if (r == kResNothing) return 0;
            if (Carrier(port)) {
                s.step = 0;
                h.phase = 10;  // the escape and the hang-up once more
                return 0;
            }
            s.status &= ~0x10;
            if (r != 0) s.resultCode = r;
            s.step = 0;
            return Done(port);
        }
    }
}

int GSMGPRSRsrcMngr(int user, int operation) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    bool dataUser = user == 1 || user == 2;
    switch (operation) {
        case 0: return s.owner == user || s.owner == 0 ? 1 : 0;
        case 1: return s.owner == 3 ? 5 : s.owner == 4 ? 7 : s.owner;
        case 2:
            if (s.requester == 0 || (user == 4 && s.owner == 3) || (dataUser && s.owner == 4)) {
                s.requester = static_cast<u8>(user);
                return 1;
            }
            return 0;
        case 3: {
            if (s.requester != 0 && s.requester != user) return s.owner == user ? 2 : 0;
            if (s.owner == user) return 2;
            if (dataUser && (s.control & 0x01)) {
                if ((s.options & 0x01) == 0) return 0;
                int port = Port();
                if (!Carrier(port)) {
                    s.control &= ~0x01;  // the held call is gone
                    m.atoSent = false;
                } else {
                    if (!m.atoSent) {
                        VcommDriver& d = Drv(port);
                        d.FlushRx(static_cast<u32>(port));
                        d.PutsTx(static_cast<u32>(port), "ATO");
                        d.PutTx(static_cast<u32>(port), '\r');
                        d.RtuTx(static_cast<u32>(port));
                        GSMTimer(m.timer, kTenSeconds);
                        ClearLine();
                        m.atoSent = true;
                    }
                    if (GSMGetResult(port) == kResNothing) return 0;
                    s.status |= 0x20;
                    s.resultCode = kResConnect;
                    s.control &= ~0x01;
                    s.step = 32;
                    m.atoSent = false;
                }
            }
            s.owner = static_cast<u8>(user);
            s.requester = 0;
            s.idleTimerStart = 0;
            return 1;
        }
        case 4: {
            u32 now = FPGA_GetFrt();
            if (s.requester != 0 && s.keepConnectedBit != 0) {
                u8 bit = 0;
                GSMPlcReg_Get(&bit, s.keepConnectedBit, 1);
                if (bit & 1) {
                    if ((s.options & 0x08) == 0) {
                        s.options |= 0x08;
                        s.idleTime = 1;
                    }
                    s.idleTimerStart = now - (static_cast<u32>(s.idleTime) * 10000 + 10);
                    if (s.idleTimerStart == 0) s.idleTimerStart = 1;
                    s.control |= 0x10;
                } else if (s.idleTime == 1) {
                    s.options &= ~0x08;
                    s.idleTime = 10;
                }
            }
            int result = 0;
            if (dataUser && (s.requester == 1 || (s.control & 0x08)) && s.owner == 2) {
                s.status &= ~0x10;
                s.step = 0;
                s.owner = 0;
                return 1;
            }
            if ((s.requester == 3 || s.requester == 4) && (s.options & 0x08) && !(s.control & 0x04) &&
                s.resultCode != 2) {
                int port = Port();
                if (Drv(port).CheckRx(static_cast<u32>(port)) == 1 && !(s.control & 0x10)) {
                    s.idleTimerStart = now == 0 ? 1 : now;
                } else {
                    if (s.idleTimerStart == 0) s.idleTimerStart = now == 0 ? 1 : now;
                    if (now - s.idleTimerStart >= static_cast<u32>(s.idleTime) * 10000) {
                        if (GSMSMSDisconnect(port, s.requester == 4) == 0) {
                            result = 2;
                        } else {
                            s.owner = 0;
                            s.idleTimerStart = 0;
                            result = 1;
                        }
                    }
                }
            }
            if (user == 3 || user == 4) {
                s.owner = 0;
                return 1;
            }
            return result;
        }
        case 5: {
            if (s.owner != user) return 1;
            bool hang = !(user == 3 && (s.control & 0x01));
            if (GSMSMSDisconnect(Port(), hang) == 0) return 0;
            s.owner = 0;
            return 1;
        }
        case 6:
            if (s.requester == user || user == 3 || user == 4) s.requester = 0;
            if (s.owner == user) {
                if (dataUser && GSMSMSDisconnect(Port(), 1) == 0) return 0;
                s.owner = 0;
                return 1;
            }
            if (user == 3 && s.owner == 1) s.owner = 0;
            return 1;
        default: return 0;
    }
}

void GsmGprs_Reset() {
    g = State{};
    m = Modem{};
    h = Hangup{};
    GSMGPRSInfo_St = GsmGprsInfo{};
    NWOprtrName[0] = 0;
    NumericOprtCode = 0;
}
