#include "io/ioapi.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "io/i2c_io.h"
#include "io/iodriver.h"

u16 io_init[3] = {0xFF, 0xFF, 0xFF};
IoSlotInfoEntry slotinfo[3];
IoDriverPeers ioDriverPeers;
u8 IoOemByte = 0;

// The module table: ident, name, DI, DO, AI, AQ, class, flags.
const IoIdentRow io_ident[kIoIdentRows] = {
    {0x0100, "BASE12", 12, 24, 12, 0, 0xF0, 2},   {0xA60F, "BASE1A", 12, 24, 12, 14, 0xF1, 3},
    {0xA00F, "BASE32", 32, 24, 12, 14, 0xF2, 3},  {0xA40F, "BASE3C", 32, 24, 12, 14, 0xF2, 3},
    {0xA20F, "BASETC", 32, 24, 12, 14, 0xF3, 3},  {0x720F, "SERIAB", 0, 0, 0, 0, 0xF4, 0},
    {0x700F, "SERIAA", 0, 0, 0, 0, 0xF4, 0},      {0x7F0E, "MIX445", 4, 4, 5, 0, 0xF3, 0},
    {0x7F0F, "MODEM1", 0, 0, 0, 0, 0xF4, 0},      {0xBF0F, "MODEM2", 0, 0, 0, 0, 0xF4, 0},
    {0x3F0F, "MODEM3", 0, 0, 0, 0, 0xF4, 0},      {0xDF0F, "MODEM4", 0, 0, 0, 0, 0xF4, 0},
    {0x5F0F, "MODEM5", 0, 0, 0, 0, 0xF4, 0},      {0x9F0F, "DONRU1", 8, 8, 108, 108, 0xF6, 0},
    {0xAE0F, "GENTWO", 0, 0, 0, 0, 0xF4, 0},      {0xAC0F, "GENTWB", 0, 0, 0, 0, 0xF4, 0},
    {0x500F, "METER1", 20, 8, 28, 28, 0xF5, 0},   {0x520F, "METER2", 20, 8, 28, 28, 0xF5, 0},
    {0x8F0F, "AOUT4 ", 0, 0, 0, 4, 0xF3, 0},      {0x0F0F, "AOUT2 ", 0, 0, 0, 2, 0xF3, 0},
    {0x1F0F, "PULMAR", 0, 0, 0, 0, 0, 0},         {0x3F0E, "MIX168", 16, 4, 8, 4, 0, 0},
    {0xDF0E, "MIX322", 32, 38, 12, 14, 0xF3, 3},  {0x1F0E, "MIX214", 2, 4, 1, 4, 0, 0},
    {0x5F0E, "DIO14A", 14, 10, 0, 0, 0, 0},       {0x9F0E, "MIX884", 8, 8, 4, 2, 0, 0},
    {0xEF0F, "MODEM6", 0, 0, 0, 0, 0xF4, 0},      {0xEE0F, "MODEM7", 0, 0, 0, 0, 0xF4, 0},
    {0x6F0F, "MODEM8", 0, 0, 0, 0, 0xF4, 0},      {0x6E0F, "MODEM9", 0, 0, 0, 0, 0xF4, 0},
    {0xAF0F, "MODEMA", 0, 0, 0, 0, 0xF4, 0},      {0xAE0F, "MODEMB", 0, 0, 0, 0, 0xF4, 0},
};

const char io_ident_alt[kIoIdentRows][18] = {
    "XBAS12", "XBAS1A", "XBAS32", "XBAS3C", "XBASTC", "XSERIB", "XSERIA", "XMX445", "XMODM1", "XMODM2", "XMODM3",
    "XMODM4", "XMODM5", "DONRU2", "XGENTW", "XGENTB", "XMETR1", "XMETR2", "XAOUT4", "XAOUT2", "XPULMR", "XMX168",
    "XMX322", "XMX214", "XDIO14", "XMX884", "XMODM6", "XMODM7", "XMODM8", "XMODM9", "XMODMA", "XMODMB",
};

int IoIdent_Find(u16 ident) {
    for (int r = 0; r < kIoIdentRows; ++r)
        if (io_ident[r].ident == ident) return r;
    return -1;
}

const char* IoIdent_Name(int row) {
    if (row < 0 || row >= kIoIdentRows) return "      ";
    return IoOemByte == 0x80 ? io_ident_alt[row] : io_ident[row].name;
}

namespace {

// Message buffers of the interface, one each.
struct State {
    IoMessage ioenv{kIoMsgInit, 0, 0, nullptr};
    IoMessage extmsg{0, 0, 0, nullptr};
    IoMessage iomsg{0, 0, 0, nullptr};
    IoMessage querymsg{0, 0, 0, nullptr};
    IoMessage calmsg{0, 0, 0, nullptr};
    u8 calbuf[64] = {};
};
State g;

constexpr u16 kSlot2Ident = 64000;

void FillRecord(IoSlotRecord* record, u8 status, const char* name, const u16 counts[4]) {
    char text[12];
    char model[7] = "      ";
    if (name) {
        for (int i = 0; i < 6 && name[i]; ++i) model[i] = name[i];
    }
    std::snprintf(text, sizeof text, "I/O: %-6.6s", model);
    std::memcpy(record->info.text, text, 11);
    for (int k = 0; k < 4; ++k) record->SetCount(k, counts[k]);
    record->info.status = static_cast<char>(status);
    record->info.configured = status == 0 ? 1 : 0;
}

// Read-modify-write of one bit of an option expander. Type 1: both ports of
// 0x4E, the bit in the first; type 0: one byte at the standard speed.
int OptionBit(u8 device, u32 type, u8 bit, bool set) {
    u8 b[2] = {0xFF, 0xFF};
    if (I2C_read_io(device, b, type, type == 1 ? 2 : 1) != 0) return 1;
    b[0] = set ? static_cast<u8>(b[0] | bit) : static_cast<u8>(b[0] & ~bit);
    return I2C_write_io(device, b, type, type == 1 ? 2 : 1);
}

u16 Slot1Ident() { return slotinfo[1].ident; }

bool In(u16 v, std::initializer_list<u16> list) {
    for (u16 x : list)
        if (x == v) return true;
    return false;
}

// Modules whose modem power, shutdown and on-off lines sit on 0x4E.
bool ModemLinesA(u16 id) { return In(id, {0x6E0F, 0x6F0F, 0xAE0F, 0xAF0F, 0xEE0F, 0xEF0F}); }

// One image exchange with the slot's module (start and count in bytes of the
// digital images, in words of the analog ones).
void Exchange(u8 kind, int slot, u8* image, u32 start, u32 count) {
    g.extmsg = IoMessage{kind, static_cast<u8>(slot), 0, image};
    g.extmsg.start = static_cast<u16>(start);
    g.extmsg.count = static_cast<u16>(count);
    ioDriverPeers.exchange(&g.extmsg);
}

}  // namespace

int IoInit(const u16* idents, int count) {
    if (count > 3) count = 3;
    for (int s = 0; s < count; ++s) io_init[s] = idents[s];
    int n = count < 2 ? count : 2;
    int unknown = 0;
    g.ioenv = IoMessage{kIoMsgInit, 0, 0, nullptr};
    g.ioenv.idents[0] = g.ioenv.idents[1] = 0xFF;
    for (int s = 0; s < n; ++s) {
        u16 id = idents[s];
        int row = IoIdent_Find(id);
        if (ioDriverPeers.servesOutsideTable && ioDriverPeers.servesOutsideTable(s, id)) {
            slotinfo[s] = {nullptr, 0, id};
        } else if (row >= 0) {
            slotinfo[s] = {&g.ioenv, io_ident[row].cls, id};
        } else {
            slotinfo[s] = {nullptr, 255, id};
            if (id != 0xFF) unknown |= 1 << s;
        }
        g.ioenv.idents[s] = id;
    }
    if (slotinfo[0].cls != 255 || slotinfo[1].cls != 255) ioDriverPeers.exchange(&g.ioenv);
    slotinfo[2].cls = 0;
    return unknown;
}

int IoCfg(IoSlotRecord* record, int slot) {
    if (record == nullptr || slot < 0 || slot > 2) return 0;
    if (slot == 2) {
        // The Ethernet module: the network layer reads its record itself.
        const u16 zero[4] = {0, 0, 0, 0};
        FillRecord(record, 0, "VDL420", zero);
        return 0;
    }
    g.iomsg = IoMessage{kIoMsgConfigure, static_cast<u8>(slot), 0, const_cast<u8*>(record->config)};
    ioDriverPeers.exchange(&g.iomsg);
    g.querymsg = IoMessage{kIoMsgQuery, static_cast<u8>(slot), 0, nullptr};
    ioDriverPeers.exchange(&g.querymsg);
    FillRecord(record, g.querymsg.status, g.querymsg.name, g.querymsg.counts);
    return 0;
}

int IoCal(u8* buffer) {
    if (buffer == nullptr) return 0;
    u32 n = buffer[0];
    u32 slot = n >= 2 ? buffer[2] : 0xFF;
    // A count that cannot hold the slot byte, or a request longer than the
    // calibration buffer, is refused like an unknown slot.
    if (n < 2 || n > 66 || slot > 2 || slotinfo[slot].cls == 255) {
        buffer[0] = 1;
        buffer[1] = 0x40;
        return 0;
    }
    u32 req = n - 2;
    if (slot == 2) {
        std::memmove(buffer + 1, buffer + 3, req);
        buffer[0] = static_cast<u8>(req);
        return 0;
    }
    std::memset(g.calbuf, 0, sizeof g.calbuf);
    std::memcpy(g.calbuf, buffer + 3, req);
    g.calmsg = IoMessage{kIoMsgCalibrate, static_cast<u8>(slot), 0, g.calbuf};
    g.calmsg.length = static_cast<u8>(req);
    ioDriverPeers.exchange(&g.calmsg);
    u32 m = g.calmsg.length <= sizeof g.calbuf ? g.calmsg.length : sizeof g.calbuf;
    buffer[0] = static_cast<u8>(m);
    std::memcpy(buffer + 1, g.calbuf, m);
    return 0;
}

int get_ident(const u16* ident) {
    if (ident == nullptr) return -1;
    int row = IoIdent_Find(*ident);
    return row < 0 ? -1 : io_ident[row].cls;
}

void IoGetIs(u8* image, int slot, u32 firstBit, u32 bits) {
    if (slot < 0 || slot > 1) return;
    Exchange(kIoMsgGetIs, slot, image, firstBit / 8, bits / 8);
}

void IoPutQs(u8* image, int slot, u32 firstBit, u32 bits) {
    if (slot < 0 || slot > 1) return;
    Exchange(kIoMsgPutQs, slot, image, firstBit / 8, bits / 8);
}

void IoGetAIs(u8* image, int slot, u32 firstWord, u32 words) {
    if (slot < 0 || slot > 1) return;
    Exchange(kIoMsgGetAIs, slot, image, firstWord, words);
}

void IoPutAQs(u8* image, int slot, u32 firstWord, u32 words) {
    if (slot < 0 || slot > 1) return;
    Exchange(kIoMsgPutAQs, slot, image, firstWord, words);
}

void IoService(int slot) {
    if (slot < 0 || slot > 1) return;
    g.iomsg = IoMessage{kIoMsgService, static_cast<u8>(slot), 0, nullptr};
    ioDriverPeers.exchange(&g.iomsg);
}

int IoStop() {
    for (u8 slot = 0; slot < 2; ++slot) {
        g.extmsg = IoMessage{kIoMsgStop, slot, 0, nullptr};
        ioDriverPeers.exchange(&g.extmsg);
    }
    return 0;
}

int IoCommPwr(int, int on) {
    u16 id = Slot1Ident();
    if (ModemLinesA(id)) return OptionBit(0x4E, 1, 0x02, !on);
    if (In(id, {0xBF0F, 0xDF0F})) return OptionBit(0x4E, 1, 0x08, !on);
    return 0;
}

int IoCommReset(int, int asserted) {
    u16 id = Slot1Ident();
    bool set = asserted != 0;
    if (In(id, {0xBF0F, 0xDF0F})) return OptionBit(0x4E, 1, 0x04, set);
    if (id == 0x7F0F) return OptionBit(0x4E, 1, 0x20, set);
    if (id == 0x3F0F) return OptionBit(0x4E, 1, 0x80, set);
    if (id == 0x700F) return OptionBit(0x70, 0, 0x40, set);
    if (id == 0x720F) return OptionBit(0x72, 0, 0x40, set);
    return 0;
}

int IoPutDTR(int, int flag) {
    u16 id = Slot1Ident();
    if (In(id, {0x6E0F, 0x6F0F, 0xAE0F, 0xAF0F, 0xBF0F, 0xDF0F, 0xEE0F, 0xEF0F}))
        return OptionBit(0x4E, 1, 0x40, flag == 0);
    if (id == 0x700F) return OptionBit(0x70, 0, 0x08, flag == 0);
    return 0;
}

int IoCommShdn(int, int on) {
    if (ModemLinesA(Slot1Ident())) return OptionBit(0x4E, 1, 0x08, on != 0);
    return 0;
}

int IoCommOnOf(int, int on) {
    if (ModemLinesA(Slot1Ident())) return OptionBit(0x4E, 1, 0x04, on != 0);
    return 0;
}

int IoGetDCD() {
    u16 id = Slot1Ident();
    if (In(id, {0x6E0F, 0x6F0F, 0xAE0F, 0xAF0F, 0xBF0F, 0xDF0F, 0xEE0F, 0xEF0F})) {
        u8 b[2] = {0x20, 0xFF};
        if (I2C_read_io(0x4E, b, 1, 2) != 0) return 0;
        b[0] |= 0x20;  // release the carrier line, then read it
        if (I2C_write_io(0x4E, b, 1, 2) != 0 || I2C_read_io(0x4E, b, 1, 2) != 0) return 0;
        return (b[0] & 0x20) == 0 ? 1 : 0;
    }
    if (id == 0x700F) {
        u8 b = 0xFF;
        if (I2C_read_io(0x70, &b, 0, 1) != 0) return 0;
        return (b & 0x04) == 0 ? 1 : 0;
    }
    return 0;
}

int IoTermSet(int value) { return io_q_put(0, value & 0xF0); }

void IoTick() {}
void api_tickle_watchdog() {}

void strmcpy(char* destination, const char* source, int n) {
    int i = 0;
    for (; i < n; ++i) {
        destination[i] = source[i];
        if (source[i] == '\0') return;
    }
    destination[i] = '\0';
}

void IoDriverPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, ioDriverPeers, exchange);
    NEIGHBOUR_REQUIRE(check, ioDriverPeers, probe);
}

void IoDriver_Reset() {
    g = State{};
    for (auto& id : io_init) id = 0xFF;
    for (auto& e : slotinfo) e = {nullptr, 255, 0xFF};
    IoOemByte = 0;
    I2cIo_Reset();
    IoDriverState_Reset();
}
