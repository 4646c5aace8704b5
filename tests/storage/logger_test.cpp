#include <cstring>
#include <string>

#include "logger_fixture.h"

using dlt::Group;
using dlt::Item;
using dlt::Table;

namespace {

constexpr u32 kEnable = lreg::M(1);
constexpr u32 kTrigger = lreg::M(2);
constexpr u32 kStatus = lreg::R(900);
constexpr u32 kGroupStatus = lreg::R(910);

Group Periodic(const std::string& sub, u32 period, u32 minutes = 0) {
    Group g;
    g.sub = sub;
    g.period = period;
    g.minutes = minutes;
    g.status = kGroupStatus;
    g.items = {{lreg::R(1), 2, "Temp"}};
    return g;
}

Table OneGroup(const Group& g) {
    Table t;
    t.enable = kEnable;
    t.status = kStatus;
    t.groups = {g};
    return t;
}

}  // namespace

// Tables that turn logging off or are refused: nothing is sampled or
// written; a refused one says so in the status register.
TEST_F(LoggerTest, TablesOffAndRefused) {
    Table good = OneGroup(Periodic("G", 10));
    std::vector<u8> ok = dlt::Build(good);
    std::vector<u8> short83(ok.begin(), ok.begin() + 83);
    std::vector<u8> magic = ok;
    magic[4] = 'X';
    Table eleven = good;
    eleven.groups.assign(11, Periodic("G", 10));
    Table badType = good;
    badType.groups[0].items[0].type = 10;
    std::vector<u8> badString = ok;
    dlt::P16(badString, 24 + 24, 5000);  // folder path offset past the string area
    std::vector<u8> badItems = ok;
    dlt::P32(badItems, 24 + 40, 100000);  // more items than the table holds
    Table longPath = good;
    longPath.groups[0].folder = "\\" + std::string(500, 'P');
    Table longLine = good;
    longLine.groups[0].items.assign(20, Item{lreg::R(1), 7, "ABCDEFGHIJKLMNOP"});  // 20 x 34 characters
    Table declared = good;
    declared.groupCount = 2;  // claims a group that is not there
    std::vector<u8> lengthPast = ok;
    dlt::P32(lengthPast, 0, static_cast<u32>(ok.size() + 100));

    struct Case {
        const char* what;
        std::vector<u8> table;
        bool refused;  // else merely off
    } cases[] = {
        {"83 bytes", short83, false},
        {"another magic", magic, false},
        {"eleven groups", dlt::Build(eleven), true},
        {"value type 10", dlt::Build(badType), true},
        {"string offset past the area", badString, true},
        {"item count past the table", badItems, true},
        {"path past 512 bytes", dlt::Build(longPath), true},
        {"row line past 595 bytes", dlt::Build(longLine), true},
        {"declared group missing", dlt::Build(declared), true},
        {"length past the block", lengthPast, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LOG_Reset();
        SetWord(kStatus, 0);
        LogTable parsed;
        EXPECT_EQ(LOG_ParseTable(c.table.data(), static_cast<u32>(c.table.size()), &parsed),
                  c.refused ? kLogTableRefused : -1);
        dlt::Load(c.table);
        SetBit(kEnable, true);
        LOG_Start();
        EXPECT_EQ(Word(kStatus), c.refused ? kLogTableRefused : 0);
        SetWord(kStatus, 0x5555);
        for (int i = 0; i < 5; ++i) Scan();
        EXPECT_EQ(Word(kStatus), 0x5555);  // no status from a logger without a table
        EXPECT_EQ(LOG_GroupRows(0), 0u);
    }
    EXPECT_FALSE(Exists("/mnt/USB0/LOG"));
}

// Period 10 s across the change of week, forced rows on enabling.
TEST_F(LoggerTest, PeriodAcrossTheWeekAndForcedRows) {
    dlt::Load(dlt::Build(OneGroup(Periodic("W", 10))));
    LOG_Start();
    SetClock(2021, 3, 6, 23, 59, 50, 7);  // Saturday
    LOG_Update();
    EXPECT_EQ(LOG_GroupRows(0), 0u);  // disabled: nothing
    SetBit(kEnable, true);
    LOG_Update();
    EXPECT_EQ(LOG_GroupRows(0), 1u);  // forced at once
    u32 expected = 1;
    // Seconds 55, 0 (Sunday), 5, 10, 15, 20: rows at 0, 10 and 20.
    const u16 steps[][3] = {{23, 59, 55}, {0, 0, 0}, {0, 0, 5}, {0, 0, 10}, {0, 0, 15}, {0, 0, 20}};
    const u32 rowsAfter[] = {1, 2, 2, 3, 3, 4};
    for (int i = 0; i < 6; ++i) {
        u16 dow = steps[i][0] == 23 ? 7 : 1;
        SetClock(2021, 3, dow == 7 ? 6 : 7, steps[i][0], steps[i][1], steps[i][2], dow);
        LOG_Update();
        expected = rowsAfter[i];
        EXPECT_EQ(LOG_GroupRows(0), expected) << "step " << i;
    }
    // Disabled and enabled again: a row at once.
    SetBit(kEnable, false);
    LOG_Update();
    SetBit(kEnable, true);
    LOG_Update();
    EXPECT_EQ(LOG_GroupRows(0), expected + 1);
    // Stop and run again with the same table: the rows are kept; a changed
    // table is taken anew.
    LOG_Stop();
    LOG_Start();
    EXPECT_EQ(LOG_GroupRows(0), expected + 1);
    dlt::Load(dlt::Build(OneGroup(Periodic("W2", 10))));
    LOG_Start();
    EXPECT_EQ(LOG_GroupRows(0), 0u);
}

TEST_F(LoggerTest, TriggerEdges) {
    Group g = Periodic("T", 0);
    g.trigger = kTrigger;
    dlt::Load(dlt::Build(OneGroup(g)));
    SetBit(kEnable, true);
    SetBit(kTrigger, true);
    LOG_Start();
    const struct {
        bool trigger;
        u32 rows;
    } steps[] = {{true, 0}, {true, 0}, {false, 0}, {true, 1}, {true, 1}, {false, 1}, {true, 2}};
    for (const auto& s : steps) {
        SetBit(kTrigger, s.trigger);
        LOG_Update();
        EXPECT_EQ(LOG_GroupRows(0), s.rows);
    }
}

// Two groups whose rows take 40 and 80 bytes share the row buffer by size.
TEST_F(LoggerTest, RowBufferSplit) {
    Group a = Periodic("A", 1);
    a.items.assign(7, Item{lreg::R(1), 3, "L"});  // 12 + 28
    Group b = Periodic("B", 1);
    b.items.assign(4, Item{lreg::R(1), 7, "T"});  // 12 + 64 + 4
    b.items.push_back(Item{lreg::R(1), 5, "U"});
    Table t = OneGroup(a);
    t.groups.push_back(b);
    dlt::Load(dlt::Build(t));
    LOG_Start();
    EXPECT_EQ(LOG_GroupRingBytes(0), 13653u);
    EXPECT_EQ(LOG_GroupRingBytes(1), 27306u);
    EXPECT_EQ(LOG_GroupCapacity(0), 341u);
    EXPECT_EQ(LOG_GroupCapacity(1), 341u);
    // A full ring drops new rows; the group status shows 100 %.
    SetBit(kEnable, true);
    for (u32 i = 0; i < 345; ++i) {
        SetClock(2021, 3, 5, 14, static_cast<u16>(i / 60), static_cast<u16>(i % 60), 6);
        LOG_Update();
    }
    EXPECT_EQ(LOG_GroupRows(0), 341u);
    EXPECT_GE(LOG_DroppedRows(), 8u);
    EXPECT_EQ(Word(kGroupStatus, 1), 100);
}

// Every value type in one row, hourly and daily file names, one header per
// new file; Python's csv reads what was written.
TEST_F(LoggerTest, FilesFormatsAndHeaders) {
    Group hourly = Periodic("H", 10);
    hourly.date = 4;
    hourly.time = 3;
    hourly.items = {
        {lreg::Bit(7900, 3), 0, "Bit"},   {lreg::R(1), 1, "Bits"},   {lreg::R(2), 2, "Int"},
        {lreg::R(3), 3, "Dint"},          {lreg::R(5), 4, "Uint"},   {lreg::R(6), 5, "Udint"},
        {lreg::R(8), 6, "Hex"},           {lreg::R(9), 7, "Text, quoted"}, {lreg::R(17), 8, "Real"},
        {lreg::R(19), 9, "Ip"},
    };
    Group daily = Periodic("D", 1, 1);
    daily.folder = "\\LOG\\";
    Table t = OneGroup(hourly);
    t.groups.push_back(daily);
    dlt::Load(dlt::Build(t));
    plc_reg[7900] = 0x08;
    SetWord(lreg::R(1), 0xA005);
    SetWord(lreg::R(2), static_cast<u16>(-1234));
    SetWord(lreg::R(3), 0xFFFE);  // -2
    SetWord(lreg::R(4), 0xFFFF);
    SetWord(lreg::R(5), 65535);
    SetWord(lreg::R(6), 0x5678);
    SetWord(lreg::R(7), 0x1234);
    SetWord(lreg::R(8), 0x00AB);
    std::memcpy(plc_reg + (lreg::R(9) - 0x400) / 8, "a,b \"c\"", 8);
    float f = 1.5f;
    u32 fb;
    std::memcpy(&fb, &f, 4);
    SetWord(lreg::R(17), static_cast<u16>(fb));
    SetWord(lreg::R(18), static_cast<u16>(fb >> 16));
    SetWord(lreg::R(19), 0x0304);
    SetWord(lreg::R(20), 0x0102);
    SetWord(lreg::R(1000), 0);

    LOG_Start();
    SetBit(kEnable, true);
    SetClock(2021, 3, 5, 14, 7, 9, 6);
    Scan();
    SetClock(2021, 3, 5, 14, 7, 19, 6);
    Scan();
    Drain(2);
    auto rows = PythonCsv("/mnt/USB0/LOG/H/030514.CSV");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Date", "Time", "Bit", "Bits", "Int", "Dint", "Uint", "Udint",
                                                 "Hex", "Text, quoted", "Real", "Ip"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"05-Mar-21", "02:07:09 PM", "1", "1010000000000101B", "-1234", "-2",
                                                 "65535", "305419896", "00ABH", "a,b \"c\"", "1.5", "1.2.3.4"}));
    EXPECT_EQ(rows[2][1], "02:07:19 PM");
    auto day = PythonCsv("/mnt/USB0/LOG/D/210305.CSV");
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[0], (std::vector<std::string>{"Date", "Time", "Temp"}));
    EXPECT_EQ(day[1][0], "2021-03-05");
    EXPECT_EQ(day[1][1], "14:07:09");

    // Power-up with the same table: the existing file only gets rows.
    LOG_Reset();
    LOG_Start();
    SetClock(2021, 3, 5, 14, 30, 0, 6);
    Scan();
    Drain(2);
    rows = PythonCsv("/mnt/USB0/LOG/H/030514.CSV");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][1], "02:30:00 PM");
    // The next hour starts a new file with its header; the finished one loses
    // the mark of the file being written.
    SetClock(2021, 3, 5, 15, 0, 0, 6);
    Scan();
    Drain(2);
    rows = PythonCsv("/mnt/USB0/LOG/H/030515.CSV");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "Date");
    u32 attr = 0;
    ASSERT_EQ(_fxe_file_attributes_read(&Cf_Media, "\\LOG\\H\\030514.CSV", &attr), kFxSuccess);
    EXPECT_EQ(attr & kFxSystem, 0u);
    EXPECT_EQ(Word(kStatus), 0);
}

TEST_F(LoggerTest, DateAndTimeFormats) {
    const struct {
        u8 date, time;
        u16 hour;
        const char* d;
        const char* t;
    } cases[] = {
        {0, 0, 0, "03/05", "00:07"},         {1, 1, 9, "03/05/21", "09:07:09"},  {2, 2, 0, "03/05/2021", "12:07 AM"},
        {3, 3, 12, "05-Mar", "12:07:09 PM"}, {5, 2, 23, "05-Mar-2021", "11:07 PM"}, {6, 0, 1, "05-03", "01:07"},
        {7, 0, 1, "05-03-21", "01:07"},      {8, 0, 1, "05-03-2021", "01:07"},     {9, 0, 1, "03-05", "01:07"},
        {10, 0, 1, "21-03-05", "01:07"},     {12, 4, 1, "", ""},
    };
    // Each format writes its own file; one Python run reads them all.
    std::vector<std::string> names;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.date);
        LOG_Reset();
        Group g = Periodic("F" + std::to_string(c.date), 10);
        g.date = c.date;
        g.time = c.time;
        dlt::Load(dlt::Build(OneGroup(g)));
        LOG_Start();
        SetBit(kEnable, true);
        SetClock(2021, 3, 5, c.hour, 7, 9, 6);
        Scan();
        Drain(1);
        char name[64];
        std::snprintf(name, sizeof name, "/mnt/USB0/LOG/F%u/0305%02u.CSV", c.date, c.hour);
        names.push_back(name);
    }
    const std::vector<CsvRows> files = PythonCsvFiles(names);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].date);
        const CsvRows& rows = files[i];
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[1][0], cases[i].d);
        EXPECT_EQ(rows[1][1], cases[i].t);
    }
}

// A card taken out while rows are written: the status shows the media
// code, rows stay buffered, and logging resumes when the card is back.
TEST_F(LoggerTest, CardRemovedAndInserted) {
    dlt::Load(dlt::Build(OneGroup(Periodic("C", 10))));
    LOG_Start();
    SetBit(kEnable, true);
    Scan();
    Drain(1);
    ASSERT_EQ(PythonCsv("/mnt/USB0/LOG/C/030514.CSV").size(), 2u);

    Fx_RemoveMedium(0);
    for (int i = 1; i <= 5; ++i) {
        SetClock(2021, 3, 5, 14, 0, static_cast<u16>(10 * i), 6);
        Scan();
        Serve(1);
    }
    EXPECT_NE(Word(kStatus), 0);
    EXPECT_GE(LOG_GroupRows(0), 1u);

    Fx_InsertMedium(0);
    Serve(3);
    Drain(1);
    EXPECT_EQ(Word(kStatus), 0);
    auto rows = PythonCsv("/mnt/USB0/LOG/C/030514.CSV");
    EXPECT_EQ(rows.size(), 7u);  // header, the first row and five more
    EXPECT_EQ(rows.back()[1], "14:00:50");
}
