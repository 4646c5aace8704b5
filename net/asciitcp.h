// ASCII over TCP: one TCP server connection per interface through which the
// user program exchanges raw bytes with a remote client, in run mode with
// the interface's ASCII service on. The program sends by writing a count and
// the bytes into the transmit area and 1 into the trigger register; received
// bytes land in the receive area with their count, up to a terminator.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kAsciiMaxBytes = 2000;  // one message, either way
constexpr u32 kAsciiSegment = 1380;   // bytes per transmit packet
constexpr u32 kAsciiWindowTicks = 500;  // 50 ms: later bytes start a new message

// Status word bits.
constexpr u16 kAsciiCut = 0x0001, kAsciiTxCut = 0x0002, kAsciiNoSocket = 0x0004, kAsciiReceived = 0x8000;

// Words of the areas: the count, then (receive) the terminator, then data.
constexpr u32 kAsciiAreaWords = 2 + kAsciiMaxBytes / 2;

struct AsciiTCPConnEth {
    NxIp* ip = nullptr;
    NxPacketPool* pool = nullptr;
    NxTcpSocket socket;
    u16 status = 0;
    u16 port = 0;
    u32 segmentTimer = 0;  // FPGA ticks at the start of the message being received; 0 none
    u32 lastSegment = 0;
    u8 listening = 0;
    u8 socketFailed = 0;
    u16 stored = 0;              // bytes of the message received so far
    u8 message[kAsciiMaxBytes] = {};
};

u32 Ascii_Init(NxIp* ip, NxPacketPool* pool);  // 0, or 1 when the socket could not be made
void Ascii_Scan(int iface);
u32 Ascii_cnn_cnt(int iface);
void Ascii_DeInit(NxIp* ip);
bool Ascii_HasWork();
void Ascii_Reset();
const AsciiTCPConnEth& Ascii_Block(int iface);
