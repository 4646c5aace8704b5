#include "platform/rtcdev.h"

#include <filesystem>
#include <vector>

#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/root.h"

namespace {

constexpr size_t kOffsetFileBytes = 8;  // i64, little-endian
constexpr i64 kSecondsPerDay = 86400;

struct State {
    bool open = false;
    bool missing = false;
    i64 offset = 0;
    bool offsetStored = false;  // the file holds offset
};
State g;

}  // namespace

i64 Civil_DaysFromDate(i64 y, i64 m, i64 d) {
    y -= m <= 2;
    const i64 era = (y >= 0 ? y : y - 399) / 400;
    const i64 yoe = y - era * 400;
    const i64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const i64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void Civil_DateFromDays(i64 z, i64* y, int* m, int* d) {
    z += 719468;
    const i64 era = (z >= 0 ? z : z - 146096) / 146097;
    const i64 doe = z - era * 146097;
    const i64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const i64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const i64 mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

namespace {

i64 FloorDiv(i64 a, i64 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

i64 HostSeconds() { return FloorDiv(Clock_UtcNs(), 1000000000); }

i64 LoadOffset() {
    std::vector<u8> bytes;
    g.offsetStored = false;
    if (!File_ReadAll(Root_HostPath(kRtcOffsetFile), bytes, kOffsetFileBytes) || bytes.size() != kOffsetFileBytes)
        return 0;
    g.offsetStored = true;
    return static_cast<i64>(GetLe64(bytes.data()));
}

bool StoreOffset(i64 offset) {
    const std::string path = Root_HostPath(kRtcOffsetFile);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    u8 bytes[kOffsetFileBytes];
    PutLe64(bytes, static_cast<u64>(offset));
    return File_WriteAtomic(path, bytes, sizeof bytes);
}

}  // namespace

bool RtcDev_Open() {
    if (g.missing) return false;
    if (!g.open) {
        g.offset = LoadOffset();
        g.open = true;
    }
    return true;
}

void RtcDev_Close() {
    // A missing device stays missing; everything else is read again at the
    // next open.
    bool missing = g.missing;
    g = State{};
    g.missing = missing;
}

bool RtcDev_IsOpen() { return g.open && !g.missing; }

bool RtcDev_ReadTime(RtcDevTime* out) {
    if (!out || !RtcDev_IsOpen()) return false;
    const i64 t = HostSeconds() + g.offset;
    const i64 days = FloorDiv(t, kSecondsPerDay);
    const i64 secs = t - days * kSecondsPerDay;
    i64 year;
    int month, day;
    Civil_DateFromDays(days, &year, &month, &day);
    out->second = static_cast<int>(secs % 60);
    out->minute = static_cast<int>(secs / 60 % 60);
    out->hour = static_cast<int>(secs / 3600);
    out->day = day;
    out->month = month - 1;
    out->year = static_cast<int>(year - 1900);
    return true;
}

bool RtcDev_SetTime(const RtcDevTime& in) {
    if (!RtcDev_IsOpen()) return false;
    if (in.second < 0 || in.second > 59 || in.minute < 0 || in.minute > 59 || in.hour < 0 || in.hour > 23 ||
        in.day < 1 || in.day > 31 || in.month < 0 || in.month > 11 || in.year < 1 - 1900 || in.year > 9999 - 1900)
        return false;
    const i64 t = Civil_DaysFromDate(in.year + 1900, in.month + 1, in.day) * kSecondsPerDay + in.hour * 3600 +
                  in.minute * 60 + in.second;
    const i64 offset = t - HostSeconds();
    // A clock kept in step by the time server is set every second with the
    // offset it already has: no need to write the file again.
    if (g.offsetStored && offset == g.offset) return true;
    if (!StoreOffset(offset)) return false;
    g.offset = offset;
    g.offsetStored = true;
    return true;
}

i64 RtcDev_OffsetSeconds() { return g.offset; }

void RtcDev_SetMissing(bool missing) { g.missing = missing; }
