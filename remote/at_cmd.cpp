#include "remote/at_cmd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/fpga.h"
#include "platform/rtclock.h"
#include "remote/cellport.h"
#include "remote/modem.h"
#include "remote/modemsock.h"
#include "storage/dbg_logger.h"

// clang-format off
const AtCmdRecord at_cmd[kAtCmdRows] = {
    {13, "AT#ENHRST=1,0", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 30000},
    {3, "+++", 0, nullptr, 90000, 0x18, 0, 0, 0, 1, 10000},
    {15, "ATE0Q0V1X1Q0&K0", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 10000},
    {13, "AT+IPR=115200", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 10000},
    {10, "AT+IFC=0,0", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 10000},
    {11, "AT+FCLASS=0", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 10000},
    {9, "AT+CFUN=1", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 30000},
    {9, "AT+CMEE=2", 0, nullptr, 10000, 0x18, 0, 13, 0, 1, 10000},
    {8, "AT+CPIN?", 0, nullptr, 1000, 0x19, 0, 13, 0, 1, 100000},
    {0, "=", 5, "READY", 0, 0x10, 0, 0, 0, 7, 100000},
    {0, "!", 7, "SIM PIN", 0, 0x10, 0, 0, 0, 3, 100000},
    {8, "AT+CPIN=", 0, nullptr, 1000, 0x40, 0, 0, 0, 5, 100000},
    {0, "SIM_PIN", 0, nullptr, 0, 0x10, 0, 13, 1, 0, 100000},
    {0, "=", 7, "SIM PUK", 0, 0x10, 0, 0, 0, 1, 100000},
    {8, "AT+CPIN=", 0, nullptr, 1000, 0x0, 0, 0, 0, 2, 100000},
    {0, "SIM_PUK", 0, nullptr, 0, 0x10, 0, 13, 2, 0, 100000},
    {8, "AT+CREG?", 6, "+CREG:", 100000, 0x19, 0, 13, 0, 1, 10000},
    {0, "#2", 0, nullptr, 0, 0x10, 44, 0, 0, 1, 10000},
    {0, "=", 1, "1", 0, 0x10, 0, 0, 0, 10, 10000},
    {0, "=", 1, "2", 0, 0x10, 0, 0, 0, -3, 10000},
    {0, "=", 1, "5", 0, 0x10, 0, 0, 0, 1, 10000},
    {0, "%F-MANUAL_REG FLAG", 1, "N", 0, 0x10, 0, 0, 4, 1, 10000},
    {0, "=", 1, "1", 0, 0x10, 0, 0, 0, 2, 10000},
    {9, "AT+COPS=0", 0, nullptr, 2000000, 0x7c, 0, 13, 0, 5, 10000},
    {9, "AT+COPS=?", 0, nullptr, 2000000, 0x19, 44, 13, 0, 1, 10000},
    {0, "$N-SEARCH_NETWORK", 0, nullptr, 0, 0x18, 0, 13, 4, 1, 10000},
    {12, "AT+COPS=1,2,", 0, nullptr, 1000000, 0x68, 0, 0, 0, 2, 10000},
    {0, "%1-NET CODE", 0, nullptr, 0, 0x18, 0, 13, 0, 0, 10000},
    {12, "AT#AUTOATT=0", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {12, "AT#SGACT=1,0", 7, "#SGACT:", 100000, 0x10, 0, 13, 0, 1, 10000},
    {8, "AT+CSCA=", 0, nullptr, 10000, 0x4, 0, 0, 0, 2, 10000},
    {0, "SMS_CENTRE_NUM", 0, nullptr, 0, 0x10, 0, 13, 3, 0, 10000},
    {9, "AT+CMGF=1", 0, nullptr, 10000, 0x14, 0, 13, 0, 1, 10000},
    {18, "AT+CSMP=17,167,0,0", 0, nullptr, 10000, 0x14, 0, 13, 0, 1, 10000},
    {8, "AT+CMGS=", 1, ">", 500000, 0x82, 0, 0, 0, 2, 10000},
    {0, "%1-SMS NUMBER", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {0, "%2-SMS DATA", 6, "+CMGS:", 500000, 0x14, 0, 26, 0, 1, 10000},
    {13, "AT+CMGL=\"ALL\"", 7, "+CMGL: ", 100000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1P1-DATA PTR", 0, nullptr, 0, 0x10, 0, 0, 0, 1, 10000},
    {8, "AT+CMGD=", 1, "N", 100000, 0xc0, 0, 0, 0, 1, 10000},
    {0, "%1-MSG INDEX", 0, nullptr, 0, 0x14, 0, 13, 0, 1, 10000},
    {9, "AT$GPSP=1", 0, nullptr, 1000, 0xf0, 0, 13, 0, 1, 10000},
    {19, "AT+CGDCONT=1,\"IP\",\"", 0, nullptr, 100000, 0x0, 0, 0, 0, 5, 10000},
    {0, "APN", 0, nullptr, 0, 0x0, 0, 0, 5, 0, 10000},
    {3, "\",\"", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
    {0, "PDP_ADR", 0, nullptr, 0, 0x0, 0, 0, 6, 0, 10000},
    {5, "\",0,0", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {27, "AT#SCFG = 1,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {27, "AT#SCFG = 2,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {27, "AT#SCFG = 3,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {27, "AT#SCFG = 4,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {27, "AT#SCFG = 5,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {27, "AT#SCFG = 6,1,300,90,600,50", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 1, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 2, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 3, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 4, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 5, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {28, "AT#SCFGEXT = 6, 0, 0, 0, 0,1", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {29, "AT#FRWL=1,\"0.0.0.0\",\"0.0.0.0\"", 0, nullptr, 10000, 0x10, 0, 13, 0, 1, 10000},
    {14, "AT#SGACT=1,1,\"", 7, "#SGACT:", 500000, 0x101, 0, 0, 0, 5, 10000},
    {0, "USERNAME", 0, nullptr, 0, 0x0, 0, 0, 7, 0, 10000},
    {3, "\",\"", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
    {0, "PASSWORD", 0, nullptr, 0, 0x0, 0, 0, 8, 0, 10000},
    {1, "\"", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {0, "#1C1-SAVE IP", 0, nullptr, 0, 0x0, 0, 16, 0, 1, 10000},
    {6, "AT#SL=", 0, nullptr, 500000, 0x124, 0, 0, 0, 5, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%2-OPEN OR CLOSE", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%3-PORT NUMBER", 0, nullptr, 0, 0x130, 0, 13, 0, 0, 10000},
    {9, "AT#SLUDP=", 0, nullptr, 100000, 0x124, 0, 0, 0, 5, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%2-OPEN OR CLOSE", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%3-PORT NUMBER", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {6, "AT#SD=", 0, nullptr, 500000, 0x164, 0, 0, 0, 9, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%2-CONNECTION TYPE", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%3-DIAL_PORT", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {1, "\"", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
    {0, "%4-DIAL_IP", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
    {3, "\",0", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%5-DIAL_UDP_PORT", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {1, "1", 0, nullptr, 0, 0x170, 0, 13, 0, 0, 10000},
    {255, "BREAK COMMAND", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
    {0, "UNSOLICITED RESPONSE", 6, "SRING:", 0, 0x1, 0, 0, 0, 1, 10000},
    {0, "#1S1-CONNECTION ID", 0, nullptr, 0, 0x0, 44, 0, 0, 1, 10000},
    {0, "#2S2-BYTE COUNT", 0, nullptr, 0, 0x0, 44, 0, 0, 1, 10000},
    {0, "=", 1, "", 0, 0x18, 0, 0, 0, 6, 10000},
    {9, "AT#SRECV=", 7, "#SRECV:", 100000, 0x1a5, 0, 0, 0, 3, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%2-BYTE COUNT", 0, nullptr, 100000, 0x1b0, 0, 13, 0, 0, 10000},
    {0, "#2P3-BYTE COUNT", 0, nullptr, 100000, 0x10, 44, 0, 0, 1, 10000},
    {0, "#2P4-SAVE DATA", 0, nullptr, 100000, 0x10, 10, 0, 0, 1, 10000},
    {6, "AT#SA=", 0, nullptr, 100000, 0x144, 0, 0, 0, 3, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {1, "1", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {5, "AT#SS", 4, "#SS:", 100000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1S1-SOCKET STATUS", 0, nullptr, 0, 0x0, 0, 0, 0, 1, 10000},
    {12, "AT#SSENDEXT=", 1, ">", 1000000, 0x186, 0, 0, 0, 3, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x0, 0, 44, 0, 0, 10000},
    {0, "%2-BYTE COUNT", 0, nullptr, 1000000, 0x10, 0, 13, 0, 0, 10000},
    {0, "%3P-DATA", 0, nullptr, 1000000, 0x14, 0, 0, 0, 1, 10000},
    {6, "AT#SH=", 0, nullptr, 100000, 0x4, 0, 0, 0, 2, 10000},
    {0, "%1-CONNECTION ID", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {6, "AT+CSQ", 5, "+CSQ:", 100000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1P1-DATA PTR", 0, nullptr, 0, 0x10, 0, 0, 0, 1, 10000},
    {7, "AT#MONI", 5, "#MONI", 100000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1P1-DATA PTR", 0, nullptr, 0, 0x10, 0, 0, 0, 1, 10000},
    {7, "AT+CGSN", 0, nullptr, 10000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1C1-SAVE IMEI", 0, nullptr, 0, 0x10, 0, 16, 0, 1, 10000},
    {7, "AT+CNUM", 6, "+CNUM:", 10000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#2C2-SAVE Ph.No", 0, nullptr, 0, 0x10, 44, 20, 0, 1, 10000},
    {8, "AT+COPS?", 6, "+COPS:", 10000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#3C3-SAVE Nw Name", 0, nullptr, 0, 0x10, 44, 16, 0, 1, 10000},
    {6, "AT+GMR", 0, nullptr, 10000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1C4-Sw Version", 0, nullptr, 0, 0x10, 0, 16, 0, 1, 10000},
    {6, "AT+GMM", 0, nullptr, 10000, 0x11, 0, 13, 0, 1, 10000},
    {0, "#1P5-Modem Model", 0, nullptr, 0, 0x10, 0, 16, 0, 1, 10000},
    {255, "END AT COMMAND", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
};

const AtCmdRecord at_cmd_ext[kAtCmdExtRows] = {
    {8, "AT+CPIN?", 0, nullptr, 1000, 0x19, 0, 13, 0, 1, 100000},
    {0, "=", 5, "READY", 0, 0x10, 0, 0, 0, 7, 100000},
    {0, "!", 7, "SIM PIN", 0, 0x10, 0, 0, 0, 3, 100000},
    {8, "AT+CPIN=", 0, nullptr, 1000, 0x40, 0, 0, 0, 5, 100000},
    {0, "SIM_PIN", 0, nullptr, 0, 0x10, 0, 13, 1, 0, 100000},
    {0, "=", 7, "SIM PUK", 0, 0x10, 0, 0, 0, 1, 100000},
    {8, "AT+CPIN=", 0, nullptr, 1000, 0x0, 0, 0, 0, 2, 100000},
    {0, "SIM_PUK", 0, nullptr, 0, 0x10, 0, 13, 2, 0, 100000},
    {8, "AT+CSCA=", 0, nullptr, 10000, 0x4, 0, 0, 0, 2, 10000},
    {0, "SMS_CENTRE_NUM", 0, nullptr, 0, 0x10, 0, 13, 3, 0, 10000},
    {9, "AT+CMGF=1", 0, nullptr, 10000, 0x14, 0, 13, 0, 1, 10000},
    {18, "AT+CSMP=17,167,0,0", 0, nullptr, 10000, 0x14, 0, 13, 0, 1, 10000},
    {8, "AT+CMGS=", 1, ">", 500000, 0x82, 0, 0, 0, 2, 10000},
    {0, "%1-SMS NUMBER", 0, nullptr, 0, 0x10, 0, 13, 0, 0, 10000},
    {0, "%2-SMS DATA", 6, "+CMGS:", 500000, 0x14, 0, 26, 0, 1, 10000},
    {13, "AT+CMGL=\"ALL\"", 7, "+CMGL: ", 100000, 0xb1, 0, 13, 0, 1, 10000},
    {0, "#1P1-DATA PTR", 0, nullptr, 0, 0x10, 0, 0, 0, 1, 10000},
    {8, "AT+CMGD=", 1, "N", 100000, 0xc0, 0, 0, 0, 1, 10000},
    {0, "%1-MSG INDEX", 0, nullptr, 0, 0x14, 0, 13, 0, 1, 10000},
    {255, "END AT COMMAND", 0, nullptr, 0, 0x0, 0, 0, 0, 0, 10000},
};
// clang-format on

AtParam ConfigDataInStr[kAtParams];
AtSlot at_stack_data[kAtSlots];
AtStatus at_status;

namespace {

constexpr u16 kDbgModem = 1;
constexpr u32 kDebugLine = 32;
constexpr u32 kWalkLimit = 256;  // directive records one walk may interpret

// The reader's state, kept across calls and commands so that a reply split
// over passes is recognised as one.
struct Reader {
    int state = 0;
    bool oSeen = false;
    int lastLogged = 1;
    char line[kDebugLine + 1] = {};
    u32 lineFill = 0;
};

struct Engine {
    Reader reader;
    AtItem scratch;  // field copies of directives without a slot
    AtItem netItem;  // the operator code as slot 1 sends it
    char flagText[2] = {};
    u8 cntz = 26;
};
Engine g;

void Log(const char* text) { DBG_WriteLog(kDbgModem, text); }

// The table a record belongs to, as [first, end).
void TableOf(const AtCmdRecord* r, const AtCmdRecord** first, const AtCmdRecord** end) {
    if (r >= at_cmd_ext && r < at_cmd_ext + kAtCmdExtRows) {
        *first = at_cmd_ext;
        *end = at_cmd_ext + kAtCmdExtRows;
    } else {
        *first = at_cmd;
        *end = at_cmd + kAtCmdRows;
    }
}

// Moves a record pointer within its table; a move outside it lands on the
// table's last row (a marker, which ends every walk and send).
const AtCmdRecord* Move(const AtCmdRecord* r, i32 by) {
    const AtCmdRecord *first, *end;
    TableOf(r, &first, &end);
    i64 at = (r - first) + static_cast<i64>(by);
    if (at < 0 || at >= end - first) return end - 1;
    return first + at;
}

bool IsMarker(const AtCmdRecord* r) { return r->length == 255; }

// Searches `needle` (n bytes) in the first `m` bytes of `hay`.
const char* Find(const char* hay, u32 m, const char* needle, u32 n) {
    if (n == 0) return hay;
    if (n > m) return nullptr;
    for (u32 i = 0; i + n <= m; ++i)
        if (std::memcmp(hay + i, needle, n) == 0) return hay + i;
    return nullptr;
}

void SendBytes(const u8* data, u32 n) {
    VcommDriver& d = AtPort(at_status.port);
    while (n > 0) {
        u32 piece = std::min<u32>(n, 255);
        d.PutnTx(at_status.port, data, piece);
        data += piece;
        n -= piece;
    }
}

// Logs what was sent: at most its first 31 characters.
void LogSent(const u8* data, u32 n) {
    char line[32];
    u32 k = std::min<u32>(n, 31);
    std::memcpy(line, data, k);
    line[k] = 0;
    Log(line);
}

// --- send state ---
void SendRecord(const AtCmdRecord* r) {
    VcommDriver& d = AtPort(at_status.port);
    if (r->length != 0) {
        d.PutnTx(at_status.port, reinterpret_cast<const u8*>(r->text), r->length);
        d.RtuTx(at_status.port);
        LogSent(reinterpret_cast<const u8*>(r->text), r->length);
    } else {
        AtDataRequest q;
        q.parameter = r->parameter;
        q.text = r->text;
        q.table = at_status.params;
        AT_Cmd_GetData(&q);
        if (q.data != nullptr && q.length != 0) {
            SendBytes(q.data, q.length);
            LogSent(q.data, q.length);
        }
        d.RtuTx(at_status.port);
    }
    d.FlushRx(at_status.port);
    at_status.count = 0;
    if (r->terminator != 0) {
        d.PutTx(at_status.port, static_cast<u8>(r->terminator));
        if (r->terminator >= 256) d.PutTx(at_status.port, static_cast<u8>(r->terminator >> 8));
        d.RtuTx(at_status.port);
        if (r->terminator == 26) Send_AT_Command(1, &g.cntz);
    }
    if (r->wait != 0) {
        ModemTimer(&at_status.timerStart, 0);
        at_status.timeout = r->wait;
        at_status.engineState = kAtWait;
    }
}

// --- reply walk ---
struct Walk {
    const char* text;  // text under examination
    u32 m;             // its length
};

// Field n of the reply (always the reply, not an earlier copy); nullptr when missing.
const char* LocateField(const AtCmdRecord* r, u32 n, const char* reply, u32 m) {
    if (r->delimiter == 0 || n < 2) return reply;
    const char* p = reply;
    const char* end = reply + m;
    for (u32 found = 0; found < n - 1; ++found) {
        const char* d = static_cast<const char*>(std::memchr(p, static_cast<char>(r->delimiter), end - p));
        if (d == nullptr) return nullptr;
        p = d + 1;
    }
    return p;
}

bool Printable(char c) { return c >= '!' && c <= 'z'; }

// "#n[K]k": a field of the reply into a slot.
bool FieldDirective(const AtCmdRecord* r, Walk* w, const char* reply, u32 replyCount) {
    const char* t = r->text + 1;
    u32 n = 0;
    while (*t >= '0' && *t <= '9' && n < 1000) n = n * 10 + static_cast<u32>(*t++ - '0');
    char kind = 0;
    if (*t == 'S' || *t == 'C' || *t == 'P') kind = *t++;
    u32 slot = (*t >= '1' && *t <= '6') ? static_cast<u32>(*t - '1') : kAtSlots;
    const char* end = reply + replyCount;
    const char* field = LocateField(r, n, reply, replyCount);
    if (field == nullptr) return false;
    u32 room = static_cast<u32>(end - field);
    char delim = static_cast<char>(r->delimiter);
    if (kind == 'P') {
        if (slot >= kAtSlots) return false;
        at_stack_data[slot].field = field;
        at_stack_data[slot].fieldRoom = static_cast<u16>(room);
        return true;
    }
    if (kind == 'C') {
        if (slot >= kAtSlots) return false;
        AtSlot& s = at_stack_data[slot];
        if (s.buffer == nullptr || s.capacity == 0) return false;
        u32 max = std::min<u32>(r->terminator, s.capacity - 1u);
        u32 limit = std::min<u32>(room, w->m);
        u32 i = 0, copied = 0;
        while (i < limit && !Printable(field[i]) && !(delim && field[i] == delim)) ++i;
        while (i < limit && copied < max && Printable(field[i]) && !(delim && field[i] == delim))
            s.buffer[copied++] = field[i++];
        s.buffer[copied] = 0;
        if (slot == 2) {
            at_status.accessTech = 0;
            if (i < room && field[i] == ',') {
                u32 v = 0;
                for (u32 j = i + 1; j < room && field[j] >= '0' && field[j] <= '9' && v < 256; ++j)
                    v = v * 10 + static_cast<u32>(field[j] - '0');
                at_status.accessTech = static_cast<u8>(v);
            }
        }
        w->text = s.buffer;
        w->m = copied;
        return copied != 0;
    }
    AtItem* item = kind == 'S' ? (slot < kAtSlots ? at_stack_data[slot].item : nullptr) : &g.scratch;
    if (item == nullptr) return false;
    u32 limit = std::min<u32>({room, w->m, kAtItemMax});
    u32 copied = 0;
    while (copied < limit && !(delim && field[copied] == delim)) {
        item->text[copied] = field[copied];
        ++copied;
    }
    item->text[copied] = 0;
    item->length = static_cast<u16>(copied);
    w->text = item->text;
    w->m = copied;
    return copied != 0;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// "$N": the configured operator in a network list, and its numeric code.
bool NetworkLookup(const AtCmdRecord* r, char* reply, u32 replyCount) {
    auto& code = at_status.netCode;
    at_stack_data[0].item = nullptr;
    for (u32 i = 0; i < replyCount && reply[i] != 0; ++i) reply[i] = Upper(reply[i]);
    const AtParam* name = (r->parameter >= 1 && r->parameter <= kAtParams) ? &at_status.params[r->parameter - 1]
                                                                            : nullptr;
    char upper[kAtParamMax + 1] = {};
    u32 n = 0;
    if (name != nullptr)
        for (; n < name->length && n < kAtParamMax; ++n) upper[n] = Upper(name->text[n]);
    const char* at = n != 0 ? Find(reply, replyCount, upper, n) : nullptr;
    AtItem& item = g.netItem;
    if (at == nullptr) {
        std::strcpy(code.text, "0");
        code.length = 1;
        item.Set("0");
        at_stack_data[0].item = &item;
        return false;
    }
    const char* end = reply + replyCount;
    char digits[sizeof code.text] = {};
    u32 count = 0;
    u16 length = 0;
    for (const char* p = at + n; p < end; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            if (count < sizeof digits - 1) digits[count++] = c;
            if (p + 1 < end && p[1] == '"') {
                length = static_cast<u16>(count);
                break;
            }
        } else if (c == '"') {
            length = static_cast<u16>(count);
        } else if (c == 0 || c == ')' || c == '\n' || c == '\r') {
            break;
        } else {
            count = 0;
        }
    }
    std::memcpy(code.text, digits, length);
    code.text[length] = 0;
    code.length = length;
    item.length = length;
    std::memcpy(item.text, code.text, length + 1u);
    at_stack_data[0].item = &item;
    return true;
}

// Walks the directive records from first + jump; p ends on a command record.
const AtCmdRecord* RunWalk(const AtCmdRecord* first) {
    const AtCmdRecord* p = Move(first, first->jump);
    char* reply = at_status.reply;
    u32 replyCount = at_status.count;
    Walk w{reply, replyCount};
    for (u32 steps = 0; p->length == 0 && steps < kWalkLimit; ++steps) {
        bool ok = false;
        switch (p->text[0]) {
            case '=':
            case '!': {
                const char* t = p->reply != nullptr ? p->reply : "";
                bool found = Find(w.text, w.m, t, static_cast<u32>(std::strlen(t))) != nullptr;
                ok = p->text[0] == '=' ? found : !found;
                break;
            }
            case '#': ok = FieldDirective(p, &w, reply, replyCount); break;
            case '$':
                ok = NetworkLookup(p, reply, replyCount);
                break;
            case '%': {
                bool set = p->parameter >= 1 && p->parameter <= kAtParams &&
                           at_status.params[p->parameter - 1].length != 0;
                g.flagText[0] = set ? '1' : '0';
                w.text = g.flagText;
                w.m = 1;
                ok = set;
                break;
            }
            default: break;
        }
        at_status.result = ok ? kAtOk : kAtFail;
        p = ok ? Move(p, p->jump == 0 ? 1 : p->jump) : Move(p, 1);
    }
    return p;
}

// --- end of a step ---
void CountError(int tag) {
    at_status.errorCount++;
    char line[48];
    std::snprintf(line, sizeof line, "ERR %d %d\n", tag, at_status.errorCount);
    Log(line);
}

u8 EndStep(const AtCmdRecord* first, const AtCmdRecord* p) {
    at_status.engineState = kAtDone;
    if (at_status.result == kAtTimeout && at_status.letter != 'T') {
        at_status.errorClassBits |= 0x01;
        CountError(1);
    } else {
        at_status.errorClassBits &= ~0x01;
    }
    if (at_status.result == kAtFail) {
        switch ((first->flags >> 5) & 0x0F) {
            case 1: CountError(2); break;
            case 2: at_status.errorClassBits |= 0x02; CountError(3); break;
            case 3: at_status.errorClassBits |= 0x04; CountError(4); break;
            case 4: at_status.errorClassBits |= 0x10; CountError(5); break;
            case 5: CountError(8); break;
            case 6: at_status.errorClassBits |= 0x20; break;
            case 7: at_status.errorClassBits |= 0x40; break;
            case 8: at_status.errorClassBits |= 0x80; break;
            case 9: ModemSocket_SetFlag(at_status.currentSocket, 0x08); CountError(6); break;
            case 10:
            case 11: ModemSocket_SetFlag(at_status.currentSocket, 0x10); CountError(7); break;
            case 12: ModemSocket_SetFlag(at_status.currentSocket, 0x20); break;
            case 13: ModemSocket_SetFlag(at_status.currentSocket, 0x40); break;
            default: break;
        }
    }
    if (at_status.errorCount >= 10) {
        RTCTime now{};
        RtcGet(&now);
        char line[64];
        std::snprintf(line, sizeof line, "ERR COUNT %d %02d:%02d:%02d\n", at_status.errorCount, now.hour, now.minute,
                      now.second);
        Log(line);
        at_status.errorCount = 0;
        ModemReset();
        // The reset leaves the engine in its send state; the step is still over.
        at_status.engineState = kAtDone;
    }
    for (u32 guard = 0; p->length == 0 && guard < kWalkLimit; ++guard) p = Move(p, 1);
    return static_cast<u8>((p - first) & 0xFF);
}

}  // namespace

void AtItem::Set(const char* t) {
    u32 n = static_cast<u32>(std::min<size_t>(std::strlen(t), kAtItemMax));
    std::memcpy(text, t, n);
    text[n] = 0;
    length = static_cast<u16>(n);
}

void AtParam_Set(u32 n, const char* text, u32 length) {
    if (n < 1 || n > kAtParams) return;
    AtParam& p = ConfigDataInStr[n - 1];
    u32 k = text == nullptr ? 0 : std::min<u32>(length, kAtParamMax);
    if (k != 0) std::memcpy(p.text, text, k);
    p.text[k] = 0;
    p.length = static_cast<u16>(k);
}

VcommDriver& AtPort(u32 port) {
    if (port == kCellPort) return CellPort_Driver();
    return Vcomm_Drv[port == 1 ? 1 : 0];
}

int ModemTimer(u32* start, u32 period) {
    u32 now = FPGA_GetFrt();
    if (period == 0) {
        *start = now;
        return 1;
    }
    return now - *start >= period ? 1 : 0;
}

void Send_AT_Command(u32 length, const u8* data) {
    SendBytes(data, length);
    AtPort(at_status.port).RtuTx(at_status.port);
}

void AT_Cmd_GetData(AtDataRequest* q) {
    q->length = 0;
    q->data = nullptr;
    AtParam* table = q->table != nullptr ? q->table : ConfigDataInStr;
    if (q->parameter >= 1 && q->parameter <= kAtParams) {
        const AtParam& p = table[q->parameter - 1];
        q->length = std::min<u16>(p.length, kAtParamMax);
        q->data = reinterpret_cast<const u8*>(p.text);
        return;
    }
    if (q->parameter != 0 || q->text == nullptr || q->text[0] != '%') return;
    char d = q->text[1];
    if (d < '1' || d > '6') return;
    const AtSlot& s = at_stack_data[d - '1'];
    if (q->text[2] == 'P') {
        q->length = s.pairLength;
        q->data = s.pairData;
    } else if (s.item != nullptr) {
        q->length = std::min<u16>(s.item->length, kAtItemMax);
        q->data = reinterpret_cast<const u8*>(s.item->text);
    }
    if (q->data == nullptr) q->length = 0;
}

int AT_Cmd_ReadReply(char* buffer, u16 capacity) {
    Reader& rd = g.reader;
    VcommDriver& d = AtPort(at_status.port);
    int result = 0;
    int cut = -1;
    u32 firstThisCall = at_status.count;
    while (at_status.count < capacity && d.CheckRx(at_status.port) == 1) {
        char b = static_cast<char>(d.GetRx(at_status.port));
        buffer[at_status.count++] = b;
        rd.line[rd.lineFill++] = b;
        if (rd.lineFill == kDebugLine) {
            rd.line[kDebugLine] = 0;
            Log(rd.line);
            rd.lineFill = 0;
            rd.oSeen = false;
        }
        // The final "OK" and the line end before it are cut off; a bare
        // "OK" leaves nothing.
        auto takeOk = [&] {
            result = kAtOk;
            cut = at_status.count >= 4 ? at_status.count - 4 : 0;
            rd.state = 7;
        };
        if (rd.oSeen && b == 'K') {
            rd.oSeen = false;
            takeOk();
            continue;
        }
        rd.oSeen = false;
        int s = rd.state;
        int next = -1;
        switch (s) {
            case 0:
                if (b == 'O') next = 3, rd.oSeen = true;
                else if (b == '+') next = 3;
                break;
            case 1:
                if (b == 'O') next = 3, rd.oSeen = true;
                else if (b == '\n') next = 2;
                break;
            case 2:
                if (b == 'O') next = 3, rd.oSeen = true;
                else if (b == 'E' || b == 'S' || b == '+') next = 3;
                break;
            case 3:
                if (b == 'K') {
                    takeOk();
                    continue;
                }
                if (b == 'R' || b == 'C') next = 4;
                break;
            case 4:
                if (b == 'R' || b == 'I' || b == 'M') next = 5;
                break;
            case 5:
                if (b == 'E' || b == 'N' || b == 'O' || b == 'S') next = 6;
                break;
            case 6:
                if (b == 'R') {
                    result = kAtFail;
                    next = 7;
                } else if (b == ' ') {
                    next = 2;
                } else if (b == 'G') {
                    at_status.pollFlags |= 0x01;  // incoming ring "SRING"
                    next = 7;
                }
                break;
            default: break;
        }
        if (next < 0) next = (b == '\r' && s <= 6) ? 1 : 0;
        rd.state = next;
    }
    u32 received = at_status.count;
    if (cut >= 0) at_status.count = static_cast<u16>(cut);
    if (rd.lineFill != 0) {
        rd.line[rd.lineFill] = 0;
        Log(rd.line);
        rd.lineFill = 0;
    }
    u32 n = at_status.count;
    if (n >= 4 && std::memcmp(buffer + n - 4, "\r\n> ", 4) == 0 && (at_status.linkFlags & 0x03) == 0x02) {
        at_status.linkFlags |= 0x01;
        result = kAtPrompt;
    }
    if (received > firstThisCall && Find(buffer + firstThisCall, received - firstThisCall, "NO CARRIER", 10))
        at_status.linkFlags |= 0x04;
    if (result != rd.lastLogged) {
        char line[16];
        std::snprintf(line, sizeof line, "RET %d", result);
        Log(line);
        rd.lastLogged = result;
    }
    return result;
}

u8 AT_Cmd_Handler(const AtCmdRecord* first) {
    if (first == nullptr || IsMarker(first)) return 0;
    if (at_status.reply == nullptr || at_status.capacity == 0) {
        at_status.reply = at_status.replyBuffer;
        at_status.capacity = kAtReplyBytes;
    }
    if (at_status.engineState == kAtSend) {
        const AtCmdRecord* p = first;
        for (u32 guard = 0; guard < kWalkLimit && !IsMarker(p); ++guard) {
            SendRecord(p);
            if (p->flags & kAtLastOfGroup) break;
            p = Move(p, 1);
        }
        return 0;
    }
    if (at_status.engineState == kAtWait) {
        int r = AT_Cmd_ReadReply(at_status.reply, at_status.capacity);
        if (r == 0) {
            if (at_status.count >= at_status.capacity) {
                at_status.result = kAtFail;
            } else if (ModemTimer(&at_status.timerStart, at_status.timeout)) {
                at_status.result = kAtTimeout;
            } else {
                return 0;
            }
            return EndStep(first, Move(first, first->jump));
        }
        if (r == kAtFail) {
            at_status.result = kAtFail;
            return EndStep(first, Move(first, first->jump));
        }
        if (first->replyLength == 0 || first->reply == nullptr) {
            if (first->flags & kAtParse) {
                at_status.engineState = kAtWalk;
            } else {
                at_status.result = r;
                return EndStep(first, Move(first, first->jump));
            }
        } else {
            u32 n = static_cast<u32>(std::strlen(first->reply));
            const char* at = Find(at_status.reply, at_status.count, first->reply, n);
            if (at == nullptr) {
                at_status.result = kAtFail;
                return EndStep(first, Move(first, first->jump));
            }
            at_status.result = kAtFound;
            if (first->flags & kAtParse) {
                u32 skip = static_cast<u32>(at - at_status.reply) + n;
                at_status.count = static_cast<u16>(at_status.count - skip);
                at_status.reply += skip;
                at_status.capacity = static_cast<u16>(at_status.capacity - skip);
                at_status.engineState = kAtWalk;
            } else if (first->flags & kAtContinue) {
                at_status.engineState = kAtSend;
                return static_cast<u8>(first->jump & 0xFF);
            } else {
                at_status.result = kAtOk;
                return EndStep(first, Move(first, first->jump));
            }
        }
    }
    if (at_status.engineState == kAtWalk) return EndStep(first, RunWalk(first));
    return 0;
}

void AtCmd_ResetReader() { g.reader = Reader{}; }

void AtCmd_Reset() {
    g = Engine{};
    at_status = AtStatus{};
    for (AtSlot& s : at_stack_data) s = AtSlot{};
    for (AtParam& p : ConfigDataInStr) p = AtParam{};
}
