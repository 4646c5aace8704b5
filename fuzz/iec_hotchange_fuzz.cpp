// Feeds damaged change images to the on-line change: the check against the
// running database and, when it accepts, the rebuild and a few cycles. The
// check must refuse everything the rebuild would fail on (a rebuild failing
// after the code swap would stop the application), so an accepted image that
// the rebuild refuses aborts the run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmhot.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Seed {
    std::vector<u8> running, change;
};

const Seed& GetSeed() {
    static const Seed seed = [] {
        IecImageBuilder b;
        b.AppName("CHG").CtSegment(32, 8).HeapSize(128);
        const u16 d = b.Var(kQ4TypeDint, 7, "D"), one = b.Var(kQ4TypeDint, 1);
        b.Var(kQ4TypeBool, 1, "B");
        b.String(8, "txt", Sym("S"));
        b.Var(kQ4TypeTime, 100);
        b.Spare(kQ4InitClsData32, 3).Spare(kQ4InitClsString, 2).Spare(kQ4InitClsData8, 2).MapSpare(3);
        b.StringBufferMinimum(64);
        TicAssembler t;
        t.Op("ADD_DINT", {d, d, one}).Op("END");
        const u16 p = b.Program(t.Finish());
        b.Task("MAIN", {p});
        Seed s;
        s.running = b.Build();
        b.PinAllocation();
        const u16 n = b.Var(kQ4TypeDint, 5, "N");
        b.String(6, "new", Sym("T"));
        TicAssembler t2;
        t2.Op("ADD_DINT", {d, d, one}).Op("ADD_DINT", {n, n, one}).Op("END");
        b.ReplaceProgram(p, t2.Finish());
        s.change = b.Build();
        return s;
    }();
    return seed;
}

void Exercise(std::vector<u8> change) {
    IecVmDb db(GetSeed().running);
    if (db.Result() != 0) std::abort();
    u32 now = 1000;
    Q4VM_Cycle(db.Db(), now);
    const Q4Code code{change.data(), static_cast<u32>(change.size())};
    if (Q4VM_CanHOTStart(code, db.Db()) != 0) return;
    // As the change runs it: the heap stays where it is.
    u8* st = Q4VM_Status(db.Db());
    PutLe32(st + kQ4StOptions, GetLe32(st + kQ4StOptions) | kVmOptChangeCycle);
    if (int rc = Q4VM_BuildHOT(code, db.Db(), now + 10); rc != 0) {
        std::fprintf(stderr, "accepted change image refused by the rebuild: %d (%s)\n", rc, Q4VMTic_LastFault());
        std::abort();
    }
    for (int k = 0; k < 3; ++k) Q4VM_Cycle(db.Db(), now += 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<u8> img = GetSeed().change;
    if (data[0] % 8 == 0) {
        Exercise(std::vector<u8>(data + 1, data + size));
        return 0;
    }
    // (u16 offset, byte) edits of the valid change image; most land in the
    // header, sizing and lists at its start.
    const u32 span = (data[0] & 1) ? static_cast<u32>(img.size()) : std::min<u32>(512, static_cast<u32>(img.size()));
    for (size_t i = 1, n = 0; i + 2 < size && n < 6; i += 3, ++n) {
        u32 at = (static_cast<u32>(data[i]) | (static_cast<u32>(data[i + 1]) << 8)) % span;
        img[at] = data[i + 2];
    }
    Exercise(std::move(img));
    return 0;
}
