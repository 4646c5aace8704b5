#include "iec/ext/q4csser.h"

#include "core/plc_regs.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4tools.h"

u8 new_serial_packet = 0;

namespace {

constexpr u32 kDayMs = 86400000u;
constexpr u32 kGapMs = 501;
// Bound of the bytes thrown away after a bad frame in one pass.
constexpr u32 kDiscardMax = 4096;

bool IsQ4(const u8* r) { return r[0] == 'Q' && r[1] == '4'; }

// Expected length of an RTU frame from its function code, 0 for a function
// the server does not take.
u16 RtuGuess(u8 function) {
    if (function >= 1 && function <= 4) return 6;
    switch (function) {
        case 5:
        case 6:
        case 8:
        case 15:
        case 16: return 8;
        case 17: return 4;  // report slave id: address, function, CRC
        case 43: return 7;
        default: return 0;
    }
}

// CRC over the first n bytes against the two bytes behind them.
bool CrcAt(const u8* r, u32 n, bool highFirst) {
    u16 c = crc16(r, n);
    u16 got = highFirst ? static_cast<u16>(r[n] << 8 | r[n + 1]) : static_cast<u16>(r[n] | r[n + 1] << 8);
    return c == got;
}

void DropFrame(Q4CSSlot& s) {
    s.received = 0;
    s.expected = 0;
    u8 b;
    for (u32 k = 0; k < kDiscardMax && Q4Serial_Receive(&s.serial, 1, &b) == 1; ++k) {
    }
    s.flags = kQ4CSUsed | kQ4CSSerial;
}

void SetComplete(Q4CSSlot& s) { s.flags = static_cast<u16>((s.flags & ~kQ4CSReceiving) | kQ4CSComplete); }

void SendAnswer(Q4CSSlot& s) {
    if (!(s.flags & (kQ4CSQueued | kQ4CSPartSent))) return;
    if (s.toSend == s.answerLength && !(s.flags & kQ4CSCrcAdded) && s.answerLength + 2u <= kQ4CSBufferBytes) {
        u8* a = s.answer;
        u16 c = crc16(a, s.answerLength);
        if (s.answerLength >= 2 && IsQ4(a)) {
            a[s.answerLength] = static_cast<u8>(c >> 8);
            a[s.answerLength + 1] = static_cast<u8>(c);
        } else {
            a[s.answerLength] = static_cast<u8>(c);
            a[s.answerLength + 1] = static_cast<u8>(c >> 8);
        }
        s.answerLength = static_cast<u16>(s.answerLength + 2);
        s.toSend = static_cast<u16>(s.toSend + 2);
        s.flags |= kQ4CSCrcAdded;
    }
    u32 n = Q4Serial_Send(&s.serial, s.toSend, s.answer + (s.answerLength - s.toSend));
    s.toSend = static_cast<u16>(s.toSend - (n < s.toSend ? n : s.toSend));
    if (s.toSend == 0) {
        s.answerLength = 0;
        s.flags = static_cast<u16>(s.flags & ~(kQ4CSQueued | kQ4CSCrcAdded | kQ4CSPartSent));
    } else {
        s.flags |= kQ4CSPartSent;
    }
}

// The header stage: 4 bytes in.
void Header(Q4CSSlot& s) {
    const u8* r = s.request;
    if (IsQ4(r)) {
        u16 l = GetBe16(r + 2);
        if (l >= 1 && l <= kQ4CSMaxLength) {
            s.expected = static_cast<u16>(l + 6);
            s.flags |= kQ4CSReceiving;
        } else {
            Q4EVSTRACE("Invalid frame size - endianness maybe incorrect");
            DropFrame(s);
        }
        return;
    }
    u16 guess = RtuGuess(r[1]);
    if (guess == 0) {
        DropFrame(s);
        return;
    }
    s.expected = guess;
    s.flags |= kQ4CSReceiving;
}

// received == expected: the CRC decides whether the frame is complete, or
// (RTU) whether it is longer than guessed.
void Check(Q4CSSlot& s) {
    const u8* r = s.request;
    const u8 f = r[1];
    const bool q4 = IsQ4(r);
    if (!q4) {
        const bool read = f >= 1 && f <= 4;
        if (read && s.received == 6) {
            if (CrcAt(r, 4, false)) SetComplete(s);
            else s.expected = 7;
            return;
        }
        if (read && s.received == 7 && s.expected == 7) {
            if (CrcAt(r, 5, false)) SetComplete(s);
            else s.expected = 8;
            return;
        }
        if ((f == 15 || f == 16) && s.received == 8) {
            if (CrcAt(r, 6, false)) SetComplete(s);
            else s.expected = static_cast<u16>(r[6] + 9);
            return;
        }
        if (read && s.received == 8 && s.expected == 8) {
            if (CrcAt(r, 6, false)) {
                SetComplete(s);
                return;
            }
            u16 longer = static_cast<u16>(r[2] + 5);
            if (longer > s.received) s.expected = longer;
            else DropFrame(s);
            return;
        }
    }
    if (s.received >= 4 && CrcAt(r, s.received - 2u, q4)) SetComplete(s);
    else DropFrame(s);
}

}  // namespace

int Q4CSSer_Open(Q4CSContext* cs, const char* settings) {
    if (!cs || !settings) return 0;
    Q4CSSlot& s = cs->slots[0];
    int h;
    Q4Serial_Initialize(&h);
    Q4Serial_Open(&h, settings);
    if (!Q4Serial_IsValid(&h)) return 0;
    if ((s.flags & kQ4CSTcp) && s.socket >= 0) return 0;  // slot 1 holds a TCP client
    Q4CS_ClearSlot(s);
    s.number = 1;
    s.serial = h;
    s.flags = kQ4CSUsed | kQ4CSSerial;
    new_serial_packet = 0;
    return 1;
}

void Q4CSSer_Close(Q4CSContext* cs) {
    if (!cs) return;
    Q4CSSlot& s = cs->slots[0];
    if (!(s.flags & kQ4CSSerial)) return;
    if (Q4Serial_IsValid(&s.serial)) Q4Serial_Close(&s.serial);
    Q4CS_ClearSlot(s);
    s.number = 1;
}

void Q4CSSer_Send(Q4CSContext* cs) {
    if (!cs) return;
    Q4CSSlot& s = cs->slots[0];
    if ((s.flags & kQ4CSSerial) && Q4Serial_IsValid(&s.serial)) SendAnswer(s);
}

void Q4CSSer_Activate(Q4CSContext* cs) {
    if (!cs) return;
    Q4CSSlot& s = cs->slots[0];
    if (!(s.flags & kQ4CSSerial) || !Q4Serial_IsValid(&s.serial)) return;
    SendAnswer(s);
    if (cs->stamp != 0 && s.lastActivity != 0 && s.received != 0 &&
        (cs->stamp + kDayMs - s.lastActivity) % kDayMs >= kGapMs) {
        // A pause inside a frame ends it: the next bytes begin a new one.
        s.received = 0;
        s.expected = 0;
        s.flags = kQ4CSUsed | kQ4CSSerial;
        new_serial_packet = 1;
    }
    if (s.flags & kQ4CSComplete) return;
    u16 want = s.expected ? static_cast<u16>(s.expected - s.received) : static_cast<u16>(4 - s.received);
    if (s.expected == 0 && s.received == 0) new_serial_packet = 1;
    if (want == 0 || s.received + want > kQ4CSBufferBytes) return;
    u32 n = Q4Serial_Receive(&s.serial, want, s.request + s.received);
    if (n == 0) return;
    s.received = static_cast<u16>(s.received + n);
    if (cs->stamp != 0) s.lastActivity = cs->stamp;
    if (s.expected == 0) {
        if (s.received < 4) return;
        Header(s);
        if (!(s.flags & kQ4CSReceiving)) return;
    }
    if (s.received < s.expected) {
        s.flags |= kQ4CSReceiving;
        return;
    }
    Check(s);
}
