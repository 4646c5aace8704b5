#include "remote/wifi.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "platform/fpga.h"
#include "platform/masterscript.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "remote/wifiStatus.h"

WifiControl wifiCntFlw{};
u8 IpAddr2Change = 0, IpAddr3Change = 0;

namespace {

constexpr u32 kChainRecordsMax = 40;

struct Module {
    u8 conf[kWifiConfBytes] = {};     // the record in force (constants may be rewritten)
    u8 applied[kWifiConfBytes] = {};  // the record last applied, for download tracking
    u16 crc = 0;
    u8 waitDownload = 0, downloadSeen = 0;
    u16 status = 0;
    u16 apFailed = 0;
    WifiTimer presence, apPoll, apTimeout, station, off, link;
};
Module g;

u32 ConfU32(u32 offset) { return GetLe32(g.conf + offset); }
u16 Source() { return GetLe16(g.conf + kWcSource); }

u32 RegWord(u32 offset) {
    u16 v = 0;
    u32 reg = ConfU32(offset);
    if (reg != 0) PlcReg_Get(&v, reg, 16);
    return v;
}

// A text of at most max characters from its register (max bytes) or its
// constant (32 bytes, cut to max), into out (cleared to capacity first).
void ReadText(bool fromReg, u32 regOffset, u32 constOffset, u32 max, char* out, u32 capacity) {
    std::memset(out, 0, capacity);
    if (fromReg) {
        u32 reg = ConfU32(regOffset);
        if (reg != 0) PlcReg_Get(out, reg, max * 8);
    } else {
        std::memcpy(out, g.conf + constOffset, max);
    }
    out[max < capacity ? max : capacity - 1] = 0;
}

void SetBits(u16 mask, bool on) { g.status = on ? static_cast<u16>(g.status | mask) : static_cast<u16>(g.status & ~mask); }
void SetField(u16 shift, u16 width, u16 value) {
    u16 mask = static_cast<u16>(((1u << width) - 1) << shift);
    g.status = static_cast<u16>((g.status & ~mask) | ((value << shift) & mask));
}
void WriteStatus() { setWifiStatusReg(0, g.status, 16); }

bool HasControl(const char* text) {
    for (const char* p = text; *p; ++p)
        if (static_cast<u8>(*p) < 0x20 || *p == 0x7F) return true;
    return false;
}

void ApSettings(WifiControl* c) {
    const u16 src = Source();
    ReadText(src & kWsApSsid, kWcApSsidReg, kWcApSsid, 16, c->apSsid, sizeof c->apSsid);
    ReadText(src & kWsApPass, kWcApPassReg, kWcApPass, 16, c->apPass, sizeof c->apPass);
    u32 security = (src & kWsSecurity) ? RegWord(kWcSecurityReg) : g.conf[kWcSecurity];
    c->apSecurity = security == 1 ? 2 : 32;
    u32 channel = (src & kWsChannel) ? RegWord(kWcChannelReg) : GetLe16(g.conf + kWcChannel);
    c->apChannel = channel == 1 ? 1 : channel == 2 ? 6 : channel == 3 ? 11 : 0;
    EnetPortConfig& uap = Dpr_Configuration[3];
    if (uap.ip == 0) {
        uap.ip = kWifiDefaultApAddress;
        _nx_ip_address_set(&EnetIp[3], uap.ip, uap.mask);
    }
    c->apAddress = uap.ip;
    // Only the two letters of the code fit the field.
    std::memset(c->country, 0, sizeof c->country);
    const u8* country = g.conf + kWcCountry;
    if (g.conf[kWcCountrySel] == 1) {
        c->apOption = g.conf[kWcApOption] & 1;
        if (country[0] != 0 && country[1] != 0) std::memcpy(c->country, country, 2);
        else std::memcpy(c->country, "US", 2);
    } else {
        c->apOption = 1;
        std::memcpy(c->country, "US", 2);
    }
    SetBits(kWifiSsidInvalid | kWifiPassInvalid | kWifiDefaults, false);
    const bool ssidOk = Wifi_ValidSsid(c->apSsid), passOk = Wifi_ValidPass(c->apPass);
    SetBits(kWifiSsidInvalid, !ssidOk);
    SetBits(kWifiPassInvalid, !passOk);
    if (ssidOk && passOk) return;
    // One default serves as both, written back where each came from.
    std::memset(c->apSsid, 0, sizeof c->apSsid);
    std::memset(c->apPass, 0, sizeof c->apPass);
    std::strcpy(c->apSsid, kWifiDefaultCredential);
    std::strcpy(c->apPass, kWifiDefaultCredential);
    char value[16] = {};
    std::memcpy(value, kWifiDefaultCredential, std::strlen(kWifiDefaultCredential));
    struct {
        u16 flag;
        u32 regOffset, constOffset;
    } back[2] = {{kWsApSsid, kWcApSsidReg, kWcApSsid}, {kWsApPass, kWcApPassReg, kWcApPass}};
    for (const auto& b : back) {
        if (src & b.flag) {
            if (ConfU32(b.regOffset) != 0) PlcReg_Set(ConfU32(b.regOffset), value, 128);
        } else {
            std::memset(g.conf + b.constOffset, 0, 32);
            std::memcpy(g.conf + b.constOffset, value, sizeof value);
        }
    }
    SetBits(kWifiDefaults, true);
}

// False when a text holds a control character: the station is not started.
bool StSettings(WifiControl* c) {
    const u16 src = Source();
    ReadText(src & kWsStSsid, kWcStSsidReg, kWcStSsid, 32, c->stSsid, sizeof c->stSsid);
    ReadText(src & kWsStPass, kWcStPassReg, kWcStPass, 32, c->stPass, sizeof c->stPass);
    c->stOption = static_cast<u8>((src & kWsStOption) ? RegWord(kWcStOptionReg) : g.conf[kWcStOption]);
    c->stFlag = (src & kWsStFlag) ? 1 : 0;
    const bool ssidBad = HasControl(c->stSsid), passBad = HasControl(c->stPass);
    SetBits(kWifiSsidInvalid, ssidBad);
    SetBits(kWifiPassInvalid, passBad);
    return !ssidBad && !passBad;
}

u8 RequestedMode() {
    if (Source() & kWsMode) g.conf[kWcMode] = static_cast<u8>(RegWord(kWcModeReg));
    return g.conf[kWcMode];
}

void ApFailure(WifiControl* c) {
    ++g.apFailed;
    c->apStarting = 0;
    c->retry = g.apFailed <= 4 ? 1 : 0;
    c->mode = kWifiModeOff;
    SetField(12, 4, g.apFailed);
    c->state = kWifiMonitor;
}

void ApCheck(WifiControl* c) {
    if (!g.apPoll.running) {
        nonBlkDelay(&g.apPoll, 0, 0);
        return;
    }
    if (!nonBlkDelay(&g.apPoll, kWifiApPollTicks, 1)) return;
    std::string path = Root_HostPath(kWifiApStatus);
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char text[8] = {};
        size_t n = std::fread(text, 1, 7, f);
        std::fclose(f);
        ::unlink(path.c_str());
        if (n > 0 && text[0] == '0') {
            c->apUp = 1;
            SetBits(kWifiApUp, true);
            c->apStarting = 0;
            IpAddr3Change = 1;
            g.apFailed = 0;
            SetField(12, 4, 0);
            c->state = kWifiMonitor;
            return;
        }
        if (n > 0 && text[0] >= '1' && text[0] <= '4') {
            ApFailure(c);
            return;
        }
    }
    SetBits(kWifiApUp, false);
    c->apUp = 0;
    if (nonBlkDelay(&g.apTimeout, kWifiApTimeoutTicks, 1)) ApFailure(c);
}

void LinkMonitor(WifiControl* c) {
    if (!g.link.running) {
        nonBlkDelay(&g.link, 0, 0);
        return;
    }
    if (!nonBlkDelay(&g.link, kWifiLinkTicks, 1)) return;
    u8 link = 0;
    i16 level = 0;
    getStModeStatus(&link, &level);
    const bool connected = link != 0 || (level >= -255 && level <= -1);
    SetBits(kWifiStConnected, connected);
    c->stConnected = connected ? 1 : 0;
    c->stState = connected ? 1 : 3;
    c->level = static_cast<i8>(connected ? (level < -128 ? -128 : level) : -128);
    SetField(8, 3, connected ? Wifi_SignalClass(level) : kWifiClassPoor);
    if (connected && c->renewNeeded) {
        c->renewNeeded = 0;
        MasterScript_Write(kWifiRenewLine);
    } else if (connected) {
        u32 address = 0, mask = 0;
        _nx_ip_address_get(&EnetIp[2], &address, &mask);
        if (address == 0) address = EnetIp[2].address;
        Dpr_Configuration[2].ip = address;
        if (address != c->stAddress) {
            c->stAddress = address;
            IpAddr2Change = 1;
        }
    } else if (c->stAddress != 0) {
        Dpr_Configuration[2].ip = 0;
        c->renewNeeded = 1;
    }
}

// The settings taken from registers against those in force; true when one
// changed (the new value is kept).
bool TriggeredChange(WifiControl* c) {
    const u16 src = Source();
    bool changed = false;
    if (src & kWsMode) {
        u8 m = static_cast<u8>(RegWord(kWcModeReg));
        if (m != g.conf[kWcMode]) g.conf[kWcMode] = m, changed = true;
    }
    auto text = [&](u16 flag, u32 regOffset, u32 bytes, char* inForce, u32 capacity) {
        if (!(src & flag)) return;
        char v[36] = {};
        ReadText(true, regOffset, 0, bytes, v, sizeof v);
        if (std::strncmp(v, inForce, capacity) != 0) {
            std::memset(inForce, 0, capacity);
            std::memcpy(inForce, v, bytes < capacity ? bytes : capacity - 1);
            changed = true;
        }
    };
    text(kWsApSsid, kWcApSsidReg, 16, c->apSsid, sizeof c->apSsid);
    text(kWsApPass, kWcApPassReg, 16, c->apPass, sizeof c->apPass);
    if (src & kWsChannel) {
        u32 v = RegWord(kWcChannelReg);
        u8 ch = v == 1 ? 1 : v == 2 ? 6 : v == 3 ? 11 : 0;
        if (ch != c->apChannel) c->apChannel = ch, changed = true;
    }
    if (src & kWsSecurity) {
        u8 sec = RegWord(kWcSecurityReg) == 1 ? 2 : 32;
        if (sec != c->apSecurity) c->apSecurity = sec, changed = true;
    }
    text(kWsStSsid, kWcStSsidReg, 32, c->stSsid, sizeof c->stSsid);
    text(kWsStPass, kWcStPassReg, 32, c->stPass, sizeof c->stPass);
    return changed;
}

void Monitor(WifiControl* c) {
    u32 trigger = ConfU32(kWcUpdateReg);
    u8 bit = 0;
    if (trigger != 0 && PlcReg_Get(&bit, trigger, 1) && bit == 1) {
        g.apFailed = 0;
        const u8 zero = 0;
        PlcReg_Set(trigger, &zero, 1);
        if (TriggeredChange(c)) {
            c->retry = 1;
            c->mode = c->mode == kWifiModeOff ? kWifiModeReread : kWifiModeOff;
        }
    }
    if (!c->present) {
        if (c->prevPresent) getMacAddress(c);
        else c->mode = kWifiModeOff;
        c->prevPresent = 0;
        c->initialised = 0;
    } else if (!c->prevPresent) {
        c->prevPresent = 1;
        getMacAddress(c);
    }
    if (c->applied == c->mode) {
        if (c->mode == kWifiModeStation) {
            LinkMonitor(c);
        } else if (c->mode == kWifiModeAp && c->apAddress != Dpr_Configuration[3].ip) {
            c->retry = 1;
            c->mode = kWifiModeOff;
        }
        return;
    }
    switch (c->mode) {
        case kWifiModeOff: c->state = kWifiOff; break;
        case kWifiModeAp: c->state = kWifiAp; break;
        case kWifiModeStation: c->state = kWifiStation; break;
        case kWifiModeReread: c->state = kWifiRead; break;
        default: break;
    }
}

// Download tracking; true when this pass ends here.
bool TrackDownload(WifiControl* c) {
    const u16 crc = io_config_bl.Crc();
    if (crc != g.crc) {
        g.crc = crc;
        g.waitDownload = 1;
        g.downloadSeen = 1;
        return true;
    }
    if (g.waitDownload && Cmd_Downloading == 0) {
        g.waitDownload = 0;
        return true;
    }
    if (g.downloadSeen && Cmd_Downloading == 0) {
        g.downloadSeen = 0;
        wifiConfigDownload();
        if (std::memcmp(g.conf, g.applied, kWifiConfBytes) != 0) {
            std::memcpy(g.applied, g.conf, kWifiConfBytes);
            c->mode = c->mode == kWifiModeOff ? kWifiModeReread : kWifiModeOff;
            c->configChanged = 1;
            c->state = kWifiMonitor;
        }
    }
    return false;
}

}  // namespace

int nonBlkDelay(WifiTimer* t, u32 ticks, int flag) {
    const u32 now = FPGA_GetFrt();
    if (flag == 0) {
        t->start = now;
        t->running = 1;
        return 0;
    }
    if (!t->running || static_cast<u32>(now - t->start) > ticks) {
        t->running = 0;
        return 1;
    }
    return 0;
}

void getIpString(u32 a, char* text) {
    std::sprintf(text, "%d.%d.%d.%d", static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 255),
                 static_cast<int>((a >> 8) & 255), static_cast<int>(a & 255));
}

void setWifiStatusReg(u32 bitOffset, u32 value, int width) {
    u32 reg = ConfU32(kWcStatusReg);
    if (reg == 0 || (width != 1 && width != 8 && width != 16 && width != 32)) return;
    u8 bytes[4];
    PutLe32(bytes, value);
    PlcReg_Set(reg + bitOffset, bytes, static_cast<u32>(width));
}

int wifiConfigDownload() {
    u32 size = io_config_bl.Size();
    if (size > io_config_bl.capacity) size = io_config_bl.capacity;
    u32 pos = 0;
    for (u32 k = 0; k < kChainRecordsMax && pos + 4 <= size; ++k) {
        const u16 id = GetLe16(io_config + pos), len = GetLe16(io_config + pos + 2);
        if (len == 0xFFFF) return 0;
        if (id == kWifiRecordId) {
            // A short record leaves the rest of the copy zero.
            u32 n = std::min<u32>({len, kWifiConfBytes, size - pos - 4});
            std::memset(g.conf, 0, kWifiConfBytes);
            std::memcpy(g.conf, io_config + pos + 4, n);
            return 1;
        }
        pos += 4 + (static_cast<u32>(len) + 3) / 4 * 4;
    }
    return 1;
}

int wifiHwStatus(WifiControl* c) {
    auto read = [](const char* path, u16* value) {
        FILE* f = std::fopen(Root_HostPath(path).c_str(), "r");
        if (f == nullptr) {
            *value = 0;
            return ::access(Root_HostPath(path).c_str(), F_OK) != 0;  // missing counts as 0
        }
        char text[8] = {};
        size_t n = std::fread(text, 1, 7, f);
        std::fclose(f);
        unsigned short v = 0;
        if (n == 0 || std::sscanf(text, "%hx", &v) != 1) return false;
        *value = v;
        return true;
    };
    u16 vendor = 0, product = 0;
    if (!read(kWifiVendorPath, &vendor) || !read(kWifiProductPath, &product)) return c->present;
    c->present = vendor == 0x1286 && (product == 0x2049 || product == 0x204A) ? 1 : 0;
    SetBits(kWifiPresent, c->present != 0);
    return c->present;
}

void getMacAddress(WifiControl* c) {
    const char* unknown = c->present ? "XX:XX:XX:XX:XX:XX" : "00:00:00:00:00:00";
    if (c->querySocket < 0) {
        c->querySocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::snprintf(c->mac, sizeof c->mac, "%s", c->present ? ">>:>>:>>:>>:>>:>>" : "00:00:00:00:00:00");
        return;
    }
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", c->ifName);
    if (ioctl(c->querySocket, SIOCGIFHWADDR, &r) != 0) {
        std::snprintf(c->mac, sizeof c->mac, "%s", unknown);
        return;
    }
    const u8* m = reinterpret_cast<const u8*>(r.ifr_hwaddr.sa_data);
    std::snprintf(c->mac, sizeof c->mac, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", m[0], m[1], m[2], m[3], m[4], m[5]);
    c->macKnown = 1;
    c->macRead = 1;
}

void Wifi_Quote(const char* text, char* out, u32 capacity) {
    std::string q = "'";
    for (const char* p = text; *p; ++p) q += *p == '\'' ? std::string("'\\''") : std::string(1, *p);
    q += "'";
    std::snprintf(out, capacity, "%s", q.c_str());
}

void sendCmdToMscript(WifiControl* c, u8 mode) {
    char line[512];
    if (mode == kWifiModeAp) {
        char ssid[160], pass[160], country[16], ip[16];
        Wifi_Quote(c->apSsid, ssid, sizeof ssid);
        Wifi_Quote(c->apPass, pass, sizeof pass);
        Wifi_Quote(c->country, country, sizeof country);
        getIpString(c->apAddress, ip);
        std::snprintf(line, sizeof line, "%s %s %s %s %s %d %d %d %s\n", kWifiScript, "apMode", ssid, pass, ip,
                      c->apSecurity, c->apChannel, c->apOption, country);
        c->lastRadioMode = 1;
    } else if (mode == kWifiModeStation) {
        char ssid[160], pass[160];
        Wifi_Quote(c->stSsid, ssid, sizeof ssid);
        Wifi_Quote(c->stPass, pass, sizeof pass);
        std::snprintf(line, sizeof line, "%s %s %s %s\n", kWifiScript, "stMode", ssid, pass);
        c->lastRadioMode = 2;
    } else {
        std::snprintf(line, sizeof line, "%s %s\n", kWifiScript, "disable");
    }
    MasterScript_Write(line);
}

int Wifi_ValidSsid(const char* t) {
    size_t n = std::strlen(t);
    if (n < 4 || n > 16) return 0;
    for (; *t; ++t)
        if (!std::isalnum(static_cast<unsigned char>(*t)) && std::strchr("~!@#$%^*_+-=.", *t) == nullptr) return 0;
    return 1;
}

int Wifi_ValidPass(const char* t) {
    size_t n = std::strlen(t);
    return n >= 8 && Wifi_ValidSsid(t);
}

u16 Wifi_SignalClass(int level) {
    if (level >= -29) return kWifiClassExcellent;
    if (level >= -67) return kWifiClassGood;
    if (level >= -80) return kWifiClassFair;
    return kWifiClassPoor;
}

void WiFi_Init(WifiControl* c) {
    const int oldSocket = c->querySocket;
    *c = WifiControl{};
    c->querySocket = oldSocket > 0 ? oldSocket : -1;
    if (c->querySocket < 0) c->querySocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::snprintf(c->ifName, sizeof c->ifName, "mlan0");
    wifiHwStatus(c);
    getMacAddress(c);
    c->state = kWifiRead;
    c->applied = 4;
    c->firstRead = 1;
    g.crc = io_config_bl.Crc();
    wifiConfigDownload();
    std::memcpy(g.applied, g.conf, kWifiConfBytes);
    nonBlkDelay(&g.presence, 0, 0);
    g.status = static_cast<u16>(c->present ? kWifiPresent : 0);
    WriteStatus();
}

int WiFi_Scan(WifiControl* c) {
    WriteStatus();
    if (nonBlkDelay(&g.presence, kWifiPresenceTicks, 1)) {
        nonBlkDelay(&g.presence, 0, 0);
        wifiHwStatus(c);
        if (!c->macKnown) getMacAddress(c);
    }
    if (TrackDownload(c)) return 1;
    switch (c->state) {
        case kWifiRead: {
            if (c->configChanged || c->firstRead) {
                wifiConfigDownload();
                c->configChanged = 0;
                c->firstRead = 0;
            }
            const u8 mode = RequestedMode();
            if (mode == kWifiModeAp) {
                ApSettings(c);
                c->mode = kWifiModeAp;
            } else if (mode == kWifiModeStation) {
                c->mode = StSettings(c) ? kWifiModeStation : kWifiModeOff;
            } else if (mode == kWifiModeOff) {
                c->mode = kWifiModeOff;
            }
            c->retry = 0;
            c->state = kWifiMonitor;
            break;
        }
        case kWifiAp:
            if (c->applied != c->mode) {
                ::unlink(Root_HostPath(kWifiApStatus).c_str());
                c->apStarting = 1;
                sendCmdToMscript(c, c->mode);
                c->applied = c->mode;
                nonBlkDelay(&g.apTimeout, 0, 0);
                g.apPoll.running = 0;
            } else {
                ApCheck(c);
            }
            break;
        case kWifiStation:
            if (c->applied != c->mode) {
                c->stState = 2;
                c->stAddress = 0;
                sendCmdToMscript(c, c->mode);
                c->applied = c->mode;
                nonBlkDelay(&g.station, 0, 0);
            } else if (nonBlkDelay(&g.station, kWifiStationTicks, 1)) {
                g.link.running = 0;
                c->state = kWifiMonitor;
            }
            break;
        case kWifiOff:
            if (c->applied != kWifiModeOff) {
                if (c->stState != 0) {
                    c->stState = 0;
                    c->stAddress = 0;
                    c->level = 0;
                    Dpr_Configuration[2].ip = 0;
                }
                sendCmdToMscript(c, kWifiModeOff);
                c->applied = c->mode;
                nonBlkDelay(&g.off, 0, 0);
            } else if (nonBlkDelay(&g.off, kWifiOffTicks, 1)) {
                c->apUp = 0;
                c->stConnected = 0;
                SetBits(kWifiApUp | kWifiStConnected | kWifiSsidInvalid | kWifiPassInvalid | kWifiDefaults, false);
                SetField(8, 4, 0);
                if (c->configChanged || c->retry) c->mode = kWifiModeReread;
                c->state = kWifiMonitor;
            }
            break;
        default:
            break;
    }
    if (c->state == kWifiMonitor) Monitor(c);
    return 1;
}

const u8* Wifi_Conf() { return g.conf; }
u16 Wifi_StatusWord() { return g.status; }
u16 Wifi_ApFailures() { return g.apFailed; }

void Wifi_Reset() {
    if (wifiCntFlw.querySocket > 0) ::close(wifiCntFlw.querySocket);
    wifiCntFlw = WifiControl{};
    wifiCntFlw.querySocket = -1;
    IpAddr2Change = IpAddr3Change = 0;
    g = Module{};
}
