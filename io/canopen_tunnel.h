// The programming tunnel: the command protocol of the programming link
// carried between controllers over CAN, as block downloads to object 0x5000
// of the other node's SDO server.
//
// A transfer is byte 0, the sender's node id, then up to 257 bytes of the
// link's stream. The sending side queues what the link hands it
// (CANOpen_PutByte) and sends one transfer at a time, one segment per scan
// and at least 4 ms apart; the receiving side checks every segment against
// the announced size and sequence and passes the bytes of a whole transfer
// to the receive queue that the link reads (Net_CheckRx, Net_GetRx).
//
// Nothing is overwritten or cut: a transfer that does not fit the buffer or
// the receive queue is aborted, link bytes beyond the send queue's room are
// refused, and a transfer the other node never acknowledges ends after
// kCoTunnelTimeoutTicks.
#pragma once

#include "io/candrv.h"
#include "platform/bytes.h"

constexpr u16 kCoTunnelIndex = 0x5000;
// Transfer buffer: the sender's node id and up to 257 bytes of the stream.
constexpr u32 kCoTunnelBufferBytes = 258;
// Bytes the receive queue holds for the link (several whole transfers).
constexpr u32 kCoTunnelQueueBytes = 2048;
// Bytes waiting to be sent.
constexpr u32 kCoTunnelSendBytes = 4096;
// Segments go out at least this many ticks (100 us) apart.
constexpr u32 kCoTunnelPacingTicks = 40;
// A transfer without an answer for this long is given up.
constexpr u32 kCoTunnelTimeoutTicks = 10000;
constexpr u32 kSdoAbortNoMemory = 0x05040005;
constexpr u32 kSdoAbortTimeout = 0x05040000;

// Link modes of CANOpen_PutByte (the link's Vcomm_Mode).
constexpr u32 kCoTunnelRelay = 1, kCoTunnelAnswer = 2;

// Forgets both directions and both queues (node (re)start, tests).
void CoTunnel_Init();

// The receive queue, read by the link.
int Net_CheckRx();
// The next byte; 0 from an empty queue (callers test Net_CheckRx first).
int Net_GetRx();
void Net_FlushRx();

// Queues bytes of the link for the node the link works with. In relay mode
// a whole command frame names the node in its first data byte; answers and
// single bytes go to the last node. Bytes beyond the send queue's room are
// refused (the link's own time-out then ends the exchange).
void CANOpen_PutByte(const u8* bytes, u32 count, u32 linkMode);

// A received frame of the running node: true when the tunnel took it (the
// answers to this node's transfer, or a transfer to object 0x5000 on one of
// this node's SDO server channels).
bool CoTunnel_Frame(const CanMsg& m);
// Per scan, from the node's transmit step: time-out, pacing and the next
// segment or transfer.
void CoTunnel_Transmit();

// Whether a transfer is being sent, and the last abort code this node sent
// or received in the tunnel (0 none), for status and tests.
bool CoTunnel_Sending();
u32 CoTunnel_LastAbort();
u8 CoTunnel_Destination();
