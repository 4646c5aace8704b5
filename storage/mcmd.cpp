#include "storage/mcmd.h"

#include <cstring>

#include "link/command.h"
#include "link/vcomm.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cfmgr.h"
#include "storage/pgmfile.h"

namespace {

// Free-running counter units (100 us) of the waits.
constexpr u32 kUnitsPerMs = 10;
constexpr u32 kAnswerMs = 5000, kDownloadCmdMs = 15000, kDownloadEndMs = 30000;

// Transmit machine: 0 command next, 1 length, 2 data, 3 checksum, 4 idle.
struct Tx {
    u8 state = 4;
    u8 command = 0;
    u8 length = 0;
    u8 pos = 0;
    u8 sum = 0;
    u8 data[kMcmdSendMax] = {};
};
// Receive machine: 0 first byte, 1 length, 2 data, 3 checksum, 4 complete.
struct Rx {
    u8 state = 4;
    u16 code = 0;
    u8 length = 0;
    u8 remaining = 0;
    u32 pos = 0;
    u8 sum = 0;
    u8* dest = nullptr;
    u32 cap = 0;
    bool overflow = false;
};

struct State {
    Tx tx;
    Rx rx;
    bool open = false;
    u32 stamp = 0;  // start of the current wait (the idle timer)
    u8 scratch[kMcmdFrameMax] = {};  // where an answer goes when the caller keeps none
};
State g;

VcommDriver& Port() { return Vcomm_Drv[ProgrammingPort]; }

void RestartTimer() { g.stamp = FPGA_GetFrt(); }

// Hands one byte to the interpreter's side of the port; a full ring is
// drained by the interpreter first.
void Stuff(u8 b) {
    for (int i = 0; i < 100000 && !Port().StuffRx(b); ++i) Cmd_Check();
}

// One byte per call; returns false once the frame is out.
bool TxMachine() {
    switch (g.tx.state) {
        case 0:
            g.tx.sum = static_cast<u8>(g.tx.command + Cmd_Seed());
            Stuff(g.tx.command);
            g.tx.state = 1;
            return true;
        case 1:
            g.tx.sum = static_cast<u8>(g.tx.sum + g.tx.length);
            Stuff(g.tx.length);
            g.tx.pos = 0;
            g.tx.state = g.tx.length == 0 ? 3 : 2;
            return true;
        case 2: {
            u8 b = g.tx.data[g.tx.pos++];
            g.tx.sum = static_cast<u8>(g.tx.sum + b);
            Stuff(b);
            if (g.tx.pos == g.tx.length) g.tx.state = 3;
            return true;
        }
        case 3:
            Stuff(static_cast<u8>(-g.tx.sum));
            g.tx.state = 4;
            return true;
        default: return false;
    }
}

void SendFrame(u8 command, u8 len, const u8* data) {
    if (len > kMcmdSendMax) len = kMcmdSendMax;
    g.tx.command = command;
    g.tx.length = len;
    if (len) std::memcpy(g.tx.data, data, len);
    g.tx.state = 0;
    while (TxMachine()) {
    }
}

void RxStart(u8* dest, u32 cap) {
    g.rx = Rx{};
    g.rx.state = 0;
    g.rx.dest = dest ? dest : g.scratch;
    g.rx.cap = dest ? cap : sizeof g.scratch;
}

// One byte per call. Data beyond the destination's room are counted but not
// stored, and the frame is then reported as damaged.
void RxMachine(u8 b) {
    switch (g.rx.state) {
        case 0:
            g.rx.code = b;
            if (b == kCmdData) {
                g.rx.sum = static_cast<u8>(Cmd_Seed() + kCmdData);
                g.rx.state = 1;
                RestartTimer();
            } else {
                g.rx.state = 4;
            }
            break;
        case 1:
            g.rx.length = b;
            g.rx.remaining = b;
            g.rx.sum = static_cast<u8>(g.rx.sum + b);
            g.rx.state = b == 0 ? 3 : 2;
            RestartTimer();
            break;
        case 2:
            if (g.rx.pos < g.rx.cap)
                g.rx.dest[g.rx.pos] = b;
            else
                g.rx.overflow = true;
            ++g.rx.pos;
            g.rx.sum = static_cast<u8>(g.rx.sum + b);
            if (--g.rx.remaining == 0) g.rx.state = 3;
            RestartTimer();
            break;
        case 3:
            if (b != static_cast<u8>(-g.rx.sum) || g.rx.overflow) g.rx.code = kMcmdBadFrame;
            g.rx.state = 4;
            break;
        default: break;
    }
}

// Runs rounds until the receive machine completes or the idle timer runs
// out. Frame waits also serve the tick.
u16 WaitRounds(u32 ms, bool frameWait) {
    RestartTimer();
    for (;;) {
        u8 b = 0;
        if (Port().DrainTx(&b)) {
            RxMachine(b);
            if (g.rx.state == 4) return g.rx.code;
        } else {
            Cmd_Check();
            if (frameWait) TimerISR();
        }
        mcmdPeers.roundDone();
        // Once a data frame has begun, each byte gets the answer time anew.
        const u32 limit = (g.rx.state == 0 ? ms : kAnswerMs) * kUnitsPerMs;
        const u32 spent = FPGA_GetFrt() - g.stamp;
        if (spent >= limit) return kMcmdTimeout;
        // On a clock a test drives, this loop is a wait for the rest.
        Clock_NoteDeadline(Clock_MonotonicNs() + static_cast<u64>(limit - spent) * 100000ull);
    }
}

u16 Wait(u32 ms, bool frameWait) {
    u16 code = WaitRounds(ms, frameWait);
    // No longer waiting: busy, whatever a test's clock says.
    Clock_NoteDeadline(0);
    return code;
}

bool AnswersWithFrame(u8 command) {
    switch (command) {
        case 1: case 6: case 7: case 8: case 9: case 13: case 15: case 16: case 17: case 18: case 22: case 23:
        case 26:
            return true;
        default: return false;
    }
}

}  // namespace

void MCMD_Reset() { g = State{}; }

McmdPeers mcmdPeers;

void McmdPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, mcmdPeers, roundDone); }

bool MCMD_Open() { return g.open; }

i32 MCMD_Init(u8 node) {
    u8* mb = dpram + kDpramTalk;
    mb[2] = node;
    mb[0] = static_cast<u8>(mb[0] + 1);
    while (mb[1] != mb[0]) Dpram_Service();
    if (mb[3] == 1) return kPgmPortBusy;
    if (mb[3] != 0) return kPgmPortTaken;
    g.tx = Tx{};
    g.rx = Rx{};
    Port().SetIntrcpt(1);
    u8 b;
    while (Port().DrainTx(&b)) {
    }
    Port().FlushRx(ProgrammingPort);
    g.open = true;
    return 0;
}

void MCMD_Close() {
    Port().SetIntrcpt(0);
    g.open = false;
}

void MCMD_SendCntl(u8 byte) { Stuff(byte); }

u16 MCMD_SendCmd(u8 command, u8 len, const u8* data, u8* answer, u32 cap, u32* answerLen) {
    if (answerLen) *answerLen = 0;
    SendFrame(command, len, data);
    if (command == 4) {
        RxStart(nullptr, 0);
        return Wait(kDownloadCmdMs, false);
    }
    if (command < 28 && AnswersWithFrame(command)) {
        RxStart(answer, answer ? cap : 0);
        u16 r = Wait(kAnswerMs, true);
        if (answerLen && r == kCmdData) *answerLen = g.rx.length;
        return r;
    }
    RxStart(nullptr, 0);
    return Wait(kAnswerMs, false);
}

u16 MCMD_SendData(u8 len, const u8* data) {
    SendFrame(kCmdData, len, data);
    RxStart(nullptr, 0);
    return Wait(len == 0 ? kDownloadEndMs : kAnswerMs, false);
}

u16 MCMD_GetData(u32* len, u8* buffer, u32 cap) {
    if (len) *len = 0;
    RxStart(buffer, buffer ? cap : 0);
    u16 r = Wait(kAnswerMs, true);
    if (len && r == kCmdData) *len = g.rx.length;
    return r;
}
