// Serial link layer: the operation tables of serial ports 0 and 1, the mode
// record every user opens a port with, the port ownership rule, and who holds
// the programming link (lock, host, mode, node id).
#pragma once

#include "platform/bytes.h"
#include "link/sci.h"

// Six-byte mode record: baud code 0-9 (300-115200), parity (0 none, 1 odd,
// 2 even), data bits (2 = 7, 3 = 8), stop bits (0 one, 1 two), line mode
// 0-5, protocol byte (low nibble the owner, high nibble port options).
constexpr u32 kVcommModeBytes = 6;
constexpr u32 kSomBaud = 0, kSomParity = 1, kSomData = 2, kSomStop = 3, kSomLine = 4, kSomProto = 5;
using SerialOpenMode = u8[kVcommModeBytes];

// Owners named by the protocol nibble.
constexpr u8 kProtoFree = 0, kProtoProgramming = 1, kProtoRtu = 3, kProtoWorkbench = 6;

// The programming default (9600 8N1, programming link) and the start-up mode
// of ports 0 and 1 (9600 8N1, free, port options 3).
extern const SerialOpenMode tovra_mode;
extern const SerialOpenMode rism_mode;

// Non-zero when an owner with the current nibble may hand the port to the
// requested one. Nibbles above 4 are outside the table: a port in such a
// mode may only be given back to the programming link, and no Open may
// request one.
int Vcomm_OpenAllowed(u8 currentNibble, u8 requestedNibble);

// The operations of one port. The three interceptor operations act on the
// port whose table they sit in.
struct VcommDriver {
    u8* mode;  // the driver's own mode record
    int (*Open)(u32 port, const u8* modeRecord);
    int (*Test)(u32 port);
    int (*StatusRx)(u32 port, int clear);
    int (*CheckRx)(u32 port);
    int (*CountRx)(u32 port);
    void (*FlushRx)(u32 port);
    int (*GetRx)(u32 port);
    int (*EmptyTx)(u32 port);
    int (*CheckTx)(u32 port);
    int (*CountTx)(u32 port);
    void (*FlushTx)(u32 port);
    int (*PutTx)(u32 port, u8 byte);
    int (*PutnTx)(u32 port, const u8* data, u32 length);
    int (*PutsTx)(u32 port, const char* text);
    void (*RtuTx)(u32 port);
    int (*GetRts)(u32 port);
    void (*SetCts)(u32 port, int value);
    int (*GetDtr)(u32 port);
    void (*SetDsr)(u32 port, int value);
    int (*GetDCD)(u32 port);
    void (*Enable)(u32 port, int value);
    void (*InitWait)(u32 port, u32 microseconds, u32 third);
    int (*WaitRx)(u32 port, u8* byte);
    int (*IoCtl)(u32 port, int request, u32* value);
    void (*SetIntrcpt)(int on);
    int (*StuffRx)(u8 byte);
    int (*DrainTx)(u8* byte);
};
extern VcommDriver Vcomm_Drv[2];

// Reopens serial port 0 or 1 in the programming default mode through its driver.
void Vcomm_OpenProgrammingMode(u32 port);

// --- Who holds the programming link ---------------------------------------
// Bit 0: a frame is being received or a command runs; bit 1: the host locked
// the link (command 25); 0: free.
extern u32 Vcomm_Lock;
// Counts every fall of the lock to 0.
extern u16 Vcomm_Idle;
// Hosts: 0 programming serial port or modem, 1 Ethernet, 2 another
// controller over CAN, 3 USB.
constexpr u32 kHostSerial = 0, kHostEthernet = 1, kHostCan = 2, kHostUsb = 3;
extern u32 Vcomm_Host;
// 0 local, 1 relaying to node Vcomm_ConnectId over CAN, 2 being programmed
// through CAN by another controller.
constexpr u32 kLinkLocal = 0, kLinkRelay = 1, kLinkRemote = 2;
extern u32 Vcomm_Mode;
extern u8 Vcomm_ConnectId;

void Vcomm_Init();
void* Vcomm_GetEvtPtr(void* pointer);
// 0 clears the lock, 1 sets bit 0, 2 clears bit 0, 3 sets bit 1, 4 clears
// bit 1. Returns the operation.
int Vcomm_LockSet(int operation);
// Claims the link when it is free (or, for the frame that set bit 0, free but
// for that bit): stores host, mode and node id and sets the lock to 1.
void Vcomm_ModeSet(int frameStart, u32 host, u32 mode, u8 nodeId);

// Forgets the link state (tests). The port drivers keep
// their own state (Sci_Reset).
void Vcomm_Reset();
