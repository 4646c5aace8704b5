#include "link/promgr.h"

#include "core/nvram.h"
#include "net/vcommetn.h"

namespace {

constexpr u32 kMaxDrivers = 8;
constexpr u32 kSectionMin = 48;
constexpr u32 kRecordBytes = 32;

constexpr PmgrPortOps kEthernetOps{
    EtnVComm_Open, EtnVComm_FlushTx, EtnPutTx,          EtnVComm_DoTx,  EtnVComm_FlushRx, EtnVComm_CheckRx,
    EtnVComm_GetRx, EtnVComm_InitWait, EtnVComm_WaitRx, EtnVComm_IoCtl, EtnVComm_Close1,
};

struct State {
    bool started = false;
    const PmgrPortOps* ops[kMaxDrivers] = {};
};
State g;

u32 SectionBytes() { return promgr_table_bl.Size() <= promgr_table_bl.capacity ? promgr_table_bl.Size() : 0; }

// Drivers the section holds, 0 when it holds none (too short, a count
// outside 1-8, records beyond the section).
u32 Drivers() {
    const u32 size = SectionBytes();
    if (size < kSectionMin || GetLe32(promgr_table) < kSectionMin) return 0;
    u32 n = GetLe32(promgr_table + 8);
    if (n < 1 || n > kMaxDrivers || 16 + kRecordBytes * n > size) return 0;
    return n;
}

// Port byte of driver i; false when its configuration lies outside the section.
bool PortByte(u32 i, u8* out) {
    u32 config = GetLe32(promgr_table + 16 + kRecordBytes * i + 4);
    if (config >= SectionBytes() || SectionBytes() - config < 2) return false;
    *out = promgr_table[config + 1];
    return true;
}

u16 Version(u32 i) { return GetLe16(promgr_table + 16 + kRecordBytes * i + 28); }

}  // namespace

void PMGR_Start() {
    g = State{};
    const u32 n = Drivers();
    if (n == 0) return;
    g.started = true;
    for (u32 i = 0; i < n; ++i) {
        u8 port = 0;
        if (PortByte(i, &port) && port >= 2) g.ops[i] = &kEthernetOps;
    }
}

void PMGR_Stop() {
    if (!g.started) return;
    const u32 n = Drivers();
    u32 base = 0;
    for (u32 i = 0; i < n; ++i) {
        u8 port = 0;
        if (PortByte(i, &port) && port >= 32) base = static_cast<u32>(port) * 256;
        for (u32 k = 0; k < kVCommChannels; ++k) EtnVComm_Close(base + k);
    }
    g = State{};
}

void PMGR_Scan() {}

void PMGR_TheLoop(int) {}

u32 PMGR_DriverCount() {
    if (promgr_table_bl.Size() < 12) return 0;
    return GetLe32(promgr_table + 8);
}

bool PMGR_DriverVersion(u32 key, u16* version) {
    const u32 n = Drivers();
    for (u32 i = 0; i < n; ++i) {
        u8 port = 0;
        if (PortByte(i, &port) && port == key) {
            *version = Version(i);
            return true;
        }
    }
    return false;
}

const PmgrPortOps* PMGR_PortOps(u32 driver) { return driver < kMaxDrivers ? g.ops[driver] : nullptr; }

int EtnPutTx(u32 port, u8 byte) { return EtnVComm_PutTx(port, byte); }
