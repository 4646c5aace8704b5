// The register memory shared by the program, the I/O, every protocol server
// and the panel, and the access functions that decode register bit addresses.
#pragma once

#include "platform/bytes.h"

class NeighbourCheck;

constexpr u32 kPlcRegBytes = 109176;

// What the register memory reaches above it: the side effects of a
// system-register write, the running IEC application's variables and the
// controller identity that start-up mirrors. Every entry is required.
struct RegPeers {
    // System-register writes.
    void (*setMode)(u8 mode) = nullptr;       // SR5: the mode change
    void (*networkRestart)() = nullptr;       // SR29, SR30: the controller network restarts
    void (*portRequest)(u8 how) = nullptr;    // SR34: the programming port is re-opened
    void (*menuOption)(int option, int on) = nullptr;  // SR164 bits 0 and 1
    // The IEC application.
    u8 (*iecLoaded)() = nullptr;          // 1 while the stored program carries an IEC application
    u8 (*iecVariablesKnown)() = nullptr;  // 1 once its variables are enumerated
    u8 (*onlineEditing)() = nullptr;      // the on-line programming mode is on
    // Storage of a variable reference: 1 resolved, 0 nothing to store into, -1 outside.
    int (*iecSpan)(u32 reference, u8** data, u32* bytes) = nullptr;
    void (*packBools)(const u8* source, u8* packed, u32 count) = nullptr;      // one byte per BOOL to bits
    void (*unpackBools)(const u8* packed, u8* destination, u32 count) = nullptr;  // bits to one byte per BOOL
    void (*stopIec)() = nullptr;  // a cold clear stops the application
    // Controller identity.
    const u8* (*identityImage)() = nullptr;  // the identity image; its bytes 10-13 (big-endian) give SR35
    const char* (*versionText)() = nullptr;  // firmware version text; digits 1, 2, 4 and 5 give SR38
};
extern RegPeers regPeers;  // filled by core/wiring.cpp
void RegPeers_Check(NeighbourCheck& check);

// Byte offsets of the fixed areas inside plc_reg.
constexpr u32 kRegIG = 0, kRegQG = 32, kRegS = 64, kRegK = 96, kRegAIG = 128, kRegAQG = 192, kRegSR = 256,
              kRegF = 640, kRegI = 896, kRegQ = 1152, kRegT = 1408, kRegM = 1664, kRegAI = 1920, kRegAQ = 2944,
              kRegR = 3968, kRegET = 104448, kRegEM = 106496, kRegESR = 108544, kRegSettings = 109056,
              kRegColdMarker = 109168;

alignas(8) extern u8 plc_reg[kPlcRegBytes];
alignas(8) extern u8 old_reg[kPlcRegBytes];

// Fixed positions: SRn is word 127+n, ESRn is word 54271+n, Sn is bit n-1 from byte 64.
inline u16 SR_Get(int n) { return GetLe16(&plc_reg[2 * (127 + n)]); }
inline void SR_Put(int n, u16 v) { PutLe16(&plc_reg[2 * (127 + n)], v); }
inline u16 ESR_Get(int n) { return GetLe16(&plc_reg[2 * (54271 + n)]); }
inline void ESR_Put(int n, u16 v) { PutLe16(&plc_reg[2 * (54271 + n)], v); }
inline bool S_Get(int n) { return (plc_reg[kRegS + (n - 1) / 8] >> ((n - 1) % 8)) & 1; }
inline void S_Put(int n, bool on) {
    u8& b = plc_reg[kRegS + (n - 1) / 8];
    u8 m = static_cast<u8>(1u << ((n - 1) % 8));
    b = on ? static_cast<u8>(b | m) : static_cast<u8>(b & ~m);
}
// 32-bit value in a word pair SRn (low) and SRn+1 (high).
inline u32 SR_GetDword(int n) { return SR_Get(n) | (static_cast<u32>(SR_Get(n + 1)) << 16); }
inline void SR_PutDword(int n, u32 v) {
    SR_Put(n, static_cast<u16>(v));
    SR_Put(n + 1, static_cast<u16>(v >> 16));
}

// System-register limit table: row k for SR(k+1).
struct SrInfo {
    u8 width;  // bits; 0 continues a wider register
    u32 min;
    u32 max;  // min 1 and max 0: read-only
};
extern const SrInfo sr_info[192];

// Force table (data of the downloaded force table block): u16 input count,
// u16 output count, then entries of three u16 (0-based word index into
// plc_reg, AND mask, OR value), inputs first; at most 42 entries fit. A
// forced word becomes (word AND mask) OR value. Counts beyond the table and
// word indexes beyond the register memory are ignored.
constexpr u32 kForceTableBytes = 256;
extern u8 io_force[kForceTableBytes];
void PlcForceInputs();   // applies the input entries (the scan calls it while S12 is set)
void PlcForceOutputs();  // applies the output entries

// Register bit addresses: 0x400-0xCC3FF the linear range (bit 0 of byte 0 is
// 0x400); the windows 0x10008000 (ET), 0x1001C000 (EM), 0x10030000 (ESR); both
// top bits set names a variable of the running IEC application (IecVarRef)
// while its variables are enumerated. Lengths are in bits: 1, or a multiple
// of 8.
//
// Pointer to the addressed bytes, null when the address is invalid or the
// (bits + 7) / 8 bytes from it would leave the register memory (or the IEC
// variable's table).
u8* PlcReg_Ptr(u32 address, u32 bits);
// 1 on success, 0 when the address is invalid. bits = 1 gives 0 or 1 in the
// destination byte; otherwise bits / 8 bytes are copied.
int PlcReg_Get(void* destination, u32 address, u32 bits);
// 1 when written (or accepted), 0 when refused: invalid address, a system
// register value outside its limits, an IEC variable during on-line change.
// System registers with side effects (mode, node id, clock, port request,
// menu options) act on the value.
int PlcReg_Set(u32 address, const void* source, u32 bits);
// The same decode into old_reg (register addresses only).
u8* OldReg_Ptr(u32 address, u32 bits);

void PlcOldInit();          // old_reg = plc_reg
void PlcTmpClear();         // warm start and I/O start
void PlcRegClear();         // cold clear (stops the IEC application instead while one is loaded)
void PlcRegInit(int cold);  // start-up and after a register image was restored
int PlcBatCheck();          // 1 when the cold-start marker holds "WATCHBAT"
// Low 16 bits of the limits of sr_info[row] (row = SR number - 1), to be
// compared unsigned; 0 and 0 for a row outside the table.
void VmDbWordSR_MinMax(u16* minimum, u16* maximum, int row);

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final XOR); crc16_next
// continues from a previous value over a further piece.
u16 crc16(const void* data, u32 length);
u16 crc16_next(const void* data, u32 length, u16 crc);

// 32-bit values in word pairs, low word first.
u32 UTIL_GetDword(const u16* words);
void UTIL_PutDword(u16* words, u32 value);
float UTIL_GetFloat(const u16* words);

// Kernel build number from the kernel release text in ESR9-ESR13
// (characters 4, 5, 7 and 8 as decimal digits); 0 when they are not digits.
int Main_KernelBuild();
