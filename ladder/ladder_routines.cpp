#include "ladder/ladder_routines.h"

#include "ladder/flow_fun.h"
#include "ladder/ladder_engine.h"
#include "ladder/ltmrcnt.h"
#include "ladder/multi_sr.h"
#include "ladder/pid.h"
#include "ladder/schedule.h"
#include "ladder/sunpos.h"

namespace {

const std::span<const LadderRoutineRow>* const kFamilies[] = {
    &kMultiShiftRoutines, &kTimerCounterRoutines, &kPidRoutines, &kSunPosRoutines, &kScheduleRoutines, &kFlowRoutines,
};

// The spans themselves, gathered on first use (the families' spans are
// constant-initialised, so reading them here is never too early).
std::span<const std::span<const LadderRoutineRow>> Families() {
    static const std::span<const LadderRoutineRow> spans[] = {
        *kFamilies[0], *kFamilies[1], *kFamilies[2], *kFamilies[3], *kFamilies[4], *kFamilies[5],
    };
    return spans;
}

}  // namespace

std::span<const std::span<const LadderRoutineRow>> LadderRoutine_Families() { return Families(); }

const LadderRoutineRow* LadderRoutine_Find(u16 opcode) {
    for (const std::span<const LadderRoutineRow>* f : kFamilies)
        for (const LadderRoutineRow& r : *f)
            if (opcode >= r.first && opcode <= r.last) return &r;
    if (ladderEnginePeers.talkRow != nullptr)
        if (const LadderRoutineRow* r = ladderEnginePeers.talkRow(opcode)) return r;
    if (ladderEnginePeers.canOpenRow != nullptr)
        if (const LadderRoutineRow* r = ladderEnginePeers.canOpenRow(opcode)) return r;
    return ladderEnginePeers.fileRow != nullptr ? ladderEnginePeers.fileRow(opcode) : nullptr;
}

u32 LadderRoutine_Words(const u16* code, u32 avail, bool tok16) {
    if (avail == 0) return 0;
    const LadderRoutineRow* r = LadderRoutine_Find(code[0]);
    if (r == nullptr) return 0;
    if (r->words != nullptr) {
        const u32 n = r->words(code + 1, avail - 1, tok16);
        return n == 0 ? 0 : n + 1;
    }
    u32 pos = 1;
    for (u8 i = 0; i < r->count; ++i) {
        const u32 n = LadderOperand_Words(r->operands[i], code + pos, avail - pos, tok16);
        if (n == 0) return 0;
        pos += n;
    }
    return pos;
}
