// Serial port drivers: logical port 0 ("/dev/ttySP3"), logical port 1
// ("/dev/ttySP4"), the USB device port ("/dev/ttyGS0") and the spare driver
// of "/dev/ttySP0" that nothing initialises. Ports 0 and 1 publish their
// operations in Vcomm_Drv (link/vcomm.h); the USB port's operations are
// called directly.
//
// The devices are paths under the root (platform/serial.h). What a
// pseudo-terminal cannot do (modem lines, the board driver's private requests
// 0x5461, 0x5463, 0x5465, 0x5466, the interface-select output of port 1) is
// answered here and recorded, so tests can read the settings the driver
// built.
//
// No call waits for the device: what a full device does not take at once is
// kept in the driver and written on the later calls (the transmit counts
// include it, so "transmit empty" still means every byte has left), and
// WaitRx answers 2 while no byte and no frame gap is there yet, to be asked
// again on a later pass.
#pragma once

#include <termios.h>

#include <vector>

#include "platform/bytes.h"
#include "platform/neighbour.h"
#include "platform/serial.h"

// Driver units.
constexpr int kSciPort0 = 0, kSciPort1 = 1, kSciUsb = 2, kSciSpare = 3;
constexpr int kSciUnits = 4;

// Ring size of the intercept mode (and of the RTU frame buffer).
constexpr u32 kSciRingBytes = 2048;

// What the serial drivers reach of the layers above them.
struct SciPeers {
    // Build number of the board's kernel (4 digits of its revision text, 0
    // when unreadable); an RTU open asks it to choose who finds frame gaps.
    int (*kernelBuild)() = nullptr;
};
extern SciPeers sciPeers;  // filled by core/wiring.cpp
void SciPeers_Check(NeighbourCheck& check);

int SCI0_Init(int port);
int SCI1_Init(int port);
int SCI4_Init(int value);
int SCI2_Init(int port);
void USBPortMon();

// Operations of the USB port.
u8* SCI4_ModeRecord();
int SCI4_Open(const u8* modeRecord);
int SCI4_CheckRx();
int SCI4_CountRx();
int SCI4_GetRx();
void SCI4_FlushRx();
int SCI4_EmptyTx();
int SCI4_CountTx();
int SCI4_PutTx(u8 byte);
int SCI4_PutnTx(const u8* data, u32 length);
int SCI4_PutsTx(const char* text);
// 1 with a byte, 0 at a frame gap or outside run mode, 2 while nothing has
// come yet (ask again on a later pass).
int SCI4_WaitRx(u8* byte);
void SCI4_InitWait(u32 microseconds, u32 third);
void SCI4_SetIntrcpt(int on);
int SCI4_StuffRx(u8 byte);
int SCI4_DrainTx(u8* byte);

// Descriptors lent to the IEC workbench's serial link.
extern int* FileDesForMJ3;
extern int* FileDesForUSB;
extern int* FileDesForMJ1;

// What a driver did, for tests and the board tool.
struct SciRequest {
    unsigned long request;  // private request, TIOCMBIS or TIOCMBIC
    long argument;
};
struct SciView {
    int fd = -1;                // -1 when not open
    termios newTio{};           // the attributes last built
    int timerMode = 0;          // 0 none, 1 frame gap, 2 explicit time-out
    int rtuIndex = 0;           // 0 idle, 2 armed, 1 expired
    int rtuCheckKernel = 0;     // the serial driver finds frame gaps
    int kernelBuild = 0;
    int hdRtu = 0;              // one-shot timer handle, 0 none
    int interfaceBit = 0;       // port 1's interface-select output
    int fifoOff = 0;            // UART FIFO switched off
    u32 rtuOverflows = 0;       // RTU frames dropped for exceeding the buffer
    std::vector<SciRequest> requests;  // the most recent requests (0x5463 not recorded)
};
const SciView& Sci_View(int unit);
// Next answer of private request 0x5463 (frame gap seen) on a unit; a
// positive answer is given once.
void Sci_SetGapAnswer(int unit, int answer);
// True while a unit's intercept mode is on.
bool Sci_InterceptOn(int unit);
// 3.5 character times of a baud code in microseconds (codes 0-12).
u32 Sci_CharTime(u32 baudCode);
// The gap value that an RTU open hands the serial driver.
u32 Sci_KernelGap(const u8* modeRecord);

// Closes every device and forgets all driver state (tests).
void Sci_Reset();
