// Analog conversion and calibration against the simulated modules: scaling
// and saturation per row and type code, the filter, thermocouples and the
// Pt100 against the reference functions (computed by a Python script from
// the published coefficients), the calibration sub-commands and the
// constants in the calibration EEPROM, the analog outputs.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "io/analog.h"
#include "io_fixture.h"

namespace {

constexpr u8 kBank = 0x6C;  // the bank code the programming software writes with

class AnalogTest : public IoTest {
protected:
    // Configuration with type codes per channel (words 0-3) and the filter shift.
    static std::vector<u8> Codes(std::vector<u8> codes, u8 shift = 0) {
        std::vector<u8> c = ModeConfig(0);
        for (size_t i = 0; i < codes.size(); ++i) c[2 * i] = codes[i];
        c[8] = shift;
        return c;
    }
    // One calibrate request to a slot; the answer's bytes.
    std::vector<u8> Cal(int slot, std::vector<u8> request) {
        u8 buf[67] = {};
        buf[0] = static_cast<u8>(request.size() + 2);
        buf[2] = static_cast<u8>(slot);
        std::memcpy(buf + 3, request.data(), request.size());
        EXPECT_EQ(IoCal(buf), 0);
        return std::vector<u8>(buf + 1, buf + 1 + buf[0]);
    }
    // Sets constants with sub-command 3.
    void SetConstants(int slot, u32 mask, std::vector<std::pair<u16, i16>> pairs) {
        std::vector<u8> r = {3, 0, 0, 0, 0, 0};
        PutLe32(&r[2], mask);
        for (auto [gain, offset] : pairs) {
            r.push_back(static_cast<u8>(gain));
            r.push_back(static_cast<u8>(gain >> 8));
            r.push_back(static_cast<u8>(offset));
            r.push_back(static_cast<u8>(static_cast<u16>(offset) >> 8));
        }
        EXPECT_EQ(Cal(slot, r), std::vector<u8>{0});
    }
    std::vector<i16> Inputs(int slot, u32 words) {
        std::vector<u8> image(2 * words + 2, 0xEE);
        IoGetAIs(image.data(), slot, 0, words);
        EXPECT_EQ(image[2 * words], 0xEE);  // nothing past the message's words
        std::vector<i16> v(words);
        for (u32 i = 0; i < words; ++i) v[i] = static_cast<i16>(GetLe16(&image[2 * i]));
        return v;
    }
    // Row 4's converter brings one channel per settled reading.
    std::vector<i16> SettledRow4() {
        std::vector<i16> v;
        for (int i = 0; i < 6; ++i) {
            clock.AdvanceMs(100);
            v = Inputs(0, 4);
        }
        return v;
    }
};

struct ScaleCase {
    u8 code;
    u16 gain;
    i16 offset;
    u16 raw;   // the channel's reading, 16-bit (the converter keeps 12)
    i16 want;
};

// Rows 0-3: gain and offset of the calibration slot 2ch + (code != 0),
// saturation at both ends, 4-20 mA with 3 mA giving -2000.
TEST_F(AnalogTest, BaseModuleScalingByTypeCode) {
    const ScaleCase cases[] = {
        {0, 16384, 0, 8000, 8000},
        {0, 16384, 100, 8000, 8100},
        {1, 8192, 0, 16000, 8000},
        {0, 16384, -9000, 8000, 0},            // negative product
        {0, 40000, 0, 65520, 32767},           // above 2^29
        {0, 65535, 32767, 65520, 32767},       // (o + v) x g beyond 32 bits
        {2, 16384, 0, 4800, -2000},            // 3 mA
        {2, 16384, 0, 32000, 32000},           // 20 mA
        {2, 16384, 0, 6400, 0},                // 4 mA
        {2, 16384, 0, 40000, 32000},           // clipped at 20 mA
    };
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << int(c.code) << " raw " << c.raw << " gain " << c.gain);
        IoDriver_Reset();
        IoModules_Reset();
        Bring(0, 0xA00F, Codes({c.code, c.code}));
        SetConstants(0, c.code == 0 ? 0x5 : 0xA, {{c.gain, c.offset}, {c.gain, c.offset}});
        IoModules_SetAnalogInput(0, 0, c.raw);
        IoModules_SetAnalogInput(0, 1, c.raw);
        std::vector<i16> v = Inputs(0, 4);
        EXPECT_EQ(v[0], c.want);
        EXPECT_EQ(v[1], c.want);
        EXPECT_EQ(v[2], 0);
        EXPECT_EQ(v[3], 0);
    }
}

// The multiplexer leaves charge behind: a channel below the one before is
// lowered by 1/264 of the step.
TEST_F(AnalogTest, FallingChannelIsCorrectedAndDefaultsApply) {
    Bring(0, 0xA60F, Codes({0, 0, 0, 0}));
    EXPECT_EQ(IoDriver_Flags(0) & 1, 0);  // no signature: defaults
    IoModules_SetAnalogInput(0, 0, 3000 << 4);
    IoModules_SetAnalogInput(0, 1, 360 << 4);
    IoModules_SetAnalogInput(0, 2, 2000 << 4);
    std::vector<i16> v = Inputs(0, 4);
    // Default gain 8771 on the voltage slots.
    EXPECT_EQ(v[0], (3000 * 16 * 8771) >> 14);
    EXPECT_EQ(v[1], ((360 - 10) * 16 * 8771) >> 14);
    EXPECT_EQ(v[2], (2000 * 16 * 8771) >> 14);
}

TEST_F(AnalogTest, FilterShiftThreeStartsAtTheReadingAndApproachesByAnEighth) {
    Bring(0, 0xA00F, Codes({0, 0}, 3));
    SetConstants(0, 0x1, {{16384, 0}});
    IoModules_SetAnalogInput(0, 0, 8000);
    EXPECT_EQ(Inputs(0, 4)[0], 8000);
    IoModules_SetAnalogInput(0, 0, 16000);
    EXPECT_EQ(Inputs(0, 4)[0], 9000);
    EXPECT_EQ(Inputs(0, 4)[0], 9875);
    // A new configuration restarts the filter at the reading.
    Bring(0, 0xA00F, Codes({0, 0}, 3));
    SetConstants(0, 0x1, {{16384, 0}});
    EXPECT_EQ(Inputs(0, 4)[0], 16000);
}

struct Reference {
    int code;
    double t;
    int reading;
};

std::vector<Reference> ReferenceCases() {
    std::string cmd = std::string("/usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/io/analog_reference.py";
    std::vector<Reference> out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    Reference r;
    while (std::fscanf(p, "%d %lf %d", &r.code, &r.t, &r.reading) == 3) out.push_back(r);
    EXPECT_EQ(pclose(p), 0);
    return out;
}

// Every thermocouple type across its range against a cold junction at 25
// degree, and the Pt100, within half a degree of the reference functions.
TEST_F(AnalogTest, TemperaturesFollowTheReferenceFunctions) {
    std::vector<Reference> cases = ReferenceCases();
    ASSERT_EQ(cases.size(), 9u * 41u);
    int lastCode = -1;
    for (const Reference& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code << " at " << c.t);
        if (c.code != lastCode) {
            IoDriver_Reset();
            IoModules_Reset();
            Bring(0, 0xA20F, Codes({static_cast<u8>(c.code), 0}));
            IoModules_SetTemperature(0, 25 * 16);
            lastCode = c.code;
        }
        IoModules_SetAnalogInput(0, 0, static_cast<u16>(static_cast<i16>(c.reading)));
        std::vector<i16> v = SettledRow4();
        // The word holds -280 to 3276 degree: above 1638 it reads negative
        // as a signed word.
        int word = v[0] < -5600 ? v[0] + 65536 : v[0];
        EXPECT_NEAR(word / 20.0, c.t, 0.5);
        EXPECT_EQ(v[2], c.code == 16 ? 0 : 1000);  // cold junction 25 degree in 1/40
    }
}

TEST_F(AnalogTest, ThermocoupleEndsAndUnknownCodes) {
    struct Case {
        u8 code;
        i16 reading;
        i16 want;  // 0.05 degree
    } cases[] = {
        {25, 32767, 1380 * 20}, {25, -32768, -280 * 20}, {24, 32767, 770 * 20}, {31, -32768, -10 * 20},
        {5, 4000, (4000 * 39226) >> 13},  // an unknown code is a voltage input
        {0, 8000, 32767},                 // clip limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << int(c.code) << " reading " << c.reading);
        IoDriver_Reset();
        IoModules_Reset();
        Bring(0, 0xA20F, Codes({c.code, 0}));
        IoModules_SetAnalogInput(0, 0, static_cast<u16>(c.reading));
        EXPECT_EQ(SettledRow4()[0], c.want);
    }
}

// The cold-junction terms: linear and quadratic part per type, type B
// quadratic only, negative junction temperatures with signed arithmetic.
TEST_F(AnalogTest, ColdJunctionTerms) {
    Bring(0, 0xA20F, Codes({24, 0}));
    IoModules_SetTemperature(0, -10 * 16);
    IoModules_SetAnalogInput(0, 0, 0);
    std::vector<i16> v = SettledRow4();
    EXPECT_EQ(v[2], -400);
    // J at -10 degree of junction and no thermoelectric voltage reads about
    // -10 degree.
    EXPECT_NEAR(v[0] / 20.0, -10.0, 0.5);
}

TEST_F(AnalogTest, ConverterThatDoesNotAnswerKeepsTheLastValue) {
    Bring(0, 0xA20F, Codes({0, 0}));
    IoModules_SetAnalogInput(0, 0, 4000);
    i16 before = SettledRow4()[0];
    EXPECT_EQ(before, (4000 * 39226) >> 13);
    IoModules_SetNoAck(0, true);
    IoModules_SetAnalogInput(0, 0, 1000);
    EXPECT_EQ(SettledRow4()[0], before);
    IoModules_SetNoAck(0, false);
    EXPECT_EQ(SettledRow4()[0], (1000 * 39226) >> 13);
}

// Calibration over the calibrate message: enter calibration mode, set the
// constants, store them, leave; a new configuration loads them back.
TEST_F(AnalogTest, CalibrationIsStoredAndLoadedAtConfiguration) {
    Bring(0, 0xA00F, Codes({0, 1}));
    IoModules_SetAnalogInput(0, 0, 8000);
    EXPECT_EQ(Cal(0, {2, 0, 1, 0, 0, 3, 0}), std::vector<u8>{0});
    EXPECT_EQ(IoDriver_Flags(0) & 2, 2);
    // While calibrating, the input message writes nothing.
    std::vector<u8> image(8, 0xEE);
    IoGetAIs(image.data(), 0, 0, 4);
    EXPECT_EQ(image, std::vector<u8>(8, 0xEE));
    // Mask 0x0005: pairs one and two go to channels 0 and 2; bits 16-23 and
    // pairs the request does not carry are left alone.
    SetConstants(0, 0x00FF0005, {{16384, 10}, {8192, -5}});
    std::vector<u8> gains = Cal(0, {14});
    ASSERT_EQ(gains.size(), 34u);
    EXPECT_EQ(GetLe16(&gains[2]), 16384);
    EXPECT_EQ(GetLe16(&gains[4]), 13213);  // default of slot 1
    EXPECT_EQ(GetLe16(&gains[6]), 8192);
    std::vector<u8> offsets = Cal(0, {15});
    ASSERT_EQ(offsets.size(), 34u);
    EXPECT_EQ(static_cast<i16>(GetLe16(&offsets[2])), 10);
    EXPECT_EQ(static_cast<i16>(GetLe16(&offsets[6])), -5);
    // A read in calibration mode converts with the new constants.
    std::vector<u8> read = Cal(0, {1});
    ASSERT_EQ(read.size(), 46u);
    EXPECT_EQ(GetLe16(&read[2]), 8010);
    EXPECT_EQ(Cal(0, {4, kBank}), std::vector<u8>{0});
    EXPECT_EQ(IoDriver_Flags(0) & 1, 1);
    EXPECT_EQ(IoModules_CalByte(0, 0), 0x00);
    EXPECT_EQ(IoModules_CalByte(0, 1), 0x40);
    EXPECT_EQ(IoModules_CalByte(0, 64), 0x9E);
    EXPECT_EQ(IoModules_CalByte(0, 65), 0xF1);
    EXPECT_EQ(Cal(0, {7}), std::vector<u8>{0});
    EXPECT_EQ(IoDriver_Flags(0) & 2, 0);

    IoDriver_Reset();
    Bring(0, 0xA00F, Codes({0, 1}));
    EXPECT_EQ(IoDriver_Flags(0) & 1, 1);
    EXPECT_EQ(Inputs(0, 4)[0], 8010);
    // Marked invalid, the next configuration takes the defaults again.
    EXPECT_EQ(Cal(0, {6, kBank}), std::vector<u8>{0});
    EXPECT_EQ(IoDriver_Flags(0) & 1, 0);
    Bring(0, 0xA00F, Codes({0, 1}));
    EXPECT_EQ(Inputs(0, 4)[0], (8000 * 8771) >> 14);
    EXPECT_EQ(Cal(0, {5, kBank}), std::vector<u8>{0});
    Bring(0, 0xA00F, Codes({0, 1}));
    EXPECT_EQ(Inputs(0, 4)[0], 8010);
}

TEST_F(AnalogTest, SubCommandAnswers) {
    Bring(0, 0xA00F, Codes({0, 0}));
    EXPECT_EQ(Cal(0, {9, 1, 2}), (std::vector<u8>{0, 1, 2}));   // no such sub-command
    EXPECT_EQ(Cal(0, {27, 1}), (std::vector<u8>{0, 1}));        // row 25 only
    EXPECT_EQ(Cal(1, {0}).size(), 1u);                          // empty slot
    // Requests cut short: no pair is read past the request.
    EXPECT_EQ(Cal(0, {3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}), std::vector<u8>{0});
    std::vector<u8> gains = Cal(0, {14});
    EXPECT_EQ(GetLe16(&gains[2]), 8771);
}

// Row-25 input mode: type codes and the expander's range lines.
TEST_F(AnalogTest, Row25InputMode) {
    Bring(0, 0x9F0E, Codes({0, 0, 0, 0}));
    EXPECT_EQ(Cal(0, {27, 1}), std::vector<u8>{0});
    IoExpanderState e;
    ASSERT_TRUE(IoModules_Expander(0x4C, &e));
    EXPECT_EQ(e.latch & 0x01, 0);
    EXPECT_EQ((e.latch >> 8) & 0x1E, 0);
    std::vector<u8> id = Cal(0, {0});
    EXPECT_EQ(id[20], 1);
    EXPECT_EQ(id[23], 1);
}

int Row4Dac(i64 w, i64 gain) { return static_cast<int>(std::min<i64>(4095, (w * gain) >> 18)); }

// Analog outputs: row 4's DACs through the calibration of their slots, the
// slot-1 DAC modules with the stored constants loaded back.
TEST_F(AnalogTest, AnalogOutputsReachTheConverters) {
    std::vector<u8> c = Codes({0, 0, 0, 1});
    Bring(0, 0xA20F, c);
    std::vector<u8> words(24, 0);
    PutLe16(&words[16], 16000);
    PutLe16(&words[18], 16000);
    IoPutAQs(words.data(), 0, 0, 12);
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), Row4Dac(16000, 32801));
    EXPECT_EQ(IoModules_AnalogOutput(0, 1), Row4Dac(16000, 32586));
    PutLe16(&words[16], 65535);
    IoPutAQs(words.data(), 0, 0, 12);
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), 4095);

    Bring(1, 0x8F0F, Codes({0, 0, 0, 0}));
    SetConstants(1, 0x1, {{16384, 100}});
    EXPECT_EQ(Cal(1, {4, kBank}), std::vector<u8>{0});
    IoDriver_Reset();
    Bring(1, 0x8F0F, Codes({0, 0, 0, 0}));
    EXPECT_EQ(IoDriver_Flags(1) & 1, 1);  // the stored DAC constants came back
    std::vector<u8> aq(8, 0);
    PutLe16(&aq[0], 32000);
    IoPutAQs(aq.data(), 1, 0, 4);
    EXPECT_EQ(IoModules_AnalogOutput(1, 0), 100 + ((32000 * 16384) >> 18));
}

// Rows 21, 23 and 25: the output words become 16-bit frames on shift chain
// 1, which the module's converters take by channel (and, on row 25, range).
struct ChainDacCase {
    u16 ident;
    u8 code;   // row 25: output code of the channel (configuration 0x78 / 0x7A)
    int ch;
    u16 gain;  // 0: the default constants
    i16 offset;
    u16 word;
    int want;  // the converter code
};

int ChainDac(i64 w, i64 gain, i64 offset) { return static_cast<int>(std::clamp<i64>(offset + ((w * gain) >> 18), 0, 4095)); }

TEST_F(AnalogTest, ChainOutputsReachTheModuleConverters) {
    const ChainDacCase cases[] = {
        {0x3F0E, 0, 0, 0, 0, 16000, ChainDac(16000, 32767, 0)},
        {0x3F0E, 0, 3, 0, 0, 32767, 4095},
        {0x3F0E, 0, 2, 0, 0, 65535, 4095},              // clipped at the top
        {0x3F0E, 0, 1, 16384, 100, 8000, ChainDac(8000, 16384, 100)},
        {0x3F0E, 0, 1, 16384, -300, 1000, 0},           // clipped at 0
        {0x1F0E, 0, 3, 30000, 7, 20000, ChainDac(20000, 30000, 7)},
        {0x9F0E, 0, 0, 0, 0, 16000, ChainDac(16000, 32767, 0)},           // voltage: slot 8
        {0x9F0E, 1, 1, 0, 0, 16000, ChainDac(16000, 32767, 0)},           // current: slot 11
        {0x9F0E, 1, 1, 20000, 50, 16000, ChainDac(16000, 20000, 50)},
        {0x9F0E, 2, 0, 20000, 0, 32000, ChainDac(32000 * 4 / 5 + 6400, 20000, 0)},  // 4-20 mA
        {0x9F0E, 2, 1, 0, 0, 0, ChainDac(6400, 32767, 0)},                // 4 mA
        {0x9F0E, 5, 0, 0, 0, 1234, 1234},               // other codes: the word itself
    };
    for (const ChainDacCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.ident << std::dec << " code " << int(c.code) << " ch " << c.ch
                                        << " word " << c.word);
        IoDriver_Reset();
        IoModules_Reset();
        Ssp2_Reset();
        std::vector<u8> cfg = Codes({0, 0, 0, 0});
        const bool row25 = c.ident == 0x9F0E;
        cfg[row25 && c.ch == 0 ? 0x78 : 0x7A] = c.code;
        Bring(0, c.ident, cfg);
        // Row 25 calibrates its outputs in slots 8 + 2ch (voltage) and
        // 9 + 2ch (current), rows 21 and 23 in slot 8 + ch.
        int slot = row25 ? 8 + 2 * c.ch + (c.code != 0 ? 1 : 0) : 8 + c.ch;
        if (c.gain != 0) SetConstants(0, 1u << slot, {{c.gain, c.offset}});
        std::vector<u8> words(8, 0);
        PutLe16(&words[2 * c.ch], c.word);
        IoPutAQs(words.data(), 0, 0, 4);
        EXPECT_EQ(IoModules_AnalogOutput(0, c.ch), c.want);
        EXPECT_EQ(IoModules_AnalogOutputRange(0, c.ch), row25 ? (c.code == 0 ? 1 : 0) : 1);
        u32 frame = static_cast<u32>(c.want | 0x1000 | (c.ch << 14) | (row25 && c.code == 0 ? 0x8000 : 0));
        if (c.ch == (row25 ? 1 : 3)) EXPECT_EQ(IoModules_ChainOutput(1), frame);  // the last frame sent
        // The other channels got their own frames with word 0.
        for (int k = 0; k < (row25 ? 2 : 4); ++k)
            if (k != c.ch && c.gain == 0) EXPECT_EQ(IoModules_AnalogOutput(0, k), 0) << k;
    }
}

// Frames the module does not take, the calibration outputs, and the last
// output words in the answer of sub-command 1.
TEST_F(AnalogTest, ChainConvertersTakeOnlyTheirFrames) {
    Bring(0, 0x9F0E, Codes({0, 0, 0, 0}));
    Ssp2_Xch(0x0123, 0xFFFF & ~0x0123, 1);          // bit 12 clear: not a converter frame
    Ssp2_Xch(0x3456, 0xFFFF & ~0x3456, 1);          // bit 13 set
    Ssp2_Xch(0x1000 | 0x0777, 0xFFFF & ~0x1777, 2); // another chain
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), 0);
    EXPECT_EQ(IoModules_AnalogOutputRange(0, 2), -1);  // two outputs only

    // Calibration mode writes the request's words out and answers them back.
    std::vector<u8> req = {2, 0, 0, 0, 0, 0, 0, 0};
    for (u16 w : {u16{32767}, u16{16000}, u16{0}, u16{0}}) {
        req.push_back(static_cast<u8>(w));
        req.push_back(static_cast<u8>(w >> 8));
    }
    EXPECT_EQ(Cal(0, req), std::vector<u8>{0});
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), 4095);
    EXPECT_EQ(IoModules_AnalogOutput(0, 1), ChainDac(16000, 32767, 0));
    std::vector<u8> in = Cal(0, {1});
    ASSERT_EQ(in.size(), 26u);
    EXPECT_EQ(GetLe16(&in[18]), 32767);
    EXPECT_EQ(GetLe16(&in[20]), 16000);
    // Output messages do nothing in calibration mode.
    std::vector<u8> words(8, 0);
    IoPutAQs(words.data(), 0, 0, 4);
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), 4095);
    EXPECT_EQ(Cal(0, {7}), std::vector<u8>{0});
    IoPutAQs(words.data(), 0, 0, 4);
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), 0);
}

}  // namespace
