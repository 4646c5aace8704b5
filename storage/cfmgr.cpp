#include "storage/cfmgr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "link/command.h"
#include "link/talk.h"
#include "net/enet.h"
#include "platform/fpga.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "storage/cf_fw_load.h"
#include "storage/pgmmedia.h"
#include "webhmi/dartu_glue.h"

TxQueue qcb_cfi;
TxQueue qcb_cfo;
u8 Sys_AppLoad = 0;
u8 Sys_AutoLoad = 0;
u8 Sys_ALstmcInited = 0;
u8 Sys_ManualLoadKey = 0;
u8 Sys_CFinitTime = 0;

tCFCB CFCB[kCfcbCount];
tCFCB* const pUpdtCFCB = &CFCB[0];
tCFCB* const pDpramCFCB = &CFCB[1];
tCFCB* const pLoggerCFCB = &CFCB[2];
tCFCB* const pDirCFCB = &CFCB[3];
tCFCB* const pVidCFCB = &CFCB[4];
tCFCB* const pDbgLoggerCFCB = &CFCB[5];
tCFCB* const pEmailCFCB = &CFCB[8];
tCFCB* const pLoadSDFirmwareCFCB = &CFCB[13];

CfmRecord cfm;
CfmListRecord* pEntryTbl[kCfmListMax];
alignas(8) u8 dpram[kDpramBytes];

namespace {

// Scheduler.
constexpr u16 kClientIdle = 0, kClientInFlight = 2;
// The request in flight: its arguments, kept by the scheduler because the
// 32-bit queue words cannot carry native pointers.
struct InFlight {
    i32 drive, operation;
    intptr_t first, second;
    u32 ticket;
};

// Supervision.
enum Removal { kRemovalOff, kRemovalUnderWay, kRemovalComplete };

struct State {
    u32 requestStorage[4] = {};  // backing store of qcb_cfi
    u32 responseStorage[2] = {};  // backing store of qcb_cfo
    u16 clientState = kClientIdle;
    u16 clientPos = 0;
    InFlight sent{};
    u32 ticket = 0;
    Removal removal = kRemovalOff;
    int upd = 0;
    u32 updStamp = 0;
    u32 pollTotal = 0, pollFree = 0;
    CfmListRequest fwListing{};
    u8 dmemCorrupt = 0;
    // Listing of operation 10.
    CfmListRecord listRecords[kCfmListMax] = {};
    u32 listCount = 0;
    std::string listBase;
    // Mailbox translations: the expanded names and the request handed to the
    // server.
    char name1[kFxMaxPath + 1] = {};
    char name2[kFxMaxPath + 1] = {};
    CfTransferRequest dpramReq{};
    CfRenameRequest dpramRename{};
};
State g;

int SlotIndex(const tCFCB* slot) { return static_cast<int>(slot - CFCB); }

void ClientScan() {
    if (g.clientState == kClientInFlight) {
        u32 resp[2];
        u32 st = _txe_queue_receive(&qcb_cfo, resp, 0);
        if (st == kTxQueueEmpty) return;
        if (st != kTxSuccess) {
            std::printf("CompactFlash CFO msg err = %d\n", static_cast<int>(st));
            return;
        }
        g.clientState = kClientIdle;
        tCFCB& s = CFCB[g.clientPos];
        if (s.state == kCfcbCancelled) {
            s.state = kCfcbIdle;
            return;
        }
        if (s.state != kCfcbSent) {
            s.state = kCfcbFailed;
            return;
        }
        s.result = static_cast<i32>(resp[1]);
        s.state = kCfcbDone;
        g.clientPos = static_cast<u16>((g.clientPos + 1) % kCfcbCount);
    } else if (g.clientState != kClientIdle) {
        g.clientState = kClientIdle;
        return;
    }
    for (int i = 0; i < kCfcbCount; ++i) {
        int idx = (g.clientPos + i) % kCfcbCount;
        tCFCB& s = CFCB[idx];
        if (s.state != kCfcbRequested) continue;
        s.state = kCfcbSent;
        g.clientPos = static_cast<u16>(idx);
        g.clientState = kClientInFlight;
        g.sent = InFlight{s.drive, s.operation, s.first, s.second, ++g.ticket};
        u32 msg[4] = {static_cast<u32>(s.drive), static_cast<u32>(s.operation), static_cast<u32>(idx), g.ticket};
        u32 st = _txe_queue_send(&qcb_cfi, msg, 0);
        if (st != kTxSuccess) std::printf("CompactFlash CFI msg err = %d\n", static_cast<int>(st));
        return;
    }
}

// Listing of operation 10 into the record area.
i32 GetDirectory(int drive, CfmListRequest* req) {
    if (!req || !req->pattern) return kCfInvalid;
    req->count = 0;
    g.listCount = 0;
    i16 st = CF_GetStatus(drive);
    if (st != kCfOk) return st;
    CfDirEntry* e = new CfDirEntry{};
    st = CF_GetFirst(drive, e, req->pattern);
    if (st != kCfOk) {
        delete e;
        return st == kCfExists ? kCfmListNoMatch : st;
    }
    // The base path keeps a drive letter in front, so that operation 11
    // deletes on the listed drive.
    std::string pat = req->pattern;
    pat = pat.substr(0, std::min<size_t>(pat.find('*'), 510));
    std::string letter;
    if (pat.size() >= 2 && pat[1] == ':') {
        letter = pat.substr(0, 2);
        pat = pat.substr(2);
    }
    while (!pat.empty() && (pat.front() == '\\' || pat.front() == '/')) pat.erase(0, 1);
    if (!pat.empty() && (pat.back() == '\\' || pat.back() == '/')) pat.pop_back();
    g.listBase = letter + "\\" + pat;
    if (g.listBase.size() > 1 && g.listBase.back() == '\\') g.listBase.pop_back();

    u32 examined = 0;
    bool more = false;
    while (st == kCfOk) {
        if (examined == kCfmListMax) {
            more = true;
            break;
        }
        ++examined;
        bool dot = std::strcmp(e->name, ".") == 0;
        bool dotdot = std::strcmp(e->name, "..") == 0;
        if (!(e->attr & kFxVolume) && !dot && !(dotdot && !req->includeParent)) {
            CfmListRecord& r = g.listRecords[g.listCount];
            r = CfmListRecord{};
            std::memcpy(r.name, e->name, sizeof r.name);
            std::memcpy(r.ext, e->ext, sizeof r.ext);
            r.attr = e->attr;
            r.one = 1;
            r.time = e->time;
            r.date = e->date;
            r.size = e->size;
            pEntryTbl[g.listCount] = &r;
            ++g.listCount;
        }
        st = CF_GetNext(drive, e);
    }
    CF_GetDone(drive, e);
    delete e;
    if (st != kCfOk && st != kCfExists) {
        g.listCount = 0;
        return st;
    }
    u32 sorted = g.listCount;
    if (more && g.listCount > 0) {
        pEntryTbl[g.listCount - 1]->attr = 0x80;
        --sorted;
    }
    std::stable_sort(pEntryTbl, pEntryTbl + sorted, [](const CfmListRecord* a, const CfmListRecord* b) {
        bool da = a->attr & kFxDirectory, db = b->attr & kFxDirectory;
        if (da != db) return da;
        int c = std::memcmp(a->name, b->name, 8);
        if (c != 0) return c < 0;
        return std::memcmp(a->ext, b->ext, 3) < 0;
    });
    req->count = g.listCount;
    return g.listCount ? 0 : kCfmListEmpty;
}

std::string TrimRight(const char* s, size_t cap) {
    std::string t(s, strnlen(s, cap));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

i32 DeleteListed(int drive) {
    for (u32 i = 0; i < g.listCount; ++i) {
        const CfmListRecord& r = *pEntryTbl[i];
        std::string full = g.listBase + "\\" + TrimRight(r.name, sizeof r.name);
        std::string ext = TrimRight(r.ext, sizeof r.ext);
        if (!ext.empty()) full += "." + ext;
        if (full.size() > kFxMaxPath) continue;
        if (r.attr & kFxDirectory) {
            if (std::strcmp(r.name, "..") != 0) CF_RemoveDir(drive, full.c_str());
        } else if (!(r.attr & kFxVolume)) {
            CF_DeleteFile(drive, full[0] == '\\' ? full.c_str() + 1 : full.c_str());
        }
    }
    return 0;
}

i32 Execute(const InFlight& rq) {
    int drive = rq.drive;
    void* first = reinterpret_cast<void*>(rq.first);
    void* second = reinterpret_cast<void*>(rq.second);
    auto* fa = static_cast<CfmFileArgs*>(first);
    switch (rq.operation) {
        case kCfmOpen:
            return fa ? CF_Open(fa->file, static_cast<const char*>(fa->data), fa->size) : kCfInvalid;
        case kCfmRead:
            return fa ? CF_Read(fa->file, const_cast<void*>(fa->data), fa->size, fa->count) : kCfInvalid;
        case kCfmWrite:
            return fa ? CF_Write(fa->file, fa->data, fa->size, fa->count) : kCfInvalid;
        case kCfmClose:
            return fa ? CF_Close(fa->file) : kCfInvalid;
        case kCfmRename:
            return CF_RenameFile(static_cast<CfRenameRequest*>(first));
        case kCfmDelete:
            return CF_DeleteFile(drive, static_cast<const char*>(first));
        case kCfmFormat:
            return CF_FormatCard(drive);
        case kCfmMakeDir:
            return CF_MakeDir(drive, static_cast<const char*>(first));
        case kCfmRemoveDir:
            return CF_RemoveDir(drive, static_cast<const char*>(first));
        case kCfmChangeDir:
            return CF_ChangeDir(drive, static_cast<const char*>(first));
        case kCfmList:
            return GetDirectory(drive, static_cast<CfmListRequest*>(first));
        case kCfmDeleteListed:
            return DeleteListed(drive);
        case kCfmStatus:
            if (drive == 0) CF_GetStatus(1);
            return CF_GetStatus(drive);
        case kCfmFreeSpace: {
            u32* total = static_cast<u32*>(first);
            u32* free = static_cast<u32*>(second);
            if (drive == 0) {
                u32 t = 0, f = 0;
                if (CF_GetStatus(1) == kCfOk) CF_GetFreeSpace(1, &t, &f);
            }
            i16 st = CF_GetStatus(drive);
            if (st != kCfOk) {
                if (total) *total = 0;
                if (free) *free = 0;
                return st;
            }
            return CF_GetFreeSpace(drive, total, free);
        }
        case kCfmReadFile:
            return CF_ReadFile(drive, static_cast<CfTransferRequest*>(first));
        case kCfmWriteFile:
            return CF_WriteFile(drive, static_cast<CfTransferRequest*>(first));
        case kCfmCopy:
            return CF_CopyFile(static_cast<CfRenameRequest*>(first));
        case kCfmPgmIdentity:
            return PgmReadIdentity(static_cast<u8*>(first));
        case kCfmPgmValidate:
            return ValidatePgm(static_cast<const char*>(first), static_cast<u8*>(second));
        case kCfmPgmLoad:
            return LoadPgm();
        case kCfmReleaseLink:
            return ReleaseCnxn();
        case kCfmPgmSave:
            return SavePgm(static_cast<const char*>(first));
        case kCfmFirmwareDir:
            return GetFirmwareDir(drive, static_cast<CfmListRequest*>(first));
        default:
            return 0;
    }
}

u16 ErrorPage() {
    if (SR_Get(4) & 0x100) return 5;
    return (SR_Get(5) & 0xFF) == 2 ? 0 : 4;
}

void SupervisionStep() {
    switch (g.upd) {
        case 0:
            if (SR_Get(174) == 0 && CFM_IsBlkReady(pUpdtCFCB)) {
                CFM_LoadReq(pUpdtCFCB, 0, kCfmFreeSpace, reinterpret_cast<intptr_t>(&cfm.totalKb),
                            reinterpret_cast<intptr_t>(&cfm.freeKb));
                g.upd = 11;
            }
            break;
        case 11:
            // Card firmware: the file load of SR154 bit 0x100, else the
            // check of the UPDATE folders of bit 0x200.
            if (SR_Get(154) & 0x100) {
                SD_load_fw_request();
            } else if (SR_Get(154) & 0x200) {
                pLoadSDFirmwareCFCB->state = kCfcbIdle;
                g.fwListing = CfmListRequest{0, "UPDATE\\*.*", 1};
                CFM_LoadReq(pLoadSDFirmwareCFCB, 0, kCfmFirmwareDir, reinterpret_cast<intptr_t>(&g.fwListing), 0);
            }
            g.upd = 1;
            break;
        case 1: {
            i32 res = 0;
            if (CFM_PollReq(pUpdtCFCB, &res) == kCfmBusy) return;
            cfm.status = static_cast<u32>(res);
            if (res != 0) {
                cfm.freeKb = cfm.totalKb = 0;
                DartuServerState = kDartuStop;
                DartuFtping = 0;
            } else {
                u8 server = DartuServerState.load();
                if ((server == kDartuStop || server == kDartuStopped) && !DartuFtping && DartuHttp) {
                    DartuServerState = kDartuStart;
                    dartuFtpStates = 0;
                }
                if ((DartuServerState.load() == kDartuRunning && !DartuFtping) ||
                    (dartu_error_page != 3 && dartu_error_page != 6))
                    dartu_error_page = static_cast<u8>(ErrorPage());
            }
            SR_Put(175, static_cast<u16>(cfm.status));
            g.upd = 3;
            break;
        }
        case 2:
            SR_Put(175, static_cast<u16>(cfm.status));
            g.upd = 3;
            break;
        case 3:
            SR_PutDword(176, cfm.freeKb);
            g.upd = 4;
            break;
        case 4:
            SR_PutDword(178, cfm.totalKb);
            g.updStamp = FPGA_GetFrt();
            g.upd = 8;
            break;
        case 8:
            if (g.removal == kRemovalComplete)
                g.upd = 9;
            else if (FPGA_GetFrt() - g.updStamp >= 10000)
                g.upd = 0;
            break;
        case 9:
            CFM_LoadReq(pUpdtCFCB, 0, kCfmFreeSpace, reinterpret_cast<intptr_t>(&g.pollTotal),
                        reinterpret_cast<intptr_t>(&g.pollFree));
            g.upd = 10;
            break;
        case 10: {
            i32 res = 0;
            if (CFM_PollReq(pUpdtCFCB, &res) == kCfmBusy) return;
            cfm.status = res == 0 ? kMediaSafeToRemove : static_cast<u32>(res);
            SR_Put(175, static_cast<u16>(cfm.status));
            g.upd = 9;
            break;
        }
        default:
            g.upd = 0;
    }
}

int DriveOfChannel(u8 channel) { return channel <= 2 ? channel : 0; }

// Reads the NUL-ended name at a mailbox offset (at most 512 characters).
const char* MailboxName(u32 offset) {
    if (offset < kDpramData || offset >= kDpramBytes) return nullptr;
    const char* p = reinterpret_cast<const char*>(dpram + offset);
    size_t room = std::min<size_t>(kDpramNameBytes, kDpramBytes - offset);
    return strnlen(p, room) < room ? p : nullptr;
}

// Expands a mailbox name into a module buffer; null when it has no end or
// grows too long (the request is then refused by the file API).
const char* ExpandedName(u32 offset, char* buf) {
    const char* src = MailboxName(offset);
    if (!src || !ConvertMeta(src, buf, kFxMaxPath + 1)) return nullptr;
    return buf;
}

u32 BlockWord(int n) { return GetLe32(dpram + kDpramFileBlock + 4 * n); }

// A mailbox block offset that must name a place inside the data area.
void* DataArea(u32 offset) { return offset == kDpramData ? dpram + kDpramData : nullptr; }

// Simple mailboxes (data logger, e-mail, debug log).
struct SimpleMailbox {
    u8 command() const { return dpram[base + 2]; }
    u8 drive() const { return dpram[base + 3]; }
    // The argument words read as an argument record.
    intptr_t record() const { return reinterpret_cast<intptr_t>(dpram + base + 8); }
    intptr_t arg(int n) const {
        intptr_t v;
        std::memcpy(&v, dpram + base + 8 + 8 * n, sizeof v);
        return v;
    }
    u32 base;
};

int LoadLoggerLike(u32 base, tCFCB* slot) {
    if (SR_Get(174) != 0) return 0;
    SimpleMailbox mb{base};
    int drive = DriveOfChannel(mb.drive());
    switch (mb.command()) {
        case 0:
            CFM_LoadReq(slot, drive, kCfmStatus, 0, 0);
            break;
        case 1:
            CFM_LoadReq(slot, drive, kCfmFreeSpace, mb.arg(0), mb.arg(1));
            break;
        case 2:
            CFM_LoadReq(slot, drive, kCfmMakeDir, mb.arg(0), 0);
            break;
        case 3:
            CFM_LoadReq(slot, drive, kCfmOpen, mb.record(), 0);
            break;
        case 4:
            CFM_LoadReq(slot, drive, kCfmWrite, mb.record(), 0);
            ++cfm.requestCount;
            break;
        case 5:
            CFM_LoadReq(slot, drive, kCfmClose, mb.record(), 0);
            ++cfm.requestCount;
            break;
        default:
            break;
    }
    return 1;
}

}  // namespace

void CFM_CreateQueues() {
    _txe_queue_create(&qcb_cfi, "CFI_REQUEST", 4, g.requestStorage, sizeof g.requestStorage);
    _txe_queue_create(&qcb_cfo, "CFI_RESPONSE", 2, g.responseStorage, sizeof g.responseStorage);
}

u16 CFM_Open() {
    g.upd = 0;
    g.removal = kRemovalOff;
    g.clientState = kClientIdle;
    g.clientPos = 0;
    for (tCFCB& s : CFCB) s = tCFCB{};
    CF_Init();
    return SR_Get(29);
}

void CFM_LoadReq(tCFCB* slot, i32 drive, i32 operation, intptr_t first, intptr_t second) {
    if (!slot) return;
    if (slot->state != kCfcbIdle) std::printf("Bad State on %0x\n", static_cast<unsigned>(SlotIndex(slot)));
    slot->drive = drive;
    slot->operation = operation;
    slot->first = first;
    slot->second = second;
    slot->result = 0;
    slot->state = kCfcbRequested;
    ClientScan();
}

int CFM_PollReq(tCFCB* slot, i32* result) {
    ClientScan();
    switch (slot->state) {
        case kCfcbRequested:
        case kCfcbSent:
            return kCfmBusy;
        case kCfcbDone:
            if (result) *result = slot->result;
            slot->state = kCfcbIdle;
            return kCfmComplete;
        case kCfcbFailed:
            slot->state = kCfcbIdle;
            if (result) *result = kCfmLost;
            return kCfmComplete;
        default:
            if (result) *result = kCfmLost;
            return kCfmComplete;
    }
}

int CFM_IsBlkReady(tCFCB* slot) {
    ClientScan();
    if (slot->state == kCfcbSent || slot->state == kCfcbCancelled) return 0;
    slot->state = kCfcbIdle;
    return 1;
}

int CFM_IsAllHalted() {
    ClientScan();
    for (const tCFCB& s : CFCB)
        if (s.state != kCfcbIdle && s.state != kCfcbDone && s.state != kCfcbFailed) return 0;
    return 1;
}

void CFM_CancelReq(tCFCB* slot) {
    if (slot->state == kCfcbSent || slot->state == kCfcbCancelled)
        slot->state = kCfcbCancelled;
    else
        slot->state = kCfcbIdle;
}

void CFM_ClearSafe() { SR_Put(174, 0); }

int CFM_IsDmemCorrupt() { return g.dmemCorrupt; }
void CFM_SetDmemCorrupt(int corrupt) { g.dmemCorrupt = corrupt ? 1 : 0; }
void CFM_LoadPgmException() {}
void CFM_LoadDatException() {}

int CFM_GetParm(u32* record) {
    if (!record) return 0;
    u32 drive = record[4];
    if (drive > 2) return 0;
    i16 st = CF_GetFreeSpace(static_cast<int>(drive), &record[1], &record[0]);
    record[2] = static_cast<u32>(static_cast<i32>(st));
    if (drive == 0) record[3] = cfm.requestCount;
    return 1;
}

void CFM_Update() {
    u16 ctl = SR_Get(174);
    bool requested = ctl & 1;
    if (g.removal == kRemovalOff && requested) {
        cfm.status = kMediaRemovalWaiting;
        cfm.freeKb = cfm.totalKb = 0;
        CFM_CancelReq(pUpdtCFCB);
        g.upd = 2;
        g.removal = kRemovalUnderWay;
    }
    if (g.removal == kRemovalUnderWay) {
        if (requested) {
            if (CFM_IsAllHalted()) {
                cfm.status = kMediaSafeToRemove;
                cfm.freeKb = cfm.totalKb = 0;
                SR_Put(174, 3);
                g.upd = 2;
                g.removal = kRemovalComplete;
            }
        } else {
            g.removal = kRemovalOff;
            cfm.freeKb = cfm.totalKb = cfm.status = 0;
            SR_Put(175, 0);
            g.upd = 3;
            return;
        }
    } else if (g.removal == kRemovalComplete) {
        if (requested) {
            if (ctl == 1) SR_Put(174, 3);
        } else {
            SR_Put(174, 0);
            g.removal = kRemovalOff;
            CFM_CancelReq(pUpdtCFCB);
            g.upd = 0;
        }
    }
    SupervisionStep();
}

void CFM_TheLoop() {
    u32 msg[4];
    if (_txe_queue_receive(&qcb_cfi, msg, 0) != kTxSuccess) return;
    i32 result = kCfmLost;
    if (msg[3] == g.sent.ticket) result = Execute(g.sent);
    u32 resp[2] = {0, static_cast<u32>(result)};
    u32 st = _txe_queue_send(&qcb_cfo, resp, 0);
    if (st != kTxSuccess) std::printf("CompactFlash CFO msg err = %d\n", static_cast<int>(st));
    if (Sys_CFinitTime < 6) ++Sys_CFinitTime;
    if (Sys_CFinitTime >= 6 && Sys_ManualLoadKey == 1 && !Sys_AutoLoad) {
        Sys_AutoLoad = 1;
        Sys_ALstmcInited = 0;
    }
}

bool ConvertMeta(const char* text, char* out, u32 cap) {
    if (!out || cap == 0) return false;
    out[0] = '\0';
    if (!text) return false;
    static const u16 kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    std::string r;
    size_t n = strnlen(text, kFxMaxPath + 1);
    if (n > kFxMaxPath) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c != '$' || i + 1 >= n) {
            r += c;
            continue;
        }
        char k = text[i + 1];
        int v = -1;
        switch (k) {
            case 'D':
                v = SR_Get(47);
                break;
            case 'M':
                v = SR_Get(48);
                break;
            case 'Y':
                v = SR_Get(49) % 100;
                break;
            case 'h':
                v = SR_Get(46);
                break;
            case 'm':
                v = SR_Get(45);
                break;
            case 's':
                v = SR_Get(44);
                break;
            case 'W': {
                u16 year = SR_Get(49), month = SR_Get(48), day = SR_Get(47);
                int before = (month >= 1 && month <= 12) ? kDaysBefore[month - 1] : 0;
                int leap = (year % 4 == 0 && month > 2) ? 1 : 0;
                v = (day + before + leap + DayOfWeek(year, 1, 1)) / 7 + 1;
                break;
            }
            default:
                break;
        }
        if (v >= 0) {
            char b[16];
            std::snprintf(b, sizeof b, "%02d", v);
            r += b;
            ++i;
            continue;
        }
        if (k >= '1' && k <= '4' && i + 3 < n && text[i + 2] == 'u' && text[i + 3] >= '1' && text[i + 3] <= '8') {
            r.append(static_cast<size_t>(text[i + 3] - '0'), '0');
            i += 3;
            continue;
        }
        r += c;
    }
    if (r.size() + 1 > cap) return false;
    std::memcpy(out, r.c_str(), r.size() + 1);
    return true;
}

void Dpram_Init() {
    std::memset(dpram + kDpramStartArea, 0, kDpramStartBytes);
    dpram[kDpramStartArea] = 1;
    std::memset(dpram + kDpramTalk, 0, 268);
    std::memset(dpram + kDpramLogger, 0, kDpramMailboxBytes);
    std::memset(dpram + kDpramEmail, 0, kDpramMailboxBytes);
    std::memset(dpram + kDpramDbgLogger, 0, kDpramMailboxBytes);
}

void Dpram_Service() {
    u8* mb = dpram + kDpramTalk;
    if (mb[0] == mb[1]) return;
    // Granted only while nobody holds the take-over mark of the programming
    // port (marked and released at once: a test of the mark) and no
    // program-controlled session has it open.
    const int port = static_cast<int>(ProgrammingPort);
    bool free = Talk_Override(port) != 0;
    if (free) Talk_Release(port);
    mb[3] = (free && !TalkOpened(port)) ? 0 : 2;
    mb[1] = mb[0];
}

int CFM_LoadDpramReq() {
    if (SR_Get(174) != 0) return 0;
    u8 command = dpram[kDpramFile + 2];
    int drive = DriveOfChannel(dpram[kDpramFile + 3]);
    switch (command) {
        case 0:
        case 1: {
            bool write = command == 1;
            CfTransferRequest& q = g.dpramReq;
            q = CfTransferRequest{};
            q.format = BlockWord(0);
            q.name = ExpandedName(BlockWord(1), g.name1);
            q.data = DataArea(BlockWord(2));
            q.type = BlockWord(3);
            q.count = BlockWord(4);
            u32 countOff = BlockWord(5);
            u32 expected = kDpramFileBlock + 4 * (write ? 13 : 10);
            q.countDone = countOff == expected ? reinterpret_cast<u32*>(dpram + expected) : nullptr;
            q.position = static_cast<i32>(BlockWord(6));
            q.openMode = BlockWord(7);
            q.word8 = BlockWord(8);
            q.word9 = BlockWord(9);
            q.dataBytes = kDpramDataBytes;
            intptr_t p0, p1;
            std::memcpy(&p0, dpram + kDpramFilePointers, sizeof p0);
            std::memcpy(&p1, dpram + kDpramFilePointers + 8, sizeof p1);
            if (write) {
                q.word10 = BlockWord(10);
                q.columnNames = reinterpret_cast<const char*>(p0);
                q.columnDesc = reinterpret_cast<const u8*>(p1);
            } else {
                q.mixedTable = reinterpret_cast<const u8*>(p0);
                q.mixedTableBytes = GetLe32(dpram + kDpramFieldListBytes);
            }
            CFM_LoadReq(pDpramCFCB, drive, write ? kCfmWriteFile : kCfmReadFile, reinterpret_cast<intptr_t>(&q), 0);
            if (write) ++cfm.requestCount;
            break;
        }
        case 2:
        case 5:
            g.dpramRename.oldName = ExpandedName(BlockWord(0), g.name1);
            g.dpramRename.newName = ExpandedName(BlockWord(1), g.name2);
            CFM_LoadReq(pDpramCFCB, drive, command == 2 ? kCfmRename : kCfmCopy,
                        reinterpret_cast<intptr_t>(&g.dpramRename), 0);
            ++cfm.requestCount;
            break;
        case 3: {
            const char* name = ExpandedName(BlockWord(0), g.name1);
            CFM_LoadReq(pDpramCFCB, drive, kCfmDelete, reinterpret_cast<intptr_t>(name), 0);
            ++cfm.requestCount;
            break;
        }
        case 4:
            // The channel byte names the drive to format.
            CFM_LoadReq(pDpramCFCB, dpram[kDpramFile + 3], kCfmFormat, 0, 0);
            ++cfm.requestCount;
            break;
        default:
            break;
    }
    return 1;
}

int CFM_LoadLoggerReq() { return LoadLoggerLike(kDpramLogger, pLoggerCFCB); }
int CFM_LoadDBGLoggerReq() { return LoadLoggerLike(kDpramDbgLogger, pDbgLoggerCFCB); }

int CFM_LoadEmailReq() {
    if (SR_Get(174) != 0) return 0;
    SimpleMailbox mb{kDpramEmail};
    int drive = DriveOfChannel(mb.drive());
    switch (mb.command()) {
        case 0:
            CFM_LoadReq(pEmailCFCB, drive, kCfmStatus, 0, 0);
            break;
        case 3:
            CFM_LoadReq(pEmailCFCB, drive, kCfmOpen, mb.record(), 0);
            break;
        case 5:
            CFM_LoadReq(pEmailCFCB, drive, kCfmClose, mb.record(), 0);
            ++cfm.requestCount;
            break;
        case 6:
            CFM_LoadReq(pEmailCFCB, drive, kCfmRead, mb.record(), 0);
            ++cfm.requestCount;
            break;
        case 7:
            CFM_LoadReq(pEmailCFCB, drive, kCfmList, mb.record(), 0);
            break;
        default:
            break;
    }
    return 1;
}

void CFM_Reset() {
    g = State{};
    CFM_Open();
    cfm = CfmRecord{};
    Sys_AppLoad = Sys_AutoLoad = Sys_ALstmcInited = Sys_ManualLoadKey = Sys_CFinitTime = 0;
    std::memset(dpram, 0, sizeof dpram);
    CFM_CreateQueues();
}
