// Media transfer link: a programming-tool client inside the controller. It
// takes the programming port's driver into intercept mode, stuffs command
// frames into it as if they had arrived on the line, and drains what the
// command interpreter answers. While it waits it keeps the interpreter, the
// tick service and the watchdog running, so a transfer runs inside one
// main-loop pass and no scan runs meanwhile.
//
// Waits are measured on the free-running counter; a test advances the
// manual clock from the end of a wait round (mcmdPeers.roundDone).
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

// Results of the waiting calls besides the answer byte.
constexpr u16 kMcmdTimeout = 0x8000;
constexpr u16 kMcmdBadFrame = 0x8001;
// Largest data length this client sends in one frame.
constexpr u32 kMcmdSendMax = 128;
// Largest data length of a frame the client can receive.
constexpr u32 kMcmdFrameMax = 255;

// Takes the link: talk request for the node (2004 or 2005 when refused), then
// intercept mode on with nothing left over from before. 0 when granted.
i32 MCMD_Init(u8 node);
// Intercept mode off, idle timer released.
void MCMD_Close();
// True between a granted MCMD_Init and MCMD_Close.
bool MCMD_Open();

// Stuffs one control byte (the acknowledge 0xA0 after a data frame).
void MCMD_SendCntl(u8 byte);
// Sends a command frame of len (at most 128) bytes and waits for the answer.
// For the commands that answer with a data frame the frame lands in answer
// (cap bytes; its length in *answerLen): 0xFF, kMcmdBadFrame when damaged or
// longer than cap, or the single answer byte; kMcmdTimeout when nothing came.
u16 MCMD_SendCmd(u8 command, u8 len, const u8* data, u8* answer = nullptr, u32 cap = 0, u32* answerLen = nullptr);
// Sends a data frame (an empty one ends a download) and waits for the
// single-byte answer.
u16 MCMD_SendData(u8 len, const u8* data);
// Waits for a frame from the interpreter; its data (at most cap bytes) land
// in buffer and its length in *len.
u16 MCMD_GetData(u32* len, u8* buffer, u32 cap);

// What a wait round keeps alive besides the command interpreter and the
// tick: the watchdog, which a transfer inside one pass would otherwise starve.
struct McmdPeers {
    void (*roundDone)() = nullptr;  // after every wait round
};
extern McmdPeers mcmdPeers;  // filled by core/wiring.cpp
void McmdPeers_Check(NeighbourCheck& check);
void MCMD_Reset();
