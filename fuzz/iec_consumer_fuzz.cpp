// The binding consumer fed event frames as a remote producer sends them:
// any counts, data lengths, types, identifiers and values, in frames whose
// header is right (so the events are walked) or not. Every read must stay
// inside the frame and every write inside the bound variables: the
// database's descriptors and the connection's layout stay as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "iec/ext/q4ea.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

IecVmDb& Db() {
    static std::unique_ptr<IecVmDb> db = [] {
        IecImageBuilder b;
        b.MapVsi(true);
        const u16 d = b.Var(kQ4TypeDint, 0, "d"), i = b.Var(kQ4TypeInt, 0, "i"), l = b.Var(kQ4TypeLreal, 0, "l");
        const u16 s = b.String(8, "x", Sym("s")), bo = b.Var(kQ4TypeBool, 0, "bo"), st = b.Var(kQ4TypeUsint, 0, "st");
        const u16 t = b.Var(kQ4TypeTime, 0, "t");
        b.CtSegment(64, 16);
        b.BindConnection("127.0.0.1", 1, 0x10,
                         {{kQ4TypeUsint, kEaxCnxStatus, st},
                          {kQ4TypeUsint, 0x76, st},
                          {kQ4TypeDint, kEaxValue, d, 1},
                          {kQ4TypeInt, kEaxValue, i, 1},
                          {kQ4TypeLreal, kEaxValue, l, 2},
                          {kQ4TypeString, kEaxValue, s, 2},
                          {kQ4TypeBool, kEaxVarStatus, bo, 3},
                          {kQ4TypeTime, kEaxTime, t, 3},
                          {kQ4TypeDint, kEaxValue, 0, 4, 60}});
        b.BindConnection("127.0.0.1", 1, 0x20,
                         {{kQ4TypeUsint, kEaxCnxStatus, st},
                          {kQ4TypeUsint, 0x16, st},
                          {kQ4TypeDint, kEaxDate, d, 1},
                          {kQ4TypeInt, kEaxValue, i, 1},
                          {kQ4TypeLreal, kEaxValue, l, 2},
                          {kQ4TypeString, kEaxValue, s, 2},
                          {kQ4TypeBool, kEaxVarStatus, bo, 3},
                          {kQ4TypeTime, kEaxTime, t, 3},
                          {kQ4TypeUdint, kEaxValue, d, 4}});
        b.Program({234});  // END
        return std::make_unique<IecVmDb>(b.Build());
    }();
    return *db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IecVmDb& db = Db();
    if (db.Result() != 0) std::abort();
    if (size < 1) return 0;
    u8 before[kVmDbDescriptorBlockBytes];
    std::memcpy(before, db.Db(), sizeof before);
    // The first byte picks the connection and whether the header is made right.
    const u32 k = data[0] & 1;
    std::vector<u8> f(data + 1, data + size);
    if ((data[0] & 2) && f.size() >= 6 && f.size() <= kQ4EaxFrameBytes) {
        f[0] = 'Q';
        f[1] = '4';
        PutBe16(&f[2], static_cast<u16>(f.size() - 4));
        f[4] = 18;
    }
    Q4EAX_ProcessFrame(db.Db(), k, f.data(), static_cast<u32>(f.size()));
    if (std::memcmp(before, db.Db(), sizeof before) != 0) std::abort();
    if (Q4EAX_State(db.Db(), k) != kEaxDown) std::abort();
    return 0;
}
