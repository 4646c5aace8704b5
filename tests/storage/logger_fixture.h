// The data logger and the debug log on a clean root with the card in, the
// clock registers set by hand and the mailboxes served between scans.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "logger_table.h"
#include "storage/dbg_logger.h"
#include "storage/logger.h"
#include "storage_fixture.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/manual_clock.h"

class LoggerTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        LOG_Reset();
        DLOG_Reset();
        Dpram_Init();
        SR_Put(5, 2);  // run mode
        SetClock(2021, 3, 5, 14, 0, 0, 6);
        Serve(3);      // card status and space into SR175-SR179
    }
    void TearDown() override {
        LOG_Reset();
        DLOG_Reset();
        StorageTest::TearDown();
    }

    // SR44-SR50: second, minute, hour, day, month, year, day of week.
    static void SetClock(u16 y, u16 mo, u16 d, u16 h, u16 mi, u16 s, u16 dow) {
        u16 v[7] = {s, mi, h, d, mo, y, dow};
        for (int i = 0; i < 7; ++i) SR_Put(44 + i, v[i]);
    }
    static void SetBit(u32 bitAddress, bool on) {
        u8 v = on ? 1 : 0;
        PlcReg_Set(bitAddress, &v, 1);
    }
    static u16 Word(u32 bitAddress, u32 k = 0) {
        return GetLe16(plc_reg + (bitAddress - 0x400) / 8 + 2 * k);
    }
    static void SetWord(u32 bitAddress, u16 v, u32 k = 0) { PutLe16(plc_reg + (bitAddress - 0x400) / 8 + 2 * k, v); }

    void Serve(int passes) {
        for (int i = 0; i < passes; ++i) {
            BackTsk_WriteOnce();     // the free-space child's round
            clock_.AdvanceMs(1100);  // lets the supervision refresh the card status
            for (int k = 0; k < 10; ++k) pass_.Pass();
        }
    }
    // One scan: the logger, the debug log, then the system update's passes.
    void Scan(int passes = 1) {
        LOG_Update();
        DLOG_Update();
        for (int i = 0; i < passes; ++i) pass_.Pass();
    }
    // Scans until every buffered row has been written (or gives up).
    void Drain(u32 groups, int scans = 400) {
        for (int i = 0; i < scans; ++i) {
            u32 left = 0;
            for (u32 g = 0; g < groups; ++g) left += LOG_GroupRows(g);
            if (!left && (LOG_WriterState() == 1 || LOG_WriterState() == 16)) {
                Scan();
                return;
            }
            Scan();
        }
    }

    using CsvRows = std::vector<std::vector<std::string>>;
    // Fields of every line as Python's csv module reads the file.
    CsvRows PythonCsv(const std::string& fw) { return PythonCsvFiles({fw})[0]; }
    // The same for several files, read by one Python run: a line with the
    // one character 0x1e ends each file.
    std::vector<CsvRows> PythonCsvFiles(const std::vector<std::string>& fws) {
        std::string cmd = "/usr/bin/python3 -c \"import csv,sys\nfor n in sys.argv[1:]:\n"
                          " for r in csv.reader(open(n, newline='')): print('\\x1f'.join(r))\n"
                          " print('\\x1e')\"";
        for (const std::string& fw : fws) cmd += " '" + Root_HostPath(fw) + "'";
        std::vector<CsvRows> files(1);
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return std::vector<CsvRows>(fws.size());
        char line[4096];
        while (std::fgets(line, sizeof line, p)) {
            std::string l = line;
            if (!l.empty() && l.back() == '\n') l.pop_back();
            if (l == "\x1e") {
                files.emplace_back();
                continue;
            }
            std::vector<std::string> f;
            size_t s = 0;
            for (;;) {
                size_t e = l.find('\x1f', s);
                f.push_back(l.substr(s, e == std::string::npos ? std::string::npos : e - s));
                if (e == std::string::npos) break;
                s = e + 1;
            }
            files.back().push_back(f);
        }
        EXPECT_EQ(pclose(p), 0) << "python's csv could not read " << fws[0] << (fws.size() > 1 ? " or another" : "");
        files.resize(fws.size());
        return files;
    }

    ManualClock clock_;
    dlt::LoggerPass pass_;
};
