#include "remote/modem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "link/command.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "remote/at_cmd.h"
#include "remote/cellport.h"
#include "remote/gsmgprs.h"
#include "remote/modemsock.h"
#include "remote/msgcfg.h"
#include "storage/dbg_logger.h"

u8 ExternalModem = 0;
u8 TelitPowerON = 0;
u16 SigStCSQ = 0;
const char* const Modm_model[7] = {"UNKNOWN", "GE910-QUAD", "GE910-GNSS", "HE910-D", "GE865", "LE910-D", "LE920-D"};

namespace {

constexpr u32 kSecond = 10000;
constexpr u32 kScratchBytes = 1600;
constexpr u8 kLetterIdle = 'z', kLetterIdent = 'l', kLetterSignalInt = 'j', kLetterSignalExt = 'h',
             kLetterRing = 'T', kLetterList = 0x60;
constexpr u8 kModemMode[kVcommModeBytes] = {9, 0, 3, 0, 0, 1};  // 115200 8N1, no line control, protocol 1

const i8 sigst[32] = {-113, -111, -109, -107, -105, -103, -101, -99, -97, -95, -93, -91, -89, -87, -85, -83,
                      -81,  -79,  -77,  -75,  -73,  -71,  -69,  -67, -65, -63, -61, -59, -57, -55, -53, -51};

// Power-up of the internal module: power line on, then "AT" once a second
// until the module answers "OK".
enum class Power : u8 { Off, Probing, Ready };

struct State {
    bool initRunning = false;
    bool pausing = false;
    u32 pauseStart = 0, pauseLength = 0;
    char scratch[kScratchBytes] = {};
    AtItem scratchItem1, scratchItem2;
    Power power = Power::Off;
    u32 probeTimer = 0;
    char probe[16] = {};
    u32 probeFill = 0;
};
State g;

VcommDriver& Port() { return AtPort(at_status.port); }

void Log(const char* text) { DBG_WriteLog(1, text); }

void LogStatus(u8 advanced) {
    char line[32];
    std::snprintf(line, sizeof line, "Status:%d %d\n", at_status.result, advanced);
    Log(line);
}

// Starts a script step on the scratch buffer.
void StartStep(const AtCmdRecord* at, char* buffer, u16 capacity) {
    at_status.position = at;
    at_status.reply = buffer;
    at_status.capacity = capacity;
    at_status.count = 0;
    at_status.engineState = kAtSend;
}

void BackToIdle() { at_status.letter = CheckInit() ? kLetterIdle : 0; }

// Selects the modem and opens its port; false when there is none this pass.
bool Select() {
    const CfgSetUp* sms = nullptr;
    bool smsPresent = MsgCfg_Current(&sms) == kMagicSmv1;
    if (GSMGPRSInfo_St.magic != kMagicGsme && !smsPresent) return false;
    if (Modem_InternalModule(io_init[1])) {
        at_status.port = kCellPort;
        ExternalModem = 0;
        u16 sr163 = SR_Get(163);
        if (sr163 == 11 || sr163 == 13) Cmd_Override = 1;
        VcommDriver& d = CellPort_Driver();
        if (d.mode[kSomBaud] != 9 && d.Open(kCellPort, kModemMode)) d.FlushRx(kCellPort);
        return true;
    }
    if (!smsPresent || (GSMGPRSInfo_St.options & 0x04) == 0 || Cmd_Downloading) return false;
    at_status.port = sms->atPort > 1 ? 0 : sms->atPort;
    TelitPowerON = 1;
    ExternalModem = 1;
    VcommDriver& d = Port();
    if (d.mode[kSomBaud] != sms->comportCfg[kSomBaud]) {
        if (at_status.port == ProgrammingPort) Cmd_Override = 1;
        d.Open(at_status.port, sms->comportCfg);
        d.FlushRx(at_status.port);
    }
    return true;
}

// The internal module's power-up; sets TelitPowerON once it answers.
void PowerUp() {
    if (ExternalModem || TelitPowerON) return;
    VcommDriver& d = Port();
    if (g.power == Power::Off) {
        IoCommPwr(static_cast<int>(kCellPort), 1);
        g.power = Power::Probing;
        g.probeFill = 0;
        ModemTimer(&g.probeTimer, 0);
        d.PutsTx(kCellPort, "AT\r");
        return;
    }
    while (d.CheckRx(kCellPort) == 1) {
        char c = static_cast<char>(d.GetRx(kCellPort));
        if (g.probeFill < sizeof g.probe - 1) g.probe[g.probeFill++] = c;
        g.probe[g.probeFill] = 0;
        if (std::strstr(g.probe, "OK") != nullptr) {
            g.power = Power::Ready;
            TelitPowerON = 1;
            d.FlushRx(kCellPort);
            Log("Modem ready\n");
            return;
        }
        if (c == '\n') g.probeFill = 0;
    }
    if (ModemTimer(&g.probeTimer, kSecond)) {
        ModemTimer(&g.probeTimer, 0);
        g.probeFill = 0;
        d.PutsTx(kCellPort, "AT\r");
    }
}

void Initialise() {
    PowerUp();
    if (!TelitPowerON) return;
    if (g.pausing) {
        if (!ModemTimer(&g.pauseStart, g.pauseLength)) return;
        g.pausing = false;
    }
    const CfgSetUp* sms = nullptr;
    MsgCfg_Current(&sms);
    if (!g.initRunning) {
        g.initRunning = true;
        AtParam_Set(1, sms->pin, static_cast<u32>(std::strlen(sms->pin)));
        AtParam_Set(3, sms->centre, static_cast<u32>(std::strlen(sms->centre)));
        if (ExternalModem) {
            at_status.recordsRemaining = kExtRowInitCount;
            StartStep(&at_cmd_ext[kExtRowInit], g.scratch, kScratchBytes);
        } else {
            GSMGPRSOprtor();
            at_status.recordsRemaining = kRowInitCount;
            StartStep(&at_cmd[kRowInit], g.scratch, kScratchBytes);
        }
        at_status.params = ConfigDataInStr;
    }
    const AtCmdRecord* first = at_status.position;
    u8 advanced = AT_Cmd_Handler(first);
    if (at_status.engineState != kAtDone) return;
    if (!g.initRunning) return;  // the tenth counted error reset the modem meanwhile
    LogStatus(advanced);
    if (first->pause != 0) {
        g.pausing = true;
        g.pauseLength = first->pause;
        ModemTimer(&g.pauseStart, 0);
    }
    u8 take = advanced <= at_status.recordsRemaining ? advanced : at_status.recordsRemaining;
    const AtCmdRecord* next = first + take;
    at_status.recordsRemaining = static_cast<u8>(at_status.recordsRemaining - take);
    const AtCmdRecord* csca = ExternalModem ? &at_cmd_ext[kExtRowCsca] : &at_cmd[kRowCsca];
    if (next == csca && ConfigDataInStr[2].length == 0 && at_status.recordsRemaining >= 2) {
        next += 2;
        at_status.recordsRemaining = static_cast<u8>(at_status.recordsRemaining - 2);
    }
    if (at_status.recordsRemaining != 0) {
        StartStep(next, g.scratch, kScratchBytes);
        return;
    }
    g.initRunning = false;
    at_status.letter = kLetterIdle;
    if (!ExternalModem && (at_status.errorClassBits & 0x07) != 0) {
        ModemReset();
        return;
    }
    if (ExternalModem && (at_status.errorClassBits & 0x01) != 0) {
        at_status.letter = 0;
        return;
    }
    at_status.modemFlags |= 0x01;
    at_status.errorCount = 0;
    if (!ExternalModem) {
        at_status.letter = kLetterIdent;
        at_status.recordsRemaining = kRowIdentCount;
        StartStep(&at_cmd[kRowIdent], g.scratch, kScratchBytes);
        ModemOnetimeStatus();
    }
}

// A decimal number at p (optional sign), reading no further than end.
int Number(const char* p, const char* end) {
    while (p < end && *p == ' ') ++p;
    bool negative = p < end && *p == '-';
    if (negative || (p < end && *p == '+')) ++p;
    int v = 0;
    for (; p < end && *p >= '0' && *p <= '9' && v < 100000; ++p) v = v * 10 + (*p - '0');
    return negative ? -v : v;
}

const char* Find(const char* hay, u32 m, const char* needle) {
    u32 n = static_cast<u32>(std::strlen(needle));
    for (u32 i = 0; i + n <= m; ++i)
        if (std::memcmp(hay + i, needle, n) == 0) return hay + i;
    return nullptr;
}

void StartStatusList() {
    at_status.letter = kLetterList;
    g.scratchItem1.length = 0;
    at_stack_data[0].item = &g.scratchItem1;
    StartStep(&at_cmd[kRowStatusList], g.scratch, kScratchBytes);
}

// One call of the socket status list; true when it has ended.
bool StatusList() {
    AT_Cmd_Handler(at_status.position);
    if (at_status.engineState != kAtDone) return false;
    BackToIdle();
    at_status.pollFlags &= ~0x01;
    if (at_status.result == kAtOk) ModemSocket_ApplyStatusList(g.scratchItem1.text, g.scratchItem1.length);
    return true;
}

void Idle() {
    if (ModemTimer(&at_status.statusTimer, kSecond)) {
        ModemTimer(&at_status.statusTimer, 0);
        if (++at_status.secondsCount > 9) {
            at_status.pollFlags |= 0x02;
            at_status.secondsCount = 0;
        }
        if (at_status.signal >= 1 && at_status.signal <= 98) at_status.pollFlags |= 0x01;
    }
    for (u32 s = 0; s < kModemSockets; ++s)
        if (socket_info_st[s].state != kSockFree) DataConnectionLoop(static_cast<int>(s));
    if (!ModemSocket_AnyInUse()) {
        at_status.pollFlags &= ~0x01;
        if (at_status.pollFlags & 0x02) ModemCyclicStatus();
        return;
    }
    if (at_status.pollFlags & 0x01) {
        if (at_status.letter == kLetterIdle) StartStatusList();
        if (at_status.letter == kLetterList) StatusList();
        ModemSocket_Snapshot();
        return;
    }
    if (at_status.letter == kLetterIdle) {
        at_status.letter = kLetterRing;
        StartStep(&at_cmd[kRowRing], at_status.replyBuffer, kAtReplyBytes);
        at_status.engineState = kAtWait;
        at_status.timeout = 0;
        ModemTimer(&at_status.timerStart, 0);
        g.scratchItem1.length = g.scratchItem2.length = 0;
        at_stack_data[0].item = &g.scratchItem1;
        at_stack_data[1].item = &g.scratchItem2;
    }
    if (at_status.letter != kLetterRing) {
        if (at_status.pollFlags & 0x02) ModemCyclicStatus();
        return;
    }
    AT_Cmd_Handler(at_status.position);
    if (at_status.engineState != kAtDone) return;
    BackToIdle();
    if (at_status.pollFlags & 0x01) {
        if (at_status.letter == kLetterIdle) {
            StartStatusList();
            StatusList();
            ModemSocket_Snapshot();
        }
    } else if (at_status.pollFlags & 0x02) {
        ModemCyclicStatus();
    }
}

}  // namespace

int CheckInit() { return at_status.modemFlags & 0x01; }

int CheckSigSt() { return ExternalModem ? SigStCSQ : at_status.signal; }

bool Modem_InternalModule(u16 code) {
    for (u16 c : {0x6F0F, 0xEF0F, 0x6E0F, 0xEE0F, 0xAF0F, 0xAE0F})
        if (code == c) return true;
    return false;
}

u8 Modem_SignalFromDbm(int dbm) {
    for (u8 i = 0; i < 32; ++i)
        if (sigst[i] == dbm) return i;
    if (dbm < -113) return 1;
    if (dbm <= -95) return 5;
    if (dbm <= -75) return 12;
    return 25;
}

int ModemCyclicStatus() {
    if (at_status.letter == kLetterIdle) {
        at_status.letter = ExternalModem ? kLetterSignalExt : kLetterSignalInt;
        at_stack_data[0].field = nullptr;
        StartStep(ExternalModem ? &at_cmd[kRowCsq] : &at_cmd[kRowMoni], at_status.replyBuffer, kAtReplyBytes);
    } else if (at_status.letter != kLetterSignalExt && at_status.letter != kLetterSignalInt) {
        return 1;
    }
    AT_Cmd_Handler(at_status.position);
    if (at_status.engineState != kAtDone) return 1;
    if (at_status.result == kAtOk) {
        const char* field = at_stack_data[0].field;
        const char* end = at_status.reply + at_status.count;
        bool inReply = field != nullptr && field >= at_status.replyBuffer && field <= end;
        if (ExternalModem) {
            if (inReply) SigStCSQ = static_cast<u16>(Number(field, end));
        } else {
            const char* pwr = inReply ? Find(field, static_cast<u32>(end - field), "PWR") : nullptr;
            // The level stands four characters after "PWR" ("PWR:-75dbm"); an
            // answer without a level there gives none.
            const char* level = pwr != nullptr ? pwr + 4 : end;
            if (level < end && *level == '-') ++level;
            if (level >= end || *level < '0' || *level > '9') {
                at_status.signal = 99;
            } else {
                at_status.signal = Modem_SignalFromDbm(static_cast<i8>(Number(pwr + 4, end)));
            }
        }
    }
    at_status.pollFlags &= ~0x02;
    BackToIdle();
    return 0;
}

int ModemOnetimeStatus() {
    if (at_status.letter != kLetterIdent) return 1;
    AtSlot* s = at_stack_data;
    s[0].buffer = at_status.imei, s[0].capacity = sizeof at_status.imei;
    s[1].buffer = at_status.ownNumber, s[1].capacity = sizeof at_status.ownNumber;
    s[2].buffer = at_status.networkName, s[2].capacity = sizeof at_status.networkName;
    s[3].buffer = at_status.swVersion, s[3].capacity = sizeof at_status.swVersion;
    const AtCmdRecord* first = at_status.position;
    u8 advanced = AT_Cmd_Handler(first);
    if (at_status.engineState != kAtDone) return 1;
    LogStatus(advanced);
    if (first == &at_cmd[kRowIdent + 8] && at_status.result == kAtOk) {
        at_status.modelIndex = 0;
        for (u8 m = 1; m < 7 && at_status.modelIndex == 0; ++m)
            if (Find(at_status.reply, at_status.count, Modm_model[m]) != nullptr) at_status.modelIndex = m;
    }
    u8 take = advanced <= at_status.recordsRemaining ? advanced : at_status.recordsRemaining;
    at_status.recordsRemaining = static_cast<u8>(at_status.recordsRemaining - take);
    if (at_status.recordsRemaining != 0 && take != 0) {
        StartStep(first + take, g.scratch, kScratchBytes);
        return 1;
    }
    at_status.recordsRemaining = 0;
    BackToIdle();
    return 0;
}

int ModemReset() {
    u8 ctrlZ = 26;
    Send_AT_Command(1, &ctrlZ);
    Log("Modem Reset\n");
    TelitPowerON = 0;
    SigStCSQ = 0;
    ModemSocket_ResetAll();
    AtStatus& a = at_status;
    a.currentSocket = a.errorCount = a.modelIndex = a.recordsRemaining = a.secondsCount = 0;
    a.port = a.pollFlags = a.modemFlags = a.errorClassBits = 0;
    a.signal = 0;
    a.imei[0] = a.ownNumber[0] = a.networkName[0] = a.swVersion[0] = 0;
    a.accessTech = 0;
    a.ipAddress = 0;
    a.engineState = kAtSend;
    a.linkFlags &= ~0x05;
    a.letter = 0;
    g.initRunning = false;
    g.pausing = false;
    // The internal module is powered down and comes back through its power-up.
    if (g.power != Power::Off) IoCommPwr(static_cast<int>(kCellPort), 0);
    g.power = Power::Off;
    return 0;
}

void ModemCycle() {
    // The settings follow the stored block (nothing is done while it is unchanged).
    GSMGPRSParmInit();
    if (!Select()) return;
    switch (at_status.letter) {
        case 0: Initialise(); break;
        case kLetterSignalInt:
        case kLetterSignalExt: ModemCyclicStatus(); break;
        case kLetterIdent:
            if (ModemOnetimeStatus() == 0) ModemTimer(&at_status.statusTimer, 0);
            break;
        default: Idle(); break;
    }
}

void Modem_Descriptors(std::vector<pollfd>& fds) { CellPort_Descriptors(fds); }

void Modem_ResetAll() {
    g = State{};
    ExternalModem = TelitPowerON = 0;
    SigStCSQ = 0;
    AtCmd_Reset();
    ModemSocket_Reset();
    GsmGprs_Reset();
    MsgCfg_Reset();
    CellPort_Reset();
}
