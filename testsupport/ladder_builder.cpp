#include "testsupport/ladder_builder.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"

namespace {

std::string Hex(u32 v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

}  // namespace

LadderBuilder::LadderBuilder(LadderWidth width) : width_(width) {}

void LadderBuilder::Fail(const std::string& what) const {
    if (error_.empty()) error_ = what;
    ADD_FAILURE() << "ladder builder: " << what;
}

LadderBuilder& LadderBuilder::Raw(u16 word) {
    words_.push_back(word);
    return *this;
}

LadderBuilder& LadderBuilder::Operand(LOpd kind, u32 value) {
    EncodeOperand(static_cast<u8>(kind), value, 1);
    return *this;
}

LadderBuilder& LadderBuilder::Text(std::string_view bytes, u32 words) {
    u32 n = words != 0 ? words : static_cast<u32>((bytes.size() + 1) / 2);
    for (u32 k = 0; k < n; ++k) {
        u8 lo = 2 * k < bytes.size() ? static_cast<u8>(bytes[2 * k]) : 0;
        u8 hi = 2 * k + 1 < bytes.size() ? static_cast<u8>(bytes[2 * k + 1]) : 0;
        words_.push_back(static_cast<u16>(lo | (hi << 8)));
    }
    return *this;
}

LadderBuilder& LadderBuilder::Contact(u32 bit) {
    u32 a = LadderRemap(bit);
    if (a < kLadderFirstContact || a > 0xFFFF) Fail("contact word cannot name " + Hex(bit));
    return Raw(static_cast<u16>(a));
}

void LadderBuilder::EncodeOperand(u8 kindByte, u32 value, u8 span) {
    const LOpd kind = static_cast<LOpd>(kindByte);
    auto two = [this](u32 v) {
        words_.push_back(static_cast<u16>(v));
        words_.push_back(static_cast<u16>(v >> 16));
    };
    switch (kind) {
        case LOpd::kLit:
            words_.push_back(static_cast<u16>(value));
            return;
        case LOpd::kLit2:
            two(value);
            return;
        case LOpd::kLitOrReg:
            if (Tok16()) {
                if (LadderRemap(value) > 0xFFFF) Fail("literal-or-register " + Hex(value) + " needs 32-bit tokens");
                words_.push_back(static_cast<u16>(LadderRemap(value)));
            } else {
                two(value);
            }
            return;
        case LOpd::kBit:
            if (!Tok16()) return two(value);
            if (LadderRemap(value) > 0xFFFF) Fail("bit " + Hex(value) + " needs 32-bit tokens");
            words_.push_back(static_cast<u16>(LadderRemap(value)));
            return;
        case LOpd::kShortWord:
            if (!Tok16()) {
                // Only the low 16 bits count, and no window is remapped.
                if (value < kLadderBitFirst || value > 0xFFFF) Fail("short word " + Hex(value) + " out of reach");
                return two(value);
            }
            [[fallthrough]];
        case LOpd::kWord:
        case LOpd::kWordPlain:
        case LOpd::kByte: {
            if (!Tok16()) return two(value);
            const bool bytes = kind == LOpd::kByte;
            u32 a = LadderRemap(value);
            if (a < kLadderBitFirst) {
                Fail("operand " + Hex(value) + " below the register memory");
                return;
            }
            u32 unit = bytes ? 8 : 16;
            u32 index = (a - kLadderBitFirst) / unit;
            // The token names the unit; avoid the two escape values, which
            // any other token of the same unit can replace.
            u32 token = kLadderBitFirst + index * unit;
            if (token <= 0xFFFF) {
                if (token == kLadderFarBank1 || token == kLadderFarBank2) token = kLadderFarBank1 + 2;
                words_.push_back(static_cast<u16>(token));
                return;
            }
            if (kind == LOpd::kWordPlain) {
                Fail("operand " + Hex(value) + " needs a far-bank escape this operand has not");
                return;
            }
            u32 bank1 = bytes ? 8064 : 4032, bank2 = bytes ? 16256 : 8128;
            if (index < bank2) {
                words_.push_back(kLadderFarBank1);
                words_.push_back(static_cast<u16>((index - bank1) * unit));
            } else if (index - bank2 < 0x10000 / unit) {
                words_.push_back(kLadderFarBank2);
                words_.push_back(static_cast<u16>((index - bank2) * unit));
            } else {
                Fail("operand " + Hex(value) + " beyond the far banks");
            }
            (void)span;
            return;
        }
        default:
            Fail("operand layout decoded by its instruction: use Raw()");
            return;
    }
}

LadderBuilder& LadderBuilder::Op(u16 opcode, std::initializer_list<u32> operands) {
    const LadderOp& op = LadderOp_Get(opcode);
    if (opcode >= kLadderOpcodes) {
        Fail("opcode " + std::to_string(opcode) + " is a contact word");
        return *this;
    }
    if (op.layout != nullptr) {
        Fail(std::string(op.name) + " has several encodings: use Raw() and Operand()");
        return *this;
    }
    if (operands.size() != op.operandCount) {
        Fail(std::string(op.name ? op.name : "opcode") + " " + std::to_string(opcode) + " takes " +
             std::to_string(op.operandCount) + " operands");
        return *this;
    }
    words_.push_back(opcode);
    u8 i = 0;
    for (u32 v : operands) EncodeOperand(static_cast<u8>(op.operands[i++]), v, op.wordSpan);
    return *this;
}

LadderBuilder& LadderBuilder::Op(const char* name, std::initializer_list<u32> operands) {
    const LadderOp* op = LadderOp_Find(name);
    if (op == nullptr) {
        Fail(std::string("no instruction named ") + name);
        return *this;
    }
    return Op(op->code, operands);
}

LadderLabel LadderBuilder::NewLabel() {
    labels_.push_back(-1);
    return LadderLabel{static_cast<int>(labels_.size()) - 1};
}

LadderBuilder& LadderBuilder::Bind(LadderLabel label) {
    if (label.id < 0 || label.id >= static_cast<int>(labels_.size()))
        Fail("bind of an unknown label");
    else
        labels_[label.id] = Here();
    return *this;
}

LadderBuilder& LadderBuilder::Branch(u16 opcode, Fix fix, LadderLabel target) {
    words_.push_back(opcode);
    u32 at = Here();
    u32 n = fix == Fix::kI32 ? 2 : 1;
    for (u32 k = 0; k < n; ++k) words_.push_back(0);
    patches_.push_back({at, at + n, fix, target.id});
    return *this;
}

LadderBuilder& LadderBuilder::Jmp(LadderLabel t) { return Branch(71, Fix::kI16, t); }
LadderBuilder& LadderBuilder::Jmpl(LadderLabel t) { return Branch(68, Fix::kI32, t); }
LadderBuilder& LadderBuilder::Call(LadderLabel t) { return Branch(73, Fix::kI16, t); }
LadderBuilder& LadderBuilder::Calll(LadderLabel t) { return Branch(69, Fix::kI32, t); }
LadderBuilder& LadderBuilder::Skipf(LadderLabel t) { return Branch(70, Fix::kU16, t); }

LadderBuilder& LadderBuilder::Step(u32 record, LadderLabel o1, LadderLabel o2, LadderLabel o3, LadderLabel o4) {
    words_.push_back(361);
    EncodeOperand(static_cast<u8>(LOpd::kWord), record, 3);
    for (LadderLabel l : {o1, o2, o3, o4}) {
        u32 at = Here();
        words_.push_back(0);
        words_.push_back(0);
        patches_.push_back({at, at + 2, Fix::kI32, l.id});
    }
    return *this;
}

std::vector<u16> LadderBuilder::Words() const {
    std::vector<u16> out = words_;
    for (const Patch& p : patches_) {
        if (p.label < 0 || p.label >= static_cast<int>(labels_.size()) || labels_[p.label] < 0) {
            Fail("jump to an unbound label");
            continue;
        }
        i64 d = labels_[p.label] - static_cast<i64>(p.base);
        switch (p.fix) {
            case Fix::kI16:
                if (d < -32768 || d > 32767) Fail("16-bit jump out of reach");
                out[p.at] = static_cast<u16>(d);
                break;
            case Fix::kU16:
                if (d < 0 || d > 0xFFFF) Fail("skip must go forward");
                out[p.at] = static_cast<u16>(d);
                break;
            case Fix::kI32:
                out[p.at] = static_cast<u16>(d);
                out[p.at + 1] = static_cast<u16>(static_cast<u32>(d) >> 16);
                break;
        }
    }
    return out;
}

std::vector<u8> LadderBuilder::BlockData(u32 features) const {
    std::vector<u16> w = Words();
    std::vector<u8> data(2 * w.size() + kLadderTrailerBytes, 0);
    for (size_t i = 0; i < w.size(); ++i) PutLe16(&data[2 * i], w[i]);
    if (Tok16()) features |= kFeatTok16;
    // Trailer: a pad byte, the editor-features word, five bytes ending in a
    // value below 254 (the mark of a trailer).
    PutLe32(&data[data.size() - 9], features);
    return data;
}

std::vector<u8> LadderBuilder::ProgramFile(u32 features) const {
    std::vector<u8> data = BlockData(features);
    std::vector<u8> file(kNvHeaderBytes + data.size());
    PutLe16(&file[0], crc16(data.data(), static_cast<u32>(data.size())));
    PutLe32(&file[4], static_cast<u32>(data.size()));
    std::copy(data.begin(), data.end(), file.begin() + kNvHeaderBytes);
    return file;
}

void LadderBuilder::Load(u32 features) const {
    std::vector<u8> data = BlockData(features);
    nv_write(ladder, data.data(), static_cast<u32>(data.size()));
    ladder_bl.SetHeader(crc16(data.data(), static_cast<u32>(data.size())), static_cast<u32>(data.size()));
    nv_get_features();
}

std::vector<u8> LadderConfigFile(const std::vector<u8>& smsBlock) {
    std::vector<u8> file;
    auto block = [&file](const std::vector<u8>& data) {
        u8 h[kNvHeaderBytes] = {};
        PutLe16(h, crc16(data.data(), static_cast<u32>(data.size())));
        PutLe32(h + 4, static_cast<u32>(data.size()));
        file.insert(file.end(), h, h + kNvHeaderBytes);
        file.insert(file.end(), data.begin(), data.end());
    };
    // I/O configuration: three u32 0xFF (no module configured).
    block({0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0});
    // Security table: size 0 and the CRC of nothing.
    u8 sec[4] = {};
    PutLe16(sec + 2, crc16(nullptr, 0));
    file.insert(file.end(), sec, sec + 4);
    // Protocol drivers, SMS, data log, parameters, CANopen, MQTT.
    const std::vector<u8> graph = {8, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) block(i == 1 && !smsBlock.empty() ? smsBlock : graph);
    return file;
}
