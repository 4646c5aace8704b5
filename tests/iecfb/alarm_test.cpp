// ALARM: latching, counting, stepping through the active alarms,
// acknowledge and clear, the summary word and the screen registers.
#include <gtest/gtest.h>

#include <vector>

#include "core/plc_regs.h"
#include "fb_fixture.h"
#include "iec/blocks/q4alarm.h"
#include "testsupport/reg_fixture.h"

namespace {

class Alarm : public ::testing::Test {
protected:
    Alarm() : f_(Builder()) { Q4Alarm_Reset(); }
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        arr_ = b.Array(kQ4TypeInt, 12);
        return b;
    }
    u16 Word(int i) { return GetLe16(f_.Vm().Data16(static_cast<u16>(arr_ + i))); }
    void SetWord(int i, u16 v) { PutLe16(f_.Vm().Data16(static_cast<u16>(arr_ + i)), v); }
    // One execution: next, previous, clear, acknowledge.
    void Run(bool next = false, bool prev = false, bool clear = false, bool ack = false, u16 count = 8, i32 n = 8,
             i32 first = 100) {
        f_.SetB(f_.B(0), next), f_.SetB(f_.B(1), prev), f_.SetB(f_.B(2), clear), f_.SetB(f_.B(3), ack);
        f_.SetD(f_.D(0), first);
        f_.SetD(f_.D(1), n);
        f_.Exec(Q4Ctl_Alarm, nullptr, {arr_, count, f_.B(0), f_.B(1), f_.B(2), f_.B(3), f_.D(0), f_.D(1)});
    }
    RegFixture regs_;
    FbDb f_;
    static inline u16 arr_ = 0;
};

TEST_F(Alarm, NoneActiveShowsFFFF) {
    Run();
    EXPECT_EQ(SR_Get(1), 0xFFFF);
    EXPECT_EQ(SR_Get(2), 0xFFFF);
    Run(false, false, false, false, 0);  // no elements
    EXPECT_EQ(SR_Get(1), 0);
}

TEST_F(Alarm, StepsAcknowledgesAndClears) {
    SetWord(2, 0x100);
    SetWord(5, 0x100);
    Run();  // latched: active, counted
    EXPECT_EQ(Word(2), 0x301);
    EXPECT_EQ(Word(5), 0x301);
    EXPECT_EQ(SR_Get(1), 0xFFFF) << "it became active during this execution";
    SetWord(2, 0x201);
    SetWord(5, 0x201);
    Run();
    EXPECT_EQ(SR_Get(1), 102);
    EXPECT_EQ(Word(0) & 0xC000, 0xC000);
    struct Step {
        bool next, prev, clear, ack;
        u16 want;
    };
    const Step steps[] = {
        {true, false, false, false, 105},  // next once
        {true, false, false, false, 105},  // held: served already
        {false, false, false, false, 105},
        {true, false, false, false, 105},  // no alarm after 5
        {false, true, false, false, 102},
        {false, false, true, false, 102},  // clear without acknowledge: nothing
        {false, false, false, true, 102},  // acknowledge
        {false, false, true, true, 105},   // then clear: the next active one
    };
    for (const Step& s : steps) {
        Run(s.next, s.prev, s.clear, s.ack);
        EXPECT_EQ(SR_Get(1), s.want);
        EXPECT_EQ(SR_Get(2), s.want);
    }
    EXPECT_EQ(Word(2), 0x001);
    Run();
    EXPECT_EQ(Word(0) & 0xC000, 0xC000);  // alarm 5 still active, not acknowledged
}

TEST_F(Alarm, CountStopsAt255AndNStaysInsideTheArray) {
    SetWord(3, 0x1FF);
    SetWord(9, 0x100);  // beyond the element count of 8
    Run(false, false, false, false, 8, 4000);
    EXPECT_EQ(Word(3), 0x3FF);
    EXPECT_EQ(Word(9), 0x100);
    // A first screen that moves the current alarm outside the alarms: chosen again.
    Run(false, false, false, false, 8, 8, 600);
    EXPECT_EQ(SR_Get(1), 603);
    Run(false, false, false, false, 8, 8, 0);
    EXPECT_EQ(SR_Get(1), 3);
    // A count beyond the table is not used at all.
    Run(false, false, false, false, 60000, 8, 0);
    EXPECT_EQ(SR_Get(1), 0);
    Alarm_Remote_AckClr_enable();
    EXPECT_EQ(fACK_Enab, 0);
    EXPECT_EQ(fCLR_Enab, 0);
}

}  // namespace
