// Ladder programs written as code: the builder emits the words of a program
// with operands encoded for either token width, resolves jump, call, skip
// and step targets given as labels, and produces the program block data as
// the controller stores it (code, then the trailer with the editor-features
// word, whose bit 15 marks 16-bit tokens), the whole ladder.pgm file, and a
// config.pgm holding the default configuration blocks.
//
// Register operands are given as register bit addresses: linear ones (0x400
// is bit 0 of byte 0) or the %T, %M and %ESR windows. With 16-bit tokens a
// window address is moved onto its linear address first, and words and
// bytes beyond the first 64 K bit addresses use the far-bank escapes.
// Operands that cannot be encoded in the chosen width are reported as test
// failures.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"

enum class LadderWidth { k16, k32 };

struct LadderLabel {
    int id = -1;
};

// Register bit addresses of the areas (n counts from 1, as the areas do).
namespace lreg {
constexpr u32 Bit(u32 byte, u32 bit) { return 0x400 + byte * 8 + bit; }
constexpr u32 Word(u32 index) { return 0x400 + index * 16; }  // register word index
constexpr u32 I(u32 n) { return 0x2000 + n - 1; }
constexpr u32 Q(u32 n) { return 0x2800 + n - 1; }
constexpr u32 S(u32 n) { return 0x600 + n - 1; }
constexpr u32 M(u32 n) { return 0x3800 + n - 1; }           // 16-bit programs' %M
constexpr u32 EM(u32 n) { return 0x1001C000 + n - 1; }      // %M window of 32-bit programs
constexpr u32 ET(u32 n) { return 0x10008000 + n - 1; }      // %T window
constexpr u32 ESR(u32 n) { return 0x10030000 + (n - 1) * 16; }
constexpr u32 R(u32 n) { return 0x8000 + (n - 1) * 16; }
constexpr u32 SR(u32 n) { return 0xC00 + (n - 1) * 16; }
}  // namespace lreg

class LadderBuilder {
public:
    explicit LadderBuilder(LadderWidth width = LadderWidth::k32);

    bool Tok16() const { return width_ == LadderWidth::k16; }
    // Word offset of the next instruction.
    u32 Here() const { return static_cast<u32>(words_.size()); }

    // Any opcode of the table with its operands in table order (register
    // bit addresses for register operands, values for literals).
    LadderBuilder& Op(u16 opcode, std::initializer_list<u32> operands = {});
    LadderBuilder& Op(const char* name, std::initializer_list<u32> operands = {});
    // A raw code word (for hand-made faults).
    LadderBuilder& Raw(u16 word);
    // Pieces of instructions with several encodings (see LadderLayout): one
    // operand of the given kind encoded for this width, or inline text
    // padded to whole words (`words` > 0 pads or cuts it to that many words,
    // as the 20-byte formats are).
    LadderBuilder& Operand(LOpd kind, u32 value);
    LadderBuilder& Text(std::string_view bytes, u32 words = 0);

    LadderBuilder& Contact(u32 bit);  // contact word: bit address 0x400..0xFFFF
    LadderBuilder& Contl(u32 bit) { return Op(31, {bit}); }
    LadderBuilder& Not() { return Op(32); }
    LadderBuilder& SetTrue() { return Op(33); }
    LadderBuilder& SetFalse() { return Op(34); }
    LadderBuilder& Or() { return Op(35); }
    LadderBuilder& And() { return Op(36); }
    LadderBuilder& Out(u32 bit) { return Op(38, {bit}); }
    LadderBuilder& OsRise(u32 bit) { return Op(50, {bit}); }
    LadderBuilder& OsFall(u32 bit) { return Op(51, {bit}); }
    LadderBuilder& Set(u32 bit) { return Op(52, {bit}); }
    LadderBuilder& Reset(u32 bit) { return Op(53, {bit}); }
    LadderBuilder& OutNot(u32 bit) { return Op(54, {bit}); }
    LadderBuilder& Pop() { return Op(55); }
    LadderBuilder& Repush() { return Op(56); }
    LadderBuilder& Andn() { return Op(60); }
    LadderBuilder& Orn() { return Op(61); }
    LadderBuilder& Nand() { return Op(62); }
    LadderBuilder& Nor() { return Op(63); }
    LadderBuilder& OrAnd() { return Op(64); }
    LadderBuilder& AndOr() { return Op(65); }
    LadderBuilder& ContEq1(u32 word) { return Op(360, {word}); }
    LadderBuilder& TestW(u32 word, u32 mask) { return Op(362, {word, mask}); }
    LadderBuilder& TestD(u32 word, u32 mask) { return Op(363, {word, mask}); }
    LadderBuilder& MaskW(u32 word, u32 mask) { return Op(364, {word, mask}); }
    LadderBuilder& MaskD(u32 word, u32 mask) { return Op(365, {word, mask}); }
    LadderBuilder& Ret() { return Op(74); }
    LadderBuilder& End() { return Op(9); }

    LadderLabel NewLabel();
    LadderBuilder& Bind(LadderLabel label);
    LadderBuilder& Jmp(LadderLabel target);    // 71, signed 16-bit offset
    LadderBuilder& Jmpl(LadderLabel target);   // 68, signed 32-bit offset
    LadderBuilder& Call(LadderLabel target);   // 73
    LadderBuilder& Calll(LadderLabel target);  // 69
    LadderBuilder& Skipf(LadderLabel target);  // 70, forward only
    LadderBuilder& Step(u32 record, LadderLabel o1, LadderLabel o2, LadderLabel o3, LadderLabel o4);

    // The code words with every label resolved.
    std::vector<u16> Words() const;
    // Program block data: code, then the 10-byte trailer carrying
    // `features` (bit 15 added for 16-bit tokens).
    std::vector<u8> BlockData(u32 features = 0) const;
    // The whole ladder.pgm: CRC-16, reserved word, size, block data.
    std::vector<u8> ProgramFile(u32 features = 0) const;
    // Puts the program into the program block as a download would leave it
    // (data, header, editor-features word).
    void Load(u32 features = 0) const;

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

private:
    enum class Fix { kI16, kI32, kU16 };
    struct Patch {
        u32 at;    // first word of the offset
        u32 base;  // the offset counts from this word
        Fix fix;
        int label;
    };
    void Fail(const std::string& what) const;
    void EncodeOperand(u8 kind, u32 value, u8 span);
    LadderBuilder& Branch(u16 opcode, Fix fix, LadderLabel target);

    LadderWidth width_;
    std::vector<u16> words_;
    std::vector<i64> labels_;  // bound word offset, -1 while unbound
    std::vector<Patch> patches_;
    mutable std::string error_;
};

// Bytes of the trailer after the code.
constexpr u32 kLadderTrailerBytes = 10;

// A config.pgm with the default I/O configuration, an empty security table
// and the default optional tables, each with a valid CRC; a messaging block
// given takes the place of the default one.
std::vector<u8> LadderConfigFile(const std::vector<u8>& smsBlock = {});
