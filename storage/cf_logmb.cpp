#include "storage/cf_logmb.h"

#include <cstdint>
#include <cstring>

#include "core/plc_regs.h"
#include "storage/cfmgr.h"

namespace {

constexpr i32 kPending = -2, kBusy = -3;

bool Pending(u32 mb) { return dpram[mb] != dpram[mb + 1]; }

void PutArg(u32 mb, int n, intptr_t v) { std::memcpy(dpram + mb + 8 + 8 * n, &v, sizeof v); }

i32 Post(u32 mb, u8 command, u8 argument) {
    dpram[mb + 2] = command;
    dpram[mb + 3] = argument;
    dpram[mb] = static_cast<u8>(1 - dpram[mb + 1]);
    return kPending;
}

i32 PostRecord(u32 mb, u8 command, FxFile* file, const void* data, u32 size, u32* count) {
    if (Pending(mb)) return kBusy;
    CfmFileArgs args{file, data, size, count};
    std::memcpy(dpram + mb + 8, &args, sizeof args);
    PutLe32(dpram + mb + 4, static_cast<u32>(kPending));
    return Post(mb, command, 0);
}

}  // namespace

i32 LogMb_MakeDir(u32 mb, u8 argument, const char* path) {
    if (Pending(mb)) return kBusy;
    std::memset(dpram + mb + 8, 0, 32);
    PutArg(mb, 0, reinterpret_cast<intptr_t>(path));
    PutLe32(dpram + mb + 4, static_cast<u32>(kPending));
    return Post(mb, kLogMbMakeDir, argument);
}

i32 LogMb_Open(u32 mb, FxFile* file, const char* path, u32 mode) {
    return PostRecord(mb, kLogMbOpen, file, path, mode, nullptr);
}

i32 LogMb_Write(u32 mb, FxFile* file, const void* data, u32 length, u32* countOut) {
    return PostRecord(mb, kLogMbWrite, file, data, length, countOut);
}

i32 LogMb_Close(u32 mb, FxFile* file) { return PostRecord(mb, kLogMbClose, file, nullptr, 0, nullptr); }

i32 LogMb_Result(u32 mb) {
    if (!Pending(mb)) return static_cast<i16>(GetLe32(dpram + mb + 4) & 0xFFFF);
    i32 card = LogMb_GetStatus();
    return card != 0 ? card : kPending;
}

i32 LogMb_GetStatus() { return SR_Get(175); }

i32 LogMb_GetFreeSpace(u32, u32* totalKb, u32* freeKb) {
    if (totalKb) *totalKb = SR_GetDword(178);
    if (freeKb) *freeKb = SR_GetDword(176);
    return 0;
}

u16 LogMb_PercentUsed() {
    u64 total = SR_GetDword(178), free = SR_GetDword(176);
    u64 unit = (total + 50) / 100;
    if (total == 0 || unit == 0) return 0;
    u64 used = total > free ? total - free : 0;
    return static_cast<u16>(used / unit);
}

i32 CFDL_MakeDir(u8 argument, const char* path) { return LogMb_MakeDir(kDpramLogger, argument, path); }
i32 CFDL_Open(FxFile* file, const char* path, u32 mode) { return LogMb_Open(kDpramLogger, file, path, mode); }
i32 CFDL_Write(FxFile* file, const void* data, u32 length, u32* countOut) {
    return LogMb_Write(kDpramLogger, file, data, length, countOut);
}
i32 CFDL_Close(FxFile* file) { return LogMb_Close(kDpramLogger, file); }
i32 CFDL_Result() { return LogMb_Result(kDpramLogger); }
i32 CFDL_GetStatus() { return LogMb_GetStatus(); }
i32 CFDL_GetFreeSpace(u32 ignored, u32* totalKb, u32* freeKb) {
    return LogMb_GetFreeSpace(ignored, totalKb, freeKb);
}

i32 CFDBGL_MakeDir(u8 argument, const char* path) { return LogMb_MakeDir(kDpramDbgLogger, argument, path); }
i32 CFDBGL_Open(FxFile* file, const char* path, u32 mode) { return LogMb_Open(kDpramDbgLogger, file, path, mode); }
i32 CFDBGL_Write(FxFile* file, const void* data, u32 length, u32* countOut) {
    return LogMb_Write(kDpramDbgLogger, file, data, length, countOut);
}
i32 CFDBGL_Close(FxFile* file) { return LogMb_Close(kDpramDbgLogger, file); }
i32 CFDBGL_Result() { return LogMb_Result(kDpramDbgLogger); }
i32 CFDBGL_GetStatus() { return LogMb_GetStatus(); }
i32 CFDBGL_GetFreeSpace(u32 ignored, u32* totalKb, u32* freeKb) {
    return LogMb_GetFreeSpace(ignored, totalKb, freeKb);
}
