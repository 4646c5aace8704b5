// Retain files (q4.ret, Q4_BKP.RET) from the internal volume or a restored
// backup: any bytes must be refused or taken in whole, and nothing may be
// written outside the retained runs of the database, whose strings keep
// their capacities.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmret.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct App {
    std::vector<u8> code;
    u16 s1 = 0, s2 = 0;
    App() {
        IecImageBuilder b;
        b.Var(kQ4TypeBool);
        b.Var(kQ4TypeSint, 3);
        b.Var(kQ4TypeInt, 300);
        b.Var(kQ4TypeDint, 7);
        b.Var(kQ4TypeDint, 8);
        b.Var(kQ4TypeLint, 9);
        b.Var(kQ4TypeTime, 1000);
        s1 = b.String(10, "abc");
        s2 = b.String(4, "xy");
        b.CtSegment(32, 16);
        b.Retain(kQ4InitClsData8, 0, 2).Retain(kQ4InitClsData16, 0, 1).Retain(kQ4InitClsData32, 0, 2);
        b.Retain(kQ4InitClsData64, 0, 1).Retain(kQ4InitClsTime, 0, 1).Retain(kQ4InitClsString, s1, 2);
        b.RetainSignature(0x1234).RetainCt(8, 16);
        b.Program({0x00EA});
        code = b.Build();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_retain_fuzz_");
    static const App app;
    IecVmDb db(app.code);
    if (db.Result() != 0) std::abort();
    std::vector<u8> before(db.Db(), db.Db() + db.Size());
    // The file the application itself saves, made once.
    static const std::vector<u8> good = [&] {
        std::vector<u8> f;
        if (Q4VMWarm_SaveToFileDb(db.Db(), "/mnt/cfg/good.ret") != 1 ||
            !File_ReadAll(Root_HostPath("/mnt/cfg/good.ret"), f, 1u << 16))
            std::abort();
        return f;
    }();
    {
        std::vector<u8> file;
        if (size > 0 && data[0] % 4 != 0) {
            // (offset, byte) edits of the good file, and now and then a
            // length that differs from it.
            file = good;
            for (size_t i = 1; i + 1 < size; i += 2) file[data[i] % file.size()] = data[i + 1];
            if (data[0] % 4 == 2) file.resize(file.size() * (data[0] >> 2) / 32);
        } else {
            file.assign(data, data + size);
            // The signature is made right now and then, so that the blocks are read.
            if (file.size() >= 4 && size > 0 && (data[0] & 0x10)) PutLe32(file.data(), 0x1234);
        }
        std::ofstream f(Root_HostPath("/mnt/cfg/q4.ret"), std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    int rc = Q4VMWarm_Load(db.Db(), "/mnt/cfg/q4.ret");
    // Refused: nothing changed. Taken: every string keeps its capacity.
    if (rc != 0 && std::vector<u8>(db.Db(), db.Db() + db.Size()) != before) std::abort();
    if (rc == 0 && (db.String(app.s1)[0] != 10 || db.String(app.s2)[0] != 4)) std::abort();
    if (rc == 0 && (db.String(app.s1)[1] > 10 || db.String(app.s2)[1] > 4)) std::abort();
    return 0;
}
