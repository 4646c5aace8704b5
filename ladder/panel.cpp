#include "ladder/panel.h"

#include <cstring>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"
#include "ladder/ladder_routines.h"
#include "platform/rtclock.h"

namespace {

constexpr u16 kScrForce = 39, kScrTest = 40, kAlmList = 41, kScrSwitch = 48, kRtcSet = 230, kTalkIec = 394,
              kRtcSetP = 520, kAlmListX = 528, kNodeId = 544;

constexpr u16 kNoScreen = 0xFFFF;

// Alarm word bits.
constexpr u16 kCountMask = 0x00FF, kCondition = 0x0100, kInList = 0x0200, kAcked = 0x0400;
constexpr u16 kAnyUnacked = 0x4000, kAnyInList = 0x8000;

// Alarm-list status: bits 0-8 the current screen (0x1FF none), 9-12 the
// held next, previous, remove and acknowledge keys, 15 the list is shown.
constexpr u16 kStatusScreen = 0x01FF, kStatusHeld = 0x7E00, kStatusActive = 0x8000;
constexpr u16 kHeld[4] = {0x0200, 0x0400, 0x0800, 0x1000};
enum Key { kNext, kPrevious, kRemove, kAck };

// The largest screen S - 1 + N an alarm list may reach (status bits 0-8,
// 0x1FF meaning none).
constexpr i32 kScreenLimit = 511;

// The node number a NODEID literal may carry; larger operand values are
// register bit addresses.
constexpr u32 kNodeLiteralMax = 1024;

// The status of each alarm-list instruction, keyed by its code offset. When
// every slot is taken (many lists, or lists of programs loaded earlier) the
// slot used longest ago is given to the new list, which then starts afresh.
// A status is validated against its list before use, so a slot whose list
// changed can never name a register outside the list.
struct AlarmSlot {
    u32 at;
    u32 scan;  // scan in which the slot was last used
    u16 status;
    bool used;
};
constexpr int kAlarmSlots = 32;

struct State {
    u16 old_change_screen = 0;
    // Per scan: the forced screen (0xFFFF none) and the switch-screen number.
    u16 forcedScreen = kNoScreen;
    u16 switchScreen = 0;
    AlarmSlot alarmSlots[kAlarmSlots] = {};
    int lastSlot = 0;
    u32 scanCount = 0;
};
State g;

u16& AlarmStatus(u32 at) {
    AlarmSlot* s = &g.alarmSlots[g.lastSlot];
    if (!(s->used && s->at == at)) {
        int pick = -1;
        for (int k = 0; k < kAlarmSlots && pick < 0; ++k)
            if (g.alarmSlots[k].used && g.alarmSlots[k].at == at) pick = k;
        if (pick < 0) {
            pick = 0;
            for (int k = 0; k < kAlarmSlots; ++k) {
                if (!g.alarmSlots[k].used) {
                    pick = k;
                    break;
                }
                if (g.scanCount - g.alarmSlots[k].scan > g.scanCount - g.alarmSlots[pick].scan) pick = k;
            }
            g.alarmSlots[pick] = AlarmSlot{at, g.scanCount, 0, true};
        }
        g.lastSlot = pick;
        s = &g.alarmSlots[pick];
    }
    s->scan = g.scanCount;
    return s->status;
}

// One alarm list as an instruction found it: the checked alarm array, the
// stamp table (nullptr for none) and the key inputs read as 0 or 1.
struct AlarmList {
    u8* words;
    u8* stamps;
    u32 stampRegs;  // 3 or 6
    u16 n;
    u16 first;  // screen of alarm 0: S - 1
    u8 keys[4];

    u16 Get(u32 i) const { return GetLe16(words + 2 * i); }
    void Put(u32 i, u16 v) const { PutLe16(words + 2 * i, v); }
    u16 Screen(u32 i) const { return static_cast<u16>(first + i); }
    // First alarm in the list at index `from` or later; n when none.
    u32 FirstInList(u32 from) const {
        for (u32 i = from; i < n; ++i)
            if (Get(i) & kInList) return i;
        return n;
    }
    // The alarm whose screen is `screen`, or n when it is none of this list's.
    u32 IndexOf(u16 screen) const {
        if (screen == kNoScreen) return n;
        u32 i = static_cast<u16>(screen - first);
        return i < n ? i : n;
    }
};

// The display, its current alarm and the keys; run only with a TRUE rung.
// The forced screen becomes this list's current alarm, or none. A remembered
// screen that is not one of this list's alarms (the list changed with a new
// program) is forgotten, never used as an index.
void ShowAlarms(const AlarmList& l, u16& status) {
    u16 st = status;
    u32 cur = l.n;
    if ((st & kStatusActive) != 0 && (st & kStatusScreen) != kStatusScreen) cur = l.IndexOf(st & kStatusScreen);
    if (cur == l.n) cur = l.FirstInList(0);
    if (cur < l.n) {
        g.forcedScreen = l.Screen(cur);
        auto press = [&](Key k) {
            if (l.keys[k] == 0 || (st & kHeld[k]) != 0) return false;
            st = static_cast<u16>(st | kHeld[k]);
            return true;
        };
        if (press(kNext)) {
            u32 j = l.FirstInList(cur + 1);
            if (j < l.n) cur = j;
        }
        if (press(kPrevious)) {
            for (u32 j = cur; j-- > 0;) {
                if (l.Get(j) & kInList) {
                    cur = j;
                    break;
                }
            }
        }
        if (press(kAck)) l.Put(cur, static_cast<u16>(l.Get(cur) | kAcked));
        // Removing needs the key, except for an alarm that left the list.
        const bool removeKey = press(kRemove);
        const u16 w = l.Get(cur);
        bool none = false;
        if ((removeKey || (w & kInList) == 0) && ((w & kAcked) != 0 || (w & kInList) == 0)) {
            l.Put(cur, static_cast<u16>(w & ~(kInList | kAcked)));
            cur = l.FirstInList(0);
            none = cur == l.n;
        }
        g.forcedScreen = none ? kNoScreen : l.Screen(cur);
        st = static_cast<u16>((g.forcedScreen & kStatusScreen) | (st & kStatusHeld) | kStatusActive);
    } else {
        g.forcedScreen = kNoScreen;
    }
    for (int k = 0; k < 4; ++k)
        if (l.keys[k] == 0) st = static_cast<u16>(st & ~kHeld[k]);
    status = st;
}

// The alarm words, whatever the rung: new entries (stamp, count, in the
// list), then the summary bits of the first word, so that a new entry counts
// in the scan it enters.
void UpdateAlarms(const AlarmList& l) {
    if (l.n == 0) return;
    const u8* clock = &plc_reg[2 * (127 + 44)];  // SR44..SR49
    bool any = false, unacked = false;
    for (u32 i = 0; i < l.n; ++i) {
        u16 w = l.Get(i);
        if ((w & kCondition) != 0 && (w & kInList) == 0) {
            if (l.stamps != nullptr) std::memmove(l.stamps + 2 * l.stampRegs * i, clock, 2 * l.stampRegs);
            if ((w & kCountMask) != kCountMask) w = static_cast<u16>(w + 1);
            w = static_cast<u16>(w | kInList);
            l.Put(i, w);
        }
        if (w & kInList) {
            any = true;
            if ((w & kAcked) == 0) unacked = true;
        }
    }
    u16 w0 = static_cast<u16>(l.Get(0) & ~(kAnyInList | kAnyUnacked));
    if (any) w0 = static_cast<u16>(w0 | kAnyInList);
    if (unacked) w0 = static_cast<u16>(w0 | kAnyUnacked);
    l.Put(0, w0);
}

void RunAlarmList(const AlarmList& l, u8 rung, u16& status) {
    if (rung != 0)
        ShowAlarms(l, status);
    else
        status = static_cast<u16>(status & ~kStatusActive);
    UpdateAlarms(l);
}

// A key input of ALMLISTX: a 16-bit register bit address read as 0 or 1;
// an address outside the register memory reads 0.
u8 KeyBit(u16 a) {
    if (!LadderBitValid(a)) return 0;
    return LadderRegBit(a) ? 1 : 0;
}

bool AlarmLiteralsOk(u16 n, u16 s) {
    return s != 0 && static_cast<i32>(s) - 1 + static_cast<i32>(n) < kScreenLimit;
}

template <bool kTok16>
void AlmList(LadderVm& vm) {
    const u32 at = vm.ip - 1;
    AlarmList l{};
    l.n = LadderLit(vm.code, vm.ip);
    l.first = static_cast<u16>(LadderLit(vm.code, vm.ip) - 1);
    const u16 mode = LadderLit(vm.code, vm.ip);
    const u32 arr = LadderWordOperand<kTok16, true>(vm.code, vm.ip);
    const u32 stamps = LadderWordOperand<kTok16, true>(vm.code, vm.ip);
    for (u8& k : l.keys) {
        const u32 a = LadderBitOperand<kTok16>(vm.code, vm.ip);
        k = LadderRegBit(a) ? 1 : 0;
    }
    // The checker proved the array (N words) and the stamp table (N x 3 or
    // N x 6 words) inside the memory.
    l.words = LadderRegWords(arr, l.n);
    if (mode != 0) {
        l.stampRegs = mode == 1 ? 3 : 6;
        l.stamps = LadderRegWords(stamps, static_cast<u64>(l.stampRegs) * l.n);
    }
    if (l.words == nullptr) return;
    RunAlarmList(l, vm.Rung(), AlarmStatus(at));
}

// ALMLISTX: N, S, an unused word, the register-word index of a pair holding
// the register bit address of the alarm array, the same for a stamp table
// (not used: this form keeps no stamps), and the 16-bit register bit
// addresses of the next, previous, remove and acknowledge inputs. Everything
// it finds in registers is checked; an array outside the memory does
// nothing.
void AlmListX(LadderVm& vm) {
    const u32 at = vm.ip - 1;
    const u16* c = vm.code + vm.ip;
    vm.ip += 9;
    AlarmList l{};
    l.n = c[0];
    l.first = static_cast<u16>(c[1] - 1);
    for (int k = 0; k < 4; ++k) l.keys[k] = KeyBit(c[5 + k]);
    const u8* pair = LadderRegWords(c[3], 2);
    if (pair == nullptr) return;
    const u32 a = LadderRemap(GetLe32(pair));
    if (a < kLadderBitFirst) return;
    l.words = LadderRegWords((a - kLadderBitFirst) >> 4, l.n);
    if (l.words == nullptr) return;
    RunAlarmList(l, vm.Rung(), AlarmStatus(at));
}

// Sets the controller clock from seven little-endian words in the clock
// register order; 1 when it was set.
u8 SetClock(const u8* p) {
    RTCTime t;
    t.second = GetLe16(p);
    t.minute = GetLe16(p + 2);
    t.hour = GetLe16(p + 4);
    t.day = GetLe16(p + 6);
    t.month = GetLe16(p + 8);
    t.year = GetLe16(p + 10);
    t.dayOfWeek = GetLe16(p + 12);
    return RtcSet(&t) == 1 ? 1 : 0;
}

// NODEID: 1 when the node number was taken; the network restarts only when
// it changes.
u8 NodeId(u32 operand) {
    u16 value;
    if (operand <= kNodeLiteralMax) {
        value = static_cast<u16>(operand);
    } else {
        u8 b[2];
        if (PlcReg_Get(b, operand, 16) != 1) return 0;
        value = GetLe16(b);
    }
    // The controller occupies SR61 node numbers from its own.
    if (value == 0 || static_cast<i32>(value) > 128 - static_cast<i32>(SR_Get(61))) return 0;
    if (value != SR_Get(29)) {
        SR_Put(29, value);
        Plc_NetInit();
    }
    return 1;
}

}  // namespace

void LadderPanel_ScanStart() {
    ++g.scanCount;
    g.forcedScreen = kNoScreen;
    g.switchScreen = 0;
}

void LadderPanel_End() {
    SR_Put(2, static_cast<u16>(g.forcedScreen + 1));
    if (g.switchScreen != g.old_change_screen) {
        g.old_change_screen = g.switchScreen;
        if (g.switchScreen != 0) SR_Put(1, g.switchScreen);
    }
}

void LadderPanel_Reset() { g = State{}; }

template <bool kTok16>
bool LadderPanel_Exec(u16 op, LadderVm& vm) {
    switch (op) {
        case kScrForce: {
            const u16 n = LadderLit(vm.code, vm.ip);
            if (vm.PopRung() != 0) g.forcedScreen = n;
            return true;
        }
        case kScrSwitch: {
            const u16 n = LadderLit(vm.code, vm.ip);
            if (vm.PopRung() != 0) g.switchScreen = n;
            return true;
        }
        case kScrTest: {
            const u16 n = LadderLit(vm.code, vm.ip);
            bool on;
            if (SR_Get(3) != 0)
                on = false;
            else if (g.forcedScreen == kNoScreen)
                // Taken as numbers: SR1 or SR2 at 0 (no screen) is -1 here,
                // never screen 65535.
                on = SR_Get(2) - 1 == static_cast<i32>(n) || SR_Get(1) - 1 == static_cast<i32>(n);
            else
                on = g.forcedScreen == n;
            vm.PushRung(on ? 0xFF : 0);
            return true;
        }
        case kAlmList:
            AlmList<kTok16>(vm);
            return true;
        case kAlmListX:
            AlmListX(vm);
            return true;
        case kRtcSet: {
            const u32 w = LadderWordOperand<kTok16>(vm.code, vm.ip);
            if (vm.Rung() != 0) vm.SetRung(SetClock(LadderRegWords(w, 7)));
            return true;
        }
        case kRtcSetP: {
            const u32 pointer = LadderPointerOperand<kTok16>(vm);
            if (vm.Rung() == 0) return true;
            const u8* p = LadderRegBytes(pointer, 14);
            vm.SetRung(p != nullptr ? SetClock(p) : 0);
            return true;
        }
        case kTalkIec: {
            // Sub-operations 0-3 are the serial-port sends and receives,
            // carried out by their routine; other values do nothing.
            if (vm.code[vm.ip] > 3) {
                ++vm.ip;
                return true;
            }
            const LadderRoutineRow* row = LadderRoutine_Find(kTalkIec);
            if (row == nullptr) return false;
            vm.SetRung(row->run(vm.code, vm.ip, vm.Rung(), kTok16));
            return true;
        }
        case kNodeId: {
            const u32 operand = LadderLitOrRegOperand<kTok16>(vm.code, vm.ip);
            if (vm.Rung() != 0) vm.SetRung(NodeId(operand));
            return true;
        }
        default:
            return false;
    }
}

template bool LadderPanel_Exec<true>(u16, LadderVm&);
template bool LadderPanel_Exec<false>(u16, LadderVm&);

void LadderPanel_LayoutAlarm(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    if (code[0] == kAlmListX) {
        out.words = 10;
        if (avail < out.words) return out.Fail(LLayoutStatus::kTruncated);
        if (!AlarmLiteralsOk(code[1], code[2])) out.Fail(LLayoutStatus::kBadLiteral);
        return;
    }
    if (avail < 4) {
        out.words = 4;
        return out.Fail(LLayoutStatus::kTruncated);
    }
    const u16 n = code[1], s = code[2], mode = code[3];
    const bool ok = AlarmLiteralsOk(n, s);
    // Spans only for a list that can run (N is then at most 511).
    const u16 arraySpan = ok ? n : 0;
    const u16 stampSpan = !ok || mode == 0 ? 0 : static_cast<u16>(n * (mode == 1 ? 3 : 6));
    u32 pos = 4;
    u32 k = out.Add(LOpd::kWordPlain, code, pos, avail, tok16, arraySpan);
    if (k == 0) return;
    pos += k;
    // Without stamps the table operand is never used, so it is not checked.
    k = mode == 0 ? (pos < avail ? LadderOperand_Words(LOpd::kWordPlain, code + pos, avail - pos, tok16) : 0)
                  : out.Add(LOpd::kWordPlain, code, pos, avail, tok16, stampSpan);
    if (k == 0) return out.Fail(LLayoutStatus::kTruncated);
    pos += k;
    for (int key = 0; key < 4; ++key) {
        k = out.Add(LOpd::kBit, code, pos, avail, tok16);
        if (k == 0) return;
        pos += k;
    }
    out.words = pos;
    if (!ok) out.Fail(LLayoutStatus::kBadLiteral);
}

void LadderPanel_LayoutTalkIec(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    out.words = 2;
    if (avail < 2) return out.Fail(LLayoutStatus::kTruncated);
    if (code[1] > 3) return;
    // The routine of the serial-port instructions gives the length.
    if (LadderRoutine_Find(kTalkIec) == nullptr) return out.Fail(LLayoutStatus::kStops);
    out.words = LadderRoutine_Words(code, avail, tok16);
    if (out.words == 0) out.Fail(LLayoutStatus::kTruncated);
}
