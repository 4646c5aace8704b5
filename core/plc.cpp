#include "core/plc.h"

#include <cstring>
#include <vector>

#include "core/bkuprstr.h"
#include "core/io_chain.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/neighbour.h"
#include "platform/root.h"
#include "platform/rtclock.h"

IoSlotRecord io_cfg[kIoSlots];
PlcIoBases PlcIoNormal = {plc_reg + kRegI, plc_reg + kRegQ, plc_reg + kRegAI, plc_reg + kRegAQ};
u8 PlcRxHandlerStopped = 0;
ScanPeers scanPeers;

void ScanPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, scanPeers, runLadder);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecVariablesKnown);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecSyncSystem);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecSyncInputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecSyncOutputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecSeesS9);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecForgetFirstRun);
    NEIGHBOUR_REQUIRE(check, scanPeers, iecHalted);
    NEIGHBOUR_REQUIRE(check, scanPeers, moduleIdentity);
    NEIGHBOUR_REQUIRE(check, scanPeers, detectModules);
    NEIGHBOUR_REQUIRE(check, scanPeers, configureSlot);
    NEIGHBOUR_REQUIRE(check, scanPeers, getInputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, putOutputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, getAnalogInputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, putAnalogOutputs);
    NEIGHBOUR_REQUIRE(check, scanPeers, serviceModule);
    NEIGHBOUR_REQUIRE(check, scanPeers, startModule);
    NEIGHBOUR_REQUIRE(check, scanPeers, stopIo);
    NEIGHBOUR_REQUIRE(check, scanPeers, writeModuleMemory);
    NEIGHBOUR_REQUIRE(check, scanPeers, startCanOpen);
    NEIGHBOUR_REQUIRE(check, scanPeers, canOpenReceive);
    NEIGHBOUR_REQUIRE(check, scanPeers, canOpenTransmit);
    NEIGHBOUR_REQUIRE(check, scanPeers, onlineEditing);
    NEIGHBOUR_REQUIRE(check, scanPeers, endOnlineEditing);
    NEIGHBOUR_REQUIRE(check, scanPeers, editBlock);
    NEIGHBOUR_REQUIRE(check, scanPeers, clearOverride);
    NEIGHBOUR_REQUIRE(check, scanPeers, publishSlotInfo);
    NEIGHBOUR_REQUIRE(check, scanPeers, talkOpened);
    NEIGHBOUR_REQUIRE(check, scanPeers, talkClosed);
    NEIGHBOUR_REQUIRE(check, scanPeers, openProgrammingMode);
    NEIGHBOUR_REQUIRE(check, scanPeers, protocolScan);
    NEIGHBOUR_REQUIRE(check, scanPeers, protocolStart);
    NEIGHBOUR_REQUIRE(check, scanPeers, protocolStop);
    NEIGHBOUR_REQUIRE(check, scanPeers, smsScan);
    NEIGHBOUR_REQUIRE(check, scanPeers, smsStart);
    NEIGHBOUR_REQUIRE(check, scanPeers, smsStop);
    NEIGHBOUR_REQUIRE(check, scanPeers, logUpdate);
    NEIGHBOUR_REQUIRE(check, scanPeers, logStart);
    NEIGHBOUR_REQUIRE(check, scanPeers, logStop);
    NEIGHBOUR_REQUIRE(check, scanPeers, debugLogUpdate);
    NEIGHBOUR_REQUIRE(check, scanPeers, emailScan);
    NEIGHBOUR_REQUIRE(check, scanPeers, stopFileJobs);
    NEIGHBOUR_REQUIRE(check, scanPeers, ethernetStatus);
}

namespace {

constexpr u32 kIBytes = 256, kAIWords = 512;  // sizes of the I/Q and AI/AQ areas
constexpr u32 kEditLocTableBytes = 25856;     // register location table of an IEC record
constexpr const char* kQ4UpdPath = "/mnt/cfg/q4.upd";
constexpr const char* kQ4CodPath = "/mnt/cfg/q4.cod";

struct State {
    // Clock bits.
    bool firstScan = true;
    u16 prevTick = 0, s3Start = 0, s4Start = 0, s5Start = 0;
    // Scan-time statistics.
    u32 logicStart = 0;
    u32 scanTotal = 0;
    bool scanMeasured = false;
    // Mode changes.
    bool modeCalled = false;
    // Module detection.
    bool ioDetected = false;
    int ioDetectFlags = 0;
    // Controller network settings (10 bytes; the word at offset 4 is the settings word).
    u8 netSettings[10] = {};
};
State g;

void ResetScanStatistics() {
    SR_Put(6, 0);
    SR_Put(7, 0xFFFF);
    SR_Put(8, 0);
    g.scanTotal = 0;
    g.scanMeasured = false;
}

bool IecEnumerated() { return QuilletRuntime && scanPeers.iecVariablesKnown(); }

void MirrorProgramBlock() {
    SR_Put(23, ladder_bl.Crc());
    SR_PutDword(11, ladder_bl.Size());
}

bool IsIecRecord(const u8* data, u32 size) {
    return size >= 16 && GetLe16(data) == 0x004A && std::memcmp(data + 4, "XTI\0", 4) == 0;
}

// ---------------------------------------------------------------------------
// Clock bits S3 (10 ms), S4 (100 ms) and S5 (1 s) on the low 16 bits of the
// counter, each test one signed 16-bit subtraction.

void ClockBits(u32 now) {
    u16 t = static_cast<u16>(now);
    if (g.firstScan) {
        g.firstScan = false;
        S_Put(3, true);
        S_Put(4, true);
        S_Put(5, true);
        g.s3Start = g.s4Start = g.s5Start = t;
        g.prevTick = t;
        return;
    }
    i16 d = static_cast<i16>(static_cast<u16>(t - g.prevTick));
    if (static_cast<i16>(static_cast<u16>(t - g.s3Start)) > 49) {
        S_Put(3, !S_Get(3));
        g.s3Start = d > 49 ? t : static_cast<u16>(g.s3Start + 50);
    }
    if (static_cast<i16>(static_cast<u16>(t - g.s4Start)) > 499) {
        S_Put(4, !S_Get(4));
        g.s4Start = d > 499 ? t : static_cast<u16>(g.s4Start + 500);
    }
    if (static_cast<i16>(static_cast<u16>(t - g.s5Start)) > 4999) {
        S_Put(5, !S_Get(5));
        g.s5Start = static_cast<u16>(g.s5Start + 5000);
    }
    g.prevTick = t;
}

// ---------------------------------------------------------------------------
// I/O exchange. Slot 0 starts at the area bases; each further slot continues
// where the previous one ended. A field-bus module in slot 1 or 2 uses the
// registers named in its configuration instead.

bool IsFieldBus(int slot) {
    const IoSlotRecord& r = io_cfg[slot];
    return slot >= 1 && r.config != nullptr && std::memcmp(r.info.text + 5, "DONRU", 5) == 0;
}

u32 FieldBusWord(const IoSlotRecord& r, u32 offset) {
    return offset + 4 <= r.configBytes ? GetLe32(r.config + offset) : 0;
}

// Station number 1-125 of a field-bus module, 0 when invalid.
u32 FieldBusStation(const IoSlotRecord& r) {
    u32 v = FieldBusWord(r, 0);
    if (v > 1024) {
        u16 w = 0;
        if (PlcReg_Get(&w, v, 16) == 0) return 0;
        v = w;
    }
    return (v >= 1 && v <= 125) ? v : 0;
}

u32 RoundBits(u32 bits) { return (bits + 7) / 8 * 8; }

enum class Dir { kIn, kOut };

void FieldBusExchange(int slot, Dir dir) {
    const IoSlotRecord& r = io_cfg[slot];
    if (r.configBytes < 36 || FieldBusStation(r) == 0) return;
    u32 dRef = FieldBusWord(r, dir == Dir::kIn ? 4 : 12);
    u32 dBits = RoundBits(FieldBusWord(r, dir == Dir::kIn ? 8 : 16) & 0xFFFF);
    u32 aRef = FieldBusWord(r, dir == Dir::kIn ? 20 : 28);
    u32 aWords = FieldBusWord(r, dir == Dir::kIn ? 24 : 32) & 0xFFFF;
    u32 aStart = (2 * (((dBits / 8 + 1) >> 1) + 8)) & 0xFF;
    if (dBits != 0) {
        if (u8* p = PlcReg_Ptr(dRef, dBits)) {
            if (dir == Dir::kIn)
                scanPeers.getInputs(p, slot, 128, dBits);
            else
                scanPeers.putOutputs(p, slot, 128, dBits);
        }
    }
    if (aWords != 0) {
        if (u8* p = PlcReg_Ptr(aRef, aWords * 16)) {
            if (dir == Dir::kIn)
                scanPeers.getAnalogInputs(p, slot, aStart, aWords);
            else
                scanPeers.putAnalogOutputs(p, slot, aStart, aWords);
        }
    }
}

void ExchangeIo(Dir dir) {
    u32 byteOffset = 0, wordOffset = 0;
    for (int slot = 0; slot < kIoSlots; ++slot) {
        if (IsFieldBus(slot)) {
            FieldBusExchange(slot, dir);
            continue;
        }
        const IoSlotRecord& r = io_cfg[slot];
        u32 bits = RoundBits(r.Count(dir == Dir::kIn ? 0 : 1));
        u32 words = r.Count(dir == Dir::kIn ? 2 : 3);
        // A module never reaches past the end of its area.
        if (byteOffset + bits / 8 > kIBytes) bits = (kIBytes - byteOffset) * 8;
        if (wordOffset + words > kAIWords) words = kAIWords - wordOffset;
        if (dir == Dir::kIn) {
            scanPeers.getInputs(PlcIoNormal.i + byteOffset, slot, 0, bits);
            scanPeers.getAnalogInputs(PlcIoNormal.ai + 2 * wordOffset, slot, 0, words);
        } else {
            scanPeers.putOutputs(PlcIoNormal.q + byteOffset, slot, 0, bits);
            scanPeers.putAnalogOutputs(PlcIoNormal.aq + 2 * wordOffset, slot, 0, words);
        }
        byteOffset += bits / 8;
        wordOffset += words;
    }
}

// ---------------------------------------------------------------------------
// On-line programming.

// Replaces the stored program by the edited one in the on-line edit block.
// The edit block comes from the programming link: it is taken only when its
// size fits the program block and its CRC-16 matches.
bool SwitchToEditedLadder() {
    u32 olpCapacity = 0;
    u8* olp = scanPeers.editBlock(&olpCapacity);
    u16 crc = GetLe16(olp);
    u32 size = GetLe32(olp + 4);
    if (size < ladder_bl.validMin || size > ladder_bl.validMax || size > ladder_bl.capacity ||
        size > olpCapacity)
        return false;
    if (crc16(olp + 8, size) != crc) return false;
    std::memcpy(ladder_bl.base, olp, 8 + size);
    MirrorProgramBlock();
    return true;
}

// IEC application: the change image q4.upd becomes the code, followed by the
// new register location table and the rest of the edit block.
bool SwitchToEditedIec() {
    u32 olpCapacity = 0;
    u8* olp = scanPeers.editBlock(&olpCapacity);
    u32 editSize = GetLe32(olp + 4);
    if (editSize < kEditLocTableBytes + 4 || editSize > olpCapacity) return false;
    u8* edit = olp + 8;
    if (crc16(edit, editSize) != GetLe16(olp)) return false;
    // Room left for the code: record header, table and the edit tail must fit too.
    u64 fixed = 16ull + kEditLocTableBytes + (editSize - kEditLocTableBytes - 4);
    if (fixed >= ladder_bl.capacity) return false;
    std::vector<u8> code;
    if (!File_ReadAll(Root_HostPath(kQ4UpdPath), code, ladder_bl.capacity - fixed) || code.empty()) return false;
    u32 codeLen = static_cast<u32>(code.size());
    if (!File_WriteAtomic(Root_HostPath(kQ4CodPath), code.data(), code.size())) return false;

    PutLe32(edit + kEditLocTableBytes, 1);
    PutLe16(olp, crc16(edit, editSize));

    u8* rec = ladder_bl.Data();
    std::memcpy(rec + 16, code.data(), codeLen);
    std::memcpy(rec + 16 + codeLen, edit, kEditLocTableBytes);
    std::memcpy(rec + 16 + codeLen + kEditLocTableBytes, edit + kEditLocTableBytes + 4,
                editSize - kEditLocTableBytes - 4);
    PutLe32(rec + 8, codeLen);
    u32 size = editSize + 12 + codeLen;
    ladder_bl.SetHeader(crc16(rec, size), size);
    MirrorProgramBlock();
    Q4SaveLadderPgm();
    scanPeers.endOnlineEditing();
    ESR_Put(1, ESR_Get(1) & 0xFF00);
    return true;
}

void SwitchPrograms() {
    bool ok;
    if (QuilletRuntime) {
        // Without an IEC record in the program block there is nothing to switch.
        if (!IsIecRecord(ladder_bl.Data(), ladder_bl.Size()) || !scanPeers.iecVariablesKnown()) return;
        ok = SwitchToEditedIec();
    } else {
        ok = SwitchToEditedLadder();
    }
    // A refused edit is reported like a fault of the edited program: the
    // stored program keeps running.
    if (!ok) ESR_Put(1, kOlpFault);
}

void OnlineProgrammingStep() {
    u16 e = ESR_Get(1);
    if (!(e & kOlpEditWaiting)) return;
    if (e & kOlpAccept) {
        if (e & kOlpStepDone) {
            ESR_Put(1, e & ~(kOlpStepDone | kOlpAccept));
        } else if (!(e & kOlpSeen)) {
            ESR_Put(1, e | kOlpSeen);
        } else {
            ESR_Put(1, (e & ~kOlpSeen) | kOlpStepDone | kOlpEditRunning);
            SwitchPrograms();
        }
    } else if (e & kOlpRevert) {
        if (e & kOlpStepDone) {
            ESR_Put(1, 0);
        } else if (!(e & kOlpSeen)) {
            ESR_Put(1, e | kOlpSeen);
        } else {
            ESR_Put(1, (e & ~(kOlpSeen | kOlpEditRunning)) | kOlpStepDone);
            LoadLadder();
            MirrorProgramBlock();
        }
    }
}

void MeasureScanTime(u32 now) {
    if (!S_Get(1) && !S_Get(10)) {
        u32 d = now - g.logicStart;
        if (d > 0xFFFF) d = 0xFFFF;
        if (!g.scanMeasured) {
            g.scanMeasured = true;
            SR_Put(6, static_cast<u16>(d));
            g.scanTotal = 16 * d;
        } else {
            g.scanTotal = g.scanTotal - SR_Get(6) + d;
            SR_Put(6, static_cast<u16>(g.scanTotal / 16));
        }
        if (d < SR_Get(7)) SR_Put(7, static_cast<u16>(d));
        if (d > SR_Get(8)) SR_Put(8, static_cast<u16>(d));
    }
    g.logicStart = now;
}

void RunLogic() {
    MeasureScanTime(FPGA_GetFrt());
    if (scanPeers.onlineEditing()) {
        OnlineProgrammingStep();
    } else if ((ESR_Get(1) & 5) == 5) {
        SaveLadder();
        ESR_Put(1, ESR_Get(1) & 0xFF00);
    }
    i32 result = scanPeers.runLadder(ladder);
    if (result == kProgramEnd) return;
    if (!scanPeers.onlineEditing()) {
        SR_PutDword(53, static_cast<u32>(result));
        SR_Put(4, SR_Get(4) | kSr4ProgramFault);
        SetPlcMode(kModeStop);
    } else {
        if (ESR_Get(1) & kOlpEditRunning) LoadLadder();
        ESR_Put(1, kOlpFault);
        MirrorProgramBlock();
    }
}

bool HasEmail(u16 model) {
    static const u16 kModels[] = {0xDF0F, 0xBF0F, 0x6F0F, 0xEF0F, 0x6E0F, 0xEE0F, 0xAF0F, 0xAE0F};
    for (u16 m : kModels)
        if (m == model) return true;
    return false;
}

// ---------------------------------------------------------------------------
// I/O configuration.

// Configured identity and data of each slot from the I/O configuration
// block: records of u16 identity, u16 length and the data padded to 4 bytes;
// a record with identity 0xFFFF stands for all remaining slots.
struct SlotConfig {
    u16 identity = 0xFF;
    const u8* data = nullptr;
    u32 bytes = 0;
};

void ReadSlotConfigs(SlotConfig out[kIoSlots]) {
    u32 size = io_config_bl.Size();
    if (size > io_config_bl.capacity) size = 0;
    IoChain chain(io_config, size);
    IoChainRecord r;
    for (int slot = 0; slot < kIoSlots && chain.Next(&r); ++slot) {
        SlotConfig c;
        c.identity = r.id == 0xFFFF ? 0xFF : r.id;
        c.data = r.data;
        c.bytes = r.avail;
        if (r.id == 0xFFFF) {
            for (int s = slot; s < kIoSlots; ++s) out[s] = c;
            return;
        }
        out[slot] = c;
    }
}

bool VariantsCompatible(u16 detected, u16 configured) {
    if ((detected & 0xF9FF) != 0xF800 || (configured & 0xF9FF) != 0xF800) return false;
    int dv = (detected >> 9) & 3, cv = (configured >> 9) & 3;
    switch (dv) {
        case 0: return cv != 1;
        case 1: return cv == 1;
        default: return cv >= 2;
    }
}

void SetSlotText(IoSlotRecord& r, char status, const char* text) {
    r.info.status = status;
    std::memcpy(r.info.text, text, 11);
}

void ClearCounts(IoSlotRecord& r) {
    for (int k = 0; k < 4; ++k) r.SetCount(k, 0);
}

void FieldBusStationCheck(int slot) {
    IoSlotRecord& r = io_cfg[slot];
    if (!IsFieldBus(slot) || r.configBytes < 4) return;
    u32 station = FieldBusStation(r);
    if (station == 0) {
        u32 statusReg = FieldBusWord(r, 36);
        if (statusReg != 0) {
            u16 bad = 0xFEFE;
            PlcReg_Set(statusReg, &bad, 16);
        }
    } else {
        // The count goes into the module's own memory: the two-address-byte
        // memory of the first or second plug-in slot (slots 1 and 2 here).
        u8 b = static_cast<u8>(station);
        scanPeers.writeModuleMemory(slot == 1 ? 0x1C : 0x1E, 252, 1, &b, 3);
    }
}

}  // namespace

void Plc_Reset() {
    g = State{};
    std::memset(io_cfg, 0, sizeof io_cfg);
    PlcIoNormal = {plc_reg + kRegI, plc_reg + kRegQ, plc_reg + kRegAI, plc_reg + kRegAQ};
    PlcRxHandlerStopped = 0;
}

void Plc_StopRxHandler() { PlcRxHandlerStopped = 1; }
void Plc_ResumeRxHandler() { PlcRxHandlerStopped = 0; }

void PlcScan() {
    u32 now = FPGA_GetFrt();
    if (S_Get(9)) scanPeers.iecSeesS9();
    ClockBits(now);
    RtcScanStep();
    if (!PlcRxHandlerStopped) scanPeers.canOpenReceive();
    if (HasEmail(scanPeers.moduleIdentity(1))) scanPeers.emailScan();
    if (IecEnumerated()) {
        scanPeers.iecSyncSystem();
    }
    if ((SR_Get(5) & 0xFF) != kModeStop) {
        if (S_Get(6)) ExchangeIo(Dir::kIn);
        if (S_Get(12)) PlcForceInputs();
        if (IecEnumerated()) {
            scanPeers.iecSyncInputs();
        }
        u8 mode = SR_Get(5) & 0xFF;
        if (mode == kModeRun || mode == kModeRunFaulted) RunLogic();
        // A program fault stopped the controller: this scan's outputs are not written.
        if ((SR_Get(5) & 0xFF) != kModeStop) {
            if (S_Get(12)) PlcForceOutputs();
            if (S_Get(6)) {
                ExchangeIo(Dir::kOut);
                for (int slot = 0; slot < kIoSlots; ++slot)
                    if (scanPeers.moduleIdentity(slot) != 0xFF) scanPeers.serviceModule(slot);
            }
            if (IecEnumerated()) {
                scanPeers.iecSyncOutputs();
            }
            scanPeers.protocolScan();
            scanPeers.smsScan();
            scanPeers.logUpdate();
            scanPeers.debugLogUpdate();
        }
    }
    scanPeers.canOpenTransmit();
    scanPeers.ethernetStatus();
}

void SetPlcMode(u8 requested) {
    if (requested > kModeIoHold) return;
    u8 target = (requested == kModeRunFaulted || (SR_Get(4) & kSr4BlockingFaults) == 0) ? requested : kModeStop;
    u8 current = SR_Get(5) & 0xFF;
    bool first = !g.modeCalled;
    g.modeCalled = true;
    if (target == current) return;

    if (!first) {
        // The image is saved showing the mode it is about to enter.
        SR_Put(5, target);
        AutoSaveRegisters();
        SR_Put(5, current);
    }
    if (target != kModeRun) scanPeers.endOnlineEditing();

    if (current == kModeStop) {
        if (QuilletRuntime) {
            QuilletStop();
            scanPeers.iecForgetFirstRun();
            QuilletStart();
        }
        scanPeers.protocolStart();
        scanPeers.smsStart();
        scanPeers.logStart();
    }
    if (target == kModeRun || target == kModeRunFaulted) {
        if (current == kModeIoHold) {
            ResetScanStatistics();
            S_Put(10, true);
        } else {
            IoStart();
        }
    }
    if (target == kModeStop) {
        scanPeers.stopIo();
        scanPeers.protocolStop();
        scanPeers.smsStop();
        scanPeers.logStop();
        if (IecEnumerated()) scanPeers.iecHalted();
        scanPeers.stopFileJobs();
    }
    bool fromHold = current == kModeIoHold && target <= kModeIoOnly;
    bool fromRun = (current == kModeRun || current == kModeRunFaulted) && target <= kModeRunFaulted;
    if (fromHold || fromRun) {
        SR_Put(6, 0);
        g.scanTotal = 0;
        g.scanMeasured = false;
        for (int port = 0; port < 2; ++port) {
            if (scanPeers.talkOpened(port)) {
                scanPeers.openProgrammingMode(static_cast<u32>(port));
                scanPeers.talkClosed(port);
            }
        }
        scanPeers.clearOverride();
    }
    SR_Put(5, target);
}

void IoStart() {
    PlcTmpClear();
    PlcOldInit();
    ResetScanStatistics();
    S_Put(1, true);
    for (u8 slot = 0; slot < 2; ++slot) {
        scanPeers.startModule(slot);
    }
}

int IoConfig() {
    if (!g.ioDetected) {
        g.ioDetectFlags = scanPeers.detectModules();
        g.ioDetected = true;
    }
    PlcIoNormal = {plc_reg + kRegI, plc_reg + kRegQ, plc_reg + kRegAI, plc_reg + kRegAQ};

    SlotConfig cfg[kIoSlots];
    ReadSlotConfigs(cfg);
    bool fault = false;
    for (int slot = 0; slot < kIoSlots; ++slot) {
        IoSlotRecord& r = io_cfg[slot];
        r.config = cfg[slot].data;
        r.configBytes = cfg[slot].bytes;
        r.info.configured = 0;
        u16 detected = scanPeers.moduleIdentity(slot);
        u16 configured = cfg[slot].identity;
        if (g.ioDetectFlags & (1 << slot)) {
            SetSlotText(r, '*', "Unsupported");
            ClearCounts(r);
        } else if (detected == configured && detected == 0xFF) {
            SetSlotText(r, ' ', "I/O: Empty ");
            ClearCounts(r);
            r.info.configured = 1;
        } else if (detected == configured || VariantsCompatible(detected, configured)) {
            scanPeers.configureSlot(&r, slot);
            u8 result = static_cast<u8>(r.info.status);
            r.info.status = (result == 0 && r.info.configured) ? ' ' : (result >= 2 ? 'f' : 'c');
            FieldBusStationCheck(slot);
        } else if (detected == 0xFF) {
            SetSlotText(r, '-', "I/O Missing");
            ClearCounts(r);
        } else {
            scanPeers.configureSlot(&r, slot);
            r.info.status = configured == 0xFF ? '+' : '?';
        }
        if (r.info.status != ' ') fault = true;
    }
    if (fault) {
        SR_Put(4, SR_Get(4) | kSr4IoFault);
        S_Put(6, false);
        scanPeers.stopIo();
    } else {
        SR_Put(4, SR_Get(4) & ~kSr4IoFault);
    }

    u8 info[kSlotInfoBytes] = {};
    for (int e = 0; e < 4; ++e) {
        u8* entry = info + e * kSlotInfoEntryBytes;
        if (e < kIoSlots) {
            PutLe16(entry, scanPeers.moduleIdentity(e));
            std::memcpy(entry + 2, &io_cfg[e].info, sizeof(IoSlotInfo));
        } else {
            PutLe16(entry, 0xFF);
        }
    }
    scanPeers.publishSlotInfo(info);
    std::memcpy(&plc_reg[2 * (127 + 64)], info, kSlotInfoBytes);
    return fault ? 1 : 0;
}

void PlcInit(int cold) { PlcRegInit(cold); }

void NetConfig() {
    static const u8 kDefaultSettings[10] = {0, 0, 0, 0, 3, 0, 0, 0, 0, 0};
    u32 size = SR_GetDword(19);
    u32 have = net_config_bl.Size() <= net_config_bl.capacity ? net_config_bl.Size() : 0;
    if (size != 0 && have >= 1) {
        u8 first = net_config[0];
        u16 word = have >= 2 ? GetLe16(net_config) : first;
        SR_Put(31, first);
        // The controller occupies SR61 network ids below 128; a count the
        // node-id check could not subtract from 128 is taken as 1.
        u16 ids = word < 256 ? 1 : static_cast<u16>(word >> 8);
        SR_Put(61, ids > 127 ? 1 : ids);
        if (first & 0x80) {
            SR_Put(31, first & 0x7F);
            if (have >= 11 && GetLe16(net_config + 1 + 4) != 0) {
                std::memcpy(g.netSettings, net_config + 1, sizeof g.netSettings);
                Plc_NetInit();
                return;
            }
        } else {
            SR_Put(61, 1);
        }
    } else {
        SR_Put(61, 1);
        SR_Put(31, 0);
    }
    std::memcpy(g.netSettings, kDefaultSettings, sizeof g.netSettings);
    Plc_NetInit();
}

void Plc_NetInit() {
    CanOpenNetStart start{};
    start.counter = &fpga_port;
    start.ticksPerMs = 100;
    start.baudCode = SR_Get(30);
    start.a = 2;
    start.b = 3;
    start.settings = GetLe16(g.netSettings + 4);
    start.nodeId = SR_Get(29);
    start.idCount = SR_Get(61);
    start.sr31Bit1 = static_cast<u8>((SR_Get(31) >> 1) & 1);
    scanPeers.startCanOpen(&start);
}
