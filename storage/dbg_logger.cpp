#include "storage/dbg_logger.h"

#include <cstdio>
#include <cstring>

#include "core/plc_regs.h"
#include "platform/fx_api.h"
#include "storage/cf_api.h"
#include "storage/cf_logmb.h"

namespace {

constexpr i32 kPending = -2;
constexpr u32 kStepsPerCall = 8;

u32 g_setting = 0;
char g_buffer[kDbgLogBuffer];
u32 g_length = 0;
i16 g_status = 0;
int g_state = 0;
FxFile g_file{};
char g_name[40];
u32 g_written = 0;
u32 g_posted = 0;  // bytes handed to the write in flight

u16 ControlWord() {
    u16 w = 0;
    PlcReg_Get(&w, g_setting, 16);
    return w;
}

void BuildName() {
    std::snprintf(g_name, sizeof g_name, "\\DEBUG\\dlog_%02u%02u%02u.log", SR_Get(49) % 100u, SR_Get(48) % 100u,
                  SR_Get(47) % 100u);
}

void Fail(i32 code) {
    if (code >= 1 && code <= 7) {
        g_status = static_cast<i16>(code);
        if (code <= 5) g_state = 0;
        return;
    }
    g_state = 16;
}

// Posts; the mailbox is the debug log's own, so busy means an earlier
// request of ours is still in flight: the step is tried again next call.
bool Posted(i32 r) {
    if (r == kPending) return true;
    if (r != -3) Fail(r);
    return false;
}

// One step; false when the writer waits.
bool Step() {
    switch (g_state) {
        case 0: {
            i32 st = CFDBGL_GetStatus();
            g_status = static_cast<i16>(st);
            if (st != 0) return false;
            g_state = 16;
            return true;
        }
        case 1:
            g_status = 0;
            g_state = g_length ? 2 : 16;
            return g_state == 2;
        case 2:
            if (Posted(CFDBGL_MakeDir(0, "\\DEBUG"))) g_state = 3;
            return false;
        case 3: {
            i32 r = CFDBGL_Result();
            if (r == kPending) return false;
            if (r == 0 || r == kCfExists)
                g_state = 4;
            else
                Fail(r);
            return true;
        }
        case 4:
            BuildName();
            if (Posted(CFDBGL_Open(&g_file, g_name, kLogOpenAppend))) g_state = 5;
            return false;
        case 5: {
            i32 r = CFDBGL_Result();
            if (r == kPending) return false;
            if (r == 0)
                g_state = 12;
            else if (r == kCfNotFound)
                g_state = 6;
            else
                Fail(r);
            return true;
        }
        case 6:
            BuildName();
            if (Posted(CFDBGL_Open(&g_file, g_name, kLogOpenCreate))) g_state = 7;
            return false;
        case 7: {
            i32 r = CFDBGL_Result();
            if (r == kPending) return false;
            if (r == 0)
                g_state = 12;
            else
                Fail(r);
            return true;
        }
        case 12:
            g_written = 0;
            g_posted = g_length;
            if (Posted(CFDBGL_Write(&g_file, g_buffer, g_posted, &g_written))) g_state = 13;
            return false;
        case 13: {
            i32 r = CFDBGL_Result();
            if (r == kPending) return false;
            if (r != 0) {
                Fail(r);
                return true;
            }
            // Lines appended while the write was in flight stay behind the
            // bytes written.
            u32 done = g_written < g_length ? g_written : g_length;
            std::memmove(g_buffer, g_buffer + done, g_length - done);
            g_length -= done;
            g_state = 14;
            return true;
        }
        case 14:
            if (Posted(CFDBGL_Close(&g_file))) g_state = 15;
            return false;
        case 15: {
            i32 r = CFDBGL_Result();
            if (r == kPending) return false;
            if (r == 0)
                g_state = 1;
            else
                Fail(r);
            return g_state == 1;
        }
        case 16:
            if (g_file.open) {
                if (CFDBGL_Close(&g_file) == kPending) g_state = 15;
                return false;
            }
            g_state = 1;
            return true;
        default:
            g_state = 16;
            return true;
    }
}

void Publish() {
    i16 status = g_status;
    u32 total = 0, free = 0;
    CFDBGL_GetFreeSpace(0, &total, &free);
    if (status == 0 && total != 0 && free == 0) status = -1;
    u16 w = static_cast<u16>(status);
    PlcReg_Set(g_setting + 16, &w, 16);
}

}  // namespace

void DBG_SetLogRegister(u32 controlAddress) { g_setting = controlAddress; }
u32 DBG_LogRegister() { return g_setting; }

int DBG_WriteLog(u16 categoryMask, const char* text) {
    if (!g_setting || SR_Get(5) != 2) return 3;
    if ((categoryMask & ControlWord()) == 0) return 2;
    size_t len = text ? std::strlen(text) : 0;
    if (len == 0 || len + 2 > kDbgLogBuffer - g_length) return 1;
    std::memcpy(g_buffer + g_length, text, len);
    g_buffer[g_length + len] = '\r';
    g_buffer[g_length + len + 1] = '\n';
    g_length += static_cast<u32>(len + 2);
    return 0;
}

void DLOG_Update() {
    if (!g_setting) return;
    if (ControlWord() == 0) {
        // Logging stops: the buffer goes, and an open file is closed (after
        // the request in flight, if any). The status is not published.
        g_length = 0;
        if (g_state != 0 && g_state != 1 && g_state != 15 && g_state != 16) g_state = 16;
        for (u32 i = 0; i < kStepsPerCall; ++i)
            if (!Step()) break;
        return;
    }
    if (g_length != 0 || g_state != 1) {
        for (u32 i = 0; i < kStepsPerCall; ++i)
            if (!Step()) break;
    }
    Publish();
}

u32 DLOG_Buffered() { return g_length; }
bool DLOG_FileOpen() { return g_file.open != 0; }
int DLOG_WriterState() { return g_state; }

void DLOG_Reset() {
    g_setting = 0;
    g_length = 0;
    g_status = 0;
    g_state = 0;
    g_file = FxFile{};
    g_posted = 0;
}
