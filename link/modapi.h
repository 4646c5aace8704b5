// What the serial Modbus engine's frames mean: a slave executes a request
// against the register areas through the fixed address map (or, while an
// IEC application runs, through the IEC slave map its block passes), with
// diagnostics, listen-only, write inhibit, broadcasts and store-and-forward;
// a master builds its request from six registers (or an IEC request record)
// and takes the response into local registers (or IEC variables).
//
// Everything works on a port's engine record (link/modbus.h) from within
// the engine's step. Every count, address and byte count in a frame is
// checked against the map, the areas and the bytes received before use.
#pragma once

#include "link/modbus.h"
#include "platform/bytes.h"

// Where mapped data lies: packed register bits from bit `shift` of p, 16-bit
// little-endian register words from p, or (bools) one byte per bit.
struct ModRef {
    u8* p = nullptr;
    u32 bytes = 0;  // bytes that belong to the reference from p on
    u8 shift = 0;
    bool bools = false;
};

// IEC request record (little-endian, the data area of an IEC master).
constexpr u32 kModIecRequestBytes = 16;
// IEC slave map (little-endian, the data area of an IEC slave): four u32
// variable references (discrete inputs, coils, input registers, holding
// registers), four u32 sizes (the registers' in 16-bit registers), u16 width
// code (2: 32-bit variables).
constexpr u32 kModIecMapBytes = 34;

// Local register types of a master request.
constexpr u16 kLocSR = 2, kLocAIG = 4, kLocAQG = 6, kLocR = 8, kLocAI = 10, kLocAQ = 12, kLocS = 24, kLocK = 26,
              kLocIG = 66, kLocQG = 68, kLocI = 70, kLocQ = 72, kLocT = 74, kLocM = 76;

// Master build errors (the status word adds bit 1).
constexpr int kModErrSlave = 0x04, kModErrCount = 0x08, kModErrFunction = 0x10, kModErrReference = 0x20;

void MOD_ReqProcess(ModPcb& p);
void Q4_MOD_ReqProcess(ModPcb& p);
int MOD_ReqBuild(ModPcb& p);
int Q4_MOD_ReqBuild(ModPcb& p);
void MOD_RspProcess(ModPcb& p);
void Q4_MOD_RspProcess(ModPcb& p);
void ModbusTickle(int port);
void ModbusScanSAF(ModPcb& p);

// The slave address map: 0 and the reference, or 3 (refused).
int map_input_bits(ModRef* out, u32 address, u32 count);   // discrete inputs (2)
int map_output_bits(ModRef* out, u32 address, u32 count);  // coils (1, 5, 15)
int map_input_words(ModRef* out, u32 address, u32 count);  // input registers (4)
int map_output_words(ModRef* out, u32 address, u32 count); // holding registers (3, 6, 16, 22, 23)
// A master's local reference: 0, kModErrReference or kModErrCount. access 0:
// destination of a read, 1: source of a write.
int map_plc_ref(ModRef* out, u16 type, u16 offset, u32 count, int access, bool bits);

// Data movers between frame bytes and a reference: 0, or 4 until the first
// ModbusInit has run (or when the reference cannot hold the data).
int get_input_bits(u8* frame, const ModRef& from, u32 count);
int put_output_bits(const ModRef& to, const u8* frame, u32 count);
int get_input_words(u8* frame, const ModRef& from, u32 count);
int put_output_words(const ModRef& to, const u8* frame, u32 count);

inline u16 net_in_swap(const u8* b) { return GetBe16(b); }
inline void net_out_swap(u8* b, u16 v) { PutBe16(b, v); }

// Bits into frame bytes (first bit in bit 0; bits beyond count 0), from
// packed register bits at bit `offset` of source, or from one-byte BOOLs.
void BitMsgLoad(u8* frame, const u8* source, u32 offset, u32 count);
void Q4_BitMsgLoad(u8* frame, const u8* source, u32 count);
// Frame bits into packed register bits from bit `offset` of destination
// (the other bits of partial bytes kept), or into one-byte BOOLs (0 or 1).
void BitMemLoad(const u8* frame, u8* destination, u32 offset, u32 count);
void Q4_BitMemLoad(const u8* frame, u8* destination, u32 count);
