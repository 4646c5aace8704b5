// The IEC file blocks through the real file request mailbox, served as the
// system update step serves it, on a clean root with A: and B: inserted.
#include <cstring>
#include <string>
#include <vector>

#include "../iecfb/fb_fixture.h"
#include "core/wiring.h"
#include "iec/blocks/q4files.h"
#include "tests/storage/mailbox_step.h"
#include "tests/storage/storage_fixture.h"

namespace {

class IecFileTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        Dpram_Init();
        Q4Files_Reset();
        Wiring_Connect();  // the blocks reach the mailbox as the controller wires them
    }
    void TearDown() override {
        Q4Files_Reset();
        StorageTest::TearDown();
    }
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        data = b.Array(kQ4TypeInt, 10);
        back = b.Array(kQ4TypeInt, 10);
        small = b.Array(kQ4TypeInt, 2);
        i0 = b.Var(kQ4TypeInt);
        for (int k = 1; k < 6; ++k) b.Var(kQ4TypeInt);
        s0 = b.String(40);
        b.String(40);
        b.String(40);
        return b;
    }
    void SetS(u16 s, const std::string& t) {
        u8* p = f.Vm().String(static_cast<u16>(s0 + s));
        p[1] = static_cast<u8>(t.size());
        std::memcpy(p + 2, t.c_str(), t.size() + 1);
    }
    i16 I(u16 array, u16 k) { return static_cast<i16>(GetLe16(f.Vm().Data16(static_cast<u16>(array + k)))); }
    void SetI(u16 i, i16 v) { PutLe16(f.Vm().Data16(i), static_cast<u16>(v)); }

    // WRITE_CF: type, enable, format, file type, name, data+n, count, per
    // line, mode, flag; out status (DINT variable st).
    std::vector<u16> WriteOps(u16 enable, u16 arr, u16 n, u16 st, u16 name = 0) {
        return {kQ4TypeInt, enable, f.D(0), f.D(1), static_cast<u16>(s0 + name), arr, n, i0, static_cast<u16>(i0 + 1),
                f.D(2), f.B(9), st};
    }
    // READ_CF: type, enable, file type, name, per line, count, data+n, mode; out status.
    std::vector<u16> ReadOps(u16 enable, u16 arr, u16 n, u16 st) {
        return {kQ4TypeInt, enable, f.D(1), s0, f.D(3), i0, arr, n, f.D(2), st};
    }
    i32 RunUntilDone(Q4FbHandler h, u8* inst, const std::vector<u16>& ops, u16 st) {
        f.Exec(h, inst, ops);
        for (int i = 0; i < 2000 && f.GetD(st) == kQ4CfPending; ++i) {
            step_.Pass();
            f.Exec(h, inst, ops);
        }
        return f.GetD(st);
    }

    static inline u16 data = 0, back = 0, small = 0, i0 = 0, s0 = 0;
    FbDb f{Builder()};
    FileMailboxStep step_;
};

TEST_F(IecFileTest, ArrayWrittenToCsvAndReadBack) {
    for (u16 k = 0; k < 10; ++k) PutLe16(f.Vm().Data16(static_cast<u16>(data + k)), static_cast<u16>(970 + 7 * k));
    SetS(0, "A:/LOG.CSV");
    f.SetD(f.D(1), 5);  // INT values in decimal
    f.SetB(f.B(9), true);  // the line ends after the last value
    f.SetD(f.D(0), 3);     // replace an existing file
    f.SetD(f.D(2), 1);  // CSV
    SetI(i0, 12);       // more than the array: cut to 10
    SetI(static_cast<u16>(i0 + 1), 10);
    f.SetB(f.B(0), true);
    std::array<u8, 56> w{};
    EXPECT_EQ(RunUntilDone(Q4Ctl_WriteCf, w.data(), WriteOps(f.B(0), data, 10, f.D(10)), f.D(10)), 10 << 16);
    EXPECT_EQ(Get("/mnt/USB0/LOG.CSV"), "970,977,984,991,998,1005,1012,1019,1026,1033\r\n");
    // Held enabled: no second write.
    Put("/mnt/USB0/LOG.CSV", "x");
    for (int i = 0; i < 3; ++i) {
        f.Exec(Q4Ctl_WriteCf, w.data(), WriteOps(f.B(0), data, 10, f.D(10)));
        step_.Pass();
    }
    EXPECT_EQ(Get("/mnt/USB0/LOG.CSV"), "x");
    EXPECT_EQ(f.GetD(f.D(10)), 10 << 16);
    f.SetB(f.B(1), false);
    f.Exec(Q4Ctl_WriteCf, w.data(), WriteOps(f.B(1), data, 10, f.D(10)));
    EXPECT_EQ(f.GetD(f.D(10)), kQ4CfDisabled);
    EXPECT_EQ(RunUntilDone(Q4Ctl_WriteCf, w.data(), WriteOps(f.B(0), data, 10, f.D(10)), f.D(10)), 10 << 16);
    EXPECT_EQ(Get("/mnt/USB0/LOG.CSV"), "970,977,984,991,998,1005,1012,1019,1026,1033\r\n");

    // The writer holds the channel until its enable drops.
    std::array<u8, 44> r{};
    f.Exec(Q4Ctl_ReadCf, r.data(), ReadOps(f.B(0), back, 10, f.D(11)));
    EXPECT_EQ(f.GetD(f.D(11)), kQ4CfBusy);
    f.Exec(Q4Ctl_WriteCf, w.data(), WriteOps(f.B(1), data, 10, f.D(10)));
    f.SetD(f.D(3), 0);
    SetI(i0, 10);
    EXPECT_EQ(RunUntilDone(Q4Ctl_ReadCf, r.data(), ReadOps(f.B(0), back, 10, f.D(11)), f.D(11)), 10 << 16);
    for (u16 k = 0; k < 10; ++k) EXPECT_EQ(I(back, k), 970 + 7 * k);
}

TEST_F(IecFileTest, TwoWritersContendAndBadRequestsAreRefused) {
    SetS(0, "A:\\ONE.CSV");
    SetS(1, "A:\\TWO.CSV");
    f.SetD(f.D(1), 5), f.SetD(f.D(2), 1);
    SetI(i0, 2);
    f.SetB(f.B(0), true);
    std::array<u8, 56> a{}, b{};
    f.Exec(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(0), data, 10, f.D(10), 0));
    f.Exec(Q4Ctl_WriteCf, b.data(), WriteOps(f.B(0), data, 10, f.D(11), 1));
    EXPECT_EQ(f.GetD(f.D(10)), kQ4CfPending);
    EXPECT_EQ(f.GetD(f.D(11)), kQ4CfBusy);
    EXPECT_EQ(RunUntilDone(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(0), data, 10, f.D(10), 0), f.D(10)), 2 << 16);
    f.Exec(Q4Ctl_WriteCf, b.data(), WriteOps(f.B(0), data, 10, f.D(11), 1));
    EXPECT_EQ(f.GetD(f.D(11)), kQ4CfBusy);  // until the first one's enable drops
    f.SetB(f.B(1), false);
    f.Exec(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(1), data, 10, f.D(10), 0));
    EXPECT_EQ(RunUntilDone(Q4Ctl_WriteCf, b.data(), WriteOps(f.B(0), data, 10, f.D(11), 1), f.D(11)), 2 << 16);
    f.Exec(Q4Ctl_WriteCf, b.data(), WriteOps(f.B(1), data, 10, f.D(11), 1));

    // A name that leaves its drive is not written.
    SetS(2, "A:\\..\\..\\ESCAPE.CSV");
    const i32 st = RunUntilDone(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(0), data, 10, f.D(10), 2), f.D(10));
    EXPECT_NE(st & 0xFFFF, 0);
    EXPECT_FALSE(Exists("/mnt/ESCAPE.CSV"));
    EXPECT_FALSE(Exists("/ESCAPE.CSV"));
    f.Exec(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(1), data, 10, f.D(10), 2));

    // 32-bit file values from a 2-element INT array would read past it; a
    // TIME array has no data to give.
    f.SetD(f.D(1), 3);
    f.Exec(Q4Ctl_WriteCf, a.data(), WriteOps(f.B(0), small, 2, f.D(10), 0));
    EXPECT_EQ(f.GetD(f.D(10)), kQ4CfRefused);
    f.SetD(f.D(1), 5);
    std::vector<u16> ops = WriteOps(f.B(0), f.T(0), 2, f.D(10), 0);
    ops[0] = kQ4TypeTime;
    f.Exec(Q4Ctl_WriteCf, a.data(), ops);
    EXPECT_EQ(f.GetD(f.D(10)), kQ4CfRefused);
}

TEST_F(IecFileTest, RenameAndAShortArray) {
    Put("/mnt/USB0/OLD.CSV", "1\r\n");
    SetS(0, "A:\\OLD.CSV");
    SetS(1, "A:\\NEW.CSV");
    f.SetB(f.B(0), true);
    std::array<u8, 8> rn{};
    f.Exec(Q4Ctl_RenameCf, rn.data(), {f.B(0), s0, static_cast<u16>(s0 + 1), f.D(12)});
    EXPECT_EQ(f.GetD(f.D(12)), kQ4CfPending);  // not polled in the same execution
    EXPECT_EQ(RunUntilDone(Q4Ctl_RenameCf, rn.data(), {f.B(0), s0, static_cast<u16>(s0 + 1), f.D(12)}, f.D(12)), 0);
    EXPECT_TRUE(Exists("/mnt/USB0/NEW.CSV"));
    EXPECT_FALSE(Exists("/mnt/USB0/OLD.CSV"));
    f.Cmd(Q4Ctl_RenameCf, rn.data(), kFbInstanceInit);  // a restart frees the channel

    // Four values read into a 2-element array: it takes two, and the
    // variable after it (the count, 4) keeps its value.
    Put("/mnt/USB0/NUM.CSV", "11,22,33,44\r\n");
    SetI(i0, 4);
    f.SetD(f.D(1), 5), f.SetD(f.D(2), 1), f.SetD(f.D(3), 0);
    SetS(0, "A:\\NUM.CSV");
    std::array<u8, 44> r{};
    EXPECT_EQ(RunUntilDone(Q4Ctl_ReadCf, r.data(), ReadOps(f.B(0), small, 2, f.D(11)), f.D(11)) >> 16, 2);
    EXPECT_EQ(I(small, 0), 11);
    EXPECT_EQ(I(small, 1), 22);
    EXPECT_EQ(I(small + 2, 0), 4);
}

}  // namespace

#include "core/nvram.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "tests/storage/file_fixture.h"

namespace {

// COPY_CF and DELETE_CF run as the ladder's copy and delete jobs; their
// status variable belongs to the running application.
class IecFileJobTest : public FileInstrTest {
protected:
    void SetUp() override {
        FileInstrTest::SetUp();
        Q4Files_Reset();
        Wiring_Connect();
        pDB = f.Db();
        QuilletRuntime = 1;
        quillet_variables_enumerateded = 1;
    }
    void TearDown() override {
        pDB = nullptr;
        QuilletRuntime = 0;
        quillet_variables_enumerateded = 0;
        Q4Files_Reset();
        FileInstrTest::TearDown();
    }
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        s0 = b.String(200);
        b.String(200);
        return b;
    }
    void SetS(u16 s, const std::string& t) {
        u8* p = f.Vm().String(static_cast<u16>(s0 + s));
        p[1] = static_cast<u8>(t.size());
        std::memcpy(p + 2, t.c_str(), t.size() + 1);
    }
    i32 Until(Q4FbHandler h, u8* inst, const std::vector<u16>& ops, u16 st) {
        f.Exec(h, inst, ops);
        for (int i = 0; i < 2000 && f.GetD(st) == kQ4CfPending; ++i) {
            WaitJobs();
            f.Exec(h, inst, ops);
        }
        return f.GetD(st);
    }
    static inline u16 s0 = 0;
    FbDb f{Builder()};
};

TEST_F(IecFileJobTest, CopyThenDeleteAndEmptyOrLongNames) {
    Put("/mnt/USB0/SRC.CSV", "1,2\r\n");
    SetS(0, "A:\\SRC.CSV");
    SetS(1, "B:\\DST.CSV");
    f.SetB(f.B(0), true);
    std::array<u8, 294> copy{};
    std::array<u8, 290> del{}, other{};
    const std::vector<u16> copyOps = {f.B(0), s0, static_cast<u16>(s0 + 1), f.D(0)};
    EXPECT_EQ(Until(Q4Ctl_CopyCf, copy.data(), copyOps, f.D(0)), 0);
    EXPECT_EQ(Get("/mnt/USB1/DST.CSV"), "1,2\r\n");
    f.Exec(Q4Ctl_DeleteCf, del.data(), {f.B(0), s0, f.D(1)});
    EXPECT_EQ(f.GetD(f.D(1)), kQ4CfBusy);  // the copy keeps the channel until disabled
    f.SetB(f.B(1), false);
    f.Exec(Q4Ctl_CopyCf, copy.data(), {f.B(1), s0, static_cast<u16>(s0 + 1), f.D(0)});
    EXPECT_EQ(f.GetD(f.D(0)), kQ4CfDisabled);

    EXPECT_EQ(Until(Q4Ctl_DeleteCf, del.data(), {f.B(0), s0, f.D(1)}, f.D(1)), 0);
    EXPECT_FALSE(Exists("/mnt/USB0/SRC.CSV"));
    f.Exec(Q4Ctl_DeleteCf, del.data(), {f.B(1), s0, f.D(1)});

    SetS(0, "");
    f.Exec(Q4Ctl_DeleteCf, other.data(), {f.B(0), s0, f.D(2)});
    EXPECT_EQ(f.GetD(f.D(2)), 66);
    SetS(0, "A:\\" + std::string(150, 'N'));  // two names too long for the instance
    SetS(1, "B:\\" + std::string(150, 'N'));
    f.Exec(Q4Ctl_CopyCf, copy.data(), {f.B(0), s0, static_cast<u16>(s0 + 1), f.D(2)});
    EXPECT_EQ(f.GetD(f.D(2)), kQ4CfRefused);
}

}  // namespace
