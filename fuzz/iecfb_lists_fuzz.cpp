// Feeds mutated code images with signals and variable lists to the signal
// reader and the CSV log's line builder, so that a malformed list or signal
// in a downloaded image can never make them read outside the image or the
// database.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iec/kernel/q4fbcsv.h"
#include "iec/kernel/q4signal.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

const std::vector<u8>& Seed() {
    static const std::vector<u8> seed = [] {
        IecImageBuilder b;
        u16 flag = b.Var(kQ4TypeBool, 1), d = b.Var(kQ4TypeDint, 3), r = b.Real(1.5f), s = b.String(8, "ab");
        u16 l = b.Lreal(2.5), t = b.Var(kQ4TypeTime, 7);
        b.CtSegment(32, 16).CtInit(0, {1, 2, 3, 4});
        b.SignalPoints({{0, 1.0f}, {100, 2.0f}, {100, 3.0f}, {400, -1.0f}});
        b.SignalPoints({{5, 0.5f}, {6, 0.25f}});
        b.VarList({{kQ4TypeBool, flag}, {kQ4TypeDint, d}, {kQ4TypeReal, r}, {kQ4TypeString, s}});
        b.VarList({{kQ4TypeLreal, l}, {kQ4TypeTime, t}, {kQ4TypeDint, 0, 4}, {kQ4TypeString, 0, 8}});
        b.Program({68});
        return b.Build();
    }();
    return seed;
}

void Exercise(const std::vector<u8>& img) {
    Q4Code c{img.data(), static_cast<u32>(img.size())};
    for (u32 n = 0; n < 4; ++n) {
        Q4SignalView s = Q4Signal_Find(c, n);
        for (u32 t : {0u, 50u, 100u, 399u, 5000u, 0xFFFFFFFFu}) (void)Q4Signal_Value(c, s, t);
        (void)Q4Signal_LastValue(c, s);
    }
    if (Q4VMCode_CheckCode(c) != 0) return;
    u8 sizing[kVmDbDescriptorBlockBytes] = {};
    if (Q4VM_GetDBSize(c, sizing) != 0) return;
    u32 total = Q4VM_GetTotalDBSize(sizing);
    if (total == 0 || total > (16u << 20)) return;
    IecVmDb db(img);
    if (db.Result() != 0) return;
    std::string line;
    for (i32 list = -1; list < 4; ++list) (void)Q4Csv_Line(db.Db(), list, &line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // A few (u16 offset, byte) edits of the seed, mostly in its tail where
    // the signals and lists lie.
    std::vector<u8> img = Seed();
    size_t edits = 1 + data[0] % 8;
    for (size_t i = 1, n = 0; i + 2 < size && n < edits; i += 3, ++n) {
        u32 at = (static_cast<u32>(data[i]) | (static_cast<u32>(data[i + 1]) << 8)) % img.size();
        img[at] = data[i + 2];
    }
    Exercise(img);
    return 0;
}
