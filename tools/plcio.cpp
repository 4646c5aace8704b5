// plcio: the plug-in I/O modules of the simulated board, beside a running
// controller: plug modules into the two slots, drive inputs, read outputs,
// make a module stop answering.
//
//   plcio [--root DIR] COMMAND [ARGS]
//
// The root is --root DIR, else $PLC_ROOT, else "plcroot" in the working
// directory. Output is plain "name=value" text; the exit status is 0 on
// success, 1 when the action failed, 2 for a usage error. Modules are found
// by the controller when it starts; plug them in before.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/board.h"
#include "platform/iomodules.h"
#include "platform/root.h"
#include "tools/tool_args.h"

namespace {

const char kUsage[] =
    "usage: plcio [--root DIR] COMMAND [ARGS]\n"
    "  show                        the modules of both slots with their points\n"
    "  plug SLOT IDENT             plug the module of that ident (e.g. 0xA00F) into slot 0 or 1\n"
    "  unplug SLOT                 empty the slot\n"
    "  input SLOT POINT 0|1        drive an input point off or on\n"
    "  inputs SLOT                 the input points, first to last\n"
    "  output SLOT POINT           one output point: 1 on, 0 off\n"
    "  outputs SLOT                the output points, first to last\n"
    "  noack SLOT 0|1              the module stops (1) or resumes (0) answering\n"
    "  busy SLOT COUNT             the module refuses its next COUNT addressings\n"
    "  analog SLOT CHANNEL VALUE   raw reading of an analog input channel (0-7; the row-4\n"
    "                              converter's channels take signed readings as 16-bit words)\n"
    "  aout SLOT CHANNEL           last code written to an analog output channel\n"
    "  temp SLOT SIXTEENTHS        the module's temperature in 1/16 degree\n"
    "  mem SLOT ADDRESS [VALUE]    a byte of the slot-1 module memory\n"
    "  chain N [INPUT]             word latched by shift chain N, or set its input\n"
    "  meter SLOT REG [VALUE]      a register of the power meter's metering device (0-199)\n"
    "  logic REG [VALUE]           a register of the board's I/O logic (0-511)\n"
    "  calbyte SLOT ADDRESS        a byte of the module's calibration EEPROM (0-127)\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool ParseI32(const char* s, i32* out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    long long v = std::strtoll(s, &end, 0);
    if (*end != '\0' || v < -2147483648LL || v > 2147483647LL) return false;
    *out = static_cast<i32>(v);
    return true;
}

bool ParseSlot(const char* s, int* slot) {
    u32 v;
    if (!ParseU32(s, &v) || v >= static_cast<u32>(kIoModuleSlots)) return false;
    *slot = static_cast<int>(v);
    return true;
}

void PrintPoints(const char* label, int slot, int count, int (*get)(int, int)) {
    std::printf("%s%d=", label, slot);
    for (int p = 1; p <= count; ++p) {
        int v = get(slot, p);
        std::putchar(v < 0 ? '-' : static_cast<char>('0' + v));
    }
    std::putchar('\n');
}

void Show() {
    std::printf("root=%s\n", Root_Dir().c_str());
    for (int s = 0; s < kIoModuleSlots; ++s) {
        u16 id = IoModules_Ident(s);
        if (id == 0xFF) {
            std::printf("slot%d=empty\n", s);
            continue;
        }
        std::printf("slot%d=0x%04X noack=%d refused=%u\n", s, id, IoModules_NoAck(s) ? 1 : 0, IoModules_Refused(s));
        PrintPoints("inputs", s, IoModules_InputCount(s), IoModules_Input);
        PrintPoints("outputs", s, IoModules_OutputCount(s), IoModules_Output);
    }
    for (int c = 0; c < 3; ++c) std::printf("chain%d=0x%04X\n", c, IoModules_ChainOutput(c));
}

}  // namespace

int main(int argc, char** argv) {
    int i = TakeRootOption(argc, argv);
    if (i >= argc) return Usage();
    if (!Root_Init() || !Board_Open()) {
        std::fprintf(stderr, "plcio: cannot open the board under %s\n", Root_Dir().c_str());
        return 1;
    }
    const char* cmd = argv[i];
    int n = argc - i - 1;  // arguments after the command
    const char* a1 = n >= 1 ? argv[i + 1] : nullptr;
    const char* a2 = n >= 2 ? argv[i + 2] : nullptr;
    const char* a3 = n >= 3 ? argv[i + 3] : nullptr;
    int slot = 0;
    u32 v = 0, w = 0;

    if (std::strcmp(cmd, "show") == 0 && n == 0) {
        Show();
        return 0;
    }
    if (std::strcmp(cmd, "plug") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v > 0xFFFF) return Usage();
        if (!IoModules_Plug(slot, static_cast<u16>(v))) {
            std::fprintf(stderr, "plcio: a module 0x%04X cannot sit in slot %d\n", v, slot);
            return 1;
        }
        std::printf("slot%d=0x%04X\n", slot, v);
        return 0;
    }
    if (std::strcmp(cmd, "unplug") == 0 && n == 1) {
        if (!ParseSlot(a1, &slot)) return Usage();
        IoModules_Unplug(slot);
        std::printf("slot%d=empty\n", slot);
        return 0;
    }
    if (std::strcmp(cmd, "input") == 0 && n == 3) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || !ParseU32(a3, &w) || w > 1 || v > 4096) return Usage();
        if (!IoModules_SetInput(slot, static_cast<int>(v), w != 0)) {
            std::fprintf(stderr, "plcio: slot %d has no input %u\n", slot, v);
            return 1;
        }
        std::printf("input%d.%u=%u\n", slot, v, w);
        return 0;
    }
    if ((std::strcmp(cmd, "inputs") == 0 || std::strcmp(cmd, "outputs") == 0) && n == 1) {
        if (!ParseSlot(a1, &slot)) return Usage();
        if (IoModules_Ident(slot) == 0xFF) {
            std::fprintf(stderr, "plcio: slot %d is empty\n", slot);
            return 1;
        }
        if (cmd[0] == 'i') PrintPoints("inputs", slot, IoModules_InputCount(slot), IoModules_Input);
        else PrintPoints("outputs", slot, IoModules_OutputCount(slot), IoModules_Output);
        return 0;
    }
    if (std::strcmp(cmd, "output") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v > 4096) return Usage();
        int o = IoModules_Output(slot, static_cast<int>(v));
        if (o < 0) {
            std::fprintf(stderr, "plcio: slot %d has no output %u\n", slot, v);
            return 1;
        }
        std::printf("output%d.%u=%d\n", slot, v, o);
        return 0;
    }
    if (std::strcmp(cmd, "noack") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v > 1) return Usage();
        IoModules_SetNoAck(slot, v != 0);
        std::printf("noack%d=%u\n", slot, v);
        return 0;
    }
    if (std::strcmp(cmd, "busy") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v)) return Usage();
        IoModules_SetBusy(slot, v);
        std::printf("busy%d=%u\n", slot, v);
        return 0;
    }
    if (std::strcmp(cmd, "analog") == 0 && n == 3) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || !ParseU32(a3, &w) || w > 0xFFFF) return Usage();
        if (!IoModules_SetAnalogInput(slot, static_cast<int>(v), static_cast<u16>(w))) return Usage();
        std::printf("analog%d.%u=%u\n", slot, v, w);
        return 0;
    }
    if (std::strcmp(cmd, "aout") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v)) return Usage();
        int o = IoModules_AnalogOutput(slot, static_cast<int>(v));
        if (o < 0) return Usage();
        std::printf("aout%d.%u=%d\n", slot, v, o);
        return 0;
    }
    if (std::strcmp(cmd, "temp") == 0 && n == 2) {
        i32 t;
        if (!ParseSlot(a1, &slot) || !ParseI32(a2, &t) || t < -32768 || t > 32767) return Usage();
        IoModules_SetTemperature(slot, static_cast<i16>(t));
        std::printf("temp%d=%d\n", slot, t);
        return 0;
    }
    if (std::strcmp(cmd, "mem") == 0 && (n == 2 || n == 3)) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v >= kIoModuleMemoryBytes) return Usage();
        if (n == 3) {
            if (!ParseU32(a3, &w) || w > 0xFF) return Usage();
            IoModules_SetMemoryByte(slot, v, static_cast<u8>(w));
        }
        std::printf("mem%d.%u=0x%02X\n", slot, v, IoModules_MemoryByte(slot, v));
        return 0;
    }
    if (std::strcmp(cmd, "meter") == 0 && (n == 2 || n == 3)) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v > 199) return Usage();
        if (n == 3) {
            if (!ParseU32(a3, &w) || w > 0xFFFFFF) return Usage();
            IoModules_SetMeterRegister(slot, static_cast<u8>(v), w);
        }
        std::printf("meter%d.0x%02X=0x%06X\n", slot, v, IoModules_MeterRegister(slot, static_cast<u8>(v)));
        return 0;
    }
    if (std::strcmp(cmd, "logic") == 0 && (n == 1 || n == 2)) {
        if (!ParseU32(a1, &v) || v > 511) return Usage();
        if (n == 2) {
            if (!ParseU32(a2, &w)) return Usage();
            IoModules_SetLogicRegister(static_cast<u16>(v), w);
        }
        std::printf("logic.0x%03X=0x%08X\n", v, IoModules_LogicRegister(static_cast<u16>(v)));
        return 0;
    }
    if (std::strcmp(cmd, "calbyte") == 0 && n == 2) {
        if (!ParseSlot(a1, &slot) || !ParseU32(a2, &v) || v > 127) return Usage();
        std::printf("calbyte%d.%u=0x%02X\n", slot, v, IoModules_CalByte(slot, v));
        return 0;
    }
    if (std::strcmp(cmd, "chain") == 0 && (n == 1 || n == 2)) {
        if (!ParseU32(a1, &v) || v > 2) return Usage();
        if (n == 2) {
            if (!ParseU32(a2, &w) || w > 0xFFFF) return Usage();
            IoModules_SetChainInput(static_cast<int>(v), static_cast<u16>(w));
        }
        std::printf("chain%u=0x%04X\n", v, IoModules_ChainOutput(static_cast<int>(v)));
        return 0;
    }
    return Usage();
}
