// The CAN bus of the simulated board, and the frame record every CAN user
// exchanges with the kernel.
//
// Frames are the 16-byte SocketCAN can_frame records: u32 identifier word
// (flag bits below), u8 length code, three pad bytes, eight data bytes. The
// identifier word is kept little-endian here whatever the host, so the bytes
// on the stand-in bus are the same on every machine.
//
// Where the kernel has no SocketCAN, the CAN port runs on a stand-in bus:
// UDP datagrams of exactly one can_frame on 127.0.0.1. A bus is named by a
// UDP port B (environment variable PLC_CAN_BUS, independent of
// PLC_PORT_OFFSET so that controllers with different offsets share a bus).
// Ports B .. B+15 are the bus's 16 seats: a node takes the first free seat by
// binding it, and sends each frame to every other seat, so every node sees
// every frame but its own, as on a real bus. Anything that follows this rule
// (a test script, the plccan tool) is a node of the bus. The bus does not
// cross network namespaces.
#pragma once

#include "platform/bytes.h"

constexpr int kCanFrameBytes = 16;
constexpr u32 kCanEffFlag = 0x80000000u;  // 29-bit identifier
constexpr u32 kCanRtrFlag = 0x40000000u;  // remote transmission request
constexpr u32 kCanErrFlag = 0x20000000u;  // error frame (class bits in the identifier)
constexpr u32 kCanEffMask = 0x1FFFFFFFu;
constexpr u32 kCanSffMask = 0x7FFu;

struct CanFrame {
    u32 idWord = 0;  // identifier with the flag bits above
    u8 length = 0;   // length code as sent (0-15 on the wire)
    u8 data[8] = {};
};

void CanFrame_Pack(const CanFrame& f, u8* out16);
CanFrame CanFrame_Unpack(const u8* in16);

constexpr int kCanBusSeats = 16;
// The stand-in bus that CAN users join when PLC_CAN_BUS is unset and the
// kernel has no SocketCAN.
constexpr int kCanDefaultBus = 29400;

// One node's place on the stand-in bus.
struct CanBusSeat {
    int fd = -1;    // non-blocking UDP socket bound to the seat's port
    int bus = 0;    // first port of the bus
    int seat = -1;  // 0 .. kCanBusSeats-1
};

// The bus of PLC_CAN_BUS: a port from 1 to 65535-15; 0 when unset or not a
// valid port.
int CanBus_FromEnvironment();
// Takes the first free seat of the bus. False when the port is not valid,
// every seat is taken or no socket could be made (errno tells).
bool CanBus_Join(int bus, CanBusSeat* seat);
void CanBus_Leave(CanBusSeat* seat);
// Puts one frame on the bus. Answers kCanFrameBytes when it went out, -1 when
// the socket refused it (full send queue: try again later).
int CanBus_Send(const CanBusSeat& seat, const u8* frame16);
// Takes one waiting frame. Answers kCanFrameBytes, or -1 when none waits.
// Datagrams of another size are not frames: they are read and dropped.
int CanBus_Receive(const CanBusSeat& seat, u8* frame16);
