// The TIC instruction set written out by hand, one row per opcode: its
// number, mnemonic, length in words, the operand that holds the count of a
// variable form and the kinds of its fixed operands. The opcode table is
// checked against these rows through its public lookups, so a wrong number,
// length or operand kind in the table fails here even when the assembler
// and the interpreter agree with it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "iec/kernel/q4opcodes.h"

namespace {

// Operand kinds, one letter each:
//   B data8 index     H data16 index    D data32 index    L data64 index
//   t TIME index      s string index    x external variable
//   p program         S SFC step        T SFC transition
//   i immediate word  j byte displacement                  a code offset
//   n count of a variable form          y IEC type code    f standard function
//   c custom function                   b block instance   A index of a class
//                                                            another operand gives
struct Golden {
    u16 op;
    const char* name;
    u8 words;    // fixed length, or base length of a variable form
    u8 countAt;  // 0 fixed; else the operand word that holds the count
    const char* operands;
};

const Golden kGolden[] = {
    {1, "NEG_DINT", 3, 0, "DD"},
    {2, "NEG_REAL", 3, 0, "DD"},
    {3, "NOT_BOOL", 3, 0, "BB"},
    {4, "MUL_DINT", 4, 0, "DDD"},
    {5, "MUL_REAL", 4, 0, "DDD"},
    {6, "DIV_DINT", 4, 0, "DDD"},
    {7, "DIV_REAL", 4, 0, "DDD"},
    {8, "ADD_DINT", 4, 0, "DDD"},
    {9, "ADD_REAL", 4, 0, "DDD"},
    {10, "ADD_TIME", 4, 0, "ttt"},
    {11, "ADD_STRING", 4, 0, "sss"},
    {12, "SUB_DINT", 4, 0, "DDD"},
    {13, "SUB_REAL", 4, 0, "DDD"},
    {14, "SUB_TIME", 4, 0, "ttt"},
    {19, "GT_DINT", 4, 0, "BDD"},
    {20, "GT_REAL", 4, 0, "BDD"},
    {21, "GT_TIME", 4, 0, "Btt"},
    {22, "GT_STRING", 4, 0, "Bss"},
    {27, "GE_DINT", 4, 0, "BDD"},
    {28, "GE_REAL", 4, 0, "BDD"},
    {29, "GE_TIME", 4, 0, "Btt"},
    {30, "GE_STRING", 4, 0, "Bss"},
    {31, "EQ_DINT", 4, 0, "BDD"},
    {32, "EQ_REAL", 4, 0, "BDD"},
    {33, "EQ_TIME", 4, 0, "Btt"},
    {34, "EQ_STRING", 4, 0, "Bss"},
    {35, "EQ_BOOL", 4, 0, "BBB"},
    {36, "NE_DINT", 4, 0, "BDD"},
    {37, "NE_REAL", 4, 0, "BDD"},
    {38, "NE_TIME", 4, 0, "Btt"},
    {39, "NE_STRING", 4, 0, "Bss"},
    {40, "NE_BOOL", 4, 0, "BBB"},
    {41, "OR_BOOL", 4, 0, "BBB"},
    {42, "AND_BOOL", 4, 0, "BBB"},
    {43, "XOR_BOOL", 4, 0, "BBB"},
    {44, "MOVE_BOOL", 3, 0, "BB"},
    {45, "MOVE_DINT", 3, 0, "DD"},
    {46, "MOVE_REAL", 3, 0, "DD"},
    {47, "MOVE_TIME", 3, 0, "tt"},
    {48, "MOVE_STRING", 3, 0, "ss"},
    {55, "IDXRD_BOOL", 4, 0, "BBD"},
    {56, "IDXRD_DINT", 4, 0, "DDD"},
    {57, "IDXRD_REAL", 4, 0, "DDD"},
    {58, "IDXRD_TIME", 4, 0, "ttD"},
    {59, "IDXRD_STRING", 4, 0, "ssD"},
    {60, "IDXWR_BOOL", 4, 0, "BDB"},
    {61, "IDXWR_DINT", 4, 0, "DDD"},
    {62, "IDXWR_REAL", 4, 0, "DDD"},
    {63, "IDXWR_TIME", 4, 0, "tDt"},
    {64, "IDXWR_STRING", 4, 0, "sDs"},
    {65, "JMPC", 3, 0, "Bj"},
    {66, "JMPCN", 3, 0, "Bj"},
    {67, "JMP", 2, 0, "j"},
    {68, "RET", 1, 0, ""},
    {107, "TRANS_COND", 3, 0, "TB"},
    {110, "NEG_DINT_L", 3, 0, "DD"},
    {111, "NEG_REAL_L", 3, 0, "DD"},
    {112, "NOT_BOOL_L", 3, 0, "BB"},
    {113, "MUL_DINT_L", 4, 0, "DDD"},
    {114, "MUL_REAL_L", 4, 0, "DDD"},
    {115, "DIV_DINT_L", 4, 0, "DDD"},
    {116, "DIV_REAL_L", 4, 0, "DDD"},
    {117, "ADD_DINT_L", 4, 0, "DDD"},
    {118, "ADD_REAL_L", 4, 0, "DDD"},
    {119, "ADD_STRING_L", 4, 0, "sss"},
    {120, "SUB_DINT_L", 4, 0, "DDD"},
    {121, "SUB_REAL_L", 4, 0, "DDD"},
    {126, "GT_DINT_L", 4, 0, "BDD"},
    {127, "GT_REAL_L", 4, 0, "BDD"},
    {128, "GT_STRING_L", 4, 0, "Bss"},
    {129, "GT_TIME_L", 4, 0, "Btt"},
    {134, "GE_DINT_L", 4, 0, "BDD"},
    {135, "GE_REAL_L", 4, 0, "BDD"},
    {136, "GE_STRING_L", 4, 0, "Bss"},
    {137, "GE_TIME_L", 4, 0, "Btt"},
    {138, "EQ_DINT_L", 4, 0, "BDD"},
    {139, "EQ_REAL_L", 4, 0, "BDD"},
    {140, "EQ_STRING_L", 4, 0, "Bss"},
    {141, "EQ_BOOL_L", 4, 0, "BBB"},
    {142, "EQ_TIME_L", 4, 0, "Btt"},
    {143, "NE_DINT_L", 4, 0, "BDD"},
    {144, "NE_REAL_L", 4, 0, "BDD"},
    {145, "NE_STRING_L", 4, 0, "Bss"},
    {146, "NE_BOOL_L", 4, 0, "BBB"},
    {147, "NE_TIME_L", 4, 0, "Btt"},
    {148, "OR_BOOL_L", 4, 0, "BBB"},
    {149, "AND_BOOL_L", 4, 0, "BBB"},
    {150, "XOR_BOOL_L", 4, 0, "BBB"},
    {151, "MOVE_BOOL_L", 3, 0, "BB"},
    {152, "MOVE_DINT_L", 3, 0, "DD"},
    {153, "MOVE_REAL_L", 3, 0, "DD"},
    {154, "MOVE_STRING_L", 3, 0, "ss"},
    {155, "MOVE_TIME_L", 3, 0, "tt"},
    {161, "IDXRD_BOOL_L", 4, 0, "BBD"},
    {162, "IDXRD_DINT_L", 4, 0, "DDD"},
    {163, "IDXRD_REAL_L", 4, 0, "DDD"},
    {164, "IDXRD_STRING_L", 4, 0, "ssD"},
    {165, "IDXRD_TIME_L", 4, 0, "ttD"},
    {166, "IDXWR_BOOL_L", 4, 0, "BDB"},
    {167, "IDXWR_DINT_L", 4, 0, "DDD"},
    {168, "IDXWR_REAL_L", 4, 0, "DDD"},
    {169, "IDXWR_STRING_L", 4, 0, "sDs"},
    {187, "PRG_START", 2, 0, "p"},
    {188, "PRG_SUSPEND", 2, 0, "p"},
    {189, "PRG_STOP", 2, 0, "p"},
    {190, "PRG_RESUME", 2, 0, "p"},
    {193, "PRG_STATE", 3, 0, "Dp"},
    {196, "R_EDGE", 4, 0, "BBB"},
    {197, "F_EDGE", 4, 0, "BBB"},
    {200, "PRG_STATE_L", 3, 0, "Dp"},
    {203, "R_EDGE_L", 4, 0, "BBB"},
    {204, "F_EDGE_L", 4, 0, "BBB"},
    {205, "CONVERT", 5, 0, "AAyy"},
    {207, "CONVERT_L", 5, 0, "AAyy"},
    {208, "STEP_ACTIVE", 3, 0, "BS"},
    {209, "STEP_TIME", 3, 0, "tS"},
    {234, "END", 1, 0, ""},
    {256, "IDXWR_TIME_L", 4, 0, "tDt"},
    {257, "APP_PAUSE", 1, 0, ""},
    {258, "APP_RUN", 1, 0, ""},
    {259, "APP_ONECYCLE", 1, 0, ""},
    {260, "APP_CYCLETIME", 3, 0, "ii"},
    {261, "SET_BOOL", 2, 0, "B"},
    {262, "RESET_BOOL", 2, 0, "B"},
    {263, "SET_BOOL_L", 2, 0, "B"},
    {264, "RESET_BOOL_L", 2, 0, "B"},
    {265, "LOCK_BOOL", 2, 0, "B"},
    {266, "UNLOCK_BOOL", 2, 0, "B"},
    {267, "LDK_INT", 3, 0, "Hi"},
    {268, "LDK_INT_L", 3, 0, "Hi"},
    {269, "LOCK_INT", 2, 0, "H"},
    {270, "UNLOCK_INT", 2, 0, "H"},
    {271, "LDK_DINT", 4, 0, "Dii"},
    {272, "LDK_DINT_L", 4, 0, "Dii"},
    {273, "LOCK_DINT", 2, 0, "D"},
    {274, "UNLOCK_DINT", 2, 0, "D"},
    {275, "TMR_START", 2, 0, "t"},
    {276, "TMR_STOP", 2, 0, "t"},
    {277, "TMR_START_L", 2, 0, "t"},
    {278, "TMR_STOP_L", 2, 0, "t"},
    {279, "LDK_TIME", 4, 0, "tii"},
    {280, "LDK_TIME_L", 4, 0, "tii"},
    {281, "LOCK_TIME", 2, 0, "t"},
    {282, "UNLOCK_TIME", 2, 0, "t"},
    {283, "ADD_TIME_L", 4, 0, "ttt"},
    {284, "SUB_TIME_L", 4, 0, "ttt"},
    {285, "CALL_STF", 3, 2, "fn"},
    {286, "CALL_CFUNC", 4, 2, "cn"},
    {287, "CALL_FB", 3, 2, "bn"},
    {288, "NEG_LINT_L", 3, 0, "LL"},
    {289, "NEG_LINT", 3, 0, "LL"},
    {290, "MUL_LINT_L", 4, 0, "LLL"},
    {291, "MUL_LINT", 4, 0, "LLL"},
    {292, "DIV_LINT_L", 4, 0, "LLL"},
    {293, "DIV_LINT", 4, 0, "LLL"},
    {294, "ADD_LINT_L", 4, 0, "LLL"},
    {295, "ADD_LINT", 4, 0, "LLL"},
    {296, "SUB_LINT_L", 4, 0, "LLL"},
    {297, "SUB_LINT", 4, 0, "LLL"},
    {300, "GT_LINT_L", 4, 0, "BLL"},
    {301, "GT_LINT", 4, 0, "BLL"},
    {304, "GE_LINT_L", 4, 0, "BLL"},
    {305, "GE_LINT", 4, 0, "BLL"},
    {306, "EQ_LINT_L", 4, 0, "BLL"},
    {307, "EQ_LINT", 4, 0, "BLL"},
    {308, "NE_LINT_L", 4, 0, "BLL"},
    {309, "NE_LINT", 4, 0, "BLL"},
    {310, "MOVE_LINT_L", 3, 0, "LL"},
    {311, "MOVE_LINT", 3, 0, "LL"},
    {312, "IDXRD_LINT_L", 4, 0, "LLD"},
    {313, "IDXRD_LINT", 4, 0, "LLD"},
    {314, "IDXWR_LINT_L", 4, 0, "LDL"},
    {315, "IDXWR_LINT", 4, 0, "LDL"},
    {316, "LDK_LINT", 6, 0, "Liiii"},
    {317, "LDK_LINT_L", 6, 0, "Liiii"},
    {318, "LOCK_LINT", 2, 0, "L"},
    {319, "UNLOCK_LINT", 2, 0, "L"},
    {320, "NEG_LREAL_L", 3, 0, "LL"},
    {321, "NEG_LREAL", 3, 0, "LL"},
    {322, "MUL_LREAL_L", 4, 0, "LLL"},
    {323, "MUL_LREAL", 4, 0, "LLL"},
    {324, "DIV_LREAL_L", 4, 0, "LLL"},
    {325, "DIV_LREAL", 4, 0, "LLL"},
    {326, "ADD_LREAL_L", 4, 0, "LLL"},
    {327, "ADD_LREAL", 4, 0, "LLL"},
    {328, "SUB_LREAL_L", 4, 0, "LLL"},
    {329, "SUB_LREAL", 4, 0, "LLL"},
    {332, "GT_LREAL_L", 4, 0, "BLL"},
    {333, "GT_LREAL", 4, 0, "BLL"},
    {336, "GE_LREAL_L", 4, 0, "BLL"},
    {337, "GE_LREAL", 4, 0, "BLL"},
    {338, "EQ_LREAL_L", 4, 0, "BLL"},
    {339, "EQ_LREAL", 4, 0, "BLL"},
    {340, "NE_LREAL_L", 4, 0, "BLL"},
    {341, "NE_LREAL", 4, 0, "BLL"},
    {342, "MOVE_LREAL_L", 3, 0, "LL"},
    {343, "MOVE_LREAL", 3, 0, "LL"},
    {344, "IDXRD_LREAL_L", 4, 0, "LLD"},
    {345, "IDXRD_LREAL", 4, 0, "LLD"},
    {346, "IDXWR_LREAL_L", 4, 0, "LDL"},
    {347, "IDXWR_LREAL", 4, 0, "LDL"},
    {348, "NEG_INT_L", 3, 0, "HH"},
    {349, "NEG_INT", 3, 0, "HH"},
    {350, "MUL_INT_L", 4, 0, "HHH"},
    {351, "MUL_INT", 4, 0, "HHH"},
    {352, "DIV_INT_L", 4, 0, "HHH"},
    {353, "DIV_INT", 4, 0, "HHH"},
    {354, "ADD_INT_L", 4, 0, "HHH"},
    {355, "ADD_INT", 4, 0, "HHH"},
    {356, "SUB_INT_L", 4, 0, "HHH"},
    {357, "SUB_INT", 4, 0, "HHH"},
    {360, "GT_INT_L", 4, 0, "BHH"},
    {361, "GT_INT", 4, 0, "BHH"},
    {364, "GE_INT_L", 4, 0, "BHH"},
    {365, "GE_INT", 4, 0, "BHH"},
    {366, "EQ_INT_L", 4, 0, "BHH"},
    {367, "EQ_INT", 4, 0, "BHH"},
    {368, "NE_INT_L", 4, 0, "BHH"},
    {369, "NE_INT", 4, 0, "BHH"},
    {370, "MOVE_INT_L", 3, 0, "HH"},
    {371, "MOVE_INT", 3, 0, "HH"},
    {372, "IDXRD_INT_L", 4, 0, "HHD"},
    {373, "IDXRD_INT", 4, 0, "HHD"},
    {374, "IDXWR_INT_L", 4, 0, "HDH"},
    {375, "IDXWR_INT", 4, 0, "HDH"},
    {376, "NEG_SINT_L", 3, 0, "BB"},
    {377, "NEG_SINT", 3, 0, "BB"},
    {378, "MUL_SINT_L", 4, 0, "BBB"},
    {379, "MUL_SINT", 4, 0, "BBB"},
    {380, "DIV_SINT_L", 4, 0, "BBB"},
    {381, "DIV_SINT", 4, 0, "BBB"},
    {382, "ADD_SINT_L", 4, 0, "BBB"},
    {383, "ADD_SINT", 4, 0, "BBB"},
    {384, "SUB_SINT_L", 4, 0, "BBB"},
    {385, "SUB_SINT", 4, 0, "BBB"},
    {388, "GT_SINT_L", 4, 0, "BBB"},
    {389, "GT_SINT", 4, 0, "BBB"},
    {392, "GE_SINT_L", 4, 0, "BBB"},
    {393, "GE_SINT", 4, 0, "BBB"},
    {394, "EQ_SINT_L", 4, 0, "BBB"},
    {395, "EQ_SINT", 4, 0, "BBB"},
    {396, "NE_SINT_L", 4, 0, "BBB"},
    {397, "NE_SINT", 4, 0, "BBB"},
    {398, "MOVE_SINT_L", 3, 0, "BB"},
    {399, "MOVE_SINT", 3, 0, "BB"},
    {400, "IDXRD_SINT_L", 4, 0, "BBD"},
    {401, "IDXRD_SINT", 4, 0, "BBD"},
    {402, "IDXWR_SINT_L", 4, 0, "BDB"},
    {403, "IDXWR_SINT", 4, 0, "BDB"},
    {404, "LDK_SINT", 3, 0, "Bi"},
    {405, "LDK_SINT_L", 3, 0, "Bi"},
    {406, "LOCK_SINT", 2, 0, "B"},
    {407, "UNLOCK_SINT", 2, 0, "B"},
    {408, "LDK_STRING", 3, 2, "sn"},
    {409, "LDK_STRING_L", 3, 2, "sn"},
    {410, "LOCK_STRING", 2, 0, "s"},
    {411, "UNLOCK_STRING", 2, 0, "s"},
    {412, "SFC_STEP", 5, 0, "Saaa"},
    {413, "SFC_TRANS_TEST", 4, 3, "jTn"},
    {414, "SFC_TRANS_DEACT", 3, 2, "Tn"},
    {415, "SFC_TRANS_ACT", 3, 2, "Tn"},
    {416, "SFC_INIT_STEPS", 3, 2, "in"},
    {417, "SFC_TRANS_TEST1", 4, 0, "jTS"},
    {418, "SFC_TRANS_FIRE1", 4, 0, "TSS"},
    {419, "SFC_INIT_STEP", 3, 0, "Si"},
    {420, "SFC_KILL_CHILDREN", 2, 1, "n"},
    {421, "SFC_PERIOD", 3, 0, "ii"},
    {422, "BOUND_CHECK", 4, 0, "Dii"},
    {423, "CALL_PRG", 2, 0, "p"},
    {424, "XV_RD_D8", 3, 0, "xB"},
    {425, "XV_RD_D16", 3, 0, "xH"},
    {426, "XV_RD_D32", 3, 0, "xD"},
    {427, "XV_RD_D64", 3, 0, "xL"},
    {428, "XV_RD_TIME", 3, 0, "xt"},
    {429, "XV_RD_STRING", 3, 0, "xs"},
    {430, "XV_WR_D8", 3, 0, "xB"},
    {431, "XV_WR_D16", 3, 0, "xH"},
    {432, "XV_WR_D32", 3, 0, "xD"},
    {433, "XV_WR_D64", 3, 0, "xL"},
    {434, "XV_WR_TIME", 3, 0, "xt"},
    {435, "XV_WR_STRING", 3, 0, "xs"},
    {436, "XV_LDK_D8", 3, 0, "xi"},
    {437, "XV_LDK_D16", 3, 0, "xi"},
    {438, "XV_LDK_D32", 4, 0, "xii"},
    {439, "XV_LDK_D64", 6, 0, "xiiii"},
    {440, "XV_LDK_D32B", 4, 0, "xii"},
    {441, "XV_LDK_STRING", 3, 2, "xn"},
    {442, "XV_RD_D8_L", 3, 0, "xB"},
    {443, "XV_RD_D16_L", 3, 0, "xH"},
    {444, "XV_RD_D32_L", 3, 0, "xD"},
    {445, "XV_RD_D64_L", 3, 0, "xL"},
    {446, "XV_RD_TIME_L", 3, 0, "xt"},
    {447, "XV_RD_STRING_L", 3, 0, "xs"},
    {448, "XV_WR_D8_L", 3, 0, "xB"},
    {449, "XV_WR_D16_L", 3, 0, "xH"},
    {450, "XV_WR_D32_L", 3, 0, "xD"},
    {451, "XV_WR_D64_L", 3, 0, "xL"},
    {452, "XV_WR_TIME_L", 3, 0, "xt"},
    {453, "XV_WR_STRING_L", 3, 0, "xs"},
    {454, "XV_LOCK", 2, 0, "x"},
    {455, "XV_UNLOCK", 2, 0, "x"},
    {456, "XV_IDXRD_D8", 4, 0, "BxD"},
    {457, "XV_IDXRD_D16", 4, 0, "HxD"},
    {458, "XV_IDXRD_D32", 4, 0, "DxD"},
    {459, "XV_IDXRD_D64", 4, 0, "LxD"},
    {460, "XV_IDXRD_TIME", 4, 0, "txD"},
    {461, "XV_IDXRD_STRING", 4, 0, "sxD"},
    {462, "XV_IDXWR_D8", 4, 0, "xDB"},
    {463, "XV_IDXWR_D16", 4, 0, "xDH"},
    {464, "XV_IDXWR_D32", 4, 0, "xDD"},
    {465, "XV_IDXWR_D64", 4, 0, "xDL"},
    {466, "XV_IDXWR_TIME", 4, 0, "xDt"},
    {467, "XV_IDXWR_STRING", 4, 0, "xDs"},
    {468, "XV_IDXRD_D8_L", 4, 0, "BxD"},
    {469, "XV_IDXRD_D16_L", 4, 0, "HxD"},
    {470, "XV_IDXRD_D32_L", 4, 0, "DxD"},
    {471, "XV_IDXRD_D64_L", 4, 0, "LxD"},
    {472, "XV_IDXRD_TIME_L", 4, 0, "txD"},
    {473, "XV_IDXRD_STRING_L", 4, 0, "sxD"},
    {474, "XV_IDXWR_D8_L", 4, 0, "xDB"},
    {475, "XV_IDXWR_D16_L", 4, 0, "xDH"},
    {476, "XV_IDXWR_D32_L", 4, 0, "xDD"},
    {477, "XV_IDXWR_D64_L", 4, 0, "xDL"},
    {478, "XV_IDXWR_TIME_L", 4, 0, "xDt"},
    {479, "XV_IDXWR_STRING_L", 4, 0, "xDs"},
    {480, "SAMPLE_SETUP", 10, 9, "iiiiii"},
    {481, "SAMPLE_CTRL", 2, 0, "i"},
    {482, "GT_USINT", 4, 0, "BBB"},
    {483, "GE_USINT", 4, 0, "BBB"},
    {484, "MUL_USINT", 4, 0, "BBB"},
    {485, "DIV_USINT", 4, 0, "BBB"},
    {486, "GT_USINT_L", 4, 0, "BBB"},
    {487, "GE_USINT_L", 4, 0, "BBB"},
    {488, "MUL_USINT_L", 4, 0, "BBB"},
    {489, "DIV_USINT_L", 4, 0, "BBB"},
    {490, "GT_UINT", 4, 0, "BHH"},
    {491, "GE_UINT", 4, 0, "BHH"},
    {492, "MUL_UINT", 4, 0, "HHH"},
    {493, "DIV_UINT", 4, 0, "HHH"},
    {494, "GT_UINT_L", 4, 0, "BHH"},
    {495, "GE_UINT_L", 4, 0, "BHH"},
    {496, "MUL_UINT_L", 4, 0, "HHH"},
    {497, "DIV_UINT_L", 4, 0, "HHH"},
    {498, "GT_UDINT", 4, 0, "BDD"},
    {499, "GE_UDINT", 4, 0, "BDD"},
    {500, "MUL_UDINT", 4, 0, "DDD"},
    {501, "DIV_UDINT", 4, 0, "DDD"},
    {502, "GT_UDINT_L", 4, 0, "BDD"},
    {503, "GE_UDINT_L", 4, 0, "BDD"},
    {504, "MUL_UDINT_L", 4, 0, "DDD"},
    {505, "DIV_UDINT_L", 4, 0, "DDD"},
    {506, "RESUME_MARK", 1, 0, ""},
    {507, "RESUME_TEST", 2, 0, "B"},
    {508, "STEP_POINT", 2, 0, "i"},
    {509, "BITTEST_SINT", 4, 0, "BBB"},
    {510, "BITTEST_INT", 4, 0, "BHH"},
    {511, "BITTEST_DINT", 4, 0, "BDD"},
    {513, "BITSET_SINT", 4, 0, "BBB"},
    {514, "BITSET_INT", 4, 0, "HHB"},
    {515, "BITSET_DINT", 4, 0, "DDB"},
    {517, "BITTEST_SINT_L", 4, 0, "BBB"},
    {518, "BITTEST_INT_L", 4, 0, "BHH"},
    {519, "BITTEST_DINT_L", 4, 0, "BDD"},
    {521, "BITSET_SINT_L", 4, 0, "BBB"},
    {522, "BITSET_INT_L", 4, 0, "HHB"},
    {523, "BITSET_DINT_L", 4, 0, "DDB"},
    {525, "STEP_REQUEST", 1, 0, ""},
    {526, "NOP", 1, 0, ""},
    {527, "SET_BREAK", 4, 0, "pii"},
    {528, "JMPA", 2, 0, "a"},
    {529, "JMPAC", 3, 0, "Ba"},
    {530, "JMPACN", 3, 0, "Ba"},
    {531, "CT_GET", 4, 0, "yAD"},
    {532, "CT_SET", 4, 0, "yAD"},
    {533, "CT_DEST", 3, 0, "ii"},
    {534, "NOP2", 1, 0, ""},
    {535, "CALL_FB_CT", 3, 2, "Dn"},
    {536, "CHECK_ANY_CFUNC", 2, 0, "c"},
    {537, "CHECK_ANY_FB_CT", 2, 0, "D"},
    {538, "CT_TMR_START", 2, 0, "D"},
    {539, "CT_TMR_STOP", 2, 0, "D"},
    {540, "SFC_BREAK_STEP", 3, 0, "Si"},
    {541, "SFC_BREAK_TRANS", 3, 0, "Ti"},
    {542, "NOP_W", 2, 0, "i"},
    {543, "CASE", 3, 2, "Dn"},
    {544, "JMPEQ_DINT", 4, 0, "aDD"},
    {545, "SFC_JMP_FLAGS", 3, 0, "ia"},
    {546, "SFC_SET_FLAGS", 2, 0, "i"},
    {547, "SFC_STEP_STATE", 3, 0, "Si"},
    {548, "SFC_STEP_TIME", 3, 0, "Si"},
    {549, "SFC_TRANS_BREAK", 2, 0, "T"},
    {550, "SFC_JMP_NCOND", 3, 0, "Ta"},
    {551, "SFC_JMP_KILLED", 3, 0, "Da"},
    {552, "ANY_PTR", 5, 0, "DyAi"},
    {553, "CT_ADDR", 3, 0, "DD"},
    {554, "UNLOCK_ALL", 1, 0, ""},
    {555, "CT_COPY", 4, 0, "DDD"},
    {556, "GT_ULINT", 4, 0, "BLL"},
    {557, "GE_ULINT", 4, 0, "BLL"},
    {558, "MUL_ULINT", 4, 0, "LLL"},
    {559, "DIV_ULINT", 4, 0, "LLL"},
    {560, "GT_ULINT_L", 4, 0, "BLL"},
    {561, "GE_ULINT_L", 4, 0, "BLL"},
    {562, "MUL_ULINT_L", 4, 0, "LLL"},
    {563, "DIV_ULINT_L", 4, 0, "LLL"},
    {564, "LOOP_HEAD", 1, 0, ""},
    {565, "LOOP_GUARD", 2, 0, "D"},
    {566, "CT_GET_B", 4, 0, "yAD"},
    {567, "CT_SET_B", 4, 0, "yAD"},
    {568, "VSI_STAMP", 7, 0, "yAiiii"},
    {569, "VSI_CLEAR", 3, 0, "yA"},
};

Q4Operand Kind(char c) {
    switch (c) {
    case 'B': return kQ4OpndD8;
    case 'H': return kQ4OpndD16;
    case 'D': return kQ4OpndD32;
    case 'L': return kQ4OpndD64;
    case 't': return kQ4OpndTime;
    case 's': return kQ4OpndStr;
    case 'x': return kQ4OpndXv;
    case 'p': return kQ4OpndProg;
    case 'S': return kQ4OpndStep;
    case 'T': return kQ4OpndTrans;
    case 'i': return kQ4OpndImm;
    case 'j': return kQ4OpndDisp;
    case 'a': return kQ4OpndTarget;
    case 'n': return kQ4OpndCount;
    case 'y': return kQ4OpndType;
    case 'f': return kQ4OpndFunc;
    case 'c': return kQ4OpndCFunc;
    case 'b': return kQ4OpndInst;
    case 'A': return kQ4OpndAny;
    }
    ADD_FAILURE() << "unknown operand letter " << c;
    return kQ4OpndNone;
}

}  // namespace

// Every row: mnemonic both ways, length, count operand and operand kinds;
// the length the interpreter steps over, and one word fewer is too short.
TEST(TicGoldenTable, EveryOpcodeHasItsNumberLengthAndOperands) {
    for (const Golden& g : kGolden) {
        SCOPED_TRACE(::testing::Message() << g.name << " " << g.op);
        const Q4OpInfo& r = Q4Op_Info(g.op);
        ASSERT_NE(r.name, nullptr);
        EXPECT_STREQ(r.name, g.name);
        EXPECT_EQ(Q4Op_Find(g.name), g.op);
        EXPECT_EQ(r.words, g.words);
        EXPECT_EQ(r.countAt, g.countAt);
        const size_t n = std::strlen(g.operands);
        ASSERT_LE(n, std::size(r.ops));
        for (size_t i = 0; i < std::size(r.ops); ++i)
            EXPECT_EQ(r.ops[i], i < n ? Kind(g.operands[i]) : kQ4OpndNone) << "operand " << i + 1;
        // The instruction with a count of 3 in a variable form; the words
        // after it belong to the next instruction.
        std::vector<u16> w(g.words + 3u + 2u, 0);
        w[0] = g.op;
        u32 length = g.words;
        if (g.countAt) {
            w[g.countAt] = 3;
            length += 3;
        }
        EXPECT_EQ(Q4Op_Length(w.data(), static_cast<u32>(w.size())), length);
        EXPECT_EQ(Q4Op_Length(w.data(), length), length);
        EXPECT_EQ(Q4Op_Length(w.data(), length - 1), 0u) << "one word short";
    }
}

// The table has no opcode the rows above lack, below its end or past it.
TEST(TicGoldenTable, TableHasNoOpcodeTheGoldenRowsLack) {
    std::map<u16, const Golden*> byOp;
    for (const Golden& g : kGolden) EXPECT_TRUE(byOp.emplace(g.op, &g).second) << "opcode twice " << g.op;
    for (u32 op = 0; op <= 0xFFFF; ++op) {
        const Q4OpInfo& r = Q4Op_Info(static_cast<u16>(op));
        if (byOp.count(static_cast<u16>(op))) continue;
        EXPECT_EQ(r.name, nullptr) << op << " " << r.name;
        const u16 w[] = {static_cast<u16>(op), 0, 0, 0};
        EXPECT_EQ(Q4Op_Length(w, 4), 0u) << op;
    }
}
