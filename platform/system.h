// System services: the start-up hardware check with the board identity and
// the kernel and ramdisk versions, the product text, the fault-signal
// handler with its countdown to a reset, the hardware watchdog, warm reset
// and factory clear, the two status LEDs, the panel option outputs, the
// serial-port termination switching, the battery test, the register control
// blocks (with the special system registers 992-1023), the battery-backed
// settings image and the per-pass service of the four request mailboxes.
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

constexpr u32 kTinyImageBytes = 124;
// Board identity image (content of /mnt/cfg/TINYIMGE.BIN): bytes 8-13 the
// eth0 address, 14-19 the eth1 address, from byte 32 the eth0 address as
// text, from byte 50 the eth1 address as text.
extern u8 tinyImage[kTinyImageBytes];
constexpr u32 kTinyMac0 = 8, kTinyMac1 = 14, kTinyMacText0 = 32, kTinyMacText1 = 50, kMacTextChars = 17;
// Firmware version text; digits 1, 2, 4 and 5 give SR38.
extern const char version[];

// Kernel release (ESR9-ESR13) and ramdisk version (ESR8).
constexpr u32 kKernelRevBytes = 10;
extern char KernelRev[kKernelRevBytes];
extern u16 InitRdVer;
// "Controller: " and the first five characters of the version text.
extern char productId[32];
constexpr u16 kModelCode = 567;

// Set when the process was started with two or more arguments: the hardware
// watchdog is then never opened.
extern u8 WatchDogDisable;
// Set when the last register-image save failed.
extern u8 AutoregFailed;

// ---------------------------------------------------------------------------
// Start-up, faults, resets.

void SYS_HardwareCheck();
// Sets the product text, SR37 and the fault-signal handlers; returns 1 when a
// firmware load asked for defaults.
int SYS_Init(const char** productText);

// The fault handler (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), also the
// boot-failure display with 0. It runs on an alternate signal stack (so a
// stack overflow of the main thread still reaches it) and uses only
// async-signal-safe calls: it writes the crash log and its messages, stops
// the watchdog, counts down with the LEDs flashing fast, then warm-resets
// (flags 0x8000, register image, clean-stop marker, exit kExitWarmReset).
// A boot failure stops at 0 and stays until the process is ended. Never
// returns.
[[noreturn]] void ExceptionISR(int signalNumber);
// Seconds of the countdown: 59, or PLC_FAULT_COUNTDOWN_S (0-59) when set at
// SYS_Init, so that tests need not wait a minute.
constexpr int kFaultCountdownS = 59;
int SYS_FaultCountdown();

void StartWatchdog();
void StopWatchdog();
// Keep-alive, once per main-loop pass.
void TickleWatchdogReal();
void set_watchdog_time(int seconds);
// Descriptor of the open watchdog device, -1 when closed.
int SYS_WatchdogFd();

// Flags 0x8000, register image, clean-stop marker, restart (exit code
// kExitWarmReset).
[[noreturn]] void SYS_WarmReset();
// Factory clear: deletes the stored program and the register images, then
// restarts.
[[noreturn]] void SYS_VDG();
// Waits n x 10 ms on the free-running counter.
void SYS_Wait(u32 n);

// ---------------------------------------------------------------------------
// Panel outputs, LEDs, battery.

void SYS_MenuOption(int option, int on);
// 1 battery good, 0 low.
int SYS_BattTest();

// LED states: 0 off, 1 on, 2 slow flash (sysFlash), 11 alternating (A with
// sysFlash, B against it), 12 fast flash (Flash100ms).
constexpr int kLedOff = 0, kLedOn = 1, kLedSlow = 2, kLedAlternate = 11, kLedFast = 12;
void SYS_SetStatusLeds(int stateA, int stateB);
// OK LED: 2 while SR34 is 0 or forces are on, else 1 when SR55 is 0, else 0.
int SYS_GetOkLed();
// Run LED: 0 in stop, 1 in run with a program, else 2.
int SYS_GetRunLed();

// ---------------------------------------------------------------------------
// Register control blocks.

struct SysRcb {
    u32 address;   // register bit address, or a special identifier 992-1023
    u32 address2;  // address + offset
    u16 bits;      // length in bits
    u8 bytes;      // low 7 bits: length in bytes; bit 7: sign fill
    u8 flags;
};
constexpr u8 kRcbSignFill = 0x80;
constexpr u32 kRcbScratchBytes = 128;
// Special identifiers.
constexpr u32 kSpecialFirst = 992, kSpecialLast = 1023;

// Selects the list of the mode (0: 400 blocks, 1: 64, other: 16) and empties it.
void SYS_ResetRCBs(int mode);
// The next block of the current list for the address and format word
// (bit 15: low 7 bits are bytes; else bits 6-7 = 3: low 6 bits are bytes,
// 1 or 2: bits, 0: bits with sign fill); nullptr when the list is full.
SysRcb* SYS_LinkReg(u32 address, u16 format);
void SYS_LoadRCBs();
// Copies n bytes of the block's value to the destination: the block's bytes,
// then 0xFF when sign fill applies and the last data byte is negative, else
// 0. Returns 1, or 0 when the register address is invalid (zeros copied).
int SYS_ReadReg(void* destination, const SysRcb* rcb, u32 n);
// Writes the block's value from n source bytes (missing bytes filled as for
// a read). Returns 1, or 0 when refused.
int SYS_WriteReg(const SysRcb* rcb, const void* source, u32 n);
// Writes (bits + 7) / 8 bytes at the block's address + offset.
int SYS_WriteRogueRCB(const SysRcb* rcb, u32 offset, u32 bits, const void* source);

// ---------------------------------------------------------------------------
// Board identity, settings image, flash helpers.

void SYS_GetMACID(u8* destination);
// Copy out of and into the battery-backed settings image `bbram`
// (kBbramBytes); a write is saved to bbram.dta at once. 1 done, 0 when the
// range leaves the image (nothing copied).
int SYS_ReadCmd(void* destination, u32 offset, u32 length);
int SYS_WriteCmd(const void* source, u32 offset, u32 length);
int SYS_BlockErase(u8* block, u32 length);
void SYS_FlashWrite(const u16* source, u16* destination, u32 count);

// ---------------------------------------------------------------------------
// What this module calls of the layers above it; the wiring fills it in.

struct SysPeers {
    // Ethernet settings of interface 0 or 1 for the special registers:
    // field 0 DHCP setting, 1 DNS server, 2 IP address, 3 subnet mask,
    // 4 gateway. Read fills up to max bytes; write takes len bytes.
    void (*netRead)(int iface, int field, u8* out, u32 max) = nullptr;
    void (*netWrite)(int iface, int field, const u8* in, u32 len) = nullptr;
    // A web user is logged in (special register 1003).
    bool (*webUserLoggedIn)() = nullptr;
    // The web HMI server runs (special register 1002).
    bool (*webServerRunning)() = nullptr;
    // Output of the termination relays (bits 4-7 of the control byte).
    void (*ioTermSet)(u8 control) = nullptr;
    // Hardware address of Ethernet port 0 or 1 from the board identity.
    void (*setMacId)(const u8* mac6, int port) = nullptr;
    // The four request mailboxes served by SYS_Update: 0 file requests,
    // 1 data logger, 2 e-mail, 3 debug log. Each mailbox starts with a
    // request toggle, an acknowledge toggle, two bytes, and the i32 result
    // (little-endian) at byte 4; it is pending while the toggles differ.
    // mailbox gives its bytes; mailboxLoad hands the request to the media
    // manager (1 accepted); mailboxPoll answers 4 when complete with the
    // result.
    u8* (*mailbox)(int index) = nullptr;
    int (*mailboxLoad)(int index) = nullptr;
    int (*mailboxPoll)(int index, i32* result) = nullptr;
};
extern SysPeers sysPeers;  // filled by core/wiring.cpp
void SysPeers_Check(NeighbourCheck& check);

constexpr int kNetDhcp = 0, kNetDns = 1, kNetIp = 2, kNetMask = 3, kNetGateway = 4;
constexpr int kSysMailboxes = 4;
// Service state of a mailbox: 0 idle, 2 request in the media manager.
int SYS_MailboxState(int index);

// Once per pass: the mailboxes, then the termination switching.
void SYS_Update();
void SYS_ExtendedOption();

// Forgets the module state (tests).
void SYS_Reset();
