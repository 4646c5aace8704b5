// Symbol paths against complex-type definitions that come with a downloaded
// code image: the input is a path (up to the first NUL) and the bytes of the
// definitions, the first record of which types a published complex
// variable. Resolution and enumeration must stay inside the definitions and
// the CT segment and end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "iec/ext/q4vmsyb.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    size_t cut = 0;
    while (cut < size && data[cut] != 0) ++cut;
    const std::string path = "X" + std::string(reinterpret_cast<const char*>(data), cut);
    std::vector<u8> types(data + (cut < size ? cut + 1 : size), data + size);
    if (types.empty()) types.push_back(0);
    IecImageBuilder b;
    b.Var(kQ4TypeDint, 0, "Counter");
    b.Array(kQ4TypeInt, 4, "Arr");
    b.CtSegment(256, 256).CtTypes(types).ComplexOf(0, 0, "X");
    IecVmDb vm(b.Build());
    if (vm.Result() != 0) return 0;
    u8 type = 0;
    const char* name = nullptr;
    Q4VmSyb_ParseSingle(vm.Db(), path.c_str(), &type);
    Q4VmSyb_Parse(vm.Db(), path.c_str(), &type, &name);
    Q4VmSyb_ParseSingle(vm.Db(), path.c_str() + 1, &type);
    char buf[128];
    Q4VmSyb_EnumCTMembers(vm.Db(), Q4Map_GetBySymbol(vm.Db(), "X"), buf, sizeof buf,
                          [](const char*, u8, void*) {}, nullptr);
    return 0;
}
