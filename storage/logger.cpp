#include "storage/logger.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/fx_api.h"
#include "storage/cf_api.h"
#include "storage/cf_logmb.h"

namespace {

constexpr i32 kPending = -2, kBusy = -3;
constexpr u32 kWeekSeconds = 604800;
constexpr u32 kStepsPerCall = 8;

// Widest text of a value, a date and a time (16-bit clock fields may hold
// anything), used to check that every line fits its buffer.
constexpr u32 kDateMax = 17, kTimeMax = 20;
u32 ValueTextMax(u32 type) {
    static const u8 kMax[10] = {1, 17, 6, 11, 5, 10, 5, 34, 16, 15};
    return type < 10 ? kMax[type] : 0;
}

// ------------------------------------------------------------------ parsing

struct Reader {
    const u8* d;
    u32 n;
    u16 U16(u32 off) const { return GetLe16(d + off); }
    u32 U32(u32 off) const { return GetLe32(d + off); }
};

// A text of the string area: false when it runs past the area.
bool AreaText(const u8* area, u32 areaBytes, u32 off, u32 len, std::string* out) {
    if (off > areaBytes || len > areaBytes - off) return false;
    const char* p = reinterpret_cast<const char*>(area + off);
    out->assign(p, strnlen(p, len));
    return true;
}

// A CSV field: quoted when it holds a separator, a quote or a line end.
std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

// ------------------------------------------------------------------ run state

struct Run {
    i16 error = 0;
    i16 fill = 0;
    u32 lastPeriod = 0;
    u8 lastTrigger = 1;
    u32 ring = 0;       // offset of the group's part of the row buffer
    u32 ringBytes = 0;  // its share
    u32 wpos = 0, rpos = 0, used = 0, count = 0;
    u32 capacity = 0;
    char path[kLogPathBuffer] = {};
    u32 namePos = 0;  // where the file name starts in path
    char previous[kLogPathBuffer] = {};
    bool newFile = false;
};

struct State {
    bool taken = false;
    bool startedOnce = false;
    LogTable table;
    Run runs[kLogMaxGroups];
    u8 prevEnable = 0;
    bool force = false;
    u16 clock[7] = {};  // SR44-SR50 of the current sample
    u16 status = 0;
    u32 dropped = 0;
    // Writer.
    int state = 16;
    u32 group = 0;
    FxFile file{};
    u8 row[kLogRowBuffer] = {};
    char dir[kLogPathBuffer] = {};
    char line[kLogLineBuffer] = {};
    u32 lineLen = 0;
    u32 item = 0;  // next item to format
    u32 written = 0;
};

// Static, so that a request still in the media manager never points into
// freed memory after a reset.
State g_state;
State& S() { return g_state; }
alignas(8) u8 g_rows[kLogRowBuffer];

// ------------------------------------------------------------------ sampling

u32 WeekSeconds(const u16* c) {
    u32 dow = c[6] >= 1 && c[6] <= 7 ? c[6] : 1;
    return 86400u * (dow - 1) + 3600u * c[2] + 60u * c[1] + c[0];
}

void AppendRow(u32 gi) {
    State& s = S();
    const LogGroup& grp = s.table.groups[gi];
    Run& r = s.runs[gi];
    if (r.count >= r.capacity) {
        ++s.dropped;
        return;
    }
    u8* p = g_rows + r.ring + r.wpos;
    PutLe16(p, s.clock[3]);
    PutLe16(p + 2, s.clock[4]);
    PutLe16(p + 4, s.clock[5]);
    PutLe16(p + 6, s.clock[0]);
    PutLe16(p + 8, s.clock[1]);
    PutLe16(p + 10, s.clock[2]);
    u32 at = 12;
    for (const LogItem& it : grp.items) {
        u32 bytes = LOG_RawBytes(it.type);
        std::memset(p + at, 0, bytes);
        if (it.type == 0)
            PlcReg_Get(p + at, it.reg, 1);
        else
            PlcReg_Get(p + at, it.reg, bytes * 8);
        at += bytes;
    }
    r.wpos += grp.rowBytes;
    if (r.wpos >= r.capacity * grp.rowBytes) r.wpos = 0;
    r.used += grp.rowBytes;
    ++r.count;
}

void Sample() {
    State& s = S();
    u8 enable = 0;
    if (s.table.enableReg) PlcReg_Get(&enable, s.table.enableReg, 1);
    u8 was = s.prevEnable;
    s.prevEnable = enable;
    if (!enable) return;
    if (!was) s.force = true;
    for (int i = 0; i < 7; ++i) s.clock[i] = SR_Get(44 + i);
    u32 now = WeekSeconds(s.clock);
    for (u32 gi = 0; gi < s.table.groups.size(); ++gi) {
        const LogGroup& grp = s.table.groups[gi];
        Run& r = s.runs[gi];
        bool due = false, edge = false;
        if (grp.period) {
            i64 elapsed = static_cast<i64>(now) - static_cast<i64>(r.lastPeriod);
            if (elapsed < 0) elapsed += kWeekSeconds;
            u64 period = static_cast<u64>(grp.period) * (grp.minutes ? 60 : 1);
            due = static_cast<u64>(elapsed) >= period;
            if (due || s.force) r.lastPeriod = now;
        }
        if (grp.trigger) {
            u8 bit = 0;
            PlcReg_Get(&bit, grp.trigger, 1);
            edge = bit && !r.lastTrigger;
            r.lastTrigger = bit;
        }
        bool log = grp.period ? (due || s.force || edge) : edge;
        if (log) AppendRow(gi);
    }
    s.force = false;
}

// ------------------------------------------------------------------ formatting

const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* MonthName(u32 m) { return m >= 1 && m <= 12 ? kMonths[m - 1] : "---"; }

void Add(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Add(const char* fmt, ...) {
    State& s = S();
    if (s.lineLen >= kLogLineBuffer - 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(s.line + s.lineLen, kLogLineBuffer - s.lineLen, fmt, ap);
    va_end(ap);
    if (n > 0) s.lineLen = std::min<u32>(s.lineLen + static_cast<u32>(n), kLogLineBuffer - 1);
}

void AddDate(u8 code, u32 d, u32 m, u32 y) {
    switch (code) {
        case 0: Add("%02u/%02u", m, d); break;
        case 1: Add("%02u/%02u/%02u", m, d, y % 100); break;
        case 2: Add("%02u/%02u/%04u", m, d, y); break;
        case 3: Add("%02u-%s", d, MonthName(m)); break;
        case 4: Add("%02u-%s-%02u", d, MonthName(m), y % 100); break;
        case 5: Add("%02u-%s-%04u", d, MonthName(m), y); break;
        case 6: Add("%02u-%02u", d, m); break;
        case 7: Add("%02u-%02u-%02u", d, m, y % 100); break;
        case 8: Add("%02u-%02u-%04u", d, m, y); break;
        case 9: Add("%02u-%02u", m, d); break;
        case 10: Add("%02u-%02u-%02u", y % 100, m, d); break;
        case 11: Add("%04u-%02u-%02u", y, m, d); break;
        default: break;
    }
}

void AddTime(u8 code, u32 sec, u32 min, u32 hour) {
    u32 h12 = hour == 0 ? 12 : (hour >= 13 && hour <= 23 ? hour - 12 : hour);
    const char* ampm = hour < 12 ? "AM" : "PM";
    switch (code) {
        case 0: Add("%02u:%02u", hour, min); break;
        case 1: Add("%02u:%02u:%02u", hour, min, sec); break;
        case 2: Add("%02u:%02u %s", h12, min, ampm); break;
        case 3: Add("%02u:%02u:%02u %s", h12, min, sec, ampm); break;
        default: break;
    }
}

void AddValue(u8 type, const u8* p) {
    switch (type) {
        case 0: Add("%d", p[0] ? 1 : 0); break;
        case 1: {
            u16 v = GetLe16(p);
            char bits[18];
            for (int i = 0; i < 16; ++i) bits[i] = (v >> (15 - i)) & 1 ? '1' : '0';
            bits[16] = 'B';
            bits[17] = '\0';
            Add("%s", bits);
            break;
        }
        case 2: Add("%d", static_cast<i16>(GetLe16(p))); break;
        case 3: Add("%ld", static_cast<long>(static_cast<i32>(GetLe32(p)))); break;
        case 4: Add("%u", GetLe16(p)); break;
        case 5: Add("%lu", static_cast<unsigned long>(GetLe32(p))); break;
        case 6: Add("%04XH", GetLe16(p)); break;
        case 7: {
            const char* t = reinterpret_cast<const char*>(p);
            Add("%s", CsvField(std::string(t, strnlen(t, 16))).c_str());
            break;
        }
        case 8: {
            u32 bits = GetLe32(p);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            Add("%g", static_cast<double>(f));
            break;
        }
        case 9: {
            u32 v = GetLe32(p);
            Add("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
            break;
        }
        default: break;
    }
}

// Formats the current row from item `s.item` on; false when it paused
// after a floating-point value (it goes on at the next call).
bool FormatRow() {
    State& s = S();
    const LogGroup& grp = s.table.groups[s.group];
    if (s.item == 0) {
        s.lineLen = 0;
        s.line[0] = '\0';
        AddDate(grp.dateFormat, GetLe16(s.row), GetLe16(s.row + 2), GetLe16(s.row + 4));
        Add(",");
        AddTime(grp.timeFormat, GetLe16(s.row + 6), GetLe16(s.row + 8), GetLe16(s.row + 10));
    }
    u32 at = 12;
    for (u32 i = 0; i < s.item; ++i) at += LOG_RawBytes(grp.items[i].type);
    while (s.item < grp.items.size()) {
        const LogItem& it = grp.items[s.item];
        Add(",");
        AddValue(it.type, s.row + at);
        at += LOG_RawBytes(it.type);
        ++s.item;
        if (it.type == 8 && s.item < grp.items.size()) return false;
    }
    Add("\r\n");
    s.item = 0;
    return true;
}

void HeaderLine() {
    State& s = S();
    const LogGroup& grp = s.table.groups[s.group];
    s.lineLen = 0;
    s.line[0] = '\0';
    Add("Date,Time");
    for (const LogItem& it : grp.items) Add(",%s", CsvField(it.name).c_str());
    Add("\r\n");
}

// The group's file name from the current row's date and time.
void BuildName() {
    State& s = S();
    const LogGroup& grp = s.table.groups[s.group];
    Run& r = s.runs[s.group];
    u32 d = GetLe16(s.row), m = GetLe16(s.row + 2), y = GetLe16(s.row + 4), h = GetLe16(s.row + 10);
    char name[16];
    if (grp.minutes)
        std::snprintf(name, sizeof name, "%02u%02u%02u.CSV", (y % 100) % 100, m % 100, d % 100);
    else
        std::snprintf(name, sizeof name, "%02u%02u%02u.CSV", m % 100, d % 100, h % 100);
    std::snprintf(r.path + r.namePos, sizeof r.path - r.namePos, "\\%s", name);
    // The finished file loses the mark of the file being written.
    if (r.previous[0] && std::strcmp(r.previous, r.path) != 0) {
        u32 attr = 0;
        FxMedia* media = Fx_MediaOf(0);
        if (_fxe_file_attributes_read(media, r.previous, &attr) == kFxSuccess && (attr & kFxSystem))
            _fxe_file_attributes_set(media, r.previous, attr & ~kFxSystem);
    }
    std::memcpy(r.previous, r.path, sizeof r.previous);
}

// ------------------------------------------------------------------ writer

void NextGroup() {
    State& s = S();
    u32 n = static_cast<u32>(s.table.groups.size());
    s.group = n ? (s.group + 1) % n : 0;
}

void DiscardRows(u32 gi) {
    Run& r = S().runs[gi];
    r.wpos = r.rpos = r.used = r.count = 0;
}

// A result other than the ones a state expects.
void Fail(i32 code) {
    State& s = S();
    if (code >= 1 && code <= 7) {
        s.status = static_cast<u16>(code);
        if (code <= 5) s.state = 0;
        return;
    }
    if (s.group < s.table.groups.size()) {
        s.runs[s.group].error = static_cast<i16>(code);
        DiscardRows(s.group);
    }
    s.item = 0;
    s.state = 16;
}

// Posts. The mailbox is the logger's own: busy only while an earlier
// request of ours (from before a table change) is still in flight, so the
// step is simply tried again at the next call.
bool Posted(i32 r) {
    if (r == kPending) return true;
    if (r != kBusy) Fail(r);
    return false;
}

// One step; false when the writer waits (nothing more this call).
bool Step() {
    State& s = S();
    const u32 n = static_cast<u32>(s.table.groups.size());
    switch (s.state) {
        case 0: {
            i32 st = CFDL_GetStatus();
            s.status = static_cast<u16>(st);
            if (st != 0) return false;
            s.state = 16;
            return true;
        }
        case 1: {
            i32 card = CFDL_GetStatus();
            if (card != 0) {
                Fail(card);
                return false;
            }
            s.status = 0;
            for (u32 k = 0; k < n; ++k) {
                u32 gi = (s.group + k) % n;
                Run& r = s.runs[gi];
                if (!r.count) continue;
                s.group = gi;
                std::memcpy(s.row, g_rows + r.ring + r.rpos, s.table.groups[gi].rowBytes);
                s.item = 0;
                s.state = 2;
                return true;
            }
            return false;
        }
        case 2: {
            Run& r = s.runs[s.group];
            std::memcpy(s.dir, r.path, r.namePos);
            s.dir[r.namePos] = '\0';
            if (Posted(CFDL_MakeDir(0, s.dir))) s.state = 3;
            return false;
        }
        case 3: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res == 0 || res == kCfExists)
                s.state = s.runs[s.group].newFile ? 6 : 4;
            else
                Fail(res);
            return true;
        }
        case 4:
            BuildName();
            if (Posted(CFDL_Open(&s.file, s.runs[s.group].path, kLogOpenAppend))) s.state = 5;
            return false;
        case 5: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res == 0)
                s.state = 10;
            else if (res == kCfNotFound)
                s.state = 6;
            else
                Fail(res);
            return true;
        }
        case 6:
            BuildName();
            if (Posted(CFDL_Open(&s.file, s.runs[s.group].path, kLogOpenCreate))) s.state = 7;
            return false;
        case 7: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res == 0)
                s.state = 8;
            else
                Fail(res);
            return true;
        }
        case 8:
            HeaderLine();
            if (Posted(CFDL_Write(&s.file, s.line, s.lineLen, &s.written))) s.state = 9;
            return false;
        case 9: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res == 0)
                s.state = 10;
            else
                Fail(res);
            return true;
        }
        case 10:
        case 11:
            s.state = FormatRow() ? 12 : 11;
            return s.state == 12;
        case 12:
            if (Posted(CFDL_Write(&s.file, s.line, s.lineLen, &s.written))) s.state = 13;
            return false;
        case 13: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res == 0) {
                s.runs[s.group].error = 0;
                s.state = 14;
            } else {
                Fail(res);
            }
            return true;
        }
        case 14:
            if (Posted(CFDL_Close(&s.file))) s.state = 15;
            return false;
        case 15: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            if (res != 0) {
                Fail(res);
                return true;
            }
            Run& r = s.runs[s.group];
            const LogGroup& grp = s.table.groups[s.group];
            if (r.count) {
                r.rpos += grp.rowBytes;
                if (r.rpos >= r.capacity * grp.rowBytes) r.rpos = 0;
                --r.count;
                r.used -= grp.rowBytes;
            }
            r.newFile = false;
            NextGroup();
            s.state = 1;
            return true;
        }
        case 16:
            if (s.file.open) {
                i32 r = CFDL_Close(&s.file);
                if (r == kPending) s.state = 17;
                return false;
            }
            NextGroup();
            s.state = 1;
            return true;
        case 17: {
            i32 res = CFDL_Result();
            if (res == kPending) return false;
            // A close that failed leaves nothing to retry: the handle is
            // given up.
            if (s.file.open && res != 0) s.file = FxFile{};
            NextGroup();
            s.state = 1;
            return true;
        }
        default:
            s.state = 16;
            return true;
    }
}

void Publish() {
    State& s = S();
    if (s.table.statusReg) {
        u16 w[2] = {s.status, LogMb_PercentUsed()};
        PlcReg_Set(s.table.statusReg, w, 32);
    }
    for (u32 gi = 0; gi < s.table.groups.size(); ++gi) {
        Run& r = s.runs[gi];
        r.fill = static_cast<i16>(r.capacity ? r.count * 100 / r.capacity : 0);
        u32 reg = s.table.groups[gi].statusReg;
        if (!reg) continue;
        u16 w[2] = {static_cast<u16>(r.error), static_cast<u16>(r.fill)};
        PlcReg_Set(reg, w, 32);
    }
}

void PublishRefused(const u8* data, u32 size) {
    if (size < 20) return;
    u32 reg = GetLe32(data + 16);
    if (!reg) return;
    u16 w[2] = {static_cast<u16>(kLogTableRefused), LogMb_PercentUsed()};
    PlcReg_Set(reg, w, 32);
}

}  // namespace

// ------------------------------------------------------------------ interface

u32 LOG_RawBytes(u32 type) {
    static const u8 kRaw[10] = {1, 2, 2, 4, 2, 4, 2, 16, 4, 4};
    return type < 10 ? kRaw[type] : 0;
}

int LOG_ParseTable(const u8* data, u32 size, LogTable* out) {
    *out = LogTable{};
    if (!data || size < kLogTableMin || std::memcmp(data + 4, "DLOG", 4) != 0) return -1;
    Reader t{data, size};
    u32 length = t.U32(0);
    if (length < kLogTableMin) return -1;
    if (length > size) return kLogTableRefused;
    t.n = length;
    out->enableReg = t.U32(12);
    out->statusReg = t.U32(16);
    u32 groups = t.U16(22);
    if (groups > kLogMaxGroups) return kLogTableRefused;
    // Group records back to back, then the string area.
    std::vector<u32> at(groups);
    u32 off = 24;
    for (u32 g = 0; g < groups; ++g) {
        if (off > t.n || t.n - off < 44) return kLogTableRefused;
        u32 items = t.U32(off + 40);
        if (items > (t.n - off - 44) / 16) return kLogTableRefused;
        at[g] = off;
        off += 44 + 16 * items;
    }
    const u8* area = data + off;
    u32 areaBytes = t.n - off;
    u64 rowSum = 0;
    for (u32 g = 0; g < groups; ++g) {
        u32 o = at[g];
        LogGroup grp;
        std::string sub, folder;
        if (!AreaText(area, areaBytes, t.U16(o), t.U32(o + 4) & 0xFFFF, &sub)) return kLogTableRefused;
        if (!AreaText(area, areaBytes, t.U16(o + 24), t.U16(o + 28), &folder)) return kLogTableRefused;
        grp.trigger = t.U32(o + 8);
        grp.statusReg = t.U32(o + 12);
        grp.period = t.U32(o + 16);
        grp.minutes = t.U32(o + 20) != 0;
        grp.dateFormat = data[o + 32];
        grp.timeFormat = data[o + 36];
        grp.folder = folder;
        if (grp.folder.empty() || (grp.folder.back() != '\\' && grp.folder.back() != '/')) grp.folder += '\\';
        grp.folder += sub;
        // The path, '\', the 10-character file name and its NUL.
        if (grp.folder.size() + 1 + 10 + 1 > kLogPathBuffer) return kLogTableRefused;
        u32 items = t.U32(o + 40);
        u32 rowBytes = 12;
        u32 rowText = kDateMax + 1 + kTimeMax + 2;
        u32 headText = 9 + 2;
        for (u32 i = 0; i < items; ++i) {
            u32 io = o + 44 + 16 * i;
            LogItem it;
            it.reg = t.U32(io);
            u32 type = t.U32(io + 4);
            if (type > 9) return kLogTableRefused;
            it.type = static_cast<u8>(type);
            u32 nameLen = std::min<u32>(t.U32(io + 12), 16);
            if (!AreaText(area, areaBytes, t.U32(io + 8), nameLen, &it.name)) return kLogTableRefused;
            rowBytes += LOG_RawBytes(type);
            rowText += 1 + ValueTextMax(type);
            headText += 1 + static_cast<u32>(CsvField(it.name).size());
            grp.items.push_back(std::move(it));
        }
        // Both lines and their NUL must fit the line buffer.
        if (rowText + 1 > kLogLineBuffer || headText + 1 > kLogLineBuffer) return kLogTableRefused;
        grp.rowBytes = rowBytes;
        rowSum += rowBytes;
        out->groups.push_back(std::move(grp));
    }
    // Every group's share of the row buffer must hold at least one row.
    for (const LogGroup& grp : out->groups)
        if (kLogRowBuffer * static_cast<u64>(grp.rowBytes) / rowSum < grp.rowBytes) return kLogTableRefused;
    return 0;
}

void LOG_Start() {
    State& s = S();
    const u32 size = std::min(datalog_table.Size(), datalog_table.capacity);
    const u8* data = datalog_table.Data();
    const u16 crc = crc16(data, size);
    const u32 keptSize = SR_GetDword(145);
    const bool changed = crc != SR_Get(148) || size != keptSize;
    if (s.startedOnce && !changed) return;
    s.startedOnce = true;
    SR_PutDword(145, size);
    SR_Put(148, crc);
    // A file left open by the previous table is closed by the writer first.
    s.table = LogTable{};
    s.taken = false;
    for (Run& r : s.runs) r = Run{};
    LogTable table;
    int res = LOG_ParseTable(data, size, &table);
    if (res != 0) {
        if (res > 0) PublishRefused(data, size);
        return;
    }
    s.table = std::move(table);
    s.taken = true;
    s.prevEnable = 0;
    s.status = 0;
    s.force = true;
    s.dropped = 0;
    u64 rowSum = 0;
    for (const LogGroup& grp : s.table.groups) rowSum += grp.rowBytes;
    u32 ring = 0;
    for (u32 gi = 0; gi < s.table.groups.size(); ++gi) {
        const LogGroup& grp = s.table.groups[gi];
        Run& r = s.runs[gi];
        r.lastTrigger = 1;
        r.ring = ring;
        r.ringBytes = static_cast<u32>(kLogRowBuffer * static_cast<u64>(grp.rowBytes) / rowSum);
        r.capacity = r.ringBytes / grp.rowBytes;
        ring += r.ringBytes;
        r.newFile = changed;
        std::snprintf(r.path, sizeof r.path, "%s", grp.folder.c_str());
        r.namePos = static_cast<u32>(grp.folder.size());
    }
    s.state = 16;
    s.group = 0;
    s.item = 0;
}

void LOG_Stop() {}

void LOG_Update() {
    State& s = S();
    if (!s.taken) return;
    Sample();
    for (u32 i = 0; i < kStepsPerCall; ++i)
        if (!Step()) break;
    Publish();
}

void LOG_Reset() {
    g_state.~State();
    new (&g_state) State();
    std::memset(g_rows, 0, sizeof g_rows);
}

int LOG_WriterState() { return S().state; }
u32 LOG_GroupRows(u32 group) { return group < kLogMaxGroups ? S().runs[group].count : 0; }
u32 LOG_GroupCapacity(u32 group) { return group < kLogMaxGroups ? S().runs[group].capacity : 0; }
u32 LOG_GroupRingBytes(u32 group) { return group < kLogMaxGroups ? S().runs[group].ringBytes : 0; }
u32 LOG_DroppedRows() { return S().dropped; }
