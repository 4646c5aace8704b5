// Media manager: every removable-media request of the services in the main
// loop goes through it. A client owns a client control block (slot), places
// one request in it and polls it on later passes; a scheduler passes one
// request at a time to the server through the queue "CFI_REQUEST", the
// server (CFM_TheLoop, once per pass) carries it out with the drive-letter
// file API and answers through "CFI_RESPONSE". A supervision step
// (CFM_Update, once per pass) keeps the card's status and space in SR175-
// SR179 and runs the safe-removal handshake of SR174.
//
// It also owns the mailbox block dpram through which the file instructions,
// the data logger, the e-mail client and the debug log post their requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"
#include "platform/tx_api.h"
#include "storage/cf_api.h"

// ---------------------------------------------------------------- client slots

// Slot states.
constexpr i32 kCfcbIdle = 0, kCfcbRequested = 1, kCfcbSent = 2, kCfcbDone = 4, kCfcbFailed = 5,
              kCfcbCancelled = 6;
// Answers of CFM_PollReq.
constexpr int kCfmBusy = 2, kCfmComplete = 4;
// Result of a failed, lost or cancelled request.
constexpr i32 kCfmLost = 97;

// Server operations.
enum CfmOp : i32 {
    kCfmOpen = 0,
    kCfmRead = 1,
    kCfmWrite = 2,
    kCfmClose = 3,
    kCfmRename = 4,
    kCfmDelete = 5,
    kCfmFormat = 6,
    kCfmMakeDir = 7,
    kCfmRemoveDir = 8,
    kCfmChangeDir = 9,
    kCfmList = 10,
    kCfmDeleteListed = 11,
    kCfmStatus = 12,
    kCfmFreeSpace = 13,
    kCfmReadFile = 14,
    kCfmWriteFile = 15,
    kCfmPgmIdentity = 16,
    kCfmPgmValidate = 17,
    kCfmPgmLoad = 18,
    kCfmReleaseLink = 19,
    kCfmPgmSave = 20,
    kCfmCopy = 23,
    kCfmFirmwareDir = 27,
};

// Client control block. The arguments are native pointers or values (an
// in-memory record of this process).
struct tCFCB {
    i32 state;
    i32 drive;
    i32 operation;
    intptr_t first;
    intptr_t second;
    i32 result;
};
constexpr int kCfcbCount = 14;
extern tCFCB CFCB[kCfcbCount];
extern tCFCB* const pUpdtCFCB;            // 0 supervision
extern tCFCB* const pDpramCFCB;           // 1 file request mailbox
extern tCFCB* const pLoggerCFCB;          // 2 data logger
extern tCFCB* const pDirCFCB;             // 3 manual backup and restore
extern tCFCB* const pVidCFCB;             // 4 reserved
extern tCFCB* const pDbgLoggerCFCB;       // 5 debug-log mailbox
extern tCFCB* const pEmailCFCB;           // 8 e-mail
extern tCFCB* const pLoadSDFirmwareCFCB;  // 13 card firmware directory

// Argument record of open, read, write and close: the file object, the name
// (open) or the data, the size (open: the flags) and the count out.
struct CfmFileArgs {
    FxFile* file;
    const void* data;
    u32 size;
    u32* count;
};
// The four argument words of the data-logger, e-mail and debug-log mailboxes
// are read as this record (open, read, write, close) or as a listing request.
static_assert(sizeof(CfmFileArgs) == 32, "four native words");

// Listing request of operation 10: the count out, the pattern and whether
// ".." is listed.
struct CfmListRequest {
    u32 count;
    const char* pattern;
    u8 includeParent;
};
static_assert(offsetof(CfmListRequest, pattern) == 8 && offsetof(CfmListRequest, includeParent) == 16,
              "read from the argument words of the e-mail mailbox");
// One recorded entry of the last listing.
struct CfmListRecord {
    char name[256];
    char ext[15];
    u8 attr;  // 0x80 on the last record when more entries follow
    u8 unused;
    u8 one;
    u16 time;
    u16 date;
    u32 size;
};
constexpr u32 kCfmListMax = 512;
extern CfmListRecord* pEntryTbl[kCfmListMax];
constexpr i32 kCfmListEmpty = 1002, kCfmListNoMatch = 1000;

// Supervision record.
struct CfmRecord {
    u32 freeKb;
    u32 totalKb;
    u32 status;
    u32 requestCount;
};
extern CfmRecord cfm;
// Media status values of SR175 besides the CF status codes.
constexpr u16 kMediaRemovalWaiting = 7, kMediaSafeToRemove = 6;

// "CFI_REQUEST" (four words: drive, operation, slot and the ticket of the
// request in flight; its native-pointer arguments stay with the scheduler) and "CFI_RESPONSE" (two
// words: 0, result), one message each.
extern TxQueue qcb_cfi;
extern TxQueue qcb_cfo;
void CFM_CreateQueues();

// Automatic program load: start-up decided to load from the card; a load is
// in progress (the scan is skipped meanwhile); its state machine must start
// over; the LOAD key armed a load; requests served since start (up to 6).
extern u8 Sys_AppLoad;
extern u8 Sys_AutoLoad;
extern u8 Sys_ALstmcInited;
extern u8 Sys_ManualLoadKey;
extern u8 Sys_CFinitTime;

// Start-up: clears the states, assigns the slots, CF_Init; returns SR29.
u16 CFM_Open();
void CFM_LoadReq(tCFCB* slot, i32 drive, i32 operation, intptr_t first, intptr_t second);
// 2 busy; 4 complete with *result (97 for a failed or unknown request).
int CFM_PollReq(tCFCB* slot, i32* result);
// 0 while the slot is in the server; otherwise it is made idle and 1.
int CFM_IsBlkReady(tCFCB* slot);
// 1 when every slot is idle, done or failed.
int CFM_IsAllHalted();
void CFM_CancelReq(tCFCB* slot);
void CFM_ClearSafe();
// Record of five words: free kB, total kB, status, request count, drive.
int CFM_GetParm(u32* record);
void CFM_Update();
void CFM_TheLoop();
// Download-image-corrupt flag; program and data exception hooks (nothing
// calls them in this system).
int CFM_IsDmemCorrupt();
void CFM_SetDmemCorrupt(int corrupt);
void CFM_LoadPgmException();
void CFM_LoadDatException();

// Expands the date and time tokens ($D $M $Y $h $m $s $W, $<1-4>u<k>) of a
// file name into out (cap bytes). False, with out empty, when the result
// would not fit.
bool ConvertMeta(const char* text, char* out, u32 cap);

// ---------------------------------------------------------------- mailbox block

// Offsets in dpram. The file request mailbox's name areas end before the
// mailboxes behind it, so a long name can never run into them.
constexpr u32 kDpramStartArea = 0, kDpramStartBytes = 268;
constexpr u32 kDpramData = 268, kDpramDataBytes = 8192;
constexpr u32 kDpramTalk = 8460;
constexpr u32 kDpramFile = 8464;
constexpr u32 kDpramFileResult = 8468;
constexpr u32 kDpramFileBlock = 8472;
constexpr u32 kDpramNameDelete = 8476, kDpramNameRename = 8480, kDpramNameRead = 8516, kDpramNameWrite = 8528;
constexpr u32 kDpramNameBytes = 513;
// Native addresses of a record transfer (field list; instruction record),
// which do not fit the 32-bit request words.
constexpr u32 kDpramFilePointers = 9048;
// u32 bytes of the field list of a record read (0: not known).
constexpr u32 kDpramFieldListBytes = 9064;
// Data-logger, e-mail and debug-log mailboxes: byte request toggle, byte
// acknowledge toggle, byte command, byte drive, i32 result, then four
// native-width argument words.
constexpr u32 kDpramLogger = 9072;
constexpr u32 kDpramEmail = 9112;
constexpr u32 kDpramDbgLogger = 74312;
constexpr u32 kDpramMailboxBytes = 40;
constexpr u32 kDpramBytes = kDpramDbgLogger + kDpramMailboxBytes;
static_assert(kDpramNameWrite + kDpramNameBytes <= kDpramFilePointers, "names stay inside the file mailbox");
static_assert(kDpramFieldListBytes + 4 <= kDpramLogger, "pointer area before the logger mailbox");
static_assert(kDpramLogger + kDpramMailboxBytes <= kDpramEmail, "mailboxes apart");
extern u8 dpram[kDpramBytes];

// Start-up: clears the start area (its first byte then 1), the talk and file
// request mailbox heads and the three other mailboxes.
void Dpram_Init();
// Talk request of the media transfers, once per pass.
void Dpram_Service();

// Mailbox translations (the mailbox step of the system update calls them
// for a pending mailbox, then polls the mailbox's slot with CFM_PollReq):
// 0 while a safe removal is requested (nothing posted), else 1.
int CFM_LoadDpramReq();
int CFM_LoadLoggerReq();
int CFM_LoadEmailReq();
int CFM_LoadDBGLoggerReq();

// Forgets all state (tests).
void CFM_Reset();
