// The runtime Modbus configuration as a code image brings it: sizing, build,
// the mapping's link and exchange passes, and the server on whatever tables
// it built must stay inside the context, its buffers and the variables.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbmap.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4types.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_iec_modbus_config_fuzz_");
    std::vector<u8> cfg(data, data + size);
    const u32 need = Q4MB_GetMemorySizing(cfg.data(), static_cast<u32>(cfg.size()));
    // A context of exactly the size asked for, and one too small.
    if (need) {
        std::vector<u8> ctx(need);
        Q4MB_Build(cfg.data(), static_cast<u32>(cfg.size()), ctx.data(), need);
        std::vector<u8> small(need / 2 + 1);
        Q4MB_Build(cfg.data(), static_cast<u32>(cfg.size()), small.data(), static_cast<u32>(small.size()));
    }
    IecImageBuilder b;
    for (u16 type : {kQ4TypeBool, kQ4TypeInt, kQ4TypeDint, kQ4TypeReal, kQ4TypeLreal, kQ4TypeTime, kQ4TypeUsint})
        for (int k = 0; k < 4; ++k) b.Var(type);
    b.String(8, "ABC");
    b.ModbusConfig(cfg);
    IecVmDb db(b.Build());
    if (db.Result() != 0) return 0;
    Q4MB_Exchange(db.Db());
    // Every table a read of the whole address space would reach.
    static const u8 reads[][12] = {
        {0, 1, 0, 0, 0, 6, 0, 3, 0, 0, 0, 125}, {0, 1, 0, 0, 0, 6, 0, 1, 0, 0, 7, 208},
        {0, 1, 0, 0, 0, 6, 0, 4, 0, 0, 0, 125}, {0, 1, 0, 0, 0, 6, 0, 2, 0, 0, 7, 208},
    };
    u8 answer[300];
    for (const auto& r : reads) Q4MB_Serve(db.Db(), r, sizeof r, answer, 1);
    static const u8 write[] = {0, 1, 0, 0, 0, 9, 0, 16, 0, 0, 0, 1, 2, 0x80, 0};
    Q4MB_Serve(db.Db(), write, sizeof write, answer, 1);
    Q4MB_Exchange(db.Db());
    return 0;
}
