// Feeds damaged hot-restart images to the checks that guard their reload:
// the structure check, the check against the code, the relink, the heap
// take-up and the services that walk the database's counts, so that a q4.hot
// from anywhere can never make the runtime read or write outside the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmhot.h"
#include "iec/kernel/q4vmprg.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Seed {
    std::vector<u8> code, image;
};

const Seed& GetSeed() {
    static const Seed seed = [] {
        IecImageBuilder b;
        b.AppName("HOT").HeapSize(200).CtSegment(32, 8);
        b.Var(kQ4TypeDint, 7, "D");
        b.String(8, "txt", Sym("S"));
        u16 p = b.Program({68});
        b.Program({68}, 1);
        b.Task("MAIN", {p});
        Seed s;
        s.code = b.Build();
        IecVmDb db(s.code);
        Q4Heap* h = Q4VM_GetHeap(db.Db());
        Q4Heap_Free(h, Q4Heap_Alloc(h, 12));
        Q4Heap_Alloc(h, 20);
        Q4VMLog_Push(db.Db(), 30, 1, 2);
        Q4VMLog_RegisterUnresolved(db.Db(), "MISSING");
        s.image.assign(db.Db(), db.Db() + db.Size());
        return s;
    }();
    return seed;
}

void Exercise(std::vector<u8> bytes) {
    const Seed& s = GetSeed();
    Q4Code code{s.code.data(), static_cast<u32>(s.code.size())};
    u32 size = static_cast<u32>(bytes.size());
    if (Q4VM_CheckImage(bytes.data(), size) != 0) return;
    // Loaded images live in 8-aligned memory, as Q4Memory_Load gives them.
    std::vector<u64> store((size + 7) / 8);
    u8* db = reinterpret_cast<u8*>(store.data());
    std::memcpy(db, bytes.data(), size);
    if (Q4VM_CheckHotImage(code, db, size) != 0) return;
    Q4VM_BuildDBMainLinks(db);
    Q4VM_SetCode(db, code);
    if (Q4VM_AllocHeap(code, db, 1) == 0) {
        if (Q4Heap* h = Q4VM_GetHeap(db)) {
            Q4HeapInfo info = Q4Heap_GetInfo(h);
            for (u32 k = 1; k <= info.handles + 1; ++k)
                if (u8* p = Q4Heap_Lock(h, k)) {
                    p[0] ^= 1;
                    Q4Heap_Unlock(h, k);
                }
            Q4Heap_Compact(h, 32);
            Q4Heap_Alloc(h, 8);
        }
    }
    u16 a, b;
    u32 c;
    while (Q4VMLog_Pop(db, &a, &b, &c)) {
    }
    for (u16 n = 0; n < 20; ++n) (void)Q4VMLog_GetUnresolved(db, n);
    for (u16 n = 0; n < 10; ++n) (void)Q4VM_GetTaskName(db, n);
    (void)Q4VMPrg_HasBreapointOrStep(db);
    (void)Q4VMPrg_IsBreakpoint(db, 1, 0, 0);
    Q4VMPrg_SaveCallStack(db, 1);
    Q4VMPrg_RestoreCallStack(db, 1);
    Q4VMPrg_Execute(db);
    Q4VMPrg_Task(db, 0, 1);
    (void)Q4VMRsc_Exist(db);
    Q4VMRsc_FreeAll(db);
    // The hot start's own check and rebuild on what is left of the image.
    if (Q4VM_CanHOTStart(code, db) == 0) Q4VM_BuildHOT(code, db, 500);
    Q4VMPrg_Execute(db);
    Q4VM_Forget(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] % 4 != 0) {
        // (u16 offset, byte) edits of a valid image, most of them in the
        // descriptors and records where the counts live.
        std::vector<u8> img = GetSeed().image;
        size_t edits = 1 + (data[0] >> 2) % 6;
        // The descriptors, the status, private and log records and the heap
        // lie in the first 2 KB; most edits go there.
        u32 span = (size > 1 && (data[1] & 1)) ? static_cast<u32>(img.size()) : 2048;
        for (size_t i = 2, n = 0; i + 2 < size && n < edits; i += 3, ++n) {
            u32 at = (static_cast<u32>(data[i]) | (static_cast<u32>(data[i + 1]) << 8)) % span;
            img[at] = data[i + 2];
        }
        if (size > 2 && data[1] == 0xFF) img.resize(img.size() * data[2] / 256);
        Exercise(std::move(img));
    } else {
        Exercise(std::vector<u8>(data + 1, data + size));
    }
    return 0;
}
