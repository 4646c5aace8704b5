// Feeds random and mutated code images to the image check, and every image
// that passes it to the accessors and to a database build, so that a
// malformed image can never make the runtime read or write outside the image
// or the database.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

const std::vector<u8>& Seed() {
    static const std::vector<u8> seed = [] {
        IecImageBuilder b;
        b.AppName("FUZZ").MapVsi(true).MapSpare(2).Password(1);
        b.Var(kQ4TypeBool, 1, "B");
        b.Var(kQ4TypeInt, 2, "I");
        u16 d = b.Var(kQ4TypeDint, 3, "D");
        b.Var(kQ4TypeTime, 4, "T");
        b.Var(kQ4TypeLreal, 5, "L");
        b.String(10, "text", Sym("S"));
        b.External(kQ4TypeDint, d, "XD");
        b.CtSegment(64, 32).CtInit(8, {1, 2, 3, 4});
        b.Complex(8, "INT[2,2]", "ARR");
        b.FbClass(7, "TON").FbInstance(7, true, 0, "T1");
        b.CustomFunction("CF");
        b.StringTable({"a", "b"});
        b.Task("MAIN", {1});
        b.Program({68});
        return b.Build();
    }();
    return seed;
}

void Exercise(const std::vector<u8>& img) {
    Q4Code c{img.data(), static_cast<u32>(img.size())};
    // The accessors must be safe even on an image that fails the check.
    u32 buf = 0;
    (void)Q4VMCode_GetNbString(c, &buf);
    (void)Q4VMCode_GetCallStackAllocSize(c);
    char name[17];
    Q4VMCode_GetAppName(c, name);
    if (Q4VMCode_CheckCode(c) != 0) return;
    for (u16 i = 0; i < Q4VMCode_GetClassCount(c); ++i) {
        Q4ClassEntry e;
        Q4VMCode_GetClass(c, i, &e);
    }
    for (u16 i = 0; i < Q4VMCode_GetCustomFuncCount(c); ++i) Q4VMCode_GetCustomFunc(c, i, name);
    for (u32 n = 0; n < 4; ++n) {
        (void)Q4VMCode_GetStringTable(c, n);
        (void)Q4VMCode_GetSignal(c, n);
        (void)Q4VMCode_GetEATableVers(c, n);
    }
    // A hostile image may ask for gigabytes of database; the fuzz run only
    // builds those of a sane size.
    u8 sizing[kVmDbDescriptorBlockBytes] = {};
    if (Q4VM_GetDBSize(c, sizing) != 0) return;
    u32 total = Q4VM_GetTotalDBSize(sizing);
    if (total == 0 || total > (64u << 20)) return;
    IecVmDb db(img);
    if (db.Result() != 0) return;
    u16 pos = 0;
    u8 desc[300];
    for (u8* e = Q4Map_GetFirst(db.Db(), &pos); e; e = Q4Map_GetNext(db.Db(), &pos)) {
        (void)Q4Map_GetTypeName(db.Db(), e);
        u32 count;
        u16 type;
        (void)Q4Map_IsArrayOfSingleVar(db.Db(), e, &count, &type);
        (void)Q4Map_GetDesc(db.Db(), pos, desc);
        if (const char* s = Q4Map_GetSymbol(db.Db(), e)) (void)Q4Map_GetBySymbol(db.Db(), s);
        (void)Q4Map_GetByIndex(db.Db(), Q4Map_GetType(db.Db(), e), Q4Map_GetIndex(db.Db(), e));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] % 4 != 0) {
        // A few (u16 offset, byte) edits of a valid image, so that most inputs
        // get past the identity checks into the layout and the build.
        std::vector<u8> img = Seed();
        size_t edits = 1 + (data[0] >> 2) % 6;
        for (size_t i = 2, n = 0; i + 2 < size && n < edits; i += 3, ++n) {
            u32 at = (static_cast<u32>(data[i]) | (static_cast<u32>(data[i + 1]) << 8)) % img.size();
            img[at] = data[i + 2];
        }
        if (size > 2 && data[1] == 0xFF) img.resize(img.size() * data[2] / 256);  // truncation
        Exercise(img);
    } else {
        Exercise(std::vector<u8>(data + 1, data + size));
    }
    return 0;
}
