#include "core/plc_regs.h"

alignas(8) u8 plc_reg[kPlcRegBytes];
alignas(8) u8 old_reg[kPlcRegBytes];
