// Bytes and frame ends from a serial Modbus peer: any stream reaches the RTU
// or ASCII receive machine of a slave (one-byte or two-byte station, with a
// store-and-forward table and a write-inhibit bit) or of a master waiting
// for its response, with the request processing behind it. Nothing may be
// read or written outside its buffer, every answer must fit its frame, and
// the step must go on.
//
// The first byte picks the station: bit 0 ASCII framing, bit 1 master,
// bit 2 two-byte station address, bits 3-7 the master's function. In the
// rest, 0xFD 0x00 is the driver's frame-end event and 0xFD followed by
// anything else that byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "link/modapi.h"
#include "link/modbus.h"
#include "link/vcomm.h"
#include "testsupport/fuzz_env.h"

namespace {

struct Line {
    const uint8_t* data = nullptr;
    size_t size = 0, at = 0;
    size_t sent = 0;
    std::vector<u8> pending;
    u8 mode[kVcommModeBytes] = {5, 0, 3, 0, 0, kProtoRtu};
};
Line line;

// 0 nothing, 1 a byte, 255 a frame end; *byte the byte.
int Next(u8* byte, bool take) {
    if (line.at >= line.size) return 0;
    u8 b = line.data[line.at];
    size_t used = 1;
    int kind = 1;
    if (b == 0xFD && line.at + 1 < line.size) {
        used = 2;
        b = line.data[line.at + 1];
        if (b == 0) kind = 255;
    }
    if (take) line.at += used;
    *byte = b;
    return kind;
}

VcommDriver Driver() {
    VcommDriver d{};
    d.mode = line.mode;
    d.CheckRx = [](u32) {
        u8 b;
        int k = Next(&b, false);
        if (k == 255) Next(&b, true);
        return k;
    };
    d.GetRx = [](u32) {
        u8 b = 0;
        Next(&b, true);
        return static_cast<int>(b);
    };
    d.StatusRx = [](u32, int) { return 0; };
    d.FlushRx = [](u32) {};
    d.FlushTx = [](u32) { line.pending.clear(); };
    d.PutTx = [](u32, u8 b) {
        line.pending.push_back(b);
        return static_cast<int>(b);
    };
    d.RtuTx = [](u32) {
        // The longest frame: 259 bytes as ASCII hex with colon, LRC, CR, LF.
        if (line.pending.size() > 2 * 259 + 5) std::abort();
        line.sent++;
        line.pending.clear();
    };
    d.CountTx = [](u32) { return 0; };
    return d;
}

constexpr u32 kControl = kRegR + 2000, kStatus = kRegR + 2002, kData = kRegR + 2010, kTable = kRegR + 2040;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = false;
    if (!once) {
        FuzzEnv_Init("serial_modbus_fuzz");
        once = true;
    }
    if (size < 1) return 0;
    const u8 pick = data[0];
    std::memset(plc_reg, 0, kPlcRegBytes);
    line = Line{};
    line.data = data + 1;
    line.size = size - 1;
    line.mode[kSomProto] = (pick & 1) ? 4 : kProtoRtu;
    const VcommDriver saved = Vcomm_Drv[0];
    Vcomm_Drv[0] = Driver();
    MOD_Reset();

    const bool master = pick & 2;
    TalkModbusConfig c;
    c.address = master ? 0 : (pick & 4) ? 0x1207 : 7;
    c.timeout = 5;
    c.control = &plc_reg[kControl];
    c.status = &plc_reg[kStatus];
    c.data = &plc_reg[kData];
    c.forwardPairs = 4;
    c.forwardTable = &plc_reg[kTable];
    c.writeInhibit = 0x400 + 8 * (kRegR + 2100);
    PutLe16(&plc_reg[kTable], 0x0709);
    PutLe16(&plc_reg[kTable + 2], 0x0A0B);
    if (master) {
        // A request of the picked function into %R1 or %Q, triggered.
        static const u16 functions[] = {1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 65, 3};
        const u16 f = functions[(pick >> 3) % 12];
        const bool bits = f == 1 || f == 2 || f == 5 || f == 7 || f == 15;
        const u16 count = f == 7 ? 8 : f == 8 ? 1 : static_cast<u16>(1 + (pick >> 3));
        const u16 record[6] = {5, f, 0, count, static_cast<u16>(bits ? kLocQ : kLocR), 0};
        for (int i = 0; i < 6; ++i) PutLe16(&plc_reg[kData + 2 * i], record[i]);
        PutLe16(&plc_reg[kControl], 1);
    }
    ModbusInit(0, c);
    for (int step = 0; step < 64 && line.at < line.size; ++step) {
        ModbusExecute(0);
        if (master && step % 8 == 7) {
            // Drop and raise the trigger again: a new request.
            PutLe16(&plc_reg[kControl], 0);
            ModbusExecute(0);
            PutLe16(&plc_reg[kControl], 1);
        }
    }
    ModbusExecute(0);
    const ModEngine& e = MOD_Pcb(0).e;
    if (e.index >= kModFrameBytes || e.length > kModFrameBytes) std::abort();
    Vcomm_Drv[0] = saved;
    return 0;
}
