// Program-controlled serial port instructions: random instruction words of
// both token widths are sized as the program checker sizes them and then
// executed on a port without a device. Execution never advances past the
// size the checker gave, and no operand reaches outside register memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/plc_regs.h"
#include "link/modem.h"
#include "link/talk.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_talk_fuzz_");
    if (size < 3) return 0;
    static const u16 kOps[] = {132, 133, 134, 135, 136, 137, 394, 531};
    const u16 op = kOps[data[0] % 8];
    const bool tok16 = data[1] & 1;
    const u8 power = (data[1] >> 1) & 1;
    if (data[1] & 4) S_Put(1, true);
    else S_Put(1, false);
    std::vector<u16> code(1 + (size - 2) / 2 + 16, 0);
    code[0] = op;
    for (size_t i = 0; 2 + 2 * i + 1 < size; ++i) code[1 + i] = GetLe16(data + 2 + 2 * i);
    const u32 avail = static_cast<u32>(code.size() - 16);
    const LadderRoutineRow* row = Talk_FindRow(op);
    if (row == nullptr) std::abort();
    const u32 words = row->words(code.data() + 1, avail - 1, tok16);
    if (words > avail - 1) std::abort();
    if (words == 0) return 0;
    Talk_Reset();
    Modem_Reset();
    // Registers the operands may name hold random values too.
    for (size_t i = 0; i + 1 < size && i < 64; ++i) plc_reg[0xF80 + i] = data[i];
    u32 ip = 1;
    u8 r = row->run(code.data(), ip, power, tok16);
    if (ip > 1 + words && !(op == 136 && r == 255)) std::abort();
    // A started modem function keeps pointers into this input's code.
    Talk_Reset();
    Modem_Reset();
    return 0;
}
