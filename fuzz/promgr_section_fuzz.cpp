// Protocol-driver sections as downloaded into memory area 20: any bytes,
// with loading replaced by an in-process driver. Start must take only
// drivers whose records lie inside the section, and the cycle that follows
// (walks, scans, stop) must keep every buffer inside the driver's area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/promgr.h"
#include "platform/touch.h"
#include "testsupport/fuzz_env.h"

namespace {

DriverCallbackTable* g_table = nullptr;
u32 g_calls = 0;

int Open(DriverCallbackTable* t) {
    g_table = t;
    return 0;
}
// Answers vary with the call so that successes, station errors, failures
// and unfinished transactions all occur.
int Answer() {
    const u32 k = g_calls++;
    if (k % 7 == 3 && g_table) g_table->busy = 1;
    return static_cast<int>(k % 5 == 4 ? 2 : k % 11 == 5 ? 99 : 0);
}
int Read(const u8*, u16*) { return Answer(); }
int Write(const u8*, const u16*) { return Answer(); }
int Type(u8 parameter, u16) { return parameter % 20; }
int Control(u32 code, uintptr_t) { return static_cast<int>(code % 4); }
int Nothing() { return 0; }
int Diag(u8*) { return 0; }

const DriverHeaderRecord kHeader{PMGR_DRIVER_MAGIC, "fuzz", nullptr, nullptr, nullptr, Open,    Nothing, Read,
                                 Write,             Type,   Diag,    Nothing, nullptr, Control, Nothing};
const DriverHeaderRecord* Load(u32, const u8*, u32) { return &kHeader; }

bool Within(const u8* p, u32 bytes, u32 size) {
    return p >= promgr_table && p + bytes <= promgr_table + size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("promgr_section_fuzz");
    if (size > 65536) return 0;
    const u32 n = static_cast<u32>(size);
    std::memset(promgr_table, 0xA5, 65536 + 64);
    if (n) std::memcpy(promgr_table, data, n);
    promgr_table_bl.SetHeader(crc16(data, n), n);
    NV_EditorFeatures = kFeatPromgr;
    SR_Put(5, 2);
    PMGR_SetLoadHook(Load);
    PMGR_Start();
    for (u32 i = 0; i < kPmgrMaxDrivers; ++i) {
        if (!PMGR_Started(i)) continue;
        const DriverCallbackTable& t = PMGR_Driver(i).table;
        if (t.stationCount < 1 || t.stationCount > kPmgrMaxStations || t.messageCount > kPmgrMaxMessages)
            std::abort();
        for (u32 s = 0; s < t.stationCount; ++s)
            if (!Within(t.stationBlocks[s].record, GetLe16(t.stationBlocks[s].record + 26), n)) std::abort();
        const u8* area = reinterpret_cast<const u8*>(t.messageBlocks[0].read);
        for (u32 k = 0; k < t.messageCount; ++k) {
            const PromgrMessageBlock& m = t.messageBlocks[k];
            if (!Within(m.record, GetLe16(m.record + 12), n) || GetLe16(m.record + 12) < 36) std::abort();
            if (m.station < t.stationBlocks || m.station >= t.stationBlocks + t.stationCount) std::abort();
            const u8* end = reinterpret_cast<const u8*>(m.write) + 2u * (m.write - m.read);
            if (k && area && (reinterpret_cast<const u8*>(m.read) < area || end > area + kPmgrAreaBytes))
                std::abort();
        }
    }
    for (int pass = 0; pass < 6; ++pass) {
        sysDTic += 7;
        for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
        PMGR_Scan();
    }
    PMGR_Stop();
    PMGR_SetLoadHook(nullptr);
    return 0;
}
