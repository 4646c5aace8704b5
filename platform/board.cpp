#include "platform/board.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/root.h"

static_assert(std::endian::native == std::endian::little, "the board file is little-endian");

namespace {

constexpr u32 kBoardMagic = 0x44524F42;  // "BORD"
constexpr u32 kBoardVersion = 1;
constexpr u32 kBlockWords = kSocBlockBytes / 4;

// The simulated blocks in the order they are kept in the record.
constexpr u32 kBlockBases[] = {kSocSsp1Base,    kSocSsp2Base, kSocPinctrlBase, kSocClkctrlBase,
                               kSocLradcBase,   kSocRtcBase,  kSocI2c0Base};
constexpr int kBlocks = sizeof(kBlockBases) / sizeof(kBlockBases[0]);

// A waiter on the driven clock: its thread id and its deadline.
struct ClockSlot {
    u32 tid;
    u32 reserved;
    u64 deadlineNs;
};
constexpr int kClockSlots = 8;

// The record in the board file. Only 32-bit words, so that every access is
// one atomic load or store; the layout is fixed (checked below).
struct BoardRecord {
    u32 magic;
    u32 version;
    u32 size;
    u32 reserved0;
    u32 blocks[kBlocks][kBlockWords];
    u32 supply[8];        // kSupplyWords used, low 16 bits each
    i32 controllerPid;
    u32 powerFailCount;
    u32 wdOpen;
    u32 wdEnabled;
    u32 wdTimeoutS;
    u32 wdTimeLeftS;
    u32 wdLastLo;
    u32 wdLastHi;
    u32 wdResets;
    u32 controllerStartLo;  // start time of the controller process (host clock
    u32 controllerStartHi;  // ticks), so that a reused pid is never signalled
    u32 powerOffRequests;   // supply cuts the controller asked for
    // The clock a test drives (see the header); 64-bit words 8-aligned.
    u32 clockDriven;
    u32 clockEpoch;         // counts advances; waiters block on it
    u64 clockMonoNs;
    i64 clockUtcNs;
    ClockSlot clockSlots[kClockSlots];
    u32 modemLines[2];      // serial ports 0 and 1: kBoardCarrier, kBoardControl
    u32 reserved1[44 - 6 - kClockSlots * 4 - 2];
    u32 modules[kModuleSlots][kModuleSlotWords];
};
static_assert(offsetof(BoardRecord, blocks) == 16);
static_assert(offsetof(BoardRecord, supply) == 16 + kBlocks * kSocBlockBytes);
static_assert(offsetof(BoardRecord, clockMonoNs) % 8 == 0);
static_assert(offsetof(BoardRecord, modules) == 16 + kBlocks * kSocBlockBytes + 256);
static_assert(sizeof(BoardRecord) == 16 + kBlocks * kSocBlockBytes + 256 + kModuleSlots * kModuleSlotWords * 4);

std::mutex g_openMutex;
BoardRecord* g_rec = nullptr;
std::string g_openRoot;
BoardRecord g_fallback;  // used when the board file cannot be mapped
bool g_fallbackReady = false;
BoardWriteHook g_hooks[kBlocks] = {};
BoardReadHook g_readHooks[kBlocks] = {};

u32 Load(const u32& w) { return __atomic_load_n(&w, __ATOMIC_SEQ_CST); }
void Store(u32& w, u32 v) { __atomic_store_n(&w, v, __ATOMIC_SEQ_CST); }
i32 LoadI(const i32& w) { return __atomic_load_n(&w, __ATOMIC_SEQ_CST); }
void StoreI(i32& w, i32 v) { __atomic_store_n(&w, v, __ATOMIC_SEQ_CST); }
u64 Load64(const u64& w) { return __atomic_load_n(&w, __ATOMIC_SEQ_CST); }
void Store64(u64& w, u64 v) { __atomic_store_n(&w, v, __ATOMIC_SEQ_CST); }

void InitFresh(BoardRecord* r) {
    std::memset(r, 0, sizeof(*r));
    // Buttons are released (inputs pulled high), as is the shift chain's
    // data-in pin.
    r->blocks[2][(kPinctrlDin0 + 0x10 * kButtonRunBank) / 4] |= 1u << kButtonRunPin;
    r->blocks[2][(kPinctrlDin0 + 0x10 * kButtonLoadBank) / 4] |= 1u << kButtonLoadPin;
    r->blocks[2][(kPinctrlDin0 + 0x10 * 2) / 4] |= 1u << 18;
    // A good backup cell.
    r->supply[4] = 3300;
    r->size = sizeof(BoardRecord);
    r->version = kBoardVersion;
    r->magic = kBoardMagic;
}

void WritePowerdownFile(const BoardRecord* r) {
    u8 bytes[kSupplyWords * 2];
    for (int i = 0; i < kSupplyWords; ++i) PutLe16(bytes + 2 * i, static_cast<u16>(Load(r->supply[i])));
    File_WriteAtomic(Root_HostPath("/proc/powerdown"), bytes, sizeof(bytes));
}

// Files the board's kernel provides.
void EnsureKernelFiles(const BoardRecord* r) {
    struct stat st;
    if (stat(Root_HostPath("/proc/powerdown").c_str(), &st) != 0) WritePowerdownFile(r);
    std::string ssp = Root_HostPath("/proc/Ssp2_Out_Data");
    if (stat(ssp.c_str(), &st) != 0) {
        u8 zero[12] = {};
        File_WriteAtomic(ssp, zero, sizeof(zero));
    }
}

BoardRecord* Fallback() {
    if (!g_fallbackReady) {
        InitFresh(&g_fallback);
        g_fallbackReady = true;
    }
    return &g_fallback;
}

void CloseLocked() {
    if (g_rec) munmap(g_rec, sizeof(BoardRecord));
    g_rec = nullptr;
    g_openRoot.clear();
}

bool OpenLocked() {
    CloseLocked();
    if (Root_Dir().empty()) return false;
    std::string path = Root_HostPath(kBoardStatePath);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // One process at a time checks and, when needed, lays out the file.
    flock(fd, LOCK_EX);
    struct stat st;
    bool fresh = fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(BoardRecord));
    if (fresh) {
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, sizeof(BoardRecord)) != 0) {
            flock(fd, LOCK_UN);
            close(fd);
            return false;
        }
    }
    void* p = mmap(nullptr, sizeof(BoardRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        flock(fd, LOCK_UN);
        close(fd);
        return false;
    }
    BoardRecord* r = static_cast<BoardRecord*>(p);
    if (fresh || Load(r->magic) != kBoardMagic || Load(r->version) != kBoardVersion ||
        Load(r->size) != sizeof(BoardRecord)) {
        InitFresh(r);
        msync(r, sizeof(BoardRecord), MS_SYNC);
        WritePowerdownFile(r);
    }
    EnsureKernelFiles(r);
    flock(fd, LOCK_UN);
    close(fd);  // the mapping stays
    g_rec = r;
    g_openRoot = Root_Dir();
    return true;
}

BoardRecord* Rec() {
    BoardRecord* r = g_rec;
    if (r && g_openRoot == Root_Dir()) return r;
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (g_rec && g_openRoot == Root_Dir()) return g_rec;
    if (OpenLocked()) return g_rec;
    return Fallback();
}

int BlockIndex(u32 addr) {
    for (int i = 0; i < kBlocks; ++i)
        if (addr >= kBlockBases[i] && addr - kBlockBases[i] < kSocBlockBytes) return i;
    return -1;
}

bool IsDataIn(int block, u32 offset) {
    return kBlockBases[block] == kSocPinctrlBase && offset >= kPinctrlDin0 && offset < kPinctrlDin0 + 0x10 * 8;
}

u32* Word(int block, u32 offset) { return &Rec()->blocks[block][offset / 4]; }

// Applies a write of value to the register at regOffset with the given
// operation (0 plain, kRegSet, kRegClr, kRegTog).
void ApplyWrite(int block, u32 regOffset, u32 op, u32 value) {
    u32* w = Word(block, regOffset);
    u32 old;
    switch (op) {
        case kRegSet: old = __atomic_fetch_or(w, value, __ATOMIC_SEQ_CST); break;
        case kRegClr: old = __atomic_fetch_and(w, ~value, __ATOMIC_SEQ_CST); break;
        case kRegTog: old = __atomic_fetch_xor(w, value, __ATOMIC_SEQ_CST); break;
        default: old = __atomic_exchange_n(w, value, __ATOMIC_SEQ_CST); break;
    }
    // Setting the soft reset of a block gates its clock.
    if (regOffset == 0 && (Load(*w) & kCtrlSoftReset)) __atomic_fetch_or(w, kCtrlClockGate, __ATOMIC_SEQ_CST);
    if (g_hooks[block]) g_hooks[block](kBlockBases[block] + regOffset, old, Load(*w));
}

// Start time of a process (field 22 of its stat line); 0 when it is gone.
u64 ProcessStartTime(i32 pid) {
    // Host process table, read only (its files report no size: read directly).
    int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return 0;
    std::string stat(buf, static_cast<size_t>(n));
    // The command name is in parentheses and may hold blanks: count after it.
    size_t p = stat.rfind(')');
    if (p == std::string::npos) return 0;
    int field = 2;
    for (size_t i = p + 1; i < stat.size(); ++i) {
        if (stat[i] != ' ') continue;
        if (++field == 22) return std::strtoull(stat.c_str() + i + 1, nullptr, 10);
    }
    return 0;
}

bool BankOk(int bank) { return bank >= 0 && bank < kGpioBanks; }
u32 PinReg(u32 base, int bank) { return base + 0x10 * static_cast<u32>(bank); }
constexpr int kPinctrl = 2;
constexpr int kRtc = 5;

}  // namespace

u32 Board_RegRead(u32 physAddr) {
    int b = BlockIndex(physAddr);
    if (b < 0) return 0;
    // The set/clear/toggle addresses read as their register.
    u32 reg = (physAddr - kBlockBases[b]) & ~0xFu;
    if (g_readHooks[b]) g_readHooks[b](kBlockBases[b] + reg);
    return Load(*Word(b, reg));
}

void Board_RegWrite(u32 physAddr, u32 value) {
    int b = BlockIndex(physAddr);
    if (b < 0) return;
    u32 offset = (physAddr - kBlockBases[b]) & ~3u;
    u32 op = offset & 0xC;
    u32 reg = offset & ~0xCu;
    if (IsDataIn(b, reg)) return;
    ApplyWrite(b, reg, op, value);
}

void Board_SetReadHook(u32 blockBase, BoardReadHook hook) {
    int b = BlockIndex(blockBase);
    if (b >= 0) g_readHooks[b] = hook;
}

bool Board_RegExists(u32 physAddr) { return BlockIndex(physAddr) >= 0; }

void Board_SetWriteHook(u32 blockBase, BoardWriteHook hook) {
    int b = BlockIndex(blockBase);
    if (b >= 0) g_hooks[b] = hook;
}

u32 Board_GpioOut(int bank) { return BankOk(bank) ? Load(*Word(kPinctrl, PinReg(kPinctrlDout0, bank))) : 0; }
void Board_GpioOutSet(int bank, u32 mask) {
    if (BankOk(bank)) ApplyWrite(kPinctrl, PinReg(kPinctrlDout0, bank), kRegSet, mask);
}
void Board_GpioOutClear(int bank, u32 mask) {
    if (BankOk(bank)) ApplyWrite(kPinctrl, PinReg(kPinctrlDout0, bank), kRegClr, mask);
}
u32 Board_GpioIn(int bank) { return BankOk(bank) ? Load(*Word(kPinctrl, PinReg(kPinctrlDin0, bank))) : 0; }
u32 Board_GpioDir(int bank) { return BankOk(bank) ? Load(*Word(kPinctrl, PinReg(kPinctrlDoe0, bank))) : 0; }
void Board_GpioDirSet(int bank, u32 mask) {
    if (BankOk(bank)) ApplyWrite(kPinctrl, PinReg(kPinctrlDoe0, bank), kRegSet, mask);
}
void Board_GpioDirClear(int bank, u32 mask) {
    if (BankOk(bank)) ApplyWrite(kPinctrl, PinReg(kPinctrlDoe0, bank), kRegClr, mask);
}

void Board_SetGpioInput(int bank, u32 mask, u32 value) {
    if (!BankOk(bank)) return;
    u32* w = Word(kPinctrl, PinReg(kPinctrlDin0, bank));
    u32 old = Load(*w);
    while (!__atomic_compare_exchange_n(w, &old, (old & ~mask) | (value & mask), false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
}

void Board_PressButton(BoardButton button, bool pressed) {
    int bank = button == BoardButton::Run ? kButtonRunBank : kButtonLoadBank;
    int pin = button == BoardButton::Run ? kButtonRunPin : kButtonLoadPin;
    // Active low: a pressed button pulls its pin down.
    Board_SetGpioInput(bank, 1u << pin, pressed ? 0 : 1u << pin);
}

bool Board_ButtonPressed(BoardButton button) {
    int bank = button == BoardButton::Run ? kButtonRunBank : kButtonLoadBank;
    int pin = button == BoardButton::Run ? kButtonRunPin : kButtonLoadPin;
    return (Board_GpioIn(bank) & (1u << pin)) == 0;
}

bool Board_Led(int led) {
    if (led == 0) return (Board_GpioOut(kLedABank) >> kLedAPin) & 1;
    if (led == 1) return (Board_GpioOut(kLedBBank) >> kLedBPin) & 1;
    return false;
}

u32 Board_Persistent(int index) {
    if (index < 0 || index >= kPersistentRegs) return 0;
    return Load(*Word(kRtc, kRtcPersistent0 + 0x10 * static_cast<u32>(index)));
}

void Board_SetPersistent(int index, u32 value) {
    if (index < 0 || index >= kPersistentRegs) return;
    ApplyWrite(kRtc, kRtcPersistent0 + 0x10 * static_cast<u32>(index), 0, value);
}

void Board_SupplyWords(u16 out[kSupplyWords]) {
    BoardRecord* r = Rec();
    for (int i = 0; i < kSupplyWords; ++i) out[i] = static_cast<u16>(Load(r->supply[i]));
}

void Board_SetSupplyWords(const u16 in[kSupplyWords]) {
    BoardRecord* r = Rec();
    for (int i = 0; i < kSupplyWords; ++i) Store(r->supply[i], in[i]);
    if (r != &g_fallback) WritePowerdownFile(r);
}

i32 Board_ControllerPid() { return LoadI(Rec()->controllerPid); }

void Board_SetControllerPid(i32 pid) {
    BoardRecord* r = Rec();
    u64 start = pid > 0 ? ProcessStartTime(pid) : 0;
    StoreI(r->controllerPid, 0);
    Store(r->controllerStartLo, static_cast<u32>(start));
    Store(r->controllerStartHi, static_cast<u32>(start >> 32));
    StoreI(r->controllerPid, pid);
}

bool Board_SignalPowerFail() {
    BoardRecord* r = Rec();
    i32 pid = LoadI(r->controllerPid);
    if (pid <= 0) return false;
    // The pid may have ended and been given to another process since it was
    // registered: only the process that registered is signalled.
    u64 start = (static_cast<u64>(Load(r->controllerStartHi)) << 32) | Load(r->controllerStartLo);
    if (start == 0 || ProcessStartTime(pid) != start) return false;
    if (kill(pid, kPowerFailSignal) != 0) return false;
    __atomic_fetch_add(&r->powerFailCount, 1u, __ATOMIC_SEQ_CST);
    return true;
}

u32 Board_PowerFailCount() { return Load(Rec()->powerFailCount); }

void Supply_RequestPowerOff() { __atomic_fetch_add(&Rec()->powerOffRequests, 1u, __ATOMIC_SEQ_CST); }

u32 Supply_PowerOffRequests() { return Load(Rec()->powerOffRequests); }

void Board_GetWatchdog(BoardWatchdog* out) {
    BoardRecord* r = Rec();
    out->open = Load(r->wdOpen);
    out->enabled = Load(r->wdEnabled);
    out->timeoutS = Load(r->wdTimeoutS);
    out->timeLeftS = Load(r->wdTimeLeftS);
    out->lastKeepAliveNs = (static_cast<u64>(Load(r->wdLastHi)) << 32) | Load(r->wdLastLo);
    out->resets = Load(r->wdResets);
}

void Board_SetWatchdog(const BoardWatchdog& in) {
    BoardRecord* r = Rec();
    Store(r->wdOpen, in.open);
    Store(r->wdEnabled, in.enabled);
    Store(r->wdTimeoutS, in.timeoutS);
    Store(r->wdTimeLeftS, in.timeLeftS);
    Store(r->wdLastLo, static_cast<u32>(in.lastKeepAliveNs));
    Store(r->wdLastHi, static_cast<u32>(in.lastKeepAliveNs >> 32));
    Store(r->wdResets, in.resets);
}

u32 Board_ModuleWord(int slot, int word) {
    if (slot < 0 || slot >= kModuleSlots || word < 0 || word >= kModuleSlotWords) return 0;
    return Load(Rec()->modules[slot][word]);
}

void Board_SetModuleWord(int slot, int word, u32 value) {
    if (slot < 0 || slot >= kModuleSlots || word < 0 || word >= kModuleSlotWords) return;
    Store(Rec()->modules[slot][word], value);
}

u32 Board_ModemLines(int port) { return port == 0 || port == 1 ? Load(Rec()->modemLines[port]) : 0; }

void Board_SetModemLine(int port, u32 line, bool on) {
    if (port != 0 && port != 1) return;
    u32& w = Rec()->modemLines[port];
    if (on)
        __atomic_fetch_or(&w, line, __ATOMIC_SEQ_CST);
    else
        __atomic_fetch_and(&w, ~line, __ATOMIC_SEQ_CST);
}

bool Board_Open() {
    std::lock_guard<std::mutex> lock(g_openMutex);
    return OpenLocked();
}

void Board_Close() {
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (g_rec) msync(g_rec, sizeof(BoardRecord), MS_ASYNC);
    CloseLocked();
    g_fallbackReady = false;
}

void Board_Flush() {
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (g_rec) msync(g_rec, sizeof(BoardRecord), MS_SYNC);
}

bool Board_IsOpen() {
    std::lock_guard<std::mutex> lock(g_openMutex);
    return g_rec != nullptr;
}

// ---------------------------------------------------------------------------
// The driven clock.

namespace {

// The waiter's slot: its own, else a free one, else one whose thread has
// ended. Null when all eight are taken by live threads (the waiter then
// waits unnoted: a test may look before it has run).
bool ThreadAlive(u32 tid) {
    if (tid == 0) return false;
    // No allocation: a forked child of a threaded process may call this.
    char path[32] = "/proc/";
    char digits[12];
    int n = 0;
    for (u32 v = tid; v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
    int at = 6;
    while (n > 0) path[at++] = digits[--n];
    std::memcpy(path + at, "/stat", 6);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[256];
    ssize_t got = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (got <= 0) return false;
    buf[got] = 0;
    const char* end = std::strrchr(buf, ')');  // the name may hold spaces
    char state = end != nullptr && end[1] == ' ' ? end[2] : 'X';
    return state != 'Z' && state != 'X' && state != 'x';
}

ClockSlot* SlotOf(BoardRecord* r, u32 me) {
    for (ClockSlot& s : r->clockSlots)
        if (Load(s.tid) == me) return &s;
    for (int pass = 0; pass < 2; ++pass)
        for (ClockSlot& s : r->clockSlots) {
            u32 owner = Load(s.tid);
            if (pass == 0 ? owner != 0 : ThreadAlive(owner)) continue;
            if (__atomic_compare_exchange_n(&s.tid, &owner, me, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return &s;
        }
    return nullptr;
}

ClockSlot* MySlot(BoardRecord* r) { return SlotOf(r, static_cast<u32>(syscall(SYS_gettid))); }

void FutexWake(u32* word) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

void FutexWait(u32* word, u32 seen, int realMs) {
    timespec t{realMs / 1000, (realMs % 1000) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT, seen, &t, nullptr, 0);
}

}  // namespace

void Board_SetClockDriven(bool driven, u64 monotonicNs, i64 utcNs) {
    BoardRecord* r = Rec();
    if (driven) {
        Store64(r->clockMonoNs, monotonicNs);
        Store64(*reinterpret_cast<u64*>(&r->clockUtcNs), static_cast<u64>(utcNs));
        for (ClockSlot& s : r->clockSlots) Store(s.tid, 0);
    }
    Store(r->clockDriven, driven ? 1 : 0);
    __atomic_fetch_add(&r->clockEpoch, 1u, __ATOMIC_SEQ_CST);
    FutexWake(&r->clockEpoch);
}

bool Board_ClockDriven() { return Load(Rec()->clockDriven) != 0; }
u64 Board_ClockMonotonicNs() { return Load64(Rec()->clockMonoNs); }
i64 Board_ClockUtcNs() { return static_cast<i64>(Load64(*reinterpret_cast<u64*>(&Rec()->clockUtcNs))); }

void Board_ClockAdvance(u64 ns) {
    BoardRecord* r = Rec();
    __atomic_fetch_add(&r->clockMonoNs, ns, __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&r->clockUtcNs, static_cast<i64>(ns), __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&r->clockEpoch, 1u, __ATOMIC_SEQ_CST);
    FutexWake(&r->clockEpoch);
}

void Board_ClockSetUtc(i64 utcNs) {
    BoardRecord* r = Rec();
    Store64(*reinterpret_cast<u64*>(&r->clockUtcNs), static_cast<u64>(utcNs));
    __atomic_fetch_add(&r->clockEpoch, 1u, __ATOMIC_SEQ_CST);
    FutexWake(&r->clockEpoch);
}

void Board_ClockNoteBusy(u32 tid) {
    BoardRecord* r = Rec();
    // A child that already noted a wait of its own keeps it.
    for (ClockSlot& s : r->clockSlots)
        if (Load(s.tid) == tid) return;
    ClockSlot* s = SlotOf(r, tid);
    if (s == nullptr) return;
    // Only over what the slot held before: the child may have just noted.
    u64 before = Load64(s->deadlineNs);
    if (before != 0) __atomic_compare_exchange_n(&s->deadlineNs, &before, 0ull, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

void Board_ClockNoteDeadline(u64 deadlineNs) {
    if (ClockSlot* s = MySlot(Rec())) Store64(s->deadlineNs, deadlineNs);
}

bool Board_ClockWait(u64 deadlineNs, int realMs) {
    BoardRecord* r = Rec();
    ClockSlot* s = MySlot(r);
    if (s != nullptr) Store64(s->deadlineNs, deadlineNs);
    u32 epoch = Load(r->clockEpoch);
    if (Load64(r->clockMonoNs) < deadlineNs) FutexWait(&r->clockEpoch, epoch, realMs);
    if (Load64(r->clockMonoNs) < deadlineNs) return false;
    // Woken: busy with what fell due until the next wait.
    if (s != nullptr) Store64(s->deadlineNs, 0);
    return true;
}

bool Board_ClockSettled() {
    BoardRecord* r = Rec();
    const u64 now = Load64(r->clockMonoNs);
    for (ClockSlot& s : r->clockSlots) {
        u32 owner = Load(s.tid);
        if (owner != 0 && Load64(s.deadlineNs) <= now && ThreadAlive(owner)) return false;
    }
    return true;
}

bool Board_ClockInUse() {
    for (ClockSlot& s : Rec()->clockSlots) {
        u32 owner = Load(s.tid);
        if (owner != 0 && ThreadAlive(owner)) return true;
    }
    return false;
}

bool Board_ClockSettle(int guardMs) {
    for (long waitedUs = 0; waitedUs < static_cast<long>(guardMs) * 1000; waitedUs += 200) {
        if (Board_ClockSettled()) return true;
        timespec t{0, 200000};
        nanosleep(&t, nullptr);
    }
    return Board_ClockSettled();
}

bool Board_ClockAdvanceSettled(u64 ns, u64 stepNs, int guardMs) {
    if (stepNs == 0) stepNs = 1;
    for (u64 done = 0; done < ns;) {
        const u64 step = ns - done < stepNs ? ns - done : stepNs;
        Board_ClockAdvance(step);
        done += step;
        if (!Board_ClockSettle(guardMs)) return false;
    }
    return true;
}
