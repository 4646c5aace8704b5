// The CSV log block of the standard list (LOGFILECSV): on an edge, one line
// with the values of one of the code image's variable lists is appended to a
// file of the drive-letter file API; and the family's rows of the block
// table.
//
// A variable list, as the code image holds it: an 8-byte header whose first
// u16 is the number of variables, then one 8-byte entry per variable {u16
// type code, u16 index, u32 CT offset}; a non-zero offset locates the value
// in the CT segment, else type and index locate it in the typed tables. The
// lists are reached through a table {u16 0, u16 count, u32 offset of each
// list} at the image's variable-lists offset.
#pragma once

#include <string>

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_LogFileCsv(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// The line of list `list` (numbered from 0) without its line feed, as the
// block writes it: 0 when whole, 3 no lists, 4 no such list, 5 an entry that
// cannot be located or written (line holds what comes before it).
int Q4Csv_Line(u8* db, i32 list, std::string* line);

inline constexpr Q4BlockEntry kQ4FbCsvRows[] = {
    {"LOGFILECSV", Q4Stfb_LogFileCsv},
};
