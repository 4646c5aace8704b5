// Compiled IEC programs: the verifier that decides whether code may run,
// then a few cycles of whatever it accepts on a small database that holds a
// variable of every class, a string, a timer and a buffer heap, with values
// the input also chooses. Accepted code must never read or write outside
// the code, the database or the heap.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_tic_fuzz_");
    if (size < 16) return 0;
    auto value = [&](size_t i) {
        u64 v = 0;
        std::memcpy(&v, data + i, 8);
        return v;
    };
    IecImageBuilder b;
    b.HeapSize(256).CtSegment(32, 8);
    b.Var(kQ4TypeBool, data[0] & 1);
    b.Var(kQ4TypeSint, data[1]);
    b.Var(kQ4TypeInt, value(0) & 0xFFFF);
    b.Var(kQ4TypeDint, value(0) & 0xFFFFFFFF);
    b.Var(kQ4TypeDint, value(8) & 0xFFFFFFFF);
    b.Real(static_cast<float>(static_cast<i32>(value(4))));
    b.Var(kQ4TypeLint, value(8));
    b.Var(kQ4TypeTime, value(2) & 0xFFFFFFFF);
    b.String(8, "abc");
    std::vector<u16> code((size - 16) / 2);
    for (size_t i = 0; i < code.size(); ++i) code[i] = GetLe16(data + 16 + 2 * i);
    u16 p = b.Program(code);
    b.Task("MAIN", {p});
    IecVmDb db(b.Build());
    if (db.Result() != 0) return 0;
    for (u32 t = 1; t <= 3; ++t) Q4VM_Cycle(db.Db(), 10 * t);
    return 0;
}
