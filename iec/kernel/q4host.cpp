#include "iec/kernel/q4host.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4comm.h"
#include "iec/blocks/q4files.h"
#include "iec/blocks/q4modbus.h"
#include "iec/blocks/q4pid.h"
#include "iec/ext/q4cs.h"
#include "iec/ext/q4cssock.h"
#include "iec/ext/q4csser.h"
#include "iec/ext/q4ea.h"
#include "iec/ext/q4evs.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4vmbsmp.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmhot.h"
#include "iec/kernel/q4vmsrv.h"
#include "iec/kernel/q4vmtic.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/fileio.h"
#include "platform/neighbour.h"
#include "platform/root.h"

u8* pCode = nullptr;
Q4MMData mmData;
u8 QuilletFirstRun = 0;
u8 QuilletS9 = 0;
u8 IsCommMode_Tovra = 1;
u8 eth_conn = 0;
u8 q4_rcv = 0;
u8 q4runtime_modbusinit = 0;
u8 q4protocol = 0;
u32 timer_Q4 = 0;
u8 bNewRegParams = 0;
char Q4FILE_PATH[255] = "";
Q4HostPeers q4HostPeers;
Q4CSContext csData;
Q4EvsServer* pEvData = nullptr;

void Q4HostPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, q4HostPeers, stopIo);
    NEIGHBOUR_REQUIRE(check, q4HostPeers, changedOnLine);
}

namespace {

constexpr const char* kRetainPath = "/mnt/cfg/q4.ret";
// Without a received workbench frame for 65 s the link goes back to the
// controller's programming protocol.
constexpr u32 kWorkbenchQuietTicks = 650000;
pthread_mutex_t g_mutex;
bool g_mutexMade = false;
u32 g_codeSize = 0;

void CreateMutex() {
    pthread_mutexattr_t a;
    if (pthread_mutexattr_init(&a) != 0) std::printf("pthread_mutexattr_init returns \n");
    if (pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK) != 0) std::printf("pthread_mutexattr_settype returns \n");
    if (pthread_mutex_init(&g_mutex, &a) != 0) std::printf("pthread_mutex_init returns \n");
    else g_mutexMade = true;
    if (pthread_mutexattr_destroy(&a) != 0) std::printf("pthread_mutexattr_destroy returns\n");
}

void DeleteMutex() {
    if (g_mutexMade) pthread_mutex_destroy(&g_mutex);
    g_mutexMade = false;
}

void DisplayHello() {
    char l1[96], l2[64];
    std::snprintf(l1, sizeof l1, "Q4 runtime - Linux Multithreaded - %s", "Apr 12 2021");
    std::snprintf(l2, sizeof l2, "%s", "9.1.161102");
    std::printf("%s\n%s\n\nReady - Press CTRL+C to exit.\n\n", l1, l2);
    char path[256];
    if (Q4_GetFullPath("q4info.txt", path)) {
        std::string text = std::string(l1) + l2;
        File_WriteAtomic(Root_HostPath(path), text.data(), text.size());
    }
}

Q4Code CodeView() { return Q4Code{pCode, pCode ? g_codeSize : 0}; }

void LinkedDbChanged() { Q4Bind_DatabaseChanged(); }

void FreeDB() {
    if (!pDB) return;
    Q4VM_Forget(pDB);
    Q4MM_UnlinkVMDB(&mmData);
    Q4MM_FreeVMDB(&mmData);
    pDB = nullptr;
    LinkedDbChanged();
}

void FreeCode() {
    if (!pCode) {
        Q4MM_FreeCode(&mmData);
        return;
    }
    Q4MM_UnlinkCode(&mmData);
    Q4MM_FreeCode(&mmData);
    pCode = nullptr;
    g_codeSize = 0;
}

bool LoadCode() {
    FreeCode();
    if (Q4MM_LoadCode(&mmData) != 0) return false;
    pCode = Q4MM_LinkCode(&mmData);
    if (!pCode) {
        Q4MM_FreeCode(&mmData);
        return false;
    }
    g_codeSize = mmData.code.size;
    return true;
}

int Start(const Q4StartRequest& req) {
    if (pDB || !LoadCode()) return 1;
    u8 block[kVmDbDescriptorBlockBytes] = {};
    Q4Code code = CodeView();
    int rc = Q4VM_GetDBSize(code, block);
    if (rc == 0) rc = Q4MM_AllocRawVMDB(&mmData, Q4VM_GetTotalDBSize(block));
    if (rc != 0) {
        FreeCode();
        return rc;
    }
    pDB = Q4MM_LinkVMDB(&mmData);
    if (!pDB) {
        Q4MM_FreeVMDB(&mmData);
        FreeCode();
        return 1;
    }
    std::memcpy(pDB, block, sizeof block);
    Q4VM_BuildDBMainLinks(pDB);
    char path[256];
    rc = Q4Def_ColdStart(pCode, g_codeSize, pDB, Q4_GetFullPath(kRetainPath, path), req.loadRetains, req.paused,
                         req.name);
    if (rc != 0) {
        FreeDB();
        FreeCode();
        return rc;
    }
    LinkedDbChanged();
    QuilletFirstRun = 1;
    iVmAlive = 1;
    return 0;
}

int Stop() {
    if (!pDB) return 1;
    iVmAlive = 2;
    Q4MM_SaveVMDB(&mmData);
    char name[16] = {};
    Q4VMCode_GetAppName(CodeView(), name);
    char path[256];
    Q4Def_Stop(pDB, Q4_GetFullPath(kRetainPath, path), name);
    Q4MM_SaveChange(&mmData);
    FreeDB();
    FreeCode();
    std::printf("Application stopped\n\n");
    QuilletFirstRun = 0;
    return 0;
}

int Load(int code, const Q4LoadRequest* req) {
    if (!req) return 1;
    int rc;
    if (req->kind == kQ4MemCode) rc = Q4MM_WriteCodeRequest(&mmData, code, req);
    else if (req->kind == kQ4MemChange) rc = Q4MM_WriteChangeRequest(&mmData, code, req);
    else return 1;
    if (code == kQ4LoadEnd && req->kind == kQ4MemCode && rc == 0) {
        Q4StartRequest s;
        s.name = req->name ? req->name : "q4";
        return Start(s);
    }
    return rc;
}

// A stopped application continues from its hot-restart image with the
// stored code: values, timers and steps as they were at the stop.
int HotStart(const Q4StartRequest& req) {
    if (pDB || !LoadCode()) return 1;
    int rc = Q4MM_LoadHotImage(&mmData, CodeView(), &pDB);
    if (rc != 0) {
        pDB = nullptr;
        FreeCode();
        return rc;
    }
    char path[256];
    rc = Q4Def_HotStart(pCode, g_codeSize, pDB, Q4_GetFullPath(kRetainPath, path), req.paused, req.name,
                        _GetTickCount());
    if (rc != 0) {
        FreeDB();
        FreeCode();
        return rc;
    }
    LinkedDbChanged();
    iVmAlive = 1;
    return 0;
}

// The downloaded change image replaces the code of the running application,
// which keeps its database. A refused change leaves it running untouched.
int Change() {
    if (!pDB) return 1;
    int rc = Q4MM_LoadChange(&mmData);
    if (rc != 0) return rc;
    ESR_Put(1, static_cast<u16>(ESR_Get(1) | kOlpEditWaiting));
    u8* next = Q4MM_LinkChange(&mmData);
    if (!next) {
        std::printf("\n pNewCode == NULL\n");
        Q4MM_FreeChange(&mmData);
        return 1;
    }
    if (!_TakeMutex()) {
        std::printf("\n!_TakeMutex \n");
        Q4MM_UnlinkChange(&mmData);
        Q4MM_FreeChange(&mmData);
        return 1;
    }
    rc = Q4VM_CanHOTStart(Q4MM_CodeView(mmData.change), pDB);
    Q4MM_UnlinkChange(&mmData);
    if (rc != 0) {
        Q4MM_FreeChange(&mmData);
        _ReleaseMutex();
        return rc;
    }
    std::printf("\n Q4VM_CanHOTStart = true \n");
    Q4MM_UnlinkCode(&mmData);
    // Until the rebuild the database still refers to the old code (its
    // Modbus and binding are closed through it): it goes only afterwards.
    u8* previous = mmData.code.memory;
    mmData.code.memory = nullptr;
    Q4MM_RegisterChange(&mmData);
    pCode = Q4MM_LinkCode(&mmData);
    g_codeSize = pCode ? mmData.code.size : 0;
    char name[16] = {};
    Q4VMCode_GetAppName(CodeView(), name);
    rc = Q4Def_Change(pCode, g_codeSize, pDB, name, _GetTickCount());
    std::free(previous);
    if (rc != 0) {
        std::printf("BuilHot answered %u\n", static_cast<unsigned>(rc));
        FreeDB();
        FreeCode();
        iVmAlive = 0;
    } else {
        ESR_Put(1, static_cast<u16>(ESR_Get(1) | kOlpAccept));
        q4HostPeers.changedOnLine();
    }
    LinkedDbChanged();
    _ReleaseMutex();
    return rc;
}

bool g_hello = false;

void CloseEventServer() {
    if (!pEvData) return;
    Q4Evs_Close(pEvData);
    std::free(pEvData);
    pEvData = nullptr;
}

// The workbench server of the runtime: opened without a TCP port at the
// runtime's start; the link hand-over (command 38) adds the listener or the
// serial link.
void OpenCommServer() {
    Q4CSSettings settings;
    Q4CS_Open(&csData, &settings);
}

// The event server: queues of 1024, 0, 8000 and 16000 bytes, keys 0, its
// TCP port; without a listener the runtime runs without events.
void OpenEventServer() {
    CloseEventServer();
    Q4EvsSettings settings;
    settings.capacity[0] = 1024;
    settings.capacity[1] = 0;
    settings.capacity[2] = 8000;
    settings.capacity[3] = 16000;
    settings.port = static_cast<u16>(Q4EVSPORT());
    void* block = std::calloc(1, Q4Evs_GetMemorySize(&settings));
    if (!block) return;
    if (Q4Evs_Open(static_cast<Q4EvsServer*>(block), &settings) != 0) {
        std::free(block);
        return;
    }
    pEvData = static_cast<Q4EvsServer*>(block);
}

void EnsureCommServer() {
    if (!csData.open) OpenCommServer();
}

// The workbench protocol takes the link: the 65-s watch starts now.
void WorkbenchOwnsTheLink() {
    IsCommMode_Tovra = 0;
    q4_rcv = 0;
    timer_Q4 = FPGA_GetFrt();
}

void FallBack() {
    if (eth_conn) {
        Q4CSSock_CloseAllSockets(&csData);
        Q4Link_HandBack(0);
    } else {
        csData.slots[0].received = 0;
        csData.slots[0].expected = 0;
        Q4Link_HandBack(1);
    }
}

// The services around the database: Modbus, external data, events.
void OpenServices(const Q4Code& c, u8* db) {
    if (Q4EA_Open(c, db, pEvData)) Q4EVSTRACE("Cannot produce all public variables");
    if (Q4VM_OpenModbus(db)) Q4EVSTRACE("Cannot open MODBUS client connection");
    if (Q4VM_OpenExtData(db)) Q4EVSTRACE("Cannot open connections to external variables");
}

void SetOption(u8* db, u32 bit, bool on) {
    u8* st = Q4VM_Status(db);
    u32 o = GetLe32(st + kQ4StOptions);
    PutLe32(st + kQ4StOptions, on ? (o | bit) : (o & ~bit));
}

void ServeStatus(u16 slot, int rc) { Q4CS_SendRC(&csData, slot, static_cast<u16>(rc)); }

}  // namespace

u32 _GetTickCount() { return static_cast<u32>((Clock_MonotonicNs() / 1000000u) % 86400000u); }

int _TakeMutex() { return g_mutexMade && pthread_mutex_trylock(&g_mutex) == 0 ? 1 : 0; }
void _ReleaseMutex() {
    if (g_mutexMade) pthread_mutex_unlock(&g_mutex);
}

char* Q4_GetFullPath(const char* name, char* dst) {
    if (!dst) return nullptr;
    size_t p = strnlen(Q4FILE_PATH, 255);
    std::memcpy(dst, Q4FILE_PATH, p);
    dst[p] = 0;
    if (!name || !*name) return nullptr;
    if (p + std::strlen(name) > 254) return nullptr;
    std::strcat(dst, name);
    return dst;
}

void Q4EVSTRACE(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (pEvData) Q4Evs_Trace(pEvData, buf);
    std::printf("%s\n", buf);
    // A trace line goes out at once, also when standard output is a file.
    std::fflush(stdout);
}

int Q4EVSPORT() { return 9000; }
void Q4_SignalRegChange(const char*) { bNewRegParams = 1; }
int Q4_Sleep(int n) { return n; }

void QuilletFirstRun_func() {
    EnumQuilletVars();
    plc_reg[kRegS] = static_cast<u8>(plc_reg[kRegS] | 1);
    SR_Put(1, 1);
    std::printf("QuilletFirstRun_func\n");
}

int Q4Def_ColdStart(const u8* code, u32 size, u8* db, const char* retainPath, int loadRetains, int pause,
                    const char* name) {
    if (!code || !db) return 1;
    Q4Code c{code, size};
    int rc = Q4VM_Build(c, db);
    if (rc) return rc;
    if (pause) Q4VM_SetPauseMode(db, 1);
    Q4VM_PrepareRetains(db);
    if (loadRetains) {
        Q4VM_LoadRetains(db, retainPath);
        u8* st = Q4VM_Status(db);
        PutLe32(st + kQ4StOptions, GetLe32(st + kQ4StOptions) | kVmOptRetainLoaded);
    }
    OpenServices(c, db);
    if (pEvData) Q4Evs_OnAppStart(pEvData, name);
    return 0;
}

int Q4Def_HotStart(const u8* code, u32 size, u8* db, const char* retainPath, int pause, const char* name, u32 now) {
    if (!code || !db) return 1;
    (void)retainPath;
    Q4Code c{code, size};
    int rc = Q4VM_CanHOTStart(c, db);
    if (rc) return rc;
    // The image may have been saved in the first cycle after a change: a hot
    // start is no change, its heap moves with the database.
    SetOption(db, kVmOptChangeCycle, false);
    if ((rc = Q4VM_BuildHOT(c, db, now)) != 0) return rc;
    Q4VM_PrepareRetains(db);
    if (pause) Q4VM_SetPauseMode(db, 1);
    OpenServices(c, db);
    if (pEvData) Q4Evs_OnAppStart(pEvData, name);
    return 0;
}

int Q4Def_Change(const u8* code, u32 size, u8* db, const char* name, u32 now) {
    if (!code || !db || !Q4VM_Status(db)) return 1;
    Q4Code c{code, size};
    Q4VM_CloseModbus(db);
    Q4VM_CloseExtData(db);
    SetOption(db, kVmOptChangeCycle, true);
    const int rc = Q4VM_BuildHOT(c, db, now);
    if (rc) return rc;
    SetOption(db, kVmOptChangeCycle, true);
    OpenServices(c, db);
    if (pEvData) Q4Evs_OnAppChange(pEvData, name);
    return 0;
}

int Q4Def_Stop(u8* db, const char* retainPath, const char* name) {
    if (!db) return 1;
    if (pEvData) Q4Evs_OnAppStop(pEvData, name);
    Q4EA_Close(db, pEvData);
    Q4VM_CloseModbus(db);
    Q4VM_CloseExtData(db);
    Q4VM_ShutDown(db, retainPath);
    return 0;
}

int Q4Def_Cycle(u8* db, u32 now) {
    if (!db) return 1;
    Q4VM_UpdateExtData(db, now);
    Q4VM_FullIOExchangeEx(db, now);
    Q4VM_ActivateModbus(db, now);
    Q4VM_ExchangeModbusData(db);
    Q4VM_Cycle(db, now);
    Q4VMBsmp_Activate(db, 0);
    Q4EA_ManageChangeEvents(db, pEvData);
    if (pEvData) Q4Evs_Activate(pEvData, now);
    return 0;
}

void Q4Host_Init() {
    if (Q4_init) {
        Quillet_Comm_service();
        return;
    }
    if (!g_hello) {
        DisplayHello();
        std::printf("RT capabilities disabled\n");
        g_hello = true;
    }
    bNewRegParams = 0;
    Q4Pid_Reset();
    Q4Comm_Reset();
    Q4Files_Reset();
    Q4Modbus_Reset();
    pDB = nullptr;
    pCode = nullptr;
    iVmAlive = 0;
    mmData = Q4MMData{};
    DeleteMutex();
    CreateMutex();
    Q4MM_Open(&mmData, Q4FILE_PATH);
    Q4VM_OpenDynaLinks();
    Q4VMTic_Init();
    OpenCommServer();
    OpenEventServer();
    q4HostPeers.stopIo();
    if (iVmAlive != 1) Start(Q4StartRequest{});
    Q4_init = 1;
    Q4Bind_Build(QuilletI0_VarLoc);
    if (QuilletFirstRun && pDB) {
        std::printf("Q4_main_loop_start\n");
        QuilletFirstRun_func();
    }
    Quillet_Comm_service();
}

void Q4Host_Exit() {
    Stop();
    Q4CS_Close(&csData);
    CloseEventServer();
    Q4VM_CloseDynaLinks();
    Q4MM_Close(&mmData);
    DeleteMutex();
}

void Quillet_Comm_service() {
    if (IsCommMode_Tovra == 1) return;
    for (int k = 0; k < 8 && IsCommMode_Tovra == 0; ++k) _Serve();
    Q4CS_Flush(&csData);
    if (!pDB) {
        if (pEvData) Q4Evs_Activate(pEvData, _GetTickCount());
        bNewRegParams = 0;
    }
}

void Q4Def_ServeVMRequest(Q4CSContext* cs, u8* db, u16 slot) {
    u8* request = Q4CS_GetVMRequest(cs, slot);
    u8* answer = Q4CS_GetVMAnswerBuffer(cs, slot);
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!request || !answer || !s) {
        Q4CS_SendRC(cs, slot, 1);
        return;
    }
    const u32 n = Q4VM_Serve(db, request, Q4CS_GetVMRequestLength(cs, slot), answer, kQ4CSVMAnswerMax, &s->vmConnected);
    Q4CS_SendVMAnswer(cs, slot, n);
}

void Q4Def_ServeModbusRequest(Q4CSContext* cs, u8* db, int code, u16 slot) {
    u32 length = 0;
    u8* frame = Q4CS_GetRequestFrame(cs, slot, &length);
    u8* answer = Q4CS_GetAnswerFrameBuffer(cs, slot);
    if (!db || !frame || !answer) {
        Q4CS_SendRC(cs, slot, 1);
        return;
    }
    u32 n = Q4VM_ServeModbus(db, code, frame, length, answer);
    if (n > 0) Q4CS_SendAnswerFrame(cs, slot, n);
}

void _Serve() {
    Q4CS_Activate(&csData);
    u16 slot = 0;
    const int code = Q4CS_GetQuestion(&csData, &slot);
    if (code != 0) {
        // Without a started runtime only the server's own requests are served.
        const bool runtime = g_mutexMade;
        if (!runtime) {
            ServeStatus(slot, 1);
        } else if (code == kQ4RqVm || code == kQ4CSRqModbusRtu || code == kQ4CSRqModbusTcp) {
            if (_TakeMutex()) {
                if (code == kQ4RqVm) Q4Def_ServeVMRequest(&csData, pDB, slot);
                else Q4Def_ServeModbusRequest(&csData, pDB, code, slot);
                _ReleaseMutex();
            } else {
                ServeStatus(slot, 1);
            }
        } else if (code >= kQ4RqLoadBegin && code <= kQ4RqEndLoad) {
            Q4LoadRequest load;
            ServeStatus(slot, Q4CS_GetLoadInfo(&csData, slot, &load) ? Q4Host_Serve(code, nullptr, &load) : 1);
        } else if (code >= kQ4RqStop && code <= kQ4RqChange) {
            Q4StartRequest start;
            ServeStatus(slot, Q4CS_GetStartInfo(&csData, slot, &start) ? Q4Host_Serve(code, &start, nullptr) : 1);
        } else {
            ServeStatus(slot, 1);
        }
        Q4CS_ReleaseQuestion(&csData, slot);
    }
    if (q4_rcv) {
        q4_rcv = 0;
        timer_Q4 = FPGA_GetFrt();
    } else if (IsCommMode_Tovra == 0 && FPGA_GetFrt() - timer_Q4 >= kWorkbenchQuietTicks) {
        FallBack();
    }
}

void Q4_Connect_Ethernet() {
    EnsureCommServer();
    if (csData.listener >= 0) Q4CSSock_CloseAllSockets(&csData);
    int sock = -1;
    if (Q4Socket_CreateListeningSocket(kQ4CSWorkbenchPort, 8, &sock) != 0) {
        Q4EVSTRACE("ERROR: Cant open TCP port");
        sock = -1;
    }
    csData.listener = sock;
    csData.tcpPort = kQ4CSWorkbenchPort;
    eth_conn = 1;
    WorkbenchOwnsTheLink();
}

void Q4_Connect_Serial() {
    EnsureCommServer();
    Q4CSSer_Open(&csData, "");
    eth_conn = 0;
    WorkbenchOwnsTheLink();
}

int Q4Host_Serve(int code, const Q4StartRequest* start, const Q4LoadRequest* load) {
    int rc = 1;
    switch (code) {
        case kQ4RqLoadBegin:
        case kQ4RqLoadBlock:
        case kQ4RqEndLoad:
            rc = load ? Load(code, load) : 1;
            break;
        case kQ4RqStop: rc = Stop(); break;
        case kQ4RqStart: rc = start ? Start(*start) : 1; break;
        case kQ4RqHotStart: rc = start ? HotStart(*start) : 1; break;
        case kQ4RqChange: rc = Change(); break;
        default: rc = 1; break;
    }
    if (code >= kQ4RqLoadBegin && code <= kQ4RqChange) {
        static const char* const kNames[] = {"Q4CSRQ_LOAD", "Q4CSRQ_LOAD", "Q4CSRQ_ENDLOAD", "Q4CSRQ_STOP",
                                             "Q4CSRQ_START", "Q4CSRQ_HOTSTART", "Q4CSRQ_CHANGE"};
        std::printf("%s\n", kNames[code - kQ4RqLoadBegin]);
    }
    if (!pDB) bNewRegParams = 0;
    return rc;
}

void _VMThread() {
    if (iVmAlive == 2) {
        Q4_init = 0;
        iVmAlive = 0;
        return;
    }
    if (iVmAlive != 1 || !pDB) return;
    if (QuilletFirstRun) {
        std::printf("_VMThread\n");
        std::printf("s_reg(res_scn) is %d\n", S_Get(10) ? 1 : 0);
        std::printf("s_reg(sus_scn) is %d\n", S_Get(9) ? 1 : 0);
        QuilletFirstRun = 0;
        if (QuilletS9) {
            Q4Bind_Refresh();
            for (u32 k = 0; k < BoolSysEntries; ++k)
                if (VmDbBitSys_ptr[k].code == 0x608 && VmDbBitSys_ptr[k].b) *VmDbBitSys_ptr[k].b = 1;
        }
        QuilletS9 = 0;
    } else {
        S_Put(1, false);
        S_Put(10, false);
    }
    u32 t0 = _GetTickCount();
    if (_TakeMutex()) {
        Q4Def_Cycle(pDB, _GetTickCount());
        u32 t1 = _GetTickCount();
        if (pDB) Q4VM_RegisterCycleTime(pDB, Q4VM_Elapsed(t1, t0) * 1000u);
        _ReleaseMutex();
    }
    if (iVmAlive == 2) {
        Q4_init = 0;
        iVmAlive = 0;
    }
}

void Q4Host_Reset() {
    if (pDB || pCode) {
        FreeDB();
        FreeCode();
    }
    Q4MM_Close(&mmData);
    mmData = Q4MMData{};
    DeleteMutex();
    iVmAlive = 0;
    QuilletFirstRun = 0;
    QuilletS9 = 0;
    IsCommMode_Tovra = 1;
    q4_rcv = 0;
    eth_conn = 0;
    timer_Q4 = 0;
    Q4CS_Close(&csData);
    CloseEventServer();
    Q4VMSrv_Reset();
    bNewRegParams = 0;
    Q4Bind_Clear();
    Q4Bind_DatabaseChanged();
}
