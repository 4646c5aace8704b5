// A clean controller core for the scan, mode and main-loop tests: a fresh
// root, a hand-advanced clock, zeroed registers, every stand-in service
// forgotten, and the scan's neighbours recorded: each call the scan makes
// through scanPeers is noted in `scanTrace` and then passed on to the real
// module, so a test sees what the scan did and in what order.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/canopen.h"
#include "io/iodriver.h"
#include "link/command.h"
#include "link/promgr.h"
#include "link/talk.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cfmgr.h"
#include "storage/file.h"
#include "storage/logger.h"
#include "testsupport/io_script.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

// What the scan asked of its neighbours since the fixture started.
struct ScanRecord {
    std::vector<std::string> trace;  // names of the recorded entries, in call order
    int ladderRuns = 0;
    int canOpenStarts = 0;
    CanOpenNetStart lastStart{};
    // Stands in for the program when set (a test makes a program fault this
    // way): only the end-of-scan latches of a normal end remain.
    i32 (*program)(const u8* code) = nullptr;

    int Count(const char* entry) const {
        int n = 0;
        for (const std::string& t : trace) n += t == entry;
        return n;
    }
};
inline ScanRecord scanRecord;
inline ScanPeers scanReal;  // the wired entries the recorders pass on to

inline void RecordScanPeers() {
    scanRecord = ScanRecord{};
    scanReal = scanPeers;
#define PLC_RECORD_VOID(entry)                     \
    scanPeers.entry = [] {                         \
        scanRecord.trace.push_back(#entry);        \
        scanReal.entry();                          \
    }
    PLC_RECORD_VOID(canOpenReceive);
    PLC_RECORD_VOID(canOpenTransmit);
    PLC_RECORD_VOID(emailScan);
    PLC_RECORD_VOID(iecSyncSystem);
    PLC_RECORD_VOID(iecSyncInputs);
    PLC_RECORD_VOID(iecSyncOutputs);
    PLC_RECORD_VOID(protocolScan);
    PLC_RECORD_VOID(protocolStart);
    PLC_RECORD_VOID(protocolStop);
    PLC_RECORD_VOID(smsScan);
    PLC_RECORD_VOID(smsStart);
    PLC_RECORD_VOID(smsStop);
    PLC_RECORD_VOID(logUpdate);
    PLC_RECORD_VOID(logStart);
    PLC_RECORD_VOID(logStop);
    PLC_RECORD_VOID(debugLogUpdate);
    PLC_RECORD_VOID(stopFileJobs);
    PLC_RECORD_VOID(ethernetStatus);
#undef PLC_RECORD_VOID
    scanPeers.runLadder = [](const u8* code) -> i32 {
        scanRecord.trace.push_back("runLadder");
        scanRecord.ladderRuns++;
        if (scanRecord.program == nullptr) return scanReal.runLadder(code);
        i32 result = scanRecord.program(code);
        if (result == kProgramEnd) {
            S_Put(1, false);
            S_Put(10, false);
        }
        return result;
    };
    scanPeers.startCanOpen = [](const CanOpenNetStart* start) {
        scanRecord.trace.push_back("startCanOpen");
        scanRecord.canOpenStarts++;
        scanRecord.lastStart = *start;
        scanReal.startCanOpen(start);
    };
}

class PlcCore : public ::testing::Test {
protected:
    void SetUp() override {
        FPGA_Reset();
        Rtc_Reset();
        Nvram_Reset();
        Bkuprstr_Reset();
        Plc_Reset();
        Cmd_Reset();
        IoScript_Install();
        NodeId_Flag = 0;
        LOG_Reset();
        File_Reset();
        Vcomm_Reset();
        Touch_Reset();
        Main_Reset();
        Dartu_Reset();
        TalkClosed(0);
        TalkClosed(1);
        RecordScanPeers();
        Sys_AutoLoad = 0;
        Sys_AppLoad = 0;
        // The empty program: a single END word.
        PutLe16(ladder, 9);
        ladder_bl.SetHeader(crc16(ladder, 2), 2);
    }
    void TearDown() override {
        Wiring_Connect();
        File_Reset();
        Dartu_Reset();
    }

    u8 Mode() const { return SR_Get(5) & 0xFF; }
    // Puts the controller in a mode without the side effects of a change.
    void ForceMode(u8 mode) { SR_Put(5, mode); }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
};
