#include "link/modem.h"

#include <cstdio>
#include <cstring>

#include "core/plc_regs.h"
#include "link/talk.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "remote/modem.h"

namespace {

// Timer values, 100-microsecond ticks.
constexpr i32 kGuard = 11000, kAfterEscape = 15000, kSetupWait = 100000, kCommandWait = 1200000,
              kGprsConnectWait = 3600000, kAfterRing = 300000, kHangUp = 2500, kIdle = 9000000;
constexpr i32 kStopped = -1;

constexpr const char* kSetup = "ATE0S0=0Q0V0X0&C1&D2";
constexpr u32 kCommandBytes = 80;
constexpr u32 kGsmDestMax = 22;
constexpr u32 kDialMax = 36;
constexpr u16 kDefaultPort = 1001;

struct Slot {
    ModemSlot s;
    bool set = false;
};

struct Port {
    Slot slot[3];
    u32 timerStart = 0;
    i32 timerDuration = 0;
    u8 busy = 0;
    u8 state[3] = {};
    char command[kCommandBytes] = {};
    char line[256] = {};
    u8 index = 0;
    u8 connected = 0;
};

struct State {
    Port port[2];
    u8 GsmModem = 0;
    u32 GPRSTimeout = 0;
    u32 GPRSTimer = 0;
    ModemConnRequest sock_conn_info[2] = {};  // ladder form, IEC form
};
State g;

// Which kind of modem the port has now.
enum class Kind { kPlain, kInternal, kGsm };

bool InternalModule() {
    return talkPeers.CommOptionIdent != nullptr && Modem_InternalModule(talkPeers.CommOptionIdent());
}

bool Gsm(GsmRecordRef* ref) {
    return talkPeers.GSMGPRSInfo != nullptr && talkPeers.GSMGPRSInfo(ref) != 0 && ref->statusFlags != nullptr &&
           ref->optionFlags != nullptr && ref->controlFlags != nullptr && ref->statusWord != nullptr &&
           ref->error != nullptr && ref->port != nullptr && ref->owner != nullptr && ref->retries != nullptr &&
           ref->destination != nullptr;
}

Kind KindOf(GsmRecordRef* ref) {
    if (InternalModule()) return Kind::kInternal;
    if (Gsm(ref) && (*ref->statusFlags & 0x01)) return Kind::kGsm;
    return Kind::kPlain;
}

int Rsrc(int user, int op) { return talkPeers.GSMGPRSRsrcMngr != nullptr ? talkPeers.GSMGPRSRsrcMngr(user, op) : 0; }

u16 Status(const Slot& s) { return s.s.status != nullptr ? GetLe16(s.s.status) : kModemIdle; }
void SetStatus(Slot& s, u16 v) {
    if (s.s.status != nullptr) PutLe16(s.s.status, v);
}

bool ModemTimer(Port& p, i32 n) {
    u32 now = FPGA_GetFrt();
    if (n != 0) {
        p.timerStart = now;
        p.timerDuration = n;
    }
    return p.timerDuration >= 1 && now - p.timerStart >= static_cast<u32>(p.timerDuration);
}

bool GPRSIdleTimer(u32 n) {
    u32 now = FPGA_GetFrt();
    if (n != 0) {
        g.GPRSTimer = now;
        g.GPRSTimeout = n;
    }
    return g.GPRSTimeout != 0 && now - g.GPRSTimer >= g.GPRSTimeout;
}

VcommDriver& Drv(int port) { return Vcomm_Drv[port]; }

// Evaluates a plain modem's finished line: -1 no result (an echo or an
// empty line), else the result code.
int PlainResult(const Port& p) {
    if (p.line[0] == '\0') return -1;  // the empty line of a CR LF pair carries no result
    if (std::strcmp(p.line, p.command) == 0) return -1;
    if (std::strcmp(p.line, "OK") == 0) return kModemOk;
    u32 v = 0;
    const char* c = p.line;
    for (; *c >= '0' && *c <= '9'; ++c)
        if (v < 1000) v = v * 10 + static_cast<u32>(*c - '0');
    if (*c != '\0') return kModemError;
    return v > 4 ? kModemConnect : static_cast<int>(v);
}

// The parameter block's u16 at byte i (0 when beyond it).
u16 Param16(const Slot& s, u32 i) { return i + 2 <= s.s.paramBytes ? GetLe16(s.s.params + i) : 0; }
u8 Param8(const Slot& s, u32 i) { return i < s.s.paramBytes ? s.s.params[i] : 0; }

// The raw destination of function 1 (and of the cellular function 2):
// inline text, or the NUL-terminated text of the register the length word
// names (which may be a binary destination, NUL bytes and all).
u32 RawDestination(const Slot& s, const u8** text, bool* binary) {
    u16 n = Param16(s, 2);
    *text = nullptr;
    *binary = false;
    if (n < 1024 || s.s.iec) {
        u32 room = s.s.paramBytes > 4 ? s.s.paramBytes - 4 : 0;
        if (n > room) n = static_cast<u16>(room);
        *text = s.s.params + 4;
        *binary = s.s.iec && n == 10;
        return n;
    }
    u32 at = (n - 0x400u) / 8;
    if (at >= kPlcRegBytes) return 0;
    *text = plc_reg + at;
    *binary = true;
    u32 room = kPlcRegBytes - at;
    return room < 256 ? room : 256;
}

// The destination as text (binary form converted), at most max characters.
void Destination(const Slot& s, char* out, u32 max) {
    const u8* text = nullptr;
    bool binary = false;
    u32 n = RawDestination(s, &text, &binary);
    Modem_DestinationText(text, n, binary, out, max);
}

bool IsBinary(const u8* t, u32 n) {
    if (t == nullptr || n < 10) return false;
    const char* k = "IPBN";
    for (int i = 0; i < 4; ++i)
        if ((t[i] & 0xDF) != k[i]) return false;
    return true;
}


void Flush(int port) { Drv(port).FlushRx(static_cast<u32>(port)); }

// Sends the command text with its CR after emptying the receive side, and
// waits for its result from the start of a line.
void SendCommand(int port, Port& p, i32 wait) {
    Flush(port);
    Drv(port).PutsTx(static_cast<u32>(port), p.command);
    Drv(port).PutTx(static_cast<u32>(port), '\r');
    Drv(port).RtuTx(static_cast<u32>(port));
    p.index = 0;
    ModemTimer(p, wait);
}

// Builds the function command into p.command; false when it does not fit.
bool BuildCommand(Port& p, Slot& s, int f, bool gsm) {
    char* c = p.command;
    if (f == 0) {
        u32 n = Param16(s, 0);
        if (s.s.paramBytes < 2 || n > s.s.paramBytes - 2 || 2u + n >= kCommandBytes) return false;
        std::memcpy(c, "AT", 2);
        std::memcpy(c + 2, s.s.params + 2, n);
        c[2 + n] = '\0';
        // A NUL inside the text ends it.
        return true;
    }
    if (f == 1) {
        char number[kDialMax + 1];
        GsmRecordRef ref{};
        Destination(s, number, kDialMax);
        if (!s.s.iec && Param16(s, 2) >= 1024) {
            // A register text ends at its first NUL, '.' or space.
            u32 k = 0;
            while (number[k] != '\0' && number[k] != '.' && number[k] != ' ') ++k;
            number[k] = '\0';
            // With GPRS the GSM record's destination is dialled instead.
            if (gsm && Gsm(&ref) && (*ref.optionFlags & 0x02)) {
                std::strncpy(number, ref.destination, kGsmDestMax);
                number[kGsmDestMax] = '\0';
            }
        }
        if (gsm) number[kGsmDestMax] = '\0';
        std::snprintf(c, kCommandBytes, "ATD%c%s", (Param8(s, 0) & 0x01) ? 'P' : 'T', number);
        return true;
    }
    char d[3];
    BinToDec(Param8(s, 0), d);
    std::snprintf(c, kCommandBytes, "ATS0=%c%c%c", d[0], d[1], d[2]);
    return true;
}

bool IpDestinationForGprs(GsmRecordRef* ref) {
    return Gsm(ref) && (*ref->statusFlags & 0x04) && (*ref->optionFlags & 0x02);
}

// A call on a serial modem is on line; an external GSM modem's shared record
// learns of it (with carrier, as the set-up itself would), so its other
// users and its hang-up see the live call.
void OnLine(int port, Port& p) {
    p.connected = 1;
    if (g.GsmModem && talkPeers.GSMDataCallUp != nullptr && Drv(port).GetDCD(static_cast<u32>(port)))
        talkPeers.GSMDataCallUp();
}

// Functions 1 and 2 in state 8 over the internal module's data socket.
int SocketStep(Port& p, Slot& s, bool iec) {
    ModemConnRequest& r = g.sock_conn_info[iec ? 1 : 0];
    int c = talkPeers.ModemDataConnRequest != nullptr ? talkPeers.ModemDataConnRequest(&r) : 1;
    if (c == 0) {
        SetStatus(s, kModemConnect);
        p.connected = 1;
        return 1;
    }
    if (talkPeers.GlobalSocketState != nullptr && talkPeers.GlobalSocketState() == 4) {
        SetStatus(s, kModemListen);
        p.connected = 1;
        return 0;
    }
    SetStatus(s, kModemPending);
    p.connected = 0;
    return 0;
}

// Functions 1 and 2 in state 8 on a serial modem.
int OnLineStep(int port, Port& p, Slot& s, int f, bool gsm) {
    GsmRecordRef ref{};
    const bool haveGsm = Gsm(&ref);
    u8& state = p.state[f];
    if (!p.connected) {
        int r = GetResult(port);
        if (r == kModemPending) return 0;
        if (f == 1) {
            if (gsm) {
                if (r == kModemConnect && Drv(port).GetDCD(static_cast<u32>(port))) {
                    SetStatus(s, kModemConnect);
                    OnLine(port, p);
                    GPRSIdleTimer(kIdle);
                } else if (r == kModemListen) {
                    SetStatus(s, kModemListen);
                    ModemTimer(p, kStopped);
                } else if (r == kModemNoCarrier) {
                    SetStatus(s, kModemNoCarrier);
                } else if (r == kModemError || r == kModemTimeout) {
                    SetStatus(s, static_cast<u16>(r));
                    state = 7;
                    Flush(port);
                }
            } else {
                state = 7;
                Flush(port);
            }
        } else {
            if (r == kModemRing) {
                SetStatus(s, kModemRing);
                ModemTimer(p, kAfterRing);
            } else if (r == kModemConnect) {
                SetStatus(s, kModemConnect);
                OnLine(port, p);
            } else {
                SetStatus(s, kModemNoCarrier);
                ModemTimer(p, kStopped);
                Flush(port);
            }
        }
        Drv(port).Enable(static_cast<u32>(port), 1);
    } else {
        if (!Drv(port).GetDCD(static_cast<u32>(port))) {
            if (haveGsm && (*ref.optionFlags & 0x01) && p.connected < 4) {
                ++p.connected;
                return 1;
            }
            Drv(port).Enable(static_cast<u32>(port), 0);
            p.connected = 0;
            ModemTimer(p, kSetupWait);
            if (f == 1) {
                if (IpDestinationForGprs(&ref)) SetStatus(s, kModemListen);
            } else {
                SetStatus(s, kModemNoCarrier);
            }
        } else if (p.connected > 1) {
            p.connected = 1;  // the carrier came back within the tolerated steps
        }
        if (f == 1 && p.connected) {
            int c = Drv(port).CheckRx(static_cast<u32>(port));
            if (c == 1) GPRSIdleTimer(kIdle);
            else if (c == 255) Drv(port).InitWait(static_cast<u32>(port), 100, 1);
            if (GPRSIdleTimer(0)) {
                state = 7;
                p.connected = 0;
            }
        }
    }
    if (!Drv(port).GetDCD(static_cast<u32>(port))) return 0;
    return p.connected ? 1 : 0;
}

// The external GSM modem's part before the state machine; true to go on
// with the state machine, false with *result the step's result.
bool GsmPrelude(int port, Port& p, Slot& s, int f, int* result) {
    GsmRecordRef ref{};
    if (!Gsm(&ref)) return true;
    *result = 0;
    *ref.controlFlags |= 0x08;
    if (Rsrc(1, 0) != 1) {
        Rsrc(1, 2);
        int w = Rsrc(2, 1);
        SetStatus(s, w == 2 ? kModemPending : static_cast<u16>(w));
        return false;
    }
    int r = Rsrc(1, 3);
    if (r == 0) return false;
    if (r == 1) {
        if ((*ref.statusFlags & 0x20) && !(*ref.optionFlags & 0x02))
            SetStatus(s, *ref.statusWord);
        else {
            *ref.statusFlags &= static_cast<u8>(~0x10);
            *ref.error = 0;
        }
        *ref.controlFlags |= 0x04;
    } else if (r == 2) {
        if (Status(s) != kModemPending) *ref.controlFlags &= static_cast<u8>(~0x04);
        if (Rsrc(1, 4) != 0) {
            SetStatus(s, *ref.statusWord);
            return false;
        }
    }
    g.GsmModem = (*ref.optionFlags & 0x03) != 0;
    if (!g.GsmModem || (*ref.statusFlags & 0x10)) return true;
    if (!(*ref.controlFlags & 0x02)) {
        *ref.port = static_cast<u8>((*ref.port & 0xF0) | (port & 0x0F));
        *ref.controlFlags |= 0x82;
        if (talkPeers.GSMGPRSParmInit != nullptr) talkPeers.GSMGPRSParmInit();
        if (f == 1) {
            char d[kGsmDestMax + 1];
            Destination(s, d, kGsmDestMax);
            *ref.statusFlags &= static_cast<u8>(~0x04);
            *ref.optionFlags = static_cast<u8>((*ref.optionFlags & ~0x03) | 0x01);
            u32 k = 0;
            for (; d[k] != '\0' && k < kGsmDestMax; ++k) {
                char c = d[k];
                if (!((c >= '0' && c <= '9') || c == '.' || c == '/' || c == '+')) break;
                ref.destination[k] = c;
                if (c == '.') {
                    *ref.statusFlags |= 0x04;
                    *ref.optionFlags = static_cast<u8>((*ref.optionFlags & ~0x03) | 0x02);
                } else if (c == '/') {
                    *ref.statusFlags &= static_cast<u8>(~0x04);
                }
            }
            ref.destination[k] = '\0';
            if (Param8(s, 0) & 0x01)
                *ref.statusFlags &= static_cast<u8>(~0x02);
            else
                *ref.statusFlags |= 0x02;
        } else if (f == 2) {
            *ref.optionFlags = static_cast<u8>((*ref.optionFlags & ~0x02) | 0x01);
            *ref.statusFlags &= static_cast<u8>(~0x04);
        }
    }
    p.connected = 0;
    if (talkPeers.GSMModemInit != nullptr) talkPeers.GSMModemInit(port);
    if (*ref.statusWord == kModemError || *ref.statusWord == kModemTimeout) {
        SetStatus(s, *ref.statusWord);
        p.state[f] = 7;
        return false;
    }
    *ref.statusWord = kModemPending;
    SetStatus(s, kModemPending);
    if (!(*ref.statusFlags & 0x10)) return false;
    p.state[f] = 5;
    g.GPRSTimeout = 0;
    if ((*ref.optionFlags & 0x02) && talkPeers.MOD_TCPInit != nullptr) talkPeers.MOD_TCPInit(1, port);
    return true;
}

int Execute(int port, int function, bool iec) {
    if (port < 0 || port > 1 || function < 0 || function > 2) return 0;
    Port& p = g.port[port];
    Slot& s = p.slot[function];
    if (!s.set || Status(s) == kModemIdle) return 0;
    u8& state = p.state[function];
    GsmRecordRef ref{};
    const Kind kind = KindOf(&ref);
    if (kind != Kind::kGsm) g.GsmModem = 0;

    if (kind == Kind::kInternal && (function == 1 || function == 2) && state == 2) {
        char d[kGsmDestMax + 1];
        Destination(s, d, kGsmDestMax);
        ModemConnRequest& r = g.sock_conn_info[iec ? 1 : 0];
        Modem_ParseDestination(d, (Param8(s, 0) & 0x01) != 0, &r);
        state = 8;
        if (talkPeers.MOD_TCPInit != nullptr) talkPeers.MOD_TCPInit(1, port);
    } else if (kind == Kind::kGsm) {
        int result = 0;
        if (!GsmPrelude(port, p, s, function, &result)) return result;
    }
    const bool gsm = g.GsmModem != 0;

    switch (state) {
        case 2:
            if (ModemTimer(p, 0)) {
                Drv(port).Enable(static_cast<u32>(port), 1);
                Drv(port).PutsTx(static_cast<u32>(port), "+++");
                Drv(port).RtuTx(static_cast<u32>(port));
                ModemTimer(p, kAfterEscape);
                state = 3;
            }
            return 0;
        case 3:
            if (ModemTimer(p, 0)) {
                std::strcpy(p.command, kSetup);
                SendCommand(port, p, kSetupWait);
                state = 4;
            }
            return 0;
        case 4: {
            int r = GetResult(port);
            if (r == kModemPending) return 0;
            if (r == kModemOk) {
                state = 5;
            } else {
                SetStatus(s, static_cast<u16>(r));
                state = 7;
            }
            return 0;
        }
        case 5:
            if (!BuildCommand(p, s, function, gsm)) {
                // Longer than the command text holds: refused.
                SetStatus(s, kModemError);
                state = 7;
                return 0;
            }
            if (function == 1 && IpDestinationForGprs(&ref)) {
                p.index = 0;
                ModemTimer(p, kGprsConnectWait);
            } else {
                SendCommand(port, p, kCommandWait);
            }
            state = 6;
            return 0;
        case 6: {
            int r = GetResult(port);
            if (r == kModemPending) return 0;
            if (r == kModemTimeout) {
                SetStatus(s, kModemTimeout);
                state = 7;
                return 0;
            }
            SetStatus(s, static_cast<u16>(r));
            if (function == 0) {
                if (r == kModemOk) {
                    state = 8;
                    if (gsm && s.s.after != nullptr) {
                        // The OK line's text, within the room after the status word.
                        u32 n = static_cast<u32>(std::strlen(p.line));
                        if (n > s.s.afterBytes) n = s.s.afterBytes;
                        std::memcpy(s.s.after, p.line, n);
                    }
                } else {
                    state = 7;
                }
            } else if (function == 1) {
                const bool ip = IpDestinationForGprs(&ref);
                if (!gsm) {
                    if (r == kModemConnect) {
                        p.connected = 1;
                        state = 8;
                    } else {
                        state = 7;
                    }
                } else if (r == kModemConnect) {
                    OnLine(port, p);
                    state = 8;
                } else if (r == kModemNoCarrier && !ip) {
                    p.connected = 0;
                    state = 8;
                } else if (r == kModemListen && ip) {
                    p.connected = 0;
                    ModemTimer(p, kStopped);
                    state = 8;
                } else if (r == kModemError) {
                    Flush(port);
                    state = 7;
                }
            } else {
                if (r == kModemOk) {
                    p.index = 0;
                    ModemTimer(p, kStopped);
                    state = 8;
                } else {
                    state = 7;
                }
            }
            return 0;
        }
        case 7: {
            if (gsm && Gsm(&ref) && (*ref.controlFlags & 0x80)) {
                *ref.controlFlags &= 0x7F;
                ++*ref.retries;
                Flush(port);
            }
            u16 st = Status(s);
            if (st != kModemNoCarrier && st != kModemTimeout) SetStatus(s, kModemError);
            return 0;
        }
        case 8:
            if (function == 0) return 1;
            if (kind == Kind::kInternal) return SocketStep(p, s, iec);
            return OnLineStep(port, p, s, function, gsm);
        default: return 0;
    }
}

}  // namespace

void ModemInit(int port) {
    if (port < 0 || port > 1) return;
    Port& p = g.port[port];
    Drv(port).Enable(static_cast<u32>(port), 0);
    for (u8& st : p.state) st = 0;
    p.connected = 0;
    p.busy = 0;
}

int ModemStart(int port, const ModemSlot& slot) {
    if (port < 0 || port > 1 || slot.function > 2) return 0;
    Port& p = g.port[port];
    if (p.busy) return 0;
    p.busy = 1;
    Slot& s = p.slot[slot.function];
    s.s = slot;
    s.set = true;
    SetStatus(s, kModemPending);
    ModemTimer(p, kGuard);
    p.state[slot.function] = 2;
    return 1;
}

int ModemStop(int port, int function) {
    if (port < 0 || port > 1 || function < 0 || function > 2) return 0;
    Port& p = g.port[port];
    Slot& s = p.slot[function];
    if (!s.set || Status(s) == kModemIdle) return 0;
    u8& state = p.state[function];
    GsmRecordRef ref{};
    const Kind kind = KindOf(&ref);
    auto stopped = [&] {
        p.busy = 0;
        SetStatus(s, kModemIdle);
        s.set = false;
        return 1;
    };
    if (kind == Kind::kGsm) {
        if (Rsrc(1, 0) == 1) {
            *ref.statusFlags &= static_cast<u8>(~0x10);
            if (Rsrc(1, 3) == 0) return 0;
            if (Rsrc(1, 6) != 1) {
                SetStatus(s, *ref.statusWord);
                return 0;
            }
        } else if ((*ref.optionFlags & 0x01) && Drv(port).GetDCD(static_cast<u32>(port))) {
            Rsrc(1, 2);
            return 0;
        }
        *ref.controlFlags &= static_cast<u8>(~0x0A);
        if (*ref.owner == 1) *ref.owner = 0;
        if (talkPeers.MOD_TCPInit != nullptr) talkPeers.MOD_TCPInit(0, port);
        state = 0;
        p.connected = 0;
        return stopped();
    }
    if (function == 0) {
        state = 0;
        return stopped();
    }
    if (kind == Kind::kInternal) {
        if (!p.connected) {
            state = 0;
            return stopped();
        }
        state = 1;
        int r = talkPeers.ModemDataDisConnRequest != nullptr ? talkPeers.ModemDataDisConnRequest(0) : 0;
        if (r != 0) return 0;
        state = 0;
        p.connected = 0;
        return stopped();
    }
    if (state == 1) {
        if (!ModemTimer(p, 0)) return 0;
        Drv(port).Enable(static_cast<u32>(port), 1);
        p.connected = 0;
        state = 0;
        Flush(port);
        return stopped();
    }
    // The hang-up: the control line low for 250 ms.
    Drv(port).Enable(static_cast<u32>(port), 0);
    state = 1;
    ModemTimer(p, kHangUp);
    return 0;
}

int ModemExecute(int port, int function) { return Execute(port, function, false); }
int Q4ModemExecute(int port, int function) { return Execute(port, function, true); }

int GetResult(int port) {
    if (port < 0 || port > 1) return kModemPending;
    Port& p = g.port[port];
    const bool gsm = g.GsmModem != 0;
    VcommDriver& d = Drv(port);
    const u32 u = static_cast<u32>(port);
    while (d.CheckRx(u) == 1) {
        u8 c = static_cast<u8>(d.GetRx(u));
        if (gsm && c == 0) continue;
        if (c == '\n' || c == '+') {
            if (!gsm) p.index = 0;
            continue;
        }
        if (c == '\r') {
            p.line[p.index] = '\0';
            if (!gsm) {
                p.index = 0;
                int r = PlainResult(p);
                if (r >= 0) return r;
                continue;
            }
            int r = ResultToBin(p.line);
            if (r >= 0) {
                p.index = 0;
                if (r == kModemConnect && d.GetDCD(u)) d.FlushRx(u);
                return r;
            }
            continue;
        }
        p.line[p.index++] = static_cast<char>(c);  // the index wraps at 256
    }
    return ModemTimer(p, 0) ? kModemTimeout : kModemPending;
}

int ResultToBin(const char* line) {
    static const struct {
        const char* text;
        int code;
    } kResults[] = {{"OK", 0},   {"ERROR", 4},  {"CONNECT", 1},   {"NO CARRIER", 3},
                    {"RING", 2}, {"LISTEN", 6}, {"AT-Command", 4}};
    for (const auto& r : kResults)
        if (std::strstr(line, r.text) != nullptr) return r.code;
    return -1;
}

void BinToDec(u8 value, char out[3]) {
    out[0] = static_cast<char>('0' + value / 100);
    out[1] = static_cast<char>('0' + value / 10 % 10);
    out[2] = static_cast<char>('0' + value % 10);
}

void Modem_DestinationText(const u8* text, u32 length, bool binaryAllowed, char* out, u32 max) {
    out[0] = '\0';
    if (text == nullptr) return;
    if (binaryAllowed && IsBinary(text, length)) {
        char t[32];
        u16 portNo = GetLe16(text + 8);
        int n = std::snprintf(t, sizeof t, "%d.%d.%d.%d", text[7], text[6], text[5], text[4]);
        if (portNo != 0) std::snprintf(t + n, sizeof t - static_cast<u32>(n), "/%u", portNo);
        std::strncpy(out, t, max);
        out[max] = '\0';
        return;
    }
    u32 n = length < max ? length : max;
    u32 k = 0;
    for (; k < n && text[k] != 0; ++k) out[k] = static_cast<char>(text[k]);
    out[k] = '\0';
}

void Modem_ParseDestination(const char* text, bool udp, ModemConnRequest* r) {
    *r = ModemConnRequest{};
    u32 octet[4] = {};
    u32 field = 0, portNo = 0;
    bool portGiven = false;
    for (u32 k = 0; text[k] != '\0' && k < kGsmDestMax; ++k) {
        char c = text[k];
        if (c >= '0' && c <= '9') {
            if (field < 4)
                octet[field] = (octet[field] * 10 + static_cast<u32>(c - '0')) & 0xFF;
            else
                portNo = (portNo * 10 + static_cast<u32>(c - '0')) & 0xFFFF;
        } else if (c == '.' || c == '/') {
            u32 address = octet[0] << 24 | octet[1] << 16 | octet[2] << 8 | octet[3];
            if (c == '/' && address != 0) portGiven = true;
            if (field < 4) ++field;
        }
    }
    r->address = octet[0] << 24 | octet[1] << 16 | octet[2] << 8 | octet[3];
    r->port = portGiven ? static_cast<u16>(portNo) : kDefaultPort;
    r->socket = 0;
    r->flags = static_cast<u8>((udp ? 0x01 : 0) | (portGiven ? 0x02 : 0));
}

bool Modem_OnDataSocket(int port) {
    GsmRecordRef ref{};
    return port >= 0 && port <= 1 && g.port[port].connected && KindOf(&ref) == Kind::kInternal;
}

int Modem_State(int port, int function) {
    return port >= 0 && port <= 1 && function >= 0 && function <= 2 ? g.port[port].state[function] : 0;
}

void Modem_Reset() { g = State{}; }
