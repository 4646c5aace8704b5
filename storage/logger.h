// Data logger: logs register values into CSV files on the card, per logging
// group, periodically and on trigger edges, as the downloaded data-log table
// says. Rows are sampled in every scan outside stop mode into a row buffer;
// a writer advancing a few steps per scan appends them to one file per hour
// or per day through the logger's own file mailbox.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

// Called when the controller leaves stop mode: takes the data-log table
// when it changed since it was last taken (or at the first start).
void LOG_Start();
// Called when the controller enters stop mode; buffered rows are kept.
void LOG_Stop();
// Every scan outside stop mode: samples and advances the writer.
void LOG_Update();

// Forgets the table, the rows and the writer (power-up, tests).
void LOG_Reset();

// ------------------------------------------------------------------ the table

constexpr u32 kLogTableMin = 84;
constexpr u32 kLogMaxGroups = 10;
constexpr u32 kLogRowBuffer = 40960;
constexpr u32 kLogLineBuffer = 595;
constexpr u32 kLogPathBuffer = 512;
// Status of a refused table (in the logger status word).
constexpr i16 kLogTableRefused = 86;

struct LogItem {
    u32 reg;
    u8 type;          // 0-9
    std::string name;  // at most 16 characters
};

struct LogGroup {
    std::string folder;  // folder path, '\', sub-folder name
    u32 trigger;
    u32 statusReg;
    u32 period;
    bool minutes;  // period in minutes and one file per day
    u8 dateFormat;
    u8 timeFormat;
    std::vector<LogItem> items;
    u32 rowBytes;  // 12 + the items' raw bytes
};

struct LogTable {
    u32 enableReg;
    u32 statusReg;
    std::vector<LogGroup> groups;
};

// Raw bytes a row stores for a value type (0 for a type outside 0-9).
u32 LOG_RawBytes(u32 type);

// Parses and checks a data-log table: 0 taken; -1 logging off (shorter than
// 84 bytes or without "DLOG"); kLogTableRefused when a count, offset, length,
// type, path or line does not fit its table, buffer or line.
int LOG_ParseTable(const u8* data, u32 size, LogTable* out);

// State for tests and the panel: the writer state, the rows buffered in a
// group, its capacity and ring bytes.
int LOG_WriterState();
u32 LOG_GroupRows(u32 group);
u32 LOG_GroupCapacity(u32 group);
u32 LOG_GroupRingBytes(u32 group);
// Rows dropped because a group's ring was full (since the table was taken).
u32 LOG_DroppedRows();
