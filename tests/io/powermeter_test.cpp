// Power-meter modules against the simulated metering device (its registers
// scripted by the test), and the row-7 overcurrent protection on the
// hand-advanced clock.
#include <cmath>
#include <cstring>
#include <vector>

#include "io/powermeter.h"
#include "io_fixture.h"

namespace {

constexpr u32 R(u32 n) { return 0x8000 + 16 * (n - 1); }  // %Rn

class PowerMeterTest : public IoTest {
protected:
    std::vector<float> Floats() {
        std::vector<u8> image(56, 0);
        IoGetAIs(image.data(), 0, 0, 28);
        std::vector<float> f(14);
        std::memcpy(f.data(), image.data(), 56);
        return f;
    }
    void Script() {
        const u32 volts[3] = {500000, 510000, 520000}, amps[3] = {100000, 200000, 300000};
        for (int k = 0; k < 3; ++k) {
            IoModules_SetMeterRegister(0, static_cast<u8>(0x0D + k), volts[k]);
            IoModules_SetMeterRegister(0, static_cast<u8>(0x0A + k), amps[k]);
            IoModules_SetMeterRegister(0, static_cast<u8>(0x01 + k), static_cast<u32>(100 * (k + 1)));
            IoModules_SetMeterRegister(0, static_cast<u8>(0x04 + k), static_cast<u16>(50 - 50 * k));
        }
        IoModules_SetMeterRegister(0, 0x10, 0xF000 | 960);  // 60 Hz; the top bits are not the frequency
        IoModules_SetMeterRegister(0, 0x21, 100);
        IoModules_SetMeterRegister(0, 0x22, 50);
        IoModules_SetMeterRegister(0, 0x19, 0x00A5C3);
    }
};

TEST_F(PowerMeterTest, FourteenFloatsFromTheDevice) {
    Bring(0, 0x500F, ModeConfig(0));
    EXPECT_EQ(IoModules_MeterSetup(0), 0x04);
    EXPECT_EQ(IoModules_MeterRegister(0, 0x93), 0x04u);
    EXPECT_EQ(IoModules_MeterRegister(0, 0x94), 0x78u);
    Script();
    Floats();
    clock.AdvanceMs(200);
    std::vector<float> f = Floats();
    // The same quantities computed here from the device's registers.
    const double lpf = std::sqrt(1 + std::pow(960 * 0.000240385, 2));
    const double volts[3] = {500000, 510000, 520000}, amps[3] = {100000, 200000, 300000};
    const double act[3] = {100, 200, 300}, react[3] = {50, 0, -50};
    double w = 0, var = 0, kwh = 0;
    for (int k = 0; k < 3; ++k) {
        EXPECT_FLOAT_EQ(f[k], static_cast<float>(volts[k] * 0.000419504 * lpf));
        EXPECT_FLOAT_EQ(f[3 + k], static_cast<float>(amps[k] * 3.077192e-06));
        w += act[k] * 1.87729e-08 * 3.6e10 / 2000;
        var += react[k] * 1.87729e-08 * 3.6e10 / 2000;
        kwh += 2 * act[k] * 1.87729e-08;
    }
    const double va = std::sqrt(w * w + var * var);
    EXPECT_FLOAT_EQ(f[6], 60.0f);
    EXPECT_NEAR(f[7], w, 1e-3);
    EXPECT_NEAR(f[8], w / va, 1e-6);
    EXPECT_NEAR(f[9], va, 1e-3);
    EXPECT_NEAR(f[10], var, 1e-3);
    EXPECT_NEAR(f[11], kwh, 1e-9);
    EXPECT_FLOAT_EQ(f[12], static_cast<float>(100 * 4.1947 * lpf));
    EXPECT_FLOAT_EQ(f[13], static_cast<float>(50 * 0.0345036));
    // Read again before 0.1 s: the powers are kept.
    clock.AdvanceMs(50);
    EXPECT_NEAR(Floats()[7], w, 1e-3);
    // The status register is the digital inputs.
    u8 di[4] = {};
    IoGetIs(di, 0, 0, 32);
    EXPECT_EQ(di[0], 0xC3);
    EXPECT_EQ(di[1], 0xA5);
}

TEST_F(PowerMeterTest, NoCurrentGivesNoPowerAndBitSixClearsTheEnergy) {
    Bring(0, 0x500F, ModeConfig(0));
    Floats();
    clock.AdvanceMs(200);
    std::vector<float> f = Floats();
    EXPECT_EQ(f[7], 0.0f);
    EXPECT_EQ(f[8], 0.0f);
    EXPECT_EQ(f[9], 0.0f);
    Script();
    Floats();
    EXPECT_GT(Floats()[11], 0.0f);
    u8 q[4] = {0x40, 0, 0, 0};
    IoPutQs(q, 0, 0, 8);
    EXPECT_NEAR(Floats()[11], 600 * 1.87729e-08, 1e-12);
    // A device that does not answer adds no energy.
    IoModules_SetNoAck(0, true);
    float before = Floats()[11];
    EXPECT_EQ(Floats()[11], before);
}

TEST_F(PowerMeterTest, SettingsAreWrittenWhenTheyChange) {
    Bring(0, 0x500F, ModeConfig(0));
    Script();
    Floats();
    float out[14] = {1, 1, 1, 1, 1, 1, 0.5f, 0, 0, 0.01f, 100, 0, 50, 2};
    u8 words[56];
    std::memcpy(words, out, sizeof out);
    PutLe16(words + 44, 7);
    PutLe16(words + 46, 300);
    IoPutAQs(words, 0, 0, 28);
    const double lpf = std::sqrt(1 + std::pow(960 * 0.000240385, 2));
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9B), static_cast<u32>(0.01 / 3.84e-05 + 0.5));
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9E), static_cast<u32>(100 * 0.233628 / lpf));
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9D), 7u);
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9C), 300u);
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9F), static_cast<u32>(50 / 4.1947 / lpf));
    EXPECT_EQ(IoModules_MeterRegister(0, 0xA0), static_cast<u32>(2 / 0.0345036));
    EXPECT_EQ(IoModules_MeterRegister(0, 0xBF) & 0xFF, static_cast<u32>(static_cast<u8>(static_cast<i8>(
                                                          std::lround(-0.25 / (960 * 2.7e-05))))));
    IoModules_SetMeterRegister(0, 0x9B, 0);
    IoPutAQs(words, 0, 0, 28);
    EXPECT_EQ(IoModules_MeterRegister(0, 0x9B), 0u);  // unchanged: not written again
}

// Row 7's inverse-time element: the time to trip by curve, time dial and
// multiple of the pick-up; and the instantaneous element.
struct CurveCase {
    int curve, td;
    u16 value, pickup;
    double seconds;
};

class ProtectionTest : public IoTest {
protected:
    void Start(std::vector<std::pair<u32, i16>> words) {
        std::vector<u8> c = ModeConfig(0x8000);
        PutLe32(&c[0x3C], 100);  // %R100
        Bring(0, 0x7F0E, c);
        u8 req[67] = {24, 0, 0, 3, 0, 0x0F, 0, 0, 0};
        for (int k = 0; k < 4; ++k) PutLe16(req + 9 + 4 * k, 16384);
        IoCal(req);
        for (u32 i = 0; i < 14; ++i) Set(i, 0);
        for (auto [w, v] : words) Set(w, static_cast<u16>(v));
    }
    void Set(u32 w, u16 v) { PlcReg_Set(R(100 + w), &v, 16); }
    u16 Get(u32 w) {
        u16 v = 0;
        PlcReg_Get(&v, R(100 + w), 16);
        return v;
    }
    void Scan() {
        u16 ai[5];
        IoGetAIs(reinterpret_cast<u8*>(ai), 0, 0, 5);
    }
};

TEST_F(ProtectionTest, InverseTimeCurves) {
    const CurveCase cases[] = {
        {4, 10, 16000, 1600, 0.14 / (std::pow(10, 0.02) - 1)},  // 2.97 s
        {5, 10, 16000, 3200, 13.5 / 4},
        {6, 5, 16000, 4000, 0.5 * 80 / 15},
        {0, 10, 15360, 5120, 6.407 / 8 + 0.025},
        {3, 20, 16000, 8000, 2 * 0.05 / (std::pow(2, 0.04) - 1)},
        {9, 10, 16000, 8000, 80.0 / 3},  // curve clamped to 6
    };
    for (const CurveCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "curve " << c.curve << " TD " << c.td);
        IoDriver_Reset();
        IoModules_Reset();
        Start({{6, 0x1}, {7, static_cast<i16>(c.pickup)}, {8, static_cast<i16>(c.curve)}, {9, static_cast<i16>(c.td)},
               {10, 10}});
        IoModules_SetAnalogInput(0, 0, c.value);
        Scan();
        int ms = 0;
        while (Get(13) == 0 && ms < 40000) {
            clock.AdvanceMs(10);
            ms += 10;
            Scan();
        }
        EXPECT_NEAR(ms / 1000.0, c.seconds, 0.011);
        EXPECT_EQ(Get(12), 1);
        // Below the pick-up the element resets within its reset time (1 s).
        IoModules_SetAnalogInput(0, 0, 0);
        for (int i = 0; i < 110 && Get(13) != 0; ++i) {
            clock.AdvanceMs(10);
            Scan();
        }
        EXPECT_EQ(Get(13), 0);
        EXPECT_EQ(Get(12), 1);  // the trip bits stay latched
    }
}

TEST_F(ProtectionTest, InstantaneousElement) {
    Start({{0, 0x3}, {1, 1000}, {2, 0}});
    IoModules_SetAnalogInput(0, 1, 2000);
    Scan();
    EXPECT_EQ(Get(5), 0);  // seen, not yet tripped
    Scan();
    EXPECT_EQ(Get(5), 1);
    EXPECT_EQ(Get(4), 0x2);
    IoModules_SetAnalogInput(0, 1, 0);
    Scan();
    EXPECT_EQ(Get(5), 0);
    // With a delay of 100 ms.
    Set(2, 100);
    IoModules_SetAnalogInput(0, 0, 2000);
    Scan();
    clock.AdvanceMs(90);
    Scan();
    EXPECT_EQ(Get(5), 0);
    clock.AdvanceMs(10);
    Scan();
    EXPECT_EQ(Get(5), 1);
    EXPECT_EQ(Get(4), 0x3);
}

}  // namespace
