#include "iec/kernel/q4opcodes.h"

#include <array>
#include <initializer_list>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Storage kinds of the type columns of the typed operations.
struct Col {
    const char* type;
    Q4Operand kind;
    u8 lock;
};
constexpr Col kBool{"BOOL", kQ4OpndD8, 0x01}, kSint{"SINT", kQ4OpndD8, 0x01}, kUsint{"USINT", kQ4OpndD8, 0x01},
    kInt{"INT", kQ4OpndD16, 0x02}, kUint{"UINT", kQ4OpndD16, 0x02}, kDint{"DINT", kQ4OpndD32, 0x04},
    kUdint{"UDINT", kQ4OpndD32, 0x04}, kLint{"LINT", kQ4OpndD64, 0x08}, kUlint{"ULINT", kQ4OpndD64, 0x08},
    kReal{"REAL", kQ4OpndD32, 0x04}, kLreal{"LREAL", kQ4OpndD64, 0x08}, kTime{"TIME", kQ4OpndTime, 0x10},
    kString{"STRING", kQ4OpndStr, 0x20};

struct TC {
    Col c;
    u16 p, l;
};

struct Table {
    std::array<Q4OpInfo, kQ4OpMax + 1> rows{};
    std::vector<std::string> names;  // owns the mnemonic texts

    Table() {
        names.reserve(1200);
        Build();
    }

    void Set(u16 op, const std::string& name, u8 words, std::initializer_list<Q4Operand> ops, u8 lock = 0,
             u8 countAt = 0) {
        names.push_back(name);
        Q4OpInfo& r = rows[op];
        r.name = names.back().c_str();
        r.words = words;
        r.countAt = countAt;
        r.lockBit = lock;
        int i = 0;
        for (Q4Operand o : ops) r.ops[i++] = o;
    }

    // Plain and lock-checked pair of a typed operation; lockOperand is the
    // column whose class gives the tested lock bit (the destination).
    void Pair(const char* op, const Col& c, u16 plain, u16 locked, u8 words, std::initializer_list<Q4Operand> ops,
              u8 lock) {
        std::string base = std::string(op) + "_" + c.type;
        if (plain) Set(plain, base, words, ops);
        if (locked) Set(locked, base + "_L", words, ops, lock);
    }

    void Unary(const char* op, const Col& c, u16 p, u16 l) { Pair(op, c, p, l, 3, {c.kind, c.kind}, c.lock); }
    void Binary(const char* op, const Col& c, u16 p, u16 l) { Pair(op, c, p, l, 4, {c.kind, c.kind, c.kind}, c.lock); }
    void Compare(const char* op, const Col& c, u16 p, u16 l) {
        Pair(op, c, p, l, 4, {kQ4OpndD8, c.kind, c.kind}, kBool.lock);
    }

    void Build() {
        // NEG, NOT
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 377, 376}, {kInt, 349, 348}, {kDint, 1, 110}, {kLint, 289, 288},
                               {kReal, 2, 111}, {kLreal, 321, 320}})
            Unary("NEG", c, p, l);
        Unary("NOT", kBool, 3, 112);
        // ADD, SUB, MUL, DIV
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 383, 382}, {kInt, 355, 354}, {kDint, 8, 117}, {kLint, 295, 294},
                               {kReal, 9, 118}, {kLreal, 327, 326}, {kTime, 10, 283}, {kString, 11, 119}})
            Binary("ADD", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 385, 384}, {kInt, 357, 356}, {kDint, 12, 120}, {kLint, 297, 296},
                               {kReal, 13, 121}, {kLreal, 329, 328}, {kTime, 14, 284}})
            Binary("SUB", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 379, 378}, {kUsint, 484, 488}, {kInt, 351, 350}, {kUint, 492, 496},
                               {kDint, 4, 113}, {kUdint, 500, 504}, {kLint, 291, 290}, {kUlint, 558, 562},
                               {kReal, 5, 114}, {kLreal, 323, 322}})
            Binary("MUL", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 381, 380}, {kUsint, 485, 489}, {kInt, 353, 352}, {kUint, 493, 497},
                               {kDint, 6, 115}, {kUdint, 501, 505}, {kLint, 293, 292}, {kUlint, 559, 563},
                               {kReal, 7, 116}, {kLreal, 325, 324}})
            Binary("DIV", c, p, l);
        // Comparisons
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 389, 388}, {kUsint, 482, 486}, {kInt, 361, 360}, {kUint, 490, 494},
                               {kDint, 19, 126}, {kUdint, 498, 502}, {kLint, 301, 300}, {kUlint, 556, 560},
                               {kReal, 20, 127}, {kLreal, 333, 332}, {kTime, 21, 129}, {kString, 22, 128}})
            Compare("GT", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 393, 392}, {kUsint, 483, 487}, {kInt, 365, 364}, {kUint, 491, 495},
                               {kDint, 27, 134}, {kUdint, 499, 503}, {kLint, 305, 304}, {kUlint, 557, 561},
                               {kReal, 28, 135}, {kLreal, 337, 336}, {kTime, 29, 137}, {kString, 30, 136}})
            Compare("GE", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kBool, 35, 141}, {kSint, 395, 394}, {kInt, 367, 366}, {kDint, 31, 138},
                               {kLint, 307, 306}, {kReal, 32, 139}, {kLreal, 339, 338}, {kTime, 33, 142},
                               {kString, 34, 140}})
            Compare("EQ", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kBool, 40, 146}, {kSint, 397, 396}, {kInt, 369, 368}, {kDint, 36, 143},
                               {kLint, 309, 308}, {kReal, 37, 144}, {kLreal, 341, 340}, {kTime, 38, 147},
                               {kString, 39, 145}})
            Compare("NE", c, p, l);
        Binary("OR", kBool, 41, 148);
        Binary("AND", kBool, 42, 149);
        Binary("XOR", kBool, 43, 150);
        // MOVE, indexed read and write
        for (auto [c, p, l] : std::initializer_list<TC>{{kBool, 44, 151}, {kSint, 399, 398}, {kInt, 371, 370}, {kDint, 45, 152},
                               {kLint, 311, 310}, {kReal, 46, 153}, {kLreal, 343, 342}, {kTime, 47, 155},
                               {kString, 48, 154}})
            Unary("MOVE", c, p, l);
        for (auto [c, p, l] : std::initializer_list<TC>{{kBool, 55, 161}, {kSint, 401, 400}, {kInt, 373, 372}, {kDint, 56, 162},
                               {kLint, 313, 312}, {kReal, 57, 163}, {kLreal, 345, 344}, {kTime, 58, 165},
                               {kString, 59, 164}})
            Pair("IDXRD", c, p, l, 4, {c.kind, c.kind, kQ4OpndD32}, c.lock);
        for (auto [c, p, l] : std::initializer_list<TC>{{kBool, 60, 166}, {kSint, 403, 402}, {kInt, 375, 374}, {kDint, 61, 167},
                               {kLint, 315, 314}, {kReal, 62, 168}, {kLreal, 347, 346}, {kTime, 63, 256},
                               {kString, 64, 169}})
            Pair("IDXWR", c, p, l, 4, {c.kind, kQ4OpndD32, c.kind}, c.lock);
        // Bit test, set or clear bits
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 509, 517}, {kInt, 510, 518}, {kDint, 511, 519}})
            Pair("BITTEST", c, p, l, 4, {kQ4OpndD8, c.kind, c.kind}, kBool.lock);
        for (auto [c, p, l] : std::initializer_list<TC>{{kSint, 513, 521}, {kInt, 514, 522}, {kDint, 515, 523}})
            Pair("BITSET", c, p, l, 4, {c.kind, c.kind, kQ4OpndD8}, c.lock);
        // Constants
        Pair("LDK", kSint, 404, 405, 3, {kQ4OpndD8, kQ4OpndImm}, kSint.lock);
        Pair("LDK", kInt, 267, 268, 3, {kQ4OpndD16, kQ4OpndImm}, kInt.lock);
        Pair("LDK", kDint, 271, 272, 4, {kQ4OpndD32, kQ4OpndImm, kQ4OpndImm}, kDint.lock);
        Pair("LDK", kLint, 316, 317, 6, {kQ4OpndD64, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm}, kLint.lock);
        Pair("LDK", kTime, 279, 280, 4, {kQ4OpndTime, kQ4OpndImm, kQ4OpndImm}, kTime.lock);
        Set(408, "LDK_STRING", 3, {kQ4OpndStr, kQ4OpndCount}, 0, 2);
        Set(409, "LDK_STRING_L", 3, {kQ4OpndStr, kQ4OpndCount}, kString.lock, 2);
        // Locks
        for (auto [c, lk, ul] : std::initializer_list<TC>{{kBool, 265, 266}, {kInt, 269, 270}, {kDint, 273, 274}, {kLint, 318, 319},
                                 {kTime, 281, 282}, {kString, 410, 411}}) {
            Set(lk, std::string("LOCK_") + c.type, 2, {c.kind});
            Set(ul, std::string("UNLOCK_") + c.type, 2, {c.kind});
        }
        Set(406, "LOCK_SINT", 2, {kQ4OpndD8});
        Set(407, "UNLOCK_SINT", 2, {kQ4OpndD8});

        // Jumps
        Set(65, "JMPC", 3, {kQ4OpndD8, kQ4OpndDisp});
        Set(66, "JMPCN", 3, {kQ4OpndD8, kQ4OpndDisp});
        Set(67, "JMP", 2, {kQ4OpndDisp});
        Set(528, "JMPA", 2, {kQ4OpndTarget});
        Set(529, "JMPAC", 3, {kQ4OpndD8, kQ4OpndTarget});
        Set(530, "JMPACN", 3, {kQ4OpndD8, kQ4OpndTarget});
        Set(543, "CASE", 3, {kQ4OpndD32, kQ4OpndCount}, 0, 2);
        Set(544, "JMPEQ_DINT", 4, {kQ4OpndTarget, kQ4OpndD32, kQ4OpndD32});
        Set(68, "RET", 1, {});
        Set(234, "END", 1, {});
        Set(107, "TRANS_COND", 3, {kQ4OpndTrans, kQ4OpndD8});
        Set(187, "PRG_START", 2, {kQ4OpndProg});
        Set(188, "PRG_SUSPEND", 2, {kQ4OpndProg});
        Set(189, "PRG_STOP", 2, {kQ4OpndProg});
        Set(190, "PRG_RESUME", 2, {kQ4OpndProg});
        Set(193, "PRG_STATE", 3, {kQ4OpndD32, kQ4OpndProg});
        Set(200, "PRG_STATE_L", 3, {kQ4OpndD32, kQ4OpndProg}, kDint.lock);
        Set(196, "R_EDGE", 4, {kQ4OpndD8, kQ4OpndD8, kQ4OpndD8});
        Set(203, "R_EDGE_L", 4, {kQ4OpndD8, kQ4OpndD8, kQ4OpndD8}, kBool.lock);
        Set(197, "F_EDGE", 4, {kQ4OpndD8, kQ4OpndD8, kQ4OpndD8});
        Set(204, "F_EDGE_L", 4, {kQ4OpndD8, kQ4OpndD8, kQ4OpndD8}, kBool.lock);
        Set(205, "CONVERT", 5, {kQ4OpndAny, kQ4OpndAny, kQ4OpndType, kQ4OpndType});
        Set(207, "CONVERT_L", 5, {kQ4OpndAny, kQ4OpndAny, kQ4OpndType, kQ4OpndType}, 0xFF);
        Set(208, "STEP_ACTIVE", 3, {kQ4OpndD8, kQ4OpndStep});
        Set(209, "STEP_TIME", 3, {kQ4OpndTime, kQ4OpndStep});
        Set(257, "APP_PAUSE", 1, {});
        Set(258, "APP_RUN", 1, {});
        Set(259, "APP_ONECYCLE", 1, {});
        Set(260, "APP_CYCLETIME", 3, {kQ4OpndImm, kQ4OpndImm});
        Set(261, "SET_BOOL", 2, {kQ4OpndD8});
        Set(262, "RESET_BOOL", 2, {kQ4OpndD8});
        Set(263, "SET_BOOL_L", 2, {kQ4OpndD8}, kBool.lock);
        Set(264, "RESET_BOOL_L", 2, {kQ4OpndD8}, kBool.lock);
        Set(275, "TMR_START", 2, {kQ4OpndTime});
        Set(276, "TMR_STOP", 2, {kQ4OpndTime});
        Set(277, "TMR_START_L", 2, {kQ4OpndTime}, kTime.lock);
        Set(278, "TMR_STOP_L", 2, {kQ4OpndTime}, kTime.lock);
        Set(285, "CALL_STF", 3, {kQ4OpndFunc, kQ4OpndCount}, 0, 2);
        Set(286, "CALL_CFUNC", 4, {kQ4OpndCFunc, kQ4OpndCount}, 0, 2);
        Set(287, "CALL_FB", 3, {kQ4OpndInst, kQ4OpndCount}, 0, 2);
        Set(535, "CALL_FB_CT", 3, {kQ4OpndD32, kQ4OpndCount}, 0, 2);
        // SFC
        Set(412, "SFC_STEP", 5, {kQ4OpndStep, kQ4OpndTarget, kQ4OpndTarget, kQ4OpndTarget});
        Set(413, "SFC_TRANS_TEST", 4, {kQ4OpndDisp, kQ4OpndTrans, kQ4OpndCount}, 0, 3);
        Set(414, "SFC_TRANS_DEACT", 3, {kQ4OpndTrans, kQ4OpndCount}, 0, 2);
        Set(415, "SFC_TRANS_ACT", 3, {kQ4OpndTrans, kQ4OpndCount}, 0, 2);
        Set(416, "SFC_INIT_STEPS", 3, {kQ4OpndImm, kQ4OpndCount}, 0, 2);
        Set(417, "SFC_TRANS_TEST1", 4, {kQ4OpndDisp, kQ4OpndTrans, kQ4OpndStep});
        Set(418, "SFC_TRANS_FIRE1", 4, {kQ4OpndTrans, kQ4OpndStep, kQ4OpndStep});
        Set(419, "SFC_INIT_STEP", 3, {kQ4OpndStep, kQ4OpndImm});
        Set(420, "SFC_KILL_CHILDREN", 2, {kQ4OpndCount}, 0, 1);
        Set(421, "SFC_PERIOD", 3, {kQ4OpndImm, kQ4OpndImm});
        Set(545, "SFC_JMP_FLAGS", 3, {kQ4OpndImm, kQ4OpndTarget});
        Set(546, "SFC_SET_FLAGS", 2, {kQ4OpndImm});
        Set(547, "SFC_STEP_STATE", 3, {kQ4OpndStep, kQ4OpndImm});
        Set(548, "SFC_STEP_TIME", 3, {kQ4OpndStep, kQ4OpndImm});
        Set(549, "SFC_TRANS_BREAK", 2, {kQ4OpndTrans});
        Set(550, "SFC_JMP_NCOND", 3, {kQ4OpndTrans, kQ4OpndTarget});
        Set(551, "SFC_JMP_KILLED", 3, {kQ4OpndD32, kQ4OpndTarget});
        Set(422, "BOUND_CHECK", 4, {kQ4OpndD32, kQ4OpndImm, kQ4OpndImm});
        Set(423, "CALL_PRG", 2, {kQ4OpndProg});
        // External variables
        static constexpr Col kXvCols[] = {kSint, kInt, kDint, kLint, kTime, kString};
        static constexpr const char* kXvNames[] = {"D8", "D16", "D32", "D64", "TIME", "STRING"};
        for (u16 k = 0; k < 6; ++k) {
            const Col& c = kXvCols[k];
            std::string t = kXvNames[k];
            Set(424 + k, "XV_RD_" + t, 3, {kQ4OpndXv, c.kind});
            Set(442 + k, "XV_RD_" + t + "_L", 3, {kQ4OpndXv, c.kind}, c.lock);
            Set(430 + k, "XV_WR_" + t, 3, {kQ4OpndXv, c.kind});
            Set(448 + k, "XV_WR_" + t + "_L", 3, {kQ4OpndXv, c.kind}, 0x80);
            Set(456 + k, "XV_IDXRD_" + t, 4, {c.kind, kQ4OpndXv, kQ4OpndD32});
            Set(468 + k, "XV_IDXRD_" + t + "_L", 4, {c.kind, kQ4OpndXv, kQ4OpndD32}, c.lock);
            Set(462 + k, "XV_IDXWR_" + t, 4, {kQ4OpndXv, kQ4OpndD32, c.kind});
            Set(474 + k, "XV_IDXWR_" + t + "_L", 4, {kQ4OpndXv, kQ4OpndD32, c.kind}, 0x80);
        }
        Set(436, "XV_LDK_D8", 3, {kQ4OpndXv, kQ4OpndImm});
        Set(437, "XV_LDK_D16", 3, {kQ4OpndXv, kQ4OpndImm});
        Set(438, "XV_LDK_D32", 4, {kQ4OpndXv, kQ4OpndImm, kQ4OpndImm});
        Set(440, "XV_LDK_D32B", 4, {kQ4OpndXv, kQ4OpndImm, kQ4OpndImm});
        Set(439, "XV_LDK_D64", 6, {kQ4OpndXv, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm});
        Set(441, "XV_LDK_STRING", 3, {kQ4OpndXv, kQ4OpndCount}, 0, 2);
        Set(454, "XV_LOCK", 2, {kQ4OpndXv});
        Set(455, "XV_UNLOCK", 2, {kQ4OpndXv});
        // Sampling, resume points, debugging
        Set(480, "SAMPLE_SETUP", 10, {kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm}, 0, 9);
        Set(481, "SAMPLE_CTRL", 2, {kQ4OpndImm});
        Set(506, "RESUME_MARK", 1, {});
        Set(507, "RESUME_TEST", 2, {kQ4OpndD8});
        Set(508, "STEP_POINT", 2, {kQ4OpndImm});
        Set(525, "STEP_REQUEST", 1, {});
        Set(527, "SET_BREAK", 4, {kQ4OpndProg, kQ4OpndImm, kQ4OpndImm});
        Set(526, "NOP", 1, {});
        Set(534, "NOP2", 1, {});
        Set(542, "NOP_W", 2, {kQ4OpndImm});
        // CT segment
        Set(531, "CT_GET", 4, {kQ4OpndType, kQ4OpndAny, kQ4OpndD32});
        Set(566, "CT_GET_B", 4, {kQ4OpndType, kQ4OpndAny, kQ4OpndD32});
        Set(532, "CT_SET", 4, {kQ4OpndType, kQ4OpndAny, kQ4OpndD32});
        Set(567, "CT_SET_B", 4, {kQ4OpndType, kQ4OpndAny, kQ4OpndD32});
        Set(533, "CT_DEST", 3, {kQ4OpndImm, kQ4OpndImm});
        Set(536, "CHECK_ANY_CFUNC", 2, {kQ4OpndCFunc});
        Set(537, "CHECK_ANY_FB_CT", 2, {kQ4OpndD32});
        Set(538, "CT_TMR_START", 2, {kQ4OpndD32});
        Set(539, "CT_TMR_STOP", 2, {kQ4OpndD32});
        Set(540, "SFC_BREAK_STEP", 3, {kQ4OpndStep, kQ4OpndImm});
        Set(541, "SFC_BREAK_TRANS", 3, {kQ4OpndTrans, kQ4OpndImm});
        Set(552, "ANY_PTR", 5, {kQ4OpndD32, kQ4OpndType, kQ4OpndAny, kQ4OpndImm});
        Set(553, "CT_ADDR", 3, {kQ4OpndD32, kQ4OpndD32});
        Set(554, "UNLOCK_ALL", 1, {});
        Set(555, "CT_COPY", 4, {kQ4OpndD32, kQ4OpndD32, kQ4OpndD32});
        Set(564, "LOOP_HEAD", 1, {});
        Set(565, "LOOP_GUARD", 2, {kQ4OpndD32});
        Set(568, "VSI_STAMP", 7, {kQ4OpndType, kQ4OpndAny, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm, kQ4OpndImm});
        Set(569, "VSI_CLEAR", 3, {kQ4OpndType, kQ4OpndAny});
    }
};

const Table& TheTable() {
    static const Table t;
    return t;
}

}  // namespace

const Q4OpInfo& Q4Op_Info(u16 opcode) {
    static const Q4OpInfo kNone{};
    return opcode <= kQ4OpMax ? TheTable().rows[opcode] : kNone;
}

u16 Q4Op_Find(const char* mnemonic) {
    const Table& t = TheTable();
    for (u16 op = 1; op <= kQ4OpMax; ++op)
        if (t.rows[op].name && std::strcmp(t.rows[op].name, mnemonic) == 0) return op;
    return 0;
}

u32 Q4Op_Length(const u16* words, u32 avail) {
    if (avail == 0) return 0;
    const Q4OpInfo& r = Q4Op_Info(words[0]);
    if (!r.name) return 0;
    u32 len = r.words;
    if (r.countAt) {
        if (r.countAt >= avail) return 0;
        len += words[r.countAt];
    }
    return len <= avail ? len : 0;
}
