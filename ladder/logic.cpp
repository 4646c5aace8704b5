#include "ladder/logic.h"

#include "ladder/ladder_engine.h"

static_assert(kLogicEnd == kLadderEnd, "the scan and the interpreter agree on the end result");

i32 LogicUpdate(const u8* code) { return Ladder_Scan(code); }
