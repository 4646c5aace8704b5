// Firmware update and installation from removable media:
//   - the installation of install mode (process started with one argument):
//     kernel, full system (UBI volumes), firmware, MAC addresses and OEM
//     selection from the medium, ending in a warm reset or an LED code;
//   - the update started by holding LOAD: kernel, firmware and the update
//     commands of update.init, stepped by the button machine;
//   - the automatic firmware load from a versioned UPDATE folder on the card,
//     run by the media manager while SR154 asks for it.
// Flash, UBI, mount and reboot go through the shell-command runner, which
// carries them out inside the root or only records them.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/neighbour.h"
#include "storage/boardid.h"
#include "storage/cfmgr.h"

// Start-up: the update machine at its start (state 4), no LED child.
void FwUpdate_Init();
// Arms the program load from the card that the LOAD button's update found.
void ArmCardProgramLoad();

// ---------------------------------------------------------------------------
// Installation.

// Stock taken of the medium (bits of the installation).
constexpr u32 kInstKernel = 0x1, kInstFull = 0x2, kInstFirmware = 0x4, kInstIdentity = 0x10;

// How an installation ends.
enum class InstallEnd {
    Reset,       // everything requested succeeded with an identity: warm reset
    Nothing,     // nothing to install: both LEDs flash slowly for ever
    Failed,      // a kernel, full-install or firmware step failed: fast flash
    NoIdentity,  // no board identity: the LEDs blink a code for ever
};
// Runs the installation up to its ending (the steps before the indication).
InstallEnd Install_Run();
// Install mode: Install_Run, then the reset or the indication. Never returns.
[[noreturn]] void InstallBoot();
// Blinks in one group of the missing-identity code.
constexpr int kIdentityBlinkCode = 3;

// ---------------------------------------------------------------------------
// Update from media (LOAD held 3 s).

// Result bits.
constexpr int kUpdKernel = 0x1, kUpdFirmware = 0x4, kUpdMedium = 0x20, kUpdProgram = 0x40, kUpdNothing = 0x80;
// 0 while the update runs, else the result bits.
int UpdateKernFirmApplic();
// State of the update machine (4 start, 5 work, 6 finish).
int FwUpdate_State();

// The update commands: with "rootfstype=ubifs" in /proc/cmdline and
// update.init on the medium folder, unzips it and runs every line of
// path.info through the command runner (lines end at CR or LF; characters
// below 32 are dropped; a line longer than 200 characters is refused).
void RunUpdateCommands(const char* mediumFolder);
constexpr u32 kUpdateLineMax = 200;

// First firmware file of the search order present in the folder; "" none.
std::string FindFirmwareFile(const char* mediumFolder);
extern const char* const kFirmwareNames[14];

// ---------------------------------------------------------------------------
// Automatic firmware load from the card.

// Operation 27 of the media manager: checks the listed UPDATE folders and
// loads the newest firmware above SR38/SR59; 0 or a media status code.
i32 GetFirmwareDir(int drive, CfmListRequest* request);
// 1 when the card file (drive-letter path) exists and is not empty: the
// controller then stops until the load ends; 0 otherwise.
int SD_check_fw_file(const char* path);
// Copies the card file over the firmware and restarts; returns 0 when the
// copy failed (the old firmware is kept, the mode restored, SR154 |= 0x4000).
int Load_fw_file_from_mSD(const char* path);
// The SR154 bit 0x100 request of the media manager's supervision step: load
// "\vtx8400c" from the card when it is there.
void SD_load_fw_request();
// True for "V" followed by seven digits (version x 100, revision).
bool FwFolderNameValid(const char* name);

// The OEM selection that oeminfo.txt on the stick gives (firmware path):
// 1-3 decimal digits, a line end may follow; -1 when it holds none.
int ReadOemSelection(const std::string& firmwarePath);

// ---------------------------------------------------------------------------
// The waits, the LOAD button and the restarts of an update or installation;
// the wiring fills them in with the FwUpdate_ functions below.
struct FwUpdatePeers {
    void (*wait10ms)(u32 count) = nullptr;
    bool (*loadHeld)() = nullptr;
    void (*restart)() = nullptr;  // warm reset after an update or installation
    void (*reboot)() = nullptr;   // restart after the automatic load
};
extern FwUpdatePeers fwUpdatePeers;  // filled by core/wiring.cpp
void FwUpdatePeers_Check(NeighbourCheck& check);

// The controller's own: the 10-ms waits of the system services, the LOAD
// button as the board shows it, the warm reset, and the restart (the process
// ends with the warm-reset code; the run script starts it again).
void FwUpdate_Wait10ms(u32 count);
bool FwUpdate_LoadHeld();
void FwUpdate_Restart();
void FwUpdate_Reboot();
// Ends the LED child; the update machine back at state 4.
void FwUpdate_Reset();
