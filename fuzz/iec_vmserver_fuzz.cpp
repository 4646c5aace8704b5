// The workbench debug server fed VM requests as a workbench sends them: any
// tag, command, declared length and data against a built database with
// variables of every class, strings, a CT segment and the map. Every read
// must stay inside the request, every answer inside its buffer with its
// length field telling its size, and the database's layout unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "iec/ext/q4ea.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmsrv.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

IecVmDb& Db() {
    static std::unique_ptr<IecVmDb> db = [] {
        IecImageBuilder b;
        b.MapVsi(true);
        b.Var(kQ4TypeDint, 7, "d");
        b.Var(kQ4TypeInt, 1, "i");
        b.Var(kQ4TypeLreal, 0, "l");
        b.Var(kQ4TypeTime, 0, "t");
        b.Var(kQ4TypeBool, 1, "b");
        b.String(8, "text", Sym("s"));
        b.External(kQ4TypeDint, 1, "xd");
        b.CtSegment(64, 16);
        b.Complex(16, "T_POINT", "pt");
        b.Program({234});  // END
        return std::make_unique<IecVmDb>(b.Build());
    }();
    return *db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IecVmDb& db = Db();
    if (db.Result() != 0) std::abort();
    // Subscriptions and queued code of the previous input are dropped.
    Q4EA_Open(db.Code(), db.Db(), nullptr);
    PutLe16(db.Status() + kVmStExecLength, 0);
    u8 before[kVmDbDescriptorBlockBytes];
    std::memcpy(before, db.Db(), sizeof before);
    std::vector<u8> request(data, data + size);  // exactly the bytes received
    static u8 answer[1029];
    u8 connected = 1;
    const u32 n = Q4VM_ServeEx(db.Db(), request.data(), static_cast<u32>(request.size()), answer, sizeof answer, 9000,
                               &connected);
    if (n < 4 || n > sizeof answer || GetBe16(answer + 2) + 4u != n) std::abort();
    // Only the change-event count may move (subscriptions).
    VmDbDesc ev = Q4VM_GetDesc(db.Db(), kDbChangeEvents);
    VmDbDesc old = Q4VM_GetDesc(before, kDbChangeEvents);
    ev.used = old.used;
    Q4VM_PutDesc(db.Db(), kDbChangeEvents, ev);
    if (std::memcmp(before, db.Db(), sizeof before) != 0) std::abort();
    return 0;
}
