#include <gtest/gtest.h>

#include <set>

#include "iec/kernel/q4opcodes.h"
#include "testsupport/iec_image_builder.h"

TEST(OpcodeTable, EveryOpcodeWithAnOperationHasARowAndNoOther) {
    // Opcodes in 1-569 that have no operation.
    const std::pair<int, int> none[] = {
        {15, 18},   {23, 26},   {49, 54},   {69, 106},  {108, 109}, {122, 125}, {130, 133}, {156, 160},
        {170, 186}, {191, 192}, {194, 195}, {198, 199}, {201, 202}, {206, 206}, {210, 233}, {235, 255},
        {298, 299}, {302, 303}, {330, 331}, {334, 335}, {358, 359}, {362, 363}, {386, 387}, {390, 391},
        {512, 512}, {516, 516}, {520, 520}, {524, 524},
    };
    std::set<int> empty;
    for (auto [a, b] : none)
        for (int op = a; op <= b; ++op) empty.insert(op);
    std::set<std::string> names;
    for (int op = 0; op <= 600; ++op) {
        const Q4OpInfo& r = Q4Op_Info(static_cast<u16>(op));
        bool expectRow = op >= 1 && op <= 569 && !empty.count(op);
        EXPECT_EQ(r.name != nullptr, expectRow) << op;
        if (!r.name) continue;
        EXPECT_TRUE(names.insert(r.name).second) << "duplicate mnemonic " << r.name;
        EXPECT_EQ(Q4Op_Find(r.name), op);
        EXPECT_GE(r.words, 1);
        if (r.countAt) {
            EXPECT_LT(r.countAt, r.words) << r.name;
        }
    }
}

TEST(OpcodeTable, LengthsAndLockForms) {
    struct Case {
        std::vector<u16> words;
        u32 length;
    } cases[] = {
        {{8, 1, 2, 3}, 4},              // ADD_DINT
        {{1, 1, 2}, 3},                 // NEG_DINT
        {{68}, 1},                      // return
        {{275, 1}, 2},                  // timer start
        {{271, 1, 0, 5}, 4},            // DINT constant
        {{316, 1, 0, 0, 0, 5}, 6},      // LINT constant
        {{408, 1, 3, 'a', 'b', 'c'}, 6},  // string constant
        {{285, 7, 2, 1, 2}, 5},         // standard function, 2 arguments
        {{286, 1, 2, 1, 2, 5}, 6},      // custom function: arguments then the result type
        {{543, 1, 3, 0, 2, 4}, 6},      // CASE with 3 targets
        {{413, 2, 1, 2, 5, 6}, 6},      // SFC transition test with 2 steps
        {{420, 2, 3, 4}, 4},            // SFC children
        {{480, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0}, 12},  // sampling set-up: 10 + word 9
        {{568, 2, 1, 0, 0, 0, 0}, 7},   // VSI stamp
        {{408, 1, 9, 'a'}, 0},          // the text runs past the code
        {{0}, 0},                       // no operation
        {{570, 1}, 0},
    };
    for (const Case& k : cases)
        EXPECT_EQ(Q4Op_Length(k.words.data(), static_cast<u32>(k.words.size())), k.length) << k.words[0];
    EXPECT_EQ(Q4Op_Info(Q4Op_Find("ADD_DINT_L")).lockBit, 0x04);
    EXPECT_EQ(Q4Op_Info(Q4Op_Find("GT_REAL_L")).lockBit, 0x01);  // the destination is a BOOL
    EXPECT_EQ(Q4Op_Info(Q4Op_Find("XV_WR_D32_L")).lockBit, 0x80);
    EXPECT_EQ(Q4Op_Find("ADD_DINT_L"), 117);
    EXPECT_EQ(Q4Op_Find("MUL_ULINT"), 558);
    EXPECT_EQ(Q4Op_Find("IDXWR_TIME_L"), 256);
}

TEST(TicAssembler, LabelsBecomeDisplacementsOrOffsets) {
    TicAssembler a;
    a.Label("top")                      // byte 0
        .Op("JMPC", {1, L("end")})      // 0: 65, 1, disp -> relative to byte 6
        .Op("JMPA", {L("top")})         // 6: 528, 0
        .Op("CASE", {2, 2, L("top"), L("end")})  // 10: 543, 2, 2, 0, 20
        .Label("end")                   // byte 20
        .Op("RET");
    std::vector<u16> w = a.Finish();
    ASSERT_EQ(w.size(), 11u);
    EXPECT_EQ(w[2], 14);  // 20 - 6
    EXPECT_EQ(w[4], 0);
    EXPECT_EQ(w[8], 0);
    EXPECT_EQ(w[9], 20);
    EXPECT_EQ(w[10], 68);

    TicAssembler back;
    back.Label("loop").Op("NOP").Op("JMP", {L("loop")});
    EXPECT_EQ(static_cast<i16>(back.Finish()[2]), -6);  // from byte 6 back to byte 0
}
